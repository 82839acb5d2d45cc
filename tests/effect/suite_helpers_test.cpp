// The suite holder and the suite helpers, against a tiny fake basic suite.
#include <gtest/gtest.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "AEFX_SuiteHelper.h"
#include "AEGP_SuiteHandler.h"

namespace {

struct FakeSuites {
  SPErr result = kSPNoError;                                   // AcquireSuite's answer
  const void* handed = reinterpret_cast<const void*>(0x1000);  // what it writes
  std::vector<std::string> calls;
};
FakeSuites* gFake = nullptr;

SPErr FakeAcquire(const char* name, int32_t version, const void** suite) {
  gFake->calls.push_back("acquire " + std::string(name) + " " + std::to_string(version));
  *suite = gFake->handed;
  return gFake->result;
}

SPErr FakeRelease(const char* name, int32_t version) {
  gFake->calls.push_back("release " + std::string(name) + " " + std::to_string(version));
  return 7;  // an answer the helpers must ignore
}

A_long FakeSprintf(A_char* buffer, const A_char* format, ...) {
  va_list args;
  va_start(args, format);
  const int n = std::vsnprintf(buffer, PF_MAX_EFFECT_MSG_LEN + 1, format, args);
  va_end(args);
  return n;
}

class SuiteHelpersTest : public ::testing::Test {
 protected:
  void SetUp() override {
    gFake = &fake;
    utils.ansi.sprintf = FakeSprintf;
    in_data.utils = &utils;
    in_data.pica_basicP = &basic;
    std::strcpy(out_data.return_msg, "untouched");
  }
  void TearDown() override { gFake = nullptr; }

  FakeSuites fake;
  SPBasicSuite basic{FakeAcquire, FakeRelease};
  PF_UtilCallbacks utils{};
  PF_InData in_data{};
  PF_OutData out_data{};
};

int ThrownCode(void (*f)(const SPBasicSuite*), const SPBasicSuite* basic) {
  try {
    f(basic);
  } catch (int code) {
    return code;
  }
  return 0;
}

TEST_F(SuiteHelpersTest, HolderThrows516WhenASuiteCannotBeHad) {
  EXPECT_EQ(ThrownCode([](const SPBasicSuite* b) { AEGP_SuiteHandler s(b); }, nullptr), 516);
  struct Case {
    SPErr result;
    const void* handed;
  } cases[] = {{kSPSuiteNotFoundError, nullptr},
               {kSPSuiteNotFoundError, reinterpret_cast<const void*>(0x1000)},
               {kSPNoError, nullptr}};
  for (const Case& c : cases) {
    fake.result = c.result;
    fake.handed = c.handed;
    fake.calls.clear();
    EXPECT_EQ(
        ThrownCode([](const SPBasicSuite* b) { AEGP_SuiteHandler(b).HandleSuite2(); }, &basic),
        516);
    // The failed suite is not released.
    EXPECT_EQ(fake.calls, std::vector<std::string>{"acquire PF Handle Suite 2"});
  }
}

TEST_F(SuiteHelpersTest, AcquireLooksOnlyAtTheSuitePointer) {
  struct Case {
    bool basic;
    SPErr result;
    const void* handed;
    const char* message;
    PF_Err expected;
    const char* text;
  } cases[] = {
      {true, kSPNoError, reinterpret_cast<const void*>(0x1000), "m", 0, "untouched"},
      {true, kSPSuiteNotFoundError, reinterpret_cast<const void*>(0x1000), "m", 0, "untouched"},
      {true, kSPNoError, nullptr, "Couldn't load suite.", 516, "Couldn't load suite."},
      {true, kSPSuiteNotFoundError, nullptr, nullptr, 516, "Not able to acquire AEFX Suite."},
      {false, kSPNoError, nullptr, "100%% sure", 516, "100% sure"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    SetUp();
    out_data.out_flags = PF_OutFlag_USE_OUTPUT_EXTENT;
    in_data.pica_basicP = c.basic ? &basic : nullptr;
    fake.result = c.result;
    fake.handed = c.handed;
    void* suite = reinterpret_cast<void*>(0xBAD);
    EXPECT_EQ(AEFX_AcquireSuite(&in_data, &out_data, "PF World Suite", 2, c.message, &suite),
              c.expected);
    EXPECT_STREQ(out_data.return_msg, c.text);
    EXPECT_EQ(out_data.out_flags,
              PF_OutFlag_USE_OUTPUT_EXTENT | (c.expected ? PF_OutFlag_DISPLAY_ERROR_MESSAGE : 0));
    if (!c.expected) {
      EXPECT_EQ(suite, c.handed);
    }
  }
}

TEST_F(SuiteHelpersTest, ReleaseIgnoresTheHostsAnswer) {
  EXPECT_EQ(AEFX_ReleaseSuite(&in_data, &out_data, "PF World Suite", 2, "m"), PF_Err_NONE);
  EXPECT_EQ(fake.calls, std::vector<std::string>{"release PF World Suite 2"});
  EXPECT_STREQ(out_data.return_msg, "untouched");

  in_data.pica_basicP = nullptr;
  EXPECT_EQ(AEFX_ReleaseSuite(&in_data, &out_data, "PF World Suite", 2, nullptr), 516);
  EXPECT_STREQ(out_data.return_msg, "Not able to release AEFX Suite.");
  EXPECT_EQ(out_data.out_flags, PF_OutFlag_DISPLAY_ERROR_MESSAGE);
  EXPECT_EQ(AEFX_ReleaseSuite(&in_data, &out_data, "PF World Suite", 2, "Couldn't release suite."),
            516);
  EXPECT_STREQ(out_data.return_msg, "Couldn't release suite.");
  // A host without util callbacks still gets the code and the flag.
  in_data.utils = nullptr;
  out_data.out_flags = 0;
  EXPECT_EQ(AEFX_ReleaseSuite(&in_data, &out_data, "PF World Suite", 2, "m"), 516);
  EXPECT_EQ(out_data.out_flags, PF_OutFlag_DISPLAY_ERROR_MESSAGE);
}

}  // namespace
