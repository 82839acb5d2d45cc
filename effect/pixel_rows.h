// Row kernels of the host pixel conversions: one row of interleaved host
// pixels (alpha, red, green, blue) to or from three float planes (red,
// green, blue). Integers are read exactly and written truncated toward zero
// (the caller passes values within the channel's range); floats pass bit
// for bit both ways. A kernel reads and writes only the first `width`
// pixels and plane elements of its row; any alignment will do.
//
// They run on the code path that the primitives chose for this processor
// (ippStaticInit, or a test's forced path).
#ifndef TESSIVO_EFFECT_PIXEL_ROWS_H
#define TESSIVO_EFFECT_PIXEL_ROWS_H

#include <cstdint>

#include "AE_Effect.h"

namespace pixel_rows {

// With streamPlanes the plane rows are written past the caches, which pays
// when they would not stay there anyway.
void ReadRow(const PF_Pixel8* src, float* r, float* g, float* b, int width, bool streamPlanes);
void ReadRow(const PF_Pixel16* src, float* r, float* g, float* b, int width, bool streamPlanes);
void ReadRow(const PF_PixelFloat* src, float* r, float* g, float* b, int width, bool streamPlanes);

// dst[x] takes its alpha from alphaSrc[x] and its colours from r, g, b.
// With streamOut the row is written past the caches.
void WriteRow(const PF_Pixel8* alphaSrc, const float* r, const float* g, const float* b,
              PF_Pixel8* dst, int width, bool streamOut);
void WriteRow(const PF_Pixel16* alphaSrc, const float* r, const float* g, const float* b,
              PF_Pixel16* dst, int width, bool streamOut);
void WriteRow(const PF_PixelFloat* alphaSrc, const float* r, const float* g, const float* b,
              PF_PixelFloat* dst, int width, bool streamOut);

// The code path that the kernels run on now: a bit of the vector library's
// target mask, as the primitives' test hooks name them.
std::int64_t ActiveTarget();

}  // namespace pixel_rows

#endif  // TESSIVO_EFFECT_PIXEL_ROWS_H
