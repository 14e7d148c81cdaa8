// Station database image: look-ups of the root tables, blocks and records, and the load and
// store of the image.
#include "LdTuSaveDBRead.h"

#include "LdTuSaveCtrl.h"
#include "LdTuSaveHold.h"
#include "LdTuSaveIds.h"
#include "LdTuSaveImage.h"
#include "libqvecommon.h"
#include "port.h"

#include <cstdio>
#include <optional>
#include <string>

using namespace LdTuSaveIds;

using namespace LdTuSaveImg;

namespace {

constexpr const char* kSource = "LdTuSaveDBRead";

// Resource texts of the load and store lines.

// Reads the whole of an open file into *ppBuf (allocated here, size *pdwSize). Each failure
// has its own line, given by the caller; on a read failure the buffer is released again.
struct LdTuSaveReadLines {
    void (*sizeErr)(const std::string& path, DWORD dwRtn);
    void (*readErr)(const std::string& path, DWORD dwRtn);
};

void LdTuSaveNoMemory(DWORD dwSize) {
    LdTuSaveMsgText(LDTUSAVE_MSG_ERR, IDS_NOMEMORY, " dwSize = %d", static_cast<int>(dwSize));
}

bool LdTuSaveReadWhole(LdTuSaveFile& file, const std::string& path, const LdTuSaveReadLines& lines,
                       LdTuSaveMem* pBuf, DWORD* pdwSize) {
    DWORD dwSize = GetFileSize(file.get(), nullptr);
    if (dwSize == INVALID_FILE_SIZE) {
        lines.sizeErr(path, GetLastError());
        return false;
    }
    LdTuSaveMem buf(dwSize, kSource, __LINE__);
    if (!buf) {
        LdTuSaveNoMemory(dwSize);
        return false;
    }
    DWORD dwRead = 0;
    BOOL ok = ReadFile(file.get(), buf.get(), dwSize, &dwRead, nullptr);
    if (!ok || dwRead != dwSize) {
        // A short read has no system error of its own.
        lines.readErr(path, ok ? 0 : GetLastError());
        return false;
    }
    *pBuf = std::move(buf);
    *pdwSize = dwSize;
    return true;
}

// A reference the upload or the tool backup follows from the station-wide I/O table: the
// field in that table, the bytes of the table it names that are read, and the field of that
// table that refers further on (0: none).
struct LdTuSaveIoRef {
    std::size_t field;
    std::size_t used;
    std::size_t inner;
};

constexpr LdTuSaveIoRef kIoRefs[] = {
    // I/O node tables per bus and I/O bus type: count at +0x0A, element table at +inner.
    {kStnIoNodeTbls + 0x00, 0x60, 0x5C}, {kStnIoNodeTbls + 0x04, 0x60, 0x5C},
    {kStnIoNodeTbls + 0x08, 0x58, 0x54}, {kStnIoNodeTbls + 0x0C, 0x58, 0x54},
    {kStnIoNodeTbls + 0x10, 0x64, 0x60}, {kStnIoNodeTbls + 0x14, 0x64, 0x60},
    {kStnIoTbl104, 0x08, 0x04},
    {kStnIoTbl10C, 0x08, 0x04},
    {kStnIoFolderNames, 16 * 8, 0},
    {kStnIoTbl248, 0x34, 0x30},
};
constexpr std::size_t kStnIoTblUsed = kStnIoTbl248 + 4;

// The first reference of the station-wide I/O table, or of a table it names, that is not 0 and
// does not lead to a table inside the image, by its path ("StnIoTbl", "StnIoTbl+0x104",
// "StnIoTbl+0x104+0x4"); nothing when all are sound. The readers take a reference they cannot
// follow for "none", which would leave operation marks or custom files unsaved without a word.
std::optional<std::string> LdTuSaveIoTblBroken(const LdTuSaveImage& img) {
    const LdTuSaveAnchor base = img.Base();
    auto broken = [&](std::size_t field, std::size_t len) {
        const std::uint32_t adrs = img.U32(field).value_or(0);
        return adrs != 0 && !img.Conv(base, adrs, len);
    };
    auto hex = [](std::size_t v) {
        char b[24];
        std::snprintf(b, sizeof b, "+%#zx", v);
        return std::string(b);
    };
    if (broken(kRootStnIoTbl, kStnIoTblUsed)) return std::string("StnIoTbl");
    auto io = img.Follow(base, kRootStnIoTbl, kStnIoTblUsed);
    if (!io) return std::nullopt;
    for (const LdTuSaveIoRef& r : kIoRefs) {
        if (broken(*io + r.field, r.used)) return "StnIoTbl" + hex(r.field);
        auto tbl = img.Follow(base, *io + r.field, r.used);
        if (tbl && r.inner && broken(*tbl + r.inner, 1)) return "StnIoTbl" + hex(r.field) + hex(r.inner);
    }
    return std::nullopt;
}

}  // namespace

