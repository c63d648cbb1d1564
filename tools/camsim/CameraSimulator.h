#pragma once

#include "nudp/NudpProtocol.h"
#include "tools/camsim/CameraAnswers.h"
#include "tools/camsim/ImagePattern.h"
#include "tools/camsim/SimSocket.h"
#include "tools/camsim/SimulatorOptions.h"

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

namespace fp {

class CaptureReplay;
class PcapWriter;
class ReplayAnswers;
struct CapturedImage;

// A RAW datagram: 1032 bytes of UDP payload.
inline constexpr std::size_t kRawDatagramLength = NUDP_HEADER_LENGTH + RAW_PACKET_DATA_LENGTH;
// The bytes a RAW datagram occupies on an Ethernet link, which is what --rate paces: the UDP
// payload, 8 bytes of UDP header, 20 of IPv4 header, 14 of Ethernet header, 4 of frame check
// sequence, 8 of preamble and start delimiter and 12 of inter-frame gap. At 1000 Mbit/s that is
// one packet every 8.784 us and an image in 72.45 ms.
inline constexpr std::size_t kRawWireBytes = kRawDatagramLength + 8 + 20 + 14 + 4 + 8 + 12;

// Seconds between two RAW packets at `rate_mbit` Mbit/s on the wire; 0 for a rate of 0 or less
// (unpaced).
double RawPacketInterval(double rate_mbit);

// Why a datagram of `length` bytes is no command the simulator acts on ("shorter than a header",
// "bad checksum", ...), or null when it is one.
const char* CommandRejection(const std::uint8_t* bytes, std::size_t length);

// One command datagram as the simulator received it.
struct ReceivedCommand {
  NudpHeader header{};
  std::size_t length = 0;  // datagram length; bytes after the header are ignored
  SimEndpoint from;
  std::chrono::steady_clock::time_point time;
  bool ignored = false;  // swallowed by a fault (silent, silent_cmd): no answer, no action
};

// Commands counted by TOP, code and sender port. The code is the whole number field for TOP 0
// to 5 and 0 for TOP 6, whose number fields are packet offsets.
struct CommandKey {
  std::uint8_t top = 0;
  std::uint32_t code = 0;
  std::uint16_t port = 0;

  friend bool operator<(const CommandKey& a, const CommandKey& b) {
    return std::tie(a.top, a.code, a.port) < std::tie(b.top, b.code, b.port);
  }
};

struct SimulatorStats {
  std::uint64_t commands_received = 0;   // valid command datagrams, answered or not
  std::uint64_t datagrams_rejected = 0;  // short, unsigned, bad checksum, TOP 7 or flagged
  // Answers are counted just before their send and taken back if it fails, so that a caller
  // who has received one finds it counted.
  std::uint64_t answers_sent = 0;
  std::uint64_t answers_damaged = 0;      // sent with a wrong checksum (--damage)
  std::uint64_t answers_repeated = 0;     // second copies (--answer-twice)
  std::uint64_t answers_lost = 0;         // not sent (--lose-answer)
  std::uint64_t commands_ignored = 0;     // --silent, --silent-cmd
  std::uint64_t images_started = 0;       // 0x08 commands acted on
  std::uint64_t images_finished = 0;      // streams that ran to the end of their plan
  std::uint64_t images_interrupted = 0;   // streams cut short by a new 0x08
  std::uint64_t raw_packets_sent = 0;     // RAW datagrams, duplicates included
  std::uint64_t raw_duplicates_sent = 0;  // of those, second copies (--duplicate)
  std::uint64_t raw_repeats_sent = 0;     // RAW datagrams sent after the stream (--repeat-packet)
  std::uint64_t raw_forged_sent = 0;      // forged copies among the RAW datagrams (--forge)
  std::uint64_t raw_send_errors = 0;
  std::uint64_t raw_send_calls = 0;          // system calls that sent RAW datagrams
  std::uint64_t retransmissions_served = 0;  // TOP 6 answers sent
  // TOP 6 requests a replay left unanswered: for packets its capture never holds.
  std::uint64_t retransmissions_not_held = 0;
  std::uint64_t bytes_sent = 0;      // UDP payload bytes of every datagram sent
  std::uint64_t raw_bytes_sent = 0;  // of RAW datagrams
  // Streams: from the start command to the return of the last send, summed over images and for
  // the last one, and the simulator thread's CPU time in that span.
  double stream_seconds = 0.0;
  double stream_cpu_seconds = 0.0;
  double last_stream_seconds = 0.0;
  std::uint64_t last_stream_packets = 0;
  std::map<CommandKey, std::uint64_t> by_code_and_port;

