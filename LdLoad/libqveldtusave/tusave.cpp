// The station upload: frame transport and the save session requests.
#include "LdTuSaveIds.h"
#include "tusave.h"

#include <cstring>
#include <optional>

#include "libqvecommon.h"
#include "LdTuSaveImage.h"
#include "ZclNthmi.h"
#include "libqveldc.h"
#include "libqveeda.h"
#include "libqverxeda.h"
#include "libqverxgen.h"
#include "tusave_bytes.h"

using namespace LdTuSaveIds;

namespace {

// The one receive buffer of the transport; every caller copies out what it needs.
std::uint8_t s_rcvBuf[kTuRcvBufSize];

FcMnSaveHeader* ReqHeader(std::uint8_t* frame) { return reinterpret_cast<FcMnSaveHeader*>(frame + kTuReqHdrOff); }

int TuZclRWOnce(HANDLE zclHandle, std::uint8_t* reqFrame, int reqLen, std::uint8_t** rtnFrame, int* rtnLen,
                bool convert) {
    if (convert && !g_testMode && bc2FcMnSaveHeader(ReqHeader(reqFrame), 1) != 0) {
        TuPutMsgBuf("ERR: bc2FcMnSaveHeader Error(Send Frame)");
        return TU_NG;
    }
    int wLen = ZclWrite(zclHandle, reqFrame, reqLen);
    if (wLen != reqLen) {
        LdTuSaveMsgf("MSG:TuZclRW(): write() error w_len = %d, ret = %d", reqLen, wLen);
        return TU_NG;
    }
    HANDLE handles[1] = {zclHandle};
    DWORD w = WaitForMultipleObjects(1, handles, 0, kTuReplyWaitMs);
    if (w == WAIT_FAILED) {
        TuPutMsgBuf("ERR:WaitForMultipleObjects error WAIT_FAILED");
        return TU_NG;
    }
    if (w == WAIT_TIMEOUT) {
        TuPutMsgBuf("ERR:WaitForMultipleObjects error WAIT_TIMEOUT");
        return TU_NG;
    }
    // Nothing of an earlier exchange may be taken for part of this reply.
    std::memset(s_rcvBuf, 0, sizeof s_rcvBuf);
    int rLen = ZclRead(zclHandle, s_rcvBuf, kTuRcvBufSize);
    if (!g_testMode && bc2FcMnSaveHeader(reinterpret_cast<FcMnSaveHeader*>(s_rcvBuf + kTuRtnHdrOff), 0) != 0) {
        TuPutMsgBuf("ERR: bc2FcMnSaveHeader Error(Return Frame)");
        return TU_NG;
    }
    if (rLen < 0) {
        LdTuSaveMsgf("ERR:TuZclRW(1): ZclRead() error ret = %d", rLen);
        return TU_NG;
    }
    if (rLen < static_cast<int>(kTuRtnParaOff)) {
        LdTuSaveMsgf("ERR:TuZclRW(): Cannot Communicate(short reply len=%d)", rLen);
        return TU_NG;
    }
    std::uint8_t status = s_rcvBuf[kTuRtnStatusOff];
    if (status == kTuStsRbufBusy) {
        TuPutMsgBuf("return E_RBUF_BUSY");
        return E_RBUF_BUSY;
    }
    if (status != kTuStsGood) {
        LdTuSaveMsgf("ERR:TuZclRW(): Cannot Communicate(code=0x%x)", status);
        return TU_NG;
    }
    *rtnFrame = s_rcvBuf;
    *rtnLen = rLen;
    return TU_OK;
}

void Trace(const tucomn* tc, const std::string& text) { LdTuSaveTrace(tc->project, text.c_str()); }

std::string ReturnText(std::uint16_t code) {
    std::string text;
    LdGetTReturnMessage(code, &text);
    return text;
}

}  // namespace

// ---- transport ----------------------------------------------------------------------------

int TuZclRW(HANDLE /*reserved*/, HANDLE zclHandle, std::uint8_t* reqFrame, int reqLen, std::uint8_t** rtnFrame,
            int* rtnLen) {
    return TuZclRWOnce(zclHandle, reqFrame, reqLen, rtnFrame, rtnLen, true);
}

