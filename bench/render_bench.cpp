// Whole frames from host pixels to host pixels, one thread, on 1920 x 1080
// and 3840 x 2160 frames of each depth, per channel and on the luminance:
//
//   Render/<depth>/<W>x<H>/<mode>/radius:<r>/ours    the render, through the
//       effect's entry point and the stand-in host
//   Render/.../opencv   the same job composed of OpenCV calls: the host's
//       interleaved pixels to unit-range float planes, the correction, the
//       scaling back, clamp and mix, and the pixels back into a host buffer
//       of the same layout with the input's alpha
//   Floor/<depth>/<W>x<H>/<mode>   the floor line: for each whole-plane
//       operation of the render, in its order, a plain streaming pass over
//       the bytes it reads and writes
//   Steps/<depth>/3840x2160/<mode>/radius:<r>   frames replayed operation
//       by operation on preallocated images, each operation timed, then a
//       plain streaming pass over the same bytes timed for each
//
// Every side keeps its buffers from frame to frame: ours its host and worlds
// (and the planes the allocator keeps), the OpenCV side its matrices. The
// render's counters give the allocator's peak during one frame; the OpenCV
// side's give how far its output lies from ours (it must agree, or the
// benchmark fails); the steps' give milliseconds in the median of three
// frames, "t<NN> <step>" for the operation and "f<NN> <step>" for its floor.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "AEGP_SuiteHandler.h"
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
using tessivo_host::World;
using tessivo_host::WorldSpec;

struct Frame {
  int width, height;
  std::string Name() const { return std::to_string(width) + "x" + std::to_string(height); }
};
const Frame kFrames[] = {{1920, 1080}, {3840, 2160}};
const Frame kStepFrame = {3840, 2160};
constexpr int kStepFrames = 3;  // per repetition, of which the median counts
const float kRadii[] = {2.0f, 20.0f};
const PF_PixelFormat kFormats[] = {PF_PixelFormat_ARGB32, PF_PixelFormat_ARGB64,
                                   PF_PixelFormat_ARGB128};
constexpr float kThreshold = 0.0f;  // the parameter's default
constexpr float kIntensity = 0.5f;

struct Config {
  PF_PixelFormat format;
  Frame frame;
  bool luminosity;
  float radius;
};

const char* DepthName(PF_PixelFormat format) {
  return format == PF_PixelFormat_ARGB32   ? "8bit"
         : format == PF_PixelFormat_ARGB64 ? "16bit"
                                           : "float";
}

// <family>/<depth>/<W>x<H>/<mode>[/radius:<r>]
std::string Name(const char* family, const Config& c, bool radius = true) {
  return std::string(family) + "/" + DepthName(c.format) + "/" + c.frame.Name() +
         (c.luminosity ? "/luminosity" : "/channel") +
         (radius ? "/radius:" + std::to_string(static_cast<int>(c.radius)) : "");
}

// The channel maximum the render divides by.
float White(PF_PixelFormat format) {
  return format == PF_PixelFormat_ARGB64    ? 32768.0f
         : format == PF_PixelFormat_ARGB128 ? 1.0f
                                            : 255.0f;
}

// A photograph-like value in [0, 1] for channel c at (x, y): smooth shading
// with grain, never exactly 0.
float Sample(int c, int x, int y, int width, int height, std::mt19937& rng) {
  std::uniform_real_distribution<float> grain(0.0f, 0.08f);
  const float shade =
      0.5f + 0.4f * std::sin(3.0f * x / width + 2.0f * c) * std::cos(2.0f * y / height - c);
  return std::fmin(1.0f, 0.01f + shade + grain(rng));
}

template <class Pixel>
void FillInput(World& world, float white) {
  std::mt19937 rng(7);
  using Channel = decltype(Pixel::red);
  const int w = world.Width(), h = world.Height();
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      Pixel p;
      p.alpha = static_cast<Channel>(white * (0.25f + 0.5f * x / w));
      p.red = static_cast<Channel>(Sample(0, x, y, w, h, rng) * white);
      p.green = static_cast<Channel>(Sample(1, x, y, w, h, rng) * white);
      p.blue = static_cast<Channel>(Sample(2, x, y, w, h, rng) * white);
      world.Set(x, y, p);
    }
}

