// Row kernels of the host pixel conversions, compiled once per target,
// beside their scalar twins, which also do what of a row lies before its
// first streamed line and after its last whole vector: no kernel reads or
// writes past a row's width, as host rows may end at the edge of the host's
// block.
#include "pixel_rows.h"

#ifndef TESSIVO_EFFECT_PIXEL_ROWS_TWINS
#define TESSIVO_EFFECT_PIXEL_ROWS_TWINS

#include <cstddef>
#include <cstring>

namespace pixel_rows {
namespace scalar {
namespace {

static_assert(sizeof(PF_Pixel8) == 4 && sizeof(PF_Pixel16) == 8 && sizeof(PF_PixelFloat) == 16,
              "host pixels are four packed channels");
// The vectorised paths take a pixel's channels as bytes of wider words,
// alpha in the lowest.
static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "little-endian words");

void LoadChannel(float& dst, A_u_char v) { dst = v; }
void LoadChannel(float& dst, A_u_short v) { dst = v; }
void LoadChannel(float& dst, const PF_FpShort& v) { std::memcpy(&dst, &v, sizeof dst); }
void StoreChannel(A_u_char& dst, float v) { dst = static_cast<A_u_char>(v); }
void StoreChannel(A_u_short& dst, float v) { dst = static_cast<A_u_short>(v); }
void StoreChannel(PF_FpShort& dst, float v) { std::memcpy(&dst, &v, sizeof dst); }

template <class Pixel>
void ReadRow(const Pixel* src, float* r, float* g, float* b, size_t width) {
  for (size_t x = 0; x < width; ++x) {
    LoadChannel(r[x], src[x].red);
    LoadChannel(g[x], src[x].green);
    LoadChannel(b[x], src[x].blue);
  }
}

template <class Pixel>
void WriteRow(const Pixel* alphaSrc, const float* r, const float* g, const float* b, Pixel* dst,
              size_t width) {
  for (size_t x = 0; x < width; ++x) {
    std::memcpy(&dst[x].alpha, &alphaSrc[x].alpha, sizeof dst[x].alpha);
    StoreChannel(dst[x].red, r[x]);
    StoreChannel(dst[x].green, g[x]);
    StoreChannel(dst[x].blue, b[x]);
  }
}

}  // namespace
}  // namespace scalar
}  // namespace pixel_rows

#endif  // TESSIVO_EFFECT_PIXEL_ROWS_TWINS

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "pixel_rows_hwy.cpp"
#include "hwy/cache_control.h"
#include "hwy/foreach_target.h"  // IWYU pragma: keep
#include "hwy/highway.h"

