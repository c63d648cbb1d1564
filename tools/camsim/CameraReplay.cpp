// CameraSimulator as the camera of a capture (--replay): each image's stream planned from the
// capture's and timed by it, retransmission requests served from the image the capture rebuilt,
// the other commands answered as ReplayAnswers says.
#include "tools/camsim/CameraSimulator.h"
#include "tools/camsim/CameraStreamState.h"
#include "tools/camsim/CaptureReplay.h"
#include "tools/camsim/ReplayAnswers.h"
#include "tools/camsim/StreamPlan.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace fp {

namespace {

using Clock = std::chrono::steady_clock;

}  // namespace

const std::vector<std::uint8_t>* CameraSimulator::PlanReplay(Stream& stream) {
  // The n-th image of the run is the capture's n-th, and the capture starts over after its last.
  const int number =
      static_cast<int>((stream.image - 1) % static_cast<std::uint32_t>(_replay->Images())) + 1;
  const CapturedImage& image = _replay->Image(number);
  stream.replay = &image;
  std::vector<int> indices;
  indices.reserve(image.stream.size());
  for (const StreamPacket& packet : image.stream) {
    indices.push_back(static_cast<int>(RawPacketIndex(packet.number)));
  }
  const std::vector<std::size_t> kept = ThinStream(_options, stream.image, indices);
  stream.plan.reserve(kept.size());
  stream.due_ns.reserve(kept.size());
  for (const std::size_t at : kept) {
    stream.plan.push_back(indices[at]);
    stream.due_ns.push_back(
        std::llround(static_cast<double>(image.stream[at].after_ns) / _options.replay_speed));
  }
  _replay_image = number;
  _replay_answers->StartImage(number);
  char text[160];
  std::snprintf(text, sizeof text, "camsim:   replaying image %d of %d of the capture\n", number,
                _replay->Images());
  Trace(text);
  const std::uint8_t top = stream.command[2] & NUDP_TOP_MASK;
  return _replay_answers->Next(top, ReadNumberField(stream.command.data())).answer;
}

Clock::time_point CameraSimulator::ReplayDue(Stream& s, std::size_t& due) const {
  const Clock::time_point now = Clock::now();
  const auto at = [&s](std::size_t k) { return s.origin + std::chrono::nanoseconds(s.due_ns[k]); };
  // After a stall, at most kMaxCatchUp of the capture is sent back to back; the rest of the
  // replay moves later by what is left of the delay, as camsim's own pacing forgives it.
  if (now - at(s.next) > kMaxCatchUp) s.origin += (now - at(s.next)) - kMaxCatchUp;
  // A batch is the packets due within kPacingPeriod of the next one, at most kMaxBatch: sent
  // together once the last of them is due, so that a dense stream costs a wake-up a batch and
  // a sparse one keeps its gaps.
  const std::size_t end = std::min(s.plan.size(), s.next + kMaxBatch);
  std::size_t last = s.next;
  while (last + 1 < end && at(last + 1) <= at(s.next) + kPacingPeriod) ++last;
  if (now < at(last)) {
    due = 0;
    return at(last);
  }
  due = 0;
  while (s.next + due < end && at(s.next + due) <= now) ++due;
  return now;
}

bool CameraSimulator::ReplayAnswer(const NudpHeader& command, CameraAnswers::DataBuffer& data,
                                   std::size_t& data_length,
                                   const std::vector<std::uint8_t>*& captured) {
  const std::uint8_t top = command[2] & NUDP_TOP_MASK;
  const std::uint32_t number = ReadNumberField(command.data());
  if (top == NUDP_TOP_RETRANSMIT) {
    // Only a packet the capture holds, asked for at its place: the capture knows no other bytes.
    const int image = _replay_image.load();
    const std::uint64_t index = RawPacketIndex(number);
    const bool held = image > 0 && RawPacketInImage(number, RAW_PACKET_DATA_LENGTH) &&
                      RawPacketFillsItsPlace(number, RAW_PACKET_DATA_LENGTH) &&
                      _replay->Image(image).held[index];
    if (!held) {
      {
        std::lock_guard<std::mutex> lock(_mutex);
        ++_stats.retransmissions_not_held;
      }
      Trace("camsim:   not answered: the capture does not hold that packet\n");
      return false;
    }
    std::memcpy(data.data(), _replay->Image(image).data.get() + index * RAW_PACKET_DATA_LENGTH,
                RAW_PACKET_DATA_LENGTH);
    data_length = RAW_PACKET_DATA_LENGTH;
    return true;
  }
  const ReplayAnswers::Found found = _replay_answers->Next(top, number);
  switch (found.source) {
    case ReplayAnswers::Source::kNone:
      Trace("camsim:   not answered: the capture shows no answer to it\n");
      return false;
    case ReplayAnswers::Source::kCapture:
      captured = found.answer;
      return true;
    case ReplayAnswers::Source::kCamsim:
      data_length = _answers.Data(command, _image_number.load(), _stream != nullptr, data);
      return true;
  }
  return false;
}

}  // namespace fp
