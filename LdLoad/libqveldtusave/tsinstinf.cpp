// Instance and item information of the TP file step: the distinct block codes of an area and,
// per block code, the model's name, items, their places and the saved records.
#include <cstdlib>
#include <cstring>
#include <memory>

#include "LdTuSaveMsg.h"
#include "libqvecommon.h"
#include "libqverxgen.h"
#include "tsinf.h"

namespace {

constexpr const char* kSource = "tsinstinf";

template <typename T>
T* LdTuSaveTpAlloc(std::size_t count, int line) {
    void* p = __QVEEngMalloc(count * sizeof(T), kSource, line);
    if (p) std::memset(p, 0, count * sizeof(T));
    return static_cast<T*>(p);
}

void LdTuSaveTpFree(void* p, int line) {
    if (p) __QVEEngFree(p, kSource, line);
}

// Adds blockCode unless an entry has it already; grows the table by 256 entries when full.
std::uint32_t LdTuSaveTpAddInst(TpSaveInf* tp, std::uint16_t blockCode) {
    for (std::uint32_t i = 0; i < tp->instInfTblUsedNum; ++i)
        if (tp->pInstInfTbl[i].instNo == blockCode) return 0;
    if (tp->instInfTblUsedNum == tp->instInfTblSize) {
        const std::uint32_t newSize = tp->instInfTblSize + TP_INSTTBL_GROW;
        InstInf* grown = LdTuSaveTpAlloc<InstInf>(newSize, __LINE__);
        if (!grown) {
            LdTuSaveSrcErr(false, kSource, 433, "realloc(size=%lld) error",
                           static_cast<long long>(newSize) * static_cast<long long>(sizeof(InstInf)));
            return 1;
        }
        if (tp->pInstInfTbl) std::memcpy(grown, tp->pInstInfTbl, tp->instInfTblSize * sizeof(InstInf));
        LdTuSaveTpFree(tp->pInstInfTbl, __LINE__);
        tp->pInstInfTbl = grown;
        tp->instInfTblSize = newSize;
    }
    tp->pInstInfTbl[tp->instInfTblUsedNum++].instNo = blockCode;
    return 0;
}

// The item list split at ':' (empty fields skipped): 0 and the next name, or null at the end.
char* LdTuSaveTpNextName(char*& cursor) {
    while (*cursor == ':') ++cursor;
    if (*cursor == '\0') return nullptr;
    char* name = cursor;
    while (*cursor != '\0' && *cursor != ':') ++cursor;
    if (*cursor == ':') *cursor++ = '\0';
    return name;
}

}  // namespace

std::uint32_t LdTuSaveTpCollectInst(TpSaveInf* tp, unsigned areaNo) {
    using namespace LdTuSaveImg;
    tp->instInfTblUsedNum = 0;
    const LdTuSaveImage img = LdTuSaveViewOf(tp->pDbImage);
    const LdTuSaveArea area = img.Area(areaNo, LdTuSaveAreaForm::kAreaRootAdrs);
    if (area.failed != LdTuSaveLink::kNone) return 1;
    for (auto blocks = img.Blocks(area); const auto block = blocks.Next();) {
        // A header outside the image is the writer's to report, with its block number.
        const auto& hdr = block->hdr;
        if (!hdr) continue;
        const std::uint16_t code = img.U16(*hdr + kBlkHdrBlockCode).value_or(0);
        if (code == 0) continue;
        if (LdTuSaveTpAddInst(tp, code) != 0) return 1;
    }
    return 0;
}

