#pragma once

#include <cstdint>
#include <string>

namespace fp {

class OutputFile;

// Writes `samples` (16-bit, least significant byte first, as the camera sends them) as an
// uncompressed single-page grayscale TIFF of `width` x `height` into `file`, little-endian, so
// the image's bytes go out as they are. `description` becomes the ImageDescription tag,
// `date_time` ("YYYY:MM:DD HH:MM:SS") the DateTime tag, `software` the Software tag. Returns an
// empty text on success, else why not (errno's text when a write failed). Any thread.
std::string WriteGrayTiff(OutputFile& file, const std::uint8_t* samples, int width, int height,
                          const std::string& description, const std::string& date_time,
                          const std::string& software);

}  // namespace fp
