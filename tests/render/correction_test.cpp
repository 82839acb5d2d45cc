// The local colour correction through the whole render, against the
// per-pixel formula evaluated independently in double precision.
#include <array>
#include <cmath>
#include <vector>

#include <png.h>

#include "TessivoEffect.h"
#include "render_support.h"

namespace render_test {
namespace {

using Plane = std::vector<double>;  // row-major
using Rgb = std::array<Plane, 3>;

// Gaussian of 2 trunc(3 sigma) + 1 taps, edge pixels repeated outward, a
// row pass then a column pass.
Plane Blur(const Plane& in, int w, int h, float sigma) {
  const int k = 2 * static_cast<int>(3.0f * sigma) + 1;
  std::vector<double> taps(k);
  double sum = 0;
  for (int i = 0; i < k; ++i)
    sum += taps[i] = std::exp(-std::pow(i - k / 2, 2) / (2.0 * sigma * sigma));
  Plane rows(in.size()), out(in.size());
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) {
      for (int i = 0; i < k; ++i)
        rows[y * w + x] += taps[i] / sum * in[y * w + std::clamp(x + i - k / 2, 0, w - 1)];
    }
  }
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) {
      for (int i = 0; i < k; ++i)
        out[y * w + x] += taps[i] / sum * rows[std::clamp(y + i - k / 2, 0, h - 1) * w + x];
    }
  }
  return out;
}

// M x^G + (1 - M) x with G = 2^(1 - 2 blur(1 - x)).
Plane Correct(const Plane& x, int w, int h, const Params& p) {
  Plane n(x.size()), out(x.size());
  for (std::size_t i = 0; i < x.size(); ++i) n[i] = 1.0 - x[i];
  const Plane b = Blur(n, w, h, static_cast<float>(p.radius));
  const double t = static_cast<float>(p.threshold);
  for (std::size_t i = 0; i < x.size(); ++i) {
    const double m = n[i] < t ? 0.0 : n[i] > t ? 1.0 : n[i];
    out[i] = m * std::pow(x[i], std::pow(2.0, 1.0 - 2.0 * b[i])) + (1.0 - m) * x[i];
  }
  return out;
}

Rgb Twist(const float (&m)[3][4], const Rgb& in) {
  Rgb out;
  for (int c = 0; c < 3; ++c) {
    for (std::size_t i = 0; i < in[0].size(); ++i) {
      out[c].push_back(m[c][0] * in[0][i] + m[c][1] * in[1][i] + m[c][2] * in[2][i]);
    }
  }
  return out;
}

// What the render writes: the clamped correction mixed with the input.
Rgb Reference(const Rgb& rgb, int w, int h, const Params& p) {
  Rgb c = rgb;
  if (p.luminosity) {
    c = Twist(RGBtoYUV, rgb);
    c[0] = Correct(c[0], w, h, p);
    c = Twist(YUVtoRGB, c);
  } else {
    for (Plane& plane : c) plane = Correct(plane, w, h, p);
  }
  const double k = p.intensity / 100.0;
  for (int ch = 0; ch < 3; ++ch) {
    for (std::size_t i = 0; i < c[ch].size(); ++i) {
      c[ch][i] = k * std::clamp(c[ch][i], 0.0, 1.0) + (1.0 - k) * rgb[ch][i];
    }
  }
  return c;
}

template <class Pixel>
void Channels(const Pixel& px, Rgb& out) {
  out[0].push_back(px.red);
  out[1].push_back(px.green);
  out[2].push_back(px.blue);
}

class Correction : public RenderHost {
 public:
  // Renders rgb (channel values of `format`: integers at 8 and 16 bits)
  // and returns the output's channel values.
  Rgb Render(const Rgb& rgb, int w, int h, const Params& p,
             PF_PixelFormat format = PF_PixelFormat_ARGB128) {
    SetWorlds(format, w, h);
    SetParams(p);
    for (int i = 0; i < w * h; ++i) {
      const int x = i % w, y = i / w;
      if (format == PF_PixelFormat_ARGB32) {
        host.Input().Set<PF_Pixel8>(x, y, {255, A_u_char(rgb[0][i]), A_u_char(rgb[1][i]),
                                           A_u_char(rgb[2][i])});
      } else if (format == PF_PixelFormat_ARGB64) {
        host.Input().Set<PF_Pixel16>(x, y, {32768, A_u_short(rgb[0][i]), A_u_short(rgb[1][i]),
                                            A_u_short(rgb[2][i])});
      } else {
        host.Input().Set<PF_PixelFloat>(
            x, y, {1.0f, float(rgb[0][i]), float(rgb[1][i]), float(rgb[2][i])});
      }
    }
    EXPECT_EQ(host.RenderFrame(), PF_Err_NONE);
    Rgb out;
    for (int i = 0; i < w * h; ++i) {
      const int x = i % w, y = i / w;
      if (format == PF_PixelFormat_ARGB32) {
        Channels(host.Output().Get<PF_Pixel8>(x, y), out);
      } else if (format == PF_PixelFormat_ARGB64) {
        Channels(host.Output().Get<PF_Pixel16>(x, y), out);
      } else {
        Channels(host.Output().Get<PF_PixelFloat>(x, y), out);
      }
    }
    return out;
  }
};

