#include "framegrab/PictureStats.h"

#include "nudp/NudpProtocol.h"

#include <cmath>

namespace fp {

PictureStats AnalysePicture(const std::uint8_t* raw, std::vector<std::uint32_t>& scratch) {
  // One count per sample value, in two tables taken in turn: a run of equal samples then does
  // not wait for its own last increment. Everything else is read off the counts.
  constexpr std::size_t kValues = 65536;
  scratch.assign(2 * kValues, 0);
  std::uint32_t* even = scratch.data();
  std::uint32_t* odd = even + kValues;
  constexpr std::size_t kSamples = RAW_IMAGE_SIZE / 2;
  static_assert(kSamples % 2 == 0);
  for (std::size_t i = 0; i < kSamples; i += 2) {
    const std::uint8_t* p = raw + 2 * i;
    ++even[p[0] | (p[1] << 8)];
    ++odd[p[2] | (p[3] << 8)];
  }

  PictureStats s;
  std::uint64_t sum = 0;
  bool seen = false;
  for (std::size_t v = 0; v < kValues; ++v) {
    const std::uint32_t n = even[v] + odd[v];
    if (n == 0) continue;
    if (!seen) s.min = static_cast<std::uint16_t>(v);
    seen = true;
    s.max = static_cast<std::uint16_t>(v);
    sum += std::uint64_t{n} * v;
    s.histogram[v / PictureStats::kBinWidth] += n;
  }
  s.zero = even[0] + odd[0];
  s.saturated = even[kValues - 1] + odd[kValues - 1];
  const auto count = static_cast<double>(kSamples);
  s.mean = static_cast<double>(sum) / count;
  // From the deviations, not from the mean of the squares: that difference of two large
  // numbers would leave a constant image with a spread.
  double squares = 0;
  for (std::size_t v = s.min; v <= s.max; ++v) {
    const double deviation = static_cast<double>(v) - s.mean;
    squares += static_cast<double>(even[v] + odd[v]) * deviation * deviation;
  }
  s.standard_deviation = std::sqrt(squares / count);
  return s;
}

}  // namespace fp
