#include "KoImageStracture.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <memory>

namespace {

// Plane and step arrays being built for an image; released on the way out of
// a failed operation, handed over by Adopt on success. Entries start null so
// that a partly filled array never holds a stray plane pointer.
struct PlaneArrays {
  std::unique_ptr<float*[]> layers;
  std::unique_ptr<int[]> steps;
  explicit PlaneArrays(int count) : layers(new float*[count]()), steps(new int[count]()) {}
};

// Gives `image` the arrays and count. The arrays it had are released (their
// planes are carried over or were none: an image made with count 0 has
// zero-length arrays), except a view's, which belong to its source.
void Adopt(KoImage& image, int count, PlaneArrays& arrays) {
  if (image.ownsLayers) {
    delete[] image.layers;
    delete[] image.steps;
  }
  image.layers = arrays.layers.release();
  image.steps = arrays.steps.release();
  image.numLayers = count;
}

// Gives an image that has no planes `count` planes of `size`; all or nothing.
void AllocateLike(KoImage& image, int count, IppiSize size) {
  PlaneArrays arrays(count);
  ImageMalloc(arrays.layers.get(), arrays.steps.get(), count, size);
  Adopt(image, count, arrays);
  image.size = size;
}

// Raises the plane count to `count`, keeping the existing planes; new planes
// take the image's own size. All or nothing. A view cannot take planes of its
// own, so it stays as it is.
void Grow(KoImage& image, int count) {
  const int kept = image.numLayers;
  if (!image.ownsLayers || count < kept) return;
  PlaneArrays arrays(count);
  std::copy(image.layers, image.layers + kept, arrays.layers.get());
  std::copy(image.steps, image.steps + kept, arrays.steps.get());
  ImageMalloc(arrays.layers.get() + kept, arrays.steps.get() + kept, count - kept, image.size);
  Adopt(image, count, arrays);
}

// The record rule's first step: an empty destination is allocated like the
// record's first image.
void AllocateIfEmpty(KoImage& destination, const KoImage& first) {
  if (destination.numLayers == 0) destination.Init(first);
}

const KoImage& FirstImage(const ImageFunctionParameters& record) { return *record.image1; }
const KoImage& FirstImage(const ImageBlendModeParameters& record) { return *record.image1; }
template <class Record>
const KoImage& FirstImage(const Record& record) {
  return *record.image;
}

// A work buffer of the primitives, freed on every way out.
class WorkBuffer {
 public:
  explicit WorkBuffer(int bytes) : buffer_(static_cast<Ipp8u*>(ippMalloc(bytes))) {
    if (buffer_ == nullptr) throw NO_MEMORY_ERROR();
  }
  ~WorkBuffer() { ippFree(buffer_); }
  WorkBuffer(const WorkBuffer&) = delete;
  WorkBuffer& operator=(const WorkBuffer&) = delete;
  Ipp8u* get() const { return buffer_; }

