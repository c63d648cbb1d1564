#include "tools/camsim/ImagePattern.h"

#include "nudp/NudpProtocol.h"
#include "tools/camsim/ChartPattern.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace fp {

namespace {

constexpr std::uint32_t kWordStep = 0x9E3779B1u;
constexpr std::uint32_t kImageStep = 0x01000193u;

// The inverse of kImageStep modulo 2^32 (it is odd; each step of Newton's iteration doubles the
// bits that are right).
constexpr std::uint32_t InverseOfImageStep() {
  std::uint32_t x = kImageStep;
  for (int i = 0; i < 5; ++i) x *= 2 - kImageStep * x;
  return x;
}
static_assert(InverseOfImageStep() * kImageStep == 1);

}  // namespace

std::uint32_t ImagePatternWord(std::uint32_t image_number, std::uint64_t word_index) {
  return static_cast<std::uint32_t>(word_index) * kWordStep + image_number * kImageStep;
}

std::uint32_t ImageNumberOfWord(std::uint32_t word, std::uint64_t word_index) {
  return (word - static_cast<std::uint32_t>(word_index) * kWordStep) * InverseOfImageStep();
}

std::uint8_t ExpectedImageByte(std::uint32_t image_number, std::uint64_t byte_offset) {
  const std::uint32_t word = ImagePatternWord(image_number, byte_offset / 4);
  return static_cast<std::uint8_t>((word >> (8 * (byte_offset % 4))) & 0xFF);
}

void FillImageBytes(std::uint32_t image_number, std::uint64_t byte_offset, std::uint8_t* out,
                    std::size_t length, PatternKind pattern) {
  if (pattern == PatternKind::kChart) {
    FillChartBytes(image_number, byte_offset, out, length);
    return;
  }
  std::size_t i = 0;
  // Leading bytes up to a word boundary, then whole words, then the tail.
  while (i < length && (byte_offset + i) % 4 != 0) {
    out[i] = ExpectedImageByte(image_number, byte_offset + i);
    ++i;
  }
  std::uint64_t word_index = (byte_offset + i) / 4;
  for (; i + 4 <= length; i += 4, ++word_index) {
    const std::uint32_t w = ImagePatternWord(image_number, word_index);
    out[i] = static_cast<std::uint8_t>(w & 0xFF);
    out[i + 1] = static_cast<std::uint8_t>((w >> 8) & 0xFF);
    out[i + 2] = static_cast<std::uint8_t>((w >> 16) & 0xFF);
    out[i + 3] = static_cast<std::uint8_t>(w >> 24);
  }
  for (; i < length; ++i) out[i] = ExpectedImageByte(image_number, byte_offset + i);
}

bool ImageMatchesPattern(const std::uint8_t* image, std::uint32_t image_number,
                         PatternKind pattern) {
  std::array<std::uint8_t, 64 * RAW_PACKET_DATA_LENGTH> slice;
  for (std::size_t at = 0; at < RAW_IMAGE_SIZE; at += slice.size()) {
    const std::size_t length = std::min(slice.size(), RAW_IMAGE_SIZE - at);
    FillImageBytes(image_number, at, slice.data(), length, pattern);
    if (std::memcmp(image + at, slice.data(), length) != 0) return false;
  }
  return true;
}

}  // namespace fp
