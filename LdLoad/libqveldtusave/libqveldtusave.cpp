// Save control: the export and its pipeline of steps, messages, progress and trace,
// initialisation, the generation-time check and end processing.
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <exception>
#include <vector>

#include "LdTuSaveTrace.h"
#include "LdTuSaveCtrl.h"
#include "LdTuSaveHold.h"
#include "LdTuSaveIds.h"
#include "LibQVCCommon.h"
#include "LibQVEFDAHistDB.h"
#include "ZclNthmi.h"
#include "libqveldtusave.h"
#include "libqveBackupEpa.h"
#include "libqvecommon.h"
#include "libqveldc.h"
#include "port.h"

int g_testMode = 0;
void* g_hGenLock = nullptr;

// ==== save control: entry, pipeline, initialisation, generation check, end processing ====

using namespace LdTuSaveIds;

namespace {

constexpr const char* kSource = "libqveldtusave.cpp";


// The names the generation lock was taken with; the unlock gives them back, so a run whose
// arguments initialisation rejected (context texts still empty) unlocks the right station.
std::string g_strLockProject;
std::string g_strLockStation;
bool g_lockNamesSet = false;

// What the last save's upload listed in its save record table: blocks, and their records.
unsigned int g_savedBlocks = 0;
unsigned int g_savedRecords = 0;

const char* LdTuSaveStr(const char* s) { return s ? s : ""; }

// The first 24 characters of asctime: the time without its line end.
std::string LdTuSaveTimeText(std::time_t t) {
    struct tm* ptm = QVCLocaltime(&t);
    if (!ptm) return std::string();
    char buf[64] = "";
    if (!asctime_r(ptm, buf)) return std::string();
    std::string text(buf);
    if (text.size() > 24) text.resize(24);
    return text;
}

// Hides the application's wait cursor on every way out of the scope.
struct LdTuSaveWaitCursor {
    LdTuSaveWaitCursor() { AfxBeginWaitCursor(); }
    ~LdTuSaveWaitCursor() { AfxEndWaitCursor(); }
    LdTuSaveWaitCursor(const LdTuSaveWaitCursor&) = delete;
    LdTuSaveWaitCursor& operator=(const LdTuSaveWaitCursor&) = delete;
};

void LdTuSaveStep(const char* project, const char* name) {
    LdTuSaveTracef(project, "%s Start", name);
}

}  // namespace

// ---- lock mark ------------------------------------------------------------------------

std::uint32_t LdTuSaveCtrlFcsLock(LdTuSaveCtrlInf* inf) {
    inf->fcsLockFlag = 1;
    return 0;
}

std::uint32_t LdTuSaveCtrlFcsUnlock(LdTuSaveCtrlInf* inf) {
    inf->fcsLockFlag = 0;
    return 0;
}

// ---- initialisation ---------------------------------------------------------------------

