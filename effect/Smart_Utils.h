#ifndef TESSIVO_EFFECT_SMART_UTILS_H
#define TESSIVO_EFFECT_SMART_UTILS_H

#include "AE_Effect.h"

// Widens *dst to the bounding rectangle of both; an empty dst becomes src and
// an empty src leaves dst alone. Empty: left >= right or top >= bottom.
void UnionLRect(const PF_LRect* src, PF_LRect* dst);

#endif  // TESSIVO_EFFECT_SMART_UTILS_H
