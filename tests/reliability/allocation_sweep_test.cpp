// Every allocation the effect and the image code make, failed in turn: the
// nth alone, and the nth with every later one. Two sweeps, counted apart:
// the primitives' allocator (planes and work buffers together) and
// operator new (every form, the host's own allocations excluded, the
// memory of a host handle included as the effect's). Each run must give
// the documented code and give back everything it took.
#include <dlfcn.h>

#include <functional>
#include <iostream>
#include <new>

#include "KoImageStracture.h"
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

// The code the image and render code documents for an allocation failure:
// NO_MEMORY_ERROR and std::bad_alloc both end as 512 at the entry point.
PF_Err AsEntryPoint(const std::function<void()>& op) {
  try {
    op();
    return PF_Err_NONE;
  } catch (const NO_MEMORY_ERROR&) {
    return PF_Err_INTERNAL_STRUCT_DAMAGED;
  } catch (const std::bad_alloc&) {
    return PF_Err_INTERNAL_STRUCT_DAMAGED;
  }
}

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

Scenario PreRenderScenario() {
  auto host = std::shared_ptr<StandInHost>(MakeHost(FrameSpec{}));
  return Scenario{"pre-render", [] {},
                  [=](Allocator a) {
                    const PF_Err err = host->PreRender();
                    return Run{err, InjectedSinceArm(a) ? PF_Err_OUT_OF_MEMORY : PF_Err_NONE};
                  },
                  [=](bool succeeded) {
                    EXPECT_EQ(host->PendingPreRenderData() != nullptr, succeeded);
                    host->DiscardPreRenderData();
                    ExpectHostGivenBack(*host);
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

// A record evaluated straight into a new image, as the image code's users
// do; the result's pixels are kept for comparison with an undisturbed run.
Scenario RecordScenario(const std::string& name,
                        const std::function<void(const KoImage&, const KoImage&, KoImage&)>& op) {
  const IppiSize size{9, 7};
  auto a = std::make_shared<KoImage>(size, 3);
  auto b = std::make_shared<KoImage>(size, 3);
  for (KoImage* img : {a.get(), b.get()})
    for (int p = 0; p < 3; ++p)
      for (int y = 0; y < size.height; ++y)
        for (int x = 0; x < size.width; ++x)
          img->layers[p][y * img->steps[p] / 4 + x] =
              0.1f * p + 0.07f * x + 0.05f * y * (img == b.get() ? -1 : 1) + 0.2f;
  const std::size_t floats = 3 * size.width * size.height;
  auto result = std::make_shared<std::vector<float>>();
  auto reference = std::make_shared<std::vector<float>>();
  result->reserve(floats);  // filled inside the window without allocating
  // Built once: making a std::function inside the window would allocate.
  auto evaluate = std::make_shared<std::function<void()>>([=] {
    KoImage t;
    op(*a, *b, t);
    for (int p = 0; p < t.numLayers; ++p)
      for (int y = 0; y < t.size.height; ++y)
        for (int x = 0; x < t.size.width; ++x)
          result->push_back(t.layers[p][y * t.steps[p] / 4 + x]);
  });
  (*evaluate)();
  *reference = *result;
  EXPECT_EQ(reference->size(), floats) << name;
  return Scenario{
      name, [=] { result->clear(); },
      [=](Allocator al) {
        const PF_Err err = AsEntryPoint(*evaluate);
        return Run{err, InjectedSinceArm(al) ? PF_Err_INTERNAL_STRUCT_DAMAGED : PF_Err_NONE};
      },
      [=](bool succeeded) {
        if (succeeded) {
          EXPECT_EQ(
              std::memcmp(result->data(), reference->data(), reference->size() * sizeof(float)), 0);
        }
      }};
}

std::vector<Scenario> AllScenarios() {
  std::vector<Scenario> s;
  for (PF_PixelFormat f : {PF_PixelFormat_ARGB32, PF_PixelFormat_ARGB64, PF_PixelFormat_ARGB128})
    for (bool luminosity : {false, true}) s.push_back(FrameScenario({f, 9, 7, luminosity}));
  s.push_back(PreRenderScenario());
  s.push_back(ParamsSetupScenario());
  static const float kTaps[] = {0.25f, 0.5f, 0.25f};
  static const Kernel kKernel{1, 3, kTaps};
  s.push_back(RecordScenario("high-pass", [](const KoImage& a, const KoImage&, KoImage& t) {
    t = a.HighPassFilter(1.5f);
  }));
  s.push_back(RecordScenario("sigmoidal curve", [](const KoImage& a, const KoImage&, KoImage& t) {
    t = a.SigmoidalCurve_R(4.0f, 0.5f);
  }));
  s.push_back(RecordScenario(
      "blend", [](const KoImage& a, const KoImage& b, KoImage& t) { t = BlendMode(a, b, 0.5f); }));
  s.push_back(RecordScenario(
      "filter", [](const KoImage& a, const KoImage&, KoImage& t) { t = a.Filter(kKernel); }));
  s.push_back(
      RecordScenario("high-pass constructed", [](const KoImage& a, const KoImage&, KoImage& t) {
        KoImage made(a.HighPassFilter(1.5f));
        t = made;
      }));
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
