#include "tools/camsim/SimulatorOptions.h"

#include "nudp/NudpProtocol.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <functional>
#include <limits>

namespace fp {

bool CommandMatch::Matches(std::uint8_t top, std::uint32_t number) const {
  if (retransmit) return top == NUDP_TOP_RETRANSMIT;
  if (top == NUDP_TOP_RETRANSMIT) return false;
  return code <= 0xFF ? (number & 0xFF) == code : number == code;
}

namespace {

// A whole number `min` to `max`, decimal, 0x hexadecimal or 0 octal.
template <typename Number>
bool ParseUnsigned(const std::string& text, std::uint64_t max, Number& value,
                   std::uint64_t min = 0) {
  if (text.empty() || text[0] == '-' || text[0] == '+' || text[0] == ' ') return false;
  errno = 0;
  char* end = nullptr;
  const unsigned long long v = std::strtoull(text.c_str(), &end, 0);
  if (errno != 0 || end == text.c_str() || *end != '\0' || v < min || v > max) return false;
  value = static_cast<Number>(v);
  return true;
}

bool ParseReal(const std::string& text, double min, double max, double& value) {
  if (text.empty() || text[0] == ' ') return false;
  errno = 0;
  char* end = nullptr;
  const double v = std::strtod(text.c_str(), &end);
  if (errno != 0 || end == text.c_str() || *end != '\0' || !std::isfinite(v)) return false;
  if (v < min || v > max) return false;
  value = v;
  return true;
}

// The least real number above 0: as the lower bound of ParseReal, it refuses 0 alone.
constexpr double kAboveZero = std::numeric_limits<double>::denorm_min();

// "5,8247" or "100-199" or a mix; the result is sorted and without repeats. Indices are marked
// in a map of the image's packets, so a list of many long ranges costs no more than the image.
bool ParseDropList(const std::string& text, std::vector<int>& drop) {
  std::vector<bool> marked(RAW_PACKETS_PER_IMAGE, false);
  for (const int index : drop) {
    if (index >= 0 && index < RAW_PACKETS_PER_IMAGE) marked[static_cast<std::size_t>(index)] = true;
  }
  std::size_t start = 0;
  while (start <= text.size()) {
    const std::size_t comma = std::min(text.find(',', start), text.size());
    const std::string item = text.substr(start, comma - start);
    const std::size_t dash = item.find('-');
    int first = 0;
    int last = 0;
    if (dash == std::string::npos) {
      if (!ParseUnsigned(item, RAW_LAST_PACKET_INDEX, first)) return false;
      last = first;
    } else if (!ParseUnsigned(item.substr(0, dash), RAW_LAST_PACKET_INDEX, first) ||
               !ParseUnsigned(item.substr(dash + 1), RAW_LAST_PACKET_INDEX, last) || last < first) {
      return false;
    }
    std::fill(marked.begin() + first, marked.begin() + last + 1, true);
    start = comma + 1;
  }
  drop.clear();
  for (int i = 0; i < RAW_PACKETS_PER_IMAGE; ++i) {
    if (marked[static_cast<std::size_t>(i)]) drop.push_back(i);
  }
  return true;
}

// The three fields of "A,B,C" (C may hold more commas; no number parser takes them).
bool SplitThree(const std::string& text, std::string (&fields)[3]) {
  const std::size_t first = text.find(',');
  const std::size_t second = first == std::string::npos ? first : text.find(',', first + 1);
  if (second == std::string::npos) return false;
  fields[0] = text.substr(0, first);
  fields[1] = text.substr(first + 1, second - first - 1);
  fields[2] = text.substr(second + 1);
  return true;
}

// "INDEX,EVERY_MS,FOR_MS".
bool ParseRepeat(const std::string& text, SimulatorOptions& options) {
  std::string fields[3];
  int index = 0;
  double every = 0;
  double span = 0;
  if (!SplitThree(text, fields) || !ParseUnsigned(fields[0], RAW_LAST_PACKET_INDEX, index) ||
      !ParseReal(fields[1], 0.01, 1e6, every) || !ParseReal(fields[2], 0.0, 1e7, span)) {
    return false;
  }
  options.repeat_index = index;
  options.repeat_every_ms = every;
  options.repeat_for_ms = span;
  return true;
}

// "INDEX,WORDS,BYTES", added to `bad`.
bool ParseBadPacket(const std::string& text, std::vector<BadPacket>& bad) {
  std::string fields[3];
  BadPacket packet;
  if (!SplitThree(text, fields) || !ParseUnsigned(fields[0], RAW_LAST_PACKET_INDEX, packet.index) ||
      !ParseUnsigned(fields[1], RAW_PACKET_DATA_LENGTH / 2 - 1, packet.words) ||
      !ParseUnsigned(fields[2], NUDP_MAX_DATA_LENGTH, packet.length)) {
    return false;
  }
  // Out of shape it must be, or it is no fault.
  if (packet.words == 0 && packet.length == RAW_PACKET_DATA_LENGTH) return false;
  bad.push_back(packet);
  return true;
}

// A code or "retransmit", added to `matches`.
bool ParseCommandMatch(const std::string& text, std::vector<CommandMatch>& matches) {
  CommandMatch match{/*retransmit=*/text == "retransmit", /*code=*/0};
  if (!match.retransmit && !ParseUnsigned(text, 0xFFFFFFFFu, match.code)) return false;
  matches.push_back(match);
  return true;
}

// A flag with one value, as the next argument or after '='. `take` reads the value into the
// options and returns false when it is not one; the error then reads "FLAG: what". Each
// occurrence is taken as it is met, so that a repeated flag adds to a list (or the last one
// wins) and the first bad value on the line is the one reported.
using Taker = std::function<bool(const std::string&)>;
void AddValueFlag(CLI::App& app, const std::string& name, const std::string& what, Taker take) {
  app.add_option(name,
                 [name, what, take = std::move(take)](const CLI::results_t& values) {
                   if (!take(values.front())) throw CLI::ValidationError(name, what);
                   return true;
                 })
      ->trigger_on_parse();
}

// Takers of a whole number `min` to `max`, a real number `min` to `max`, a text `valid`
// accepts, and a command match added to a list.
template <typename Number>
Taker Unsigned(Number& field, std::uint64_t max, std::uint64_t min = 0) {
  return
      [&field, max, min](const std::string& text) { return ParseUnsigned(text, max, field, min); };
}
Taker Real(double& field, double min, double max) {
  return [&field, min, max](const std::string& text) { return ParseReal(text, min, max, field); };
}
Taker Text(std::string& field, bool (*valid)(const std::string&)) {
  return [&field, valid](const std::string& text) {
    if (!valid(text)) return false;
    field = text;
    return true;
  };
}
Taker Commands(std::vector<CommandMatch>& list) {
  return [&list](const std::string& text) { return ParseCommandMatch(text, list); };
}

// kRun, or kError with the reason when the replay flags do not go with the others: those that
// shape the stream or write the answers' content are the capture's to decide.
ParseResult ReplayConflict(const CLI::App& app, const SimulatorOptions& o, std::string& error) {
  if (o.replay_path.empty()) {
    for (const char* flag : {"--replay-camera", "--replay-speed"}) {
      if (app.count(flag) == 0) continue;
      error = std::string(flag) + ": needs --replay";
      return ParseResult::kError;
    }
    return ParseResult::kRun;
  }
  for (const char* flag : kNotWithReplay) {
    if (app.count(flag) == 0) continue;
    error = std::string(flag) + ": not with --replay (the capture decides what it changes)";
    return ParseResult::kError;
  }
  return ParseResult::kRun;
}

}  // namespace

ParseResult ParseSimulatorArgs(const std::vector<std::string>& args, SimulatorOptions& options,
                               std::string& error) {
  SimulatorOptions& o = options;
  CLI::App app("camsim", "camsim");
  app.set_help_flag();
  app.allow_extras();
  app.add_flag_callback("-h,--help", [] { throw CLI::CallForHelp(); })->trigger_on_parse();
  app.add_flag_callback("--version", [] { throw CLI::CallForVersion(); })->trigger_on_parse();
  app.add_flag_callback("--last-first", [&o] { o.last_first = true; });
  app.add_flag_callback("--unfinished", [&o] { o.unfinished = true; });
  app.add_flag_callback("--silent", [&o] { o.silent = true; });
  app.add_flag_callback("--answer-after-stream", [&o] { o.answer_after_stream = true; });
  app.add_flag_callback("--quiet", [&o] { o.trace = false; });

  AddValueFlag(app, "--bind", "needs a dotted quad",
               Text(o.bind_address, [](const std::string& text) {
                 in_addr address{};
                 return inet_pton(AF_INET, text.c_str(), &address) == 1;
               }));
  AddValueFlag(app, "--port", "needs a port 1 to 65535", Unsigned(o.port, 65535, 1));
  AddValueFlag(app, "--id", "text longer than 21 characters",
               Text(o.id_text, [](const std::string& text) {
                 return text.size() <= kMaxIdTextLength && text.find('\0') == std::string::npos;
               }));
  AddValueFlag(app, "--rate", "needs Mbit/s, 0 or more", Real(o.rate_mbit, 0.0, 1e6));
  AddValueFlag(app, "--pattern", "needs words or chart", [&o](const std::string& text) {
    if (text != "words" && text != "chart") return false;
    o.pattern = text == "chart" ? PatternKind::kChart : PatternKind::kWords;
    return true;
  });
  AddValueFlag(app, "--drop", "needs packet indices 0 to 8247 such as 5,8247 or 100-199",
               [&o](const std::string& text) { return ParseDropList(text, o.drop); });
  AddValueFlag(app, "--forge", "needs packet indices 0 to 8247 such as 4000-4009",
               [&o](const std::string& text) { return ParseDropList(text, o.forge); });
  AddValueFlag(app, "--bad-packet",
               "needs INDEX,WORDS,BYTES (WORDS 0 to 511, BYTES 0 to 1024, not 0,1024)",
               [&o](const std::string& text) { return ParseBadPacket(text, o.bad_packets); });
  AddValueFlag(app, "--loss", "needs a fraction from 0 to 1", Real(o.loss, 0.0, 1.0));
  AddValueFlag(app, "--seed", "needs an unsigned number", Unsigned(o.seed, UINT64_MAX));
  AddValueFlag(app, "--duplicate", "needs a fraction from 0 to 1", Real(o.duplicate, 0.0, 1.0));
  AddValueFlag(app, "--reorder", "needs 0 to 8248", Unsigned(o.reorder, RAW_PACKETS_PER_IMAGE));
  AddValueFlag(app, "--stop-after", "needs 0 to 8248",
               Unsigned(o.stop_after, RAW_PACKETS_PER_IMAGE));
  AddValueFlag(app, "--status-byte", "needs a byte 0 to 0xFF", Unsigned(o.status_byte, 0xFF));
  AddValueFlag(app, "--status-length", "needs 0 to 1024",
               Unsigned(o.status_length, NUDP_MAX_DATA_LENGTH));
  AddValueFlag(app, "--silent-cmd", "needs a code such as 0xFC or retransmit",
               Commands(o.silent_cmd));
  AddValueFlag(app, "--damage", "needs a code such as 0x0A or retransmit", Commands(o.damage));
  AddValueFlag(app, "--lose-answer", "needs a code such as 0x08 or retransmit",
               Commands(o.lose_answer));
  AddValueFlag(app, "--start-delay", "needs milliseconds above 0",
               Real(o.start_delay_ms, kAboveZero, 1e4));
  AddValueFlag(app, "--restart-after-fetches", "needs 0 to 8248",
               Unsigned(o.restart_after_fetches, RAW_PACKETS_PER_IMAGE));
  AddValueFlag(app, "--short-retransmit", "needs 0 to 1023", [&o](const std::string& text) {
    std::size_t length = 0;
    if (!ParseUnsigned(text, NUDP_MAX_DATA_LENGTH - 1, length)) return false;
    o.short_retransmit.push_back(length);
    return true;
  });
  AddValueFlag(app, "--answer-twice", "needs milliseconds above 0",
               Real(o.answer_twice_ms, kAboveZero, 1e4));
  AddValueFlag(app, "--repeat-packet", "needs INDEX,EVERY_MS,FOR_MS such as 0,1,3000",
               [&o](const std::string& text) { return ParseRepeat(text, o); });
  AddValueFlag(app, "--exit-after", "needs seconds above 0",
               Real(o.exit_after_seconds, kAboveZero, 1e7));
  AddValueFlag(app, "--pcap", "needs a file name",
               Text(o.pcap_path, [](const std::string& text) { return !text.empty(); }));
  AddValueFlag(app, "--replay", "needs a capture file",
               Text(o.replay_path, [](const std::string& text) { return !text.empty(); }));
  AddValueFlag(app, "--replay-camera", "needs the camera's dotted quad",
               Text(o.replay_camera, [](const std::string& text) {
                 in_addr address{};
                 return inet_pton(AF_INET, text.c_str(), &address) == 1;
               }));
  AddValueFlag(app, "--replay-speed", "needs a factor above 0, at most 1000",
               Real(o.replay_speed, kAboveZero, 1000.0));

  // The library reads "--flag=" as "--flag" and would take the next argument as the value, or
  // take "=value" after a flag without one as a setting of it: both are settled here first.
  std::vector<std::string> reversed;
  for (const std::string& arg : args) {
    const std::size_t equals = arg.find('=');
    const CLI::Option* flag = arg.starts_with("--") && equals != std::string::npos
                                  ? app.get_option_no_throw(arg.substr(0, equals))
                                  : nullptr;
    if (flag != nullptr && flag->get_expected_max() == 0) {
      error = arg.substr(0, equals) + ": takes no value";
      return ParseResult::kError;
    }
    if (flag != nullptr && equals + 1 == arg.size()) {
      reversed.push_back(arg.substr(0, equals));
      reversed.emplace_back();
    } else {
      reversed.push_back(arg);
    }
  }
  std::reverse(reversed.begin(), reversed.end());
  try {
    app.parse(reversed);
  } catch (const CLI::CallForHelp&) {
    return ParseResult::kHelp;
  } catch (const CLI::CallForVersion&) {
    return ParseResult::kVersion;
  } catch (const CLI::ArgumentMismatch&) {
    // Only a flag last on the line, without its value, comes here.
    error = args.back() + ": missing value or unknown flag";
    return ParseResult::kError;
  } catch (const CLI::ParseError& e) {
    error = e.what();
    return ParseResult::kError;
  }
  if (app.remaining_size() == 0) return ReplayConflict(app, o, error);
  const std::string stray = app.remaining().front();
  error = stray.starts_with("-") && stray.size() > 1
              ? "unknown flag '" + stray.substr(0, stray.find('=')) + "' (see --help)"
              : "unexpected argument '" + stray + "'";
  return ParseResult::kError;
}

std::string SimulatorUsage() {
  return R"(usage: camsim [flags]
A simulated NUDP camera on UDP. It answers every command (TOP 0 to 6) with one response and,
after a 0x08 command, streams one image of 8248 RAW packets to the sender of that command.

  --bind ADDR          local IPv4 address to listen on (default 127.0.0.1)
  --port N             UDP port (default 1234)
  --id TEXT            identification text of the 0xEF answer, at most 21 characters
  --rate MBIT          stream pacing in Mbit/s on the wire (default 1000; 0 = unpaced): each
                       RAW packet counts as the 1098 bytes it takes on an Ethernet link (1032
                       of UDP payload; UDP, IPv4 and Ethernet headers, frame check sequence,
                       preamble and inter-frame gap), so at 1000 one packet leaves every
                       8.784 us and an image takes 72.45 ms
  --pattern NAME       image content: words (default; every byte checkable) or chart (a
                       ramp, a grid and the image number, for the eye at 2048 samples wide)
  --drop LIST          packet indices left out of each stream, e.g. 5,8247 or 100-199
  --loss P             fraction 0..1 of the stream's packets left out at random
  --seed N             seed of the random faults (default 1)
  --duplicate P        fraction 0..1 of the stream's packets sent twice
  --reorder N          shuffle the stream within windows of N packets
  --last-first         send packet 8247 before all the others
  --stop-after N       end each stream after the first N packets of its sending order
  --forge LIST         send these packets of each stream first with other data (every byte
                       inverted), as a sender using the camera's address and port would, then
                       the camera's own
  --bad-packet INDEX,WORDS,BYTES
                       send packet INDEX of each stream WORDS 16-bit words past its place with
                       BYTES data bytes, e.g. 7,0,100 (short) or 9,1,2 (off its boundary)
  --unfinished         the 0x0A transfer status never says finished
  --status-byte BYTE   the 0x0A status byte (data byte 1) as given, whatever the stream does
  --status-length N    data bytes of the 0x0A answer (default 4); bytes after the status word
                       are 0xA5
  --silent             answer nothing and stream nothing
  --silent-cmd CODE    ignore commands with this code (0xFC, 0x08, 0x105, or retransmit)
  --damage CODE        answer the first command with this code with a wrong checksum
  --lose-answer CODE   act on the first command with this code, but its answer is lost
  --answer-after-stream  answer 0x08 only after the last packet of its stream
  --start-delay MS     answer each 0x08, and stream its image, MS milliseconds after it came;
                       every 0x08 starts an image of its own
  --restart-after-fetches N
                       after serving N TOP 6 requests since a 0x08, start the next image
                       unasked, once: stream it without any 0x08 or answer
  --short-retransmit N answer the first TOP 6 request with N data bytes (0 to 1023)
  --answer-twice MS    send every answer a second time, MS milliseconds after the first
  --repeat-packet INDEX,EVERY_MS,FOR_MS
                       after each stream, send packet INDEX of that image again every
                       EVERY_MS milliseconds for FOR_MS milliseconds (or until the next 0x08)
  --exit-after SECONDS end after this time (default: run until SIGINT or SIGTERM)
  --pcap FILE          record every datagram received and sent in FILE (pcap, raw IPv4),
                       written between images and when camsim ends
  --replay FILE        be the camera of a capture (pcap or pcapng) instead: answer each command
                       as the capture's camera answered it, and let the n-th 0x08 stream the
                       capture's image n as its stream came, at its timing; the images start
                       over after the last. Retransmission requests are served from the image
                       rebuilt from the capture, for the packets it holds; others stay
                       unanswered. The capture is read into memory, about 8.5 MB an image, at
                       most 256 images
  --replay-camera ADDR the camera to replay when the capture holds several
  --replay-speed X     replay the capture's timing X times as fast (default 1)
  --quiet              no per-command trace on standard error
  --help               this text
  --version            the version of camsim (the project's)

A CODE up to 0xFF matches the command code (low byte of the number field); a larger one
matches the whole number field. --silent-cmd, --damage and --lose-answer may be given more than
once; a --damage code given n times damages the first n answers to it (--lose-answer alike). --bad-packet may be given more
than once; --short-retransmit given n times cuts the first n answers to TOP 6 requests, each to
its own length.
With --replay, a command of the same TOP and number field is answered as the capture's camera
answered it during the same image (the n-th such command the n-th answer, then the last again),
else as it first answered it anywhere in the capture; one the capture shows only unanswered stays
unanswered, but 0x08, 0x0A, 0xEF, 0x105 and 0xFC, which camsim answers itself then, as it does
every command the capture never saw. --drop and --loss leave out more of the capture's stream and
the command faults act as on camsim's own images; --pattern, --rate, --duplicate, --reorder,
--last-first, --stop-after, --forge, --bad-packet, --repeat-packet, --id, --unfinished,
--status-byte and --status-length are refused with it.
Statistics go to standard output on exit, the achieved rate counted as --rate counts it. Bad flags exit with status 2.
So does a capture file that cannot be opened (--pcap) or replayed (--replay), before anything is
received or sent.
)";
}

}  // namespace fp
