// The render commands. Placeholders until the render pipeline lands: every frame passes unchanged.
#include "KRVN_Render.h"

namespace korvane {

PF_Err PreRender(PF_InData*, PF_OutData*, PF_PreRenderExtra*) { return PF_Err_NONE; }

PF_Err SmartRender(PF_InData*, PF_OutData*, PF_SmartRenderExtra*) { return PF_Err_NONE; }

PF_Err LegacyRender(PF_InData*, PF_OutData*, PF_ParamDef*[], PF_LayerDef*) { return PF_Err_NONE; }

}  // namespace korvane