int TuZclRWRetryLen(HANDLE reserved, HANDLE zclHandle, std::uint8_t* reqFrame, int reqLen, std::uint8_t** rtnFrame,
                    int* rtnLen) {
    int r = TuZclRW(reserved, zclHandle, reqFrame, reqLen, rtnFrame, rtnLen);
    if (r != E_RBUF_BUSY) return r;
    Sleep(kTuBusyRetryMs);
    // The header is in the station's order already: the frame goes out as it did.
    r = TuZclRWOnce(zclHandle, reqFrame, reqLen, rtnFrame, rtnLen, false);
    return r == E_RBUF_BUSY ? TU_NG : r;
}

int TuZclRWRetry(HANDLE reserved, HANDLE zclHandle, std::uint8_t* reqFrame, int reqLen, std::uint8_t** rtnFrame) {
    int rtnLen = 0;
    return TuZclRWRetryLen(reserved, zclHandle, reqFrame, reqLen, rtnFrame, &rtnLen);
}

// ---- request frames -------------------------------------------------------------------------

void TuPrepareFrame(tucomn* tc, std::uint8_t* frame) {
    std::memset(frame, 0, kTuReqFrameSize);
    tb::store_u32(frame + kTuReqSeqOff, tc->frameSeq++);
    tb::store_u16(frame + kTuReqZero6Off, 0);
    tb::store_u16(frame + kTuReqStnNoOff, tc->stnNo);
    frame[kTuReqEightOff] = 8;
    tb::store_u16(frame + kTuReqTypeOff, tc->apcsTestFlag == 1 ? kTuFrameTypeApcsTest : kTuFrameType);
}

void TuSetSaveHeader(FcMnSaveHeader* hdr, std::uint8_t cmd, std::uint8_t subCmd, const tucomn* tc,
                     std::uint16_t serial, std::uint32_t session, std::uint16_t params) {
    std::memset(hdr->b, 0, sizeof hdr->b);
    hdr->b[kSvHdrCmd] = cmd;
    hdr->b[kSvHdrSubCmd] = subCmd;
    hdr->b[kSvHdrArea] = static_cast<std::uint8_t>(tc->areaNo & 0xFF);
    tb::store_u16(hdr->b + kSvHdrResult, 0);
    tb::store_u16(hdr->b + kSvHdrSerial, serial);
    tb::store_u32(hdr->b + kSvHdrSession, session);
    tb::store_u16(hdr->b + kSvHdrParaBytes, static_cast<std::uint16_t>(8 * params));
    tb::store_u16(hdr->b + kSvHdrParaCnt, params);
}

int TuSetBodyLength(std::uint8_t* frame, int params) {
    const int words = (8 * params + 24) / 2;
    tb::store_u16(frame + kTuReqLenOff, static_cast<std::uint16_t>(words));
    return 32 + 2 * words;
}

void TuGetRtnHeader(const std::uint8_t* rtnFrame, FcMnSaveHeader* hdr) {
    std::memcpy(hdr->b, rtnFrame + kTuRtnHdrOff, sizeof hdr->b);
}

std::uint16_t TuRtnResult(const FcMnSaveHeader& hdr) { return tb::load_u16(hdr.b + kSvHdrResult); }

void TuPutRefusal(std::uint16_t code, std::uint32_t textId) {
    LdTuSaveMsgf("ERR:%s%s%#x", ReturnText(code).c_str(), LdTuSaveText(textId).c_str(), code);
}

bool TuUpDataSizeValid(std::int32_t size) { return size >= 0 && size <= kTuUpDataSizeMax; }

// The 8-byte reply parameter, present in an accepted save or session-start reply.
bool TuRtnPara(const std::uint8_t* rtn, int rtnLen, std::uint8_t* para, const char* request) {
    if (!tb::in_range(static_cast<std::size_t>(rtnLen), kTuRtnParaOff, 8)) {
        LdTuSaveMsgf("ERR:%s(): reply parameter missing (len=%d)", request, rtnLen);
        return false;
    }
    std::memcpy(para, rtn + kTuRtnParaOff, 8);
    return true;
}

