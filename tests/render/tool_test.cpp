// tessivo-render and its image files, run as a user runs them. Files are
// made and checked with libpng and OpenEXR directly, not with the tool's
// own readers and writers.
#include <OpenEXR/ImfChannelList.h>
#include <OpenEXR/ImfFrameBuffer.h>
#include <OpenEXR/ImfHeader.h>
#include <OpenEXR/ImfInputFile.h>
#include <OpenEXR/ImfOutputFile.h>
#include <png.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cmath>
#include <csetjmp>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include <zlib.h>

#include "ImageFile.h"
#include "render_support.h"

namespace render_test {
namespace {

namespace fs = std::filesystem;
using tessivo_tool::HostDepth;
using tessivo_tool::HostPixels;
using tessivo_tool::ImageLayout;
using tessivo_tool::SampleKind;

// A PNG as stored: one value a sample, in the file's order.
struct StoredPng {
  int width = 0, height = 0, colorType = 0, bitDepth = 8;
  bool interlaced = false;
  std::vector<unsigned> samples;
  std::vector<png_color> palette;
  std::vector<png_byte> paletteAlpha;  // tRNS
};

int SamplesPerPixel(int colorType) {
  switch (colorType) {
    case PNG_COLOR_TYPE_GRAY:
    case PNG_COLOR_TYPE_PALETTE:
      return 1;
    case PNG_COLOR_TYPE_GRAY_ALPHA:
      return 2;
    case PNG_COLOR_TYPE_RGB:
      return 3;
    default:
      return 4;
  }
}

void WritePng(const std::string& path, const StoredPng& p) {
  const int perRow = SamplesPerPixel(p.colorType) * p.width;
  std::vector<std::vector<png_byte>> rows(p.height,
                                          std::vector<png_byte>((perRow * p.bitDepth + 7) / 8));
  for (int y = 0; y < p.height; ++y) {
    for (int i = 0; i < perRow; ++i) {
      const unsigned v = p.samples[y * perRow + i];
      if (p.bitDepth == 16) {
        rows[y][2 * i] = static_cast<png_byte>(v >> 8);
        rows[y][2 * i + 1] = static_cast<png_byte>(v);
      } else {  // most significant bits first
        const int bit = i * p.bitDepth;
        rows[y][bit / 8] |= static_cast<png_byte>(v << (8 - p.bitDepth - bit % 8));
      }
    }
  }
  std::vector<png_bytep> pointers;
  for (auto& row : rows) pointers.push_back(row.data());
  std::FILE* f = std::fopen(path.c_str(), "wb");
  ASSERT_TRUE(f);
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png_create_info_struct(png);
  if (setjmp(png_jmpbuf(png))) {
    ADD_FAILURE() << "libpng failed writing " << path;
  } else {
    png_init_io(png, f);
    png_set_IHDR(png, info, p.width, p.height, p.bitDepth, p.colorType,
                 p.interlaced ? PNG_INTERLACE_ADAM7 : PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    if (!p.palette.empty()) {
      png_set_PLTE(png, info, p.palette.data(), static_cast<int>(p.palette.size()));
    }
    if (!p.paletteAlpha.empty()) {
      png_set_tRNS(png, info, p.paletteAlpha.data(), static_cast<int>(p.paletteAlpha.size()),
                   nullptr);
    }
    png_write_info(png, info);
    png_write_image(png, pointers.data());
    png_write_end(png, nullptr);
  }
  png_destroy_write_struct(&png, &info);
  std::fclose(f);
}

// An 8 or 16-bit PNG without palette, as stored.
StoredPng ReadPng(const std::string& path) {
  StoredPng p;
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) {
    ADD_FAILURE() << "cannot open " << path;
    return p;
  }
  png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png_create_info_struct(png);
  if (setjmp(png_jmpbuf(png))) {
    ADD_FAILURE() << "libpng failed reading " << path;
  } else {
    png_init_io(png, f);
    png_read_png(png, info, PNG_TRANSFORM_IDENTITY, nullptr);
    p.width = static_cast<int>(png_get_image_width(png, info));
    p.height = static_cast<int>(png_get_image_height(png, info));
    p.colorType = png_get_color_type(png, info);
    p.bitDepth = png_get_bit_depth(png, info);
    const png_bytepp rows = png_get_rows(png, info);
    const int perRow = SamplesPerPixel(p.colorType) * p.width;
    for (int y = 0; y < p.height; ++y) {
      for (int i = 0; i < perRow; ++i) {
        p.samples.push_back(p.bitDepth == 16 ? rows[y][2 * i] << 8 | rows[y][2 * i + 1]
                                             : rows[y][i]);
      }
    }
  }
  png_destroy_read_struct(&png, &info, nullptr);
  std::fclose(f);
  return p;
}

// An OpenEXR file's channels (a subset of R, G, B, A, all of one type) with
// their samples as floats, per pixel in that order.
struct StoredExr {
  int width = 0, height = 0;
  std::string channels;  // "RGB" or "RGBA"
  Imf::PixelType type = Imf::FLOAT;
  std::vector<float> samples;
  Imath::V2i origin{0, 0};  // of the data window, when written
  Imf::Compression compression = Imf::ZIP_COMPRESSION;
};

void WriteExr(const std::string& path, const StoredExr& e) {
  const std::size_t n = e.channels.size();
  std::vector<Imath::half> halves(e.samples.begin(), e.samples.end());
  const Imath::Box2i window(e.origin, e.origin + Imath::V2i(e.width - 1, e.height - 1));
  Imf::Header header(window, window);
  header.compression() = e.compression;
  Imf::FrameBuffer frame;
  const std::size_t size = e.type == Imf::HALF ? 2 : 4;
  char* base = e.type == Imf::HALF ? reinterpret_cast<char*>(halves.data())
                                   : reinterpret_cast<char*>(const_cast<float*>(e.samples.data()));
  for (std::size_t c = 0; c < n; ++c) {
    const std::string name(1, e.channels[c]);
    header.channels().insert(name, Imf::Channel(e.type));
    frame.insert(name,
                 Imf::Slice::Make(e.type, base + c * size, window, n * size, n * size * e.width));
  }
  Imf::OutputFile out(path.c_str(), header);
  out.setFrameBuffer(frame);
  out.writePixels(e.height);
}

StoredExr ReadExr(const std::string& path) {
  StoredExr e;
  Imf::InputFile in(path.c_str());
  const Imath::Box2i window = in.header().dataWindow();
  e.compression = in.header().compression();
  e.width = window.max.x - window.min.x + 1;
  e.height = window.max.y - window.min.y + 1;
  for (const char* name : {"R", "G", "B", "A"}) {
    if (const Imf::Channel* c = in.header().channels().findChannel(name)) {
      e.channels += name;
      e.type = c->type;
    }
  }
  const std::size_t n = e.channels.size();
  e.samples.resize(n * e.width * e.height);
  Imf::FrameBuffer frame;
  for (std::size_t c = 0; c < n; ++c) {
    frame.insert(std::string(1, e.channels[c]),
                 Imf::Slice(Imf::FLOAT, reinterpret_cast<char*>(e.samples.data() + c),
                            n * sizeof(float), n * sizeof(float) * e.width));
  }
  in.setFrameBuffer(frame);
  in.readPixels(window.min.y, window.max.y);
  return e;
}

// Host pixels in their own block, rows padded by 16 bytes.
struct Pixels {
  Pixels(HostDepth depth, int width, int height)
      : bytes(tessivo_tool::HostPixelBytes(depth)),
        block((width * bytes + 16) * height, 0xA5),
        view{depth, width, height, block.data(),
             static_cast<std::ptrdiff_t>(width * bytes + 16)} {}
  // Channel c (0 alpha, 1 red, 2 green, 3 blue) of pixel i, as a double.
  double Get(int i, int c) const {
    const unsigned char* at = view.data + (i / view.width) * view.pitch + (i % view.width) * bytes;
    if (view.depth == HostDepth::Eight) return at[c];
    if (view.depth == HostDepth::Sixteen) {
      std::uint16_t v;
      std::memcpy(&v, at + 2 * c, 2);
      return v;
    }
    float v;
    std::memcpy(&v, at + 4 * c, 4);
    return v;
  }
  void Set(int i, int c, double v) {
    unsigned char* at = view.data + (i / view.width) * view.pitch + (i % view.width) * bytes;
    if (view.depth == HostDepth::Eight) {
      at[c] = static_cast<unsigned char>(v);
    } else if (view.depth == HostDepth::Sixteen) {
      const auto s = static_cast<std::uint16_t>(v);
      std::memcpy(at + 2 * c, &s, 2);
    } else {
      const auto f = static_cast<float>(v);
      std::memcpy(at + 4 * c, &f, 4);
    }
  }
  std::size_t bytes;
  std::vector<unsigned char> block;
  HostPixels view;
};

const HostDepth kDepths[] = {HostDepth::Eight, HostDepth::Sixteen, HostDepth::Float};

double HostMax(HostDepth d) {
  return d == HostDepth::Eight ? 255 : d == HostDepth::Sixteen ? 32768 : 1;
}

// round(num / den), half up, exactly, for non-negative whole numbers.
double RoundedRatio(double num, double den) {
  const auto n = static_cast<long long>(num), d = static_cast<long long>(den);
  return static_cast<double>((2 * n + d) / (2 * d));
}

// A float as an integer sample of 0..max: rounded half up, clamped, NaN 0.
double Quantised(double v, double max) {
  if (std::isnan(v)) return 0;
  return std::min(max, std::max(0.0, std::floor(v * max + 0.5)));
}

// Float samples compare exactly, NaN equal to NaN.
bool SameFloat(double a, double b) { return a == b || (std::isnan(a) && std::isnan(b)); }

class Tool : public ::testing::Test {
 protected:
  Tool() { fs::create_directories(dir); }
  ~Tool() override { fs::remove_all(dir); }

