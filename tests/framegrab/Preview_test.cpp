// The live page's preview: the picture and its note, the buffers images come in and the worker
// that makes previews of them.

#include "nudp/NudpProtocol.h"

#include "framegrab/acquire/ImagePool.h"
#include "framegrab/write/MakePreview.h"
#include "framegrab/write/PreviewWorker.h"
#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <vector>

namespace fp::test {
namespace {

TEST(Preview, StretchesTheMiddleOfTheSamplesAndSaysSo) {
  // Image rows of 2048 samples, each sample its column number times 16 (0 to 32752).
  std::vector<std::uint8_t> raw(RAW_IMAGE_SIZE);
  for (std::size_t s = 0; s < RAW_IMAGE_SIZE / 2; ++s) {
    const auto value = static_cast<std::uint16_t>((s % 2048) * 16);
    raw[2 * s] = static_cast<std::uint8_t>(value & 0xFF);
    raw[2 * s + 1] = static_cast<std::uint8_t>(value >> 8);
  }
  const Preview p = MakePreview(raw.data(), 2048, 7);
  EXPECT_EQ(p.Note(),
            "image 7: 2048 x 2062 samples shown as 512 x 515 pixels, each the mean of 4 "
            "x 4 samples; 8-bit, contrast stretched: 152 and below black, 32600 and "
            "above white (the 0.5% and 99.5% points)");
  EXPECT_EQ(p.png.substr(1, 3), "PNG");
  EXPECT_TRUE(MakePreview(raw.data(), 2048, 8, 13)
                  .Note()
                  .starts_with("image 8 (INCOMPLETE: 13 packets missing, shown as zeros): 2048 "
                               "x 2062 samples"));
}

// Every width that divides the image, beyond those framegrab takes too, gives a preview inside
// the image (the sanitizers watch the reads) of the size the note says; a PNG as long as it is
// no more than a million pixels wide.
TEST(Preview, AnyWidthStaysInsideTheImage) {
  const std::vector<std::uint8_t> raw(RAW_IMAGE_SIZE, 0x11);
  struct Case {
    int width;
    int shown_width;
    int shown_height;
    bool png;
  };
  const std::vector<Case> cases = {{8, 8, 527872, true},
                                   {2048, 512, 515, true},
                                   {32992, 507, 1, true},
                                   {65984, 1031, 1, true},
                                   {4222976, 4222976, 1, false}};
  for (const Case& c : cases) {
    const Preview p = MakePreview(raw.data(), c.width, 1);
    EXPECT_EQ(p.width, c.shown_width) << c.width;
    EXPECT_EQ(p.height, c.shown_height) << c.width;
    EXPECT_EQ(p.png.substr(0, 4) == "\x89PNG", c.png) << c.width;
  }
}

TEST(ImagePool, LendsEachBufferOnceUntilItComesBack) {
  ImagePool pool(2);
  std::shared_ptr<std::uint8_t[]> image = pool.Take();
  ASSERT_TRUE(pool.Take());  // the second, back on the shelf at once
  std::shared_ptr<std::uint8_t[]> other = pool.Take();
  EXPECT_FALSE(pool.Take());  // both out
  other.reset();
  EXPECT_TRUE(pool.Take());
}

TEST(PreviewWorker, ShowsTheLastImageFromBuffersOfThePool) {
  ImagePool pool(1);
  std::shared_ptr<std::uint8_t[]> image = pool.Take();
  ASSERT_TRUE(image);

  PreviewWorker preview(2048);
  EXPECT_FALSE(preview.Latest());
  ASSERT_TRUE(preview.WantsImage());
  preview.Offer(image, 599);
  EXPECT_FALSE(preview.WantsImage());  // busy, or too soon after
  preview.Finish(image, 600);
  ASSERT_TRUE(preview.Latest());
  EXPECT_EQ(preview.Latest()->image, 600);
  EXPECT_EQ(preview.LatestImage(), image);
}

}  // namespace
}  // namespace fp::test
