// Worlds of every awkward shape and content rendered through the host:
// row layouts, degenerate and huge sizes, mismatched worlds, special float
// values. Each world's block is exactly its bytes, so an access outside it
// shows under the sanitizer build.
#include <climits>
#include <cmath>
#include <functional>
#include <limits>
#include <utility>

#include "reliability_support.h"

namespace reliability {
namespace {

using Params = std::vector<std::pair<const char*, double>>;

struct BufferCase {
  std::string name;
  WorldSpec in;
  std::optional<WorldSpec> out;  // unset: a world like the input
  PF_Err expected;
  std::function<void(World&)> content = {};       // beyond the pattern
  std::function<void(StandInHost&)> tamper = {};  // worlds as no host makes them
  Params params = {};
};

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr float kDenormal = 1e-40f;

// Bytes from the lowest address of the block to pixel (x, y).
std::size_t PixelOffset(const World& w, A_long x, A_long y) {
  const std::ptrdiff_t pitch = w.PitchBytes();
  const std::ptrdiff_t row0 = pitch < 0 ? -(w.Height() - 1) * pitch : 0;
  return static_cast<std::size_t>(
      row0 + y * pitch + x * static_cast<std::ptrdiff_t>(tessivo_host::PixelSize(w.Format())));
}

void SetParams(StandInHost& host, const Params& params) {
  for (const auto& p : params) host.SetParam(p.first, p.second);
}

void Fill(World& w, const std::function<void(World&)>& content) {
  w.FillBytes(0xCD);  // row padding the effect must neither read as pixels nor write
  FillPattern(w);
  if (content) content(w);
}

// The render of the same pixels and parameters in packed worlds.
std::unique_ptr<StandInHost> Reference(const BufferCase& c) {
  auto host = MakeHost(FrameSpec{c.in.format, c.in.width, c.in.height, true});
  SetParams(*host, c.params);
  Fill(host->Input(), c.content);
  EXPECT_EQ(host->RenderFrame(), PF_Err_NONE);
  return host;
}

// The output block the case should leave: the reference's pixels over the
// input's extent, the initial fill everywhere else.
std::vector<unsigned char> ExpectedOutput(const World& out, const World* ref) {
  std::vector<unsigned char> bytes(out.ByteCount(), kOutputFill);
  if (!ref) return bytes;
  const std::size_t px = tessivo_host::PixelSize(out.Format());
  const std::vector<unsigned char> refBytes = Bytes(*ref);
  for (A_long y = 0; y < ref->Height(); ++y)
    for (A_long x = 0; x < ref->Width(); ++x)
      std::memcpy(&bytes[PixelOffset(out, x, y)], &refBytes[PixelOffset(*ref, x, y)], px);
  return bytes;
}

// Float output against its input: alpha bit for bit; a colour is the mix
// intensity * c + (1 - intensity) * input with c clamped to [0, 1], so it
// lies between (1 - intensity) * input and that plus intensity, and a
// non-finite input gives the same non-finite output.
void ExpectFloatMix(const World& in, const World& out, float intensity) {
  for (A_long y = 0; y < in.Height(); ++y)
    for (A_long x = 0; x < in.Width(); ++x) {
      const auto i = in.Get<PF_PixelFloat>(x, y);
      const auto o = out.Get<PF_PixelFloat>(x, y);
      EXPECT_EQ(std::memcmp(&i.alpha, &o.alpha, sizeof i.alpha), 0) << "alpha at " << x << "," << y;
      const float ins[] = {i.red, i.green, i.blue}, outs[] = {o.red, o.green, o.blue};
      for (int ch = 0; ch < 3; ++ch) {
        SCOPED_TRACE(testing::Message() << "pixel " << x << "," << y << " channel " << ch);
        if (std::isnan(ins[ch])) {
          EXPECT_TRUE(std::isnan(outs[ch])) << outs[ch];
        } else if (std::isinf(ins[ch])) {
          EXPECT_EQ(outs[ch], ins[ch]);
        } else {
          const double lo = (1.0f - intensity) * ins[ch], tol = 1e-6 + 1e-6 * std::fabs(ins[ch]);
          EXPECT_GE(outs[ch], lo - tol);
          EXPECT_LE(outs[ch], lo + intensity + tol);
        }
      }
    }
}

WorldSpec WorldOf(PF_PixelFormat f, A_long w, A_long h,
                  std::optional<A_long> rowbytes = std::nullopt) {
  return WorldSpec{f, w, h, rowbytes};
}

std::vector<BufferCase> Cases() {
  std::vector<BufferCase> cases;
  const PF_Err kOk = PF_Err_NONE, kNoMemory = PF_Err_INTERNAL_STRUCT_DAMAGED,
               kUnusable = PF_Err_BAD_CALLBACK_PARAM;
  for (PF_PixelFormat f : {PF_PixelFormat_ARGB32, PF_PixelFormat_ARGB64, PF_PixelFormat_ARGB128}) {
    const std::string fmt = std::string(FormatName(f)) + " ";
    const A_long px = static_cast<A_long>(tessivo_host::PixelSize(f)), packed = 9 * px;
    const std::vector<BufferCase> layouts = {
        {"rowbytes exact", WorldOf(f, 9, 7, packed), WorldOf(f, 9, 7, packed), kOk},
        {"rowbytes padded", WorldOf(f, 9, 7, packed + 64), WorldOf(f, 9, 7, packed + 64), kOk},
        {"rowbytes differ", WorldOf(f, 9, 7, packed + 4 * px), WorldOf(f, 9, 7, packed + px), kOk},
        {"rowbytes negative", WorldOf(f, 9, 7, -packed), WorldOf(f, 9, 7, -packed - 2 * px), kOk},
        {"rowbytes negative in only", WorldOf(f, 9, 7, -packed), WorldOf(f, 9, 7, packed), kOk},
        {"rowbytes not whole pixels", WorldOf(f, 9, 7, packed + px - 1),
         WorldOf(f, 9, 7, packed + 3), kOk},
        {"rowbytes negative, not whole pixels", WorldOf(f, 9, 7, -packed - 3),
         WorldOf(f, 9, 7, -packed - px - 1), kOk},
        {"one pixel", WorldOf(f, 1, 1), std::nullopt, kOk},
        {"one column", WorldOf(f, 1, 7), std::nullopt, kOk},
        {"one row", WorldOf(f, 9, 1), std::nullopt, kOk},
        {"zero width", WorldOf(f, 0, 7), WorldOf(f, 9, 7), kNoMemory},
        {"zero height", WorldOf(f, 9, 0), WorldOf(f, 9, 7), kNoMemory},
        {"zero both", WorldOf(f, 0, 0), std::nullopt, kNoMemory},
        {"output narrower", WorldOf(f, 9, 7), WorldOf(f, 8, 7), kUnusable},
        {"output lower", WorldOf(f, 9, 7), WorldOf(f, 9, 6), kUnusable},
        {"output larger", WorldOf(f, 9, 7), WorldOf(f, 12, 9, 12 * px + 8), kOk},
        // The host makes no world this wide: the fields claim 2^31 - 1
        // pixels over a one-row block. The render must refuse at its first
        // plane (wider than a row step can say) before reading a pixel.
        {"2^31-1 x 1 claimed", WorldOf(f, 9, 1), std::nullopt, kNoMemory, nullptr,
         [](StandInHost& host) {
           host.Input().Effect()->width = INT_MAX;
           host.Output().Effect()->width = INT_MAX;
         }},
    };
    for (BufferCase c : layouts) {
      c.name = fmt + c.name;
      cases.push_back(std::move(c));
    }
  }
  const auto special = [](std::vector<std::pair<std::pair<A_long, A_long>, PF_PixelFloat>> px) {
    return [px](World& w) {
      for (const auto& p : px) w.Set(p.first.first, p.first.second, p.second);
    };
  };
  const WorldSpec f9x7 = WorldOf(PF_PixelFormat_ARGB128, 9, 7);
  cases.push_back({"float NaN, infinities, denormals", f9x7, std::nullopt, kOk,
                   special({{{1, 1}, {0.5f, kNaN, 0.5f, 0.5f}},
                            {{2, 1}, {0.5f, 0.5f, kInf, 0.5f}},
                            {{3, 1}, {0.5f, 0.5f, 0.5f, -kInf}},
                            {{4, 2}, {kDenormal, kDenormal, -kDenormal, 0.25f}},
                            {{6, 4}, {1.0f, 3e38f, -3e38f, 0.75f}},
                            {{7, 5}, {kNaN, 0.2f, 0.3f, 0.4f}},
                            {{0, 6}, {-kInf, 0.2f, 0.3f, 0.4f}},
                            {{8, 0}, {kNaN, kNaN, kNaN, kNaN}}})});
  cases.push_back({"float all NaN", f9x7, std::nullopt, kOk, [](World& w) {
                     for (A_long y = 0; y < w.Height(); ++y)
                       for (A_long x = 0; x < w.Width(); ++x)
                         w.Set(x, y, PF_PixelFloat{kNaN, kNaN, kNaN, kNaN});
                   }});
  cases.push_back({"float denormal parameters",
                   f9x7,
                   std::nullopt,
                   kOk,
                   nullptr,
                   nullptr,
                   {{"Tonal Threshold", kDenormal}, {"Intensity Level", kDenormal}}});
  cases.push_back({"float extreme parameters",
                   f9x7,
                   std::nullopt,
                   kOk,
                   nullptr,
                   nullptr,
                   {{"Tonal Radius", 20.0},
                    {"Tonal Threshold", 1.0},
                    {"Intensity Level", 100.0},
                    {"Luminosity Mode", 0}}});
  return cases;
}

TEST(BadBuffers, RenderOrRefuseWithinTheirBytes) {
  for (const BufferCase& c : Cases()) {
    SCOPED_TRACE(c.name);
    std::unique_ptr<StandInHost> ref;
    if (c.expected == PF_Err_NONE) ref = Reference(c);
    auto host = MakeHost(FrameSpec{c.in.format, 9, 7, true});
    SetParams(*host, c.params);
    host->SetInputWorld(c.in);
    if (c.out) host->SetOutputWorld(*c.out);
    Fill(host->Input(), c.content);
    host->Output().FillBytes(kOutputFill);
    const std::vector<unsigned char> inputBefore = Bytes(host->Input());
    if (c.tamper) c.tamper(*host);

    ippTestResetLedger();
    const IppAllocLedger before = IppLedger();
    EXPECT_EQ(host->RenderFrame(), c.expected);
    const IppAllocLedger after = IppLedger();
    EXPECT_LT(after.peakBytes - before.liveBytes, 1 << 20) << "bytes of planes and buffers at once";
    ExpectPlanesGivenBack(before);
    ExpectHostGivenBack(*host);
    if (c.tamper) continue;  // the worlds' fields no longer describe their blocks

    EXPECT_TRUE(Bytes(host->Input()) == inputBefore) << "input written";
    EXPECT_TRUE(Bytes(host->Output()) ==
                ExpectedOutput(host->Output(), ref ? &ref->Output() : nullptr))
        << "output differs from the packed render, or written outside the image";
    if (ref && c.in.format == PF_PixelFormat_ARGB128) {
      ExpectFloatMix(host->Input(), host->Output(),
                     static_cast<float>(host->ParamValue(3) / 100.0));
    }
  }
}

}  // namespace
}  // namespace reliability
