// The entry point's own commands, through the stand-in host and the built
// module.
#include <climits>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "host_fixture.h"

using tessivo_host::FourCC;

namespace {

const char kAboutText[] =
    "Brannic Tessivo, v2.0\r"
    "Brannic Tessivo (v2.0.2) is a local color correction filter.\n\n"
    "Brannic Algorithms - https://www.brannic.example";

TEST_F(HostTest, OtherCommandsSucceedAndTouchNothing) {
  for (PF_Cmd cmd : {11, 3, 2, 25, 1000, -1, INT_MIN}) {
    SCOPED_TRACE(cmd);
    std::memset(&host.OutData(), 0x5A, sizeof(PF_OutData));
    PF_OutData before = host.OutData();
    host.ClearCallLog();
    EXPECT_EQ(host.Send(cmd, reinterpret_cast<void*>(0x1)), PF_Err_NONE);
    EXPECT_EQ(std::memcmp(&before, &host.OutData(), sizeof before), 0);
    EXPECT_EQ(host.CallLog(), std::vector<std::string>{"command " + std::to_string(cmd)});
  }
}

TEST_F(HostTest, AboutWritesTheTextThroughTheAnsiSuite) {
  ASSERT_LT(sizeof kAboutText, sizeof host.OutData().return_msg);
  EXPECT_EQ(host.About(), PF_Err_NONE);
  EXPECT_STREQ(host.OutData().return_msg, kAboutText);
  EXPECT_EQ(host.CallLog(),
            (std::vector<std::string>{"command 0", "AcquireSuite PF ANSI Suite 1", "ansi sprintf",
                                      "ReleaseSuite PF ANSI Suite 1"}));
  ExpectLedgersBalanced();
}

TEST_F(HostTest, AboutInPremiereDoesNothing) {
  EXPECT_EQ(FourCC("PrMr"), 0x50724D72);
  host.SetApplId(FourCC("PrMr"));
  std::strcpy(host.OutData().return_msg, "before");
  EXPECT_EQ(host.About(), PF_Err_NONE);
  EXPECT_STREQ(host.OutData().return_msg, "before");
  EXPECT_EQ(host.CallLog(), std::vector<std::string>{"command 0"});
}

TEST_F(HostTest, GlobalSetupReplacesVersionAndFlagsWhole) {
  for (A_long before : {0, -1}) {
    host.OutData().my_version = static_cast<A_u_long>(before);
    host.OutData().out_flags = before;
    host.OutData().out_flags2 = before;
    EXPECT_EQ(host.GlobalSetup(), PF_Err_NONE);
    EXPECT_EQ(host.OutData().my_version, 0x100602u);
    EXPECT_EQ(host.OutData().out_flags, (1 << 6) | (1 << 10) | (1 << 25));
    EXPECT_EQ(host.OutData().out_flags2, 0x1400);
  }
  EXPECT_EQ(host.CallLog(), (std::vector<std::string>{"command 1", "command 1"}));
}

// A float slider as the effect must add it: every byte the table does not
// name is zero.
PF_ParamDef SliderDef(A_long id, const char* name, float min, float max, float dephault,
                      A_short precision) {
  PF_ParamDef d;
  std::memset(&d, 0, sizeof d);
  d.uu.id = id;
  d.param_type = PF_Param_FLOAT_SLIDER;
  std::strcpy(d.name, name);
  PF_FloatSliderDef& fs = d.u.fs_d;
  fs.value = dephault;
  fs.valid_min = fs.slider_min = min;
  fs.valid_max = fs.slider_max = max;
  fs.dephault = dephault;
  fs.precision = precision;
  fs.curve_tolerance = 0.05f;
  return d;
}

// Field by field: padding between fields need not survive the host's copy.
void ExpectSameDef(const PF_ParamDef& got, const PF_ParamDef& want) {
  EXPECT_EQ(got.uu.id, want.uu.id);
  EXPECT_EQ(got.ui_flags, 0);
  EXPECT_EQ(got.ui_width, 0);
  EXPECT_EQ(got.ui_height, 0);
  EXPECT_EQ(got.param_type, want.param_type);
  EXPECT_EQ(std::memcmp(got.name, want.name, sizeof got.name), 0) << got.name;
  EXPECT_EQ(got.flags, 0);
  EXPECT_EQ(std::memcmp(&got.u, &want.u, sizeof got.u), 0) << want.name;
}

TEST_F(HostTest, ParamsSetupAddsFourParametersInFull) {
  host.OutData().num_params = 77;
  EXPECT_EQ(host.ParamsSetup(), PF_Err_NONE);
  EXPECT_EQ(host.OutData().num_params, 5);
  EXPECT_EQ(host.AddParamIndices(), (std::vector<PF_ParamIndex>{-1, -1, -1, -1}));
  const auto& defs = host.AddedParams();
  ASSERT_EQ(defs.size(), 4u);

  ExpectSameDef(defs[0], SliderDef(1, "Tonal Radius", 1.0f, 20.0f, 2.0f, 1));
  ExpectSameDef(defs[1], SliderDef(2, "Tonal Threshold", 0.0f, 1.0f, 0.0f, 2));
  ExpectSameDef(defs[2], SliderDef(3, "Intensity Level", 0.0f, 100.0f, 50.0f, 0));

  PF_ParamDef box;
  std::memset(&box, 0, sizeof box);
  box.uu.id = 4;
  box.param_type = PF_Param_CHECKBOX;
  std::strcpy(box.name, "Luminosity Mode");
  box.u.bd.value = 1;
  box.u.bd.dephault = 1;
  ASSERT_NE(defs[3].u.bd.u.nameptr, nullptr);
  EXPECT_STREQ(defs[3].u.bd.u.nameptr, "");
  box.u.bd.u.nameptr = defs[3].u.bd.u.nameptr;  // the host's copy of the label
  ExpectSameDef(defs[3], box);
  ExpectLedgersBalanced();
}

// Host callbacks that throw, to reach the entry point's guard.
A_char* ThrowInt(A_char*, const A_char*) { throw 7777; }
A_char* ThrowBadAlloc(A_char*, const A_char*) { throw std::bad_alloc(); }
A_char* ThrowOther(A_char*, const A_char*) { throw "text"; }

TEST_F(HostTest, NoExceptionLeavesTheEntryPoint) {
  struct Case {
    A_char* (*strcpy)(A_char*, const A_char*);
    PF_Err expected;
  } cases[] = {{ThrowInt, 7777}, {ThrowBadAlloc, 512}, {ThrowOther, 512}};
  for (const Case& c : cases) {
    PF_UtilCallbacks utils = *host.InData().utils;
    utils.ansi.strcpy = c.strcpy;
    PF_UtilCallbacks* saved = host.InData().utils;
    host.InData().utils = &utils;
    EXPECT_EQ(host.ParamsSetup(), c.expected);
    host.InData().utils = saved;
  }

  EXPECT_EQ(host.Send(PF_Cmd_SMART_PRE_RENDER, nullptr), PF_Err_BAD_CALLBACK_PARAM);
  ExpectLedgersBalanced();
  host.SetBasicSuitePresent(false);
  EXPECT_EQ(host.About(), PF_Err_BAD_CALLBACK_PARAM);
  EXPECT_EQ(host.PreRender(), PF_Err_BAD_CALLBACK_PARAM);
}

}  // namespace
