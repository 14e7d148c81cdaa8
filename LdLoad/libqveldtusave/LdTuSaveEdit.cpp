// Edit file update and element search.
#include "LdTuSaveEdit.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <optional>
#include <set>

#include "LdTuSaveCtrl.h"
#include "LdTuSaveEditFmt.h"
#include "LdTuSaveHold.h"
#include "LdTuSaveImage.h"
#include "LdTuSaveIds.h"
#include "libqvecommon.h"
#include "libqverxgen.h"
#include "port.h"
#include "tusave_bytes.h"

using namespace LdTuSaveIds;
using namespace LdTuSaveEdf;

namespace {

// Sign of element i's name compared with name, as strcmp compares (unsigned bytes).
int ElemCompare(const QVEElemList& list, int i, const char* name) {
    return std::strcmp(list.NameAt(static_cast<std::size_t>(i)), name);
}

std::uint32_t ElemFound(const QVEElemList& list, int i, _QVEElemTbl* out) {
    *out = list[static_cast<std::size_t>(i)];
    return 0;
}

}  // namespace

// Both ends of the range are judged in every pass, the upper end first; a match at either
// end ends the search. An end that stays keeps its comparison, so a pass compares one name.
std::uint32_t ElemSearch(const char* name, const QVEElemList& list, _QVEElemTbl* out) {
    if (!name) return 1;
    if (list.empty()) return TUSAVE_E_NOELEM;
    int lo = 0;
    int hi = static_cast<int>(list.size()) - 1;
    int cmpHi = ElemCompare(list, hi, name);
    int cmpLo = ElemCompare(list, lo, name);
    for (;;) {
        if (cmpHi > 0) {
            if (cmpLo == 0) return ElemFound(list, lo, out);
            if (cmpLo > 0 || hi - lo <= 1) return TUSAVE_E_NOELEM;
            const int mid = (lo + hi) / 2;
            const int cmpMid = ElemCompare(list, mid, name);
            if (cmpMid == 0) return ElemFound(list, mid, out);
            if (cmpMid > 0) {
                hi = mid;
                cmpHi = cmpMid;
            } else {
                lo = mid;
                cmpLo = cmpMid;
            }
        } else if (cmpHi == 0) {
            return ElemFound(list, hi, out);
        } else {
            if (cmpLo < 0) return TUSAVE_E_NOELEM;
            if (cmpLo == 0) return ElemFound(list, lo, out);
            LdTuSaveMsgf("ElemSearch:invalid case %s", name);
            return 1;
        }
    }
}

std::string LdTuSaveElemName(std::uint32_t number) {
    char digits[16];
    const auto r = std::to_chars(digits, digits + sizeof digits, number);
    const auto n = static_cast<std::size_t>(r.ptr - digits);
    std::string name = "%BL";
    if (n < 4) name.append(4 - n, '0');
    name.append(digits, n);
    return name;
}

