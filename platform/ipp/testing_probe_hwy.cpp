// Test-only probe of the code-path dispatch: compiled once per target like
// the kernel files and dispatched the same way, it reports the target that
// ran, so a test can tell that forcing a target really runs its code.
#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "testing_probe_hwy.cpp"
#include "hwy/foreach_target.h"  // IWYU pragma: keep
#include "hwy/highway.h"

HWY_BEFORE_NAMESPACE();
namespace ipp_kernels {
namespace HWY_NAMESPACE {

void ProbeTarget(long long* target) { *target = HWY_TARGET; }

}  // namespace HWY_NAMESPACE
}  // namespace ipp_kernels
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
#include "dispatch.h"
#include "ipp_testing.h"

namespace ipp_kernels {

IPP_DISPATCH(ProbeTarget, (long long* target), (target))

}  // namespace ipp_kernels

extern "C" long long ippTestProbeTarget(void) {
  long long target = 0;
  ipp_kernels::ProbeTarget(&target);
  return target;
}
#endif  // HWY_ONCE
