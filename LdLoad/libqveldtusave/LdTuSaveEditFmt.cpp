// The sectioned engineering file: section look-up, the in-memory edit files of the step and
// the block and tag operations of the edit file update.
#include "LdTuSaveEditFmt.h"

#include <algorithm>
#include <cstring>

#include "LdTuSaveBlockCodes.h"
#include "LdTuSaveIds.h"
#include "LdTuSaveMsg.h"
#include "libqvecommon.h"
#include "tusave_results.h"
#include "port.h"
#include "tusave_bytes.h"

using namespace LdTuSaveIds;
using namespace LdTuSaveEdf;

namespace {

constexpr DWORD kRandomAccess = 0x10000000u;
// Files held and committed per group of syncs. A small group keeps the kernel's and the
// heap's working set of a group in the cache (a group of 256 made a 1000-block save 8 % slower
// on a RAM file system); each group costs two syncs.
constexpr std::size_t kCloseGroup = 64;

void LdTuSavesErrLine(std::uint32_t textId) { LdTuSaveMsgPut(LDTUSAVE_MSG_ERR, textId); }

// Reads the 512-byte header at the start of the file, with the seek and read lines.
std::uint32_t LdTuSavesReadHeader(const char* path, LdTuSaveEditFile* hFile, std::uint8_t* header) {
    if (!hFile->Seek(0)) {
        LdTuSavesSeekErr(path);
        return TUSAVE_E_SEEKREAD;
    }
    if (!hFile->Read(header, kHeaderSize)) {
        LdTuSavesReadErr(path);
        return TUSAVE_E_SEEKREAD;
    }
    return 0;
}

// Descriptors of the entry at start, whose head is head; the count is refused beyond the
// table of 32.
std::uint32_t LdTuSavesReadDesc(const char* path, LdTuSaveEditFile* hFile, const std::uint8_t (&head)[kBlkHeadSize],
                                std::uint32_t* pnCnt, LdTuSavesRecDesc* pDesc, std::uint64_t* pSum) {
    const std::uint32_t nCnt = static_cast<std::uint32_t>(head[kBlkCount1]) + head[kBlkCount2];
    if (nCnt > kMaxDesc) {
        LdTuSaveMsgf("ERR:LdTuSavesGetBlockOffset:RecTotalCnt is Over %d. RecTotalCnt=%d, BlockNum=%d, %s",
                     static_cast<int>(kMaxDesc), static_cast<int>(nCnt), static_cast<std::int16_t>(tb::field_u16<kBlkNo>(head)),
                     path);
        return TUSAVE_E_SEEKREAD;
    }
    std::uint8_t raw[kMaxDesc * kDescSize];
    if (!hFile->Read(raw, nCnt * kDescSize)) {
        LdTuSavesReadErr(path);
        return TUSAVE_E_SEEKREAD;
    }
    std::uint64_t sum = 0;
    for (std::uint32_t i = 0; i < nCnt; ++i) {
        pDesc[i].offset = tb::get_u32(raw, i * kDescSize).value_or(0);
        pDesc[i].size = tb::get_u32(raw, i * kDescSize + 4).value_or(0);
        sum += pDesc[i].size;
    }
    *pnCnt = nCnt;
    *pSum = sum;
    return 0;
}

}  // namespace

// ---- sections ----------------------------------------------------------------------------

