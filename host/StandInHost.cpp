#include "StandInHost.h"

#include <dlfcn.h>

#include <array>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <deque>
#include <filesystem>
#include <limits>
#include <map>
#include <new>
#include <set>
#include <sstream>

namespace tessivo_host {

const char* HostCallName(HostCall call) {
  static const char* const kNames[] = {
      "AcquireSuite",
      "ReleaseSuite",
      "add_param",
      "checkout_param",
      "checkin_param",
      "util strcpy",
      "util sprintf",
      "util log",
      "util get_pixel_data8",
      "util get_pixel_data16",
      "host_new_handle",
      "host_lock_handle",
      "host_unlock_handle",
      "host_dispose_handle",
      "host_get_handle_size",
      "ansi sprintf",
      "ansi strcpy",
      "ansi log",
      "PF_GetPixelFormat",
      "get_pixel_data8",
      "get_pixel_data16",
      "get_pixel_data_float",
      "checkout_layer",
      "checkout_layer_pixels",
      "checkin_layer_pixels",
      "checkout_output",
  };
  static_assert(sizeof kNames / sizeof kNames[0] == static_cast<std::size_t>(HostCall::Count),
                "one name per host call");
  const auto i = static_cast<std::size_t>(call);
  return i < static_cast<std::size_t>(HostCall::Count) ? kNames[i] : "?";
}

struct StandInHost::Impl {
  // --- Module --------------------------------------------------------------
  EffectDescriptor descriptor;
  void* module = nullptr;
  PF_EffectEntryPoint entry = nullptr;

  // --- What the effect sees ----------------------------------------------------
  PF_InData in{};
  PF_OutData out{};
  PF_UtilCallbacks utils{};
  SPBasicSuite basic{};
  PF_HandleSuite2 handleSuite{};
  PF_ANSICallbacksSuite1 ansiSuite{};
  PF_WorldSuite2 worldSuite{};
  PF_PixelDataSuite1 pixelDataSuite{};

  // --- Parameters ----------------------------------------------------------------
  std::vector<PF_ParamDef> defs;
  std::vector<PF_ParamIndex> addIndices;
  std::deque<std::string> labels;      // checkbox labels; deque keeps them in place
  std::vector<double> values;          // per definition
  std::vector<PF_ParamDef> paramList;  // layer + current values, for each command
  std::vector<PF_ParamDef*> paramPtrs;

  // --- Worlds and smart rendering ------------------------------------------------
  std::unique_ptr<World> input, output;
  std::optional<PF_RenderRequest> request;
  PF_LRect initialResult{}, initialMaxResult{};
  std::optional<PF_CheckoutResult> layerResult;
  PF_PreRenderInput preIn{};
  PF_PreRenderOutput preOut{};
  PF_PreRenderCallbacks preCb{};
  PF_SmartRenderInput renderIn{};
  PF_SmartRenderCallbacks renderCb{};
  void* pending = nullptr;
  PF_DeletePreRenderDataFunc pendingDelete = nullptr;
  std::optional<PF_RenderRequest> lastLayerRequest;
  std::vector<CheckoutTime> checkoutTimes;
  std::set<A_long> checkoutIds;  // checked out at the last pre-render
  std::map<A_long, int> layerPixelsOut;
  int outstandingLayers = 0;
  int outputCheckouts = 0;

  // --- Handles and suites ----------------------------------------------------------
  struct HandleEntry {
    std::unique_ptr<void*> master;  // *master is the block
    std::unique_ptr<unsigned char[]> block;
    std::size_t size;
    int locks;
  };
  std::map<PF_Handle, HandleEntry> handles;
  int badHandleCalls = 0;
  std::map<std::string, SuiteAvailability> availability;
  std::map<std::string, int> suiteBalance;
  int badSuiteReleases = 0;
  PixelFormatReport formatReport = PixelFormatReport::Actual;
  PF_PixelFormat givenFormat = 0;

  // --- Faults, counts, log ---------------------------------------------------------
  std::vector<Fault> faults;
  std::array<int, static_cast<std::size_t>(HostCall::Count)> counts{};
  std::vector<std::string> log;

