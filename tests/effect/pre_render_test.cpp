// Smart pre-render through the stand-in host: the record, the request, the
// result rectangles, every way it can fail, and the record's handle.
#include <cstddef>
#include <cstring>
#include <functional>
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
      // Levels whose quotient narrowed from double differs from the float
      // quotient: 0.007f is not 0.7f / 100.0f.
      {2.0, 0.0, 0.7, 1, 0.00700000022f, 1},
      {2.0, 0.0, 5.7, 1, 0.0570000000f, 1},
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
      {{7, 0, 7, 10}, {5, 5, 9, 9}, {5, 5, 9, 9}},   // zero-width output is empty
      {{0, 8, 10, 3}, {5, 5, 9, 9}, {5, 5, 9, 9}},   // inverted output is empty
      {{1, 2, 3, 4}, {-5, 10, 2, 30}, {-5, 2, 3, 30}},
      {{0, 0, 10, 10}, {20, 20, 30, 30}, {0, 0, 30, 30}},  // disjoint
  };
  // The result rectangle takes case i, the max result rectangle case
  // i + 3, so that the two are told apart.
  const int n = sizeof cases / sizeof cases[0];
  for (int i = 0; i < n; ++i) {
    const Case &r = cases[i], &m = cases[(i + 3) % n];
    host.SetInitialResultRects(r.initial, m.initial);
    PF_CheckoutResult result;
    std::memset(&result, 0, sizeof result);
    result.result_rect = r.input;
    result.max_result_rect = m.input;
    host.SetLayerCheckoutResult(result);
    ASSERT_EQ(host.PreRender(), PF_Err_NONE);
    EXPECT_TRUE(SameRect(host.PreRenderOutput().result_rect, r.expected)) << i;
    EXPECT_TRUE(SameRect(host.PreRenderOutput().max_result_rect, m.expected)) << i;
  }
  host.DiscardPreRenderData();
  ExpectLedgersBalanced();
}

TEST_F(PreRenderTest, EveryFailureReturnsItsCodeAndLeavesTheRectsAlone) {
  struct Case {
    const char* name;
    std::function<void()> setup;
    PF_Err expected;
    bool stored, filled;
    int params, layers;
  };
  const auto fail = [&](HostCall call, int nth, PF_Err code) {
    return [=] { host.InjectFault(Fault{call, host.CallCount(call) + nth, code, false}); };
  };
  std::vector<Case> cases = {
      {"no handle suite",
       [&] { host.SetSuiteAvailability(kPFHandleSuite, SuiteAvailability::Missing); },
       PF_Err_BAD_CALLBACK_PARAM, false, false, 0, 0},
      {"new handle", fail(HostCall::NewHandle, 1, 0), PF_Err_OUT_OF_MEMORY, false, false, 0, 0},
      {"lock handle", fail(HostCall::LockHandle, 1, 0), PF_Err_OUT_OF_MEMORY, false, false, 0, 0},
      {"layer checkout", fail(HostCall::CheckoutLayer, 1, 0x55), 0x55, true, true, 4, 1},
  };
  for (int index = 1; index <= 4; ++index)
    cases.push_back({"parameter checkout", fail(HostCall::CheckoutParam, index, 0x4321), 0x4321,
                     true, false, index, 0});
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.name << " " << c.params);
    const int params = host.CallCount(HostCall::CheckoutParam),
              layers = host.CallCount(HostCall::CheckoutLayer),
              newHandles = host.CallCount(HostCall::NewHandle);
    c.setup();
    EXPECT_EQ(host.PreRender(), c.expected);
    EXPECT_EQ(host.CallCount(HostCall::CheckoutParam) - params, c.params);
    EXPECT_EQ(host.CallCount(HostCall::CheckoutLayer) - layers, c.layers);
    EXPECT_EQ(host.LockedHandles(), 0u);
    if (c.stored) {
      ExpectRectsUntouched();
      ASSERT_EQ(host.PreRenderOutput().pre_render_data, host.PendingPreRenderData());
      EXPECT_NE(host.PreRenderOutput().delete_pre_render_data_func, nullptr);
      EXPECT_EQ(RecordUnfilled(), !c.filled);
      if (c.filled) {
        EXPECT_EQ(Record().intensity, 0.5f);
      }
      host.DiscardPreRenderData();
    } else {
      ExpectNothingStored();
      if (c.expected == PF_Err_BAD_CALLBACK_PARAM) {
        EXPECT_EQ(host.CallCount(HostCall::NewHandle), newHandles);
      }
    }
    ExpectLedgersBalanced();  // an unlockable handle is disposed of, not leaked
    host.ClearFaults();
    host.SetSuiteAvailability(kPFHandleSuite, SuiteAvailability::Present);
  }
}

TEST_F(PreRenderTest, TheHostDisposesOfTheRecord) {
  ASSERT_EQ(host.PreRender(), PF_Err_NONE);
  EXPECT_EQ(host.LiveHandles(), 1u);
  host.ClearCallLog();
  host.DiscardPreRenderData();
  EXPECT_EQ(host.CallLog(),
            (std::vector<std::string>{"delete_pre_render_data", "AcquireSuite PF Handle Suite 2",
                                      "host_dispose_handle", "ReleaseSuite PF Handle Suite 2"}));
  ExpectLedgersBalanced();
}

}  // namespace
