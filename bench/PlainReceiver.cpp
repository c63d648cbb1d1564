#include "bench/PlainReceiver.h"

#include "net/Address.h"

#include "tests/support/BoundUdpSocket.h"

#include <algorithm>
#include <cstring>
#include <poll.h>
#include <unistd.h>

namespace fp {
namespace {

using Clock = std::chrono::steady_clock;

constexpr std::uint16_t kCameraPort = 1234;
// TakeImage looks this often whether the simulator's stream has ended.
constexpr int kStreamPollMs = 10;
// Either way an image is given up after this long.
constexpr std::chrono::seconds kImageLimit{10};

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

}  // namespace

PlainReceiver::PlainReceiver(const std::string& local, const std::string& camera,
                             std::uint16_t port, int receive_buffer) {
  std::uint32_t local_ip = 0;
  std::uint32_t camera_ip = 0;
  if (!HostToAddress(local, local_ip) || !HostToAddress(camera, camera_ip)) return;
  _camera.sin_family = AF_INET;
  _camera.sin_port = htons(kCameraPort);
  _camera.sin_addr.s_addr = camera_ip;
  _fd = test::BoundUdpSocket(local_ip, port, receive_buffer, SOCK_NONBLOCK);
  if (_fd < 0) return;
  for (std::size_t i = 0; i < kBatch; ++i) {
    _vectors[i].iov_base = _buffers[i].data();
    _vectors[i].iov_len = _buffers[i].size();
    _messages[i].msg_hdr.msg_iov = &_vectors[i];
    _messages[i].msg_hdr.msg_iovlen = 1;
  }
}

PlainReceiver::~PlainReceiver() {
  if (_fd >= 0) ::close(_fd);
}

int PlainReceiver::ReceiveBufferBytes() const {
  int size = 0;
  socklen_t length = sizeof size;
  if (_fd < 0 || ::getsockopt(_fd, SOL_SOCKET, SO_RCVBUF, &size, &length) != 0) return 0;
  return size;
}

PlainReceiver::Result PlainReceiver::TakeImage(
    std::uint8_t* image, const std::function<std::uint64_t()>& streams_started,
    const std::function<std::uint64_t()>& streams_ended) {
  Result result;
  const std::uint64_t stream = streams_started() + 1;
  if (!Ask(result)) return result;
  while (result.packets < RAW_PACKETS_PER_IMAGE && Clock::now() - _start < kImageLimit) {
    // Asked before the poll: a stream that has ended had queued all its packets by then, so
    // a poll that finds nothing after it means nothing more will come.
    const bool ended = streams_ended() >= stream;
    pollfd entry{_fd, POLLIN, 0};
    if (::poll(&entry, 1, kStreamPollMs) <= 0 && ended) break;
    ReadQueued(image, result);
  }
  return result;
}

PlainReceiver::Result PlainReceiver::TakeImageUntilSilence(std::uint8_t* image,
                                                           std::chrono::milliseconds silence) {
  Result result;
  if (!Ask(result)) return result;
  auto heard = _start;
  while (result.packets < RAW_PACKETS_PER_IMAGE && !_last_stored) {
    const auto now = Clock::now();
    if (now - heard >= silence || now - _start >= kImageLimit) break;
    const auto wait = std::chrono::ceil<std::chrono::milliseconds>(silence - (now - heard));
    pollfd entry{_fd, POLLIN, 0};
    if (::poll(&entry, 1, static_cast<int>(wait.count())) <= 0) continue;
    if (ReadQueued(image, result) > 0) heard = Clock::now();
  }
  return result;
}

bool PlainReceiver::Ask(Result& result) {
  // Leftovers of an earlier image would count as this one's.
  while (::recvmmsg(_fd, _messages.data(), kBatch, MSG_DONTWAIT, nullptr) > 0) {
  }
  std::fill(_map.begin(), _map.end(), std::uint8_t{0});
  _last_stored = false;
  const NudpHeader command = BuildCommandHeader(NUDP_TOP_COMMAND, NUDP_CMD_START_RAW);
  _start = Clock::now();
  result.sent = ::sendto(_fd, command.data(), command.size(), 0,
                         reinterpret_cast<const sockaddr*>(&_camera), sizeof _camera) >= 0;
  return result.sent;
}

int PlainReceiver::ReadQueued(std::uint8_t* image, Result& result) {
  int read = 0;
  for (;;) {
    const int n = ::recvmmsg(_fd, _messages.data(), kBatch, MSG_DONTWAIT, nullptr);
    if (n <= 0) break;
    read += n;
    for (int i = 0; i < n; ++i) {
      const auto k = static_cast<std::size_t>(i);
      if (Store(_buffers[k].data(), _messages[k].msg_len, image)) {
        ++result.packets;
        result.seconds = Seconds(Clock::now() - _start);
      }
    }
    if (result.packets == RAW_PACKETS_PER_IMAGE) break;
  }
  return read;
}

bool PlainReceiver::Store(const std::uint8_t* data, std::size_t length, std::uint8_t* image) {
  if (length != NUDP_MAX_PACKET_LENGTH || data[0] != NUDP_SIGNATURE_0 ||
      data[1] != NUDP_SIGNATURE_1 || data[2] != NUDP_RAW_TOP_BYTE || !NudpChecksumOk(data)) {
    return false;
  }
  const std::uint32_t number = ReadNumberField(data);
  if (!RawPacketInImage(number, RAW_PACKET_DATA_LENGTH)) return false;
  const auto index = static_cast<std::size_t>(RawPacketIndex(number));
  if (_map[index] != 0) return false;
  _map[index] = 1;
  if (index == static_cast<std::size_t>(RAW_LAST_PACKET_INDEX)) _last_stored = true;
  std::memcpy(image + RawByteOffset(number), data + NUDP_HEADER_LENGTH, RAW_PACKET_DATA_LENGTH);
  return true;
}

}  // namespace fp
