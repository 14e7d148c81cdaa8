// The sectioned engineering file shared by the block edit files (and their ".wkf" working
// copies), the station's edit file "FCLT1" and the AN message file, and the operations of
// the edit file update on it.
//
// File header, 512 bytes, little-endian:
//
//     0x000  44  not used here
//     0x02C   4  u32 directory entries in use (at most 28)
//     0x030  16  not used here
//     0x040 448  28 directory entries of 16 bytes:
//                  +0 tag (ASCII, NUL-padded)  +4 u32 offset  +8 u32 record count  +12 u32 unit size
//
// Entry 6 of a block edit file, whatever its tag, is the block area: offset up to
// offset + count x unit (nBtmOffset). It holds block entries one after another:
//
//     +0x00 i16 block number   +0x14 u16 block code   +0x16 u8 count 1   +0x17 u8 count 2
//     +0x40 count 1 + count 2 record descriptors: u32 offset from the entry, u32 size
//
// An entry spans the sum of its descriptors' sizes; record n is descriptor n - 1.
// "TAGI": a 48-byte record, u16 control flag at +16. "HTLT", "BL", "AN": 128-byte tag
// records, u16 block number at +60 ("BL"), u16 UAID at +66. "USAP" (AN message file): an
// array of u16 UAIDs.
//
// Every section is taken only when it lies wholly inside the file (or buffer); all offset
// sums are 64-bit, so no value read from a file can wrap them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <memory>
#include <vector>

#include "LdTuSaveHold.h"
#include "port.h"

namespace LdTuSaveEdf {

constexpr std::size_t kHeaderSize = 0x200;
constexpr std::size_t kDirInUse = 0x2C;
constexpr std::size_t kDir = 0x40;
constexpr std::size_t kDirEntries = 28;
constexpr std::size_t kDirEntrySize = 16;
constexpr std::size_t kEntTag = 0;
constexpr std::size_t kEntOffset = 4;
constexpr std::size_t kEntCount = 8;
constexpr std::size_t kEntUnit = 12;
constexpr std::size_t kTagLen = 4;
static_assert(kDir + kDirEntries * kDirEntrySize == kHeaderSize);

constexpr std::size_t kBlockAreaEntry = 6;
static_assert(kDir + kBlockAreaEntry * kDirEntrySize == 0xA0);

// Block entry.
constexpr std::size_t kBlkNo = 0x00;
constexpr std::size_t kBlkCode = 0x14;
constexpr std::size_t kBlkCount1 = 0x16;
constexpr std::size_t kBlkCount2 = 0x17;
constexpr std::size_t kBlkHeadSize = 0x40;
constexpr std::size_t kDescSize = 8;
constexpr std::size_t kMaxDesc = 32;   // the descriptor table of the callers
static_assert(kMaxDesc * kDescSize == 256);

// Tag sections.
constexpr std::size_t kTagiRecSize = 48;
constexpr std::size_t kTagiCtrlFlag = 16;
constexpr std::uint16_t kCtrlFlagSet = 0x0100;   // the bytes 00 01
constexpr std::size_t kTagRecSize = 128;
constexpr std::size_t kTagRecBlockNo = 60;
constexpr std::size_t kTagRecUaid = 66;
constexpr std::size_t kUsapUnit = 2;

constexpr int kChildReach = 3;   // entries passed over lie at most 3 numbers below

// A directory entry as read.
struct Section {
    std::uint32_t offset = 0;
    std::uint32_t count = 0;
    std::uint32_t unit = 0;
};

// Which entries a tag search looks at.
enum class Scope { kInUse, kAll };

// The first directory entry of header whose tag is tag (a C string of at most 4 characters,
// compared over 4 bytes); nullopt without one or for a header shorter than 512 bytes.
[[nodiscard]] std::optional<Section> Find(std::span<const std::uint8_t> header, const char* tag, Scope scope);
// The same section when its records (its count of recSize bytes each) lie wholly inside
// fileSize bytes; otherwise it counts as missing.
[[nodiscard]] std::optional<Section> FindInside(std::span<const std::uint8_t> header, const char* tag, Scope scope,
                                  std::uint64_t fileSize, std::uint64_t recSize);

}  // namespace LdTuSaveEdf

// One record descriptor of a block entry.
struct LdTuSavesRecDesc {
    std::uint32_t offset = 0;   // from the start of the block entry
    std::uint32_t size = 0;
};

