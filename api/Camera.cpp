// The library's camera: the driver CEthCamera behind a small interface of its own, so that a
// program built against the installed headers sees none of the driver's internals and its
// layout can change without breaking that program.

#include "frameprobe/Camera.h"

#include "camera/CEthCamera.h"
#include "camera/DriverCounts.h"
#include "net/Address.h"
#include "net/LocalPorts.h"
#include "nudp/NudpProtocol.h"
#include "nudp/NudpSocket.h"

#include "frameprobe/Version.h"

#include <array>
#include <cstdio>
#include <cstring>
#include <mutex>

namespace frameprobe {

static_assert(kPacketsPerImage == fp::RAW_PACKETS_PER_IMAGE);
static_assert(kPacketBytes == fp::RAW_PACKET_DATA_LENGTH);
static_assert(kImageBytes == fp::RAW_IMAGE_SIZE);
static_assert(kImageSamples == std::size_t{kImageWidth} * kImageHeight);
static_assert(kMaxAnswerBytes == fp::NUDP_MAX_DATA_LENGTH);
static_assert(kCmdBinningOn == fp::NUDP_CMD_BINNING_ON && kCmdStartRaw == fp::NUDP_CMD_START_RAW &&
              kCmdTransferStatus == fp::NUDP_CMD_TRANSFER_STATUS &&
              kCmdIdentify == fp::NUDP_CMD_IDENTIFY && kCmdRefresh == fp::NUDP_CMD_REFRESH);
static_assert(kTopCommand == fp::NUDP_TOP_COMMAND && kTopRetransmit == fp::NUDP_TOP_RETRANSMIT);
static_assert(kIdTextOffset == fp::NUDP_ID_TEXT_OFFSET);
static_assert(kLocalPort == fp::NUDP_DRIVER_PORT && kWatchdogPort == fp::NUDP_DRIVER_PORT + 1 &&
              kCameraPort == fp::NUDP_CAMERA_PORT);
static_assert(RetransmitNumber(251) == fp::RawNumberField(251));

namespace {

// A driver text on one line: its lines joined by spaces.
std::string OneLine(const std::string& text) {
  std::string line;
  for (const char c : text) {
    if (c != '\n') {
      line += c;
    } else if (!line.empty() && line.back() != ' ') {
      line += ' ';
    }
  }
  while (!line.empty() && line.back() == ' ') line.pop_back();
  return line;
}

// The driver's ranges (first and last packet) as the library's (begin and end).
std::vector<PacketRange> Ranges(const std::vector<fp::RawPacketRange>& driver) {
  std::vector<PacketRange> ranges;
  for (const fp::RawPacketRange& r : driver) ranges.push_back(PacketRange{r.first, r.last + 1});
  return ranges;
}

int Count(const std::vector<PacketRange>& ranges) {
  int sum = 0;
  for (const PacketRange& r : ranges) sum += r.Count();
  return sum;
}

// The driver's counts as the library's counters: the same list names both (CounterList.h).
Counters PublicCounters(const fp::DriverCounts& driver) {
  Counters counters;
#define FP_SOCKET_COUNT(field, name, unit, place, label, help) counters.name = driver.socket.field;
  FRAMEPROBE_SOCKET_COUNTERS(FP_SOCKET_COUNT)
#undef FP_SOCKET_COUNT
#define FP_DRIVER_COUNT(field, name, unit, place, label, help) counters.name = driver.camera.field;
  FRAMEPROBE_DRIVER_COUNTERS(FP_DRIVER_COUNT)
#undef FP_DRIVER_COUNT
  return counters;
}

// Who holds the ports the driver's camera socket tries on `local` (32100, then the one above),
// a line each after a line end, in framegrab's words; empty when neither is taken.
std::string PortHolders(const std::string& local) {
  std::uint32_t address = 0;
  if (!fp::HostToAddress(local, address)) return "";
  std::string ip;
  fp::AddressToText(address, ip);
  std::string lines;
  for (const std::string& line : fp::TakenPorts(ip, {kLocalPort, kLocalPort + 1})) {
    lines += "\n" + line;
  }
  return lines;
}

std::string Hex(std::uint32_t number) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%X", number);
  return text;
}

}  // namespace

Error::~Error() = default;

struct Camera::Impl {
  // Held by every operation but IsOpen: the driver serves one caller thread.
  std::mutex mutex;
  // Created by the constructor, deleted with the Camera; the connection may be closed earlier.
  std::unique_ptr<fp::CEthCamera> driver;
  std::string camera_address;

  // Throws `what`, followed by the reason the driver logged last.
  [[noreturn]] void Fail(const std::string& what) const {
    const std::string reason = OneLine(driver->LastError());
    throw Error(reason.empty() ? what : what + ": " + reason);
  }
  bool Open() const { return driver->Connected() && driver->WatchdogRunning(); }
  // Before an operation: the connection must be open, and a failure of it names its own
  // reason, never one an earlier operation left.
  void BeginOperation() const {
    if (!Open()) throw Error("the connection to the camera " + camera_address + " is closed");
    driver->ClearLastError();
  }
};

