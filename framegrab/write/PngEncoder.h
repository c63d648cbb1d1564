#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

namespace fp {

// Where an encoder's bytes go, piece after piece in order. False stops the encoding.
using ByteSink = std::function<bool(const std::uint8_t* data, std::size_t length)>;

// Encodes `samples` row after row as a grayscale PNG of `bit_depth` 8 or 16 into `sink`;
// 16-bit samples come least significant byte first, as the camera sends them. Fast rather than
// small: only Huffman coding of the row differences, since sensor noise leaves little for
// string matching to find. Returns an empty text on success, else why not (libpng's message, or
// "write failed" when the sink refused). Any thread.
std::string EncodeGrayPng(const std::uint8_t* samples, int width, int height, int bit_depth,
                          const ByteSink& sink);

// The same PNG file in memory; empty when encoding fails.
std::string GrayPngFile(const std::uint8_t* samples, int width, int height, int bit_depth);

}  // namespace fp
