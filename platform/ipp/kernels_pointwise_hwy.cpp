// Vectorised element-wise kernels: copy, arithmetic with a constant or a
// second row, thresholds and the colour twist. Bit-identical to their
// scalar twins, except the twist where the target fuses multiply-adds.
#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "kernels_pointwise_hwy.cpp"
#include "hwy/foreach_target.h"  // IWYU pragma: keep
#include "hwy/highway.h"
#include "hwy_rows-inl.h"

HWY_BEFORE_NAMESPACE();
namespace ipp_kernels {
namespace HWY_NAMESPACE {

void CopyRow(const float* src, float* dst, int width) {
  if (src != dst) MapRow(src, dst, width, [](DF, VF v) { return v; });
}

void AddCRow(const float* src, float value, float* dst, int width) {
  MapRow(src, dst, width, [value](DF d, VF v) { return hn::Add(v, hn::Set(d, value)); });
}

void SubCRow(const float* src, float value, float* dst, int width) {
  MapRow(src, dst, width, [value](DF d, VF v) { return hn::Sub(v, hn::Set(d, value)); });
}

void MulCRow(const float* src, float value, float* dst, int width) {
  MapRow(src, dst, width, [value](DF d, VF v) { return hn::Mul(v, hn::Set(d, value)); });
}

void DivCRevRow(float value, const float* src, float* dst, int width) {
  MapRow(src, dst, width, [value](DF d, VF v) { return hn::Div(hn::Set(d, value), v); });
}

void AddRow(const float* src1, const float* src2, float* dst, int width) {
  MapRows(src1, src2, dst, width, [](auto a, auto b) { return hn::Add(a, b); });
}

void SubRow(const float* src1, const float* src2, float* dst, int width) {
  MapRows(src1, src2, dst, width, [](auto a, auto b) { return hn::Sub(a, b); });
}

void MulRow(const float* src1, const float* src2, float* dst, int width) {
  MapRows(src1, src2, dst, width, [](auto a, auto b) { return hn::Mul(a, b); });
}

void DivRow(const float* src1, const float* src2, float* dst, int width) {
  MapRows(src1, src2, dst, width, [](auto a, auto b) { return hn::Div(a, b); });
}

void ThresholdRow(const float* src, float* dst, int width, float lt, float valueLT, float gt,
                  float valueGT) {
  MapRow(src, dst, width, [=](DF d, VF v) {
    const auto below = hn::Or(hn::Lt(v, hn::Set(d, lt)), hn::IsNaN(v));
    const VF upper = hn::IfThenElse(hn::Gt(v, hn::Set(d, gt)), hn::Set(d, valueGT), v);
    return hn::IfThenElse(below, hn::Set(d, valueLT), upper);
  });
}

void ColorTwistRow(const float* const src[3], float* const dst[3], const float t[12], int width) {
  const DF d;
  const size_t n = static_cast<size_t>(width), lanes = hn::Lanes(d);
  VF m[12];
  for (int i = 0; i < 12; ++i) m[i] = hn::Set(d, t[i]);
  // Summed in the scalar twin's order; without fused multiply-adds the
  // results are the twin's bit for bit.
  auto twist = [&](VF s0, VF s1, VF s2, int c) {
    const VF* r = m + 4 * c;
    return hn::Add(hn::MulAdd(r[2], s2, hn::MulAdd(r[1], s1, hn::Mul(r[0], s0))), r[3]);
  };
  size_t x = 0;
  for (; x + lanes <= n; x += lanes) {
    const VF s0 = hn::LoadU(d, src[0] + x), s1 = hn::LoadU(d, src[1] + x),
             s2 = hn::LoadU(d, src[2] + x);
    const VF d0 = twist(s0, s1, s2, 0), d1 = twist(s0, s1, s2, 1), d2 = twist(s0, s1, s2, 2);
    hn::StoreU(d0, d, dst[0] + x);
    hn::StoreU(d1, d, dst[1] + x);
    hn::StoreU(d2, d, dst[2] + x);
  }
  if (x < n) {
    const size_t rest = n - x;
    const VF s0 = LoadTail(d, src[0] + x, rest), s1 = LoadTail(d, src[1] + x, rest),
             s2 = LoadTail(d, src[2] + x, rest);
    const VF d0 = twist(s0, s1, s2, 0), d1 = twist(s0, s1, s2, 1), d2 = twist(s0, s1, s2, 2);
    StoreTail(d0, d, dst[0] + x, rest);
    StoreTail(d1, d, dst[1] + x, rest);
    StoreTail(d2, d, dst[2] + x, rest);
  }
}

}  // namespace HWY_NAMESPACE
}  // namespace ipp_kernels
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
#include "dispatch.h"
#include "kernels.h"

namespace ipp_kernels {

IPP_DISPATCH(CopyRow, (const float* src, float* dst, int width), (src, dst, width))
IPP_DISPATCH(AddCRow, (const float* src, float value, float* dst, int width),
             (src, value, dst, width))
IPP_DISPATCH(SubCRow, (const float* src, float value, float* dst, int width),
             (src, value, dst, width))
IPP_DISPATCH(MulCRow, (const float* src, float value, float* dst, int width),
             (src, value, dst, width))
IPP_DISPATCH(DivCRevRow, (float value, const float* src, float* dst, int width),
             (value, src, dst, width))
IPP_DISPATCH(AddRow, (const float* src1, const float* src2, float* dst, int width),
             (src1, src2, dst, width))
IPP_DISPATCH(SubRow, (const float* src1, const float* src2, float* dst, int width),
             (src1, src2, dst, width))
IPP_DISPATCH(MulRow, (const float* src1, const float* src2, float* dst, int width),
             (src1, src2, dst, width))
IPP_DISPATCH(DivRow, (const float* src1, const float* src2, float* dst, int width),
             (src1, src2, dst, width))
IPP_DISPATCH(ThresholdRow,
             (const float* src, float* dst, int width, float lt, float valueLT, float gt,
              float valueGT),
             (src, dst, width, lt, valueLT, gt, valueGT))
IPP_DISPATCH(ColorTwistRow,
             (const float* const src[3], float* const dst[3], const float t[12], int width),
             (src, dst, t, width))

}  // namespace ipp_kernels
#endif  // HWY_ONCE
