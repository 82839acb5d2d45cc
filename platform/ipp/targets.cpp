// Choice of the vectorised code path, and the test hooks that force one.
#include "hwy/targets.h"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <vector>

#include "hwy/highway.h"
#include "ipp.h"
#include "ipp_testing.h"

namespace {

// The code path a test forced, kept across ippStaticInit; 0: the best.
std::atomic<std::int64_t> gForced{0};

// Compiled into the library and runnable on this processor, best first.
std::vector<std::int64_t> Targets() {
  std::vector<std::int64_t> targets;
  for (std::int64_t bits = hwy::SupportedTargets() & HWY_TARGETS; bits != 0; bits &= bits - 1)
    targets.push_back(bits & -bits);
  return targets;
}

}  // namespace

extern "C" {

IppStatus ippStaticInit(void) {
  const std::int64_t forced = gForced.load();
  hwy::GetChosenTarget().Update(forced != 0 ? forced : hwy::SupportedTargets());
  return ippStsNoErr;
}

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

}  // extern "C"
