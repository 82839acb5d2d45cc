#include "AEFX_SuiteHelper.h"

#include "SPBasic.h"

namespace {

// The message is the format, as the host's sprintf is the only writer of
// return_msg; a '%' in it is the caller's business.
PF_Err ReportSuiteFailure(PF_InData* in_data, PF_OutData* out_data, const char* message) {
  out_data->out_flags |= PF_OutFlag_DISPLAY_ERROR_MESSAGE;
  if (in_data->utils && in_data->utils->ansi.sprintf) {
    in_data->utils->ansi.sprintf(out_data->return_msg, message);
  }
  return PF_Err_BAD_CALLBACK_PARAM;
}

}  // namespace

PF_Err AEFX_AcquireSuite(PF_InData* in_data, PF_OutData* out_data, const char* name,
                         int32_t version, const char* error_stringPC0, void** suitePP) {
  *suitePP = nullptr;
  if (SPBasicSuite* pica = in_data->pica_basicP) {
    const void* suite = nullptr;
    // The host's answer is not trusted; only a suite actually handed over counts.
    pica->AcquireSuite(name, version, &suite);
    *suitePP = const_cast<void*>(suite);
  }
  if (*suitePP) return PF_Err_NONE;
  return ReportSuiteFailure(in_data, out_data,
                            error_stringPC0 ? error_stringPC0 : "Not able to acquire AEFX Suite.");
}

PF_Err AEFX_ReleaseSuite(PF_InData* in_data, PF_OutData* out_data, const char* name,
                         int32_t version, const char* error_stringPC0) {
  if (SPBasicSuite* pica = in_data->pica_basicP) {
    pica->ReleaseSuite(name, version);
    return PF_Err_NONE;
  }
  return ReportSuiteFailure(in_data, out_data,
                            error_stringPC0 ? error_stringPC0 : "Not able to release AEFX Suite.");
}
