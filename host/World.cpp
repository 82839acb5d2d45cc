#include <sys/mman.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <fstream>
#include <map>
#include <sstream>

#include "StandInHost.h"

namespace tessivo_host {

A_long FourCC(const char code[5]) {
  std::uint32_t v = 0;
  for (int i = 0; i < 4; ++i) v = (v << 8) | static_cast<unsigned char>(code[i]);
  return static_cast<A_long>(v);
}

std::size_t PixelSize(PF_PixelFormat format) {
  switch (format) {
    case PF_PixelFormat_ARGB32:
      return sizeof(PF_Pixel8);
    case PF_PixelFormat_ARGB64:
      return sizeof(PF_Pixel16);
    case PF_PixelFormat_ARGB128:
      return sizeof(PF_PixelFloat);
    default:
      return 0;
  }
}

namespace {

std::string Hex(A_long v) {
  std::ostringstream s;
  s << "0x" << std::hex << static_cast<std::uint32_t>(v);
  return s.str();
}

// A block of exactly `bytes` (no slack, so that a sanitizer sees any access
// past it). Frame-sized blocks start on a huge-page boundary and are marked
// for huge pages: a fresh 4K frame then costs tens of page faults instead of
// tens of thousands, which on these machines is most of a one-frame run's
// system time.
unsigned char* AllocateBlock(std::size_t bytes, bool zeroed) {
  constexpr std::size_t kHugePage = std::size_t{2} << 20;
  const bool large = bytes >= 2 * kHugePage;
  void* block = nullptr;
  if (posix_memalign(&block, large ? kHugePage : 64, bytes == 0 ? 1 : bytes) != 0)
    throw std::bad_alloc();
  if (large) madvise(block, bytes / 4096 * 4096, MADV_HUGEPAGE);  // a hint; failure is harmless
  if (zeroed) std::memset(block, 0, bytes);
  return static_cast<unsigned char*>(block);
}

// Division rounding toward minus infinity, as an arithmetic shift does.
std::int64_t FloorDiv(std::int64_t a, std::int64_t b) {
  return a >= 0 ? a / b : -((-a + b - 1) / b);
}

}  // namespace

World::World(const WorldSpec& layout) : format_(layout.format) {
  const std::int64_t px = static_cast<std::int64_t>(PixelSize(layout.format));
  if (px == 0) throw std::invalid_argument("world: unknown pixel format " + Hex(layout.format));
  if (layout.width < 0 || layout.height < 0) {
    throw std::invalid_argument("world: negative size " + std::to_string(layout.width) + " x " +
                                std::to_string(layout.height));
  }
  // The largest frame side the host makes (After Effects' own limit): a
  // request for more is refused rather than allocated.
  constexpr A_long kMaxSide = 30000;
  if (layout.width > kMaxSide || layout.height > kMaxSide) {
    throw std::invalid_argument("world: " + std::to_string(layout.width) + " x " +
                                std::to_string(layout.height) + " exceeds the host's " +
                                std::to_string(kMaxSide) + " pixels a side");
  }
  const std::int64_t packed = layout.width * px;
  if (!layout.rowbytes && packed > INT32_MAX) throw std::invalid_argument("world: too wide");
  const std::int64_t rowbytes = layout.rowbytes.value_or(static_cast<A_long>(packed));
  pitchBytes_ = static_cast<std::ptrdiff_t>(FloorDiv(rowbytes, px) * px);
  const std::int64_t span = pitchBytes_ < 0 ? -static_cast<std::int64_t>(pitchBytes_) : pitchBytes_;
  if (layout.height > 1 && span < packed) {
    throw std::invalid_argument("world: rowbytes " + std::to_string(rowbytes) +
                                " overlaps rows of " + std::to_string(layout.width) + " pixels");
  }
  const bool empty = layout.width == 0 || layout.height == 0;
  byteCount_ = empty ? 0 : static_cast<std::size_t>((layout.height - 1) * span + packed);
  block_.reset(AllocateBlock(byteCount_, layout.zeroed));

  world_ = PF_EffectWorld{};
  // With rows going down in memory, row 0 is the highest row of the block.
  const std::size_t row0 =
      (!empty && pitchBytes_ < 0) ? static_cast<std::size_t>((layout.height - 1) * span) : 0;
  world_.data = block_.get() + row0;
  world_.rowbytes = static_cast<A_long>(rowbytes);
  world_.width = layout.width;
  world_.height = layout.height;
  world_.extent_hint = PF_LRect{0, 0, layout.width, layout.height};
  world_.host_world = this;
}

unsigned char* World::PixelAddress(A_long x, A_long y, PF_PixelFormat as) const {
  if (as != format_) {
    throw std::invalid_argument("world: pixel type of format " + Hex(as) +
                                " on a world of format " + Hex(format_));
  }
  if (x < 0 || y < 0 || x >= world_.width || y >= world_.height) {
    throw std::out_of_range("world: pixel (" + std::to_string(x) + ", " + std::to_string(y) +
                            ") outside " + std::to_string(world_.width) + " x " +
                            std::to_string(world_.height));
  }
  return static_cast<unsigned char*>(world_.data) + y * pitchBytes_ +
         static_cast<std::ptrdiff_t>(x) * static_cast<std::ptrdiff_t>(PixelSize(format_));
}

void World::FreeBlock::operator()(unsigned char* block) const { std::free(block); }

void World::FillBytes(unsigned char value) { std::memset(block_.get(), value, byteCount_); }

EffectDescriptor ReadDescriptor(const std::string& path) {
  std::ifstream in(path);
  if (!in) throw std::runtime_error("effect descriptor '" + path + "' cannot be read");
  std::map<std::string, std::string> keys;
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty() || line[0] == '#') continue;
    const std::size_t eq = line.find('=');
    if (eq == std::string::npos) {
      throw std::runtime_error("effect descriptor '" + path + "': no '=' in line '" + line + "'");
    }
    keys[line.substr(0, eq)] = line.substr(eq + 1);
  }
  auto need = [&](const char* key) {
    auto it = keys.find(key);
    if (it == keys.end() || it->second.empty()) {
      throw std::runtime_error("effect descriptor '" + path + "' gives no " + key);
    }
    return it->second;
  };
  return EffectDescriptor{need("name"), need("match_name"), need("category"), need("entry_point")};
}

}  // namespace tessivo_host