  // Mbit/s while streaming, over all images or the last one; 0 before any. On the wire, as
  // --rate counts (kRawWireBytes per RAW packet), or of UDP payload only.
  double AchievedMbit() const;
  double AchievedPayloadMbit() const;
  double LastStreamMbit() const;
};

// A simulated NUDP camera on one UDP endpoint: answers each command with one response and
// streams RAW images after 0x08, with faults on demand (see SimulatorOptions). Runs on a thread
// of its own between Start() and Stop(). Start() and Stop() belong to the owner's thread; the
// accessors may be called from any thread while it runs.
//
// Given a CaptureReplay, it is the capture's camera instead (see --replay in SimulatorUsage()):
// the n-th 0x08 streams the capture's image n (the images start over after the last), each
// packet the capture's stream brought at its time after the start command, with the data of
// the image rebuilt from the capture; retransmission requests are served from that image for
// the packets the capture holds, and other commands get the capture's answers (ReplayAnswers).
//
// Given an open PcapWriter, it records every datagram it receives and sends, rejected ones
// included. The records stay in memory while an image streams and reach the file between
// images and in Stop(), so that the capture does not hold up a stream.
class CameraSimulator {
 public:
  explicit CameraSimulator(SimulatorOptions options);
  CameraSimulator(SimulatorOptions options, std::unique_ptr<PcapWriter> capture);
  // A replay of `replay` (loaded), with `capture` null or open.
  CameraSimulator(SimulatorOptions options, std::unique_ptr<PcapWriter> capture,
                  std::unique_ptr<const CaptureReplay> replay);
  ~CameraSimulator();  // stops; out of line for the unique_ptr members
  CameraSimulator(const CameraSimulator&) = delete;
  CameraSimulator& operator=(const CameraSimulator&) = delete;

  // Binds the socket and starts the thread. Returns false, with a reason in `error`, when the
  // socket cannot be bound or the simulator was started already.
  bool Start(std::string& error);

  // Ends the thread and closes the socket; returns within about 20 ms, plus the time to write
  // what the capture holds. Idempotent. A 0x08 answer held back by answer_after_stream is not
  // sent.
  void Stop();

  // The capture given to the constructor, or null. Only for the owner's thread, and only
  // before Start() or after Stop(): the simulator thread writes it while it runs.
  const PcapWriter* Capture() const { return _capture.get(); }

  bool Running() const { return _running.load(); }
  const SimulatorOptions& Options() const { return _options; }

  // Copies of what was received and counted so far.
  std::vector<ReceivedCommand> Commands() const;
  SimulatorStats Stats() const;

  // True while an image is being streamed.
  bool Streaming() const { return _streaming.load(); }
  // The image that retransmissions are served from (0 before the first 0x08).
  std::uint32_t ImageNumber() const { return _image_number.load(); }
  // The capture's image a replay streams or streamed last (1, 2, ...; 0 before the first 0x08
  // and without a replay).
  int ReplayImage() const { return _replay_image.load(); }

  // Bounded waits for tests: true once at least `count` commands were received (or streams
  // ended, finished or interrupted), false when `limit` passed first.
  bool WaitForCommands(std::size_t count, std::chrono::milliseconds limit) const;
  bool WaitForStreamsEnded(std::uint64_t count, std::chrono::milliseconds limit) const;

  // Statistics as camsim prints them on exit.
  static std::string FormatStats(const SimulatorStats& stats);

 private:
  struct Stream;
  // A datagram sent again later: the second copy of an answer.
  struct Echo {
    std::chrono::steady_clock::time_point due;
    SimEndpoint to;
    std::vector<std::uint8_t> bytes;
  };
  // A 0x08 held back by start_delay_ms: its answer and its image are due then.
  struct DelayedStart {
    std::chrono::steady_clock::time_point due;
    NudpHeader command{};
    SimEndpoint from;
  };
  // One RAW packet sent again and again after a stream.
  struct Repeat {
    bool active = false;
    SimEndpoint to;
    std::uint32_t image = 0;
    std::chrono::steady_clock::time_point next;
    std::chrono::steady_clock::time_point end;
  };

