// Every plane primitive behind one calling convention, for table-driven
// tests: refusals change one argument of a valid call, and element-wise
// results are checked against a reference.
#ifndef TESSIVO_TESTS_PRIMITIVES_PRIMITIVE_TABLE_H
#define TESSIVO_TESTS_PRIMITIVES_PRIMITIVE_TABLE_H

#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "ipp.h"

namespace prim_test {

inline const float kTwist[3][4] = {{1, 0, 0, 0}, {0, 1, 0, 0}, {0, 0, 1, 0}};
inline const float kTaps[3] = {0.25f, 0.5f, 0.25f};
inline Ipp8u gWork[1 << 16];

// Arguments of a call; the defaults are valid. The sources need two pixels
// beyond the region on the right and below for the filters.
struct Args {
  const float* src;
  int srcStep;
  const float* src2;
  int src2Step;
  float* dst;
  int dstStep;
  IppiSize roi;
  float value = 2, lt = 0, gt = 1, sigma = 1;
  int k = 3, top = 0, left = 0, nullPlane = -1;
  IppiBorderType border = ippBorderRepl;
  Ipp8u* buffer = gWork;
  const float* taps = kTaps;
  const float (*twist)[4] = kTwist;
};
using A = const Args&;
using Call = std::function<IppStatus(A)>;

// Adapters by signature: (value, srcDst), (src, value, dst), (src, dst) or
// (src, srcDst), (srcDst), (src1, src2, dst).
inline Call Bind(IppStatus (*f)(Ipp32f, Ipp32f*, int, IppiSize)) {
  return [f](A a) { return f(a.value, a.dst, a.dstStep, a.roi); };
}
inline Call Bind(IppStatus (*f)(const Ipp32f*, int, Ipp32f, Ipp32f*, int, IppiSize)) {
  return [f](A a) { return f(a.src, a.srcStep, a.value, a.dst, a.dstStep, a.roi); };
}
inline Call Bind(IppStatus (*f)(const Ipp32f*, int, Ipp32f*, int, IppiSize)) {
  return [f](A a) { return f(a.src, a.srcStep, a.dst, a.dstStep, a.roi); };
}
inline Call Bind(IppStatus (*f)(Ipp32f*, int, IppiSize)) {
  return [f](A a) { return f(a.dst, a.dstStep, a.roi); };
}
inline Call Bind(IppStatus (*f)(const Ipp32f*, int, const Ipp32f*, int, Ipp32f*, int, IppiSize)) {
  return [f](A a) { return f(a.src, a.srcStep, a.src2, a.src2Step, a.dst, a.dstStep, a.roi); };
}

struct Primitive {
  std::string name;
  // s: reads src, 2: reads src2, i: in place (dst is also read); the other
  // letters select the primitive's own refusals.
  std::string tags;
  Call call;
};

inline const std::vector<Primitive>& Primitives() {
  static const std::vector<Primitive> list = {
      {"Copy", "s", Bind(ippiCopy_32f_C1R)},
      {"AddC_IR", "i", Bind(ippiAddC_32f_C1IR)},
      {"SubC_IR", "i", Bind(ippiSubC_32f_C1IR)},
      {"MulC_IR", "i", Bind(ippiMulC_32f_C1IR)},
      {"DivC_IR", "id", Bind(ippiDivC_32f_C1IR)},
      {"AddC_R", "s", Bind(ippiAddC_32f_C1R)},
      {"SubC_R", "s", Bind(ippiSubC_32f_C1R)},
      {"MulC_R", "s", Bind(ippiMulC_32f_C1R)},
      {"DivC_R", "sd", Bind(ippiDivC_32f_C1R)},
      {"Add_IR", "si", Bind(ippiAdd_32f_C1IR)},
      {"Sub_IR", "si", Bind(ippiSub_32f_C1IR)},
      {"Mul_IR", "si", Bind(ippiMul_32f_C1IR)},
      {"Add_R", "s2", Bind(ippiAdd_32f_C1R)},
      {"Sub_R", "s2", Bind(ippiSub_32f_C1R)},
      {"Mul_R", "s2", Bind(ippiMul_32f_C1R)},
      {"Div_R", "s2", Bind(ippiDiv_32f_C1R)},
      {"Exp_IR", "i", Bind(ippiExp_32f_C1IR)},
      {"Ln_IR", "i", Bind(ippiLn_32f_C1IR)},
      {"Ln_R", "s", Bind(ippiLn_32f_C1R)},
      {"Threshold_IR", "it",
       [](A a) {
         return ippiThreshold_LTValGTVal_32f_C1IR(a.dst, a.dstStep, a.roi, a.lt, -5, a.gt, 5);
       }},
      {"Threshold_R", "st",
       [](A a) {
         return ippiThreshold_LTValGTVal_32f_C1R(a.src, a.srcStep, a.dst, a.dstStep, a.roi, a.lt,
                                                 -5, a.gt, 5);
       }},
      {"ColorTwist", "sw",
       [](A a) {
         const float* s[3] = {a.src, a.src, a.src};
         float* d[3] = {a.dst, a.dst, a.dst};
         if (a.nullPlane >= 0) d[a.nullPlane] = nullptr;
         return ippiColorTwist_32f_P3R(s, a.srcStep, d, a.dstStep, a.roi, a.twist);
       }},
      {"FilterGauss", "sg",
       [](A a) {
         return ippiFilterGaussBorder_32f_C1R(a.src, a.srcStep, a.dst, a.dstStep, a.roi, a.k,
                                              a.sigma, a.border, 0, a.buffer);
       }},
      {"CopyReplicateBorder", "sb",
       [](A a) {
         return ippiCopyReplicateBorder_32f_C1R(a.src, a.srcStep, {1, 1}, a.dst, a.dstStep, a.roi,
                                                a.top, a.left);
       }},
      {"FilterRow", "sfr",
       [](A a) {
         return ippiFilterRow_32f_C1R(a.src, a.srcStep, a.dst, a.dstStep, a.roi, a.taps, a.k,
                                      a.k - 1);
       }},
      {"FilterColumn", "sfc",
       [](A a) {
         return ippiFilterColumn_32f_C1R(a.src, a.srcStep, a.dst, a.dstStep, a.roi, a.taps, a.k,
                                         a.k - 1);
       }},
  };
  return list;
}

inline const Primitive& Find(const std::string& name) {
  for (const Primitive& p : Primitives())
    if (p.name == name) return p;
  throw std::invalid_argument(name);
}

}  // namespace prim_test

#endif  // TESSIVO_TESTS_PRIMITIVES_PRIMITIVE_TABLE_H
