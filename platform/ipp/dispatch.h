// Dispatch of the vectorised row kernels: each kernels_*_hwy.cpp compiles
// its kernels once per target and defines the ipp_kernels:: entry point
// of each through IPP_DISPATCH, which calls the target that ippStaticInit
// (or the first call) chose for this processor.
#ifndef TESSIVO_PLATFORM_IPP_DISPATCH_H
#define TESSIVO_PLATFORM_IPP_DISPATCH_H

#include "hwy/highway.h"

// IPP_DISPATCH(Name, (parameters), (arguments)) at namespace ipp_kernels.
#define IPP_DISPATCH(name, params, args) \
  HWY_EXPORT(name);                      \
  void name params { HWY_DYNAMIC_DISPATCH(name) args; }

#endif  // TESSIVO_PLATFORM_IPP_DISPATCH_H
