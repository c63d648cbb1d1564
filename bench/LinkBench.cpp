// Whole images from a camera outside the process, taken through CEthCamera and then through the
// plain receiver, so that a real link (a network namespace, a shaped veth pair) can be compared
// with loopback: the image time, and what the kernel lost on the way.
//
//   link_bench --local ADDR --camera ADDR [--images N] [--port P]
//
// First N images through CEthCamera bound on ADDR (ports 32100 and 32101): SetRawDataBuffer,
// SendCmd(0x08), WaitForRawData, timed from just before the 0x08 to WaitForRawData returning; an
// image that lost a packet has the rest fetched with ReadMissing, so that the next one starts
// clean. Then N images through the plain receiver bound on ADDR port P (default 32110), which
// sends the 0x08 itself and ends an image at its last packet or after 100 ms without a datagram,
// as the driver does. Prints one figure a line: the median image times, the images that lost a
// packet and the packets lost, the datagrams the namespace's UDP receive buffers dropped (the
// kernel's RcvbufErrors, for every socket of the namespace), the images that matched the
// pattern byte for byte, and the ratio of the medians.
//
// The camera must be a camsim started for this run alone: its images are numbered from its
// first 0x08 on, and the numbers tell which pattern an image must match.
//
// Exit status: 0 when every image that should be whole matched its pattern, 1 when one did not
// or the camera or the receiver could not be set up, 2 for bad flags.

#include "camera/CEthCamera.h"
#include "nudp/NudpProtocol.h"
#include "nudp/NudpSocket.h"
#include "tools/camsim/ImagePattern.h"

#include "bench/BenchFlags.h"
#include "bench/PlainReceiver.h"
#include "bench/Statistics.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using fp::bench::Median;

// The plain receiver's kernel buffer: several images, so that its own socket never overflows.
constexpr int kPlainReceiveBuffer = 64 * 1024 * 1024;
// The driver's RAW data timeout, used by the plain receiver too.
constexpr std::chrono::milliseconds kSilence{100};

double Milliseconds(Clock::duration d) {
  return std::chrono::duration<double, std::milli>(d).count();
}

// The UDP datagrams this network namespace dropped for a full receive buffer so far (Udp
// RcvbufErrors of /proc/net/snmp); -1 when unreadable.
long long UdpReceiveBufferDrops() {
  std::ifstream snmp("/proc/net/snmp");
  std::string names, values;
  while (std::getline(snmp, names)) {
    if (names.rfind("Udp: ", 0) != 0 || !std::getline(snmp, values)) continue;
    std::istringstream name_words(names), value_words(values);
    std::string name, value;
    while (name_words >> name && value_words >> value) {
      if (name == "RcvbufErrors") return std::atoll(value.c_str());
    }
  }
  return -1;
}

struct Figures {
  std::vector<double> times_ms;
  int images_lost = 0;  // images with at least one packet missing
  long packets_lost = 0;
  int refused = 0;  // images not asked for: the 0x08 was not sent or not answered
  int exact = 0;
  int checked = 0;  // images compared with the pattern
  long long buffer_drops = -1;
};

void Print(const char* who, const Figures& f) {
  std::printf("%s image median ms: %.3f\n", who, Median(f.times_ms));
  std::printf("%s images with a packet lost: %d\n", who, f.images_lost);
  std::printf("%s packets lost: %ld\n", who, f.packets_lost);
  std::printf("%s images refused: %d\n", who, f.refused);
  std::printf("%s images exact: %d of %d\n", who, f.exact, f.checked);
  std::printf("%s namespace UDP buffer drops: %lld\n", who, f.buffer_drops);
}