 private:
  Ipp8u* buffer_;
};

// K = 2t + 1 with t = trunc(3 sigma) as int32, computed modulo 2^32. NaN and
// products outside int32 take INT_MIN, which makes K = 1 (refused by the
// filter, so the blur throws).
int GaussKernelSize(float sigma) {
  const float product = 3.0f * sigma;
  std::int32_t t = INT32_MIN;
  if (product >= -2147483648.0f && product < 2147483648.0f) t = static_cast<std::int32_t>(product);
  const std::uint32_t k = 2u * static_cast<std::uint32_t>(t) + 1u;
  return k <= 0x7fffffffu ? static_cast<int>(k) : -static_cast<int>(~k) - 1;
}

// Gaussian blur of source's planes into the destination's, over the
// destination's size; one work buffer serves every plane.
void BlurInto(KoImage& destination, const KoImage& source, float sigma) {
  const int kernelSize = GaussKernelSize(sigma);
  int bytes = 0;
  ippiFilterGaussGetBufferSize_32f_C1R(destination.size, kernelSize, &bytes);
  WorkBuffer buffer(bytes);
  for (int i = 0; i < source.numLayers; ++i) {
    ippiFilterGaussBorder_32f_C1R(source.layers[i], source.steps[i], destination.layers[i],
                                  destination.steps[i], destination.size, kernelSize, sigma,
                                  ippBorderRepl, 0.0f, buffer.get());
  }
}

// 1 / x over `floats` consecutive floats. The primitive takes an int
// length, so a plane of more than INT_MAX floats goes in several runs.
void ReciprocalOfRun(float* first, long long floats) {
  while (floats > 0) {
    const int run = static_cast<int>(std::min<long long>(floats, INT_MAX));
    ippsDivCRev_32f_I(1.0f, first, run);
    first += run;
    floats -= run;
  }
}

// Sigmoidal curve of `source` into `work` (the destination or a view of its
// plane 0); the reciprocal runs over the destination's whole plane buffers.
void SigmoidInto(KoImage& destination, KoImage& work, const KoImage& source, float contrast,
                 float midpoint) {
  work = source - midpoint;
  work *= 0.0f - contrast;
  work.Exp_I();
  work += 1.0f;
  for (int i = 0; i < source.numLayers; ++i) {
    const long long planeFloats =
        static_cast<long long>(destination.steps[0]) * destination.size.height / 4;
    ReciprocalOfRun(destination.layers[i], planeFloats);
  }
  const float lo =
      static_cast<float>(1.0 / (1.0 + std::exp(static_cast<double>(midpoint * contrast))));
  work -= lo;
  const float hi = static_cast<float>(
      1.0 / (1.0 + std::exp(static_cast<double>((1.0f - midpoint) * (0.0f - contrast)))));
  work /= hi - lo;
}

NumberFunctionParameters Fill(NumberFunctionParameters record, const KoImage* image, float value) {
  record.image = image;
  record.value = value;
  return record;
}

ImageFunctionParameters Fill(ImageFunctionParameters record, const KoImage* image1,
                             const KoImage* image2) {
  record.image1 = image1;
  record.image2 = image2;
  return record;
}

using ConstantInPlace = IppStatus (*)(Ipp32f, Ipp32f*, int, IppiSize);
using ImageInPlace = IppStatus (*)(const Ipp32f*, int, Ipp32f*, int, IppiSize);
using PlaneInPlace = IppStatus (*)(Ipp32f*, int, IppiSize);

void EachPlane(KoImage& image, ConstantInPlace function, float value) {
  for (int i = 0; i < image.numLayers; ++i)
    function(value, image.layers[i], image.steps[i], image.size);
}

// Over other's planes: image op= other.
void EachPlane(KoImage& image, const KoImage& other, ImageInPlace function) {
  for (int i = 0; i < other.numLayers; ++i)
    function(other.layers[i], other.steps[i], image.layers[i], image.steps[i], image.size);
}

void EachPlane(KoImage& image, PlaneInPlace function) {
  for (int i = 0; i < image.numLayers; ++i) function(image.layers[i], image.steps[i], image.size);
}

// Copies other's planes into the image's, over the image's size.
void CopyPlanes(KoImage& image, const KoImage& other) {
  for (int i = 0; i < other.numLayers; ++i)
    ippiCopy_32f_C1R(other.layers[i], other.steps[i], image.layers[i], image.steps[i], image.size);
}

}  // namespace

// --- Storage ----------------------------------------------------------------

void ImageMalloc(float** layers, int* steps, int count, IppiSize size) {
  for (int i = 0; i < count; ++i) {
    layers[i] = ippiMalloc_32f_C1(size.width, size.height, &steps[i]);
    if (layers[i] != nullptr) continue;
    // Nothing half-made is left for a destructor to free.
    for (int j = 0; j < count; ++j) {
      if (j < i) ippiFree(layers[j]);
      layers[j] = nullptr;
      steps[j] = 0;
    }
    throw NO_MEMORY_ERROR();
  }
}

void ImageMalloc(KoImage& image) {
  ImageMalloc(image.layers, image.steps, image.numLayers, image.size);
}

KoImage::KoImage() : numLayers(0), layers(nullptr), steps(nullptr), size{0, 0}, ownsLayers(true) {}

KoImage::KoImage(IppiSize size, int count) : KoImage() { AllocateLike(*this, count, size); }

