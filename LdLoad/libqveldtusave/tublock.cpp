// Block save of the control area: which records to fetch, the batches, the identity check of
// each block, the placement of the records into the image and the save record table; and the
// items of an upload taken into host order and their blocks' headers found in the image.
#include <algorithm>
#include <cstring>
#include <optional>

#include "LdTuSaveImage.h"
#include "libqveldc.h"
#include "libqvecommon.h"
#include "libqverxgen.h"
#include "LdTuSaveIds.h"
#include "LdTuSaveHold.h"
#include "tusave.h"
#include "tusave_bytes.h"

using namespace LdTuSaveIds;

namespace {

using namespace LdTuSaveImg;

// The batch's delivered records; rebuilt for every batch.
TuUpLoadItem s_upLoadTbl[kTuSaveRecMax];

constexpr std::size_t kRecIdentityLen = kRecRecNo + 1;

// Area-relative conversion: position = areaLocalTbl_addr + (address - areaRootTblAdrs).
std::optional<LdTuSaveAnchor> AreaAnchor(const LdTuSaveImage& img, const tucomn* tc) {
    auto off = img.OffsetOf(tc->areaLocalTbl_addr);
    if (!off) return std::nullopt;
    return LdTuSaveAnchor{*off, tc->areaRootTblAdrs};
}

// The identity of a block header, and of a record 1, which has the header's layout: block code
// and tag name (NUL-padded, not always terminated).
struct Identity {
    std::int16_t code = 0;
    char tag[kTagNameLen + 1] = {};
};
std::optional<Identity> IdentityOf(tb::Bytes b) {
    Identity id;
    const auto code = tb::get_i16(b, kBlkHdrBlockCode);
    if (!code || !tb::get_bytes(b, kBlkHdrTagName, id.tag, kTagNameLen)) return std::nullopt;
    id.code = *code;
    return id;
}

// The bytes of the image from a position on (empty for a position outside it).
tb::Bytes From(const LdTuSaveImage& img, const std::uint8_t* p) {
    const auto off = img.OffsetOf(p);
    return off ? tb::Bytes(img.span().subspan(*off)) : tb::Bytes();
}

}  // namespace

int TuRecordDBSet(std::uint8_t* blockHeader, const TuUpLoadItem* item, tucomn* tc) {
    const LdTuSaveImage img = TuImage(tc);
    LdTuSaveRecPos rec;
    if (auto hdrOff = img.OffsetOf(blockHeader)) rec = img.Record(AreaAnchor(img, tc), *hdrOff, item->recNo);
    if (rec.size && *rec.size != item->dataSize) {
        LdTuSaveMsgf("ERR:TuRecordDBSet() recordSize is unmatch(to(%#x), from(%#x) )", *rec.size, item->dataSize);
        return TU_NG;
    }
    // A record that does not lie wholly inside the image is as good as one without an address.
    std::optional<std::size_t> recOff;
    if (rec.off && *rec.size >= kRecIdentityLen && item->data) recOff = rec.off;
    if (!recOff) {
        TuPutMsgBuf("ERR:TuRecordDBSet() record pointer is NULL");
        return TU_NG;
    }
    const std::int16_t toBlk = *img.I16(*recOff + kRecBlockNo);
    const tb::Bytes up(item->data, item->dataSize);   // at least kRecIdentityLen bytes (above)
    const std::int16_t fromBlk = tb::get_i16(up, kRecBlockNo).value_or(0);
    if (toBlk != fromBlk) {
        LdTuSaveMsgf("ERR:TuRecordDBSet() blockNo is unmatch( to(%#x), from(%#x) )", static_cast<int>(toBlk),
                     static_cast<int>(fromBlk));
        return TU_NG;
    }
    const std::uint8_t toRec = *img.U8(*recOff + kRecRecNo);
    const std::uint8_t fromRec = tb::get_u8(up, kRecRecNo).value_or(0);
    if (toRec != fromRec) {
        LdTuSaveMsgf("ERR:TuRecordDBSet() recordNo is unmatch( to(%#x), from(%#x) )", toRec, fromRec);
        return TU_NG;
    }
    static_cast<void>(img.Write(*recOff, item->data, item->dataSize));   // Conv checked the record's extent
    return TU_OK;
}