// The host of each depth and frame size, its input filled once and kept for
// the whole run: filling a frame takes longer than rendering it. At namespace
// scope, so that it outlives the fixtures (function statics) that use it.
std::map<std::pair<PF_PixelFormat, int>, std::unique_ptr<StandInHost>> gHosts;

StandInHost& HostFor(PF_PixelFormat format, Frame frame) {
  std::unique_ptr<StandInHost>& host = gHosts[{format, frame.width}];
  if (!host) {
    host = std::make_unique<StandInHost>(TESSIVO_MODULE_PATH);
    if (host->GlobalSetup() || host->ParamsSetup()) throw std::runtime_error("host set-up failed");
    host->SetInputWorld(WorldSpec{format, frame.width, frame.height, {}});
    if (format == PF_PixelFormat_ARGB32) FillInput<PF_Pixel8>(host->Input(), 255.0f);
    if (format == PF_PixelFormat_ARGB64) FillInput<PF_Pixel16>(host->Input(), 32768.0f);
    if (format == PF_PixelFormat_ARGB128) FillInput<PF_PixelFloat>(host->Input(), 1.0f);
  }
  return *host;
}

StandInHost& HostFor(const Config& c) {
  StandInHost& host = HostFor(c.format, c.frame);
  host.SetParam("Tonal Radius", c.radius);
  host.SetParam("Tonal Threshold", kThreshold);
  host.SetParam("Intensity Level", 100.0 * kIntensity);
  host.SetParam("Luminosity Mode", c.luminosity ? 1 : 0);
  return host;
}

// The fixture of the benchmark that ran last, kept while the same benchmark
// runs again (the library calls a benchmark several times per repetition):
// one frame's worth of buffers is set up per repetition, not per call.
template <class T>
class LastFixture {
 public:
  template <class Make>
  T& Get(const std::string& key, Make make) {
    if (key != key_ || !fixture_) {
      fixture_.reset();
      fixture_ = make();
      key_ = key;
    }
    return *fixture_;
  }

 private:
  std::string key_;
  std::unique_ptr<T> fixture_;
};

void Ours(benchmark::State& state, Config c) {
  StandInHost& host = HostFor(c);
  // The other benchmarks' fixtures stay allocated: the peaks are counted
  // above what is live before the frame.
  IppAllocLedger before, ledger;
  ippTestResetLedger();
  ippTestGetLedger(&before);
  if (host.RenderFrame() != PF_Err_NONE) return state.SkipWithError("render failed");
  ippTestGetLedger(&ledger);
  for (auto _ : state)
    if (host.RenderFrame() != PF_Err_NONE) return state.SkipWithError("render failed");
  state.counters["peakPlanes"] = double(ledger.peakPlanes - before.livePlanes);
  state.counters["peakBuffers"] = double(ledger.peakBuffers - before.liveBuffers);
  state.counters["peakMB"] = double(ledger.peakBytes - before.liveBytes) / (1 << 20);
}

// ---------------------------------------------------------------------------
// Floors: plain streaming passes over the bytes an operation reads and writes

std::size_t PlaneBytes(const KoImage& image, int c) {
  return std::size_t(image.steps[c]) * std::size_t(image.size.height);
}

// Each floor returns the number of whole-plane passes it stands for: the
// planes it writes, or that a conversion fills or empties.

// Plane c of d from plane c of a, reading plane c of b too, for each of d's planes.
int StreamImage(KoImage& d, const KoImage& a, const KoImage& b) {
  for (int c = 0; c < d.numLayers; ++c)
    bench::Stream(d.layers[c], a.layers[c], b.layers[c], PlaneBytes(d, c));
  return d.numLayers;
}

// Rows as 32-bit words.
std::uint32_t* Row(const World& world, int y) {
  return reinterpret_cast<std::uint32_t*>(static_cast<char*>(world.Effect()->data) +
                                          std::ptrdiff_t(y) * world.PitchBytes());
}

std::uint32_t* Row(const KoImage& image, int c, int y) {
  return reinterpret_cast<std::uint32_t*>(reinterpret_cast<char*>(image.layers[c]) +
                                          std::ptrdiff_t(y) * image.steps[c]);
}