KoImage::KoImage(const KoImage& other) : KoImage() {
  AllocateLike(*this, other.numLayers, other.size);
  CopyPlanes(*this, other);
}

KoImage::KoImage(ViewOfPlane0, const KoImage& source)
    : numLayers(1),
      layers(source.layers),
      steps(source.steps),
      size(source.size),
      ownsLayers(false) {}

// Once the delegated constructor has finished the destructor owns the planes,
// so a record that throws while being carried out leaks nothing.
template <class Record>
KoImage::KoImage(FromRecord, const Record& record)
    : KoImage(FirstImage(record).size, FirstImage(record).numLayers) {
  *this = record;
}

KoImage::KoImage(NumberFunctionParameters record) : KoImage(FromRecord(), record) {}
KoImage::KoImage(ImageFunctionParameters record) : KoImage(FromRecord(), record) {}
KoImage::KoImage(ImageColorTwistParameters record) : KoImage(FromRecord(), record) {}
KoImage::KoImage(ImageBlurredParameters record) : KoImage(FromRecord(), record) {}
KoImage::KoImage(ImageHighPassFilterParameters record) : KoImage(FromRecord(), record) {}
KoImage::KoImage(ImageSigmoidalCurveParameters record) : KoImage(FromRecord(), record) {}
KoImage::KoImage(ImageBlendModeParameters record) : KoImage(FromRecord(), record) {}
KoImage::KoImage(Image_Filter_Params record) : KoImage(FromRecord(), record) {}
KoImage::KoImage(Image_Threshold_Params record) : KoImage(FromRecord(), record) {}
KoImage::KoImage(Image_Log_Params record) : KoImage(FromRecord(), record) {}

KoImage::~KoImage() {
  if (!ownsLayers) return;
  for (int i = 0; i < numLayers; ++i) ippiFree(layers[i]);
  delete[] layers;
  delete[] steps;
}

void KoImage::Init(const KoImage& other) { AllocateLike(*this, other.numLayers, other.size); }

void KoImage::Expend(const KoImage& other) { Grow(*this, other.numLayers); }

KoImage KoImage::Layer1() { return KoImage(ViewOfPlane0(), *this); }

void KoImage::operator=(const KoImage& other) {
  AllocateIfEmpty(*this, other);
  CopyPlanes(*this, other);
}

// --- In place ---------------------------------------------------------------

void KoImage::operator+=(float v) { EachPlane(*this, ippiAddC_32f_C1IR, v); }
void KoImage::operator-=(float v) { EachPlane(*this, ippiSubC_32f_C1IR, v); }
void KoImage::operator*=(float v) { EachPlane(*this, ippiMulC_32f_C1IR, v); }
void KoImage::operator/=(float v) { EachPlane(*this, ippiDivC_32f_C1IR, v); }

void KoImage::operator+=(const KoImage& other) { EachPlane(*this, other, ippiAdd_32f_C1IR); }
void KoImage::operator-=(const KoImage& other) { EachPlane(*this, other, ippiSub_32f_C1IR); }
void KoImage::operator*=(const KoImage& other) { EachPlane(*this, other, ippiMul_32f_C1IR); }

// The two-source division's first source is the divisor.
void KoImage::operator/=(const KoImage& other) {
  for (int i = 0; i < other.numLayers; ++i)
    ippiDiv_32f_C1R(other.layers[i], other.steps[i], layers[i], steps[i], layers[i], steps[i],
                    size);
}

void KoImage::Threshold_I(float v) {
  for (int i = 0; i < numLayers; ++i)
    ippiThreshold_LTValGTVal_32f_C1IR(layers[i], steps[i], size, 0.0f, 0.0f, v, v);
}

void KoImage::Exp_I() { EachPlane(*this, ippiExp_32f_C1IR); }
void KoImage::Log_I() { EachPlane(*this, ippiLn_32f_C1IR); }

// --- Arithmetic records -----------------------------------------------------
// Each builder copies its constant template; the templates are never written.

