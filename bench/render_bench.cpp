// The whole render through the effect's entry point and the stand-in host,
// beside the same per-channel correction composed from whole-plane OpenCV
// calls (single-threaded), on 1920 x 1080 and 3840 x 2160 frames.
//
//   Render/<depth>/<W>x<H>/<mode>/radius:<r>/ours   host pixels in and out
//   Correction/<W>x<H>/<mode>/radius:<r>/ours       the correction alone, on float planes
//   Correction/<W>x<H>/channel/radius:<r>/opencv    its OpenCV counterpart
//   Correction/<W>x<H>/channel/radius:<r>/opencv-fresh   the same on new matrices per frame
//
// The render's counters give the allocator's peak during one frame: planes
// and buffers live at once and their bytes.
#include <benchmark/benchmark.h>

#include <cmath>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "StandInHost.h"
#include "TessivoEffect.h"
#include "bench_support.h"
#include "ipp.h"
#include "ipp_testing.h"
#if TESSIVO_HAVE_OPENCV
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>
#endif

namespace {

using tessivo_host::StandInHost;
using tessivo_host::WorldSpec;

struct Frame {
  int width, height;
  std::string Name() const { return std::to_string(width) + "x" + std::to_string(height); }
};
const Frame kFrames[] = {{1920, 1080}, {3840, 2160}};
const float kRadii[] = {2.0f, 20.0f};

// A photograph-like value in [0, 1] for channel c at (x, y): smooth shading
// with grain, never exactly 0.
float Sample(int c, int x, int y, int width, int height, std::mt19937& rng) {
  std::uniform_real_distribution<float> grain(0.0f, 0.08f);
  const float shade =
      0.5f + 0.4f * std::sin(3.0f * x / width + 2.0f * c) * std::cos(2.0f * y / height - c);
  return std::fmin(1.0f, 0.01f + shade + grain(rng));
}

template <class Pixel>
void FillInput(tessivo_host::World& world, float white) {
  std::mt19937 rng(7);
  using Channel = decltype(Pixel::red);
  const int w = world.Width(), h = world.Height();
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      Pixel p;
      p.alpha = static_cast<Channel>(white);
      p.red = static_cast<Channel>(Sample(0, x, y, w, h, rng) * white);
      p.green = static_cast<Channel>(Sample(1, x, y, w, h, rng) * white);
      p.blue = static_cast<Channel>(Sample(2, x, y, w, h, rng) * white);
      world.Set(x, y, p);
    }
}

const char* DepthName(PF_PixelFormat format) {
  return format == PF_PixelFormat_ARGB32   ? "8bit"
         : format == PF_PixelFormat_ARGB64 ? "16bit"
                                           : "float";
}

void Render(benchmark::State& state, PF_PixelFormat format, Frame frame, bool luminosity,
            float radius) {
  StandInHost host(TESSIVO_MODULE_PATH);
  if (host.GlobalSetup() || host.ParamsSetup()) return state.SkipWithError("setup failed");
  host.SetInputWorld(WorldSpec{format, frame.width, frame.height, {}});
  if (format == PF_PixelFormat_ARGB32) FillInput<PF_Pixel8>(host.Input(), 255.0f);
  if (format == PF_PixelFormat_ARGB64) FillInput<PF_Pixel16>(host.Input(), 32768.0f);
  if (format == PF_PixelFormat_ARGB128) FillInput<PF_PixelFloat>(host.Input(), 1.0f);
  host.SetParam("Tonal Radius", radius);
  host.SetParam("Tonal Threshold", 0.0);
  host.SetParam("Intensity Level", 50.0);
  host.SetParam("Luminosity Mode", luminosity ? 1 : 0);

  ippTestResetLedger();
  if (host.RenderFrame() != PF_Err_NONE) return state.SkipWithError("render failed");
  IppAllocLedger ledger;
  ippTestGetLedger(&ledger);
  for (auto _ : state)
    if (host.RenderFrame() != PF_Err_NONE) return state.SkipWithError("render failed");
  state.counters["peakPlanes"] = double(ledger.peakPlanes);
  state.counters["peakBuffers"] = double(ledger.peakBuffers);
  state.counters["peakMB"] = double(ledger.peakBytes) / (1 << 20);
  state.counters["planeMB"] = double(frame.width) * frame.height * 4 / (1 << 20);
}

