#include "framegrab/views/SvgChart.h"

#include "framegrab/views/HtmlText.h"
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace fp::test {
namespace {

TEST(SvgChart, LineChartGroupsImagesBeyondItsRoom) {
  const std::vector<std::pair<std::size_t, std::string>> cases = {
      {600, "aria-label=\"Image time\""},
      {601, "aria-label=\"Image time (largest of each 2 images)\""},
      {6000, "aria-label=\"Image time (largest of each 10 images)\""}};
  for (const auto& [images, label] : cases) {
    const std::string svg =
        SvgLineChart("Image time", "ms", {{"t", "red", std::vector<double>(images, 3), false}});
    EXPECT_NE(svg.find(label), std::string::npos) << images;
  }
}

TEST(SvgChart, HistogramBarsOnALogarithmicScaleAndTextEscaped) {
  std::vector<std::uint32_t> counts(256, 0);
  counts[0] = 1;
  counts[255] = 999999;
  const std::string svg = SvgHistogram("Samples of <image> 3", counts, 256);
  EXPECT_NE(svg.find("aria-label=\"Samples of &lt;image&gt; 3\""), std::string::npos) << svg;
  // Two bars: a count of 1 stands a little above the base line (190), the largest reaches the
  // top of six decades (30).
  EXPECT_NE(svg.find("d=\"M56.0,190.0V182.0h2.2V190.0ZM625.8,190.0V30.0h2.2V190.0Z\""),
            std::string::npos)
      << svg;
  EXPECT_NE(svg.find(">1000000</text>"), std::string::npos) << svg;
  EXPECT_NE(svg.find(">65535</text>"), std::string::npos) << svg;
}

TEST(HtmlText, Base64PadsTheLastGroup) {
  EXPECT_EQ(Base64("framegrab"), "ZnJhbWVncmFi");
  EXPECT_EQ(Base64("fr"), "ZnI=");
}

}  // namespace
}  // namespace fp::test