NumberFunctionParameters KoImage::operator-() const {
  static const NumberFunctionParameters functionParameters = {nullptr, -1.0f, ippiMulC_32f_C1R};
  return Fill(functionParameters, this, functionParameters.value);
}

NumberFunctionParameters KoImage::operator+(float v) const {
  static const NumberFunctionParameters functionParameters = {nullptr, 0.0f, ippiAddC_32f_C1R};
  return Fill(functionParameters, this, v);
}

NumberFunctionParameters KoImage::operator-(float v) const {
  static const NumberFunctionParameters functionParameters = {nullptr, 0.0f, ippiSubC_32f_C1R};
  return Fill(functionParameters, this, v);
}

NumberFunctionParameters KoImage::operator*(float v) const {
  static const NumberFunctionParameters functionParameters = {nullptr, 0.0f, ippiMulC_32f_C1R};
  return Fill(functionParameters, this, v);
}

NumberFunctionParameters KoImage::operator/(float v) const {
  static const NumberFunctionParameters functionParameters = {nullptr, 0.0f, ippiDivC_32f_C1R};
  return Fill(functionParameters, this, v);
}

ImageFunctionParameters KoImage::operator+(const KoImage& b) const {
  static const ImageFunctionParameters functionParameters = {nullptr, nullptr, ippiAdd_32f_C1R};
  return Fill(functionParameters, this, &b);
}

ImageFunctionParameters KoImage::operator-(const KoImage& b) const {
  static const ImageFunctionParameters functionParameters = {nullptr, nullptr, ippiSub_32f_C1R};
  return Fill(functionParameters, this, &b);
}

ImageFunctionParameters KoImage::operator*(const KoImage& b) const {
  static const ImageFunctionParameters functionParameters = {nullptr, nullptr, ippiMul_32f_C1R};
  return Fill(functionParameters, this, &b);
}

ImageFunctionParameters KoImage::operator/(const KoImage& b) const {
  static const ImageFunctionParameters functionParameters = {nullptr, nullptr, ippiDiv_32f_C1R};
  return Fill(functionParameters, this, &b);
}

void KoImage::operator=(NumberFunctionParameters r) {
  const KoImage& a = *r.image;
  AllocateIfEmpty(*this, a);
  for (int i = 0; i < a.numLayers; ++i)
    r.function(a.layers[i], a.steps[i], r.value, layers[i], steps[i], size);
}

// image2 goes first: the two-source primitives compute second op first, so
// this gives image1 - image2 and image1 / image2.
void KoImage::operator=(ImageFunctionParameters r) {
  const KoImage& a = *r.image1;
  const KoImage& b = *r.image2;
  AllocateIfEmpty(*this, a);
  for (int i = 0; i < a.numLayers; ++i)
    r.function(b.layers[i], b.steps[i], a.layers[i], a.steps[i], layers[i], steps[i], size);
}

// --- Twist, blur, threshold, log ---------------------------------------------

ImageColorTwistParameters KoImage::ColorTwist_R(float const (*twist)[3][4]) const {
  return {this, twist};
}

ImageBlurredParameters KoImage::Blurred_R(float sigma) const { return {this, sigma}; }

Image_Threshold_Params KoImage::Threshold(float thresholdLT, float valueLT, float thresholdGT,
                                          float valueGT) const {
  return {this, thresholdLT, valueLT, thresholdGT, valueGT};
}

Image_Log_Params KoImage::Log() const { return {this}; }

// The primitive reads and writes three plane pointers of each side, so a
// side with fewer planes (a short source, or a view that cannot grow) is
// refused rather than read past its arrays.
IppStatus KoImage::operator=(ImageColorTwistParameters r) {
  const KoImage& s = *r.image;
  AllocateIfEmpty(*this, s);
  if (numLayers < s.numLayers) Grow(*this, s.numLayers);
  if (s.numLayers < 3 || numLayers < 3) return ippStsNullPtrErr;
  return ippiColorTwist_32f_P3R(s.layers, s.steps[0], layers, steps[0], size, *r.twist);
}

void KoImage::operator=(ImageBlurredParameters r) {
  AllocateIfEmpty(*this, *r.image);
  BlurInto(*this, *r.image, r.sigma);
}

