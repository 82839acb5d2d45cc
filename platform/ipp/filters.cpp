// Neighbourhood primitives: the Gaussian filter, border replication and the
// row and column convolutions.
#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdint>

#include "ipp.h"
#include "kernels.h"
#include "plane.h"

namespace k = ipp_kernels;
using ipp_internal::CheckPlane;
using ipp_internal::CheckPlanes;
using ipp_internal::FloatBytes;
using ipp_internal::RegionOk;
using ipp_internal::RowOf;

namespace {

constexpr std::int64_t kAlign = 64;  // bytes

std::int64_t AlignUp(std::int64_t bytes) { return (bytes + kAlign - 1) / kAlign * kAlign; }

// The Gaussian's work buffer. A tap further from the centre than the region
// is wide reads the edge pixel for every output pixel, so the taps beyond
// width - 1 (height - 1) are folded into the outermost one: each pass runs
// at most 2 * width - 1 (2 * height - 1) taps, however large K is.
//
// Sections, each 64-byte aligned, in bytes from the aligned start:
//   row taps (kx floats), column taps (ky floats),
//   one source row padded by (kx - 1) / 2 edge pixels on each side,
//   the row pass's result padded by (ky - 1) / 2 edge rows above and below.
struct GaussLayout {
  int kx = 0, ky = 0;           // taps per pass, odd
  std::int64_t resultStep = 0;  // bytes per row of the row pass's result
  std::int64_t tapsX = 0, tapsY = 0, padRow = 0, result = 0;
  std::int64_t bytes = 0;  // whole buffer, with slack for aligning its start
};

GaussLayout LayoutFor(IppiSize roi, int kernelSize) {
  GaussLayout l;
  l.kx = static_cast<int>(std::min<std::int64_t>(kernelSize, 2 * std::int64_t{roi.width} - 1));
  l.ky = static_cast<int>(std::min<std::int64_t>(kernelSize, 2 * std::int64_t{roi.height} - 1));
  l.resultStep = AlignUp(FloatBytes(roi.width));
  l.tapsX = 0;
  l.tapsY = l.tapsX + AlignUp(FloatBytes(l.kx));
  l.padRow = l.tapsY + AlignUp(FloatBytes(l.ky));
  l.result = l.padRow + AlignUp(FloatBytes(std::int64_t{roi.width} + l.kx - 1));
  l.bytes = l.result + l.resultStep * (std::int64_t{roi.height} + l.ky - 1) + kAlign;
  return l;
}

IppStatus CheckGauss(IppiSize roi, int kernelSize) {
  if (!RegionOk(roi)) return ippStsSizeErr;
  if (kernelSize < 3 || kernelSize % 2 == 0) return ippStsMaskSizeErr;
  if (LayoutFor(roi, kernelSize).bytes > INT_MAX) return ippStsSizeErr;
  return ippStsNoErr;
}

// Writes the folded, normalised taps of both passes: weights
// exp(-d^2 / (2 sigma^2)) for d = -K/2 .. K/2, summed in double.
void GaussTaps(int kernelSize, double sigma, int kx, int ky, float* tapsX, float* tapsY) {
  const int half = kernelSize / 2;
  const int qx = kx / 2, qy = ky / 2;
  const double scale = -1.0 / (2.0 * sigma * sigma);
  auto weight = [scale](int d) { return std::exp(scale * double(d) * double(d)); };

  double total = 1.0, tailX = 0.0, tailY = 0.0;  // tails: d >= q on one side
  for (int d = 1; d <= half; ++d) {
    const double w = weight(d);
    if (w == 0.0) break;  // the weights only shrink from here on
    total += 2.0 * w;
    if (d >= qx) tailX += w;
    if (d >= qy) tailY += w;
  }
  auto fill = [&](float* taps, int q, double tail) {
    if (q == 0) {  // a one-pixel region: every tap reads the same pixel
      taps[0] = 1.0f;
      return;
    }
    for (int d = 0; d < q; ++d) taps[q - d] = taps[q + d] = static_cast<float>(weight(d) / total);
    taps[0] = taps[2 * q] = static_cast<float>(tail / total);
  };
  fill(tapsX, qx, tailX);
  fill(tapsY, qy, tailY);
}

// Refusals of the row and column filters; a source row must hold
// srcPixels floats.
IppStatus CheckFilter(const Ipp32f* src, int srcStep, const Ipp32f* dst, int dstStep, IppiSize roi,
                      const Ipp32f* taps, int kernelSize, std::int64_t srcPixels) {
  if (src == nullptr || dst == nullptr || taps == nullptr) return ippStsNullPtrErr;
  if (!RegionOk(roi) || kernelSize < 1) return ippStsSizeErr;
  if (dstStep < FloatBytes(roi.width) || srcStep < FloatBytes(srcPixels)) return ippStsStepErr;
  return ippStsNoErr;
}

}  // namespace

