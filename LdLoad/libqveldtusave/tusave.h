// The station upload: the common upload record, the transport and the save session requests.
// The frame layouts are in tuframe.h.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "LdTuSaveCtrl.h"
#include "LdTuSaveImage.h"
#include "libqvebc2fcs.h"
#include "tuframe.h"
#include "port.h"

// ---- transport results ------------------------------------------------------------------
constexpr int TU_OK = 0;
constexpr int TU_NG = -1;
constexpr int E_RBUF_BUSY = 100;
constexpr DWORD kTuReplyWaitMs = 30000;
constexpr DWORD kTuBusyRetryMs = 1000;

// ---- bounds of the upload -------------------------------------------------------------------
// A station asks again (0x9642) once a second while it prepares the data; 600 answers in a
// row (ten minutes) is more than a slow healthy station needs, and ends the upload.
constexpr int kTuAskAgainMax = 600;
// Largest upload size a save request may announce: 80 records of a block are far below it.
constexpr std::int32_t kTuUpDataSizeMax = 16 * 1024 * 1024;
[[nodiscard]] bool TuUpDataSizeValid(std::int32_t size);

// ---- the common upload record -------------------------------------------------------------
constexpr int kTuSaveRecMax = 80;

// One record to ask for in the next save request.
struct TuSaveRecEntry {
    char tagName[16];
    std::uint8_t terminator;
    std::uint32_t blockNo;   // from 1
    std::uint16_t blkCode;
    std::uint32_t recNo;
};

struct tucomn {
    std::uint32_t sessionId;
    std::uint32_t reqSerial;
    std::uint32_t frameSeq;
    const char* project;
    const char* station;
    std::uint32_t projectKind;        // 2 normal, 3 equalization project
    std::string* pAreaName;           // owned by TuFcsUpLoad
    std::uint16_t stnNo;
    std::uint16_t areaNo;             // 0 station-wide part, 1 control area
    HANDLE zclHandle;
    std::uint32_t zclOpened;
    std::uint32_t instOpened;
    std::int32_t upDataSize;
    std::int32_t maxBlock;

    // Operation-mark kinds: count (or presence switch) and destination in the image.
    std::uint16_t opeCnt10, opeCnt11, opeCnt42, opeCnt21, opeCnt22, opeCnt28, opeCnt27, opeCnt29, opeCnt30;
    std::uint16_t nAnMsgCnt;          // kinds 12, 31 and 58
    std::uint8_t* opeTbl10;
    std::uint8_t* opeTbl11;
    std::uint8_t* opeTbl42;
    std::uint8_t* opeTbl21;
    std::uint8_t* opeTbl22;
    std::uint8_t* opeTbl28;
    std::uint8_t* opeTbl27;
    std::uint8_t* opeTbl29;
    std::uint8_t* opeTbl30;
    std::uint8_t* opeTbl12;
    std::uint8_t* opeTbl31;
    std::uint8_t* opeTbl58;
    std::int16_t ioFactorA;           // station constant table +0x42
    std::int16_t ioFactorB;           // station constant table +0x44

    std::uint8_t* areaLocalTbl_addr;  // image position of AreaRootTbl1
    std::uint32_t areaRootTblAdrs;    // its station address
    char tagName[17];
    std::uint32_t saveRecCnt;
    TuSaveRecEntry saveRecTbl[kTuSaveRecMax];
    std::uint16_t lastChkBlkNo;
    std::uint8_t instNgWarned[65536 / 8];    // bit per block code whose save records were not known
    const LdTuSaveDbImage* pDbImage;  // the save's image (not owned): every access goes through its view
    std::uint8_t* pUserInst;
    CQVERXEdaSysObj* pSysObj;
    LdTuSaveRecordTbl* pSaveRecordTbl;
    std::uint32_t opeIdx42;
    std::uint32_t opeIdx2728;
    std::uint32_t opeIdx2930;
    std::uint32_t apcsTestFlag;
};