// The input conversion's bytes: every host pixel read (`words` 32-bit words
// of alpha, red, green, blue), three planes written.
BENCH_WIDEST void StreamFromHostRow(const std::uint32_t* in, int words, std::uint32_t* r,
                                    std::uint32_t* g, std::uint32_t* b, int width) {
  auto row = [&](auto wordsConstant) {
    constexpr int w = decltype(wordsConstant)::value;
    for (int x = 0; x < width; ++x) {
      r[x] = in[x * w + w / 4];
      g[x] = in[x * w + w / 2];
      b[x] = in[x * w + w - 1];
    }
  };
  words == 1   ? row(std::integral_constant<int, 1>())
  : words == 2 ? row(std::integral_constant<int, 2>())
               : row(std::integral_constant<int, 4>());
}

int StreamFromHost(const World& host, KoImage& image) {
  const int words = int(tessivo_host::PixelSize(host.Format()) / 4);
  for (int y = 0; y < image.size.height; ++y)
    StreamFromHostRow(Row(host, y), words, Row(image, 0, y), Row(image, 1, y), Row(image, 2, y),
                      image.size.width);
  return 3;
}

// The output conversion's bytes: three planes and the input pixels read, the
// output pixels written.
BENCH_WIDEST void StreamToHostRow(const std::uint32_t* r, const std::uint32_t* g,
                                  const std::uint32_t* b, const std::uint32_t* in, int words,
                                  std::uint32_t* out, int width) {
  const std::uint32_t drop = bench::Opaque(0u);
  auto row = [&](auto wordsConstant) {
    constexpr int w = decltype(wordsConstant)::value;
    for (int x = 0; x < width; ++x) {
      const std::uint32_t planes = (r[x] | g[x] | b[x]) & drop;
      for (int j = 0; j < w; ++j) out[x * w + j] = in[x * w + j] | planes;
    }
  };
  words == 1   ? row(std::integral_constant<int, 1>())
  : words == 2 ? row(std::integral_constant<int, 2>())
               : row(std::integral_constant<int, 4>());
}

int StreamToHost(const KoImage& image, const World& input, World& output) {
  const int words = int(tessivo_host::PixelSize(input.Format()) / 4);
  for (int y = 0; y < image.size.height; ++y)
    StreamToHostRow(Row(image, 0, y), Row(image, 1, y), Row(image, 2, y), Row(input, y), words,
                    Row(output, y), image.size.width);
  return 3;
}

// ---------------------------------------------------------------------------
// One frame, operation by operation

struct Step {
  std::string name;
  std::function<void()> run;   // the render's own operation
  std::function<int()> floor;  // plain streaming passes over the same bytes; gives their count
};

// The render's sequence on images allocated once; the input image comes
// from the input conversion each frame, as in the render. The conversions
// reach the host through the effect's context variables, set here as the
// render sets them.
class Replay {
 public:
  explicit Replay(const Config& c)
      : c_(c),
        host_(HostFor(c)),
        suites_(host_.InData().pica_basicP),
        size_{c.frame.width, c.frame.height} {
    c.luminosity ? Luminosity() : Channels();
    Enter();
    // One frame and its floors, so that no timed run meets fresh pages; the
    // input image stays for the floors.
    for (const Step& step : steps_) step.run();
    for (const Step& step : steps_) step.floor();
  }
  const std::vector<Step>& Steps() const { return steps_; }
  // Points the effect's context at this replay's host, as the render does,
  // and makes that host the one that answers the callbacks (the host that
  // last had a command): other benchmarks move both.
  void Enter() {
    host_.About();
    gIn_data = &host_.InData();
    gpInputWorld = host_.Input().Effect();
    gpOutputWorld = host_.Output().Effect();
    gpSuites = &suites_;
  }
  // The render frees its input image at the end of every frame, and the
  // input conversion makes the next: freed here, untimed, before a frame.
  void FreeInput() { I_.reset(); }

