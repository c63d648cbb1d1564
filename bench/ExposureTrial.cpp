// Images taken through the library from a camsim outside the process, each judged packet by
// packet against camsim's word pattern: does an image that the library calls complete hold the
// bytes of one exposure only?
//
//   exposure_trial --local ADDR --camera ADDR [--grabs N] [--stop-after MS] [--logs DIR]
//
// Takes N grabs in a row. With --stop-after, every other grab (the first, the third, ...) is
// stopped MS milliseconds after it began, through the library's stop flag, and the grab after it
// follows at once; only the grabs that were not stopped are judged then. Each packet of a judged
// image tells the exposure it belongs to (its first word, see tools/camsim/ImagePattern.h) and is
// checked byte for byte; an image is of one exposure when every packet belongs to the same one.
// Prints one line a grab and then the totals: complete and of one exposure, complete but mixed,
// incomplete, cancelled, and the restarts the driver counted.
//
// With --logs, the driver's log.txt and log_err.txt go to DIR.
//
// Exit status: 0 when no image reported complete mixes exposures, 1 when one does or the
// camera cannot be used, 2 for bad flags.

#include "tools/camsim/ImagePattern.h"

#include "bench/BenchFlags.h"
#include "frameprobe/frameprobe.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

// The exposure that packet `n` of `image` holds whole; 0 when it matches none (zeros, say).
std::uint32_t ExposureOfPacket(const std::uint8_t* image, int n) {
  const std::size_t at = static_cast<std::size_t>(n) * frameprobe::kPacketBytes;
  std::uint32_t first = 0;
  std::memcpy(&first, image + at, sizeof first);  // little-endian, as camsim stores it
  const std::uint32_t k = fp::ImageNumberOfWord(first, at / 4);
  std::uint8_t expected[frameprobe::kPacketBytes];
  fp::FillImageBytes(k, at, expected, sizeof expected);
  return std::memcmp(expected, image + at, sizeof expected) == 0 ? k : 0;
}

// The exposures the packets of `image` hold, in the order met; one entry for an image of one
// exposure. A packet that matches none counts as exposure 0.
std::vector<std::uint32_t> ExposuresOf(const std::uint8_t* image) {
  std::vector<std::uint32_t> seen;
  for (int n = 0; n < frameprobe::kPacketsPerImage; ++n) {
    const std::uint32_t k = ExposureOfPacket(image, n);
    bool known = false;
    for (const std::uint32_t s : seen) known = known || s == k;
    if (!known) seen.push_back(k);
  }
  return seen;
}

}  // namespace

int main(int argc, char** argv) {
  std::string local;
  std::string camera;
  int grabs = 20;
  int stop_after_ms = 0;
  fp::bench::BenchFlags flags("Judges images taken through the library, packet by packet.",
                              "exposure_trial");
  flags.AddAddress("--local", local, "the local address");
  flags.AddAddress("--camera", camera, "camsim's address");
  flags.AddCount("--grabs", grabs, "grabs in a row", 1);
  flags.AddCount("--stop-after", stop_after_ms,
                 "stop every other grab this many ms after it began (0: none)", 0);
  std::string logs;
  flags.add_option("--logs", logs, "a folder for the driver's log.txt and log_err.txt");
  if (const int status = flags.Parse(argc, argv); status >= 0) return status;
  frameprobe::Options options;
  if (!logs.empty()) {
    options.log_file = logs + "/log.txt";
    options.err_log_file = logs + "/log_err.txt";
  }

  int one_exposure = 0, mixed = 0, incomplete = 0, cancelled = 0;
  std::uint64_t restarts = 0;
  try {
    frameprobe::Camera cam(local, camera, options);
    frameprobe::Image image;
    for (int i = 0; i < grabs; ++i) {
      const bool stopping = stop_after_ms > 0 && i % 2 == 0;
      std::atomic<bool> stop{false};
      std::thread stopper;
      if (stopping) {
        stopper = std::thread([&stop, stop_after_ms] {
          std::this_thread::sleep_for(std::chrono::milliseconds(stop_after_ms));
          stop.store(true);
        });
      }
      const frameprobe::GrabInfo info = cam.Grab(image, stopping ? &stop : nullptr);
      if (stopper.joinable()) stopper.join();
      restarts += info.counters.restarts;
      if (stopping) {
        std::printf("grab %d: stopped (%s)\n", i + 1, info.cancelled ? "cancelled" : "done first");
        continue;
      }
      const std::vector<std::uint32_t> exposures = ExposuresOf(image.Bytes());
      std::string list;
      for (const std::uint32_t k : exposures) list += " " + std::to_string(k);
      const char* verdict = "incomplete";
      if (info.cancelled) {
        verdict = "cancelled";
        ++cancelled;
      } else if (!info.complete) {
        ++incomplete;
      } else if (exposures.size() == 1 && exposures[0] != 0) {
        verdict = "complete, one exposure";
        ++one_exposure;
      } else {
        verdict = "COMPLETE BUT MIXED";
        ++mixed;
      }
      std::printf(
          "grab %d: %s; exposures:%s; %d from the stream, %d fetched again, %llu "
          "restarts, %.0f ms\n",
          i + 1, verdict, list.c_str(), info.stream_packets, info.fetched_again_packets,
          static_cast<unsigned long long>(info.counters.restarts), info.image_ms);
    }
  } catch (const frameprobe::Error& e) {
    std::fprintf(stderr, "exposure_trial: %s\n", e.what());
    return 1;
  }
  std::printf(
      "judged: complete and of one exposure %d, complete but mixed %d, incomplete %d, "
      "cancelled %d; restarts %llu\n",
      one_exposure, mixed, incomplete, cancelled, static_cast<unsigned long long>(restarts));
  return mixed == 0 ? 0 : 1;
}