namespace {

// One request without parameters and its reply's result: 0 accepted, else -1 (reported).
// On success the reply (at least its save header) is at *rtn, *rtnLen bytes.
int TuSimpleReq(tucomn* tc, std::uint8_t cmd, std::uint8_t subCmd, std::uint16_t serial, std::uint32_t session,
                std::uint32_t transportText, std::uint32_t refusalText, std::uint8_t** rtn, int* rtnLen) {
    std::uint8_t frame[kTuReqFrameSize];
    TuPrepareFrame(tc, frame);
    FcMnSaveHeader hdr;
    TuSetSaveHeader(&hdr, cmd, subCmd, tc, serial, session, 0);
    std::memcpy(frame + kTuReqHdrOff, hdr.b, sizeof hdr.b);
    int len = TuSetBodyLength(frame, 0);
    if (TuZclRWRetryLen(0, tc->zclHandle, frame, len, rtn, rtnLen) != TU_OK) {
        LdTuSaveMsgf("ERR:%s", LdTuSaveText(transportText).c_str());
        return TU_NG;
    }
    FcMnSaveHeader rtnHdr;
    TuGetRtnHeader(*rtn, &rtnHdr);
    if (std::uint16_t code = TuRtnResult(rtnHdr); code != 0) {
        TuPutRefusal(code, refusalText);
        return TU_NG;
    }
    return TU_OK;
}

}  // namespace

// ---- session requests -------------------------------------------------------------------------

int TuSaveStartReq(tucomn* tc) {
    Trace(tc, LdTuSaveFormat("TuSaveStartReq areaNo = %d", tc->areaNo));
    tc->reqSerial = 2;
    std::uint8_t* rtn = nullptr;
    int rtnLen = 0;
    if (TuSimpleReq(tc, kSvCmdSession, kSvSubStart, 1, 0, IDS_SAVESTART_SEND, IDS_SAVESTART_REFUSED, &rtn, &rtnLen) != TU_OK) return TU_NG;
    FcMnSaveStartRtnPara para;
    if (!TuRtnPara(rtn, rtnLen, para.b, "TuSaveStartReq")) return TU_NG;
    if (!g_testMode && bc2FcMnSaveStartRtnPara(&para, 0) != 0) {
        TuPutMsgBuf("ERR: bc2FcMnSaveStartRtnPara Error(Return Frame)");
        return TU_NG;
    }
    tc->sessionId = tb::load_u32(para.b);
    return TU_OK;
}

int TuSaveReq(tucomn* tc) {
    if (tc->saveRecCnt > static_cast<std::uint32_t>(kTuSaveRecMax)) {
        LdTuSaveMsgf("ERR:TuSaveReq(): too many records (%u)", tc->saveRecCnt);
        return TU_NG;
    }
    const int cnt = static_cast<int>(tc->saveRecCnt);
    std::uint8_t frame[kTuReqFrameSize];
    TuPrepareFrame(tc, frame);
    FcMnSaveHeader hdr;
    TuSetSaveHeader(&hdr, kSvCmdSave, kSvSubSave, tc, static_cast<std::uint16_t>(tc->reqSerial++), tc->sessionId,
                    static_cast<std::uint16_t>(cnt));
    std::memcpy(frame + kTuReqHdrOff, hdr.b, sizeof hdr.b);

    auto* para = static_cast<FcMnSavePara*>(__QVEEngMalloc(sizeof(FcMnSavePara), __FILE__, __LINE__));
    if (!para) {
        TuPutMsgBuf("ERR:TuSaveReq(): malloc() error");
        return TU_NG;
    }
    for (int i = 0; i < cnt; ++i) {
        const TuSaveRecEntry& e = tc->saveRecTbl[i];
        std::memset(para->b, 0, sizeof para->b);
        para->b[0] = FCMNDATATYPEBLK;
        para->b[1] = static_cast<std::uint8_t>(e.recNo);
        tb::store_u16(para->b + 2, static_cast<std::uint16_t>(static_cast<std::int16_t>(e.blockNo)));
        Trace(tc, LdTuSaveFormat("TuSaveReq blkNo = %d, recNo = %d", static_cast<int>(e.blockNo),
                                 static_cast<int>(e.recNo)));
        if (!g_testMode && bc2FcMnSavePara(para, 1) != 0) {
            TuPutMsgBuf("ERR: TuSaveReq(): bc2FcMnSavePara() Error");
            __QVEEngFree(para, __FILE__, __LINE__);
            return TU_NG;
        }
        std::memcpy(frame + kTuReqParaOff + 8 * static_cast<std::size_t>(i), para->b, sizeof para->b);
    }
    __QVEEngFree(para, __FILE__, __LINE__);
    int len = TuSetBodyLength(frame, cnt);

    std::uint8_t* rtn = nullptr;
    int rtnLen = 0;
    if (TuZclRWRetryLen(0, tc->zclHandle, frame, len, &rtn, &rtnLen) != TU_OK) {
        LdTuSaveMsgf("ERR:%s", LdTuSaveText(IDS_SAVE_SEND).c_str());
        return TU_NG;
    }
    FcMnSaveHeader rtnHdr;
    TuGetRtnHeader(rtn, &rtnHdr);
    if (std::uint16_t code = TuRtnResult(rtnHdr); code != 0) {
        TuPutRefusal(code, IDS_SAVE_REFUSED);
        return TU_NG;
    }
    FcMnSaveReqRtnPara rp;
    if (!TuRtnPara(rtn, rtnLen, rp.b, "TuSaveReq")) return TU_NG;
    if (!g_testMode && bc2FcMnSaveReqRtnPara(&rp, 0) != 0) {
        TuPutMsgBuf("ERR: TuSaveReq(): bc2FcMnSaveReqRtnPara() Error");
        return TU_NG;
    }
    std::int32_t size = tb::load_i32(rp.b);
    // Refused before anyone allocates a buffer of that size.
    if (!TuUpDataSizeValid(size)) {
        tc->upDataSize = 0;
        LdTuSaveMsgf("ERR:TuSaveReq(): data size error upDataSize = %d", size);
        return TU_NG;
    }
    tc->upDataSize = size;
    return TU_OK;
}

