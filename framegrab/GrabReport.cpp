#include "framegrab/GrabReport.h"

#include "nudp/NudpProtocol.h"
#include "nudp/NudpSocket.h"

#include <algorithm>
#include <cmath>
#include <nlohmann/json.hpp>

namespace fp {

namespace {

// Nearest rank: the smallest value with at least `fraction` of the values at or below it.
double Percentile(std::vector<double> values, double fraction) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const auto rank =
      static_cast<std::size_t>(std::ceil(fraction * static_cast<double>(values.size())));
  return values[std::clamp<std::size_t>(rank, 1, values.size()) - 1];
}

double Max(const std::vector<double>& values) {
  return values.empty() ? 0 : *std::max_element(values.begin(), values.end());
}

std::string NoDataDiagnosis(const GrabReport& report) {
  return "No RAW data came although the camera accepted the start command. Usual causes: a "
         "firewall dropping UDP to the local ports 32100 and 32101, reverse-path filtering "
         "(net.ipv4.conf.*.rp_filter) discarding the camera's packets, or the wrong local "
         "interface (" +
         report.local + " must be the address that faces the camera).";
}

}  // namespace

int MissingPackets(const ImageRecord& record) {
  int packets = 0;
  for (const RawPacketRange& range : record.missing_ranges) packets += range.Count();
  return packets;
}

std::string DescribeIncomplete(const GrabReport& report, std::size_t most) {
  std::string text;
  std::size_t shown = 0;
  std::size_t more = 0;
  for (const ImageRecord& r : report.images) {
    if (r.complete) continue;
    if (shown == most) {
      ++more;
      continue;
    }
    std::string ranges;
    for (const RawPacketRange& range : r.missing_ranges) {
      ranges += (ranges.empty() ? "" : ", ") + std::to_string(range.first);
      if (range.last != range.first) ranges += "-" + std::to_string(range.last);
    }
    text += (shown == 0 ? "" : "; ") + std::string("image ") + std::to_string(r.number) +
            " lacks " + std::to_string(MissingPackets(r)) + " packets (" + ranges + ")";
    if (!r.picture.empty()) text += ", zeros in " + r.picture;
    ++shown;
  }
  if (more > 0) text += "; and " + std::to_string(more) + " more";
  return text;
}

void Summarize(GrabReport& report, int interrupt_status) {
  GrabReport::Summary s;
  std::vector<double> image_ms;
  std::vector<double> recovery_ms;
  bool no_data = false;
  for (const ImageRecord& r : report.images) {
    (r.complete ? s.complete_images : s.incomplete_images)++;
    image_ms.push_back(r.image_ms);
    if (r.missing_packets > 0) recovery_ms.push_back(r.recovery_ms);
    s.missing_packets += r.missing_packets;
    s.fetched_again_packets += r.fetched_again_packets;
    s.duplicate_packets += r.duplicate_packets;
    s.conflicting_packets += r.conflicting_packets;
    no_data = no_data || r.stream_packets == 0;
  }
  const auto images = static_cast<double>(report.images.size());
  s.image_median_ms = Percentile(image_ms, 0.5);
  s.image_p99_ms = Percentile(image_ms, 0.99);
  s.image_max_ms = Max(image_ms);
  s.images_per_s = report.elapsed_ms > 0 ? images * 1000.0 / report.elapsed_ms : 0;
  s.stream_expected_packets =
      static_cast<std::int64_t>(report.images.size()) * RAW_PACKETS_PER_IMAGE;
  s.missing_share =
      s.stream_expected_packets > 0
          ? static_cast<double>(s.missing_packets) / static_cast<double>(s.stream_expected_packets)
          : 0;
  s.recovery_median_ms = Percentile(recovery_ms, 0.5);
  s.recovery_max_ms = Max(recovery_ms);
  if (images > 0) {
    s.cpu_user_ms_per_image = report.cpu_user_ms / images;
    s.cpu_system_ms_per_image = report.cpu_system_ms / images;
  }
  if (report.rcvbuf_errors_before && report.rcvbuf_errors_after) {
    s.kernel_drops = *report.rcvbuf_errors_after - *report.rcvbuf_errors_before;
  }

  if (no_data) s.diagnoses.push_back(NoDataDiagnosis(report));
  if (report.receive_buffer_bytes >= 0 &&
      report.receive_buffer_bytes < NudpSocket::kImageReceiveBufferBytes) {
    s.diagnoses.push_back(
        "The receive buffer granted (" + std::to_string(report.receive_buffer_bytes) +
        " bytes) is smaller than one image needs (" +
        std::to_string(NudpSocket::kImageReceiveBufferBytes) +
        " bytes: the kernel counts each of its " + std::to_string(RAW_PACKETS_PER_IMAGE) +
        " datagrams as " + std::to_string(NudpSocket::kKernelBytesPerRawDatagram) +
        " bytes); lift the kernel's cap with: sudo sysctl -w net.core.rmem_max=" +
        std::to_string(NudpSocket::kReceiveBufferRequest));
  }
  if (s.conflicting_packets > 0) {
    s.diagnoses.push_back(
        std::to_string(s.conflicting_packets) +
        " packets came again with other data than the copy stored first; each such packet was "
        "counted as missing and fetched again from the camera. Another sender may be using the "
        "camera's address and port (NUDP has no authentication), or the camera started an image "
        "again; keep the camera on a link of its own.");
  }
  if (s.kernel_drops && *s.kernel_drops > 0) {
    s.diagnoses.push_back("The kernel dropped " + std::to_string(*s.kernel_drops) +
                          " UDP datagrams for a full receive buffer during the run "
                          "(RcvbufErrors in /proc/net/snmp, all sockets of the machine).");
  }

  if (interrupt_status != 0) {
    s.exit_status = interrupt_status;
  } else if (!report.opened || report.ended_by == "contact lost") {
    s.exit_status = 3;
  } else if (s.incomplete_images > 0 || report.failed_pictures > 0) {
    s.exit_status = 1;
  }
  report.summary = std::move(s);
}

