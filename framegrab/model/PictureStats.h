#pragma once

#include <array>
#include <cstdint>
#include <vector>

namespace fp {

// What one image holds: its 4,222,976 16-bit samples (least significant byte first, as the
// camera sends them) in figures.
struct PictureStats {
  static constexpr int kBins = 256;
  static constexpr int kBinWidth = 65536 / kBins;  // bin b holds the values b*256 ... b*256+255

  std::uint16_t min = 0;
  std::uint16_t max = 0;
  double mean = 0;
  double standard_deviation = 0;  // of all samples, not of a sample of them
  std::int64_t saturated = 0;     // samples at 65535
  std::int64_t zero = 0;          // samples at 0
  std::array<std::uint32_t, kBins> histogram{};
};

// The figures of the image `raw` (RAW_IMAGE_SIZE bytes). `scratch` is working memory kept by the
// caller from one image to the next (its contents do not matter). Any thread.
PictureStats AnalysePicture(const std::uint8_t* raw, std::vector<std::uint32_t>& scratch);

}  // namespace fp