void KoImage::operator=(Image_Threshold_Params r) {
  const KoImage& s = *r.image;
  AllocateIfEmpty(*this, s);
  for (int i = 0; i < numLayers; ++i) {
    ippiThreshold_LTValGTVal_32f_C1R(s.layers[i], s.steps[i], layers[i], steps[i], size,
                                     r.thresholdLT, r.valueLT, r.thresholdGT, r.valueGT);
  }
}

void KoImage::operator=(Image_Log_Params r) {
  const KoImage& s = *r.image;
  AllocateIfEmpty(*this, s);
  for (int i = 0; i < numLayers; ++i)
    ippiLn_32f_C1R(s.layers[i], s.steps[i], layers[i], steps[i], size);
}

// --- High-pass and sigmoidal curve -------------------------------------------

ImageHighPassFilterParameters KoImage::HighPassFilter(float sigma) const { return {this, sigma}; }

ImageSigmoidalCurveParameters KoImage::SigmoidalCurve_R(float contrast, float midpoint) const {
  return {this, contrast, midpoint};
}

// 0.5 * (1 - blur) + 0.5 * source.
void KoImage::operator=(ImageHighPassFilterParameters r) {
  const KoImage& s = *r.image;
  AllocateIfEmpty(*this, s);
  BlurInto(*this, s, r.sigma);
  *this *= -1.0f;
  *this += 1.0f;
  *this *= 0.5f;
  const KoImage half(s * 0.5f);
  *this += half;
}

// A one-plane source works on a view of plane 0 so that the destination's
// other planes keep their pixels.
void KoImage::operator=(ImageSigmoidalCurveParameters r) {
  const KoImage& s = *r.image;
  AllocateIfEmpty(*this, s);
  if (s.numLayers == 1) {
    KoImage plane0 = Layer1();
    SigmoidInto(*this, plane0, s, r.contrast, r.midpoint);
  } else {
    SigmoidInto(*this, *this, s, r.contrast, r.midpoint);
  }
}

// --- Blend and separable filter ----------------------------------------------

ImageBlendModeParameters BlendMode(const KoImage& image1, const KoImage& image2, float value) {
  return {&image1, &image2, value};
}

Image_Filter_Params KoImage::Filter(const Kernel& kernel) const { return {this, &kernel}; }

// 2 * image1 + image2 - 1; `value` selects nothing.
void KoImage::operator=(ImageBlendModeParameters r) {
  *this = *r.image1 * 2.0f;
  *this += *r.image2;
  *this -= 1.0f;
}

// Each plane is copied into a temporary with a replicated frame `anchor`
// pixels wide, row-filtered into the destination, framed again and
// column-filtered. A kernel that would read outside that frame is refused
// like a refused primitive call: the destination keeps its pixels.
void KoImage::operator=(Image_Filter_Params r) {
  const KoImage& s = *r.image;
  const Kernel& k = *r.kernel;
  const int a = k.anchor;
  AllocateIfEmpty(*this, s);
  if (numLayers == 0 || a < 0 || k.kernelSize < 1 || k.kernelSize - 1 > 2LL * a) return;
  if (a > (INT_MAX - std::max(size.width, size.height)) / 2) throw NO_MEMORY_ERROR();
  KoImage framed(IppiSize{size.width + 2 * a, size.height + 2 * a}, numLayers);
  const std::ptrdiff_t inner = static_cast<std::ptrdiff_t>(a) * (framed.steps[0] / 4) + a;
  for (int i = 0; i < s.numLayers; ++i) {
    float* plane = framed.layers[i];
    const int step = framed.steps[i];
    ippiCopyReplicateBorder_32f_C1R(s.layers[i], s.steps[i], s.size, plane, step, framed.size, a,
                                    a);
    ippiFilterRow_32f_C1R(plane + inner, step, layers[i], steps[i], size, k.taps, k.kernelSize, a);
    ippiCopyReplicateBorder_32f_C1R(layers[i], steps[i], size, plane, step, framed.size, a, a);
    ippiFilterColumn_32f_C1R(plane + inner, step, layers[i], steps[i], size, k.taps, k.kernelSize,
                             a);
  }
}
