// The driver's lifecycle, logs and command exchange against the simulated camera.

#include "camera/CEthCamera.h"

#include "nudp/NudpSocket.h"

#include "tests/camera/CameraRig.h"
#include "tests/support/WaitUntil.h"
#include <gtest/gtest.h>

#include <algorithm>
#include <arpa/inet.h>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <memory>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace fp::test {
namespace {

using std::chrono::steady_clock;

// A UDP port held by somebody else.
class PortHolder {
 public:
  PortHolder(const std::string& address, std::uint16_t port) {
    _fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    inet_pton(AF_INET, address.c_str(), &a.sin_addr);
    _bound = bind(_fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  }
  ~PortHolder() { close(_fd); }
  PortHolder(const PortHolder&) = delete;
  PortHolder& operator=(const PortHolder&) = delete;
  bool Bound() const { return _bound; }

 private:
  int _fd = -1;
  bool _bound = false;
};

// Each attempt is followed by one whole wait of 100 ms, so attempt k (from 0) cannot leave
// before k waits have passed since `start`. The simulator's receive time is later still.
void ExpectAttemptsApart(const std::vector<ReceivedCommand>& sent, steady_clock::time_point start) {
  for (std::size_t k = 1; k < sent.size(); ++k) {
    EXPECT_GE(sent[k].time - start, milliseconds(100) * k) << "attempt " << k + 1;
  }
}

TEST(CEthCameraCommand, SilentCameraGetsThreeAttemptsThenTheConnectionIsClosed) {
  SimulatorOptions options;
  options.silent = true;
  CameraRig rig(1, options);
  ASSERT_TRUE(rig.OpenCamera());

  const auto start = steady_clock::now();
  EXPECT_FALSE(rig.Camera().SendCmd(NUDP_CMD_BINNING_ON, NUDP_TOP_COMMAND));
  EXPECT_GE(steady_clock::now() - start, milliseconds(300));
  EXPECT_FALSE(rig.Camera().Connected());
  EXPECT_EQ(rig.Camera().GetRemoteAddress(), "(connection closed)");
  EXPECT_FALSE(rig.Camera().SendCmd(NUDP_CMD_IDENTIFY, NUDP_TOP_COMMAND));

  const auto sent = rig.CommandsOf(NUDP_TOP_COMMAND, NUDP_CMD_BINNING_ON);
  ASSERT_EQ(sent.size(), 3u);
  ExpectAttemptsApart(sent, start);
  EXPECT_TRUE(rig.CommandsOf(NUDP_TOP_COMMAND, NUDP_CMD_IDENTIFY).empty());

  rig.DeleteCamera();
  const std::string timeout = "CEthCamera::SendCmd() (number field = 05010000):\nTimeout.\n\n";
  EXPECT_EQ(Count(rig.ErrLog(), timeout), 3u);
  EXPECT_TRUE(InOrder(
      rig.Log(), {"CEthCamera::SendCmd() (127.7.1.2:32100) number field = 05010000:\n", timeout,
                  timeout, timeout, "CEthCamera::SendCmd():\nLost contact, closing connection.\n\n",
                  "CEthCamera::Close():\nConnection closed.\n\n",
                  "CEthCamera::SendCmd() (127.7.1.2:32100) number field = EF000000:\n"
                  "Connection closed. Command not sent.\n\n"}))
      << rig.Log();
}

// On loopback a port nobody listens on answers with an ICMP "port unreachable" at once; that
// error is no answer and must not cut the attempts' waits short.
TEST(CEthCameraCommand, RefusedPortStillGetsThreeWholeWaits) {
  CameraRig rig(2, SimulatorOptions{}, /*start_simulator=*/false);
  ASSERT_TRUE(rig.OpenCamera());
  const auto start = steady_clock::now();
  EXPECT_FALSE(rig.Camera().SendCmd(NUDP_CMD_BINNING_ON, NUDP_TOP_COMMAND));
  EXPECT_GE(steady_clock::now() - start, milliseconds(300));
  EXPECT_FALSE(rig.Camera().Connected());
  rig.DeleteCamera();
  EXPECT_EQ(Count(rig.ErrLog(), "05010000):\nTimeout.\n\n"), 3u);
  EXPECT_EQ(Count(rig.ErrLog(), "Lost contact, closing connection.\n\n"), 1u);
}

TEST(CEthCameraCommand, DamagedAnswerIsRepeatedAndAnswersAreHandedOverWithinBounds) {
  SimulatorOptions options;
  options.damage.push_back(CommandMatch{/*retransmit=*/false, NUDP_CMD_IDENTIFY});
  CameraRig rig(3, options);
  ASSERT_TRUE(rig.OpenCamera());

  std::uint8_t id[48];
  std::memset(id, 0xCC, sizeof id);
  std::uint32_t number = 0;
  std::uint32_t length = 0;
  EXPECT_TRUE(rig.Camera().SendCmd(NUDP_CMD_IDENTIFY, NUDP_TOP_COMMAND, &number, id, &length, 16));
  EXPECT_EQ(number, NUDP_CMD_IDENTIFY);
  EXPECT_EQ(length, 16u);  // the 32-byte answer, cut to the room given
  EXPECT_TRUE(std::all_of(id + 16, id + sizeof id, [](std::uint8_t b) { return b == 0xCC; }));
  EXPECT_EQ(rig.CommandsOf(NUDP_TOP_COMMAND, NUDP_CMD_IDENTIFY).size(), 2u);

  // An answer without data leaves the data and the length alone.
  length = 777;
  number = 0;
  EXPECT_TRUE(
      rig.Camera().SendCmd(NUDP_CMD_BINNING_ON, NUDP_TOP_COMMAND, &number, id, &length, 16));
  EXPECT_EQ(number, NUDP_CMD_BINNING_ON);
  EXPECT_EQ(length, 777u);

  rig.DeleteCamera();
  EXPECT_TRUE(InOrder(rig.Log(), {"Response damaged (bad checksum).\nWAITING->READY|CMD_ERR\n",
                                  "CEthCamera::SendCmd() (number field = EF000000):\n"
                                  "Error in camera response.\n\n",
                                  "NUDP_CMD_ERR flag cleared.\n",
                                  "CEthCamera::SendCmd() (number field = EF000000):\nOK.\n\n"}))
      << rig.Log();
  EXPECT_EQ(Count(rig.ErrLog(), "Timeout."), 0u);
}

TEST(CEthCameraCommand, RoundTripDoesNotWaitForTheListenersIdlePass) {
  CameraRig rig(4, SimulatorOptions{});
  ASSERT_TRUE(rig.OpenCamera());
  ASSERT_TRUE(rig.Camera().SendCmd(NUDP_CMD_IDENTIFY, NUDP_TOP_COMMAND));
  // The listener idles in passes of 20 ms; a sender that had to wait for a pass to end would
  // take 10 ms on average.
  std::vector<steady_clock::duration> took;
  for (int i = 0; i < 21; ++i) {
    const auto start = steady_clock::now();
    ASSERT_TRUE(rig.Camera().SendCmd(NUDP_CMD_IDENTIFY, NUDP_TOP_COMMAND));
    took.push_back(steady_clock::now() - start);
  }
  std::nth_element(took.begin(), took.begin() + 10, took.end());
  EXPECT_LT(took[10], milliseconds(8));
  EXPECT_TRUE(rig.Camera().Connected());
}

TEST(CEthCameraLifecycle, OpenTwiceCloseTwiceAndOpenAgain) {
  CameraRig rig(5, SimulatorOptions{});
  ASSERT_TRUE(rig.Ready()) << rig.Error();
  CEthCamera& camera = rig.Camera();
  EXPECT_TRUE(camera.Close());  // never opened
  EXPECT_EQ(camera.GetLocalAddress(), "127.7.5.2:32100");
  EXPECT_EQ(camera.GetRemoteAddress(), "(connection closed)");

  ASSERT_TRUE(camera.Open(rig.Remote()));
  EXPECT_EQ(camera.GetRemoteAddress(), "127.7.5.1:1234");
  EXPECT_FALSE(camera.Open(rig.Remote()));
  EXPECT_TRUE(camera.Connected());
  EXPECT_TRUE(camera.SendCmd(NUDP_CMD_BINNING_ON, NUDP_TOP_COMMAND));
  EXPECT_TRUE(camera.Close());
  EXPECT_TRUE(camera.Close());
  EXPECT_FALSE(camera.SendCmd(NUDP_CMD_BINNING_ON, NUDP_TOP_COMMAND));

  ASSERT_TRUE(camera.Open(rig.Remote()));
  EXPECT_TRUE(camera.SendCmd(NUDP_CMD_IDENTIFY, NUDP_TOP_COMMAND));
  EXPECT_EQ(rig.CommandsOf(NUDP_TOP_COMMAND, NUDP_CMD_IDENTIFY).size(), 1u);
  rig.DeleteCamera();

  const std::string log = rig.Log();
  EXPECT_EQ(Count(log, "RefreshThread created.\n\n"), 2u);
  EXPECT_EQ(Count(log, "Connection to 127.7.5.1:1234 is opened.\n\n"), 2u);
  EXPECT_EQ(Count(log, "CEthCamera::Close():\nConnection closed.\n\n"), 2u);  // one per open
  EXPECT_EQ(Count(log, "CEthCamera::Open():\nConnection must be closed before reopening.\n\n"), 1u);
  EXPECT_EQ(Count(rig.ErrLog(), "Connection must be closed before reopening.\n\n"), 1u);
  EXPECT_TRUE(
      InOrder(log, {"CEthCamera::BkgListener():\nStarted.\n\n",
                    "CEthCamera::BkgListener():\nStopped.\n\n", "RefreshThread::Stop():\n",
                    "RefreshThread deleted.\n\n", "CEthCamera::Close():\nConnection closed.\n\n",
                    "CEthCamera::BkgListener():\nStarted.\n\n", "CEthCamera destructor:\n",
                    "CEthCamera::Close():\n"
                    "Connection closed.\n\n",
                    "NudpSocket deleted.\n\nCEthCamera deleted.\n\nSTOP LOGGING.\n\n"}))
      << log;
}

TEST(CEthCameraLifecycle, TakenPortsMoveTheSocketsUpOrFail) {
  {
    // 32100 taken: the camera binds 32101 and its watchdog 32102; the logs still say 32100.
    const std::string local = CameraTestAddress(6, 2);
    PortHolder holder(local, 32100);
    ASSERT_TRUE(holder.Bound());
    CameraRig rig(6, SimulatorOptions{});
    ASSERT_TRUE(rig.Ready()) << rig.Error();
    EXPECT_EQ(rig.Camera().GetLocalAddress(), "127.7.6.2:32100");
    ASSERT_TRUE(rig.Camera().Open(rig.Remote()));
    EXPECT_TRUE(rig.Camera().SendCmd(NUDP_CMD_BINNING_ON, NUDP_TOP_COMMAND));
    const auto sent = rig.CommandsOf(NUDP_TOP_COMMAND, NUDP_CMD_BINNING_ON);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].from.port, 32101);
  }
  {
    const std::string local = CameraTestAddress(7, 2);
    PortHolder first(local, 32100);
    PortHolder second(local, 32101);
    CameraRig rig(7, SimulatorOptions{});
    EXPECT_FALSE(rig.Ready());
    EXPECT_EQ(rig.Error(), "CEthCamera: cannot bind to local ip:port");
  }
  {
    // The camera gets 32100, the watchdog finds 32101 and 32102 taken.
    const std::string local = CameraTestAddress(8, 2);
    PortHolder first(local, 32101);
    PortHolder second(local, 32102);
    CameraRig rig(8, SimulatorOptions{});
    ASSERT_TRUE(rig.Ready()) << rig.Error();
    EXPECT_FALSE(rig.Camera().Open(rig.Remote()));
    EXPECT_FALSE(rig.Camera().Connected());
    rig.DeleteCamera();
    EXPECT_NE(rig.ErrLog().find("RefreshThread: cannot bind to local ip:port.\n"
                                "Connection not estabilished.\n\n"),
              std::string::npos)
        << rig.ErrLog();
  }
}