Camera::Camera(const std::string& local, const std::string& remote, const Options& options)
    : _impl(std::make_unique<Impl>()) {
  // An empty address would mean 0.0.0.0, one with a NUL character the part before it.
  for (const auto& [what, address] : {std::pair{"local", &local}, std::pair{"camera", &remote}}) {
    if (address->empty() || address->find('\0') != std::string::npos) {
      throw Error(std::string("the ") + what +
                  " address must be neither empty nor hold a NUL character");
    }
  }
  Impl& c = *_impl;
  try {
    c.driver = std::make_unique<fp::CEthCamera>(local);
  } catch (const char* text) {
    // Neither port could be bound: say who holds them, which the driver's text does not.
    throw Error("cannot use the local address \"" + local + "\": " + text +
                (std::strstr(text, "cannot bind") != nullptr ? PortHolders(local) : ""));
  }
  if (!options.log_file.empty() && !c.driver->OpenLog(options.log_file)) {
    throw Error("cannot open the driver log " + options.log_file);
  }
  if (!options.err_log_file.empty() && !c.driver->OpenErrLog(options.err_log_file)) {
    throw Error("cannot open the error log " + options.err_log_file);
  }
  c.camera_address = remote;
  if (!c.driver->Open(remote)) c.Fail("cannot connect to the camera at \"" + remote + "\"");
  c.camera_address = c.driver->GetRemoteAddress();
  if (options.binning && !c.driver->SendCmd(fp::NUDP_CMD_BINNING_ON, fp::NUDP_TOP_COMMAND)) {
    c.Fail("the camera at " + c.camera_address + " does not answer (binning on, command 0x105)");
  }
}

Camera::~Camera() = default;
Camera::Camera(Camera&&) noexcept = default;
Camera& Camera::operator=(Camera&&) noexcept = default;

void Camera::Close() {
  if (!_impl) return;
  std::lock_guard<std::mutex> lock(_impl->mutex);
  _impl->driver->Close();
}

bool Camera::IsOpen() const { return _impl && _impl->Open(); }

std::string Camera::LocalAddress() const {
  if (!_impl) return {};
  std::lock_guard<std::mutex> lock(_impl->mutex);
  return _impl->driver->GetLocalAddress();
}

std::string Camera::CameraAddress() const { return _impl ? _impl->camera_address : std::string(); }

int Camera::ReceiveBufferBytes() const {
  if (!_impl) return 0;
  std::lock_guard<std::mutex> lock(_impl->mutex);
  return _impl->driver->Nudp().ReceiveBufferBytes();
}

Counters Camera::Totals() const {
  return _impl ? PublicCounters(_impl->driver->Counters().since_open) : Counters{};
}

Answer Camera::Command(std::uint32_t number, std::uint8_t top) {
  if (!_impl) throw Error("the camera was moved away");
  std::lock_guard<std::mutex> lock(_impl->mutex);
  Impl& c = *_impl;
  c.BeginOperation();
  if (top == fp::NUDP_TOP_COMMAND && fp::IsStartRawCommand(number)) {
    throw Error("command " + Hex(number) + " starts an image: take images with Grab");
  }
  std::array<std::uint8_t, kMaxAnswerBytes> data{};
  std::uint32_t length = 0;
  Answer answer;
  if (!c.driver->SendCmd(number, top, &answer.number, data.data(), &length, data.size())) {
    c.Fail("command " + Hex(number) + " (TOP " + std::to_string(top) + ") to the camera at " +
           c.camera_address + " failed");
  }
  answer.data.assign(data.begin(), data.begin() + length);
  return answer;
}

std::string Camera::Identify() {
  const Answer answer = Command(kCmdIdentify);
  return std::string(fp::NudpIdText(answer.data.data(), answer.data.size()));
}

GrabInfo Camera::Grab(Image& image, const std::atomic<bool>* stop) {
  return Grab(image.Bytes(), stop);
}

GrabInfo Camera::Grab(std::span<std::uint8_t> image, const std::atomic<bool>* stop) {
  if (image.size() != kImageBytes) {
    throw Error("Grab needs an image buffer of " + std::to_string(kImageBytes) +
                " bytes, and the one given holds " + std::to_string(image.size()));
  }
  return Grab(image.data(), stop);
}

GrabInfo Camera::Grab(std::uint8_t* image, const std::atomic<bool>* stop) {
  if (!_impl) throw Error("the camera was moved away");
  if (image == nullptr) throw Error("Grab needs an image buffer");
  std::lock_guard<std::mutex> lock(_impl->mutex);
  Impl& c = *_impl;
  c.BeginOperation();
  const fp::TakenImage taken = c.driver->TakeImage({image, kImageBytes}, stop);
  switch (taken.start) {
    case fp::TakenImage::Start::kBufferRefused:
      c.Fail("the driver refused the image buffer");
    case fp::TakenImage::Start::kNotAnswered:
      c.Fail("the camera at " + c.camera_address + " does not answer the start command 0x08");
    case fp::TakenImage::Start::kStopped:
    case fp::TakenImage::Start::kStarted:
      break;
  }
  GrabInfo info;
  info.complete = taken.complete;
  info.cancelled = taken.stopped;
  info.stream_packets = taken.stream_packets;
  info.fetched_again_packets = taken.FetchedAgainPackets();
  info.lost = Ranges(taken.lost);
  info.missing = Ranges(taken.missing);
  info.image_ms = taken.image_ms;
  info.recovery_ms = taken.recovery_ms;
  if (!taken.Started()) return info;
  info.counters = PublicCounters(taken.transfer);
  if (!c.Open()) {
    c.Fail("contact with the camera at " + c.camera_address + " was lost during the image (" +
           std::to_string(info.stream_packets) + " packets from the stream, " +
           std::to_string(info.fetched_again_packets) + " of " +
           std::to_string(info.LostPackets()) + " missing fetched again)");
  }
  return info;
}

int GrabInfo::MissingPackets() const { return Count(missing); }

Image::Image() : _bytes(std::make_unique<std::uint8_t[]>(kImageBytes)) {}

std::uint16_t Image::Sample(int row, int column) const {
  const std::size_t at =
      (static_cast<std::size_t>(row) * kImageWidth + static_cast<std::size_t>(column)) * 2;
  return static_cast<std::uint16_t>(_bytes[at] | (_bytes[at + 1] << 8));
}

const char* Version() { return FRAMEPROBE_VERSION; }

}  // namespace frameprobe
