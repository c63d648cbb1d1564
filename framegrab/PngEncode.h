#pragma once

#include <cstdint>
#include <string>

namespace fp {

// A grayscale PNG file in memory, for the live view and the report: `samples` row after row,
// `bit_depth` 8 or 16; 16-bit samples least significant byte first, as the camera sends them.
// Empty when libpng fails. Any thread.
std::string EncodeGrayPng(const std::uint8_t* samples, int width, int height, int bit_depth);

}  // namespace fp
