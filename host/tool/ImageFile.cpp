#include "ImageFile.h"

#include <Imath/half.h>
#include <OpenEXR/IexBaseExc.h>
#include <OpenEXR/ImfChannelList.h>
#include <OpenEXR/ImfFrameBuffer.h>
#include <OpenEXR/ImfHeader.h>
#include <OpenEXR/ImfIO.h>
#include <OpenEXR/ImfInputFile.h>
#include <OpenEXR/ImfOutputFile.h>
#include <png.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <csetjmp>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

namespace tessivo_tool {
namespace {

// The stand-in host's largest frame side; a larger image could not be
// rendered, so it is refused before anything is allocated for it.
constexpr long long kMaxSide = 30000;

// Deflate gives at most 1032 bytes per byte read, so a header claiming more
// decoded data than that from the whole file is forged or truncated. The
// slack covers the container's own overhead in a tiny file.
constexpr std::uint64_t kMaxInflation = 1032;
constexpr std::uint64_t kInflationSlack = 1 << 16;

// Rows converted at a time between an OpenEXR file and host pixels of
// another sample type: a whole number of chunks for every scanline codec.
constexpr int kBand = 256;

[[noreturn]] void Fail(const std::string& path, const std::string& what) {
  throw ImageFileError(path + ": " + what);
}

void CheckDimensions(const std::string& path, long long width, long long height) {
  if (width < 1 || height < 1 || width > kMaxSide || height > kMaxSide) {
    Fail(path, "unsupported image size " + std::to_string(width) + " x " + std::to_string(height) +
                   " (at most " + std::to_string(kMaxSide) + " pixels a side)");
  }
}

std::uint64_t FileBytes(const std::string& path) {
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) Fail(path, std::string("cannot open: ") + std::strerror(errno));
  return static_cast<std::uint64_t>(st.st_size);
}

struct FileCloser {
  void operator()(std::FILE* f) const { std::fclose(f); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

File OpenFile(const std::string& path, const char* mode) {
  File f(std::fopen(path.c_str(), mode));
  if (!f) Fail(path, std::string("cannot open: ") + std::strerror(errno));
  return f;
}

// ---------------------------------------------------------------------------
// Samples between files and the host. Host channels hold 0..255, 0..32768 or
// floats; file samples 0..255, 0..65535 or floats.

constexpr unsigned kHost16Max = 32768;

// v rounded half up into 0..max; NaN gives 0.
unsigned Quantise(double v, unsigned max) {
  if (!(v > 0.0)) return 0;
  return v >= max ? max : static_cast<unsigned>(v + 0.5);
}

// An integer sample of 0..from as 0..to, rounded to nearest; from and to
// up to 65535, so the product stays within 32 bits.
constexpr unsigned Rescale(unsigned v, unsigned from, unsigned to) {
  return (v * to + from / 2) / from;
}

double HostMax(HostDepth depth) {
  return depth == HostDepth::Eight ? 255.0 : depth == HostDepth::Sixteen ? kHost16Max : 1.0;
}

template <class T>
T* RowOf(const HostPixels& p, int y) {
  return reinterpret_cast<T*>(p.data + y * p.pitch);
}

// Converts `n` ARGB samples of a file row (8 or 16-bit integers in native
// order, or floats) into a host row; `to` may be `from` when their samples
// have the same size.
template <class In>
void ToHost(const In* from, unsigned char* to, std::size_t n, HostDepth depth) {
  if (depth == HostDepth::Eight) {
    auto* out = to;
    for (std::size_t i = 0; i < n; ++i) {
      const In v = from[i];
      if constexpr (sizeof(In) == 1) {
        out[i] = v;
      } else if constexpr (sizeof(In) == 2) {
        out[i] = static_cast<std::uint8_t>(Rescale(v, 65535, 255));
      } else {
        out[i] = static_cast<std::uint8_t>(Quantise(static_cast<double>(v) * 255.0, 255));
      }
    }
  } else if (depth == HostDepth::Sixteen) {
    auto* out = reinterpret_cast<std::uint16_t*>(to);
    for (std::size_t i = 0; i < n; ++i) {
      const In v = from[i];
      if constexpr (sizeof(In) == 1) {
        out[i] = static_cast<std::uint16_t>(Rescale(v, 255, kHost16Max));
      } else if constexpr (sizeof(In) == 2) {
        out[i] = static_cast<std::uint16_t>(Rescale(v, 65535, kHost16Max));
      } else {
        out[i] = static_cast<std::uint16_t>(
            Quantise(static_cast<double>(v) * kHost16Max, kHost16Max));
      }
    }
  } else {
    auto* out = reinterpret_cast<float*>(to);
    for (std::size_t i = 0; i < n; ++i) {
      const In v = from[i];
      if constexpr (sizeof(In) == 1) {
        out[i] = v / 255.0f;
      } else if constexpr (sizeof(In) == 2) {
        out[i] = v / 65535.0f;
      } else {
        out[i] = v;
      }
    }
  }
}

// One host pixel's channels in host units, alpha first.
template <class Channel>
void HostPixel(const unsigned char* row, int x, double argb[4]) {
  const auto* p = reinterpret_cast<const Channel*>(row) + 4 * x;
  for (int c = 0; c < 4; ++c) argb[c] = static_cast<double>(p[c]);
}

// A host row as PNG samples, big-endian, in the file's order: grey (the mean
// of red, green and blue) or red, green and blue, then alpha if wanted.
void ToPngRow(const unsigned char* row, int width, HostDepth depth, bool grey, bool alpha,
              bool sixteen, unsigned char* out) {
  const unsigned max = sixteen ? 65535 : 255;
  auto put = [&](unsigned v) {
    if (sixteen) *out++ = static_cast<unsigned char>(v >> 8);
    *out++ = static_cast<unsigned char>(v);
  };
  // The common layouts of 8 and 16-bit files from hosts of their own depth.
  if (!grey && !sixteen && depth == HostDepth::Eight) {
    for (int x = 0; x < width; ++x, row += 4) {
      out[0] = row[1];
      out[1] = row[2];
      out[2] = row[3];
      out += 3;
      if (alpha) *out++ = row[0];
    }
    return;
  }
  if (!grey && sixteen && depth == HostDepth::Sixteen) {
    const auto* p = reinterpret_cast<const std::uint16_t*>(row);
    for (int x = 0; x < width; ++x, p += 4) {
      for (int c : {1, 2, 3, 0}) {
        if (c == 0 && !alpha) break;
        put(Rescale(std::min<unsigned>(p[c], kHost16Max), kHost16Max, 65535));
      }
    }
    return;
  }
  const double scale = max / HostMax(depth);
  for (int x = 0; x < width; ++x) {
    double argb[4];
    if (depth == HostDepth::Eight) {
      HostPixel<std::uint8_t>(row, x, argb);
    } else if (depth == HostDepth::Sixteen) {
      HostPixel<std::uint16_t>(row, x, argb);
    } else {
      HostPixel<float>(row, x, argb);
    }
    if (grey) {
      put(Quantise((argb[1] + argb[2] + argb[3]) * scale / 3.0, max));
    } else {
      for (int c = 1; c < 4; ++c) put(Quantise(argb[c] * scale, max));
    }
    if (alpha) put(Quantise(argb[0] * scale, max));
  }
}

// A host row as ARGB floats (or halves) with 1.0 as white.
template <class Out>
void ToFloatRow(const unsigned char* row, int width, HostDepth depth, Out* out) {
  const std::size_t n = 4 * static_cast<std::size_t>(width);
  if (depth == HostDepth::Eight) {
    for (std::size_t i = 0; i < n; ++i) out[i] = Out(row[i] / 255.0f);
  } else if (depth == HostDepth::Sixteen) {
    const auto* p = reinterpret_cast<const std::uint16_t*>(row);
    for (std::size_t i = 0; i < n; ++i) out[i] = Out(p[i] / static_cast<float>(kHost16Max));
  } else {
    const auto* p = reinterpret_cast<const float*>(row);
    for (std::size_t i = 0; i < n; ++i) out[i] = Out(p[i]);
  }
}

void CheckPixels(const std::string& path, const HostPixels& p, int width, int height) {
  if (p.width != width || p.height != height || !p.data ||
      p.pitch < static_cast<std::ptrdiff_t>(HostPixelBytes(p.depth) * width)) {
    Fail(path, "pixels of " + std::to_string(p.width) + " x " + std::to_string(p.height) +
                   " for an image of " + std::to_string(width) + " x " + std::to_string(height));
  }
}

// ---------------------------------------------------------------------------
// PNG. libpng reports errors by longjmp, so each function that calls it keeps
// only trivially destructible locals between setjmp and the libpng calls.

struct PngMessage {
  char text[200] = "";
};

void PngError(png_structp png, png_const_charp message) {
  auto* m = static_cast<PngMessage*>(png_get_error_ptr(png));
  std::snprintf(m->text, sizeof m->text, "%s", message);
  png_longjmp(png, 1);
}

void PngWarning(png_structp, png_const_charp) {}

// libpng's structures for reading or writing one file, with errors routed
// to `message`; freed when the state goes.
template <bool Write>
struct PngState {
  explicit PngState(const std::string& path) {
    png = Write ? png_create_write_struct(PNG_LIBPNG_VER_STRING, &message, PngError, PngWarning)
                : png_create_read_struct(PNG_LIBPNG_VER_STRING, &message, PngError, PngWarning);
    if (png) info = png_create_info_struct(png);
    if (!info) {
      Destroy();
      Fail(path, "out of memory");
    }
  }
  ~PngState() { Destroy(); }
  PngState(const PngState&) = delete;
  PngState& operator=(const PngState&) = delete;

  void Destroy() {
    if (Write) {
      png_destroy_write_struct(&png, info ? &info : nullptr);
    } else {
      png_destroy_read_struct(&png, info ? &info : nullptr, nullptr);
    }
  }
  // libpng's own words on the last error, if any.
  std::string Why() const { return *message.text ? std::string(": ") + message.text : ""; }

  PngMessage message;
  png_structp png = nullptr;
  png_infop info = nullptr;
};
using PngReadState = PngState<false>;
using PngWriteState = PngState<true>;

struct PngHeader {
  png_uint_32 width = 0, height = 0;
  int bitDepth = 0, colorType = 0, channels = 0;
  bool transparency = false;  // a tRNS chunk
};

// Reads the header as stored. Returns false on a libpng error.
bool PngReadHeader(PngReadState& s, std::FILE* f, PngHeader* h) {
  if (setjmp(png_jmpbuf(s.png))) return false;
  png_init_io(s.png, f);
  png_read_info(s.png, s.info);
  png_get_IHDR(s.png, s.info, &h->width, &h->height, &h->bitDepth, &h->colorType, nullptr, nullptr,
               nullptr);
  h->channels = png_get_channels(s.png, s.info);
  h->transparency = png_get_valid(s.png, s.info, PNG_INFO_tRNS) != 0;
  return true;
}

// Sets the transformations that give host-ordered ARGB at 8 or 16 bits, the
// 16-bit samples in native order. Returns false on a libpng error or
// another layout; `passes` is 7 for an interlaced file, else 1.
bool PngSetTransforms(PngReadState& s, const ImageLayout& layout, int* passes) {
  if (setjmp(png_jmpbuf(s.png))) return false;
  const bool sixteen = layout.kind == SampleKind::U16;
  png_set_expand(s.png);  // palette to RGB, grey below 8 bits to 8, tRNS to alpha
  if (layout.grey) png_set_gray_to_rgb(s.png);
  if (layout.alpha) {
    png_set_swap_alpha(s.png);
  } else {
    png_set_filler(s.png, sixteen ? 0xFFFF : 0xFF, PNG_FILLER_BEFORE);
  }
  const std::uint16_t one = 1;
  if (sixteen && *reinterpret_cast<const unsigned char*>(&one) == 1) png_set_swap(s.png);
  *passes = png_set_interlace_handling(s.png);
  png_read_update_info(s.png, s.info);
  return png_get_channels(s.png, s.info) == 4 &&
         png_get_bit_depth(s.png, s.info) == (sixteen ? 16 : 8) &&
         png_get_rowbytes(s.png, s.info) == (sixteen ? 8u : 4u) * layout.width;
}

// Reads the rows one by one, each into `into(y)`, then `done(y)`; or, for an
// interlaced file, all of them into `into(y)` before any `done(y)`.
template <class Into, class Done>
bool PngReadRows(PngReadState& s, int height, int passes, png_bytepp rows, Into into, Done done) {
  if (setjmp(png_jmpbuf(s.png))) return false;
  if (passes == 1) {
    for (int y = 0; y < height; ++y) {
      png_read_row(s.png, into(y), nullptr);
      done(y);
    }
  } else {
    for (int y = 0; y < height; ++y) rows[y] = into(y);
    png_read_image(s.png, rows);
    for (int y = 0; y < height; ++y) done(y);
  }
  png_read_end(s.png, nullptr);
  return true;
}

// Level 1 deflate with run-length matching over the Sub filter: measured on
// a 3840 x 2160 photo it writes 8-bit RGB 8 times and 16-bit RGB 7 times as
// fast as zlib's default level with adaptive filters, for files 20% and 5%
// larger, and reads back as fast or faster; the same settings as OpenCV's.
// libspng with the same settings was no faster.
bool PngWriteRows(PngWriteState& s, std::FILE* f, const HostPixels& p, const ImageLayout& like,
                  unsigned char* row) {
  if (setjmp(png_jmpbuf(s.png))) return false;
  const bool sixteen = like.kind != SampleKind::U8;
  png_init_io(s.png, f);
  png_set_compression_level(s.png, 1);
  png_set_compression_strategy(s.png, Z_RLE);
  png_set_filter(s.png, PNG_FILTER_TYPE_BASE, PNG_FILTER_SUB);
  const int colorType = like.grey ? (like.alpha ? PNG_COLOR_TYPE_GRAY_ALPHA : PNG_COLOR_TYPE_GRAY)
                                  : (like.alpha ? PNG_COLOR_TYPE_RGB_ALPHA : PNG_COLOR_TYPE_RGB);
  png_set_IHDR(s.png, s.info, static_cast<png_uint_32>(p.width), static_cast<png_uint_32>(p.height),
               sixteen ? 16 : 8, colorType, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
               PNG_FILTER_TYPE_DEFAULT);
  png_write_info(s.png, s.info);
  for (int y = 0; y < p.height; ++y) {
    ToPngRow(RowOf<unsigned char>(p, y), p.width, p.depth, like.grey, like.alpha, sixteen, row);
    png_write_row(s.png, row);
  }
  png_write_end(s.png, nullptr);
  return true;
}

void WritePng(const std::string& path, std::FILE* f, const HostPixels& p,
              const ImageLayout& like) {
  const std::size_t samples = (like.grey ? 1 : 3) + (like.alpha ? 1 : 0);
  std::vector<unsigned char> row(samples * (like.kind == SampleKind::U8 ? 1 : 2) * p.width);
  PngWriteState s(path);
  if (!PngWriteRows(s, f, p, like, row.data())) Fail(path, "cannot write PNG" + s.Why());
}

// ---------------------------------------------------------------------------
// OpenEXR

// Bytes a channel of this type decodes to per pixel.
std::uint64_t ExrSampleBytes(Imf::PixelType type) { return type == Imf::HALF ? 2 : 4; }

// Whether decoded data is bounded by 4/3 * kMaxInflation per file byte: RLE,
// PIZ and B44 expand less than deflate, and PXR24 deflates floats cut to 3
// bytes. DWA's nested coding of near-constant blocks has no useful bound.
bool ExrInflationBounded(Imf::Compression c) {
  switch (c) {
    case Imf::NO_COMPRESSION:
    case Imf::RLE_COMPRESSION:
    case Imf::ZIPS_COMPRESSION:
    case Imf::ZIP_COMPRESSION:
    case Imf::PIZ_COMPRESSION:
    case Imf::PXR24_COMPRESSION:
    case Imf::B44_COMPRESSION:
    case Imf::B44A_COMPRESSION:
      return true;
    default:
      return false;
  }
}

const char* const kArgbNames[4] = {"A", "R", "G", "B"};

// Slices of the channels kArgbNames[first..3] of interleaved ARGB samples
// of `type`, the pixel window.min at `base`, rows yStride bytes apart. A
// channel the file lacks reads as 1.0 for alpha (opaque), 0.0 otherwise.
Imf::FrameBuffer ArgbFrame(Imf::PixelType type, char* base, const Imath::Box2i& window,
                           std::size_t yStride, int first) {
  const std::size_t sampleBytes = type == Imf::HALF ? sizeof(Imath::half) : sizeof(float);
  Imf::FrameBuffer frame;
  for (int c = first; c < 4; ++c) {
    frame.insert(kArgbNames[c], Imf::Slice::Make(type, base + sampleBytes * c, window,
                                                 4 * sampleBytes, yStride, 1, 1,
                                                 c == 0 ? 1.0 : 0.0));
  }
  return frame;
}

// A file stream that remembers a failed write, which OpenEXR's output file
// would otherwise swallow when it finishes the file in its destructor.
class ExrFileStream : public Imf::OStream {
 public:
  ExrFileStream(std::FILE* f, const std::string& path) : Imf::OStream(path.c_str()), f_(f) {}
  void write(const char c[], int n) override {
    if (std::fwrite(c, 1, static_cast<std::size_t>(n), f_) != static_cast<std::size_t>(n)) Fault();
  }
  std::uint64_t tellp() override {
    const off_t at = ftello(f_);
    if (at < 0) Fault();
    return static_cast<std::uint64_t>(at);
  }
  void seekp(std::uint64_t pos) override {
    if (fseeko(f_, static_cast<off_t>(pos), SEEK_SET) != 0) Fault();
  }
  // Why the first write failed; empty if none did.
  const std::string& Failure() const { return failure_; }

 private:
  void Fault() {
    if (failure_.empty()) failure_ = std::strerror(errno);
    throw Iex::IoExc(failure_);
  }
  std::FILE* f_;
  std::string failure_;
};

// Uncompressed float, PIZ half. Measured on a 3840 x 2160 photo, the
// lossless codecs save 10% (RLE) to 30% (PIZ) of a float file for 4 to 27
// times the write time (ZIP, OpenCV's choice: 3.1 s against 0.11 s), longer
// than a disk takes to write the bytes they save; PIZ saves 60% of a half
// file for 0.3 s more, and reads back in 0.3 s.
void WriteExr(const std::string& path, std::FILE* f, const HostPixels& p,
              const ImageLayout& like) {
  const bool half = like.kind == SampleKind::F16;
  const Imf::PixelType type = half ? Imf::HALF : Imf::FLOAT;
  const int first = like.alpha ? 0 : 1;  // of kArgbNames
  ExrFileStream stream(f, path);
  try {
    Imf::Header header(p.width, p.height);
    header.compression() = half ? Imf::PIZ_COMPRESSION : Imf::NO_COMPRESSION;
    for (int c = first; c < 4; ++c) header.channels().insert(kArgbNames[c], Imf::Channel(type));
    Imf::OutputFile out(stream, header);
    if (!half && p.depth == HostDepth::Float) {
      out.setFrameBuffer(ArgbFrame(Imf::FLOAT, reinterpret_cast<char*>(p.data),
                                   Imath::Box2i({0, 0}, {p.width - 1, p.height - 1}),
                                   static_cast<std::size_t>(p.pitch), first));
      out.writePixels(p.height);
    } else {
      const std::size_t rowBytes = 4 * (half ? sizeof(Imath::half) : sizeof(float)) * p.width;
      std::vector<char> band(rowBytes * std::min(kBand, p.height));
      for (int top = 0; top < p.height; top += kBand) {
        const int rows = std::min(kBand, p.height - top);
        for (int y = 0; y < rows; ++y) {
          char* to = band.data() + y * rowBytes;
          const unsigned char* from = RowOf<unsigned char>(p, top + y);
          if (half) {
            ToFloatRow(from, p.width, p.depth, reinterpret_cast<Imath::half*>(to));
          } else {
            ToFloatRow(from, p.width, p.depth, reinterpret_cast<float*>(to));
          }
        }
        out.setFrameBuffer(ArgbFrame(type, band.data(),
                                     Imath::Box2i({0, top}, {p.width - 1, top + rows - 1}),
                                     rowBytes, first));
        out.writePixels(rows);
      }
    }
  } catch (const std::exception& e) {
    Fail(path, std::string("cannot write OpenEXR: ") + e.what());
  }
  if (!stream.Failure().empty()) Fail(path, "cannot write OpenEXR: " + stream.Failure());
}

std::string Lowercase(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return s;
}

bool EndsWith(const std::string& s, const std::string& suffix) {
  return s.size() >= suffix.size() &&
         s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0;
}

}  // namespace

std::size_t HostPixelBytes(HostDepth depth) {
  return depth == HostDepth::Eight ? 4 : depth == HostDepth::Sixteen ? 8 : 16;
}

struct ImageReader::Impl {
  explicit Impl(const std::string& p) : path(p) {}
  void OpenPng();
  void OpenExr();
  void ReadPng(const HostPixels& p);
  void ReadExr(const HostPixels& p);

