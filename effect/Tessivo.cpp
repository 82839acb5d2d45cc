#include "Tessivo.h"

#include <cstdint>
#include <cstring>

#include "AEGP_SuiteHandler.h"
#include "Smart_Utils.h"
#include "TessivoEffect.h"

namespace {

const char kDisplayName[] = "Brannic Tessivo";
const char kDescription[] =
    "Brannic Tessivo (v2.0.2) is a local color correction filter.\n\n"
    "Brannic Algorithms - https://www.brannic.example";
// Shown in the about box; independent of the version word.
const int kMajorVersion = 2;
const int kMinorVersion = 0;

const A_long kPremiereApplId = 0x50724D72;  // "PrMr": no about text there

// Parameter indices; index 0 is the input layer.
enum {
  kParamInput = 0,
  kParamRadius,
  kParamThreshold,
  kParamIntensity,
  kParamLuminosity,
  kParamCount
};

struct FloatSliderRow {
  PF_ParamIndex index;
  const char* name;
  float min, max, dephault;  // valid range = slider range
  A_short precision;
};

const FloatSliderRow kFloatSliders[] = {
    {kParamRadius, "Tonal Radius", 1.0f, 20.0f, 2.0f, 1},
    {kParamThreshold, "Tonal Threshold", 0.0f, 1.0f, 0.0f, 2},
    {kParamIntensity, "Intensity Level", 0.0f, 100.0f, 50.0f, 0},
};
const char kLuminosityName[] = "Luminosity Mode";

// Basic suite of the last pre-render; the host calls the delete function
// without any in_data, so the handle's suite is reached through this.
const SPBasicSuite* gpPreRenderBasicSuite = nullptr;

PF_Err About(PF_InData* in_data, PF_OutData* out_data) {
  if (!in_data || !out_data) return PF_Err_BAD_CALLBACK_PARAM;
  if (in_data->appl_id == kPremiereApplId) return PF_Err_NONE;
  AEGP_SuiteHandler suites(in_data->pica_basicP);
  suites.ANSICallbacksSuite1()->sprintf(out_data->return_msg, "%s, v%d.%d\r%s", kDisplayName,
                                        kMajorVersion, kMinorVersion, kDescription);
  return PF_Err_NONE;
}

PF_Err GlobalSetup(PF_OutData* out_data) {
  if (!out_data) return PF_Err_BAD_CALLBACK_PARAM;
  out_data->my_version = PF_VERSION(2, 0, 0, PF_Stage_RELEASE, 2);
  out_data->out_flags =
      PF_OutFlag_USE_OUTPUT_EXTENT | PF_OutFlag_PIX_INDEPENDENT | PF_OutFlag_DEEP_COLOR_AWARE;
  out_data->out_flags2 = PF_OutFlag2_SUPPORTS_SMART_RENDER | PF_OutFlag2_FLOAT_COLOR_AWARE;
  return PF_Err_NONE;
}

// Every field the definition does not set stays zero.
void StartParamDef(PF_InData* in_data, PF_ParamDef* def, PF_ParamType type, const char* name,
                   PF_ParamIndex id) {
  std::memset(def, 0, sizeof *def);
  def->flags = 0;
  def->param_type = type;
  in_data->utils->ansi.strcpy(def->name, name);
  def->uu.id = id;
}

PF_Err ParamsSetup(PF_InData* in_data, PF_OutData* out_data) {
  if (!in_data || !in_data->utils || !out_data) return PF_Err_BAD_CALLBACK_PARAM;
  PF_ParamDef def;
  for (const FloatSliderRow& row : kFloatSliders) {
    StartParamDef(in_data, &def, PF_Param_FLOAT_SLIDER, row.name, row.index);
    PF_FloatSliderDef& fs = def.u.fs_d;
    fs.valid_min = fs.slider_min = row.min;
    fs.valid_max = fs.slider_max = row.max;
    fs.value = row.dephault;
    fs.dephault = row.dephault;
    fs.precision = row.precision;
    fs.display_flags = 0;
    fs.curve_tolerance = 0.05f;
    if (PF_Err err = in_data->inter.add_param(in_data->effect_ref, -1, &def)) return err;
  }

  StartParamDef(in_data, &def, PF_Param_CHECKBOX, kLuminosityName, kParamLuminosity);
  def.u.bd.value = 1;
  def.u.bd.dephault = 1;
  def.u.bd.u.nameptr = "";
  if (PF_Err err = in_data->inter.add_param(in_data->effect_ref, -1, &def)) return err;

  out_data->num_params = kParamCount;
  return PF_Err_NONE;
}

// The host's call when it discards a frame's pre-render data, after the
// render or instead of it. Nothing may escape into the host.
void DeletePreRenderData(void* pre_render_data) {
  if (!pre_render_data || !gpPreRenderBasicSuite) return;
  try {
    AEGP_SuiteHandler suites(gpPreRenderBasicSuite);
    suites.HandleSuite2()->host_dispose_handle(static_cast<PF_Handle>(pre_render_data));
  } catch (...) {
    // Without the handle suite the handle cannot be given back.
  }
}

}  // namespace

