#include "TessivoEffect.h"

#include <cmath>
#include <cstddef>
#include <cstring>
#include <utility>

#include "AEFX_SuiteHelper.h"
#include "AE_EffectSuites.h"
#include "Tessivo.h"
#include "pixel_rows.h"

PF_InData* gIn_data = nullptr;
PF_EffectWorld* gpInputWorld = nullptr;
PF_EffectWorld* gpOutputWorld = nullptr;
AEGP_SuiteHandler* gpSuites = nullptr;

// YUVtoRGB is not the exact inverse of RGBtoYUV (up to about 2e-5 an entry);
// both are used as they stand.
const float RGBtoYUV[3][4] = {
    {0.299f, 0.587f, 0.114f, 0.0f},
    {-0.169f, -0.331f, 0.5f, 0.0f},
    {0.5f, -0.419f, -0.081f, 0.0f},
};
const float YUVtoRGB[3][4] = {
    {1.0f, -0.0009f, 1.4017f, 0.0f},
    {1.0f, -0.3437f, -0.7142f, 0.0f},
    {1.0f, 1.7722f, 0.001f, 0.0f},
};

namespace {

// ---------------------------------------------------------------------------
// Pixel conversion

// Whatever the host handed over that a conversion cannot use.
constexpr PF_Err kUnusableHostData = PF_Err_BAD_CALLBACK_PARAM;

// Calls fn with a value of the format's pixel type; false for any other format.
template <class Fn>
bool WithPixelType(int pixelFormat, Fn&& fn) {
  switch (pixelFormat) {
    case PF_PixelFormat_ARGB32:
      fn(PF_Pixel8{});
      return true;
    case PF_PixelFormat_ARGB64:
      fn(PF_Pixel16{});
      return true;
    case PF_PixelFormat_ARGB128:
      fn(PF_PixelFloat{});
      return true;
    default:
      return false;
  }
}

// log2 of the pixel size in bytes.
template <class Pixel>
constexpr int PixelShift() {
  return sizeof(Pixel) == 4 ? 2 : sizeof(Pixel) == 8 ? 3 : 4;
}

// Pixels from row to row: rowbytes over the pixel size, rounded toward minus
// infinity (-1022 bytes of 8-bit pixels give -256).
template <class Pixel>
std::ptrdiff_t Pitch(const PF_EffectWorld* world) {
  return static_cast<std::ptrdiff_t>(world->rowbytes >> PixelShift<Pixel>());
}

// The conversions address only pixels (x, y) with x < width and y < height of
// the image, so a world must be at least as large for them to stay inside it.
bool Covers(const PF_EffectWorld* world, IppiSize size) {
  return world != nullptr && world->width >= size.width && world->height >= size.height;
}

// Asks `get` for the first-pixel address of each world.
template <class Pixel>
PF_Err AskBases(PF_Err (*get)(PF_EffectWorld*, PF_PixelPtr, Pixel**), PF_EffectWorld* const* worlds,
                Pixel** bases, int count) {
  if (!get) return kUnusableHostData;
  for (int i = 0; i < count; ++i) {
    bases[i] = nullptr;
    get(worlds[i], nullptr, &bases[i]);
  }
  return PF_Err_NONE;
}

const PF_UtilCallbacks* Utils() { return gIn_data ? gIn_data->utils : nullptr; }

// The first-pixel address of each world, all host calls made here, before any
// pixel is touched. Non-zero (and nothing to be addressed) when a callback,
// the suite or a base address is missing.
PF_Err GetBases(PF_EffectWorld* const* worlds, PF_Pixel8** bases, int count) {
  return AskBases(Utils() ? Utils()->get_pixel_data8 : nullptr, worlds, bases, count);
}

PF_Err GetBases(PF_EffectWorld* const* worlds, PF_Pixel16** bases, int count) {
  return AskBases(Utils() ? Utils()->get_pixel_data16 : nullptr, worlds, bases, count);
}

// The suite is released as soon as the addresses are known; one that the
// host did not supply (an error or a null suite) is neither called nor
// released.
PF_Err GetBases(PF_EffectWorld* const* worlds, PF_PixelFloat** bases, int count) {
  const SPBasicSuite* basic = gpSuites ? gpSuites->Pica() : nullptr;
  if (!basic) return kUnusableHostData;
  const void* suiteV = nullptr;
  if (basic->AcquireSuite(kPFPixelDataSuite, kPFPixelDataSuiteVersion1, &suiteV) != kSPNoError ||
      !suiteV) {
    return kUnusableHostData;
  }
  const auto* suite = static_cast<const PF_PixelDataSuite1*>(suiteV);
  const PF_Err err = AskBases(suite->get_pixel_data_float, worlds, bases, count);
  basic->ReleaseSuite(kPFPixelDataSuite, kPFPixelDataSuiteVersion1);
  return err;
}

template <class Pixel>
PF_Err GetBasesChecked(PF_EffectWorld* const* worlds, Pixel** bases, int count) {
  if (PF_Err err = GetBases(worlds, bases, count)) return err;
  for (int i = 0; i < count; ++i) {
    if (!bases[i]) return kUnusableHostData;
  }
  return PF_Err_NONE;
}

// Plane element (x, y) is element y * rowFloats + x.
std::ptrdiff_t RowFloats(const KoImage& image) {
  return static_cast<std::ptrdiff_t>(image.steps[0] / static_cast<int>(sizeof(float)));
}

// A conversion that writes more bytes than a processor's last-level cache
// holds writes them past the caches: nothing of them would be left there
// for whoever reads them next, and the cache keeps what it holds.
constexpr double kStreamFrom = 32.0 * (1 << 20);  // bytes

template <class Pixel>
void ReadPixels(const Pixel* in, std::ptrdiff_t inPitch, KoImage& image) {
  const std::ptrdiff_t rowFloats = RowFloats(image);
  const bool stream = 3.0 * image.steps[0] * image.size.height > kStreamFrom;
  for (int y = 0; y < image.size.height; ++y) {
    const std::ptrdiff_t at = y * rowFloats;
    pixel_rows::ReadRow(in + y * inPitch, image.layers[0] + at, image.layers[1] + at,
                        image.layers[2] + at, image.size.width, stream);
  }
}

template <class Pixel>
void WritePixels(const Pixel* in, std::ptrdiff_t inPitch, Pixel* out, std::ptrdiff_t outPitch,
                 const KoImage& image) {
  const std::ptrdiff_t rowFloats = RowFloats(image);
  const bool stream =
      double(sizeof(Pixel)) * image.size.width * image.size.height > kStreamFrom;
  for (int y = 0; y < image.size.height; ++y) {
    const std::ptrdiff_t at = y * rowFloats;
    pixel_rows::WriteRow(in + y * inPitch, image.layers[0] + at, image.layers[1] + at,
                         image.layers[2] + at, out + y * outPitch, image.size.width, stream);
  }
}

void SetErr(PF_Err* errP, PF_Err err) {
  if (errP) *errP = err;
}

// ---------------------------------------------------------------------------
// Local colour correction

// 2 ln 2, asked of the host's log. A host log that does not give ln 2 (a
// failed callback answers NaN) would silently spoil every pixel, so its
// answer is used only when it agrees with the standard library's.
float ExponentConstant(const PF_InData* in_data) {
  const double own = std::log(2.0);
  double ln2 = (in_data && in_data->utils && in_data->utils->ansi.log)
                   ? in_data->utils->ansi.log(2.0)
                   : own;
  if (!(std::fabs(ln2 - own) <= 1e-9)) ln2 = own;
  return static_cast<float>(ln2 + ln2);
}

// G = exp(c2 * (0.5 - blur(N))) in place of the blur.
void BlurToExponent(KoImage& G, const PF_InData* in_data) {
  G *= -1.0f;
  G += 0.5f;
  const float c2 = ExponentConstant(in_data);
  G *= c2;
  G.Exp_I();
}

// O = M * exp(ln X * G), the mask-weighted power term.
void MaskedPower(KoImage& O, const KoImage& G, const KoImage& M) {
  O *= G;
  O.Exp_I();
  O *= M;
}

void CorrectChannels(const KoImage& I, KoImage& O, float radius, float threshold,
                     const PF_InData* in_data) {
  KoImage N(-I);
  N += 1.0f;
  KoImage M(N.Threshold(threshold, 0.0f, threshold, 1.0f));
  KoImage G(N.Blurred_R(radius));
  BlurToExponent(G, in_data);
  O = I.Log();
  MaskedPower(O, G, M);
  KoImage P(-M);
  P += 1.0f;
  P *= I;
  O += P;
}  // P, G, M, N released in that order

// Only the luminance of YUV is corrected; each Layer1 view lives for one
// statement, and writing through it writes plane 0 of YUV.
void CorrectLuminosity(const KoImage& I, KoImage& O, float radius, float threshold,
                       const PF_InData* in_data) {
  KoImage YUV(I.ColorTwist_R(&RGBtoYUV));
  KoImage N(-YUV.Layer1());
  N += 1.0f;
  KoImage M(N.Threshold(threshold, 0.0f, threshold, 1.0f));
  KoImage G(N.Blurred_R(radius));
  BlurToExponent(G, in_data);
  O = YUV.Layer1().Log();
  MaskedPower(O, G, M);
  KoImage P(-M);
  P += 1.0f;
  P *= YUV.Layer1();
  YUV.Layer1() = O + P;
  O = YUV.ColorTwist_R(&YUVtoRGB);  // O grows from one plane to three
}  // P, G, M, N, YUV released in that order

// ---------------------------------------------------------------------------
// Smart render

template <class Fn>
class ScopeExit {
 public:
  explicit ScopeExit(Fn fn) : fn_(std::move(fn)) {}
  ~ScopeExit() { fn_(); }
  ScopeExit(const ScopeExit&) = delete;
  ScopeExit& operator=(const ScopeExit&) = delete;