namespace LdTuSaveEdf {

std::optional<Section> Find(std::span<const std::uint8_t> header, const char* tag, Scope scope) {
    if (header.size() < kHeaderSize) return std::nullopt;
    char want[kTagLen] = {};
    for (std::size_t i = 0; i < kTagLen && tag[i]; ++i) want[i] = tag[i];
    std::size_t n = kDirEntries;
    if (scope == Scope::kInUse) n = std::min<std::size_t>(tb::get_u32(header, kDirInUse).value_or(0), kDirEntries);
    for (std::size_t i = 0; i < n; ++i) {
        const std::size_t e = kDir + i * kDirEntrySize;
        if (std::memcmp(header.data() + e + kEntTag, want, kTagLen) != 0) continue;
        return Section{tb::get_u32(header, e + kEntOffset).value_or(0), tb::get_u32(header, e + kEntCount).value_or(0),
                       tb::get_u32(header, e + kEntUnit).value_or(0)};
    }
    return std::nullopt;
}

std::optional<Section> FindInside(std::span<const std::uint8_t> header, const char* tag, Scope scope,
                                  std::uint64_t fileSize, std::uint64_t recSize) {
    auto s = Find(header, tag, scope);
    if (!s) return std::nullopt;
    const std::uint64_t len = static_cast<std::uint64_t>(s->count) * recSize;
    if (s->offset > fileSize || len > fileSize - s->offset) return std::nullopt;
    return s;
}

}  // namespace LdTuSaveEdf

// ---- the in-memory edit file ---------------------------------------------------------------

bool LdTuSaveEditFile::Seek(std::uint64_t pos) {
    if (pos > bytes_.size()) return false;
    pos_ = pos;
    return true;
}

bool LdTuSaveEditFile::Read(void* dst, std::size_t len) {
    if (!tb::in_range(bytes_.size(), pos_, len)) return false;
    if (len) std::memcpy(dst, bytes_.data() + pos_, len);
    pos_ += len;
    return true;
}

bool LdTuSaveEditFile::Write(const void* src, std::size_t len) {
    if (!tb::in_range(bytes_.size(), pos_, len)) return false;
    if (len == 0) return true;   // changes nothing: the file need not be written back
    std::uint8_t* at = bytes_.data() + pos_;
    if (undo_.empty()) {
        // One entry's writes: a handful of records, a few hundred bytes together.
        undo_.reserve(8);
        undoBytes_.reserve(1024);
    }
    undo_.push_back({static_cast<std::size_t>(pos_), len});
    undoBytes_.insert(undoBytes_.end(), at, at + len);
    std::memcpy(at, src, len);
    pos_ += len;
    return true;
}

void LdTuSaveEditFile::Commit() {
    if (!undo_.empty()) changed_ = true;
    undo_ = {};
    undoBytes_ = {};
}

void LdTuSaveEditFile::Rollback() {
    std::size_t end = undoBytes_.size();
    for (auto it = undo_.rbegin(); it != undo_.rend(); ++it) {
        end -= it->len;
        std::memcpy(bytes_.data() + it->pos, undoBytes_.data() + end, it->len);
    }
    undo_ = {};
    undoBytes_ = {};
}

LdTuSaveEditFile* LdTuSaveEditFiles::Get(const std::string& path, bool workCopy, bool* notOpened, bool* readFailed) {
    *notOpened = false;
    *readFailed = false;
    if (auto it = index_.find(path); it != index_.end()) {
        files_[it->second]->lastEntry = entry_;
        return files_[it->second].get();
    }
    if (notOpened_.count(path)) {
        *notOpened = true;
        return nullptr;
    }
    // Opened for writing as well: a file that cannot be written is passed over now, before
    // anything of it (or of a later file) changes. The handle's temporary starts empty and is
    // what Flush writes whole; the bytes are read from the file itself, under the handle's lock.
    LdTuSaveFile file;
    if (file.Open(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, kRandomAccess | PORT_FLAG_REPLACE_WHOLE) != 0) {
        notOpened_[path] = true;
        *notOpened = true;
        return nullptr;
    }
    LdTuSaveEditBytes bytes;
    const DWORD dwSize = PortTargetSize(file.get());
    bool ok = dwSize != INVALID_FILE_SIZE;
    if (ok) {
        bytes.resize(dwSize);
        DWORD dwRead = 0;
        ok = PortReadTarget(file.get(), bytes.data(), dwSize, &dwRead) && dwRead == dwSize;
    }
    if (!ok) {
        LdTuSavesReadErr(path.c_str());
        *readFailed = true;   // the file is given up unchanged
        return nullptr;
    }
    files_.push_back(std::make_unique<LdTuSaveEditFile>(path, std::move(bytes), std::move(file), workCopy));
    index_.emplace(files_.back()->Path(), files_.size() - 1);
    files_.back()->lastEntry = entry_;
    return files_.back().get();
}