// ---- look-ups --------------------------------------------------------------------------------

std::uint8_t* LdTuSavesConvDBAdrs(const LdTuSaveImage& img, std::uint32_t dwAdrs, std::uint32_t dwBaseAdrs,
                                  std::size_t len) {
    return img.At(img.ConvBase(dwBaseAdrs, dwAdrs, len));
}

int LdTuSavesGetStnRootTblAdrs(const LdTuSaveImage& img, LdTuSavesRootTbl* pRootTbl) {
    auto stnCnst = img.StnCnstTblAdrs();
    if (!stnCnst || *stnCnst == 0) {
        LdTuSaveMsgf("ERR:LdTuSavesGetStnRootTblAdrs:StnCnstTblAdrs is NULL");
        return 0;
    }
    const std::uint32_t dwBase = *stnCnst - kStnCnstTblDist;
    pRootTbl->dwBaseAdrs = dwBase;

    const LdTuSaveArea a = img.Area();
    for (auto [table, name] : {std::pair{&a.root, "AreaRootTbl1"}, {&a.blockPtr, "BlockPtrTbl"},
                               {&a.bldb, "BldbPtrTbl"}, {&a.cnst, "AreaCnstTbl"}}) {
        if (!*table) {
            LdTuSaveMsgf("ERR:LdTuSavesGetStnRootTblAdrs:%s is Invalid", name);
            return 0;
        }
    }
    pRootTbl->pBldbPtrTbl = img.At(a.bldb);
    pRootTbl->nMaxBlock = a.maxBlock;
    const auto cnst = a.cnst;
    const auto area = a.root;
    const std::uint16_t u16AnMsgCnt = img.U16(*cnst + kAreaCnstAnMsgCnt).value_or(0);
    pRootTbl->nAnMsgCnt = static_cast<std::int16_t>(u16AnMsgCnt);

    auto follow = [&](std::size_t field, std::size_t len) {
        return img.OffsetOf(LdTuSavesConvDBAdrs(img, img.U32(field).value_or(0), dwBase, len));
    };
    auto anMsg = follow(*area + kAreaRootAnMsgData, kAnMsgDataUsed);
    if (!anMsg) {
        LdTuSaveMsgf("ERR:LdTuSavesGetStnRootTblAdrs:pAnMsgData is Invalid");
        return 0;
    }
    // The array must hold the count read as unsigned: that covers every reader of it,
    // whether it takes the count as signed or as unsigned.
    auto uaid = follow(*anMsg + kAnMsgUaid, kUaidSize * u16AnMsgCnt);
    if (!uaid) {
        LdTuSaveMsgf("ERR:LdTuSavesGetStnRootTblAdrs:pAnUaid is Invalid");
        return 0;
    }
    pRootTbl->pAnUaid = img.At(uaid);
    return 1;
}

int LdTuSavesGetDBBlockAdrs(const LdTuSaveImage& img, const LdTuSavesRootTbl* pRootTbl, std::uint16_t u16BlockNum, std::uint8_t** ppBlockHeader) {
    if (static_cast<std::uint32_t>(u16BlockNum) > static_cast<std::uint32_t>(pRootTbl->nMaxBlock)) {
        LdTuSaveMsgf("ERR:LdTuSavesGetDBBlockAdrs:BlockNum Over MaxBlock BlockNum=%d, MaxBlock=%d",
                     static_cast<int>(u16BlockNum), static_cast<int>(pRootTbl->nMaxBlock));
        return 0;
    }
    std::uint8_t* hdr = nullptr;
    if (auto bldb = img.OffsetOf(pRootTbl->pBldbPtrTbl)) {
        if (auto entry = img.BldbEntry(*bldb, u16BlockNum))
            hdr = LdTuSavesConvDBAdrs(img, *img.U32(*entry), pRootTbl->dwBaseAdrs, kBlkHdrFixedSize);
    }
    *ppBlockHeader = hdr;
    if (!hdr) {
        LdTuSaveMsgf("ERR:LdTuSavesGetDBBlockAdrs BlockHedaer is Invalid BlockNum=%d", static_cast<int>(u16BlockNum));
        return 0;
    }
    return 1;
}

