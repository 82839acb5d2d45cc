// Each primitive on a 3840 x 2160 float plane beside its OpenCV counterpart
// (single-threaded), as "<name>/ours" and "<name>/opencv". In-place
// primitives start from the same data; e^x, which would drift to +Inf
// within a few runs, has it restored before every run, outside the timing.
#include <benchmark/benchmark.h>

#include <functional>
#include <string>
#include <vector>

#include "bench_support.h"
#include "ipp.h"
#include "ipp_testing.h"
#if TESSIVO_HAVE_OPENCV
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>
#endif

namespace {

using bench::Plane;

struct Planes {
  Planes() {
    a.Fill(0.02f, 1.0f, 1);
    b.Fill(0.95f, 1.05f, 2);
    d.Fill(0.1f, 0.9f, 3);
    negative.Fill(-1.0f, 0.0f, 4);
  }
  Plane a, b, d, negative;  // sources: unit range, near 1, unit range, [-1, 0)
  Plane c, e, f;            // destinations
};

Planes& P() {
  static Planes planes;
  return planes;
}

struct Case {
  std::string name;
  std::function<void()> ours;
  std::function<void()> opencv = {};  // empty: no counterpart
  Plane* restore = nullptr;           // in place on c: c starts as a copy of this
  bool restoreEachRun = false;
};

// The Gaussian with its work buffer, allocated per call as the image code does.
void Gauss(Plane& src, Plane& dst, int kernelSize, float sigma) {
  int bytes = 0;
  ippiFilterGaussGetBufferSize_32f_C1R(src.size(), kernelSize, &bytes);
  auto* buffer = static_cast<Ipp8u*>(ippMalloc(bytes));
  ippiFilterGaussBorder_32f_C1R(src.p(), src.step(), dst.p(), dst.step(), src.size(), kernelSize,
                                sigma, ippBorderRepl, 0.0f, buffer);
  ippFree(buffer);
}

const float kTwist[3][4] = {
    {0.299f, 0.587f, 0.114f, 0.0f}, {-0.169f, -0.331f, 0.5f, 0.0f}, {0.5f, -0.419f, -0.081f, 0.0f}};

std::vector<Case> Cases() {
  // The planes live as long as the program; the calls capture them by address.
  Planes& p = P();
  Plane &a = p.a, &b = p.b, &c = p.c, &d = p.d, &e = p.e, &f = p.f;
  static const IppiSize roi = a.size();
  std::vector<Case> cases = {
      {"Copy", [&] { ippiCopy_32f_C1R(a.p(), a.step(), c.p(), c.step(), roi); }},
      {"AddC_IR", [&] { ippiAddC_32f_C1IR(1.0f, c.p(), c.step(), roi); }, {}, &a},
      {"MulC_IR", [&] { ippiMulC_32f_C1IR(-1.0f, c.p(), c.step(), roi); }, {}, &a},
      {"AddC_R", [&] { ippiAddC_32f_C1R(a.p(), a.step(), 1.0f, c.p(), c.step(), roi); }},
      {"MulC_R", [&] { ippiMulC_32f_C1R(a.p(), a.step(), -1.0f, c.p(), c.step(), roi); }},
      {"Add_IR", [&] { ippiAdd_32f_C1IR(a.p(), a.step(), c.p(), c.step(), roi); }, {}, &d},
      {"Mul_IR", [&] { ippiMul_32f_C1IR(b.p(), b.step(), c.p(), c.step(), roi); }, {}, &d},
      {"Add_R", [&] { ippiAdd_32f_C1R(a.p(), a.step(), d.p(), d.step(), c.p(), c.step(), roi); }},
      {"Mul_R", [&] { ippiMul_32f_C1R(a.p(), a.step(), d.p(), d.step(), c.p(), c.step(), roi); }},
      {"DivCRev", [&] { ippsDivCRev_32f_I(1.0f, c.p(), c.step() / 4 * roi.height); }, {}, &a},
      {"Threshold_R",
       [&] {
         ippiThreshold_LTValGTVal_32f_C1R(a.p(), a.step(), c.p(), c.step(), roi, 0.5f, 0.0f, 0.5f,
                                          1.0f);
       }},
      {"Exp_IR", [&] { ippiExp_32f_C1IR(c.p(), c.step(), roi); }, {}, &p.negative, true},
      // The floor of Exp_IR: a streaming pass over the same plane, restored
      // the same way (the copy leaves part of it in cache). Ln_R's floor is
      // MulC_R, which reads and writes the same planes.
      {"MulC_IR/restored",
       [&] { ippiMulC_32f_C1IR(1.0f, c.p(), c.step(), roi); },
       {},
       &p.negative,
       true},
      {"Ln_R", [&] { ippiLn_32f_C1R(a.p(), a.step(), c.p(), c.step(), roi); }},
      {"ColorTwist",
       [&] {
         const float* src[3] = {a.p(), b.p(), d.p()};
         float* const dst[3] = {c.p(), e.p(), f.p()};
         ippiColorTwist_32f_P3R(src, a.step(), dst, c.step(), roi, kTwist);
       }},
  };
  for (float sigma : {1.0f, 2.0f, 5.0f, 20.0f}) {
    const int k = 2 * static_cast<int>(3.0f * sigma) + 1;
    cases.push_back(
        {"Gauss/sigma:" + std::to_string(int(sigma)), [&, k, sigma] { Gauss(a, c, k, sigma); }});
  }

#if TESSIVO_HAVE_OPENCV
  auto cv = [&](const std::string& name, std::function<void()> fn) {
    for (Case& one : cases)
      if (one.name == name) one.opencv = std::move(fn);
  };
  cv::Mat A = a.Mat(), B = b.Mat(), C = c.Mat(), D = d.Mat();
  cv("Copy", [=]() mutable { A.copyTo(C); });
  cv("AddC_IR", [=]() mutable { cv::add(C, cv::Scalar(1.0), C); });
  cv("MulC_IR", [=]() mutable { cv::multiply(C, cv::Scalar(-1.0), C); });
  cv("AddC_R", [=]() mutable { cv::add(A, cv::Scalar(1.0), C); });
  cv("MulC_R", [=]() mutable { cv::multiply(A, cv::Scalar(-1.0), C); });
  cv("Add_IR", [=]() mutable { cv::add(C, A, C); });
  cv("Mul_IR", [=]() mutable { cv::multiply(C, B, C); });
  cv("Add_R", [=]() mutable { cv::add(D, A, C); });
  cv("Mul_R", [=]() mutable { cv::multiply(D, A, C); });
  cv("DivCRev", [=]() mutable { cv::divide(1.0, C, C); });
  cv("Threshold_R", [=]() mutable { cv::threshold(A, C, 0.5, 1.0, cv::THRESH_BINARY); });
  cv("Exp_IR", [=]() mutable { cv::exp(C, C); });
  cv("Ln_R", [=]() mutable { cv::log(A, C); });
  // The twist's counterpart works on interleaved pixels of the same count.
  auto rgb = std::make_shared<cv::Mat>(), yuv = std::make_shared<cv::Mat>();
  cv::merge(std::vector<cv::Mat>{A, B, D}, *rgb);
  cv("ColorTwist", [=] { cv::transform(*rgb, *yuv, cv::Mat(3, 4, CV_32F, (void*)kTwist)); });
  for (float sigma : {1.0f, 2.0f, 5.0f, 20.0f}) {
    const int k = 2 * static_cast<int>(3.0f * sigma) + 1;
    cv("Gauss/sigma:" + std::to_string(int(sigma)), [=]() mutable {
      cv::GaussianBlur(A, C, cv::Size(k, k), sigma, sigma, cv::BORDER_REPLICATE);
    });
  }
#endif
  return cases;
}

void Run(benchmark::State& state, const Case& c, const std::function<void()>& fn) {
  Plane& dst = P().c;
  if (c.restore) dst.CopyFrom(*c.restore);
  for (auto _ : state) {
    fn();
    benchmark::ClobberMemory();
    if (c.restoreEachRun) {
      state.PauseTiming();
      dst.CopyFrom(*c.restore);
      state.ResumeTiming();
    }
  }
  state.counters["pixels/s"] = benchmark::Counter(
      double(state.iterations()) * bench::kWidth * bench::kHeight, benchmark::Counter::kIsRate);
}

}  // namespace

int main(int argc, char** argv) {
  bench::Prepare();
  static const std::vector<Case> cases = Cases();
  for (const Case& c : cases) {
    benchmark::RegisterBenchmark((c.name + "/ours").c_str(), Run, c, c.ours)
        ->Unit(benchmark::kMillisecond)
        ->UseRealTime();
    if (c.opencv)
      benchmark::RegisterBenchmark((c.name + "/opencv").c_str(), Run, c, c.opencv)
          ->Unit(benchmark::kMillisecond)
          ->UseRealTime();
  }
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
