// Save control: the save context, the save record table, result codes and the pipeline steps.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "LdTuSaveEditFmt.h"
#include "LdTuSaveHold.h"
#include "LdTuSaveMsg.h"
#include "libqveeda.h"
#include "libqverxeda.h"
#include "tusave_results.h"

// ---- save record table ------------------------------------------------------
// One saved block; stored as 44 bytes: u16 blockNo, u16 blkCode, u16 oyaBlockNo, u16 0,
// u32 recCnt, u32 recNo[8].
struct LdTuSaveRecord {
    std::uint16_t blockNo = 0;
    std::uint16_t blkCode = 0;
    std::uint16_t oyaBlockNo = 0;
    std::uint16_t reserved = 0;
    std::uint32_t recCnt = 0;
    std::uint32_t recNo[8] = {};
};
static_assert(sizeof(LdTuSaveRecord) == 44);
using LdTuSaveRecordTbl = std::vector<LdTuSaveRecord>;

// ---- save context -------------------------------------------------------------
struct LdTuSaveUaidItem {
    std::uint8_t recNo = 0;
    std::uint16_t offset = 0;
    std::uint8_t elemSize = 0;
};

struct LdTuSaveCtrlInf {
    std::string strParm1;
    std::string strParm2;
    std::string strProject;
    std::string strStation;
    std::uint32_t saveMode = 0;
    std::uint32_t projectKind = 0;
    std::uint16_t u16Parm7 = 0;
    std::uint8_t stnNo = 0;
    std::string strDbFilePath;
    LdTuSaveDbImage pDbImage;   // the image (its size is dbImageSize) from the load on
    std::string strUserInstPath;
    LdTuSaveBuf pUserInst;      // the user instance file, for the upload
    std::uint32_t fcsLockFlag = 0;
    std::uint32_t refDbOpenFlag = 0;
    std::uint32_t elemTblOpenFlag = 0;
    LdTuSaveStnEdit stnEdit;    // the station's edit file while the edit file update runs
    // Where the "UAID" item of each block code met in the edit step lies (nullopt: its instance
    // has none), so that the instance definitions are asked once a code, not per block.
    std::unordered_map<std::uint16_t, std::optional<LdTuSaveUaidItem>> uaidItems;
    std::uint32_t isCurrentProject = 0;
    std::uint32_t isAPCS = 0;
    std::uint32_t apcsTestFlag = 0;
    CQVERXEdaSysObj sysObj;
    CQVEFilePath filePath;
    CQVEEdaRefFCS refFCS;
    QVEElemList elemList;
};

// ---- module-wide state ------------------------------------------------------------
extern int g_testMode;        // frames need no byte-order conversion while set
extern void* g_hGenLock;      // the generation lock of the running save

// ---- pipeline steps -------------------------------------------------------------
[[nodiscard]] std::uint32_t LdTuSaveCtrlInit(const char* parm1, const char* parm2, const char* project, const char* station,
                               std::uint32_t projectKind, std::uint32_t saveMode, std::uint16_t parm7,
                               LdTuSaveCtrlInf* inf);
[[nodiscard]] std::uint32_t LdTuSaveCtrlFcsLock(LdTuSaveCtrlInf* inf);
[[nodiscard]] std::uint32_t LdTuSaveCtrlCheckTime(LdTuSaveCtrlInf* inf);
[[nodiscard]] std::uint32_t LdTuSaveCtrlDBRead(LdTuSaveCtrlInf* inf);
[[nodiscard]] std::uint32_t LdTuSaveCtrlGetFcs(LdTuSaveCtrlInf* inf, LdTuSaveRecordTbl* saveRecordTbl);
[[nodiscard]] std::uint32_t LdTuSaveCtrlDbWrite(LdTuSaveCtrlInf* inf);
[[nodiscard]] std::uint32_t LdTuSaveCtrlUpdateEditFile(LdTuSaveCtrlInf* inf, LdTuSaveRecordTbl* saveRecordTbl);
[[nodiscard]] std::uint32_t LdTuSaveCtrlCreateParmStr(LdTuSaveCtrlInf* inf, int flag);
[[nodiscard]] std::uint32_t LdTuSaveCtrlUpdateParmFile(LdTuSaveCtrlInf* inf);
[[nodiscard]] std::uint32_t LdTuSaveCtrlFcsUnlock(LdTuSaveCtrlInf* inf);
void LdTuSaveCtrlEnd(LdTuSaveCtrlInf* inf, int abortFlag);