TEST_F(Correction, UniformGreyFramesFollowTheFormulaInBothModes) {
  for (const auto& [value, threshold, expected] : {std::tuple{0.25, 0.0, 0.3752},
                                                   {0.75, 0.0, 0.6657},
                                                   {0.75, 0.25, 0.7289},
                                                   {0.5, 0.0, 0.5},
                                                   {0.0, 0.0, 0.0},
                                                   {0.0, 0.6, 0.0},
                                                   {1.0, 0.0, 1.0},
                                                   {1.0, 0.6, 1.0}}) {
    for (bool luminosity : {false, true}) {
      SCOPED_TRACE(testing::Message() << value << " t " << threshold << " lum " << luminosity);
      const Plane grey(6 * 5, value);
      for (const Plane& plane :
           Render({grey, grey, grey}, 6, 5, {2.0, threshold, 100.0, luminosity})) {
        for (double v : plane) ASSERT_NEAR(v, expected, 2e-4);
      }
    }
  }
}

// `h` rows from row `top` of the sample photograph, 512 wide, as 8-bit
// values.
Rgb PhotographRows(int top, int h) {
  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  if (!png_image_begin_read_from_file(&image, TESSIVO_SAMPLE_PHOTO)) return {};
  image.format = PNG_FORMAT_RGB;
  std::vector<unsigned char> bytes(PNG_IMAGE_SIZE(image));
  if (!png_image_finish_read(&image, nullptr, bytes.data(), 0, nullptr) || image.width != 512 ||
      static_cast<int>(image.height) < top + h) {
    return {};
  }
  Rgb rgb;
  for (int i = top * 512; i < (top + h) * 512; ++i)
    for (int c = 0; c < 3; ++c) rgb[c].push_back(bytes[3 * i + c]);
  return rgb;
}

// Float worlds against the evaluation to 1e-4. Integer worlds are divided
// by their white level (255, 32768), corrected, multiplied back, clamped to
// [0, white], mixed and truncated: each output must be the truncated value
// of the evaluation, or the integer next to it where the evaluation lies
// within float error of a step. The random frame's 16-bit inputs run above
// white; the photograph's rows span several of the blur's bands and take
// its largest kernel.
TEST_F(Correction, FramesMatchADoublePrecisionEvaluation) {
  const struct {
    PF_PixelFormat format;
    double white, top;  // top: the largest random input value
  } depths[] = {{PF_PixelFormat_ARGB128, 1.0, 1.0},
                {PF_PixelFormat_ARGB32, 255.0, 255.0},
                {PF_PixelFormat_ARGB64, 32768.0, 40000.0}};
  const Rgb photo = PhotographRows(176, 160);
  ASSERT_EQ(photo[0].size(), 512u * 160u) << "cannot read " << TESSIVO_SAMPLE_PHOTO;
  const struct {
    bool photograph;
    int w, h;
    std::vector<Params> params;
  } frames[] = {{false, 23, 17,
                 {Params{1.7, 0.3, 100.0, false}, Params{2.0, 0.0, 60.0, true},
                  Params{4.5, 0.1, 85.0, false}, Params{1.0, 0.5, 100.0, true},
                  Params{2.0, 0.0, 50.0, false}, Params{3.0, 0.0, 100.0, true}}},
                {true, 512, 160,
                 {Params{20.0, 0.0, 50.0, true}, Params{20.0, 0.2, 100.0, false},
                  Params{2.0, 0.0, 100.0, false}}}};
  for (const auto& frame : frames) {
    const int w = frame.w, h = frame.h;
    for (const auto& depth : depths) {
      const bool integers = depth.white != 1.0;
      std::mt19937 rng(3);
      Rgb rgb, unit;
      for (int c = 0; c < 3; ++c) {
        for (int i = 0; i < w * h; ++i) {
          double v = std::uniform_real_distribution<float>()(rng) * depth.top;
          if (i < w) v = depth.white;  // a white first row
          if (frame.photograph) {
            v = depth.format == PF_PixelFormat_ARGB64 ? std::round(photo[c][i] * 32768.0 / 255.0)
                                                      : photo[c][i] * depth.white / 255.0;
          }
          rgb[c].push_back(integers ? std::floor(v) : static_cast<float>(v));
          unit[c].push_back(rgb[c].back() / depth.white);
        }
      }
      for (const Params& p : frame.params) {
        SCOPED_TRACE(testing::Message()
                     << (frame.photograph ? "photograph" : "random") << " white " << depth.white
                     << " radius " << p.radius << " luminosity " << p.luminosity);
        const Rgb want = Reference(unit, w, h, p), got = Render(rgb, w, h, p, depth.format);
        const double floatError = 2e-5 * depth.white;
        for (int c = 0; c < 3; ++c) {
          for (int i = 0; i < w * h; ++i) {
            const double v = want[c][i] * depth.white;
            if (!integers) {
              ASSERT_NEAR(got[c][i], v, 1e-4) << c << " " << i;
            } else {
              ASSERT_GE(got[c][i], std::floor(v - floatError)) << c << " " << i << " want " << v;
              ASSERT_LE(got[c][i], std::floor(v + floatError)) << c << " " << i << " want " << v;
            }
          }
        }
      }
    }
  }
}

}  // namespace
}  // namespace render_test