int TuUpLoadData(std::uint8_t* workBuf, tucomn* tc, const TuUpLoadTexts& texts) {
    const std::int32_t total = tc->upDataSize;
    if (!TuUpDataSizeValid(total) || (total > 0 && !workBuf)) {
        TuPutMsgBuf(texts.sizeError);
        return TU_NG;
    }
    std::uint8_t frame[kTuReqFrameSize];
    TuPrepareFrame(tc, frame);   // one frame sequence number for every frame of this upload
    const int len = TuSetBodyLength(frame, 0);

    std::int32_t received = 0;
    int askAgain = 0;
    for (;;) {
        if (received == total) break;
        if (received > total) {
            TuPutMsgBuf(texts.sizeError);
            return TU_NG;
        }
        FcMnSaveHeader hdr;
        TuSetSaveHeader(&hdr, kSvCmdUpLoad, kSvSubSave, tc, static_cast<std::uint16_t>(tc->reqSerial++),
                        tc->sessionId, 0);
        std::memcpy(frame + kTuReqHdrOff, hdr.b, sizeof hdr.b);
        Trace(tc, LdTuSaveFormat(texts.trace, texts.traceArg));

        std::uint8_t* rtn = nullptr;
        int rtnLen = 0;
        if (TuZclRWRetryLen(0, tc->zclHandle, frame, len, &rtn, &rtnLen) != TU_OK) {
            LdTuSaveMsgf("ERR:%s", LdTuSaveText(texts.transportText).c_str());
            return TU_NG;
        }
        FcMnSaveHeader rtnHdr;
        TuGetRtnHeader(rtn, &rtnHdr);
        std::uint16_t code = TuRtnResult(rtnHdr);
        if (code == kSvRtnAskAgain) {
            if (++askAgain >= kTuAskAgainMax) {
                LdTuSaveMsgf("ERR:%s(): the station asked again %d times (0x%x)", texts.request, askAgain,
                             kSvRtnAskAgain);
                return TU_NG;
            }
            Sleep(1000);
            continue;
        }
        askAgain = 0;
        if (code != 0) {
            TuPutRefusal(code, texts.refusalText);
            return TU_NG;
        }
        // A chunk must bring data, stay within the announced size and be carried by its frame.
        const std::int32_t chunk = tb::load_i16(rtnHdr.b + kSvHdrParaBytes);
        if (chunk <= 0 || chunk > total - received || chunk > rtnLen - static_cast<int>(kTuRtnParaOff)) {
            TuPutMsgBuf(texts.sizeError);
            return TU_NG;
        }
        std::memcpy(workBuf + received, rtn + kTuRtnParaOff, static_cast<std::size_t>(chunk));
        received += chunk;
    }
    return TU_OK;
}