 private:
  Fn fn_;
};

// What the render took from the host once the input is checked out: given
// back by Finish, or by the destructor when an exception passes. The World
// Suite is released before the input is checked in.
class HostLoan {
 public:
  HostLoan(PF_InData* in_data, PF_OutData* out_data, const PF_SmartRenderCallbacks* cb)
      : in_data_(in_data), out_data_(out_data), cb_(cb) {}
  ~HostLoan() { Finish(); }
  HostLoan(const HostLoan&) = delete;
  HostLoan& operator=(const HostLoan&) = delete;

  void HoldWorldSuite() { worldSuiteHeld_ = true; }

  // The release's code if non-zero, else the check-in's.
  PF_Err Finish() {
    PF_Err err = PF_Err_NONE;
    if (worldSuiteHeld_) {
      worldSuiteHeld_ = false;
      err = AEFX_ReleaseSuite(in_data_, out_data_, kPFWorldSuite, kPFWorldSuiteVersion2,
                              "Couldn't release suite.");
    }
    if (inputHeld_) {
      inputHeld_ = false;
      const PF_Err checkinErr = cb_->checkin_layer_pixels(in_data_->effect_ref, 0);
      if (!err) err = checkinErr;
    }
    return err;
  }

 private:
  PF_InData* in_data_;
  PF_OutData* out_data_;
  const PF_SmartRenderCallbacks* cb_;
  bool inputHeld_ = true;
  bool worldSuiteHeld_ = false;
};

bool IsKnownFormat(PF_PixelFormat format) {
  return WithPixelType(format, [](auto) {});
}

float WhiteLevel(PF_PixelFormat format) {
  if (format == PF_PixelFormat_ARGB64) return 32768.0f;
  if (format == PF_PixelFormat_ARGB128) return 1.0f;
  return 255.0f;
}

struct FrameParams {
  float radius;
  float threshold;
  bool luminosityMode;
  float intensity;
};

FrameParams ReadRecord(const PreRenderInfo* info) {
  // The mode is read as the byte it is stored as: any non-zero value is on.
  unsigned char mode = 0;
  std::memcpy(&mode, &info->luminosityMode, 1);
  return {static_cast<float>(info->radius), info->threshold, mode != 0, info->intensity};
}

// From the input conversion to the output conversion; the context variables
// must be set.
PF_Err RenderImages(const FrameParams& p, PF_PixelFormat format, PF_InData* in_data) {
  const float whiteLevel = WhiteLevel(format);
  ippStaticInit();
  KoImage output;
  PF_Err err = PF_Err_NONE;
  KoImage input = ConvertFromAE({gpInputWorld->width, gpInputWorld->height}, format, &err);
  if (err) return err;
  if (whiteLevel != 1.0f) input /= whiteLevel;
  LocalColorCorrection(input, output, p.radius, p.threshold, p.luminosityMode, in_data);
  if (whiteLevel != 1.0f) {
    input *= whiteLevel;
    output *= whiteLevel;
  }
  output.Threshold_I(whiteLevel);
  output *= p.intensity;
  input *= 1.0f - p.intensity;
  output += input;
  ConvertToAE(output, format, &err);
  return err;
}

}  // namespace

