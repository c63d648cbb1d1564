#include "framegrab/views/SvgChart.h"

#include "framegrab/views/HtmlText.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace fp {

namespace {

constexpr double kWidth = 640;
constexpr double kHeight = 220;
constexpr double kLeft = 56;
constexpr double kRight = 12;
constexpr double kTop = 30;
constexpr double kBottom = 30;
constexpr std::size_t kMaxPoints = 600;

// 1, 2 or 5 times a power of ten, at or above `value`.
double RoundUp(double value) {
  if (value <= 0) return 1;
  const double power = std::pow(10.0, std::floor(std::log10(value)));
  for (const double step : {1.0, 2.0, 5.0, 10.0}) {
    if (step * power >= value) return step * power;
  }
  return 10 * power;
}

std::string Number(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%g", value);
  return text;
}

std::string Fixed(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f", value);
  return text;
}

// The largest value of each group of `group` consecutive values.
std::vector<double> Group(const std::vector<double>& values, std::size_t group) {
  std::vector<double> out;
  for (std::size_t i = 0; i < values.size(); i += group) {
    const auto end =
        values.begin() + static_cast<std::ptrdiff_t>(std::min(values.size(), i + group));
    out.push_back(*std::max_element(values.begin() + static_cast<std::ptrdiff_t>(i), end));
  }
  return out;
}

}  // namespace

std::string SvgLineChart(const std::string& title, const std::string& unit,
                         const std::vector<ChartSeries>& series) {
  std::size_t count = 0;
  double top = 0;
  for (const ChartSeries& s : series) {
    count = std::max(count, s.values.size());
    for (const double v : s.values) top = std::max(top, v);
  }
  const std::size_t group = std::max<std::size_t>(1, (count + kMaxPoints - 1) / kMaxPoints);
  const double y_max = RoundUp(top);
  const double plot_w = kWidth - kLeft - kRight;
  const double plot_h = kHeight - kTop - kBottom;
  std::string heading = title;
  if (group > 1) heading += " (largest of each " + std::to_string(group) + " images)";

  std::string svg = "<svg xmlns=\"http://www.w3.org/2000/svg\" class=\"chart\" viewBox=\"0 0 " +
                    Number(kWidth) + " " + Number(kHeight) + "\" role=\"img\" aria-label=\"" +
                    EscapeHtml(heading) + "\">";
  svg += "<text x=\"" + Number(kLeft) + "\" y=\"16\" class=\"title\">" + EscapeHtml(heading) +
         " <tspan class=\"unit\">" + EscapeHtml(unit) + "</tspan></text>";
  // Grid lines and their values at 0, half and the top.
  for (const double share : {0.0, 0.5, 1.0}) {
    const std::string y = Fixed(kTop + plot_h * (1 - share));
    svg += "<line x1=\"" + Number(kLeft) + "\" x2=\"" + Number(kWidth - kRight) + "\" y1=\"" + y +
           "\" y2=\"" + y + "\" class=\"grid\"/>";
    svg += "<text x=\"" + Number(kLeft - 6) + "\" y=\"" + y +
           "\" class=\"axis\" text-anchor=\"end\" dominant-baseline=\"middle\">" +
           Number(y_max * share) + "</text>";
  }
  const double bottom = kTop + plot_h + 18;
  svg += "<text x=\"" + Number(kLeft) + "\" y=\"" + Fixed(bottom) + "\" class=\"axis\">image " +
         (count > 0 ? "1" : "-") + "</text>";
  svg += "<text x=\"" + Number(kWidth - kRight) + "\" y=\"" + Fixed(bottom) +
         "\" class=\"axis\" text-anchor=\"end\">" + std::to_string(count) + "</text>";
  // Legend on the bottom line, between the first and the last image number: a stroke of each
  // line's style, then its name.
  double legend_x = kLeft + plot_w * 0.2;
  for (const ChartSeries& s : series) {
    svg += "<line x1=\"" + Fixed(legend_x) + "\" x2=\"" + Fixed(legend_x + 18) + "\" y1=\"" +
           Fixed(bottom - 4) + "\" y2=\"" + Fixed(bottom - 4) + "\" stroke=\"" + s.color +
           "\" stroke-width=\"2\"" + (s.dashed ? " stroke-dasharray=\"5 3\"" : "") + "/>";
    svg += "<text x=\"" + Fixed(legend_x + 22) + "\" y=\"" + Fixed(bottom) +
           "\" class=\"legend\">" + EscapeHtml(s.name) + "</text>";
    legend_x += 22 + 6.2 * static_cast<double>(s.name.size()) + 24;
  }
  const std::size_t points = (count + group - 1) / group;
  for (const ChartSeries& s : series) {
    const std::vector<double> values = Group(s.values, group);
    if (values.empty()) continue;
    std::string path;
    for (std::size_t i = 0; i < values.size(); ++i) {
      const double x =
          kLeft + (points > 1 ? plot_w * static_cast<double>(i) / static_cast<double>(points - 1)
                              : plot_w / 2);
      const double y = kTop + plot_h * (1 - values[i] / y_max);
      path += Fixed(x) + "," + Fixed(y) + " ";
      if (values.size() <= 60) {
        svg += "<circle cx=\"" + Fixed(x) + "\" cy=\"" + Fixed(y) + "\" r=\"2.5\" fill=\"" +
               s.color + "\"/>";
      }
    }
    svg += "<polyline fill=\"none\" stroke=\"" + s.color + "\" stroke-width=\"1.5\"" +
           (s.dashed ? " stroke-dasharray=\"5 3\"" : "") + " points=\"" + path + "\"/>";
  }
  svg += "</svg>";
  return svg;
}

