#pragma once

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

// Text made safe for HTML and SVG, between tags and in quoted attributes.
std::string EscapeHtml(const std::string& text);

}  // namespace fp
