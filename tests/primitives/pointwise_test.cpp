#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <vector>

#include "ipp.h"
#include "kernels.h"
#include "primitive_table.h"
#include "targets.h"
#include "test_plane.h"

namespace {

using prim_test::TestPlane;

const float inf = std::numeric_limits<float>::infinity();
const float nan = std::numeric_limits<float>::quiet_NaN();

// One run just longer than the shortest out-of-place run that streams its
// stores; 13 floats past a multiple of 16 end it in a partial vector on
// every vectorised target.
size_t StreamedRun() { return ipp_kernels::LastLevelCacheBytes() / 2 / sizeof(float) + 13; }

// n floats amid guard floats, from a chosen offset past a 64-byte boundary.
struct LongRun {
  explicit LongRun(size_t n) : n(n), data(n + 48) {}
  // Guards everywhere; the run from `offset` (< 16) floats past a boundary.
  LongRun& At(size_t offset) {
    data.assign(data.size(), prim_test::kGuard);
    first = (16 - reinterpret_cast<std::uintptr_t>(data.data()) / 4 % 16) % 16 + offset;
    return *this;
  }
  template <typename Fn>
  LongRun& Fill(Fn fn) {
    for (size_t i = 0; i < n; ++i) p()[i] = static_cast<float>(fn(i));
    return *this;
  }
  float* p() { return data.data() + first; }
  int step() const { return static_cast<int>(n * 4); }
  IppiSize size() const { return {static_cast<int>(n), 1}; }
  bool GuardsIntact() const {
    for (size_t i = 0; i < data.size(); ++i)
      if ((i < first || i >= first + n) && data[i] != prim_test::kGuard) return false;
    return true;
  }