  // Counts and logs one call; the code of a fault that hits it, if any.
  std::optional<PF_Err> Enter(HostCall call, const std::string& args = std::string()) {
    const int n = ++counts[static_cast<std::size_t>(call)];
    log.push_back(args.empty() ? std::string(HostCallName(call))
                               : std::string(HostCallName(call)) + " " + args);
    for (const Fault& f : faults) {
      if (f.call == call && (n == f.nth || (f.persistent && n > f.nth))) return f.code;
    }
    return std::nullopt;
  }

  PF_ProgPtr EffectRef() { return reinterpret_cast<PF_ProgPtr>(this); }
  bool OurRef(PF_ProgPtr ref) { return ref == EffectRef(); }

  World* FindWorld(const PF_EffectWorld* w) {
    if (input && w == input->Effect()) return input.get();
    if (output && w == output->Effect()) return output.get();
    return nullptr;
  }

  HandleEntry* FindHandle(PF_Handle h) {
    auto it = handles.find(h);
    if (it != handles.end()) return &it->second;
    ++badHandleCalls;
    return nullptr;
  }

  const void* Suite(const std::string& name, int32_t version) {
    if (name == kPFHandleSuite && version == kPFHandleSuiteVersion2) return &handleSuite;
    if (name == kPFANSISuite && version == kPFANSISuiteVersion1) return &ansiSuite;
    if (name == kPFWorldSuite && version == kPFWorldSuiteVersion2) return &worldSuite;
    if (name == kPFPixelDataSuite && version == kPFPixelDataSuiteVersion1) return &pixelDataSuite;
    return nullptr;
  }

  A_short BitDepth() const {
    switch (input->Format()) {
      case PF_PixelFormat_ARGB64:
        return 16;
      case PF_PixelFormat_ARGB128:
        return 32;
      default:
        return 8;
    }
  }

  PF_ParamDef LayerDef() {
    PF_ParamDef d{};
    d.param_type = PF_Param_LAYER;
    d.u.ld = *input->Effect();
    return d;
  }

  void BuildParamList() {
    paramList.assign(1, LayerDef());
    for (std::size_t i = 0; i < defs.size(); ++i) paramList.push_back(ValueDef(i + 1));
    paramPtrs.clear();
    for (PF_ParamDef& d : paramList) paramPtrs.push_back(&d);
  }

