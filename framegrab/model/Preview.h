#pragma once

#include <cstdint>
#include <string>

namespace fp {

// An image made small and 8-bit for a person to look at: each pixel the mean of factor x factor
// samples, then stretched so that the darkest 0.5% of pixels are black and the brightest 0.5%
// white.
struct Preview {
  int image = 0;  // the image it shows, 1, 2, ...
  int source_width = 0;
  int source_height = 0;
  int factor = 1;
  int width = 0;  // of the preview
  int height = 0;
  int low = 0;              // mean sample value shown as 0 (black)
  int high = 0;             // and as 255 (white)
  int missing_packets = 0;  // of an incomplete image, shown as zeros
  std::string png;          // 8-bit grayscale PNG file

  // What the page says under the picture about how it was scaled.
  std::string Note() const;
};

}  // namespace fp