namespace {

constexpr const char* kSource = "LdTuSaveEdit";
constexpr std::size_t kLocationBuf = 128;
constexpr std::uint32_t kMaxLocation = 255;   // the path service takes an 8-bit location

// The file name of path without folder and extension.
std::string LdTuSaveBareName(const std::string& path) {
    const std::size_t slash = path.find_last_of('/');
    std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    const std::size_t dot = name.find_last_of('.');
    if (dot != std::string::npos) name.resize(dot);
    return name;
}

// The location number: the decimal digits from the third character of the location text on.
// Texts are cut at 127 characters as their buffer holds; nullopt above 255.
std::optional<std::uint32_t> LdTuSaveLocationNo(const std::string& location) {
    char szLoc[kLocationBuf] = {};
    std::strncpy(szLoc, location.c_str(), kLocationBuf - 1);
    std::uint32_t n = 0;
    for (const char* p = std::strlen(szLoc) >= 2 ? szLoc + 2 : szLoc + std::strlen(szLoc); *p >= '0' && *p <= '9'; ++p) {
        n = n * 10 + static_cast<std::uint32_t>(*p - '0');
        if (n > kMaxLocation) return std::nullopt;
    }
    return n;
}

// Bytes of the file a replace handle (source) holds, as it was at the open.
bool LdTuSaveReadTargetAt(void* source, std::uint64_t offset, std::uint8_t* dst, std::size_t len) {
    DWORD dwRead = 0;
    return PortReadTarget(static_cast<HANDLE>(source), dst, static_cast<DWORD>(len), &dwRead, offset) && dwRead == len;
}

// Opens the station's edit file for the step (its lock held until it is written back or given
// up) and takes in what the step needs of it.
bool LdTuSaveOpenEditFile(LdTuSaveCtrlInf* inf, const std::string& path, LdTuSaveFile& file) {
    if (file.Open(path, GENERIC_READ | GENERIC_WRITE, 0, FILE_FLAG_SEQUENTIAL_SCAN | PORT_FLAG_REPLACE_WHOLE) != 0) {
        LdTuSaveMsgPut(LDTUSAVE_MSG_ERR, IDS_STNEDIT_OPEN);
        return false;
    }
    const DWORD dwSize = PortTargetSize(file.get());
    if (dwSize == INVALID_FILE_SIZE || !inf->stnEdit.Load(dwSize, LdTuSaveReadTargetAt, file.get())) {
        LdTuSaveMsgPut(LDTUSAVE_MSG_ERR, IDS_STNEDIT_READ);
        return false;
    }
    return true;
}

// Writes the station's edit file back, old-or-new: its old bytes a piece at a time, with the
// UAIDs the step set.
bool LdTuSaveWriteEditFile(const LdTuSaveCtrlInf* inf, LdTuSaveFile& file) {
    std::vector<std::uint8_t> piece(std::min<std::uint64_t>(inf->stnEdit.Size(), 64 * 1024));
    for (std::uint64_t at = 0; at < inf->stnEdit.Size(); at += piece.size()) {
        const auto len = static_cast<std::size_t>(std::min<std::uint64_t>(piece.size(), inf->stnEdit.Size() - at));
        if (!LdTuSaveReadTargetAt(file.get(), at, piece.data(), len)) {
            LdTuSaveMsgPut(LDTUSAVE_MSG_ERR, IDS_STNEDIT_READ);
            return false;
        }
        inf->stnEdit.Apply({piece.data(), len}, at);
        DWORD dwDone = 0;
        if (!WriteFile(file.get(), piece.data(), static_cast<DWORD>(len), &dwDone, nullptr) || dwDone != len) {
            LdTuSaveMsgPut(LDTUSAVE_MSG_ERR, IDS_STNEDIT_WRITE);
            return false;   // given up: the file keeps its old bytes
        }
    }
    if (file.Close() != 0) {
        LdTuSaveMsgPut(LDTUSAVE_MSG_ERR, IDS_STNEDIT_CLOSE);
        return false;
    }
    return true;
}

}  // namespace

namespace {

// LdTuSavesWorkCopyPath into out (its buffer kept for the next).
void LdTuSavesWorkCopyPathTo(const std::string& path, std::string& out) {
    const std::size_t slash = path.find_last_of('/');
    const std::size_t dot = path.find_last_of('.');
    const bool ext = dot != std::string::npos && (slash == std::string::npos || dot > slash);
    out.assign(path, 0, ext ? dot : path.size()).append(".wkf");
}

}  // namespace

std::string LdTuSavesWorkCopyPath(const std::string& path) {
    std::string work;
    LdTuSavesWorkCopyPathTo(path, work);
    return work;
}

