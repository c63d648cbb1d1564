// framegrab against camsim at 1000 Mbit/s, both as processes: images per second against the
// line-rate limit of the same run, without pictures and with a picture of every image, and the
// processor time per image. The limit comes from camsim's achieved rate while streaming, so a
// simulator slowed by a busy machine lowers the limit rather than the ratio.
//
//   framegrab_bench [--images N]      (default 100; addresses 127.22.100.1 and .2)

#include "nudp/NudpProtocol.h"
#include "tools/CameraSimulator.h"

#include "bench/FlagPairs.h"
#include "tests/support/ChildProcess.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <regex>
#include <sstream>

namespace {

using fp::test::AwaitExit;
using fp::test::AwaitText;
using fp::test::ReadFile;
using fp::test::Spawn;

struct Figures {
  bool ok = false;
  double images_per_s = 0;
  double limit_images_per_s = 0;  // camsim's achieved rate in images
  double achieved_mbit = 0;
  double cpu_ms_per_image = 0;
  int complete = 0;
  int saved = 0;
  int unsaved = 0;
};

// One run of `images` images against a fresh camsim, with pictures of every image when `save`.
Figures Run(const std::string& dir, int images, bool save) {
  Figures f;
  const std::string camera = "127.22.100.1";
  const pid_t camsim = Spawn({CAMSIM_PATH, "--bind", camera, "--rate", "1000", "--quiet"}, dir,
                             dir + "/camsim.out", dir + "/camsim.err");
  AwaitText(dir + "/camsim.err", "listening", std::chrono::seconds(5), camsim);
  std::vector<std::string> args = {FRAMEGRAB_PATH,         "127.22.100.2", camera,     "--images",
                                   std::to_string(images), "--json",       "run.json", "--quiet"};
  if (save) {
    args.push_back("--save");
    args.push_back("pics");
  }
  const int status =
      AwaitExit(Spawn(args, dir, dir + "/grab.out", dir + "/grab.err"), std::chrono::seconds(600));
  kill(camsim, SIGTERM);
  AwaitExit(camsim, std::chrono::seconds(10));
  const std::string stats = ReadFile(dir + "/camsim.out");
  std::smatch m;
  if (status < 0 ||
      !std::regex_search(stats, m, std::regex(R"(achieved rate: ([0-9.]+) Mbit/s)"))) {
    std::fprintf(stderr, "run failed (status %d): %s%s", status,
                 ReadFile(dir + "/grab.err").c_str(), stats.c_str());
    return f;
  }
  f.achieved_mbit = std::stod(m[1]);
  const double image_bits = fp::RAW_PACKETS_PER_IMAGE * double{fp::kRawWireBytes} * 8;
  f.limit_images_per_s = f.achieved_mbit * 1e6 / image_bits;
  const nlohmann::json s = nlohmann::json::parse(ReadFile(dir + "/run.json"))["summary"];
  f.images_per_s = s["images_per_s"];
  f.cpu_ms_per_image =
      s["cpu_user_ms_per_image"].get<double>() + s["cpu_system_ms_per_image"].get<double>();
  f.complete = s["complete_images"];
  f.saved = s["saved_pictures"];
  f.unsaved = s["unsaved_pictures"];
  f.ok = true;
  return f;
}

}  // namespace

int main(int argc, char** argv) {
  int images = 100;
  constexpr const char* kUsage = "usage: framegrab_bench [--images N]\n";
  const int ended = fp::bench::ReadFlagPairs(argc, argv, "framegrab_bench", kUsage,
                                             [&](const std::string& flag, const char* value) {
                                               if (flag != "--images") return false;
                                               images = std::atoi(value);
                                               return true;
                                             });
  if (ended >= 0) return ended;
  if (images <= 0) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  char pattern[] = "/tmp/framegrab_bench_XXXXXX";
  const std::string dir = mkdtemp(pattern);
  std::printf("%-14s %10s %10s %7s %7s %12s %9s %8s\n", "run", "images/s", "limit", "ratio",
              "target", "camsim Mbit", "CPU ms/im", "complete");
  bool all_met = true;
  for (const bool save : {false, true}) {
    const Figures f = Run(dir, images, save);
    if (!f.ok) return 1;
    const double ratio = f.images_per_s / f.limit_images_per_s;
    const double target = save ? 0.9 : 0.95;
    all_met = all_met && ratio >= target;
    std::printf("%-14s %10.2f %10.2f %7.3f %7.2f %12.1f %9.1f %8d",
                save ? "save every" : "no pictures", f.images_per_s, f.limit_images_per_s, ratio,
                target, f.achieved_mbit, f.cpu_ms_per_image, f.complete);
    if (save) std::printf("  (%d saved, %d left unsaved)", f.saved, f.unsaved);
    std::printf("\n");
  }
  std::printf("targets %s\n", all_met ? "met" : "missed");
  std::error_code ignored;
  std::filesystem::remove_all(dir, ignored);
  return 0;
}
