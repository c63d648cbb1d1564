// Capture files and frames from the input, twice over:
//   the whole input   a capture file, read through libpcap from memory to its end
//   byte 0            a link type for DecodeFrame (bits 0-6 pick one of kLinkTypes, bit 7 says
//                     the frame was cut short: 100 bytes more were on the wire)
//   the rest          one frame of that link type
// A datagram must lie wholly inside the frame it came from; the sanitizers watch every read.

#include "capture/CaptureFile.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace {

// Every link type DecodeFrame reads (the pcap numbers and libpcap's own for raw IP).
constexpr int kLinkTypes[] = {1, 113, 276, 101, 228, 12, 14, 0, 108};

void ReadCapture(const std::uint8_t* data, std::size_t size) {
  // fmemopen wants a buffer it may write to, though reading never does.
  std::vector<std::uint8_t> file(data, data + size);
  std::FILE* stream = fmemopen(file.data(), file.size(), "rb");
  fp::CaptureFile capture;
  std::string error;
  if (!capture.Open(stream, error)) return;
  fp::CapturedDatagram datagram;
  std::uint64_t datagrams = 0;
  unsigned sum = 0;
  while (capture.Next(datagram) == fp::CaptureFile::Step::kDatagram) {
    ++datagrams;
    for (std::size_t i = 0; i < datagram.payload_length; ++i) sum += datagram.payload[i];
  }
  if (datagrams + capture.CutShortFrames() > capture.Frames()) __builtin_trap();
  asm volatile("" : : "r"(sum));  // so that the payload's reads stay in
}

void DecodeOne(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return;
  constexpr std::size_t kCount = sizeof kLinkTypes / sizeof kLinkTypes[0];
  const int link_type = kLinkTypes[(data[0] & 0x7F) % kCount];
  const std::size_t captured = size - 1;
  const std::size_t original = (data[0] & 0x80) != 0 ? captured + 100 : captured;
  const std::uint8_t* frame = data + 1;
  fp::CapturedDatagram datagram;
  if (fp::DecodeFrame(link_type, frame, captured, original, datagram) != fp::FrameKind::kDatagram) {
    return;
  }
  if (datagram.payload < frame || datagram.payload + datagram.payload_length > frame + captured) {
    __builtin_trap();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  ReadCapture(data, size);
  DecodeOne(data, size);
  return 0;
}