std::uint32_t LdTuSavesGetBlockFilePath(LdTuSaveCtrlInf* inf, const LdTuSaveRecord* pEntry, std::string& strPath) {
    const bool child = LdTuSaveImg::IsChildBlock(pEntry->blkCode);
    const std::string elemName = LdTuSaveElemName(child ? pEntry->oyaBlockNo : pEntry->blockNo);
    _QVEElemTbl elem;
    if (std::uint32_t dwRtn = ElemSearch(elemName.c_str(), inf->elemList, &elem)) {
        LdTuSaveErrName(IDS_ELEM_NOTFOUND, elemName.c_str());
        return dwRtn;
    }
    const char* fileName = inf->elemList.Text(elem.strFileName);
    auto loc = LdTuSaveLocationNo(inf->elemList.Text(elem.strLocation));
    if (!loc) {
        LdTuSaveErrName(IDS_EDIT_PATH, fileName);
        return TUSAVE_E_EDIT;
    }
    if (std::uint32_t dwRtn = inf->filePath.GetFCSBlockPath(inf->strStation.c_str(), static_cast<std::uint8_t>(*loc),
                                                            fileName, strPath)) {
        LdTuSaveErrName(IDS_EDIT_PATH, fileName);
        return dwRtn;
    }
    return 0;
}

