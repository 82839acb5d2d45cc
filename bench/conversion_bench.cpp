// The host pixel conversions on a 3840 x 2160 frame, each beside its floor:
// a plain pass that reads and writes the same bytes. Ends with a table of
// median times and their ratios to the floor.
//
//   In/<depth>/conversion     ConvertFromAE: the input world into a new image
//   Out/<depth>/conversion    ConvertToAE: image and input alpha into the output world
//   .../plain-stores          the conversion's row kernels with plain stores
//   .../floor                 the pass with plain stores (into a new image for In)
//   .../stream-floor          the pass with streaming stores
//
// By default each runs 7 times, all repetitions interleaved in random
// order, so load from other processes spreads over both sides of a ratio;
// --benchmark_repetitions=N on the command line replaces these defaults.
#include <benchmark/benchmark.h>
#include <emmintrin.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "StandInHost.h"
#include "TessivoEffect.h"
#include "bench_support.h"
#include "pixel_rows.h"

namespace {

using tessivo_host::StandInHost;
using tessivo_host::WorldSpec;

struct Depth {
  bool in;  // ConvertFromAE, else ConvertToAE
  const char* name;
  PF_PixelFormat format;
  std::size_t pixelBytes;
  float white;  // plane values written out lie in [0, white)
  std::string Name() const { return std::string(in ? "In/" : "Out/") + name; }
};
const Depth kDepths[] = {{true, "8bit", PF_PixelFormat_ARGB32, 4, 256.0f},
                         {false, "8bit", PF_PixelFormat_ARGB32, 4, 256.0f},
                         {true, "16bit", PF_PixelFormat_ARGB64, 8, 32769.0f},
                         {false, "16bit", PF_PixelFormat_ARGB64, 8, 32769.0f},
                         {true, "float", PF_PixelFormat_ARGB128, 16, 1.0f},
                         {false, "float", PF_PixelFormat_ARGB128, 16, 1.0f}};

// One host serves every benchmark: the stand-in host answers the
// conversions' callbacks for the worlds of its latest instance only.
StandInHost& Host() {
  static StandInHost host(TESSIVO_MODULE_PATH);
  return host;
}

// Input and output worlds of one depth in the host, the conversions'
// context set to them, and an image of their size to write out. Contents
// do not change the conversions' speed; they only need to be in range.
struct Setting {
  explicit Setting(const Depth& depth) : suites(Host().InData().pica_basicP) {
    StandInHost& host = Host();
    host.SetInputWorld(WorldSpec{depth.format, bench::kWidth, bench::kHeight, {}});
    host.SetOutputWorld(WorldSpec{depth.format, bench::kWidth, bench::kHeight, {}});
    tessivo_host::World& in = host.Input();
    auto* bytes = static_cast<unsigned char*>(in.Effect()->data);
    if (depth.format == PF_PixelFormat_ARGB128) {
      for (std::size_t i = 0; i < in.ByteCount() / 4; ++i) {
        const float f = float(i * 7919 % 1000) / 999.0f;
        std::memcpy(bytes + 4 * i, &f, 4);
      }
    } else {
      for (std::size_t i = 0; i < in.ByteCount(); ++i)
        bytes[i] = static_cast<unsigned char>(i * 131);
    }
    for (int c = 0; c < 3; ++c)
      for (int y = 0; y < bench::kHeight; ++y) {
        float* row = image.layers[c] + std::ptrdiff_t(y) * (image.steps[0] / 4);
        for (int x = 0; x < bench::kWidth; ++x)
          row[x] = depth.white * float((x * 7 + y * 13 + c) % 1000) / 1000.0f;
      }
    gIn_data = &host.InData();
    gpSuites = &suites;
    gpInputWorld = host.Input().Effect();
    gpOutputWorld = host.Output().Effect();
  }