  void Run();
  // Command path (CameraSimulator.cpp).
  void ServeCommands(int max_datagrams);
  void HandleCommand(const NudpHeader& header, std::size_t length, const SimEndpoint& from);
  // Sends the answer to `command`: camsim's header with `data`, or the capture's answer
  // `captured` (header and data) when given.
  void Answer(const NudpHeader& command, const SimEndpoint& to, const std::uint8_t* data,
              std::size_t data_length, const std::vector<std::uint8_t>* captured = nullptr);
  void Trace(const char* text) const;
  // Appends a datagram to the capture, if there is one, with the time it is called at.
  void Record(const SimEndpoint& from, const SimEndpoint& to, const std::uint8_t* head,
              std::size_t head_length, const std::uint8_t* tail = nullptr,
              std::size_t tail_length = 0);
  // RAW stream (CameraStream.cpp).
  // `answer`: the 0x08 is answered (false for an image the camera starts by itself).
  void StartStream(const NudpHeader& command, const SimEndpoint& to, bool answer = true);
  void EndStream(bool finished);
  // Sends the packets that are due, at most kMaxBatch with one system call. Returns when the
  // next ones will be due: now when more are due already, far ahead when nothing streams.
  std::chrono::steady_clock::time_point PumpStream();
  // Writes the datagram of plan entry `entry` (a packet, or a forged copy of one) of image
  // `image` into `datagram` (kRawDatagramLength bytes) and returns its length. A replay's
  // packets come from the capture's image `replay` instead.
  std::size_t FillRawPacket(std::uint32_t image, int entry, std::uint8_t* datagram,
                            const CapturedImage* replay) const;
  // Replay (CameraReplay.cpp). Makes `stream`'s plan from the capture's image that the stream's
  // image number stands for, and returns the capture's answer to its start command (null for
  // camsim's own).
  const std::vector<std::uint8_t>* PlanReplay(Stream& stream);
  // How many of a replay's packets are `due` now, at most kMaxBatch; when none, the time the
  // next batch will be.
  std::chrono::steady_clock::time_point ReplayDue(Stream& stream, std::size_t& due) const;
  // What the replay answers `command` with: false when it leaves it unanswered; else the data
  // in `data` and `data_length`, or the capture's whole answer in `captured`.
  bool ReplayAnswer(const NudpHeader& command, CameraAnswers::DataBuffer& data,
                    std::size_t& data_length, const std::vector<std::uint8_t>*& captured);
  // Echoes, repeats and delayed starts (CameraRepeats.cpp): sends those that are due and
  // returns when the next one will be, far ahead when none is waiting.
  std::chrono::steady_clock::time_point SendTimed();
  void StartRepeat(const SimEndpoint& to, std::uint32_t image);

  const SimulatorOptions _options;
  // Pacing, fixed by the rate: nanoseconds per packet (0 = unpaced), packets sent per wake-up
  // and the most sent back to back after a stall.
  const double _interval_ns;
  const std::size_t _batch_packets;
  const std::size_t _catch_up_packets;

  // Touched only by the simulator thread (and by Start/Stop before and after it runs).
  SimSocket _socket;
  SimEndpoint _local;  // where _socket is bound, the camera's side of the capture
  std::unique_ptr<PcapWriter> _capture;
  std::unique_ptr<const CaptureReplay> _replay;    // null when not a replay
  std::unique_ptr<ReplayAnswers> _replay_answers;  // with _replay
  std::thread _thread;
  CameraAnswers _answers;                    // refers to _options
  std::unique_ptr<Stream> _stream;           // the image being streamed, or none
  std::deque<Echo> _echoes;                  // in the order they are due
  std::deque<DelayedStart> _delayed_starts;  // in the order they are due
  std::size_t _short_retransmits_used = 0;   // of _options.short_retransmit
  std::size_t _fetches_served = 0;           // TOP 6 requests answered since the last 0x08
  NudpHeader _last_start{};                  // the 0x08 that began the last image
  Repeat _repeat;

  // Flags read by other threads without a lock.
  std::atomic<bool> _stop{false};
  std::atomic<bool> _running{false};
  std::atomic<bool> _streaming{false};
  std::atomic<std::uint32_t> _image_number{0};
  std::atomic<int> _replay_image{0};

  // Guarded by _mutex: written by the simulator thread, read by any caller.
  mutable std::mutex _mutex;
  std::vector<ReceivedCommand> _commands;
  SimulatorStats _stats;
};

}  // namespace fp
