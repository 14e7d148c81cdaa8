// Save control: the save context, the save record table, result codes and the pipeline steps.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "LdTuSaveMsg.h"
#include "libqveeda.h"
#include "libqverxeda.h"

// ---- result codes -----------------------------------------------------------
constexpr std::uint32_t LDTUSAVE_OK = 0;
constexpr std::uint32_t LDTUSAVE_E_ARGS = 0x2000010a;        // arguments rejected by initialisation
constexpr std::uint32_t LDTUSAVE_E_STNFILE = 0x20234101;     // station files not resolved, opened, closed
constexpr std::uint32_t LDTUSAVE_E_GENTIME = 0x20234103;     // generation check: mismatch, no detail
constexpr std::uint32_t LDTUSAVE_E_UPLOAD = 0x20234104;      // generation check refused / upload failed
constexpr std::uint32_t LDTUSAVE_E_TPFILE = 0x20234105;      // TP file step failed
constexpr std::uint32_t LDTUSAVE_E_INIT = 0x20234106;        // other initialisation failure
constexpr std::uint32_t LDTUSAVE_E_BUS = 0x20234107;         // generation check: bus not usable
constexpr std::uint32_t LDTUSAVE_E_DBREAD = 0x20234108;      // image load failed
constexpr std::uint32_t LDTUSAVE_E_DBWRITE = 0x20234109;     // image store failed
constexpr std::uint32_t LDTUSAVE_E_EDIT = 0x2023410a;        // edit file update failed
constexpr std::uint32_t LDTUSAVE_E_TPARCHIVE = 0x2023410b;   // TP archive name not made
constexpr std::uint32_t LDTUSAVE_E_NOBLOCK = 0x2023410d;     // block not in its edit file
constexpr std::uint32_t LDTUSAVE_E_NODEVICE = 0x2023410e;    // tool backup: no bus device name
constexpr std::uint32_t LDTUSAVE_E_SEEKREAD = 0x20000108;    // seek or read error on an edit file
constexpr std::uint32_t LDTUSAVE_E_WRITE = 0x20000109;       // write error on an edit file
constexpr std::uint32_t LDTUSAVE_E_NOELEM = 0x20000116;      // element name not in the list

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
    std::uint8_t* pDbImage = nullptr;
    std::uint32_t dbImageSize = 0;
    std::string strUserInstPath;
    std::uint8_t* pUserInst = nullptr;
    std::uint32_t fcsLockFlag = 0;
    std::uint32_t refDbOpenFlag = 0;
    std::uint32_t elemTblOpenFlag = 0;
    std::uint8_t* pEditBuf = nullptr;
    std::uint32_t dwEditBufSize = 0;   // bytes of pEditBuf
    // Where each block's record lies in the BL section of pEditBuf (offset + 1, 0: none), made at
    // the first look-up of a buffer and section, so that a step looks each block up once.
    struct BlIndex {
        const std::uint8_t* buf = nullptr;
        std::uint32_t size = 0, offset = 0, count = 0;
        std::vector<std::uint32_t> at;
    } blIndex;
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
std::uint32_t LdTuSaveCtrlInit(const char* parm1, const char* parm2, const char* project, const char* station,
                               std::uint32_t projectKind, std::uint32_t saveMode, std::uint16_t parm7,
                               LdTuSaveCtrlInf* inf);
std::uint32_t LdTuSaveCtrlFcsLock(LdTuSaveCtrlInf* inf);
std::uint32_t LdTuSaveCtrlCheckTime(LdTuSaveCtrlInf* inf);
std::uint32_t LdTuSaveCtrlDBRead(LdTuSaveCtrlInf* inf);
std::uint32_t LdTuSaveCtrlGetFcs(LdTuSaveCtrlInf* inf, LdTuSaveRecordTbl* saveRecordTbl);
std::uint32_t LdTuSaveCtrlDbWrite(LdTuSaveCtrlInf* inf);
std::uint32_t LdTuSaveCtrlUpdateEditFile(LdTuSaveCtrlInf* inf, LdTuSaveRecordTbl* saveRecordTbl);
std::uint32_t LdTuSaveCtrlCreateParmStr(LdTuSaveCtrlInf* inf, int flag);
std::uint32_t LdTuSaveCtrlUpdateParmFile(LdTuSaveCtrlInf* inf);
std::uint32_t LdTuSaveCtrlFcsUnlock(LdTuSaveCtrlInf* inf);
void LdTuSaveCtrlEnd(LdTuSaveCtrlInf* inf, int abortFlag);
