// Row loops shared by the vectorised kernels, compiled once per target.
// Whole vectors run in the loop; the last partial vector goes through a
// stack copy, so no kernel reads or writes a float past its row's width
// (rows may end at the edge of a caller's array).
#if defined(TESSIVO_HWY_ROWS_INL_H_) == defined(HWY_TARGET_TOGGLE)
#ifdef TESSIVO_HWY_ROWS_INL_H_
#undef TESSIVO_HWY_ROWS_INL_H_
#else
#define TESSIVO_HWY_ROWS_INL_H_
#endif

#include <cstddef>
#include <cstring>

#include "hwy/highway.h"

HWY_BEFORE_NAMESPACE();
namespace ipp_kernels {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

using DF = hn::ScalableTag<float>;
using VF = hn::Vec<DF>;

// Two-source loops move at most 256 bits per access: they are bound by
// memory, and with three streams in flight 512-bit accesses measured a few
// percent slower than 256-bit ones on an AVX-512 processor.
using DS = hn::CappedTag<float, 8>;

// The first n (< one vector) floats of p; the other lanes are 0.
template <class D>
HWY_INLINE hn::Vec<D> LoadTail(D d, const float* p, size_t n) {
  HWY_ALIGN float lanes[hn::MaxLanes(D())] = {};
  std::memcpy(lanes, p, n * sizeof(float));
  return hn::Load(d, lanes);
}

// Writes the first n (< one vector) lanes of v to p.
template <class D>
HWY_INLINE void StoreTail(hn::Vec<D> v, D d, float* p, size_t n) {
  HWY_ALIGN float lanes[hn::MaxLanes(D())];
  hn::Store(v, d, lanes);
  std::memcpy(p, lanes, n * sizeof(float));
}

// dst[x] = op(src[x]); dst may equal src.
template <class Op>
HWY_INLINE void MapRow(const float* src, float* dst, int width, Op op) {
  const DF d;
  const size_t n = static_cast<size_t>(width), lanes = hn::Lanes(d);
  size_t x = 0;
  for (; x + lanes <= n; x += lanes) hn::StoreU(op(d, hn::LoadU(d, src + x)), d, dst + x);
  if (x < n) StoreTail(op(d, LoadTail(d, src + x, n - x)), d, dst + x, n - x);
}

// dst[x] = op(src2[x], src1[x]): the first source is the right operand.
template <class Op>
HWY_INLINE void MapRows(const float* src1, const float* src2, float* dst, int width, Op op) {
  const DS d;
  using VF = hn::Vec<DS>;
  const size_t n = static_cast<size_t>(width), lanes = hn::Lanes(d);
  size_t x = 0;
  for (; x + 2 * lanes <= n; x += 2 * lanes) {  // two loads of each source in flight
    const VF a0 = hn::LoadU(d, src2 + x), a1 = hn::LoadU(d, src2 + x + lanes);
    const VF b0 = hn::LoadU(d, src1 + x), b1 = hn::LoadU(d, src1 + x + lanes);
    hn::StoreU(op(a0, b0), d, dst + x);
    hn::StoreU(op(a1, b1), d, dst + x + lanes);
  }
  for (; x + lanes <= n; x += lanes)
    hn::StoreU(op(hn::LoadU(d, src2 + x), hn::LoadU(d, src1 + x)), d, dst + x);
  if (x < n)
    StoreTail(op(LoadTail(d, src2 + x, n - x), LoadTail(d, src1 + x, n - x)), d, dst + x, n - x);
}

}  // namespace HWY_NAMESPACE
}  // namespace ipp_kernels
HWY_AFTER_NAMESPACE();

#endif  // TESSIVO_HWY_ROWS_INL_H_
