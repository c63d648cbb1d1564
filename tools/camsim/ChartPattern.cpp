#include "tools/camsim/ChartPattern.h"

#include "nudp/NudpProtocol.h"

#include <array>

namespace fp {

namespace {

constexpr std::uint32_t kRows = static_cast<std::uint32_t>(RAW_IMAGE_SIZE / 2 / kChartWidth);
constexpr std::uint32_t kGridStep = 128;
constexpr std::uint32_t kGridWidth = 3;
constexpr std::uint16_t kWhite = 0xFFFF;
constexpr std::uint16_t kBlack = 0;

// Digits of 5 x 7 dots, one byte a row, the leftmost dot in bit 4.
constexpr std::array<std::array<std::uint8_t, 7>, 10> kDigits = {{
    {0x0E, 0x11, 0x13, 0x15, 0x19, 0x11, 0x0E},  // 0
    {0x04, 0x0C, 0x04, 0x04, 0x04, 0x04, 0x0E},  // 1
    {0x0E, 0x11, 0x01, 0x02, 0x04, 0x08, 0x1F},  // 2
    {0x1F, 0x02, 0x04, 0x02, 0x01, 0x11, 0x0E},  // 3
    {0x02, 0x06, 0x0A, 0x12, 0x1F, 0x02, 0x02},  // 4
    {0x1F, 0x10, 0x1E, 0x01, 0x01, 0x11, 0x0E},  // 5
    {0x06, 0x08, 0x10, 0x1E, 0x11, 0x11, 0x0E},  // 6
    {0x1F, 0x01, 0x02, 0x04, 0x08, 0x08, 0x08},  // 7
    {0x0E, 0x11, 0x11, 0x0E, 0x11, 0x11, 0x0E},  // 8
    {0x0E, 0x11, 0x11, 0x0F, 0x01, 0x02, 0x0C},  // 9
}};
constexpr std::uint32_t kDot = 40;                // samples per dot
constexpr std::uint32_t kCell = 6 * kDot;         // a digit and its space
constexpr std::uint32_t kDigitHeight = 7 * kDot;  // 280
constexpr std::uint32_t kMargin = kDot;           // black around the digits

// The plate with the number: where it lies and which digits it shows.
struct Plate {
  std::uint32_t digits = 0;
  std::array<std::uint8_t, 10> digit{};  // most significant first
  std::uint32_t left = 0;                // column of the first digit
  std::uint32_t top = 0;                 // row of the digits' first dot row
};

Plate MakePlate(std::uint32_t image_number) {
  Plate p;
  std::array<std::uint8_t, 10> reversed{};
  do {
    reversed[p.digits++] = static_cast<std::uint8_t>(image_number % 10);
    image_number /= 10;
  } while (image_number != 0);
  for (std::uint32_t i = 0; i < p.digits; ++i) p.digit[i] = reversed[p.digits - 1 - i];
  // The last digit's space is not drawn, so the digits are centred without it.
  const std::uint32_t width = p.digits * kCell - kDot;
  p.left = (kChartWidth - width) / 2;
  p.top = (kRows - kDigitHeight) / 2;
  return p;
}

std::uint16_t Background(std::uint32_t row, std::uint32_t column) {
  if (column % kGridStep < kGridWidth || row % kGridStep < kGridWidth) {
    return (column / kGridStep + row / kGridStep) % 2 == 0 ? kWhite : kBlack;
  }
  // A ramp of 0 to 3/4 of full scale across, plus up to 1/4 down.
  return static_cast<std::uint16_t>(column * 24 + row * 7);
}

std::uint16_t Sample(const Plate& p, std::uint64_t sample_index) {
  const auto row = static_cast<std::uint32_t>(sample_index / kChartWidth);
  const auto column = static_cast<std::uint32_t>(sample_index % kChartWidth);
  const std::uint32_t width = p.digits * kCell - kDot;
  if (row + kMargin < p.top || row >= p.top + kDigitHeight + kMargin || column + kMargin < p.left ||
      column >= p.left + width + kMargin) {
    return Background(row, column);
  }
  if (row < p.top || row >= p.top + kDigitHeight || column < p.left || column >= p.left + width) {
    return kBlack;
  }
  const std::uint32_t x = column - p.left;
  const std::uint32_t dot_column = x % kCell / kDot;
  if (dot_column >= 5) return kBlack;
  const std::uint32_t dot_row = (row - p.top) / kDot;
  const std::uint8_t bits = kDigits[p.digit[x / kCell]][dot_row];
  return (bits >> (4 - dot_column)) & 1 ? kWhite : kBlack;
}

}  // namespace

std::uint16_t ChartSample(std::uint32_t image_number, std::uint64_t sample_index) {
  return Sample(MakePlate(image_number), sample_index);
}

void FillChartBytes(std::uint32_t image_number, std::uint64_t byte_offset, std::uint8_t* out,
                    std::size_t length) {
  const Plate plate = MakePlate(image_number);
  std::size_t i = 0;
  // An odd start takes the high byte of its sample, then whole samples, then a low byte.
  if (length > 0 && byte_offset % 2 != 0) {
    out[i++] = static_cast<std::uint8_t>(Sample(plate, byte_offset / 2) >> 8);
  }
  for (; i + 2 <= length; i += 2) {
    const std::uint16_t sample = Sample(plate, (byte_offset + i) / 2);
    out[i] = static_cast<std::uint8_t>(sample & 0xFF);
    out[i + 1] = static_cast<std::uint8_t>(sample >> 8);
  }
  if (i < length) out[i] = static_cast<std::uint8_t>(Sample(plate, (byte_offset + i) / 2) & 0xFF);
}

}  // namespace fp