std::uint32_t LdTuSaveTpFillInst(InstInf* inst) {
    char name[IEDAL_INSTNAME_SIZE] = {};
    if (IEdalInstGetInstName(inst->instNo, name) != 0) {
        LdTuSaveSrcErr(false, kSource, 586, "IEdalInstGetInstName(instNo=0x%x) error", inst->instNo);
        return 1;
    }
    name[IEDAL_INSTNAME_SIZE - 1] = '\0';
    std::strncpy(inst->instName, name, TP_INSTNAME_LEN);
    inst->instName[TP_INSTNAME_LEN] = '\0';

    int count = 0;
    char* list = nullptr;
    const int rc = IEdalInstGetDItemList2(inst->instName, &count, &list);
    const std::unique_ptr<char, void (*)(void*)> listHold(list, std::free);   // the service's text
    if (rc != 0) {
        LdTuSaveSrcErr(true, kSource, 607, "IEdalInstGetDItemList(instName=%s) error", inst->instName);
        return 1;
    }
    inst->itemInfTblUsedNum = count;
    // Our own copy of the list holds the names for the tables' lifetime, whole; the service's
    // text goes back when this returns.
    const std::size_t listLen = list ? std::strlen(list) : 0;
    LdTuSaveTpFree(inst->pItemNames, __LINE__);
    inst->pItemNames = LdTuSaveTpAlloc<char>(listLen + 1, __LINE__);
    if (!inst->pItemNames) {
        LdTuSaveSrcErr(false, kSource, 632, "realloc(size=%lld) error", static_cast<long long>(listLen + 1));
        return 1;
    }
    if (list) std::memcpy(inst->pItemNames, list, listLen);

    if (count > inst->itemInfTblSize) {
        LdTuSaveTpFree(inst->pItemInfTbl, __LINE__);
        inst->itemInfTblSize = 0;
        inst->pItemInfTbl = LdTuSaveTpAlloc<ItemInf>(static_cast<std::size_t>(count), __LINE__);
        if (!inst->pItemInfTbl) {
            LdTuSaveSrcErr(false, kSource, 632, "realloc(size=%lld) error",
                           static_cast<long long>(count) * static_cast<long long>(sizeof(ItemInf)));
            return 1;
        }
        inst->itemInfTblSize = count;
    }
    if (count > 0) std::memset(inst->pItemInfTbl, 0, static_cast<std::size_t>(count) * sizeof(ItemInf));

    int i = 0;
    char* cursor = inst->pItemNames;
    for (char* item = LdTuSaveTpNextName(cursor); item; item = LdTuSaveTpNextName(cursor), ++i) {
        if (i >= count) continue;
        ItemInf& it = inst->pItemInfTbl[i];
        it.itemName = item;
        IEdalItemCnctS cnct{};
        if (IEdalInstGetDItemCnctInf(inst->instName, item, &cnct) != 0) {
            LdTuSaveSrcErr(false, kSource, 682, "IEdalInstGetDItemCnctInf(instName=%s, itemName=%s) error",
                           inst->instName, item);
            return 1;
        }
        int dim1 = 0, dim2 = 0;
        if (IEdalInstGetDItemArrayInf(inst->instName, item, &dim1, &dim2) != 0) {
            LdTuSaveSrcErr(false, kSource, 705, "IEdalInstGetDItemArrayInf(instName=%s, itemName=%s) error",
                           inst->instName, item);
            return 1;
        }
        it.recNo = cnct.recNo;
        it.offset = cnct.offset;
        it.dataType = cnct.dataType;
        it.size = cnct.elemSize;
        it.dim1 = static_cast<std::uint16_t>(dim1 & 0xFFFF);
        it.dim2 = static_cast<std::uint16_t>(dim2 & 0xFFFF);
    }
    if (i != count) {
        LdTuSaveSrcErr(true, kSource, 742, "IEdalInstGetDItemList(instName=%s) error, i=%d, itemInfTblUsedNum=%d",
                       inst->instName, i, count);
        return 1;
    }

    int recCnt = 0;
    int recNos[TP_SAVEREC_MAX] = {};
    if (IEdalInstGetSaveRecNo(inst->instNo, &recCnt, recNos) != 0) {
        LdTuSaveSrcErr(false, kSource, 763, "IEdalInstGetSaveRecNo(instNo=0x%x) error", inst->instNo);
        return 1;
    }
    if (recCnt < 0 || recCnt > static_cast<int>(TP_SAVEREC_MAX)) {
        LdTuSaveSrcErr(false, kSource, 780, "IEdalInstGetSaveRecNo(instNo=0x%x) error, recNo=%d", inst->instNo,
                       recCnt);
        return 1;
    }
    inst->saveRecCnt = recCnt;
    std::memcpy(inst->saveRecNo, recNos, sizeof recNos);

    for (int k = 0; k < count; ++k) {
        ItemInf& it = inst->pItemInfTbl[k];
        for (int r = 0; r < recCnt; ++r)
            if (inst->saveRecNo[r] == it.recNo) it.saveFlag = 1;
    }
    return 0;
}

void LdTuSaveTpFreeTables(TpSaveInf* tp) {
    for (std::uint32_t i = 0; tp->pInstInfTbl && i < tp->instInfTblSize; ++i) {
        InstInf& inst = tp->pInstInfTbl[i];
        LdTuSaveTpFree(inst.pItemInfTbl, __LINE__);
        LdTuSaveTpFree(inst.pItemNames, __LINE__);
        inst.pItemInfTbl = nullptr;
        inst.pItemNames = nullptr;
        inst.itemInfTblSize = 0;
        inst.itemInfTblUsedNum = 0;
    }
    LdTuSaveTpFree(tp->pInstInfTbl, __LINE__);
    tp->pInstInfTbl = nullptr;
    tp->instInfTblSize = 0;
    tp->instInfTblUsedNum = 0;
}
