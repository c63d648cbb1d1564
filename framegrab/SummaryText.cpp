// The summary for a person: one line per figure, the diagnoses last.
#include "nudp/NudpProtocol.h"
#include "nudp/NudpSocket.h"

#include "framegrab/GrabReport.h"

#include <cstdarg>
#include <cstdio>

namespace fp {

namespace {

void Add(std::string& out, const char* format, ...) __attribute__((format(printf, 2, 3)));
void Add(std::string& out, const char* format, ...) {
  char line[512];
  va_list args;
  va_start(args, format);
  std::vsnprintf(line, sizeof line, format, args);
  va_end(args);
  out += line;
}

}  // namespace

std::string FormatSummary(const GrabReport& report) {
  const GrabReport::Summary& s = report.summary;
  auto ll = [](std::int64_t v) { return static_cast<long long>(v); };
  std::string out;
  Add(out, "images: %d complete, %d incomplete, of %d asked for (ended by %s)\n", s.complete_images,
      s.incomplete_images, report.requested_images, report.ended_by.c_str());
  Add(out, "image time: median %.1f ms, p99 %.1f ms, max %.1f ms; %.2f images/s\n",
      s.image_median_ms, s.image_p99_ms, s.image_max_ms, s.images_per_s);
  Add(out, "missing after the stream: %lld packets (%.3f%% of %lld)\n", ll(s.missing_packets),
      s.missing_share * 100.0, ll(s.stream_expected_packets));
  Add(out, "fetched again: %lld packets; recovery median %.1f ms, max %.1f ms\n",
      ll(s.fetched_again_packets), s.recovery_median_ms, s.recovery_max_ms);
  if (s.incomplete_images > 0) out += "incomplete: " + DescribeIncomplete(report) + "\n";
  Add(out, "duplicates: %lld packets\n", ll(s.duplicate_packets));
  if (s.conflicting_packets > 0) {
    Add(out, "conflicting copies: %lld packets came again with other data\n",
        ll(s.conflicting_packets));
  }
  Add(out, "processor time per image: user %.1f ms, system %.1f ms\n", s.cpu_user_ms_per_image,
      s.cpu_system_ms_per_image);
  if (report.receive_buffer_bytes >= 0) {
    Add(out, "receive buffer: %lld bytes granted, one image needs %d of it\n",
        ll(report.receive_buffer_bytes), NudpSocket::kImageReceiveBufferBytes);
  } else {
    Add(out, "receive buffer: unknown, one image needs %d bytes of it\n",
        NudpSocket::kImageReceiveBufferBytes);
  }
  if (s.kernel_drops) {
    Add(out, "kernel UDP receive-buffer drops: %lld (RcvbufErrors %lld before, %lld after)\n",
        ll(*s.kernel_drops), ll(*report.rcvbuf_errors_before), ll(*report.rcvbuf_errors_after));
  } else {
    Add(out, "kernel UDP receive-buffer drops: unknown (/proc/net/snmp not readable)\n");
  }
  if (report.saved_pictures + report.unsaved_pictures + report.failed_pictures > 0) {
    Add(out, "pictures: %d saved, %d left unsaved (writer behind), %d failed\n",
        report.saved_pictures, report.unsaved_pictures, report.failed_pictures);
  }
  for (const std::string& d : s.diagnoses) out += "diagnosis: " + d + "\n";
  return out;
}

}  // namespace fp
