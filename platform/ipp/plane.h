// Shared argument checks and row addressing of the primitives.
#ifndef TESSIVO_PLATFORM_IPP_PLANE_H
#define TESSIVO_PLATFORM_IPP_PLANE_H

#include <climits>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <type_traits>

#include "ipp.h"

namespace ipp_internal {

// Row y of a plane; 64-bit arithmetic so y * step cannot wrap.
template <typename T>
inline T* RowOf(T* first, int step, std::int64_t y) {
  using Byte = typename std::conditional<std::is_const<T>::value, const char, char>::type;
  return reinterpret_cast<T*>(reinterpret_cast<Byte*>(first) +
                              static_cast<std::ptrdiff_t>(y * step));
}

inline bool RegionOk(IppiSize roi) { return roi.width >= 1 && roi.height >= 1; }

// A step that is not a whole number of floats would put every other row's
// floats at misaligned addresses.
inline bool StepOk(int step) { return step >= 1 && step % 4 == 0; }

// One plane argument: refusals common to every primitive, in the order
// null pointer, region, step.
inline IppStatus CheckPlane(const void* plane, int step, IppiSize roi) {
  if (plane == nullptr) return ippStsNullPtrErr;
  if (!RegionOk(roi)) return ippStsSizeErr;
  if (!StepOk(step)) return ippStsStepErr;
  return ippStsNoErr;
}

// Checks of several planes over one region; the first refusal wins.
inline IppStatus CheckPlanes(IppStatus a, IppStatus b) { return a != ippStsNoErr ? a : b; }
inline IppStatus CheckPlanes(IppStatus a, IppStatus b, IppStatus c) {
  return CheckPlanes(CheckPlanes(a, b), c);
}

// The region as the runs an element-wise kernel goes over: one run of
// width * height floats when the rows of every plane follow each other
// without a gap (each step is 4 * width bytes), else one run per row.
inline IppiSize Runs(IppiSize roi, std::initializer_list<int> steps) {
  const std::int64_t all = std::int64_t{roi.width} * roi.height;
  for (int step : steps)
    if (step != std::int64_t{roi.width} * 4) return roi;
  return all <= INT_MAX ? IppiSize{static_cast<int>(all), 1} : roi;
}

// Bytes of `pixels` floats, in 64 bits.
inline std::int64_t FloatBytes(std::int64_t pixels) { return pixels * 4; }

}  // namespace ipp_internal

#endif  // TESSIVO_PLATFORM_IPP_PLANE_H
