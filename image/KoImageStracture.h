// Planar 32-bit float images and the algebra the correction is computed in.
//
// An image is empty (numLayers 0), owning, or a one-plane view of another
// image's plane 0 (made by Layer1, frees nothing). Every plane comes from the
// primitives' allocator with its own row step in bytes; all planes of one
// image share its size, and so their steps.
//
// Const operations return small operation records that hold non-owning
// pointers to their operands; the work happens when an image is assigned or
// constructed from a record, straight into the destination. Assigning a record
// to an empty image first allocates it like the record's first image. A
// record must not outlive its operands.
//
// Allocation failure throws NO_MEMORY_ERROR (array new throws std::bad_alloc)
// and releases whatever the failing operation had obtained: a constructor
// leaves nothing, Init and the allocation of an empty destination leave it
// empty, Expend and the colour twist's growth leave the image as it was.
// No operation checks plane counts or sizes: the region of every primitive
// call is the destination's size.
#ifndef TESSIVO_IMAGE_KO_IMAGE_STRACTURE_H
#define TESSIVO_IMAGE_KO_IMAGE_STRACTURE_H

#include "ipp.h"

class NO_MEMORY_ERROR {};

class KoImage;

// Image and constant: T = image op value.
struct NumberFunctionParameters {
  const KoImage* image;
  float value;
  IppStatus (*function)(const Ipp32f* src, int srcStep, Ipp32f value, Ipp32f* dst, int dstStep,
                        IppiSize roiSize);
};

// Image and image: T = image1 op image2.
struct ImageFunctionParameters {
  const KoImage* image1;
  const KoImage* image2;
  IppStatus (*function)(const Ipp32f* src1, int src1Step, const Ipp32f* src2, int src2Step,
                        Ipp32f* dst, int dstStep, IppiSize roiSize);
};

// Three planes through a 3 x 4 matrix (row c gives plane c; column 3 is an
// offset). The matrix is not copied.
struct ImageColorTwistParameters {
  const KoImage* image;
  const float (*twist)[3][4];
};

// Gaussian blur, sigma in pixels.
struct ImageBlurredParameters {
  const KoImage* image;
  float sigma;
};

// 0.5 + 0.5 * (image - blur(image)).
struct ImageHighPassFilterParameters {
  const KoImage* image;
  float sigma;
};

// Logistic curve of slope `contrast` centred on `midpoint`, rescaled so that
// 0 and 1 map to 0 and 1.
struct ImageSigmoidalCurveParameters {
  const KoImage* image;
  float contrast;
  float midpoint;
};

// 2 * image1 + image2 - 1; `value` is stored and never read.
struct ImageBlendModeParameters {
  const KoImage* image1;
  const KoImage* image2;
  float value;
};

// A one-dimensional kernel: `anchor` is the tap applied at the output pixel's
// own position and the width in pixels of the replicated frame the filter
// puts around each plane. The caller keeps the taps alive.
struct Kernel {
  int anchor;
  int kernelSize;
  const float* taps;
};

// The image convolved with `kernel` along the rows, then along the columns.
struct Image_Filter_Params {
  const KoImage* image;
  const Kernel* kernel;
};

// x < thresholdLT gives valueLT, else x > thresholdGT gives valueGT, else x.
struct Image_Threshold_Params {
  const KoImage* image;
  float thresholdLT;
  float valueLT;
  float thresholdGT;
  float valueGT;
};

// Natural log.
struct Image_Log_Params {
  const KoImage* image;
};

class KoImage {
 public:
  int numLayers;     // 0: empty
  float** layers;    // numLayers plane pointers
  int* steps;        // numLayers row steps in bytes
  IppiSize size;     // every plane's size, and the region of every operation
  bool ownsLayers;   // false: a view, which frees nothing