KoImage ConvertFromAE(IppiSize size, int pixelFormat, PF_Err* errP) {
  KoImage image(size, 3);
  PF_Err err = kUnusableHostData;
  if (Covers(gpInputWorld, size)) {
    WithPixelType(pixelFormat, [&](auto tag) {
      using Pixel = decltype(tag);
      Pixel* in = nullptr;
      err = GetBasesChecked(&gpInputWorld, &in, 1);
      if (!err) ReadPixels(in, Pitch<Pixel>(gpInputWorld), image);
    });
  }
  SetErr(errP, err);
  return image;
}

void ConvertToAE(KoImage& image, int pixelFormat, PF_Err* errP) {
  PF_Err err = kUnusableHostData;
  if (image.numLayers >= 3 && Covers(gpInputWorld, image.size) &&
      Covers(gpOutputWorld, image.size)) {
    WithPixelType(pixelFormat, [&](auto tag) {
      using Pixel = decltype(tag);
      PF_EffectWorld* const worlds[2] = {gpInputWorld, gpOutputWorld};
      Pixel* bases[2] = {nullptr, nullptr};
      err = GetBasesChecked(worlds, bases, 2);
      if (!err) {
        WritePixels<Pixel>(bases[0], Pitch<Pixel>(gpInputWorld), bases[1],
                           Pitch<Pixel>(gpOutputWorld), image);
      }
    });
  }
  SetErr(errP, err);
}

