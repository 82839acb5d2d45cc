#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numeric>
#include <vector>

#include "ipp.h"
#include "targets.h"
#include "test_plane.h"

namespace {

using prim_test::TestPlane;

int Clamp(int v, int hi) { return std::min(std::max(v, 0), hi); }

// Separable Gaussian in double, edges repeated outward.
std::vector<double> GaussReference(const TestPlane& src, int k, double sigma) {
  const int w = src.width, h = src.height;
  std::vector<double> taps(k), rows(size_t(w) * h), out(rows.size());
  double sum = 0;
  for (int i = 0; i < k; ++i)
    sum += taps[i] = std::exp(-(i - k / 2) * (i - k / 2) / (2 * sigma * sigma));
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x)
      for (int i = 0; i < k; ++i)
        rows[y * w + x] += taps[i] / sum * src.at(Clamp(x + i - k / 2, w - 1), y);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x)
      for (int i = 0; i < k; ++i)
        out[y * w + x] += taps[i] / sum * rows[Clamp(y + i - k / 2, h - 1) * w + x];
  return out;
}

// Filters src into dst (which may be src) with a buffer of exactly the
// queried size, unaligned and with guard bytes behind it.
void RunGauss(const TestPlane& src, TestPlane& dst, int k, float sigma) {
  int bytes = 0;
  ASSERT_EQ(ippiFilterGaussGetBufferSize_32f_C1R(src.size(), k, &bytes), ippStsNoErr);
  std::vector<Ipp8u> buffer(bytes + 1 + 64, 0xA5);
  ASSERT_EQ(ippiFilterGaussBorder_32f_C1R(src.p(), src.step(), dst.p(), dst.step(), src.size(), k,
                                          sigma, ippBorderRepl, 0, buffer.data() + 1),
            ippStsNoErr);
  ASSERT_TRUE(
      std::all_of(buffer.begin() + 1 + bytes, buffer.end(), [](Ipp8u b) { return b == 0xA5; }));
}

// Values in [0, 1] come within 1e-6 of the double-precision filter on
// every code path, in place too, over awkward widths, over heights that
// span several bands of the column pass and blocks of the row pass, and
// over a region wide enough to go through tiles side by side.
TEST(FilterGauss, MatchesDoubleReferenceInAndOutOfPlaceOnEveryTarget) {
  const std::pair<int, float> kernels[] = {
      {3, 0.5f}, {5, 1.3f}, {13, 2.0f}, {121, 20.0f}, {1001, 3.0f}};
  constexpr int kWide = 4700;
  std::vector<int> widths(70);
  std::iota(widths.begin(), widths.end(), 1);
  widths.push_back(kWide);
  for (int width : widths) {
    const int height = width == kWide ? 28 : width % 23 == 0 ? 150 + width : 1 + (width * 7) % 12;
    TestPlane src(width, height, width % 5);
    src.Fill([](int x, int y) { return 0.5 + 0.45 * std::sin(1.7 * x + 0.3 * x * y + 2.1 * y); });
    for (auto [k, sigma] : kernels) {
      if (k == 1001 && width % 10 != 0) continue;  // slow reference
      if (width == kWide && k != 13 && k != 121) continue;
      const std::vector<double> want = GaussReference(src, k, sigma);
      for (long long target : prim_test::Targets()) {
        prim_test::ForcedTarget forced(target);
        TestPlane dst(width, height, 2 + width % 3), same = src;
        RunGauss(src, dst, k, sigma);
        RunGauss(same, same, k, sigma);
        for (int y = 0; y < height; ++y)
          for (int x = 0; x < width; ++x) {
            ASSERT_NEAR(dst.at(x, y), want[y * width + x], 1e-6)
                << width << "x" << height << " K " << k << " at " << x << "," << y;
            ASSERT_EQ(same.at(x, y), dst.at(x, y)) << "in place";
          }
        ASSERT_TRUE(dst.GuardsIntact() && same.GuardsIntact());
      }
    }
  }
}