int LdTuSavesGetDBRecOffset(const LdTuSaveImage& img, const LdTuSavesRootTbl* pRootTbl, std::uint8_t* pBlockHeader,
                            std::uint32_t dwRecNo, std::uint8_t** ppDBRec, std::uint32_t* pdwRecSize) {
    std::uint8_t* rec = nullptr;
    std::uint32_t dwRecSize = 0;
    if (auto hdr = img.OffsetOf(pBlockHeader)) {
        const LdTuSaveRecPos r = img.Record(LdTuSaveAnchor{kStnRootTbl, pRootTbl->dwBaseAdrs}, *hdr, dwRecNo);
        if (r.off) {
            rec = img.At(*r.off);
            dwRecSize = *r.size;
        }
    }
    *ppDBRec = rec;
    if (!rec) {
        LdTuSaveMsgf("ERR:LdTuSavesGetDBRecOffset:DBRec Pointer is Invalid");
        return 0;
    }
    *pdwRecSize = dwRecSize;
    return 1;
}

bool LdTuSaveDBImageSound(const LdTuSaveImage& img, const std::string& path) {
    const auto dwImageSize = static_cast<std::uint32_t>(img.size());
    // Every field the save reads from the station constant table lies before this end.
    constexpr std::size_t kRootTablesEnd = kStnCnstTbl + kStnCnstOpeMk42 + 2;
    if (dwImageSize < kRootTablesEnd) {
        LdTuSaveMsgf("ERR:LdTuSaveCtrlDBRead:the file is too short for its root tables (%u bytes) FileName = %s",
                     dwImageSize, path.c_str());
        return false;
    }
    // A broken link would make the upload save nothing of the control area and call it done.
    for (LdTuSaveAreaForm form : {LdTuSaveAreaForm::kStation, LdTuSaveAreaForm::kAreaRootAdrs,
                                  LdTuSaveAreaForm::kAreaCnstDist}) {
        const LdTuSaveArea a = img.Area(1, form);
        if (a.failed != LdTuSaveLink::kNone) {
            LdTuSaveMsgf("ERR:LdTuSaveCtrlDBRead:%s is Invalid FileName = %s", LdTuSaveLinkName(a.failed),
                         path.c_str());
            return false;
        }
        // A file cut inside BldbPtrTbl holds fewer entries than MaxBlock: the blocks past the
        // cut would be left out of the upload and the TP file unseen.
        if (a.maxBlock > 0 && static_cast<std::size_t>(a.maxBlock) > a.bldbEntries) {
            LdTuSaveMsgf("ERR:LdTuSaveCtrlDBRead:BldbPtrTbl is Invalid MaxBlock = %d FileName = %s",
                         static_cast<int>(a.maxBlock), path.c_str());
            return false;
        }
    }
    // Each of the following would make the upload skip what it names and call the save done.
    const LdTuSaveArea area = img.Area(1);
    if (area.maxBlock < 0) {
        LdTuSaveMsgf("ERR:LdTuSaveCtrlDBRead:AreaCnstTbl MaxBlock is negative (%d) FileName = %s",
                     static_cast<int>(area.maxBlock), path.c_str());
        return false;
    }
    // Every block header BldbPtrTbl names (an entry of 0 is no block) lies in the file, in each
    // of the forms its references are converted in.
    for (LdTuSaveAreaForm form : {LdTuSaveAreaForm::kStation, LdTuSaveAreaForm::kAreaRootAdrs,
                                  LdTuSaveAreaForm::kAreaCnstDist}) {
        const LdTuSaveArea a = form == LdTuSaveAreaForm::kStation ? area : img.Area(1, form);
        for (auto blocks = img.Blocks(a); const auto block = blocks.Next();) {
            if (!block->hdr) {
                LdTuSaveMsgf("ERR:LdTuSaveCtrlDBRead:BldbPtrTbl block %u header is Invalid FileName = %s",
                             block->blockNo, path.c_str());
                return false;
            }
        }
    }
    if (const auto io = LdTuSaveIoTblBroken(img)) {
        LdTuSaveMsgf("ERR:LdTuSaveCtrlDBRead:%s is Invalid FileName = %s", io->c_str(), path.c_str());
        return false;
    }
    return true;
}

// ---- load and store ----------------------------------------------------------------------------