TEST(CEthCameraLog, StampsInUtcAndLinesStayInTheirFiles) {
  // Half an hour off UTC, so that no local stamp can pass for a UTC one.
  setenv("TZ", "XST-5:30", 1);
  tzset();
  TempDir dir("camera_log");
  std::string expected[2];
  {
    auto camera = std::make_unique<CEthCamera>(CameraTestAddress(9, 2));
    camera->WriteErrLog("before any log is open\n");
    ASSERT_TRUE(camera->OpenErrLog(dir.File("err.txt")));
    camera->WriteLog("driver log only, which is not open\n");
    camera->WriteErrLog("error with only the error log\n");
    ASSERT_TRUE(camera->OpenLog(dir.File("log.txt")));
    EXPECT_FALSE(camera->OpenLog(dir.File("log.txt")));
    EXPECT_FALSE(camera->OpenErrLog(dir.File("other.txt")));

    std::time_t times[2] = {std::time(nullptr), 0};
    camera->WriteLog("marker\n");
    times[1] = std::time(nullptr);
    for (int i = 0; i < 2; ++i) {
      std::tm utc{};
      gmtime_r(&times[i], &utc);
      expected[i] = std::to_string(utc.tm_hour) + ":" + std::to_string(utc.tm_min) + ":" +
                    std::to_string(utc.tm_sec) + ": marker\n";
    }
    camera->WriteErrLog(std::string(300, 'x').c_str());
    camera->WriteLog("\n");
  }

  const std::string log = ReadFile(dir.File("log.txt"));
  EXPECT_TRUE(log.find(expected[0]) != std::string::npos ||
              log.find(expected[1]) != std::string::npos)
      << log;
  EXPECT_EQ(Count(log, "START LOGGING.\n\n"), 1u);
  // The error line is cut at 159 characters.
  const std::size_t x = log.find(std::string(100, 'x'));
  ASSERT_NE(x, std::string::npos);
  const std::size_t line_start = log.rfind('\n', x) + 1;
  EXPECT_EQ(log.find_first_not_of('x', x) - line_start, 159u);
  EXPECT_TRUE(log.ends_with("CEthCamera deleted.\n\nSTOP LOGGING.\n\n")) << log;

  const std::string err = Unstamped(ReadFile(dir.File("err.txt")));
  EXPECT_TRUE(err.starts_with("START LOGGING.\n\nerror with only the error log\nxxx")) << err;
  EXPECT_TRUE(err.ends_with("xxxSTOP LOGGING.\n\n")) << err;
  EXPECT_EQ(Count(err, "\n"), 5u);  // nothing else stands in it
}

