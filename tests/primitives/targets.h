// The primitives' code paths, for tests that run on each: every one this
// library was built with and this processor runs.
#ifndef TESSIVO_TESTS_PRIMITIVES_TARGETS_H
#define TESSIVO_TESTS_PRIMITIVES_TARGETS_H

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ipp_testing.h"

namespace prim_test {

inline std::vector<long long> Targets() {
  std::vector<long long> all(64);
  all.resize(static_cast<size_t>(ippTestGetTargets(all.data(), 64)));
  return all;
}

// Runs the primitives on one code path for its lifetime.
class ForcedTarget {
 public:
  explicit ForcedTarget(long long target) : trace_(__FILE__, __LINE__, ippTestTargetName(target)) {
    EXPECT_EQ(ippTestForceTarget(target), ippStsNoErr);
    // Proof that the dispatch now runs this target's code.
    EXPECT_EQ(ippTestProbeTarget(), target);
  }
  ~ForcedTarget() { ippTestForceTarget(0); }
  ForcedTarget(const ForcedTarget&) = delete;
  ForcedTarget& operator=(const ForcedTarget&) = delete;

 private:
  ::testing::ScopedTrace trace_;
};

}  // namespace prim_test

#endif  // TESSIVO_TESTS_PRIMITIVES_TARGETS_H
