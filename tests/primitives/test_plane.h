// A float plane for primitive tests: guard floats after the width of each
// row and one guard row below, so a write outside the region shows.
#ifndef TESSIVO_TESTS_PRIMITIVES_TEST_PLANE_H
#define TESSIVO_TESTS_PRIMITIVES_TEST_PLANE_H

#include <vector>

#include "ipp.h"

namespace prim_test {

constexpr float kGuard = -7777.25f;

struct TestPlane {
  TestPlane(int w, int h, int extra = 3)
      : width(w),
        height(h),
        stride(w + extra),
        data(static_cast<size_t>(stride) * (h + 1), kGuard) {}
  template <typename Fn>
  TestPlane& Fill(Fn fn) {
    for (int y = 0; y < height; ++y)
      for (int x = 0; x < width; ++x) at(x, y) = static_cast<float>(fn(x, y));
    return *this;
  }
  float* p() { return data.data(); }
  const float* p() const { return data.data(); }
  int step() const { return stride * 4; }
  IppiSize size() const { return {width, height}; }
  float& at(int x, int y) { return data[static_cast<size_t>(y) * stride + x]; }
  float at(int x, int y) const { return data[static_cast<size_t>(y) * stride + x]; }
  bool GuardsIntact() const {
    for (size_t i = 0; i < data.size(); ++i)
      if ((int(i / stride) >= height || int(i % stride) >= width) && data[i] != kGuard)
        return false;
    return true;
  }

  int width, height, stride;
  std::vector<float> data;
};

}  // namespace prim_test

#endif  // TESSIVO_TESTS_PRIMITIVES_TEST_PLANE_H
