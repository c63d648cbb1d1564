// The acquisition test end to end: the built frameprobe program against the simulated camera,
// and the same sequence in-process where the image itself is checked.

#include "app/AcquisitionSequence.h"
#include "tools/camsim/CameraSimulator.h"

#include "tests/camera/CameraRig.h"
#include "tests/support/ChildProcess.h"
#include <gtest/gtest.h>

#include <algorithm>
#include <arpa/inet.h>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace fp::test {
namespace {

using std::chrono::steady_clock;

std::string AppAddress(int net, int host) {
  return "127.8." + std::to_string(net) + "." + std::to_string(host);
}

// A simulated camera on 127.8.<net>.1 and a fresh working directory for one run.
class AppRig {
 public:
  AppRig(int net, SimulatorOptions options) : _net(net), _dir("frameprobe_test") {
    options.bind_address = AppAddress(net, 1);
    options.trace = false;
    _sim = std::make_unique<CameraSimulator>(options);
    _started = _sim->Start(_error);
  }
  ~AppRig() { _sim->Stop(); }

  bool Started() const { return _started; }
  const std::string& Error() const { return _error; }
  CameraSimulator& Sim() { return *_sim; }
  std::string Local() const { return AppAddress(_net, 2); }
  std::string Remote() const { return AppAddress(_net, 1); }
  std::string File(const std::string& name) const { return ReadFile(_dir.File(name)); }
  // False when a command had to be sent again because its answer came later than the 100 ms
  // wait: a simulator thread that a loaded machine holds up that long changes the traffic (and
  // the driver rightly copes), so the exact record can be checked only without it.
  bool AnsweredInTime() const {
    const bool in_time = Count(File("log_err.txt"), "):\nTimeout.\n\n") == 0;
    if (!in_time) std::fprintf(stderr, "note: an answer came late; traffic not compared\n");
    return in_time;
  }
  bool Exists(const std::string& name) const { return std::filesystem::exists(_dir.File(name)); }

  const std::string& Dir() const { return _dir.Path(); }

  // Starts frameprobe with `local` and `remote` in the directory; its standard output goes to
  // "console". Returns its process id, or -1.
  pid_t Start(const std::string& local, const std::string& remote) {
    return Start({FRAMEPROBE_PATH, local, remote});
  }
  pid_t Start(const std::vector<std::string>& args) {
    return Spawn(args, _dir.Path(), _dir.File("console"), _dir.File("console.err"));
  }

  // The exit status of the process, or -1 when it did not end within a minute.
  static int Wait(pid_t pid) { return AwaitExit(pid, std::chrono::seconds(60)); }

  int Run(const std::string& local, const std::string& remote) {
    return Wait(Start(local, remote));
  }

  // The simulator's record as "TOP:number" words, in order, without the watchdog's refreshes
  // and, when `status` is false, without the status requests (a simulator that stalls for more
  // than 100 ms on a loaded machine may cause some in the middle of a stream).
  std::vector<std::string> Traffic(bool status = true) const {
    std::vector<std::string> words;
    for (const ReceivedCommand& c : _sim->Commands()) {
      const std::uint32_t number = ReadNumberField(c.header.data());
      if (number == NUDP_CMD_REFRESH) continue;
      if (!status && (c.header[2] & NUDP_TOP_MASK) == NUDP_TOP_COMMAND &&
          number == NUDP_CMD_TRANSFER_STATUS) {
        continue;
      }
      char word[32];
      std::snprintf(word, sizeof word, "%u:%X", c.header[2] & NUDP_TOP_MASK, number);
      words.push_back(word);
    }
    return words;
  }

