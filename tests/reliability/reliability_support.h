// Shared set-up of the reliability tests: a frame rendered through the
// stand-in host, its pixels, and the checks that everything taken from the
// host and the allocators was given back.
#ifndef TESSIVO_TESTS_RELIABILITY_RELIABILITY_SUPPORT_H
#define TESSIVO_TESTS_RELIABILITY_RELIABILITY_SUPPORT_H

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "StandInHost.h"
#include "ipp_testing.h"

namespace reliability {

using tessivo_host::HostCall;
using tessivo_host::StandInHost;
using tessivo_host::World;
using tessivo_host::WorldSpec;

constexpr unsigned char kOutputFill = 0xAB;  // the output's bytes before a render

struct FrameSpec {
  PF_PixelFormat format = PF_PixelFormat_ARGB32;
  A_long width = 9, height = 7;
  bool luminosity = true;
};

inline const char* FormatName(PF_PixelFormat format) {
  switch (format) {
    case PF_PixelFormat_ARGB32:
      return "8-bit";
    case PF_PixelFormat_ARGB64:
      return "16-bit";
    case PF_PixelFormat_ARGB128:
      return "float";
    default:
      return "unknown";
  }
}

inline std::string FrameName(const FrameSpec& f) {
  return std::string(FormatName(f.format)) + (f.luminosity ? " luminosity" : " per channel");
}

// A pixel that differs per channel, column and row; colours within the
// channel range, float ones a little outside [0, 1] here and there.
template <class Pixel>
Pixel PatternPixel(A_long x, A_long y);
template <>
inline PF_Pixel8 PatternPixel<PF_Pixel8>(A_long x, A_long y) {
  return PF_Pixel8{static_cast<A_u_char>(40 + 13 * x + 7 * y),
                   static_cast<A_u_char>(29 * x + 3 * y),
                   static_cast<A_u_char>(255 - 17 * y - 5 * x), static_cast<A_u_char>(11 * x * y)};
}
template <>
inline PF_Pixel16 PatternPixel<PF_Pixel16>(A_long x, A_long y) {
  const PF_Pixel8 p = PatternPixel<PF_Pixel8>(x, y);
  return PF_Pixel16{static_cast<A_u_short>(p.alpha * 128), static_cast<A_u_short>(p.red * 128),
                    static_cast<A_u_short>(p.green * 128), static_cast<A_u_short>(p.blue * 128)};
}
template <>
inline PF_PixelFloat PatternPixel<PF_PixelFloat>(A_long x, A_long y) {
  const PF_Pixel8 p = PatternPixel<PF_Pixel8>(x, y);
  return PF_PixelFloat{p.alpha / 255.0f, p.red / 250.0f, p.green / 255.0f - 0.01f, p.blue / 255.0f};
}

template <class Pixel>
void FillPattern(World& w) {
  for (A_long y = 0; y < w.Height(); ++y)
    for (A_long x = 0; x < w.Width(); ++x) w.Set(x, y, PatternPixel<Pixel>(x, y));
}

inline void FillPattern(World& w) {
  switch (w.Format()) {
    case PF_PixelFormat_ARGB64:
      return FillPattern<PF_Pixel16>(w);
    case PF_PixelFormat_ARGB128:
      return FillPattern<PF_PixelFloat>(w);
    default:
      return FillPattern<PF_Pixel8>(w);
  }
}

// Every byte of a world's block, lowest address first.
inline std::vector<unsigned char> Bytes(const World& w) {
  const auto* data = static_cast<const unsigned char*>(w.Effect()->data);
  const unsigned char* lo = w.PitchBytes() < 0 ? data + (w.Height() - 1) * w.PitchBytes() : data;
  return std::vector<unsigned char>(lo, lo + w.ByteCount());
}

// The effect loaded, set up, and given worlds of `frame`: the input holds
// the pattern, the output kOutputFill.
inline std::unique_ptr<StandInHost> MakeHost(const FrameSpec& frame) {
  auto host = std::make_unique<StandInHost>(TESSIVO_MODULE_PATH);
  EXPECT_EQ(host->GlobalSetup(), PF_Err_NONE);
  EXPECT_EQ(host->ParamsSetup(), PF_Err_NONE);
  host->SetParam("Tonal Radius", 2.0);
  host->SetParam("Tonal Threshold", 0.25);
  host->SetParam("Intensity Level", 70.0);
  host->SetParam("Luminosity Mode", frame.luminosity ? 1 : 0);
  host->SetInputWorld(WorldSpec{frame.format, frame.width, frame.height, std::nullopt});
  FillPattern(host->Input());
  host->Output().FillBytes(kOutputFill);
  return host;
}

// Failed expectations of the current test so far.
inline int FailureCount() {
  return ::testing::UnitTest::GetInstance()->current_test_info()->result()->total_part_count();
}

inline IppAllocLedger IppLedger() {
  IppAllocLedger ledger;
  ippTestGetLedger(&ledger);
  return ledger;
}

// Everything the effect took from the host is back: suites released by
// their holders, handles unlocked and (but for `leakedHandles` that the
// host itself kept the effect from disposing of) disposed of, layers
// checked in, and no call naming something the host never gave out.
inline void ExpectHostGivenBack(const StandInHost& host, std::size_t leakedHandles = 0) {
  EXPECT_EQ(host.OutstandingSuites(), 0);
  EXPECT_EQ(host.BadSuiteReleases(), 0);
  EXPECT_EQ(host.LiveHandles(), leakedHandles);
  EXPECT_EQ(host.LockedHandles(), 0u);
  EXPECT_EQ(host.BadHandleCalls(), 0);
  EXPECT_EQ(host.OutstandingLayerCheckouts(), 0);
}

// Planes and work buffers back to `before`, none freed twice or wrongly.
inline void ExpectPlanesGivenBack(const IppAllocLedger& before) {
  const IppAllocLedger now = IppLedger();
  EXPECT_EQ(now.livePlanes, before.livePlanes);
  EXPECT_EQ(now.liveBuffers, before.liveBuffers);
  EXPECT_EQ(now.badFrees, 0);
}

}  // namespace reliability

#endif  // TESSIVO_TESTS_RELIABILITY_RELIABILITY_SUPPORT_H