bool LdTuSaveEditFiles::HeldApart(const std::string& path) const {
    auto it = index_.find(path);
    return it != index_.end() && files_[it->second]->lastEntry != entry_;
}

std::uint32_t LdTuSaveEditFiles::Flush() {
    std::uint32_t dwRtn = 0;
    std::vector<HANDLE> handles;
    std::vector<BOOL> stop;             // an edit file: its failure keeps the files after it old
    std::vector<bool> committed;
    std::vector<LdTuSaveEditFile*> owners;
    bool stopped = false;
    for (const auto& f : files_) {
        HANDLE h = f->TakeHandle();
        if (!h) continue;
        bool commit = f->Changed() && !stopped;
        if (commit) {
            DWORD dwDone = 0;
            const auto dwSize = static_cast<DWORD>(f->Size());
            if (!WriteFile(h, f->Bytes().data(), dwSize, &dwDone, nullptr) || dwDone != dwSize) {
                LdTuSavesWriteErr(f->Path().c_str());
                commit = false;
                if (!f->WorkCopy()) {
                    dwRtn = TUSAVE_E_WRITE;
                    stopped = true;
                }
            }
        }
        if (!commit) PortAbandonFile(h);
        handles.push_back(h);
        stop.push_back(commit && !f->WorkCopy());
        committed.push_back(commit);
        owners.push_back(f.get());
    }
    std::vector<BOOL> closed(handles.size(), true);
    if (!handles.empty() &&
        !PortCloseFiles(handles.data(), static_cast<DWORD>(handles.size()), closed.data(), stop.data())) {
        // Files after the first edit file that failed were given up with it: no line of their own.
        for (std::size_t i = 0; i < handles.size(); ++i) {
            if (closed[i] || !committed[i]) continue;
            LdTuSaveErrName(IDS_EDIT_CLOSE, owners[i]->Path());
            if (stop[i]) {
                dwRtn = TUSAVE_E_WRITE;
                break;
            }
        }
    }
    index_.clear();
    files_.clear();
    return dwRtn;
}

bool LdTuSaveEditFiles::Full() const { return files_.size() >= kCloseGroup; }

// ---- lines ---------------------------------------------------------------------------------

void LdTuSavesSeekErr(const char* path) { LdTuSaveErrName(IDS_EDIT_SEEK, path); }
void LdTuSavesReadErr(const char* path) { LdTuSaveErrName(IDS_EDIT_READ, path); }
void LdTuSavesWriteErr(const char* path) { LdTuSaveErrName(IDS_EDIT_WRITE, path); }

// ---- block edit file -----------------------------------------------------------------------

