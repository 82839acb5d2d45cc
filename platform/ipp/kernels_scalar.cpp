// Portable definitions of the row kernels: the reference twins of the
// vectorised paths.
#include <cmath>
#include <cstring>
#include <limits>

#include "kernels.h"

namespace ipp_kernels {
namespace scalar __attribute__((visibility("default"))) {
namespace {

// Output pixels accumulated at once by the column filter: enough to keep
// the loop over rows streaming, small enough to stay in registers/L1.
constexpr int kColumnBlock = 64;

template <typename Op>
inline void Unary(const float* src, float* dst, int width, Op op) {
  for (int x = 0; x < width; ++x) dst[x] = op(src[x]);
}

template <typename Op>
inline void Binary(const float* src1, const float* src2, float* dst, int width, Op op) {
  for (int x = 0; x < width; ++x) dst[x] = op(src2[x], src1[x]);
}

}  // namespace

void CopyRow(const float* src, float* dst, int width) {
  if (src != dst) std::memmove(dst, src, sizeof(float) * static_cast<size_t>(width));
}

void AddCRow(const float* src, float value, float* dst, int width) {
  Unary(src, dst, width, [value](float x) { return x + value; });
}

void SubCRow(const float* src, float value, float* dst, int width) {
  Unary(src, dst, width, [value](float x) { return x - value; });
}

void MulCRow(const float* src, float value, float* dst, int width) {
  Unary(src, dst, width, [value](float x) { return x * value; });
}

void DivCRevRow(float value, const float* src, float* dst, int width) {
  Unary(src, dst, width, [value](float x) { return value / x; });
}

void AddRow(const float* src1, const float* src2, float* dst, int width) {
  Binary(src1, src2, dst, width, [](float a, float b) { return a + b; });
}

void SubRow(const float* src1, const float* src2, float* dst, int width) {
  Binary(src1, src2, dst, width, [](float a, float b) { return a - b; });
}

void MulRow(const float* src1, const float* src2, float* dst, int width) {
  Binary(src1, src2, dst, width, [](float a, float b) { return a * b; });
}

void DivRow(const float* src1, const float* src2, float* dst, int width) {
  Binary(src1, src2, dst, width, [](float a, float b) { return a / b; });
}

void ExpRow(const float* src, float* dst, int width) {
  Unary(src, dst, width, [](float x) {
    // +Inf above 88.7228, 0 below -103.972: the nearest floats lie beyond.
    if (x >= 88.7228f) return std::numeric_limits<float>::infinity();
    if (x <= -103.972f) return 0.0f;
    return std::exp(x);  // NaN passes through
  });
}

void LnRow(const float* src, float* dst, int width) {
  Unary(src, dst, width, [](float x) { return std::log(x); });
}

void ThresholdRow(const float* src, float* dst, int width, float lt, float valueLT, float gt,
                  float valueGT) {
  Unary(src, dst, width, [=](float x) {
    if (x < lt || std::isnan(x)) return valueLT;
    return x > gt ? valueGT : x;
  });
}

void ColorTwistRow(const float* const src[3], float* const dst[3], const float t[12], int width) {
  for (int x = 0; x < width; ++x) {
    const float s0 = src[0][x], s1 = src[1][x], s2 = src[2][x];
    const float d0 = t[0] * s0 + t[1] * s1 + t[2] * s2 + t[3];
    const float d1 = t[4] * s0 + t[5] * s1 + t[6] * s2 + t[7];
    const float d2 = t[8] * s0 + t[9] * s1 + t[10] * s2 + t[11];
    dst[0][x] = d0;
    dst[1][x] = d1;
    dst[2][x] = d2;
  }
}

void ReplicateRow(const float* src, int width, int left, int right, float* dst) {
  const float first = src[0], last = src[width - 1];
  for (int x = 0; x < left; ++x) dst[x] = first;
  std::memmove(dst + left, src, sizeof(float) * static_cast<size_t>(width));
  float* tail = dst + left + width;
  for (int x = 0; x < right; ++x) tail[x] = last;
}

void ConvolveRow(const float* src, const float* kernel, int taps, float* dst, int width) {
  for (int x = 0; x < width; ++x) {
    float acc = 0.0f;
    for (int i = 0; i < taps; ++i) acc += kernel[i] * src[x - i];
    dst[x] = acc;
  }
}

void ConvolveColumn(const float* src, std::ptrdiff_t stepBytes, const float* kernel, int taps,
                    float* dst, int width) {
  const char* base = reinterpret_cast<const char*>(src);
  float acc[kColumnBlock];
  for (int x0 = 0; x0 < width; x0 += kColumnBlock) {
    const int n = width - x0 < kColumnBlock ? width - x0 : kColumnBlock;
    for (int x = 0; x < n; ++x) acc[x] = 0.0f;
    for (int i = 0; i < taps; ++i) {
      const float* row = reinterpret_cast<const float*>(base - i * stepBytes) + x0;
      const float k = kernel[i];
      for (int x = 0; x < n; ++x) acc[x] += k * row[x];
    }
    for (int x = 0; x < n; ++x) dst[x0 + x] = acc[x];
  }
}

void SymmetricRows(const float* const* src, float* const* dst, int rows, int width, int x0,
                   int x1, const float* half, int q, float* work) {
  const float* s = work + q;  // s[x] = column x0 + x, the edge columns beyond the edges
  for (int r = 0; r < rows; ++r) {
    for (int i = 0; i < x1 - x0 + 2 * q; ++i) {
      const int c = x0 - q + i;
      work[i] = src[r][c < 0 ? 0 : c < width ? c : width - 1];
    }
    for (int x = 0; x < x1 - x0; ++x) {
      float acc = 0.0f;  // outermost taps first: the small terms add up before the large
      for (int d = q; d > 0; --d) acc += half[d] * (s[x - d] + s[x + d]);
      dst[r][x] = acc + half[0] * s[x];
    }
  }
}

void SymmetricColumns(const float* const* rows, int count, const float* half, int q, float* dst,
                      std::ptrdiff_t dstStep, int width) {
  for (int j = 0; j < count; ++j, ++rows) {
    float* out = reinterpret_cast<float*>(reinterpret_cast<char*>(dst) + j * dstStep);
    for (int x = 0; x < width; ++x) {
      float acc = 0.0f;
      for (int d = q; d > 0; --d) acc += half[d] * (rows[q - d][x] + rows[q + d][x]);
      out[x] = acc + half[0] * rows[q][x];
    }
  }
}

}  // namespace scalar
}  // namespace ipp_kernels
