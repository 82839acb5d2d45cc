// A double-precision reference for separable filters, shared by the fuzz
// targets that check the Gaussian and the row and column filters.
#ifndef TESSIVO_FUZZ_FILTER_REFERENCE_H
#define TESSIVO_FUZZ_FILTER_REFERENCE_H

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <vector>

namespace fuzz {

// A term of a filter sum: its value, its magnitude through the taps, its
// magnitude without them, and a bound on the absolute error that float
// rounding in the denormal range (steps of 2^-149, whatever the value's
// size) adds on its way, carried through later taps.
struct Term {
  double v, mag, raw, den;
};

inline Term SourceTerm(float v) { return {v, std::fabs(v), std::fabs(v), 0.0}; }

// A double-precision result plane with, per pixel, the sums of the terms'
// magnitudes, which scale the tolerance. `ok` is false when a term is not
// finite or so large that float overflow would depend on the order of the
// sums; such a result is not compared.
struct RefPlane {
  int w = 0, h = 0;
  std::vector<Term> t;
  bool ok = true;
  const Term& At(int x, int y) const { return t[static_cast<std::size_t>(y) * w + x]; }
};

// out(x, y) = sum over i of taps[i] * in(x, y, i).
template <class In>
RefPlane Pass(int w, int h, const std::vector<double>& taps, In in) {
  RefPlane out;
  out.w = w;
  out.h = h;
  out.t.assign(static_cast<std::size_t>(w) * h, Term{0.0, 0.0, 0.0, 0.0});
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      Term sum{0.0, 0.0, 0.0, 0.0};
      for (std::size_t i = 0; i < taps.size(); ++i) {
        const Term term = in(x, y, static_cast<int>(i));
        if (!std::isfinite(term.v) || std::fabs(term.v) > 1e30) {
          out.ok = false;
          return out;
        }
        sum.v += taps[i] * term.v;
        sum.mag += std::fabs(taps[i]) * term.mag;
        sum.raw += term.raw;
        sum.den += std::fabs(taps[i]) * term.den + 1.5e-45;  // the product and the sum
      }
      out.t[static_cast<std::size_t>(y) * w + x] = sum;
    }
  return out;
}

// Both passes of a separable filter with the edges repeated, the row pass
// first: out(x, y) = sum over i, j of taps[i] * taps[j] *
// src(clamp(x + c - i), clamp(y + c - j)), c being the index of the tap
// applied at the pixel itself.
template <class Src>
RefPlane SeparableReplicate(int w, int h, const std::vector<double>& taps, int c, Src src) {
  const RefPlane rows = Pass(w, h, taps, [&](int x, int y, int i) {
    return SourceTerm(src(std::clamp(x + c - i, 0, w - 1), y));
  });
  if (!rows.ok) return rows;
  return Pass(w, h, taps,
              [&](int x, int y, int j) { return rows.At(x, std::clamp(y + c - j, 0, h - 1)); });
}

// Taps exp(-(i - K/2)^2 / (2 sigma^2)), i = 0..K-1, normalised to sum 1.
inline std::vector<double> GaussTaps(int k, float sigma) {
  std::vector<double> taps(static_cast<std::size_t>(k));
  double total = 0.0;
  for (int i = 0; i < k; ++i) {
    const double d = i - k / 2;
    taps[i] = std::exp(-d * d / (2.0 * double(sigma) * double(sigma)));
    total += taps[i];
  }
  for (double& t : taps) t /= total;
  return taps;
}

// Float rounding of the sums, the rounding of taps that are denormal floats
// (a Gaussian's outer taps can be), whose absolute error is 2^-149, and
// denormal results amplified by later taps.
inline double Tolerance(const Term& e) {
  return 1e-5 * e.mag + 3e-45 * e.raw + 2.0 * e.den + 1e-35;
}

// Float partial sums may overflow where the double ones do not.
inline bool Comparable(const Term& e) { return e.mag <= 1e30; }

}  // namespace fuzz

#endif  // TESSIVO_FUZZ_FILTER_REFERENCE_H