  // The definition of parameter `index` (1-based) holding its current value.
  PF_ParamDef ValueDef(std::size_t index) {
    PF_ParamDef d = defs[index - 1];
    if (d.param_type == PF_Param_FLOAT_SLIDER) d.u.fs_d.value = values[index - 1];
    if (d.param_type == PF_Param_CHECKBOX) d.u.bd.value = static_cast<A_long>(values[index - 1]);
    return d;
  }
};

namespace {

StandInHost::Impl* gActive = nullptr;

// Depth of the host's own code on this thread: raised by every callback and
// command wrapper, zeroed while the effect's code runs (see InHostCode).
thread_local int tHostDepth = 0;

struct HostCode {
  HostCode() { ++tHostDepth; }
  ~HostCode() { --tHostDepth; }
  HostCode(const HostCode&) = delete;
  HostCode& operator=(const HostCode&) = delete;
};

// The effect's code, or memory the host obtains for the effect, within host
// code.
struct EffectCode {
  EffectCode() : saved(tHostDepth) { tHostDepth = 0; }
  ~EffectCode() { tHostDepth = saved; }
  EffectCode(const EffectCode&) = delete;
  EffectCode& operator=(const EffectCode&) = delete;
  int saved;
};

// --- Basic suite ----------------------------------------------------------------

SPErr AcquireSuite(const char* name, int32_t version, const void** suite) {
  HostCode inHost;
  StandInHost::Impl& h = *gActive;
  if (auto code =
          h.Enter(HostCall::AcquireSuite, std::string(name) + " " + std::to_string(version))) {
    return *code;
  }
  auto it = h.availability.find(name);
  const SuiteAvailability a = it == h.availability.end() ? SuiteAvailability::Present : it->second;
  const void* s = h.Suite(name, version);
  if (a == SuiteAvailability::Missing || !s) return kSPSuiteNotFoundError;
  if (a == SuiteAvailability::NullOnSuccess) {
    *suite = nullptr;
    return kSPNoError;
  }
  *suite = s;
  ++h.suiteBalance[name];
  return kSPNoError;
}

SPErr ReleaseSuite(const char* name, int32_t version) {
  HostCode inHost;
  StandInHost::Impl& h = *gActive;
  auto code = h.Enter(HostCall::ReleaseSuite, std::string(name) + " " + std::to_string(version));
  int& held = h.suiteBalance[name];
  if (held > 0 && h.Suite(name, version)) {
    --held;
  } else {
    ++h.badSuiteReleases;
    if (!code) code = kSPSuiteNotFoundError;
  }
  return code.value_or(kSPNoError);
}

// --- Interact callbacks -----------------------------------------------------------

PF_Err AddParam(PF_ProgPtr ref, PF_ParamIndex index, PF_ParamDefPtr def) {
  HostCode inHost;
  StandInHost::Impl& h = *gActive;
  if (auto code = h.Enter(HostCall::AddParam, std::to_string(index))) return *code;
  if (!h.OurRef(ref) || !def) return PF_Err_BAD_CALLBACK_PARAM;
  const auto next = static_cast<PF_ParamIndex>(h.defs.size() + 1);
  if (index != -1 && index != next) return PF_Err_INVALID_INDEX;
  h.addIndices.push_back(index);
  PF_ParamDef copy = *def;
  copy.name[sizeof copy.name - 1] = '\0';
  double value = 0.0;
  if (copy.param_type == PF_Param_FLOAT_SLIDER) value = copy.u.fs_d.value;
  if (copy.param_type == PF_Param_CHECKBOX) {
    value = copy.u.bd.value;
    if (copy.u.bd.u.nameptr) {
      h.labels.emplace_back(copy.u.bd.u.nameptr);
      copy.u.bd.u.nameptr = h.labels.back().c_str();
    }
  }
  h.defs.push_back(copy);
  h.values.push_back(value);
  return PF_Err_NONE;
}

PF_Err CheckoutParam(PF_ProgPtr ref, PF_ParamIndex index, A_long time, A_long step, A_u_long scale,
                     PF_ParamDef* param) {
  HostCode inHost;
  StandInHost::Impl& h = *gActive;
  h.checkoutTimes.push_back({HostCall::CheckoutParam, time, step, scale});
  if (auto code = h.Enter(HostCall::CheckoutParam, std::to_string(index))) return *code;
  if (!h.OurRef(ref) || !param) return PF_Err_BAD_CALLBACK_PARAM;
  if (index < 0 || static_cast<std::size_t>(index) > h.defs.size()) return PF_Err_INVALID_INDEX;
  *param = index == 0 ? h.LayerDef() : h.ValueDef(static_cast<std::size_t>(index));
  return PF_Err_NONE;
}

PF_Err CheckinParam(PF_ProgPtr ref, PF_ParamDef* param) {
  HostCode inHost;
  StandInHost::Impl& h = *gActive;
  auto code = h.Enter(HostCall::CheckinParam);
  if (!h.OurRef(ref) || !param) return PF_Err_BAD_CALLBACK_PARAM;
  return code.value_or(PF_Err_NONE);
}

// --- ANSI functions, as util callbacks and as the ANSI suite -------------------------

A_long FormatInto(HostCall call, A_char* buffer, const A_char* format, va_list args) {
  HostCode inHost;
  StandInHost::Impl& h = *gActive;
  if (auto code = h.Enter(call)) return *code;
  // The message field is the one buffer of known size; others are the
  // caller's to size, as with the C function.
  if (buffer == h.out.return_msg) {
    return std::vsnprintf(buffer, sizeof h.out.return_msg, format, args);
  }
  return std::vsprintf(buffer, format, args);
}

// One definition serves the util callback and the suite function, told
// apart by their call id.
template <HostCall kCall>
A_long Sprintf(A_char* buffer, const A_char* format, ...) {
  va_list args;
  va_start(args, format);
  const A_long n = FormatInto(kCall, buffer, format, args);
  va_end(args);
  return n;
}

template <HostCall kCall>
A_char* Strcpy(A_char* dest, const A_char* src) {
  HostCode inHost;
  if (gActive->Enter(kCall)) return nullptr;
  return std::strcpy(dest, src);
}

template <HostCall kCall>
PF_FpLong Log(PF_FpLong x) {
  HostCode inHost;
  if (gActive->Enter(kCall)) return std::numeric_limits<PF_FpLong>::quiet_NaN();
  return std::log(x);
}

// --- Pixel addresses -------------------------------------------------------------

// The first pixel of a world of the wanted format; a world the host did not
// give out, or of another format, gets a refusal and a null address.
template <HostCall kCall, class Pixel>
PF_Err PixelData(PF_EffectWorld* worldP, PF_PixelPtr pixelsP0, Pixel** pPixel) {
  HostCode inHost;
  StandInHost::Impl& h = *gActive;
  if (!pPixel) {
    h.Enter(kCall);
    return PF_Err_BAD_CALLBACK_PARAM;
  }
  *pPixel = nullptr;
  if (auto code = h.Enter(kCall)) return *code;
  World* w = h.FindWorld(worldP);
  if (!w || w->Format() != PixelFormatOf<Pixel>::value) return PF_Err_BAD_CALLBACK_PARAM;
  *pPixel = static_cast<Pixel*>(pixelsP0 ? pixelsP0 : worldP->data);
  return PF_Err_NONE;
}

PF_Err GetPixelFormat(const PF_EffectWorld* worldP, PF_PixelFormat* formatP) {
  HostCode inHost;
  StandInHost::Impl& h = *gActive;
  if (auto code = h.Enter(HostCall::GetPixelFormat)) return *code;
  World* w = h.FindWorld(worldP);
  if (!w || !formatP) return PF_Err_BAD_CALLBACK_PARAM;
  switch (h.formatReport) {
    case PixelFormatReport::Actual:
      *formatP = w->Format();
      break;
    case PixelFormatReport::Given:
      *formatP = h.givenFormat;
      break;
    case PixelFormatReport::Unwritten:
      break;
  }
  return PF_Err_NONE;
}

// --- Handle suite ------------------------------------------------------------------

PF_Handle NewHandle(A_u_longlong size) {
  HostCode inHost;
  StandInHost::Impl& h = *gActive;
  if (h.Enter(HostCall::NewHandle, std::to_string(size))) return nullptr;
  StandInHost::Impl::HandleEntry e;
  // Exactly `size` bytes, filled with a pattern so unwritten records show.
  // The block is the effect's memory: a test may fail it like the effect's.
  {
    EffectCode forEffect;
    e.block.reset(new (std::nothrow) unsigned char[size]);
  }
  if (!e.block) return nullptr;
  std::memset(e.block.get(), 0xA5, size);
  e.master.reset(new void*(e.block.get()));
  e.size = size;
  e.locks = 0;
  PF_Handle handle = e.master.get();
  h.handles.emplace(handle, std::move(e));
  return handle;
}

void* LockHandle(PF_Handle handle) {
  HostCode inHost;
  StandInHost::Impl& h = *gActive;
  if (h.Enter(HostCall::LockHandle)) return nullptr;
  auto* e = h.FindHandle(handle);
  if (!e) return nullptr;
  ++e->locks;
  return e->block.get();
}

void UnlockHandle(PF_Handle handle) {
  HostCode inHost;
  StandInHost::Impl& h = *gActive;
  h.Enter(HostCall::UnlockHandle);
  auto* e = h.FindHandle(handle);
  if (!e) return;
  if (e->locks == 0) {
    ++h.badHandleCalls;
    return;
  }
  --e->locks;
}

void DisposeHandle(PF_Handle handle) {
  HostCode inHost;
  StandInHost::Impl& h = *gActive;
  h.Enter(HostCall::DisposeHandle);
  if (h.FindHandle(handle)) h.handles.erase(handle);
}

A_u_longlong GetHandleSize(PF_Handle handle) {
  HostCode inHost;
  StandInHost::Impl& h = *gActive;
  if (h.Enter(HostCall::GetHandleSize)) return 0;
  auto* e = h.FindHandle(handle);
  return e ? e->size : 0;
}

// --- Smart-render callbacks ---------------------------------------------------------

PF_Err CheckoutLayer(PF_ProgPtr ref, PF_ParamIndex index, A_long checkout_id,
                     const PF_RenderRequest* req, A_long time, A_long step, A_u_long scale,
                     PF_CheckoutResult* result) {
  HostCode inHost;
  StandInHost::Impl& h = *gActive;
  h.checkoutTimes.push_back({HostCall::CheckoutLayer, time, step, scale});
  if (auto code = h.Enter(HostCall::CheckoutLayer,
                          std::to_string(index) + " " + std::to_string(checkout_id))) {
    return *code;
  }
  if (!h.OurRef(ref) || !req || !result) return PF_Err_BAD_CALLBACK_PARAM;
  if (index != 0) return PF_Err_INVALID_INDEX;  // the input layer is the only layer
  h.lastLayerRequest = *req;
  h.checkoutIds.insert(checkout_id);
  if (h.layerResult) {
    *result = *h.layerResult;
  } else {
    *result = PF_CheckoutResult{};
    result->result_rect = result->max_result_rect =
        PF_LRect{0, 0, h.input->Width(), h.input->Height()};
    result->ref_width = h.input->Width();
    result->ref_height = h.input->Height();
  }
  return PF_Err_NONE;
}

PF_Err CheckoutLayerPixels(PF_ProgPtr ref, A_long checkout_id, PF_EffectWorld** pixels) {
  HostCode inHost;
  StandInHost::Impl& h = *gActive;
  if (auto code = h.Enter(HostCall::CheckoutLayerPixels, std::to_string(checkout_id))) return *code;
  if (!h.OurRef(ref) || !pixels || !h.checkoutIds.count(checkout_id)) {
    return PF_Err_BAD_CALLBACK_PARAM;
  }
  *pixels = h.input->Effect();
  ++h.layerPixelsOut[checkout_id];
  ++h.outstandingLayers;
  return PF_Err_NONE;
}

PF_Err CheckinLayerPixels(PF_ProgPtr ref, A_long checkout_id) {
  HostCode inHost;
  StandInHost::Impl& h = *gActive;
  auto code = h.Enter(HostCall::CheckinLayerPixels, std::to_string(checkout_id));
  if (!h.OurRef(ref)) return PF_Err_BAD_CALLBACK_PARAM;
  --h.outstandingLayers;  // a surplus check-in shows as a negative balance
  int& out = h.layerPixelsOut[checkout_id];
  if (out == 0) return code.value_or(PF_Err_BAD_CALLBACK_PARAM);
  --out;
  return code.value_or(PF_Err_NONE);
}

PF_Err CheckoutOutput(PF_ProgPtr ref, PF_EffectWorld** output) {
  HostCode inHost;
  StandInHost::Impl& h = *gActive;
  if (auto code = h.Enter(HostCall::CheckoutOutput)) return *code;
  if (!h.OurRef(ref) || !output) return PF_Err_BAD_CALLBACK_PARAM;
  *output = h.output->Effect();
  ++h.outputCheckouts;
  return PF_Err_NONE;
}

}  // namespace

// --- The host ---------------------------------------------------------------------------

// Sanitizer builds keep an unloaded module mapped until exit, so that leak
// reports made then can still name the module's frames.
#ifdef TESSIVO_KEEP_MODULE_MAPPED
constexpr int kKeepModuleMapped = RTLD_NODELETE;
#else
constexpr int kKeepModuleMapped = 0;
#endif

StandInHost::StandInHost(const std::string& module_path) : impl_(new Impl) {
  Impl& h = *impl_;
  const std::string descriptor_path =
      std::filesystem::path(module_path).replace_extension(".plugin").string();
  if (!std::filesystem::exists(module_path)) {
    throw std::runtime_error("effect module '" + module_path + "' does not exist");
  }
  h.descriptor = ReadDescriptor(descriptor_path);
  h.module = dlopen(module_path.c_str(), RTLD_NOW | RTLD_LOCAL | kKeepModuleMapped);
  if (!h.module) {
    const char* why = dlerror();
    throw std::runtime_error("cannot load effect module '" + module_path +
                             "': " + (why ? why : "unknown reason"));
  }
  h.entry =
      reinterpret_cast<PF_EffectEntryPoint>(dlsym(h.module, h.descriptor.entry_point.c_str()));
  if (!h.entry) {
    dlclose(h.module);
    throw std::runtime_error("effect module '" + module_path + "' has no entry point '" +
                             h.descriptor.entry_point + "'");
  }

  h.basic = SPBasicSuite{AcquireSuite, ReleaseSuite};
  h.handleSuite =
      PF_HandleSuite2{NewHandle, LockHandle, UnlockHandle, DisposeHandle, GetHandleSize};
  h.ansiSuite = PF_ANSICallbacksSuite1{Sprintf<HostCall::AnsiSprintf>, Strcpy<HostCall::AnsiStrcpy>,
                                       Log<HostCall::AnsiLog>};
  h.worldSuite = PF_WorldSuite2{GetPixelFormat};
  h.pixelDataSuite = PF_PixelDataSuite1{PixelData<HostCall::PixelDataGet8, PF_Pixel8>,
                                        PixelData<HostCall::PixelDataGet16, PF_Pixel16>,
                                        PixelData<HostCall::PixelDataGetFloat, PF_PixelFloat>};
  h.utils.ansi = PF_ANSICallbacks{Log<HostCall::UtilLog>, Sprintf<HostCall::UtilSprintf>,
                                  Strcpy<HostCall::UtilStrcpy>};
  h.utils.get_pixel_data8 = PixelData<HostCall::UtilGetPixelData8, PF_Pixel8>;
  h.utils.get_pixel_data16 = PixelData<HostCall::UtilGetPixelData16, PF_Pixel16>;

  h.in.inter = PF_InteractCallbacks{CheckoutParam, CheckinParam, AddParam};
  h.in.utils = &h.utils;
  h.in.effect_ref = h.EffectRef();
  h.in.version = 13;
  h.in.appl_id = FourCC("TSHT");
  h.in.time_step = 1;
  h.in.total_time = 30;
  h.in.time_scale = 30;
  h.in.pica_basicP = &h.basic;

  h.preCb.checkout_layer = CheckoutLayer;
  h.renderCb = PF_SmartRenderCallbacks{CheckoutLayerPixels, CheckinLayerPixels, CheckoutOutput};
  SetInputWorld(WorldSpec{PF_PixelFormat_ARGB32, 8, 8, std::nullopt});
  gActive = impl_.get();
}

StandInHost::~StandInHost() {
  DiscardPreRenderData();
  dlclose(impl_->module);
  if (gActive == impl_.get()) gActive = nullptr;
}

bool InHostCode() { return tHostDepth > 0; }

const EffectDescriptor& StandInHost::Descriptor() const { return impl_->descriptor; }

PF_Err StandInHost::Send(PF_Cmd cmd, void* extra) {
  HostCode inHost;
  Impl& h = *impl_;
  gActive = &h;
  h.log.push_back("command " + std::to_string(cmd));
  h.in.num_params = static_cast<A_long>(h.defs.size() + 1);
  h.BuildParamList();
  try {
    EffectCode effect;
    return h.entry(cmd, &h.in, &h.out, h.paramPtrs.data(), h.output->Effect(), extra);
  } catch (...) {
    throw std::runtime_error("an exception crossed the effect's entry point on command " +
                             std::to_string(cmd));
  }
}

PF_Err StandInHost::GlobalSetup() { return Send(PF_Cmd_GLOBAL_SETUP); }

PF_Err StandInHost::ParamsSetup() {
  HostCode inHost;
  Impl& h = *impl_;
  h.defs.clear();
  h.values.clear();
  h.labels.clear();
  h.addIndices.clear();
  return Send(PF_Cmd_PARAMS_SETUP);
}

PF_Err StandInHost::About() { return Send(PF_Cmd_ABOUT); }

PF_Err StandInHost::PreRender() {
  HostCode inHost;
  DiscardPreRenderData();
  Impl& h = *impl_;
  PF_RenderRequest req{};
  req.rect = PF_LRect{0, 0, h.output->Width(), h.output->Height()};
  req.channel_mask = 0xF;  // alpha, red, green, blue
  h.preIn.output_request = h.request.value_or(req);
  h.preIn.bitdepth = h.BitDepth();
  h.preOut = PF_PreRenderOutput{};
  h.preOut.result_rect = h.initialResult;
  h.preOut.max_result_rect = h.initialMaxResult;
  h.checkoutIds.clear();
  h.lastLayerRequest.reset();
  PF_PreRenderExtra extra{&h.preIn, &h.preOut, &h.preCb};
  const PF_Err err = Send(PF_Cmd_SMART_PRE_RENDER, &extra);
  // The host keeps whatever the effect stored, failure or not.
  h.pending = h.preOut.pre_render_data;
  h.pendingDelete = h.preOut.delete_pre_render_data_func;
  return err;
}

PF_Err StandInHost::SmartRender() {
  HostCode inHost;
  Impl& h = *impl_;
  h.renderIn.output_request = h.preIn.output_request;
  h.renderIn.bitdepth = h.BitDepth();
  h.renderIn.pre_render_data = h.pending;
  PF_SmartRenderExtra extra{&h.renderIn, &h.renderCb};
  return Send(PF_Cmd_SMART_RENDER, &extra);
}

PF_Err StandInHost::RenderFrame() {
  HostCode inHost;
  PF_Err err = PreRender();
  if (!err) err = SmartRender();
  DiscardPreRenderData();
  return err;
}

void StandInHost::DiscardPreRenderData() {
  HostCode inHost;
  Impl& h = *impl_;
  void* data = h.pending;
  PF_DeletePreRenderDataFunc del = h.pendingDelete;
  h.pending = nullptr;
  h.pendingDelete = nullptr;
  if (data && del) {
    gActive = &h;
    h.log.push_back("delete_pre_render_data");
    EffectCode effect;
    del(data);
  }
}

PF_InData& StandInHost::InData() { return impl_->in; }
PF_OutData& StandInHost::OutData() { return impl_->out; }
void StandInHost::SetApplId(A_long appl_id) { impl_->in.appl_id = appl_id; }
void StandInHost::SetTime(A_long current_time, A_long time_step, A_u_long time_scale) {
  impl_->in.current_time = current_time;
  impl_->in.time_step = time_step;
  impl_->in.time_scale = time_scale;
}
void StandInHost::SetBasicSuitePresent(bool present) {
  impl_->in.pica_basicP = present ? &impl_->basic : nullptr;
}

const std::vector<PF_ParamDef>& StandInHost::AddedParams() const { return impl_->defs; }
const std::vector<PF_ParamIndex>& StandInHost::AddParamIndices() const { return impl_->addIndices; }

void StandInHost::SetParam(int index, double value) {
  Impl& h = *impl_;
  if (index < 1 || static_cast<std::size_t>(index) > h.defs.size()) {
    throw std::invalid_argument("no parameter " + std::to_string(index) + " (the effect added " +
                                std::to_string(h.defs.size()) + ")");
  }
  const PF_ParamDef& d = h.defs[static_cast<std::size_t>(index) - 1];
  std::ostringstream why;
  why << d.name << ": ";
  if (d.param_type == PF_Param_FLOAT_SLIDER &&
      !(value >= d.u.fs_d.valid_min && value <= d.u.fs_d.valid_max)) {
    why << value << " is outside its valid range " << d.u.fs_d.valid_min << " to "
        << d.u.fs_d.valid_max;
    throw std::invalid_argument(why.str());
  }
  if (d.param_type == PF_Param_CHECKBOX &&
      !(value == std::trunc(value) && value >= std::numeric_limits<A_long>::min() &&
        value <= std::numeric_limits<A_long>::max())) {
    why << "a checkbox takes an integer, not " << value;
    throw std::invalid_argument(why.str());
  }
  h.values[static_cast<std::size_t>(index) - 1] = value;
}

void StandInHost::SetParam(const std::string& name, double value) {
  const auto& defs = impl_->defs;
  for (std::size_t i = 0; i < defs.size(); ++i) {
    if (name == defs[i].name) return SetParam(static_cast<int>(i + 1), value);
  }
  throw std::invalid_argument("no parameter named '" + name + "'");
}

double StandInHost::ParamValue(int index) const {
  if (index < 1 || static_cast<std::size_t>(index) > impl_->values.size()) {
    throw std::invalid_argument("no parameter " + std::to_string(index));
  }
  return impl_->values[static_cast<std::size_t>(index) - 1];
}

void StandInHost::SetInputWorld(const WorldSpec& layout) {
  impl_->input.reset(new World(layout));
  impl_->output.reset(new World(layout));
  impl_->in.width = layout.width;
  impl_->in.height = layout.height;
}
void StandInHost::SetOutputWorld(const WorldSpec& layout) { impl_->output.reset(new World(layout)); }
World& StandInHost::Input() { return *impl_->input; }
World& StandInHost::Output() { return *impl_->output; }

void StandInHost::SetRequest(const PF_RenderRequest& request) { impl_->request = request; }
void StandInHost::SetInitialResultRects(const PF_LRect& result, const PF_LRect& max_result) {
  impl_->initialResult = result;
  impl_->initialMaxResult = max_result;
}
void StandInHost::SetLayerCheckoutResult(const PF_CheckoutResult& result) {
  impl_->layerResult = result;
}
const PF_PreRenderOutput& StandInHost::PreRenderOutput() const { return impl_->preOut; }
void* StandInHost::PendingPreRenderData() const { return impl_->pending; }
const std::optional<PF_RenderRequest>& StandInHost::LastLayerRequest() const {
  return impl_->lastLayerRequest;
}
const std::vector<StandInHost::CheckoutTime>& StandInHost::CheckoutTimes() const {
  return impl_->checkoutTimes;
}
int StandInHost::OutstandingLayerCheckouts() const { return impl_->outstandingLayers; }
int StandInHost::OutputCheckouts() const { return impl_->outputCheckouts; }

std::size_t StandInHost::LiveHandles() const { return impl_->handles.size(); }
std::size_t StandInHost::LockedHandles() const {
  std::size_t n = 0;
  for (const auto& kv : impl_->handles) n += kv.second.locks > 0;
  return n;
}
int StandInHost::BadHandleCalls() const { return impl_->badHandleCalls; }
const void* StandInHost::HandleData(PF_Handle handle) const {
  auto it = impl_->handles.find(handle);
  return it == impl_->handles.end() ? nullptr : it->second.block.get();
}
std::size_t StandInHost::HandleSize(PF_Handle handle) const {
  auto it = impl_->handles.find(handle);
  return it == impl_->handles.end() ? 0 : it->second.size;
}

void StandInHost::SetSuiteAvailability(const std::string& name, SuiteAvailability availability) {
  impl_->availability[name] = availability;
}
int StandInHost::SuiteBalance(const std::string& name) const {
  auto it = impl_->suiteBalance.find(name);
  return it == impl_->suiteBalance.end() ? 0 : it->second;
}
int StandInHost::OutstandingSuites() const {
  int n = 0;
  for (const auto& kv : impl_->suiteBalance) n += kv.second;
  return n;
}
int StandInHost::BadSuiteReleases() const { return impl_->badSuiteReleases; }

void StandInHost::SetPixelFormatReport(PixelFormatReport report, PF_PixelFormat given) {
  impl_->formatReport = report;
  impl_->givenFormat = given;
}

void StandInHost::InjectFault(const Fault& fault) { impl_->faults.push_back(fault); }
void StandInHost::ClearFaults() { impl_->faults.clear(); }
int StandInHost::CallCount(HostCall call) const {
  return impl_->counts[static_cast<std::size_t>(call)];
}
const std::vector<std::string>& StandInHost::CallLog() const { return impl_->log; }
void StandInHost::ClearCallLog() { impl_->log.clear(); }

}  // namespace tessivo_host
