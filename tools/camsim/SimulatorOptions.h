#pragma once

#include "tools/camsim/ImagePattern.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace fp {

// Selects the commands a fault applies to: TOP 6 retransmission requests, or commands of TOP 0
// to 5 whose code matches. A code up to 0xFF is compared with the command code (the low byte
// of the number field, so 0x08 matches every start command); a larger code is compared with the
// whole number field (0x105).
struct CommandMatch {
  bool retransmit = false;
  std::uint32_t code = 0;

  bool Matches(std::uint8_t top, std::uint32_t number) const;
};

// A RAW packet of each stream sent out of shape: its number field `words` 16-bit words past its
// place, carrying `length` data bytes (those of the image at the offset it claims).
struct BadPacket {
  int index = 0;
  std::uint32_t words = 0;
  std::size_t length = 0;
};

// Everything that shapes the simulated camera; the camsim flags map one to one onto these
// fields (see SimulatorUsage()).
struct SimulatorOptions {
  std::string bind_address = "127.0.0.1";  // dotted quad
  std::uint16_t port = 1234;
  std::string id_text = "FrameProbe CamSim 1";  // at most kMaxIdTextLength characters

  // Stream pacing in Mbit/s on the wire: each RAW packet counts as the kRawWireBytes (1098)
  // bytes it occupies on an Ethernet link, so the default, the cameras' line rate, sends one
  // packet every 8.784 us. 0 = unpaced.
  double rate_mbit = 1000.0;
  PatternKind pattern = PatternKind::kWords;

  // Stream faults (applied per image, see PlanStream()).
  std::vector<int> drop;  // packet indices left out, in any order
  double loss = 0.0;      // fraction 0..1 left out at random
  std::uint64_t seed = 1;
  double duplicate = 0.0;  // fraction 0..1 sent twice
  int reorder = 0;         // shuffle within windows of this many packets; below 2 = in order
  bool last_first = false;
  int stop_after = -1;  // stream only the first N packets of the plan; negative = all
  // Packet indices sent first with other data (every byte inverted), as a sender that uses the
  // camera's address and port would, then as the camera's own.
  std::vector<int> forge;
  std::vector<BadPacket> bad_packets;

  // Command faults.
  bool unfinished = false;        // the 0x0A status never says finished
  int status_byte = -1;           // the 0x0A status byte as given; negative = as the stream says
  std::size_t status_length = 4;  // data bytes of the 0x0A answer, 0 to 1024
  bool silent = false;            // no answers and no stream at all
  std::vector<CommandMatch> silent_cmd;   // commands received but neither answered nor acted on
  std::vector<CommandMatch> damage;       // each answered once with a wrong checksum
  std::vector<CommandMatch> lose_answer;  // each acted on once without its answer leaving
  bool answer_after_stream = false;       // the 0x08 answer follows the last RAW packet
  // Each 0x08 is answered, and its image streamed, this many milliseconds after it came (a
  // camera slow to answer that starts an exposure for every 0x08); 0 = at once.
  double start_delay_ms = 0.0;
  // After serving this many TOP 6 requests since the last 0x08, the camera starts its next image
  // by itself, once, and streams it without any 0x08 or answer (a camera restarting in the
  // middle of a recovery); 0 = never.
  std::size_t restart_after_fetches = 0;
  // Data bytes of the first answers to TOP 6 requests, one entry an answer; later answers are
  // whole.
  std::vector<std::size_t> short_retransmit;
  // Every answer is sent once more this many milliseconds after the first copy; 0 = once.
  double answer_twice_ms = 0.0;
  // After each stream, packet repeat_index of that image is sent again every repeat_every_ms
  // for repeat_for_ms (or until the next stream starts); repeat_index negative = none.
  int repeat_index = -1;
  double repeat_every_ms = 0.0;
  double repeat_for_ms = 0.0;

  // Replay of a capture (--replay): the capture's camera answers and streams in place of the
  // simulated one; empty = none. The camera's address when the capture holds several, and the
  // factor the capture's timing is sped up by.
  std::string replay_path;
  std::string replay_camera;
  double replay_speed = 1.0;

  double exit_after_seconds = 0.0;  // camsim only; 0 = until SIGINT or SIGTERM
  std::string pcap_path;            // camsim only: capture file (--pcap); empty = none
  bool trace = false;               // one line per command on standard error
};

// 32 bytes of identification data in all: 10 bytes before the text, the text and its zero byte.
inline constexpr std::size_t kIdDataLength = 32;
inline constexpr std::size_t kMaxIdTextLength = kIdDataLength - 10 - 1;

// The flags refused together with --replay: they shape the stream or write the answers, which
// the capture decides. The other faults act on the replay as on camsim's own images (--drop and
// --loss leave out more of the capture's stream).
inline constexpr const char* kNotWithReplay[] = {
    "--pattern",    "--rate",        "--duplicate",    "--reorder",       "--last-first",
    "--stop-after", "--forge",       "--bad-packet",   "--repeat-packet", "--id",
    "--unfinished", "--status-byte", "--status-length"};

enum class ParseResult { kRun, kHelp, kVersion, kError };

// Parses camsim's flags (without the program name) into `options`, starting from the values
// already there. The camsim program turns `trace` on before parsing; --quiet turns it off.
// --help and --version end the parse at once; kError leaves a one-line reason in `error`.
ParseResult ParseSimulatorArgs(const std::vector<std::string>& args, SimulatorOptions& options,
                               std::string& error);

// The --help text.
std::string SimulatorUsage();

}  // namespace fp
