// camsim: the simulated NUDP camera as a program. Runs until SIGINT, SIGTERM or --exit-after,
// then writes the rest of its capture (--pcap) and prints its statistics on standard output.
#include "tools/camsim/CameraSimulator.h"
#include "tools/camsim/CaptureReplay.h"
#include "tools/camsim/PcapWriter.h"
#include "tools/camsim/SimulatorOptions.h"

#include <chrono>
#include <csignal>
#include <cstdio>
#include <memory>
#include <signal.h>
#include <string>
#include <thread>
#include <vector>

namespace {

volatile std::sig_atomic_t g_signal = 0;

void OnSignal(int number) { g_signal = number; }

}  // namespace

int main(int argc, char** argv) {
  fp::SimulatorOptions options;
  options.trace = true;
  std::string error;
  const std::vector<std::string> args(argv + 1, argv + argc);
  switch (fp::ParseSimulatorArgs(args, options, error)) {
    case fp::ParseResult::kHelp:
      std::fputs(fp::SimulatorUsage().c_str(), stdout);
      return 0;
    case fp::ParseResult::kVersion:
      std::puts("camsim " CAMSIM_VERSION);
      return 0;
    case fp::ParseResult::kError:
      std::fprintf(stderr, "camsim: %s\nTry 'camsim --help'.\n", error.c_str());
      return 2;
    case fp::ParseResult::kRun:
      break;
  }

  struct sigaction action {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);

  // The capture file is opened first: one that cannot be is a usage error, and nothing has been
  // received or sent yet.
  std::unique_ptr<fp::PcapWriter> capture;
  if (!options.pcap_path.empty()) {
    capture = std::make_unique<fp::PcapWriter>();
    if (!capture->Open(options.pcap_path, error)) {
      std::fprintf(stderr, "camsim: --pcap: %s\n", error.c_str());
      return 2;
    }
  }

  // So is a capture to replay that cannot be: it is read whole before the socket is bound.
  std::unique_ptr<fp::CaptureReplay> replay;
  if (!options.replay_path.empty()) {
    replay = std::make_unique<fp::CaptureReplay>();
    if (!replay->Load(options.replay_path, options.replay_camera, error)) {
      std::fprintf(stderr, "camsim: --replay %s: %s\n", options.replay_path.c_str(), error.c_str());
      return 2;
    }
  }
  const std::string replaying = replay ? "replaying camera " + replay->Camera() + " of " +
                                             options.replay_path + " (" +
                                             std::to_string(replay->Images()) + " images)"
                                       : std::string();

  fp::CameraSimulator camera(options, std::move(capture), std::move(replay));
  if (!camera.Start(error)) {
    std::fprintf(stderr, "camsim: %s\n", error.c_str());
    return 1;
  }
  if (!replaying.empty()) {
    std::fprintf(stderr, "camsim: listening on %s:%u, %s at %g times its speed\n",
                 options.bind_address.c_str(), unsigned{options.port}, replaying.c_str(),
                 options.replay_speed);
  } else {
    char pace[64] = "unpaced";
    if (options.rate_mbit > 0) std::snprintf(pace, sizeof pace, "%g Mbit/s", options.rate_mbit);
    std::fprintf(stderr, "camsim: listening on %s:%u, %s, id \"%s\"\n",
                 options.bind_address.c_str(), unsigned{options.port}, pace,
                 options.id_text.c_str());
  }

  const auto start = std::chrono::steady_clock::now();
  const auto limit = std::chrono::duration<double>(options.exit_after_seconds);
  while (g_signal == 0) {
    if (options.exit_after_seconds > 0 && std::chrono::steady_clock::now() - start >= limit) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  camera.Stop();
  if (g_signal != 0) std::fprintf(stderr, "camsim: signal %d, stopping\n", int{g_signal});
  std::fputs(fp::CameraSimulator::FormatStats(camera.Stats()).c_str(), stdout);
  int status = 0;
  if (const fp::PcapWriter* written = camera.Capture()) {
    std::printf("datagrams captured: %llu in %s\n",
                static_cast<unsigned long long>(written->Records()), written->Path().c_str());
    if (!written->Error().empty()) {
      std::fprintf(stderr, "camsim: --pcap: %s\n", written->Error().c_str());
      status = 1;
    }
  }
  std::fflush(stdout);
  return status;
}
