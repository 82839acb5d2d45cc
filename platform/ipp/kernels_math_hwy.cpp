// Vectorised e^x and ln x. Both stay within 2 ULP of the correctly rounded
// result over the whole float range, denormals included, on every target
// (checked over all 2^32 inputs by bench/ulp_check), and give the special
// values of their contracts exactly.
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

constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr float kExpOverflow = 88.7228f;    // above: +Inf
constexpr float kExpUnderflow = -103.972f;  // below: 0

// e^x = 2^n e^r with n = round(x / ln 2) and |r| <= ln 2 / 2. The scale 2^n
// (n in [-150, 128] after the clamp) is applied as two normal powers of
// two, so only the second multiply rounds, also into the denormals. The
// evaluation keeps its chains of dependent operations short, so that the
// processor overlaps many vectors.
HWY_INLINE VF Exp(DF d, VF x) {
  const hn::RebindToSigned<DF> di;
  // Max and Min give the bound for NaN, which keeps the arithmetic finite.
  const VF xc = hn::Min(hn::Max(x, hn::Set(d, -104.0f)), hn::Set(d, 88.75f));
  // Adding 1.5 * 2^23 rounds x / ln 2 to an integer held in the low bits.
  const VF magic = hn::Set(d, 12582912.0f);
  const VF shifted = hn::MulAdd(xc, hn::Set(d, 1.44269504088896341f), magic);
  const VF n = hn::Sub(shifted, magic);
  const auto ni = hn::Sub(hn::BitCast(di, shifted), hn::BitCast(di, magic));
  // ln 2 in two parts; the first has few enough bits that n times it is exact.
  VF r = hn::NegMulAdd(n, hn::Set(d, 0.693359375f), xc);
  r = hn::NegMulAdd(n, hn::Set(d, -2.12194440e-4f), r);
  // e^r = 1 + r + r^2 p(r), p minimax on |r| <= ln 2 / 2, by Estrin's scheme.
  const VF r2 = hn::Mul(r, r), r4 = hn::Mul(r2, r2);
  const VF p01 = hn::MulAdd(hn::Set(d, 1.6666665459e-1f), r, hn::Set(d, 5.0000001201e-1f));
  const VF p23 = hn::MulAdd(hn::Set(d, 8.3334519073e-3f), r, hn::Set(d, 4.1665795894e-2f));
  const VF p45 = hn::MulAdd(hn::Set(d, 1.9875691500e-4f), r, hn::Set(d, 1.3981999507e-3f));
  const VF p = hn::MulAdd(r4, p45, hn::MulAdd(r2, p23, p01));
  const VF er = hn::Add(hn::MulAdd(p, r2, r), hn::Set(d, 1.0f));
  const auto n1 = hn::ShiftRight<1>(ni);
  const auto n2 = hn::Sub(ni, n1);
  const auto bias = hn::Set(di, 127);
  const VF s1 = hn::BitCast(d, hn::ShiftLeft<23>(hn::Add(n1, bias)));
  const VF s2 = hn::BitCast(d, hn::ShiftLeft<23>(hn::Add(n2, bias)));
  VF y = hn::Mul(hn::Mul(er, s1), s2);
  y = hn::IfThenElse(hn::Gt(x, hn::Set(d, kExpOverflow)), hn::Set(d, kInf), y);
  y = hn::IfThenZeroElse(hn::Lt(x, hn::Set(d, kExpUnderflow)), y);
  return hn::IfThenElse(hn::IsNaN(x), x, y);
}

// ln x = k ln 2 + ln m with x = 2^k m, m in [sqrt(2)/2, sqrt(2)); ln m from
// s = (m - 1) / (m + 1) as 2 atanh s. Denormals are first scaled by 2^23.
HWY_INLINE VF Ln(DF d, VF x) {
  const hn::RebindToSigned<DF> di;
  const auto tiny = hn::Lt(x, hn::Set(d, std::numeric_limits<float>::min()));
  const VF xs = hn::IfThenElse(tiny, hn::Mul(x, hn::Set(d, 8388608.0f)), x);
  auto ix = hn::Add(hn::BitCast(di, xs), hn::Set(di, 0x3f800000 - 0x3f3504f3));
  auto k = hn::Sub(hn::ShiftRight<23>(ix), hn::Set(di, 127));
  k = hn::Sub(k, hn::IfThenElseZero(hn::RebindMask(di, tiny), hn::Set(di, 23)));
  ix = hn::Add(hn::And(ix, hn::Set(di, 0x007fffff)), hn::Set(di, 0x3f3504f3));
  const VF f = hn::Sub(hn::BitCast(d, ix), hn::Set(d, 1.0f));
  const VF s = hn::Div(f, hn::Add(f, hn::Set(d, 2.0f)));
  const VF z = hn::Mul(s, s), w = hn::Mul(z, z);
  const VF t1 = hn::Mul(w, hn::MulAdd(w, hn::Set(d, 0.24279078841f), hn::Set(d, 0.40000972152f)));
  const VF t2 = hn::Mul(z, hn::MulAdd(w, hn::Set(d, 0.28498786688f), hn::Set(d, 0.66666662693f)));
  const VF hfsq = hn::Mul(hn::Set(d, 0.5f), hn::Mul(f, f));
  const VF dk = hn::ConvertTo(d, k);
  // ln 2 in two parts, the first exact when multiplied by any k.
  VF y = hn::MulAdd(s, hn::Add(hfsq, hn::Add(t2, t1)), hn::Mul(dk, hn::Set(d, 9.0580006145e-06f)));
  y = hn::Add(hn::Sub(y, hfsq), f);
  y = hn::MulAdd(dk, hn::Set(d, 6.9313812256e-01f), y);
  y = hn::IfThenElse(hn::Eq(x, hn::Set(d, kInf)), x, y);
  y = hn::IfThenElse(hn::Eq(x, hn::Zero(d)), hn::Set(d, -kInf), y);
  return hn::IfThenElse(hn::Ge(x, hn::Zero(d)), y,
                        hn::Set(d, std::numeric_limits<float>::quiet_NaN()));
}

}  // namespace

void ExpRow(const float* src, float* dst, int width) { MapRow(src, dst, width, Exp); }

void LnRow(const float* src, float* dst, int width) { MapRow(src, dst, width, Ln); }

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