// Bytes whose resize leaves the new ones unset: a file's bytes are read over them at once.
template <class T>
struct LdTuSaveUnsetAlloc : std::allocator<T> {
    template <class U>
    struct rebind {
        using other = LdTuSaveUnsetAlloc<U>;
    };
    template <class U>
    void construct(U* p) noexcept {
        ::new (static_cast<void*>(p)) U;
    }
    template <class U, class... A>
    void construct(U* p, A&&... a) {
        ::new (static_cast<void*>(p)) U(std::forward<A>(a)...);
    }
};
using LdTuSaveEditBytes = std::vector<std::uint8_t, LdTuSaveUnsetAlloc<std::uint8_t>>;

// An edit file held while the step runs: opened for reading and writing when first needed
// (a replace-on-close handle, so that a file that cannot be written is found before anything
// of it changes), read whole, patched in memory through a file pointer like the open handle it
// stands for, and written back once. Patches are grouped per save entry: Commit keeps them,
// Rollback restores the bytes they replaced. Nothing is ever read or written outside the
// file's bytes: such a call fails instead.
class LdTuSaveEditFile {
public:
    // A file of bytes alone, or read through file (held until Flush takes it; a file still
    // held when the object goes is given up and stays as it was).
    LdTuSaveEditFile(std::string path, LdTuSaveEditBytes bytes, LdTuSaveFile file = LdTuSaveFile(),
                     bool workCopy = false)
        : path_(std::move(path)), bytes_(std::move(bytes)), file_(std::move(file)), workCopy_(workCopy) {}
    LdTuSaveEditFile(const LdTuSaveEditFile&) = delete;
    LdTuSaveEditFile& operator=(const LdTuSaveEditFile&) = delete;

    [[nodiscard]] const std::string& Path() const { return path_; }
    [[nodiscard]] std::uint64_t Size() const { return bytes_.size(); }
    [[nodiscard]] const LdTuSaveEditBytes& Bytes() const { return bytes_; }
    [[nodiscard]] bool Changed() const { return changed_; }
    [[nodiscard]] bool WorkCopy() const { return workCopy_; }

    // Seek fails for a position past the end of the file.
    [[nodiscard]] bool Seek(std::uint64_t pos);
    [[nodiscard]] bool SeekCur(std::uint64_t delta) { return Seek(pos_ + delta); }
    [[nodiscard]] bool Read(void* dst, std::size_t len);
    [[nodiscard]] bool Write(const void* src, std::size_t len);

    void Commit();
    void Rollback();

    // The handle, handed to the caller (null for a file of bytes alone).
    [[nodiscard]] HANDLE TakeHandle() { return file_.Release(); }
    // The save entry that last got the file.
    unsigned lastEntry = 0;

private:
    // A write's position and length; the bytes it replaced follow those of the writes before
    // it in undoBytes_.
    struct Undo {
        std::size_t pos, len;
    };
    std::string path_;
    LdTuSaveEditBytes bytes_;
    LdTuSaveFile file_;
    bool workCopy_ = false;
    std::uint64_t pos_ = 0;
    std::vector<Undo> undo_;
    std::vector<std::uint8_t> undoBytes_;
    bool changed_ = false;
};

// The edit files of one step: each opened and read when first needed, in first-use order, and
// written back together by Flush, in that order, as one group of replace-on-close handles.
// Flush lets go of every file it held, so that a step over thousands of files holds a group of
// them at a time: a file needed again after a Flush is opened again.
class LdTuSaveEditFiles {
public:
    // The file at path, opened for reading and writing and read now when it is not held. Null
    // when it cannot be opened (*notOpened set: a missing or read-only file, a file in a
    // read-only folder, a file another process holds) or read (its read line put out,
    // *readFailed set). A working copy's failure to be written back does not fail Flush.
    [[nodiscard]] LdTuSaveEditFile* Get(const std::string& path, bool workCopy, bool* notOpened, bool* readFailed);
    // The next save entry begins: the files it gets are marked as its.
    void BeginEntry() { ++entry_; }
    // Whether path is held, got last by an entry before the one just ended: held on, its
    // entries would not follow each other in the group (time for a Flush first).
    [[nodiscard]] bool HeldApart(const std::string& path) const;
    // Whether path is held (opened, read, not yet written back).
    [[nodiscard]] bool Held(const std::string& path) const { return index_.count(path) != 0; }
    // Writes back every changed file, in first-use order, and lets go of all. 0, or 0x20000109
    // after the write or close line of the first edit file (not a working copy) that could not
    // be replaced: it and every file after it keep their old bytes. A working copy that could
    // not be replaced keeps its old bytes, after its line.
    [[nodiscard]] std::uint32_t Flush();
    // Whether a group of files is held: time for a Flush between two save entries.
    [[nodiscard]] bool Full() const;

private:
    // A station's paths share a long head and differ at their end: hashed by the end alone
    // (and the length), each look-up reads a few bytes instead of the whole path.
    struct PathHash {
        std::size_t operator()(std::string_view p) const noexcept {
            constexpr std::size_t kEnd = 24;
            return std::hash<std::string_view>{}(p.substr(p.size() > kEnd ? p.size() - kEnd : 0)) ^ p.size();
        }
    };
    std::vector<std::unique_ptr<LdTuSaveEditFile>> files_;
    std::unordered_map<std::string_view, std::size_t, PathHash> index_;   // keys: the held files' own paths
    std::unordered_map<std::string, bool, PathHash> notOpened_;
    unsigned entry_ = 0;
};

