// The upload step of the pipeline.
#include "LdTuSaveCtrl.h"

// Placeholder until the station upload (TuFcsUpLoad) lands: saves no block and succeeds.
std::uint32_t LdTuSaveCtrlGetFcs(LdTuSaveCtrlInf* /*inf*/, LdTuSaveRecordTbl* /*saveRecordTbl*/) { return 0; }
