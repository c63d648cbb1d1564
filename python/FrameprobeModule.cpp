// The Python module frameprobe._frameprobe: the library's Camera, images straight into numpy
// arrays, the driver's failures as frameprobe.Error, Ctrl-C honoured during a grab.

#include "frameprobe/frameprobe.h"
#include "python/Interruptible.h"
#include "python/PyGrabInfo.h"

#include <cstdint>
#include <optional>
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>
#include <string>
#include <vector>

namespace {

namespace py = pybind11;
using fp::python::RunInterruptible;
using frameprobe::Camera;
using frameprobe::GrabInfo;

constexpr py::ssize_t kHeight = frameprobe::kImageHeight;
constexpr py::ssize_t kWidth = frameprobe::kImageWidth;

// `out` when it can take `count` images without a copy (a C-contiguous, writeable array of
// native uint16 of shape (count, height, width), or (height, width) for one), else ValueError.
py::array ImageArray(const py::object& out, std::optional<py::ssize_t> count) {
  std::vector<py::ssize_t> shape = {kHeight, kWidth};
  if (count) shape.insert(shape.begin(), *count);
  if (out.is_none()) return py::array_t<std::uint16_t>(shape);
  if (!py::isinstance<py::array>(out)) throw py::type_error("out must be a numpy array");
  py::array array = py::reinterpret_borrow<py::array>(out);
  std::string wanted = "(";
  for (std::size_t i = 0; i < shape.size(); ++i) {
    wanted += (i > 0 ? ", " : "") + std::to_string(shape[i]);
  }
  wanted += ")";
  const bool right_shape =
      array.ndim() == static_cast<py::ssize_t>(shape.size()) &&
      std::equal(shape.begin(), shape.end(), array.shape(), array.shape() + array.ndim());
  if (!array.dtype().is(py::dtype::of<std::uint16_t>()) || !right_shape ||
      !(array.flags() & py::array::c_style) || !array.writeable()) {
    throw py::value_error("out must be a C-contiguous, writeable uint16 array of shape " + wanted);
  }
  return array;
}

std::uint8_t* Bytes(py::array& array) { return static_cast<std::uint8_t*>(array.mutable_data()); }

py::tuple Grab(Camera& camera, const py::object& out) {
  py::array image = ImageArray(out, std::nullopt);
  std::uint8_t* bytes = Bytes(image);
  const GrabInfo info = RunInterruptible<GrabInfo>(
      [&camera, bytes](const std::atomic<bool>* stop) { return camera.Grab(bytes, stop); });
  return py::make_tuple(image, info);
}

py::tuple GrabMany(Camera& camera, std::optional<py::ssize_t> count, const py::object& out) {
  if (!count) {
    if (out.is_none()) throw py::type_error("grab_many needs a count or an out array");
    if (!py::isinstance<py::array>(out)) throw py::type_error("out must be a numpy array");
    const py::array array = py::reinterpret_borrow<py::array>(out);
    count = array.ndim() > 0 ? array.shape(0) : 0;  // a wrong shape is ImageArray's to refuse
  }
  if (*count < 0) throw py::value_error("count must not be negative");
  py::array images = ImageArray(out, count);
  std::uint8_t* bytes = Bytes(images);
  const py::ssize_t n = *count;
  // Written by the grabbing thread, read here once RunInterruptible has waited for it.
  std::vector<GrabInfo> taken;
  try {
    RunInterruptible<void>([&camera, bytes, n, &taken](const std::atomic<bool>* stop) {
      for (py::ssize_t i = 0; i < n && !stop->load(); ++i) {
        taken.push_back(
            camera.Grab(bytes + static_cast<std::size_t>(i) * frameprobe::kImageBytes, stop));
      }
    });
  } catch (py::error_already_set& interrupt) {
    // A signal's handler raised: what was taken goes with its exception.
    interrupt.value().attr("taken") = py::make_tuple(images, taken);
    throw;
  }
  return py::make_tuple(images, taken);
}

}  // namespace