namespace {

struct LdTuSavesBlockUaid {
    std::int16_t blockNo;
    std::uint16_t uaid;
};

// The block's number and UAID from the image into *out; left empty when its instance has no
// "UAID" item. 0, or the failure code after its line.
std::uint32_t LdTuSavesGetUaid(LdTuSaveCtrlInf* inf, const LdTuSavesRootTbl* pRootTbl, const LdTuSaveRecord* pEntry,
                               std::optional<LdTuSavesBlockUaid>* out) {
    out->reset();
    const LdTuSaveImage img = inf->pDbImage.View();
    std::uint8_t* pHdr = nullptr;
    if (!LdTuSavesGetDBBlockAdrs(img, pRootTbl, pEntry->blockNo, &pHdr)) {
        LdTuSaveMsgPut(LDTUSAVE_MSG_ERR, IDS_EDIT_NOBLOCK_IMAGE);
        return TUSAVE_E_EDIT;
    }
    const auto hdr = img.OffsetOf(pHdr);   // the look-up proved the header's fixed part
    const std::int16_t blockNo = hdr ? img.I16(*hdr + LdTuSaveImg::kBlkHdrBlockNo).value_or(0) : 0;
    const std::uint16_t code = hdr ? img.U16(*hdr + LdTuSaveImg::kBlkHdrBlockCode).value_or(0) : 0;
    auto known = inf->uaidItems.find(code);
    if (known == inf->uaidItems.end()) {
        // An instance without a name is not remembered: every block of it has its line.
        char szName[IEDAL_INSTNAME_SIZE + 1] = {};
        if (IEdalInstGetInstName(code, szName) != 0) {
            LdTuSaveMsgPut(LDTUSAVE_MSG_ERR, IDS_NO_INSTNAME);
            return TUSAVE_E_EDIT;
        }
        szName[8] = '\0';
        IEdalItemCnctS c{};
        std::optional<LdTuSaveUaidItem> item;
        if (IEdalInstGetDItemCnctInf(szName, "UAID", &c) == 0) item = LdTuSaveUaidItem{c.recNo, c.offset, c.elemSize};
        known = inf->uaidItems.emplace(code, item).first;
    }
    if (!known->second) return 0;
    const LdTuSaveUaidItem& cnct = *known->second;
    if (cnct.elemSize != 2) {
        LdTuSaveMsgPut(LDTUSAVE_MSG_ERR, IDS_UAID_SIZE);
        return TUSAVE_E_EDIT;
    }
    std::uint8_t* pRec = nullptr;
    std::uint32_t dwRecSize = 0;
    if (!LdTuSavesGetDBRecOffset(img, pRootTbl, pHdr, cnct.recNo, &pRec, &dwRecSize)) {
        LdTuSaveMsgPut(LDTUSAVE_MSG_ERR, IDS_EDIT_NOBLOCK_IMAGE);
        return TUSAVE_E_EDIT;
    }
    const auto rec = img.OffsetOf(pRec);
    const auto uaid = rec ? img.U16(*rec + cnct.offset) : std::nullopt;
    if (!tb::in_range(dwRecSize, cnct.offset, cnct.elemSize) || !uaid) {
        LdTuSaveMsgPut(LDTUSAVE_MSG_ERR, IDS_UAID_OUTSIDE);
        return TUSAVE_E_EDIT;
    }
    *out = LdTuSavesBlockUaid{blockNo, *uaid};
    return 0;
}

std::uint32_t LdTuSavesSetUaidInHTLT(LdTuSaveCtrlInf* inf, const LdTuSavesRootTbl* pRootTbl,
                                     const LdTuSaveRecord* pEntry, const char* path, LdTuSaveEditFile* hFile) {
    std::optional<LdTuSavesBlockUaid> u;
    if (std::uint32_t dwRtn = LdTuSavesGetUaid(inf, pRootTbl, pEntry, &u)) return dwRtn;
    return u ? LdTuSavesPutUaidInHTLT(path, hFile, u->uaid) : 0;
}

// The entry's patches of one block file; any failure leaves the file as the entry found it.
std::uint32_t LdTuSavesPatchBlockFile(LdTuSaveCtrlInf* inf, const LdTuSavesRootTbl* pRootTbl,
                                      const LdTuSaveRecord* pEntry, const char* path, LdTuSaveEditFile* hFile) {
    std::uint32_t nStart = 0, nEnd = 0, nCnt = 0;
    LdTuSavesRecDesc desc[kMaxDesc];
    if (std::uint32_t dwRtn = LdTuSavesGetBlockOffset(path, hFile, static_cast<std::int16_t>(pEntry->blockNo),
                                                      pEntry->blkCode, &nStart, &nEnd, &nCnt, desc))
        return dwRtn;
    const LdTuSaveImage img = inf->pDbImage.View();
    std::uint8_t* pHdr = nullptr;
    if (!LdTuSavesGetDBBlockAdrs(img, pRootTbl, pEntry->blockNo, &pHdr)) {
        LdTuSaveMsgPut(LDTUSAVE_MSG_ERR, IDS_EDIT_NOBLOCK_IMAGE);
        return TUSAVE_E_EDIT;
    }
    const std::uint32_t nRecs = std::min<std::uint32_t>(pEntry->recCnt, IEDAL_MAX_SAVE_REC);
    for (std::uint32_t i = 0; i < nRecs; ++i) {
        const std::uint32_t nRecNo = pEntry->recNo[i];
        std::uint32_t nOffset = 0;
        if (!LdTuSavesGetRecOffset(path, hFile, nStart, nEnd, nCnt, desc, nRecNo, &nOffset)) {
            LdTuSaveErrName(IDS_EDIT_NORECORD, path);
            return TUSAVE_E_EDIT;
        }
        std::uint8_t* pRec = nullptr;
        std::uint32_t dwRecSize = 0;
        if (!LdTuSavesGetDBRecOffset(img, pRootTbl, pHdr, nRecNo, &pRec, &dwRecSize)) {
            LdTuSaveMsgPut(LDTUSAVE_MSG_ERR, IDS_EDIT_NOBLOCK_IMAGE);
            return TUSAVE_E_EDIT;
        }
        // A record of another size than the file's would spill into the next record.
        if (dwRecSize != desc[nRecNo - 1].size) {
            LdTuSaveMsgf("ERR:LdTuSavesWriteRecord:RecSize differs. BlockNum=%d, RecNum=%d, DBRecSize=%d, FileRecSize=%d",
                         static_cast<int>(pEntry->blockNo), static_cast<int>(nRecNo), static_cast<int>(dwRecSize),
                         static_cast<int>(desc[nRecNo - 1].size));
            return TUSAVE_E_EDIT;
        }
        if (std::uint32_t dwRtn = LdTuSavesWriteRecord(path, hFile, pRec, dwRecSize, nOffset)) return dwRtn;
    }
    if (std::uint32_t dwRtn = LdTuSavesSetUaidInHTLT(inf, pRootTbl, pEntry, path, hFile)) return dwRtn;
    if (pEntry->recCnt >= 1 && !LdTuSavesSetCtrlFlagInTAGI(hFile, path)) {
        LdTuSaveErrText("LdTuSavesSetCtrlFlagInTAGI ", IDS_EDIT_WRITE, "%s", "");
        return TUSAVE_E_EDIT;
    }
    return 0;
}

}  // namespace

