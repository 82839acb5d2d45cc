// Vectorised filter kernels: the Gaussian's folded row and column passes
// and the general row and column convolutions. Blocks of several vectors
// are accumulated at once so that the multiply-adds of different outputs
// overlap. A row's last partial vector is computed again as a whole vector
// ending at the width (dst never overlaps the source); rows narrower than
// one vector go to the scalar twin.
#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "kernels_filter_hwy.cpp"
#include <cstddef>
#include <type_traits>

#include "hwy/foreach_target.h"  // IWYU pragma: keep
#include "hwy/highway.h"
#include "hwy_rows-inl.h"
#include "kernels.h"

HWY_BEFORE_NAMESPACE();
namespace ipp_kernels {
namespace HWY_NAMESPACE {
namespace {

// Vectors per block: enough independent sums to cover the latency of a
// multiply-add, few enough that they and the loads in flight stay in
// registers (32 with AVX-512, 16 below). The column pass keeps two rows'
// sums and loads per vector.
constexpr bool kWide = (HWY_TARGET & (HWY_AVX3 | HWY_AVX3_DL)) != 0;
constexpr int kRowBlock = 4;
constexpr int kColumnBlock = kWide ? 4 : 3;

// f(0), .., f(M - 1), unrolled so that arrays indexed by m stay in registers.
template <int M, class F>
HWY_INLINE void Unroll(F f) {
  if constexpr (M > 0) {
    Unroll<M - 1>(f);
    f(M - 1);
  }
}

template <int M>
using Vectors = std::integral_constant<int, M>;

// Calls block(Vectors<kM>(), x), then block(Vectors<1>(), x), with blocks
// covering [0, n), n >= one vector; the last may overlap the one before.
template <int kM, class Block>
HWY_INLINE void OverColumns(size_t n, Block block) {
  const size_t lanes = hn::Lanes(DF());
  size_t x = 0;
  for (; x + kM * lanes <= n; x += kM * lanes) block(Vectors<kM>(), x);
  for (; x + lanes <= n; x += lanes) block(Vectors<1>(), x);
  if (x < n) block(Vectors<1>(), n - lanes);
}

// M vectors of sum_{d=q..1} half[d] (a_d + b_d) + half[0] c, outermost
// taps first as in the scalar twin: a_d from left(d), b_d from right(d),
// c from centre.
template <int M, class Left, class Right>
HWY_INLINE void Folded(DF d, const float* half, int q, Left left, Right right, const float* centre,
                       float* out) {
  const size_t lanes = hn::Lanes(d);
  VF acc[M];
  Unroll<M>([&](int m) { acc[m] = hn::Zero(d); });
  for (int k = q; k > 0; --k) {
    const VF tap = hn::Set(d, half[k]);
    const float *a = left(k), *b = right(k);
    Unroll<M>([&](int m) {
      const VF sum = hn::Add(hn::LoadU(d, a + m * lanes), hn::LoadU(d, b + m * lanes));
      acc[m] = hn::MulAdd(tap, sum, acc[m]);
    });
  }
  const VF tap = hn::Set(d, half[0]);
  Unroll<M>([&](int m) {
    hn::StoreU(hn::MulAdd(tap, hn::LoadU(d, centre + m * lanes), acc[m]), d, out + m * lanes);
  });
}

// Two output rows of the column pass at once, from rows t[0 .. 2q + 1]:
// the first centred on t[q], the second on t[q + 1]. Every row loaded
// serves both: going outward-in, L_k = t[q - k] and R_k = t[q + 1 + k]
// make the pairs L_{k+1} + R_k of the first and L_k + R_{k+1} of the
// second, so each output costs q + 1 loads instead of 2q + 1.
template <int M>
HWY_INLINE void ColumnPair(DF d, const float* const* t, const float* half, int q, size_t x,
                           float* out0, float* out1) {
  const size_t lanes = hn::Lanes(d);
  VF acc0[M], acc1[M], l[M], r[M];
  Unroll<M>([&](int m) {
    acc0[m] = acc1[m] = hn::Zero(d);
    l[m] = hn::LoadU(d, t[0] + x + m * lanes);
    r[m] = hn::LoadU(d, t[2 * q + 1] + x + m * lanes);
  });
  for (int k = q - 1; k >= 0; --k) {
    const VF tap = hn::Set(d, half[k + 1]);
    const float *lk = t[q - k] + x, *rk = t[q + 1 + k] + x;
    Unroll<M>([&](int m) {
      const VF ln = hn::LoadU(d, lk + m * lanes), rn = hn::LoadU(d, rk + m * lanes);
      acc0[m] = hn::MulAdd(tap, hn::Add(l[m], rn), acc0[m]);
      acc1[m] = hn::MulAdd(tap, hn::Add(ln, r[m]), acc1[m]);
      l[m] = ln;
      r[m] = rn;
    });
  }
  const VF tap = hn::Set(d, half[0]);
  Unroll<M>([&](int m) {
    hn::StoreU(hn::MulAdd(tap, l[m], acc0[m]), d, out0 + m * lanes);
    hn::StoreU(hn::MulAdd(tap, r[m], acc1[m]), d, out1 + m * lanes);
  });
}

// M vectors of sum_i kernel[i] * a_i, a_i at x of the row that row(i) returns.
template <int M, class Row>
HWY_INLINE void Convolved(DF d, const float* kernel, int taps, Row row, float* out) {
  const size_t lanes = hn::Lanes(d);
  VF acc[M];
  Unroll<M>([&](int m) { acc[m] = hn::Zero(d); });
  for (int i = 0; i < taps; ++i) {
    const VF tap = hn::Set(d, kernel[i]);
    const float* a = row(i);
    Unroll<M>([&](int m) { acc[m] = hn::MulAdd(tap, hn::LoadU(d, a + m * lanes), acc[m]); });
  }
  Unroll<M>([&](int m) { hn::StoreU(acc[m], d, out + m * lanes); });
}

float* RowAt(float* first, std::ptrdiff_t stepBytes, int j) {
  return reinterpret_cast<float*>(reinterpret_cast<char*>(first) + j * stepBytes);
}

}  // namespace

void SymmetricRow(const float* src, const float* half, int q, float* dst, int width) {
  const DF d;
  if (static_cast<size_t>(width) < hn::Lanes(d))
    return scalar::SymmetricRow(src, half, q, dst, width);
  OverColumns<kRowBlock>(static_cast<size_t>(width), [&](auto vectors, size_t x) {
    const float* s = src + x;
    Folded<decltype(vectors)::value>(
        d, half, q, [s](int k) { return s - k; }, [s](int k) { return s + k; }, s, dst + x);
  });
}

// Strips of a few vectors across, each taken down all the band's rows in
// pairs: the 2q + 2 rows of a pair's window stay in the first-level cache
// from one pair to the next.
void SymmetricColumns(const float* const* rows, int count, const float* half, int q, float* dst,
                      std::ptrdiff_t dstStep, int width) {
  const DF d;
  if (static_cast<size_t>(width) < hn::Lanes(d))
    return scalar::SymmetricColumns(rows, count, half, q, dst, dstStep, width);
  OverColumns<kColumnBlock>(static_cast<size_t>(width), [&](auto vectors, size_t x) {
    constexpr int M = decltype(vectors)::value;
    int j = 0;
    for (; j + 1 < count; j += 2)
      ColumnPair<M>(d, rows + j, half, q, x, RowAt(dst, dstStep, j) + x,
                    RowAt(dst, dstStep, j + 1) + x);
    if (j < count) {
      const float* const* t = rows + j;
      Folded<M>(
          d, half, q, [t, q, x](int k) { return t[q - k] + x; },
          [t, q, x](int k) { return t[q + k] + x; }, t[q] + x, RowAt(dst, dstStep, j) + x);
    }
  });
}

void ConvolveRow(const float* src, const float* kernel, int taps, float* dst, int width) {
  const DF d;
  if (static_cast<size_t>(width) < hn::Lanes(d))
    return scalar::ConvolveRow(src, kernel, taps, dst, width);
  OverColumns<kRowBlock>(static_cast<size_t>(width), [&](auto vectors, size_t x) {
    const float* s = src + x;
    Convolved<decltype(vectors)::value>(
        d, kernel, taps, [s](int i) { return s - i; }, dst + x);
  });
}

void ConvolveColumn(const float* src, std::ptrdiff_t stepBytes, const float* kernel, int taps,
                    float* dst, int width) {
  const DF d;
  if (static_cast<size_t>(width) < hn::Lanes(d))
    return scalar::ConvolveColumn(src, stepBytes, kernel, taps, dst, width);
  OverColumns<kColumnBlock>(static_cast<size_t>(width), [&](auto vectors, size_t x) {
    const char* base = reinterpret_cast<const char*>(src + x);
    Convolved<decltype(vectors)::value>(
        d, kernel, taps,
        [base, stepBytes](int i) { return reinterpret_cast<const float*>(base - i * stepBytes); },
        dst + x);
  });
}

}  // namespace HWY_NAMESPACE
}  // namespace ipp_kernels
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
#include "dispatch.h"

namespace ipp_kernels {

IPP_DISPATCH(SymmetricRow, (const float* src, const float* half, int q, float* dst, int width),
             (src, half, q, dst, width))
IPP_DISPATCH(SymmetricColumns,
             (const float* const* rows, int count, const float* half, int q, float* dst,
              std::ptrdiff_t dstStep, int width),
             (rows, count, half, q, dst, dstStep, width))
IPP_DISPATCH(ConvolveRow, (const float* src, const float* kernel, int taps, float* dst, int width),
             (src, kernel, taps, dst, width))
IPP_DISPATCH(ConvolveColumn,
             (const float* src, std::ptrdiff_t stepBytes, const float* kernel, int taps, float* dst,
              int width),
             (src, stepBytes, kernel, taps, dst, width))

// Edge replication is a copy and a fill: no vector code of its own.
void ReplicateRow(const float* src, int width, int left, int right, float* dst) {
  scalar::ReplicateRow(src, width, left, right, dst);
}

}  // namespace ipp_kernels
#endif  // HWY_ONCE