  KoImage();
  // `count` planes of `size`, pixels not initialised.
  KoImage(IppiSize size, int count);
  // An owning copy, pixels included; the copy of a view owns one plane.
  KoImage(const KoImage& other);
  // An owning image with the count and size of the record's first image,
  // into which the record is computed.
  KoImage(NumberFunctionParameters record);
  KoImage(ImageFunctionParameters record);
  KoImage(ImageColorTwistParameters record);
  KoImage(ImageBlurredParameters record);
  KoImage(ImageHighPassFilterParameters record);
  KoImage(ImageSigmoidalCurveParameters record);
  KoImage(ImageBlendModeParameters record);
  KoImage(Image_Filter_Params record);
  KoImage(Image_Threshold_Params record);
  KoImage(Image_Log_Params record);
  virtual ~KoImage();

  // Allocates an empty image like `other` (count and size); no pixel copy.
  void Init(const KoImage& other);
  // Raises the plane count to other's, keeping the existing planes; new
  // planes take this image's own size.
  void Expend(const KoImage& other);
  // A view of plane 0; valid while this image keeps its arrays.
  KoImage Layer1();
  // Copies other's pixels, allocating this image first if it is empty.
  void operator=(const KoImage& other);

  // In place, one primitive call per plane; the image forms compute
  // this op other over other's planes.
  void operator+=(float v);
  void operator-=(float v);
  void operator*=(float v);
  void operator/=(float v);  // by the float reciprocal; 0 leaves the planes as they were
  void operator+=(const KoImage& other);
  void operator-=(const KoImage& other);
  void operator*=(const KoImage& other);
  void operator/=(const KoImage& other);
  void Threshold_I(float v);  // clamp to [0, v]; NaN becomes 0
  void Exp_I();
  void Log_I();

  // Deferred arithmetic.
  NumberFunctionParameters operator-() const;
  NumberFunctionParameters operator+(float v) const;
  NumberFunctionParameters operator-(float v) const;
  NumberFunctionParameters operator*(float v) const;
  NumberFunctionParameters operator/(float v) const;
  ImageFunctionParameters operator+(const KoImage& b) const;
  ImageFunctionParameters operator-(const KoImage& b) const;
  ImageFunctionParameters operator*(const KoImage& b) const;
  ImageFunctionParameters operator/(const KoImage& b) const;
  void operator=(NumberFunctionParameters r);
  void operator=(ImageFunctionParameters r);

  // Twist, blur, threshold and log.
  ImageColorTwistParameters ColorTwist_R(float const (*twist)[3][4]) const;
  ImageBlurredParameters Blurred_R(float sigma) const;
  Image_Threshold_Params Threshold(float thresholdLT, float valueLT, float thresholdGT,
                                   float valueGT) const;
  Image_Log_Params Log() const;
  // Returns the twist primitive's status.
  IppStatus operator=(ImageColorTwistParameters r);
  void operator=(ImageBlurredParameters r);
  void operator=(Image_Threshold_Params r);
  void operator=(Image_Log_Params r);

  // High-pass and sigmoidal curve.
  ImageHighPassFilterParameters HighPassFilter(float sigma) const;
  ImageSigmoidalCurveParameters SigmoidalCurve_R(float contrast, float midpoint) const;
  void operator=(ImageHighPassFilterParameters r);
  void operator=(ImageSigmoidalCurveParameters r);

  // Separable filter and blend.
  Image_Filter_Params Filter(const Kernel& kernel) const;
  void operator=(Image_Filter_Params r);
  void operator=(ImageBlendModeParameters r);

 private:
  struct ViewOfPlane0 {};
  struct FromRecord {};
  // The view Layer1 returns; made in the caller's object, never copied.
  KoImage(ViewOfPlane0, const KoImage& source);
  // Shaped like the record's first image, then the record assigned into it.
  template <class Record>
  KoImage(FromRecord, const Record& record);
};

ImageBlendModeParameters BlendMode(const KoImage& image1, const KoImage& image2, float value);

// Allocates planes 0..count-1 of `size` into the given arrays. On failure it
// frees the planes it got and nulls all count entries before throwing.
void ImageMalloc(float** layers, int* steps, int count, IppiSize size);
// The same into an image whose count, size and arrays are already set.
void ImageMalloc(KoImage& image);

#endif  // TESSIVO_IMAGE_KO_IMAGE_STRACTURE_H
