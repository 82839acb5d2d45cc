// The render: conversions between host worlds and planar images, the local
// colour correction and the smart-render driver.
#ifndef TESSIVO_EFFECT_TESSIVO_EFFECT_H
#define TESSIVO_EFFECT_TESSIVO_EFFECT_H

#include "AE_Effect.h"
#include "AEGP_SuiteHandler.h"
#include "KoImageStracture.h"

// Renders one frame from the PreRenderInfo handle that smart pre-render left.
// Host codes pass through unchanged; the render's own codes:
// - PF_Err_INTERNAL_STRUCT_DAMAGED: the record's handle is missing or cannot
//   be locked;
// - PF_Err_BAD_CALLBACK_PARAM: what the host handed over cannot be used: no
//   extra, input or callback table, a null world after a successful checkout,
//   a pixel format other than the three ARGB formats, an output world smaller
//   than the input, or a missing pixel-data callback, suite or base address.
//   The output is then left as the host gave it.
// Allocation failures throw NO_MEMORY_ERROR. Whatever was taken from the host
// (the World Suite, the input checkout, the record's lock) is given back on
// every way out.
PF_Err KoSmartRender(PF_InData* in_data, PF_OutData* out_data, PF_SmartRenderExtra* extra);

// The current render call's host data, for the conversions; set by
// KoSmartRender and valid only during that call.
extern PF_InData* gIn_data;
extern PF_EffectWorld* gpInputWorld;
extern PF_EffectWorld* gpOutputWorld;
extern AEGP_SuiteHandler* gpSuites;

// Three planes (red, green, blue) of `size` read unscaled from gpInputWorld in
// `pixelFormat`: integers exactly, floats bit for bit. Alpha is not read.
// Refused, with the image left unfilled and *errP set to
// PF_Err_BAD_CALLBACK_PARAM: an unrecognised format, an input world smaller
// than `size`, a missing pixel-data callback, suite or base address.
// Otherwise *errP is PF_Err_NONE; errP may be null. A size below 1 throws
// NO_MEMORY_ERROR before the host is asked anything.
KoImage ConvertFromAE(IppiSize size, int pixelFormat, PF_Err* errP = nullptr);
// Planes 0..2 of `image` into gpOutputWorld as red, green, blue (integers
// truncated toward zero, floats bit for bit), alpha from gpInputWorld at the
// same pixel. Refusals as ConvertFromAE's, with either world smaller than the
// image; a refused conversion writes nothing.
void ConvertToAE(KoImage& image, int pixelFormat, PF_Err* errP = nullptr);

// Fills the empty `output` with the local colour correction of the
// three-plane `input` (unit range): per channel, or on the luminance alone.
// `radius` is the blur's sigma in pixels. in_data supplies the host's log;
// without it the standard library's is used.
void LocalColorCorrection(const KoImage& input, KoImage& output, float radius, float threshold,
                          bool luminosityMode, const PF_InData* in_data);

extern const float RGBtoYUV[3][4];
extern const float YUVtoRGB[3][4];

#endif  // TESSIVO_EFFECT_TESSIVO_EFFECT_H