PF_Err SmartPreRender(PF_InData* in_data, PF_PreRenderExtra* extra) {
  if (!in_data || !extra || !extra->input || !extra->output || !extra->cb) {
    return PF_Err_BAD_CALLBACK_PARAM;
  }
  PF_RenderRequest request = extra->input->output_request;
  PF_Err err = PF_Err_NONE;
  AEGP_SuiteHandler suites(in_data->pica_basicP);

  PF_ParamDef params[kParamCount];
  std::memset(params, 0, sizeof params);

  PF_HandleSuite2* handleSuite = suites.HandleSuite2();
  PF_Handle handle = handleSuite->host_new_handle(sizeof(PreRenderInfo));
  if (!handle) return PF_Err_OUT_OF_MEMORY;

  auto* info = static_cast<PreRenderInfo*>(handleSuite->host_lock_handle(handle));
  if (!info) {
    // Unusable and not yet the host's: give it back rather than leak it.
    handleSuite->host_dispose_handle(handle);
    return PF_Err_OUT_OF_MEMORY;
  }

  // Stored before any checkout, so the host owns (and via the delete
  // function disposes of) the handle whatever fails below.
  gpPreRenderBasicSuite = in_data->pica_basicP;
  extra->output->pre_render_data = handle;
  extra->output->delete_pre_render_data_func = DeletePreRenderData;

  for (PF_ParamIndex i = kParamRadius; i < kParamCount && !err; ++i) {
    err = in_data->inter.checkout_param(in_data->effect_ref, i, in_data->current_time,
                                        in_data->time_step, in_data->time_scale, &params[i]);
  }

  if (!err) {
    info->radius = params[kParamRadius].u.fs_d.value;
    info->threshold = static_cast<float>(params[kParamThreshold].u.fs_d.value);
    info->luminosityMode = params[kParamLuminosity].u.bd.value != 0;
    info->intensity = static_cast<float>(params[kParamIntensity].u.fs_d.value / 100.0);

    PF_CheckoutResult in_result;
    std::memset(&in_result, 0, sizeof in_result);
    err = extra->cb->checkout_layer(in_data->effect_ref, kParamInput, 0, &request,
                                    in_data->current_time, in_data->time_step, in_data->time_scale,
                                    &in_result);
    if (!err) {
      UnionLRect(&in_result.result_rect, &extra->output->result_rect);
      UnionLRect(&in_result.max_result_rect, &extra->output->max_result_rect);
    }
  }

  handleSuite->host_unlock_handle(handle);
  return err;
}

PF_Err EntryPointFunc(PF_Cmd cmd, PF_InData* in_data, PF_OutData* out_data, PF_ParamDef*[],
                      PF_LayerDef*, void* extra) {
  try {
    switch (static_cast<std::uint32_t>(cmd)) {
      case PF_Cmd_ABOUT:
        return About(in_data, out_data);
      case PF_Cmd_GLOBAL_SETUP:
        return GlobalSetup(out_data);
      case PF_Cmd_PARAMS_SETUP:
        return ParamsSetup(in_data, out_data);
      case PF_Cmd_SMART_PRE_RENDER:
        return SmartPreRender(in_data, static_cast<PF_PreRenderExtra*>(extra));
      case PF_Cmd_SMART_RENDER:
        return KoSmartRender(in_data, out_data, static_cast<PF_SmartRenderExtra*>(extra));
      default:
        return PF_Err_NONE;
    }
  } catch (int err) {
    return err;
  } catch (...) {
    return PF_Err_INTERNAL_STRUCT_DAMAGED;
  }
}