// The source holds K - 1 - anchor pixels before each output position and
// anchor after it, in both directions.
TEST(SeparableFilters, MatchDirectConvolutionOnEveryTarget) {
  const float taps[] = {0.5f, -0.25f, 2.0f, 0.125f, 1.0f, -1.5f, 0.75f};
  for (long long target : prim_test::Targets())
    for (int width = 1; width <= 70; ++width)
      for (int k : {1, 2, 3, 4, 7})
        for (int anchor : {0, k / 2, k - 1}) {
          prim_test::ForcedTarget forced(target);
          const int height = 1 + width % 4, before = k - 1 - anchor;
          TestPlane src(width + k - 1, height + k - 1, width % 3),
              row(width, height, 1 + width % 2), col(width, height);
          src.Fill([](int x, int y) { return std::cos(0.9 * x + 1.7 * y); });
          ASSERT_EQ(ippiFilterRow_32f_C1R(&src.at(before, 0), src.step(), row.p(), row.step(),
                                          row.size(), taps, k, anchor),
                    ippStsNoErr);
          ASSERT_EQ(ippiFilterColumn_32f_C1R(&src.at(0, before), src.step(), col.p(), col.step(),
                                             col.size(), taps, k, anchor),
                    ippStsNoErr);
          for (int y = 0; y < height; ++y)
            for (int x = 0; x < width; ++x) {
              double wantRow = 0, wantCol = 0;
              for (int i = 0; i < k; ++i) {
                wantRow += taps[i] * double(src.at(x + before + anchor - i, y));
                wantCol += taps[i] * double(src.at(x, y + before + anchor - i));
              }
              ASSERT_NEAR(row.at(x, y), wantRow, 1e-5)
                  << width << " K " << k << " anchor " << anchor;
              ASSERT_NEAR(col.at(x, y), wantCol, 1e-5)
                  << width << " K " << k << " anchor " << anchor;
            }
          ASSERT_TRUE(row.GuardsIntact() && col.GuardsIntact());
        }
}

TEST(SeparableFilters, ShiftKernelMovesOnePixel) {
  const float shift[3] = {0, 0, 1};
  TestPlane src(6, 5), row(4, 5), col(6, 3);
  src.Fill([](int x, int y) { return 10 * y + x; });
  ASSERT_EQ(ippiFilterRow_32f_C1R(&src.at(1, 0), src.step(), row.p(), row.step(), row.size(), shift,
                                  3, 1),
            0);
  ASSERT_EQ(ippiFilterColumn_32f_C1R(&src.at(0, 1), src.step(), col.p(), col.step(), col.size(),
                                     shift, 3, 1),
            0);
  for (int y = 0; y < 5; ++y)  // dst(x) = s(x - 1), s starting at column (row) 1
    for (int x = 0; x < 6; ++x) {
      EXPECT_TRUE(x >= 4 || row.at(x, y) == src.at(x, y)) << x << "," << y;
      EXPECT_TRUE(y >= 3 || col.at(x, y) == src.at(x, y)) << x << "," << y;
    }
}

TEST(CopyReplicateBorder, FillsTheFrameWithTheNearestEdgePixel) {
  for (int sw : {1, 5, 9})
    for (int sh : {1, 4})
      for (auto [top, left] : {std::pair{0, 0}, {2, 0}, {0, 3}, {2, 3}}) {
        TestPlane src(sw, sh, 2), dst(sw + left + 2, sh + top + 1, 1);
        src.Fill([](int x, int y) { return 100 * y + x; });
        ASSERT_EQ(ippiCopyReplicateBorder_32f_C1R(src.p(), src.step(), src.size(), dst.p(),
                                                  dst.step(), dst.size(), top, left),
                  ippStsNoErr);
        for (int y = 0; y < dst.height; ++y)
          for (int x = 0; x < dst.width; ++x)
            ASSERT_EQ(dst.at(x, y), src.at(Clamp(x - left, sw - 1), Clamp(y - top, sh - 1)))
                << sw << "x" << sh << " top " << top << " left " << left << " at " << x << "," << y;
        ASSERT_TRUE(dst.GuardsIntact());
      }
}

}  // namespace
