// The effect's entry point, its commands and the smart pre-render.
#ifndef TESSIVO_EFFECT_TESSIVO_H
#define TESSIVO_EFFECT_TESSIVO_H

#include "AE_Effect.h"

// The four parameter values of one frame, left by smart pre-render in a host
// handle for smart render.
struct PreRenderInfo {
  double radius;        // "Tonal Radius", pixels
  float threshold;      // "Tonal Threshold"
  bool luminosityMode;  // "Luminosity Mode"
  float intensity;      // "Intensity Level" / 100
};

PF_Err SmartPreRender(PF_InData* in_data, PF_PreRenderExtra* extra);

extern "C" __attribute__((visibility("default"))) PF_Err EntryPointFunc(
    PF_Cmd cmd, PF_InData* in_data, PF_OutData* out_data, PF_ParamDef* params[],
    PF_LayerDef* output, void* extra);

#endif  // TESSIVO_EFFECT_TESSIVO_H
