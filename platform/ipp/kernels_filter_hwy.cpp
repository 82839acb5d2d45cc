// Vectorised filter kernels: the Gaussian's folded row and column passes
// and the general row and column convolutions. Blocks of several outputs
// are accumulated at once so that the multiply-adds of different outputs
// overlap and each vector loaded serves several of them. A row's last
// partial vector is computed again as a whole vector ending at the width
// (dst never overlaps the source); rows narrower than one vector go to the
// scalar twin.
#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "kernels_filter_hwy.cpp"
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "hwy/cache_control.h"
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
// registers (32 with AVX-512, 16 below).
constexpr bool kWide = (HWY_TARGET & (HWY_AVX3 | HWY_AVX3_DL)) != 0;
constexpr int kRowBlock = 4;
constexpr int kColumnBlock = kWide ? 4 : 3;
// Outputs of a symmetric filter computed together along its axis: each
// keeps its sum and one input on either side in registers.
constexpr int kFoldedBlock = kWide ? 8 : 4;
constexpr size_t kMaxLanes = hn::MaxLanes(DF());
static_assert(kMaxLanes <= kSymmetricRowsBlock, "a block of rows is one vector of each column");

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

// R outputs of a symmetric filter of 2q + 1 taps along a line of vectors:
// output j = sum_{k=q..1} half[k] (a[j - k] + a[j + k]) + half[0] a[j],
// outermost taps first as in the scalar twin, a[i] at at(i) for
// i = -q .. R - 1 + q; out(j, value) takes the results once every input is
// loaded. From one tap to the next the inputs on either side move by one,
// so each step loads two vectors for R outputs: after s steps, a[j - q + s]
// stays in left[(j + s) % R] and a[j + q - s] in right[(j - s) mod R].
template <int R, class At, class Out>
HWY_INLINE void FoldedBlock(DF d, At at, const float* half, int q, Out out) {
  VF acc[R], left[R], right[R];
  Unroll<R>([&](int j) {
    acc[j] = hn::Zero(d);
    left[j] = hn::LoadU(d, at(j - q));
    right[j] = hn::LoadU(d, at(j + q));
  });
  auto step = [&](int s, int phase) {  // phase = s % R, known when compiled
    const VF tap = hn::Set(d, half[q - s]);
    Unroll<R>([&](int j) {
      const VF sum = hn::Add(left[(j + phase) % R], right[(j - phase + R) % R]);
      acc[j] = hn::MulAdd(tap, sum, acc[j]);
    });
    // The inputs of the next tap; in range (and unused) after the last.
    left[phase] = hn::LoadU(d, at(s + R - q));
    right[R - 1 - phase] = hn::LoadU(d, at(q - s - 1));
  };
  int s = 0;
  for (; s + R <= q; s += R) Unroll<R>([&](int phase) { step(s + phase, phase); });
  Unroll<R>([&](int phase) {
    if (s + phase < q) step(s + phase, phase);
  });
  const VF tap = hn::Set(d, half[0]);
  Unroll<R>([&](int j) { out(j, hn::MulAdd(tap, hn::LoadU(d, at(j)), acc[j])); });
}

// FoldedBlock for short filters, Q <= kShort: the R + 2Q inputs all stay in
// registers, each loaded once.
constexpr int kShort = kWide ? 6 : 3;

template <int R, int Q, class At, class Out>
HWY_INLINE void ShortBlock(DF d, At at, const float* half, Out out) {
  VF a[R + 2 * Q], acc[R];
  Unroll<R + 2 * Q>([&](int i) { a[i] = hn::LoadU(d, at(i - Q)); });
  Unroll<R>([&](int j) { acc[j] = hn::Zero(d); });
  Unroll<Q>([&](int s) {  // tap Q - s
    const VF tap = hn::Set(d, half[Q - s]);
    Unroll<R>(
        [&](int j) { acc[j] = hn::MulAdd(tap, hn::Add(a[j + s], a[j + 2 * Q - s]), acc[j]); });
  });
  const VF tap = hn::Set(d, half[0]);
  Unroll<R>([&](int j) { out(j, hn::MulAdd(tap, a[j + Q], acc[j])); });
}

// ShortBlock<R, q> if Q <= q <= kShort, else FoldedBlock<R>.
template <int R, int Q, class At, class Out>
HWY_INLINE void AnyBlock(DF d, At at, const float* half, int q, Out out) {
  if constexpr (Q <= kShort) {
    if (q == Q) return ShortBlock<R, Q>(d, at, half, out);
    return AnyBlock<R, Q + 1>(d, at, half, q, out);
  } else {
    FoldedBlock<R>(d, at, half, q, out);
  }
}

