// Every host call the effect makes, failed in turn: the nth call of each
// kind, alone and with every later one, with each failure a host can give.
// A model of the effect's calls, written from its contract, predicts the
// code, the calls made (give-backs included) and what the output holds.
#include <array>
#include <iostream>

#include "AE_EffectSuites.h"
#include "reliability_support.h"

namespace reliability {
namespace {

using tessivo_host::Fault;
using tessivo_host::HostCallName;

constexpr std::size_t kCalls = static_cast<std::size_t>(HostCall::Count);
using CallCounts = std::array<int, kCalls>;

CallCounts Counts(const StandInHost& host) {
  CallCounts c{};
  for (std::size_t i = 0; i < kCalls; ++i) c[i] = host.CallCount(static_cast<HostCall>(i));
  return c;
}

// What a command should come to under one fault.
struct Expected {
  PF_Err code = PF_Err_NONE;
  CallCounts calls{};
  bool written = false;            // frame: the output holds the undisturbed render
  std::size_t leakedHandles = 0;   // kept by a host that refused the handle suite
  bool suiteMessage = false;       // frame: the display-error flag set
  bool messageWritten = false;     // ... and "Couldn't load suite." in return_msg
  bool aboutWritten = false;       // about: the about text in return_msg
  std::size_t params = 0;          // parameter setup: parameters added
  std::array<bool, 4> nameLost{};  // ... added without their name
};

// Counts calls as the host does and says which ones the fault hits.
class Model {
 public:
  explicit Model(const Fault& fault, Expected& e) : fault_(fault), e_(e) {}
  bool Hit(HostCall c) {
    const int n = ++e_.calls[static_cast<std::size_t>(c)];
    return c == fault_.call && (n == fault_.nth || (fault_.persistent && n > fault_.nth));
  }
  PF_Err Code(HostCall c) { return Hit(c) ? fault_.code : PF_Err_NONE; }

