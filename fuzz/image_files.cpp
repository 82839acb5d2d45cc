// The command-line tool's image readers on damaged files: any byte string
// as a file, read into host pixels of a depth the input picks. Invariants:
// the header gives a layout within the readers' limits and the pixels read
// into a block of that size, or an ImageFileError (the tool's one-line
// message) stops either; nothing else escapes, and the sanitizers see no
// fault.
//
// A few header bytes can claim an image of up to 2^28 pixels, for which the
// caller allocates up to 4 GiB before any pixel data is read; images over
// kMaxSide squared pixels are not read here, so that the fuzzer spends
// neither its time nor its memory on them.
#include <OpenEXR/ImfHeader.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "ImageFile.h"

namespace {

// The input as a file: an anonymous in-memory file, reached by its /proc
// path, rewritten for every input.
class MemoryFile {
 public:
  MemoryFile() : fd_(memfd_create("fuzz-image", 0)) {
    FUZZ_CHECK(fd_ >= 0, "memfd_create failed");
    path_ = "/proc/self/fd/" + std::to_string(fd_);
  }
  const std::string& Write(const std::uint8_t* data, std::size_t size) {
    FUZZ_CHECK(ftruncate(fd_, 0) == 0, "ftruncate failed");
    std::size_t done = 0;
    while (done < size) {
      const ssize_t n = pwrite(fd_, data + done, size - done, static_cast<off_t>(done));
      FUZZ_CHECK(n > 0, "pwrite failed");
      done += static_cast<std::size_t>(n);
    }
    return path_;
  }

 private:
  int fd_;
  std::string path_;
};

std::uint32_t BigEndian32(const std::uint8_t* p) {
  return std::uint32_t{p[0]} << 24 | std::uint32_t{p[1]} << 16 | std::uint32_t{p[2]} << 8 | p[3];
}

std::int32_t LittleEndian32(const std::uint8_t* p) {
  return static_cast<std::int32_t>(std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 |
                                   std::uint32_t{p[2]} << 16 | std::uint32_t{p[3]} << 24);
}

// Largest image read here, pixels a side; the readers allow up to 2^28
// pixels, which they allocate before reading any pixel data.
constexpr int kMaxSide = 1024;

// Whether the file is worth reading here. Not a PNG whose header claims
// more than kMaxSide squared pixels (libpng refuses sizes beyond its own
// limits itself), nor an OpenEXR file with an attribute larger than the
// file, whose declared size the OpenEXR library allocates (up to 2 GiB)
// before it finds the file short. Larger OpenEXR images are refused by
// the library itself (see LLVMFuzzerInitialize).
bool WorthReading(const std::uint8_t* data, std::size_t size) {
  static const std::uint8_t kPng[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
  if (size >= 24 && std::memcmp(data, kPng, 8) == 0 && std::memcmp(data + 12, "IHDR", 4) == 0) {
    const std::uint64_t pixels = std::uint64_t{BigEndian32(data + 16)} * BigEndian32(data + 20);
    return pixels <= std::uint64_t{kMaxSide} * kMaxSide || pixels > (1u << 28);
  }
  // OpenEXR attributes after the 8-byte preamble: name, type, size, value.
  std::size_t at = 8;
  while (at < size && data[at] != 0) {
    const void* nameEnd = std::memchr(data + at, 0, size - at);
    if (!nameEnd) return true;
    const std::size_t typeAt = static_cast<const std::uint8_t*>(nameEnd) - data + 1;
    const void* typeEnd = typeAt < size ? std::memchr(data + typeAt, 0, size - typeAt) : nullptr;
    if (!typeEnd) return true;
    const std::size_t sizeAt = static_cast<const std::uint8_t*>(typeEnd) - data + 1;
    if (sizeAt + 4 > size) return true;
    const std::int32_t valueSize = LittleEndian32(data + sizeAt);
    const std::size_t valueAt = sizeAt + 4;
    if (valueSize < 0 || valueAt + static_cast<std::size_t>(valueSize) > size) return false;
    at = valueAt + static_cast<std::size_t>(valueSize);
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  Imf::Header::setMaxImageSize(kMaxSide, kMaxSide);
  Imf::Header::setMaxTileSize(kMaxSide, kMaxSide);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (!WorthReading(data, size)) return 0;
  static MemoryFile file;
  const std::string& path = file.Write(data, size);
  try {
    tessivo_tool::ImageReader reader(path);
    const tessivo_tool::ImageLayout& layout = reader.Layout();
    FUZZ_CHECK(layout.width >= 1 && layout.height >= 1 && layout.width <= 30000 &&
                   layout.height <= 30000,
               "layout %d x %d", layout.width, layout.height);
    tessivo_tool::HostPixels pixels;
    pixels.depth = static_cast<tessivo_tool::HostDepth>(size % 3);
    pixels.width = layout.width;
    pixels.height = layout.height;
    pixels.pitch = static_cast<std::ptrdiff_t>(tessivo_tool::HostPixelBytes(pixels.depth)) *
                   layout.width;
    std::vector<unsigned char> block(static_cast<std::size_t>(pixels.pitch) * layout.height);
    pixels.data = block.data();
    reader.Read(pixels);
  } catch (const tessivo_tool::ImageFileError&) {
    // The reader's own refusal.
  } catch (const std::exception& e) {
    fuzz::Fail("an exception other than ImageFileError: %s", e.what());
  }
  return 0;
}
