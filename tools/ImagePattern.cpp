#include "tools/ImagePattern.h"

#include "nudp/NudpProtocol.h"
#include "tools/ChartPattern.h"
#include "tools/SimulatorOptions.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <random>

namespace fp {

std::uint32_t ImagePatternWord(std::uint32_t image_number, std::uint64_t word_index) {
  return static_cast<std::uint32_t>(word_index) * 0x9E3779B1u + image_number * 0x01000193u;
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

namespace {

// A draw of true with probability `p`, from the top 53 bits of one generator output.
bool Chance(std::mt19937_64& rng, double p) {
  if (p <= 0.0) return false;
  return static_cast<double>(rng() >> 11) * 0x1.0p-53 < p;
}

}  // namespace

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

std::vector<int> PlanStream(const SimulatorOptions& options, std::uint32_t image_number) {
  std::mt19937_64 rng(options.seed * 0x9E3779B97F4A7C15u + image_number);

  std::vector<int> order;
  order.reserve(RAW_PACKETS_PER_IMAGE);
  for (int i = 0; i < RAW_PACKETS_PER_IMAGE; ++i) {
    if (!options.last_first || i != RAW_LAST_PACKET_INDEX) order.push_back(i);
  }

  if (options.reorder >= 2) {
    const std::size_t window = static_cast<std::size_t>(options.reorder);
    for (std::size_t start = 0; start < order.size(); start += window) {
      const std::size_t end = std::min(order.size(), start + window);
      // Fisher-Yates by hand: the generator's raw output is fixed by the standard, the
      // library's distributions are not.
      for (std::size_t i = end - 1; i > start; --i) {
        const std::size_t j = start + static_cast<std::size_t>(rng() % (i - start + 1));
        std::swap(order[i], order[j]);
      }
    }
  }
  // After the shuffle, so that it stays first.
  if (options.last_first) order.insert(order.begin(), RAW_LAST_PACKET_INDEX);

  if (options.stop_after >= 0 && static_cast<std::size_t>(options.stop_after) < order.size()) {
    order.resize(static_cast<std::size_t>(options.stop_after));
  }

  std::vector<int> drop = options.drop;
  std::sort(drop.begin(), drop.end());
  std::vector<int> plan;
  plan.reserve(order.size() * 2);
  for (int index : order) {
    if (std::binary_search(drop.begin(), drop.end(), index)) continue;
    if (Chance(rng, options.loss)) continue;
    plan.push_back(index);
    if (Chance(rng, options.duplicate)) plan.push_back(index);
  }
  return plan;
}

}  // namespace fp