std::string ReportToJson(const GrabReport& report) {
  using json = nlohmann::ordered_json;
  const GrabReport::Summary& s = report.summary;
  auto optional = [](const std::optional<std::int64_t>& v) { return v ? json(*v) : json(nullptr); };
  json images = json::array();
  for (const ImageRecord& r : report.images) {
    json ranges = json::array();
    for (const RawPacketRange& range : r.missing_ranges)
      ranges.push_back({range.first, range.last});
    images.push_back({{"image", r.number},
                      {"complete", r.complete},
                      {"stream_packets", r.stream_packets},
                      {"missing_after_stream_packets", r.missing_packets},
                      {"fetched_again_packets", r.fetched_again_packets},
                      {"duplicate_packets", r.duplicate_packets},
                      {"conflicting_packets", r.conflicting_packets},
                      {"missing_packet_ranges", ranges},
                      {"image_time_ms", r.image_ms},
                      {"recovery_time_ms", r.recovery_ms},
                      {"picture_file", r.picture.empty() ? json(nullptr) : json(r.picture)}});
  }
  json summary = {{"requested_images", report.requested_images},
                  {"complete_images", s.complete_images},
                  {"incomplete_images", s.incomplete_images},
                  {"ended_by", report.ended_by},
                  {"elapsed_ms", report.elapsed_ms},
                  {"images_per_s", s.images_per_s},
                  {"image_time_median_ms", s.image_median_ms},
                  {"image_time_p99_ms", s.image_p99_ms},
                  {"image_time_max_ms", s.image_max_ms},
                  {"stream_expected_packets", s.stream_expected_packets},
                  {"missing_after_stream_packets", s.missing_packets},
                  {"missing_after_stream_share", s.missing_share},
                  {"fetched_again_packets", s.fetched_again_packets},
                  {"recovery_time_median_ms", s.recovery_median_ms},
                  {"recovery_time_max_ms", s.recovery_max_ms},
                  {"duplicate_packets", s.duplicate_packets},
                  {"conflicting_packets", s.conflicting_packets},
                  {"cpu_user_ms_per_image", s.cpu_user_ms_per_image},
                  {"cpu_system_ms_per_image", s.cpu_system_ms_per_image},
                  {"receive_buffer_bytes", report.receive_buffer_bytes},
                  {"image_bytes", RAW_IMAGE_SIZE},
                  {"image_receive_buffer_bytes", NudpSocket::kImageReceiveBufferBytes},
                  {"kernel_rcvbuf_errors_before_packets", optional(report.rcvbuf_errors_before)},
                  {"kernel_rcvbuf_errors_after_packets", optional(report.rcvbuf_errors_after)},
                  {"kernel_dropped_packets", optional(s.kernel_drops)},
                  {"saved_pictures", report.saved_pictures},
                  {"unsaved_pictures", report.unsaved_pictures},
                  {"failed_pictures", report.failed_pictures},
                  {"diagnoses", s.diagnoses},
                  {"exit_status", s.exit_status}};
  const json root = {{"program", "framegrab"}, {"version", report.version},
                     {"local", report.local},  {"camera", report.camera},
                     {"summary", summary},     {"images", images}};
  return root.dump(2) + "\n";
}

}  // namespace fp