void LocalColorCorrection(const KoImage& input, KoImage& output, float radius, float threshold,
                          bool luminosityMode, const PF_InData* in_data) {
  if (luminosityMode) {
    CorrectLuminosity(input, output, radius, threshold, in_data);
  } else {
    CorrectChannels(input, output, radius, threshold, in_data);
  }
}

PF_Err KoSmartRender(PF_InData* in_data, PF_OutData* out_data, PF_SmartRenderExtra* extra) {
  if (!in_data || !extra || !extra->input || !extra->cb) return PF_Err_BAD_CALLBACK_PARAM;
  AEGP_SuiteHandler suites(in_data->pica_basicP);

  // The host owns the record's handle (its pre-render data); the render only
  // holds a lock on it for the length of the call.
  const auto handle = static_cast<PF_Handle>(extra->input->pre_render_data);
  if (!handle) return PF_Err_INTERNAL_STRUCT_DAMAGED;
  PF_HandleSuite2* handleSuite = suites.HandleSuite2();
  const auto* info = static_cast<const PreRenderInfo*>(handleSuite->host_lock_handle(handle));
  if (!info) return PF_Err_INTERNAL_STRUCT_DAMAGED;
  ScopeExit unlock([&] { handleSuite->host_unlock_handle(handle); });

  const PF_SmartRenderCallbacks* cb = extra->cb;
  PF_EffectWorld* inputWorld = nullptr;
  PF_EffectWorld* outputWorld = nullptr;
  PF_Err err = cb->checkout_layer_pixels(in_data->effect_ref, 0, &inputWorld);
  if (err) return err;
  HostLoan loan(in_data, out_data, cb);

  PF_PixelFormat format = PF_PixelFormat_INVALID;
  err = cb->checkout_output(in_data->effect_ref, &outputWorld);
  if (!err && (!inputWorld || !outputWorld)) err = PF_Err_BAD_CALLBACK_PARAM;
  if (!err) {
    void* suiteV = nullptr;
    err = AEFX_AcquireSuite(in_data, out_data, kPFWorldSuite, kPFWorldSuiteVersion2,
                            "Couldn't load suite.", &suiteV);
    if (!err) {
      loan.HoldWorldSuite();
      err = static_cast<PF_WorldSuite2*>(suiteV)->PF_GetPixelFormat(inputWorld, &format);
    }
  }
  // Nothing can be rendered in an unknown format; the output is left as the
  // host gave it.
  if (!err && !IsKnownFormat(format)) err = PF_Err_BAD_CALLBACK_PARAM;
  if (!err) {
    const FrameParams params = ReadRecord(info);
    gIn_data = in_data;
    gpInputWorld = inputWorld;
    gpOutputWorld = outputWorld;
    gpSuites = &suites;
    err = RenderImages(params, format, in_data);
  }
  const PF_Err giveBackErr = loan.Finish();
  return err ? err : giveBackErr;
}
