// The RAW stream of CameraSimulator: one image of RAW data packets after each 0x08 command,
// paced by a byte budget on the steady clock.
#include "tools/CameraSimulator.h"
#include "tools/CameraStreamState.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace fp {

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

}  // namespace

void CameraSimulator::StartStream(const NudpHeader& command, const SimEndpoint& to) {
  // A new 0x08 during a stream abandons the old image and starts the next one from packet 0.
  if (_stream) EndStream(/*finished=*/false);
  auto stream = std::make_unique<Stream>();
  stream->to = to;
  stream->image = _image_number.load() + 1;
  stream->plan = PlanStream(_options, stream->image);
  stream->command = command;
  stream->command_from = to;
  stream->answer_pending = _options.answer_after_stream;
  _image_number = stream->image;
  {
    std::lock_guard<std::mutex> lock(_mutex);
    ++_stats.images_started;
  }
  char text[160];
  std::snprintf(text, sizeof text, "camsim: image %u: streaming %zu packets to %s\n", stream->image,
                stream->plan.size(), EndpointText(to).c_str());
  Trace(text);
  // The answer goes first, so the host sees it before the data (unless held back).
  if (!stream->answer_pending) Answer(command, to, nullptr, 0);
  stream->start = Clock::now();
  stream->budget_origin = stream->start;
  stream->last_send = stream->start;
  _stream = std::move(stream);
  _streaming = true;
  if (_stream->plan.empty()) EndStream(/*finished=*/true);
}

void CameraSimulator::EndStream(bool finished) {
  std::unique_ptr<Stream> stream = std::move(_stream);
  _streaming = false;
  const double seconds = stream->packets > 0 ? Seconds(stream->last_send - stream->start) : 0.0;
  {
    std::lock_guard<std::mutex> lock(_mutex);
    ++(finished ? _stats.images_finished : _stats.images_interrupted);
    _stats.stream_seconds += seconds;
    _stats.last_stream_seconds = seconds;
    _stats.last_stream_bytes = stream->bytes;
  }
  char text[160];
  std::snprintf(text, sizeof text,
                "camsim: image %u: %s after %llu packets in %.1f ms (%.0f Mbit/s)\n", stream->image,
                finished ? "stream ended" : "stream interrupted",
                static_cast<unsigned long long>(stream->packets), seconds * 1e3,
                seconds > 0 ? static_cast<double>(stream->bytes) * 8 / seconds / 1e6 : 0.0);
  Trace(text);
  // Exactly one answer per command, also when the stream was cut short by the next 0x08.
  if (stream->answer_pending) Answer(stream->command, stream->command_from, nullptr, 0);
}