 private:
  KoImage& I() { return *I_; }
  void Add(const char* name, std::function<void()> run, std::function<int()> floor) {
    steps_.push_back({name, std::move(run), std::move(floor)});
  }
  // An operation in place on x, reading y when given.
  void AddInPlace(const char* name, KoImage& x, std::function<void()> run, KoImage* y = nullptr) {
    Add(name, std::move(run), [&x, y] { return StreamImage(x, x, y ? *y : x); });
  }
  void AddInPlaceOnInput(const char* name, std::function<void()> run) {
    Add(name, std::move(run), [this] { return StreamImage(I(), I(), I()); });
  }

  void FromHost() {
    Add(
        "from host", [this] { I_.reset(new KoImage(ConvertFromAE(size_, c_.format))); },
        [this] { return StreamFromHost(host_.Input(), I()); });
    if (White(c_.format) != 1.0f)
      AddInPlaceOnInput("input / white", [this] { I() /= White(c_.format); });
  }

  // G = exp(c2 (0.5 - blur N)) and M, from N; then O = M X^G on O = ln X.
  void Exponent(KoImage& N, KoImage& M, KoImage& G) {
    AddInPlace("N += 1", N, [&N] { N += 1.0f; });
    Add(
        "M = mask of N", [&M, &N] { M = N.Threshold(kThreshold, 0.0f, kThreshold, 1.0f); },
        [&M, &N] { return StreamImage(M, N, N); });
    Add(
        "G = blur of N", [&G, &N, this] { G = N.Blurred_R(c_.radius); },
        [&G, &N] { return StreamImage(G, N, N); });
    AddInPlace("G *= -1", G, [&G] { G *= -1.0f; });
    AddInPlace("G += 0.5", G, [&G] { G += 0.5f; });
    AddInPlace("G *= c2", G, [&G] { G *= static_cast<float>(2.0 * std::log(2.0)); });
    AddInPlace("G = exp G", G, [&G] { G.Exp_I(); });
  }
  void MaskedPower(KoImage& O, KoImage& G, KoImage& M) {
    AddInPlace(
        "O *= G", O, [&O, &G] { O *= G; }, &G);
    AddInPlace("O = exp O", O, [&O] { O.Exp_I(); });
    AddInPlace(
        "O *= M", O, [&O, &M] { O *= M; }, &M);
  }

  void Channels() {
    for (KoImage* image : {&N_, &M_, &G_, &O_, &P_}) image->Init(KoImage(size_, 3));
    FromHost();
    Add(
        "N = -I", [this] { N_ = -I(); }, [this] { return StreamImage(N_, I(), I()); });
    Exponent(N_, M_, G_);
    Add(
        "O = ln I", [this] { O_ = I().Log(); }, [this] { return StreamImage(O_, I(), I()); });
    MaskedPower(O_, G_, M_);
    Add(
        "P = -M", [this] { P_ = -M_; }, [this] { return StreamImage(P_, M_, M_); });
    AddInPlace("P += 1", P_, [this] { P_ += 1.0f; });
    Add(
        "P *= I", [this] { P_ *= I(); }, [this] { return StreamImage(P_, P_, I()); });
    AddInPlace(
        "O += P", O_, [this] { O_ += P_; }, &P_);
    ToHost(O_);
  }

  void Luminosity() {
    for (KoImage* image : {&YUV_, &O_}) image->Init(KoImage(size_, 3));
    for (KoImage* image : {&N_, &M_, &G_, &P_, &O1_}) image->Init(KoImage(size_, 1));
    Y_.reset(new KoImage(YUV_.Layer1()));
    KoImage& Y = *Y_;
    FromHost();
    Add(
        "YUV = twist of I", [this] { YUV_ = I().ColorTwist_R(&RGBtoYUV); },
        [this] { return StreamImage(YUV_, I(), I()); });
    Add(
        "N = -Y", [this, &Y] { N_ = -Y; }, [this, &Y] { return StreamImage(N_, Y, Y); });
    Exponent(N_, M_, G_);
    Add(
        "O = ln Y", [this, &Y] { O1_ = Y.Log(); }, [this, &Y] { return StreamImage(O1_, Y, Y); });
    MaskedPower(O1_, G_, M_);
    Add(
        "P = -M", [this] { P_ = -M_; }, [this] { return StreamImage(P_, M_, M_); });
    AddInPlace("P += 1", P_, [this] { P_ += 1.0f; });
    Add(
        "P *= Y", [this, &Y] { P_ *= Y; }, [this, &Y] { return StreamImage(P_, P_, Y); });
    Add(
        "Y = O + P", [this, &Y] { Y = O1_ + P_; }, [this, &Y] { return StreamImage(Y, O1_, P_); });
    Add(
        "O = twist of YUV", [this] { O_ = YUV_.ColorTwist_R(&YUVtoRGB); },
        [this] { return StreamImage(O_, YUV_, YUV_); });
    ToHost(O_);
  }