int TuUpLoadReq(std::uint8_t* workBuf, tucomn* tc) {
    const TuUpLoadTexts texts{"TuUpLoadReq areaNo = %d", tc->areaNo, "ERR:TuUpLoadReq(): data size error",
                              IDS_UPLOAD_SEND, IDS_UPLOAD_REFUSED, "TuUpLoadReq"};
    if (TuUpLoadData(workBuf, tc, texts) != TU_OK) return TU_NG;
    if (upLoadRtnFrameByteOrder(workBuf, tc) != TU_OK) {
        TuPutMsgBuf("ERR: TuUpLoadReq(): upLoadRtnFrameByteOrder() Error");
        return TU_NG;
    }
    return TU_OK;
}

int TuSaveEndReq(tucomn* tc) {
    Trace(tc, "TuSaveEndReq");
    std::uint8_t* rtn = nullptr;
    int rtnLen = 0;
    return TuSimpleReq(tc, kSvCmdSession, kSvSubEnd, static_cast<std::uint16_t>(tc->reqSerial++), tc->sessionId,
                       IDS_SAVEEND_SEND, IDS_SAVEEND_REFUSED, &rtn, &rtnLen);
}

// ---- upload data into host order ------------------------------------------------------------------

int upLoadRtnFrameByteOrder(std::uint8_t* workBuf, tucomn* tc) {
    const std::size_t total = tc->upDataSize > 0 ? static_cast<std::size_t>(tc->upDataSize) : 0;
    std::size_t off = 0;
    while (off < total) {
        if (!tb::in_range(total, off, kSvDataSize)) {
            LdTuSaveMsgf("ERR: TuUpLoadReq(): item header beyond the upload data (offset=%#zx)", off);
            return TU_NG;
        }
        std::uint8_t* item = workBuf + off;
        if (!g_testMode && bc2FcMnSaveData(reinterpret_cast<FcMnSaveData*>(item), 0) != 0) {
            TuPutMsgBuf("ERR: TuUpLoadReq(): bc2FcMnSaveData() Error");
            return TU_NG;
        }
        if (item[kSvDataType] != FCMNDATATYPEBLK) {
            TuPutMsgBuf("ERR: FcMnSaveData.dataType is not FCMNDATATYPEBLK");
            return TU_NG;
        }
        const std::uint32_t bytes = tb::load_u32(item + kSvDataBytes);
        if (!tb::in_range(total, off + kSvDataSize, bytes)) {
            LdTuSaveMsgf("ERR: TuUpLoadReq(): item data beyond the upload data (offset=%#zx, dataSize=%#x)", off,
                         bytes);
            return TU_NG;
        }
        const std::int16_t blockNo = tb::load_i16(item + kSvDataBlockNo);
        const std::uint8_t recNo = item[kSvDataRecNo];
        std::uint16_t blkCode = 0;
        if (blkNoToBlkCode(tc, blockNo, &blkCode) != TU_OK) {
            TuPutMsgBuf("ERR: TuUpLoadReq(): blkNoToBlkCode() Error");
            return TU_NG;
        }
        std::uint8_t* blockHeader = getBlockHeaderCorePtr(tc, blockNo);
        if (!blockHeader) {
            TuPutMsgBuf("ERR: TuUpLoadReq(): getBlockHeaderCorePtr() Error");
            return TU_NG;
        }
        // An item without record bytes (not delivered) has nothing to convert.
        if (!g_testMode && bytes > 0 &&
            bc3RecordInBlock(item + kSvDataSize, blockHeader, blkCode, recNo, static_cast<int>(bytes), 0,
                             tc->pUserInst) != 0) {
            LdTuSaveMsgf("ERR: TuUpLoadReq(): bc3RecordInBlock(blkCode=%#x, recNo=%#x,dataSize=%#x, dir=%d) Error",
                         blkCode, recNo, bytes, 0);
            return TU_NG;
        }
        off += kSvDataSize + bytes;
    }
    return TU_OK;
}

