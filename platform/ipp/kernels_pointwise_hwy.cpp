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
  // Streams only when no destination is a source and one head aligns all
  // three destinations.
  bool stream = Streams(n);
  for (int c = 0; c < 3; ++c)
    stream = stream && dst[c] != src[0] && dst[c] != src[1] && dst[c] != src[2] &&
             ToAligned(d, dst[c]) == ToAligned(d, dst[0]);
  Run(
      d, n, stream, dst[0],
      [&](size_t x, auto store) {
        for (; x + lanes <= n; x += lanes) {
          const VF s0 = hn::LoadU(d, src[0] + x), s1 = hn::LoadU(d, src[1] + x),
                   s2 = hn::LoadU(d, src[2] + x);
          const VF d0 = twist(s0, s1, s2, 0), d1 = twist(s0, s1, s2, 1),
                   d2 = twist(s0, s1, s2, 2);
          store(d0, d, dst[0] + x);
          store(d1, d, dst[1] + x);
          store(d2, d, dst[2] + x);
        }
        return x;
      },
      [&](size_t x, size_t count) {
        const VF s0 = LoadTail(d, src[0] + x, count), s1 = LoadTail(d, src[1] + x, count),
                 s2 = LoadTail(d, src[2] + x, count);
        const VF d0 = twist(s0, s1, s2, 0), d1 = twist(s0, s1, s2, 1), d2 = twist(s0, s1, s2, 2);
        StoreTail(d0, d, dst[0] + x, count);
        StoreTail(d1, d, dst[1] + x, count);
        StoreTail(d2, d, dst[2] + x, count);
      });
}

}  // namespace HWY_NAMESPACE
}  // namespace ipp_kernels
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
#include <algorithm>

#include "dispatch.h"
#include "kernels.h"

#if HWY_ARCH_X86
#include <cpuid.h>
#endif

namespace ipp_kernels {

#if HWY_ARCH_X86
namespace {

// Bytes of the largest cache that a deterministic cache-parameter leaf
// (4 on Intel, 0x8000001D on AMD) describes, per instance: on processors
// with several core complexes, the part that one core uses, where other
// queries give the package's total. 0 when the leaf describes none.
std::size_t LargestCacheOfLeaf(unsigned leaf) {
  if (static_cast<unsigned>(__get_cpuid_max(leaf & 0x80000000u, nullptr)) < leaf) return 0;
  std::size_t largest = 0;
  for (unsigned i = 0; i < 8; ++i) {
    unsigned a, b, c, d;
    __cpuid_count(leaf, i, a, b, c, d);
    if ((a & 0x1f) == 0) break;  // no further cache
    const std::size_t ways = (b >> 22) + 1, partitions = ((b >> 12) & 0x3ff) + 1,
                      line = (b & 0xfff) + 1, sets = std::size_t{c} + 1;
    largest = std::max(largest, ways * partitions * line * sets);
  }
  return largest;
}

}  // namespace
#endif

std::size_t LastLevelCacheBytes() {
  static const std::size_t bytes = [] {
    std::size_t found = 0;
#if HWY_ARCH_X86
    found = LargestCacheOfLeaf(4);
    if (found == 0) found = LargestCacheOfLeaf(0x8000001d);
#endif
    return found != 0 ? found : std::size_t{32} << 20;  // unknown: a common size
  }();
  return bytes;
}

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
