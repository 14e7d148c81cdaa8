// Operation marks: one save request and upload per kind and repetition, the items put into
// host order and copied into the kind's table in the image.
#include <cstring>

#include "LdTuSaveTrace.h"
#include "LdTuSaveImage.h"
#include "libqvecommon.h"
#include "libqveengendian.h"
#include "libqveldc.h"
#include "LdTuSaveIds.h"
#include "tusave.h"
#include "tusave_bytes.h"

using namespace LdTuSaveIds;

namespace {

constexpr std::int64_t kBitMap = -1;   // element size of kind 31: one bit per element

struct TuOpeKind {
    bool known = false;
    std::uint16_t count = 0;       // count or presence switch; 0 = kind skipped
    std::uint8_t* dest = nullptr;
    std::int64_t elemWords = 0;    // element size in 16-bit words
    std::int64_t lastAllowed = 0;
};

TuOpeKind KindOf(int kind, const tucomn* tc) {
    const std::int64_t ioWords = static_cast<std::int64_t>(tc->ioFactorA) * tc->ioFactorB * 32;
    switch (kind) {
    case 10: return {true, tc->opeCnt10, tc->opeTbl10, 1, tc->opeCnt10};
    case 11: return {true, tc->opeCnt11, tc->opeTbl11, 1, tc->opeCnt11};
    case 42: return {true, tc->opeCnt42, tc->opeTbl42, 1, 16 * static_cast<std::int64_t>(tc->opeCnt42)};
    case 21: return {true, tc->opeCnt21, tc->opeTbl21, ioWords, tc->opeCnt21};
    case 22: return {true, tc->opeCnt22, tc->opeTbl22, ioWords, tc->opeCnt22};
    case 28: return {true, tc->opeCnt28, tc->opeTbl28, 512, 5};
    case 27: return {true, tc->opeCnt27, tc->opeTbl27, 512, 5};
    case 29: return {true, tc->opeCnt29, tc->opeTbl29, 512, tc->opeCnt29};
    case 30: return {true, tc->opeCnt30, tc->opeTbl30, 512, tc->opeCnt30};
    case 12: return {true, tc->nAnMsgCnt, tc->opeTbl12, 1, tc->nAnMsgCnt};
    case 31: return {true, tc->nAnMsgCnt, tc->opeTbl31, kBitMap, tc->nAnMsgCnt};
    case 58: return {true, tc->nAnMsgCnt, tc->opeTbl58, 1, tc->nAnMsgCnt};
    default: return {};
    }
}

// First element and number of elements asked for in the current repetition of kind.
void AskedRange(int kind, const tucomn* tc, std::uint16_t* first, std::uint16_t* number) {
    const std::uint32_t c = KindOf(kind, tc).count;
    switch (kind) {
    case 42:
        *first = static_cast<std::uint16_t>(tc->opeIdx42 * 4 * c + 1);
        *number = static_cast<std::uint16_t>(4 * c);
        break;
    case 27:
    case 28:
        *first = static_cast<std::uint16_t>(tc->opeIdx2728 + 1);
        *number = 1;
        break;
    case 29:
    case 30:
        *first = static_cast<std::uint16_t>(tc->opeIdx2930 + 1);
        *number = 1;
        break;
    default:
        *first = 1;
        *number = static_cast<std::uint16_t>(c);
        break;
    }
}


}  // namespace

int TuOpeMarkSaveReq(int kind, tucomn* tc) {
    std::uint8_t frame[kTuReqFrameSize];
    TuPrepareFrame(tc, frame);
    FcMnSaveHeader hdr;
    TuSetSaveHeader(&hdr, kSvCmdSave, kSvSubSave, tc, static_cast<std::uint16_t>(tc->reqSerial++), tc->sessionId, 1);
    std::memcpy(frame + kTuReqHdrOff, hdr.b, sizeof hdr.b);

    FcMnSavePara para{};
    std::uint16_t first = 0, number = 0;
    AskedRange(kind, tc, &first, &number);
    para.b[0] = static_cast<std::uint8_t>(kind);
    tb::store_u16(para.b + 4, first);
    tb::store_u16(para.b + 6, number);
    LdTuSaveTracef(tc->project, "TuOpeMarkSaveReq type = %d", kind);
    if (!g_testMode && bc2FcMnSavePara(&para, 1) != 0) {
        TuPutMsgBuf("ERR: TuOpeMarkSaveReq(): bc2FcMnSavePara() Error");
        return TU_NG;
    }
    std::memcpy(frame + kTuReqParaOff, para.b, sizeof para.b);
    return TuSaveReqExchange(tc, frame, 1, IDS_OPEMARK_SEND, IDS_OPEMARK_REFUSED, "TuOpeMarkSaveReq");
}

