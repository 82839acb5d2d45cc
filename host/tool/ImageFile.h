// Image files for the command-line host: PNG (1 to 16 bit; grey, RGB,
// palette, with or without alpha) and OpenEXR (half or float; RGB or RGBA),
// read straight into and written straight from pixels laid out as the host
// holds them.
#ifndef TESSIVO_HOST_TOOL_IMAGE_FILE_H
#define TESSIVO_HOST_TOOL_IMAGE_FILE_H

#include <cstddef>
#include <memory>
#include <stdexcept>
#include <string>

namespace tessivo_tool {

// How a file holds its samples: integers 0..255 or 0..65535, or half or
// 32-bit floats with 1.0 as white.
enum class SampleKind { U8, U16, F16, F32 };

enum class FileType { Png, Exr };

// A file's pixels as the tool sees them. A palette reads as RGB, grey below
// 8 bits as 8-bit grey, and a transparency chunk (tRNS) as alpha. An
// OpenEXR file is F16 when all of its R, G, B (and A) are half, F32
// otherwise.
struct ImageLayout {
  int width = 0;   // pixels
  int height = 0;  // rows
  bool grey = false;
  bool alpha = false;
  SampleKind kind = SampleKind::U8;
};

// Pixels in the host's order, alpha, red, green, blue, with channel
// maxima 255 (8-bit), 32768 (16-bit) or 1.0 (float).
enum class HostDepth { Eight, Sixteen, Float };

// Bytes of one host pixel of `depth`: 4, 8 or 16.
std::size_t HostPixelBytes(HostDepth depth);

// A caller's block of host pixels; `pitch` >= width * HostPixelBytes.
struct HostPixels {
  HostDepth depth = HostDepth::Eight;
  int width = 0;
  int height = 0;
  unsigned char* data = nullptr;  // pixel (0, 0)
  std::ptrdiff_t pitch = 0;       // bytes from one row's start to the next
};

// Thrown for an unreadable or unsupported file and a failed write; the
// message is one line naming the file.
class ImageFileError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// One file being read: the header first, so that the caller can make room
// for the pixels, then the pixels. PNG and OpenEXR are told apart by their
// signatures, not their names.
class ImageReader {
 public:
  // Opens `path` and reads its header, refusing a file that is not PNG or
  // OpenEXR, one larger than 30000 pixels a side, and one whose header
  // claims more pixels than the file could hold.
  explicit ImageReader(const std::string& path);
  ~ImageReader();
  ImageReader(const ImageReader&) = delete;
  ImageReader& operator=(const ImageReader&) = delete;

  const ImageLayout& Layout() const;

  // Reads every pixel into `pixels`, of the layout's size at any depth;
  // once only. Grey is given as equal red, green and blue, and missing
  // alpha as full opacity. 8 and 16-bit samples map onto the host's
  // integers with rounding, v * 32768 / 65535 for instance, and onto floats
  // as v / 255 or v / 65535; floats onto integers as round(v * maximum),
  // clamped, NaN as 0.
  void Read(const HostPixels& pixels);

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

// By extension, case ignored: ".png" or ".exr"; ImageFileError otherwise.
FileType FileTypeForPath(const std::string& path);

// Writes `pixels` to `path`, as the type its extension names, in the layout
// of `like` (of the pixels' size) as far as that type allows:
// - PNG: grey (the mean of red, green and blue) or RGB, with alpha if `like`
//   has it; 8-bit for U8 and 16-bit for any other kind.
// - OpenEXR: R, G, B, and A if `like` has alpha; half for F16, float for any
//   other kind.
// Samples map as on reading, the other way. The file is written beside
// `path` under a temporary name and renamed over it only once complete, so a
// failure leaves any earlier file at `path` untouched.
void WriteImageFile(const std::string& path, const HostPixels& pixels, const ImageLayout& like);

}  // namespace tessivo_tool

#endif  // TESSIVO_HOST_TOOL_IMAGE_FILE_H