std::uint32_t LdTuSavesSetUaidInBL(LdTuSaveCtrlInf* inf, const LdTuSavesRootTbl* pRootTbl,
                                   const LdTuSaveRecord* pEntry) {
    std::optional<LdTuSavesBlockUaid> u;
    if (std::uint32_t dwRtn = LdTuSavesGetUaid(inf, pRootTbl, pEntry, &u)) return dwRtn;
    if (!u) return 0;
    return inf->stnEdit.PutUaidInBL(u->blockNo, u->uaid);
}

std::uint32_t LdTuSavesUpdateBlockFile(LdTuSaveCtrlInf* inf, const LdTuSavesRootTbl* pRootTbl,
                                       const LdTuSaveRecord* pEntry, const std::string& strPath,
                                       LdTuSaveEditFiles* files, bool workCopy) {
    // A UAID not set in the station's edit file has its own line; the block's file is updated all the same.
    static_cast<void>(LdTuSavesSetUaidInBL(inf, pRootTbl, pEntry));
    bool notOpened = false, readFailed = false;
    LdTuSaveEditFile* hFile = files->Get(strPath, workCopy, &notOpened, &readFailed);
    if (notOpened) {
        LdTuSaveMsgText(LDTUSAVE_MSG_WRN, IDS_EDIT_MISSING, " %s", LdTuSaveBareName(strPath).c_str());
        return 0;
    }
    if (!hFile) return TUSAVE_E_SEEKREAD;
    const std::uint32_t dwRtn = LdTuSavesPatchBlockFile(inf, pRootTbl, pEntry, strPath.c_str(), hFile);
    if (dwRtn == 0) hFile->Commit();
    else hFile->Rollback();
    return dwRtn;
}

std::uint32_t LdTuSavesUpdateAnMsgFile(LdTuSaveCtrlInf* inf, const LdTuSavesRootTbl* pRootTbl,
                                       LdTuSaveEditFiles* files) {
    std::uint8_t stnNo = 0;
    inf->filePath.GetStnNo(inf->strStation.c_str(), stnNo);
    std::string strPath;
    if (std::uint32_t dwRtn = inf->filePath.GetPath(inf->strStation.c_str(), stnNo, 0, 0, "FCANM", nullptr, strPath)) {
        LdTuSaveMsgText(LDTUSAVE_MSG_ERR, IDS_EDIT_PATH, ":AN");
        return dwRtn;
    }
    bool notOpened = false, readFailed = false;
    LdTuSaveEditFile* hFile = files->Get(strPath, false, &notOpened, &readFailed);
    if (notOpened) {
        LdTuSaveMsgText(LDTUSAVE_MSG_WRN, IDS_EDIT_MISSING, " %s", strPath.c_str());
        return 0;
    }
    if (!hFile) return TUSAVE_E_SEEKREAD;
    const char* path = strPath.c_str();
    // The count as stored: unsigned, as far as the image's UAID array was checked.
    const std::uint32_t nAnMsgCnt = static_cast<std::uint16_t>(pRootTbl->nAnMsgCnt);
    auto fail = [hFile](std::uint32_t dwRtn) {
        hFile->Rollback();
        return dwRtn;
    };
    std::uint8_t header[kHeaderSize];
    if (!hFile->Seek(0)) {
        LdTuSavesSeekErr(path);
        return fail(TUSAVE_E_SEEKREAD);
    }
    if (!hFile->Read(header, sizeof header)) {
        LdTuSavesReadErr(path);
        return fail(TUSAVE_E_SEEKREAD);
    }
    auto htlt = FindInside(header, "HTLT", Scope::kAll, hFile->Size(), kTagRecSize);
    auto usap = FindInside(header, "USAP", Scope::kAll, hFile->Size(), kUsapUnit);
    if (!htlt || !usap) {
        LdTuSaveMsgPut(LDTUSAVE_MSG_ERR, IDS_EDIT_NOSECTION);
        return fail(TUSAVE_E_EDIT);
    }
    const std::uint8_t* pUaid = pRootTbl->pAnUaid;
    const std::uint32_t n = std::min(htlt->count, nAnMsgCnt);
    if (!hFile->Seek(static_cast<std::uint64_t>(htlt->offset) + kTagRecUaid)) {
        LdTuSavesSeekErr(path);
        return fail(TUSAVE_E_SEEKREAD);
    }
    for (std::uint32_t k = 0; k < n; ++k) {
        if (!hFile->Write(pUaid + 2 * static_cast<std::size_t>(k), 2)) {
            LdTuSavesWriteErr(path);
            return fail(TUSAVE_E_WRITE);
        }
        if (k + 1 < n && !hFile->SeekCur(kTagRecSize - 2)) {
            LdTuSavesSeekErr(path);
            return fail(TUSAVE_E_SEEKREAD);
        }
    }
    const std::uint32_t m = std::min(usap->count, nAnMsgCnt);
    if (!hFile->Seek(usap->offset)) {
        LdTuSavesSeekErr(path);
        return fail(TUSAVE_E_SEEKREAD);
    }
    if (!hFile->Write(pUaid, 2 * static_cast<std::size_t>(m))) {
        LdTuSavesWriteErr(path);
        return fail(TUSAVE_E_WRITE);
    }
    hFile->Commit();
    // The AN message file is replaced now: a later failure of a block does not undo it.
    if (std::uint32_t dwRtn = files->Flush()) return dwRtn;

    if (!inf->stnEdit.PutUaidsInAN(pUaid, nAnMsgCnt)) {
        LdTuSaveMsgPut(LDTUSAVE_MSG_ERR, IDS_STNEDIT_NOSECTION);
        return TUSAVE_E_EDIT;
    }
    return 0;
}

