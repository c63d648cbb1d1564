#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace fp {

// What the images show: the word pattern below (the default), or the chart of ChartPattern.h.
enum class PatternKind { kWords, kChart };

// The simulated camera's image content, a pure function of the image number and the byte
// offset, so that a receiver can check every byte without a copy of the image.
//
// The image is a sequence of 32-bit words stored least significant byte first. Word w (the
// bytes at offsets 4w to 4w+3) of image k is
//
//   ImagePatternWord(k, w) = w * 0x9E3779B1 + k * 0x01000193   (mod 2^32)
//
// Within one image every word differs from every other (the multiplier is odd, and an image has
// far fewer than 2^32 words), so a packet stored at the wrong place shows. Between image k and
// image k+1 every word differs by 0x01000193, so a stale packet of an earlier image shows too.
//
// Image numbers: the simulator streams image 1 after the first 0x08 command, image 2 after the
// second and so on; retransmission requests are served from the image streamed last, or from
// image 0 while none has been streamed.
std::uint32_t ImagePatternWord(std::uint32_t image_number, std::uint64_t word_index);

// The image number k for which ImagePatternWord(k, word_index) is `word`: the formula read
// backwards, so that a receiver can tell which image a stored word came from.
std::uint32_t ImageNumberOfWord(std::uint32_t word, std::uint64_t word_index);

// The byte at `byte_offset` (0 to RAW_IMAGE_SIZE - 1) of image `image_number`.
std::uint8_t ExpectedImageByte(std::uint32_t image_number, std::uint64_t byte_offset);

// Writes `length` bytes of image `image_number` that start at `byte_offset` into `out`. The
// range must lie inside the image. Used for RAW packets (offset index x 1024, length 1024) and
// for retransmissions. The chart (ChartPattern.h) is the other content a simulator can show.
void FillImageBytes(std::uint32_t image_number, std::uint64_t byte_offset, std::uint8_t* out,
                    std::size_t length, PatternKind pattern = PatternKind::kWords);

// True when the RAW_IMAGE_SIZE bytes at `image` are every byte of image `image_number`. Compares
// slice by slice, without a second image in memory.
bool ImageMatchesPattern(const std::uint8_t* image, std::uint32_t image_number,
                         PatternKind pattern = PatternKind::kWords);

}  // namespace fp