std::uint8_t* TuBlockSearch(std::uint8_t* bldbPtrTbl, std::uint32_t blockNo, tucomn* tc) {
    const LdTuSaveImage img = TuImage(tc);
    auto bldb = img.OffsetOf(bldbPtrTbl);
    auto anchor = AreaAnchor(img, tc);
    std::optional<std::size_t> hdr;
    if (bldb && anchor) hdr = img.BlockHeader(*anchor, *bldb, blockNo);
    if (!hdr || *img.I16(*hdr + kBlkHdrBlockNo) != static_cast<std::int16_t>(blockNo)) {
        LdTuSaveMsgf("ERR:Invalid Block Record BlockNo=%d", static_cast<int>(blockNo));
        return nullptr;
    }
    return img.At(*hdr);
}

int TuGetAreaTbl(tucomn* tc, std::uint8_t** bldbPtrTbl) {
    *bldbPtrTbl = nullptr;
    const LdTuSaveImage img = TuImage(tc);
    const LdTuSaveArea area = img.Area(1, LdTuSaveAreaForm::kAreaRootAdrs);
    tc->areaLocalTbl_addr = img.At(area.root);
    // A broken link is a corrupt image, not an area without blocks: the upload fails.
    switch (area.failed) {
    case LdTuSaveLink::kNone: break;
    case LdTuSaveLink::kAreaCnstTbl: TuPutMsgBuf("ERR:RootTblP->areaCnstTblPtr is NULL"); return TU_NG;
    case LdTuSaveLink::kBlockPtrTbl: TuPutMsgBuf("ERR:RootTblP->blockPtrTblPtr is NULL"); return TU_NG;
    case LdTuSaveLink::kBldbPtrTbl: TuPutMsgBuf("ERR:BlockPtrTbl->bldbPtrTblPtr is NULL"); return TU_NG;
    default: LdTuSaveMsgf("ERR:RootTblP->%s is NULL", LdTuSaveLinkName(area.failed)); return TU_NG;
    }
    tc->areaRootTblAdrs = area.anchor.adrs;
    // MaxBlock cannot name more blocks than the image has table entries for.
    tc->maxBlock = area.maxBlock > 0 ? static_cast<std::int32_t>(area.BlockCount()) : area.maxBlock;
    tc->nAnMsgCnt = *img.U16(*area.cnst + kAreaCnstAnMsgCnt);
    if (auto anMsg = img.Follow(area.anchor, *area.root + kAreaRootAnMsgData, kAnMsgDataUsed)) {
        tc->opeTbl12 = img.At(img.Follow(area.anchor, *anMsg + kAnMsgTbl18));
        tc->opeTbl31 = img.At(img.Follow(area.anchor, *anMsg + kAnMsgTbl14));
        tc->opeTbl58 = img.At(img.Follow(area.anchor, *anMsg + kAnMsgUaid));
    }
    *bldbPtrTbl = img.At(*area.bldb);
    return TU_OK;
}

int TusSetUpLoadTbl(TuUpLoadItem* items, std::uint8_t* upBuf, tucomn* tc) {
    TuItemCursor cur(upBuf, tc->upDataSize);
    std::uint32_t k = 0;
    while (!cur.AtEnd()) {
        const std::optional<TuItem> item = cur.Item();
        if (!item) return TU_NG;
        // More items than entries asked for would run past the item table.
        if (k >= tc->saveRecCnt || k >= static_cast<std::uint32_t>(kTuSaveRecMax)) {
            TuPutMsgBuf("ERR:TusSetUpLoadTbl(): data size error");
            return TU_NG;
        }
        const TuSaveRecEntry& e = tc->saveRecTbl[k];
        if (item->status == 0) {
            if (!cur.HasData(*item, item->bytes)) return TU_NG;
            const std::uint16_t blockNo = static_cast<std::uint16_t>(item->blockNo);
            if (item->recNo != e.recNo || blockNo != static_cast<std::uint16_t>(e.blockNo)) {
                LdTuSaveMsgf("ERR:TusSetUpLoadTbl(): item %u is not the record asked for (asked block %u record %u, "
                             "came block %d record %u)", k, e.blockNo, e.recNo, static_cast<int>(item->blockNo),
                             item->recNo);
                return TU_NG;
            }
            items[k] = TuUpLoadItem{item->recNo, blockNo, item->bytes, item->data()};
            static_cast<void>(cur.Next(*item, item->bytes));   // HasData above
        } else {
            const std::uint16_t status = item->status;
            LdTuSaveItemErr(status == 0x9412 ? IDS_ITEM_NORECORD : status == 0x9413 ? IDS_ITEM_RECNOTAVAIL : IDS_ITEM_NOTSAVED,
                            e.tagName, e.blkCode, status);
            if (!cur.Next(*item, 0)) return TU_NG;
        }
        ++k;
    }
    return TU_OK;
}

