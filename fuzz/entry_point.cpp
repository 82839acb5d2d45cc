// The effect module, loaded by the stand-in host and driven through its
// entry point by a program decoded from the input: commands (the host's
// and raw numbers), worlds of any size, row step and pixel format, pixels,
// parameter values (the host refuses what is out of range), missing
// suites, failing host calls and failing allocations.
//
// Invariants: no exception crosses the entry point; after every command
// each suite acquired is released, no handle stays locked, every input
// checkout is checked back in, no call names a handle or suite the host
// never gave out, and every plane and work buffer is freed; once the host
// discards a frame's pre-render data its handle is gone (unless the host
// itself kept the effect from disposing of it); the input world is never
// written; a render that succeeds writes the output only over the input's
// extent, carrying the input's alpha, and with intensity 0 gives back the
// input's colours.
#include <algorithm>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "StandInHost.h"
#include "ipp_testing.h"

namespace {

using fuzz::Input;
using tessivo_host::Fault;
using tessivo_host::HostCall;
using tessivo_host::PixelFormatReport;
using tessivo_host::StandInHost;
using tessivo_host::SuiteAvailability;
using tessivo_host::World;
using tessivo_host::WorldSpec;

const PF_PixelFormat kFormats[] = {
    PF_PixelFormat_ARGB32, PF_PixelFormat_ARGB64,  PF_PixelFormat_ARGB128, PF_PixelFormat_ARGB32,
    PF_PixelFormat_ARGB64, PF_PixelFormat_ARGB128, PF_PixelFormat_INVALID, 0};

WorldSpec PickWorld(Input& in) {
  WorldSpec layout;
  layout.format = in.Pick(kFormats);
  layout.width = in.Byte() % 8 == 0 ? in.Range(0, 70) : in.Range(0, 9);
  layout.height = in.Byte() % 8 == 0 ? in.Range(0, 40) : in.Range(0, 7);
  const A_long px = static_cast<A_long>(tessivo_host::PixelSize(layout.format));
  const A_long packed = layout.width * px;
  switch (in.Byte() % 8) {
    case 0:
      layout.rowbytes = packed + in.Range(1, 3);  // not a whole number of pixels
      break;
    case 1:
      layout.rowbytes = -(packed + px * in.Range(0, 3));  // rows going down in memory
      break;
    case 2:
      layout.rowbytes = packed + px * in.Range(1, 9);
      break;
    case 3:
      layout.rowbytes = in.Range(-2 * packed - 64, 2 * packed + 64);  // the host may refuse it
      break;
    default:
      break;  // packed
  }
  return layout;
}

// Pixels from the input bytes, or noise seeded from them.
void FillWorld(World& world, Input& in) {
  const std::size_t px = tessivo_host::PixelSize(world.Format());
  const bool noise = in.Bool();
  std::uint32_t seed = in.U32() | 1;
  for (A_long y = 0; y < world.Height(); ++y)
    for (A_long x = 0; x < world.Width(); ++x) {
      unsigned char bytes[sizeof(PF_PixelFloat)] = {};
      for (std::size_t i = 0; i < px && i < sizeof bytes; ++i) {
        seed ^= seed << 13;
        seed ^= seed >> 17;
        seed ^= seed << 5;
        bytes[i] = noise ? static_cast<unsigned char>(seed >> 11) : in.Byte();
      }
      if (world.Format() == PF_PixelFormat_ARGB128 && noise) {
        PF_PixelFloat p;  // mostly unit-range floats, now and then anything
        std::memcpy(&p, bytes, sizeof p);
        for (float* c : {&p.alpha, &p.red, &p.green, &p.blue})
          if (seed % 16 != 0) *c = (static_cast<std::uint32_t>(seed >> 9) % 1000) / 999.0f;
        world.Set(x, y, p);
      } else if (world.Format() == PF_PixelFormat_ARGB128) {
        PF_PixelFloat p;
        std::memcpy(&p, bytes, sizeof p);
        world.Set(x, y, p);
      } else if (world.Format() == PF_PixelFormat_ARGB64) {
        PF_Pixel16 p;
        std::memcpy(&p, bytes, sizeof p);
        world.Set(x, y, p);
      } else {
        PF_Pixel8 p;
        std::memcpy(&p, bytes, sizeof p);
        world.Set(x, y, p);
      }
    }
}

double PickParamValue(Input& in, int index) {
  static const double kAny[] = {fuzz::kNaN, fuzz::kInf, -fuzz::kInf, -1.0,  0.0,   0.5,  1.0, 2.0,
                                20.0,       20.5,       100.0,       101.0, 1e300, 33.3, 7.3, 1e-9};
  if (in.Byte() % 4 == 0) return in.Pick(kAny);
  switch (index) {
    case 1:
      return in.Between(1.0f, 20.0f);  // Tonal Radius
    case 2:
      return in.Between(0.0f, 1.0f);  // Tonal Threshold
    case 3:
      return in.Bool() ? 0.0 : in.Between(0.0f, 100.0f);  // Intensity Level
    default:
      return in.Range(-2, 2);  // Luminosity Mode
  }
}

const char* const kSuites[] = {kPFHandleSuite, kPFANSISuite, kPFWorldSuite, kPFPixelDataSuite,
                               "PF Nonexistent Suite"};

PF_LRect PickRect(Input& in) {
  PF_LRect r;
  r.left = in.Range(-4, 12);
  r.top = in.Range(-4, 12);
  r.right = r.left + in.Range(-2, 14);
  r.bottom = r.top + in.Range(-2, 14);
  return r;
}

// The harness around one host.
class Session {
 public:
  explicit Session(Input& in) : in_(in), host_(TESSIVO_MODULE_PATH) {}

