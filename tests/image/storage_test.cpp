#include <memory>

#include "image_test_util.h"

namespace {

TEST(ImageStorage, KindsAndAllocation) {
  const KoImage empty;
  EXPECT_EQ(empty.numLayers, 0);
  EXPECT_EQ(empty.layers, nullptr);
  EXPECT_TRUE(empty.ownsLayers);
  EXPECT_EQ(KoImage(kSize, 0).numLayers, 0);
  const KoImage owning(IppiSize{100, 2}, 3);
  ASSERT_EQ(owning.numLayers, 3);
  for (int p = 0; p < 3; ++p) EXPECT_EQ(owning.steps[p], 448);
  EXPECT_THROW(KoImage(IppiSize{0, 4}, 3), NO_MEMORY_ERROR);
  EXPECT_THROW(KoImage(IppiSize{4, 0}, 3), NO_MEMORY_ERROR);
}

TEST(ImageStorage, CopiesOwnAndViewsShare) {
  KoImage source(kSize, 3), one(kSize, 1);
  Fill(source, Pattern);
  Fill(one, Other);
  auto copy = std::make_unique<KoImage>(source);
  At(*copy, 1, 2, 3) = 99;
  EXPECT_EQ(At(source, 1, 2, 3), Pattern(1, 2, 3));
  const KoImage survivor(*copy);
  copy.reset();
  EXPECT_EQ(At(survivor, 1, 2, 3), 99);
  {
    KoImage view = source.Layer1();
    EXPECT_FALSE(view.ownsLayers);
    EXPECT_EQ(view.numLayers, 1);
    EXPECT_EQ(view.layers, source.layers);
    EXPECT_EQ(view.steps, source.steps);
    KoImage ofView(view);  // an owning copy of plane 0
    EXPECT_TRUE(ofView.ownsLayers);
    At(ofView, 0, 0, 0) = 99;
    const KoImage fromView(view * 2.0f);
    EXPECT_EQ(fromView.numLayers, 1);
    EXPECT_TRUE(fromView.ownsLayers);
    view = -one;  // writes the source's plane 0
    view += 1.0f;
  }
  ExpectPlanes(
      source, [](int, int x, int y) { return 1.0f - Other(0, x, y); }, 0, 0, 1);
  ExpectPlanes(source, Pattern, 0, 1);
}

TEST(ImageStorage, ExpendAndAssignment) {
  KoImage image(kSize, 1);
  Fill(image, Pattern);
  float* plane0 = image.layers[0];
  image.Expend(KoImage(IppiSize{200, 1}, 3));
  ASSERT_EQ(image.numLayers, 3);
  EXPECT_EQ(image.layers[0], plane0);
  EXPECT_EQ(image.steps[2], image.steps[0]);  // this image's 13 floats, not 200
  ExpectPlanes(image, Pattern, 0, 0, 1);
  float* plane2 = image.layers[2];
  image.Expend(KoImage(kSize, 3));
  EXPECT_EQ(image.layers[2], plane2);

  KoImage empty, existing(kSize, 3);
  float* kept = existing.layers[1];
  Fill(image, Pattern);
  empty = image;
  existing = image;
  EXPECT_EQ(empty.numLayers, 3);
  EXPECT_EQ(existing.layers[1], kept);
  ExpectPlanes(empty, Pattern);
  ExpectPlanes(existing, Pattern);
}

}  // namespace