// The block's entry is the first of the block area, or, for codes 6226 and 6227, reached
// by passing over entries at most 3 numbers below it.
std::uint32_t LdTuSavesGetBlockOffset(const char* path, LdTuSaveEditFile* hFile, std::int16_t nBlockNum,
                                      std::uint16_t u16BlockCode, std::uint32_t* pnBlockStart,
                                      std::uint32_t* pnBlockEnd, std::uint32_t* pnRecTotalCnt,
                                      LdTuSavesRecDesc* pRecDescTbl) {
    std::uint8_t header[kHeaderSize];
    if (std::uint32_t dwRtn = LdTuSavesReadHeader(path, hFile, header)) return dwRtn;
    constexpr std::size_t kArea = kDir + kBlockAreaEntry * kDirEntrySize;
    std::uint64_t nStart = tb::field_u32<kArea + kEntOffset>(header);
    const std::uint64_t nBtmOffset = nStart + static_cast<std::uint64_t>(tb::field_u32<kArea + kEntCount>(header)) *
                                                  tb::field_u32<kArea + kEntUnit>(header);
    // A block area outside the file holds no block.
    if (nBtmOffset > hFile->Size()) return TUSAVE_E_NOBLOCK;
    const bool child = LdTuSaveImg::IsChildBlock(u16BlockCode);
    for (;;) {
        std::uint8_t head[kBlkHeadSize];
        if (nStart >= nBtmOffset || kBlkHeadSize > nBtmOffset - nStart) {
            LdTuSaveErrName(IDS_EDIT_NORECORD, path);
            return TUSAVE_E_SEEKREAD;
        }
        if (!hFile->Seek(nStart)) {
            LdTuSavesSeekErr(path);
            return TUSAVE_E_SEEKREAD;
        }
        if (!hFile->Read(head, sizeof head)) {
            LdTuSavesReadErr(path);
            return TUSAVE_E_SEEKREAD;
        }
        const auto nNo = static_cast<std::int16_t>(tb::field_u16<kBlkNo>(head));
        std::uint32_t nCnt = 0;
        std::uint64_t nSum = 0;
        if (nNo == nBlockNum && tb::field_u16<kBlkCode>(head) == u16BlockCode) {
            if (std::uint32_t dwRtn = LdTuSavesReadDesc(path, hFile, head, &nCnt, pRecDescTbl, &nSum)) return dwRtn;
            const std::uint64_t nBlockEnd = nStart + nSum;
            if (nBlockEnd > nBtmOffset) {
                LdTuSaveMsgf("ERR:LdTuSavesGetBlockOffset nBlockEnd is over nBtmOffset, nBlockEnd=%lld, nBtmOffset=%lld",
                             static_cast<long long>(nBlockEnd), static_cast<long long>(nBtmOffset));
                return TUSAVE_E_SEEKREAD;
            }
            *pnBlockStart = static_cast<std::uint32_t>(nStart);
            *pnRecTotalCnt = nCnt;
            *pnBlockEnd = static_cast<std::uint32_t>(nBlockEnd);
            return 0;
        }
        if (!child || nNo < nBlockNum - kChildReach || nNo > nBlockNum) return TUSAVE_E_NOBLOCK;
        LdTuSavesRecDesc skip[kMaxDesc];
        if (std::uint32_t dwRtn = LdTuSavesReadDesc(path, hFile, head, &nCnt, skip, &nSum)) return dwRtn;
        // An entry of no size would be met again and again: it ends the walk like the bottom.
        nStart += nSum;
        if (nSum == 0 || nStart >= nBtmOffset) {
            LdTuSaveErrName(IDS_EDIT_NORECORD, path);
            return TUSAVE_E_SEEKREAD;
        }
    }
}

int LdTuSavesGetRecOffset(const char* /*path*/, LdTuSaveEditFile* /*hFile*/, std::uint32_t nBlockStart,
                          std::uint32_t nBlockEnd, std::uint32_t nRecTotalCnt, const LdTuSavesRecDesc* pRecDescTbl,
                          std::uint32_t nSaveRecNum, std::uint32_t* pnRecOffset) {
    if (nSaveRecNum > nRecTotalCnt || nSaveRecNum == 0) {
        LdTuSaveMsgf("ERR:LdTuSavesGetRecOffset:SaveRecNum is Over RecTotalCnt. SaveRecNum=%d, RecTotalCnt=%d",
                     static_cast<int>(nSaveRecNum), static_cast<int>(nRecTotalCnt));
        return 0;
    }
    const LdTuSavesRecDesc& d = pRecDescTbl[nSaveRecNum - 1];
    const std::uint64_t nOffset = static_cast<std::uint64_t>(nBlockStart) + d.offset;
    if (nOffset + d.size > nBlockEnd) {
        LdTuSaveMsgf("ERR:LdTuSavesGetRecOffset:RecOffset is Over BtmOffset. RecOffset=%lld, BtmOffset=%d",
                     static_cast<long long>(nOffset), static_cast<int>(nBlockEnd));
        return 0;
    }
    *pnRecOffset = static_cast<std::uint32_t>(nOffset);
    return 1;
}