extern "C" {

IppStatus ippiFilterGaussGetBufferSize_32f_C1R(IppiSize roiSize, int kernelSize, int* pBufferSize) {
  if (pBufferSize == nullptr) return ippStsNullPtrErr;
  const IppStatus status = CheckGauss(roiSize, kernelSize);
  if (status != ippStsNoErr) return status;
  *pBufferSize = static_cast<int>(LayoutFor(roiSize, kernelSize).bytes);
  return ippStsNoErr;
}

IppStatus ippiFilterGaussBorder_32f_C1R(const Ipp32f* pSrc, int srcStep, Ipp32f* pDst, int dstStep,
                                        IppiSize roiSize, int kernelSize, Ipp32f sigma,
                                        IppiBorderType borderType, Ipp32f /*borderValue*/,
                                        Ipp8u* pBuffer) {
  if (pBuffer == nullptr) return ippStsNullPtrErr;
  IppStatus status =
      CheckPlanes(CheckPlane(pSrc, srcStep, roiSize), CheckPlane(pDst, dstStep, roiSize),
                  CheckGauss(roiSize, kernelSize));
  if (status != ippStsNoErr) return status;
  if (!(sigma > 0.0f)) return ippStsBadArgErr;  // NaN too
  if (borderType != ippBorderRepl) return ippStsBorderErr;

  const GaussLayout l = LayoutFor(roiSize, kernelSize);
  const auto start = reinterpret_cast<std::uintptr_t>(pBuffer);
  char* base = reinterpret_cast<char*>(pBuffer) + (kAlign - start % kAlign) % kAlign;
  auto* tapsX = reinterpret_cast<float*>(base + l.tapsX);
  auto* tapsY = reinterpret_cast<float*>(base + l.tapsY);
  auto* padRow = reinterpret_cast<float*>(base + l.padRow);
  auto* result = reinterpret_cast<float*>(base + l.result);
  const int width = roiSize.width, height = roiSize.height;
  const int qx = l.kx / 2, qy = l.ky / 2;
  const int resultStep = static_cast<int>(l.resultStep);
  GaussTaps(kernelSize, sigma, l.kx, l.ky, tapsX, tapsY);

  // Row pass into result rows qy .. qy + height - 1; the source is fully
  // read before the destination is written, so they may be one plane.
  for (int y = 0; y < height; ++y) {
    k::ReplicateRow(RowOf(pSrc, srcStep, y), width, qx, qx, padRow);
    k::ConvolveRow(padRow + l.kx - 1, tapsX, l.kx, RowOf(result, resultStep, qy + y), width);
  }
  for (int y = 0; y < qy; ++y) {
    k::CopyRow(RowOf(result, resultStep, qy), RowOf(result, resultStep, y), width);
    k::CopyRow(RowOf(result, resultStep, qy + height - 1),
               RowOf(result, resultStep, qy + height + y), width);
  }
  // Column pass: result rows y .. y + ky - 1 centre on source row y.
  for (int y = 0; y < height; ++y)
    k::ConvolveColumn(RowOf(result, resultStep, y + l.ky - 1), resultStep, tapsY, l.ky,
                      RowOf(pDst, dstStep, y), width);
  return ippStsNoErr;
}

IppStatus ippiCopyReplicateBorder_32f_C1R(const Ipp32f* pSrc, int srcStep, IppiSize srcRoiSize,
                                          Ipp32f* pDst, int dstStep, IppiSize dstRoiSize,
                                          int topBorderHeight, int leftBorderWidth) {
  const IppStatus status =
      CheckPlanes(CheckPlane(pSrc, srcStep, srcRoiSize), CheckPlane(pDst, dstStep, dstRoiSize));
  if (status != ippStsNoErr) return status;
  if (topBorderHeight < 0 || leftBorderWidth < 0) return ippStsSizeErr;
  const std::int64_t right = std::int64_t{dstRoiSize.width} - leftBorderWidth - srcRoiSize.width;
  if (right < 0 || std::int64_t{dstRoiSize.height} - topBorderHeight - srcRoiSize.height < 0)
    return ippStsSizeErr;

  for (int y = 0; y < dstRoiSize.height; ++y) {
    const int sy = std::clamp(y - topBorderHeight, 0, srcRoiSize.height - 1);
    k::ReplicateRow(RowOf(pSrc, srcStep, sy), srcRoiSize.width, leftBorderWidth,
                    static_cast<int>(right), RowOf(pDst, dstStep, y));
  }
  return ippStsNoErr;
}

IppStatus ippiFilterRow_32f_C1R(const Ipp32f* pSrc, int srcStep, Ipp32f* pDst, int dstStep,
                                IppiSize dstRoiSize, const Ipp32f* pKernel, int kernelSize,
                                int xAnchor) {
  const IppStatus status = CheckFilter(pSrc, srcStep, pDst, dstStep, dstRoiSize, pKernel,
                                       kernelSize, std::int64_t{dstRoiSize.width} + kernelSize - 1);
  if (status != ippStsNoErr) return status;
  for (int y = 0; y < dstRoiSize.height; ++y)
    k::ConvolveRow(RowOf(pSrc, srcStep, y) + xAnchor, pKernel, kernelSize, RowOf(pDst, dstStep, y),
                   dstRoiSize.width);
  return ippStsNoErr;
}

IppStatus ippiFilterColumn_32f_C1R(const Ipp32f* pSrc, int srcStep, Ipp32f* pDst, int dstStep,
                                   IppiSize dstRoiSize, const Ipp32f* pKernel, int kernelSize,
                                   int yAnchor) {
  const IppStatus status =
      CheckFilter(pSrc, srcStep, pDst, dstStep, dstRoiSize, pKernel, kernelSize, dstRoiSize.width);
  if (status != ippStsNoErr) return status;
  for (int y = 0; y < dstRoiSize.height; ++y)
    k::ConvolveColumn(RowOf(pSrc, srcStep, std::int64_t{y} + yAnchor), srcStep, pKernel, kernelSize,
                      RowOf(pDst, dstStep, y), dstRoiSize.width);
  return ippStsNoErr;
}

}  // extern "C"
