// The watchdog on its own, against the simulated camera, with short ticks.

#include "camera/RefreshThread.h"

#include "base/LogStream.h"
#include "net/Address.h"
#include "tools/camsim/CameraSimulator.h"

#include "tests/camera/CameraRig.h"
#include "tests/support/TempDir.h"
#include "tests/support/WaitUntil.h"
#include <gtest/gtest.h>

#include <atomic>

namespace fp::test {
namespace {

// 127.26.<net>.1 the camera, 127.26.<net>.2 the watchdog.
std::string WatchdogAddress(int net, int host) {
  return "127.26." + std::to_string(net) + "." + std::to_string(host);
}

class WatchdogRig {
 public:
  WatchdogRig(int net, SimulatorOptions options) : _dir("watchdog_test") {
    options.bind_address = WatchdogAddress(net, 1);
    options.trace = false;
    _sim = std::make_unique<CameraSimulator>(options);
    _started = _sim->Start(_error);
    _log.Open(_dir.File("log.txt"));
    _err_log.Open(_dir.File("log_err.txt"));
    HostToAddress(WatchdogAddress(net, 2), _settings.local_ip);
    HostToAddress(WatchdogAddress(net, 1), _settings.remote_ip);
    _settings.local_port = 32101;
    _settings.remote_port = 1234;
    _settings.period = 2;
    _settings.tick = milliseconds(10);
  }
  ~WatchdogRig() { _sim->Stop(); }

  bool Started() const { return _started; }
  const std::string& Error() const { return _error; }
  std::unique_ptr<RefreshThread> Watchdog(const std::atomic<bool>& data_taking) {
    return std::make_unique<RefreshThread>(_settings, DriverLog(_log, _err_log),
                                           [&data_taking] { return data_taking.load(); });
  }
  std::size_t Refreshes() const {
    std::size_t n = 0;
    for (const ReceivedCommand& c : _sim->Commands()) {
      n += ReadNumberField(c.header.data()) == NUDP_CMD_REFRESH ? 1 : 0;
    }
    return n;
  }
  std::string Log() {
    _log.Flush();
    return Unstamped(ReadFile(_dir.File("log.txt")));
  }

 private:
  TempDir _dir;
  std::unique_ptr<CameraSimulator> _sim;
  LogStream _log, _err_log;
  WatchdogSettings _settings;
  std::string _error;
  bool _started = false;
};

TEST(RefreshThread, MakesNoRefreshWhileDataIsTakenAndOneAfterwards) {
  WatchdogRig rig(1, SimulatorOptions{});
  ASSERT_TRUE(rig.Started()) << rig.Error();
  std::atomic<bool> data_taking{true};
  auto watchdog = rig.Watchdog(data_taking);
  ASSERT_TRUE(watchdog->Start());
  // Ten times the period passes without a refresh.
  std::this_thread::sleep_for(milliseconds(200));
  EXPECT_EQ(rig.Refreshes(), 0u);
  data_taking.store(false);
  // The answer taken, not only the refresh arrived: stopped before that, the watchdog would log
  // its stop ahead of the answer it still waits for.
  ASSERT_TRUE(
      WaitUntil([&] { return rig.Log().find("RefreshThread:\nOK.\n\n") != std::string::npos; },
                milliseconds(5000)));
  EXPECT_GE(rig.Refreshes(), 1u);
  EXPECT_TRUE(watchdog->Running());
  watchdog.reset();
  EXPECT_TRUE(InOrder(rig.Log(), {"RefreshThread created.\n\n", "RefreshThread:\nOK.\n\n",
                                  "RefreshThread::Stop():\n", "RefreshThread deleted.\n\n"}))
      << rig.Log();
}

TEST(RefreshThread, RepeatsARefreshWhoseAnswerIsDamaged) {
  SimulatorOptions options;
  options.damage.push_back(CommandMatch{/*retransmit=*/false, NUDP_CMD_REFRESH});
  WatchdogRig rig(2, options);
  ASSERT_TRUE(rig.Started()) << rig.Error();
  std::atomic<bool> data_taking{false};
  auto watchdog = rig.Watchdog(data_taking);
  ASSERT_TRUE(watchdog->Start());
  ASSERT_TRUE(
      WaitUntil([&] { return rig.Log().find("RefreshThread:\nOK.\n\n") != std::string::npos; },
                milliseconds(5000)));
  watchdog.reset();
  EXPECT_TRUE(InOrder(rig.Log(),
                      {"RefreshThread:\nCamera watchdog refresh.\n\n",
                       "RefreshThread:\nError in camera response.\n\n", "RefreshThread:\nOK.\n\n"}))
      << rig.Log();
  EXPECT_GE(rig.Refreshes(), 2u);
}

}  // namespace
}  // namespace fp::test
