// Soak: one camera against the simulated camera for many images in a row, or opened and closed
// many times, checking every image byte for byte and what the process holds before and after.
//
//   soak [--images N] [--cycles N] [--loss P] [--logs DIR] [--local ADDR --camera ADDR]
//
// --images N (default 100): N images in a row on one open camera, each 0x08, WaitForRawData and
// ReadMissing, with a fraction P (default 0.01) of every stream lost. --cycles N (default 100):
// then N times Open and Close. Prints the descriptors, threads and resident memory of the
// process before, after the first image and at the end; exits 1 when an image was wrong, a
// step failed, or descriptors or threads grew.
//
// With --camera, the camera at ADDR (a camsim started for this run alone, so that this is its
// first client and its images count from 1) is used instead of the simulator in-process, from
// the local address given with --local; --loss has no effect then.

#include "camera/CEthCamera.h"
#include "nudp/NudpSocket.h"
#include "tools/camsim/CameraSimulator.h"
#include "tools/camsim/ImagePattern.h"

#include "bench/BenchFlags.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

struct Holdings {
  int descriptors = 0;
  int threads = 0;
  long resident_kb = 0;
};

Holdings Measure() {
  Holdings h;
  if (DIR* dir = opendir("/proc/self/fd")) {
    while (const dirent* entry = readdir(dir)) {
      if (entry->d_name[0] != '.') ++h.descriptors;
    }
    closedir(dir);
    --h.descriptors;  // the one opendir itself holds
  }
  std::ifstream status("/proc/self/status");
  std::string key;
  while (status >> key) {
    if (key == "Threads:") status >> h.threads;
    if (key == "VmRSS:") status >> h.resident_kb;
  }
  return h;
}

void Print(const char* when, const Holdings& h) {
  std::printf("%-22s descriptors %3d  threads %2d  resident %7ld kB\n", when, h.descriptors,
              h.threads, h.resident_kb);
}

}  // namespace

int main(int argc, char** argv) {
  int images = 100;
  int cycles = 100;
  double loss = 0.01;
  std::string logs;
  std::string local = "127.12.0.2";
  std::string remote;
  fp::bench::BenchFlags flags("Images in a row from one camera, then Open and Close many times.",
                              "soak");
  flags.add_option("--images", images, "images in a row on one open camera")
      ->type_name("N")
      ->capture_default_str();
  flags.add_option("--cycles", cycles, "then N times Open and Close")
      ->type_name("N")
      ->capture_default_str();
  flags
      .add_option("--loss", loss,
                  "the fraction of every stream the simulator leaves out (not with --camera)")
      ->type_name("P")
      ->capture_default_str();
  flags
      .add_option("--logs", logs, "the driver's logs as DIR/soak_log.txt and DIR/soak_log_err.txt")
      ->type_name("DIR");
  flags.add_option("--local", local, "the camera driver's local address")
      ->type_name("ADDR")
      ->capture_default_str();
  flags
      .add_option(
          "--camera", remote,
          "a camsim at ADDR (started for this run alone) instead of the in-process simulator")
      ->type_name("ADDR");
  const int ended = flags.Parse(argc, argv);
  if (ended >= 0) return ended;

  fp::SimulatorOptions options;
  options.bind_address = "127.12.0.1";
  options.loss = loss;
  options.seed = 11;
  options.trace = false;
  fp::CameraSimulator sim(options);
  std::string error;
  const bool in_process = remote.empty();
  if (!in_process) options.bind_address = remote;
  if (in_process && !sim.Start(error)) {
    std::fprintf(stderr, "soak: simulator: %s\n", error.c_str());
    return 1;
  }

  // A sanitizer's runtime may start a thread of its own at the first thread the process starts;
  // one started and joined here keeps that out of the comparison.
  std::thread([] {}).join();
  const Holdings before = Measure();
  Print("before", before);
  Holdings after_first = before;
  int failures = 0;
  std::unique_ptr<fp::CEthCamera> camera;
  try {
    camera = std::make_unique<fp::CEthCamera>(local);
  } catch (const char* text) {
    std::fprintf(stderr, "soak: %s\n", text);
    return 1;
  }
  if (!logs.empty()) {
    camera->OpenLog(logs + "/soak_log.txt");
    camera->OpenErrLog(logs + "/soak_log_err.txt");
  }
  const auto image = std::make_unique<std::uint8_t[]>(fp::RAW_IMAGE_SIZE);
  const auto start = std::chrono::steady_clock::now();
  if (!camera->Open(options.bind_address)) {
    std::fprintf(stderr, "soak: Open failed\n");
    return 1;
  }
  int exact = 0;
  for (int i = 0; i < images; ++i) {
    std::memset(image.get(), 0, fp::RAW_IMAGE_SIZE);
    bool ok = camera->SetRawDataBuffer(image.get()) &&
              camera->SendCmd(fp::NUDP_CMD_START_RAW, fp::NUDP_TOP_COMMAND);
    if (ok && !camera->WaitForRawData()) {
      std::printf("image %d: %d packets received, the others fetched again\n", i + 1,
                  camera->Nudp().RawCount());
      ok = camera->ReadMissing(image.get());
    }
    const auto number = in_process ? sim.ImageNumber() : static_cast<std::uint32_t>(i + 1);
    if (ok && fp::ImageMatchesPattern(image.get(), number)) {
      ++exact;
    } else {
      ++failures;
      std::fprintf(stderr, "soak: image %d %s\n", i + 1, ok ? "differs" : "failed");
    }
    if (i == 0) after_first = Measure();
  }
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  if (images > 0) Print("after the first image", after_first);
  camera->Close();
  const Holdings after_images = Measure();
  Print("after the images", after_images);
  std::printf("images: %d of %d exact, %.2f s in all\n", exact, images, seconds);
  if (in_process) {
    std::printf("RAW packets left out by the simulator and fetched again: %d\n",
                static_cast<int>(static_cast<std::uint64_t>(images) * fp::RAW_PACKETS_PER_IMAGE -
                                 sim.Stats().raw_packets_sent));
  }

  int opened = 0;
  for (int i = 0; i < cycles; ++i) {
    if (camera->Open(options.bind_address) && camera->Close()) {
      ++opened;
    } else {
      ++failures;
      std::fprintf(stderr, "soak: cycle %d failed\n", i + 1);
    }
  }
  camera.reset();
  const Holdings after = Measure();
  Print("after the cycles", after);
  std::printf("open and close: %d of %d\n", opened, cycles);

  if (after.descriptors > before.descriptors || after.threads > before.threads) {
    std::fprintf(stderr, "soak: descriptors or threads grew\n");
    ++failures;
  }
  if (images > 1 && after_images.resident_kb > after_first.resident_kb + 1024) {
    std::fprintf(stderr, "soak: resident memory grew by %ld kB after the first image\n",
                 after_images.resident_kb - after_first.resident_kb);
    ++failures;
  }
  sim.Stop();
  return failures == 0 ? 0 : 1;
}
