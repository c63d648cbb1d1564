#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace fp {

// One line of a chart: a value per image, images 1, 2, ... in order.
struct ChartSeries {
  std::string name;
  std::string color;  // an SVG colour
  std::vector<double> values;
  bool dashed = false;
};

// A line chart drawn as inline SVG, needing nothing else to show: x the image number, y from 0
// to a round number above the largest value, `unit` under the title. More images than the
// chart has room for are drawn as the largest value of each group of consecutive images, and
// the title says how many images a group holds. Any thread.
std::string SvgLineChart(const std::string& title, const std::string& unit,
                         const std::vector<ChartSeries>& series);

// A histogram drawn as inline SVG: one bar for each of `counts`, bin i covering the values
// i * `bin_width` to (i + 1) * `bin_width` - 1, its height the count on a logarithmic scale
// (0, 1, 10, 100, ...) so that a few saturated or dark samples show beside millions of others.
// Any thread.
std::string SvgHistogram(const std::string& title, std::span<const std::uint32_t> counts,
                         int bin_width);

}  // namespace fp