  std::string Path(const std::string& name) const { return (dir / name).string(); }

  // The tool's exit status; its output goes to `out` and `err`. `env` runs
  // in the same shell first.
  int Run(const std::string& args, const std::string& env = "") {
    const int status = std::system(
        (env + " " TESSIVO_RENDER_TOOL " " + args + " >" + Path("stdout") + " 2>" + Path("stderr"))
            .c_str());
    std::stringstream o, e;
    o << std::ifstream(Path("stdout")).rdbuf();
    e << std::ifstream(Path("stderr")).rdbuf();
    out = o.str();
    err = e.str();
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  const fs::path dir = fs::temp_directory_path() / ("tessivo-tool-" + std::to_string(getpid()));
  std::string out, err;
};

// Every layout a user may bring lands in the host's ARGB at each depth: grey
// as equal red, green and blue, a palette by its entries, tRNS as alpha,
// missing alpha as opaque, samples rounded to the host's range (a 16-bit 1
// is 32768 / 65535 = 0.50001 host levels, so 1 and not 0).
TEST_F(Tool, ReadsEachLayoutIntoTheHostsPixels) {
  std::mt19937 rng(11);
  struct Input {
    std::string name;
    StoredPng png;    // used when png.width > 0
    StoredExr exr;    // otherwise
    ImageLayout layout;
  };
  auto png = [&](int colorType, int bitDepth, int w, int h, bool interlaced = false) {
    StoredPng p{w, h, colorType, bitDepth, interlaced, {}, {}, {}};
    const unsigned top = (1u << bitDepth) - 1, first[3] = {0, top, 1};
    for (int i = 0; i < SamplesPerPixel(colorType) * w * h; ++i) {
      p.samples.push_back(i < 3 ? first[i] : rng() % (top + 1));
    }
    return p;
  };
  StoredPng palette = png(PNG_COLOR_TYPE_PALETTE, 4, 5, 3);
  for (int i = 0; i < 16; ++i) {
    palette.palette.push_back(png_color{png_byte(rng()), png_byte(rng()), png_byte(rng())});
  }
  StoredPng translucent = png(PNG_COLOR_TYPE_PALETTE, 8, 4, 3);
  for (unsigned& s : translucent.samples) s %= 6;
  for (int i = 0; i < 6; ++i) {
    translucent.palette.push_back(png_color{png_byte(rng()), png_byte(rng()), png_byte(rng())});
  }
  translucent.paletteAlpha = {0, 128, 255, 7};  // entries 4 and 5 opaque
  auto exr = [&](const std::string& channels, Imf::PixelType type,
                 Imath::V2i origin = Imath::V2i(0, 0), int w = 6, int h = 2) {
    StoredExr e{w, h, channels, type, {}, origin};
    for (std::size_t i = 0; i < channels.size() * w * h; ++i) {
      e.samples.push_back(static_cast<float>(Imath::half(
          std::uniform_real_distribution<float>(-0.25f, 1.25f)(rng))));  // half for all
    }
    e.samples[1] = NAN;
    e.samples[2] = 0.5f / 32768;  // rounds up at 16 bits
    return e;
  };
  const std::vector<Input> inputs = {
      {"grey 1-bit", png(PNG_COLOR_TYPE_GRAY, 1, 9, 2), {}, {9, 2, true, false, SampleKind::U8}},
      {"grey 4-bit interlaced", png(PNG_COLOR_TYPE_GRAY, 4, 5, 9, true), {},
       {5, 9, true, false, SampleKind::U8}},
      {"grey 16-bit", png(PNG_COLOR_TYPE_GRAY, 16, 3, 2), {}, {3, 2, true, false, SampleKind::U16}},
      {"grey and alpha 8-bit", png(PNG_COLOR_TYPE_GRAY_ALPHA, 8, 4, 3), {},
       {4, 3, true, true, SampleKind::U8}},
      {"RGB 8-bit interlaced", png(PNG_COLOR_TYPE_RGB, 8, 7, 9, true), {},
       {7, 9, false, false, SampleKind::U8}},
      {"RGB 16-bit", png(PNG_COLOR_TYPE_RGB, 16, 5, 3), {}, {5, 3, false, false, SampleKind::U16}},
      {"RGBA 16-bit interlaced", png(PNG_COLOR_TYPE_RGB_ALPHA, 16, 3, 9, true), {},
       {3, 9, false, true, SampleKind::U16}},
      {"RGBA 8-bit", png(PNG_COLOR_TYPE_RGB_ALPHA, 8, 5, 2), {},
       {5, 2, false, true, SampleKind::U8}},
      {"palette 4-bit", palette, {}, {5, 3, false, false, SampleKind::U8}},
      {"palette with transparency", translucent, {}, {4, 3, false, true, SampleKind::U8}},
      {"OpenEXR RGB half", {}, exr("RGB", Imf::HALF), {6, 2, false, false, SampleKind::F16}},
      {"OpenEXR RGB float", {}, exr("RGB", Imf::FLOAT), {6, 2, false, false, SampleKind::F32}},
      {"OpenEXR RGBA float", {}, exr("RGBA", Imf::FLOAT), {6, 2, false, true, SampleKind::F32}},
      {"OpenEXR window off the origin", {}, exr("RGB", Imf::HALF, {-3, 5}),
       {6, 2, false, false, SampleKind::F16}},
      {"OpenEXR taller than a band", {}, exr("RGBA", Imf::HALF, {2, -7}, 2, 258),
       {2, 258, false, true, SampleKind::F16}},
  };
  for (const Input& in : inputs) {
    SCOPED_TRACE(in.name);
    const std::string path = Path(in.png.width ? "in.png" : "in.exr");
    // Each pixel as the file means it: ARGB over a maximum (0 for floats).
    std::vector<std::array<double, 4>> expected;
    double fileMax = 0;
    if (in.png.width) {
      WritePng(path, in.png);
      const StoredPng& p = in.png;
      const int n = SamplesPerPixel(p.colorType);
      // Low-bit grey widens to 8 bits exactly (a 4-bit 1 is 17).
      const unsigned widen = p.bitDepth < 8 ? 255 / ((1u << p.bitDepth) - 1) : 1;
      fileMax = p.bitDepth == 16 ? 65535 : 255;
      for (int i = 0; i < p.width * p.height; ++i) {
        const unsigned* s = &p.samples[i * n];
        if (p.colorType == PNG_COLOR_TYPE_PALETTE) {
          const png_color c = p.palette[s[0]];
          expected.push_back({s[0] < p.paletteAlpha.size() ? p.paletteAlpha[s[0]] : 255.0,
                              double(c.red), double(c.green), double(c.blue)});
        } else if (n <= 2) {
          const double grey = s[0] * widen;
          expected.push_back({n == 2 ? s[1] : fileMax, grey, grey, grey});
        } else {
          expected.push_back({n == 4 ? s[3] : fileMax, double(s[0]), double(s[1]), double(s[2])});
        }
      }
    } else {
      WriteExr(path, in.exr);
      const std::size_t n = in.exr.channels.size();
      for (std::size_t i = 0; i < in.exr.samples.size(); i += n) {
        const float* s = &in.exr.samples[i];
        expected.push_back({n == 4 ? s[3] : 1.0, s[0], s[1], s[2]});
      }
    }
    for (HostDepth depth : kDepths) {
      SCOPED_TRACE(HostMax(depth));
      tessivo_tool::ImageReader reader(path);
      const ImageLayout& got = reader.Layout();
      EXPECT_EQ(std::tie(got.width, got.height, got.grey, got.alpha, got.kind),
                std::tie(in.layout.width, in.layout.height, in.layout.grey, in.layout.alpha,
                         in.layout.kind));
      Pixels pixels(depth, got.width, got.height);
      reader.Read(pixels.view);
      const double hostMax = HostMax(depth);
      for (std::size_t i = 0; i < expected.size(); ++i) {
        for (int c = 0; c < 4; ++c) {
          const double v = expected[i][c], host = pixels.Get(int(i), c);
          if (depth == HostDepth::Float) {
            if (fileMax) {
              EXPECT_FLOAT_EQ(host, v / fileMax) << "pixel " << i << " channel " << c;
            } else {
              EXPECT_PRED2(SameFloat, host, v) << "pixel " << i << " channel " << c;
            }
          } else {
            EXPECT_EQ(host, fileMax ? RoundedRatio(v * hostMax, fileMax) : Quantised(v, hostMax))
                << "pixel " << i << " channel " << c;
          }
        }
      }
      // The padding between rows is left alone.
      for (int y = 0; y < got.height; ++y) {
        const unsigned char* pad = pixels.view.data + y * pixels.view.pitch +
                                   got.width * pixels.bytes;
        EXPECT_TRUE(std::all_of(pad, pad + 16, [](unsigned char b) { return b == 0xA5; }));
      }
    }
  }
}

// Host pixels go out in the layout of the input: grey as the mean of red,
// green and blue, alpha only where the input had it, 8-bit PNG only from an
// 8-bit file, OpenEXR half (PIZ) only from half, else float (uncompressed);
// samples rounded (never truncated) and clamped, NaN as 0. Taller than a
// band of rows, with the usual file permissions.
TEST_F(Tool, WritesTheLayoutOfItsInput) {
  std::mt19937 rng(3);
  const int w = 7, h = 258;
  const mode_t umaskNow = umask(0);
  umask(umaskNow);
  struct Case {
    std::string ext;
    ImageLayout like;
    int colorType, bitDepth;  // of a PNG
    std::string channels;     // of an OpenEXR file
    Imf::PixelType type;
  };
  auto like = [&](bool grey, bool alpha, SampleKind kind) {
    return ImageLayout{w, h, grey, alpha, kind};
  };
  const std::vector<Case> cases = {
      {".png", like(true, false, SampleKind::U8), PNG_COLOR_TYPE_GRAY, 8, "", Imf::FLOAT},
      {".png", like(true, true, SampleKind::U16), PNG_COLOR_TYPE_GRAY_ALPHA, 16, "", Imf::FLOAT},
      {".png", like(false, false, SampleKind::U8), PNG_COLOR_TYPE_RGB, 8, "", Imf::FLOAT},
      {".png", like(false, true, SampleKind::U8), PNG_COLOR_TYPE_RGB_ALPHA, 8, "", Imf::FLOAT},
      {".png", like(false, true, SampleKind::U16), PNG_COLOR_TYPE_RGB_ALPHA, 16, "", Imf::FLOAT},
      {".png", like(false, false, SampleKind::F32), PNG_COLOR_TYPE_RGB, 16, "", Imf::FLOAT},
      {".exr", like(false, false, SampleKind::U8), 0, 0, "RGB", Imf::FLOAT},
      {".exr", like(true, true, SampleKind::F32), 0, 0, "RGBA", Imf::FLOAT},
      {".exr", like(false, true, SampleKind::F16), 0, 0, "RGBA", Imf::HALF},
  };
  for (HostDepth depth : kDepths) {
    const double hostMax = HostMax(depth);
    Pixels pixels(depth, w, h);
    for (int i = 0; i < w * h; ++i) {
      for (int c = 0; c < 4; ++c) {
        if (depth != HostDepth::Float) {
          pixels.Set(i, c, i < 2 ? i * hostMax : rng() % (int(hostMax) + 1));
        } else {
          // Mostly between two 16-bit levels; a few beyond the range.
          pixels.Set(i, c, std::uniform_real_distribution<float>(-0.1f, 1.1f)(rng));
        }
      }
    }
    if (depth == HostDepth::Float) {
      pixels.Set(2, 1, 0.6 / 65535);  // 1 at 16 bits, 0 truncated
      pixels.Set(2, 2, NAN);
      pixels.Set(2, 3, INFINITY);
    }
    if (depth == HostDepth::Sixteen) pixels.Set(3, 1, 40000);  // above white
    for (const Case& c : cases) {
      SCOPED_TRACE(c.ext + " from host maximum " + std::to_string(hostMax) + ", grey " +
                   std::to_string(c.like.grey) + ", alpha " + std::to_string(c.like.alpha));
      const std::string path = Path("out" + c.ext);
      tessivo_tool::WriteImageFile(path, pixels.view, c.like);
      EXPECT_EQ(fs::status(path).permissions(), fs::perms(0666 & ~umaskNow));
      if (c.ext == ".png") {
        const StoredPng p = ReadPng(path);
        ASSERT_EQ(std::tie(p.width, p.height, p.colorType, p.bitDepth),
                  std::tie(w, h, c.colorType, c.bitDepth));
        const double fileMax = c.bitDepth == 16 ? 65535 : 255;
        // Exact for integer hosts: round(sum * fileMax / (count * hostMax)).
        auto sample = [&](double sum, int count) {
          if (depth == HostDepth::Float) return Quantised(sum / count, fileMax);
          return std::min(fileMax, RoundedRatio(sum * fileMax, count * hostMax));
        };
        const int n = SamplesPerPixel(c.colorType);
        for (int i = 0; i < w * h; ++i) {
          std::vector<double> want;
          if (c.like.grey) {
            want.push_back(sample(pixels.Get(i, 1) + pixels.Get(i, 2) + pixels.Get(i, 3), 3));
          } else {
            for (int ch = 1; ch < 4; ++ch) want.push_back(sample(pixels.Get(i, ch), 1));
          }
          if (c.like.alpha) want.push_back(sample(pixels.Get(i, 0), 1));
          for (int s = 0; s < n; ++s) EXPECT_EQ(p.samples[i * n + s], want[s]) << "pixel " << i;
        }
      } else {
        const StoredExr e = ReadExr(path);
        ASSERT_EQ(std::tie(e.width, e.height, e.channels, e.type),
                  std::tie(w, h, c.channels, c.type));
        EXPECT_EQ(e.compression,
                  c.type == Imf::HALF ? Imf::PIZ_COMPRESSION : Imf::NO_COMPRESSION);
        const std::size_t n = e.channels.size();
        for (int i = 0; i < w * h; ++i) {
          for (std::size_t s = 0; s < n; ++s) {
            double want = pixels.Get(i, s == 3 ? 0 : int(s) + 1) / hostMax;
            if (c.type == Imf::HALF) want = Imath::half(static_cast<float>(want));
            EXPECT_PRED2(SameFloat, e.samples[i * n + s], static_cast<float>(want))
                << "pixel " << i << " channel " << s;
          }
        }
      }
    }
  }
}

// At intensity 0 the effect gives its input back, so a run must give the
// input file back in its own layout, whatever depth the effect renders at:
// the samples changed only by the round trip through the host's range.
TEST_F(Tool, KeepsTheInputsLayoutAtEveryDepth) {
  std::mt19937 rng(5);
  const int w = 13, h = 6;
  auto png = [&](int colorType, int bitDepth) {
    StoredPng p{w, h, colorType, bitDepth, false, {}, {}, {}};
    for (int i = 0; i < SamplesPerPixel(colorType) * w * h; ++i) {
      p.samples.push_back(rng() % ((1u << bitDepth)));
    }
    return p;
  };
  auto exr = [&](const std::string& channels, Imf::PixelType type) {
    StoredExr e{w, h, channels, type, {}};
    for (std::size_t i = 0; i < channels.size() * w * h; ++i) {
      e.samples.push_back(static_cast<float>(
          Imath::half(std::uniform_real_distribution<float>(-0.5f, 3.0f)(rng))));
    }
    return e;
  };
  const StoredPng rgb8 = png(PNG_COLOR_TYPE_RGB, 8), rgba16 = png(PNG_COLOR_TYPE_RGB_ALPHA, 16);
  const StoredExr rgbFloat = exr("RGB", Imf::FLOAT), rgbaHalf = exr("RGBA", Imf::HALF);
  WritePng(Path("rgb8.png"), rgb8);
  WritePng(Path("rgba16.png"), rgba16);
  WriteExr(Path("rgb-float.exr"), rgbFloat);
  WriteExr(Path("rgba-half.exr"), rgbaHalf);

  // A file sample through a host of `depth` and back; floats come back as
  // they are (or rounded to half) from a float host.
  auto through = [](double v, double fileMax, int depth, bool half) {
    const double hostMax = depth == 8 ? 255 : depth == 16 ? 32768 : 0;
    if (fileMax) {
      if (!hostMax) return v;
      return RoundedRatio(RoundedRatio(v * hostMax, fileMax) * fileMax, hostMax);
    }
    const double f = hostMax ? Quantised(v, hostMax) / hostMax : v;
    return half ? double(Imath::half(static_cast<float>(f))) : f;
  };
  for (const std::string depth : {"", "8", "16", "32"}) {
    const int hostDepth = depth.empty() ? 0 : std::stoi(depth);
    const std::string option = depth.empty() ? "" : "--depth " + depth + " ";
    // The last renders a file onto itself.
    for (const auto& [from, to] :
         {std::pair{"rgb8.png", "out.png"}, std::pair{"rgba16.png", "out.png"},
          std::pair{"rgb-float.exr", "out.exr"}, std::pair{"rgba-half.exr", "out.exr"},
          std::pair{"rgb-float.exr", "out.png"}, std::pair{"rgb8.png", "rgb8.png"}}) {
      SCOPED_TRACE(option + from + " to " + to);
      ASSERT_EQ(Run("--intensity 0 --radius 3 " + option + Path(from) + " " + Path(to)), 0) << err;
      const std::string source(from);
      const bool pngIn = source.find(".png") != std::string::npos;
      const StoredPng& inPng = source == "rgb8.png" ? rgb8 : rgba16;
      const StoredExr& inExr = source == "rgb-float.exr" ? rgbFloat : rgbaHalf;
      const int defaultDepth = !pngIn ? 32 : inPng.bitDepth;
      const int renderDepth = hostDepth ? hostDepth : defaultDepth;
      if (std::string(to).find(".png") != std::string::npos) {
        const StoredPng got = ReadPng(Path(to));
        if (pngIn) {
          ASSERT_EQ(std::tie(got.colorType, got.bitDepth),
                    std::tie(inPng.colorType, inPng.bitDepth));
          ASSERT_EQ(got.samples.size(), inPng.samples.size());
          const double max = inPng.bitDepth == 16 ? 65535 : 255;
          for (std::size_t i = 0; i < got.samples.size(); ++i) {
            EXPECT_EQ(got.samples[i], through(inPng.samples[i], max, renderDepth, false)) << i;
          }
        } else {  // float to 16-bit, through the host's depth
          ASSERT_EQ(std::tie(got.colorType, got.bitDepth), std::make_tuple(PNG_COLOR_TYPE_RGB, 16));
          for (std::size_t i = 0; i < got.samples.size(); ++i) {
            const double f = through(inExr.samples[i], 0, renderDepth, false);
            EXPECT_EQ(got.samples[i], Quantised(f, 65535)) << i;
          }
        }
      } else {
        const StoredExr got = ReadExr(Path(to));
        ASSERT_EQ(std::tie(got.channels, got.type), std::tie(inExr.channels, inExr.type));
        for (std::size_t i = 0; i < got.samples.size(); ++i) {
          const double want = through(inExr.samples[i], 0, renderDepth, inExr.type == Imf::HALF);
          EXPECT_EQ(got.samples[i], static_cast<float>(want)) << i;
        }
      }
    }
  }
}

// Bad input: one line on stderr, a non-zero status, and the output file as
// it was, with no temporary left beside it.
TEST_F(Tool, FailsCleanlyLeavingTheOutputAlone) {
  // Noise, so that its file is larger than the write limit below.
  StoredPng noise{64, 64, PNG_COLOR_TYPE_RGB_ALPHA, 16, false, {}, {}, {}};
  std::mt19937 rng(7);
  for (int i = 0; i < 4 * 64 * 64; ++i) noise.samples.push_back(rng() % 65536);
  WritePng(Path("in.png"), noise);
  // Small enough for the stream's buffer: its write fails only at the close.
  StoredPng tiny{8, 8, PNG_COLOR_TYPE_RGB_ALPHA, 16, false, {}, {}, {}};
  tiny.samples.assign(noise.samples.begin(), noise.samples.begin() + 4 * 64);
  WritePng(Path("tiny.png"), tiny);
  std::ofstream(Path("text.png")) << "not an image";
  // A header claiming 16384 x 16384 16-bit RGBA over a 2-byte IDAT: refused
  // before 2 GiB are allocated for it, not when the data runs out.
  std::string huge = "\x89PNG\r\n\x1a\n";
  for (const std::string& chunk :
       {std::string("\0\0\0\x0dIHDR\0\0\x40\0\0\0\x40\0\x10\x06\0\0\0", 21),
        std::string("\0\0\0\x02IDAT\x78\x9c", 10)}) {
    const uLong crc = crc32(0, reinterpret_cast<const Bytef*>(chunk.data() + 4), chunk.size() - 4);
    huge += chunk + std::string{char(crc >> 24), char(crc >> 16), char(crc >> 8), char(crc)};
  }
  std::ofstream(Path("huge.png"), std::ios::binary) << huge;
  // An OpenEXR file whose table of chunks is still zero, as a writer that
  // stopped leaves it, in a codec with no bound on what a chunk decodes to:
  // refused before pixels are allocated for its header's size. Its one chunk
  // follows the table's 8 bytes.
  WriteExr(Path("unfinished.exr"), StoredExr{4, 4, "RGB", Imf::FLOAT, std::vector<float>(48),
                                             Imath::V2i(0, 0), Imf::DWAA_COMPRESSION});
  std::string unfinished;
  {
    std::stringstream bytes;
    bytes << std::ifstream(Path("unfinished.exr"), std::ios::binary).rdbuf();
    unfinished = bytes.str();
  }
  for (std::size_t at = 0; at + 8 <= unfinished.size(); ++at) {
    std::uint64_t offset;
    std::memcpy(&offset, unfinished.data() + at, 8);
    if (offset == at + 8) unfinished.replace(at, 8, 8, '\0');
  }
  std::ofstream(Path("unfinished.exr"), std::ios::binary) << unfinished;
  const std::string in = Path("in.png"), result = Path("out.png");
  // Writes past 4 KiB fail (and do not kill the writer).
  const std::string small = "trap '' XFSZ; ulimit -f 8;";
  const std::vector<std::tuple<std::string, std::string, int, std::string>> cases = {
      {"--frobnicate 1 " + in + " " + result, "", 2, "unknown option --frobnicate"},
      {"--radius 25 " + in + " " + result, "", 2, "out of range"},
      {"--luminosity maybe " + in + " " + result, "", 2, "on or off"},
      {in + " " + result + " --depth", "", 2, "--depth needs a value"},
      {Path("missing.png") + " " + result, "", 1, "cannot open"},
      {Path("text.png") + " " + result, "", 1, "unsupported file format"},
      {Path("huge.png") + " " + result, "", 1, "damaged PNG"},
      {Path("unfinished.exr") + " " + result, "", 1, "damaged OpenEXR"},
      {in + " " + Path("out.tiff"), "", 1, "unsupported output type"},
      {in + " " + Path("nowhere/out.png"), "", 1, "cannot create a temporary file"},
      {in + " " + result, small, 1, "cannot write PNG"},
      {in + " " + Path("out.exr"), small, 1, "cannot write OpenEXR"},
      {Path("tiny.png") + " " + result, "trap '' XFSZ; ulimit -f 1;", 1, "cannot write: "},
      {in + " " + result, "TESSIVO_MODULE=" + Path("none.so"), 1, "does not exist"}};
  for (const auto& [args, env, status, says] : cases) {
    SCOPED_TRACE(args);
    std::ofstream(result) << "precious";
    EXPECT_EQ(Run(args, env), status);
    EXPECT_NE(err.find(says), std::string::npos) << err;
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
    std::string content;
    std::ifstream(result) >> content;
    EXPECT_EQ(content, "precious");
    EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 8);
  }
}

TEST_F(Tool, PrintsTheAboutText) {
  ASSERT_EQ(Run("--about"), 0) << err;
  EXPECT_EQ(out.rfind("Brannic Tessivo, v2.0\nBrannic Tessivo (v2.0.2)", 0), 0u) << out;
}

}  // namespace
}  // namespace render_test