 private:
  int _net;
  TempDir _dir;
  std::unique_ptr<CameraSimulator> _sim;
  std::string _error;
  bool _started = false;
};

// What frameprobe prints before its account of the image's packets and, when the camera
// answers, after it.
const std::string kStarted = "Binning: turn ON\n\nData taking started.\n\n";
const std::string kCheckAndId =
    "RAW packet #251 (length=1024) retransmitted and stored in its right place in the image.\n\n"
    "Get the number field from the last camera response again.\n"
    "It is: 0001F600 and it should be the retransmitted data offset (16-bit words).\n\n"
    "Camera ID received (length=32). String is: FrameProbe CamSim 1\n\n";

TEST(Frameprobe, CompleteImage) {
  AppRig rig(1, SimulatorOptions{});
  ASSERT_TRUE(rig.Started()) << rig.Error();
  EXPECT_EQ(rig.Run(rig.Local(), rig.Remote()), 0);
  EXPECT_EQ(rig.File("console"),
            kStarted + "RAW data transmision done, no missing packets.\n\n" + kCheckAndId);
  if (rig.AnsweredInTime()) {
    EXPECT_EQ(rig.Traffic(/*status=*/false),
              (std::vector<std::string>{"0:105", "0:8", "6:1F600", "0:EF"}));
    EXPECT_EQ(WithoutStallLines(Unstamped(rig.File("log_err.txt"))),
              "START LOGGING.\n\nSTOP LOGGING.\n\n");
  }
  const std::string log = Unstamped(rig.File("log.txt"));
  EXPECT_TRUE(log.starts_with("START LOGGING.\n\nCEthCamera::Open():\n"));
  EXPECT_TRUE(log.ends_with("CEthCamera deleted.\n\nSTOP LOGGING.\n\n"));
  EXPECT_EQ(Count(log, "CEthCamera::BkgListener():\nLast RAW data packet received.\n\n"), 1u);
}

TEST(Frameprobe, DroppedPacketsAreAskedForAgain) {
  SimulatorOptions options;
  options.drop = {5, 8247};
  AppRig rig(2, options);
  ASSERT_TRUE(rig.Started()) << rig.Error();
  EXPECT_EQ(rig.Run(rig.Local(), rig.Remote()), 0);
  EXPECT_EQ(rig.File("console"),
            kStarted + "8246 packets received.\nMissing packets retransmitted.\n\n" + kCheckAndId);
  // Packet 8247 is missing, so the transfer ends on silence and a status request.
  EXPECT_GE(rig.Traffic().size(), rig.Traffic(/*status=*/false).size() + 1);
  if (rig.AnsweredInTime()) {
    EXPECT_EQ(rig.Traffic(/*status=*/false),
              (std::vector<std::string>{"0:105", "0:8", "6:A00", "6:406E00", "6:1F600", "0:EF"}));
  }
  const std::string err = Unstamped(rig.File("log_err.txt"));
  EXPECT_TRUE(InOrder(
      err, {"CEthCamera::BkgListener():\nRAW data timeout.\n\n",
            "CEthCamera::ReadMissing():\nPacket #5 retransmitted.\n\n",
            "CEthCamera::ReadMissing():\nPacket #8247 retransmitted.\n\n", "STOP LOGGING.\n\n"}))
      << err;
}

TEST(Frameprobe, SilentCameraRunsTheSequenceToItsEnd) {
  SimulatorOptions options;
  options.silent = true;
  AppRig rig(3, options);
  ASSERT_TRUE(rig.Started()) << rig.Error();
  EXPECT_EQ(rig.Run(rig.Local(), rig.Remote()), 0);
  EXPECT_EQ(rig.File("console"),
            "0 packets received.\nStill there are some missing packets....\n\n");
  EXPECT_EQ(rig.Traffic(), (std::vector<std::string>{"0:105", "0:105", "0:105"}));
  const std::string err = Unstamped(rig.File("log_err.txt"));
  // Start, recovery, packet 251 and the identification all find the connection closed.
  EXPECT_EQ(Count(err, "Connection closed. Command not sent.\n\n"), 4u);
  EXPECT_TRUE(
      InOrder(err, {"CEthCamera::SendCmd():\nLost contact, closing connection.\n\n",
                    "CEthCamera::ReadMissing():\nCannot retransmit packet #0.\n\n",
                    "NudpSocket::GetResponse():\nState is not READY.\n\n", "STOP LOGGING.\n\n"}))
      << err;
}

TEST(Frameprobe, CameraSilentToTheStatusRequest) {
  SimulatorOptions options;
  options.stop_after = 4000;
  options.silent_cmd.push_back(CommandMatch{/*retransmit=*/false, NUDP_CMD_TRANSFER_STATUS});
  AppRig rig(4, options);
  ASSERT_TRUE(rig.Started()) << rig.Error();
  EXPECT_EQ(rig.Run(rig.Local(), rig.Remote()), 0);
  // Contact is lost at the first timeout, at the end of the stream (or earlier, when the
  // simulator stalled for more than 100 ms on a loaded machine).
  const std::string console = rig.File("console");
  const std::string tail = " packets received.\nStill there are some missing packets....\n\n";
  ASSERT_TRUE(console.starts_with(kStarted) && console.ends_with(tail)) << console;
  const int received = std::stoi(console.substr(kStarted.size()));
  EXPECT_GT(received, 0);
  EXPECT_LE(received, 4000);
  EXPECT_EQ(console, kStarted + std::to_string(received) + tail);
  const std::vector<std::string> traffic = rig.Traffic();
  ASSERT_GE(traffic.size(), 5u);
  // The three unanswered attempts of the last status request end the traffic.
  EXPECT_EQ(std::vector<std::string>(traffic.end() - 3, traffic.end()),
            (std::vector<std::string>{"0:A", "0:A", "0:A"}));
  if (Count(rig.File("log_err.txt"), "0A000000):\nTimeout.") ==
      Count(rig.File("log_err.txt"), "):\nTimeout.")) {
    EXPECT_EQ(rig.Traffic(/*status=*/false), (std::vector<std::string>{"0:105", "0:8"}));
  }
  EXPECT_TRUE(rig.File("log.txt").ends_with("STOP LOGGING.\n\n"));
}

TEST(Frameprobe, ConstructorAndOpenFailures) {
  AppRig rig(5, SimulatorOptions{});
  ASSERT_TRUE(rig.Started()) << rig.Error();
  // An address that is not this machine's: nothing is created.
  EXPECT_EQ(rig.Run("192.0.2.1", rig.Remote()), 0);
  EXPECT_EQ(rig.File("console"), "CEthCamera: cannot bind to local ip:port\n");
  EXPECT_FALSE(rig.Exists("log.txt"));
  EXPECT_FALSE(rig.Exists("log_err.txt"));

  // The watchdog's ports are taken: Open fails, and the logs end without their closing lines.
  int held[2];
  for (int i = 0; i < 2; ++i) {
    held[i] = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<std::uint16_t>(32101 + i));
    inet_pton(AF_INET, rig.Local().c_str(), &a.sin_addr);
    ASSERT_EQ(bind(held[i], reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  }
  EXPECT_EQ(rig.Run(rig.Local(), rig.Remote()), 0);
  for (const int fd : held) close(fd);
  EXPECT_EQ(rig.File("console"), "Not opened.\n");
  EXPECT_EQ(Unstamped(rig.File("log_err.txt")),
            "START LOGGING.\n\nRefreshThread: cannot bind to local ip:port.\n"
            "Connection not estabilished.\n\n");
  const std::string log = Unstamped(rig.File("log.txt"));
  EXPECT_TRUE(log.ends_with("Connection not estabilished.\n\n")) << log;
  EXPECT_TRUE(rig.Traffic().empty());
}

TEST(Frameprobe, LogFaultsLeaveTheRunAsItIs) {
  const std::string complete =
      kStarted + "RAW data transmision done, no missing packets.\n\n" + kCheckAndId;
  AppRig rig(7, SimulatorOptions{});
  ASSERT_TRUE(rig.Started()) << rig.Error();

  // Log files that cannot be created: here because directories stand in their place (a test
  // running as root could write anywhere).
  std::filesystem::create_directory(rig.Dir() + "/log.txt");
  std::filesystem::create_directory(rig.Dir() + "/log_err.txt");
  EXPECT_EQ(rig.Run(rig.Local(), rig.Remote()), 0);
  EXPECT_EQ(rig.File("console"),
            "Log file not created.\n\nError log file not created.\n\n" + complete);
  std::filesystem::remove(rig.Dir() + "/log.txt");
  std::filesystem::remove(rig.Dir() + "/log_err.txt");

  // A driver log whose every write fails.
  std::filesystem::create_symlink("/dev/full", rig.Dir() + "/log.txt");
  EXPECT_EQ(rig.Run(rig.Local(), rig.Remote()), 0);
  EXPECT_EQ(rig.File("console"), complete);
  EXPECT_TRUE(Unstamped(rig.File("log_err.txt")).ends_with("STOP LOGGING.\n\n"));
  std::filesystem::remove(rig.Dir() + "/log.txt");

  // Logs of an earlier run are appended to, never cut.
  const std::string earlier = "a line of an earlier run\n";
  std::FILE* f = std::fopen((rig.Dir() + "/log.txt").c_str(), "w");
  ASSERT_NE(f, nullptr);
  std::fputs(earlier.c_str(), f);
  std::fclose(f);
  EXPECT_EQ(rig.Run(rig.Local(), rig.Remote()), 0);
  EXPECT_EQ(rig.File("console"), complete);
  const std::string log = rig.File("log.txt");
  EXPECT_TRUE(log.starts_with(earlier + "START LOGGING.\n\n")) << log.substr(0, 200);
  const std::string err = Unstamped(rig.File("log_err.txt"));
  EXPECT_EQ(Count(err, "START LOGGING.\n\n"), 2u);  // the earlier run's and this one's
  EXPECT_EQ(Count(err, "STOP LOGGING.\n\n"), 2u);
}

// A run stopped by a signal while it waits for a silent camera keeps every line logged up to
// the signal, and says so.
TEST(Frameprobe, InterruptedRunKeepsItsLogs) {
  SimulatorOptions options;
  options.silent = true;
  AppRig rig(8, options);
  ASSERT_TRUE(rig.Started()) << rig.Error();
  const int signals[] = {SIGINT, SIGTERM};
  for (const int signal : signals) {
    SCOPED_TRACE(signal);
    const auto known = rig.Sim().Commands().size();
    const pid_t pid = rig.Start(rig.Local(), rig.Remote());
    ASSERT_GT(pid, 0);
    // The first binning command has arrived: the driver now waits for its answer.
    ASSERT_TRUE(rig.Sim().WaitForCommands(known + 1, std::chrono::milliseconds(30000)));
    kill(pid, signal);
    EXPECT_EQ(AppRig::Wait(pid), 128 + signal);
    EXPECT_EQ(rig.File("console"), "");
    const std::string log = Unstamped(rig.File("log.txt"));
    EXPECT_TRUE(InOrder(log, {"CEthCamera::BkgListener():\nStarted.\n\n",
                              "CEthCamera::SendCmd() (" + rig.Local() +
                                  ":32100) number field = 05010000:\nNudpSocket::SendCmd():\n"}))
        << log;
    EXPECT_TRUE(log.ends_with("Interrupted.\n\n")) << log;
    EXPECT_EQ(Count(log, "Interrupted."), Count(log, "START LOGGING."));
    EXPECT_TRUE(rig.File("log_err.txt").ends_with("Interrupted.\n\n"));
  }
}

// Without the privilege to pass it, the receive buffer is capped at net.core.rmem_max, which the
// kernel doubles. When that cannot hold an image as the kernel counts it (2304 bytes for each of
// its 8248 datagrams), standard error says so once; standard output and the logs stay as they
// are.
TEST(Frameprobe, SmallReceiveBufferIsNamedOnStandardError) {
  AppRig rig(9, SimulatorOptions{});
  ASSERT_TRUE(rig.Started()) << rig.Error();
  const long rmem_max = std::stol(ReadFile("/proc/sys/net/core/rmem_max"));
  const long granted = 2 * std::min(rmem_max, 10L * 1024 * 1024);
  std::vector<std::string> args = {FRAMEPROBE_PATH, rig.Local(), rig.Remote()};
  if (geteuid() == 0) {
    if (!std::filesystem::exists("/usr/bin/setpriv")) GTEST_SKIP() << "setpriv is missing";
    args.insert(args.begin(), {"/usr/bin/setpriv", "--bounding-set=-net_admin"});
  }
  EXPECT_EQ(AppRig::Wait(rig.Start(args)), 0);
  // Standard output is the run's usual account. With the buffer this small a busy machine does
  // lose packets, as the warning says; then they are fetched again.
  const std::string console = rig.File("console");
  const std::string whole = "RAW data transmision done, no missing packets.\n\n";
  const std::string fetched = " packets received.\nMissing packets retransmitted.\n\n";
  ASSERT_TRUE(console.starts_with(kStarted) && console.ends_with(kCheckAndId)) << console;
  const std::string middle =
      console.substr(kStarted.size(), console.size() - kStarted.size() - kCheckAndId.size());
  if (middle != whole) {
    EXPECT_TRUE(middle.ends_with(fetched)) << console;
    const std::string count = middle.substr(0, middle.size() - fetched.size());
    EXPECT_TRUE(!count.empty() && count.find_first_not_of("0123456789") == std::string::npos &&
                std::stoi(count) < 8248)
        << console;
  }
  if (granted >= 19003392) {
    EXPECT_EQ(rig.File("console.err"), "");
  } else {
    EXPECT_EQ(rig.File("console.err"),
              "frameprobe: the camera socket's receive buffer is " + std::to_string(granted) +
                  " bytes, smaller than one image needs (19003392 bytes: the kernel counts each "
                  "of its 8248 datagrams as 2304 bytes): packets that come while the driver is "
                  "busy are lost.\nframeprobe: to raise the limit: sudo sysctl -w "
                  "net.core.rmem_max=10485760\n");
  }
}

TEST(AcquisitionSequence, SeededLossIsRecoveredIntoAnExactImage) {
  SimulatorOptions options;
  options.loss = 0.02;
  options.seed = 7;
  AppRig rig(6, options);
  ASSERT_TRUE(rig.Started()) << rig.Error();

  char* console = nullptr;
  std::size_t console_length = 0;
  std::FILE* out = open_memstream(&console, &console_length);
  TempDir dir("frameprobe_seq");
  SequenceSetup setup;
  setup.out = out;
  setup.log_file = dir.File("log.txt");
  setup.err_log_file = dir.File("log_err.txt");
  bool exact = false;
  setup.on_image = [&](const std::uint8_t* image) { exact = ImageMatchesPattern(image, 1); };
  EXPECT_EQ(RunAcquisitionSequence(rig.Local().c_str(), rig.Remote().c_str(), setup), 0);
  std::fclose(out);
  const std::string text(console, console_length);
  std::free(console);

  EXPECT_TRUE(exact);
  const SimulatorStats stats = rig.Sim().Stats();
  const auto sent = static_cast<int>(stats.raw_packets_sent);
  ASSERT_LT(sent, RAW_PACKETS_PER_IMAGE);
  EXPECT_EQ(text, kStarted + std::to_string(sent) +
                      " packets received.\nMissing packets retransmitted.\n\n" + kCheckAndId);
  // One request per lost packet, ascending, then packet 251.
  std::vector<std::uint32_t> requests;
  for (const ReceivedCommand& c : rig.Sim().Commands()) {
    if ((c.header[2] & NUDP_TOP_MASK) == NUDP_TOP_RETRANSMIT) {
      requests.push_back(ReadNumberField(c.header.data()));
    }
  }
  ASSERT_EQ(requests.size(), static_cast<std::size_t>(RAW_PACKETS_PER_IMAGE - sent + 1));
  EXPECT_TRUE(std::is_sorted(requests.begin(), requests.end() - 1));
  EXPECT_EQ(requests.back(), 0x1F600u);
}

}  // namespace
}  // namespace fp::test
