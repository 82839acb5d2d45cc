// Every refused call returns a negative status and leaves its destination
// exactly as it was.
#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <functional>
#include <string>
#include <vector>

#include "ipp.h"
#include "primitive_table.h"
#include "test_plane.h"

namespace {

using prim_test::Args;
using prim_test::Primitive;
using prim_test::Primitives;
using prim_test::TestPlane;

struct Refusal {
  const char* name;
  char tag;  // applies to primitives with this tag; '*' to all
  std::function<void(Args&)> change;
};

const Refusal kRefusals[] = {
    {"null dst", '*', [](Args& a) { a.dst = nullptr; }},
    {"width 0", '*', [](Args& a) { a.roi.width = 0; }},
    {"width -5", '*', [](Args& a) { a.roi.width = -5; }},
    {"height 0", '*', [](Args& a) { a.roi.height = 0; }},
    {"dst step 0", '*', [](Args& a) { a.dstStep = 0; }},
    {"dst step -64", '*', [](Args& a) { a.dstStep = -64; }},
    {"null src", 's', [](Args& a) { a.src = nullptr; }},
    {"src step 0", 's', [](Args& a) { a.srcStep = 0; }},
    {"null src2", '2', [](Args& a) { a.src2 = nullptr; }},
    {"src2 step -4", '2', [](Args& a) { a.src2Step = -4; }},
    {"dst step not whole floats", '*', [](Args& a) { a.dstStep += 2; }},
    {"src step not whole floats", 's', [](Args& a) { a.srcStep += 1; }},
    {"divisor 0", 'd', [](Args& a) { a.value = 0.0f; }},
    {"divisor -0", 'd', [](Args& a) { a.value = -0.0f; }},
    {"lt above gt", 't', [](Args& a) { a.lt = 2; }},
    {"null second plane", 'w', [](Args& a) { a.nullPlane = 1; }},
    {"null third plane", 'w', [](Args& a) { a.nullPlane = 2; }},
    {"null matrix", 'w', [](Args& a) { a.twist = nullptr; }},
    {"K 1", 'g', [](Args& a) { a.k = 1; }},
    {"K 4", 'g', [](Args& a) { a.k = 4; }},
    {"sigma 0", 'g', [](Args& a) { a.sigma = 0; }},
    {"sigma -1", 'g', [](Args& a) { a.sigma = -1; }},
    {"sigma NaN", 'g', [](Args& a) { a.sigma = std::nanf(""); }},
    {"constant border", 'g', [](Args& a) { a.border = ippBorderConst; }},
    {"null buffer", 'g', [](Args& a) { a.buffer = nullptr; }},
    {"negative top", 'b', [](Args& a) { a.top = -1; }},
    {"negative left", 'b', [](Args& a) { a.left = -1; }},
    {"too narrow", 'b', [](Args& a) { a.left = a.roi.width; }},
    {"too low", 'b', [](Args& a) { a.top = a.roi.height; }},
    {"K 0", 'f', [](Args& a) { a.k = 0; }},
    {"null taps", 'f', [](Args& a) { a.taps = nullptr; }},
    {"dst step < 4 width", 'f', [](Args& a) { a.dstStep = 4 * a.roi.width - 4; }},
    {"src step < 4 (width + K - 1)", 'r', [](Args& a) { a.srcStep = 4 * (a.roi.width + 1); }},
    {"src step < 4 width", 'c', [](Args& a) { a.srcStep = 4 * a.roi.width - 4; }},
};

TEST(Refusals, LeaveTheDestinationUntouched) {
  const IppiSize roi = {9, 5};
  TestPlane src(roi.width + 4, roi.height + 4), src2(roi.width, roi.height);
  src.Fill([](int x, int y) { return 0.5 + 0.01 * x + 0.1 * y; });
  src2.Fill([](int x, int y) { return 1.5 + 0.01 * x - 0.1 * y; });
  TestPlane pattern(roi.width, roi.height);
  pattern.Fill([](int x, int y) { return 1000 + x + 100 * y; });
  for (const Primitive& prim : Primitives()) {
    TestPlane dst = pattern;
    const Args valid{src.p(), src.step(), src2.p(), src2.step(), dst.p(), dst.step(), roi};
    EXPECT_EQ(prim.call(valid), ippStsNoErr) << prim.name;  // so the refusals are not vacuous
    for (const Refusal& r : kRefusals) {
      if (r.tag != '*' && prim.tags.find(r.tag) == std::string::npos) continue;
      dst = pattern;
      Args a = valid;
      r.change(a);
      EXPECT_LT(prim.call(a), 0) << prim.name << ": " << r.name;
      EXPECT_EQ(dst.data, pattern.data) << prim.name << ": " << r.name;
    }
  }
}

TEST(Refusals, DivCRevAndGaussBufferSize) {
  float v[2] = {2.0f, 4.0f};
  EXPECT_LT(ippsDivCRev_32f_I(1.0f, nullptr, 2), 0);
  EXPECT_LT(ippsDivCRev_32f_I(1.0f, v, 0), 0);
  EXPECT_EQ(v[0], 2.0f);
  for (auto [roi, k] : {std::pair{IppiSize{10, 10}, 1},
                        {{10, 10}, 2},
                        {{10, 10}, 8},
                        {{10, 10}, -1},
                        {{0, 10}, 3},
                        {{10, -1}, 3},
                        {{INT_MAX, 2}, 3}}) {
    int size = 12345;
    EXPECT_LT(ippiFilterGaussGetBufferSize_32f_C1R(roi, k, &size), 0) << k;
    EXPECT_EQ(size, 12345);
  }
  EXPECT_LT(ippiFilterGaussGetBufferSize_32f_C1R({10, 10}, 3, nullptr), 0);
}

}  // namespace