  AEGP_SuiteHandler suites;
  KoImage image{{bench::kWidth, bench::kHeight}, 3};
};

// The floors: one pass over a row that reads and writes the conversion's
// bytes, with plain stores or with streaming (non-temporal) ones, as the
// conversion does: the world row as one stream of Q words a pixel, each
// plane row as another. Each 16 pixels, the 16 * Q words of the world and
// the 16 of each plane are combined with exclusive ors, a whole 64-byte
// line of each stream written at a time: streaming stores that leave lines
// part written while other lines are written measured several times
// slower. No stream written is all zeros, which this processor writes
// faster than other data.
static_assert(bench::kWidth % 16 == 0, "whole lines");
using Words4 = __m128i;
Words4 Load4(const std::uint32_t* p) {
  return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}
Words4 Xor(Words4 a, Words4 b) { return _mm_xor_si128(a, b); }

// The 16 words at dst from word(i), i = 0, 4, 8, 12.
template <bool kStream, class Word>
void Line(std::uint32_t* dst, Word word) {
  for (std::size_t i = 0; i < 16; i += 4) {
    auto* p = reinterpret_cast<__m128i*>(dst + i);
    if (kStream)
      _mm_stream_si128(p, word(i));  // p: 16-byte aligned
    else
      _mm_storeu_si128(p, word(i));
  }
}

template <int Q, bool kStream>
void FloorInRow(const std::uint32_t* in, std::uint32_t* r, std::uint32_t* g, std::uint32_t* b,
                std::size_t width) {
  const Words4 ones = _mm_set1_epi32(-1);
  for (std::size_t x = 0; x < width; x += 16, in += 16 * Q) {
    // Line k of the world's 16 pixels; the lines beyond Q are folded into plane 0.
    auto line = [&](int k, std::size_t i) { return k < Q ? Load4(in + 16 * k + i) : ones; };
    Line<kStream>(r + x,
                  [&](std::size_t i) { return Xor(line(0, i), Q == 4 ? line(3, i) : ones); });
    Line<kStream>(g + x, [&](std::size_t i) { return Xor(line(1, i), line(0, i)); });
    Line<kStream>(b + x, [&](std::size_t i) { return Xor(line(2, i), line(0, i)); });
  }
}

template <int Q, bool kStream>
void FloorOutRow(const std::uint32_t* in, const std::uint32_t* r, const std::uint32_t* g,
                 const std::uint32_t* b, std::uint32_t* out, std::size_t width) {
  for (std::size_t x = 0; x < width; x += 16, in += 16 * Q, out += 16 * Q) {
    const std::uint32_t* planes[3] = {r + x, g + x, b + x};
    for (int k = 0; k < Q; ++k)
      Line<kStream>(out + 16 * k, [&](std::size_t i) {
        Words4 v = Load4(in + 16 * k + i);
        for (int c = k; c < 3; c += Q) v = Xor(v, Load4(planes[c] + i));
        return v;
      });
  }
}

const std::uint32_t* Words(const PF_EffectWorld* world, int y) {
  return reinterpret_cast<const std::uint32_t*>(static_cast<const unsigned char*>(world->data) +
                                                std::ptrdiff_t(y) * world->rowbytes);
}

std::uint32_t* PlaneWords(const KoImage& image, int c, int y) {
  return reinterpret_cast<std::uint32_t*>(image.layers[c] +
                                          std::ptrdiff_t(y) * (image.steps[0] / 4));
}

template <int Q, bool kStream>
void FloorIn(const PF_EffectWorld* in, const KoImage& image) {
  for (int y = 0; y < image.size.height; ++y)
    FloorInRow<Q, kStream>(Words(in, y), PlaneWords(image, 0, y), PlaneWords(image, 1, y),
                           PlaneWords(image, 2, y), std::size_t(image.size.width));
  _mm_sfence();
}

template <int Q, bool kStream>
void FloorOut(const PF_EffectWorld* in, const KoImage& image, PF_EffectWorld* out) {
  for (int y = 0; y < image.size.height; ++y)
    FloorOutRow<Q, kStream>(Words(in, y), PlaneWords(image, 0, y), PlaneWords(image, 1, y),
                            PlaneWords(image, 2, y), const_cast<std::uint32_t*>(Words(out, y)),
                            std::size_t(image.size.width));
  _mm_sfence();
}

// Q: 32-bit words a pixel.
template <int Q, bool kStream>
void Floor(benchmark::State& state, const Depth* depth) {
  Setting s(*depth);
  const PF_EffectWorld* in = Host().Input().Effect();
  PF_EffectWorld* out = Host().Output().Effect();
  for (auto _ : state) {
    if (depth->in) {
      KoImage image({bench::kWidth, bench::kHeight}, 3);
      FloorIn<Q, kStream>(in, image);
      benchmark::DoNotOptimize(image.layers[0]);
    } else {
      FloorOut<Q, kStream>(in, s.image, out);
      benchmark::ClobberMemory();
    }
  }
}

void Conversion(benchmark::State& state, const Depth* depth) {
  Setting s(*depth);
  for (auto _ : state) {
    PF_Err err = PF_Err_NONE;
    if (depth->in) {
      KoImage image = ConvertFromAE({bench::kWidth, bench::kHeight}, depth->format, &err);
      benchmark::DoNotOptimize(image.layers[0]);
    } else {
      ConvertToAE(s.image, depth->format, &err);
      benchmark::ClobberMemory();
    }
    if (err) return state.SkipWithError("conversion refused");
  }
}

// The conversion's row kernels called as the conversion calls them, but
// with plain stores: what writing past the caches gains.
template <class Pixel>
void PlainStores(benchmark::State& state, const Depth* depth) {
  Setting s(*depth);
  const PF_EffectWorld* in = Host().Input().Effect();
  PF_EffectWorld* out = Host().Output().Effect();
  auto row = [](const PF_EffectWorld* w, int y) {
    return reinterpret_cast<Pixel*>(const_cast<std::uint32_t*>(Words(w, y)));
  };
  auto rows = [&](const KoImage& planes) {
    for (int y = 0; y < bench::kHeight; ++y) {
      float* p[3];
      for (int c = 0; c < 3; ++c) p[c] = reinterpret_cast<float*>(PlaneWords(planes, c, y));
      if (depth->in)
        pixel_rows::ReadRow(row(in, y), p[0], p[1], p[2], bench::kWidth, false);
      else
        pixel_rows::WriteRow(row(in, y), p[0], p[1], p[2], row(out, y), bench::kWidth, false);
    }
  };
  for (auto _ : state) {
    if (depth->in) {
      KoImage image({bench::kWidth, bench::kHeight}, 3);
      rows(image);
      benchmark::DoNotOptimize(image.layers[0]);
    } else {
      rows(s.image);
      benchmark::ClobberMemory();
    }
  }
}

// Keeps each benchmark's median time (ms) for the table at the end.
class Collector : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs)
      if (run.run_type == Run::RT_Aggregate && run.aggregate_name == "median" &&
          !run.error_occurred)
        medians[run.run_name.function_name] = run.GetAdjustedRealTime();
    ConsoleReporter::ReportRuns(runs);
  }

  std::map<std::string, double> medians;
};

