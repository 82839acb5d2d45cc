// A stand-in for the compositing host: loads an effect module, sends it
// commands in the host's order and serves every callback and suite the
// effect calls, with ledgers, a call log and fault injection for tests.
//
// One host drives its module at a time: the host that last sent a command
// (or was last constructed) answers the callbacks, which carry no user data.
#ifndef TESSIVO_HOST_STAND_IN_HOST_H
#define TESSIVO_HOST_STAND_IN_HOST_H

#include <cstddef>
#include <cstring>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "AE_Effect.h"
#include "AE_EffectSuites.h"
#include "SPBasic.h"

namespace tessivo_host {

// The 32-bit four-character code of `code` (e.g. "PrMr"), first character in
// the most significant byte, as application ids are written.
A_long FourCC(const char code[5]);

// Bytes of one pixel of a format; 0 for an unknown format.
std::size_t PixelSize(PF_PixelFormat format);

template <class Pixel>
struct PixelFormatOf;
template <>
struct PixelFormatOf<PF_Pixel8> {
  static constexpr PF_PixelFormat value = PF_PixelFormat_ARGB32;
};
template <>
struct PixelFormatOf<PF_Pixel16> {
  static constexpr PF_PixelFormat value = PF_PixelFormat_ARGB64;  // channels 0..32768
};
template <>
struct PixelFormatOf<PF_PixelFloat> {
  static constexpr PF_PixelFormat value = PF_PixelFormat_ARGB128;
};

struct WorldSpec {
  PF_PixelFormat format = PF_PixelFormat_ARGB32;  // one of the three ARGB formats
  A_long width = 0;                               // pixels
  A_long height = 0;                              // rows
  // Bytes from one row's start to the next; packed when unset. May be
  // padded, negative (row 0 highest in memory), or not a whole number of
  // pixels, in which case rows lie (rowbytes / pixel size, rounded toward
  // minus infinity) pixels apart, as the effect addresses them.
  std::optional<A_long> rowbytes;
  // False leaves the block's bytes as allocated, unset, for a caller that
  // writes every pixel before anything reads one (and would otherwise pay
  // for clearing memory it is about to fill).
  bool zeroed = true;
};

// A host-owned pixel buffer. Its block holds exactly the bytes that its
// pixels span (no slack), so a sanitizer catches any access past them.
class World {
 public:
  // std::invalid_argument on a bad layout: an unknown format, a negative side
  // or one above 30000 pixels, rows that overlap.
  explicit World(const WorldSpec& layout);
  World(const World&) = delete;
  World& operator=(const World&) = delete;

  PF_PixelFormat Format() const { return format_; }
  A_long Width() const { return world_.width; }
  A_long Height() const { return world_.height; }
  A_long RowBytes() const { return world_.rowbytes; }
  std::ptrdiff_t PitchBytes() const { return pitchBytes_; }  // row to row, whole pixels
  std::size_t ByteCount() const { return byteCount_; }

  // The record handed to the effect; `data` points at pixel (0, 0).
  PF_EffectWorld* Effect() { return &world_; }
  const PF_EffectWorld* Effect() const { return &world_; }

  // Pixel (x, y); std::out_of_range outside the world, std::invalid_argument
  // when Pixel is not this world's pixel type.
  template <class Pixel>
  Pixel Get(A_long x, A_long y) const {
    Pixel p;
    std::memcpy(&p, PixelAddress(x, y, PixelFormatOf<Pixel>::value), sizeof p);
    return p;
  }
  template <class Pixel>
  void Set(A_long x, A_long y, const Pixel& p) {
    std::memcpy(PixelAddress(x, y, PixelFormatOf<Pixel>::value), &p, sizeof p);
  }
  void FillBytes(unsigned char value);  // every byte of the block

 private:
  unsigned char* PixelAddress(A_long x, A_long y, PF_PixelFormat as) const;

