// The smart render through the module: what it returns, gives back, writes,
// and how many planes it holds.
#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include "Tessivo.h"
#include "ipp_testing.h"
#include "render_support.h"

namespace render_test {
namespace {

using tessivo_host::PixelFormatReport;
using tessivo_host::SuiteAvailability;

// A 9 x 7 8-bit frame with the default parameters, rendered as the host
// does after `setup`; the render's host calls are kept.
struct Frame : EffectHost {
  Frame() {
    SetParams({});
    SetWorlds(PF_PixelFormat_ARGB32, 9, 7);
  }

  PF_Err RenderAfter(const std::function<void()>& setup) {
    EXPECT_EQ(host.PreRender(), PF_Err_NONE);
    setup();
    host.ClearCallLog();
    const PF_Err err = host.SmartRender();
    renderLog = host.CallLog();
    host.DiscardPreRenderData();
    return err;
  }

  void ExpectAllGivenBack() {
    EXPECT_EQ(host.OutstandingLayerCheckouts(), 0);
    EXPECT_EQ(host.OutstandingSuites(), 0);
    EXPECT_EQ(host.BadSuiteReleases(), 0);
    EXPECT_EQ(host.LockedHandles(), 0u);
    EXPECT_EQ(host.BadHandleCalls(), 0);
    IppAllocLedger ledger;
    ippTestGetLedger(&ledger);
    EXPECT_EQ(ledger.livePlanes + ledger.liveBuffers, 0);
  }

