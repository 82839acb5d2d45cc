// Smart pre-render through the stand-in host: the record, the request, the
// result rectangles, every way it can fail, and the record's handle.
#include <cstddef>
#include <cstring>
#include <string>
#include <vector>

#include "Tessivo.h"
#include "host_fixture.h"

using tessivo_host::Fault;
using tessivo_host::HostCall;
using tessivo_host::SuiteAvailability;

namespace {

bool SameRect(const PF_LRect& a, const PF_LRect& b) {
  return a.left == b.left && a.top == b.top && a.right == b.right && a.bottom == b.bottom;
}

class PreRenderTest : public HostTest {
 protected:
  void SetUp() override {
    ASSERT_EQ(host.ParamsSetup(), PF_Err_NONE);
    host.SetInitialResultRects(kInitial, kInitial);
    host.ClearCallLog();
  }

  PF_Handle Pending() const { return static_cast<PF_Handle>(host.PendingPreRenderData()); }

  PreRenderInfo Record() const {
    PreRenderInfo info;
    EXPECT_EQ(host.HandleSize(Pending()), sizeof info);
    std::memcpy(&info, host.HandleData(Pending()), sizeof info);
    return info;
  }
  unsigned char LuminosityByte() const {
    return static_cast<const unsigned char*>(
        host.HandleData(Pending()))[offsetof(PreRenderInfo, luminosityMode)];
  }
  // The host fills new handles with 0xA5; an unfilled record still shows it.
  bool RecordUnfilled() const {
    return *static_cast<const unsigned char*>(host.HandleData(Pending())) == 0xA5;
  }
  void ExpectRectsUntouched() const {
    EXPECT_TRUE(SameRect(host.PreRenderOutput().result_rect, kInitial));
    EXPECT_TRUE(SameRect(host.PreRenderOutput().max_result_rect, kInitial));
  }
  void ExpectNothingStored() const {
    EXPECT_EQ(host.PreRenderOutput().pre_render_data, nullptr);
    EXPECT_EQ(host.PreRenderOutput().delete_pre_render_data_func, nullptr);
    EXPECT_EQ(host.PreRenderOutput().flags, 0);
    ExpectRectsUntouched();
  }

