#include "TessivoEffect.h"

// Placeholder until the render lands.
PF_Err KoSmartRender(PF_InData*, PF_OutData*, PF_SmartRenderExtra*) { return PF_Err_NONE; }