std::uint32_t LdTuSaveCtrlInit(const char* parm1, const char* parm2, const char* project, const char* station,
                               std::uint32_t projectKind, std::uint32_t saveMode, std::uint16_t parm7,
                               LdTuSaveCtrlInf* inf) {
    inf->fcsLockFlag = 0;
    inf->refDbOpenFlag = 0;
    inf->elemTblOpenFlag = 0;
    inf->pDbImage.Reset();
    inf->pUserInst.Reset();

    if (!parm1 || !parm2 || !project || !station || saveMode > 2 || (projectKind != 2 && projectKind != 3))
        return TUSAVE_E_ARGS;
    inf->strParm1 = parm1;
    inf->strParm2 = parm2;
    inf->strProject = project;
    inf->strStation = station;
    inf->projectKind = projectKind;
    inf->saveMode = saveMode;
    inf->u16Parm7 = parm7;

    // May this project be saved now?
    int isCurrent = 0;
    if (QVEEngIsCurrentProject(project, &isCurrent) != 0) {
        LdTuSaveMsgf("ERR:QVEEngIsCurrentProject( %s ) error.", project);
        return TUSAVE_E_INIT;
    }
    inf->isCurrentProject = static_cast<std::uint32_t>(isCurrent);
    if (isCurrent == 1) {
        int vrec = 0;
        if (QVEEdaCheckQVTestVREC(&vrec) != 0) {
            LdTuSaveMsgf("ERR:QVEEdaCheckQVTestVREC( ) error.");
            return TUSAVE_E_INIT;
        }
        if (vrec == 1) {
            LdTuSaveMsgText(LDTUSAVE_MSG_ERR, IDS_VREC_RUNNING);
            return TUSAVE_E_INIT;
        }
    } else {
        int underTest = 0;
        if (QVEEdaCheckQVTestByName(project, station, &underTest) != 0) {
            LdTuSaveMsgf("ERR:QVEEdaCheckQVTestByName( %s, %s ) error.", project, station);
            return TUSAVE_E_INIT;
        }
        if (underTest == 0) {
            LdTuSaveMsgText(LDTUSAVE_MSG_ERR, IDS_NOT_UNDER_TEST, ":%s:%s", project, station);
            return TUSAVE_E_INIT;
        }
    }

    // History log and project binding.
    QVCInitHistoryLog(project, station, nullptr);
    if (projectKind == 2) QVCPutHistoryLogLoad("TP ", "start", station);

    std::uint32_t nRtn = projectKind == 3 ? inf->sysObj.InitEqlz(project) : inf->sysObj.Init(project);
    if (nRtn != 0) {
        LdTuSaveMsgText(LDTUSAVE_MSG_ERR, IDS_SYSOBJ_INIT, " nRtn = %d", static_cast<int>(nRtn));
        return TUSAVE_E_INIT;
    }
    if (projectKind == 3) {
        nRtn = inf->filePath.InitEqlzProject(project);
        if (nRtn != 0) {
            LdTuSaveErrText("FilePath.InitEqlzProject ", IDS_FILEPATH_INIT, " nRtn = %d", static_cast<int>(nRtn));
            return TUSAVE_E_INIT;
        }
    } else {
        nRtn = inf->filePath.InitProject(project);
        if (nRtn != 0) {
            LdTuSaveErrText("FilePath.InitProject ", IDS_FILEPATH_INIT, " nRtn = %d", static_cast<int>(nRtn));
            return TUSAVE_E_INIT;
        }
    }

    // Station configuration.
    _OdtStnInf stnInf{};
    nRtn = inf->sysObj.StnConfByName(station, &stnInf);
    if (nRtn != 0) {
        LdTuSaveMsgText(LDTUSAVE_MSG_ERR, IDS_STNCONF, "%s nRtn = %d", station, static_cast<int>(nRtn));
        return TUSAVE_E_INIT;
    }
    inf->stnNo = static_cast<std::uint8_t>(stnInf.wStnNo & 0xFF);

    // Reference database and its block elements.
    std::string strRefPath;
    nRtn = inf->filePath.GetFCSFilePath(station, "FCREFRDB", strRefPath);
    if (nRtn != 0) {
        LdTuSaveMsgText(LDTUSAVE_MSG_ERR, IDS_REFDB_PATH, "%d nRtn = %d", inf->stnNo, static_cast<int>(nRtn));
        return TUSAVE_E_INIT;
    }
    nRtn = inf->refFCS.DbOpen(strRefPath.c_str(), 0, 0);
    if (nRtn != 0) {
        LdTuSaveMsgText(LDTUSAVE_MSG_ERR, IDS_REFDB_OPEN, "%s nRtn = %d", strRefPath.c_str(), static_cast<int>(nRtn));
        return TUSAVE_E_INIT;
    }
    inf->refDbOpenFlag = 1;
    nRtn = inf->refFCS.ElemTblOpen(0, 0);
    if (nRtn != 0) {
        LdTuSaveMsgText(LDTUSAVE_MSG_ERR, IDS_ELEMTBL, " nRtn = %d", static_cast<int>(nRtn));
        return TUSAVE_E_INIT;
    }
    {
        _QVEElemTbl sel;
        _QVEElemTblSort sort;
        inf->refFCS.ElemTblInit(&sel, 1);
        inf->refFCS.ElemTblSortInit(&sort);
        sel.strSelect = inf->refFCS.ElemTblText("%BL");
        sort.nField[5] = 1;
        nRtn = inf->refFCS.ElemTblListAll(&sel, &sort, inf->elemList);
        if (nRtn != 0) {
            LdTuSaveMsgText(LDTUSAVE_MSG_ERR, IDS_ELEMTBL, " nRtn = %d", static_cast<int>(nRtn));
            return TUSAVE_E_INIT;
        }
    }
    inf->elemTblOpenFlag = 1;

    // The two station files the image load reads: both are tested, even when the first fails.
    bool good = true;
    std::string strPath;
    nRtn = inf->filePath.GetFCSFilePath(station, "FCLSF", strPath);
    if (nRtn != 0) {
        LdTuSaveMsgText(LDTUSAVE_MSG_ERR, IDS_DBFILE_PATH, "%d nRtn = %d", inf->stnNo, static_cast<int>(nRtn));
        return TUSAVE_E_STNFILE;
    }
    LdTuSaveFile dbFile;
    if (dbFile.Open(strPath, GENERIC_READ, FILE_SHARE_READ, FILE_ATTRIBUTE_NORMAL) != 0) {
        LdTuSaveMsgPut(LDTUSAVE_MSG_ERR, IDS_DBFILE_OPEN);
        good = false;
    } else {
        inf->strDbFilePath = strPath;
        nRtn = dbFile.Close();
        if (nRtn != 0) {
            LdTuSaveMsgText(LDTUSAVE_MSG_ERR, IDS_FILE_CLOSE, " nRtn = %d", static_cast<int>(nRtn));
            good = false;
        }
    }

    strPath.clear();
    if (inf->filePath.GetFCSUserInstPath(station, 0, strPath) != 0) {
        LdTuSaveMsgf("ERR:GetFCSUserInstPath( %d ) Error", inf->stnNo);
        return TUSAVE_E_STNFILE;
    }
    LdTuSaveFile userInstFile;
    if (userInstFile.Open(strPath, GENERIC_READ, FILE_SHARE_READ, FILE_ATTRIBUTE_NORMAL) != 0) {
        LdTuSaveMsgf("ERR:QVEEngCreateFile( ) Error FileName = %s", strPath.c_str());
        good = false;
    } else {
        inf->strUserInstPath = strPath;
        if (userInstFile.Close() != 0) {
            LdTuSaveMsgf("ERR:QVEEngCloseFile() Error FileNAme = %s", strPath.c_str());
            good = false;
        }
    }
    return good ? TUSAVE_OK : TUSAVE_E_STNFILE;
}

