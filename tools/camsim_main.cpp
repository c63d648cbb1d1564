// camsim: the simulated NUDP camera as a program. Runs until SIGINT, SIGTERM or --exit-after,
// then prints its statistics on standard output.
#include "tools/CameraSimulator.h"
#include "tools/SimulatorOptions.h"

#include <chrono>
#include <csignal>
#include <cstdio>
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

  fp::CameraSimulator camera(options);
  if (!camera.Start(error)) {
    std::fprintf(stderr, "camsim: %s\n", error.c_str());
    return 1;
  }
  char pace[64] = "unpaced";
  if (options.rate_mbit > 0) std::snprintf(pace, sizeof pace, "%g Mbit/s", options.rate_mbit);
  std::fprintf(stderr, "camsim: listening on %s:%u, %s, id \"%s\"\n", options.bind_address.c_str(),
               unsigned{options.port}, pace, options.id_text.c_str());

  const auto start = std::chrono::steady_clock::now();
  const auto limit = std::chrono::duration<double>(options.exit_after_seconds);
  while (g_signal == 0) {
    if (options.exit_after_seconds > 0 && std::chrono::steady_clock::now() - start >= limit) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  camera.Stop();
  if (g_signal != 0) std::fprintf(stderr, "camsim: signal %d, stopping\n", int{g_signal});
  std::fputs(fp::CameraSimulator::FormatStats(camera.Stats()).c_str(), stdout);
  std::fflush(stdout);
  return 0;
}