int TusBlockHeaderCheck(std::uint8_t* bldbPtrTbl, const TuUpLoadItem* item, std::uint16_t blockNo,
                        std::uint16_t* lastChkBlkNo, tucomn* tc) {
    std::uint8_t* hdr = TuBlockSearch(bldbPtrTbl, blockNo, tc);
    if (!hdr) {
        TuPutMsgBuf("ERR:TusBlockHeaderCheck(): TuBlockSearch() error");
        return TU_NG;
    }
    // Record 1 carries the identity in the header's layout: tag name and block code.
    const auto up = item->data ? IdentityOf({item->data, item->dataSize}) : std::nullopt;
    if (!up) {
        TuPutMsgBuf("ERR:TusBlockHeaderCheck(): pRecHeader NULL");
        return TU_NG;
    }
    const Identity db = IdentityOf(From(TuImage(tc), hdr)).value_or(Identity{});   // the search proved the fixed part
    if (db.code != up->code) {
        LdTuSaveMsgText(LDTUSAVE_MSG_WRN, IDS_BLKCODE_DIFFERS, "%04d DB = 0x%04x, SAVE = 0x%04x", blockNo,
                        static_cast<int>(db.code), static_cast<int>(up->code));
        *lastChkBlkNo = blockNo;
        return TU_OK;
    }
    if (std::memcmp(db.tag, "%%ADL", 5) == 0) {
        *lastChkBlkNo = 0;
        return TU_OK;
    }
    if (std::memcmp(db.tag, up->tag, kTagNameLen) == 0) {
        *lastChkBlkNo = 0;
        return TU_OK;
    }
    LdTuSaveMsgText(LDTUSAVE_MSG_WRN, IDS_TAG_DIFFERS, "%04d DB = %s, SAVE = %s", blockNo, db.tag, up->tag);
    *lastChkBlkNo = blockNo;
    return TU_OK;
}

int TusGetCalcOyaBlockNo(std::uint8_t* blockHeader, tucomn* tc, std::uint16_t* oyaBlockNo) {
    const LdTuSaveImage img = TuImage(tc);
    std::optional<std::size_t> rec2;
    if (auto hdr = img.OffsetOf(blockHeader)) rec2 = img.Record(AreaAnchor(img, tc), *hdr, 2, kRecOyaBlockNo + 2).off;
    if (!rec2) {
        TuPutMsgBuf("ERR:TusGetCalcOyaBlockNo() record pointer is NULL");
        return TU_NG;
    }
    *oyaBlockNo = *img.U16(*rec2 + kRecOyaBlockNo);
    return TU_OK;
}

int TusSetSaveRecordTbl(std::uint8_t* hdr, const TuUpLoadItem* item, std::uint16_t blockNo, tucomn* tc) {
    const tb::Bytes header = From(TuImage(tc), hdr);
    const std::uint8_t category = tb::get_u8(header, kBlkHdrCategory).value_or(0);
    if (category <= 2 || category == 15) return TU_OK;
    const std::uint16_t blkCode = tb::get_u16(header, kBlkHdrBlockCode).value_or(0);
    std::uint16_t oya = 0;
    if (IsChildBlock(blkCode) && TusGetCalcOyaBlockNo(hdr, tc, &oya) != TU_OK) {
        TuPutMsgBuf("ERR:TusSetSaveRecordTbl(): TusGetCalcOyaBlockNo error");
        return TU_NG;
    }
    LdTuSaveRecordTbl& tbl = *tc->pSaveRecordTbl;
    if (!tbl.empty() && tbl.back().blockNo == blockNo) {
        LdTuSaveRecord& last = tbl.back();
        if (last.recCnt < 8) last.recNo[last.recCnt++] = item->recNo;
        return TU_OK;
    }
    LdTuSaveRecord rec;
    rec.blockNo = blockNo;
    rec.blkCode = blkCode;
    rec.oyaBlockNo = oya;
    rec.recCnt = 1;
    rec.recNo[0] = item->recNo;
    tbl.push_back(rec);
    return TU_OK;
}