// Transposes the square of vectors v: lane i of v[j] goes to lane j of
// v[i]. Four rows at a time within each 128-bit block, then the blocks.
HWY_INLINE void Transpose(DF d, VF* v) {
#if HWY_TARGET == HWY_SCALAR
  (void)d, (void)v;  // one lane
#else
  constexpr size_t n = kMaxLanes;
  static_assert(n >= 4, "");
  {
    const hn::Repartition<double, DF> dd;
    auto lower = [&](VF a, VF b) {
      return hn::BitCast(d, hn::InterleaveLower(dd, hn::BitCast(dd, a), hn::BitCast(dd, b)));
    };
    auto upper = [&](VF a, VF b) {
      return hn::BitCast(d, hn::InterleaveUpper(dd, hn::BitCast(dd, a), hn::BitCast(dd, b)));
    };
    Unroll<n / 4>([&](int group) {
      const int g = 4 * group;
      const VF t0 = hn::InterleaveLower(d, v[g], v[g + 1]);
      const VF t1 = hn::InterleaveLower(d, v[g + 2], v[g + 3]);
      const VF t2 = hn::InterleaveUpper(d, v[g], v[g + 1]);
      const VF t3 = hn::InterleaveUpper(d, v[g + 2], v[g + 3]);
      v[g] = lower(t0, t1);
      v[g + 1] = upper(t0, t1);
      v[g + 2] = lower(t2, t3);
      v[g + 3] = upper(t2, t3);
    });
  }
  // Now block b of v[4 g + j] holds column 4 b + j of rows 4 g .. 4 g + 3.
  if constexpr (n == 8) {
    Unroll<4>([&](int j) {
      const VF lo = v[j], hi = v[4 + j];
      v[j] = hn::ConcatLowerLower(d, hi, lo);
      v[4 + j] = hn::ConcatUpperUpper(d, hi, lo);
    });
  }
#if HWY_TARGET <= HWY_AVX3
  static_assert(n == 16, "");
  {
    // Each output takes a 128-bit block of four inputs: two rounds of
    // block shuffles.
    Unroll<4>([&](int j) {
      const __m512 g0 = v[j].raw, g1 = v[4 + j].raw, g2 = v[8 + j].raw, g3 = v[12 + j].raw;
      constexpr int kEven = _MM_SHUFFLE(2, 0, 2, 0), kOdd = _MM_SHUFFLE(3, 1, 3, 1);
      const __m512 even01 = _mm512_shuffle_f32x4(g0, g1, kEven);  // blocks 0 and 2
      const __m512 odd01 = _mm512_shuffle_f32x4(g0, g1, kOdd);    // blocks 1 and 3
      const __m512 even23 = _mm512_shuffle_f32x4(g2, g3, kEven);
      const __m512 odd23 = _mm512_shuffle_f32x4(g2, g3, kOdd);
      v[j] = VF{_mm512_shuffle_f32x4(even01, even23, kEven)};
      v[4 + j] = VF{_mm512_shuffle_f32x4(odd01, odd23, kEven)};
      v[8 + j] = VF{_mm512_shuffle_f32x4(even01, even23, kOdd)};
      v[12 + j] = VF{_mm512_shuffle_f32x4(odd01, odd23, kOdd)};
    });
  }
#endif
#endif
}

