// Writes image N of camsim's chart pattern, byte for byte as the camera sends it, into FILE: the
// reference the Python tests compare grabbed images with.
//
//   chart_image N FILE

#include "nudp/NudpProtocol.h"
#include "tools/camsim/ImagePattern.h"

#include <cstdio>
#include <cstdlib>
#include <vector>

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fputs("usage: chart_image N FILE\n", stderr);
    return 2;
  }
  const auto number = static_cast<std::uint32_t>(std::strtoul(argv[1], nullptr, 10));
  std::vector<std::uint8_t> image(fp::RAW_IMAGE_SIZE);
  fp::FillImageBytes(number, 0, image.data(), image.size(), fp::PatternKind::kChart);
  std::FILE* out = std::fopen(argv[2], "wb");
  const bool written =
      out != nullptr && std::fwrite(image.data(), 1, image.size(), out) == image.size();
  if (out == nullptr || std::fclose(out) != 0 || !written) {
    std::fprintf(stderr, "chart_image: cannot write %s\n", argv[2]);
    return 1;
  }
  return 0;
}
