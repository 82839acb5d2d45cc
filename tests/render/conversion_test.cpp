// The conversions between host worlds and three-plane images, called in this
// process with the stand-in host answering their callbacks.
#include <array>
#include <cstdint>
#include <functional>
#include <iterator>
#include <vector>

#include "TessivoEffect.h"
#include "pixel_rows.h"
#include "primitives/targets.h"
#include "render_support.h"

namespace render_test {
namespace {

class Conversion : public RenderHost {
 public:
  Conversion() : suites(host.InData().pica_basicP) {
    gIn_data = &host.InData();
    gpSuites = &suites;
  }

  void UseWorlds(const WorldSpec& in, const WorldSpec& out) {
    host.SetInputWorld(in);
    host.SetOutputWorld(out);
    host.Output().FillBytes(0xAB);
    gpInputWorld = host.Input().Effect();
    gpOutputWorld = host.Output().Effect();
  }

  AEGP_SuiteHandler suites;
};

// The two ways through the row kernels: the conversions themselves, which
// write past the caches only for frames larger than these, and the kernels
// called row by row writing past the caches, into planes whose padding
// holds kGuard.
enum class Way { kConversions, kStreamedRows };
constexpr unsigned char kGuard = 0xCD;

template <class Pixel>
const Pixel* RowOf(const World& w, A_long y) {
  return reinterpret_cast<const Pixel*>(static_cast<const unsigned char*>(w.Effect()->data) +
                                        y * w.PitchBytes());
}

float* Element(const KoImage& image, int c, A_long x, A_long y) {
  return image.layers[c] + y * (image.steps[0] / 4) + x;
}

template <class Pixel>
KoImage ConvertIn(Conversion& t, Way way, PF_PixelFormat format, A_long w, A_long h) {
  PF_Err err = PF_Err_NONE;
  KoImage image =
      way == Way::kConversions ? ConvertFromAE({w, h}, format, &err) : KoImage({w, h}, 3);
  EXPECT_EQ(err, PF_Err_NONE);
  if (way == Way::kStreamedRows) {
    for (int c = 0; c < 3; ++c) std::memset(image.layers[c], kGuard, image.steps[0] * h);
    for (A_long y = 0; y < h; ++y)
      pixel_rows::ReadRow(RowOf<Pixel>(t.host.Input(), y), Element(image, 0, 0, y),
                          Element(image, 1, 0, y), Element(image, 2, 0, y), w, true);
  }
  return image;
}

template <class Pixel>
void ConvertOut(Conversion& t, Way way, PF_PixelFormat format, KoImage& image) {
  if (way == Way::kConversions) {
    PF_Err err = -1;
    ConvertToAE(image, format, &err);
    EXPECT_EQ(err, PF_Err_NONE);
    return;
  }
  for (A_long y = 0; y < image.size.height; ++y) {
    auto* out = const_cast<Pixel*>(RowOf<Pixel>(t.host.Output(), y));
    // Row 1 is written where its pixels start off a pixel boundary (their
    // channels aligned), as a host's block may put them: no streaming store
    // may then be aimed at an address off a line.
    alignas(64) unsigned char shifted[70 * sizeof(Pixel) + 64];
    const A_long w = image.size.width;
    auto* to = y == 1 ? reinterpret_cast<Pixel*>(shifted + sizeof(Pixel) / 4 * (1 + w % 3)) : out;
    pixel_rows::WriteRow(RowOf<Pixel>(t.host.Input(), y), Element(image, 0, 0, y),
                         Element(image, 1, 0, y), Element(image, 2, 0, y), to, w, true);
    if (to != out) std::memcpy(out, to, w * sizeof(Pixel));
  }
}

// Float channels that arithmetic would change: signed zero, infinities,
// NaNs with payloads (a signalling one among them), a denormal.
constexpr std::uint32_t kSpecialFloats[] = {0x80000000u, 0x7F800000u, 0xFF800000u, 0x7F800001u,
                                            0x7FC12345u, 0xFFC00001u, 0x00000001u};

template <class Pixel>
Pixel InputPixel(std::mt19937& rng, A_long i) {
  Pixel p = RandomPixel<Pixel>(rng);
  if constexpr (std::is_same_v<Pixel, PF_PixelFloat>) {
    if (i % 3 == 0) {
      const std::uint32_t bits = kSpecialFloats[(i / 3) % std::size(kSpecialFloats)];
      std::memcpy(&p.alpha + (i / 3) % 4, &bits, 4);
    }
  }
  return p;
}

// Widths 1 to 70 (every tail and every start of a row against a cache
// line), several rows, pitches padded, negative and not whole pixels, an
// output larger than the image: the planes hold the input's colours exactly,
// the output gets them back with the input's alpha, and no other output
// byte or plane padding is touched.
template <class Pixel>
void RoundTrip(Conversion& t, PF_PixelFormat format, Way way) {
  const A_long ps = sizeof(Pixel), h = 3;
  std::mt19937 rng(7);
  for (A_long w = 1; w <= 70; ++w) {
    const A_long pad = std::array<A_long, 3>{0, 3, 2 * ps + 1}[w % 3], sign = w / 3 % 2 ? -1 : 1;
    SCOPED_TRACE(testing::Message() << "width " << w << " pad " << pad << " sign " << sign);
    t.UseWorlds(WorldOf(format, w, h, sign * (w * ps + pad)),
                WorldOf(format, w + 2, h + 1, -sign * ((w + 2) * ps + ps - 1)));
    for (A_long i = 0; i < w * h; ++i) t.host.Input().Set(i % w, i / w, InputPixel<Pixel>(rng, i));
    KoImage image = ConvertIn<Pixel>(t, way, format, w, h);
    ConvertOut<Pixel>(t, way, format, image);

    const World& out = t.host.Output();
    std::vector<bool> inImage(out.ByteCount());
    for (A_long y = 0; y < h; ++y) {
      for (A_long x = 0; x < w; ++x) {
        const Pixel in = t.host.Input().Get<Pixel>(x, y), o = out.Get<Pixel>(x, y);
        ASSERT_TRUE(SameBytes(&in, &o, ps)) << x << ", " << y;
        for (int c = 0; c < 3; ++c) {
          const float v = *Element(image, c, x, y);
          const auto channel = (&in.red)[c];
          if constexpr (std::is_same_v<Pixel, PF_PixelFloat>) {
            ASSERT_TRUE(SameBytes(&v, &channel, 4)) << x << ", " << y;
          } else {
            ASSERT_EQ(v, channel) << x << ", " << y;
          }
        }
        const auto at = static_cast<const unsigned char*>(out.Effect()->data) +
                        y * out.PitchBytes() + x * ps - BlockStart(out);
        std::fill(inImage.begin() + at, inImage.begin() + at + ps, true);
      }
      if (way == Way::kStreamedRows) {
        for (int c = 0; c < 3; ++c) {
          const auto* row = reinterpret_cast<const unsigned char*>(Element(image, c, 0, y));
          for (A_long i = w * 4; i < image.steps[0]; ++i)
            ASSERT_EQ(row[i], kGuard) << "plane " << c << " row " << y << " byte " << i;
        }
      }
    }
    for (std::size_t i = 0; i < inImage.size(); ++i) {
      ASSERT_TRUE(inImage[i] || BlockStart(out)[i] == 0xAB) << "byte " << i;
    }
  }
}

TEST_F(Conversion, RoundTripsEveryFormatOverAwkwardPitchesOnEveryTarget) {
  for (long long target : prim_test::Targets()) {
    prim_test::ForcedTarget forced(target);
    ASSERT_EQ(pixel_rows::ActiveTarget(), target);
    for (Way way : {Way::kConversions, Way::kStreamedRows}) {
      SCOPED_TRACE(way == Way::kConversions ? "conversions" : "streamed rows");
      RoundTrip<PF_Pixel8>(*this, PF_PixelFormat_ARGB32, way);
      RoundTrip<PF_Pixel16>(*this, PF_PixelFormat_ARGB64, way);
      RoundTrip<PF_PixelFloat>(*this, PF_PixelFormat_ARGB128, way);
    }
  }
}

template <class Pixel>
std::array<int, 4> Channels(const Pixel& p) {
  return {p.alpha, p.red, p.green, p.blue};
}

// Every pixel of two rows of 70, so that every vector lane and the tail
// see each value.
TEST_F(Conversion, IntegersTruncateTowardZeroOnEveryTarget) {
  const A_long w = 70, h = 2;
  for (long long target : prim_test::Targets()) {
    prim_test::ForcedTarget forced(target);
    for (const auto& [format, value, expected] : {std::tuple{PF_PixelFormat_ARGB32, 254.9f, 254},
                                                  {PF_PixelFormat_ARGB32, 255.0f, 255},
                                                  {PF_PixelFormat_ARGB32, 0.7f, 0},
                                                  {PF_PixelFormat_ARGB64, 32767.99f, 32767},
                                                  {PF_PixelFormat_ARGB64, 65535.0f, 65535}}) {
      SCOPED_TRACE(testing::Message() << value);
      UseWorlds(WorldOf(format, w, h), WorldOf(format, w, h));
      KoImage image({w, h}, 3);
      for (int c = 0; c < 3; ++c)
        for (A_long y = 0; y < h; ++y)
          for (A_long x = 0; x < w; ++x) *Element(image, c, x, y) = value;
      ConvertToAE(image, format);
      for (A_long y = 0; y < h; ++y)
        for (A_long x = 0; x < w; ++x) {
          const World& out = host.Output();
          const auto channels = format == PF_PixelFormat_ARGB32
                                    ? Channels(out.Get<PF_Pixel8>(x, y))
                                    : Channels(out.Get<PF_Pixel16>(x, y));
          ASSERT_EQ(channels, (std::array<int, 4>{0, expected, expected, expected})) << x;
        }
    }
  }
}

// What the host hands over cannot be used: refused, writing nothing. A
// missing suite or base address is failed through the render by the
// host-call sweep.
TEST_F(Conversion, RefusesWhatTheHostCannotSupply) {
  const auto none = [](Conversion&) {};
  const std::vector<
      std::tuple<const char*, PF_PixelFormat, std::function<void(Conversion&)>, A_long, int>>
      cases = {
          {"unknown format", PF_PixelFormat_INVALID, none, 4, 3},
          {"no util callbacks", PF_PixelFormat_ARGB64, [](Conversion&) { gIn_data = nullptr; }, 4,
           3},
          {"output too small", PF_PixelFormat_ARGB32, none, 5, 3},
          {"one plane", PF_PixelFormat_ARGB32, none, 4, 1}};
  for (const auto& [name, format, setup, size, planes] : cases) {
    SCOPED_TRACE(name);
    const PF_PixelFormat world = format == PF_PixelFormat_INVALID ? PF_PixelFormat_ARGB32 : format;
    UseWorlds(WorldOf(world, 5, 5), WorldOf(world, 4, 4));
    KoImage image({size, size}, planes);
    setup(*this);
    PF_Err err = PF_Err_NONE;
    ConvertToAE(image, format, &err);
    EXPECT_EQ(err, PF_Err_BAD_CALLBACK_PARAM);
    EXPECT_TRUE(AllBytes(host.Output(), 0xAB));
    EXPECT_EQ(host.OutstandingSuites(), 0);
    EXPECT_EQ(host.BadSuiteReleases(), 0);
    gIn_data = &host.InData();
  }
  // An input smaller than the image, or no image at all: no host call.
  host.ClearCallLog();
  PF_Err err = PF_Err_NONE;
  ConvertFromAE({6, 5}, PF_PixelFormat_ARGB32, &err);
  EXPECT_EQ(err, PF_Err_BAD_CALLBACK_PARAM);
  EXPECT_THROW(ConvertFromAE({0, 3}, PF_PixelFormat_ARGB32), NO_MEMORY_ERROR);
  EXPECT_TRUE(host.CallLog().empty());
}

}  // namespace
}  // namespace render_test
