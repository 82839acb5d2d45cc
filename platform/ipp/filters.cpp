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
// The two passes run together, a band of output rows at a time: the row
// pass keeps its results for the band and the 2 qy rows around it in a
// ring, and the column pass reads them from there, so the intermediate
// stays in the caches instead of making a round trip through memory.
//
// Sections, each 64-byte aligned, in bytes from the aligned start:
//   half taps of each pass (centre first: qx + 1 and qy + 1 floats),
//   two arrays of band + ky - 1 row pointers: the rows of a row pass and
//     their places in the ring, then the column pass's window,
//   the row pass's work (kSymmetricRowsBlock rows of width + kx - 1 floats),
//   the ring of row-pass results, rows of the full width.
// A band is one block of the row pass: short filters then keep a ring of
// full rows in the second-level cache.
constexpr int kBandRows = k::kSymmetricRowsBlock;

struct GaussLayout {
  int kx = 0, ky = 0;         // taps per pass, odd
  int slots = 0;              // rows in the ring
  std::int64_t tapsX = 0, tapsY = 0, rows = 0, ringRows = 0, work = 0, ring = 0;
  std::int64_t bytes = 0;  // whole buffer, with slack for aligning its start
};

// An odd number of cache lines per ring row, so that the rows of a
// column's window fall into different sets of the first-level cache.
std::int64_t RingStep(int width) {
  const std::int64_t step = AlignUp(FloatBytes(width));
  return step / kAlign % 2 == 0 ? step + kAlign : step;
}

GaussLayout LayoutFor(IppiSize roi, int kernelSize) {
  GaussLayout l;
  l.kx = static_cast<int>(std::min<std::int64_t>(kernelSize, 2 * std::int64_t{roi.width} - 1));
  l.ky = static_cast<int>(std::min<std::int64_t>(kernelSize, 2 * std::int64_t{roi.height} - 1));
  const std::int64_t window = std::int64_t{kBandRows} + l.ky - 1;  // rows one band reads
  l.slots = static_cast<int>(std::min<std::int64_t>(window, roi.height));
  l.tapsX = 0;
  l.tapsY = l.tapsX + AlignUp(FloatBytes(l.kx / 2 + 1));
  l.rows = l.tapsY + AlignUp(FloatBytes(l.ky / 2 + 1));
  l.ringRows = l.rows + AlignUp(window * std::int64_t{sizeof(float*)});
  l.work = l.ringRows + AlignUp(window * std::int64_t{sizeof(float*)});
  l.ring = l.work + AlignUp(FloatBytes(std::int64_t{k::kSymmetricRowsBlock} *
                                       (std::int64_t{roi.width} + l.kx - 1)));
  l.bytes = l.ring + RingStep(roi.width) * l.slots + kAlign;
  return l;
}

// The columns of a tile, whole cache lines. Tiles side by side, each taken
// down the whole region, keep a tile's ring in the second-level cache; they
// cost the row pass qx columns more on each side, so a tile is at least
// 4 qx wide. Planes that overlap take one tile: a source row must be read
// in full before any output row in its place is written.
constexpr std::int64_t kTileRingBytes = 512 * 1024;

int TileWidth(const GaussLayout& l, IppiSize roi, bool overlap) {
  constexpr std::int64_t line = kAlign / 4;  // floats
  const std::int64_t most = kTileRingBytes / FloatBytes(l.slots) / line * line;
  if (overlap || most >= roi.width || most < 4 * line || most < 2 * (l.kx - 1)) return roi.width;
  const std::int64_t tiles = (roi.width + most - 1) / most;
  return static_cast<int>(((roi.width + tiles - 1) / tiles + line - 1) / line * line);
}

// Whether the bytes of two planes over the region overlap.
bool Overlap(const void* a, int aStep, const void* b, int bStep, IppiSize roi) {
  auto end = [roi](const void* p, int step) {
    return reinterpret_cast<std::uintptr_t>(p) + std::uintptr_t(roi.height - 1) * step +
           std::uintptr_t(FloatBytes(roi.width));
  };
  return reinterpret_cast<std::uintptr_t>(a) < end(b, bStep) &&
         reinterpret_cast<std::uintptr_t>(b) < end(a, aStep);
}

