// Row kernels of the primitives. The primitives check their arguments and
// then call one kernel per row.
//
// ipp_kernels:: runs the best code path of this processor (chosen by
// ippStaticInit, or on first use); ipp_kernels::scalar:: holds the portable
// twins, the reference every vectorised path is tested against. Results
// agree exactly except where a path fuses a multiply with an add (the twist
// and the filters) and for exp and ln, which stay within 1 ULP of the
// correctly rounded value on every path.
#ifndef TESSIVO_PLATFORM_IPP_KERNELS_H
#define TESSIVO_PLATFORM_IPP_KERNELS_H

#include <cstddef>

namespace ipp_kernels {

#include "row_kernels.inc"

// Bytes of the last-level cache as one core sees it; an out-of-place run
// of half as many bytes or more streams its stores past the caches.
// Exported for the tests, which size their runs by it.
__attribute__((visibility("default"))) std::size_t LastLevelCacheBytes();

// Exported from the library for the tests, which compare every code path
// with these.
namespace scalar __attribute__((visibility("default"))) {
#include "row_kernels.inc"
}  // namespace scalar

}  // namespace ipp_kernels

#endif  // TESSIVO_PLATFORM_IPP_KERNELS_H