// The driver's images, each made whole with ReadMissing; images 1 to N of the camera.
// False when the camera could not be set up.
bool CameraImages(const std::string& local, const std::string& remote, int images,
                  std::uint8_t* image, Figures& f) {
  std::unique_ptr<fp::CEthCamera> camera;
  try {
    camera = std::make_unique<fp::CEthCamera>(local);
  } catch (const char* text) {
    std::fprintf(stderr, "link_bench: %s\n", text);
    return false;
  }
  if (!camera->Open(remote)) {
    std::fprintf(stderr, "link_bench: the camera was not opened\n");
    return false;
  }
  const long long drops_before = UdpReceiveBufferDrops();
  for (int i = 0; i < images; ++i) {
    std::memset(image, 0, fp::RAW_IMAGE_SIZE);
    if (!camera->SetRawDataBuffer(image)) {
      ++f.refused;
      continue;
    }
    const auto start = Clock::now();
    if (!camera->SendCmd(fp::NUDP_CMD_START_RAW, fp::NUDP_TOP_COMMAND)) {
      // The camera may have streamed an image or more all the same: the numbers are lost.
      ++f.refused;
      continue;
    }
    const bool complete = camera->WaitForRawData();
    f.times_ms.push_back(Milliseconds(Clock::now() - start));
    bool whole = complete;
    if (!complete) {
      ++f.images_lost;
      f.packets_lost += fp::RAW_PACKETS_PER_IMAGE - camera->Nudp().RawCount();
      whole = camera->ReadMissing(image);
    }
    if (f.refused == 0) {
      ++f.checked;
      if (whole && fp::ImageMatchesPattern(image, static_cast<std::uint32_t>(i + 1))) ++f.exact;
    }
  }
  const long long drops_after = UdpReceiveBufferDrops();
  if (drops_before >= 0 && drops_after >= 0) f.buffer_drops = drops_after - drops_before;
  if (!camera->Close()) std::fprintf(stderr, "link_bench: the camera did not close\n");
  return true;
}

// The plain receiver's images, numbered on from `first_number` when that is above 0. False
// when the receiver could not be bound.
bool PlainImages(const std::string& local, const std::string& remote, std::uint16_t port,
                 int images, std::uint32_t first_number, std::uint8_t* image, Figures& f,
                 int& buffer_bytes) {
  fp::PlainReceiver receiver(local, remote, port, kPlainReceiveBuffer);
  if (!receiver.Ok()) {
    std::fprintf(stderr, "link_bench: the plain receiver was not bound to %s:%u\n", local.c_str(),
                 unsigned{port});
    return false;
  }
  buffer_bytes = receiver.ReceiveBufferBytes();
  const long long drops_before = UdpReceiveBufferDrops();
  std::uint32_t number = first_number;
  for (int i = 0; i < images; ++i) {
    const fp::PlainReceiver::Result taken = receiver.TakeImageUntilSilence(image, kSilence);
    if (!taken.sent) {
      ++f.refused;
      continue;
    }
    f.times_ms.push_back(taken.seconds * 1e3);
    const int lost = fp::RAW_PACKETS_PER_IMAGE - taken.packets;
    f.images_lost += lost > 0 ? 1 : 0;
    f.packets_lost += lost;
    // Only a whole image can match; one with holes keeps bytes of the one before.
    if (number > 0 && lost == 0) {
      ++f.checked;
      if (fp::ImageMatchesPattern(image, number)) ++f.exact;
    }
    if (number > 0) ++number;
  }
  const long long drops_after = UdpReceiveBufferDrops();
  if (drops_before >= 0 && drops_after >= 0) f.buffer_drops = drops_after - drops_before;
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  std::string local;
  std::string remote;
  int images = 50;
  int port = 32110;
  fp::bench::BenchFlags flags(
      "Images from a camsim through CEthCamera, then through a plain receiver.", "link_bench");
  flags.AddAddress("--local", local, "the local address the driver and the receiver bind");
  flags.AddAddress("--camera", remote, "the camera: a camsim started for this run alone");
  flags.AddCount("--images", images, "images through each", 1);
  flags.add_option("--port", port, "the plain receiver's port, not 32100 or 32101")
      ->type_name("P")
      ->capture_default_str()
      ->check(fp::bench::WholeNumber(
          [](int p) { return p >= 1 && p <= 65535 && p != 32100 && p != 32101; },
          "a port 1 to 65535 other than the driver's 32100 and 32101"));
  const int ended = flags.Parse(argc, argv);
  if (ended >= 0) return ended;

  const auto image = std::make_unique<std::uint8_t[]>(fp::RAW_IMAGE_SIZE);
  Figures camera, plain;
  int buffer_bytes = 0;
  if (!CameraImages(local, remote, images, image.get(), camera)) return 1;
  // After a refusal the camera's count of images is unknown, and so are the plain images'
  // numbers.
  const auto first_plain = static_cast<std::uint32_t>(camera.refused == 0 ? images + 1 : 0);
  if (!PlainImages(local, remote, static_cast<std::uint16_t>(port), images, first_plain,
                   image.get(), plain, buffer_bytes)) {
    return 1;
  }

  std::printf("images each: %d\n", images);
  Print("camera", camera);
  Print("plain", plain);
  std::printf("plain receive buffer bytes: %d\n", buffer_bytes);
  const double plain_median = Median(plain.times_ms);
  std::printf("camera/plain median: %.3f\n",
              plain_median > 0.0 ? Median(camera.times_ms) / plain_median : 0.0);
  return camera.exact == camera.checked && plain.exact == plain.checked ? 0 : 1;
}