namespace {

// Which block files have a working copy. A folder's "*.wkf" names are listed the first time
// the step reaches it, and a copy is there when its name is listed: one listing per drawing
// instead of a status test per block file, each of which walked the whole path. In a folder
// that comes back after another, or whose listing failed, each copy gets its status test, so
// that one folder's names at most are held.
class LdTuSaveWorkCopies {
public:
    bool There(const std::string& work) {
        const std::size_t slash = work.find_last_of('/');
        const std::string_view path(work);
        const std::string_view folder = slash == std::string::npos ? "." : path.substr(0, slash);
        if (folder != folder_) {
            folder_ = folder;
            names_.clear();
            listed_ = seen_.insert(folder_).second && List();
        }
        if (listed_) return std::binary_search(names_.begin(), names_.end(), path.substr(slash + 1));
        struct _stat st;
        return _stat(work.c_str(), &st) == 0;
    }

private:
    // The search hands the names out sorted; none found is a listing too.
    bool List() {
        LdTuSaveFind find;
        WIN32_FIND_DATAA data;
        if (!find.First(folder_ + "/*.wkf", &data)) return GetLastError() == ENOENT;
        do names_.emplace_back(data.cFileName);
        while (find.Next(&data));
        return GetLastError() == ENOENT && find.Close();
    }

