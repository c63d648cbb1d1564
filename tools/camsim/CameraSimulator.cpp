#include "tools/camsim/CameraSimulator.h"

#include "tools/camsim/CameraStreamState.h"
#include "tools/camsim/CaptureReplay.h"
#include "tools/camsim/PcapWriter.h"
#include "tools/camsim/ReplayAnswers.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <utility>

namespace fp {

namespace {

using Clock = std::chrono::steady_clock;

constexpr auto kIdleSlice =
    std::chrono::milliseconds(20);  // how often an idle thread looks at _stop
// Between images the capture is written once it holds this much, this much per pass of the
// loop: an image's records (8.9 MB) take tens of milliseconds to write, and commands are
// answered between the slices. Below it, records wait, so that a recovery of many packets one
// by one does not make a system call per datagram either.
constexpr std::size_t kCaptureWriteBytes = 1024 * 1024;

template <class Predicate>
bool PollUntil(Predicate done, std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

}  // namespace

double RawPacketInterval(double rate_mbit) {
  return rate_mbit > 0 ? static_cast<double>(kRawWireBytes) * 8 / (rate_mbit * 1e6) : 0.0;
}

namespace {

double Mbit(double bytes, double seconds) { return seconds > 0 ? bytes * 8 / seconds / 1e6 : 0.0; }

std::size_t PacketsIn(std::chrono::microseconds span, double interval_ns) {
  return static_cast<std::size_t>(
      std::llround(static_cast<double>(span.count()) * 1e3 / interval_ns));
}

}  // namespace

double SimulatorStats::AchievedMbit() const {
  return Mbit(static_cast<double>(raw_packets_sent * kRawWireBytes), stream_seconds);
}

double SimulatorStats::AchievedPayloadMbit() const {
  return Mbit(static_cast<double>(raw_bytes_sent), stream_seconds);
}

double SimulatorStats::LastStreamMbit() const {
  return Mbit(static_cast<double>(last_stream_packets * kRawWireBytes), last_stream_seconds);
}

CameraSimulator::CameraSimulator(SimulatorOptions options)
    : _options(std::move(options)),
      _interval_ns(RawPacketInterval(_options.rate_mbit) * 1e9),
      _batch_packets(_interval_ns > 0 ? std::clamp<std::size_t>(
                                            PacketsIn(kPacingPeriod, _interval_ns), 1, kMaxBatch)
                                      : kMaxBatch),
      _catch_up_packets(_interval_ns > 0
                            ? std::max(_batch_packets, PacketsIn(kMaxCatchUp, _interval_ns))
                            : kMaxBatch),
      _answers(_options) {}

CameraSimulator::CameraSimulator(SimulatorOptions options, std::unique_ptr<PcapWriter> capture)
    : CameraSimulator(std::move(options)) {
  _capture = std::move(capture);
}

CameraSimulator::CameraSimulator(SimulatorOptions options, std::unique_ptr<PcapWriter> capture,
                                 std::unique_ptr<const CaptureReplay> replay)
    : CameraSimulator(std::move(options), std::move(capture)) {
  _replay = std::move(replay);
  if (_replay) _replay_answers = std::make_unique<ReplayAnswers>(_replay->Commands());
}

CameraSimulator::~CameraSimulator() { Stop(); }

bool CameraSimulator::Start(std::string& error) {
  if (_thread.joinable()) {
    error = "simulator already running";
    return false;
  }
  if (!_socket.Open(_options.bind_address, _options.port, error)) return false;
  _local = _socket.LocalEndpoint();
  _stop = false;
  _running = true;
  _thread = std::thread([this] { Run(); });
  return true;
}

void CameraSimulator::Stop() {
  _stop = true;
  if (_thread.joinable()) _thread.join();
  _stream.reset();
  _streaming = false;
  _delayed_starts.clear();
  _socket.Close();
  if (_capture) _capture->Flush();
  _running = false;
}

std::vector<ReceivedCommand> CameraSimulator::Commands() const {
  std::lock_guard<std::mutex> lock(_mutex);
  return _commands;
}

SimulatorStats CameraSimulator::Stats() const {
  std::lock_guard<std::mutex> lock(_mutex);
  return _stats;
}

bool CameraSimulator::WaitForCommands(std::size_t count, std::chrono::milliseconds limit) const {
  return PollUntil(
      [&] {
        std::lock_guard<std::mutex> lock(_mutex);
        return _commands.size() >= count;
      },
      limit);
}

bool CameraSimulator::WaitForStreamsEnded(std::uint64_t count,
                                          std::chrono::milliseconds limit) const {
  return PollUntil(
      [&] {
        std::lock_guard<std::mutex> lock(_mutex);
        return _stats.images_finished + _stats.images_interrupted >= count;
      },
      limit);
}

void CameraSimulator::Run() {
  while (!_stop.load()) {
    // A stream is never held up by the capture's writes; while they go on, the pass only looks
    // for commands.
    const bool writing = _capture && !_stream && _capture->Buffered() >= kCaptureWriteBytes;
    if (writing) _capture->WriteSome(kCaptureWriteBytes);
    const Clock::time_point wake =
        std::min({PumpStream(), SendTimed(), writing ? Clock::now() : Clock::now() + kIdleSlice});
    if (_socket.WaitReadableUntil(wake)) ServeCommands(kMaxBatch);
  }
}

const char* CommandRejection(const std::uint8_t* bytes, std::size_t length) {
  if (length < NUDP_HEADER_LENGTH) return "shorter than a header";
  if (length > NUDP_MAX_PACKET_LENGTH) return "longer than a NUDP packet";
  if (bytes[0] != NUDP_SIGNATURE_0 || bytes[1] != NUDP_SIGNATURE_1) return "no NUDP signature";
  if (!NudpChecksumOk(bytes)) return "bad checksum";
  if ((bytes[2] & ~NUDP_TOP_MASK) != 0 || (bytes[2] & NUDP_TOP_MASK) > NUDP_MAX_SEND_TOP) {
    return "not a command TOP byte";
  }
  return nullptr;
}

void CameraSimulator::ServeCommands(int max_datagrams) {
  // One byte more than the largest valid datagram, so an oversized one shows.
  std::array<std::uint8_t, NUDP_MAX_PACKET_LENGTH + 1> buffer{};
  for (int i = 0; i < max_datagrams; ++i) {
    SimEndpoint from;
    const long n = _socket.Receive(buffer.data(), buffer.size(), from);
    if (n < 0) return;
    const auto length = static_cast<std::size_t>(n);
    Record(from, _local, buffer.data(), length);
    const char* reject = CommandRejection(buffer.data(), length);
    if (reject != nullptr) {
      {
        std::lock_guard<std::mutex> lock(_mutex);
        ++_stats.datagrams_rejected;
      }
      char text[160];
      std::snprintf(text, sizeof text, "camsim: %s: %zu-byte datagram dropped (%s)\n",
                    EndpointText(from).c_str(), length, reject);
      Trace(text);
      continue;
    }
    NudpHeader header{};
    std::copy_n(buffer.begin(), NUDP_HEADER_LENGTH, header.begin());
    HandleCommand(header, length, from);
  }
}

void CameraSimulator::HandleCommand(const NudpHeader& header, std::size_t length,
                                    const SimEndpoint& from) {
  const std::uint8_t top = header[2] & NUDP_TOP_MASK;
  const std::uint32_t number = ReadNumberField(header.data());
  bool ignored = _options.silent;
  for (const CommandMatch& m : _options.silent_cmd) ignored = ignored || m.Matches(top, number);
  {
    std::lock_guard<std::mutex> lock(_mutex);
    _commands.push_back(
        ReceivedCommand{header, length, from, std::chrono::steady_clock::now(), ignored});
    ++_stats.commands_received;
    ++_stats.by_code_and_port[CommandKey{top, top == NUDP_TOP_RETRANSMIT ? 0 : number, from.port}];
    if (ignored) ++_stats.commands_ignored;
  }
  char text[160];
  std::snprintf(text, sizeof text, "camsim: %s: TOP %u number 0x%08X%s\n",
                EndpointText(from).c_str(), unsigned{top}, number, ignored ? " (ignored)" : "");
  Trace(text);
  if (ignored) return;

  if (top != NUDP_TOP_RETRANSMIT && (number & 0xFF) == NUDP_CMD_START_RAW) {
    if (_options.start_delay_ms > 0) {
      _delayed_starts.push_back(DelayedStart{
          Clock::now() + std::chrono::duration_cast<Clock::duration>(
                             std::chrono::duration<double, std::milli>(_options.start_delay_ms)),
          header, from});
      return;
    }
    StartStream(header, from);
    return;
  }
  CameraAnswers::DataBuffer data;
  std::size_t data_length = 0;
  const std::vector<std::uint8_t>* captured = nullptr;
  if (!_replay) {
    data_length = _answers.Data(header, _image_number.load(), _stream != nullptr, data);
  } else if (!ReplayAnswer(header, data, data_length, captured)) {
    return;
  }
  if (top == NUDP_TOP_RETRANSMIT && _short_retransmits_used < _options.short_retransmit.size()) {
    data_length = std::min(data_length, _options.short_retransmit[_short_retransmits_used++]);
  }
  Answer(header, from, data_length == 0 ? nullptr : data.data(), data_length, captured);
  if (top == NUDP_TOP_RETRANSMIT && _options.restart_after_fetches > 0 &&
      ++_fetches_served == _options.restart_after_fetches) {
    Trace("camsim:   the camera starts its next image by itself (--restart-after-fetches)\n");
    StartStream(_last_start, from, /*answer=*/false);
  }
}

void CameraSimulator::Answer(const NudpHeader& command, const SimEndpoint& to,
                             const std::uint8_t* data, std::size_t data_length,
                             const std::vector<std::uint8_t>* captured) {
  if (_answers.LoseAnswer(command)) {
    {
      std::lock_guard<std::mutex> lock(_mutex);
      ++_stats.answers_lost;
    }
    Trace("camsim:   answer lost on its way (--lose-answer)\n");
    return;
  }
  bool damaged = false;
  NudpHeader response = _answers.Header(command, damaged);
  if (captured != nullptr && captured->size() >= NUDP_HEADER_LENGTH) {
    // The capture's header, spoiled as camsim's would be by a --damage entry.
    const std::uint8_t checksum = response[3];
    const NudpHeader expected = BuildExpectedResponse(command);
    std::copy_n(captured->begin(), NUDP_HEADER_LENGTH, response.begin());
    if (damaged) response[3] = static_cast<std::uint8_t>(response[3] ^ (checksum ^ expected[3]));
    data = captured->data() + NUDP_HEADER_LENGTH;
    data_length = captured->size() - NUDP_HEADER_LENGTH;
    if (data_length == 0) data = nullptr;
  }
  const std::uint8_t top = command[2] & NUDP_TOP_MASK;
  // Counted before the send and taken back if it fails, so that whoever has received the answer
  // finds it counted; the send itself (up to 100 ms when the buffer is full) is outside the lock.
  const std::size_t length = response.size() + (data != nullptr ? data_length : 0);
  const bool retransmission = top == NUDP_TOP_RETRANSMIT;
  auto count = [&](bool add) {
    std::lock_guard<std::mutex> lock(_mutex);
    auto step = [add](std::uint64_t& counter, std::uint64_t n) {
      counter = add ? counter + n : counter - n;
    };
    step(_stats.answers_sent, 1);
    step(_stats.bytes_sent, length);
    if (damaged) step(_stats.answers_damaged, 1);
    if (retransmission) step(_stats.retransmissions_served, 1);
  };
  count(/*add=*/true);
  const bool sent =
      _socket.SendTo(to, response.data(), response.size(), data, data ? data_length : 0);
  if (sent) {
    Record(_local, to, response.data(), response.size(), data, data ? data_length : 0);
    if (_options.answer_twice_ms > 0) {
      Echo echo{
          Clock::now() + std::chrono::duration_cast<Clock::duration>(
                             std::chrono::duration<double, std::milli>(_options.answer_twice_ms)),
          to, std::vector<std::uint8_t>(length)};
      std::memcpy(echo.bytes.data(), response.data(), response.size());
      if (length > response.size()) {
        std::memcpy(echo.bytes.data() + response.size(), data, length - response.size());
      }
      _echoes.push_back(std::move(echo));
    }
  } else {
    count(/*add=*/false);
  }
  char text[160];
  std::snprintf(
      text, sizeof text, "camsim:   answer %02X %02X %02X %02X %02X %02X %02X %02X +%zu%s%s\n",
      response[0], response[1], response[2], response[3], response[4], response[5], response[6],
      response[7], data_length, damaged ? " (damaged checksum)" : "", sent ? "" : " NOT SENT");
  Trace(text);
}

void CameraSimulator::Record(const SimEndpoint& from, const SimEndpoint& to,
                             const std::uint8_t* head, std::size_t head_length,
                             const std::uint8_t* tail, std::size_t tail_length) {
  if (_capture) {
    _capture->Record(from, to, std::chrono::system_clock::now(), head, head_length, tail,
                     tail_length);
  }
}

void CameraSimulator::Trace(const char* text) const {
  // One write per line, so lines from the CLI and the thread do not interleave.
  if (_options.trace) std::fputs(text, stderr);
}

}  // namespace fp
