// A stand-in host with the built effect module loaded, for tests that drive
// the effect through its entry point.
#ifndef TESSIVO_TESTS_EFFECT_HOST_FIXTURE_H
#define TESSIVO_TESTS_EFFECT_HOST_FIXTURE_H

#include <gtest/gtest.h>

#include "StandInHost.h"

class HostTest : public ::testing::Test {
 protected:
  tessivo_host::StandInHost host{TESSIVO_MODULE_PATH};

  // Every suite given back, every handle disposed and unlocked, every layer
  // checked in, and no call that named something the host never gave out.
  void ExpectLedgersBalanced() {
    EXPECT_EQ(host.OutstandingSuites(), 0);
    EXPECT_EQ(host.BadSuiteReleases(), 0);
    EXPECT_EQ(host.LiveHandles(), 0u);
    EXPECT_EQ(host.BadHandleCalls(), 0);
    EXPECT_EQ(host.OutstandingLayerCheckouts(), 0);
  }
};

#endif  // TESSIVO_TESTS_EFFECT_HOST_FIXTURE_H
