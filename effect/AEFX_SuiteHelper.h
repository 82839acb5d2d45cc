// Acquiring and releasing one host suite by name, with the failure reported
// to the user through the host's message field rather than thrown.
#ifndef TESSIVO_EFFECT_AEFX_SUITE_HELPER_H
#define TESSIVO_EFFECT_AEFX_SUITE_HELPER_H

#include "AE_Effect.h"

// 0 when the suite pointer is set; otherwise sets
// PF_OutFlag_DISPLAY_ERROR_MESSAGE, writes error_stringPC0 (or a default
// text) to return_msg and returns PF_Err_BAD_CALLBACK_PARAM.
PF_Err AEFX_AcquireSuite(PF_InData* in_data, PF_OutData* out_data, const char* name,
                         int32_t version, const char* error_stringPC0, void** suitePP);
PF_Err AEFX_ReleaseSuite(PF_InData* in_data, PF_OutData* out_data, const char* name,
                         int32_t version, const char* error_stringPC0);

#endif  // TESSIVO_EFFECT_AEFX_SUITE_HELPER_H