  size_t n, first = 0;
  std::vector<float> data;
};

// The first i < n for which ok(i) fails, else n: one assertion a long run.
template <typename Ok>
size_t FirstFailing(size_t n, Ok ok) {
  for (size_t i = 0; i < n; ++i)
    if (!ok(i)) return i;
  return n;
}

// Element-wise primitives against a per-pixel reference, on every target.
// They run on planes a (src) and b (src2, or the starting dst of an in-place
// form). Each shape makes some planes gapless (step = 4 * width) and pads
// the others, so that a primitive merges its rows into one run only when
// every plane it touches is gapless, over several rows.
TEST(Pointwise, MatchReferenceOverAwkwardShapesOnEveryTarget) {
  struct Case {
    const char* name;
    std::function<double(float a, float b)> ref;  // float arithmetic, as the primitive's
    double relTol = 0;                            // 0: exact
    bool longRuns = false;                        // also over streamed runs
  };
  const Case cases[] = {
      {"Copy", [](float a, float) { return a; }},
      {"AddC_IR", [](float, float b) { return b + 2.0f; }},
      {"SubC_R", [](float a, float) { return a - 2.0f; }, 0, true},
      {"MulC_IR", [](float, float b) { return b * 2.0f; }},
      {"DivC_R", [](float a, float) { return a * 0.5f; }},
      {"Add_IR", [](float a, float b) { return b + a; }},
      {"Sub_IR", [](float a, float b) { return b - a; }},
      {"Mul_R", [](float a, float b) { return b * a; }},
      {"Sub_R", [](float a, float b) { return b - a; }, 0, true},
      {"Div_R", [](float a, float b) { return b / a; }},
      {"Exp_IR", [](float, float b) { return std::exp(double(b)); }, 3e-7},
      {"Ln_R", [](float a, float) { return std::log(double(a)); }, 3e-7},
      {"Threshold_R", [](float a, float) { return a < 0   ? -5.0f
                                                  : a > 1 ? 5.0f
                                                          : a; }},
  };
  // Runs long enough to stream, to a destination on a vector boundary and
  // to one off it (a head that must not be streamed), from sources aligned
  // otherwise (the head comes from the destination's address).
  const size_t n = StreamedRun();
  LongRun longA(n), longB(n), longD(n);
  longA.At(1).Fill([](size_t i) { return 0.5 + 0.01 * (i % 1001); });
  longB.At(2).Fill([](size_t i) { return 0.25 * (i % 67); });
  for (long long target : prim_test::Targets()) {
    prim_test::ForcedTarget forced(target);
    for (const Case& c : cases) {
      const prim_test::Primitive& prim = prim_test::Find(c.name);
      const bool inPlace = prim.tags.find('i') != std::string::npos;
      for (int width = 1; width <= 70; ++width) {
        for (int gapless = 0; gapless < 8; ++gapless) {  // bit 0: a, 1: b, 2: d
          const int height = 1 + (width + gapless) % 4;
          auto pad = [&](int bit, int extra) { return (gapless >> bit & 1) ? 0 : extra; };
          TestPlane a(width, height, pad(0, 3)), b(width, height, pad(1, 4 + width % 2)),
              d(width, height, pad(2, 1 + width % 4));
          a.Fill([](int x, int y) { return x == 5 ? 0.0 : 3 * std::sin(0.7 * x + 1.3 * y) + .01; });
          b.Fill([](int x, int y) { return x == 5 && y ? 0.0 : 2 * std::cos(0.3 * x - y) + .1; });
          if (inPlace) d.Fill([&](int x, int y) { return b.at(x, y); });
          ASSERT_EQ(prim.call({a.p(), a.step(), b.p(), b.step(), d.p(), d.step(), d.size()}), 0);
          for (int y = 0; y < height; ++y)
            for (int x = 0; x < width; ++x) {
              const double want = static_cast<float>(c.ref(a.at(x, y), b.at(x, y)));
              if (!std::isfinite(want)) {  // a 0 in a or b: Inf or NaN
                ASSERT_TRUE(d.at(x, y) == want || (std::isnan(want) && std::isnan(d.at(x, y))))
                    << c.name;
              } else {
                ASSERT_NEAR(d.at(x, y), want, c.relTol * std::fabs(want))
                    << c.name << " width " << width << " shape " << gapless << " at " << x << ","
                    << y;
              }
            }
          ASSERT_TRUE(d.GuardsIntact()) << c.name << " width " << width << " shape " << gapless;
        }
      }
      if (!c.longRuns) continue;
      for (size_t offset : {0, 3}) {
        LongRun& d = longD.At(offset);
        ASSERT_EQ(prim.call({longA.p(), longA.step(), longB.p(), longB.step(), d.p(), d.step(),
                             d.size()}),
                  0);
        ASSERT_EQ(FirstFailing(n,
                               [&](size_t i) {
                                 const double want =
                                     static_cast<float>(c.ref(longA.p()[i], longB.p()[i]));
                                 return std::fabs(d.p()[i] - want) <= c.relTol * std::fabs(want);
                               }),
                  n)
            << c.name << " long run, offset " << offset;
        ASSERT_TRUE(d.GuardsIntact()) << c.name << " long run, offset " << offset;
      }
    }
  }
}

void SpecialValues();

// An in-place primitive over one row of values.
std::vector<float> Row(std::vector<float> v,
                       const std::function<IppStatus(float*, int, IppiSize)>& f) {
  EXPECT_EQ(f(v.data(), int(v.size()) * 4, {int(v.size()), 1}), ippStsNoErr);
  return v;
}

// e^x and ln x under their contracts, correctly rounded to float.
float ExpWant(float x) {
  if (double(x) > 88.7228) return inf;  // the bounds are decimals
  if (double(x) < -103.972) return 0;
  return static_cast<float>(std::exp(double(x)));  // NaN stays NaN
}
float LnWant(float x) { return x < 0 ? nan : static_cast<float>(std::log(double(x))); }

// NaN, infinities and 0 exactly; otherwise a finite non-zero float within
// one of want.
bool WithinUlp(float got, float want) {
  if (std::isnan(want) || std::isinf(want) || want == 0)
    return got == want || (std::isnan(want) && std::isnan(got));
  return std::isfinite(got) && got != 0 && (got == want || std::nextafter(got, want) == want);
}

// e^x and ln x over rows of ordinary values with one special or
// out-of-range value at each position in turn: each vector that holds it
// takes the full evaluation for that lane alone, the others the short one.
// On every code path and on the scalar twin.
TEST(Pointwise, ExpAndLnSpecialLanesAmongOrdinaryOnEveryPath) {
  const float top = 88.7228f, bottom = -103.972f;  // each beyond its decimal bound
  const float denormal = std::ldexp(1.0f, -140), fmin = std::numeric_limits<float>::min(),
              fmax = std::numeric_limits<float>::max();
  struct Case {
    const char* name;
    float (*want)(float);
    float (*ordinary)(int x);
    std::vector<float> specials;
    IppStatus (*primitive)(Ipp32f*, int, IppiSize);
    void (*twin)(const float*, float*, int);
  };
  const Case cases[] = {
      {"exp",
       ExpWant,
       [](int x) { return x % 3 ? 87.0f * std::sin(0.77f * x) : 1e-3f * x; },
       {nan, inf, -inf, 89, 88.72282f, top, std::nextafter(top, 0.0f), -87.34f, -87.5f, -103.97f,
        std::nextafter(bottom, 0.0f), bottom, -103.98f, 0, 1e-30f, -1e-30f},
       ippiExp_32f_C1IR,
       ipp_kernels::scalar::ExpRow},
      {"ln",
       LnWant,
       [](int x) {
         return x % 3 ? std::ldexp(1.0f + 0.37f * std::fabs(std::sin(1.3f * x)), x * 37 % 253 - 126)
                      : 1.0f + 1e-4f * x;
       },
       {0.0f, -0.0f, inf, 1, -1, -inf, nan, denormal, std::ldexp(1.0f, -149),
        std::nextafter(fmin, 0.0f), -denormal, fmin, fmax},
       ippiLn_32f_C1IR,
       ipp_kernels::scalar::LnRow},
  };
  std::vector<long long> paths = prim_test::Targets();
  paths.push_back(-1);  // the scalar twin
  for (long long path : paths) {
    std::unique_ptr<prim_test::ForcedTarget> forced;
    if (path != -1) forced = std::make_unique<prim_test::ForcedTarget>(path);
    for (const Case& c : cases)
      for (int width = 1; width <= 70; ++width)
        // The widest row has the value at every lane of every vector and of
        // the tail, for each target's vector length; the others at the end.
        for (int at = width == 70 ? 0 : width - 1; at < width; ++at)
          for (size_t i = 0; i <= c.specials.size(); ++i) {
            std::vector<float> in(width);
            for (int x = 0; x < width; ++x) in[x] = c.ordinary(x);
            if (i < c.specials.size()) in[at] = c.specials[i];  // else all ordinary
            std::vector<float> out = in;
            if (path == -1)
              c.twin(in.data(), out.data(), width);
            else
              ASSERT_EQ(c.primitive(out.data(), width * 4, {width, 1}), ippStsNoErr);
            for (int x = 0; x < width; ++x)
              ASSERT_TRUE(WithinUlp(out[x], c.want(in[x])))
                  << c.name << (path == -1 ? " twin" : "") << " width " << width << " at " << x
                  << ": " << in[x] << " gave " << out[x] << " for " << c.want(in[x]);
          }
  }
}

TEST(Pointwise, SpecialValuesOnEveryTarget) {
  for (long long target : prim_test::Targets()) {
    prim_test::ForcedTarget forced(target);
    SpecialValues();
  }
}

void SpecialValues() {
  // Each row is longer than a vector of any target, so that the values
  // also pass through the whole-vector loops, not only the tails.
  auto repeated = [](const std::vector<float>& v) {
    std::vector<float> all;
    while (all.size() < 64) all.insert(all.end(), v.begin(), v.end());
    return all;
  };
  auto clamp = [](std::vector<float> v, float lt, float vlt, float gt, float vgt) {
    return Row(v, [=](float* p, int s, IppiSize r) {
      return ippiThreshold_LTValGTVal_32f_C1IR(p, s, r, lt, vlt, gt, vgt);
    });
  };
  using V = std::vector<float>;
  EXPECT_EQ(clamp(repeated({-1, 0, 0.5f, 1, 2, inf, -inf, nan}), 0, 0, 1, 1),
            repeated({0, 0, 0.5f, 1, 1, 1, 0, 0}));
  EXPECT_EQ(clamp({0.2f, 0.3f, 0.4f}, 0.3f, 0, 0.3f, 1), (V{0, 0.3f, 1}));  // strict both ways
  EXPECT_EQ(clamp({-1, 5, nan}, 0, 0, nan, 1), (V{0, 5, 0}));   // NaN upper bound: lower clamp only
  EXPECT_EQ(clamp({-1, 5, nan}, nan, 7, 1, 1), (V{-1, 1, 7}));  // NaN lower bound: NaN pixels only

  // DivC multiplies by the float reciprocal: 0.37 * 7 / 10 != 0.37 * 7 * (1 / 10).
  const float x = 0.37f * 7;
  ASSERT_NE(x / 10, x * (1.0f / 10));
  EXPECT_EQ(Row({x}, [](float* p, int s, IppiSize r) { return ippiDivC_32f_C1IR(10, p, s, r); })[0],
            x * (1.0f / 10));
  EXPECT_EQ(
      Row({2, -4, 0}, [](float* p, int, IppiSize r) { return ippsDivCRev_32f_I(1, p, r.width); }),
      (V{0.5f, -0.25f, inf}));
}

TEST(Pointwise, ColorTwistOutOfPlaceAndInPlaceOnEveryTarget) {
  const float t[3][4] = {{0.299f, 0.587f, 0.114f, 0},
                         {-0.169f, -0.331f, 0.5f, 0.5f},
                         {0.5f, -0.419f, -0.081f, -0.25f}};
  auto want = [&t](int c, double s0, double s1, double s2) {
    return t[c][0] * s0 + t[c][1] * s1 + t[c][2] * s2 + t[c][3];
  };
  // Runs long enough to stream, from sources on offsets of their own.
  const size_t n = StreamedRun();
  std::vector<LongRun> longS(3, LongRun(n)), longD(3, LongRun(n));
  for (size_t c = 0; c < 3; ++c)
    longS[c].At(5 + c).Fill([c](size_t i) { return 0.1 * c + 0.001 * (i % 997); });
  for (long long target : prim_test::Targets()) {
    prim_test::ForcedTarget forced(target);
    for (int width = 1; width <= 70; width += 3) {
      // Gapless sources with padded destinations and the other way round.
      const int k = width / 3;
      std::vector<TestPlane> s(3, TestPlane(width, 3, k % 2 ? 1 : 0)),
          d(3, TestPlane(width, 3, k % 4 < 2 ? 0 : 7));
      for (int c = 0; c < 3; ++c)
        s[c].Fill([c](int x, int y) { return 0.1 * c + 0.013 * x + 0.2 * y; });
      std::vector<TestPlane> in = s;
      const float* sp[3] = {s[0].p(), s[1].p(), s[2].p()};
      float* const dp[3] = {d[0].p(), d[1].p(), d[2].p()};
      float* const ip[3] = {in[0].p(), in[1].p(), in[2].p()};
      ASSERT_EQ(ippiColorTwist_32f_P3R(sp, s[0].step(), dp, d[0].step(), s[0].size(), t),
                ippStsNoErr);
      ASSERT_EQ(ippiColorTwist_32f_P3R(ip, in[0].step(), ip, in[0].step(), in[0].size(), t),
                ippStsNoErr);
      for (int c = 0; c < 3; ++c) {
        for (int y = 0; y < 3; ++y)
          for (int x = 0; x < width; ++x) {
            ASSERT_NEAR(d[c].at(x, y), want(c, s[0].at(x, y), s[1].at(x, y), s[2].at(x, y)), 1e-6)
                << width << " plane " << c;
            ASSERT_EQ(in[c].at(x, y), d[c].at(x, y)) << "in place, width " << width;
          }
        EXPECT_TRUE(d[c].GuardsIntact() && in[c].GuardsIntact());
      }
    }
    // Destinations off the vector boundary alike (a head that must not be
    // streamed, and a tail) and unlike (no one head aligns all three).
    for (const std::vector<size_t>& offsets : {std::vector<size_t>{2, 2, 2}, {0, 1, 0}}) {
      const float* sp[3] = {longS[0].p(), longS[1].p(), longS[2].p()};
      float* const dp[3] = {longD[0].At(offsets[0]).p(), longD[1].At(offsets[1]).p(),
                            longD[2].At(offsets[2]).p()};
      ASSERT_EQ(
          ippiColorTwist_32f_P3R(sp, longS[0].step(), dp, longD[0].step(), longS[0].size(), t),
          ippStsNoErr);
      for (int c = 0; c < 3; ++c) {
        ASSERT_EQ(FirstFailing(n,
                               [&](size_t i) {
                                 return std::fabs(dp[c][i] -
                                                  want(c, sp[0][i], sp[1][i], sp[2][i])) <= 1e-6;
                               }),
                  n)
            << "long run, plane " << c << " offset " << offsets[c];
        EXPECT_TRUE(longD[c].GuardsIntact()) << "long run, plane " << c;
      }
    }
  }
}

}  // namespace
