#pragma once

#include "tools/camsim/CameraSimulator.h"

#include "tests/support/TestHost.h"

#include <memory>
#include <string>

namespace fp::test {

using std::chrono::milliseconds;

inline constexpr milliseconds kAnswerWait{1000};
inline constexpr milliseconds kQuiet{1000};
inline constexpr milliseconds kStreamLimit{30000};

// A simulator on 127.2.<net>.1:1234 and a host socket on 127.2.<net>.2:32100.
struct SimRig {
  SimRig(int net, SimulatorOptions options)
      : host(LoopbackAddress(net, 2)), camera(LoopbackEndpoint(net, 1, 1234)) {
    options.bind_address = LoopbackAddress(net, 1);
    options.port = 1234;
    sim = std::make_unique<CameraSimulator>(options);
    started = sim->Start(error);
  }

  bool Ready() const { return started && host.Ok(); }

  std::vector<std::uint8_t> Ask(std::uint8_t top, std::uint32_t number) const {
    if (!host.SendCommand(camera, top, number)) return {};
    return host.ReceiveResponse(kAnswerWait);
  }

  // What arrives of image `image` until `count` RAW packets came, or until the simulator ended
  // its `streams`-th stream and then nothing came for `quiet`: a pause of the simulator's
  // thread, however long, is no end of the stream.
  ReceivedStream ReceiveImage(std::uint32_t image, std::size_t count, std::uint64_t streams,
                              milliseconds quiet = kQuiet) const {
    return ReceiveStream(host, image, count, quiet, kStreamLimit,
                         [&] { return sim->WaitForStreamsEnded(streams, milliseconds(0)); });
  }

  TestHost host;
  SimEndpoint camera;
  std::unique_ptr<CameraSimulator> sim;
  std::string error;
  bool started = false;
};

// A receive buffer that holds a whole image makes loss on the receiving side impossible, so a
// stream can run unpaced and every count is exact. Without one (a user who may not force the
// buffer past the system's limit) nothing bounds how far the test thread may fall behind, so
// tests that need exact counts skip with this reason, and the others pace the stream so that
// the test most likely keeps up.
inline constexpr const char* kNoWholeImageBuffer =
    "the host socket gets no receive buffer that holds a whole image (forcing one needs "
    "CAP_NET_ADMIN), so loss on the receiving side could make an exact count fail";
inline double DeterministicRate() { return HostHoldsWholeImage() ? 0.0 : 200.0; }

// Options with the given rate; tests then set their faults.
inline SimulatorOptions WithRate(double rate_mbit) {
  SimulatorOptions o;
  o.rate_mbit = rate_mbit;
  return o;
}

}  // namespace fp::test
