// The TP file step.
#include "LdTuSaveCtrl.h"

// Placeholder until the TP file step lands: writes no TP file and succeeds.
std::uint32_t LdTuSaveCtrlCreateParmStr(LdTuSaveCtrlInf* /*inf*/, int /*flag*/) { return 0; }
