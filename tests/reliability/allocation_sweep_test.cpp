// Every allocation the effect makes, failed in turn: the nth alone, and the
// nth with every later one. Two sweeps, counted apart: the primitives'
// allocator (planes and work buffers together) and operator new (every
// form, the host's own allocations excluded, the memory of a host handle
// included as the effect's). Each run must give the documented code and
// give back everything it took. The image records are swept on their own
// in tests/image/failure_test.cpp.
#include <dlfcn.h>

#include <functional>
#include <iostream>
#include <new>

#include "alloc_hooks.h"
#include "reliability_support.h"

namespace reliability {
namespace {

enum class Allocator { kPrimitives, kOperatorNew };

const char* AllocatorName(Allocator a) {
  return a == Allocator::kPrimitives ? "planes and buffers" : "operator new";
}

long long gNewFailuresAtArm = 0;

void Arm(Allocator a, long long n, bool persistent) {
  ippTestResetLedger();  // also restarts the primitives' injected-failure count
  gNewFailuresAtArm = alloc_hooks::Get().failures;
  if (a == Allocator::kPrimitives) {
    ippTestFailAllocation(n, persistent);
  } else {
    alloc_hooks::FailAttempt(n, persistent);
  }
}

void Disarm() {
  ippTestFailAllocation(0, 0);
  alloc_hooks::FailAttempt(0, false);
}

// Failures injected since Arm, of the allocator being swept.
long long InjectedSinceArm(Allocator a) {
  return a == Allocator::kPrimitives ? IppLedger().injectedFailures
                                     : alloc_hooks::Get().failures - gNewFailuresAtArm;
}

struct Run {
  PF_Err code;
  PF_Err expected;
};

// One scenario: `reset` (outside the failing window) restores its state,
// `run` is the window and says which code the failures it met call for,
// `check` judges what the run left (succeeded: no failure reached it).
struct Scenario {
  std::string name;
  std::function<void()> reset;
  std::function<Run(Allocator)> run;
  std::function<void(bool succeeded)> check;
};

// A whole frame through the host: pre-render, render, discard.
Scenario FrameScenario(const FrameSpec& frame) {
  auto host = std::shared_ptr<StandInHost>(MakeHost(frame));
  auto reference = std::make_shared<std::vector<unsigned char>>();
  EXPECT_EQ(host->RenderFrame(), PF_Err_NONE);
  *reference = Bytes(host->Output());
  const std::vector<unsigned char> untouched(reference->size(), kOutputFill);
  return Scenario{
      "frame " + FrameName(frame), [=] { host->Output().FillBytes(kOutputFill); },
      [=](Allocator a) {
        PF_Err err = host->PreRender();
        // The only allocation of the pre-render is the record's handle.
        const bool preRenderFailed = InjectedSinceArm(a) > 0;
        if (!err) err = host->SmartRender();
        host->DiscardPreRenderData();
        const PF_Err expected = InjectedSinceArm(a) == 0 ? PF_Err_NONE
                                : preRenderFailed        ? PF_Err_OUT_OF_MEMORY
                                                         : PF_Err_INTERNAL_STRUCT_DAMAGED;
        return Run{err, expected};
      },
      [=](bool succeeded) {
        ExpectHostGivenBack(*host);
        EXPECT_TRUE(Bytes(host->Output()) == (succeeded ? *reference : untouched))
            << (succeeded ? "output differs from the undisturbed render" : "output touched");
      }};
}

Scenario ParamsSetupScenario() {
  auto host = std::make_shared<StandInHost>(TESSIVO_MODULE_PATH);
  return Scenario{
      "parameter setup", [] {},
      [=](Allocator a) {
        const PF_Err err = host->ParamsSetup();
        return Run{err, InjectedSinceArm(a) ? PF_Err_INTERNAL_STRUCT_DAMAGED : PF_Err_NONE};
      },
      [=](bool succeeded) {
        if (succeeded) {
          EXPECT_EQ(host->AddedParams().size(), 4u);
        }
        ExpectHostGivenBack(*host);
      }};
}

std::vector<Scenario> AllScenarios() {
  std::vector<Scenario> s;
  for (PF_PixelFormat f : {PF_PixelFormat_ARGB32, PF_PixelFormat_ARGB64, PF_PixelFormat_ARGB128})
    for (bool luminosity : {false, true}) s.push_back(FrameScenario({f, 9, 7, luminosity}));
  s.push_back(ParamsSetupScenario());
  return s;
}

struct Tally {
  int runs = 0;
  long long injected = 0;
  int mismatches = 0;
};

// n = 1, 2, ... until a run meets no injected failure; once with the nth
// failing alone and once with every allocation from the nth on failing.
void Sweep(Allocator allocator, Scenario& s, Tally& tally) {
  for (bool persistent : {false, true}) {
    for (long long n = 1;; ++n) {
      SCOPED_TRACE(testing::Message() << s.name << ", " << AllocatorName(allocator) << ", "
                                      << (persistent ? "from " : "only ") << "allocation " << n);
      ASSERT_LT(n, 10000) << "no run without a failure";
      s.reset();
      const IppAllocLedger planesBefore = IppLedger();
      const long long newLiveBefore = alloc_hooks::Get().live;
      Arm(allocator, n, persistent);
      const Run run = s.run(allocator);
      const long long injected = InjectedSinceArm(allocator);
      Disarm();
      ++tally.runs;
      tally.injected += injected;
      const int partsBefore = FailureCount();
      EXPECT_EQ(run.code, run.expected);
      s.check(injected == 0);
      ExpectPlanesGivenBack(planesBefore);
      EXPECT_EQ(alloc_hooks::Get().live, newLiveBefore) << "operator new blocks not freed";
      if (FailureCount() != partsBefore) ++tally.mismatches;
      if (injected == 0) break;
      if (::testing::Test::HasFatalFailure()) return;
    }
  }
}

TEST(AllocationSweep, EveryFailureGivesItsCodeAndLeavesNothingBehind) {
  std::vector<Scenario> scenarios = AllScenarios();
  for (Allocator a : {Allocator::kPrimitives, Allocator::kOperatorNew}) {
    Tally tally;
    for (Scenario& s : scenarios) {
      Sweep(a, s, tally);
      if (HasFatalFailure()) return;
    }
    std::cout << "[ sweep    ] " << AllocatorName(a) << ": " << scenarios.size() << " scenarios, "
              << tally.runs << " runs, " << tally.injected << " failures injected, "
              << tally.mismatches << " runs with a mismatch or leak\n";
    // None at all: the module allocates through a copy of the primitives
    // other than the one the test arms (a module built without the ledger).
    EXPECT_GT(tally.injected, 0) << AllocatorName(a) << ": no injected failure reached the module";
  }
}

// The replacements reach into the module: allocations the effect makes
// while it renders are counted (none of the host's are), and failing the
// first of them fails the frame.
TEST(AllocationHooks, SeeTheModulesAllocations) {
  void* (*plain)(std::size_t) = &::operator new;
  EXPECT_EQ(dlsym(RTLD_DEFAULT, "_Znwm"), reinterpret_cast<void*>(plain));

  auto host = MakeHost(FrameSpec{});
  ASSERT_EQ(host->PreRender(), PF_Err_NONE);
  const long long before = alloc_hooks::Get().attempts;
  ASSERT_EQ(host->SmartRender(), PF_Err_NONE);
  EXPECT_GT(alloc_hooks::Get().attempts - before, 0) << "no allocation of the module counted";

  ASSERT_EQ(host->PreRender(), PF_Err_NONE);
  host->Output().FillBytes(kOutputFill);
  alloc_hooks::FailAttempt(1, false);
  EXPECT_EQ(host->SmartRender(), PF_Err_INTERNAL_STRUCT_DAMAGED);
  alloc_hooks::FailAttempt(0, false);
  host->DiscardPreRenderData();
  ExpectHostGivenBack(*host);
}

}  // namespace
}  // namespace reliability