// The view of the save's image every step of the upload reads it through (empty without one).
[[nodiscard]] inline LdTuSaveImage TuImage(const tucomn* tc) {
    return LdTuSaveViewOf(tc->pDbImage);
}

// ---- transport ----------------------------------------------------------------------------
[[nodiscard]] int TuZclRW(HANDLE reserved, HANDLE zclHandle, std::uint8_t* reqFrame, int reqLen, std::uint8_t** rtnFrame,
            int* rtnLen);
// TuZclRW, sent once more after a busy reply. *rtnLen (when given) gets the number of bytes read,
// at least the 64 of the save header.
[[nodiscard]] int TuZclRWRetry(HANDLE reserved, HANDLE zclHandle, std::uint8_t* reqFrame, int reqLen, std::uint8_t** rtnFrame,
                 int* rtnLen = nullptr);

// ---- request frames -------------------------------------------------------------------------
// Zeroes frame (kTuReqFrameSize bytes) and writes the prefix; takes the next frame sequence number.
void TuPrepareFrame(tucomn* tc, std::uint8_t* frame);
// Fills a request's save header (params: number of parameters; serial and session as given).
void TuSetSaveHeader(FcMnSaveHeader* hdr, std::uint8_t cmd, std::uint8_t subCmd, const tucomn* tc,
                     std::uint16_t serial, std::uint32_t session, std::uint16_t params);
// Writes the body length for params parameters; returns the frame length.
[[nodiscard]] int TuSetBodyLength(std::uint8_t* frame, int params);
// Copies the reply's save header out of the receive buffer.
void TuGetRtnHeader(const std::uint8_t* rtnFrame, FcMnSaveHeader* hdr);
[[nodiscard]] std::uint16_t TuRtnResult(const FcMnSaveHeader& hdr);
// Copies the 8-byte reply parameter at 64 into para; false (with a line naming request)
// when the reply is too short to carry it.
[[nodiscard]] bool TuRtnPara(const std::uint8_t* rtn, int rtnLen, std::uint8_t* para, const char* request);
// "ERR:%s%s%#x": the station's text for code, the resource text, the code.
void TuPutRefusal(std::uint16_t code, std::uint32_t textId);

// One exchange: 0 when the reply was received and accepted (*rtn, *rtnLen), else -1 after the
// transport's line and "ERR:" + the transportText resource, or the refusal line with refusalText.
[[nodiscard]] int TuRequest(tucomn* tc, std::uint8_t* frame, int len, std::uint32_t transportText, std::uint32_t refusalText,
              std::uint8_t** rtn, int* rtnLen);
// Sends a save request frame (prefix and header filled, params parameters in place) and takes
// the reply: transport and refusal lines with the given resource texts, the reply parameter in
// host order, the announced size bounded and stored in upDataSize. request names the lines.
[[nodiscard]] int TuSaveReqExchange(tucomn* tc, std::uint8_t* frame, int params, std::uint32_t transportText,
                      std::uint32_t refusalText, const char* request);

// ---- session requests ---------------------------------------------------------------------------
[[nodiscard]] int TuSaveStartReq(tucomn* tc);
[[nodiscard]] int TuSaveReq(tucomn* tc);
[[nodiscard]] int TuUpLoadReq(std::uint8_t* workBuf, tucomn* tc);
[[nodiscard]] int TuSaveEndReq(tucomn* tc);

// Fetches upDataSize bytes in upload replies into workBuf (shared with the operation marks).
// Lines: the data size error, the resource ids for transport failure and refusal.
struct TuUpLoadTexts {
    const char* trace;        // with %d: the area number or kind
    int traceArg;
    const char* sizeError;
    std::uint32_t transportText;
    std::uint32_t refusalText;
    const char* request;      // name in the ask-again bound line
};
[[nodiscard]] int TuUpLoadData(std::uint8_t* workBuf, tucomn* tc, const TuUpLoadTexts& texts);

