// Point-wise primitives: each checks its refusals, then runs one row kernel
// over the region (a gapless region as a single run).
#include "ipp.h"
#include "kernels.h"
#include "plane.h"

namespace k = ipp_kernels;
using ipp_internal::CheckPlane;
using ipp_internal::CheckPlanes;
using ipp_internal::RowOf;
using ipp_internal::Runs;

namespace {

// kernel(srcRow, dstRow, width) over the region, after both planes' checks.
template <typename Kernel>
IppStatus Unary(const Ipp32f* src, int srcStep, Ipp32f* dst, int dstStep, IppiSize roi,
                Kernel kernel) {
  const IppStatus status =
      CheckPlanes(CheckPlane(src, srcStep, roi), CheckPlane(dst, dstStep, roi));
  if (status != ippStsNoErr) return status;
  const IppiSize runs = Runs(roi, {srcStep, dstStep});
  for (int y = 0; y < runs.height; ++y)
    kernel(RowOf(src, srcStep, y), RowOf(dst, dstStep, y), runs.width);
  return ippStsNoErr;
}

// kernel(src1Row, src2Row, dstRow, width) over the region.
template <typename Kernel>
IppStatus Binary(const Ipp32f* src1, int src1Step, const Ipp32f* src2, int src2Step, Ipp32f* dst,
                 int dstStep, IppiSize roi, Kernel kernel) {
  const IppStatus status =
      CheckPlanes(CheckPlane(src1, src1Step, roi), CheckPlane(src2, src2Step, roi),
                  CheckPlane(dst, dstStep, roi));
  if (status != ippStsNoErr) return status;
  const IppiSize runs = Runs(roi, {src1Step, src2Step, dstStep});
  for (int y = 0; y < runs.height; ++y)
    kernel(RowOf(src1, src1Step, y), RowOf(src2, src2Step, y), RowOf(dst, dstStep, y), runs.width);
  return ippStsNoErr;
}

// A row kernel of the form f(src, value, dst, width) bound to its value.
template <void (*Fn)(const float*, float, float*, int)>
auto WithValue(float value) {
  return [value](const float* s, float* d, int w) { Fn(s, value, d, w); };
}

IppStatus DivC(const Ipp32f* src, int srcStep, Ipp32f value, Ipp32f* dst, int dstStep,
               IppiSize roi) {
  if (value == 0.0f) {  // either sign
    const IppStatus status =
        CheckPlanes(CheckPlane(src, srcStep, roi), CheckPlane(dst, dstStep, roi));
    return status != ippStsNoErr ? status : ippStsDivByZeroErr;
  }
  return Unary(src, srcStep, dst, dstStep, roi, WithValue<k::MulCRow>(1.0f / value));
}

IppStatus Threshold(const Ipp32f* src, int srcStep, Ipp32f* dst, int dstStep, IppiSize roi,
                    Ipp32f lt, Ipp32f valueLT, Ipp32f gt, Ipp32f valueGT) {
  if (lt > gt) return ippStsThresholdErr;
  return Unary(src, srcStep, dst, dstStep, roi, [=](const float* s, float* d, int w) {
    k::ThresholdRow(s, d, w, lt, valueLT, gt, valueGT);
  });
}

}  // namespace