  void Run() {
    if (in_.Bool()) {  // the host's usual start
      Command("global setup", [&] { return host_.GlobalSetup(); });
      Command("params setup", [&] { return host_.ParamsSetup(); });
    }
    for (int n = 0; n < 40 && !in_.Empty(); ++n) Step();
    host_.DiscardPreRenderData();
    ExpectBalanced("the last discard");
    ExpectHandlesGone("the last discard");
  }

 private:
  void Step() {
    try {
      switch (in_.Byte() % 24) {
        case 0:
          host_.SetInputWorld(PickWorld(in_));
          FillWorld(host_.Input(), in_);
          break;
        case 1:
          host_.SetOutputWorld(PickWorld(in_));
          FillWorld(host_.Output(), in_);
          break;
        case 2:
          FillWorld(host_.Input(), in_);
          break;
        case 3: {
          const int index = in_.Range(0, 5);
          host_.SetParam(index, PickParamValue(in_, index));
          break;
        }
        case 4: {
          Fault f;
          f.call = static_cast<HostCall>(in_.Byte() % static_cast<int>(HostCall::Count));
          f.nth = in_.Range(1, 4);
          static const PF_Err kCodes[] = {PF_Err_OUT_OF_MEMORY, PF_Err_INTERNAL_STRUCT_DAMAGED,
                                          PF_Err_BAD_CALLBACK_PARAM, -1, 7};
          f.code = in_.Pick(kCodes);
          f.persistent = in_.Bool();
          if (f.call == HostCall::AcquireSuite) hostKeptHandle_ = true;
          host_.InjectFault(f);
          break;
        }
        case 5:
          host_.ClearFaults();
          break;
        case 6: {
          const char* suite = in_.Pick(kSuites);
          const auto a = static_cast<SuiteAvailability>(in_.Byte() % 3);
          if (a != SuiteAvailability::Present && std::strcmp(suite, kPFHandleSuite) == 0)
            hostKeptHandle_ = true;
          host_.SetSuiteAvailability(suite, a);
          break;
        }
        case 7:
          host_.SetPixelFormatReport(static_cast<PixelFormatReport>(in_.Byte() % 3),
                                     in_.Pick(kFormats));
          break;
        case 8:
          host_.SetBasicSuitePresent(in_.Byte() % 4 != 0);
          break;
        case 9:
          host_.SetApplId(in_.Bool() ? tessivo_host::FourCC("PrMr")
                                     : static_cast<A_long>(in_.U32()));
          break;
        case 10:
          failAllocation_ = in_.Range(1, 40);
          failPersistent_ = in_.Bool();
          break;
        case 11: {
          PF_RenderRequest r{};
          r.rect = PickRect(in_);
          r.channel_mask = in_.Range(0, 15);
          host_.SetRequest(r);
          break;
        }
        case 12:
          host_.SetInitialResultRects(PickRect(in_), PickRect(in_));
          break;
        case 13: {
          PF_CheckoutResult r{};
          r.result_rect = PickRect(in_);
          r.max_result_rect = PickRect(in_);
          host_.SetLayerCheckoutResult(r);
          break;
        }
        case 14:
          host_.SetTime(static_cast<A_long>(in_.U32()), in_.Range(-1, 2), in_.U32());
          break;
        case 15:
          Command("global setup", [&] { return host_.GlobalSetup(); });
          break;
        case 16:
          Command("params setup", [&] { return host_.ParamsSetup(); });
          break;
        case 17:
          Command("about", [&] { return host_.About(); });
          break;
        case 18:
          Command("pre-render", [&] { return host_.PreRender(); });
          break;
        case 19:
          Render(false);
          break;
        case 20:
        case 21:
          Render(true);
          break;
        case 22:
          host_.DiscardPreRenderData();
          ExpectBalanced("a discard");
          ExpectHandlesGone("a discard");
          break;
        default: {
          // Any command number; the two smart commands without their extra.
          static const PF_Cmd kRaw[] = {0, 1, 2, 3, 4, 5, 6, 7, 11, 22, 23, 24, 25, -1, INT32_MIN};
          const PF_Cmd cmd = in_.Bool() ? in_.Pick(kRaw) : static_cast<PF_Cmd>(in_.U32());
          Command("a raw command", [&] { return host_.Send(cmd); });
        }
      }
    } catch (const std::invalid_argument&) {
      // The host refused a world, a parameter or a value: go on.
    }
  }

