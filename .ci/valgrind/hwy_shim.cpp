// Stand-in for the Highway library's run-time target detection, for runs
// under valgrind only. libhwy 1.0.3 times the processor with rdtscp while
// it is being loaded, which valgrind 3.19 refuses (SIGILL) on processors
// that do not advertise RDTSCP, so nothing that links it can start there.
// This library answers the two calls the primitives make, offering the
// paths up to AVX2 that the processor valgrind presents can run (valgrind
// presents no AVX-512).
#include <cpuid.h>

#include "hwy/targets.h"

namespace {

// Bit `bit` of register ecx of cpuid leaf `leaf`.
bool CpuidEcx(unsigned leaf, unsigned bit) {
  unsigned a = 0, b = 0, c = 0, d = 0;
  return __get_cpuid(leaf, &a, &b, &c, &d) && (c & (1u << bit)) != 0;
}

}  // namespace

namespace hwy {

int64_t SupportedTargets() {
  __builtin_cpu_init();
  int64_t targets = HWY_EMU128 | HWY_SCALAR;
  if (__builtin_cpu_supports("ssse3")) targets |= HWY_SSSE3;
  const bool sse4 = __builtin_cpu_supports("sse4.2") && __builtin_cpu_supports("aes") &&
                    __builtin_cpu_supports("pclmul");
  if (sse4) targets |= HWY_SSE4;
  const bool lzcnt = CpuidEcx(0x80000001u, 5), movbe = CpuidEcx(1, 22);
  if (sse4 && __builtin_cpu_supports("avx2") && __builtin_cpu_supports("bmi") &&
      __builtin_cpu_supports("bmi2") && __builtin_cpu_supports("fma") &&
      __builtin_cpu_supports("f16c") && lzcnt && movbe) {
    targets |= HWY_AVX2;
  }
  return targets;
}

ChosenTarget& GetChosenTarget() {
  static ChosenTarget chosen;
  return chosen;
}

}  // namespace hwy
