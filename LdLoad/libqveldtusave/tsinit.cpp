// The TP file step: builds the instance and item tables of area 1 from the instance
// definitions, has the TP file written and archived, and releases everything on every way out.
#include "LdTuSaveCtrl.h"
#include "LdTuSaveHold.h"
#include "LdTuSaveIds.h"
#include "libqverxgen.h"
#include "tsinf.h"

namespace {

constexpr const char* kSource = "tsinit";
constexpr unsigned kTpArea = 1;   // only the control area has a TP file

// Owns the tables and the open service of one run: the tables are freed, then the definitions closed.
struct TpSaveHolder {
    LdTuSaveInstDefs instDefs;
    TpSaveInf tp;
    ~TpSaveHolder() { LdTuSaveTpFreeTables(&tp); }
};

std::uint32_t LdTuSaveTpBuild(LdTuSaveCtrlInf* inf) {
    TpSaveHolder h;
    TpSaveInf& tp = h.tp;
    tp.strProject = inf->strProject;
    tp.strStation = inf->strStation;
    tp.projectKind = inf->projectKind;
    tp.pDbImage = &inf->pDbImage;
    tp.pElemList = &inf->elemList;

    if (!h.instDefs.Open(tp.strProject.c_str(), tp.strStation.c_str(), tp.projectKind)) {
        LdTuSaveSrcErr(false, kSource, 191, "IEdalInstOpen() error");
        return 1;
    }

    for (unsigned areaNo = kTpArea; areaNo <= kTpArea; ++areaNo) {
        if (LdTuSaveTpCollectInst(&tp, areaNo) != 0) return 1;
        for (std::uint32_t i = 0; i < tp.instInfTblUsedNum; ++i)
            if (LdTuSaveTpFillInst(&tp.pInstInfTbl[i]) != 0) return 1;
        if (LdTuSaveTpWrite(&tp, areaNo) != 0) return 1;
    }
    return 0;
}

}  // namespace

std::uint32_t LdTuSaveCtrlCreateParmStr(LdTuSaveCtrlInf* inf, int /*flag*/) {
    using namespace LdTuSaveIds;
    LdTuSaveMsgPut(LDTUSAVE_MSG_MSG, IDS_TP_START);
    if (LdTuSaveTpBuild(inf) != 0) {
        LdTuSaveMsgPut(LDTUSAVE_MSG_MSG, IDS_TP_FAILED);
        return TUSAVE_E_TPFILE;
    }
    LdTuSaveMsgPut(LDTUSAVE_MSG_MSG, IDS_TP_DONE);
    return TUSAVE_OK;
}