TEST(CEthCameraWatchdog, RefreshesAfterFiveTicksThenEverySix) {
  CameraRig rig(10, SimulatorOptions{});
  ASSERT_TRUE(rig.Ready()) << rig.Error();
  // Ticks of 100 ms instead of a second: the same watchdog, ten times faster.
  rig.Camera().SetWatchdogTick(milliseconds(100));
  const auto start = steady_clock::now();
  ASSERT_TRUE(rig.Camera().Open(rig.Remote()));
  ASSERT_TRUE(
      WaitUntil([&] { return rig.CommandsOf(NUDP_TOP_COMMAND, NUDP_CMD_REFRESH).size() >= 2; },
                milliseconds(3000)));
  const auto refreshes = rig.CommandsOf(NUDP_TOP_COMMAND, NUDP_CMD_REFRESH);
  EXPECT_EQ(refreshes[0].from.port, 32101);
  EXPECT_GE(refreshes[0].time - start, milliseconds(490));
  EXPECT_LT(refreshes[0].time - start, milliseconds(1000));
  // Five ticks, a refresh, then six more ticks.
  EXPECT_GE(refreshes[1].time - start, milliseconds(1090));
  EXPECT_LT(refreshes[1].time - refreshes[0].time, milliseconds(1200));
  EXPECT_TRUE(rig.Camera().WatchdogRunning());
  rig.DeleteCamera();
  EXPECT_EQ(Count(rig.Log(), "RefreshThread:\nCamera watchdog refresh.\n\n"), 2u);
  EXPECT_EQ(Count(rig.Log(), "RefreshThread:\nOK.\n\n"), 2u);
}

