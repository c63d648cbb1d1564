#include "tests/camera/CameraRig.h"

#include "tools/camsim/ImagePattern.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace fp::test {

std::string CameraTestAddress(int net, int host) {
  return "127.7." + std::to_string(net) + "." + std::to_string(host);
}

CameraRig::CameraRig(int net, SimulatorOptions options, bool start_simulator)
    : _net(net), _dir("camera_test") {
  options.bind_address = Remote();
  options.port = 1234;
  options.trace = false;
  _sim = std::make_unique<CameraSimulator>(options);
  if (start_simulator && !_sim->Start(_error)) return;
  try {
    _camera = std::make_unique<CEthCamera>(Local());
  } catch (const char* text) {
    _error = text;
    return;
  }
  _ready = _camera->OpenLog(_dir.File("log.txt")) && _camera->OpenErrLog(_dir.File("log_err.txt"));
}

// The logs of a failed test stay for a look (TempDir keeps them).
CameraRig::~CameraRig() {
  _camera.reset();
  _sim->Stop();
}

std::string CameraRig::Log() const { return Unstamped(ReadFile(_dir.File("log.txt"))); }
std::string CameraRig::ErrLog() const { return Unstamped(ReadFile(_dir.File("log_err.txt"))); }
std::string CameraRig::RawLog() const { return ReadFile(_dir.File("log.txt")); }

std::vector<ReceivedCommand> CameraRig::CommandsOf(std::uint8_t top, std::uint32_t number) const {
  std::vector<ReceivedCommand> found;
  for (const ReceivedCommand& c : _sim->Commands()) {
    if ((c.header[2] & NUDP_TOP_MASK) == top && ReadNumberField(c.header.data()) == number) {
      found.push_back(c);
    }
  }
  return found;
}

std::vector<std::uint32_t> CameraRig::RetransmissionRequests() const {
  std::vector<std::uint32_t> numbers;
  for (const ReceivedCommand& c : _sim->Commands()) {
    if ((c.header[2] & NUDP_TOP_MASK) == NUDP_TOP_RETRANSMIT) {
      numbers.push_back(ReadNumberField(c.header.data()));
    }
  }
  return numbers;
}

namespace {

// Length of the "H:M:S: " stamp that starts at `at`, or 0.
std::size_t StampAt(const std::string& text, std::size_t at) {
  std::size_t i = at;
  for (int field = 0; field < 3; ++field) {
    std::size_t digits = 0;
    while (i < text.size() && digits < 3 && text[i] >= '0' && text[i] <= '9') {
      ++i;
      ++digits;
    }
    if (digits == 0 || digits > 2 || i >= text.size() || text[i] != ':') return 0;
    ++i;
  }
  if (i >= text.size() || text[i] != ' ') return 0;
  return i + 1 - at;
}

}  // namespace

std::string Unstamped(const std::string& log) {
  std::string out;
  out.reserve(log.size());
  for (std::size_t i = 0; i < log.size();) {
    const bool boundary = i == 0 || log[i - 1] < '0' || log[i - 1] > '9';
    const std::size_t stamp = boundary ? StampAt(log, i) : 0;
    if (stamp != 0) {
      i += stamp;
    } else {
      out += log[i++];
    }
  }
  return out;
}

bool StartImage(CameraRig& rig, Image& image) {
  return rig.Ready() && rig.Camera().Open(rig.Remote()) &&
         rig.Camera().SetRawDataBuffer(image.get()) &&
         rig.Camera().SendCmd(NUDP_CMD_START_RAW, NUDP_TOP_COMMAND);
}

std::size_t Count(const std::string& text, const std::string& needle) {
  std::size_t n = 0;
  for (std::size_t at = text.find(needle); at != std::string::npos;
       at = text.find(needle, at + needle.size())) {
    ++n;
  }
  return n;
}

bool InOrder(const std::string& text, const std::vector<std::string>& needles) {
  std::size_t at = 0;
  for (const std::string& needle : needles) {
    at = text.find(needle, at);
    if (at == std::string::npos) return false;
    at += needle.size();
  }
  return true;
}

std::string WithoutStallLines(const std::string& err_log) {
  std::string out = err_log;
  for (const std::string line : {"CEthCamera::BkgListener():\nRAW data timeout.\n\n",
                                 "CEthCamera::BkgListener():\nStill waiting for data...\n\n"}) {
    for (std::size_t at = out.find(line); at != std::string::npos; at = out.find(line, at)) {
      out.erase(at, line.size());
    }
  }
  return out;
}

}  // namespace fp::test
