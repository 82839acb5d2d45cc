// Pixel access and construction helpers for the image tests.
#ifndef TESSIVO_TESTS_IMAGE_TEST_UTIL_H
#define TESSIVO_TESTS_IMAGE_TEST_UTIL_H

#include <gtest/gtest.h>

#include <cmath>
#include <functional>

#include "KoImageStracture.h"

inline float& At(const KoImage& image, int p, int x, int y) {
  return reinterpret_cast<float*>(reinterpret_cast<char*>(image.layers[p]) +
                                  static_cast<long>(y) * image.steps[p])[x];
}

// The usual image size: odd, wider than a vector, more than one row.
inline const IppiSize kSize{13, 5};

using PixelFn = std::function<float(int p, int x, int y)>;

inline void Fill(KoImage& image, const PixelFn& f) {
  for (int p = 0; p < image.numLayers; ++p)
    for (int y = 0; y < image.size.height; ++y)
      for (int x = 0; x < image.size.width; ++x) At(image, p, x, y) = f(p, x, y);
}

// Patterns that differ per plane, row and column, with no zeros.
inline float Pattern(int p, int x, int y) { return 0.25f + 0.5f * p + 0.125f * x - 0.0625f * y; }
inline float Other(int p, int x, int y) { return 1.5f - 0.25f * p + 0.0625f * x * y; }
inline PixelFn Flat(float v) {
  return [v](int, int, int) { return v; };
}

// Planes [first, last) equal want (NaN matches NaN), to within tolerance;
// last -1 means every plane.
inline void ExpectPlanes(const KoImage& image, const PixelFn& want, float tolerance = 0,
                         int first = 0, int last = -1) {
  for (int p = first; p < (last < 0 ? image.numLayers : last); ++p)
    for (int y = 0; y < image.size.height; ++y)
      for (int x = 0; x < image.size.width; ++x) {
        const float got = At(image, p, x, y), expected = want(p, x, y);
        if ((std::isnan(expected) && std::isnan(got)) || got == expected) continue;
        ASSERT_NEAR(got, expected, tolerance) << "plane " << p << " at " << x << "," << y;
      }
}

#endif  // TESSIVO_TESTS_IMAGE_TEST_UTIL_H