TEST(CEthCameraWatchdog, LostContactStopsCommandsUntilTheCameraIsClosed) {
  SimulatorOptions options;
  options.silent_cmd.push_back(CommandMatch{/*retransmit=*/false, NUDP_CMD_REFRESH});
  CameraRig rig(11, options);
  ASSERT_TRUE(rig.Ready()) << rig.Error();
  rig.Camera().SetWatchdogTick(milliseconds(100));
  const auto start = steady_clock::now();
  ASSERT_TRUE(rig.Camera().Open(rig.Remote()));
  ASSERT_TRUE(WaitUntil([&] { return !rig.Camera().WatchdogRunning(); }, milliseconds(20000)));

  EXPECT_TRUE(rig.Camera().Connected());
  EXPECT_FALSE(rig.Camera().SendCmd(NUDP_CMD_BINNING_ON, NUDP_TOP_COMMAND));
  EXPECT_TRUE(rig.CommandsOf(NUDP_TOP_COMMAND, NUDP_CMD_BINNING_ON).empty());
  const auto refreshes = rig.CommandsOf(NUDP_TOP_COMMAND, NUDP_CMD_REFRESH);
  ASSERT_EQ(refreshes.size(), 3u);
  // Five ticks, then three attempts each followed by its whole wait.
  EXPECT_GE(refreshes[2].time - start, milliseconds(700));

  EXPECT_TRUE(rig.Camera().Close());
  rig.DeleteCamera();
  const std::string log = rig.Log();
  EXPECT_EQ(Count(rig.ErrLog(), "RefreshThread:\nTimeout.\n\n"), 3u);
  EXPECT_TRUE(InOrder(
      log, {"RefreshThread:\nLost contact, closing connection.\n",
            "NudpSocket::Suspend():\nREADY->CLOSED.\n\n",
            "Refresh is stopped. Command not sent.\n\n", "CEthCamera::BkgListener():\nStopped.\n\n",
            "NudpSocket deleted.\n\nRefreshThread deleted.\n\n",
            "CEthCamera::Close():\nConnection closed.\n\n"}))
      << log;
  // The watchdog that ended by itself is deleted without being stopped.
  EXPECT_EQ(Count(log, "RefreshThread::Stop():\n"), 0u);
}

}  // namespace
}  // namespace fp::test
