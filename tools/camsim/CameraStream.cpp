// The RAW stream of CameraSimulator: one image of RAW data packets after each 0x08 command,
// paced on the steady clock in batches of packets sent with one system call each.
#include "tools/camsim/CameraSimulator.h"
#include "tools/camsim/CameraStreamState.h"
#include "tools/camsim/CaptureReplay.h"
#include "tools/camsim/PcapWriter.h"
#include "tools/camsim/StreamPlan.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace fp {

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

// CPU time of the calling thread, for the statistics.
double ThreadCpuSeconds() {
  timespec t{};
  if (::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t) != 0) return 0.0;
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

// The time `packets` packet intervals after `origin`, rounded up to the clock's tick so that
// the packets are surely due then.
Clock::time_point After(Clock::time_point origin, std::size_t packets, double interval_ns) {
  return origin + std::chrono::ceil<Clock::duration>(std::chrono::duration<double, std::nano>(
                      static_cast<double>(packets) * interval_ns));
}

}  // namespace

void CameraSimulator::StartStream(const NudpHeader& command, const SimEndpoint& to, bool answer) {
  // A new 0x08 during a stream abandons the old image and starts the next one from packet 0.
  if (_stream) EndStream(/*finished=*/false);
  _repeat.active = false;
  auto stream = std::make_unique<Stream>();
  stream->to = to;
  stream->image = _image_number.load() + 1;
  if (_replay) {
    stream->start_answer = PlanReplay(*stream);
  } else {
    stream->plan = PlanStream(_options, stream->image);
  }
  stream->command = command;
  stream->command_from = to;
  stream->answer_pending = answer && _options.answer_after_stream;
  _last_start = command;
  if (answer) _fetches_served = 0;
  stream->cpu_start = ThreadCpuSeconds();
  _image_number = stream->image;
  {
    std::lock_guard<std::mutex> lock(_mutex);
    ++_stats.images_started;
    stream->packets_before = _stats.raw_packets_sent;
  }
  char text[160];
  std::snprintf(text, sizeof text, "camsim: image %u: streaming %zu packets to %s\n", stream->image,
                stream->plan.size(), EndpointText(to).c_str());
  Trace(text);
  // The answer goes first, so the host sees it before the data (unless held back).
  if (answer && !stream->answer_pending) Answer(command, to, nullptr, 0, stream->start_answer);
  stream->start = Clock::now();
  stream->origin = stream->start;
  stream->last_send = stream->start;
  _stream = std::move(stream);
  _streaming = true;
  if (_stream->plan.empty()) EndStream(/*finished=*/true);
}

void CameraSimulator::EndStream(bool finished) {
  std::unique_ptr<Stream> stream = std::move(_stream);
  _streaming = false;
  const double cpu = ThreadCpuSeconds() - stream->cpu_start;
  std::uint64_t packets = 0;
  double seconds = 0.0;
  {
    std::lock_guard<std::mutex> lock(_mutex);
    packets = _stats.raw_packets_sent - stream->packets_before;
    seconds = packets > 0 ? Seconds(stream->last_send - stream->start) : 0.0;
    ++(finished ? _stats.images_finished : _stats.images_interrupted);
    _stats.stream_seconds += seconds;
    _stats.stream_cpu_seconds += cpu;
    _stats.last_stream_seconds = seconds;
    _stats.last_stream_packets = packets;
  }
  const double bits = static_cast<double>(packets) * 8;
  char text[200];
  std::snprintf(text, sizeof text,
                "camsim: image %u: %s after %llu packets in %.1f ms (%.0f Mbit/s on the wire, "
                "%.0f of payload), CPU %.1f ms\n",
                stream->image, finished ? "stream ended" : "stream interrupted",
                static_cast<unsigned long long>(packets), seconds * 1e3,
                seconds > 0 ? bits * kRawWireBytes / seconds / 1e6 : 0.0,
                seconds > 0 ? bits * kRawDatagramLength / seconds / 1e6 : 0.0, cpu * 1e3);
  Trace(text);
  // Exactly one answer per command, also when the stream was cut short by the next 0x08.
  if (stream->answer_pending) {
    Answer(stream->command, stream->command_from, nullptr, 0, stream->start_answer);
  }
  if (_options.repeat_index >= 0) StartRepeat(stream->to, stream->image);
}