 private:
  Fault fault_;
  Expected& e_;
};

enum class Command { kAbout, kParamsSetup, kFrame };

struct CallScenario {
  std::string name;
  Command command;
  FrameSpec frame;
  bool worldSuiteMissing = false;
};

// --- The effect's calls, command by command ----------------------------------

void AboutCalls(Model& m, Expected& e) {
  if (m.Hit(HostCall::AcquireSuite)) {  // the holder's ANSI suite
    e.code = PF_Err_BAD_CALLBACK_PARAM;
    return;
  }
  e.aboutWritten = !m.Hit(HostCall::AnsiSprintf);  // its result is not looked at
  m.Hit(HostCall::ReleaseSuite);
}

void ParamsSetupCalls(Model& m, Expected& e) {
  for (std::size_t i = 0; i < 4; ++i) {
    e.nameLost[i] = m.Hit(HostCall::UtilStrcpy);  // its result is not looked at
    if ((e.code = m.Code(HostCall::AddParam))) return;
    e.params = i + 1;
  }
}

// The handle is stored as pre-render data once locked; failures after that
// leave it to the host, which disposes of it through the delete function.
PF_Err PreRenderCalls(Model& m, bool& stored) {
  if (m.Hit(HostCall::AcquireSuite)) return PF_Err_BAD_CALLBACK_PARAM;  // Handle Suite
  PF_Err err = PF_Err_NONE;
  if (m.Hit(HostCall::NewHandle)) {
    err = PF_Err_OUT_OF_MEMORY;
  } else if (m.Hit(HostCall::LockHandle)) {
    m.Hit(HostCall::DisposeHandle);
    err = PF_Err_OUT_OF_MEMORY;
  } else {
    stored = true;
    for (int i = 0; i < 4 && !err; ++i) err = m.Code(HostCall::CheckoutParam);
    if (!err) err = m.Code(HostCall::CheckoutLayer);
    m.Hit(HostCall::UnlockHandle);
  }
  m.Hit(HostCall::ReleaseSuite);
  return err;
}

// Base addresses of `worlds` worlds; a missing suite or address refuses the
// conversion with 516 and nothing is read or written.
PF_Err ConversionCalls(Model& m, PF_PixelFormat format, int worlds) {
  bool missing = false;
  if (format == PF_PixelFormat_ARGB128) {
    if (m.Hit(HostCall::AcquireSuite)) return PF_Err_BAD_CALLBACK_PARAM;  // Pixel Data Suite
    for (int i = 0; i < worlds; ++i) missing |= m.Hit(HostCall::PixelDataGetFloat);
    m.Hit(HostCall::ReleaseSuite);
  } else {
    const HostCall get = format == PF_PixelFormat_ARGB64 ? HostCall::UtilGetPixelData16
                                                         : HostCall::UtilGetPixelData8;
    for (int i = 0; i < worlds; ++i) missing |= m.Hit(get);
  }
  return missing ? PF_Err_BAD_CALLBACK_PARAM : PF_Err_NONE;
}

// With the record locked: checkouts, World Suite, pixel format, the two
// conversions around the correction (which asks the host's log), then the
// give-backs. The first non-zero code wins; the release's never counts.
PF_Err LockedRenderCalls(Model& m, const CallScenario& s, Expected& e) {
  if (PF_Err err = m.Code(HostCall::CheckoutLayerPixels)) return err;
  PF_Err err = m.Code(HostCall::CheckoutOutput);
  bool worldSuite = false;
  if (!err) {
    const bool refused = m.Hit(HostCall::AcquireSuite);
    if (refused || s.worldSuiteMissing) {
      e.suiteMessage = true;
      e.messageWritten = !m.Hit(HostCall::UtilSprintf);
      err = PF_Err_BAD_CALLBACK_PARAM;
    } else {
      worldSuite = true;
      err = m.Code(HostCall::GetPixelFormat);
    }
  }
  if (!err) err = ConversionCalls(m, s.frame.format, 1);
  if (!err) {
    m.Hit(HostCall::UtilLog);
    err = ConversionCalls(m, s.frame.format, 2);
    e.written = !err;
  }
  if (worldSuite) m.Hit(HostCall::ReleaseSuite);
  const PF_Err checkin = m.Code(HostCall::CheckinLayerPixels);
  return err ? err : checkin;
}

PF_Err SmartRenderCalls(Model& m, const CallScenario& s, Expected& e) {
  if (m.Hit(HostCall::AcquireSuite)) return PF_Err_BAD_CALLBACK_PARAM;  // Handle Suite
  PF_Err err = PF_Err_INTERNAL_STRUCT_DAMAGED;
  if (!m.Hit(HostCall::LockHandle)) {
    err = LockedRenderCalls(m, s, e);
    m.Hit(HostCall::UnlockHandle);
  }
  m.Hit(HostCall::ReleaseSuite);
  return err;
}

// Pre-render, render when that succeeded, then the host's discarding of
// the pre-render data through the effect's delete function.
void FrameCalls(Model& m, const CallScenario& s, Expected& e) {
  bool stored = false;
  e.code = PreRenderCalls(m, stored);
  if (!e.code) e.code = SmartRenderCalls(m, s, e);
  if (!stored) return;
  if (m.Hit(HostCall::AcquireSuite)) {
    e.leakedHandles = 1;  // no Handle Suite, no way to dispose of the handle
    return;
  }
  m.Hit(HostCall::DisposeHandle);
  m.Hit(HostCall::ReleaseSuite);
}

Expected Predict(const CallScenario& s, const Fault& fault) {
  Expected e;
  Model m(fault, e);
  switch (s.command) {
    case Command::kAbout:
      AboutCalls(m, e);
      break;
    case Command::kParamsSetup:
      ParamsSetupCalls(m, e);
      break;
    case Command::kFrame:
      FrameCalls(m, s, e);
      break;
  }
  return e;
}

// --- Running a scenario under a fault ----------------------------------------

std::unique_ptr<StandInHost> Prepare(const CallScenario& s) {
  std::unique_ptr<StandInHost> host;
  if (s.command == Command::kFrame) {
    host = MakeHost(s.frame);
    if (s.worldSuiteMissing) {
      host->SetSuiteAvailability(kPFWorldSuite, tessivo_host::SuiteAvailability::Missing);
    }
  } else {
    host = std::make_unique<StandInHost>(TESSIVO_MODULE_PATH);
    EXPECT_EQ(host->GlobalSetup(), PF_Err_NONE);
  }
  return host;
}

PF_Err Send(StandInHost& host, Command command) {
  switch (command) {
    case Command::kAbout:
      return host.About();
    case Command::kParamsSetup:
      return host.ParamsSetup();
    case Command::kFrame:
      break;
  }
  return host.RenderFrame();
}

const char* const kParamNames[] = {"Tonal Radius", "Tonal Threshold", "Intensity Level",
                                   "Luminosity Mode"};

void ExpectOutcome(const CallScenario& s, StandInHost& host, const Expected& e,
                   const std::vector<unsigned char>& reference) {
  ExpectHostGivenBack(host, e.leakedHandles);
  const std::string msg = host.OutData().return_msg;
  switch (s.command) {
    case Command::kAbout:
      EXPECT_EQ(msg.rfind("Brannic Tessivo, v2.0\r", 0) == 0, e.aboutWritten) << msg;
      if (!e.aboutWritten) {
        EXPECT_EQ(msg, "");
      }
      break;
    case Command::kParamsSetup:
      ASSERT_EQ(host.AddedParams().size(), e.params);
      for (std::size_t i = 0; i < e.params; ++i) {
        EXPECT_STREQ(host.AddedParams()[i].name, e.nameLost[i] ? "" : kParamNames[i]);
      }
      EXPECT_EQ(host.OutData().num_params, e.code ? 0 : 5);
      break;
    case Command::kFrame: {
      const std::vector<unsigned char> out = Bytes(host.Output());
      if (e.written) {
        EXPECT_TRUE(out == reference) << "output differs from the undisturbed render";
      } else {
        EXPECT_TRUE(out == std::vector<unsigned char>(out.size(), kOutputFill)) << "output touched";
      }
      EXPECT_EQ((host.OutData().out_flags & PF_OutFlag_DISPLAY_ERROR_MESSAGE) != 0, e.suiteMessage);
      EXPECT_EQ(msg, e.messageWritten ? "Couldn't load suite." : "");
      break;
    }
  }
}

struct FaultKind {
  const char* name;
  PF_Err code;
  bool acquisitionOnly;  // a way only a suite acquisition fails
};

const FaultKind kFaultKinds[] = {
    {"out of memory", PF_Err_OUT_OF_MEMORY, false},
    {"bad callback param", PF_Err_BAD_CALLBACK_PARAM, false},
    {"suite not found", kSPSuiteNotFoundError, true},
    {"null suite on success", kSPNoError, true},
};

std::vector<CallScenario> CallScenarios() {
  std::vector<CallScenario> s = {{"about", Command::kAbout, {}},
                                 {"parameter setup", Command::kParamsSetup, {}}};
  for (PF_PixelFormat f : {PF_PixelFormat_ARGB32, PF_PixelFormat_ARGB64, PF_PixelFormat_ARGB128}) {
    for (bool luminosity : {false, true}) {
      const FrameSpec frame{f, 9, 7, luminosity};
      s.push_back({"frame " + FrameName(frame), Command::kFrame, frame});
    }
  }
  s.push_back({"frame without World Suite", Command::kFrame, FrameSpec{}, true});
  return s;
}

TEST(HostCallSweep, EveryFailedCallGivesTheDocumentedCodeAndGivesBack) {
  int runs = 0, injected = 0, mismatches = 0;
  const std::vector<CallScenario> scenarios = CallScenarios();
  for (const CallScenario& s : scenarios) {
    std::vector<unsigned char> reference;
    {
      SCOPED_TRACE(s.name + ", undisturbed");
      auto host = Prepare(s);
      const CallCounts before = Counts(*host);
      const Expected e = Predict(s, Fault{HostCall::Count, 0, 0, false});
      EXPECT_EQ(Send(*host, s.command), e.code);
      if (s.command == Command::kFrame) reference = Bytes(host->Output());
      const CallCounts after = Counts(*host);
      for (std::size_t c = 0; c < kCalls; ++c) {
        EXPECT_EQ(after[c] - before[c], e.calls[c]) << HostCallName(static_cast<HostCall>(c));
      }
    }
    for (std::size_t c = 0; c < kCalls; ++c) {
      const auto call = static_cast<HostCall>(c);
      for (const FaultKind& kind : kFaultKinds) {
        if (kind.acquisitionOnly && call != HostCall::AcquireSuite) continue;
        for (bool persistent : {false, true}) {
          for (int n = 1;; ++n) {
            SCOPED_TRACE(testing::Message()
                         << s.name << ": " << HostCallName(call) << " call " << n
                         << (persistent ? " and later" : "") << " fails, " << kind.name);
            auto host = Prepare(s);
            const CallCounts before = Counts(*host);
            const Fault fault{call, n, kind.code, persistent};
            host->InjectFault(Fault{call, before[c] + n, kind.code, persistent});
            const PF_Err code = Send(*host, s.command);
            const CallCounts after = Counts(*host);
            if (after[c] - before[c] < n) break;  // the nth call never came
            const int partsBefore = FailureCount();
            ++runs;
            injected += persistent ? after[c] - before[c] - n + 1 : 1;
            const Expected e = Predict(s, fault);
            EXPECT_EQ(code, e.code);
            for (std::size_t k = 0; k < kCalls; ++k) {
              EXPECT_EQ(after[k] - before[k], e.calls[k])
                  << "calls of " << HostCallName(static_cast<HostCall>(k));
            }
            ExpectOutcome(s, *host, e, reference);
            if (FailureCount() != partsBefore) ++mismatches;
            if (HasFatalFailure()) return;
          }
        }
      }
    }
  }
  std::cout << "[ sweep    ] host calls: " << scenarios.size() << " scenarios, " << runs
            << " runs, " << injected << " calls failed, " << mismatches
            << " runs with a mismatch or leak\n";
}

}  // namespace
}  // namespace reliability