IppStatus CheckGauss(IppiSize roi, int kernelSize) {
  if (!RegionOk(roi)) return ippStsSizeErr;
  if (kernelSize < 3 || kernelSize % 2 == 0) return ippStsMaskSizeErr;
  if (LayoutFor(roi, kernelSize).bytes > INT_MAX) return ippStsSizeErr;
  return ippStsNoErr;
}

// Writes the half taps of both passes (centre first), folded and
// normalised: weights exp(-d^2 / (2 sigma^2)) for d = -K/2 .. K/2, summed
// in double.
void GaussTaps(int kernelSize, double sigma, int qx, int qy, float* halfX, float* halfY) {
  const int half = kernelSize / 2;
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
    for (int d = 0; d < q; ++d) taps[d] = static_cast<float>(weight(d) / total);
    taps[q] = static_cast<float>(tail / total);
  };
  fill(halfX, qx, tailX);
  fill(halfY, qy, tailY);
}

// Refusals of the row and column filters; a source row must hold
// srcPixels floats.
IppStatus CheckFilter(const Ipp32f* src, int srcStep, const Ipp32f* dst, int dstStep, IppiSize roi,
                      const Ipp32f* taps, int kernelSize, std::int64_t srcPixels) {
  if (src == nullptr || dst == nullptr || taps == nullptr) return ippStsNullPtrErr;
  if (!RegionOk(roi) || kernelSize < 1) return ippStsSizeErr;
  if (dstStep < FloatBytes(roi.width) || srcStep < FloatBytes(srcPixels)) return ippStsStepErr;
  if (!ipp_internal::StepOk(dstStep) || !ipp_internal::StepOk(srcStep)) return ippStsStepErr;
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
  auto* halfX = reinterpret_cast<float*>(base + l.tapsX);
  auto* halfY = reinterpret_cast<float*>(base + l.tapsY);
  auto* rows = reinterpret_cast<const float**>(base + l.rows);
  auto* ringRows = reinterpret_cast<float**>(base + l.ringRows);
  auto* work = reinterpret_cast<float*>(base + l.work);
  auto* ring = reinterpret_cast<float*>(base + l.ring);
  const int width = roiSize.width, height = roiSize.height;
  const int qx = l.kx / 2, qy = l.ky / 2;
  GaussTaps(kernelSize, sigma, qx, qy, halfX, halfY);
  const int tile = TileWidth(l, roiSize, Overlap(pSrc, srcStep, pDst, dstStep, roiSize));
  const int ringStep = static_cast<int>(RingStep(tile));
  auto ringRow = [&](int y) { return RowOf(ring, ringStep, y % l.slots); };

  // Output rows y0 .. y0 + count - 1 need the row pass of source rows
  // y0 - qy .. y0 + count - 1 + qy, those beyond the edge being the edge
  // row. Each source row is read once, before the output row in its place
  // is written, so the source and the destination may be one plane.
  for (int x0 = 0; x0 < width; x0 += tile) {
    const int x1 = std::min(width, x0 + tile);
    int next = 0;  // the next source row for the row pass
    for (int y0 = 0; y0 < height; y0 += kBandRows) {
      const int count = std::min(kBandRows, height - y0);
      const int last = std::min(height - 1, y0 + count - 1 + qy);
      for (int i = 0; next + i <= last; ++i) {
        rows[i] = RowOf(pSrc, srcStep, next + i);
        ringRows[i] = ringRow(next + i);
      }
      if (next <= last)
        k::SymmetricRows(rows, ringRows, last + 1 - next, width, x0, x1, halfX, qx, work);
      next = last + 1;
      for (int i = 0; i < count + l.ky - 1; ++i)
        rows[i] = ringRow(std::clamp(y0 - qy + i, 0, height - 1));
      k::SymmetricColumns(rows, count, halfY, qy, RowOf(pDst, dstStep, y0) + x0, dstStep, x1 - x0);
    }
  }
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
