// Station tool backup.
#include "LdTuSaveCtrl.h"

// Placeholder until the station tool backup lands: runs no tool and succeeds.
std::uint32_t LdTuSaveCtrlUpdateParmFile(LdTuSaveCtrlInf* /*inf*/) { return 0; }