[[nodiscard]] int upLoadRtnFrameByteOrder(std::uint8_t* workBuf, tucomn* tc);
[[nodiscard]] int blkNoToBlkCode(tucomn* tc, std::int16_t blockNo, std::uint16_t* blkCode);
[[nodiscard]] std::uint8_t* getBlockHeaderCorePtr(tucomn* tc, std::int16_t blockNo);

// ---- work areas ------------------------------------------------------------------------------
constexpr int kTuWorkAreaSlots = 4;
[[nodiscard]] std::uint8_t* TuGetWorkArea(std::int32_t size, int slot);
void TuFreeWorkArea();

// ---- block save -------------------------------------------------------------------------------
// One delivered record of a batch, entry k standing for saveRecTbl entry k.
struct TuUpLoadItem {
    std::uint8_t recNo;      // 0: nothing delivered for the entry
    std::uint16_t blockNo;
    std::uint32_t dataSize;
    std::uint8_t* data;      // inside the upload buffer
};

[[nodiscard]] int TuAreaSave(tucomn* tc);
[[nodiscard]] int TuGetAreaTbl(tucomn* tc, std::uint8_t** bldbPtrTbl);
[[nodiscard]] int TuBlockList(std::uint8_t* bldbPtrTbl, tucomn* tc);
[[nodiscard]] int TuBlockSave(std::uint8_t* bldbPtrTbl, tucomn* tc);
[[nodiscard]] int TusSetUpLoadTbl(TuUpLoadItem* items, std::uint8_t* upBuf, tucomn* tc);
[[nodiscard]] int TusBlockHeaderCheck(std::uint8_t* bldbPtrTbl, const TuUpLoadItem* item, std::uint16_t blockNo,
                        std::uint16_t* lastChkBlkNo, tucomn* tc);
// Lists the record of item, written into the block at blockHeader, in the save record table.
[[nodiscard]] int TusSetSaveRecordTbl(std::uint8_t* blockHeader, const TuUpLoadItem* item, std::uint16_t blockNo, tucomn* tc);
[[nodiscard]] int TusGetCalcOyaBlockNo(std::uint8_t* blockHeader, tucomn* tc, std::uint16_t* oyaBlockNo);
[[nodiscard]] std::uint8_t* TuBlockSearch(std::uint8_t* bldbPtrTbl, std::uint32_t blockNo, tucomn* tc);
[[nodiscard]] int TuRecordDBSet(std::uint8_t* blockHeader, const TuUpLoadItem* item, tucomn* tc);

// ---- operation marks ------------------------------------------------------------------------------
[[nodiscard]] int TuOpeMarkSave(int kind, tucomn* tc);
[[nodiscard]] int TuOpeMarkSaveReq(int kind, tucomn* tc);
[[nodiscard]] int TuOpeMarkUpLoad(int kind, std::uint8_t* workBuf, tucomn* tc);
[[nodiscard]] int opeMkRtnFrameByteOrder(std::uint8_t* workBuf, tucomn* tc);
[[nodiscard]] int TuOpeMarkSet(int kind, std::uint8_t* workBuf, tucomn* tc);

// ---- upload driver --------------------------------------------------------------------------------
// 0 done, 1 failed (reported). Every access to the image goes through its view.
[[nodiscard]] int TuFcsUpLoad(const char* strParm1, const char* strParm2, const char* strProject, const char* strStation,
                std::uint32_t projectKind, std::uint16_t u16Parm7, const LdTuSaveDbImage* pDbImage,
                std::uint8_t* pUserInst, CQVERXEdaSysObj* sysObj, LdTuSaveRecordTbl* saveRecordTbl,
                std::uint32_t apcsTestFlag);
[[nodiscard]] int TuGetStation(tucomn* tc);
void TuCloseStation(tucomn* tc);
int TuSetStationInfo(tucomn* tc);  // always 0
[[nodiscard]] int TuUpLoadMain(tucomn* tc);
[[nodiscard]] int TuStationSave(tucomn* tc);
[[nodiscard]] int TuConvAreaNameToNo(tucomn* tc);