  // Sends a command with any pending allocation failure armed, then checks
  // what must hold after every command, the input's pixels unchanged among
  // them.
  template <class Send>
  PF_Err Command(const char* what, Send send) {
    World& input = host_.Input();
    const std::vector<unsigned char> inputBefore(Block(input), Block(input) + input.ByteCount());
    ippTestFailAllocation(failAllocation_, failPersistent_ ? 1 : 0);
    failAllocation_ = 0;
    PF_Err err = 0;
    try {
      err = send();
    } catch (const std::runtime_error& e) {
      fuzz::Fail("%s: %s", what, e.what());
    }
    ippTestFailAllocation(0, 0);
    ExpectBalanced(what);
    FUZZ_CHECK(std::equal(inputBefore.begin(), inputBefore.end(), Block(input)),
               "%s wrote into the input world", what);
    return err;
  }

  void ExpectBalanced(const char* what) {
    FUZZ_CHECK(host_.OutstandingSuites() == 0 && host_.BadSuiteReleases() == 0,
               "after %s: %d suites held, %d bad releases", what, host_.OutstandingSuites(),
               host_.BadSuiteReleases());
    FUZZ_CHECK(host_.LockedHandles() == 0 && host_.BadHandleCalls() == 0,
               "after %s: %zu handles locked, %d bad handle calls", what, host_.LockedHandles(),
               host_.BadHandleCalls());
    FUZZ_CHECK(host_.OutstandingLayerCheckouts() == 0, "after %s: %d layers checked out", what,
               host_.OutstandingLayerCheckouts());
    IppAllocLedger ledger;
    ippTestGetLedger(&ledger);
    FUZZ_CHECK(ledger.livePlanes == 0 && ledger.liveBuffers == 0 && ledger.badFrees == 0,
               "after %s: %lld planes and %lld buffers live, %lld bad frees", what,
               ledger.livePlanes, ledger.liveBuffers, ledger.badFrees);
  }

  // Once discarded, the pre-render data's handle has been disposed of,
  // unless the host kept the effect from loading its handle suite.
  void ExpectHandlesGone(const char* what) {
    FUZZ_CHECK(hostKeptHandle_ || host_.LiveHandles() == 0, "after %s: %zu handles live", what,
               host_.LiveHandles());
  }

  // The block behind a world, from its lowest address.
  static const unsigned char* Block(World& w) {
    const auto* data = static_cast<const unsigned char*>(w.Effect()->data);
    if (w.PitchBytes() < 0 && w.Height() > 0) data += (w.Height() - 1) * w.PitchBytes();
    return data;
  }