// ---- generation-time check ----------------------------------------------------------------

std::uint32_t LdTuSaveCtrlCheckTime(LdTuSaveCtrlInf* inf) {
    LdTuSaveMsgText(LDTUSAVE_MSG_MSG, IDS_GENTIME_START);

    char szDevice[256] = {};
    if (ZclGetDeviceName(szDevice, 0) != 0) {
        LdTuSaveMsgText(LDTUSAVE_MSG_ERR, IDS_BUS_DEVNAME, "%ld", ZclGetLastError());
        return TUSAVE_E_BUS;
    }
    szDevice[sizeof szDevice - 1] = '\0';
    LdTuSaveBus bus;
    if (bus.Open(szDevice) != 0) {
        LdTuSaveMsgText(LDTUSAVE_MSG_ERR, IDS_BUS_OPEN, "%ld", ZclGetLastError());
        return TUSAVE_E_BUS;
    }

    int nDetail = 0;
    int nRtn = LdCheckGenTime(bus.get(), inf->strParm1.c_str(), inf->strParm2.c_str(), inf->strProject.c_str(),
                              inf->strStation.c_str(), &inf->sysObj, inf->strDbFilePath.c_str(), &nDetail, 0);
    if (nRtn == 0) {
        if (bus.Close() != 0) {
            LdTuSaveMsgText(LDTUSAVE_MSG_ERR, IDS_BUS_CLOSE, "%ld", ZclGetLastError());
            return TUSAVE_E_BUS;
        }
        LdTuSaveMsgText(LDTUSAVE_MSG_MSG, IDS_GENTIME_OK);
        return TUSAVE_OK;
    }
    if (nRtn == 3) return TUSAVE_E_UPLOAD;
    if (nDetail != 0) {
        std::string strLine;
        LdGetTReturnMessage(static_cast<unsigned short>(nDetail), &strLine);
        QVEEngPutMsgBuf(strLine.c_str());
        return TUSAVE_E_UPLOAD;
    }
    LdTuSaveMsgText(LDTUSAVE_MSG_ERR, IDS_GENTIME_MISMATCH);
    return TUSAVE_E_GENTIME;
}

// ---- end processing -------------------------------------------------------------------------

