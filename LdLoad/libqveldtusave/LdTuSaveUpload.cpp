// The upload step of the pipeline.
#include "LdTuSaveCtrl.h"
#include "tusave.h"

std::uint32_t LdTuSaveCtrlGetFcs(LdTuSaveCtrlInf* inf, LdTuSaveRecordTbl* saveRecordTbl) {
    const int r = TuFcsUpLoad(inf->strParm1.c_str(), inf->strParm2.c_str(), inf->strProject.c_str(),
                              inf->strStation.c_str(), inf->projectKind, inf->u16Parm7, inf->pDbImage, inf->pUserInst,
                              &inf->sysObj, saveRecordTbl, inf->apcsTestFlag, inf->dbImageSize);
    return r != 0 ? LDTUSAVE_E_UPLOAD : LDTUSAVE_OK;
}
