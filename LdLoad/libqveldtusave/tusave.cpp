// The station upload: frame transport and the save session requests (the items of an upload are
// taken into the image in tublock.cpp).
#include "LdTuSaveTrace.h"
#include "LdTuSaveHold.h"
#include "LdTuSaveIds.h"
#include "tusave.h"

#include <cstring>
#include <optional>

#include "libqvecommon.h"
#include "ZclNthmi.h"
#include "libqveldc.h"
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

int TuZclRWRetry(HANDLE reserved, HANDLE zclHandle, std::uint8_t* reqFrame, int reqLen, std::uint8_t** rtnFrame,
                 int* rtnLen) {
    int len = 0;
    if (!rtnLen) rtnLen = &len;
    int r = TuZclRW(reserved, zclHandle, reqFrame, reqLen, rtnFrame, rtnLen);
    if (r != E_RBUF_BUSY) return r;
    Sleep(kTuBusyRetryMs);
    // The header is in the station's order already: the frame goes out as it did.
    r = TuZclRWOnce(zclHandle, reqFrame, reqLen, rtnFrame, rtnLen, false);
    return r == E_RBUF_BUSY ? TU_NG : r;
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

std::uint16_t TuRtnResult(const FcMnSaveHeader& hdr) { return tb::field_u16<kSvHdrResult>(hdr.b); }

void TuPutRefusal(std::uint16_t code, std::uint32_t textId) {
    LdTuSaveErrText(ReturnText(code).c_str(), textId, "%#x", code);
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

// One exchange and its reply's result: 0 accepted, else -1 after the transport's or the
// refusal line. On success the reply (at least its save header) is at *rtn, *rtnLen bytes.
int TuRequest(tucomn* tc, std::uint8_t* frame, int len, std::uint32_t transportText, std::uint32_t refusalText,
              std::uint8_t** rtn, int* rtnLen) {
    if (TuZclRWRetry(0, tc->zclHandle, frame, len, rtn, rtnLen) != TU_OK) {
        LdTuSaveMsgText(LDTUSAVE_MSG_ERR, transportText);
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
    return TuRequest(tc, frame, TuSetBodyLength(frame, 0), transportText, refusalText, rtn, rtnLen);
}

}  // namespace

// ---- session requests -------------------------------------------------------------------------

int TuSaveStartReq(tucomn* tc) {
    LdTuSaveTracef(tc->project, "TuSaveStartReq areaNo = %d", tc->areaNo);
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
    tc->sessionId = tb::field_u32<0>(para.b);
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

    LdTuSaveMem paraBuf(sizeof(FcMnSavePara), __FILE__, __LINE__);
    auto* para = paraBuf.get<FcMnSavePara>();
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
        LdTuSaveTracef(tc->project, "TuSaveReq blkNo = %d, recNo = %d", static_cast<int>(e.blockNo),
                                 static_cast<int>(e.recNo));
        if (!g_testMode && bc2FcMnSavePara(para, 1) != 0) {
            TuPutMsgBuf("ERR: TuSaveReq(): bc2FcMnSavePara() Error");
            return TU_NG;
        }
        std::memcpy(frame + kTuReqParaOff + 8 * static_cast<std::size_t>(i), para->b, sizeof para->b);
    }
    return TuSaveReqExchange(tc, frame, cnt, IDS_SAVE_SEND, IDS_SAVE_REFUSED, "TuSaveReq");
}

int TuSaveReqExchange(tucomn* tc, std::uint8_t* frame, int params, std::uint32_t transportText,
                      std::uint32_t refusalText, const char* request) {
    std::uint8_t* rtn = nullptr;
    int rtnLen = 0;
    if (TuRequest(tc, frame, TuSetBodyLength(frame, params), transportText, refusalText, &rtn, &rtnLen) != TU_OK)
        return TU_NG;
    FcMnSaveReqRtnPara rp;
    if (!TuRtnPara(rtn, rtnLen, rp.b, request)) return TU_NG;
    if (!g_testMode && bc2FcMnSaveReqRtnPara(&rp, 0) != 0) {
        LdTuSaveMsgf("ERR: %s(): bc2FcMnSaveReqRtnPara() Error", request);
        return TU_NG;
    }
    const auto size = static_cast<std::int32_t>(tb::field_u32<0>(rp.b));
    // Refused before anyone allocates a buffer of that size.
    if (!TuUpDataSizeValid(size)) {
        tc->upDataSize = 0;
        LdTuSaveMsgf("ERR:%s(): data size error upDataSize = %d", request, size);
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
        LdTuSaveTracef(tc->project, texts.trace, texts.traceArg);

        std::uint8_t* rtn = nullptr;
        int rtnLen = 0;
        if (TuZclRWRetry(0, tc->zclHandle, frame, len, &rtn, &rtnLen) != TU_OK) {
            LdTuSaveMsgText(LDTUSAVE_MSG_ERR, texts.transportText);
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
        const std::int32_t chunk = static_cast<std::int16_t>(tb::field_u16<kSvHdrParaBytes>(rtnHdr.b));
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
    LdTuSaveTracef(tc->project, "TuSaveEndReq");
    std::uint8_t* rtn = nullptr;
    int rtnLen = 0;
    return TuSimpleReq(tc, kSvCmdSession, kSvSubEnd, static_cast<std::uint16_t>(tc->reqSerial++), tc->sessionId,
                       IDS_SAVEEND_SEND, IDS_SAVEEND_REFUSED, &rtn, &rtnLen);
}