// Three float planes of the frame in the unit range.
KoImage InputImage(Frame frame) {
  KoImage image({frame.width, frame.height}, 3);
  std::mt19937 rng(7);
  for (int c = 0; c < 3; ++c)
    for (int y = 0; y < frame.height; ++y) {
      float* row = image.layers[c] + std::ptrdiff_t(y) * image.steps[c] / 4;
      for (int x = 0; x < frame.width; ++x)
        row[x] = Sample(c, x, y, frame.width, frame.height, rng);
    }
  return image;
}

void Correction(benchmark::State& state, Frame frame, bool luminosity, float radius) {
  const KoImage input = InputImage(frame);
  for (auto _ : state) {
    KoImage output;
    LocalColorCorrection(input, output, radius, 0.0f, luminosity, nullptr);
    benchmark::DoNotOptimize(output.layers);
  }
}

#if TESSIVO_HAVE_OPENCV
// The per-channel correction, one whole-plane OpenCV call per step:
// N = 1 - X, M = N > t, G = exp(c2 (0.5 - blur(N))), O = M X^G + (1 - M) X.
// With `reuse` its planes are allocated once and reused from frame to frame
// (OpenCV keeps a matrix of unchanged size), so no frame pays for fresh
// memory; without, every frame makes new ones, as code that declares its
// matrices per frame does.
void OpenCvCorrection(benchmark::State& state, Frame frame, float radius, bool reuse) {
  const KoImage input = InputImage(frame);
  std::vector<cv::Mat> planes;
  for (int c = 0; c < 3; ++c)
    planes.emplace_back(frame.height, frame.width, CV_32F, input.layers[c],
                        std::size_t(input.steps[c]));
  const int k = 2 * static_cast<int>(3.0f * radius) + 1;
  const double c2 = 2.0 * std::log(2.0);
  std::vector<cv::Mat> out(3), N(3), M(3), G(3), O(3), P(3);
  auto frameOnce = [&] {
    for (int c = 0; c < 3; ++c) {
      const cv::Mat& X = planes[c];
      cv::subtract(1.0, X, N[c]);
      cv::threshold(N[c], M[c], 0.0, 1.0, cv::THRESH_BINARY);
      cv::GaussianBlur(N[c], G[c], cv::Size(k, k), radius, radius, cv::BORDER_REPLICATE);
      G[c].convertTo(G[c], CV_32F, -c2, 0.5 * c2);
      cv::exp(G[c], G[c]);
      cv::log(X, O[c]);
      cv::multiply(O[c], G[c], O[c]);
      cv::exp(O[c], O[c]);
      cv::multiply(O[c], M[c], O[c]);
      cv::subtract(1.0, M[c], P[c]);
      cv::multiply(P[c], X, P[c]);
      cv::add(O[c], P[c], out[c]);
    }
  };
  frameOnce();  // allocates the planes
  for (auto _ : state) {
    if (!reuse)
      for (std::vector<cv::Mat>* planes : {&out, &N, &M, &G, &O, &P})
        for (cv::Mat& plane : *planes) plane.release();
    frameOnce();
    benchmark::DoNotOptimize(out.data());
  }
}
#endif

template <class Fn, class... Args>
void Register(const std::string& name, Fn fn, Args... args) {
  benchmark::RegisterBenchmark(name.c_str(), fn, args...)
      ->Unit(benchmark::kMillisecond)
      ->UseRealTime()
      ->MeasureProcessCPUTime();
}

}  // namespace

int main(int argc, char** argv) {
  bench::Prepare();
  for (const Frame& frame : kFrames)
    for (float radius : kRadii) {
      const std::string tail = "/radius:" + std::to_string(int(radius));
      for (PF_PixelFormat format :
           {PF_PixelFormat_ARGB32, PF_PixelFormat_ARGB64, PF_PixelFormat_ARGB128})
        for (bool lum : {false, true})
          Register(std::string("Render/") + DepthName(format) + "/" + frame.Name() +
                       (lum ? "/luminosity" : "/channel") + tail + "/ours",
                   Render, format, frame, lum, radius);
      for (bool lum : {false, true})
        Register("Correction/" + frame.Name() + (lum ? "/luminosity" : "/channel") + tail + "/ours",
                 Correction, frame, lum, radius);
#if TESSIVO_HAVE_OPENCV
      Register("Correction/" + frame.Name() + "/channel" + tail + "/opencv", OpenCvCorrection,
               frame, radius, true);
      Register("Correction/" + frame.Name() + "/channel" + tail + "/opencv-fresh", OpenCvCorrection,
               frame, radius, false);
#endif
    }
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
