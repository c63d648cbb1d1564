#include "python/PyGrabInfo.h"

#include "frameprobe/Camera.h"

#include <cstdint>
#include <pybind11/stl.h>
#include <string>
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

constexpr const char* kCountersDoc =
    R"(What the driver counted on its camera socket over a span of time.

GrabInfo.counters spans one grab (from the start command to the end of
recovery), Camera.totals the connection so far. Each is counted where it
happens. The camera socket's receive path:
  received_packets      datagrams received, whatever became of them
  foreign_packets       from another address or port than the camera's
  damaged_packets       a wrong length, no signature, a wrong checksum,
                        outside the image or not filling its place
  raw_packets           RAW data packets from the camera with a signature
  stored_packets        RAW data packets stored in the image
  duplicate_packets     RAW data packets stored already, the same data again
  conflicting_packets   stored already with other data: missing again
  refused_packets       RAW data packets while none were expected
  matched_answers       answers that completed the command sent last
  stray_answers         answers while no command waited, or to another
  restarts              the image began again (an answer to a repeated start, or a stream without one)
The driver's commands on that socket:
  sent_commands             command packets sent, repetitions included
  repeated_commands         of those, repetitions after the first sending
  timed_out_commands        attempts that no answer ended in time
  status_requests           transfer status requests (0x0A) sent
  retransmission_requests   retransmission requests (TOP 6) sent
  answered_retransmissions  retransmission requests the camera answered
  fetched_again_packets     RAW packets that recovery brought into the image
  drains                    waits for a streaming camera to fall silent
  lost_contacts             commands given up: the connection closed)";

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
  py::class_<Counters> counters(module, "Counters", kCountersDoc);
  frameprobe::ForEachCounter([&counters](const char* name, std::uint64_t Counters::*member) {
    counters.def_readonly(name, member);
  });
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