  PF_PixelFormat format_;
  std::ptrdiff_t pitchBytes_;
  std::size_t byteCount_;
  struct FreeBlock {
    void operator()(unsigned char* block) const;
  };
  std::unique_ptr<unsigned char[], FreeBlock> block_;
  PF_EffectWorld world_;
};

// Every callback and suite function the host serves; ids for counting calls
// and injecting faults.
enum class HostCall {
  AcquireSuite,
  ReleaseSuite,
  AddParam,
  CheckoutParam,
  CheckinParam,
  UtilStrcpy,
  UtilSprintf,
  UtilLog,
  UtilGetPixelData8,
  UtilGetPixelData16,
  NewHandle,
  LockHandle,
  UnlockHandle,
  DisposeHandle,
  GetHandleSize,
  AnsiSprintf,
  AnsiStrcpy,
  AnsiLog,
  GetPixelFormat,
  PixelDataGet8,
  PixelDataGet16,
  PixelDataGetFloat,
  CheckoutLayer,
  CheckoutLayerPixels,
  CheckinLayerPixels,
  CheckoutOutput,
  Count
};

// The name used in the call log: "AcquireSuite", "add_param",
// "util sprintf", "host_new_handle", "ansi sprintf", "PF_GetPixelFormat",
// "get_pixel_data_float", "checkout_layer_pixels", ...
const char* HostCallName(HostCall call);

// What a faulted call does instead of its work: a PF_Err result returns
// `code`; a pointer result (host_new_handle, host_lock_handle, the base
// address of get_pixel_data*) is null, and get_pixel_data* also returns
// `code`; AcquireSuite returns `code` and leaves the suite pointer alone;
// sprintf and strcpy write nothing (sprintf returns `code`, strcpy null);
// log returns NaN. Give-backs (ReleaseSuite, checkin_param,
// checkin_layer_pixels, host_unlock_handle, host_dispose_handle) still do
// their work and only answer `code`, so the ledgers stay true.
struct Fault {
  HostCall call;
  int nth;  // 1-based count of calls of `call`
  PF_Err code;
  bool persistent;  // the nth call and every later one
};

enum class SuiteAvailability {
  Present,
  Missing,        // AcquireSuite answers kSPSuiteNotFoundError
  NullOnSuccess,  // AcquireSuite answers 0 and a null suite
};

enum class PixelFormatReport {
  Actual,     // the world's own format
  Given,      // the format set with ReportPixelFormat
  Unwritten,  // success without writing the format
};

struct EffectDescriptor {
  std::string name;
  std::string match_name;
  std::string category;
  std::string entry_point;
};

// Reads the key=value descriptor at `path` ('#' starts a comment line);
// std::runtime_error when missing or lacking a key.
EffectDescriptor ReadDescriptor(const std::string& path);

// True while the host's own code runs on this thread (a command wrapper or
// a callback); false while the effect's code runs, including the memory the
// host allocates for the effect (a handle's block). Lets a test that counts
// or fails allocations tell the effect's from the host's.
bool InHostCode();

class StandInHost {
 public:
  // Loads the module at `module_path`, its descriptor being the file beside
  // it with the extension ".plugin". std::runtime_error for a missing
  // module, descriptor or entry-point symbol.
  explicit StandInHost(const std::string& module_path);
  ~StandInHost();  // discards pending pre-render data, then unloads
  StandInHost(const StandInHost&) = delete;
  StandInHost& operator=(const StandInHost&) = delete;

  const EffectDescriptor& Descriptor() const;

  // --- Commands, in the host's order --------------------------------------
  PF_Err GlobalSetup();
  PF_Err ParamsSetup();  // forgets earlier definitions and values first
  PF_Err About();
  // Discards any pending pre-render data, then sends smart pre-render with a
  // request covering the output world (or the one set with SetRequest).
  PF_Err PreRender();
  // Smart render over the pending pre-render data; sent even without it.
  PF_Err SmartRender();
  // PreRender, SmartRender when that succeeded, then DiscardPreRenderData.
  // Returns the first non-zero code.
  PF_Err RenderFrame();
  // Calls the effect's delete_pre_render_data_func on the pending data, if
  // both are set, and forgets the data.
  void DiscardPreRenderData();
  // Any command, raw: in_data, out_data, the parameter list and the output
  // world as kept by the host. std::runtime_error if an exception crosses
  // the module boundary.
  PF_Err Send(PF_Cmd cmd, void* extra = nullptr);