// ---- blocks of the image -----------------------------------------------------------------------

namespace {

// The block header of blockNo: the walk of blkNoToBlkCode and getBlockHeaderCorePtr, with
// its lines. Station addresses are taken relative to AreaRootTbl1, whose station address is
// areaCnstTblPtr - 0x200; a reference that leads outside the image counts as one of 0.
std::uint8_t* TusBlockHeaderWalk(tucomn* tc, std::int16_t blockNo) {
    using namespace LdTuSaveImg;
    if (blockNo < 1) {
        TuPutMsgBuf("ERR: blkNoToBlkCode(): blockNo under 1");
        return nullptr;
    }
    const LdTuSaveImage img(tc->pDbImage, tc->pDbImage ? tc->dbImageSize : 0);
    auto areaOff = img.OffsetOf(tc->areaLocalTbl_addr);
    if (!areaOff || !img.Has(*areaOff, kAreaRootTblUsed)) {
        TuPutMsgBuf("ERR: blkNoToBlkCode(): Area DataBase(tucomn->areaLocalTbl_addr) is NULL");
        return nullptr;
    }
    const std::uint32_t areaCnstTblPtr = img.U32(*areaOff + kAreaRootCnstTblPtr).value_or(0);
    if (areaCnstTblPtr == 0) {
        TuPutMsgBuf("ERR: blkNoToBlkCode(): areaCnstTblPtr is 0");
        return nullptr;
    }
    const LdTuSaveAnchor area{*areaOff, areaCnstTblPtr - kAreaCnstTblDist};
    auto blockPtrTbl = img.Follow(area, *areaOff + kAreaRootBlockPtrTblPtr, kBlockPtrTblUsed);
    if (!blockPtrTbl) {
        TuPutMsgBuf("ERR: blkNoToBlkCode(): blockPtrTblPtr is 0");
        return nullptr;
    }
    auto bldbPtrTbl = img.Follow(area, *blockPtrTbl + kBlockPtrBldbPtrTblPtr, kBldbEntrySize);
    if (!bldbPtrTbl) {
        TuPutMsgBuf("ERR: blkNoToBlkCode(): bldbPtrTblPtr is 0");
        return nullptr;
    }
    auto header = img.BlockHeader(area, *bldbPtrTbl, static_cast<std::uint32_t>(blockNo));
    if (!header) {
        LdTuSaveMsgf("ERR: blkNoToBlkCode(): bldbPtrTbl[%d] is 0", blockNo - 1);
        return nullptr;
    }
    return img.At(*header);
}

}  // namespace

int blkNoToBlkCode(tucomn* tc, std::int16_t blockNo, std::uint16_t* blkCode) {
    std::uint8_t* header = TusBlockHeaderWalk(tc, blockNo);
    if (!header) return TU_NG;
    *blkCode = tb::load_u16(header + LdTuSaveImg::kBlkHdrBlockCode);
    return TU_OK;
}

std::uint8_t* getBlockHeaderCorePtr(tucomn* tc, std::int16_t blockNo) { return TusBlockHeaderWalk(tc, blockNo); }

// ---- upload driver --------------------------------------------------------------------------------

int TuGetStation(tucomn* tc) {
    if (IEdalInstOpenForTP(tc->project, tc->station, tc->projectKind) != 0) {
        TuPutMsgBuf("ERR:TuGetStation(): EdalOpen() error");
        return TU_NG;
    }
    tc->instOpened = 1;
    _OdtStnInf stn{};
    if (!tc->pSysObj || tc->pSysObj->StnConfByName(tc->station, &stn) != 0) {
        TuPutMsgBuf("ERR:Can't get Station Information on master System Configuration");
        return TU_NG;
    }
    tc->stnNo = stn.wStnNo;
    char name[272] = {};
    if (ZclGetDeviceName(name, 0) != 0) {
        LdTuSaveMsgf("ERR:TuGetStation(): ZclGetDeviceName() error. dwRtn = %d", static_cast<int>(ZclGetLastError()));
        return TU_NG;
    }
    name[sizeof name - 1] = '\0';
    if (ZclOpen(&tc->zclHandle, name, 0) != 0) {
        LdTuSaveMsgf("ERR:%s dwRtn = %d", LdTuSaveText(IDS_UPLOAD_BUS_OPEN).c_str(), static_cast<int>(ZclGetLastError()));
        return TU_NG;
    }
    tc->zclOpened = 1;
    return TU_OK;
}

