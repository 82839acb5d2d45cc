// Image files for the command-line host: PNG (8 and 16 bit; grey, RGB, RGBA,
// palette) and OpenEXR (half or float; RGB or RGBA), read into and written
// from an interleaved RGBA raster that keeps the file's own sample values.
#ifndef TESSIVO_HOST_TOOL_IMAGE_FILE_H
#define TESSIVO_HOST_TOOL_IMAGE_FILE_H

#include <stdexcept>
#include <string>
#include <vector>

namespace tessivo_tool {

// How samples are held: integers 0..255, integers 0..65535, or floats with
// 1.0 as white.
enum class SampleKind { U8, U16, F32 };

// Interleaved RGBA, row 0 first; `samples` holds 4 * width * height values.
struct Raster {
  int width = 0;
  int height = 0;
  SampleKind kind = SampleKind::U8;
  std::vector<float> samples;
};

enum class FileType { Png, Exr };

// Thrown for an unreadable or unsupported file and a failed write; the
// message is one line naming the file.
class ImageFileError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// PNG and OpenEXR are told apart by their signatures, not their names. A PNG
// reads as U8 or U16 (its bit depth, lower depths widened to 8), an OpenEXR
// as F32. Missing alpha is full opacity.
Raster ReadImageFile(const std::string& path);

// By extension, case ignored: ".png" or ".exr"; ImageFileError otherwise.
FileType FileTypeForPath(const std::string& path);

// A U8 raster gives an 8-bit PNG and any other a 16-bit PNG (floats scaled by
// 65535, rounded and clamped); an OpenEXR is written in float whatever the
// raster's kind (U8 over 255, U16 over 65535). The file is written beside
// `path` under a temporary name and renamed over it only once complete, so a
// failure leaves any earlier file at `path` untouched.
void WriteImageFile(const std::string& path, const Raster& raster);

}  // namespace tessivo_tool

#endif  // TESSIVO_HOST_TOOL_IMAGE_FILE_H