  // A smart render alone or a whole frame.
  void Render(bool frame) {
    World& out = host_.Output();
    World& input = host_.Input();
    const std::vector<unsigned char> before(Block(out), Block(out) + out.ByteCount());
    const double intensity = host_.AddedParams().size() >= 3 ? host_.ParamValue(3) : -1.0;
    const PF_Err err = frame ? Command("a frame", [&] { return host_.RenderFrame(); })
                             : Command("smart render", [&] { return host_.SmartRender(); });
    if (frame) ExpectHandlesGone("a frame");
    if (err != PF_Err_NONE) return;
    const std::size_t px = tessivo_host::PixelSize(out.Format());
    const std::ptrdiff_t row0 = static_cast<const unsigned char*>(out.Effect()->data) - Block(out);
    std::vector<bool> pixelByte(before.size(), false);
    for (A_long y = 0; y < out.Height(); ++y)
      for (A_long x = 0; x < out.Width(); ++x) {
        const std::ptrdiff_t at = row0 + y * out.PitchBytes() + x * static_cast<std::ptrdiff_t>(px);
        const bool written = x < input.Width() && y < input.Height();
        for (std::size_t b = 0; b < px; ++b) pixelByte[static_cast<std::size_t>(at) + b] = true;
        if (!written) {
          FUZZ_CHECK(std::memcmp(before.data() + at, Block(out) + at, px) == 0,
                     "output pixel (%d, %d) outside the input's %d x %d written", x, y,
                     input.Width(), input.Height());
          continue;
        }
        ExpectPixel(input, out, x, y, frame && intensity == 0.0);
      }
    for (std::size_t i = 0; i < before.size(); ++i) {
      FUZZ_CHECK(pixelByte[i] || before[i] == Block(out)[i],
                 "output byte %zu between pixels written", i);
    }
  }

  // Alpha comes from the input; with intensity 0 so do the colours.
  static void ExpectPixel(World& input, World& out, A_long x, A_long y, bool asInput) {
    FUZZ_CHECK(input.Format() == out.Format(), "rendered into a world of another format");
    if (out.Format() == PF_PixelFormat_ARGB128) {
      const PF_PixelFloat i = input.Get<PF_PixelFloat>(x, y), o = out.Get<PF_PixelFloat>(x, y);
      FUZZ_CHECK(fuzz::Bits(i.alpha) == fuzz::Bits(o.alpha), "float alpha at (%d, %d)", x, y);
      // 0 * corrected + input: equal values (a -0 input comes back as +0).
      const float was[3] = {i.red, i.green, i.blue}, now[3] = {o.red, o.green, o.blue};
      for (int c = 0; c < 3; ++c)
        FUZZ_CHECK(!asInput || was[c] == now[c] || (std::isnan(was[c]) && std::isnan(now[c])),
                   "intensity 0 changed (%d, %d): %a became %a", x, y, was[c], now[c]);
    } else if (out.Format() == PF_PixelFormat_ARGB64) {
      const PF_Pixel16 i = input.Get<PF_Pixel16>(x, y), o = out.Get<PF_Pixel16>(x, y);
      FUZZ_CHECK(i.alpha == o.alpha, "16-bit alpha at (%d, %d)", x, y);
      FUZZ_CHECK(!asInput || (i.red == o.red && i.green == o.green && i.blue == o.blue),
                 "intensity 0 changed the 16-bit pixel (%d, %d)", x, y);
    } else {
      const PF_Pixel8 i = input.Get<PF_Pixel8>(x, y), o = out.Get<PF_Pixel8>(x, y);
      FUZZ_CHECK(i.alpha == o.alpha, "8-bit alpha at (%d, %d)", x, y);
      FUZZ_CHECK(!asInput || (i.red == o.red && i.green == o.green && i.blue == o.blue),
                 "intensity 0 changed the 8-bit pixel (%d, %d)", x, y);
    }
  }

  Input& in_;
  StandInHost host_;
  long long failAllocation_ = 0;
  bool failPersistent_ = false;
  bool hostKeptHandle_ = false;  // the effect may not be able to dispose of its handle
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Input in(data, size);
  Session(in).Run();
  return 0;
}