// The row pass of one block of kMaxLanes rows (`rows` of them real, the
// others repeating the last) over columns [x0, x1), at least one vector,
// into dst[r][0 .. x1 - x0). The block goes through t transposed, t[i]
// holding column x0 - q + i of every row (the edge column beyond the
// edges), so that the filter runs along a line of vectors as down a
// column. Columns are transposed into t just before the filter needs them
// and the results, written over the inputs no longer needed, transposed
// out as soon as a square of them is done, so t stays in the first-level
// cache.
HWY_FLATTEN void RowBlock(DF d, const float* const* src, float* const* dst, int rows, int width,
                          int x0, int x1, const float* half, int q, float* t) {
  constexpr int n = static_cast<int>(kMaxLanes);
  const int count = x1 - x0;
  const int hi = std::min(width, x1 + q);  // source columns read: [max(0, x0 - q), hi)
  auto at = [t](int i) { return t + static_cast<ptrdiff_t>(i) * n; };
  auto column = [&](int c) { return at(c - x0 + q); };
  // The rows are read side by side, too many at once for the processor's
  // own prefetching to follow: each is fetched kAhead floats ahead.
  constexpr int kAhead = 64;
  int built = std::max(0, x0 - q);  // source columns [max(0, x0 - q), built) are in t
  auto build = [&](int need) {
    while (built < need) {
      const int c = std::min(built, width - n);  // the last square may overlap
      VF v[n];
      Unroll<n>([&](int i) {
        v[i] = hn::LoadU(d, src[i] + c);
        hwy::Prefetch(src[i] + c + kAhead);
      });
      Transpose(d, v);
      Unroll<n>([&](int i) {
        if (c + i >= built && c + i < hi) hn::Store(v[i], d, column(c + i));
      });
      if (built == 0)
        for (int i = x0 - q; i < 0; ++i) hn::Store(v[0], d, column(i));
      if (c + n == width)
        for (int i = width; i < x1 + q; ++i) hn::Store(v[n - 1], d, column(i));
      built = std::min(c + n, hi);
    }
  };
  int done = 0;  // results [0, done) are in dst
  auto flush = [&](int ready) {
    for (; done + n <= ready || (ready == count && done < count); done += n) {
      const int c = std::min(done, count - n);
      VF v[n];
      Unroll<n>([&](int i) { v[i] = hn::Load(d, at(c + i)); });
      Transpose(d, v);
      Unroll<n>([&](int i) {
        if (i < rows) hn::StoreU(v[i], d, dst[i] + c);
      });
      done = c;
    }
  };
  int x = 0;  // results [0, x) are in t, result x at t[x] centred on t[x + q]
  for (; x + kFoldedBlock <= count; x += kFoldedBlock) {
    build(std::min(hi, x0 + x + kFoldedBlock + q));
    FoldedBlock<kFoldedBlock>(
        d, [&](int i) { return at(x + q + i); }, half, q,
        [&](int j, VF sum) { hn::Store(sum, d, at(x + j)); });
    flush(x + kFoldedBlock);
  }
  for (; x < count; ++x) {
    build(std::min(hi, x0 + x + 1 + q));
    FoldedBlock<1>(
        d, [&](int i) { return at(x + q + i); }, half, q,
        [&](int, VF sum) { hn::Store(sum, d, at(x)); });
    flush(x + 1);
  }
}

#if HWY_TARGET <= HWY_AVX3
// Short row filters without transposing: a row's vectors a, b, c at x - 16,
// x and x + 16 give its pixels K before and after x, K < 16.
template <int K>
HWY_INLINE VF Before(VF a, VF b) {
  return VF{_mm512_castsi512_ps(
      _mm512_alignr_epi32(_mm512_castps_si512(b.raw), _mm512_castps_si512(a.raw), 16 - K))};
}
template <int K>
HWY_INLINE VF After(VF b, VF c) {
  return VF{_mm512_castsi512_ps(
      _mm512_alignr_epi32(_mm512_castps_si512(c.raw), _mm512_castps_si512(b.raw), K))};
}
// M vectors: acc plus taps K .. 1, then the centre; v[m + 1] is at x.
template <int K, int M>
HWY_INLINE void ShortTaps(DF d, const VF* v, const float* half, VF* acc) {
  if constexpr (K == 0) {
    const VF tap = hn::Set(d, half[0]);
    Unroll<M>([&](int m) { acc[m] = hn::MulAdd(tap, v[m + 1], acc[m]); });
  } else {
    const VF tap = hn::Set(d, half[K]);
    Unroll<M>([&](int m) {
      const VF sum = hn::Add(Before<K>(v[m], v[m + 1]), After<K>(v[m + 1], v[m + 2]));
      acc[m] = hn::MulAdd(tap, sum, acc[m]);
    });
    ShortTaps<K - 1, M>(d, v, half, acc);
  }
}

template <int Q>
HWY_FLATTEN void ShortRows(DF d, const float* const* src, float* const* dst, int rows, int width,
                           int x0, int x1, const float* half) {
  constexpr int n = static_cast<int>(kMaxLanes);
  constexpr int M = 4;  // vectors at once, for their sums to overlap
  const int count = x1 - x0;
  for (int r = 0; r < rows; ++r) {
    const float* s = src[r];
    float* out = dst[r];
    auto at = [&](int x) {  // s[x .. x + n), edge pixels repeated
      if (x >= 0 && x + n <= width) return hn::LoadU(d, s + x);
      HWY_ALIGN float edge[n];
      for (int i = 0; i < n; ++i) edge[i] = s[std::clamp(x + i, 0, width - 1)];
      return hn::Load(d, edge);
    };
    auto vectors = [&](auto many, int i) {
      constexpr int m = decltype(many)::value;
      const int x = x0 + i;
      VF v[m + 2], acc[m];
      Unroll<m + 2>([&](int k) { v[k] = at(x + (k - 1) * n); });
      Unroll<m>([&](int k) { acc[k] = hn::Zero(d); });
      ShortTaps<Q, m>(d, v, half, acc);
      Unroll<m>([&](int k) { hn::StoreU(acc[k], d, out + i + k * n); });
    };
    int i = 0;
    for (; i + M * n <= count; i += M * n) vectors(Vectors<M>(), i);
    for (; i + n <= count; i += n) vectors(Vectors<1>(), i);
    if (i < count) vectors(Vectors<1>(), count - n);  // overlaps the one before
  }
}

