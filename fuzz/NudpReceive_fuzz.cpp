// NudpSocket's receive path driven through its states by the input:
//   byte 0      state: 0 CLOSED, 1 READY, 2 WAITING for an answer, 3 taking RAW data
//   byte 1      TOP of the command a WAITING socket sent (0 to 6)
//   bytes 2-5   its number field, least significant byte first
//   then        datagrams, each: a flags byte (bit 0: from a stranger, bit 1: an address of the
//               wrong size, bit 2: the transfer ends before it, bit 3: the image is kept from
//               it on), a length byte pair (least significant first), the bytes
// With the logs open, so that the trace of every datagram is formatted too.

#include "base/LogStream.h"
#include "net/SocketHandler.h"
#include "nudp/NudpSocket.h"

#include <arpa/inet.h>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <netinet/in.h>
#include <vector>

namespace {

struct Rig {
  Rig() : socket(handler) {
    log.Open("/dev/null");
    socket.SetLog(&log);
    socket.SetErrLog(&log);
    inet_pton(AF_INET, "127.13.0.1", &local);
    inet_pton(AF_INET, "127.13.0.2", &remote);
    socket.Bind(local, 0);
    socket.Open(remote, kCameraPort);
  }

  static constexpr std::uint16_t kCameraPort = 1234;
  fp::LogStream log;
  fp::SocketHandler handler;
  fp::NudpSocket socket;
  std::vector<std::uint8_t> image = std::vector<std::uint8_t>(fp::RAW_IMAGE_SIZE);
  std::uint32_t local = 0;
  std::uint32_t remote = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static Rig* rig = new Rig();
  fp::NudpSocket& socket = rig->socket;
  if (size < 6) return 0;

  // Back to READY, then into the state the input asks for.
  socket.StopWaiting();
  socket.StopData();
  const int state = data[0] % 4;
  const std::uint8_t top = static_cast<std::uint8_t>(data[1] % (fp::NUDP_MAX_SEND_TOP + 1));
  std::uint8_t header[fp::NUDP_HEADER_LENGTH] = {};
  std::memcpy(header + 4, data + 2, 4);
  const std::uint32_t number = fp::ReadNumberField(header);
  switch (state) {
    case 0:
      socket.Suspend();
      break;
    case 2:
      socket.PrepareForData(nullptr);
      socket.SendCmd(top, number);
      break;
    case 3:
      socket.PrepareForData(rig->image.data());
      socket.SendCmd(fp::NUDP_TOP_COMMAND, fp::NUDP_CMD_START_RAW);
      break;
    default:
      break;
  }

  std::size_t at = 6;
  while (at + 3 <= size) {
    const std::uint8_t flags = data[at];
    std::size_t length = data[at + 1] | (std::size_t{data[at + 2]} << 8);
    at += 3;
    if (length > size - at) length = size - at;
    // A kept image compares late copies with itself and is restarted by a late answer to 0x08.
    if ((flags & 4) != 0) socket.StopData();
    if ((flags & 8) != 0) socket.KeepImage();
    // Copied, so that the sanitizer sees a read past the datagram's own bytes.
    const std::vector<std::uint8_t> datagram(data + at, data + at + length);
    at += length;
    sockaddr_in from{};
    from.sin_family = AF_INET;
    from.sin_addr.s_addr = (flags & 1) != 0 ? rig->local : rig->remote;
    from.sin_port = htons(Rig::kCameraPort);
    const auto from_length =
        static_cast<std::uint32_t>((flags & 2) != 0 ? sizeof(sockaddr) / 2 : sizeof from);
    socket.OnRawData(datagram.data(), datagram.size(), reinterpret_cast<const sockaddr*>(&from),
                     from_length);
  }

  socket.HandOver();
  std::uint32_t answer = 0;
  std::uint8_t small[4];
  std::uint32_t length = 0;
  socket.GetResponse(&answer, small, &length, sizeof small);
  if (length > sizeof small) __builtin_trap();
  if (socket.IsClosed()) {
    socket.Open(rig->remote, Rig::kCameraPort);
  }
  return 0;
}