void TuCloseStation(tucomn* tc) {
    if (tc->zclOpened == 1) {
        ZclClose(tc->zclHandle);
        tc->zclOpened = 0;
    }
    if (tc->instOpened == 1) {
        IEdalInstClose();
        tc->instOpened = 0;
    }
}

int TuSetStationInfo(tucomn* tc) {
    using namespace LdTuSaveImg;
    const LdTuSaveImage img(tc->pDbImage, tc->pDbImage ? tc->dbImageSize : 0);
    const LdTuSaveAnchor base = img.Base();
    auto cnst16 = [&](std::size_t field) { return img.U16(kStnCnstTbl + field).value_or(0); };
    tc->opeCnt10 = cnst16(kStnCnstOpeMk10);
    tc->opeCnt11 = cnst16(kStnCnstOpeMk11);
    tc->opeCnt42 = cnst16(kStnCnstOpeMk42);
    tc->ioFactorA = static_cast<std::int16_t>(cnst16(kStnCnstIoA));
    tc->ioFactorB = static_cast<std::int16_t>(cnst16(kStnCnstIoB));

    // A table position from the u32 at +inner of the table whose address stands at io + outer.
    auto io = img.Follow(base, kRootStnIoTbl);
    auto through = [&](std::size_t outer, std::size_t inner) -> std::uint8_t* {
        if (!io) return nullptr;
        auto tbl = img.Follow(base, *io + outer, inner + 4);
        return tbl ? img.At(img.Follow(base, *tbl + inner)) : nullptr;
    };
    tc->opeTbl10 = through(kStnIoTbl104, 4);
    tc->opeTbl11 = through(kStnIoTbl10C, 4);

    tc->opeCnt21 = tc->opeCnt22 = tc->opeCnt29 = tc->opeCnt30 = 0;
    tc->opeTbl21 = tc->opeTbl22 = tc->opeTbl29 = tc->opeTbl30 = nullptr;
    tc->opeCnt27 = tc->opeCnt28 = 0;
    tc->opeTbl27 = tc->opeTbl28 = nullptr;

    unsigned type1 = 0, type2 = 0, other = 0;
    bool fromDb = false;
    CQVEEdaFcsDatabase db;
    if (db.Open(tc->project, tc->station, 1) == 0) {
        fromDb = db.GetIOBusType(1, type1, other) == 0 && db.GetIOBusType(2, type2, other) == 0;
        db.Close();
    }
    if (!fromDb) {
        type1 = cnst16(kStnCnstIoBusType1);
        if (type1 == 0) type1 = 1;
        type2 = cnst16(kStnCnstIoBusType2);
        if (type2 == 0) type2 = 0xFFFF;
    }

    // Node table of the I/O bus at io + 0x80 + 4 * slot: count at +0x0A, table at +tblField.
    auto node = [&](int slot, std::size_t tblField, std::uint16_t* cnt, std::uint8_t** tbl, bool counted) {
        if (!io) return;
        auto nodeTbl = img.Follow(base, *io + kStnIoNodeTbls + 4 * static_cast<std::size_t>(slot), tblField + 4);
        if (!nodeTbl) return;
        const std::uint32_t tblAdrs = img.U32(*nodeTbl + tblField).value_or(0);
        const std::uint16_t n = counted ? img.U16(*nodeTbl + 0x0A).value_or(0) : 1;
        if (tblAdrs == 0 || n == 0) return;
        *cnt = n;
        *tbl = img.At(img.Conv(base, tblAdrs));
    };
    for (int bus = 1; bus <= 2; ++bus) {
        const unsigned type = bus == 1 ? type1 : type2;
        const int b = bus - 1;
        if (type == 1) node(0 + b, 0x5C, bus == 1 ? &tc->opeCnt21 : &tc->opeCnt22, bus == 1 ? &tc->opeTbl21 : &tc->opeTbl22, true);
        if (type == 2) node(2 + b, 0x54, bus == 1 ? &tc->opeCnt28 : &tc->opeCnt27, bus == 1 ? &tc->opeTbl28 : &tc->opeTbl27, false);
        if (type == 4) node(4 + b, 0x60, bus == 1 ? &tc->opeCnt29 : &tc->opeCnt30, bus == 1 ? &tc->opeTbl29 : &tc->opeTbl30, true);
    }
    tc->opeTbl42 = through(kStnIoTbl248, 0x30);
    return TU_OK;
}

