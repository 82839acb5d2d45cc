// Shared set-up of the render tests: the effect loaded into a stand-in host
// and through setup, and helpers for worlds and faults.
#ifndef TESSIVO_TESTS_RENDER_RENDER_SUPPORT_H
#define TESSIVO_TESTS_RENDER_RENDER_SUPPORT_H

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>

#include "StandInHost.h"

namespace render_test {

using tessivo_host::HostCall;
using tessivo_host::World;
using tessivo_host::WorldSpec;

struct Params {
  double radius = 2.0, threshold = 0.0, intensity = 100.0;
  bool luminosity = true;
};

inline WorldSpec WorldOf(PF_PixelFormat format, A_long width, A_long height,
                      std::optional<A_long> rowbytes = std::nullopt) {
  return WorldSpec{format, width, height, rowbytes};
}

// The effect loaded into a stand-in host and through setup.
struct EffectHost {
  EffectHost() {
    EXPECT_EQ(host.GlobalSetup(), PF_Err_NONE);
    EXPECT_EQ(host.ParamsSetup(), PF_Err_NONE);
  }

  void SetParams(const Params& p) {
    host.SetParam("Tonal Radius", p.radius);
    host.SetParam("Tonal Threshold", p.threshold);
    host.SetParam("Intensity Level", p.intensity);
    host.SetParam("Luminosity Mode", p.luminosity ? 1 : 0);
  }

  // Input and output of one format and size, the output filled with 0xAB.
  void SetWorlds(PF_PixelFormat format, A_long width, A_long height) {
    host.SetInputWorld(WorldOf(format, width, height));
    host.Output().FillBytes(0xAB);
  }

  void FailNext(HostCall call, PF_Err code) {
    host.InjectFault({call, host.CallCount(call) + 1, code, false});
  }

  tessivo_host::StandInHost host{TESSIVO_MODULE_PATH};
};

class RenderHost : public ::testing::Test, public EffectHost {};

// Random bytes: for floats any bits, NaNs and infinities among them.
template <class Pixel>
Pixel RandomPixel(std::mt19937& rng) {
  Pixel p;
  auto* bytes = reinterpret_cast<unsigned char*>(&p);
  for (std::size_t i = 0; i < sizeof p; ++i) bytes[i] = static_cast<unsigned char>(rng());
  return p;
}

inline bool SameBytes(const void* a, const void* b, std::size_t n) {
  return std::memcmp(a, b, n) == 0;
}

// The lowest byte of the world's block: row 0 unless rows go down in memory.
inline const unsigned char* BlockStart(const World& w) {
  const auto* data = static_cast<const unsigned char*>(w.Effect()->data);
  return w.PitchBytes() < 0 ? data + (w.Height() - 1) * w.PitchBytes() : data;
}

inline bool AllBytes(const World& w, unsigned char value) {
  const unsigned char* lo = BlockStart(w);
  return std::all_of(lo, lo + w.ByteCount(), [&](unsigned char b) { return b == value; });
}

}  // namespace render_test

#endif  // TESSIVO_TESTS_RENDER_RENDER_SUPPORT_H
