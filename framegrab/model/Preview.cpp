#include "framegrab/model/Preview.h"

namespace fp {

std::string Preview::Note() const {
  const std::string incomplete =
      missing_packets > 0
          ? " (INCOMPLETE: " + std::to_string(missing_packets) + " packets missing, shown as zeros)"
          : "";
  return "image " + std::to_string(image) + incomplete + ": " + std::to_string(source_width) +
         " x " + std::to_string(source_height) + " samples shown as " + std::to_string(width) +
         " x " + std::to_string(height) + " pixels, each the mean of " + std::to_string(factor) +
         " x " + std::to_string(factor) +
         " samples; 8-bit, contrast stretched: " + std::to_string(low) + " and below black, " +
         std::to_string(high) + " and above white (the 0.5% and 99.5% points)";
}

}  // namespace fp
