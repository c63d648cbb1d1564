#include "framegrab/ProgressLine.h"

#include "nudp/NudpProtocol.h"

#include <algorithm>
#include <string>

namespace fp {

namespace {

constexpr std::chrono::milliseconds kRedrawInterval{100};

std::string Clock(double ms) {
  const auto tenths = static_cast<long long>(ms / 100.0);
  char text[32];
  std::snprintf(text, sizeof text, "%lld:%02lld.%lld", tenths / 600, tenths / 10 % 60, tenths % 10);
  return text;
}

}  // namespace

ProgressLine::ProgressLine(std::FILE* out, bool terminal, int requested_images,
                           double duration_seconds)
    : _out(out),
      _terminal(terminal),
      _requested(requested_images),
      _duration_ms(duration_seconds * 1e3) {}

void ProgressLine::Update(const GrabReport& report, double elapsed_ms) {
  if (!_terminal) {
    const ImageRecord& r = report.images.back();
    std::fprintf(_out,
                 "image %d/%d: %s, %d packets from the stream, %d missing, %d fetched again, "
                 "%d duplicates, %.1f ms\n",
                 r.number, _requested, r.complete ? "complete" : "incomplete", r.stream_packets,
                 r.missing_packets, r.fetched_again_packets, r.duplicate_packets, r.image_ms);
    std::fflush(_out);
    return;
  }
  const auto now = std::chrono::steady_clock::now();
  if (_drawn && now - _last_draw < kRedrawInterval) return;
  _last_draw = now;
  Draw(report, elapsed_ms);
}

void ProgressLine::Finish(const GrabReport& report, double elapsed_ms) {
  if (!_terminal || report.images.empty()) return;
  Draw(report, elapsed_ms);
  std::fputc('\n', _out);
  std::fflush(_out);
}

void ProgressLine::Draw(const GrabReport& report, double elapsed_ms) {
  const auto done = static_cast<int>(report.images.size());
  long long missing = 0;
  long long fetched = 0;
  for (const ImageRecord& r : report.images) {
    missing += r.missing_packets;
    fetched += r.fetched_again_packets;
  }
  const double rate = elapsed_ms > 0 ? done * 1e3 / elapsed_ms : 0;
  double remaining_ms = rate > 0 ? (_requested - done) * 1e3 / rate : 0;
  if (_duration_ms > 0)
    remaining_ms = std::min(remaining_ms, std::max(0.0, _duration_ms - elapsed_ms));
  const double loss = done > 0 ? 100.0 * static_cast<double>(missing) /
                                     (static_cast<double>(done) * RAW_PACKETS_PER_IMAGE)
                               : 0;
  // Clearing to the end of the line removes what a longer line left behind.
  std::fprintf(_out,
               "\r%d/%d images  %.1f images/s  stream loss %.3f%%  fetched again %lld  elapsed %s"
               "  remaining %s\x1b[K",
               done, _requested, rate, loss, fetched, Clock(elapsed_ms).c_str(),
               Clock(remaining_ms).c_str());
  std::fflush(_out);
  _drawn = true;
}

}  // namespace fp