int TuStationSave(tucomn* tc) {
    tc->areaNo = 0;
    TuSetStationInfo(tc);
    if (TuSaveStartReq(tc) != TU_OK) return TU_NG;
    auto save = [&](int kind) { return TuOpeMarkSave(kind, tc) == TU_OK; };
    bool ok = true;
    for (tc->opeIdx42 = 0; ok && tc->opeIdx42 < 4; ++tc->opeIdx42) ok = save(42);
    ok = ok && save(21) && save(22);
    for (tc->opeIdx2728 = 0; ok && tc->opeIdx2728 < 5; ++tc->opeIdx2728) ok = save(28);
    for (tc->opeIdx2728 = 0; ok && tc->opeIdx2728 < 5; ++tc->opeIdx2728) ok = save(27);
    for (tc->opeIdx2930 = 0; ok && tc->opeIdx2930 < tc->opeCnt29; ++tc->opeIdx2930) ok = save(29);
    for (tc->opeIdx2930 = 0; ok && tc->opeIdx2930 < tc->opeCnt30; ++tc->opeIdx2930) ok = save(30);
    ok = ok && save(10) && save(11);
    if (!ok) {
        TuSaveEndReq(tc);
        return TU_NG;
    }
    return TuSaveEndReq(tc);
}

int TuConvAreaNameToNo(tucomn* tc) {
    if (tc->areaNo == 0) {
        TuPutMsgBuf("ERR:TuConvAreaNameToNo(): no area No");
        return TU_NG;
    }
    _OdtAreaInf area{};
    const unsigned char no = static_cast<unsigned char>(tc->areaNo & 0xFF);
    const std::uint32_t r = tc->projectKind == 3 ? QVERXEdaFcsAreaConfByNoEqlz(tc->project, tc->station, no, &area)
                                                 : QVERXEdaFcsAreaConfByNo(tc->project, tc->station, no, &area);
    if (r == 0xFFFFFFFFu) return TU_NG;
    if (tc->pAreaName) *tc->pAreaName = std::string(area.szAreaName, strnlen(area.szAreaName, sizeof area.szAreaName));
    return TU_OK;
}

int TuUpLoadMain(tucomn* tc) {
    if (TuStationSave(tc) != TU_OK) return TU_NG;
    for (std::uint16_t area = 1; area <= 1; ++area) {
        tc->areaNo = area;
        if (TuConvAreaNameToNo(tc) != TU_OK) continue;
        if (TuAreaSave(tc) != TU_OK) return TU_NG;
    }
    return TU_OK;
}

int TuFcsUpLoad(const char* /*strParm1*/, const char* /*strParm2*/, const char* strProject, const char* strStation,
                std::uint32_t projectKind, std::uint16_t /*u16Parm7*/, std::uint8_t* pDbImage, std::uint8_t* pUserInst,
                CQVERXEdaSysObj* sysObj, LdTuSaveRecordTbl* saveRecordTbl, std::uint32_t apcsTestFlag,
                std::uint32_t dbImageSize) {
    tucomn tc{};
    std::string areaName;
    tc.pAreaName = &areaName;
    tc.project = strProject;
    tc.station = strStation;
    tc.projectKind = projectKind;
    tc.pDbImage = pDbImage;
    tc.dbImageSize = pDbImage ? dbImageSize : 0;
    tc.pUserInst = pUserInst;
    tc.pSysObj = sysObj;
    tc.pSaveRecordTbl = saveRecordTbl;
    tc.apcsTestFlag = apcsTestFlag;
    int result = 1;
    if (TuGetStation(&tc) == TU_OK && TuUpLoadMain(&tc) == TU_OK) result = 0;
    TuCloseStation(&tc);
    TuFreeWorkArea();
    return result;
}
