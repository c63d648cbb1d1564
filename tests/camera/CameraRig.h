#pragma once

#include "camera/CEthCamera.h"
#include "tools/camsim/CameraSimulator.h"
#include "tools/camsim/ImagePattern.h"

#include "tests/support/TempDir.h"
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace fp::test {

using std::chrono::milliseconds;

// 127.7.<net>.<host>
std::string CameraTestAddress(int net, int host);

// A simulated camera on 127.7.<net>.1:1234 and a CEthCamera bound on 127.7.<net>.2, with both
// logs open in a temporary directory of the rig's own.
class CameraRig {
 public:
  CameraRig(int net, SimulatorOptions options, bool start_simulator = true);
  ~CameraRig();
  CameraRig(const CameraRig&) = delete;
  CameraRig& operator=(const CameraRig&) = delete;

  CEthCamera& Camera() { return *_camera; }
  CameraSimulator& Sim() { return *_sim; }
  bool Ready() const { return _ready; }
  const std::string& Error() const { return _error; }
  // Ready, and the camera opened on the simulator; for ASSERT_TRUE.
  testing::AssertionResult OpenCamera() {
    if (!_ready) return testing::AssertionFailure() << _error;
    if (!Camera().Open(Remote())) return testing::AssertionFailure() << "Open failed";
    return testing::AssertionSuccess();
  }
  std::string Local() const { return CameraTestAddress(_net, 2); }
  std::string Remote() const { return CameraTestAddress(_net, 1); }

  // Deletes the camera, which closes its logs; Log() and ErrLog() read them afterwards.
  void DeleteCamera() { _camera.reset(); }
  // The log files without their time stamps.
  std::string Log() const;
  std::string ErrLog() const;
  // The log file as written, stamps included.
  std::string RawLog() const;

  // Commands the simulator received with this TOP and whole number field, in order.
  std::vector<ReceivedCommand> CommandsOf(std::uint8_t top, std::uint32_t number) const;
  // The number fields of the retransmission requests the simulator received, in order.
  std::vector<std::uint32_t> RetransmissionRequests() const;

 private:
  int _net;
  TempDir _dir;
  std::unique_ptr<CameraSimulator> _sim;
  std::unique_ptr<CEthCamera> _camera;
  std::string _error;
  bool _ready = false;
};

// A buffer of one RAW image.
struct Image {
  std::unique_ptr<std::uint8_t[]> bytes = std::make_unique<std::uint8_t[]>(RAW_IMAGE_SIZE);
  std::uint8_t* get() { return bytes.get(); }
};

// Connects, hands over the buffer and starts one image; false when any step failed.
bool StartImage(CameraRig& rig, Image& image);

// Drops every "H:M:S: " time stamp.
std::string Unstamped(const std::string& log);
// Occurrences of `needle` in `text`.
std::size_t Count(const std::string& text, const std::string& needle);
// True when `needles` stand in `text` in this order.
bool InOrder(const std::string& text, const std::vector<std::string>& needles);
// The error log without the lines of a RAW data timeout that the camera answered with "not
// finished": a sender that stalls for more than 100 ms on a loaded machine causes them, and the
// driver rightly goes on waiting.
std::string WithoutStallLines(const std::string& err_log);

// Runs `body(c, rig)` for each case `c` of `cases` (each with a `name` and `options`) on a rig
// of its own, its camera opened, on nets first_net, first_net + 1, ...
template <typename Case, typename Body>
void ForEachOpenedRig(const std::vector<Case>& cases, int first_net, Body body) {
  int net = first_net;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    CameraRig rig(net++, c.options);
    ASSERT_TRUE(rig.OpenCamera());
    body(c, rig);
  }
}

}  // namespace fp::test