std::uint32_t LdTuSavesWriteRecord(const char* path, LdTuSaveEditFile* hFile, const std::uint8_t* pData,
                                   std::uint32_t dwSize, std::uint32_t nOffset) {
    if (!hFile->Seek(nOffset)) {
        LdTuSavesSeekErr(path);
        return TUSAVE_E_SEEKREAD;
    }
    if (!hFile->Write(pData, dwSize)) {
        LdTuSavesWriteErr(path);
        return TUSAVE_E_WRITE;
    }
    return 0;
}

std::uint32_t LdTuSavesPutUaidInHTLT(const char* path, LdTuSaveEditFile* hFile, std::uint16_t u16Uaid) {
    std::uint8_t header[kHeaderSize];
    if (std::uint32_t dwRtn = LdTuSavesReadHeader(path, hFile, header)) return dwRtn;
    auto htlt = FindInside(header, "HTLT", Scope::kAll, hFile->Size(), kTagRecSize);
    if (!htlt || htlt->count == 0) {
        LdTuSavesErrLine(IDS_EDIT_NOSECTION);
        return TUSAVE_E_EDIT;
    }
    if (!hFile->Seek(static_cast<std::uint64_t>(htlt->offset) + kTagRecUaid)) {
        LdTuSavesSeekErr(path);
        return TUSAVE_E_SEEKREAD;
    }
    std::uint8_t b[2];
    tb::store_u16(b, u16Uaid);
    if (!hFile->Write(b, sizeof b)) {
        LdTuSavesWriteErr(path);
        return TUSAVE_E_WRITE;
    }
    return 0;
}

int LdTuSavesSetCtrlFlagInTAGI(LdTuSaveEditFile* hFile, const char* path) {
    std::uint8_t header[kHeaderSize];
    if (LdTuSavesReadHeader(path, hFile, header)) return 0;
    auto tagi = Find(header, "TAGI", Scope::kInUse);
    if (!tagi || tagi->offset > hFile->Size() || kTagiRecSize > hFile->Size() - tagi->offset) {
        LdTuSaveMsgf("ERR:Not Found TAGI Contents");
        return 0;
    }
    std::uint8_t rec[kTagiRecSize];
    if (!hFile->Seek(tagi->offset)) {
        LdTuSavesSeekErr(path);
        return 0;
    }
    if (!hFile->Read(rec, sizeof rec)) {
        LdTuSavesReadErr(path);
        return 0;
    }
    tb::store_u16(rec + kTagiCtrlFlag, kCtrlFlagSet);
    if (!hFile->Seek(tagi->offset)) {
        LdTuSavesSeekErr(path);
        return 0;
    }
    if (!hFile->Write(rec, sizeof rec)) {
        LdTuSavesWriteErr(path);
        return 0;
    }
    return 1;
}

bool LdTuSaveStnEdit::Load(std::uint64_t size, ReadAt read, void* source) {
    Reset();
    std::vector<std::uint8_t> header(static_cast<std::size_t>(std::min<std::uint64_t>(size, kHeaderSize)));
    if (!read(source, 0, header.data(), header.size())) return false;
    const auto bl = FindInside(header, "BL", Scope::kInUse, size, kTagRecSize);
    std::vector<std::uint32_t> blockRec;
    if (bl) {
        // The block numbers of the records, a piece of the section at a time, backwards, so
        // that the first of equal numbers wins.
        constexpr std::uint32_t kPiece = 512;   // records read at once
        std::vector<std::uint8_t> piece(kPiece * kTagRecSize);
        for (std::uint32_t end = bl->count; end > 0;) {
            const std::uint32_t first = end > kPiece ? end - kPiece : 0;
            const std::size_t len = static_cast<std::size_t>(end - first) * kTagRecSize;
            if (!read(source, bl->offset + static_cast<std::uint64_t>(first) * kTagRecSize, piece.data(), len))
                return false;
            for (std::uint32_t k = end; k-- > first;) {
                const std::uint16_t no = tb::load_u16(piece.data() + static_cast<std::size_t>(k - first) * kTagRecSize +
                                                      kTagRecBlockNo);
                if (no >= blockRec.size()) blockRec.resize(static_cast<std::size_t>(no) + 1, 0);
                blockRec[no] = k + 1;
            }
            end = first;
        }
    }
    size_ = size;
    bl_ = bl;
    an_ = FindInside(header, "AN", Scope::kInUse, size, kTagRecSize);
    blockRec_ = std::move(blockRec);
    blUaid_.assign(bl ? bl->count : 0, 0);
    return true;
}