  void ToHost(KoImage& O) {
    const float white = White(c_.format);
    if (white != 1.0f) {
      AddInPlaceOnInput("input * white", [this, white] { I() *= white; });
      AddInPlace("output * white", O, [&O, white] { O *= white; });
    }
    AddInPlace("clamp", O, [&O, white] { O.Threshold_I(white); });
    AddInPlace("output * intensity", O, [&O] { O *= kIntensity; });
    AddInPlaceOnInput("input * (1 - intensity)", [this] { I() *= 1.0f - kIntensity; });
    Add(
        "output += input", [this, &O] { O += I(); }, [this, &O] { return StreamImage(O, O, I()); });
    Add(
        "to host", [this, &O] { ConvertToAE(O, c_.format); },
        [this, &O] { return StreamToHost(O, host_.Input(), host_.Output()); });
  }

  Config c_;
  StandInHost& host_;
  AEGP_SuiteHandler suites_;
  IppiSize size_;
  std::unique_ptr<KoImage> I_;
  KoImage N_, M_, G_, O_, P_, YUV_, O1_;
  std::unique_ptr<KoImage> Y_;  // the view of plane 0 of YUV_
  std::vector<Step> steps_;
};

void Steps(benchmark::State& state, Config c) {
  static LastFixture<Replay> last;
  Replay& replay = last.Get(Name("Steps", c), [&] { return std::make_unique<Replay>(c); });
  const std::vector<Step>& steps = replay.Steps();
  replay.Enter();
  std::vector<std::vector<double>> ours(steps.size()), floors(steps.size());
  auto ms = [](const std::function<void()>& fn) {
    const auto start = std::chrono::steady_clock::now();
    fn();
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
        .count();
  };
  for (auto _ : state) {
    replay.FreeInput();
    for (std::size_t i = 0; i < steps.size(); ++i) ours[i].push_back(ms(steps[i].run));
    // In the same order, so that each floor meets the caches its operation met.
    for (std::size_t i = 0; i < steps.size(); ++i) floors[i].push_back(ms(steps[i].floor));
  }
  // The median frame of the run, step by step: one stall of the machine
  // does not move it.
  auto median = [](std::vector<double> v) {
    std::nth_element(v.begin(), v.begin() + v.size() / 2, v.end());
    return v[v.size() / 2];
  };
  for (std::size_t i = 0; i < steps.size(); ++i) {
    const std::string key = (i < 10 ? "0" : "") + std::to_string(i) + " " + steps[i].name;
    state.counters["t" + key] = median(ours[i]);
    state.counters["f" + key] = median(floors[i]);
  }
}

// The floor line of a frame: the floor of every operation of the render, in
// its order, on the same images.
void Floor(benchmark::State& state, Config c) {
  static LastFixture<Replay> last;
  Replay& replay = last.Get(Name("Floor", c, false), [&] { return std::make_unique<Replay>(c); });
  int passes = 0;
  for (auto _ : state) {
    passes = 0;
    for (const Step& step : replay.Steps()) passes += step.floor();
  }
  state.counters["passes"] = passes;
}

// ---------------------------------------------------------------------------
// The same whole job in OpenCV

#if TESSIVO_HAVE_OPENCV
cv::Mat HostMat(World& world) {
  const int type = world.Format() == PF_PixelFormat_ARGB32   ? CV_8UC4
                   : world.Format() == PF_PixelFormat_ARGB64 ? CV_16UC4
                                                             : CV_32FC4;
  return cv::Mat(world.Height(), world.Width(), type, world.Effect()->data,
                 std::size_t(world.PitchBytes()));
}