std::chrono::nanoseconds CameraSimulator::PumpStream() {
  if (!_stream) return std::chrono::hours(1);
  Stream& s = *_stream;
  const Clock::time_point now = Clock::now();
  std::size_t allowed = s.next + kStreamBatch;  // unpaced: one full batch per call
  if (_bytes_per_second > 0) {
    // Packets whose time has come: the first at once, then one per datagram length at the rate.
    const double elapsed = Seconds(now - s.budget_origin);
    const double due = std::floor(elapsed * _bytes_per_second / kRawDatagramLength) + 1;
    const std::size_t limit = s.next + kMaxBurst;
    if (due > static_cast<double>(limit)) {
      // Behind after a stall: a link cannot go faster than its rate to catch up, so forgive
      // the debt beyond one burst.
      const double behind = static_cast<double>(limit - 1) * kRawDatagramLength / _bytes_per_second;
      s.budget_origin =
          now - std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(behind));
      allowed = limit;
    } else {
      allowed = static_cast<std::size_t>(due);
    }
  }
  allowed = std::min(allowed, s.plan.size());
  const int count = allowed > s.next
                        ? static_cast<int>(std::min<std::size_t>(allowed - s.next, kStreamBatch))
                        : 0;
  if (count > 0) {
    std::array<const std::uint8_t*, kStreamBatch> datagrams{};
    std::array<std::size_t, kStreamBatch> lengths{};
    for (int i = 0; i < count; ++i) {
      const auto k = static_cast<std::size_t>(i);
      const int index = s.plan[s.next + k];
      std::uint8_t* slot = s.slots[k].data();
      const NudpHeader header = BuildCommandHeader(NUDP_TOP_RAW_DATA, RawNumberField(index));
      std::copy(header.begin(), header.end(), slot);
      FillImageBytes(s.image, static_cast<std::uint64_t>(index) * RAW_PACKET_DATA_LENGTH,
                     slot + NUDP_HEADER_LENGTH, RAW_PACKET_DATA_LENGTH);
      datagrams[k] = slot;
      lengths[k] = kRawDatagramLength;
    }
    const int sent = _socket.SendBatch(s.to, datagrams.data(), lengths.data(), count);
    s.last_send = Clock::now();
    // A datagram that could not be sent is lost like one dropped on the wire; the stream goes on.
    const int failed = count - std::max(sent, 0);
    s.next += static_cast<std::size_t>(count);
    s.packets += static_cast<std::uint64_t>(std::max(sent, 0));
    s.bytes += static_cast<std::uint64_t>(std::max(sent, 0)) * kRawDatagramLength;
    {
      std::lock_guard<std::mutex> lock(_mutex);
      _stats.raw_packets_sent += static_cast<std::uint64_t>(std::max(sent, 0));
      _stats.raw_bytes_sent += static_cast<std::uint64_t>(std::max(sent, 0)) * kRawDatagramLength;
      _stats.bytes_sent += static_cast<std::uint64_t>(std::max(sent, 0)) * kRawDatagramLength;
      _stats.raw_send_errors += static_cast<std::uint64_t>(failed);
    }
  }
  if (s.next >= s.plan.size()) {
    EndStream(/*finished=*/true);
    return std::chrono::nanoseconds(0);
  }
  if (_bytes_per_second <= 0) return std::chrono::nanoseconds(0);
  const double next_due = static_cast<double>(s.next) * kRawDatagramLength / _bytes_per_second;
  const auto wait =
      s.budget_origin +
      std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(next_due)) -
      Clock::now();
  return std::max<std::chrono::nanoseconds>(wait, std::chrono::nanoseconds(0));
}

std::string CameraSimulator::FormatStats(const SimulatorStats& stats) {
  std::string out;
  char line[200];
  auto add = [&](const char* format, auto... values) {
    std::snprintf(line, sizeof line, format, values...);
    out += line;
  };
  auto u = [](std::uint64_t v) { return static_cast<unsigned long long>(v); };
  add("commands received: %llu (ignored %llu, rejected datagrams %llu)\n",
      u(stats.commands_received), u(stats.commands_ignored), u(stats.datagrams_rejected));
  for (const auto& [key, count] : stats.by_code_and_port) {
    if (key.top == NUDP_TOP_RETRANSMIT) {
      add("  TOP 6 retransmission   from port %5u: %llu\n", unsigned{key.port}, u(count));
    } else {
      add("  TOP %u number 0x%08X from port %5u: %llu\n", unsigned{key.top}, key.code,
          unsigned{key.port}, u(count));
    }
  }
  add("answers sent: %llu (damaged %llu)\n", u(stats.answers_sent), u(stats.answers_damaged));
  add("images: %llu started, %llu finished, %llu interrupted\n", u(stats.images_started),
      u(stats.images_finished), u(stats.images_interrupted));
  add("RAW packets sent: %llu (send errors %llu)\n", u(stats.raw_packets_sent),
      u(stats.raw_send_errors));
  add("retransmissions served: %llu\n", u(stats.retransmissions_served));
  add("bytes sent: %llu (RAW %llu)\n", u(stats.bytes_sent), u(stats.raw_bytes_sent));
  add("achieved rate: %.1f Mbit/s over %.1f ms of streaming (last image %.1f Mbit/s)\n",
      stats.AchievedMbit(), stats.stream_seconds * 1e3, stats.LastStreamMbit());
  return out;
}

}  // namespace fp