std::uint32_t LdTuSaveCtrlDBRead(LdTuSaveCtrlInf* inf) {
    {
        LdTuSaveFile file;
        if (std::uint32_t nRtn = file.Open(inf->strDbFilePath, GENERIC_READ, FILE_SHARE_READ, FILE_FLAG_SEQUENTIAL_SCAN)) {
            LdTuSaveMsgText(LDTUSAVE_MSG_ERR, IDS_DBOPEN, " FileName=%s, nRtn = %d", inf->strDbFilePath.c_str(),
                            static_cast<int>(nRtn));
            return TUSAVE_E_DBREAD;
        }
        static const LdTuSaveReadLines kDbLines = {
            [](const std::string&, DWORD dwRtn) {
                LdTuSaveMsgText(LDTUSAVE_MSG_ERR, IDS_DBSIZE, " dwRtn = %d", static_cast<int>(dwRtn));
            },
            [](const std::string&, DWORD dwRtn) {
                LdTuSaveMsgText(LDTUSAVE_MSG_ERR, IDS_DBREAD, " dwRtn = %d", static_cast<int>(dwRtn));
            },
        };
        LdTuSaveMem image;   // handed to the context once read, closed and found sound
        DWORD dwSize = 0;
        if (!LdTuSaveReadWhole(file, inf->strDbFilePath, kDbLines, &image, &dwSize)) return TUSAVE_E_DBREAD;
        if (std::uint32_t nRtn = file.Close()) {
            LdTuSaveMsgText(LDTUSAVE_MSG_ERR, IDS_FILE_CLOSE, " nRtn = %d", static_cast<int>(nRtn));
            return TUSAVE_E_DBREAD;
        }
        if (!LdTuSaveDBImageSound(LdTuSaveImage(image.get(), dwSize), inf->strDbFilePath)) return TUSAVE_E_DBREAD;
        inf->pDbImage.Take(std::move(image), dwSize);
    }

    LdTuSaveFile file;
    if (std::uint32_t nRtn = file.Open(inf->strUserInstPath, GENERIC_READ, FILE_SHARE_READ, FILE_FLAG_SEQUENTIAL_SCAN)) {
        LdTuSaveMsgf("ERR:QVEEngCreateFile() Error FileName=%s, nRtn = %d", inf->strUserInstPath.c_str(),
                     static_cast<int>(nRtn));
        return TUSAVE_E_DBREAD;
    }
    static const LdTuSaveReadLines kUserInstLines = {
        [](const std::string& path, DWORD dwRtn) {
            LdTuSaveMsgf("ERR:GetFileSize() FileName = %s, Error dwRtn = %d", path.c_str(), static_cast<int>(dwRtn));
        },
        [](const std::string& path, DWORD dwRtn) {
            LdTuSaveMsgf("ERR:ReadFile() Error FileName = %s dwRtn = %d", path.c_str(), static_cast<int>(dwRtn));
        },
    };
    LdTuSaveMem userInst;   // handed to the context once read and closed
    DWORD dwUserInstSize = 0;
    if (!LdTuSaveReadWhole(file, inf->strUserInstPath, kUserInstLines, &userInst, &dwUserInstSize))
        return TUSAVE_E_DBREAD;
    if (std::uint32_t nRtn = file.Close()) {
        LdTuSaveMsgf("ERR:QVEEngCloseFile() Error FileName = %s, nRtn = %d", inf->strUserInstPath.c_str(),
                     static_cast<int>(nRtn));
        return TUSAVE_E_DBREAD;
    }
    inf->pUserInst.Take(std::move(userInst), dwUserInstSize);
    return TUSAVE_OK;
}

std::uint32_t LdTuSaveCtrlDbWrite(LdTuSaveCtrlInf* inf) {
    // The new contents go to a temporary copy that replaces the file only when the whole
    // image was written and the close succeeded; any failure leaves the old file as it was.
    LdTuSaveFile file;
    if (std::uint32_t nRtn = file.Open(inf->strDbFilePath, GENERIC_WRITE, 0,
                                       FILE_FLAG_SEQUENTIAL_SCAN | PORT_FLAG_REPLACE_WHOLE)) {
        LdTuSaveMsgText(LDTUSAVE_MSG_ERR, IDS_DBWRITEOPEN, " FileName = %s, nRtn = %d", inf->strDbFilePath.c_str(),
                        static_cast<int>(nRtn));
        return TUSAVE_E_DBWRITE;
    }
    DWORD dwWritten = 0;
    const DWORD dwImageSize = static_cast<DWORD>(inf->pDbImage.size());
    BOOL ok = WriteFile(file.get(), inf->pDbImage.data(), dwImageSize, &dwWritten, nullptr);
    if (!ok || dwWritten != dwImageSize) {
        // A short write has no system error of its own.
        LdTuSaveMsgText(LDTUSAVE_MSG_ERR, IDS_DBWRITE, " dwRtn = %d", static_cast<int>(ok ? 0 : GetLastError()));
        return TUSAVE_E_DBWRITE;  // the close discards the partly written copy
    }
    if (std::uint32_t nRtn = file.Close()) {
        // Only a failed folder sync after the rename leaves the new file in place.
        LdTuSaveMsgText(LDTUSAVE_MSG_ERR, IDS_FILE_CLOSE, " nRtn = %d%s", static_cast<int>(nRtn),
                        nRtn == PORT_ERROR_NOT_CONFIRMED ? " (written, but not confirmed on disk)" : "");
        return TUSAVE_E_DBWRITE;
    }
    return TUSAVE_OK;
}
