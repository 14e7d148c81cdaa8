// Edit file update.
#include "LdTuSaveCtrl.h"

// Placeholder until the edit file update lands: changes no file and succeeds.
std::uint32_t LdTuSaveCtrlUpdateEditFile(LdTuSaveCtrlInf* /*inf*/, LdTuSaveRecordTbl* /*saveRecordTbl*/) { return 0; }
