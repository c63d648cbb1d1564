#include "tools/SimulatorOptions.h"

#include "nudp/NudpProtocol.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cmath>
#include <cstdlib>

namespace fp {

bool CommandMatch::Matches(std::uint8_t top, std::uint32_t number) const {
  if (retransmit) return top == NUDP_TOP_RETRANSMIT;
  if (top == NUDP_TOP_RETRANSMIT) return false;
  return code <= 0xFF ? (number & 0xFF) == code : number == code;
}

namespace {

bool ParseUnsigned(const std::string& text, std::uint64_t max, std::uint64_t& value) {
  if (text.empty() || text[0] == '-' || text[0] == '+' || text[0] == ' ') return false;
  errno = 0;
  char* end = nullptr;
  const unsigned long long v = std::strtoull(text.c_str(), &end, 0);
  if (errno != 0 || end == text.c_str() || *end != '\0' || v > max) return false;
  value = v;
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

bool ParseIndex(const std::string& text, int& index) {
  std::uint64_t v = 0;
  if (!ParseUnsigned(text, RAW_LAST_PACKET_INDEX, v)) return false;
  index = static_cast<int>(v);
  return true;
}

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
      if (!ParseIndex(item, first)) return false;
      last = first;
    } else if (!ParseIndex(item.substr(0, dash), first) ||
               !ParseIndex(item.substr(dash + 1), last) || last < first) {
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

// "INDEX,EVERY_MS,FOR_MS".
bool ParseRepeat(const std::string& text, SimulatorOptions& options) {
  const std::size_t first = text.find(',');
  const std::size_t second = first == std::string::npos ? first : text.find(',', first + 1);
  if (second == std::string::npos) return false;
  int index = 0;
  double every = 0;
  double span = 0;
  if (!ParseIndex(text.substr(0, first), index) ||
      !ParseReal(text.substr(first + 1, second - first - 1), 0.01, 1e6, every) ||
      !ParseReal(text.substr(second + 1), 0.0, 1e7, span)) {
    return false;
  }
  options.repeat_index = index;
  options.repeat_every_ms = every;
  options.repeat_for_ms = span;
  return true;
}

// "INDEX,WORDS,BYTES".
bool ParseBadPacket(const std::string& text, BadPacket& bad) {
  const std::size_t first = text.find(',');
  const std::size_t second = first == std::string::npos ? first : text.find(',', first + 1);
  if (second == std::string::npos) return false;
  int index = 0;
  std::uint64_t words = 0;
  std::uint64_t length = 0;
  if (!ParseIndex(text.substr(0, first), index) ||
      !ParseUnsigned(text.substr(first + 1, second - first - 1), RAW_PACKET_DATA_LENGTH / 2 - 1,
                     words) ||
      !ParseUnsigned(text.substr(second + 1), NUDP_MAX_DATA_LENGTH, length)) {
    return false;
  }
  // Out of shape it must be, or it is no fault.
  if (words == 0 && length == RAW_PACKET_DATA_LENGTH) return false;
  bad = BadPacket{index, static_cast<std::uint32_t>(words), static_cast<std::size_t>(length)};
  return true;
}

bool ParseCommandMatch(const std::string& text, CommandMatch& match) {
  if (text == "retransmit") {
    match = CommandMatch{/*retransmit=*/true, /*code=*/0};
    return true;
  }
  std::uint64_t v = 0;
  if (!ParseUnsigned(text, 0xFFFFFFFFu, v)) return false;
  match = CommandMatch{/*retransmit=*/false, static_cast<std::uint32_t>(v)};
  return true;
}

}  // namespace

ParseResult ParseSimulatorArgs(const std::vector<std::string>& args, SimulatorOptions& options,
                               std::string& error) {
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& flag = args[i];
    auto bad = [&](const char* what) {
      error = flag + ": " + what;
      return ParseResult::kError;
    };
    if (flag == "--help" || flag == "-h") return ParseResult::kHelp;
    if (flag == "--version") return ParseResult::kVersion;
    const std::size_t equals = flag.find('=');
    if (flag.rfind("--", 0) == 0 && equals != std::string::npos) {
      const std::string name = flag.substr(0, equals);
      if (name == "--last-first" || name == "--unfinished" || name == "--silent" ||
          name == "--answer-after-stream" || name == "--quiet" || name == "--help" ||
          name == "--version") {
        error = name + ": takes no value";
        return ParseResult::kError;
      }
    }
    if (flag == "--last-first") {
      options.last_first = true;
    } else if (flag == "--unfinished") {
      options.unfinished = true;
    } else if (flag == "--silent") {
      options.silent = true;
    } else if (flag == "--answer-after-stream") {
      options.answer_after_stream = true;
    } else if (flag == "--quiet") {
      options.trace = false;
    } else {
      // Every other flag takes a value, as the next argument or after '='.
      std::string name = flag;
      std::string value;
      const std::size_t eq = flag.find('=');
      if (flag.rfind("--", 0) == 0 && eq != std::string::npos) {
        name = flag.substr(0, eq);
        value = flag.substr(eq + 1);
      } else if (i + 1 < args.size()) {
        value = args[++i];
      } else {
        error = flag.rfind("--", 0) == 0 ? flag + ": missing value or unknown flag"
                                         : "unexpected argument '" + flag + "'";
        return ParseResult::kError;
      }
      std::uint64_t u = 0;
      double d = 0;
      CommandMatch match;
      if (name == "--bind") {
        in_addr a{};
        if (inet_pton(AF_INET, value.c_str(), &a) != 1) return bad("needs a dotted quad");
        options.bind_address = value;
      } else if (name == "--port") {
        if (!ParseUnsigned(value, 65535, u) || u == 0) return bad("needs a port 1 to 65535");
        options.port = static_cast<std::uint16_t>(u);
      } else if (name == "--id") {
        if (value.size() > kMaxIdTextLength || value.find('\0') != std::string::npos) {
          return bad("text longer than 21 characters");
        }
        options.id_text = value;
      } else if (name == "--rate") {
        if (!ParseReal(value, 0.0, 1e6, d)) return bad("needs Mbit/s, 0 or more");
        options.rate_mbit = d;
      } else if (name == "--pattern") {
        if (value != "words" && value != "chart") return bad("needs words or chart");
        options.pattern = value == "chart" ? PatternKind::kChart : PatternKind::kWords;
      } else if (name == "--drop") {
        if (!ParseDropList(value, options.drop)) {
          return bad("needs packet indices 0 to 8247 such as 5,8247 or 100-199");
        }
      } else if (name == "--forge") {
        if (!ParseDropList(value, options.forge)) {
          return bad("needs packet indices 0 to 8247 such as 4000-4009");
        }
      } else if (name == "--bad-packet") {
        BadPacket packet;
        if (!ParseBadPacket(value, packet)) {
          return bad("needs INDEX,WORDS,BYTES (WORDS 0 to 511, BYTES 0 to 1024, not 0,1024)");
        }
        options.bad_packets.push_back(packet);
      } else if (name == "--loss") {
        if (!ParseReal(value, 0.0, 1.0, d)) return bad("needs a fraction from 0 to 1");
        options.loss = d;
      } else if (name == "--seed") {
        if (!ParseUnsigned(value, UINT64_MAX, u)) return bad("needs an unsigned number");
        options.seed = u;
      } else if (name == "--duplicate") {
        if (!ParseReal(value, 0.0, 1.0, d)) return bad("needs a fraction from 0 to 1");
        options.duplicate = d;
      } else if (name == "--reorder") {
        if (!ParseUnsigned(value, RAW_PACKETS_PER_IMAGE, u)) return bad("needs 0 to 8248");
        options.reorder = static_cast<int>(u);
      } else if (name == "--stop-after") {
        if (!ParseUnsigned(value, RAW_PACKETS_PER_IMAGE, u)) return bad("needs 0 to 8248");
        options.stop_after = static_cast<int>(u);
      } else if (name == "--status-byte") {
        if (!ParseUnsigned(value, 0xFF, u)) return bad("needs a byte 0 to 0xFF");
        options.status_byte = static_cast<int>(u);
      } else if (name == "--status-length") {
        if (!ParseUnsigned(value, NUDP_MAX_DATA_LENGTH, u)) return bad("needs 0 to 1024");
        options.status_length = static_cast<std::size_t>(u);
      } else if (name == "--silent-cmd") {
        if (!ParseCommandMatch(value, match)) return bad("needs a code such as 0xFC or retransmit");
        options.silent_cmd.push_back(match);
      } else if (name == "--damage") {
        if (!ParseCommandMatch(value, match)) return bad("needs a code such as 0x0A or retransmit");
        options.damage.push_back(match);
      } else if (name == "--lose-answer") {
        if (!ParseCommandMatch(value, match)) return bad("needs a code such as 0x08 or retransmit");
        options.lose_answer.push_back(match);
      } else if (name == "--start-delay") {
        if (!ParseReal(value, 0.0, 1e4, d) || d == 0.0) return bad("needs milliseconds above 0");
        options.start_delay_ms = d;
      } else if (name == "--short-retransmit") {
        if (!ParseUnsigned(value, NUDP_MAX_DATA_LENGTH - 1, u)) return bad("needs 0 to 1023");
        options.short_retransmit.push_back(static_cast<std::size_t>(u));
      } else if (name == "--answer-twice") {
        if (!ParseReal(value, 0.0, 1e4, d) || d == 0.0) return bad("needs milliseconds above 0");
        options.answer_twice_ms = d;
      } else if (name == "--repeat-packet") {
        if (!ParseRepeat(value, options)) {
          return bad("needs INDEX,EVERY_MS,FOR_MS such as 0,1,3000");
        }
      } else if (name == "--exit-after") {
        if (!ParseReal(value, 0.0, 1e7, d) || d == 0.0) return bad("needs seconds above 0");
        options.exit_after_seconds = d;
      } else if (name == "--pcap") {
        if (value.empty()) return bad("needs a file name");
        options.pcap_path = value;
      } else {
        error = "unknown flag '" + name + "' (see --help)";
        return ParseResult::kError;
      }
    }
  }
  return ParseResult::kRun;
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
  --short-retransmit N answer the first TOP 6 request with N data bytes (0 to 1023)
  --answer-twice MS    send every answer a second time, MS milliseconds after the first
  --repeat-packet INDEX,EVERY_MS,FOR_MS
                       after each stream, send packet INDEX of that image again every
                       EVERY_MS milliseconds for FOR_MS milliseconds (or until the next 0x08)
  --exit-after SECONDS end after this time (default: run until SIGINT or SIGTERM)
  --pcap FILE          record every datagram received and sent in FILE (pcap, raw IPv4),
                       written between images and when camsim ends
  --quiet              no per-command trace on standard error
  --help               this text
  --version            the version of camsim (the project's)

A CODE up to 0xFF matches the command code (low byte of the number field); a larger one
matches the whole number field. --silent-cmd, --damage and --lose-answer may be given more than
once; a --damage code given n times damages the first n answers to it (--lose-answer alike). --bad-packet may be given more
than once; --short-retransmit given n times cuts the first n answers to TOP 6 requests, each to
its own length.
Statistics go to standard output on exit, the achieved rate counted as --rate counts it. Bad flags exit with status 2.
So does a capture file that cannot be opened, before anything is received or sent.
)";
}

}  // namespace fp
