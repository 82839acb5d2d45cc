#include "ImageFile.h"

#include <OpenEXR/ImfChannelList.h>
#include <OpenEXR/ImfFrameBuffer.h>
#include <OpenEXR/ImfHeader.h>
#include <OpenEXR/ImfInputFile.h>
#include <OpenEXR/ImfOutputFile.h>
#include <png.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <csetjmp>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>

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

// Reads the header as stored: size, bit depth, colour type and samples per
// pixel. Returns false on a libpng error.
bool PngReadHeader(PngReadState& s, std::FILE* f, png_uint_32* width, png_uint_32* height,
                   int* bitDepth, int* colorType, int* channels) {
  if (setjmp(png_jmpbuf(s.png))) return false;
  png_init_io(s.png, f);
  png_read_info(s.png, s.info);
  png_get_IHDR(s.png, s.info, width, height, bitDepth, colorType, nullptr, nullptr, nullptr);
  *channels = png_get_channels(s.png, s.info);
  return true;
}

// Sets the transformations that give 4 samples per pixel (RGBA) at 8 or 16
// bits. Returns false on a libpng error or another layout.
bool PngSetTransforms(PngReadState& s, int colorType, int* bitDepth) {
  if (setjmp(png_jmpbuf(s.png))) return false;
  png_set_expand(s.png);  // palette to RGB, grey below 8 bits to 8, tRNS to alpha
  if (colorType == PNG_COLOR_TYPE_GRAY || colorType == PNG_COLOR_TYPE_GRAY_ALPHA) {
    png_set_gray_to_rgb(s.png);
  }
  if (*bitDepth < 8) *bitDepth = 8;
  png_set_add_alpha(s.png, *bitDepth == 16 ? 0xFFFF : 0xFF, PNG_FILLER_AFTER);
  png_set_interlace_handling(s.png);
  png_read_update_info(s.png, s.info);
  *bitDepth = png_get_bit_depth(s.png, s.info);
  return png_get_channels(s.png, s.info) == 4;
}

bool PngReadRows(PngReadState& s, png_bytepp rows) {
  if (setjmp(png_jmpbuf(s.png))) return false;
  png_read_image(s.png, rows);
  png_read_end(s.png, nullptr);
  return true;
}

Raster ReadPng(const std::string& path) {
  File f = OpenFile(path, "rb");
  PngReadState s(path);

  png_uint_32 width = 0, height = 0;
  int bitDepth = 0, colorType = 0, channels = 0;
  if (!PngReadHeader(s, f.get(), &width, &height, &bitDepth, &colorType, &channels)) {
    Fail(path, "unreadable PNG" + s.Why());
  }
  CheckDimensions(path, width, height);
  // The stored samples alone, without filter bytes or interlace padding: a
  // lower bound on what the file's compressed data must decode to.
  const std::uint64_t storedBytes =
      (static_cast<std::uint64_t>(width) * height * channels * bitDepth + 7) / 8;
  if (storedBytes > FileBytes(path) * kMaxInflation + kInflationSlack) {
    Fail(path, "damaged PNG: header claims more pixels than the file can hold");
  }
  if (!PngSetTransforms(s, colorType, &bitDepth)) Fail(path, "unreadable PNG" + s.Why());
  const std::size_t bytesPerSample = bitDepth == 16 ? 2 : 1;
  const std::size_t rowBytes = 4 * bytesPerSample * width;
  if (png_get_rowbytes(s.png, s.info) != rowBytes) Fail(path, "unsupported PNG layout");

  std::vector<png_byte> bytes(rowBytes * height);
  std::vector<png_bytep> rows(height);
  for (png_uint_32 y = 0; y < height; ++y) rows[y] = bytes.data() + y * rowBytes;
  if (!PngReadRows(s, rows.data())) {
    Fail(path, "unreadable PNG" + s.Why());
  }

  Raster r;
  r.width = static_cast<int>(width);
  r.height = static_cast<int>(height);
  r.kind = bitDepth == 16 ? SampleKind::U16 : SampleKind::U8;
  r.samples.resize(4 * static_cast<std::size_t>(width) * height);
  for (std::size_t i = 0; i < r.samples.size(); ++i) {
    r.samples[i] = bitDepth == 16 ? static_cast<float>((bytes[2 * i] << 8) | bytes[2 * i + 1])
                                  : static_cast<float>(bytes[i]);
  }
  return r;
}

