#pragma once

#include <cstddef>
#include <cstdint>

namespace fp {

// A test chart a person recognises in a picture of the image taken 2048 samples wide: a
// horizontal gray ramp that brightens towards the bottom, a grid line every 128 samples, and
// the image number in decimal digits 280 samples high on a black plate in the middle.
//
// The image is read as 16-bit samples stored least significant byte first; sample s lies in
// row s / 2048 and column s % 2048. Like the default pattern it is a pure function of the image
// number and the offset, so a receiver checks every byte without a copy of the image; but
// neighbouring images differ only where their numbers do.
inline constexpr std::uint32_t kChartWidth = 2048;

// Sample `sample_index` (0 to RAW_IMAGE_SIZE / 2 - 1) of image `image_number`.
std::uint16_t ChartSample(std::uint32_t image_number, std::uint64_t sample_index);

// Writes `length` bytes of the chart of image `image_number` from `byte_offset` into `out`.
void FillChartBytes(std::uint32_t image_number, std::uint64_t byte_offset, std::uint8_t* out,
                    std::size_t length);

}  // namespace fp
