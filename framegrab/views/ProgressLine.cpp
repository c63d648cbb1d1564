#include "framegrab/views/ProgressLine.h"

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
                           std::chrono::milliseconds period)
    : _out(out), _terminal(terminal), _requested(requested_images), _period(period) {}

void ProgressLine::Update(const ImageRecord& r, const RunProgress& progress) {
  const auto now = std::chrono::steady_clock::now();
  if (!_terminal && _period.count() > 0) {
    if (now - _last_draw < _period) return;
    _last_draw = now;
    PrintRun(progress);
    return;
  }
  if (!_terminal) {
    std::fprintf(_out,
                 "image %d/%d: %s, %d packets from the stream, %d missing, %d fetched again, "
                 "%d duplicates, %.1f ms\n",
                 r.number, _requested, r.complete ? "complete" : "incomplete", r.stream_packets,
                 r.missing_packets, static_cast<int>(r.transfer.camera.fetched_again),
                 static_cast<int>(r.transfer.socket.duplicates), r.image_ms);
    std::fflush(_out);
    return;
  }
  if (_drawn && now - _last_draw < kRedrawInterval) return;
  _last_draw = now;
  Draw(progress);
}

void ProgressLine::Finish(const RunProgress& progress) {
  if (!_terminal || progress.done == 0) return;
  Draw(progress);
  std::fputc('\n', _out);
  std::fflush(_out);
}

void ProgressLine::PrintRun(const RunProgress& p) {
  const std::string now = UtcText(std::chrono::system_clock::now());
  std::string pictures;
  if (p.saved_pictures + p.unsaved_pictures + p.failed_pictures > 0) {
    pictures = ", pictures " + std::to_string(p.saved_pictures) + " saved " +
               std::to_string(p.unsaved_pictures) + " skipped " +
               std::to_string(p.failed_pictures) + " failed";
  }
  std::fprintf(_out,
               "%s: %d/%d images (%d incomplete), %.1f images/s, stream loss %.3f%%, fetched "
               "again %lld, outages %d%s, elapsed %s, remaining %s\n",
               now.c_str(), p.done, p.requested, p.incomplete, p.images_per_s,
               p.missing_share * 100.0, static_cast<long long>(p.fetched_again_packets), p.outages,
               pictures.c_str(), Clock(p.elapsed_ms).c_str(), Clock(p.remaining_ms).c_str());
  std::fflush(_out);
}

void ProgressLine::Draw(const RunProgress& p) {
  // Clearing to the end of the line removes what a longer line left behind.
  const std::string outages =
      p.outages > 0 ? "  outages " + std::to_string(p.outages) : std::string();
  std::fprintf(_out,
               "\r%d/%d images  %.1f images/s  stream loss %.3f%%  fetched again %lld%s  elapsed "
               "%s  remaining %s\x1b[K",
               p.done, p.requested, p.images_per_s, p.missing_share * 100.0,
               static_cast<long long>(p.fetched_again_packets), outages.c_str(),
               Clock(p.elapsed_ms).c_str(), Clock(p.remaining_ms).c_str());
  std::fflush(_out);
  _drawn = true;
}

}  // namespace fp
