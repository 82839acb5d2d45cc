// Row kernels of the primitives. Each works on `width` consecutive floats
// (width >= 1) and touches nothing past them; the primitives check their
// arguments and then call one kernel per row. A vectorised build supplies
// other definitions of these same functions.
#ifndef TESSIVO_PLATFORM_IPP_KERNELS_H
#define TESSIVO_PLATFORM_IPP_KERNELS_H

#include <cstddef>

namespace ipp_kernels {

// dst may equal src in every element-wise kernel.
void CopyRow(const float* src, float* dst, int width);
void AddCRow(const float* src, float value, float* dst, int width);
void SubCRow(const float* src, float value, float* dst, int width);
void MulCRow(const float* src, float value, float* dst, int width);
void DivCRevRow(float value, const float* src, float* dst, int width);  // value / x

// dst = src2 op src1: the first source is the subtrahend and the divisor.
void AddRow(const float* src1, const float* src2, float* dst, int width);
void SubRow(const float* src1, const float* src2, float* dst, int width);
void MulRow(const float* src1, const float* src2, float* dst, int width);
void DivRow(const float* src1, const float* src2, float* dst, int width);

// e^x: +Inf above 88.7228, 0 below -103.972, NaN stays NaN.
void ExpRow(const float* src, float* dst, int width);
// ln x: -Inf at +-0, NaN below 0 and for NaN.
void LnRow(const float* src, float* dst, int width);

// x < lt (or NaN) gives valueLT, else x > gt gives valueGT, else x.
void ThresholdRow(const float* src, float* dst, int width, float lt, float valueLT, float gt,
                  float valueGT);

// d_c = t[4c] s0 + t[4c+1] s1 + t[4c+2] s2 + t[4c+3]. Each pixel's three
// sources are read before its outputs are written, so outputs may alias
// the sources.
void ColorTwistRow(const float* const src[3], float* const dst[3], const float t[12], int width);

// dst[0 .. left) = src[0], dst[left .. left + width) = src,
// dst[left + width .. left + width + right) = src[width - 1].
void ReplicateRow(const float* src, int width, int left, int right, float* dst);

// dst[x] = sum_{i < taps} kernel[i] * src[x - i]; src must hold taps - 1
// floats before its first element. dst must not overlap src.
void ConvolveRow(const float* src, const float* kernel, int taps, float* dst, int width);

// dst[x] = sum_{i < taps} kernel[i] * row_i[x], row_i being src moved back
// by i * stepBytes. dst must not overlap the rows read.
void ConvolveColumn(const float* src, std::ptrdiff_t stepBytes, const float* kernel, int taps,
                    float* dst, int width);

}  // namespace ipp_kernels

#endif  // TESSIVO_PLATFORM_IPP_KERNELS_H