int TuBlockSave(std::uint8_t* bldbPtrTbl, tucomn* tc) {
    if (TuSaveReq(tc) != TU_OK) return TU_NG;
    const std::size_t size = static_cast<std::size_t>(tc->upDataSize);
    LdTuSaveMem work(size > 0 ? size : 1, __FILE__, __LINE__);
    std::uint8_t* buf = work.get();
    if (!buf) {
        TuPutMsgBuf("ERR:TuBlockSave(): malloc() error");
        return TU_NG;
    }
    std::memset(s_upLoadTbl, 0, sizeof s_upLoadTbl);
    int rtn = TU_OK;
    if (TuUpLoadReq(buf, tc) != TU_OK || TusSetUpLoadTbl(s_upLoadTbl, buf, tc) != TU_OK) rtn = TU_NG;
    const std::uint32_t cnt = std::min<std::uint32_t>(tc->saveRecCnt, kTuSaveRecMax);
    // A block's records follow each other in the batch: its header is looked up once for all.
    std::uint8_t* hdr = nullptr;
    std::uint16_t hdrBlockNo = 0;
    for (std::uint32_t k = 0; rtn == TU_OK && k < cnt; ++k) {
        const TuUpLoadItem& it = s_upLoadTbl[k];
        const std::uint16_t blockNo = static_cast<std::uint16_t>(tc->saveRecTbl[k].blockNo);
        if (it.recNo == 1) {
            if (TusBlockHeaderCheck(bldbPtrTbl, &it, blockNo, &tc->lastChkBlkNo, tc) != TU_OK) rtn = TU_NG;
        } else if (it.recNo > 1 && blockNo != tc->lastChkBlkNo) {
            if (!hdr || hdrBlockNo != blockNo) {
                hdr = TuBlockSearch(bldbPtrTbl, blockNo, tc);
                hdrBlockNo = blockNo;
            }
            if (!hdr) {
                TuPutMsgBuf("ERR:TuBlockSave(): TuBlockSearch() error");
                rtn = TU_NG;
            } else if (TuRecordDBSet(hdr, &it, tc) != TU_OK || TusSetSaveRecordTbl(hdr, &it, blockNo, tc) != TU_OK) {
                rtn = TU_NG;
            }
        }
    }
    return rtn;
}

