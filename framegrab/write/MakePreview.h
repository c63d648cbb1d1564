#pragma once

#include "framegrab/model/Preview.h"

#include <cstdint>

namespace fp {

// The preview of image `image` (RAW_IMAGE_SIZE bytes, 16-bit samples least significant byte
// first) laid out `width` samples a row, at most about 512 pixels wide; an incomplete image has
// `missing_packets` packets of zeros and says so. Any thread.
Preview MakePreview(const std::uint8_t* raw, int width, int image, int missing_packets = 0);

}  // namespace fp
