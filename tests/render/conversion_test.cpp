// The conversions between host worlds and three-plane images, called in this
// process with the stand-in host answering their callbacks.
#include <functional>
#include <vector>

#include "TessivoEffect.h"
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

// Awkward widths and pitches (padded, negative, not whole pixels), an output
// larger than the image: the planes hold the input's colours exactly, the
// output gets them back with the input's alpha, and no other output byte is
// touched.
template <class Pixel>
void RoundTrip(Conversion& t, PF_PixelFormat format) {
  const A_long ps = sizeof(Pixel), h = 3;
  std::mt19937 rng(7);
  for (A_long w : {1, 2, 3, 5, 17, 31, 64, 70}) {
    for (A_long pad : {0, 3, 2 * ps + 1}) {
      for (int sign : {1, -1}) {
        SCOPED_TRACE(testing::Message() << "width " << w << " pad " << pad << " sign " << sign);
        t.UseWorlds(WorldOf(format, w, h, sign * (w * ps + pad)),
                    WorldOf(format, w + 2, h + 1, -sign * ((w + 2) * ps + ps - 1)));
        for (A_long i = 0; i < w * h; ++i)
          t.host.Input().Set(i % w, i / w, RandomPixel<Pixel>(rng));
        PF_Err err = -1;
        KoImage image = ConvertFromAE({w, h}, format, &err);
        ASSERT_EQ(err, PF_Err_NONE);
        ConvertToAE(image, format, &err);
        ASSERT_EQ(err, PF_Err_NONE);

        const World& out = t.host.Output();
        std::vector<bool> inImage(out.ByteCount());
        for (A_long y = 0; y < h; ++y) {
          for (A_long x = 0; x < w; ++x) {
            const Pixel in = t.host.Input().Get<Pixel>(x, y), o = out.Get<Pixel>(x, y);
            ASSERT_TRUE(SameBytes(&in, &o, ps)) << x << ", " << y;
            for (int c = 0; c < 3; ++c) {
              const float v = image.layers[c][y * (image.steps[0] / 4) + x];
              const auto channel = (&in.red)[c];
              if constexpr (std::is_same_v<Pixel, PF_PixelFloat>) {
                ASSERT_TRUE(SameBytes(&v, &channel, 4));
              } else {
                ASSERT_EQ(v, channel);
              }
            }
            const auto at = static_cast<const unsigned char*>(out.Effect()->data) +
                            y * out.PitchBytes() + x * ps - BlockStart(out);
            std::fill(inImage.begin() + at, inImage.begin() + at + ps, true);
          }
        }
        for (std::size_t i = 0; i < inImage.size(); ++i) {
          ASSERT_TRUE(inImage[i] || BlockStart(out)[i] == 0xAB) << "byte " << i;
        }
      }
    }
  }
}

TEST_F(Conversion, RoundTripsEveryFormatOverAwkwardPitches) {
  RoundTrip<PF_Pixel8>(*this, PF_PixelFormat_ARGB32);
  RoundTrip<PF_Pixel16>(*this, PF_PixelFormat_ARGB64);
  RoundTrip<PF_PixelFloat>(*this, PF_PixelFormat_ARGB128);
}

TEST_F(Conversion, IntegersTruncateTowardZero) {
  for (const auto& [format, value, expected] : {std::tuple{PF_PixelFormat_ARGB32, 254.9f, 254},
                                                {PF_PixelFormat_ARGB32, 255.0f, 255},
                                                {PF_PixelFormat_ARGB32, 0.7f, 0},
                                                {PF_PixelFormat_ARGB64, 32767.99f, 32767}}) {
    UseWorlds(WorldOf(format, 1, 1), WorldOf(format, 1, 1));
    KoImage image({1, 1}, 3);
    for (int p = 0; p < 3; ++p) image.layers[p][0] = value;
    ConvertToAE(image, format);
    EXPECT_EQ(format == PF_PixelFormat_ARGB32 ? host.Output().Get<PF_Pixel8>(0, 0).red
                                              : host.Output().Get<PF_Pixel16>(0, 0).red,
              expected);
  }
}

// What the host hands over cannot be used: refused, writing nothing. A
// missing suite or base address is failed through the render by the
// host-call sweep.
TEST_F(Conversion, RefusesWhatTheHostCannotSupply) {
  const auto none = [](Conversion&) {};
  const std::vector<
      std::tuple<const char*, PF_PixelFormat, std::function<void(Conversion&)>, A_long>>
      cases = {
          {"unknown format", PF_PixelFormat_INVALID, none, 4},
          {"no util callbacks", PF_PixelFormat_ARGB64, [](Conversion&) { gIn_data = nullptr; }, 4},
          {"output too small", PF_PixelFormat_ARGB32, none, 5}};
  for (const auto& [name, format, setup, size] : cases) {
    SCOPED_TRACE(name);
    const PF_PixelFormat world = format == PF_PixelFormat_INVALID ? PF_PixelFormat_ARGB32 : format;
    UseWorlds(WorldOf(world, 5, 5), WorldOf(world, 4, 4));
    KoImage image({size, size}, 3);
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
