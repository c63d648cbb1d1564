// frameprobe's whole sequence against the stream it takes: the program runs as a process against
// a simulated camera in this process at 1000 Mbit/s, and the camera's clock times both, so a
// ratio comes from one run. The whole run is from the binning command's arrival to the
// identification command's (its answer leaves at once); the stream from the 0x08 command's
// arrival to the return of the last RAW send. Given two programs, the runs alternate between
// them, so that a machine that gets busier meets both alike.
//
//   sequence_bench [--runs N] [--frameprobe PATH] [--frameprobe PATH]
//   (default 20 runs of the frameprobe built beside it; addresses 127.24.100.1 and .2)

#include "nudp/NudpProtocol.h"
#include "tools/camsim/CameraSimulator.h"

#include "bench/BenchFlags.h"
#include "bench/Statistics.h"
#include "tests/support/ChildProcess.h"

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

namespace {

using fp::bench::Median;
using Clock = std::chrono::steady_clock;

constexpr const char* kCamera = "127.24.100.1";
constexpr const char* kLocal = "127.24.100.2";

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

// What one program's runs measured, in milliseconds.
struct Series {
  std::string program;
  std::vector<double> whole;
  std::vector<double> stream;
  std::vector<double> ratio;
  std::vector<double> before_stream;  // binning command to 0x08
  std::vector<double> after_stream;   // end of the stream to the identification command
  int failed = 0;  // runs that did not end with the whole image and the identification
};

// The arrival of the first command with `code` and `top` at or after `from` in `commands`.
const fp::ReceivedCommand* Find(const std::vector<fp::ReceivedCommand>& commands, std::size_t from,
                                std::uint8_t top, std::uint32_t code) {
  for (std::size_t i = from; i < commands.size(); ++i) {
    const fp::NudpHeader& h = commands[i].header;
    if ((h[2] & fp::NUDP_TOP_MASK) == top && fp::ReadNumberField(h.data()) == code) {
      return &commands[i];
    }
  }
  return nullptr;
}

// One run of `program` in `dir` against `camera`.
void Run(const std::string& dir, fp::CameraSimulator& camera, Series& series) {
  const std::size_t first = camera.Commands().size();
  const pid_t pid =
      fp::test::Spawn({series.program, kLocal, kCamera}, dir, dir + "/out.txt", dir + "/err.txt");
  const int status = fp::test::AwaitExit(pid, std::chrono::seconds(60));
  const std::vector<fp::ReceivedCommand> commands = camera.Commands();
  const std::string out = fp::test::ReadFile(dir + "/out.txt");
  const auto* binning = Find(commands, first, fp::NUDP_TOP_COMMAND, fp::NUDP_CMD_BINNING_ON);
  const auto* start = Find(commands, first, fp::NUDP_TOP_COMMAND, fp::NUDP_CMD_START_RAW);
  const auto* identify = Find(commands, first, fp::NUDP_TOP_COMMAND, fp::NUDP_CMD_IDENTIFY);
  if (status != 0 || binning == nullptr || start == nullptr || identify == nullptr ||
      out.find("RAW data transmision done, no missing packets.") == std::string::npos) {
    ++series.failed;
    return;
  }
  const double stream = camera.Stats().last_stream_seconds * 1e3;
  const double whole = Ms(identify->time - binning->time);
  series.whole.push_back(whole);
  series.stream.push_back(stream);
  series.ratio.push_back(whole / stream);
  series.before_stream.push_back(Ms(start->time - binning->time));
  series.after_stream.push_back(Ms(identify->time - start->time) - stream);
}

}  // namespace

int main(int argc, char** argv) {
  int runs = 20;
  std::vector<Series> series;
  std::vector<std::string> programs;
  fp::bench::BenchFlags flags(
      "frameprobe's whole sequence against its image's stream, timed by the simulated camera.",
      "sequence_bench");
  flags.AddCount("--runs", runs, "runs of each program", 1);
  flags
      .add_option("--frameprobe", programs,
                  "a frameprobe to run, not the one built beside; given twice, the two alternate")
      ->type_name("PATH")
      ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll)
      ->allow_extra_args(false);
  const int ended = flags.Parse(argc, argv);
  if (ended >= 0) return ended;
  if (programs.size() > 2) {
    std::fputs("sequence_bench: --frameprobe: at most two programs\n", stderr);
    return 2;
  }
  for (const std::string& program : programs) {
    series.emplace_back().program = std::filesystem::absolute(program).string();
  }
  if (series.empty()) series.emplace_back().program = FRAMEPROBE_PATH;

  fp::SimulatorOptions options;
  options.bind_address = kCamera;
  fp::CameraSimulator camera(options);
  std::string error;
  if (!camera.Start(error)) {
    std::fprintf(stderr, "sequence_bench: %s\n", error.c_str());
    return 1;
  }
  char pattern[] = "/tmp/sequence_bench_XXXXXX";
  const std::string dir = mkdtemp(pattern);
  for (int run = 0; run < runs; ++run) {
    for (Series& s : series) Run(dir, camera, s);
  }
  camera.Stop();
  std::error_code ignored;
  std::filesystem::remove_all(dir, ignored);

  std::printf("medians of %d runs, ms; target: whole/stream at most 1.10\n", runs);
  std::printf("%-8s %8s %8s %8s %10s %10s %7s  %s\n", "program", "whole", "stream", "ratio",
              "to 0x08", "after", "failed", "path");
  bool met = true;
  for (std::size_t i = 0; i < series.size(); ++i) {
    const Series& s = series[i];
    const double ratio = Median(s.ratio);
    met = met && s.failed == 0 && ratio <= 1.10;
    std::printf("%-8c %8.2f %8.2f %8.3f %10.2f %10.2f %7d  %s\n", static_cast<char>('A' + i),
                Median(s.whole), Median(s.stream), ratio, Median(s.before_stream),
                Median(s.after_stream), s.failed, s.program.c_str());
  }
  std::printf("target %s\n", met ? "met" : "missed");
  return 0;
}