    std::string folder_;                // the folder of the last question
    std::vector<std::string> names_;    // its working copies' names, when listed_
    bool listed_ = false;
    std::set<std::string, std::less<>> seen_;   // the folders met so far
};

// Every saved block's records go into its edit file and working copy, then the station's edit
// file. An edit file is opened for reading and writing at its first use, so that one that
// cannot be written (read-only, in a read-only folder) is passed over with its warning before
// anything of it changes. The files are written back a group at a time in first-use order, and
// a file comes back into a group only from the entry just before, so that the entries of a
// group follow each other file by file.
//
// What a failure leaves, entry by entry (the failing entry is the first whose block file could
// not be updated, at once or when its group was written back):
//   - the AN message file: new (replaced before the first entry);
//   - each entry before the failing one: its block file new; its working copy new, or old when
//     the copy alone could not be written (its line is put out and the step goes on);
//   - the failing entry and every entry after it: block files and working copies old (the first
//     edit file of a group that cannot be replaced cancels the replacement of the files after it);
//   - the station's edit file "FCLT1": old;
//   - a file passed over with its warning (it could not be opened for writing): old.
// A file of several blocks holds those of the entries before the failing one new, the others
// old. Only a failure of the file system's sync is coarser: before the renames it leaves the
// whole group old, after them new but unconfirmed; the step fails either way.
std::uint32_t LdTuSaveEditStep(LdTuSaveCtrlInf* inf, LdTuSaveRecordTbl* saveRecordTbl) {
    LdTuSaveInstDefs instDefs;
    if (!instDefs.Open(inf->strProject.c_str(), inf->strStation.c_str(), inf->projectKind)) {
        LdTuSaveSrcErr(false, kSource, 206, "IEdalInstOpen() error");
        return TUSAVE_E_EDIT;
    }
    std::string strEditPath;
    if (inf->filePath.GetFCSFilePath(inf->strStation.c_str(), "FCLT1", strEditPath) != 0) {
        LdTuSaveMsgPut(LDTUSAVE_MSG_ERR, IDS_STNEDIT_PATH);
        return TUSAVE_E_EDIT;
    }
    LdTuSaveFile editFile;
    if (!LdTuSaveOpenEditFile(inf, strEditPath, editFile)) return TUSAVE_E_EDIT;
    inf->uaidItems.clear();   // what the definitions opened above say
    LdTuSavesRootTbl rootTbl;
    if (!LdTuSavesGetStnRootTblAdrs(inf->pDbImage.View(), &rootTbl)) {
        LdTuSaveMsgPut(LDTUSAVE_MSG_ERR, IDS_EDIT_NOBLOCK_IMAGE);
        return TUSAVE_E_EDIT;
    }
    LdTuSaveEditFiles files;
    if (LdTuSavesUpdateAnMsgFile(inf, &rootTbl, &files) != 0) return TUSAVE_E_EDIT;

    std::uint32_t dwRtn = 0;
    LdTuSaveWorkCopies workCopies;
    std::string strPath, strWork;   // the entry's files (their buffers kept from entry to entry)
    for (const LdTuSaveRecord& saved : *saveRecordTbl) {
        const LdTuSaveRecord entry = saved;
        if (LdTuSavesGetBlockFilePath(inf, &entry, strPath) != 0) {
            dwRtn = TUSAVE_E_EDIT;
            break;
        }
        LdTuSavesWorkCopyPathTo(strPath, strWork);
        if ((files.HeldApart(strPath) || files.HeldApart(strWork)) && files.Flush() != 0) {
            dwRtn = TUSAVE_E_EDIT;
            break;
        }
        // Asked before the block file is opened: the folder's listing then also takes away its
        // stale temporaries, before the block file's own is made.
        const bool work = files.Held(strWork) || workCopies.There(strWork);
        files.BeginEntry();
        if (std::uint32_t nRtn = LdTuSavesUpdateBlockFile(inf, &rootTbl, &entry, strPath, &files)) {
            if (nRtn == TUSAVE_E_NOBLOCK)
                LdTuSaveMsgText(LDTUSAVE_MSG_ERR, IDS_EDIT_NOBLOCK, "%s u16BlockNum=%d", strPath.c_str(),
                                static_cast<int>(entry.blockNo));
            dwRtn = TUSAVE_E_EDIT;
            break;
        }
        // A working copy held already is there. One that cannot be updated has its own line and
        // does not fail the step.
        if (work)
            static_cast<void>(LdTuSavesUpdateBlockFile(inf, &rootTbl, &entry, strWork, &files, true));
        if (files.Full() && files.Flush() != 0) {
            dwRtn = TUSAVE_E_EDIT;
            break;
        }
    }
    if (files.Flush() != 0) dwRtn = TUSAVE_E_EDIT;
    if (dwRtn != 0) return dwRtn;
    if (!LdTuSaveWriteEditFile(inf, editFile)) return TUSAVE_E_EDIT;
    return 0;
}

}  // namespace

std::uint32_t LdTuSaveCtrlUpdateEditFile(LdTuSaveCtrlInf* inf, LdTuSaveRecordTbl* saveRecordTbl) {
    const std::uint32_t dwRtn = LdTuSaveEditStep(inf, saveRecordTbl);
    inf->stnEdit.Reset();   // the station's edit file is held only while the step runs
    return dwRtn;
}