std::size_t CameraSimulator::FillRawPacket(std::uint32_t image, int entry, std::uint8_t* datagram,
                                           const CapturedImage* replay) const {
  const int index = PacketOfEntry(entry);
  if (replay != nullptr) {
    const NudpHeader header = BuildCommandHeader(NUDP_TOP_RAW_DATA, RawNumberField(index));
    std::copy(header.begin(), header.end(), datagram);
    std::memcpy(datagram + NUDP_HEADER_LENGTH,
                replay->data.get() + static_cast<std::size_t>(index) * RAW_PACKET_DATA_LENGTH,
                RAW_PACKET_DATA_LENGTH);
    return kRawDatagramLength;
  }
  std::uint32_t number = RawNumberField(index);
  std::size_t length = RAW_PACKET_DATA_LENGTH;
  if (!IsForged(entry)) {
    for (const BadPacket& bad : _options.bad_packets) {
      if (bad.index != index) continue;
      number += bad.words;
      length = std::min<std::uint64_t>(bad.length, RAW_IMAGE_SIZE - RawByteOffset(number));
      break;
    }
  }
  const NudpHeader header = BuildCommandHeader(NUDP_TOP_RAW_DATA, number);
  std::copy(header.begin(), header.end(), datagram);
  std::uint8_t* data = datagram + NUDP_HEADER_LENGTH;
  FillImageBytes(image, RawByteOffset(number), data, length, _options.pattern);
  if (IsForged(entry)) {
    for (std::size_t i = 0; i < length; ++i) data[i] = static_cast<std::uint8_t>(~data[i]);
  }
  return NUDP_HEADER_LENGTH + length;
}

