// Shared by the benchmarks: the start-up every program does, the streaming
// pass that is an operation's floor, and float planes allocated by the
// primitives' allocator (64-byte aligned rows) that OpenCV, where built in,
// views as cv::Mat over the same memory, so that both libraries see
// identical layouts.
#ifndef TESSIVO_BENCH_BENCH_SUPPORT_H
#define TESSIVO_BENCH_BENCH_SUPPORT_H

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <random>
#include <stdexcept>
#include <string>

#include "ipp.h"
#include "ipp_testing.h"
#if TESSIVO_HAVE_OPENCV
#include <opencv2/core.hpp>
#endif

namespace bench {

constexpr int kWidth = 3840, kHeight = 2160;  // pixels

// TESSIVO_TARGET=AVX2 (or another name that ippTestTargetName gives) runs
// the primitives on that code path instead of the best one.
inline void ForceTargetFromEnvironment() {
  const char* want = std::getenv("TESSIVO_TARGET");
  if (want == nullptr || *want == 0) return;
  long long targets[64];
  const int n = ippTestGetTargets(targets, 64);
  for (int i = 0; i < n && i < 64; ++i)
    if (std::strcmp(ippTestTargetName(targets[i]), want) == 0 &&
        ippTestForceTarget(targets[i]) == ippStsNoErr)
      return;
  throw std::invalid_argument(std::string("TESSIVO_TARGET: no code path ") + want);
}

// Before any benchmark: the primitives' code path, and OpenCV on one thread
// as ours runs.
inline void Prepare() {
  ippStaticInit();
  ForceTargetFromEnvironment();
#if TESSIVO_HAVE_OPENCV
  cv::setNumThreads(1);
#endif
}

// A plain loop compiled for the widest vectors the processor has, as the
// primitives run.
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__)
#define BENCH_WIDEST __attribute__((target_clones("avx512f", "avx2", "default")))
#else
#define BENCH_WIDEST
#endif

// v, though no compiler can know it.
inline std::uint32_t Opaque(std::uint32_t v) {
  volatile std::uint32_t box = v;
  return box;
}

// A plain streaming pass, the floor of an operation over the same bytes:
// `bytes` (a multiple of 4) of dst from a, reading b too; dst may be a or b,
// but no other overlap. It moves bit patterns, so every value passes at one
// speed.
BENCH_WIDEST inline void Stream(void* dst, const void* a, const void* b, std::size_t bytes) {
  const std::uint32_t keep = Opaque(~0u), drop = Opaque(0u);
  auto* d = static_cast<std::uint32_t*>(dst);
  const auto* x = static_cast<const std::uint32_t*>(a);
  const auto* y = static_cast<const std::uint32_t*>(b);
  // Element i is written from element i alone, so writing in place stays
  // vectorisable.
#if defined(__clang__)
#pragma clang loop vectorize(assume_safety)
#elif defined(__GNUC__)
#pragma GCC ivdep
#endif
  for (std::size_t i = 0; i < bytes / 4; ++i) d[i] = (x[i] & keep) | (y[i] & drop);
}

class Plane {
 public:
  explicit Plane(int width = kWidth, int height = kHeight) : size_{width, height} {
    data_ = ippiMalloc_32f_C1(width, height, &step_);
    if (data_ == nullptr) throw std::bad_alloc();
  }
  ~Plane() { ippiFree(data_); }
  Plane(const Plane&) = delete;
  Plane& operator=(const Plane&) = delete;

  float* p() { return data_; }
  int step() const { return step_; }  // bytes
  IppiSize size() const { return size_; }
  std::size_t bytes() const { return std::size_t(step_) * size_.height; }

  // Values uniform in [lo, hi): smooth with some grain, as in a photograph.
  Plane& Fill(float lo, float hi, unsigned seed = 1) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> grain(0.0f, 0.1f);
    for (int y = 0; y < size_.height; ++y) {
      float* row =
          reinterpret_cast<float*>(reinterpret_cast<char*>(data_) + std::size_t(y) * step_);
      for (int x = 0; x < size_.width; ++x) {
        const float t = 0.9f * float(x + y) / float(size_.width + size_.height) + grain(rng);
        row[x] = lo + (hi - lo) * t;
      }
    }
    return *this;
  }
  void CopyFrom(const Plane& other) { std::memcpy(data_, other.data_, bytes()); }

#if TESSIVO_HAVE_OPENCV
  cv::Mat Mat() { return cv::Mat(size_.height, size_.width, CV_32F, data_, std::size_t(step_)); }
#endif

 private:
  IppiSize size_;
  int step_ = 0;
  Ipp32f* data_ = nullptr;
};

}  // namespace bench

#endif  // TESSIVO_BENCH_BENCH_SUPPORT_H