bool PngWriteRows(PngWriteState& s, std::FILE* f, const Raster& r, int bitDepth, png_bytepp rows) {
  if (setjmp(png_jmpbuf(s.png))) return false;
  png_init_io(s.png, f);
  png_set_IHDR(s.png, s.info, static_cast<png_uint_32>(r.width), static_cast<png_uint_32>(r.height),
               bitDepth, PNG_COLOR_TYPE_RGB_ALPHA, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
               PNG_FILTER_TYPE_DEFAULT);
  png_write_info(s.png, s.info);
  png_write_image(s.png, rows);
  png_write_end(s.png, nullptr);
  return true;
}

// v rounded to an integer in 0..max; NaN gives 0.
unsigned Quantise(float v, float max) {
  if (!(v > 0.0f)) return 0;
  return v >= max ? static_cast<unsigned>(max) : static_cast<unsigned>(std::lround(v));
}

// Writes to `file`; messages name `path`.
void WritePng(const std::string& path, const std::string& file, const Raster& r) {
  const bool eight = r.kind == SampleKind::U8;
  const std::size_t bytesPerSample = eight ? 1 : 2;
  const std::size_t rowBytes = 4 * bytesPerSample * r.width;
  std::vector<png_byte> bytes(rowBytes * r.height);
  for (std::size_t i = 0; i < r.samples.size(); ++i) {
    const float v = r.samples[i];
    if (eight) {
      bytes[i] = static_cast<png_byte>(Quantise(v, 255.0f));
    } else {
      const unsigned s = Quantise(r.kind == SampleKind::U16 ? v : v * 65535.0f, 65535.0f);
      bytes[2 * i] = static_cast<png_byte>(s >> 8);
      bytes[2 * i + 1] = static_cast<png_byte>(s & 0xFF);
    }
  }
  std::vector<png_bytep> rows(r.height);
  for (int y = 0; y < r.height; ++y) rows[y] = bytes.data() + y * rowBytes;

  File f = OpenFile(file, "wb");
  PngWriteState s(path);
  if (!PngWriteRows(s, f.get(), r, eight ? 8 : 16, rows.data())) {
    Fail(path, "cannot write PNG" + s.Why());
  }
  if (std::fclose(f.release()) != 0) Fail(path, "cannot write PNG");
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

Raster ReadExr(const std::string& path) {
  // The library checks these limits in every header it reads, before it
  // allocates line or tile buffers for it.
  static const bool limited = [] {
    Imf::Header::setMaxImageSize(kMaxSide, kMaxSide);
    Imf::Header::setMaxTileSize(kMaxSide, kMaxSide);
    return true;
  }();
  static_cast<void>(limited);
  try {
    Imf::InputFile file(path.c_str());
    const Imath::Box2i window = file.header().dataWindow();
    const long long width = static_cast<long long>(window.max.x) - window.min.x + 1;
    const long long height = static_cast<long long>(window.max.y) - window.min.y + 1;
    CheckDimensions(path, width, height);
    const Imf::ChannelList& channels = file.header().channels();
    std::uint64_t pixelBytes = 0;
    for (const char* name : {"R", "G", "B"}) {
      const Imf::Channel* channel = channels.findChannel(name);
      if (!channel) Fail(path, "unsupported OpenEXR: no R, G and B channels");
      if (channel->xSampling != 1 || channel->ySampling != 1) {
        Fail(path, "unsupported OpenEXR: subsampled R, G or B channel");
      }
      pixelBytes += ExrSampleBytes(channel->type);
    }
    const bool bounded = ExrInflationBounded(file.header().compression());
    if (bounded && 3 * pixelBytes * width * height >
                       4 * (FileBytes(path) * kMaxInflation + kInflationSlack)) {
      Fail(path, "damaged OpenEXR: header claims more pixels than the file can hold");
    }
    Raster r;
    r.width = static_cast<int>(width);
    r.height = static_cast<int>(height);
    r.kind = SampleKind::F32;
    const std::size_t rowSamples = 4 * static_cast<std::size_t>(width);
    // Otherwise the raster grows band by band as pixels are actually read,
    // so a forged window fails at its first missing chunk.
    if (bounded) r.samples.reserve(rowSamples * height);

    // 256 lines is a whole number of chunks for every scanline codec.
    constexpr long long kBand = 256;
    for (long long top = 0; top < height; top += kBand) {
      const long long bottom = std::min(top + kBand, height);
      r.samples.resize(rowSamples * bottom);
      // The slices address pixel (x, y) of the data window relative to its
      // origin, which may be anywhere; the arithmetic is done in chars so
      // that no out-of-range pointer is formed before the library adds x and
      // y back.
      const std::size_t xStride = 4 * sizeof(float);
      const std::size_t yStride = xStride * r.width;
      char* origin =
          reinterpret_cast<char*>(r.samples.data()) -
          static_cast<std::ptrdiff_t>(window.min.x) * static_cast<std::ptrdiff_t>(xStride) -
          static_cast<std::ptrdiff_t>(window.min.y) * static_cast<std::ptrdiff_t>(yStride);
      Imf::FrameBuffer frame;
      const char* names[4] = {"R", "G", "B", "A"};
      for (int c = 0; c < 4; ++c) {
        // A missing alpha is filled with 1.0, full opacity.
        frame.insert(names[c], Imf::Slice(Imf::FLOAT, origin + c * sizeof(float), xStride,
                                          yStride, 1, 1, c == 3 ? 1.0 : 0.0));
      }
      file.setFrameBuffer(frame);
      file.readPixels(window.min.y + static_cast<int>(top),
                      window.min.y + static_cast<int>(bottom) - 1);
    }
    return r;
  } catch (const ImageFileError&) {
    throw;
  } catch (const std::exception& e) {
    Fail(path, std::string("unreadable OpenEXR: ") + e.what());
  }
}

void WriteExr(const std::string& path, const std::string& file, const Raster& r) {
  const float scale = r.kind == SampleKind::U8    ? 1.0f / 255.0f
                      : r.kind == SampleKind::U16 ? 1.0f / 65535.0f
                                                  : 1.0f;
  std::vector<float> samples(r.samples);
  if (scale != 1.0f) {
    for (float& v : samples) v *= scale;
  }
  try {
    Imf::Header header(r.width, r.height);
    const char* names[4] = {"R", "G", "B", "A"};
    Imf::FrameBuffer frame;
    const std::size_t xStride = 4 * sizeof(float);
    for (int c = 0; c < 4; ++c) {
      header.channels().insert(names[c], Imf::Channel(Imf::FLOAT));
      frame.insert(names[c], Imf::Slice(Imf::FLOAT, reinterpret_cast<char*>(samples.data() + c),
                                        xStride, xStride * r.width));
    }
    Imf::OutputFile out(file.c_str(), header);
    out.setFrameBuffer(frame);
    out.writePixels(r.height);
  } catch (const std::exception& e) {
    Fail(path, std::string("cannot write OpenEXR: ") + e.what());
  }
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

Raster ReadImageFile(const std::string& path) {
  unsigned char magic[8] = {};
  {
    File f = OpenFile(path, "rb");
    if (std::fread(magic, 1, sizeof magic, f.get()) != sizeof magic) {
      Fail(path, "unsupported file format (neither PNG nor OpenEXR)");
    }
  }
  if (png_sig_cmp(magic, 0, sizeof magic) == 0) return ReadPng(path);
  static const unsigned char kExrMagic[4] = {0x76, 0x2f, 0x31, 0x01};
  if (std::memcmp(magic, kExrMagic, sizeof kExrMagic) == 0) return ReadExr(path);
  Fail(path, "unsupported file format (neither PNG nor OpenEXR)");
}

FileType FileTypeForPath(const std::string& path) {
  const std::string lower = Lowercase(path);
  if (EndsWith(lower, ".png")) return FileType::Png;
  if (EndsWith(lower, ".exr")) return FileType::Exr;
  Fail(path, "unsupported output type (use .png or .exr)");
}

void WriteImageFile(const std::string& path, const Raster& raster) {
  const FileType type = FileTypeForPath(path);
  if (raster.width < 1 || raster.height < 1 ||
      raster.samples.size() != 4 * static_cast<std::size_t>(raster.width) * raster.height) {
    Fail(path, "nothing to write");
  }
  // The temporary lies beside the target so that the rename stays within one
  // file system and replaces the target in one step.
  std::string temp = path + ".tmp-XXXXXX";
  const int fd = mkstemp(temp.data());
  if (fd < 0) Fail(path, std::string("cannot create a temporary file: ") + std::strerror(errno));
  // mkstemp creates the file private; the result gets the usual permissions.
  const mode_t mask = umask(0);
  umask(mask);
  fchmod(fd, 0666 & ~mask);
  close(fd);
  try {
    if (type == FileType::Png) {
      WritePng(path, temp, raster);
    } else {
      WriteExr(path, temp, raster);
    }
    if (std::rename(temp.c_str(), path.c_str()) != 0) {
      Fail(path, std::string("cannot replace: ") + std::strerror(errno));
    }
  } catch (...) {
    std::remove(temp.c_str());
    throw;
  }
}

}  // namespace tessivo_tool