template <int Q>
HWY_INLINE bool ShortRowsUpTo(DF d, const float* const* src, float* const* dst, int rows, int width,
                              int x0, int x1, const float* half, int q) {
  if constexpr (Q > 0) {
    if (q == Q) {
      ShortRows<Q>(d, src, dst, rows, width, x0, x1, half);
      return true;
    }
    return ShortRowsUpTo<Q - 1>(d, src, dst, rows, width, x0, x1, half, q);
  }
  return false;
}
#endif

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

// Short filters on AVX-512 shift the lanes of a row's own vectors (one
// instruction a shift there); the others filter blocks of rows transposed.
void SymmetricRows(const float* const* src, float* const* dst, int rows, int width, int x0, int x1,
                   const float* half, int q, float* work) {
  const DF d;
  constexpr int n = static_cast<int>(kMaxLanes);
  if (x1 - x0 < n || width < n)
    return scalar::SymmetricRows(src, dst, rows, width, x0, x1, half, q, work);
#if HWY_TARGET <= HWY_AVX3
  if (ShortRowsUpTo<kShort>(d, src, dst, rows, width, x0, x1, half, q)) return;
#endif
  for (int r = 0; r < rows; r += n) {
    const int real = std::min(n, rows - r);
    const float* in[n];
    for (int i = 0; i < n; ++i) in[i] = src[r + std::min(i, real - 1)];
    RowBlock(d, in, dst + r, real, width, x0, x1, half, q, work);
  }
}

// Output rows j .. j + R - 1 of the column pass at column x. Whole aligned
// cache lines of output bypass the caches: nothing reads them again soon,
// and no line is fetched only to be overwritten.
template <int R>
HWY_INLINE void ColumnBlock(DF d, const float* const* rows, int j, const float* half, int q,
                            float* dst, std::ptrdiff_t dstStep, size_t x) {
  const float* const* centre = rows + j + q;
  AnyBlock<R, 1>(
      d, [centre, x](int i) { return centre[i] + x; }, half, q,
      [&](int m, VF sum) {
        float* out = RowAt(dst, dstStep, j + m) + x;
        if (kWide && reinterpret_cast<std::uintptr_t>(out) % 64 == 0)
          hn::Stream(sum, d, out);
        else
          hn::StoreU(sum, d, out);
      });
}

// Strips one vector across, each taken down all the band's rows in blocks:
// the 2q + kFoldedBlock rows of a block's window stay in the first-level
// cache from one block to the next. Narrower vectors fill a cache line over
// several strips: the next strip's output lines are fetched ahead.
HWY_FLATTEN void SymmetricColumns(const float* const* rows, int count, const float* half, int q,
                                  float* dst, std::ptrdiff_t dstStep, int width) {
  const DF d;
  const size_t lanes = hn::Lanes(d), n = static_cast<size_t>(width);
  if (n < lanes) return scalar::SymmetricColumns(rows, count, half, q, dst, dstStep, width);
  constexpr bool kFetchAhead = !kWide && kMaxLanes >= 4;
  for (size_t strip = 0; strip < n; strip += lanes) {
    const size_t x = std::min(strip, n - lanes);  // the last strip may overlap
    const size_t next = std::min(x + lanes, n - lanes);
    int j = 0;
    auto block = [&](auto outputs) {
      constexpr int R = decltype(outputs)::value;
      if constexpr (kFetchAhead)
        Unroll<R>([&](int m) { __builtin_prefetch(RowAt(dst, dstStep, j + m) + next, 1); });
      ColumnBlock<R>(d, rows, j, half, q, dst, dstStep, x);
    };
    for (; j + kFoldedBlock <= count; j += kFoldedBlock) block(Vectors<kFoldedBlock>());
    for (; j < count; ++j) block(Vectors<1>());
  }
  if constexpr (kWide) hwy::FlushStream();  // orders the streamed stores before later ones
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

IPP_DISPATCH(SymmetricRows,
             (const float* const* src, float* const* dst, int rows, int width, int x0, int x1,
              const float* half, int q, float* work),
             (src, dst, rows, width, x0, x1, half, q, work))
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
