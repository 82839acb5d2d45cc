// Stand-in declarations of the host suites the effect acquires by name.
#ifndef TESSIVO_PLATFORM_AE_EFFECT_SUITES_H
#define TESSIVO_PLATFORM_AE_EFFECT_SUITES_H

#include "AE_Effect.h"

#ifdef __cplusplus
extern "C" {
#endif

#define kPFHandleSuite "PF Handle Suite"
#define kPFHandleSuiteVersion2 2
typedef struct {
  PF_Handle (*host_new_handle)(A_u_longlong size);  // null when the host cannot allocate
  void* (*host_lock_handle)(PF_Handle pf_handle);   // null on failure
  void (*host_unlock_handle)(PF_Handle pf_handle);
  void (*host_dispose_handle)(PF_Handle pf_handle);
  A_u_longlong (*host_get_handle_size)(PF_Handle pf_handle);
} PF_HandleSuite2;

#define kPFANSISuite "PF ANSI Suite"
#define kPFANSISuiteVersion1 1
typedef struct {
  A_long (*sprintf)(A_char* buffer, const A_char* format, ...);
  A_char* (*strcpy)(A_char* dest, const A_char* src);
  PF_FpLong (*log)(PF_FpLong x);
} PF_ANSICallbacksSuite1;

#define kPFWorldSuite "PF World Suite"
#define kPFWorldSuiteVersion2 2
typedef struct {
  PF_Err (*PF_GetPixelFormat)(const PF_EffectWorld* worldP, PF_PixelFormat* pixel_formatP);
} PF_WorldSuite2;

#define kPFPixelDataSuite "PF Pixel Data Suite"
#define kPFPixelDataSuiteVersion1 1
typedef struct {
  PF_Err (*get_pixel_data8)(PF_EffectWorld* worldP, PF_PixelPtr pixelsP0, PF_Pixel8** pPixel);
  PF_Err (*get_pixel_data16)(PF_EffectWorld* worldP, PF_PixelPtr pixelsP0,
                             PF_Pixel16** pPixel);
  PF_Err (*get_pixel_data_float)(PF_EffectWorld* worldP, PF_PixelPtr pixelsP0,
                                 PF_PixelFloat** pPixel);
} PF_PixelDataSuite1;

#ifdef __cplusplus
}
#endif

#endif  // TESSIVO_PLATFORM_AE_EFFECT_SUITES_H
