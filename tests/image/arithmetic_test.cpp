#include <limits>

#include "image_test_util.h"

namespace {

struct ArithmeticCase {
  const char* name;
  void (*inPlace)(KoImage& a, const KoImage& b);
  KoImage (*record)(const KoImage& a, const KoImage& b);
  float (*expected)(float a, float b);
};

// B is the right operand: an image, or a constant.
// clang-format off
#define ARITHMETIC_CASE(op, B)                                                 \
  {#op " " #B,                                                                 \
   [](KoImage& a, const KoImage& b) { (void)b; a op##= B; },                   \
   [](const KoImage& a, const KoImage& b) { (void)b; return KoImage(a op B); }, \
   [](float a, float b) { (void)b; return a op B; }}
// clang-format on

// In-place forms and records, with the left operand on the left.
TEST(ImageArithmetic, MatchesScalarArithmetic) {
  const ArithmeticCase cases[] = {
      ARITHMETIC_CASE(+, 0.75f), ARITHMETIC_CASE(-, 0.75f), ARITHMETIC_CASE(*, 3.0f),
      ARITHMETIC_CASE(/, 4.0f),  ARITHMETIC_CASE(+, b),     ARITHMETIC_CASE(-, b),
      ARITHMETIC_CASE(*, b),     ARITHMETIC_CASE(/, b),
  };
  KoImage b(kSize, 3);
  Fill(b, Other);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const PixelFn want = [&](int p, int x, int y) {
      return c.expected(Pattern(p, x, y), Other(p, x, y));
    };
    KoImage a(kSize, 3);
    Fill(a, Pattern);
    ExpectPlanes(c.record(a, b), want, 1e-6f);
    c.inPlace(a, b);
    ExpectPlanes(a, want, 1e-6f);
  }
}

TEST(ImageArithmetic, DivisionByZeroRefusedAndNegation) {
  for (float zero : {0.0f, -0.0f}) {
    KoImage a(kSize, 3), d(kSize, 3);
    Fill(a, Pattern);
    Fill(d, Other);
    a /= zero;
    d = a / zero;
    ExpectPlanes(a, Pattern);
    ExpectPlanes(d, Other);
  }
  KoImage a(kSize, 1);
  Fill(a, Pattern);
  ExpectPlanes(KoImage(-a), [](int, int x, int y) { return -Pattern(0, x, y); });
}

// Loops run over the first operand's planes; the destination's others stay.
TEST(ImageArithmetic, PlaneCounts) {
  KoImage three(kSize, 3), one(kSize, 1), wide(kSize, 4);
  Fill(three, Pattern);
  Fill(one, Other);
  Fill(wide, Other);
  wide = one + one;
  ExpectPlanes(
      wide, [](int, int x, int y) { return 2 * Other(0, x, y); }, 0, 0, 1);
  ExpectPlanes(wide, Other, 0, 1);
  three *= one;
  ExpectPlanes(
      three, [](int, int x, int y) { return Pattern(0, x, y) * Other(0, x, y); }, 0, 0, 1);
  ExpectPlanes(three, Pattern, 0, 1);
}

TEST(ImageArithmetic, ClampExpAndLog) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float in[] = {-1.0f, 0.5f, 2.0f, INFINITY, -INFINITY, nan};
  const float clamped[] = {0.0f, 0.5f, 1.0f, 1.0f, 0.0f, 0.0f};
  const PixelFn want = [&](int, int x, int) { return clamped[x]; };
  KoImage a(IppiSize{6, 1}, 2);
  Fill(a, [&](int, int x, int) { return in[x]; });
  a.Threshold_I(1.0f);
  a.Threshold_I(-1.0f);  // refused
  ExpectPlanes(a, want);
  a.Log_I();
  ExpectPlanes(
      a, [&](int, int x, int) { return std::log(clamped[x]); }, 1e-6f);
  a.Exp_I();
  ExpectPlanes(a, want, 1e-6f);
}

}  // namespace