// ---- operations on a block edit file ------------------------------------------------------
[[nodiscard]] std::uint32_t LdTuSavesGetBlockOffset(const char* path, LdTuSaveEditFile* hFile, std::int16_t nBlockNum,
                                      std::uint16_t u16BlockCode, std::uint32_t* pnBlockStart,
                                      std::uint32_t* pnBlockEnd, std::uint32_t* pnRecTotalCnt,
                                      LdTuSavesRecDesc* pRecDescTbl);
[[nodiscard]] int LdTuSavesGetRecOffset(const char* path, LdTuSaveEditFile* hFile, std::uint32_t nBlockStart,
                          std::uint32_t nBlockEnd, std::uint32_t nRecTotalCnt, const LdTuSavesRecDesc* pRecDescTbl,
                          std::uint32_t nSaveRecNum, std::uint32_t* pnRecOffset);
[[nodiscard]] std::uint32_t LdTuSavesWriteRecord(const char* path, LdTuSaveEditFile* hFile, const std::uint8_t* pData,
                                   std::uint32_t dwSize, std::uint32_t nOffset);
// Writes u16Uaid into the first record of the file's "HTLT" section.
[[nodiscard]] std::uint32_t LdTuSavesPutUaidInHTLT(const char* path, LdTuSaveEditFile* hFile, std::uint16_t u16Uaid);
[[nodiscard]] int LdTuSavesSetCtrlFlagInTAGI(LdTuSaveEditFile* hFile, const char* path);
// The station's edit file "FCLT1" while the edit step runs. It grows with the station and is
// never held whole: what the step needs of it (the header, the block numbers of the "BL"
// records) is read at the start, the UAIDs the step sets into its "BL" and "AN" records are
// kept apart, and Apply puts them into the old bytes as they are copied to the new file.
class LdTuSaveStnEdit {
public:
    // Reads len bytes at offset into dst; false when they could not be read.
    using ReadAt = bool (*)(void* source, std::uint64_t offset, std::uint8_t* dst, std::size_t len);
    // Takes in a file of size bytes, read through read: false when a read failed (nothing held).
    [[nodiscard]] bool Load(std::uint64_t size, ReadAt read, void* source);
    // The same from bytes held in memory.
    [[nodiscard]] bool Load(std::span<const std::uint8_t> bytes);
    // Sets u16Uaid into the record of block nBlockNo in "BL": 0, or 0x2023410a after its line
    // when the section or the block's record is not there. The first record of a number is
    // the block's.
    [[nodiscard]] std::uint32_t PutUaidInBL(std::int16_t nBlockNo, std::uint16_t u16Uaid);
    // Sets the first count of the u16 UAIDs at pUaid into the records of "AN" (at most as many
    // as it has): false, without a line, when the section is not there.
    [[nodiscard]] bool PutUaidsInAN(const std::uint8_t* pUaid, std::uint32_t count);
    // Puts the UAIDs set into bytes, which lie at offset in the file: the "AN" records first,
    // then the "BL" records (as they were set, should the two overlap).
    void Apply(std::span<std::uint8_t> bytes, std::uint64_t offset) const;
    [[nodiscard]] std::uint64_t Size() const { return size_; }
    void Reset() { *this = LdTuSaveStnEdit(); }

private:
    std::uint64_t size_ = 0;
    std::optional<LdTuSaveEdf::Section> bl_, an_;
    std::vector<std::uint32_t> blockRec_;         // block number -> its first "BL" record + 1 (0: none)
    std::vector<std::uint32_t> blUaid_;           // "BL" record -> 0x10000 | UAID set (0: none)
    std::vector<std::uint8_t> anUaids_;           // the UAIDs of the first "AN" records, 2 bytes each
};

// The seek, read and write lines: "ERR:" + text 7193, 7194 or 7196 + the file's full path.
void LdTuSavesSeekErr(const char* path);
void LdTuSavesReadErr(const char* path);
void LdTuSavesWriteErr(const char* path);
