// Every vectorised code path against the scalar twins of its row kernels,
// over awkward widths and steps, with guard floats that must stay intact.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <functional>
#include <limits>
#include <vector>

#include "ipp.h"
#include "ipp_testing.h"
#include "kernels.h"
#include "primitive_table.h"
#include "targets.h"
#include "test_plane.h"

namespace {

namespace twin = ipp_kernels::scalar;
using prim_test::TestPlane;

// Values of every kind: normal over a wide range of magnitudes and both
// signs, denormals, zeros of both signs, infinities and NaN.
float Awkward(int x, int y, int salt) {
  const std::uint32_t h = (std::uint32_t(x) * 2654435761u) ^ (std::uint32_t(y + salt) * 40503u);
  switch (h % 23) {
    case 0:
      return std::numeric_limits<float>::quiet_NaN();
    case 1:
      return (h & 64) ? std::numeric_limits<float>::infinity()
                      : -std::numeric_limits<float>::infinity();
    case 2:
      return (h & 64) ? 0.0f : -0.0f;
    case 3:
      return std::ldexp(float(h % 1000 + 1), -140);  // denormal
    default: {
      const float v = std::ldexp(1.0f + float(h % 4093) / 4096.0f, int(h / 23 % 60) - 30);
      return (h & 128) ? -v : v;
    }
  }
}

// Distance in representable floats; NaN matches NaN only.
std::int64_t Ulps(float a, float b) {
  if (std::isnan(a) || std::isnan(b)) return std::isnan(a) && std::isnan(b) ? 0 : INT64_MAX;
  auto ordinal = [](float f) {
    std::int32_t i;
    std::memcpy(&i, &f, sizeof i);
    return i < 0 ? -std::int64_t(i & 0x7fffffff) : std::int64_t(i);
  };
  return std::llabs(ordinal(a) - ordinal(b));
}

// A row of the scalar twin: a is the source row, b the second source (or
// the destination's starting content for an in-place form).
using TwinRow = std::function<void(const float* a, const float* b, float* out, int width)>;

struct Case {
  const char* primitive;  // in primitive_table.h, called with its default arguments
  TwinRow twin;
  std::int64_t ulps = 0;  // 0: bit for bit
};

const Case kCases[] = {
    {"Copy", [](const float* a, const float*, float* o, int w) { twin::CopyRow(a, o, w); }},
    {"AddC_IR", [](const float*, const float* b, float* o, int w) { twin::AddCRow(b, 2, o, w); }},
    {"SubC_IR", [](const float*, const float* b, float* o, int w) { twin::SubCRow(b, 2, o, w); }},
    {"MulC_IR", [](const float*, const float* b, float* o, int w) { twin::MulCRow(b, 2, o, w); }},
    {"DivC_IR",
     [](const float*, const float* b, float* o, int w) { twin::MulCRow(b, 0.5f, o, w); }},
    {"AddC_R", [](const float* a, const float*, float* o, int w) { twin::AddCRow(a, 2, o, w); }},
    {"SubC_R", [](const float* a, const float*, float* o, int w) { twin::SubCRow(a, 2, o, w); }},
    {"MulC_R", [](const float* a, const float*, float* o, int w) { twin::MulCRow(a, 2, o, w); }},
    {"DivC_R", [](const float* a, const float*, float* o, int w) { twin::MulCRow(a, 0.5f, o, w); }},
    {"Add_IR", [](const float* a, const float* b, float* o, int w) { twin::AddRow(a, b, o, w); }},
    {"Sub_IR", [](const float* a, const float* b, float* o, int w) { twin::SubRow(a, b, o, w); }},
    {"Mul_IR", [](const float* a, const float* b, float* o, int w) { twin::MulRow(a, b, o, w); }},
    {"Add_R", [](const float* a, const float* b, float* o, int w) { twin::AddRow(a, b, o, w); }},
    {"Sub_R", [](const float* a, const float* b, float* o, int w) { twin::SubRow(a, b, o, w); }},
    {"Mul_R", [](const float* a, const float* b, float* o, int w) { twin::MulRow(a, b, o, w); }},
    {"Div_R", [](const float* a, const float* b, float* o, int w) { twin::DivRow(a, b, o, w); }},
    {"Threshold_IR", [](const float*, const float* b, float* o,
                        int w) { twin::ThresholdRow(b, o, w, 0, -5, 1, 5); }},
    {"Threshold_R", [](const float* a, const float*, float* o,
                       int w) { twin::ThresholdRow(a, o, w, 0, -5, 1, 5); }},
    // exp and ln: each within 1 ULP of the exact value, so within 2 of each other.
    {"Exp_IR", [](const float*, const float* b, float* o, int w) { twin::ExpRow(b, o, w); }, 2},
    {"Ln_IR", [](const float*, const float* b, float* o, int w) { twin::LnRow(b, o, w); }, 2},
    {"Ln_R", [](const float* a, const float*, float* o, int w) { twin::LnRow(a, o, w); }, 2},
};

TEST(Dispatch, ElementWiseMatchScalarTwinsOnEveryTarget) {
  for (long long target : prim_test::Targets()) {
    prim_test::ForcedTarget forced(target);
    for (const Case& c : kCases) {
      const prim_test::Primitive& prim = prim_test::Find(c.primitive);
      for (int width = 1; width <= 70; ++width) {
        const int height = 1 + width % 3, extra = width % 4 == 0 ? 0 : width % 7;  // 0: gapless
        TestPlane a(width, height, extra), b(width, height, 1 + width % 5),
            d(width, height, width % 3 == 0 ? 0 : 2 * (width % 4) + 1);
        a.Fill([](int x, int y) { return Awkward(x, y, 1); });
        b.Fill([](int x, int y) { return Awkward(x, y, 2); });
        d.Fill([&](int x, int y) { return b.at(x, y); });
        ASSERT_EQ(prim.call({a.p(), a.step(), b.p(), b.step(), d.p(), d.step(), d.size()}), 0);
        std::vector<float> want(static_cast<size_t>(width));
        for (int y = 0; y < height; ++y) {
          c.twin(&a.at(0, y), &b.at(0, y), want.data(), width);
          for (int x = 0; x < width; ++x)
            ASSERT_LE(Ulps(d.at(x, y), want[x]), c.ulps)
                << c.primitive << " width " << width << " at " << x << "," << y << ": "
                << a.at(x, y) << ", " << b.at(x, y) << " gave " << d.at(x, y) << " for " << want[x];
        }
        ASSERT_TRUE(d.GuardsIntact()) << c.primitive << " width " << width;
      }
    }
  }
}

TEST(Dispatch, ReciprocalRunAndTwistMatchScalarTwinsOnEveryTarget) {
  const float t[12] = {0.299f, 0.587f, 0.114f, 0.0f,    -0.169f, -0.331f,
                       0.5f,   0.5f,   0.5f,   -0.419f, -0.081f, -0.25f};
  for (long long target : prim_test::Targets()) {
    prim_test::ForcedTarget forced(target);
    for (int len = 1; len <= 70; ++len) {
      std::vector<float> run(len + 3, prim_test::kGuard), want(len);
      for (int i = 0; i < len; ++i) run[i] = Awkward(i, len, 3);
      twin::DivCRevRow(3.0f, run.data(), want.data(), len);
      ASSERT_EQ(ippsDivCRev_32f_I(3.0f, run.data(), len), ippStsNoErr);
      for (int i = 0; i < len; ++i) ASSERT_EQ(Ulps(run[i], want[i]), 0) << len << " at " << i;
      ASSERT_EQ(run[len], prim_test::kGuard);

      // The twist, out of place and in place, where fused multiply-adds may
      // round differently from the twin.
      std::vector<TestPlane> s(3, TestPlane(len, 2, len % 5)), d(3, TestPlane(len, 2, len % 5));
      for (int c = 0; c < 3; ++c)
        s[c].Fill([c](int x, int y) { return std::sin(0.37 * x + y + c); });
      std::vector<TestPlane> in = s;
      const float* sp[3] = {s[0].p(), s[1].p(), s[2].p()};
      float* const dp[3] = {d[0].p(), d[1].p(), d[2].p()};
      float* const ip[3] = {in[0].p(), in[1].p(), in[2].p()};
      const auto* m = reinterpret_cast<const float(*)[4]>(t);
      ASSERT_EQ(ippiColorTwist_32f_P3R(sp, s[0].step(), dp, d[0].step(), s[0].size(), m), 0);
      ASSERT_EQ(ippiColorTwist_32f_P3R(ip, in[0].step(), ip, in[0].step(), s[0].size(), m), 0);
      for (int y = 0; y < 2; ++y) {
        std::vector<float> w0(len), w1(len), w2(len);
        const float* rows[3] = {&s[0].at(0, y), &s[1].at(0, y), &s[2].at(0, y)};
        float* const outs[3] = {w0.data(), w1.data(), w2.data()};
        twin::ColorTwistRow(rows, outs, t, len);
        for (int c = 0; c < 3; ++c)
          for (int x = 0; x < len; ++x) {
            ASSERT_NEAR(d[c].at(x, y), outs[c][x], 4e-7) << len << " plane " << c;
            ASSERT_EQ(in[c].at(x, y), d[c].at(x, y)) << "in place, " << len;
          }
      }
      for (int c = 0; c < 3; ++c) ASSERT_TRUE(d[c].GuardsIntact() && in[c].GuardsIntact());
    }
  }
}

// ForcedTarget proves that each forced target runs its own code; here the
// way back to the best, and refusals that change nothing.
TEST(Dispatch, ForcingZeroGoesBackToTheBestAndUnknownTargetsAreRefused) {
  const std::vector<long long> targets = prim_test::Targets();
  ASSERT_FALSE(targets.empty());
  {
    prim_test::ForcedTarget forced(targets.back());
    EXPECT_EQ(ippTestForceTarget(3), ippStsBadArgErr);  // two targets at once
    EXPECT_EQ(ippTestForceTarget(-1), ippStsBadArgErr);
    EXPECT_EQ(ippStaticInit(), ippStsNoErr);  // keeps the forced target
    EXPECT_EQ(ippTestProbeTarget(), targets.back());
  }
  EXPECT_EQ(ippTestProbeTarget(), targets.front());
}

}  // namespace
