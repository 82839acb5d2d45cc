// Stand-in for the vendor image-primitives library: single-plane 32-bit float
// primitives with the argument orders and contracts the image class relies on.
//
// Common rules:
// - A plane is addressed by its first pixel and its row step in bytes; row y
//   starts y * step bytes after the first pixel.
// - The region (IppiSize) is in pixels. Only its width floats of each row are
//   read or written; bytes past them are never touched.
// - A refused call returns a negative status and writes nothing. Refusals:
//   a null pointer, a region below 1 in either dimension, a step below 1 or
//   not a whole number of floats, and
//   whatever a function lists of its own.
#ifndef TESSIVO_PLATFORM_IPP_H
#define TESSIVO_PLATFORM_IPP_H

#ifdef __cplusplus
extern "C" {
#endif

typedef float Ipp32f;
typedef unsigned char Ipp8u;
typedef int IppStatus;

typedef struct {
  int width;   // pixels per row
  int height;  // rows
} IppiSize;

typedef enum {
  ippBorderConst = 0,
  ippBorderRepl = 1,  // repeat the edge pixels outward
} IppiBorderType;

enum {
  ippStsNoErr = 0,
  ippStsBadArgErr = -5,
  ippStsSizeErr = -6,
  ippStsNullPtrErr = -8,
  ippStsDivByZeroErr = -10,
  ippStsStepErr = -14,
  ippStsThresholdErr = -16,
  ippStsMaskSizeErr = -33,
  ippStsBorderErr = -225,
};

#if defined(__GNUC__)
#define IPP_API __attribute__((visibility("default")))
#else
#define IPP_API
#endif

// --- Memory ---------------------------------------------------------------

// One plane of width x height floats. Rows start on 64-byte boundaries; the
// step (bytes) is 4 * width rounded up to a multiple of 64. Null and a step
// of 0 for a width or height below 1, for a plane of more than 2^31 - 1
// bytes (the most an int-sized buffer of the primitives can span), or when
// memory runs out.
IPP_API Ipp32f* ippiMalloc_32f_C1(int width, int height, int* pStepBytes);
IPP_API void ippiFree(void* ptr);  // ignores null

// A 64-byte aligned work buffer of `length` bytes; null if length < 1 or
// memory runs out.
IPP_API void* ippMalloc(int length);
IPP_API void ippFree(void* ptr);  // ignores null

// Selects the processor-specific code paths.
IPP_API IppStatus ippStaticInit(void);

// --- Copy -----------------------------------------------------------------

IPP_API IppStatus ippiCopy_32f_C1R(const Ipp32f* pSrc, int srcStep, Ipp32f* pDst, int dstStep,
                                   IppiSize roiSize);

// --- Arithmetic with a constant -------------------------------------------
// In place: x = x op value. Out of place: dst = src op value.
// DivC refuses 0 and -0.0 and divides by multiplying with the float
// reciprocal of value.

IPP_API IppStatus ippiAddC_32f_C1IR(Ipp32f value, Ipp32f* pSrcDst, int srcDstStep,
                                    IppiSize roiSize);
IPP_API IppStatus ippiSubC_32f_C1IR(Ipp32f value, Ipp32f* pSrcDst, int srcDstStep,
                                    IppiSize roiSize);
IPP_API IppStatus ippiMulC_32f_C1IR(Ipp32f value, Ipp32f* pSrcDst, int srcDstStep,
                                    IppiSize roiSize);
IPP_API IppStatus ippiDivC_32f_C1IR(Ipp32f value, Ipp32f* pSrcDst, int srcDstStep,
                                    IppiSize roiSize);

IPP_API IppStatus ippiAddC_32f_C1R(const Ipp32f* pSrc, int srcStep, Ipp32f value, Ipp32f* pDst,
                                   int dstStep, IppiSize roiSize);
IPP_API IppStatus ippiSubC_32f_C1R(const Ipp32f* pSrc, int srcStep, Ipp32f value, Ipp32f* pDst,
                                   int dstStep, IppiSize roiSize);
IPP_API IppStatus ippiMulC_32f_C1R(const Ipp32f* pSrc, int srcStep, Ipp32f value, Ipp32f* pDst,
                                   int dstStep, IppiSize roiSize);
IPP_API IppStatus ippiDivC_32f_C1R(const Ipp32f* pSrc, int srcStep, Ipp32f value, Ipp32f* pDst,
                                   int dstStep, IppiSize roiSize);

// --- Arithmetic with a second plane ---------------------------------------
// The FIRST source is the subtrahend and the divisor:
//   in place:     srcDst = srcDst op src
//   two sources:  dst = src2 op src1
// Division by 0 gives an infinity or NaN; it is not refused.

IPP_API IppStatus ippiAdd_32f_C1IR(const Ipp32f* pSrc, int srcStep, Ipp32f* pSrcDst,
                                   int srcDstStep, IppiSize roiSize);
IPP_API IppStatus ippiSub_32f_C1IR(const Ipp32f* pSrc, int srcStep, Ipp32f* pSrcDst,
                                   int srcDstStep, IppiSize roiSize);
IPP_API IppStatus ippiMul_32f_C1IR(const Ipp32f* pSrc, int srcStep, Ipp32f* pSrcDst,
                                   int srcDstStep, IppiSize roiSize);

IPP_API IppStatus ippiAdd_32f_C1R(const Ipp32f* pSrc1, int src1Step, const Ipp32f* pSrc2,
                                  int src2Step, Ipp32f* pDst, int dstStep, IppiSize roiSize);
IPP_API IppStatus ippiSub_32f_C1R(const Ipp32f* pSrc1, int src1Step, const Ipp32f* pSrc2,
                                  int src2Step, Ipp32f* pDst, int dstStep, IppiSize roiSize);
IPP_API IppStatus ippiMul_32f_C1R(const Ipp32f* pSrc1, int src1Step, const Ipp32f* pSrc2,
                                  int src2Step, Ipp32f* pDst, int dstStep, IppiSize roiSize);
IPP_API IppStatus ippiDiv_32f_C1R(const Ipp32f* pSrc1, int src1Step, const Ipp32f* pSrc2,
                                  int src2Step, Ipp32f* pDst, int dstStep, IppiSize roiSize);

// value / x for each of `len` consecutive floats; refuses null and len < 1.
IPP_API IppStatus ippsDivCRev_32f_I(Ipp32f value, Ipp32f* pSrcDst, int len);

// --- Exponential and logarithm --------------------------------------------
// exp: +Inf above 88.7228, 0 below -103.972, NaN stays NaN.
// ln:  -Inf at 0 (either sign), NaN below 0 and for NaN.

IPP_API IppStatus ippiExp_32f_C1IR(Ipp32f* pSrcDst, int srcDstStep, IppiSize roiSize);
IPP_API IppStatus ippiLn_32f_C1IR(Ipp32f* pSrcDst, int srcDstStep, IppiSize roiSize);
IPP_API IppStatus ippiLn_32f_C1R(const Ipp32f* pSrc, int srcStep, Ipp32f* pDst, int dstStep,
                                 IppiSize roiSize);

// --- Thresholds -----------------------------------------------------------
// x < thresholdLT gives valueLT, else x > thresholdGT gives valueGT, else x.
// NaN gives valueLT. thresholdLT > thresholdGT is refused.

IPP_API IppStatus ippiThreshold_LTValGTVal_32f_C1IR(Ipp32f* pSrcDst, int srcDstStep,
                                                    IppiSize roiSize, Ipp32f thresholdLT,
                                                    Ipp32f valueLT, Ipp32f thresholdGT,
                                                    Ipp32f valueGT);
IPP_API IppStatus ippiThreshold_LTValGTVal_32f_C1R(const Ipp32f* pSrc, int srcStep, Ipp32f* pDst,
                                                   int dstStep, IppiSize roiSize,
                                                   Ipp32f thresholdLT, Ipp32f valueLT,
                                                   Ipp32f thresholdGT, Ipp32f valueGT);

// --- Colour twist ---------------------------------------------------------
// dst_c = t[c][0] s0 + t[c][1] s1 + t[c][2] s2 + t[c][3]. One step serves the
// three planes of each side. A null plane or matrix is refused. Source and
// destination planes may be the same.

IPP_API IppStatus ippiColorTwist_32f_P3R(const Ipp32f* const pSrc[3], int srcStep,
                                         Ipp32f* const pDst[3], int dstStep, IppiSize roiSize,
                                         const Ipp32f twist[3][4]);

// --- Gaussian filter ------------------------------------------------------
// K taps exp(-(i - K/2)^2 / (2 sigma^2)), i = 0..K-1, normalised to sum 1.
// K below 3 or even is refused (the size is then left unwritten), as is a
// sigma that is not positive, and a buffer size that does not fit an int.

IPP_API IppStatus ippiFilterGaussGetBufferSize_32f_C1R(IppiSize roiSize, int kernelSize,
                                                       int* pBufferSize);
// Border type ippBorderRepl repeats the edge pixels outward; no other border
// is supported. Source and destination may be the same plane.
IPP_API IppStatus ippiFilterGaussBorder_32f_C1R(const Ipp32f* pSrc, int srcStep, Ipp32f* pDst,
                                                int dstStep, IppiSize roiSize, int kernelSize,
                                                Ipp32f sigma, IppiBorderType borderType,
                                                Ipp32f borderValue, Ipp8u* pBuffer);

// --- Border replication and separable filters ------------------------------

// Copies src into dst with its first pixel at (topBorderHeight,
// leftBorderWidth) and fills the rest of dst with the nearest source edge
// pixel. Refused when dst is narrower than leftBorderWidth + src width or
// lower than topBorderHeight + src height, or a border is negative.
IPP_API IppStatus ippiCopyReplicateBorder_32f_C1R(const Ipp32f* pSrc, int srcStep,
                                                  IppiSize srcRoiSize, Ipp32f* pDst, int dstStep,
                                                  IppiSize dstRoiSize, int topBorderHeight,
                                                  int leftBorderWidth);

// dst(x, y) = sum_i taps[i] * src(x + xAnchor - i, y): a convolution with no
// edge handling; the source must hold xAnchor pixels to the right and
// kernelSize - 1 - xAnchor to the left of each position. Refused when
// kernelSize < 1, dstStep < 4 * width or srcStep < 4 * (width + kernelSize - 1).
IPP_API IppStatus ippiFilterRow_32f_C1R(const Ipp32f* pSrc, int srcStep, Ipp32f* pDst,
                                        int dstStep, IppiSize dstRoiSize, const Ipp32f* pKernel,
                                        int kernelSize, int xAnchor);

// dst(x, y) = sum_i taps[i] * src(x, y + yAnchor - i), likewise down the
// columns. Refused when kernelSize < 1 or either step < 4 * width.
IPP_API IppStatus ippiFilterColumn_32f_C1R(const Ipp32f* pSrc, int srcStep, Ipp32f* pDst,
                                           int dstStep, IppiSize dstRoiSize,
                                           const Ipp32f* pKernel, int kernelSize, int yAnchor);

#ifdef __cplusplus
}
#endif

#endif  // TESSIVO_PLATFORM_IPP_H
