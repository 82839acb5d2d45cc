// Row loops shared by the vectorised kernels, compiled once per target.
// Whole vectors run in the loop; the last partial vector goes through a
// stack copy, so no kernel reads or writes a float past its row's width
// (rows may end at the edge of a caller's array).
//
// An out-of-place run of at least half the last-level cache's bytes streams
// its whole vectors past the caches: its destination would not stay there
// until the next step reads it, and a plain store would first fetch each
// line only to overwrite it. Shorter runs store plainly, so that the next
// step finds their output in the cache; in-place runs have fetched their
// lines already.
#if defined(TESSIVO_HWY_ROWS_INL_H_) == defined(HWY_TARGET_TOGGLE)
#ifdef TESSIVO_HWY_ROWS_INL_H_
#undef TESSIVO_HWY_ROWS_INL_H_
#else
#define TESSIVO_HWY_ROWS_INL_H_
#endif

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "hwy/cache_control.h"
#include "hwy/highway.h"
#include "kernels.h"

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

// Stores of one whole vector; a streamed one needs p aligned to the vector.
struct Plain {
  template <class D>
  HWY_INLINE void operator()(hn::Vec<D> v, D d, float* p) const {
    hn::StoreU(v, d, p);
  }
};
struct Streamed {
  template <class D>
  HWY_INLINE void operator()(hn::Vec<D> v, D d, float* p) const {
    hn::Stream(v, d, p);
  }
};

// Floats from p up to the first address aligned to a vector of d.
template <class D>
HWY_INLINE size_t ToAligned(D d, const float* p) {
  const size_t bytes = hn::Lanes(d) * sizeof(float);
  return (bytes - reinterpret_cast<std::uintptr_t>(p) % bytes) % bytes / sizeof(float);
}

// Whether an out-of-place run of n floats streams.
HWY_INLINE bool Streams(size_t n) { return n * sizeof(float) >= LastLevelCacheBytes() / 2; }

// A run of n floats written to dst (and to destinations aligned as dst):
// whole(x, store) writes the whole vectors from x on and returns where
// they end; part(x, count) writes count (< one vector) floats at x. A
// streamed run writes the floats before dst's first aligned vector through
// part.
template <class D, class Whole, class Part>
HWY_INLINE void Run(D d, size_t n, bool stream, const float* dst, Whole whole, Part part) {
  size_t x = 0;
  if (stream) {
    const size_t head = ToAligned(d, dst);
    if (head != 0) part(0, head);
    x = whole(head, Streamed());
    hwy::FlushStream();  // orders the streamed stores before later ones
  } else {
    x = whole(0, Plain());
  }
  if (x < n) part(x, n - x);
}

// dst[x] = op(src[x]); dst may equal src.
template <class Op>
HWY_INLINE void MapRow(const float* src, float* dst, int width, Op op) {
  const DF d;
  const size_t n = static_cast<size_t>(width), lanes = hn::Lanes(d);
  Run(
      d, n, dst != src && Streams(n), dst,
      [&](size_t x, auto store) {
        for (; x + lanes <= n; x += lanes) store(op(d, hn::LoadU(d, src + x)), d, dst + x);
        return x;
      },
      [&](size_t x, size_t count) {
        StoreTail(op(d, LoadTail(d, src + x, count)), d, dst + x, count);
      });
}

// dst[x] = op(src2[x], src1[x]): the first source is the right operand.
template <class Op>
HWY_INLINE void MapRows(const float* src1, const float* src2, float* dst, int width, Op op) {
  const DS d;
  using VF = hn::Vec<DS>;
  const size_t n = static_cast<size_t>(width), lanes = hn::Lanes(d);
  Run(
      d, n, dst != src1 && dst != src2 && Streams(n), dst,
      [&](size_t x, auto store) {
        for (; x + 2 * lanes <= n; x += 2 * lanes) {  // two loads of each source in flight
          const VF a0 = hn::LoadU(d, src2 + x), a1 = hn::LoadU(d, src2 + x + lanes);
          const VF b0 = hn::LoadU(d, src1 + x), b1 = hn::LoadU(d, src1 + x + lanes);
          store(op(a0, b0), d, dst + x);
          store(op(a1, b1), d, dst + x + lanes);
        }
        for (; x + lanes <= n; x += lanes)
          store(op(hn::LoadU(d, src2 + x), hn::LoadU(d, src1 + x)), d, dst + x);
        return x;
      },
      [&](size_t x, size_t count) {
        StoreTail(op(LoadTail(d, src2 + x, count), LoadTail(d, src1 + x, count)), d, dst + x,
                  count);
      });
}

}  // namespace HWY_NAMESPACE
}  // namespace ipp_kernels
HWY_AFTER_NAMESPACE();

#endif  // TESSIVO_HWY_ROWS_INL_H_
