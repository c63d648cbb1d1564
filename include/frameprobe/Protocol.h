#pragma once

// What a program that talks to a NUDP camera through this library needs to know of the camera:
// the image's size and layout, the commands and the ports.

#include <cstddef>
#include <cstdint>

namespace frameprobe {

// An image is 8248 RAW packets of 1024 bytes; packet n holds the bytes at offset n x 1024.
inline constexpr int kPacketsPerImage = 8248;
inline constexpr std::size_t kPacketBytes = 1024;
inline constexpr std::size_t kImageBytes = 8445952;
// Read as 16-bit samples, least significant byte first, 2048 to a row: 2062 rows, and one
// packet is 512 samples, a quarter of a row.
inline constexpr int kImageWidth = 2048;
inline constexpr int kImageHeight = 2062;
inline constexpr std::size_t kImageSamples = kImageBytes / 2;
inline constexpr std::size_t kPacketSamples = kPacketBytes / 2;

// Commands: number fields sent with TOP 0, and the TOP of a retransmission request, whose number
// field is the packet's offset in 16-bit words (RetransmitNumber).
inline constexpr std::uint32_t kCmdBinningOn = 0x105;
inline constexpr std::uint32_t kCmdStartRaw = 0x08;  // any number field with the low byte 0x08
inline constexpr std::uint32_t kCmdTransferStatus = 0x0A;
inline constexpr std::uint32_t kCmdIdentify = 0xEF;
inline constexpr std::uint32_t kCmdRefresh = 0xFC;
inline constexpr std::uint8_t kTopCommand = 0;
inline constexpr std::uint8_t kTopRetransmit = 6;
// The most data an answer carries, and where the identification text starts in the answer to
// kCmdIdentify.
inline constexpr std::size_t kMaxAnswerBytes = 1024;
inline constexpr std::size_t kIdTextOffset = 10;

// The driver binds UDP port 32100 (commands and images) and 32101 (the watchdog) on the local
// interface and talks to the camera's port 1234.
inline constexpr std::uint16_t kLocalPort = 32100;
inline constexpr std::uint16_t kWatchdogPort = 32101;
inline constexpr std::uint16_t kCameraPort = 1234;

constexpr std::uint32_t RetransmitNumber(int packet) {
  return static_cast<std::uint32_t>(packet) * static_cast<std::uint32_t>(kPacketSamples);
}

}  // namespace frameprobe