  const PF_LRect kInitial{3, 3, 4, 4};
};

TEST_F(PreRenderTest, DefaultsFillTheRecordInOrder) {
  host.SetTime(10, 2, 24);
  ASSERT_EQ(host.PreRender(), PF_Err_NONE);
  const PreRenderInfo info = Record();
  EXPECT_EQ(info.radius, 2.0);
  EXPECT_EQ(info.threshold, 0.0f);
  EXPECT_EQ(LuminosityByte(), 1);
  EXPECT_EQ(info.intensity, 0.5f);

  EXPECT_EQ(host.CallLog(),
            (std::vector<std::string>{"command 23", "AcquireSuite PF Handle Suite 2",
                                      "host_new_handle " + std::to_string(sizeof(PreRenderInfo)),
                                      "host_lock_handle", "checkout_param 1", "checkout_param 2",
                                      "checkout_param 3", "checkout_param 4", "checkout_layer 0 0",
                                      "host_unlock_handle", "ReleaseSuite PF Handle Suite 2"}));
  for (const auto& t : host.CheckoutTimes()) {
    EXPECT_EQ(t.time, 10);
    EXPECT_EQ(t.time_step, 2);
    EXPECT_EQ(t.time_scale, 24u);
  }
  EXPECT_EQ(host.CheckoutTimes().size(), 5u);
  EXPECT_EQ(host.LockedHandles(), 0u);
  host.DiscardPreRenderData();
  ExpectLedgersBalanced();
}

TEST_F(PreRenderTest, RecordHoldsTheValuesAsTheHostGaveThem) {
  struct Case {
    double radius, threshold, intensity, luminosity;
    float wantIntensity;
    unsigned char wantLuminosity;
  } cases[] = {
      {7.3, 0.3, 33.3, 2, static_cast<float>(33.3 / 100.0), 1},
      {1.0, 1.0, 100.0, 0, 1.0f, 0},
      {20.0, 0.7, 0.0, -1, 0.0f, 1},
      {19.99, 0.01, 66.7, 1, static_cast<float>(66.7 / 100.0), 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.radius);
    host.SetParam("Tonal Radius", c.radius);
    host.SetParam("Tonal Threshold", c.threshold);
    host.SetParam("Intensity Level", c.intensity);
    host.SetParam("Luminosity Mode", c.luminosity);
    ASSERT_EQ(host.PreRender(), PF_Err_NONE);
    const PreRenderInfo info = Record();
    EXPECT_EQ(info.radius, c.radius);  // not narrowed
    EXPECT_EQ(info.threshold, static_cast<float>(c.threshold));
    EXPECT_EQ(info.intensity, c.wantIntensity);
    EXPECT_EQ(LuminosityByte(), c.wantLuminosity);
  }
  host.DiscardPreRenderData();
  ExpectLedgersBalanced();
}

TEST_F(PreRenderTest, InputIsAskedForOverTheOutputRequestUnchanged) {
  const PF_RenderRequest req{{10, 20, 110, 220}, 2, 0x7, 1};
  host.SetRequest(req);
  host.SetParam("Tonal Radius", 20.0);
  ASSERT_EQ(host.PreRender(), PF_Err_NONE);
  ASSERT_TRUE(host.LastLayerRequest().has_value());
  const PF_RenderRequest& got = *host.LastLayerRequest();
  EXPECT_TRUE(SameRect(got.rect, req.rect));
  EXPECT_EQ(got.field, req.field);
  EXPECT_EQ(got.channel_mask, req.channel_mask);
  EXPECT_EQ(got.preserve_rgb_of_zero_alpha, req.preserve_rgb_of_zero_alpha);
  host.DiscardPreRenderData();
}

TEST_F(PreRenderTest, ResultRectanglesTakeInTheInputs) {
  struct Case {
    PF_LRect initial, input, expected;
  } cases[] = {
      {{0, 0, 0, 0}, {0, 0, 8, 8}, {0, 0, 8, 8}},    // empty output becomes the input's
      {{4, 4, 20, 6}, {0, 0, 8, 8}, {0, 0, 20, 8}},  // bounding rectangle of both
      {{4, 4, 20, 6}, {5, 5, 5, 9}, {4, 4, 20, 6}},  // empty input leaves it
  };
  for (const Case& c : cases) {
    host.SetInitialResultRects(c.initial, c.initial);
    PF_CheckoutResult result;
    std::memset(&result, 0, sizeof result);
    result.result_rect = c.input;
    result.max_result_rect = c.input;
    host.SetLayerCheckoutResult(result);
    ASSERT_EQ(host.PreRender(), PF_Err_NONE);
    EXPECT_TRUE(SameRect(host.PreRenderOutput().result_rect, c.expected));
    EXPECT_TRUE(SameRect(host.PreRenderOutput().max_result_rect, c.expected));
  }
  host.DiscardPreRenderData();
  ExpectLedgersBalanced();
}

TEST_F(PreRenderTest, WithoutTheHandleSuiteItReturns516AndMakesNoHandle) {
  host.SetSuiteAvailability(kPFHandleSuite, SuiteAvailability::Missing);
  EXPECT_EQ(host.PreRender(), PF_Err_BAD_CALLBACK_PARAM);
  ExpectNothingStored();
  EXPECT_EQ(host.CallCount(HostCall::NewHandle), 0);
  ExpectLedgersBalanced();
}

TEST_F(PreRenderTest, AHandleThatCannotBeHadOrLockedIsOutOfMemory) {
  for (HostCall failing : {HostCall::NewHandle, HostCall::LockHandle}) {
    SCOPED_TRACE(tessivo_host::HostCallName(failing));
    host.InjectFault(Fault{failing, 1, 0, false});
    EXPECT_EQ(host.PreRender(), PF_Err_OUT_OF_MEMORY);
    ExpectNothingStored();
    EXPECT_EQ(host.CallCount(HostCall::CheckoutParam), 0);
    EXPECT_EQ(host.CallCount(HostCall::CheckoutLayer), 0);
    // The unlockable handle is given back, not leaked.
    ExpectLedgersBalanced();
    host.ClearFaults();
  }
  EXPECT_EQ(host.CallCount(HostCall::DisposeHandle), 1);
}

TEST_F(PreRenderTest, AFailedParameterCheckoutLeavesTheHandleUnfilled) {
  for (int index = 1; index <= 4; ++index) {
    SCOPED_TRACE(index);
    const int before = host.CallCount(HostCall::CheckoutParam);
    host.InjectFault(Fault{HostCall::CheckoutParam, before + index, 0x4321, false});
    EXPECT_EQ(host.PreRender(), 0x4321);
    EXPECT_EQ(host.CallCount(HostCall::CheckoutParam), before + index);
    EXPECT_EQ(host.CallCount(HostCall::CheckoutLayer), 0);
    ExpectRectsUntouched();
    ASSERT_NE(Pending(), nullptr);
    EXPECT_NE(host.PreRenderOutput().delete_pre_render_data_func, nullptr);
    EXPECT_TRUE(RecordUnfilled());
    EXPECT_EQ(host.LockedHandles(), 0u);
    host.DiscardPreRenderData();
    ExpectLedgersBalanced();
  }
}

TEST_F(PreRenderTest, AFailedLayerCheckoutLeavesTheRecordFilled) {
  host.InjectFault(Fault{HostCall::CheckoutLayer, 1, 0x55, false});
  EXPECT_EQ(host.PreRender(), 0x55);
  ExpectRectsUntouched();
  ASSERT_EQ(host.PreRenderOutput().pre_render_data, host.PendingPreRenderData());
  EXPECT_FALSE(RecordUnfilled());
  EXPECT_EQ(Record().intensity, 0.5f);
  EXPECT_EQ(host.LockedHandles(), 0u);
  host.DiscardPreRenderData();
  ExpectLedgersBalanced();
}

TEST_F(PreRenderTest, TheHostDisposesOfTheRecordWithOrWithoutARender) {
  // Pre-render alone, then discarded.
  ASSERT_EQ(host.PreRender(), PF_Err_NONE);
  EXPECT_EQ(host.LiveHandles(), 1u);
  host.ClearCallLog();
  host.DiscardPreRenderData();
  EXPECT_EQ(host.CallLog(),
            (std::vector<std::string>{"delete_pre_render_data", "AcquireSuite PF Handle Suite 2",
                                      "host_dispose_handle", "ReleaseSuite PF Handle Suite 2"}));
  ExpectLedgersBalanced();

  // A frame whose pre-render fails is never rendered, and still cleaned up.
  host.InjectFault(Fault{HostCall::CheckoutLayer, 2, 0x55, false});
  host.ClearCallLog();
  EXPECT_EQ(host.RenderFrame(), 0x55);
  EXPECT_EQ(LogCount("command 24"), 0);
  EXPECT_EQ(LogCount("delete_pre_render_data"), 1);
  ExpectLedgersBalanced();
}

TEST_F(PreRenderTest, ARenderedFrameGivesEverythingBack) {
  for (PF_PixelFormat format :
       {PF_PixelFormat_ARGB32, PF_PixelFormat_ARGB64, PF_PixelFormat_ARGB128}) {
    host.SetInputWorld(tessivo_host::WorldSpec{format, 5, 3, std::nullopt});
    host.ClearCallLog();
    EXPECT_EQ(host.RenderFrame(), PF_Err_NONE);
    EXPECT_EQ(LogCount("command 24"), 1);
    EXPECT_EQ(LogCount("delete_pre_render_data"), 1);
    ExpectLedgersBalanced();
    EXPECT_EQ(host.LockedHandles(), 0u);
  }
}

}  // namespace
