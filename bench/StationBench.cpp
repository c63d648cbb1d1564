#include "bench/StationBench.h"

#include "nudp/NudpProtocol.h"
#include "tools/camsim/CameraSimulator.h"

#include "tests/support/ChildProcess.h"

#include <cstdio>
#include <fstream>
#include <nlohmann/json.hpp>
#include <numeric>
#include <regex>
#include <sstream>
#include <unistd.h>
#include <vector>

namespace fp::bench {

namespace {

using fp::test::AwaitExit;
using fp::test::AwaitText;
using fp::test::ReadFile;
using fp::test::Spawn;

// The machine's load average over the last minute, -1 when it cannot be read. (The busy ticks
// of /proc/stat are sampled at the timer's ticks and miss much of camsim's paced bursts, which
// start on those ticks; the processes' own times are exact.)
double LoadAverage() {
  std::ifstream file("/proc/loadavg");
  double load = -1;
  file >> load;
  return load;
}

// The processor time process `pid` has used so far, user and system, in milliseconds.
double ProcessCpuMs(pid_t pid) {
  std::string stat = ReadFile("/proc/" + std::to_string(pid) + "/stat");
  // The fields after the command's name (in parentheses, which may hold spaces).
  std::istringstream fields(stat.substr(stat.rfind(')') + 2));
  std::string field;
  double ticks = 0;
  for (int k = 3; k <= 15 && fields >> field; ++k) {
    if (k == 14 || k == 15) ticks += std::stod(field);  // utime, stime
  }
  return ticks * 1000 / static_cast<double>(sysconf(_SC_CLK_TCK));
}

std::string CameraAddress(int k) { return "127.22." + std::to_string(110 + k) + ".1"; }
std::string LocalAddress(int k) { return "127.22." + std::to_string(110 + k) + ".2"; }

struct StationFigures {
  bool ok = false;
  std::vector<double> images_per_s;
  std::vector<double> limit_images_per_s;  // each camsim's achieved rate, in images
  std::vector<double> achieved_mbit;
  std::vector<int> complete;
  double cpu_ms = 0;       // framegrab's, user and system, over the run
  double elapsed_s = 0;    // the longest camera's run
  int images = 0;          // of every camera
  double load_before = 0;  // the load average as the run started, from other work
  double camsim_cores = 0;
};

// One station run of `n` cameras, `images` each, against fresh camsims at `rate` Mbit/s.
StationFigures RunStation(const std::string& dir, int n, int images, int rate) {
  StationFigures f;
  std::vector<pid_t> camsims;
  std::vector<std::string> args = {FRAMEGRAB_PATH};
  for (int k = 0; k < n; ++k) {
    const std::string prefix = dir + "/camsim" + std::to_string(k);
    camsims.push_back(
        Spawn({CAMSIM_PATH, "--bind", CameraAddress(k), "--rate", std::to_string(rate), "--quiet"},
              dir, prefix + ".out", prefix + ".err"));
    AwaitText(prefix + ".err", "listening", std::chrono::seconds(5), camsims.back());
    args.push_back(LocalAddress(k));
    args.push_back(CameraAddress(k));
  }
  for (const char* a : {"--images", "", "--json", "run.json", "--quiet"}) args.push_back(a);
  args[static_cast<std::size_t>(2 * n + 2)] = std::to_string(images);
  std::remove((dir + "/run.json").c_str());
  f.load_before = LoadAverage();
  const auto start = std::chrono::steady_clock::now();
  const int status =
      AwaitExit(Spawn(args, dir, dir + "/grab.out", dir + "/grab.err"), std::chrono::seconds(600));
  const double wall_s =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const double camsim_ms =
      std::accumulate(camsims.begin(), camsims.end(), 0.0,
                      [](double sum, pid_t p) { return sum + ProcessCpuMs(p); });
  for (const pid_t camsim : camsims) {
    kill(camsim, SIGTERM);
    AwaitExit(camsim, std::chrono::seconds(10));
  }
  if (status < 0 || status == 2 || status == 3) {
    std::fprintf(stderr, "station run of %d failed (status %d): %s", n, status,
                 ReadFile(dir + "/grab.err").c_str());
    return f;
  }
  const nlohmann::json station = nlohmann::json::parse(ReadFile(dir + "/run.json"));
  const double image_bits = RAW_PACKETS_PER_IMAGE * double{kRawWireBytes} * 8;
  for (int k = 0; k < n; ++k) {
    // One camera is framegrab's usual run, whose JSON is that camera's alone.
    const nlohmann::json& s =
        n == 1 ? station["summary"] : station["cameras"][static_cast<std::size_t>(k)]["summary"];
    std::smatch m;
    const std::string stats = ReadFile(dir + "/camsim" + std::to_string(k) + ".out");
    if (!std::regex_search(stats, m, std::regex(R"(achieved rate: ([0-9.]+) Mbit/s)"))) {
      std::fprintf(stderr, "camsim %d said no rate: %s", k + 1, stats.c_str());
      return f;
    }
    f.achieved_mbit.push_back(std::stod(m[1]));
    f.limit_images_per_s.push_back(f.achieved_mbit.back() * 1e6 / image_bits);
    f.images_per_s.push_back(s["images_per_s"]);
    f.complete.push_back(s["complete_images"]);
    // Each camera's share of the process's processor time: their sum is the whole.
    f.cpu_ms += s["cpu_user_ms"].get<double>() + s["cpu_system_ms"].get<double>();
    f.elapsed_s = std::max(f.elapsed_s, s["elapsed_ms"].get<double>() / 1000);
    f.images += s["complete_images"].get<int>() + s["incomplete_images"].get<int>();
  }
  f.camsim_cores = camsim_ms / 1000 / wall_s;
  f.ok = true;
  return f;
}

}  // namespace

bool RunStationBench(int cameras, int images, int rate_mbit, double ratio_target,
                     const std::string& dir) {
  std::printf("%-8s %6s %10s %10s %7s %12s %9s\n", "cameras", "camera", "images/s", "limit",
              "ratio", "camsim Mbit", "complete");
  std::vector<StationFigures> runs;
  for (int n = 1; n <= cameras; ++n) {
    runs.push_back(RunStation(dir, n, images, rate_mbit));
    const StationFigures& f = runs.back();
    if (!f.ok) return false;
    for (std::size_t k = 0; k < f.images_per_s.size(); ++k) {
      std::printf("%-8d %6zu %10.2f %10.2f %7.3f %12.1f %5d/%-4d\n", n, k + 1, f.images_per_s[k],
                  f.limit_images_per_s[k], f.images_per_s[k] / f.limit_images_per_s[k],
                  f.achieved_mbit[k], f.complete[k], images);
    }
  }
  std::printf("\n%-8s %12s %16s %9s %7s %13s %13s %13s\n", "cameras", "CPU ms/image",
              "cores per camera", "ratio", "target", "load before", "camsims", "framegrab");
  bool met = true;
  const double base = runs.front().cpu_ms / runs.front().images;
  for (std::size_t i = 0; i < runs.size(); ++i) {
    const StationFigures& f = runs[i];
    const double per_image = f.cpu_ms / f.images;
    const double n = static_cast<double>(i + 1);
    const double ratio = per_image / base;
    met = met && ratio <= ratio_target;
    std::printf("%-8zu %12.1f %16.3f %9.3f %7.2f %13.2f %7.2f cores %7.2f cores\n", i + 1,
                per_image, f.cpu_ms / 1000 / f.elapsed_s / n, ratio, ratio_target, f.load_before,
                f.camsim_cores, f.cpu_ms / 1000 / f.elapsed_s);
  }
  std::printf("target %s\n", met ? "met" : "missed");
  return met;
}

}  // namespace fp::bench