bool LdTuSaveStnEdit::Load(std::span<const std::uint8_t> bytes) {
    return Load(bytes.size(), [](void* source, std::uint64_t offset, std::uint8_t* dst, std::size_t len) {
        const auto& b = *static_cast<std::span<const std::uint8_t>*>(source);
        if (!tb::in_range(b.size(), offset, len)) return false;
        if (len) std::memcpy(dst, b.data() + offset, len);
        return true;
    }, &bytes);
}

std::uint32_t LdTuSaveStnEdit::PutUaidInBL(std::int16_t nBlockNo, std::uint16_t u16Uaid) {
    if (!bl_) {
        LdTuSavesErrLine(IDS_STNEDIT_NOSECTION);
        return TUSAVE_E_EDIT;
    }
    if (nBlockNo >= 0 && static_cast<std::size_t>(nBlockNo) < blockRec_.size() && blockRec_[nBlockNo] != 0) {
        blUaid_[blockRec_[nBlockNo] - 1] = 0x10000u | u16Uaid;
        return 0;
    }
    LdTuSaveMsgText(LDTUSAVE_MSG_ERR, IDS_STNEDIT_NOBLOCK, ":blockNo=%#x", static_cast<int>(nBlockNo));
    return TUSAVE_E_EDIT;
}

bool LdTuSaveStnEdit::PutUaidsInAN(const std::uint8_t* pUaid, std::uint32_t count) {
    if (!an_) return false;
    const std::uint32_t n = std::min(an_->count, count);
    anUaids_.assign(pUaid, pUaid + 2 * static_cast<std::size_t>(n));
    return true;
}

void LdTuSaveStnEdit::Apply(std::span<std::uint8_t> bytes, std::uint64_t offset) const {
    // The part of the 2-byte field at pos (in the file) that lies in bytes.
    auto put = [&](std::uint64_t pos, const std::uint8_t* src) {
        for (std::uint64_t i = 0; i < 2; ++i)
            if (pos + i >= offset && pos + i - offset < bytes.size()) bytes[pos + i - offset] = src[i];
    };
    const std::uint64_t end = offset + bytes.size();
    // The records of s (of its first n) whose field may lie in bytes, [first, last): a record
    // more at the end, put() takes only what is inside.
    auto records = [&](const LdTuSaveEdf::Section& s, std::uint32_t n) {
        const std::uint64_t at = s.offset + kTagRecUaid;
        const std::uint64_t first = offset > at ? (offset - at) / kTagRecSize : 0;
        const std::uint64_t last = end > at ? std::min<std::uint64_t>(n, (end - at) / kTagRecSize + 1) : 0;
        return std::make_pair(first, last);
    };
    if (an_) {
        const auto [first, last] = records(*an_, static_cast<std::uint32_t>(anUaids_.size() / 2));
        for (std::uint64_t k = first; k < last; ++k)
            put(an_->offset + k * kTagRecSize + kTagRecUaid, anUaids_.data() + 2 * k);
    }
    if (bl_) {
        const auto [first, last] = records(*bl_, static_cast<std::uint32_t>(blUaid_.size()));
        for (std::uint64_t k = first; k < last; ++k) {
            if (blUaid_[k] == 0) continue;
            std::uint8_t v[2];
            tb::store_u16(v, static_cast<std::uint16_t>(blUaid_[k]));
            put(bl_->offset + k * kTagRecSize + kTagRecUaid, v);
        }
    }
}