int TuBlockList(std::uint8_t* bldbPtrTbl, tucomn* tc) {
    const LdTuSaveImage img = TuImage(tc);
    auto bldb = img.OffsetOf(bldbPtrTbl);
    auto anchor = AreaAnchor(img, tc);
    tc->saveRecCnt = 0;
    const std::size_t count = bldb && anchor && tc->maxBlock > 0 ? static_cast<std::size_t>(tc->maxBlock) : 0;
    for (auto blocks = img.Blocks(anchor.value_or(LdTuSaveAnchor{}), bldb.value_or(0), count);
         const auto block = blocks.Next();) {
        const std::uint32_t blockNo = block->blockNo;
        const auto& hdr = block->hdr;
        if (!hdr) continue;
        const std::uint16_t blkCode = *img.U16(*hdr + kBlkHdrBlockCode);
        if (blkCode == 0) continue;
        const std::uint8_t category = *img.U8(*hdr + kBlkHdrCategory);
        if (category == 0 && IsNoCatBlock(blkCode)) continue;
        const Identity id = IdentityOf(img.span().subspan(*hdr)).value_or(Identity{});   // the cursor proved the fixed part
        static_assert(sizeof tc->tagName == sizeof id.tag);
        std::memcpy(tc->tagName, id.tag, sizeof id.tag);

        int list[IEDAL_MAX_SAVE_REC + 1] = {};
        int n = 0;
        // A block whose save records are not known gets none; the failed call's output is not
        // used. The failure is said once per block code, naming the first block of that code.
        if (const int r = IEdalInstGetSaveRecNo(blkCode, &n, list + 1); r != 0) {
            const std::uint8_t bit = static_cast<std::uint8_t>(1u << (blkCode % 8u));
            if (!(tc->instNgWarned[blkCode / 8u] & bit)) {
                tc->instNgWarned[blkCode / 8u] |= bit;
                LdTuSaveMsgf("WRN:tagName =%16s  Inst No = 0x%x -> NG  BlockNo = %u, dwRtn = %d", tc->tagName, blkCode,
                             blockNo, r);
            }
            n = 0;
        } else if (n <= 0) {
            n = 0;
        } else {
            n = std::min(n, IEDAL_MAX_SAVE_REC);
            list[0] = 1;
            ++n;
        }
        if (static_cast<std::uint32_t>(n) + tc->saveRecCnt > static_cast<std::uint32_t>(kTuSaveRecMax)) {
            if (TuBlockSave(bldbPtrTbl, tc) != TU_OK) return TU_NG;
            tc->saveRecCnt = 0;
        }
        for (int j = 0; j < n; ++j) {
            TuSaveRecEntry& e = tc->saveRecTbl[tc->saveRecCnt++];
            std::memcpy(e.tagName, tc->tagName, sizeof e.tagName);
            e.terminator = 0;
            e.blockNo = blockNo;
            e.blkCode = blkCode;
            e.recNo = static_cast<std::uint32_t>(list[j]);
        }
    }
    return TuBlockSave(bldbPtrTbl, tc);
}

int TuAreaSave(tucomn* tc) {
    const std::string areaName = tc->pAreaName ? *tc->pAreaName : std::string();
    LdTuSaveMsgText(LDTUSAVE_MSG_MSG, IDS_AREA_START, "%s", areaName.c_str());
    std::uint8_t* bldb = nullptr;
    if (TuGetAreaTbl(tc, &bldb) != TU_OK) return TU_NG;
    tc->lastChkBlkNo = 0;
    if (TuSaveStartReq(tc) != TU_OK) return TU_NG;
    if (TuBlockList(bldb, tc) != TU_OK) {
        static_cast<void>(TuSaveEndReq(tc));   // the session is closed as far as it can be; the failure stands
        return TU_NG;
    }
    for (int kind : {12, 31, 58}) {
        if (TuOpeMarkSave(kind, tc) != TU_OK) {
            static_cast<void>(TuSaveEndReq(tc));
            return TU_NG;
        }
    }
    if (TuSaveEndReq(tc) != TU_OK) return TU_NG;
    LdTuSaveMsgText(LDTUSAVE_MSG_MSG, IDS_AREA_END, "%s", areaName.c_str());
    return TU_OK;
}

// ---- blocks of the image -----------------------------------------------------------------------

namespace {

// The block header of blockNo: the walk of blkNoToBlkCode and getBlockHeaderCorePtr, with
// its lines. Station addresses are taken relative to AreaRootTbl1, whose station address is
// areaCnstTblPtr - 0x200; a reference that leads outside the image counts as one of 0.
std::uint8_t* TusBlockHeaderWalk(tucomn* tc, std::int16_t blockNo) {
    if (blockNo < 1) {
        TuPutMsgBuf("ERR: blkNoToBlkCode(): blockNo under 1");
        return nullptr;
    }
    const LdTuSaveImage img = TuImage(tc);
    const LdTuSaveArea area = img.Area(1, LdTuSaveAreaForm::kAreaCnstDist);
    if (!area.root || img.OffsetOf(tc->areaLocalTbl_addr) != area.root) {
        TuPutMsgBuf("ERR: blkNoToBlkCode(): Area DataBase(tucomn->areaLocalTbl_addr) is NULL");
        return nullptr;
    }
    if (!area.cnst) {
        TuPutMsgBuf("ERR: blkNoToBlkCode(): areaCnstTblPtr is 0");
        return nullptr;
    }
    if (!area.blockPtr) {
        TuPutMsgBuf("ERR: blkNoToBlkCode(): blockPtrTblPtr is 0");
        return nullptr;
    }
    if (!area.bldb) {
        TuPutMsgBuf("ERR: blkNoToBlkCode(): bldbPtrTblPtr is 0");
        return nullptr;
    }
    auto header = img.BlockHeader(area.anchor, *area.bldb, static_cast<std::uint32_t>(blockNo));
    if (!header) {
        LdTuSaveMsgf("ERR: blkNoToBlkCode(): bldbPtrTbl[%d] is 0", blockNo - 1);
        return nullptr;
    }
    return img.At(*header);
}

// The header of blockNo and its block code; null when either cannot be had (the walk reports why).
std::uint8_t* TusBlockCodeOf(tucomn* tc, std::int16_t blockNo, std::uint16_t* blkCode) {
    std::uint8_t* header = TusBlockHeaderWalk(tc, blockNo);
    const LdTuSaveImage img = TuImage(tc);
    const auto off = img.OffsetOf(header);
    const auto code = off ? img.U16(*off + LdTuSaveImg::kBlkHdrBlockCode) : std::nullopt;
    if (!code) return nullptr;
    *blkCode = *code;
    return header;
}

}  // namespace