void LdTuSaveCtrlEnd(LdTuSaveCtrlInf* inf, int abortFlag) {
    // An unlock that fails has its own line; the save's result stands.
    if (inf->fcsLockFlag == 1) static_cast<void>(LdTuSaveCtrlFcsUnlock(inf));
    // The context's buffers are given back here, not only when the context goes.
    inf->pDbImage.Reset();
    inf->pUserInst.Reset();
    inf->stnEdit.Reset();

    const char* szOutcome = abortFlag ? "abort" : "end";
    if (inf->projectKind == 2) QVCPutHistoryLogLoad("TP ", szOutcome, inf->strStation.c_str());

    if (inf->elemTblOpenFlag == 1) {
        inf->refFCS.ElemTblClose();
        inf->elemTblOpenFlag = 0;
    }
    if (inf->refDbOpenFlag == 1) {
        inf->refFCS.DbClose();
        inf->refDbOpenFlag = 0;
    }

    LdTuSavePrgPut(100);

    const std::string& strUnlockProject = g_lockNamesSet ? g_strLockProject : inf->strProject;
    const std::string& strUnlockStation = g_lockNamesSet ? g_strLockStation : inf->strStation;
    if (QVEEdaGenUnlockStation(strUnlockProject.c_str(), strUnlockStation.c_str(), g_hGenLock) != 0)
        LdTuSaveMsgf("ERR:QVEEdaGenUnlockStation() error");
    g_lockNamesSet = false;
    g_strLockProject.clear();
    g_strLockStation.clear();

    LdTuSaveMsgText(LDTUSAVE_MSG_MSG, abortFlag ? IDS_TUSAVE_ABORT : IDS_TUSAVE_END, "  %s",
                    LdTuSaveTimeText(QVCTime(nullptr)).c_str());
}

// ---- the export -------------------------------------------------------------------------------