PYBIND11_MODULE(_frameprobe, m) {
  m.doc() = "Images from a NUDP camera into numpy arrays; see the package frameprobe.";
  m.attr("__version__") = frameprobe::Version();
  m.attr("IMAGE_SHAPE") = py::make_tuple(kHeight, kWidth);
  m.attr("IMAGE_BYTES") = frameprobe::kImageBytes;
  m.attr("PACKETS_PER_IMAGE") = frameprobe::kPacketsPerImage;
  m.attr("PACKET_BYTES") = frameprobe::kPacketBytes;
  m.attr("PACKET_SAMPLES") = frameprobe::kPacketSamples;

  py::register_exception<frameprobe::Error>(m, "Error", PyExc_RuntimeError);
  fp::python::BindGrabInfo(m);

  py::class_<Camera>(m, "Camera", R"(One connection to one NUDP camera.

Binds UDP ports 32100 and 32101 on the local address, connects to the camera's
port 1234 and switches binning on (which shows at once whether the camera
answers). Use it as a context manager, or call close():

    with frameprobe.Camera("192.168.1.10", "192.168.1.20") as cam:
        image, info = cam.grab()

Failures raise frameprobe.Error with the driver's reason. The GIL is released
while the driver works; Ctrl-C during a grab ends it (the transfer running
with the packets it brought, recovery before its next request) and raises
KeyboardInterrupt within about 0.1 s; the camera stays usable.)")
      .def(py::init([](const std::string& local, const std::string& remote, bool binning,
                       const std::string& log_file, const std::string& err_log_file) {
             // Refused here as the wrong value they are (the library refuses them as well).
             for (const auto& [what, address] :
                  {std::pair{"local", &local}, std::pair{"remote", &remote}}) {
               if (address->empty() || address->find('\0') != std::string::npos) {
                 throw py::value_error(std::string(what) +
                                       ": an address, neither empty nor holding a NUL character");
               }
             }
             frameprobe::Options options;
             options.binning = binning;
             options.log_file = log_file;
             options.err_log_file = err_log_file;
             return std::make_unique<Camera>(local, remote, options);
           }),
           py::arg("local"), py::arg("remote"), py::kw_only(), py::arg("binning") = true,
           py::arg("log_file") = "", py::arg("err_log_file") = "",
           py::call_guard<py::gil_scoped_release>(),
           R"(Connects to the camera at `remote` from the local address `local`.

local, remote: dotted quads or host names, without ports (ValueError for an
empty one or one holding a NUL character). When ports 32100 and
32101 cannot be bound on `local`, the Error names the program holding each.
binning: switch binning on once connected (command 0x105).
log_file, err_log_file: the driver's log and error log, appended to; "" for none.)")
      .def("grab", &Grab, py::arg("out") = py::none(),
           R"(Takes one image, fetching again the packets the stream lost.

Returns (image, info): image a uint16 array of shape IMAGE_SHAPE that the
driver wrote into directly (`out` when given: a C-contiguous, writeable uint16
array of that shape), info a GrabInfo. An image that stays incomplete is no
error: info.complete is False and info.missing names what it lacks.)")
      .def("grab_many", &GrabMany, py::arg("count") = py::none(), py::arg("out") = py::none(),
           R"(Takes `count` images in a row into one array of shape (count, *IMAGE_SHAPE).

With `out` (a preallocated C-contiguous uint16 array of that shape) the images
go there and count may be left out. Returns (images, infos), infos a list of
GrabInfo, one per image.

Ctrl-C raises KeyboardInterrupt with the attribute `taken`, the (images, infos)
so far: infos[i] tells how row i of images arrived, and a grab the interrupt
cut short is the last of them (cancelled, info.missing naming what its row
lacks); rows from len(infos) on were not written.)")
      .def("identify", &Camera::Identify, py::call_guard<py::gil_scoped_release>(),
           "The camera's identification text (command 0xEF).")
      .def(
          "command",
          [](Camera& camera, std::uint32_t number, std::uint8_t top) {
            frameprobe::Answer answer;
            {
              py::gil_scoped_release release;
              answer = camera.Command(number, top);
            }
            return py::make_tuple(
                answer.number,
                py::bytes(reinterpret_cast<const char*>(answer.data.data()), answer.data.size()));
          },
          py::arg("number"), py::arg("top") = frameprobe::kTopCommand,
          R"(Sends one command and returns the answer as (number_field, data).

A command is sent up to three times when no answer or a damaged one comes.
Images are started by grab() alone.)")
      .def("close", &Camera::Close, py::call_guard<py::gil_scoped_release>(),
           "Closes the connection; idempotent.")
      .def_property_readonly("is_open", &Camera::IsOpen,
                             "False once closed, or once the camera stopped answering.")
      .def_property_readonly("local_address", &Camera::LocalAddress, "'<address>:32100'.")
      .def_property_readonly("camera_address", &Camera::CameraAddress, "'<address>:1234'.")
      .def_property_readonly("receive_buffer_bytes", &Camera::ReceiveBufferBytes,
                             "The kernel receive buffer of the image socket, in bytes.")
      .def_property_readonly("totals", &Camera::Totals,
                             "Counters since the connection was opened, over every grab and "
                             "command. Does not wait for a grab running on another thread.")
      .def(
          "__enter__", [](Camera& camera) -> Camera& { return camera; },
          py::return_value_policy::reference)
      .def(
          "__exit__",
          [](Camera& camera, const py::object&, const py::object&, const py::object&) {
            py::gil_scoped_release release;
            camera.Close();
          },
          "Closes the camera.");
}