// Host pixels are alpha, red, green, blue.
const int kColoursFromHost[] = {1, 0, 2, 1, 3, 2};
// Alpha from the input (channel 0 of the sources), red, green and blue from
// the three channels after it, into the output's four.
const int kPixelsToHost[] = {0, 0, 4, 1, 5, 2, 6, 3};

// Per channel the colours live in three planes; on the luminance in one
// three-channel matrix, as cv::transform wants them.
class OpenCvRender {
 public:
  OpenCvRender(const Config& c, World& input)
      : c_(c),
        output_(WorldSpec{c.format, c.frame.width, c.frame.height, {}}),
        in_(HostMat(input)),
        out_(HostMat(output_)),
        white_(White(c.format)),
        ksize_(2 * static_cast<int>(3.0f * c.radius) + 1,
               2 * static_cast<int>(3.0f * c.radius) + 1),
        toYuv_(3, 4, CV_32F, const_cast<float*>(&RGBtoYUV[0][0])),
        fromYuv_(3, 4, CV_32F, const_cast<float*>(&YUVtoRGB[0][0])) {
    // mixChannels writes only into matrices already allocated.
    const int mats = c.luminosity ? 1 : 3, channels = 3 / mats;
    for (int i = 0; i < mats; ++i) {
      if (white_ != 1.0f)
        native_.emplace_back(in_.rows, in_.cols, CV_MAKETYPE(in_.depth(), channels));
      unit_.emplace_back(in_.rows, in_.cols, CV_MAKETYPE(CV_32F, channels));
    }
    corrected_.resize(mats);
    stored_.resize(mats);
    Render();  // allocates the other matrices
  }

  World& Output() { return output_; }

  void Render() {
    // The host's colours as unit-range floats; alpha stays behind.
    if (white_ != 1.0f) {
      cv::mixChannels(&in_, 1, native_.data(), native_.size(), kColoursFromHost, 3);
      for (std::size_t i = 0; i < unit_.size(); ++i)
        native_[i].convertTo(unit_[i], CV_32F, 1.0 / white_);
    } else {
      cv::mixChannels(&in_, 1, unit_.data(), unit_.size(), kColoursFromHost, 3);
    }
    if (c_.luminosity) {
      cv::transform(unit_[0], yuv_, toYuv_);
      cv::extractChannel(yuv_, y_, 0);
      Correct(y_, correctedY_);
      cv::insertChannel(correctedY_, yuv_, 0);
      cv::transform(yuv_, corrected_[0], fromYuv_);
    } else {
      for (int i = 0; i < 3; ++i) Correct(unit_[i], corrected_[i]);
    }
    // Clamped to [0, 1] and mixed with the input by the intensity, both
    // brought back to the channel's range on the way. OpenCV stores integers
    // rounded to nearest: rounding v - 0.5 + d truncates v, but for v within
    // d below an integer; d = 2^-6 is several float steps even near 32768,
    // so that no integer v rounds down.
    const double truncate = white_ != 1.0f ? -0.5 + 1.0 / 64 : 0.0;
    std::vector<cv::Mat> sources{in_};
    for (std::size_t i = 0; i < corrected_.size(); ++i) {
      cv::Mat& o = corrected_[i];
      cv::min(o, 1.0, o);
      cv::max(o, 0.0, o);
      cv::addWeighted(o, kIntensity * white_, unit_[i], (1.0f - kIntensity) * white_, truncate, o);
      if (white_ != 1.0f) {
        o.convertTo(stored_[i], in_.depth());
        sources.push_back(stored_[i]);
      } else {
        sources.push_back(o);
      }
    }
    cv::mixChannels(sources.data(), sources.size(), &out_, 1, kPixelsToHost, 4);
  }

 private:
  // O = X^G where 1 - X > threshold, else X, with G = 2^(1 - 2 blur(1 - X)).
  void Correct(const cv::Mat& x, cv::Mat& o) {
    x.convertTo(n_, CV_32F, -1.0, 1.0);
    cv::compare(n_, double(kThreshold), keep_, cv::CMP_LE);
    cv::GaussianBlur(n_, g_, ksize_, c_.radius, c_.radius, cv::BORDER_REPLICATE);
    g_.convertTo(g_, CV_32F, -c2_, 0.5 * c2_);
    cv::exp(g_, g_);
    cv::log(x, o);
    cv::multiply(o, g_, o);
    cv::exp(o, o);
    x.copyTo(o, keep_);
  }

