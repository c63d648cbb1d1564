// CEthCamera::TakeImage: one image from its buffer to its end, recovery included, as the
// programs that take images one after another take each.

#include "camera/CEthCamera.h"

#include <chrono>

namespace fp {

namespace {

using Clock = std::chrono::steady_clock;

double MsBetween(Clock::time_point from, Clock::time_point to) {
  return std::chrono::duration<double, std::milli>(to - from).count();
}

}  // namespace

TakenImage CEthCamera::TakeImage(std::span<std::uint8_t> buffer, const std::atomic<bool>* stop,
                                 FunctionRef<void()> on_started) {
  const auto stopped = [stop] { return stop != nullptr && stop->load(); };
  TakenImage taken;
  taken.lost = {RawPacketRange{0, RAW_LAST_PACKET_INDEX}};
  taken.missing = taken.lost;
  if (stopped()) {
    taken.start = TakenImage::Start::kStopped;
    taken.stopped = true;
    return taken;
  }
  if (buffer.size() != RAW_IMAGE_SIZE) {
    LogFormatted(true, "CEthCamera::TakeImage():\nImage buffer of %zu bytes, not %zu.\n\n",
                 buffer.size(), RAW_IMAGE_SIZE);
    taken.start = TakenImage::Start::kBufferRefused;
    return taken;
  }
  if (!SetRawDataBuffer(buffer.data())) {
    taken.start = TakenImage::Start::kBufferRefused;
    return taken;
  }
  const Clock::time_point start = Clock::now();
  if (!SendCmd(NUDP_CMD_START_RAW, NUDP_TOP_COMMAND)) {
    taken.start = TakenImage::Start::kNotAnswered;
    return taken;
  }
  taken.start = TakenImage::Start::kStarted;
  on_started();

  taken.missing.clear();
  taken.complete = WaitForRawData(stop);
  if (!taken.complete) {
    if (!stopped()) {
      const Clock::time_point recovery = Clock::now();
      taken.complete = ReadMissing(buffer.data(), stop);
      taken.recovery_ms = MsBetween(recovery, Clock::now());
    } else {
      // Stopped before recovery: the image is handed back all the same, and the next 0x08
      // waits for what the stopped stream left in flight.
      ReleaseRawDataBuffer();
    }
    taken.missing = MissingRanges();
    taken.stopped = !taken.complete && stopped();
  }
  // Looked at once the image is handed back: of the stream the image was completed from, when
  // it began again during recovery.
  taken.lost = LostRanges();
  taken.stream_packets = RAW_PACKETS_PER_IMAGE - PacketsIn(taken.lost);
  taken.ended = Clock::now();
  taken.image_ms = MsBetween(start, taken.ended);
  taken.transfer = Counters().last_transfer;
  return taken;
}

}  // namespace fp
