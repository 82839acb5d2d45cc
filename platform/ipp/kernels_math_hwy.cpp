// Vectorised e^x and ln x. Both stay within 1 ULP of the correctly rounded
// result over the whole float range, denormals included, on every target
// (checked over all 2^32 inputs by bench/ulp_check), and give the special
// values of their contracts exactly. Each vector whose lanes are all
// ordinary (a normal finite result for e^x, a positive normal finite input
// for ln x) takes a short path; any other vector the full one, which gives
// the same results on the ordinary lanes.
#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "kernels_math_hwy.cpp"
#include <limits>

#include "hwy/foreach_target.h"  // IWYU pragma: keep
#include "hwy/highway.h"
#include "hwy_rows-inl.h"

HWY_BEFORE_NAMESPACE();
namespace ipp_kernels {
namespace HWY_NAMESPACE {
namespace {

using DI = hn::RebindToSigned<DF>;
using VI = hn::Vec<DI>;

constexpr float kInf = std::numeric_limits<float>::infinity();
// +Inf above 88.7228 and 0 below -103.972: the floats nearest these
// decimals lie beyond them, so each bound itself gives +Inf or 0.
constexpr float kExpOverflow = 88.7228f;
constexpr float kExpUnderflow = -103.972f;
// Below this magnitude e^x is a normal float (e^-87.3 > 2^-126).
constexpr float kExpNormal = 87.3f;
// 1.5 * 2^23: added to a float below 2^22 in magnitude, it rounds it to an
// integer held in the low bits.
constexpr float kRound = 12582912.0f;

// e^x = 2^n e^r with n = round(x / ln 2) and |r| <= ln 2 / 2, for
// |x| <= 104. Returns e^r; n is left in the low bits of `shifted`.
HWY_INLINE VF ExpReduced(DF d, VF x, VF& shifted) {
  shifted = hn::MulAdd(x, hn::Set(d, 1.44269504088896341f), hn::Set(d, kRound));
  const VF n = hn::Sub(shifted, hn::Set(d, kRound));
  // ln 2 in two parts; the first has few enough bits that n times it is exact.
  VF r = hn::NegMulAdd(n, hn::Set(d, 0.693359375f), x);
  r = hn::NegMulAdd(n, hn::Set(d, -2.12194440e-4f), r);
  // e^r by a polynomial of degree 6, minimax in relative error on
  // |r| <= ln 2 / 2, by Horner's scheme: the fewest operations, and the
  // vectors of a row overlap its latency.
  VF p = hn::MulAdd(hn::Set(d, 1.3814612757e-3f), r, hn::Set(d, 8.3687100559e-3f));
  p = hn::MulAdd(p, r, hn::Set(d, 4.1668388993e-2f));
  p = hn::MulAdd(p, r, hn::Set(d, 1.6666521132e-1f));
  p = hn::MulAdd(p, r, hn::Set(d, 4.9999994040e-1f));
  p = hn::MulAdd(p, r, hn::Set(d, 1.0f));
  return hn::MulAdd(p, r, hn::Set(d, 1.0f));
}

// e^x for |x| < kExpNormal: the scale 2^n is an add to the exponent field.
HWY_INLINE VF ExpNormal(DF d, VF x) {
  const DI di;
  VF shifted;
  const VF er = ExpReduced(d, x, shifted);
  // The low 9 bits of 1.5 * 2^23 are 0, so this leaves n << 23.
  const VI scale = hn::ShiftLeft<23>(hn::BitCast(di, shifted));
  return hn::BitCast(d, hn::Add(hn::BitCast(di, er), scale));
}

// e^x for any x. The scale 2^n (n in [-150, 128] after the clamp) is
// applied as two normal powers of two, so only the second multiply rounds,
// also into the denormals.
HWY_INLINE VF ExpAny(DF d, VF x) {
  const DI di;
  // Max and Min give the bound for NaN, which keeps the arithmetic finite.
  const VF xc = hn::Min(hn::Max(x, hn::Set(d, -104.0f)), hn::Set(d, 88.75f));
  VF shifted;
  const VF er = ExpReduced(d, xc, shifted);
  const VI n = hn::Sub(hn::BitCast(di, shifted), hn::BitCast(di, hn::Set(d, kRound)));
  const VI n1 = hn::ShiftRight<1>(n);
  const VI n2 = hn::Sub(n, n1);
  const VI bias = hn::Set(di, 127);
  const VF s1 = hn::BitCast(d, hn::ShiftLeft<23>(hn::Add(n1, bias)));
  const VF s2 = hn::BitCast(d, hn::ShiftLeft<23>(hn::Add(n2, bias)));
  VF y = hn::Mul(hn::Mul(er, s1), s2);
  y = hn::IfThenElse(hn::Ge(x, hn::Set(d, kExpOverflow)), hn::Set(d, kInf), y);
  y = hn::IfThenZeroElse(hn::Le(x, hn::Set(d, kExpUnderflow)), y);
  return hn::IfThenElse(hn::IsNaN(x), x, y);
}

HWY_INLINE VF Exp(DF d, VF x) {
  const auto normal = hn::Lt(hn::Abs(x), hn::Set(d, kExpNormal));  // false for NaN
  return hn::AllTrue(d, normal) ? ExpNormal(d, x) : ExpAny(d, x);
}

// ln x for positive normal finite x = 2^k m, m in [sqrt(2)/2, sqrt(2)), as
// (k - kLess) ln 2 + ln(1 + f), f = m - 1; kLess is 23 on lanes that the
// caller scaled by 2^23. With s = f / (2 + f), ln(1 + f) = 2 atanh s =
// f - s (f - R), R = 2 atanh(s) / s - 2 a polynomial in s^2.
HWY_INLINE VF LnNormal(DF d, VF x, VI kLess) {
  const DI di;
  // Taking off the pattern of sqrt(2)/2 leaves k above the 23 bits of m's
  // offset from it.
  const VI ix = hn::Sub(hn::BitCast(di, x), hn::Set(di, 0x3f3504f3));
  const VF dk = hn::ConvertTo(d, hn::Sub(hn::ShiftRight<23>(ix), kLess));
  const VI im = hn::Add(hn::And(ix, hn::Set(di, 0x007fffff)), hn::Set(di, 0x3f3504f3));
  const VF f = hn::Sub(hn::BitCast(d, im), hn::Set(d, 1.0f));
  // The quotient from the approximate reciprocal and one correction by its
  // residual: as close as a division, at a fraction of its cost.
  const VF den = hn::Add(f, hn::Set(d, 2.0f));
  const VF inv = hn::ApproximateReciprocal(den);
  const VF s0 = hn::Mul(f, inv);
  const VF s = hn::MulAdd(inv, hn::NegMulAdd(s0, den, f), s0);
  const VF z = hn::Mul(s, s);
  VF R = hn::MulAdd(z, hn::Set(d, 2.98717290163e-01f), hn::Set(d, 3.99775415659e-01f));
  R = hn::MulAdd(R, z, hn::Set(d, 6.66667759418e-01f));
  R = hn::Mul(R, z);
  const VF lnm = hn::NegMulAdd(s, hn::Sub(f, R), f);
#if HWY_NATIVE_FMA
  // A fused k ln 2 rounds once; ln 2 as one float is then close enough.
  return hn::MulAdd(dk, hn::Set(d, 0.693147180559945f), lnm);
#else
  // ln 2 in two parts, the first exact when multiplied by any k.
  return hn::MulAdd(dk, hn::Set(d, 6.9313812256e-01f),
                    hn::MulAdd(dk, hn::Set(d, 9.0580006145e-06f), lnm));
#endif
}

// ln x for any x. Denormals are first scaled by 2^23.
HWY_INLINE VF LnAny(DF d, VF x) {
  const DI di;
  const auto tiny = hn::Lt(x, hn::Set(d, std::numeric_limits<float>::min()));
  const VF xs = hn::IfThenElse(tiny, hn::Mul(x, hn::Set(d, 8388608.0f)), x);
  VF y = LnNormal(d, xs, hn::IfThenElseZero(hn::RebindMask(di, tiny), hn::Set(di, 23)));
  y = hn::IfThenElse(hn::Eq(x, hn::Set(d, kInf)), x, y);
  y = hn::IfThenElse(hn::Eq(x, hn::Zero(d)), hn::Set(d, -kInf), y);
  return hn::IfThenElse(hn::Ge(x, hn::Zero(d)), y,
                        hn::Set(d, std::numeric_limits<float>::quiet_NaN()));
}

HWY_INLINE VF Ln(DF d, VF x) {
  const DI di;
  // Positive normal finite x, one signed compare: adding 0x7f800000 moves
  // the patterns 0x00800000..0x7f7fffff, and only these, below -2^24.
  const VI moved = hn::Add(hn::BitCast(di, x), hn::Set(di, 0x7f800000));
  const auto normal = hn::Lt(moved, hn::Set(di, -0x01000000));
  return hn::AllTrue(di, normal) ? LnNormal(d, x, hn::Zero(di)) : LnAny(d, x);
}

}  // namespace

// Lambdas, not the functions themselves: a function passed by address is
// not inlined into every loop of the row.
void ExpRow(const float* src, float* dst, int width) {
  MapRow(src, dst, width, [](DF d, VF x) { return Exp(d, x); });
}

void LnRow(const float* src, float* dst, int width) {
  MapRow(src, dst, width, [](DF d, VF x) { return Ln(d, x); });
}

}  // namespace HWY_NAMESPACE
}  // namespace ipp_kernels
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
#include "dispatch.h"
#include "kernels.h"

namespace ipp_kernels {

IPP_DISPATCH(ExpRow, (const float* src, float* dst, int width), (src, dst, width))
IPP_DISPATCH(LnRow, (const float* src, float* dst, int width), (src, dst, width))

}  // namespace ipp_kernels
#endif  // HWY_ONCE