std::string SvgHistogram(const std::string& title, std::span<const std::uint32_t> counts,
                         int bin_width) {
  std::uint32_t top = 0;
  for (const std::uint32_t c : counts) top = std::max(top, c);
  // Whole decades, at least one, so that the top grid line is a power of ten.
  const int decades = std::max(1, static_cast<int>(std::ceil(std::log10(std::max(1u, top)))));
  const double plot_w = kWidth - kLeft - kRight;
  const double plot_h = kHeight - kTop - kBottom;
  const double base = kTop + plot_h;
  // Counts of 1 stand a little above 0: the scale is of 1 + the count.
  auto y_of = [&](double count) {
    return base - plot_h * std::log10(1 + count) / std::log10(1 + std::pow(10.0, decades));
  };
  std::string svg =
      "<svg xmlns=\"http://www.w3.org/2000/svg\" class=\"chart histogram\" "
      "viewBox=\"0 0 " +
      Number(kWidth) + " " + Number(kHeight) + "\" role=\"img\" aria-label=\"" + EscapeHtml(title) +
      "\">";
  svg += "<text x=\"" + Number(kLeft) + "\" y=\"16\" class=\"title\">" + EscapeHtml(title) +
         " <tspan class=\"unit\">samples, logarithmic</tspan></text>";
  for (const int decade : {0, (decades + 1) / 2, decades}) {
    const double value = decade == 0 ? 0 : std::pow(10.0, decade);
    const std::string y = Fixed(y_of(value));
    svg += "<line x1=\"" + Number(kLeft) + "\" x2=\"" + Number(kWidth - kRight) + "\" y1=\"" + y +
           "\" y2=\"" + y + "\" class=\"grid\"/>";
    svg += "<text x=\"" + Number(kLeft - 6) + "\" y=\"" + y +
           "\" class=\"axis\" text-anchor=\"end\" dominant-baseline=\"middle\">" +
           std::to_string(static_cast<long long>(value)) + "</text>";
  }
  const std::size_t bins = counts.size();
  const std::string bottom = Fixed(base + 18);
  const long long last_value = static_cast<long long>(bins) * bin_width - 1;
  svg += "<text x=\"" + Number(kLeft) + "\" y=\"" + bottom + "\" class=\"axis\">value 0</text>";
  svg += "<text x=\"" + Number(kWidth - kRight) + "\" y=\"" + bottom +
         "\" class=\"axis\" text-anchor=\"end\">" + std::to_string(last_value) + "</text>";
  std::string path;
  const double bar = bins > 0 ? plot_w / static_cast<double>(bins) : plot_w;
  for (std::size_t i = 0; i < bins; ++i) {
    if (counts[i] == 0) continue;
    path += "M" + Fixed(kLeft + bar * static_cast<double>(i)) + "," + Fixed(base) + "V" +
            Fixed(y_of(counts[i])) + "h" + Fixed(bar) + "V" + Fixed(base) + "Z";
  }
  svg += "<path class=\"bars\" fill=\"#1f5fbf\" d=\"" + path + "\"/></svg>";
  return svg;
}

}  // namespace fp