  std::string path;
  ImageLayout layout;
  bool done = false;
  File file;
  std::unique_ptr<PngReadState> png;
  int passes = 1;
  std::unique_ptr<Imf::InputFile> exr;
};

void ImageReader::Impl::OpenPng() {
  file = OpenFile(path, "rb");
  png = std::make_unique<PngReadState>(path);
  PngHeader h;
  if (!PngReadHeader(*png, file.get(), &h)) Fail(path, "unreadable PNG" + png->Why());
  CheckDimensions(path, h.width, h.height);
  // The stored samples alone, without filter bytes or interlace padding: a
  // lower bound on what the file's compressed data must decode to.
  const std::uint64_t storedBytes =
      (static_cast<std::uint64_t>(h.width) * h.height * h.channels * h.bitDepth + 7) / 8;
  if (storedBytes > FileBytes(path) * kMaxInflation + kInflationSlack) {
    Fail(path, "damaged PNG: header claims more pixels than the file can hold");
  }
  layout.width = static_cast<int>(h.width);
  layout.height = static_cast<int>(h.height);
  layout.grey = !(h.colorType & PNG_COLOR_MASK_COLOR);
  layout.alpha = (h.colorType & PNG_COLOR_MASK_ALPHA) || h.transparency;
  layout.kind = h.bitDepth == 16 ? SampleKind::U16 : SampleKind::U8;
  if (!PngSetTransforms(*png, layout, &passes)) Fail(path, "unreadable PNG" + png->Why());
}

void ImageReader::Impl::ReadPng(const HostPixels& p) {
  const bool sixteen = layout.kind == SampleKind::U16;
  const std::size_t samples = 4 * static_cast<std::size_t>(p.width);
  const std::size_t fileRowBytes = samples * (sixteen ? 2 : 1);
  // Rows land in the host's own pixels when the sample sizes agree, and are
  // converted there; otherwise they pass through a row, or for an
  // interlaced file (whose passes revisit every row) the whole image.
  const bool inPlace = sixteen ? p.depth == HostDepth::Sixteen : p.depth == HostDepth::Eight;
  std::vector<unsigned char> buffer;
  if (!inPlace) buffer.resize(fileRowBytes * (passes == 1 ? 1 : p.height));
  std::vector<png_bytep> rows(passes == 1 ? 0 : p.height);
  auto into = [&](int y) {
    return inPlace ? RowOf<unsigned char>(p, y)
                   : buffer.data() + (passes == 1 ? 0 : y * fileRowBytes);
  };
  auto done = [&](int y) {
    unsigned char* from = into(y);
    if (sixteen) {
      ToHost(reinterpret_cast<const std::uint16_t*>(from), RowOf<unsigned char>(p, y), samples,
             p.depth);
    } else if (!inPlace) {
      ToHost(from, RowOf<unsigned char>(p, y), samples, p.depth);
    }
  };
  if (!PngReadRows(*png, p.height, passes, rows.data(), into, done)) {
    Fail(path, "unreadable PNG" + png->Why());
  }
}

void ImageReader::Impl::OpenExr() {
  // The library checks these limits in every header it reads, before it
  // allocates line or tile buffers for it.
  static const bool limited = [] {
    Imf::Header::setMaxImageSize(kMaxSide, kMaxSide);
    Imf::Header::setMaxTileSize(kMaxSide, kMaxSide);
    return true;
  }();
  static_cast<void>(limited);
  try {
    exr = std::make_unique<Imf::InputFile>(path.c_str());
    const Imf::Header& header = exr->header();
    const Imath::Box2i window = header.dataWindow();
    const long long width = static_cast<long long>(window.max.x) - window.min.x + 1;
    const long long height = static_cast<long long>(window.max.y) - window.min.y + 1;
    CheckDimensions(path, width, height);
    const Imf::ChannelList& channels = header.channels();
    layout.width = static_cast<int>(width);
    layout.height = static_cast<int>(height);
    layout.alpha = channels.findChannel("A") != nullptr;
    bool allHalf = true;
    std::uint64_t pixelBytes = 0;
    for (int c = layout.alpha ? 0 : 1; c < 4; ++c) {
      const Imf::Channel* channel = channels.findChannel(kArgbNames[c]);
      if (!channel) Fail(path, "unsupported OpenEXR: no R, G and B channels");
      if (channel->xSampling != 1 || channel->ySampling != 1) {
        Fail(path, "unsupported OpenEXR: subsampled channel " + std::string(kArgbNames[c]));
      }
      if (c > 0) pixelBytes += ExrSampleBytes(channel->type);
      allHalf = allHalf && channel->type == Imf::HALF;
    }
    layout.kind = allHalf ? SampleKind::F16 : SampleKind::F32;
    if (ExrInflationBounded(header.compression())) {
      if (3 * pixelBytes * width * height >
          4 * (FileBytes(path) * kMaxInflation + kInflationSlack)) {
        Fail(path, "damaged OpenEXR: header claims more pixels than the file can hold");
      }
    } else if (!exr->isComplete()) {
      // Without a bound, only the chunks' presence tells a forged size from
      // a real one, before the caller allocates pixels for it.
      Fail(path, "damaged OpenEXR: pixel data missing");
    }
  } catch (const ImageFileError&) {
    throw;
  } catch (const std::exception& e) {
    Fail(path, std::string("unreadable OpenEXR: ") + e.what());
  }
}

void ImageReader::Impl::ReadExr(const HostPixels& p) {
  try {
    const Imath::Box2i window = exr->header().dataWindow();
    if (p.depth == HostDepth::Float) {
      exr->setFrameBuffer(ArgbFrame(Imf::FLOAT, reinterpret_cast<char*>(p.data), window,
                                    static_cast<std::size_t>(p.pitch), 0));
      exr->readPixels(window.min.y, window.max.y);
      return;
    }
    const std::size_t rowBytes = 4 * sizeof(float) * p.width;
    std::vector<float> band(4 * static_cast<std::size_t>(p.width) * std::min(kBand, p.height));
    for (int top = 0; top < p.height; top += kBand) {
      const int rows = std::min(kBand, p.height - top);
      const Imath::Box2i part({window.min.x, window.min.y + top},
                              {window.max.x, window.min.y + top + rows - 1});
      exr->setFrameBuffer(ArgbFrame(Imf::FLOAT, reinterpret_cast<char*>(band.data()), part,
                                    rowBytes, 0));
      exr->readPixels(part.min.y, part.max.y);
      for (int y = 0; y < rows; ++y) {
        ToHost(band.data() + y * 4 * static_cast<std::size_t>(p.width),
               RowOf<unsigned char>(p, top + y), 4 * static_cast<std::size_t>(p.width), p.depth);
      }
    }
  } catch (const std::exception& e) {
    Fail(path, std::string("unreadable OpenEXR: ") + e.what());
  }
}

ImageReader::ImageReader(const std::string& path) : impl_(std::make_unique<Impl>(path)) {
  unsigned char magic[8] = {};
  {
    File f = OpenFile(path, "rb");
    if (std::fread(magic, 1, sizeof magic, f.get()) != sizeof magic) {
      Fail(path, "unsupported file format (neither PNG nor OpenEXR)");
    }
  }
  static const unsigned char kExrMagic[4] = {0x76, 0x2f, 0x31, 0x01};
  if (png_sig_cmp(magic, 0, sizeof magic) == 0) {
    impl_->OpenPng();
  } else if (std::memcmp(magic, kExrMagic, sizeof kExrMagic) == 0) {
    impl_->OpenExr();
  } else {
    Fail(path, "unsupported file format (neither PNG nor OpenEXR)");
  }
}

ImageReader::~ImageReader() = default;

const ImageLayout& ImageReader::Layout() const { return impl_->layout; }

void ImageReader::Read(const HostPixels& pixels) {
  Impl& m = *impl_;
  CheckPixels(m.path, pixels, m.layout.width, m.layout.height);
  if (m.done) Fail(m.path, "pixels already read");
  m.done = true;
  if (m.png) {
    m.ReadPng(pixels);
  } else {
    m.ReadExr(pixels);
  }
}

FileType FileTypeForPath(const std::string& path) {
  const std::string lower = Lowercase(path);
  if (EndsWith(lower, ".png")) return FileType::Png;
  if (EndsWith(lower, ".exr")) return FileType::Exr;
  Fail(path, "unsupported output type (use .png or .exr)");
}

void WriteImageFile(const std::string& path, const HostPixels& pixels, const ImageLayout& like) {
  const FileType type = FileTypeForPath(path);
  if (pixels.width < 1 || pixels.height < 1) Fail(path, "nothing to write");
  CheckPixels(path, pixels, like.width, like.height);
  // The temporary lies beside the target so that the rename stays within one
  // file system and replaces the target in one step.
  std::string temp = path + ".tmp-XXXXXX";
  const int fd = mkstemp(temp.data());
  if (fd < 0) Fail(path, std::string("cannot create a temporary file: ") + std::strerror(errno));
  // mkstemp creates the file private; the result gets the usual permissions.
  const mode_t mask = umask(0);
  umask(mask);
  fchmod(fd, 0666 & ~mask);
  File f(fdopen(fd, "wb"));
  try {
    if (!f) {
      close(fd);
      Fail(path, std::string("cannot write: ") + std::strerror(errno));
    }
    if (type == FileType::Png) {
      WritePng(path, f.get(), pixels, like);
    } else {
      WriteExr(path, f.get(), pixels, like);
    }
    if (std::fclose(f.release()) != 0) {
      Fail(path, std::string("cannot write: ") + std::strerror(errno));
    }
    if (std::rename(temp.c_str(), path.c_str()) != 0) {
      Fail(path, std::string("cannot replace: ") + std::strerror(errno));
    }
  } catch (...) {
    f.reset();
    std::remove(temp.c_str());
    throw;
  }
}

}  // namespace tessivo_tool
