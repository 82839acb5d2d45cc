#include <algorithm>
#include <cmath>
#include <limits>

#include "image_test_util.h"

namespace {

// An invertible pair with offsets: kUntwist undoes kTwist.
const float kTwist[3][4] = {{1, 1, 0, 0.5f}, {0, 1, 1, 0}, {0, 0, 1, -0.25f}};
const float kUntwist[3][4] = {{1, -1, 1, -0.25f}, {0, 1, -1, -0.25f}, {0, 0, 1, 0.25f}};

TEST(ImageTwist, ForwardRoundTripAndGrowth) {
  KoImage rgb(kSize, 3), one(kSize, 1), four(kSize, 4), yuv;
  Fill(rgb, Pattern);
  EXPECT_EQ(yuv = rgb.ColorTwist_R(&kTwist), ippStsNoErr);
  const PixelFn forward = [](int p, int x, int y) {
    return kTwist[p][0] * Pattern(0, x, y) + kTwist[p][1] * Pattern(1, x, y) +
           kTwist[p][2] * Pattern(2, x, y) + kTwist[p][3];
  };
  ExpectPlanes(yuv, forward, 1e-6f);
  ExpectPlanes(KoImage(yuv.ColorTwist_R(&kUntwist)), Pattern, 1e-5f);

  float* plane0 = one.layers[0];
  one = rgb.ColorTwist_R(&kTwist);
  ASSERT_EQ(one.numLayers, 3);
  EXPECT_EQ(one.layers[0], plane0);
  ExpectPlanes(one, forward, 1e-6f);
  EXPECT_EQ(KoImage(four.ColorTwist_R(&kTwist)).numLayers, 4);

  // A destination narrower than the source has a step of its own.
  KoImage wide(IppiSize{30, kSize.height}, 3), narrow(kSize, 3);
  Fill(wide, Pattern);
  ASSERT_NE(wide.steps[0], narrow.steps[0]);
  narrow = wide.ColorTwist_R(&kTwist);
  ExpectPlanes(narrow, forward, 1e-6f);

  KoImage view = four.Layer1();  // refused: a side with fewer than three planes
  EXPECT_LT(view = rgb.ColorTwist_R(&kTwist), 0);
  EXPECT_LT(four = view.ColorTwist_R(&kTwist), 0);
  EXPECT_EQ(four.numLayers, 4);
}

// The blur equals the Gaussian primitive with the expected kernel size.
TEST(ImageBlur, KernelSizeFromSigma) {
  const struct {
    float sigma;
    int kernelSize;
  } cases[] = {{0.5f, 3}, {2.0f, 13}, {20.0f, 121}, {1.0f / 3.0f, 3}};
  const IppiSize size{30, 30};
  KoImage source(size, 2);
  Fill(source, [](int p, int x, int y) { return static_cast<float>((x * 7 + y * 3 + p) % 11); });
  for (const auto& c : cases) {
    SCOPED_TRACE(c.sigma);
    KoImage expected(size, 2);
    int bytes = 0;
    ippiFilterGaussGetBufferSize_32f_C1R(size, c.kernelSize, &bytes);
    auto* buffer = static_cast<Ipp8u*>(ippMalloc(bytes));
    for (int p = 0; p < 2; ++p)
      ippiFilterGaussBorder_32f_C1R(source.layers[p], source.steps[p], expected.layers[p],
                                    expected.steps[p], size, c.kernelSize, c.sigma, ippBorderRepl,
                                    0.0f, buffer);
    ippFree(buffer);
    ExpectPlanes(KoImage(source.Blurred_R(c.sigma)),
                 [&](int p, int x, int y) { return At(expected, p, x, y); });
  }
}

TEST(ImageBlur, SmallOrBadSigmaThrowsAfterAllocating) {
  const KoImage source(kSize, 3);
  for (float sigma : {0.3f, 0.0f, -1.0f, std::numeric_limits<float>::quiet_NaN(),
                      std::nextafter(1.0f / 3.0f, 0.0f), 4e8f}) {
    SCOPED_TRACE(sigma);
    KoImage blurred, highPassed;
    EXPECT_THROW(blurred = source.Blurred_R(sigma), NO_MEMORY_ERROR);
    EXPECT_THROW(highPassed = source.HighPassFilter(sigma), NO_MEMORY_ERROR);
    EXPECT_EQ(blurred.numLayers, 3);
    EXPECT_EQ(highPassed.numLayers, 3);
  }
}

TEST(ImageThresholdAndLog, RulesAndPlaneCounts) {
  const float in[] = {0.2f, 0.5f, 0.7f, std::numeric_limits<float>::quiet_NaN(), 0.0f};
  const float masked[] = {0, 0.5f, 1, 0, 0};
  const PixelFn want = [&](int, int x, int) { return masked[x]; };
  KoImage source(IppiSize{5, 1}, 3), mask, one(source.size, 1);
  Fill(source, [&](int, int x, int) { return in[x]; });
  mask = source.Threshold(0.5f, 0.0f, 0.5f, 1.0f);
  mask = source.Threshold(1.0f, 0.0f, 0.0f, 1.0f);  // refused
  ExpectPlanes(mask, want);
  one = source.Log();
  ExpectPlanes(
      one, [&](int, int x, int) { return std::log(in[x]); }, 1e-6f);
  EXPECT_EQ(KoImage(source.Log()).numLayers, 3);
}

// sum over i, j of taps[i] taps[j] S(x + anchor - i, y + anchor - j) in
// double, coordinates outside the plane moved to the nearest edge.
double Filtered(const KoImage& source, int p, int x, int y, const float* taps, int size,
                int anchor) {
  const IppiSize s = source.size;
  double sum = 0;
  for (int i = 0; i < size; ++i)
    for (int j = 0; j < size; ++j)
      sum += double(taps[i]) * taps[j] *
             At(source, p, std::clamp(x + anchor - i, 0, s.width - 1),
                std::clamp(y + anchor - j, 0, s.height - 1));
  return sum;
}

// A one-plane source works on a view of the destination's plane 0, and a
// contrast of 0 leaves the division by v(1) - v(0) = 0 refused.
TEST(ImageSigmoid, OnePlaneSourcesAndZeroContrast) {
  const float in[] = {0.0f, 0.25f, 0.5f, 1.0f};
  KoImage source(IppiSize{4, 2}, 1), three(source.size, 3);
  Fill(source, [&](int, int x, int) { return in[x]; });
  Fill(three, Pattern);
  three = source.SigmoidalCurve_R(10.0f, 0.5f);
  const auto v = [](double x) { return 1.0 / (1.0 + std::exp(-10.0 * (x - 0.5))); };
  ExpectPlanes(
      three, [&](int, int x, int) { return static_cast<float>((v(in[x]) - v(0)) / (v(1) - v(0))); },
      1e-6f, 0, 1);
  ExpectPlanes(three, Pattern, 0, 1);
  ExpectPlanes(KoImage(source.SigmoidalCurve_R(0.0f, 0.5f)), Flat(0.0f), 1e-7f);
}

// Each plane of a three-plane, non-flat image goes through its own
// constants and its own run: against a double evaluation per plane.
TEST(ImageHighPassAndSigmoid, ThreePlanesMatchADoubleEvaluation) {
  KoImage source(kSize, 3);
  Fill(source, [](int p, int x, int y) { return Pattern(p, x, y) + 0.3f * ((x * 5 + y) % 4); });

  const double c = 4.0, m = 0.3;
  const auto v = [&](double x) { return 1.0 / (1.0 + std::exp(-c * (x - m))); };
  ExpectPlanes(
      KoImage(source.SigmoidalCurve_R(float(c), float(m))),
      [&](int p, int x, int y) {
        return static_cast<float>((v(At(source, p, x, y)) - v(0)) / (v(1) - v(0)));
      },
      1e-5f);

  const float sigma = 1.0f;  // 2 trunc(3 sigma) + 1 = 7 taps
  const auto g = [&](int i) { return std::exp(-(i - 3) * (i - 3) / (2.0 * sigma * sigma)); };
  float taps[7];
  double sum = 0;
  for (int i = 0; i < 7; ++i) sum += g(i);
  for (int i = 0; i < 7; ++i) taps[i] = static_cast<float>(g(i) / sum);
  ExpectPlanes(
      KoImage(source.HighPassFilter(sigma)),
      [&](int p, int x, int y) {
        const double blur = Filtered(source, p, x, y, taps, 7, 3);
        return static_cast<float>(0.5 + 0.5 * (At(source, p, x, y) - blur));
      },
      1e-5f);
}

TEST(ImageBlend, Identities) {
  KoImage half(kSize, 2), zero(kSize, 2), one(kSize, 2), b(kSize, 2);
  Fill(half, Flat(0.5f));
  Fill(zero, Flat(0.0f));
  Fill(one, Flat(1.0f));
  Fill(b, Pattern);
  ExpectPlanes(KoImage(BlendMode(half, b, 0.0f)), Pattern, 1e-6f);
  ExpectPlanes(KoImage(BlendMode(one, one, 7.0f)), Flat(2.0f));
  ExpectPlanes(KoImage(BlendMode(zero, zero, -3.0f)), Flat(-1.0f));
}

// Plane 0 of the filter's result against a double sum with clamped coordinates.
void ExpectFiltered(const KoImage& source, const Kernel& k, const KoImage& result) {
  ExpectPlanes(
      result,
      [&](int p, int x, int y) {
        return static_cast<float>(Filtered(source, p, x, y, k.taps, k.kernelSize, k.anchor));
      },
      1e-5f, 0, 1);
}

TEST(ImageFilter, MatchesReferenceOverWidths) {
  const float taps[] = {0.1f, -0.2f, 0.5f, 0.3f, 0.3f}, shift[] = {0, 0, 1}, scale[] = {1.5f};
  const float smooth[] = {0.25f, 0.5f, 0.25f};
  const Kernel kernels[] = {
      {2, 5, taps}, {1, 3, shift}, {0, 1, scale}, {3, 2, taps}, {1, 3, smooth}};
  for (int width = 1; width <= 70; ++width) {
    for (const Kernel& k : kernels) {
      SCOPED_TRACE(testing::Message() << "width " << width << " anchor " << k.anchor);
      KoImage source(IppiSize{width, 1 + width % 5}, 1);
      Fill(source, [](int, int x, int y) { return static_cast<float>((x * 5 + y * 3) % 7); });
      ExpectFiltered(source, k, KoImage(source.Filter(k)));
    }
  }
}

TEST(ImageFilter, RefusedKernelsAndExtraPlanes) {
  const float taps[] = {0.25f, 0.5f, 0.25f};
  const Kernel smooth{1, 3, taps};
  KoImage source(kSize, 1), destination(kSize, 2);
  Fill(source, Pattern);
  Fill(destination, Other);
  for (const Kernel& bad : {Kernel{0, 3, taps}, Kernel{-1, 1, taps}, Kernel{1, 0, taps}}) {
    destination = source.Filter(bad);
    ExpectPlanes(destination, Other);
  }
  destination = source.Filter(smooth);
  ExpectFiltered(source, smooth, destination);
  ExpectPlanes(destination, Other, 0, 1);
}

}  // namespace
