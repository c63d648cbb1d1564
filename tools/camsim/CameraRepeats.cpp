// Datagrams that CameraSimulator sends on a timer: the second copy of every answer
// (--answer-twice), one RAW packet repeated after each stream (--repeat-packet) and the late
// answer and image of each 0x08 (--start-delay): the faults of a network that delivers twice,
// of a camera that keeps resending and of one that is slow to answer.
#include "tools/camsim/CameraSimulator.h"
#include "tools/camsim/PcapWriter.h"

#include <algorithm>
#include <array>

namespace fp {

namespace {

using Clock = std::chrono::steady_clock;

Clock::duration Milliseconds(double ms) {
  return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double, std::milli>(ms));
}

}  // namespace

void CameraSimulator::StartRepeat(const SimEndpoint& to, std::uint32_t image) {
  const Clock::time_point now = Clock::now();
  _repeat = Repeat{/*active=*/true, to, image, now + Milliseconds(_options.repeat_every_ms),
                   now + Milliseconds(_options.repeat_for_ms)};
}

Clock::time_point CameraSimulator::SendTimed() {
  const Clock::time_point now = Clock::now();
  bool started = false;
  while (!_delayed_starts.empty() && _delayed_starts.front().due <= now) {
    const DelayedStart start = _delayed_starts.front();
    _delayed_starts.pop_front();
    StartStream(start.command, start.from);
    started = true;
  }
  while (!_echoes.empty() && _echoes.front().due <= now) {
    const Echo& echo = _echoes.front();
    if (_socket.SendTo(echo.to, echo.bytes.data(), echo.bytes.size(), nullptr, 0)) {
      Record(_local, echo.to, echo.bytes.data(), echo.bytes.size());
      std::lock_guard<std::mutex> lock(_mutex);
      ++_stats.answers_repeated;
      _stats.bytes_sent += echo.bytes.size();
    }
    _echoes.pop_front();
  }
  if (_repeat.active && _repeat.next <= now) {
    if (now >= _repeat.end) {
      _repeat.active = false;
    } else {
      std::array<std::uint8_t, kRawDatagramLength> datagram{};
      const int index = _options.repeat_index;
      const NudpHeader header = BuildCommandHeader(NUDP_TOP_RAW_DATA, RawNumberField(index));
      std::copy(header.begin(), header.end(), datagram.begin());
      FillImageBytes(_repeat.image, static_cast<std::uint64_t>(index) * RAW_PACKET_DATA_LENGTH,
                     datagram.data() + NUDP_HEADER_LENGTH, RAW_PACKET_DATA_LENGTH,
                     _options.pattern);
      if (_socket.SendTo(_repeat.to, datagram.data(), datagram.size(), nullptr, 0)) {
        Record(_local, _repeat.to, datagram.data(), datagram.size());
        std::lock_guard<std::mutex> lock(_mutex);
        ++_stats.raw_repeats_sent;
        _stats.bytes_sent += datagram.size();
      }
      _repeat.next += Milliseconds(_options.repeat_every_ms);
      if (_repeat.next < now) _repeat.next = now;
    }
  }
  Clock::time_point next = Clock::time_point::max();
  if (!_echoes.empty()) next = _echoes.front().due;
  if (!_delayed_starts.empty()) next = std::min(next, _delayed_starts.front().due);
  // A stream just started is pumped at once, not after the idle slice.
  if (started) next = now;
  if (_repeat.active) next = std::min(next, _repeat.next);
  return next;
}

}  // namespace fp
