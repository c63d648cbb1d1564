// framegrab --from-capture reading a capture of many images, against plain reads of the same
// file in the same run. The capture is made here: framegrab takes the images from a camsim at
// 1000 Mbit/s that leaves 0.5% of each stream out (so that the reading rebuilds recoveries too)
// and writes its traffic with --pcap (raw IPv4 records). Then, round by round, the file is read
// by a plain read loop (1 MiB a read()), by CaptureFile alone (libpcap and the frames' headers,
// no NUDP), by framegrab --from-capture --json and by the same with a TIFF of every image; the
// medians of their wall times give MB/s of capture, and their ratio to the plain read. The
// line rate counts the capture's datagrams as they take a 1 Gbit/s Ethernet link: each with its
// UDP, IPv4 and Ethernet headers, frame check sequence, preamble and inter-frame gap (a RAW
// packet 1098 bytes, as camsim's --rate counts it; a frame at least 64 bytes), so "10x line
// rate" reads in a tenth of the time the traffic took on the wire. Target: framegrab --json at
// least 10x line rate. The images read back must be those the live run took, as complete.
//
//   capture_bench [--images N] [--rounds N] [--dir DIR]
//   (default 100 images, 5 rounds, /dev/shm when it is there, else /tmp; 127.26.100.1 and .2)

#include "bench/BenchFlags.h"
#include "bench/Statistics.h"
#include "capture/CaptureFile.h"
#include "tests/support/ChildProcess.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fcntl.h>
#include <filesystem>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using fp::test::AwaitText;
using fp::test::ReadFile;
using fp::test::Spawn;
using Clock = std::chrono::steady_clock;

constexpr const char* kCameraAddress = "127.26.100.1";
constexpr const char* kLocalAddress = "127.26.100.2";

// Bytes a datagram of `payload` UDP bytes takes on an Ethernet link: UDP 8, IPv4 20, Ethernet
// header 14 and frame check sequence 4 (the frame padded to 64), preamble 8, inter-frame gap 12.
constexpr std::uint64_t WireBytes(std::size_t payload) {
  return std::max<std::uint64_t>(payload + 8 + 20 + 14 + 4, 64) + 8 + 12;
}
constexpr double kLineBytesPerS = 125e6;  // 1 Gbit/s

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

double CpuSeconds(const rusage& r) {
  return static_cast<double>(r.ru_utime.tv_sec + r.ru_stime.tv_sec) +
         static_cast<double>(r.ru_utime.tv_usec + r.ru_stime.tv_usec) / 1e6;
}

// One timed reading: wall time and processor time.
struct Timing {
  double wall_s = -1;  // -1: the reading failed
  double cpu_s = 0;
};