  Config c_;
  World output_;
  cv::Mat in_, out_;
  float white_;
  cv::Size ksize_;
  cv::Mat toYuv_, fromYuv_;
  const double c2_ = 2.0 * std::log(2.0);
  std::vector<cv::Mat> native_, unit_, corrected_, stored_;
  cv::Mat yuv_, y_, correctedY_, n_, keep_, g_;
};

// The largest difference of a colour channel between two outputs, in units
// of the last place for integers and relative for floats; -1 when an alpha
// differs.
template <class Pixel>
double Difference(const World& a, const World& b) {
  double worst = 0.0;
  for (int y = 0; y < a.Height(); ++y)
    for (int x = 0; x < a.Width(); ++x) {
      const Pixel p = a.Get<Pixel>(x, y), q = b.Get<Pixel>(x, y);
      if (std::memcmp(&p.alpha, &q.alpha, sizeof p.alpha) != 0) return -1.0;
      for (auto [u, v] :
           {std::pair<double, double>{p.red, q.red}, {p.green, q.green}, {p.blue, q.blue}}) {
        double d = std::fabs(u - v);
        if (std::is_floating_point_v<decltype(Pixel::red)>)
          d /= std::fmax(1e-6, std::fmax(std::fabs(u), std::fabs(v)));
        if (!(d <= worst)) worst = d;  // NaN wins
      }
    }
  return worst;
}

double Difference(const World& a, const World& b) {
  switch (a.Format()) {
    case PF_PixelFormat_ARGB32:
      return Difference<PF_Pixel8>(a, b);
    case PF_PixelFormat_ARGB64:
      return Difference<PF_Pixel16>(a, b);
    default:
      return Difference<PF_PixelFloat>(a, b);
  }
}

void OpenCv(benchmark::State& state, Config c) {
  static LastFixture<OpenCvRender> last;
  static std::map<std::string, double> differences;  // checked once per configuration
  StandInHost& host = HostFor(c);
  const std::string name = Name("Render", c);
  OpenCvRender& peer =
      last.Get(name, [&] { return std::make_unique<OpenCvRender>(c, host.Input()); });
  if (!differences.count(name)) {
    if (host.RenderFrame() != PF_Err_NONE) return state.SkipWithError("our render failed");
    peer.Render();
    differences[name] = Difference(host.Output(), peer.Output());
  }
  const double difference = differences[name];
  const double tolerance = c.format == PF_PixelFormat_ARGB128 ? 1e-4 : 2.0;
  if (!(difference >= 0.0 && difference <= tolerance))
    return state.SkipWithError(
        ("OpenCV's frame differs from ours by " + std::to_string(difference)).c_str());
  for (auto _ : state) peer.Render();
  state.counters["difference"] = difference;
}
#endif

template <class Fn, class... Args>
benchmark::internal::Benchmark* Register(const std::string& name, Fn fn, Args... args) {
  return benchmark::RegisterBenchmark(name.c_str(), fn, args...)
      ->Unit(benchmark::kMillisecond)
      ->UseRealTime()
      ->MeasureProcessCPUTime();
}

}  // namespace

int main(int argc, char** argv) {
  bench::Prepare();
  for (const Frame& frame : kFrames)
    for (float radius : kRadii)
      for (PF_PixelFormat format : kFormats)
        for (bool luminosity : {false, true}) {
          const Config c{format, frame, luminosity, radius};
          const std::string name = Name("Render", c);
          Register(name + "/ours", Ours, c);
#if TESSIVO_HAVE_OPENCV
          Register(name + "/opencv", OpenCv, c);
#endif
          if (radius == kRadii[0]) Register(Name("Floor", c, false), Floor, c);
          if (frame.width == kStepFrame.width)
            Register(Name("Steps", c), Steps, c)->Iterations(kStepFrames);
        }
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