extern "C" {

IppStatus ippiCopy_32f_C1R(const Ipp32f* pSrc, int srcStep, Ipp32f* pDst, int dstStep,
                           IppiSize roiSize) {
  return Unary(pSrc, srcStep, pDst, dstStep, roiSize, k::CopyRow);
}

// --- Arithmetic with a constant ---------------------------------------------

IppStatus ippiAddC_32f_C1IR(Ipp32f value, Ipp32f* pSrcDst, int srcDstStep, IppiSize roiSize) {
  return ippiAddC_32f_C1R(pSrcDst, srcDstStep, value, pSrcDst, srcDstStep, roiSize);
}
IppStatus ippiSubC_32f_C1IR(Ipp32f value, Ipp32f* pSrcDst, int srcDstStep, IppiSize roiSize) {
  return ippiSubC_32f_C1R(pSrcDst, srcDstStep, value, pSrcDst, srcDstStep, roiSize);
}
IppStatus ippiMulC_32f_C1IR(Ipp32f value, Ipp32f* pSrcDst, int srcDstStep, IppiSize roiSize) {
  return ippiMulC_32f_C1R(pSrcDst, srcDstStep, value, pSrcDst, srcDstStep, roiSize);
}
IppStatus ippiDivC_32f_C1IR(Ipp32f value, Ipp32f* pSrcDst, int srcDstStep, IppiSize roiSize) {
  return DivC(pSrcDst, srcDstStep, value, pSrcDst, srcDstStep, roiSize);
}

IppStatus ippiAddC_32f_C1R(const Ipp32f* pSrc, int srcStep, Ipp32f value, Ipp32f* pDst, int dstStep,
                           IppiSize roiSize) {
  return Unary(pSrc, srcStep, pDst, dstStep, roiSize, WithValue<k::AddCRow>(value));
}
IppStatus ippiSubC_32f_C1R(const Ipp32f* pSrc, int srcStep, Ipp32f value, Ipp32f* pDst, int dstStep,
                           IppiSize roiSize) {
  return Unary(pSrc, srcStep, pDst, dstStep, roiSize, WithValue<k::SubCRow>(value));
}
IppStatus ippiMulC_32f_C1R(const Ipp32f* pSrc, int srcStep, Ipp32f value, Ipp32f* pDst, int dstStep,
                           IppiSize roiSize) {
  return Unary(pSrc, srcStep, pDst, dstStep, roiSize, WithValue<k::MulCRow>(value));
}
IppStatus ippiDivC_32f_C1R(const Ipp32f* pSrc, int srcStep, Ipp32f value, Ipp32f* pDst, int dstStep,
                           IppiSize roiSize) {
  return DivC(pSrc, srcStep, value, pDst, dstStep, roiSize);
}

// --- Arithmetic with a second plane -----------------------------------------

IppStatus ippiAdd_32f_C1IR(const Ipp32f* pSrc, int srcStep, Ipp32f* pSrcDst, int srcDstStep,
                           IppiSize roiSize) {
  return Binary(pSrc, srcStep, pSrcDst, srcDstStep, pSrcDst, srcDstStep, roiSize, k::AddRow);
}
IppStatus ippiSub_32f_C1IR(const Ipp32f* pSrc, int srcStep, Ipp32f* pSrcDst, int srcDstStep,
                           IppiSize roiSize) {
  return Binary(pSrc, srcStep, pSrcDst, srcDstStep, pSrcDst, srcDstStep, roiSize, k::SubRow);
}
IppStatus ippiMul_32f_C1IR(const Ipp32f* pSrc, int srcStep, Ipp32f* pSrcDst, int srcDstStep,
                           IppiSize roiSize) {
  return Binary(pSrc, srcStep, pSrcDst, srcDstStep, pSrcDst, srcDstStep, roiSize, k::MulRow);
}

IppStatus ippiAdd_32f_C1R(const Ipp32f* pSrc1, int src1Step, const Ipp32f* pSrc2, int src2Step,
                          Ipp32f* pDst, int dstStep, IppiSize roiSize) {
  return Binary(pSrc1, src1Step, pSrc2, src2Step, pDst, dstStep, roiSize, k::AddRow);
}
IppStatus ippiSub_32f_C1R(const Ipp32f* pSrc1, int src1Step, const Ipp32f* pSrc2, int src2Step,
                          Ipp32f* pDst, int dstStep, IppiSize roiSize) {
  return Binary(pSrc1, src1Step, pSrc2, src2Step, pDst, dstStep, roiSize, k::SubRow);
}
IppStatus ippiMul_32f_C1R(const Ipp32f* pSrc1, int src1Step, const Ipp32f* pSrc2, int src2Step,
                          Ipp32f* pDst, int dstStep, IppiSize roiSize) {
  return Binary(pSrc1, src1Step, pSrc2, src2Step, pDst, dstStep, roiSize, k::MulRow);
}
IppStatus ippiDiv_32f_C1R(const Ipp32f* pSrc1, int src1Step, const Ipp32f* pSrc2, int src2Step,
                          Ipp32f* pDst, int dstStep, IppiSize roiSize) {
  return Binary(pSrc1, src1Step, pSrc2, src2Step, pDst, dstStep, roiSize, k::DivRow);
}

IppStatus ippsDivCRev_32f_I(Ipp32f value, Ipp32f* pSrcDst, int len) {
  if (pSrcDst == nullptr) return ippStsNullPtrErr;
  if (len < 1) return ippStsSizeErr;
  k::DivCRevRow(value, pSrcDst, pSrcDst, len);
  return ippStsNoErr;
}

// --- Exponential and logarithm ----------------------------------------------

IppStatus ippiExp_32f_C1IR(Ipp32f* pSrcDst, int srcDstStep, IppiSize roiSize) {
  return Unary(pSrcDst, srcDstStep, pSrcDst, srcDstStep, roiSize, k::ExpRow);
}
IppStatus ippiLn_32f_C1IR(Ipp32f* pSrcDst, int srcDstStep, IppiSize roiSize) {
  return Unary(pSrcDst, srcDstStep, pSrcDst, srcDstStep, roiSize, k::LnRow);
}
IppStatus ippiLn_32f_C1R(const Ipp32f* pSrc, int srcStep, Ipp32f* pDst, int dstStep,
                         IppiSize roiSize) {
  return Unary(pSrc, srcStep, pDst, dstStep, roiSize, k::LnRow);
}

// --- Thresholds --------------------------------------------------------------

IppStatus ippiThreshold_LTValGTVal_32f_C1IR(Ipp32f* pSrcDst, int srcDstStep, IppiSize roiSize,
                                            Ipp32f thresholdLT, Ipp32f valueLT, Ipp32f thresholdGT,
                                            Ipp32f valueGT) {
  return Threshold(pSrcDst, srcDstStep, pSrcDst, srcDstStep, roiSize, thresholdLT, valueLT,
                   thresholdGT, valueGT);
}
IppStatus ippiThreshold_LTValGTVal_32f_C1R(const Ipp32f* pSrc, int srcStep, Ipp32f* pDst,
                                           int dstStep, IppiSize roiSize, Ipp32f thresholdLT,
                                           Ipp32f valueLT, Ipp32f thresholdGT, Ipp32f valueGT) {
  return Threshold(pSrc, srcStep, pDst, dstStep, roiSize, thresholdLT, valueLT, thresholdGT,
                   valueGT);
}

// --- Colour twist ------------------------------------------------------------

IppStatus ippiColorTwist_32f_P3R(const Ipp32f* const pSrc[3], int srcStep, Ipp32f* const pDst[3],
                                 int dstStep, IppiSize roiSize, const Ipp32f twist[3][4]) {
  if (pSrc == nullptr || pDst == nullptr || twist == nullptr) return ippStsNullPtrErr;
  IppStatus status = ippStsNoErr;
  for (int c = 0; c < 3; ++c)
    status = CheckPlanes(status, CheckPlane(pSrc[c], srcStep, roiSize),
                         CheckPlane(pDst[c], dstStep, roiSize));
  if (status != ippStsNoErr) return status;
  const float* t = &twist[0][0];
  const IppiSize runs = Runs(roiSize, {srcStep, dstStep});
  for (int y = 0; y < runs.height; ++y) {
    const float* src[3] = {RowOf(pSrc[0], srcStep, y), RowOf(pSrc[1], srcStep, y),
                           RowOf(pSrc[2], srcStep, y)};
    float* const dst[3] = {RowOf(pDst[0], dstStep, y), RowOf(pDst[1], dstStep, y),
                           RowOf(pDst[2], dstStep, y)};
    k::ColorTwistRow(src, dst, t, runs.width);
  }
  return ippStsNoErr;
}

}  // extern "C"
