// Choice of the vectorised code path, and in the testing variant of the
// library (TESSIVO_IPP_TESTING) the hooks that force one.
#include "hwy/targets.h"

#include <cstdint>

#include "hwy/highway.h"
#include "ipp.h"

#ifdef TESSIVO_IPP_TESTING
#include <algorithm>
#include <atomic>
#include <vector>

#include "ipp_testing.h"
#endif

namespace {

#ifdef TESSIVO_IPP_TESTING
// The code path a test forced, kept across ippStaticInit; 0: the best.
std::atomic<std::int64_t> gForced{0};

// Compiled into the library and runnable on this processor, best first.
std::vector<std::int64_t> Targets() {
  std::vector<std::int64_t> targets;
  for (std::int64_t bits = hwy::SupportedTargets() & HWY_TARGETS; bits != 0; bits &= bits - 1)
    targets.push_back(bits & -bits);
  return targets;
}
#endif

// The code paths to choose the best from.
std::int64_t Offered() {
#ifdef TESSIVO_IPP_TESTING
  if (const std::int64_t forced = gForced.load(); forced != 0) return forced;
#endif
  return hwy::SupportedTargets();
}

}  // namespace

extern "C" {

IppStatus ippStaticInit(void) {
  hwy::GetChosenTarget().Update(Offered());
  return ippStsNoErr;
}

#ifdef TESSIVO_IPP_TESTING
int ippTestGetTargets(long long* targets, int capacity) {
  const std::vector<std::int64_t> all = Targets();
  for (int i = 0; i < capacity && i < static_cast<int>(all.size()); ++i) targets[i] = all[i];
  return static_cast<int>(all.size());
}

const char* ippTestTargetName(long long target) { return hwy::TargetName(target); }

IppStatus ippTestForceTarget(long long target) {
  if (target != 0) {
    const std::vector<std::int64_t> all = Targets();
    if (std::find(all.begin(), all.end(), target) == all.end()) return ippStsBadArgErr;
  }
  gForced = target;
  return ippStaticInit();
}
#endif  // TESSIVO_IPP_TESTING

}  // extern "C"