// Waits for `pid` (at most `limit`) and says its processor time; false when it did not exit
// with status `expected` in time.
bool AwaitChild(pid_t pid, std::chrono::seconds limit, int expected, double& cpu_s) {
  const auto deadline = Clock::now() + limit;
  int status = 0;
  rusage usage{};
  for (;;) {
    const pid_t done = wait4(pid, &status, WNOHANG, &usage);
    if (done == pid) break;
    if (done < 0) return false;
    if (Clock::now() > deadline) {
      kill(pid, SIGKILL);
      wait4(pid, &status, 0, &usage);
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  cpu_s = CpuSeconds(usage);
  return WIFEXITED(status) && WEXITSTATUS(status) == expected;
}

// The file read front to back, 1 MiB at a time, into one buffer.
Timing PlainRead(const std::string& path) {
  Timing t;
  std::vector<char> buffer(1 << 20);
  rusage before{}, after{};
  getrusage(RUSAGE_THREAD, &before);
  const auto start = Clock::now();
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return t;
  while (read(fd, buffer.data(), buffer.size()) > 0) {
  }
  close(fd);
  t.wall_s = Seconds(Clock::now() - start);
  getrusage(RUSAGE_THREAD, &after);
  t.cpu_s = CpuSeconds(after) - CpuSeconds(before);
  return t;
}

// What CaptureFile finds in the file: its datagrams and what they took on the wire.
struct Contents {
  std::uint64_t frames = 0;
  std::uint64_t datagrams = 0;
  std::uint64_t wire_bytes = 0;
  double first_s = 0;  // the first and last time stamps, seconds
  double last_s = 0;
};

// The file read through CaptureFile alone: libpcap and each frame's headers, down to its UDP
// payload.
Timing CaptureRead(const std::string& path, Contents& contents) {
  Timing t;
  rusage before{}, after{};
  getrusage(RUSAGE_THREAD, &before);
  const auto start = Clock::now();
  fp::CaptureFile file;
  std::string why;
  if (!file.Open(path, why)) {
    std::fprintf(stderr, "capture_bench: %s: %s\n", path.c_str(), why.c_str());
    return t;
  }
  contents = Contents{};
  fp::CapturedDatagram d;
  fp::CaptureFile::Step step;
  while ((step = file.Next(d)) == fp::CaptureFile::Step::kDatagram) {
    if (contents.datagrams++ == 0) contents.first_s = static_cast<double>(d.time_ns) / 1e9;
    contents.last_s = static_cast<double>(d.time_ns) / 1e9;
    contents.wire_bytes += WireBytes(d.payload_length);
  }
  if (step == fp::CaptureFile::Step::kDamaged) {
    std::fprintf(stderr, "capture_bench: %s: %s\n", path.c_str(), file.Error().c_str());
    return t;
  }
  contents.frames = file.Frames();
  t.wall_s = Seconds(Clock::now() - start);
  getrusage(RUSAGE_THREAD, &after);
  t.cpu_s = CpuSeconds(after) - CpuSeconds(before);
  return t;
}

// framegrab --from-capture with `extra` flags, in `dir`; its wall time from start to exit.
Timing FramegrabRead(const std::string& dir, const std::string& path,
                     const std::vector<std::string>& extra, int expected_status) {
  Timing t;
  std::vector<std::string> args = {FRAMEGRAB_PATH, "--from-capture", path, "--quiet"};
  args.insert(args.end(), extra.begin(), extra.end());
  const auto start = Clock::now();
  const pid_t grab = Spawn(args, dir, dir + "/read.out", dir + "/read.err");
  if (!AwaitChild(grab, std::chrono::seconds(600), expected_status, t.cpu_s)) {
    std::fprintf(stderr, "capture_bench: framegrab --from-capture failed: %s",
                 ReadFile(dir + "/read.err").c_str());
    t.wall_s = -1;
    return t;
  }
  t.wall_s = Seconds(Clock::now() - start);
  return t;
}

// The live run's images and those read back agree: as many, and each as complete, with the
// same packets missing after the stream and fetched again.
bool SameImages(const std::string& live_path, const std::string& read_path) {
  const nlohmann::json live = nlohmann::json::parse(ReadFile(live_path), nullptr, false);
  const nlohmann::json read = nlohmann::json::parse(ReadFile(read_path), nullptr, false);
  if (live.is_discarded() || read.is_discarded()) return false;
  const auto& a = live["images"];
  const auto& b = read["images"];
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    for (const char* field : {"complete", "missing_after_stream_packets", "fetched_again_packets",
                              "missing_packet_ranges"}) {
      if (a[i][field] != b[i][field]) return false;
    }
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  int images = 100;
  int rounds = 5;
  std::string base = std::filesystem::is_directory("/dev/shm") ? "/dev/shm" : "/tmp";
  fp::bench::BenchFlags flags(
      "framegrab --from-capture of a capture of many images: MB/s and line rate against plain "
      "reads of the same file.",
      "capture_bench");
  flags.AddCount("--images", images, "images in the capture", 1);
  flags.AddCount("--rounds", rounds, "readings of each kind; their medians are stated", 1);
  flags.add_option("--dir", base, "where the capture and the pictures go (a tmpfs, best)")
      ->type_name("DIR")
      ->capture_default_str();
  const int ended = flags.Parse(argc, argv);
  if (ended >= 0) return ended;
  std::string pattern = base + "/capture_bench_XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) {
    std::fprintf(stderr, "capture_bench: cannot make a directory in %s\n", base.c_str());
    return 2;
  }
  const std::string dir = pattern;
  const std::string capture = dir + "/run.pcap";
  const auto finish = [&](int status) {
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
    return status;
  };

  // The capture: framegrab taking the images from camsim, which records its traffic.
  const pid_t camsim = Spawn(
      {CAMSIM_PATH, "--bind", kCameraAddress, "--loss", "0.005", "--pcap", capture, "--quiet"}, dir,
      dir + "/camsim.out", dir + "/camsim.err");
  if (!AwaitText(dir + "/camsim.err", "listening", std::chrono::seconds(5), camsim)) {
    std::fprintf(stderr, "capture_bench: camsim did not start: %s",
                 ReadFile(dir + "/camsim.err").c_str());
    return finish(1);
  }
  const pid_t live = Spawn({FRAMEGRAB_PATH, kLocalAddress, kCameraAddress, "--images",
                            std::to_string(images), "--json", "live.json", "--quiet"},
                           dir, dir + "/live.out", dir + "/live.err");
  double live_cpu_s = 0;
  const bool live_ok = AwaitChild(live, std::chrono::seconds(600), 0, live_cpu_s);
  kill(camsim, SIGTERM);  // it writes the rest of the capture
  double camsim_cpu_s = 0;
  AwaitChild(camsim, std::chrono::seconds(60), 0, camsim_cpu_s);
  if (!live_ok) {
    std::fprintf(stderr, "capture_bench: the live run failed: %s",
                 ReadFile(dir + "/live.err").c_str());
    return finish(1);
  }

  std::vector<double> plain, decode, json, tiff;
  std::vector<double> plain_cpu, decode_cpu, json_cpu, tiff_cpu;
  Contents contents;
  for (int round = 0; round < rounds; ++round) {
    const Timing p = PlainRead(capture);
    const Timing d = CaptureRead(capture, contents);
    const Timing j = FramegrabRead(dir, capture, {"--json", "read.json"}, 0);
    const Timing t = FramegrabRead(
        dir, capture, {"--json", "tiff.json", "--save", "pics", "--format", "tiff"}, 0);
    std::error_code ignored;
    std::filesystem::remove_all(dir + "/pics", ignored);
    if (p.wall_s < 0 || d.wall_s < 0 || j.wall_s < 0 || t.wall_s < 0) return finish(1);
    plain.push_back(p.wall_s);
    decode.push_back(d.wall_s);
    json.push_back(j.wall_s);
    tiff.push_back(t.wall_s);
    plain_cpu.push_back(p.cpu_s);
    decode_cpu.push_back(d.cpu_s);
    json_cpu.push_back(j.cpu_s);
    tiff_cpu.push_back(t.cpu_s);
  }
  const bool same = SameImages(dir + "/live.json", dir + "/read.json") &&
                    SameImages(dir + "/live.json", dir + "/tiff.json");

  const double file_mb = static_cast<double>(std::filesystem::file_size(capture)) / 1e6;
  const double wire_s = static_cast<double>(contents.wire_bytes) / kLineBytesPerS;
  std::printf(
      "capture: %d images, %.1f MB in %llu frames; %.1f MB on a 1 Gbit/s wire (%.2f s at line "
      "rate; the run took %.2f s)\n",
      images, file_mb, static_cast<unsigned long long>(contents.frames),
      static_cast<double>(contents.wire_bytes) / 1e6, wire_s, contents.last_s - contents.first_s);
  std::printf("%-22s %9s %9s %11s %10s %9s   (medians of %d rounds)\n", "reading", "wall s",
              "CPU s", "MB/s", "x line", "x plain", rounds);
  const double plain_s = fp::bench::Median(plain);
  const auto row = [&](const char* name, const std::vector<double>& wall,
                       const std::vector<double>& cpu) {
    const double s = fp::bench::Median(wall);
    std::printf("%-22s %9.3f %9.3f %11.0f %10.1f %9.2f\n", name, s, fp::bench::Median(cpu),
                file_mb / s, wire_s / s, s / plain_s);
    return wire_s / s;
  };
  row("plain read", plain, plain_cpu);
  row("CaptureFile alone", decode, decode_cpu);
  const double json_line = row("framegrab --json", json, json_cpu);
  row("framegrab, every TIFF", tiff, tiff_cpu);
  std::printf("images read back as the live run took them: %s\n", same ? "yes" : "NO");
  std::printf("target: framegrab --json at least 10x line rate: %s\n",
              json_line >= 10 && same ? "met" : "missed");
  return finish(same ? 0 : 1);
}