HWY_BEFORE_NAMESPACE();
namespace pixel_rows {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

// One lane per pixel: 32-bit words, and floats of a plane.
using DU = hn::ScalableTag<uint32_t>;
using DI = hn::RebindToSigned<DU>;
using DF = hn::RebindToFloat<DU>;
using VU = hn::Vec<DU>;
using VF = hn::Vec<DF>;

HWY_INLINE VF ToFloat(VU v) { return hn::ConvertTo(DF(), hn::BitCast(DI(), v)); }

// The plane values at p truncated toward zero, kept to the low `mask` bits
// so that no value can spill into a neighbouring channel.
HWY_INLINE VU Truncated(const float* p, uint32_t mask) {
  return hn::And(hn::BitCast(DU(), hn::ConvertTo(DI(), hn::LoadU(DF(), p))), hn::Set(DU(), mask));
}

HWY_INLINE bool OnLine(const float* p) { return reinterpret_cast<uintptr_t>(p) % 64 == 0; }

// Reads a row with load(x, r, g, b), which gives the plane values of one
// vector of pixels from x on. With `stream`, and the three plane rows
// starting on a 64-byte line, the planes are written past the caches, a
// whole line of each at a time: streaming stores that leave lines part
// written while other lines are written measured several times slower.
template <class Pixel, class Load>
HWY_INLINE void ReadRowWith(const Pixel* src, float* r, float* g, float* b, int width, bool stream,
                            Load load) {
  const DF df;
  constexpr size_t kLineFloats = 16, kLanes = hn::MaxLanes(DF());
  static_assert(kLanes <= kLineFloats && kLineFloats % kLanes == 0, "whole vectors a line");
  constexpr size_t kPerLine = kLineFloats / kLanes;
  const size_t n = static_cast<size_t>(width);
  size_t x = 0;
  if (stream && OnLine(r) && OnLine(g) && OnLine(b)) {
    for (; x + kLineFloats <= n; x += kLineFloats) {
      VF vr[kPerLine], vg[kPerLine], vb[kPerLine];
      for (size_t i = 0; i < kPerLine; ++i) load(x + i * kLanes, vr[i], vg[i], vb[i]);
      for (size_t i = 0; i < kPerLine; ++i) hn::Stream(vr[i], df, r + x + i * kLanes);
      for (size_t i = 0; i < kPerLine; ++i) hn::Stream(vg[i], df, g + x + i * kLanes);
      for (size_t i = 0; i < kPerLine; ++i) hn::Stream(vb[i], df, b + x + i * kLanes);
    }
    hwy::FlushStream();
  }
  for (; x + kLanes <= n; x += kLanes) {
    VF vr, vg, vb;
    load(x, vr, vg, vb);
    hn::StoreU(vr, df, r + x);
    hn::StoreU(vg, df, g + x);
    hn::StoreU(vb, df, b + x);
  }
  scalar::ReadRow(src + x, r + x, g + x, b + x, n - x);
}

// How a kernel puts a vector of pixels into the row: plain, or past the
// caches (to a vector-aligned address).
struct Plain {};
struct Streamed {};
template <class V, class D, class T>
HWY_INLINE void Put(Plain, V v, D d, T* p) {
  hn::StoreU(v, d, p);
}
template <class V, class D, class T>
HWY_INLINE void Put(Streamed, V v, D d, T* p) {
  hn::Stream(v, d, p);
}

// Writes a row with make(x, out, how), which writes the pixels of one
// vector from x on to out, put `how` if it can (kPutsStreamed), else plain.
// With `stream`, from the first 64-byte line of the row on (when its pixels
// reach one), the pixels are written past the caches a whole line at a
// time; those of a make that cannot put them so go through a block on the
// stack.
template <bool kPutsStreamed, class Pixel, class Make>
HWY_INLINE void WriteRowWith(const Pixel* alphaSrc, const float* r, const float* g, const float* b,
                             Pixel* dst, int width, bool stream, Make make) {
  constexpr size_t kLanes = hn::MaxLanes(DU()), kLinePixels = 64 / sizeof(Pixel);
  constexpr size_t kBlock = kLanes > kLinePixels ? kLanes : kLinePixels;  // pixels
  const size_t n = static_cast<size_t>(width);
  const uintptr_t at = reinterpret_cast<uintptr_t>(dst);
  const size_t head = (64 - at % 64) % 64 / sizeof(Pixel);  // pixels before the first line
  size_t x = 0;
  if (stream && at % sizeof(Pixel) == 0 && head + kBlock <= n) {
    x = head;
    scalar::WriteRow(alphaSrc, r, g, b, dst, x);
    for (; x + kBlock <= n; x += kBlock) {
      if constexpr (kPutsStreamed) {
        for (size_t i = 0; i < kBlock; i += kLanes) make(x + i, dst + x + i, Streamed());
      } else {
        const DU du;
        alignas(64) Pixel block[kBlock];
        const auto* words = reinterpret_cast<const uint32_t*>(block);
        for (size_t i = 0; i < kBlock; i += kLanes) make(x + i, block + i, Plain());
        auto* out = reinterpret_cast<uint32_t*>(dst + x);
        for (size_t i = 0; i < sizeof block / 4; i += kLanes)
          hn::Stream(hn::Load(du, words + i), du, out + i);
      }
    }
    hwy::FlushStream();
  }
  for (; x + kLanes <= n; x += kLanes) make(x, dst + x, Plain());
  scalar::WriteRow(alphaSrc + x, r + x, g + x, b + x, dst + x, n - x);
}

// 8-bit pixels as words: alpha | red << 8 | green << 16 | blue << 24.
void ReadRow8(const PF_Pixel8* src, float* r, float* g, float* b, int width, bool stream) {
  const auto* words = reinterpret_cast<const uint32_t*>(src);
  ReadRowWith(src, r, g, b, width, stream, [words](size_t x, VF& vr, VF& vg, VF& vb) {
    const DU du;
    const VU p = hn::LoadU(du, words + x), byte = hn::Set(du, 0xFF);
    vr = ToFloat(hn::And(hn::ShiftRight<8>(p), byte));
    vg = ToFloat(hn::And(hn::ShiftRight<16>(p), byte));
    vb = ToFloat(hn::ShiftRight<24>(p));
  });
}

void WriteRow8(const PF_Pixel8* alphaSrc, const float* r, const float* g, const float* b,
               PF_Pixel8* dst, int width, bool stream) {
  const auto* in = reinterpret_cast<const uint32_t*>(alphaSrc);
  auto make = [=](size_t x, PF_Pixel8* out, auto how) {
    const DU du;
    VU p = hn::And(hn::LoadU(du, in + x), hn::Set(du, 0xFF));
    p = hn::Or(p, hn::ShiftLeft<8>(Truncated(r + x, 0xFF)));
    p = hn::Or(p, hn::ShiftLeft<16>(Truncated(g + x, 0xFF)));
    p = hn::Or(p, hn::ShiftLeft<24>(Truncated(b + x, 0xFF)));
    Put(how, p, du, reinterpret_cast<uint32_t*>(out));
  };
  WriteRowWith<true>(alphaSrc, r, g, b, dst, width, stream, make);
}

// 16-bit pixels are aligned to 2 bytes only. The emulated target moves
// interleaved lanes as typed words, so there they go through an aligned copy;
// the others load and store them unaligned.
HWY_INLINE void LoadWordPairs(DU du, const PF_Pixel16* p, VU& v0, VU& v1) {
#if HWY_TARGET == HWY_EMU128
  alignas(16) uint32_t words[2 * hn::MaxLanes(DU())];
  hwy::CopyBytes<sizeof words>(p, words);
  hn::LoadInterleaved2(du, words, v0, v1);
#else
  hn::LoadInterleaved2(du, reinterpret_cast<const uint32_t*>(p), v0, v1);
#endif
}

HWY_INLINE void StoreWordPairs(VU v0, VU v1, DU du, PF_Pixel16* p) {
#if HWY_TARGET == HWY_EMU128
  alignas(16) uint32_t words[2 * hn::MaxLanes(DU())];
  hn::StoreInterleaved2(v0, v1, du, words);
  hwy::CopyBytes<sizeof words>(words, p);
#else
  hn::StoreInterleaved2(v0, v1, du, reinterpret_cast<uint32_t*>(p));
#endif
}

// 16-bit pixels as two words: alpha | red << 16, then green | blue << 16.
void ReadRow16(const PF_Pixel16* src, float* r, float* g, float* b, int width, bool stream) {
  ReadRowWith(src, r, g, b, width, stream, [src](size_t x, VF& vr, VF& vg, VF& vb) {
    const DU du;
    VU ar, gb;
    LoadWordPairs(du, src + x, ar, gb);
    vr = ToFloat(hn::ShiftRight<16>(ar));
    vg = ToFloat(hn::And(gb, hn::Set(du, 0xFFFF)));
    vb = ToFloat(hn::ShiftRight<16>(gb));
  });
}

void WriteRow16(const PF_Pixel16* alphaSrc, const float* r, const float* g, const float* b,
                PF_Pixel16* dst, int width, bool stream) {
  auto make = [=](size_t x, PF_Pixel16* out, auto) {
    const DU du;
    VU ar, gb;
    LoadWordPairs(du, alphaSrc + x, ar, gb);
    ar = hn::Or(hn::And(ar, hn::Set(du, 0xFFFF)), hn::ShiftLeft<16>(Truncated(r + x, 0xFFFF)));
    gb = hn::Or(Truncated(g + x, 0xFFFF), hn::ShiftLeft<16>(Truncated(b + x, 0xFFFF)));
    StoreWordPairs(ar, gb, du, out);
  };
  WriteRowWith<false>(alphaSrc, r, g, b, dst, width, stream, make);
}

// Float pixels: moved, never computed with, so every bit passes.
void ReadRowF(const PF_PixelFloat* src, float* r, float* g, float* b, int width, bool stream) {
  const auto* in = reinterpret_cast<const float*>(src);
  ReadRowWith(src, r, g, b, width, stream, [in](size_t x, VF& vr, VF& vg, VF& vb) {
    VF a;
    hn::LoadInterleaved4(DF(), in + 4 * x, a, vr, vg, vb);
  });
}

void WriteRowF(const PF_PixelFloat* alphaSrc, const float* r, const float* g, const float* b,
               PF_PixelFloat* dst, int width, bool stream) {
  const auto* in = reinterpret_cast<const float*>(alphaSrc);
  auto make = [=](size_t x, PF_PixelFloat* out, auto) {
    const DF df;
    VF a, vr, vg, vb;
    hn::LoadInterleaved4(df, in + 4 * x, a, vr, vg, vb);
    hn::StoreInterleaved4(a, hn::LoadU(df, r + x), hn::LoadU(df, g + x), hn::LoadU(df, b + x), df,
                          reinterpret_cast<float*>(out));
  };
  WriteRowWith<false>(alphaSrc, r, g, b, dst, width, stream, make);
}

std::int64_t Target() { return HWY_TARGET; }

}  // namespace HWY_NAMESPACE
}  // namespace pixel_rows
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace pixel_rows {

HWY_EXPORT(ReadRow8);
HWY_EXPORT(ReadRow16);
HWY_EXPORT(ReadRowF);
HWY_EXPORT(WriteRow8);
HWY_EXPORT(WriteRow16);
HWY_EXPORT(WriteRowF);
HWY_EXPORT(Target);

void ReadRow(const PF_Pixel8* src, float* r, float* g, float* b, int width, bool streamPlanes) {
  HWY_DYNAMIC_DISPATCH(ReadRow8)(src, r, g, b, width, streamPlanes);
}
void ReadRow(const PF_Pixel16* src, float* r, float* g, float* b, int width, bool streamPlanes) {
  HWY_DYNAMIC_DISPATCH(ReadRow16)(src, r, g, b, width, streamPlanes);
}
void ReadRow(const PF_PixelFloat* src, float* r, float* g, float* b, int width, bool streamPlanes) {
  HWY_DYNAMIC_DISPATCH(ReadRowF)(src, r, g, b, width, streamPlanes);
}
void WriteRow(const PF_Pixel8* alphaSrc, const float* r, const float* g, const float* b,
              PF_Pixel8* dst, int width, bool streamOut) {
  HWY_DYNAMIC_DISPATCH(WriteRow8)(alphaSrc, r, g, b, dst, width, streamOut);
}
void WriteRow(const PF_Pixel16* alphaSrc, const float* r, const float* g, const float* b,
              PF_Pixel16* dst, int width, bool streamOut) {
  HWY_DYNAMIC_DISPATCH(WriteRow16)(alphaSrc, r, g, b, dst, width, streamOut);
}
void WriteRow(const PF_PixelFloat* alphaSrc, const float* r, const float* g, const float* b,
              PF_PixelFloat* dst, int width, bool streamOut) {
  HWY_DYNAMIC_DISPATCH(WriteRowF)(alphaSrc, r, g, b, dst, width, streamOut);
}

std::int64_t ActiveTarget() { return HWY_DYNAMIC_DISPATCH(Target)(); }

}  // namespace pixel_rows
#endif  // HWY_ONCE