  std::vector<std::string> renderLog;
};

class SmartRender : public ::testing::Test, public Frame {};

TEST(SmartRenderFailure, ReturnsTheFirstErrorAndGivesEverythingBack) {
  using Setup = std::function<void(Frame&)>;
  const auto fail = [](HostCall call, PF_Err code) {
    return [=](Frame& t) { t.FailNext(call, code); };
  };
  const auto missing = [](const char* suite) {
    return [=](Frame& t) { t.host.SetSuiteAvailability(suite, SuiteAvailability::Missing); };
  };
  const auto output = [](PF_PixelFormat f, A_long h) {
    return [=](Frame& t) { t.host.SetOutputWorld(WorldOf(f, 9, h)); };
  };
  struct Case {
    const char* name;
    Setup setup;
    PF_Err expected;
    int checkins;
    bool written;
  };
  const std::vector<Case> cases = {
      {"record does not lock", fail(HostCall::LockHandle, 0), 512, 0, false},
      {"no basic suite", [](Frame& t) { t.host.SetBasicSuitePresent(false); }, 516, 0, false},
      {"no handle suite", missing(kPFHandleSuite), 516, 0, false},
      {"input checkout", fail(HostCall::CheckoutLayerPixels, 7), 7, 0, false},
      {"output checkout", fail(HostCall::CheckoutOutput, 8), 8, 1, false},
      {"no world suite", missing(kPFWorldSuite), 516, 1, false},
      {"pixel format query", fail(HostCall::GetPixelFormat, 9), 9, 1, false},
      {"query and check-in",
       [](Frame& t) {
         t.FailNext(HostCall::GetPixelFormat, 9);
         t.FailNext(HostCall::CheckinLayerPixels, 10);
       },
       9, 1, false},
      {"check-in", fail(HostCall::CheckinLayerPixels, 10), 10, 1, true},
      {"unknown format",
       [](Frame& t) {
         t.host.SetPixelFormatReport(PixelFormatReport::Given, PF_PixelFormat_INVALID);
       },
       516, 1, false},
      {"format unwritten",
       [](Frame& t) { t.host.SetPixelFormatReport(PixelFormatReport::Unwritten); }, 516, 1, false},
      {"output too small", output(PF_PixelFormat_ARGB32, 6), 516, 1, false},
      {"output of another format", output(PF_PixelFormat_ARGB64, 7), 516, 1, false},
      {"input of zero size",
       [](Frame& t) {
         t.host.SetInputWorld(WorldOf(PF_PixelFormat_ARGB32, 0, 7));
         t.host.SetOutputWorld(WorldOf(PF_PixelFormat_ARGB32, 9, 7));
       },
       512, 1, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Frame t;
    EXPECT_EQ(t.RenderAfter([&] {
      c.setup(t);
      t.host.Output().FillBytes(0xAB);
    }),
              c.expected);
    EXPECT_EQ(t.host.CallCount(HostCall::CheckinLayerPixels), c.checkins);
    EXPECT_EQ(AllBytes(t.host.Output(), 0xAB), !c.written);
    EXPECT_EQ((t.host.OutData().out_flags & PF_OutFlag_DISPLAY_ERROR_MESSAGE) &&
                  t.host.OutData().return_msg == std::string("Couldn't load suite."),
              c.name == std::string("no world suite"));
    t.host.SetBasicSuitePresent(true);
    t.ExpectAllGivenBack();
  }
}

// Whichever allocation fails, the render reports 512, gives back in the
// order of a good render (World Suite before the input, the record's lock
// before the Handle Suite) and leaves no plane behind. A good render holds
// 18 planes at most per channel, 13 on luminance.
TEST_F(SmartRender, GivesBackInOrderWhereverAllocationFails) {
  const std::vector<std::string> order = {"command 24",
                                          "AcquireSuite PF Handle Suite 2",
                                          "host_lock_handle",
                                          "checkout_layer_pixels 0",
                                          "checkout_output",
                                          "AcquireSuite PF World Suite 2",
                                          "PF_GetPixelFormat",
                                          "ReleaseSuite PF World Suite 2",
                                          "checkin_layer_pixels 0",
                                          "host_unlock_handle",
                                          "ReleaseSuite PF Handle Suite 2"};
  const auto hostSide = [&] {
    std::vector<std::string> kept;
    std::copy_if(
        renderLog.begin(), renderLog.end(), std::back_inserter(kept), [](const std::string& e) {
          return e.find("Pixel Data") == std::string::npos &&
                 e.find("get_pixel") == std::string::npos && e.find("log") == std::string::npos;
        });
    return kept;
  };
  for (const auto& [luminosity, planes] : {std::pair{false, 18}, std::pair{true, 13}}) {
    SetParams({3.0, 0.0, 50.0, luminosity});
    ASSERT_EQ(RenderAfter([] { ippTestResetLedger(); }), PF_Err_NONE);
    EXPECT_EQ(hostSide(), order);
    IppAllocLedger ledger;
    ippTestGetLedger(&ledger);
    EXPECT_EQ(ledger.peakPlanes, planes) << "luminosity " << luminosity;
    ASSERT_GE(ledger.attempts, planes + 1);
    for (long long n = 1; n <= ledger.attempts; ++n) {
      SCOPED_TRACE(testing::Message() << "allocation " << n << " luminosity " << luminosity);
      EXPECT_EQ(RenderAfter([n] { ippTestFailAllocation(n, 0); }), PF_Err_INTERNAL_STRUCT_DAMAGED);
      ippTestFailAllocation(0, 0);
      EXPECT_EQ(hostSide(), order);
      ExpectAllGivenBack();
    }
  }
}

// 8-bit values go through the reciprocal of 255 and back, 16-bit ones
// (above white too) through 32768: with intensity 0 all return exactly.
TEST_F(SmartRender, IntensityZeroGivesTheInputBackExactly) {
  std::mt19937 rng(11);
  for (bool luminosity : {false, true}) {
    SetParams({2.0, 0.4, 0.0, luminosity});
    for (PF_PixelFormat format : {PF_PixelFormat_ARGB32, PF_PixelFormat_ARGB64}) {
      SetWorlds(format, 31, 9);
      World& in = host.Input();
      for (A_long i = 0; i < 31 * 9; ++i) {
        if (format == PF_PixelFormat_ARGB32) {
          in.Set(i % 31, i / 31, RandomPixel<PF_Pixel8>(rng));
        } else {
          auto v = [&] { return static_cast<A_u_short>(rng() % 40000); };
          in.Set<PF_Pixel16>(i % 31, i / 31, {v(), v(), v(), v()});
        }
      }
      ASSERT_EQ(host.RenderFrame(), PF_Err_NONE);
      EXPECT_TRUE(SameBytes(in.Effect()->data, host.Output().Effect()->data, in.ByteCount()));
    }
  }
}

// The render reads the record's mode as a byte: any non-zero value is the
// luminosity mode, whatever wrote it.
TEST_F(SmartRender, AnyNonZeroModeByteMeansLuminosity) {
  std::mt19937 rng(5);
  for (A_long i = 0; i < 9 * 7; ++i) host.Input().Set(i % 9, i / 9, RandomPixel<PF_Pixel8>(rng));
  SetParams({2.0, 0.0, 100.0, true});
  auto render = [&](unsigned char mode) {
    EXPECT_EQ(RenderAfter([&] {
      auto* record = static_cast<unsigned char*>(const_cast<void*>(
          host.HandleData(static_cast<PF_Handle>(host.PendingPreRenderData()))));
      record[offsetof(PreRenderInfo, luminosityMode)] = mode;
    }),
              PF_Err_NONE);
    const World& out = host.Output();
    const auto* bytes = static_cast<const unsigned char*>(out.Effect()->data);
    return std::vector<unsigned char>(bytes, bytes + out.ByteCount());
  };
  const std::vector<unsigned char> luminosity = render(1);
  EXPECT_EQ(render(2), luminosity);
  EXPECT_NE(render(0), luminosity);
}

}  // namespace
}  // namespace render_test
