#include "framegrab/write/MakePreview.h"

#include "nudp/NudpProtocol.h"

#include "framegrab/write/PngEncoder.h"

#include <algorithm>
#include <vector>

namespace fp {

namespace {

constexpr int kPreviewWidth = 512;

// The smallest value with at least `fraction` of the pixels at or below it.
int Point(const std::vector<std::uint32_t>& histogram, std::size_t pixels, double fraction) {
  const auto wanted = static_cast<std::size_t>(fraction * static_cast<double>(pixels));
  std::size_t seen = 0;
  for (std::size_t value = 0; value < histogram.size(); ++value) {
    seen += histogram[value];
    if (seen > wanted) return static_cast<int>(value);
  }
  return static_cast<int>(histogram.size()) - 1;
}

}  // namespace

Preview MakePreview(const std::uint8_t* raw, int width, int image, int missing_packets) {
  Preview p;
  p.image = image;
  p.missing_packets = missing_packets;
  p.source_width = width;
  p.source_height = static_cast<int>(RAW_IMAGE_SIZE / 2) / width;
  // Square blocks of samples, as many to a pixel as bring the width to the preview's, but never
  // more rows to a block than the image has: a very wide image is shown one row high.
  p.factor = std::max(1, std::min((width + kPreviewWidth - 1) / kPreviewWidth, p.source_height));
  p.width = width / p.factor;
  p.height = std::max(1, p.source_height / p.factor);
  const int area = p.factor * p.factor;
  std::vector<std::uint16_t> means(static_cast<std::size_t>(p.width) *
                                   static_cast<std::size_t>(p.height));
  std::vector<std::uint32_t> histogram(65536);
  for (int y = 0; y < p.height; ++y) {
    for (int x = 0; x < p.width; ++x) {
      std::uint64_t sum = 0;
      for (int dy = 0; dy < p.factor; ++dy) {
        const std::size_t first =
            static_cast<std::size_t>(y * p.factor + dy) * static_cast<std::size_t>(width) +
            static_cast<std::size_t>(x * p.factor);
        const std::uint8_t* row = raw + first * 2;
        for (int dx = 0; dx < p.factor; ++dx) {
          sum += static_cast<std::uint64_t>(row[2 * dx] | (row[2 * dx + 1] << 8));
        }
      }
      const auto mean = static_cast<std::uint16_t>(sum / static_cast<std::uint64_t>(area));
      means[static_cast<std::size_t>(y) * static_cast<std::size_t>(p.width) +
            static_cast<std::size_t>(x)] = mean;
      ++histogram[mean];
    }
  }
  p.low = Point(histogram, means.size(), 0.005);
  p.high = std::max(p.low + 1, Point(histogram, means.size(), 0.995));
  std::vector<std::uint8_t> pixels(means.size());
  const double scale = 255.0 / (p.high - p.low);
  for (std::size_t i = 0; i < means.size(); ++i) {
    const int v = std::clamp(static_cast<int>(means[i]), p.low, p.high);
    pixels[i] = static_cast<std::uint8_t>((v - p.low) * scale + 0.5);
  }
  p.png = GrayPngFile(pixels.data(), p.width, p.height, /*bit_depth=*/8);
  return p;
}

}  // namespace fp