// ---- upload data into host order ------------------------------------------------------------------

int upLoadRtnFrameByteOrder(std::uint8_t* workBuf, tucomn* tc) {
    TuItemCursor cur(workBuf, tc->upDataSize);
    // A block's items follow each other: its code and header are looked up once for them.
    std::optional<std::int16_t> lastBlockNo;
    std::uint16_t blkCode = 0;
    std::uint8_t* blockHeader = nullptr;
    while (!cur.AtEnd()) {
        std::uint8_t* header = cur.HeaderAt();
        if (!header) {
            LdTuSaveMsgf("ERR: TuUpLoadReq(): item header beyond the upload data (offset=%#zx)", cur.Offset());
            return TU_NG;
        }
        if (!g_testMode && bc2FcMnSaveData(reinterpret_cast<FcMnSaveData*>(header), 0) != 0) {
            TuPutMsgBuf("ERR: TuUpLoadReq(): bc2FcMnSaveData() Error");
            return TU_NG;
        }
        const TuItem item = *cur.Item();
        if (item.dataType != FCMNDATATYPEBLK) {
            TuPutMsgBuf("ERR: FcMnSaveData.dataType is not FCMNDATATYPEBLK");
            return TU_NG;
        }
        if (!cur.HasData(item, item.bytes)) {
            LdTuSaveMsgf("ERR: TuUpLoadReq(): item data beyond the upload data (offset=%#zx, dataSize=%#x)",
                         item.off, item.bytes);
            return TU_NG;
        }
        if (lastBlockNo != item.blockNo) {
            // blkNoToBlkCode and getBlockHeaderCorePtr walk to the same header: walked once
            // (the second walk cannot fail where the first succeeded).
            blockHeader = TusBlockCodeOf(tc, item.blockNo, &blkCode);
            if (!blockHeader) {
                TuPutMsgBuf("ERR: TuUpLoadReq(): blkNoToBlkCode() Error");
                return TU_NG;
            }
            lastBlockNo = item.blockNo;
        }
        // Every item goes through the record converter, one without record bytes included.
        if (!g_testMode && bc3RecordInBlock(item.data(), blockHeader, blkCode, item.recNo, static_cast<int>(item.bytes),
                                            0, tc->pUserInst) != 0) {
            LdTuSaveMsgf("ERR: TuUpLoadReq(): bc3RecordInBlock(blkCode=%#x, recNo=%#x,dataSize=%#x, dir=%d) Error",
                         blkCode, item.recNo, item.bytes, 0);
            return TU_NG;
        }
        static_cast<void>(cur.Next(item, item.bytes));   // checked above
    }
    return TU_OK;
}

// ---- block look-ups ---------------------------------------------------------------------------

int blkNoToBlkCode(tucomn* tc, std::int16_t blockNo, std::uint16_t* blkCode) {
    return TusBlockCodeOf(tc, blockNo, blkCode) ? TU_OK : TU_NG;
}

std::uint8_t* getBlockHeaderCorePtr(tucomn* tc, std::int16_t blockNo) { return TusBlockHeaderWalk(tc, blockNo); }
