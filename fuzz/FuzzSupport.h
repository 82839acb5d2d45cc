// Shared by the fuzz targets: a front-to-back reader of the fuzz input (so
// that seeds can be written by hand), and float comparisons.
#ifndef TESSIVO_FUZZ_FUZZ_SUPPORT_H
#define TESSIVO_FUZZ_FUZZ_SUPPORT_H

#include <cfloat>
#include <cmath>
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>

namespace fuzz {

// A broken invariant: says which and aborts, which libFuzzer records as a
// crash and saves the input for.
[[noreturn]] inline void Fail(const char* format, ...) __attribute__((format(printf, 1, 2)));
inline void Fail(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::fputs("INVARIANT BROKEN: ", stderr);
  std::vfprintf(stderr, format, args);
  std::fputc('\n', stderr);
  va_end(args);
  std::abort();
}

#define FUZZ_CHECK(cond, ...)               \
  do {                                      \
    if (!(cond)) ::fuzz::Fail(__VA_ARGS__); \
  } while (0)

constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

// Reads the input from the front; an exhausted input reads as zeros, so
// every input is a valid program.
class Input {
 public:
  Input(const std::uint8_t* data, std::size_t size) : p_(data), end_(data + size) {}

  bool Empty() const { return p_ == end_; }
  std::uint8_t Byte() { return p_ == end_ ? 0 : *p_++; }
  bool Bool() { return (Byte() & 1) != 0; }
  std::uint16_t U16() { return static_cast<std::uint16_t>(Byte() | Byte() << 8); }
  std::uint32_t U32() { return U16() | static_cast<std::uint32_t>(U16()) << 16; }

  // lo..hi inclusive; one byte when the span allows, else two.
  int Range(int lo, int hi) {
    const std::uint32_t span = static_cast<std::uint32_t>(hi - lo) + 1;
    const std::uint32_t v = span <= 256 ? Byte() : U16();
    return lo + static_cast<int>(v % span);
  }

  template <class T, std::size_t N>
  const T& Pick(const T (&table)[N]) {
    return table[Byte() % N];
  }

  // lo..hi in 65536 steps.
  float Between(float lo, float hi) { return lo + (hi - lo) * (U16() / 65535.0f); }

  // Any float: the values where arithmetic turns (zeros, infinities, NaN,
  // the exponential's limits, denormals, channel maxima), small values,
  // unit-range values, or raw bits.
  float Float() {
    static const float kSpecial[] = {0.0f,    -0.0f,    1.0f,     -1.0f,   0.5f,      2.0f,
                                     kNaN,    -kNaN,    kInf,     -kInf,   FLT_MAX,   -FLT_MAX,
                                     FLT_MIN, 4e-45f,   88.7228f, 88.723f, -103.972f, -103.973f,
                                     255.0f,  32768.0f, 65535.0f, 1e-20f,  1e20f,     0.999f};
    switch (Byte() % 4) {
      case 0:
        return Pick(kSpecial);
      case 1:
        return static_cast<std::int16_t>(U16()) / 4096.0f;  // -8 .. 8
      case 2:
        return U16() / 65535.0f;
      default: {
        const std::uint32_t bits = U32();
        float f;
        std::memcpy(&f, &bits, sizeof f);
        return f;
      }
    }
  }

 private:
  const std::uint8_t* p_;
  const std::uint8_t* end_;
};

inline std::uint32_t Bits(float f) {
  std::uint32_t b;
  std::memcpy(&b, &f, sizeof b);
  return b;
}

// Bit for bit, any NaN matching any NaN.
inline bool Same(float expected, float actual) {
  if (std::isnan(expected) || std::isnan(actual)) return std::isnan(expected) && std::isnan(actual);
  return Bits(expected) == Bits(actual);
}

// Within `tolerance` (absolute); NaN matches only NaN; an infinity matches
// the same infinity or a float within a relative 1e-5 of the largest float
// of that sign, where rounding may land either way.
inline bool Near(double expected, float actual, double tolerance) {
  if (std::isnan(expected) || std::isnan(actual)) return std::isnan(expected) && std::isnan(actual);
  if (std::isinf(expected) || std::isinf(actual)) {
    const double e = std::isinf(expected) ? expected : std::copysign(HUGE_VAL, expected);
    const double a = std::isinf(actual) ? actual : std::copysign(HUGE_VAL, actual);
    const double finite = std::isinf(expected) ? actual : expected;
    return e == a && (std::isinf(finite) || std::fabs(finite) >= FLT_MAX * (1.0 - 1e-5));
  }
  return std::fabs(expected - actual) <= tolerance;
}

inline double RelativeTolerance(double expected, double relative, double absolute) {
  return absolute + relative * std::fabs(expected);
}

// The primitives' exponential: +Inf above 88.7228, 0 below -103.972 (the
// decimals: the floats nearest them lie beyond them).
inline double ContractExp(float x) {
  if (static_cast<double>(x) > 88.7228) return HUGE_VAL;
  if (static_cast<double>(x) < -103.972) return 0.0;
  return std::exp(static_cast<double>(x));
}

// Tolerances of the primitives' exponential and logarithm, whose accuracy
// is the implementer's choice; these allow a few units in the last place.
inline bool NearExp(float x, float actual) {
  const double e = ContractExp(x);
  return Near(e, actual, RelativeTolerance(e, 1e-5, 1e-37));
}

inline bool NearLn(float x, float actual) {
  const double e = x == 0.0f ? -HUGE_VAL : std::log(static_cast<double>(x));
  return Near(e, actual, RelativeTolerance(e, 1e-6, 1e-7));
}

}  // namespace fuzz

#endif  // TESSIVO_FUZZ_FUZZ_SUPPORT_H