int opeMkRtnFrameByteOrder(std::uint8_t* workBuf, tucomn* tc) {
    TuItemCursor cur(workBuf, tc->upDataSize);
    while (!cur.AtEnd()) {
        std::uint8_t* header = cur.HeaderAt();
        if (!header) {
            LdTuSaveMsgf("ERR: opeMkRtnFrameByteOrder(): item header beyond the upload data (offset=%#zx)",
                         cur.Offset());
            return TU_NG;
        }
        if (!g_testMode && bc2FcMnSaveData(reinterpret_cast<FcMnSaveData*>(header), 0) != 0) {
            TuPutMsgBuf("ERR: opeMkRtnFrameByteOrder(): bc2FcMnSaveData() Error");
            return TU_NG;
        }
        const TuItem item = *cur.Item();
        if (item.status != 0) {
            static_cast<void>(cur.Next(item, 0));   // checked above
            continue;
        }
        std::size_t n = 0;
        switch (item.dataType) {
        case 10: case 11: case 12: case 42: case 58:
            n = item.count;
            break;
        case 21: case 22: case 27: case 28: case 29: case 30: case 31:
            n = item.bytes / 2;
            break;
        default:
            TuPutMsgBuf("ERR: Not Exist data kind");
            return TU_NG;
        }
        if (!cur.HasData(item, 2 * n)) {
            LdTuSaveMsgf("ERR: opeMkRtnFrameByteOrder(): item data beyond the upload data (offset=%#zx)",
                         item.off + kSvDataSize);
            return TU_NG;
        }
        if (!g_testMode) {
            for (std::size_t w = 0; w < n; ++w) {
                if (Engntoh(item.data() + 2 * w, 2) != 0) {
                    LdTuSaveMsgf("ERR: opeMkRtnFrameByteOrder(): Engntoh() Error (type=%d, offset=%#zx)",
                                 item.dataType, item.off + kSvDataSize + 2 * w);
                    return TU_NG;
                }
            }
        }
        static_cast<void>(cur.Next(item, 2 * n));   // checked above
    }
    return TU_OK;
}

int TuOpeMarkUpLoad(int kind, std::uint8_t* workBuf, tucomn* tc) {
    const TuUpLoadTexts texts{"TuOpeMarkUpLoad type = %d", kind, "ERR:TuOpeMarkUpLoad() data size error", IDS_OPEMARK_UPLOAD_SEND,
                              IDS_OPEMARK_UPLOAD_REFUSED, "TuOpeMarkUpLoad"};
    if (TuUpLoadData(workBuf, tc, texts) != TU_OK) return TU_NG;
    if (opeMkRtnFrameByteOrder(workBuf, tc) != TU_OK) {
        TuPutMsgBuf("ERR: TuOpeMarkUpLoad(): rtnFrameByteOrder() Error");
        return TU_NG;
    }
    return TU_OK;
}

int TuOpeMarkSet(int kind, std::uint8_t* workBuf, tucomn* tc) {
    const TuOpeKind k = KindOf(kind, tc);
    if (!k.dest) return TU_OK;
    const LdTuSaveImage img = TuImage(tc);
    const auto destOff = img.OffsetOf(k.dest);
    constexpr const char* kSizeError = "ERR:TuOpeMarkSet() data size error";
    TuItemCursor cur(workBuf, tc->upDataSize);
    while (!cur.AtEnd()) {
        const std::optional<TuItem> item = cur.Item();
        if (!item) {
            TuPutMsgBuf(kSizeError);
            return TU_NG;
        }
        if (item->status != 0) {
            LdTuSaveMsgText(LDTUSAVE_MSG_WRN, IDS_OPEMARK_ITEM, ":iReturn=%#x:type=%#x", item->status, kind);
            static_cast<void>(cur.Next(*item, 0));   // checked above
            continue;
        }
        if (item->dataType != kind) {
            TuPutMsgBuf("ERR:TuOpeMarkSet() opemark type error");
            return TU_NG;
        }
        const std::uint16_t f = item->first;
        const std::uint16_t m = item->count;
        const std::uint32_t bytes = item->bytes;
        const std::uint16_t last = static_cast<std::uint16_t>(f + m - 1);
        if (f == 0 || last > k.lastAllowed || !cur.HasData(*item, bytes)) {
            TuPutMsgBuf(kSizeError);
            return TU_NG;
        }
        std::size_t to = 0, len = 0;
        if (k.elemWords == kBitMap) {
            if (bytes != ((static_cast<std::uint32_t>(m) + 127) / 128) * 16) {
                TuPutMsgBuf("ERR:2:TuOpeMarkSet() data size error");
                return TU_NG;
            }
            to = (static_cast<std::size_t>(f) - 1) / 128 * 16;
            len = bytes;
        } else {
            // Kinds 21 and 22 with a factor of 0 have elements of no bytes: nothing to copy.
            const std::int64_t need = static_cast<std::int64_t>(m) * k.elemWords * 2;
            if (k.elemWords < 0 || need > bytes) {
                TuPutMsgBuf(kSizeError);
                return TU_NG;
            }
            to = (static_cast<std::size_t>(f) - 1) * static_cast<std::size_t>(k.elemWords) * 2;
            len = static_cast<std::size_t>(need);
        }
        // The elements must land inside the image.
        if (len > 0 && (!destOff || to > img.size() || !img.Write(*destOff + to, item->data(), len))) {
            TuPutMsgBuf(kSizeError);
            return TU_NG;
        }
        static_cast<void>(cur.Next(*item, bytes));   // checked above
    }
    return TU_OK;
}

int TuOpeMarkSave(int kind, tucomn* tc) {
    const TuOpeKind k = KindOf(kind, tc);
    if (!k.known || k.count == 0) return TU_OK;
    if (TuOpeMarkSaveReq(kind, tc) != TU_OK) return TU_NG;
    std::uint8_t* buf = TuGetWorkArea(tc->upDataSize, 3);
    if (!buf) return TU_NG;
    if (TuOpeMarkUpLoad(kind, buf, tc) != TU_OK) return TU_NG;
    return TuOpeMarkSet(kind, buf, tc);
}
