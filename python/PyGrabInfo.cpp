#include "python/PyGrabInfo.h"

#include "frameprobe/Camera.h"
#include "python/CounterDocs.h"

#include <algorithm>
#include <cstdint>
#include <pybind11/stl.h>
#include <string>
#include <string_view>
#include <vector>

namespace fp::python {

namespace py = pybind11;
using frameprobe::Counters;
using frameprobe::GrabInfo;
using frameprobe::PacketRange;

namespace {

// Packet ranges as Python ranges: len() counts them, `in` tests a packet, and a range of samples
// is range.start * PACKET_SAMPLES to range.stop * PACKET_SAMPLES.
py::list Ranges(const std::vector<PacketRange>& ranges) {
  const py::object range = py::module_::import("builtins").attr("range");
  py::list list;
  for (const PacketRange& r : ranges) list.append(range(r.begin, r.end));
  return list;
}

// The class's docstring: what a Counters spans, then each counter and what it counts, in their
// order.
std::string CountersDoc() {
  std::size_t width = 0;
  frameprobe::ForEachCounter([&width](const char* name, std::uint64_t Counters::*) {
    width = std::max(width, std::string_view(name).size() + 2);
  });
  const auto line = [width](const char* name, const char* help) {
    std::string head = std::string("  ") + name;
    head.resize(2 + width, ' ');
    return Wrapped(head, help, 2 + width, 79) + "\n";
  };
  std::string doc = R"(What the driver counted on its camera socket over a span of time.

GrabInfo.counters spans one grab (from the start command to the end of
recovery), Camera.totals the connection so far. Each is counted where it
happens. The camera socket's receive path:
)";
#define FP_DOC_LINE(field, name, unit, place, label, help) doc += line(#name, help);
  FRAMEPROBE_SOCKET_COUNTERS(FP_DOC_LINE)
  doc += "The driver's commands on that socket:\n";
  FRAMEPROBE_DRIVER_COUNTERS(FP_DOC_LINE)
#undef FP_DOC_LINE
  doc.pop_back();
  return doc;
}

py::dict AsDict(const Counters& counters) {
  py::dict dict;
  frameprobe::ForEachCounter(
      [&](const char* name, std::uint64_t Counters::*member) { dict[name] = counters.*member; });
  return dict;
}

std::string CountersRepr(const Counters& counters) {
  std::string text = "Counters(";
  frameprobe::ForEachCounter([&](const char* name, std::uint64_t Counters::*member) {
    if (text.back() != '(') text += ", ";
    text += std::string(name) + "=" + std::to_string(counters.*member);
  });
  return text + ")";
}

std::string Repr(const GrabInfo& info) {
  return "GrabInfo(complete=" + std::string(info.complete ? "True" : "False") +
         ", stream_packets=" + std::to_string(info.stream_packets) +
         ", lost_packets=" + std::to_string(info.LostPackets()) +
         ", fetched_again_packets=" + std::to_string(info.fetched_again_packets) +
         ", missing_packets=" + std::to_string(info.MissingPackets()) +
         ", image_ms=" + std::to_string(info.image_ms) +
         (info.cancelled ? std::string(", cancelled=True") : std::string()) + ")";
}

}  // namespace

void BindGrabInfo(py::module_& module) {
  // pybind11 copies the docstrings.
  py::class_<Counters> counters(module, "Counters", CountersDoc().c_str());
#define FP_ATTRIBUTE(field, name, unit, place, label, help) \
  counters.def_readonly(#name, &Counters::name, HelpSentence(help).c_str());
  FRAMEPROBE_SOCKET_COUNTERS(FP_ATTRIBUTE)
  FRAMEPROBE_DRIVER_COUNTERS(FP_ATTRIBUTE)
#undef FP_ATTRIBUTE
  counters.def("as_dict", &AsDict, "The counters as a dict, name to count, in the order above.")
      .def("__repr__", &CountersRepr);

  py::class_<GrabInfo>(module, "GrabInfo", R"(How one image arrived.

Packet ranges are Python ranges of packet numbers; packet n holds samples
n * PACKET_SAMPLES to (n + 1) * PACKET_SAMPLES - 1 of the flattened image.)")
      .def_readonly("complete", &GrabInfo::complete, "Every packet is in the image.")
      .def_readonly("cancelled", &GrabInfo::cancelled,
                    "The grab was stopped before the image was whole.")
      .def_readonly("stream_packets", &GrabInfo::stream_packets,
                    "Packets stored from the camera's stream.")
      .def_property_readonly("lost_packets", &GrabInfo::LostPackets,
                             "Packets the stream lost: PACKETS_PER_IMAGE - stream_packets.")
      .def_readonly("fetched_again_packets", &GrabInfo::fetched_again_packets,
                    "Lost packets fetched again from the camera one by one.")
      .def_property_readonly("missing_packets", &GrabInfo::MissingPackets,
                             "Packets the image lacks at the end; 0 when complete.")
      .def_property_readonly(
          "lost", [](const GrabInfo& i) { return Ranges(i.lost); },
          "The packets the stream lost, as ascending ranges (what recovery had to fetch).")
      .def_property_readonly(
          "missing", [](const GrabInfo& i) { return Ranges(i.missing); },
          "The packets the image lacks at the end, as ascending ranges; empty when complete. "
          "Their samples hold whatever the array held before.")
      .def_readonly("image_ms", &GrabInfo::image_ms,
                    "Milliseconds from just before the start command to the end of recovery.")
      .def_readonly("recovery_ms", &GrabInfo::recovery_ms,
                    "Milliseconds of recovery alone; 0 when nothing was lost.")
      .def_readonly("counters", &GrabInfo::counters,
                    "Counters of this grab, from the start command to the end of recovery; all 0 "
                    "when it was stopped before it started.")
      .def("__repr__", &Repr);
}

}  // namespace fp::python
