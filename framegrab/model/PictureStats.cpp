#include "framegrab/model/PictureStats.h"

#include "nudp/NudpProtocol.h"

#include <cmath>

namespace fp {

namespace {

constexpr std::size_t kValues = 65536;
constexpr std::size_t kSamples = RAW_IMAGE_SIZE / 2;

// One count per sample value, in two tables taken in turn: a run of equal samples then does
// not wait for its own last increment. Left out of ThreadSanitizer's instrumentation, which
// makes these 4 million increments cost the better part of a second an image and would take the
// processor from the driver in such a build: the image is only read, handed over under a lock
// and held until the count is done, and the tables are this thread's own.
__attribute__((no_sanitize("thread"))) void CountValues(const std::uint8_t* raw,
                                                        std::uint32_t* even, std::uint32_t* odd) {
  static_assert(kSamples % 2 == 0);
  for (std::size_t i = 0; i < kSamples; i += 2) {
    const std::uint8_t* p = raw + 2 * i;
    ++even[p[0] | (p[1] << 8)];
    ++odd[p[2] | (p[3] << 8)];
  }
}

}  // namespace

PictureStats AnalysePicture(const std::uint8_t* raw, std::vector<std::uint32_t>& scratch) {
  // Everything is read off the counts of each sample value.
  scratch.assign(2 * kValues, 0);
  std::uint32_t* even = scratch.data();
  std::uint32_t* odd = even + kValues;
  CountValues(raw, even, odd);

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
