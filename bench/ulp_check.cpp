// Exhaustive accuracy check of the exponential and the logarithm: every one
// of the 2^32 float inputs through ippiExp_32f_C1IR and ippiLn_32f_C1R, on
// the code path this processor gets and then on each compiled one, against
// a double-precision reference. Prints the largest error in ULP (distance
// to the correctly rounded float) and the input it occurs at, and counts
// special values that differ from the contracts.
//
//   ulp_check [exp|ln]...      (both by default)
// Exit status 1 when any path exceeds 1 ULP or misses a special value.
#include <algorithm>
#include <atomic>
#include <cinttypes>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "ipp.h"
#include "ipp_testing.h"

namespace {

constexpr int kChunkBits = 20;  // inputs per call: 2^20 consecutive bit patterns
constexpr std::uint64_t kChunks = std::uint64_t{1} << (32 - kChunkBits);

float FromBits(std::uint32_t bits) {
  float f;
  std::memcpy(&f, &bits, sizeof f);
  return f;
}

// Position on a line where adjacent floats are one apart (+0 and -0 both 0).
std::int64_t Ordinal(float f) {
  std::int32_t i;
  std::memcpy(&i, &f, sizeof i);
  return i < 0 ? -std::int64_t(i & 0x7fffffff) : std::int64_t(i);
}

struct Function {
  const char* name;
  double (*reference)(float);  // NaN where the result must be NaN
  IppStatus (*run)(float* values, int n);
};

double ExpReference(float x) {
  if (std::isnan(x)) return NAN;
  // The bounds are decimals: the floats nearest them lie beyond them.
  if (double(x) > 88.7228) return INFINITY;
  if (double(x) < -103.972) return 0.0;
  return std::exp(double(x));
}

double LnReference(float x) {
  if (std::isnan(x) || x < 0) return NAN;
  return std::log(double(x));  // -Inf at +-0, +Inf at +Inf
}

IppStatus RunExp(float* v, int n) { return ippiExp_32f_C1IR(v, n * 4, {n, 1}); }
IppStatus RunLn(float* v, int n) { return ippiLn_32f_C1R(v, n * 4, v, n * 4, {n, 1}); }

struct Result {
  std::int64_t maxUlp = 0;
  std::uint32_t worstInput = 0;
  double worstExact = 0;  // |error| in ULP of the float at the reference, unrounded
  std::uint64_t specialMisses = 0;
  std::uint32_t firstMiss = 0;

  void Merge(const Result& o) {
    if (o.maxUlp > maxUlp) {
      maxUlp = o.maxUlp;
      worstInput = o.worstInput;
    }
    worstExact = std::max(worstExact, o.worstExact);
    if (o.specialMisses && !specialMisses) firstMiss = o.firstMiss;
    specialMisses += o.specialMisses;
  }
};

// Spacing of floats at |value| (the denormal spacing below the normals).
double UlpAt(double value) {
  const float f = std::fabs(static_cast<float>(value));
  if (f < std::numeric_limits<float>::min()) return std::ldexp(1.0, -149);
  if (std::isinf(f)) return std::ldexp(1.0, 104);
  return double(std::nextafter(f, INFINITY)) - double(f);
}

void Check(const Function& fn, std::uint64_t chunk, Result& r, std::vector<float>& buf) {
  const std::uint32_t first = static_cast<std::uint32_t>(chunk << kChunkBits);
  const int n = 1 << kChunkBits;
  for (int i = 0; i < n; ++i) buf[i] = FromBits(first + i);
  if (fn.run(buf.data(), n) != ippStsNoErr) {
    r.specialMisses += n;
    return;
  }
  for (int i = 0; i < n; ++i) {
    const std::uint32_t bits = first + i;
    const double want = fn.reference(FromBits(bits));
    const float got = buf[i], rounded = static_cast<float>(want);
    const bool special = std::isnan(want) || std::isinf(rounded) || rounded == 0;
    if (special) {
      const bool ok = std::isnan(want) ? std::isnan(got) : got == rounded;
      if (!ok && r.specialMisses++ == 0) r.firstMiss = bits;
      if (ok || !std::isinf(rounded)) continue;  // a finite miss is measured below
    }
    if (std::isnan(got) || std::isinf(got) || got == 0) {  // where the result is finite, not 0
      if (r.specialMisses++ == 0) r.firstMiss = bits;
      continue;
    }
    const std::int64_t ulp = std::llabs(Ordinal(got) - Ordinal(rounded));
    if (ulp > r.maxUlp) {
      r.maxUlp = ulp;
      r.worstInput = bits;
    }
    r.worstExact = std::max(r.worstExact, std::fabs(double(got) - want) / UlpAt(want));
  }
}

Result CheckAll(const Function& fn) {
  std::atomic<std::uint64_t> next{0};
  std::mutex mutex;
  Result total;
  std::vector<std::thread> threads;
  const unsigned count = std::max(1u, std::thread::hardware_concurrency());
  for (unsigned t = 0; t < count; ++t)
    threads.emplace_back([&] {
      std::vector<float> buf(std::size_t{1} << kChunkBits);
      Result mine;
      for (std::uint64_t c; (c = next++) < kChunks;) Check(fn, c, mine, buf);
      std::lock_guard<std::mutex> lock(mutex);
      total.Merge(mine);
    });
  for (std::thread& t : threads) t.join();
  return total;
}

}  // namespace

int main(int argc, char** argv) {
  const Function all[] = {{"exp", ExpReference, RunExp}, {"ln", LnReference, RunLn}};
  std::vector<const Function*> functions;
  for (int i = 1; i < argc; ++i)
    for (const Function& f : all)
      if (argv[i] == std::string(f.name)) functions.push_back(&f);
  if (functions.empty())
    for (const Function& f : all) functions.push_back(&f);

  long long targets[64];
  const int n = std::min(ippTestGetTargets(targets, 64), 64);
  std::vector<std::pair<std::string, long long>> paths = {{"dispatched", 0}};
  for (int i = 0; i < n; ++i) paths.push_back({ippTestTargetName(targets[i]), targets[i]});

  bool ok = true;
  std::printf("%-4s %-17s %7s %9s %15s %9s\n", "fn", "path", "max ULP", "vs exact", "at input",
              "specials");
  for (const Function* fn : functions)
    for (const auto& [name, target] : paths) {
      ippTestForceTarget(target);
      const Result r = CheckAll(*fn);
      const std::string label =
          target == 0 ? name + " (" + ippTestTargetName(targets[0]) + ")" : name;
      std::printf("%-4s %-17s %7" PRId64 " %9.3f %15.8g %9s\n", fn->name, label.c_str(), r.maxUlp,
                  r.worstExact, FromBits(r.worstInput),
                  r.specialMisses ? std::to_string(r.specialMisses).c_str() : "ok");
      if (r.specialMisses)
        std::printf("  first special miss at %a\n", double(FromBits(r.firstMiss)));
      ok = ok && r.maxUlp <= 1 && r.specialMisses == 0;
      std::fflush(stdout);
    }
  ippTestForceTarget(0);
  return ok ? 0 : 1;
}