template <int Q, class Pixel>
void Register(const Depth& depth) {
  const std::string name = depth.Name();
  for (auto [kind, fn] : {std::pair{"/conversion", Conversion},
                          {"/plain-stores", PlainStores<Pixel>},
                          {"/floor", Floor<Q, false>},
                          {"/stream-floor", Floor<Q, true>}})
    benchmark::RegisterBenchmark((name + kind).c_str(), fn, &depth)
        ->Unit(benchmark::kMillisecond)
        ->UseRealTime();
}

}  // namespace

int main(int argc, char** argv) {
  bench::Prepare();
  std::vector<char*> args(argv, argv + argc);
  const bool ownFlags = std::any_of(args.begin() + 1, args.end(), [](const char* a) {
    return std::strncmp(a, "--benchmark_repetitions", 23) == 0;
  });
  char reps[] = "--benchmark_repetitions=7";
  char interleave[] = "--benchmark_enable_random_interleaving=true";
  char aggregates[] = "--benchmark_display_aggregates_only=true";
  if (!ownFlags) args.insert(args.begin() + 1, {reps, interleave, aggregates});
  int count = static_cast<int>(args.size());

  if (Host().GlobalSetup() != PF_Err_NONE) return 1;
  for (const Depth& depth : kDepths) {
    if (depth.pixelBytes == 4) Register<1, PF_Pixel8>(depth);
    if (depth.pixelBytes == 8) Register<2, PF_Pixel16>(depth);
    if (depth.pixelBytes == 16) Register<4, PF_PixelFloat>(depth);
  }
  benchmark::Initialize(&count, args.data());
  Collector collector;
  benchmark::RunSpecifiedBenchmarks(&collector);
  benchmark::Shutdown();

  std::printf("\nconversions on %s; medians of the repetitions (ms); ratios of the conversion\n",
              ippTestTargetName(pixel_rows::ActiveTarget()));
  std::printf("%-10s %10s %12s %8s %13s %8s %13s\n", "", "conversion", "plain-stores", "floor",
              "stream-floor", "/ floor", "/ stream-floor");
  for (const Depth& depth : kDepths) {
    auto& m = collector.medians;
    const std::string name = depth.Name();
    const double conv = m[name + "/conversion"], plain = m[name + "/plain-stores"],
                 floor = m[name + "/floor"], stream = m[name + "/stream-floor"];
    if (conv > 0 && plain > 0 && floor > 0 && stream > 0)
      std::printf("%-10s %10.2f %12.2f %8.2f %13.2f %8.2f %13.2f\n", name.c_str(), conv, plain,
                  floor, stream, conv / floor, conv / stream);
  }
  return 0;
}
