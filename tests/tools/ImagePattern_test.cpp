#include "tools/camsim/ImagePattern.h"

#include "nudp/NudpProtocol.h"
#include "tools/camsim/SimulatorOptions.h"
#include "tools/camsim/StreamPlan.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <vector>

namespace fp {
namespace {

TEST(ImagePattern, BytesAreTheLittleEndianWordsOfTheFormula) {
  // Word 1 of image 2: 0x9E3779B1 + 2 * 0x01000193 = 0xA0377CD7.
  EXPECT_EQ(ImagePatternWord(2, 1), 0xA0377CD7u);
  EXPECT_EQ(ExpectedImageByte(2, 4), 0xD7);
  EXPECT_EQ(ExpectedImageByte(2, 5), 0x7C);
  EXPECT_EQ(ExpectedImageByte(2, 6), 0x37);
  EXPECT_EQ(ExpectedImageByte(2, 7), 0xA0);
  EXPECT_EQ(ImagePatternWord(0, 0), 0u);
  // Read backwards, a word names its image wherever it stands.
  for (const std::uint32_t k : {0u, 1u, 2u, 77u, 0xFFFFFFFFu}) {
    for (const std::uint64_t w : {std::uint64_t{0}, std::uint64_t{1}, std::uint64_t{2111487}}) {
      EXPECT_EQ(ImageNumberOfWord(ImagePatternWord(k, w), w), k) << k << " " << w;
    }
  }
}

TEST(ImagePattern, FillAgreesWithTheByteFunctionAtAnyAlignment) {
  std::vector<std::uint8_t> out(1031);
  for (std::uint64_t offset : {std::uint64_t{0}, std::uint64_t{3}, std::uint64_t{0x3EC00},
                               std::uint64_t{RAW_IMAGE_SIZE - 1031}}) {
    FillImageBytes(5, offset, out.data(), out.size());
    for (std::size_t i = 0; i < out.size(); ++i) {
      ASSERT_EQ(out[i], ExpectedImageByte(5, offset + i)) << offset << "+" << i;
    }
  }
}

TEST(ImagePattern, ChangesFromImageToImageAndAcrossPackets) {
  std::vector<std::uint8_t> a(1024), b(1024), c(1024);
  FillImageBytes(1, 251 * 1024, a.data(), a.size());
  FillImageBytes(2, 251 * 1024, b.data(), b.size());
  FillImageBytes(1, 252 * 1024, c.data(), c.size());
  EXPECT_NE(a, b);
  EXPECT_NE(a, c);
  for (std::uint64_t w = 0; w < 256; ++w) {
    EXPECT_NE(ImagePatternWord(1, 251 * 256 + w), ImagePatternWord(2, 251 * 256 + w));
  }
}

TEST(PlanStream, WithoutFaultsSendsEveryPacketInOrder) {
  const std::vector<int> plan = PlanStream(SimulatorOptions{}, 1);
  ASSERT_EQ(plan.size(), 8248u);
  for (int i = 0; i < 8248; ++i) ASSERT_EQ(plan[static_cast<std::size_t>(i)], i);
}

TEST(PlanStream, StopAfterCountsPacketsOfTheSendingOrderBeforeDrops) {
  SimulatorOptions o;
  o.last_first = true;
  o.stop_after = 3;
  o.drop = {0};
  EXPECT_EQ(PlanStream(o, 1), (std::vector<int>{8247, 1}));
}

TEST(PlanStream, ForgedCopyGoesJustBeforeItsPacketUnlessThatIsDropped) {
  SimulatorOptions o;
  o.stop_after = 4;
  o.forge = {1, 2};
  o.drop = {2};
  const std::vector<int> plan = PlanStream(o, 1);
  EXPECT_EQ(plan, (std::vector<int>{0, ForgedEntry(1), 1, 3}));
  EXPECT_TRUE(IsForged(plan[1]));
  EXPECT_EQ(PacketOfEntry(plan[1]), 1);
  EXPECT_EQ(PacketOfEntry(plan[2]), 1);
}

TEST(PlanStream, LastFirstStaysFirstWhenReordered) {
  SimulatorOptions o;
  o.last_first = true;
  o.reorder = 16;
  for (std::uint32_t image : {1u, 2u, 3u}) {
    const std::vector<int> plan = PlanStream(o, image);
    ASSERT_EQ(plan.size(), 8248u);
    EXPECT_EQ(plan[0], 8247) << image;
    // The others are shuffled within windows of 16 of their own order.
    const std::vector<int> rest(plan.begin() + 1, plan.end());
    EXPECT_FALSE(std::is_sorted(rest.begin(), rest.end()));
    for (std::size_t i = 0; i < rest.size(); ++i) {
      ASSERT_EQ(static_cast<std::size_t>(rest[i]) / 16, i / 16) << image << " " << i;
    }
  }
}

TEST(PlanStream, RandomFaultsDependOnSeedAndImage) {
  SimulatorOptions o;
  o.loss = 0.2;
  o.duplicate = 0.2;
  o.reorder = 5;
  const std::vector<int> plan = PlanStream(o, 1);
  EXPECT_EQ(PlanStream(o, 1), plan);
  EXPECT_NE(PlanStream(o, 2), plan);
  const std::set<int> distinct(plan.begin(), plan.end());
  EXPECT_LT(distinct.size(), 8248u * 9 / 10);
  EXPECT_GT(plan.size(), distinct.size());
  o.loss = 1.0;
  EXPECT_TRUE(PlanStream(o, 1).empty());
}

}  // namespace
}  // namespace fp