Clock::time_point CameraSimulator::PumpStream() {
  if (!_stream) return Clock::time_point::max();
  Stream& s = *_stream;
  const std::size_t left = s.plan.size() - s.next;
  std::size_t due = left;  // unpaced: everything, kMaxBatch per call
  if (s.replay != nullptr) {
    const Clock::time_point next_batch = ReplayDue(s, due);
    if (due == 0) return next_batch;
  } else if (_interval_ns > 0) {
    const Clock::time_point now = Clock::now();
    // Packets whose time on the link has passed. The small addend absorbs rounding, so that a
    // wake-up at After(origin, k) finds k packets done.
    const double done_on_link = std::floor(
        std::chrono::duration<double, std::nano>(now - s.origin).count() / _interval_ns + 1e-6);
    const double behind = done_on_link - static_cast<double>(s.next);
    if (behind > static_cast<double>(_catch_up_packets)) {
      // A stall: catch up by at most _catch_up_packets and forgive the rest.
      s.origin = now - std::chrono::ceil<Clock::duration>(std::chrono::duration<double, std::nano>(
                           static_cast<double>(s.next + _catch_up_packets) * _interval_ns));
      due = _catch_up_packets;
    } else {
      due = behind > 0 ? static_cast<std::size_t>(behind) : 0;
    }
    due = std::min(due, left);
    // Wait for a whole batch, or for the last packets of the image.
    if (due < std::min(_batch_packets, left)) {
      return After(s.origin, s.next + std::min(_batch_packets, left), _interval_ns);
    }
  }
  const int count = static_cast<int>(std::min<std::size_t>(due, kMaxBatch));
  std::array<const std::uint8_t*, kMaxBatch> datagrams{};
  std::array<std::size_t, kMaxBatch> lengths{};
  std::uint64_t forged = 0;
  for (std::size_t k = 0; k < static_cast<std::size_t>(count); ++k) {
    const int entry = s.plan[s.next + k];
    std::uint8_t* slot = s.slots[k].data();
    lengths[k] = FillRawPacket(s.image, entry, slot, s.replay);
    datagrams[k] = slot;
    if (IsForged(entry)) ++forged;
  }
  // The batch leaves with one system call, so its datagrams share one time stamp.
  const auto send_time = std::chrono::system_clock::now();
  const auto sent =
      static_cast<std::uint64_t>(_socket.SendBatch(s.to, datagrams.data(), lengths.data(), count));
  s.last_send = Clock::now();
  std::uint64_t duplicates = 0;  // second copies: the same index as the packet before
  for (std::size_t k = 0; k < sent; ++k) {
    const std::size_t at = s.next + k;
    if (at > 0 && s.plan[at] == s.plan[at - 1]) ++duplicates;
  }
  if (_capture) {
    for (std::size_t k = 0; k < sent; ++k) {
      _capture->Record(_local, s.to, send_time, datagrams[k], lengths[k]);
    }
  }
  s.next += static_cast<std::size_t>(count);
  {
    // A datagram that could not be sent is lost like one dropped on the wire; the stream goes on.
    std::lock_guard<std::mutex> lock(_mutex);
    _stats.raw_packets_sent += sent;
    _stats.raw_duplicates_sent += duplicates;
    _stats.raw_bytes_sent += sent * kRawDatagramLength;
    _stats.bytes_sent += sent * kRawDatagramLength;
    _stats.raw_send_errors += static_cast<std::uint64_t>(count) - sent;
    _stats.raw_forged_sent += forged;
    ++_stats.raw_send_calls;
  }
  if (s.next >= s.plan.size()) {
    EndStream(/*finished=*/true);
    return Clock::now();
  }
  // A replay works out its next batch on the next pass.
  if (_interval_ns <= 0 || s.replay != nullptr) return s.last_send;
  return After(s.origin, s.next + std::min(_batch_packets, s.plan.size() - s.next), _interval_ns);
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
  if (stats.answers_repeated > 0) add("answers sent twice: %llu\n", u(stats.answers_repeated));
  if (stats.answers_lost > 0) add("answers lost on their way: %llu\n", u(stats.answers_lost));
  add("images: %llu started, %llu finished, %llu interrupted\n", u(stats.images_started),
      u(stats.images_finished), u(stats.images_interrupted));
  add("RAW packets sent: %llu in %llu system calls (send errors %llu)\n", u(stats.raw_packets_sent),
      u(stats.raw_send_calls), u(stats.raw_send_errors));
  if (stats.raw_duplicates_sent > 0) {
    add("RAW packets sent twice: %llu\n", u(stats.raw_duplicates_sent));
  }
  if (stats.raw_forged_sent > 0) {
    add("RAW packets forged (sent first with other data): %llu\n", u(stats.raw_forged_sent));
  }
  if (stats.raw_repeats_sent > 0) {
    add("RAW packets repeated after streams: %llu\n", u(stats.raw_repeats_sent));
  }
  add("retransmissions served: %llu\n", u(stats.retransmissions_served));
  if (stats.retransmissions_not_held > 0) {
    add("retransmission requests for packets the capture does not hold: %llu\n",
        u(stats.retransmissions_not_held));
  }
  add("bytes sent: %llu (RAW %llu)\n", u(stats.bytes_sent), u(stats.raw_bytes_sent));
  add("achieved rate: %.1f Mbit/s on the wire (%.1f Mbit/s of UDP payload) over %.1f ms of "
      "streaming (last image %.1f Mbit/s on the wire)\n",
      stats.AchievedMbit(), stats.AchievedPayloadMbit(), stats.stream_seconds * 1e3,
      stats.LastStreamMbit());
  const std::uint64_t streams = stats.images_finished + stats.images_interrupted;
  if (streams > 0) {
    add("simulator thread CPU while streaming: %.1f ms per image\n",
        stats.stream_cpu_seconds * 1e3 / static_cast<double>(streams));
  }
  return out;
}

}  // namespace fp