  // --- Host state the effect sees -----------------------------------------
  PF_InData& InData();             // persistent; tests may edit any field
  PF_OutData& OutData();           // persistent; never reset by the host
  void SetApplId(A_long appl_id);  // default FourCC("TSHT")
  void SetTime(A_long current_time, A_long time_step, A_u_long time_scale);
  void SetBasicSuitePresent(bool present);  // false: pica_basicP null

  // --- Parameters ---------------------------------------------------------
  // Copies of the definitions add_param received, effect's order (the
  // input layer, index 0, is not among them).
  const std::vector<PF_ParamDef>& AddedParams() const;
  const std::vector<PF_ParamIndex>& AddParamIndices() const;  // as passed
  // Sets a value by parameter index (1 = first added) or name. A float
  // slider takes any value in its valid range; a checkbox takes an integer.
  // std::invalid_argument for an unknown parameter or a refused value.
  void SetParam(int index, double value);
  void SetParam(const std::string& name, double value);
  double ParamValue(int index) const;

  // --- Worlds -------------------------------------------------------------
  // Both start as packed 8-bit 8 x 8 worlds of zeros.
  void SetInputWorld(const WorldSpec& layout);  // the output becomes a world like it
  void SetOutputWorld(const WorldSpec& layout);
  World& Input();
  World& Output();

  // --- Smart rendering -----------------------------------------------------
  void SetRequest(const PF_RenderRequest& request);  // default: the output's frame
  void SetInitialResultRects(const PF_LRect& result, const PF_LRect& max_result);
  // checkout_layer answers with this; default the input's frame for both.
  void SetLayerCheckoutResult(const PF_CheckoutResult& result);
  const PF_PreRenderOutput& PreRenderOutput() const;  // of the last PreRender
  void* PendingPreRenderData() const;
  const std::optional<PF_RenderRequest>& LastLayerRequest() const;
  // The time arguments of every checkout_param and checkout_layer, in order.
  struct CheckoutTime {
    HostCall call;
    A_long time, time_step;
    A_u_long time_scale;
  };
  const std::vector<CheckoutTime>& CheckoutTimes() const;
  int OutstandingLayerCheckouts() const;  // checked out minus checked in
  int OutputCheckouts() const;

  // --- Handles ------------------------------------------------------------
  std::size_t LiveHandles() const;
  std::size_t LockedHandles() const;  // live handles with a lock count > 0
  // Unlocks of unlocked handles and calls naming no live handle.
  int BadHandleCalls() const;
  const void* HandleData(PF_Handle handle) const;  // null if not live
  std::size_t HandleSize(PF_Handle handle) const;  // 0 if not live

  // --- Suites ---------------------------------------------------------------
  void SetSuiteAvailability(const std::string& name, SuiteAvailability availability);
  // Acquired minus released, of one suite by name or of all.
  int SuiteBalance(const std::string& name) const;
  int OutstandingSuites() const;
  int BadSuiteReleases() const;  // releases of a suite not held

  void SetPixelFormatReport(PixelFormatReport report, PF_PixelFormat given = 0);

  // --- Faults, counts, log ---------------------------------------------------
  void InjectFault(const Fault& fault);
  void ClearFaults();
  int CallCount(HostCall call) const;
  // In order: "command 23", "AcquireSuite PF Handle Suite 2",
  // "host_new_handle 24", "checkout_param 1", "checkout_layer 0 0",
  // "checkout_layer_pixels 0", "delete_pre_render_data", ...
  const std::vector<std::string>& CallLog() const;
  void ClearCallLog();  // the log only; counts stay

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace tessivo_host

#endif  // TESSIVO_HOST_STAND_IN_HOST_H
