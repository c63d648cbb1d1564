// The Wireshark dissector (tools/wireshark/nudp.lua) decoding captures through tshark: one
// written here packet by packet, and captures that camsim --pcap made of a frameprobe run.
// Without tshark the tests skip; scripts/install-deps.sh installs it.

#include "nudp/NudpProtocol.h"
#include "tools/camsim/PcapWriter.h"

#include "PcapReader.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/Loopback.h"
#include "tests/support/TempDir.h"
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace fp::test {
namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;

std::string TsharkPath() {
  const char* path = std::getenv("PATH");
  std::stringstream dirs(path != nullptr ? path : "/usr/bin:/bin");
  std::string dir;
  while (std::getline(dirs, dir, ':')) {
    const std::string candidate = dir + "/tshark";
    if (!dir.empty() && access(candidate.c_str(), X_OK) == 0) return candidate;
  }
  return "";
}

constexpr const char* kNoTshark =
    "tshark is not installed (scripts/install-deps.sh installs it from Debian's packages)";

std::string Quoted(const std::string& text) { return "'" + text + "'"; }

std::vector<std::string> Split(const std::string& line, char separator) {
  std::vector<std::string> parts;
  std::size_t start = 0;
  while (true) {
    const std::size_t at = line.find(separator, start);
    parts.push_back(line.substr(start, at - start));
    if (at == std::string::npos) return parts;
    start = at + 1;
  }
}

std::uint32_t Number(const std::string& text) {
  return text.empty() ? 0 : static_cast<std::uint32_t>(std::stoul(text, nullptr, 0));
}

// One frame as tshark decodes it.
struct Frame {
  std::uint32_t number = 0;
  std::string src;  // "address:port"
  std::string dst;
  std::string ip_checksum;   // 1 good, 0 bad, 2 unverified
  std::string udp_checksum;  // the same
  std::uint32_t frame_length = 0;
  std::uint32_t ip_length = 0;
  std::string top_byte;  // empty when NUDP did not decode the frame
  std::uint32_t number_field = 0;
  std::string checksum_status;  // "1" right, "0" wrong
  std::string command_name;
  std::string packet_index;
  std::uint32_t response_in = 0;
  std::uint32_t response_to = 0;
  std::uint32_t duplicate_of = 0;
  std::string info;

  bool Nudp() const { return !top_byte.empty(); }
  std::uint32_t TopByte() const { return Number(top_byte); }
  bool Raw() const { return Nudp() && TopByte() == NUDP_RAW_TOP_BYTE; }
  bool Answer() const { return Nudp() && (TopByte() & NUDP_RESPONSE_FLAG) != 0; }
  bool Command() const { return Nudp() && !Raw() && !Answer(); }
};

const char* const kFields[] = {"frame.number",
                               "ip.src",
                               "udp.srcport",
                               "ip.dst",
                               "udp.dstport",
                               "ip.checksum.status",
                               "udp.checksum.status",
                               "frame.len",
                               "ip.len",
                               "nudp.top_byte",
                               "nudp.number",
                               "nudp.checksum.status",
                               "nudp.command.name",
                               "nudp.packet_index",
                               "nudp.response_in",
                               "nudp.response_to",
                               "nudp.raw.duplicate_of",
                               "_ws.col.Info"};

std::string LuaScript() { return NUDP_LUA_PATH; }

// Runs tshark over `capture` with the dissector and `extra` arguments; its standard output,
// or a message starting with "tshark failed" (and its standard error).
std::string RunTshark(const std::string& capture, const std::string& extra) {
  const std::string err = capture + ".tshark-err";
  const std::string command = Quoted(TsharkPath()) + " -n -2 -r " + Quoted(capture) +
                              " -X lua_script:" + Quoted(LuaScript()) + " " + extra + " 2>" +
                              Quoted(err);
  std::FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return "tshark failed: popen";
  std::string out;
  char chunk[65536];
  std::size_t n = 0;
  while ((n = std::fread(chunk, 1, sizeof chunk, pipe)) > 0) out.append(chunk, n);
  const int status = pclose(pipe);
  const std::string errors = ReadFile(err);
  std::remove(err.c_str());
  // A Lua error shows on standard error, and tshark goes on without the dissector.
  if (status != 0 || errors.find("Lua") != std::string::npos) {
    return "tshark failed (status " + std::to_string(status) + "): " + errors;
  }
  return out;
}

// Every frame of `capture`, decoded with checksum checks of IPv4 and UDP turned on.
bool Decode(const std::string& capture, std::vector<Frame>& frames, std::string& error) {
  std::string extra =
      "-o ip.check_checksum:TRUE -o udp.check_checksum:TRUE -T fields -E separator=/t "
      "-E occurrence=f";
  for (const char* field : kFields) extra += std::string(" -e ") + field;
  const std::string out = RunTshark(capture, extra);
  if (out.starts_with("tshark failed")) {
    error = out;
    return false;
  }
  frames.clear();
  std::stringstream lines(out);
  std::string line;
  while (std::getline(lines, line)) {
    const std::vector<std::string> v = Split(line, '\t');
    if (v.size() != std::size(kFields)) {
      error = "unexpected line: " + line;
      return false;
    }
    Frame f;
    f.number = Number(v[0]);
    f.src = v[1] + ":" + v[2];
    f.dst = v[3] + ":" + v[4];
    f.ip_checksum = v[5];
    f.udp_checksum = v[6];
    f.frame_length = Number(v[7]);
    f.ip_length = Number(v[8]);
    f.top_byte = v[9];
    f.number_field = Number(v[10]);
    f.checksum_status = v[11];
    f.command_name = v[12];
    f.packet_index = v[13];
    f.response_in = Number(v[14]);
    f.response_to = Number(v[15]);
    f.duplicate_of = Number(v[16]);
    f.info = v[17];
    frames.push_back(f);
  }
  return true;
}

// Frame numbers that match a display filter.
std::vector<std::uint32_t> Matching(const std::string& capture, const std::string& filter) {
  const std::string out = RunTshark(capture, "-Y " + Quoted(filter) + " -T fields -e frame.number");
  std::vector<std::uint32_t> numbers;
  std::stringstream lines(out);
  std::string line;
  while (std::getline(lines, line)) {
    if (!line.empty() && !line.starts_with("tshark failed")) numbers.push_back(Number(line));
  }
  return numbers;
}

// The frame of each number; frame n is at index n - 1.
const Frame* FrameNumber(const std::vector<Frame>& frames, std::uint32_t n) {
  return n >= 1 && n <= frames.size() ? &frames[n - 1] : nullptr;
}

// --- The dissector alone, on a capture written here. ---

class CraftedCapture {
 public:
  explicit CraftedCapture(const std::string& path) {
    std::string error;
    _ok = _writer.Open(path, error);
  }
  bool Ok() const { return _ok; }
  bool Close() { return _writer.Close(); }

  void Send(const SimEndpoint& from, const SimEndpoint& to, const std::vector<std::uint8_t>& b) {
    _time += std::chrono::microseconds(150);
    _writer.Record(from, to, _time, b.data(), b.size());
  }
  static std::vector<std::uint8_t> Packet(const NudpHeader& h,
                                          const std::vector<std::uint8_t>& data = {}) {
    std::vector<std::uint8_t> p(h.begin(), h.end());
    p.insert(p.end(), data.begin(), data.end());
    return p;
  }
  // A command from `host` and the camera's answer with `data`.
  void Exchange(const SimEndpoint& host, const SimEndpoint& camera, std::uint8_t top,
                std::uint32_t number, const std::vector<std::uint8_t>& data = {}) {
    const NudpHeader command = BuildCommandHeader(top, number);
    Send(host, camera, Packet(command));
    Send(camera, host, Packet(BuildExpectedResponse(command), data));
  }

 private:
  PcapWriter _writer;
  bool _ok = false;
  std::chrono::system_clock::time_point _time{std::chrono::seconds(1765000000)};
};

TEST(NudpDissector, DecodesEveryKindOfPacket) {
  if (TsharkPath().empty()) GTEST_SKIP() << kNoTshark;
  const TempDir dir("nudp_dissector_test");
  ASSERT_FALSE(dir.Path().empty());
  const std::string path = dir.File("crafted.pcap");
  const SimEndpoint host = At("127.11.4.2", 32100);
  const SimEndpoint watchdog = At("127.11.4.2", 32101);
  const SimEndpoint camera = At("127.11.4.1", 1234);
  {
    CraftedCapture c(path);
    ASSERT_TRUE(c.Ok());
    c.Exchange(host, camera, 0, NUDP_CMD_BINNING_ON);
    c.Exchange(host, camera, 0, NUDP_CMD_START_RAW);
    const std::vector<std::uint8_t> image_bytes(RAW_PACKET_DATA_LENGTH, 0x11);
    for (int index : {250, 251, 251, 253, RAW_PACKETS_PER_IMAGE}) {
      c.Send(camera, host,
             c.Packet(BuildCommandHeader(NUDP_TOP_RAW_DATA, RawNumberField(index)), image_bytes));
    }
    c.Exchange(host, camera, 0, NUDP_CMD_TRANSFER_STATUS, {0x00, 0x10, 0x00, 0x00});
    c.Exchange(host, camera, 0, NUDP_CMD_TRANSFER_STATUS, {0x00, 0x00, 0x00, 0x00});
    c.Exchange(host, camera, NUDP_TOP_RETRANSMIT, 0x1F600, image_bytes);
    std::vector<std::uint8_t> id(32, 0);
    const std::string text = "FrameProbe CamSim 1";
    std::copy(text.begin(), text.end(), id.begin() + NUDP_ID_TEXT_OFFSET);
    c.Exchange(host, camera, 0, NUDP_CMD_IDENTIFY, id);
    c.Exchange(watchdog, camera, 0, NUDP_CMD_REFRESH);
    // A damaged answer, then the command again and its right answer.
    const NudpHeader binning = BuildCommandHeader(0, NUDP_CMD_BINNING_ON);
    NudpHeader damaged = BuildExpectedResponse(binning);
    damaged[3] = static_cast<std::uint8_t>(damaged[3] ^ 0x5A);
    c.Send(host, camera, c.Packet(binning));
    c.Send(camera, host, c.Packet(damaged));
    c.Exchange(host, camera, 0, NUDP_CMD_BINNING_ON);
    c.Exchange(host, camera, 0, 0x42);
    c.Exchange(host, camera, NUDP_TOP_FREE_HIGH, 0x0001002A);
    // Found by the heuristic on ports of no NUDP registration.
    c.Send(At("127.11.4.2", 40000), At("127.11.4.1", 40001),
           c.Packet(BuildCommandHeader(0, NUDP_CMD_IDENTIFY)));
    c.Send(host, camera, {0xFF, 0x00, 0x00});
    c.Send(host, camera, {0x12, 0x34, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00});
    ASSERT_TRUE(c.Close());
  }

  std::vector<Frame> frames;
  std::string error;
  ASSERT_TRUE(Decode(path, frames, error)) << error;
  std::vector<std::string> info;
  for (const Frame& f : frames) info.push_back(f.info);
  EXPECT_EQ(info, (std::vector<std::string>{
                      "Command 0x105 binning on",
                      "Answer to 0x105 binning on",
                      "Command 0x08 start RAW data taking",
                      "Answer to 0x08 start RAW data taking",
                      "RAW data #250 offset 0x3E800",
                      "RAW data #251 offset 0x3EC00",
                      "RAW data #251 offset 0x3EC00 (again)",
                      "RAW data #253 offset 0x3F400",
                      "RAW data #8248 offset 0x80E000",
                      "Command 0x0A transfer status",
                      "Answer to 0x0A transfer status: finished",
                      "Command 0x0A transfer status",
                      "Answer to 0x0A transfer status: not finished",
                      "Retransmission request #251",
                      "Retransmitted RAW data #251 offset 0x3EC00",
                      "Command 0xEF identification",
                      "Answer to 0xEF identification: \"FrameProbe CamSim 1\"",
                      "Command 0xFC watchdog refresh",
                      "Answer to 0xFC watchdog refresh",
                      "Command 0x105 binning on",
                      "Answer to 0x105 binning on [wrong checksum]",
                      "Command 0x105 binning on",
                      "Answer to 0x105 binning on",
                      "Command 0x42",
                      "Answer to 0x42",
                      "Command 0x1002A (TOP 5)",
                      "Answer to 0x1002A (TOP 5)",
                      "Command 0xEF identification",
                      "Not NUDP: 3 bytes",
                      "Not NUDP: no signature",
                  }));
  ASSERT_EQ(frames.size(), 30u);
  // Requests and answers point at each other, also across the damaged answer.
  for (std::uint32_t request : {1u, 3u, 10u, 12u, 14u, 16u, 18u, 20u, 22u, 24u, 26u}) {
    const Frame& f = frames[request - 1];
    EXPECT_EQ(f.response_in, request + 1) << f.info;
    EXPECT_EQ(frames[request].response_to, request) << frames[request].info;
  }
  EXPECT_EQ(frames[27].response_in, 0u);  // never answered
  EXPECT_EQ(frames[13].packet_index, "251");
  EXPECT_EQ(frames[14].packet_index, "251");
  EXPECT_EQ(frames[6].duplicate_of, 6u);
  EXPECT_EQ(frames[20].checksum_status, "0");
  EXPECT_EQ(frames[22].checksum_status, "1");
  EXPECT_EQ(frames[17].command_name, "watchdog refresh");
  EXPECT_EQ(frames[23].command_name, "unknown");
  EXPECT_EQ(Matching(path, "nudp.checksum.bad"), (std::vector<std::uint32_t>{21}));
  EXPECT_EQ(Matching(path, "nudp.outside_image"), (std::vector<std::uint32_t>{9}));
  // Packets 0 to 249 and 252 were not seen.
  EXPECT_EQ(Matching(path, "nudp.raw.gap"), (std::vector<std::uint32_t>{5, 8}));
  EXPECT_EQ(Matching(path, "nudp.raw.missing_before == 1"), (std::vector<std::uint32_t>{8}));
  EXPECT_EQ(Matching(path, "nudp.status.finished == 1"), (std::vector<std::uint32_t>{11}));
  EXPECT_EQ(Matching(path, "nudp.id.text == \"FrameProbe CamSim 1\""),
            (std::vector<std::uint32_t>{17}));
  EXPECT_EQ(Matching(path, "nudp.byte_offset == 0x3EC00 && nudp.top == 6"),
            (std::vector<std::uint32_t>{14, 15}));
  EXPECT_EQ(Matching(path, "nudp.too_short || nudp.no_signature"),
            (std::vector<std::uint32_t>{29, 30}));
}

// --- Captures of frameprobe against camsim, both as processes. ---

// camsim --pcap on 127.11.<net>.1 and frameprobe from 127.11.<net>.2, in a directory of their
// own, until frameprobe has ended and camsim has written its capture on SIGTERM.
class CaptureRun {
 public:
  explicit CaptureRun(int net) : _net(net) {}
  ~CaptureRun() {
    if (_camsim > 0) {
      kill(_camsim, SIGKILL);
      waitpid(_camsim, nullptr, 0);
    }
  }

  ::testing::AssertionResult Run(const std::vector<std::string>& faults) {
    if (_dir.empty()) return ::testing::AssertionFailure() << "no temporary directory";
    const std::string camera = "127.11." + std::to_string(_net) + ".1";
    const std::string local = "127.11." + std::to_string(_net) + ".2";
    std::vector<std::string> args = {CAMSIM_PATH, "--bind", camera, "--pcap", Capture(), "--quiet"};
    args.insert(args.end(), faults.begin(), faults.end());
    _camsim = Spawn(args, _dir, _dir + "/camsim.out", _dir + "/camsim.err");
    if (_camsim < 0) return ::testing::AssertionFailure() << "cannot start camsim";
    // camsim says it listens once its socket is bound and its signal handlers are set.
    if (!AwaitText(_dir + "/camsim.err", "camsim: listening on", std::chrono::seconds(20),
                   _camsim)) {
      return ::testing::AssertionFailure() << "camsim did not start: " << File("camsim.err");
    }
    const pid_t frameprobe =
        Spawn({FRAMEPROBE_PATH, local, camera}, _dir, _dir + "/console", _dir + "/console.err");
    if (frameprobe < 0) return ::testing::AssertionFailure() << "cannot start frameprobe";
    const int frameprobe_status = AwaitExit(frameprobe, std::chrono::seconds(60));
    kill(_camsim, SIGTERM);
    const int camsim_status = AwaitExit(_camsim, std::chrono::seconds(30));
    _camsim = -1;
    if (frameprobe_status != 0 || camsim_status != 0) {
      return ::testing::AssertionFailure()
             << "frameprobe ended with " << frameprobe_status << ", camsim with " << camsim_status
             << ": " << File("camsim.err");
    }
    return ::testing::AssertionSuccess();
  }

  std::string Capture() const { return _dir + "/camsim.pcap"; }
  std::string File(const std::string& name) const { return ReadFile(_dir + "/" + name); }
  // A number from camsim's statistics, e.g. "RAW packets sent: ".
  std::uint64_t Statistic(const std::string& label) const {
    const std::string out = File("camsim.out");
    const std::size_t at = out.find(label);
    return at == std::string::npos ? 0 : std::stoull(out.substr(at + label.size()));
  }
  // False when the driver had to send a command again because an answer came later than its
  // 100 ms wait (a loaded machine); the exact sequence of commands is compared only without.
  bool AnsweredInTime() const {
    const bool in_time = File("log_err.txt").find("):\nTimeout.") == std::string::npos;
    if (!in_time) std::fprintf(stderr, "note: an answer came late; command order not compared\n");
    return in_time;
  }

 private:
  int _net;
  TempDir _temp{"nudp_capture_test"};
  const std::string _dir = _temp.Path();
  pid_t _camsim = -1;
};

// What both captures must show: a clean capture file, every frame NUDP, every command named.
void CheckCommonGround(const CaptureRun& run, const std::vector<Frame>& frames) {
  std::vector<CapturedDatagram> records;
  std::string error;
  ASSERT_TRUE(ReadCapture(run.Capture(), records, error)) << error;
  ASSERT_EQ(records.size(), frames.size());
  EXPECT_EQ(run.Statistic("datagrams captured: "), records.size());
  std::size_t bad_records = 0;
  for (const CapturedDatagram& d : records) bad_records += d.problems.empty() ? 0 : 1;
  EXPECT_EQ(bad_records, 0u);
  std::size_t bad_frames = 0;
  for (const Frame& f : frames) {
    const bool good =
        f.ip_checksum == "1" && f.udp_checksum == "1" && f.frame_length == f.ip_length && f.Nudp();
    if (!good && ++bad_frames <= 5) ADD_FAILURE() << "frame " << f.number << ": " << f.info;
    if (f.Command() && (f.TopByte() & NUDP_TOP_MASK) == NUDP_TOP_COMMAND) {
      EXPECT_TRUE(!f.command_name.empty() && f.command_name != "unknown") << f.info;
      EXPECT_TRUE(f.info.starts_with("Command 0x") && f.info.ends_with(" " + f.command_name))
          << f.info;
    }
  }
  EXPECT_EQ(bad_frames, 0u);
}

std::vector<std::string> InfoOf(const std::vector<Frame>& frames, bool (Frame::*kind)() const) {
  std::vector<std::string> out;
  for (const Frame& f : frames) {
    if ((f.*kind)()) out.push_back(f.info);
  }
  return out;
}

// Each capture test needs tshark to read what frameprobe and camsim exchanged.
class NudpCapture : public ::testing::Test {
 protected:
  void SetUp() override {
    if (TsharkPath().empty()) GTEST_SKIP() << kNoTshark;
  }

  // Runs frameprobe against camsim with `faults` and decodes the capture into `frames`.
  void RunAndDecode(CaptureRun& run, const std::vector<std::string>& faults) {
    ASSERT_TRUE(run.Run(faults));
    std::string error;
    ASSERT_TRUE(Decode(run.Capture(), frames, error)) << error;
  }

  std::vector<Frame> frames;
};

TEST_F(NudpCapture, DroppedPacketsAndADamagedAnswer) {
  CaptureRun run(/*net=*/1);
  ASSERT_NO_FATAL_FAILURE(RunAndDecode(run, {"--drop", "5,8247", "--damage", "0x105"}));
  CheckCommonGround(run, frames);

  // The RAW data frames are those camsim sent: the image without packets 5 and 8247.
  std::size_t raw = 0;
  std::set<std::string> indices;
  for (const Frame& f : frames) {
    if (f.Raw()) {
      ++raw;
      indices.insert(f.packet_index);
    }
  }
  EXPECT_EQ(raw, 8246u);
  EXPECT_EQ(raw, run.Statistic("RAW packets sent: "));
  EXPECT_EQ(indices.count("5") + indices.count("8247"), 0u);
  EXPECT_EQ(indices.size(), 8246u);

  // The first answer to 0x105 is the damaged one; the driver sent the command again.
  std::vector<const Frame*> damaged;
  for (const Frame& f : frames) {
    if (f.checksum_status == "0") damaged.push_back(&f);
  }
  ASSERT_EQ(damaged.size(), 1u);
  EXPECT_EQ(damaged[0]->info, "Answer to 0x105 binning on [wrong checksum]");
  EXPECT_EQ(Matching(run.Capture(), "nudp.checksum.bad"),
            (std::vector<std::uint32_t>{damaged[0]->number}));

  // Retransmission requests name packets 5 and 8247 (and 251, the program's check), and each
  // is linked to its answer, which carries that packet.
  std::vector<std::string> requests;
  for (const Frame& f : frames) {
    if (!f.Command() || (f.TopByte() & NUDP_TOP_MASK) != NUDP_TOP_RETRANSMIT) continue;
    requests.push_back(f.packet_index);
    EXPECT_EQ(f.info, "Retransmission request #" + f.packet_index);
    const Frame* answer = FrameNumber(frames, f.response_in);
    ASSERT_NE(answer, nullptr) << "no answer linked to frame " << f.number;
    EXPECT_EQ(answer->response_to, f.number);
    EXPECT_EQ(answer->packet_index, f.packet_index);
    EXPECT_EQ(answer->TopByte(), std::uint32_t{NUDP_RESPONSE_FLAG | NUDP_TOP_RETRANSMIT});
    EXPECT_EQ(answer->info, "Retransmitted RAW data #" + f.packet_index + " offset 0x" +
                                (f.packet_index == "5"      ? "1400"
                                 : f.packet_index == "8247" ? "80DC00"
                                                            : "3EC00"));
  }
  const std::set<std::string> asked(requests.begin(), requests.end());
  for (const char* index : {"5", "8247", "251"}) EXPECT_EQ(asked.count(index), 1u) << index;

  // Packet 8247 is missing, so the transfer ended on silence and a status request (a simulator
  // held up on a loaded machine may cause more of them, which the driver rightly sends).
  std::vector<std::string> commands = InfoOf(frames, &Frame::Command);
  EXPECT_GE(std::erase(commands, "Command 0x0A transfer status"), 1u);
  std::erase(commands, "Command 0xFC watchdog refresh");
  if (run.AnsweredInTime()) {
    EXPECT_EQ(requests, (std::vector<std::string>{"5", "8247", "251"}));
    EXPECT_EQ(commands, (std::vector<std::string>{
                            "Command 0x105 binning on", "Command 0x105 binning on",
                            "Command 0x08 start RAW data taking", "Retransmission request #5",
                            "Retransmission request #8247", "Retransmission request #251",
                            "Command 0xEF identification"}));
  }
  // Every command has its answer.
  for (const Frame& f : frames) {
    if (f.Command()) {
      EXPECT_NE(f.response_in, 0u) << f.number << " " << f.info;
    }
  }
  EXPECT_EQ(Matching(run.Capture(), "nudp.id.text == \"FrameProbe CamSim 1\"").size(), 1u);
}

TEST_F(NudpCapture, DuplicatedPackets) {
  CaptureRun run(/*net=*/2);
  ASSERT_NO_FATAL_FAILURE(RunAndDecode(run, {"--duplicate", "0.05", "--seed", "3"}));
  CheckCommonGround(run, frames);

  std::size_t raw = 0;
  std::size_t again = 0;
  std::set<std::string> indices;
  for (const Frame& f : frames) {
    if (!f.Raw()) continue;
    ++raw;
    indices.insert(f.packet_index);
    if (f.duplicate_of != 0) {
      ++again;
      EXPECT_TRUE(f.info.ends_with(" (again)")) << f.info;
      const Frame* first = FrameNumber(frames, f.duplicate_of);
      ASSERT_NE(first, nullptr);
      EXPECT_EQ(first->packet_index, f.packet_index);
    }
  }
  const std::uint64_t sent = run.Statistic("RAW packets sent: ");
  EXPECT_EQ(raw, sent);
  EXPECT_GT(sent, static_cast<std::uint64_t>(RAW_PACKETS_PER_IMAGE));
  EXPECT_EQ(indices.size(), static_cast<std::size_t>(RAW_PACKETS_PER_IMAGE));
  EXPECT_EQ(again, sent - RAW_PACKETS_PER_IMAGE);
  EXPECT_EQ(Matching(run.Capture(), "nudp.checksum.bad").size(), 0u);
  // The retransmission of packet 251 is answered with its packet.
  EXPECT_EQ(Matching(run.Capture(), "nudp.top_byte == 0x86 && nudp.packet_index == 251").size(),
            1u);
}

}  // namespace
}  // namespace fp::test