extern "C" unsigned int QVELdFcsTuningParmSave(const char* parm1, const char* parm2, const char* project,
                                               const char* station, unsigned int projectKind,
                                               unsigned int saveMode, unsigned short parm7) {
    LdTuSaveCtrlInf inf;
    LdTuSaveRecordTbl saveRecordTbl;
    g_savedBlocks = g_savedRecords = 0;
    // The entry's own service calls and lines take a missing text as empty; initialisation
    // still sees the caller's null and rejects it.
    const char* szProject = LdTuSaveStr(project);
    const char* szStation = LdTuSaveStr(station);

    LdTuSaveTraceBegin();
    // A failed query leaves its output alone: start from "not under test", not the last save's value.
    g_testMode = 0;
    QVEEdaCheckQVTestByName(szProject, szStation, &g_testMode);
    if (g_testMode != 0) saveMode = 2;

    int isApcs = 0;
    std::uint32_t dwRtn = QVERXEdaIsAPCS(szProject, szStation, &isApcs);
    if (dwRtn != 0) {
        LdTuSaveMsgf("ERR:QVERXEdaIsAPCS( %s, %s ) error %#x", szProject, szStation, dwRtn);
        isApcs = 0;
    }
    inf.isAPCS = static_cast<std::uint32_t>(isApcs);
    inf.apcsTestFlag = 0;
    if (isApcs == 1) {
        if (g_testMode == 0) inf.apcsTestFlag = 1;
        g_testMode = 1;
    }

    LdTuSavePrgPut(0);
    std::time_t tStart = QVCTime(nullptr);
    LdTuSaveMsgText(LDTUSAVE_MSG_MSG, IDS_TUSAVE_START, "  %s   %s", szStation, LdTuSaveTimeText(tStart).c_str());

    char szLockInfo[16] = {};
    dwRtn = QVEEdaGenLockStation(szProject, szStation, 1, szLockInfo, 16, &g_hGenLock);
    if (dwRtn != 0) return dwRtn;
    g_strLockProject = szProject;
    g_strLockStation = szStation;
    g_lockNamesSet = true;

    if (CQVEFCSAutBackup::IsFCSAutBackupMode(szProject, szStation, 0) == 1) {
        std::string strApp = AfxGetAppText();
        if (CQVEFCSAutBackup::CreateComment(szProject, szStation, tStart, 74, parm7, strApp.c_str(), szStation) != 0)
            _QVCPutErrorLog(szProject, kSource, __LINE__);
    }

    auto abortEnd = [&inf](std::uint32_t code) {
        LdTuSaveCtrlEnd(&inf, 1);
        return code;
    };

    LdTuSaveStep(szProject, "LdTuSaveCtrlInit");
    dwRtn = LdTuSaveCtrlInit(parm1, parm2, project, station, projectKind, saveMode, parm7, &inf);
    if (dwRtn != 0) return abortEnd(dwRtn);

    LdTuSaveStep(szProject, "LdTuSaveCtrlFcsLock");
    dwRtn = LdTuSaveCtrlFcsLock(&inf);
    if (dwRtn != 0) return abortEnd(dwRtn);

    if (inf.saveMode != 2) {
        LdTuSaveStep(szProject, "LdTuSaveCtrlCheckTime");
        dwRtn = LdTuSaveCtrlCheckTime(&inf);
        if (dwRtn != 0) return abortEnd(dwRtn);
    }
    LdTuSavePrgPut(5);
    if (inf.saveMode == 1) {
        LdTuSaveCtrlEnd(&inf, 0);
        return TUSAVE_OK;
    }

    LdTuSaveStep(szProject, "LdTuSaveCtrlDBRead");
    dwRtn = LdTuSaveCtrlDBRead(&inf);
    if (dwRtn != 0) return abortEnd(dwRtn);

    LdTuSavePrgPut(10);
    LdTuSaveStep(szProject, "LdTuSaveCtrlGetFcs");
    if (LdTuSaveCtrlGetFcs(&inf, &saveRecordTbl) != 0) return abortEnd(TUSAVE_E_UPLOAD);
    g_savedBlocks = static_cast<unsigned int>(saveRecordTbl.size());
    for (const LdTuSaveRecord& e : saveRecordTbl) g_savedRecords += e.recCnt;

    LdTuSavePrgPut(20);
    LdTuSaveStep(szProject, "LdTuSaveCtrlDbWrite");
    dwRtn = LdTuSaveCtrlDbWrite(&inf);
    if (dwRtn != 0) return abortEnd(dwRtn);

    LdTuSavePrgPut(30);
    LdTuSaveStep(szProject, "LdTuSaveCtrlUpdateEditFile");
    dwRtn = LdTuSaveCtrlUpdateEditFile(&inf, &saveRecordTbl);
    if (dwRtn != 0) return abortEnd(dwRtn);

    LdTuSavePrgPut(40);
    LdTuSaveStep(szProject, "LdTuSaveCtrlCreateParmStr");
    dwRtn = LdTuSaveCtrlCreateParmStr(&inf, 0);
    if (dwRtn != 0) return abortEnd(dwRtn);

    LdTuSavePrgPut(70);
    LdTuSaveStep(szProject, "LdTuSaveCtrlUpdateParmFile");
    // The tool backup reports each problem as a warning; whatever it returns, the save goes on.
    static_cast<void>(LdTuSaveCtrlUpdateParmFile(&inf));
    LdTuSavePrgPut(90);

    if (CQVEFDADBAccess::PutFileOnly(1, szProject, szStation, 1, std::vector<std::string>()) != 0)
        _QVCPutErrorLog(szProject, kSource, __LINE__);

    if (CQVEFCSAutBackup::IsFCSAutBackupMode(szProject, szStation, 0) == 1) {
        // A backup that throws is treated like one that failed: the cursor is hidden, the
        // error log notes it, and the save still gives its locks back.
        try {
            LdTuSaveWaitCursor cursor;
            if (CQVEFCSAutBackup::BackupFCS(szProject, szStation, 1) != 0) _QVCPutErrorLog(szProject, kSource, __LINE__);
        } catch (const std::exception&) {
            _QVCPutErrorLog(szProject, kSource, __LINE__);
        }
    }

    LdTuSaveStep(szProject, "LdTuSaveCtrlFcsUnlock");
    dwRtn = LdTuSaveCtrlFcsUnlock(&inf);
    if (dwRtn != 0) return abortEnd(dwRtn);

    LdTuSaveCtrlEnd(&inf, 0);
    return TUSAVE_OK;
}

extern "C" void QVELdFcsTuningParmSaveCount(unsigned int* blocks, unsigned int* records) {
    if (blocks) *blocks = g_savedBlocks;
    if (records) *records = g_savedRecords;
}
