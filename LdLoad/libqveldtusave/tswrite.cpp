// The TP file: writer, value formatting by data type code, and the dated archive.
//
//   :::SOURCE
//   <seconds>:<time text>;
//   <s>:FPAR:<s>:<location>:<tag>:<block number>:<instance>:<label>=<value>,...;   one per block
//   ::::SOURCE
//
// Line feeds only. The file is written to "<TP path>.tmp" and only a complete, closed
// temporary is archived and copied over the TP file, then removed. When the archive or the
// copy fails, the complete temporary stays in place (the only copy of the new text) until the
// next good save replaces it; a temporary that could not be completed is never left.
#include <bit>
#include <charconv>
#include <cmath>
#include <cstring>
#include <ctime>
#include <initializer_list>

#include "LdTuSaveCtrl.h"
#include "LdTuSaveEdit.h"
#include "LdTuSaveHold.h"
#include "LdTuSaveIds.h"
#include "LibQVCCommon.h"
#include "libqvccnvcode.h"
#include "libqvecommon.h"
#include "port.h"
#include "tsinf.h"

namespace {

using namespace LdTuSaveImg;

constexpr const char* kSource = "tswrite";
constexpr std::uint32_t kArchiveMax = 5;
constexpr std::size_t kTextBufSize = 256;   // conversion buffer of a text value

// Block codes with a rule of their own.
constexpr std::uint16_t kCodeStex = 0x1402;
constexpr std::uint32_t kParentRecNo = 2;

// Name of a category block's category, or null for an ordinary block.
const char* LdTuSaveTpCategory(std::uint8_t category) {
    switch (category) {
    case 0: return "NON CATEGORY";
    case 1: return "ADL";
    case 2: return "TR-SS";
    case 15: return "SYSTEM";
    default: return nullptr;
    }
}

// ---- value formatting ---------------------------------------------------------------------------

struct TpType {
    std::uint8_t code;
    const char* name;
    std::uint8_t size;   // required element size
    int number;          // of the size message
};

constexpr TpType kSizedTypes[] = {
    {12, "I16", 2, 1029},   {16, "U16", 2, 1048},   {20, "I32", 4, 1067},  {24, "U32", 4, 1086},
    {28, "F32", 4, 1105},   {32, "F64", 8, 1129},   {13, "I16S", 8, 1205}, {17, "U16S", 8, 1224},
    {21, "I32S", 8, 1243},  {25, "U32S", 8, 1262},  {29, "F32S", 8, 1281}, {33, "F64S", 16, 1306},
    {31, "F32SR", 16, 1330}, {49, "TCS", 8, 1354},
};
constexpr std::uint8_t kTypeText = 8;
constexpr std::uint8_t kTypeRaw = 60;

const TpType* LdTuSaveTpSized(std::uint8_t code) {
    for (const TpType& t : kSizedTypes)
        if (t.code == code) return &t;
    return nullptr;
}

// An integer as "%d" or "%u" writes it, without the cost of a format string per value.
template <typename T>
void LdTuSaveTpAppend(std::string& out, T v) {
    char b[24];
    const auto r = std::to_chars(b, b + sizeof b, v);
    out.append(b, static_cast<std::size_t>(r.ptr - b));
}

// "%f" of a value below 2^53 in magnitude, worked out in integers: the value is m * 2^-k, so
// value * 10^6 = m * 10^6 / 2^k exactly (m * 10^6 < 2^73), rounded to even on a tie as printf
// rounds. False for larger values and for infinities and NaNs.
bool LdTuSaveTpFixedSmall(std::string& out, double d) {
    __extension__ typedef unsigned __int128 U128;
    const std::uint64_t bits = std::bit_cast<std::uint64_t>(d);
    const unsigned biased = static_cast<unsigned>(bits >> 52) & 0x7FFu;
    std::uint64_t m = bits & ((std::uint64_t{1} << 52) - 1);
    int k = 1074;   // subnormal (and zero): m * 2^-1074
    if (biased != 0) {
        m |= std::uint64_t{1} << 52;
        k = 1075 - static_cast<int>(biased);
    }
    if (k <= 0) return false;   // 2^53 and above, infinities, NaNs
    // The text is made in t and appended once: sign, whole part, point, six decimals.
    char t[32];
    char* at = t;
    if (bits >> 63) *at++ = '-';
    if (k < 75) {               // from 75 on, m * 10^6 < 2^73 is below half of 2^k: rounds to 0
        const U128 n = U128{m} * 1000000u;
        const U128 q = n >> k;
        const U128 rem = n - (q << k);
        const U128 half = U128{1} << (k - 1);
        const U128 r = q + ((rem > half || (rem == half && (q & 1) != 0)) ? 1 : 0);
        const bool narrow = (r >> 64) == 0;   // the usual case: 64-bit division
        const auto whole = narrow ? static_cast<std::uint64_t>(r) / 1000000u : static_cast<std::uint64_t>(r / 1000000u);
        const auto frac = narrow ? static_cast<std::uint32_t>(static_cast<std::uint64_t>(r) % 1000000u)
                                 : static_cast<std::uint32_t>(r % 1000000u);
        at = std::to_chars(at, at + 16, whole).ptr;   // below 2^53: 16 digits at most
        *at = '.';
        static constexpr char kPairs[] =
            "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
            "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
            "8081828384858687888990919293949596979899";
        for (std::uint32_t i = 0, v = frac; i < 3; ++i, v /= 100) std::memcpy(at + 5 - 2 * i, kPairs + 2 * (v % 100), 2);
        out.append(t, static_cast<std::size_t>(at + 7 - t));
        return true;
    }
    std::memcpy(at, "0.000000", 8);
    out.append(t, static_cast<std::size_t>(at + 8 - t));
    return true;
}

// Appends a finite value as "%f" writes it (both give the exactly rounded six decimals);
// infinities and NaNs through the format, whose spelling they keep.
void LdTuSaveTpFixed(std::string& out, double d) {
    if (LdTuSaveTpFixedSmall(out, d)) return;
    if (std::isfinite(d)) {
        char b[400];   // the largest double has 309 digits before the point
        const auto r = std::to_chars(b, b + sizeof b, d, std::chars_format::fixed, 6);
        if (r.ec == std::errc()) {
            out.append(b, r.ptr);
            return;
        }
    }
    out += LdTuSaveFormat("%f", d);
}

// Appends the element's leading value as text; e holds the element's bytes (its size is the
// type's).
void LdTuSaveTpNumber(std::uint8_t code, tb::Bytes e, std::string& out) {
    switch (code) {
    case 12: case 13: LdTuSaveTpAppend(out, static_cast<int>(tb::get_i16(e, 0).value_or(0))); break;
    case 16: case 17: case 49: LdTuSaveTpAppend(out, static_cast<unsigned>(tb::get_u16(e, 0).value_or(0))); break;
    case 20: case 21: LdTuSaveTpAppend(out, static_cast<std::int32_t>(tb::get_u32(e, 0).value_or(0))); break;
    case 24: case 25: LdTuSaveTpAppend(out, tb::get_u32(e, 0).value_or(0)); break;
    case 28: case 29: case 31: LdTuSaveTpFixed(out, static_cast<double>(std::bit_cast<float>(tb::get_u32(e, 0).value_or(0)))); break;
    default: LdTuSaveTpFixed(out, std::bit_cast<double>(tb::get_u64(e, 0).value_or(0))); break;   // 32, 33
    }
}

// A text element: converted to the workstation's code page, then ",", ":", ";" and "\" of
// one byte escaped with "\"; double-byte characters are copied as they are.
std::uint32_t LdTuSaveTpText(const std::uint8_t* p, std::size_t size, std::string& out) {
    char dataBuf[kTextBufSize] = {};
    std::memcpy(dataBuf, p, size);   // size <= 255: the terminator stays
    char conv[kTextBufSize] = {};
    if (QVCEucToWincode(dataBuf, conv, static_cast<int>(kTextBufSize), 1) == -1) {
        LdTuSaveSrcErr(false, kSource, 1166, "QVCEucToWincode error, DataBuf=%s", dataBuf);
        return 1;
    }
    conv[kTextBufSize - 1] = '\0';
    const char* c = conv;
    while (static_cast<std::size_t>(c - conv) < size && *c != '\0') {
        const auto* u = reinterpret_cast<const unsigned char*>(c);
        if (_mbclen(u) == 2) {
            out += c[0];
            if (c[1] == '\0') break;   // a lead byte before the terminator stands alone
            out += c[1];
        } else {
            if (std::strchr(",:;\\", *c) != nullptr) out += '\\';
            out += *c;
        }
        c = CharNextA(c);
    }
    return 0;
}

// Appends the text of element k of item, whose record is at record (sized: the item's numeric
// type, or null for text and raw bytes). 0, or 1 after the ERR line.
std::uint32_t LdTuSaveTpElement(const LdTuSaveImage& img, const LdTuSaveRecPos& record, std::uint32_t blockNo,
                                const ItemInf& item, const TpType* sized, std::uint32_t k, std::string& out) {
    const auto& recSize = record.size;
    if (record.adrs && *record.adrs == 0) return 0;
    if (sized && item.size != sized->size) {
        LdTuSaveSrcErr(false, kSource, sized->number, "ItemInf error, itemInf->size=%d, sizeof(%s)=%d", item.size,
                       sized->name, sized->size);
        return 1;
    }
    // The element must lie inside its record, and the record inside the image.
    const std::uint64_t elemOff = item.offset + static_cast<std::uint64_t>(k) * item.size;
    const std::optional<std::size_t>& rec = record.off;
    if (!rec || elemOff + item.size > *recSize) {
        LdTuSaveSrcErr(false, kSource, 1390,
                       "element outside its record, item=%s, blockNo=%u, recNo=%u, offset=%llu, size=%u, recSize=%u",
                       item.itemName, blockNo, item.recNo, static_cast<unsigned long long>(elemOff), item.size,
                       recSize.value_or(0));
        return 1;
    }
    const std::uint8_t* p = img.data() + *rec + elemOff;
    if (sized) {
        LdTuSaveTpNumber(item.dataType, tb::Bytes(p, item.size), out);
        return 0;
    }
    if (item.dataType == kTypeText) return LdTuSaveTpText(p, item.size, out);
    const void* nul = std::memchr(p, 0, item.size);
    out.append(reinterpret_cast<const char*>(p), nul ? static_cast<const std::uint8_t*>(nul) - p : item.size);
    return 0;
}

// Whether an item's values are written: numbers, text and raw bytes are; other types stand
// with an empty value.
bool LdTuSaveTpWritten(const ItemInf& item, const TpType*& sized) {
    sized = LdTuSaveTpSized(item.dataType);
    return sized || item.dataType == kTypeText || item.dataType == kTypeRaw;
}

// ---- the TP file ------------------------------------------------------------------------------

// The temporary file: every write, the flush and the close are checked. It takes its content
// only at a good Close (the port writes it through a temporary of its own); given up on any
// other way out, it is never half-written.
class TpTmpFile {
public:
    bool Open(const std::string& path) {
        return file_.Open(path, GENERIC_WRITE, 0, FILE_ATTRIBUTE_NORMAL | PORT_FLAG_REPLACE_WHOLE, CREATE_ALWAYS) == 0;
    }
    // Lines collect in a buffer that goes out in large writes (a write per line would be a
    // system call per block).
    bool Write(const std::string& s) {
        buf_ += s;
        return buf_.size() < kFlushAt || Flush();
    }
    bool Close() {
        if (!Flush()) return false;   // given up: the target keeps its old bytes
        return file_.Close() == 0;
    }

private:
    static constexpr std::size_t kFlushAt = 64 * 1024;
    bool Flush() {
        if (!file_.IsOpen()) return false;
        DWORD done = 0;
        if (!buf_.empty() &&
            (!WriteFile(file_.get(), buf_.data(), static_cast<DWORD>(buf_.size()), &done, nullptr) || done != buf_.size())) {
            file_.Abandon();
            return false;
        }
        buf_.clear();
        return true;
    }
    LdTuSaveFile file_{0};
    std::string buf_;
};

// Text buffers kept from block to block (a block's line is built in them, then written).
struct TpScratch {
    std::string location, line;
};

struct TpBlockCtx {
    const TpSaveInf* tp;
    const LdTuSaveImage* img;
    const LdTuSaveArea* area;
    TpScratch* scratch;
};

// The element number of a block: its own, or for STEX and CALCEX the parent block number
// from its record 2. 0 and the number, or 1 after the ERR line.
std::uint32_t LdTuSaveTpElemNo(const TpBlockCtx& ctx, std::size_t hdr, std::uint32_t blockNo, std::uint16_t code,
                               std::uint16_t& elemNo) {
    elemNo = static_cast<std::uint16_t>(blockNo);
    if (code != kCodeStex && !IsChildBlock(code)) return 0;
    const char* fn = code == kCodeStex ? "getSTEXOrgBlockNo" : "getCALCEXOrgBlockNo";
    const LdTuSaveImage& img = *ctx.img;
    const LdTuSaveRecPos parent = img.Record(ctx.area->anchor, hdr, kParentRecNo, kRecOyaBlockNo + 2);
    if (parent.adrs && *parent.adrs == 0) {
        LdTuSaveMsgf("ERR:%s record pointer is NULL", fn);
        return 1;
    }
    const auto rec = parent.off;
    if (!rec) {
        LdTuSaveMsgf("ERR:%s record is outside the image, blockNo=%u", fn, blockNo);
        return 1;
    }
    elemNo = *img.U16(*rec + kRecOyaBlockNo);
    return 0;
}

// One block: its parameter line when it has saved items. 0, or 1 after the ERR line.
std::uint32_t LdTuSaveTpBlock(const TpBlockCtx& ctx, TpTmpFile& file, std::uint32_t seq, std::uint32_t blockNo,
                              std::size_t hdr, bool& writeFailed) {
    const LdTuSaveImage& img = *ctx.img;
    const std::uint16_t code = *img.U16(hdr + kBlkHdrBlockCode);
    const std::uint8_t category = *img.U8(hdr + kBlkHdrCategory);
    const InstInf* inst = nullptr;
    for (std::uint32_t i = 0; i < ctx.tp->instInfTblUsedNum && !inst; ++i)
        if (ctx.tp->pInstInfTbl[i].instNo == code) inst = &ctx.tp->pInstInfTbl[i];
    if (!inst) {
        LdTuSaveSrcErr(false, kSource, 512, "program error, blockCode=0x%x", code);
        return 1;
    }

    std::string& location = ctx.scratch->location;
    if (const char* cat = LdTuSaveTpCategory(category)) {
        location = cat;
    } else {
        std::uint16_t elemNo = 0;
        if (LdTuSaveTpElemNo(ctx, hdr, blockNo, code, elemNo) != 0) return 1;
        const std::string elemName = LdTuSaveElemName(elemNo);
        _QVEElemTbl elem;
        const std::uint32_t nRtn = ElemSearch(elemName.c_str(), *ctx.tp->pElemList, &elem);
        if (nRtn != 0) {
            LdTuSaveMsgText(LDTUSAVE_MSG_ERR, LdTuSaveIds::IDS_ELEM_NOTFOUND, "%s ,nRtn = %d", elemName.c_str(),
                            static_cast<int>(nRtn));
            return 1;
        }
        location = ctx.tp->pElemList->Text(elem.strLocation);
    }
    char tag[kTagNameLen + 1] = {};
    static_cast<void>(img.Read(hdr + kBlkHdrTagName, tag, kTagNameLen));   // the header's fixed part is inside

    std::string& line = ctx.scratch->line;
    line.clear();
    std::uint32_t c = 0;
    // The record of the last item written: the elements of an array and the items of one
    // record in a row look it up once.
    std::optional<std::pair<std::uint32_t, LdTuSaveRecPos>> record;
    auto put = [&](const ItemInf& it, std::uint32_t k, std::uint32_t i, std::uint32_t j) {
        if (c == 0) {
            // "<seq>:FPAR:<seq>:<location>:<tag>:<block number>:<instance>:"
            LdTuSaveTpAppend(line, seq);
            line += ":FPAR:";
            LdTuSaveTpAppend(line, seq);
            ((line += ':') += location) += ':';
            (line += tag) += ':';
            LdTuSaveTpAppend(line, blockNo);
            ((line += ':') += inst->instName) += ':';
        } else {
            line += ',';
        }
        LdTuSaveTpLabel(line, it.itemName, i, j);
        line += '=';
        ++c;
        const TpType* sized = nullptr;
        if (!LdTuSaveTpWritten(it, sized)) return true;
        if (!record || record->first != it.recNo) record.emplace(it.recNo, img.Record(ctx.area->anchor, hdr, it.recNo));
        return LdTuSaveTpElement(img, record->second, blockNo, it, sized, k, line) == 0;
    };
    for (std::int32_t n = 0; n < inst->itemInfTblUsedNum; ++n) {
        const ItemInf& it = inst->pItemInfTbl[n];
        if (it.saveFlag != 1) continue;
        if (it.dim1 == 0) {
            if (!put(it, 0, 0, 0)) return 1;
        } else if (it.dim2 == 0) {
            for (std::uint32_t i = 1; i <= it.dim1; ++i)
                if (!put(it, i - 1, i, 0)) return 1;
        } else {
            for (std::uint32_t i = 1; i <= it.dim1; ++i)
                for (std::uint32_t j = 1; j <= it.dim2; ++j)
                    if (!put(it, (i - 1) * it.dim2 + (j - 1), i, j)) return 1;
        }
    }
    if (c != 0) {
        line += ";\n";
        if (!file.Write(line)) {
            writeFailed = true;
            return 1;
        }
    }
    return 0;
}

}  // namespace

void LdTuSaveTpLabel(std::string& out, const char* name, std::uint32_t i, std::uint32_t j) {
    out += name;
    if (i == 0 && j == 0) return;
    // "[i]" or "[i\,j]", made here and appended once.
    char b[32];
    char* at = b;
    *at++ = '[';
    at = std::to_chars(at, at + 10, i).ptr;   // 10 digits at most each
    if (j != 0) {
        *at++ = '\\';
        *at++ = ',';
        at = std::to_chars(at, at + 10, j).ptr;
    }
    *at++ = ']';
    out.append(b, static_cast<std::size_t>(at - b));
}

std::uint32_t LdTuSaveTpValue(const LdTuSaveImage& img, const LdTuSaveAnchor& anchor, std::size_t hdrOff,
                              std::uint32_t blockNo, const ItemInf& item, std::uint32_t k, std::string& out) {
    out.clear();
    const TpType* sized = nullptr;
    if (!LdTuSaveTpWritten(item, sized)) return 0;
    return LdTuSaveTpElement(img, img.Record(anchor, hdrOff, item.recNo), blockNo, item, sized, k, out);
}

std::uint32_t LdTuSavesGetStrFileName(const std::string& tpPath, std::string& archivePath) {
    const std::size_t slash = tpPath.rfind('/');
    const std::string folder = slash == std::string::npos ? std::string(".") : tpPath.substr(0, slash);
    WIN32_FIND_DATAA fd;
    LdTuSaveFind find;
    if (find.First(folder + "/*.txt", &fd)) {
        std::uint32_t count = 0;
        std::string oldest;
        do {
            // Only files are archive entries: a folder that sorts first would stop every save.
            if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
            ++count;
            if (count == 1 || std::strcmp(oldest.c_str(), fd.cFileName) > 0) oldest = fd.cFileName;
        } while (find.Next(&fd));
        if (!find.Close()) {
            LdTuSaveMsgf("ERR:FindClose Error. dwRtn = %d", static_cast<int>(GetLastError()));
            return TUSAVE_E_TPARCHIVE;
        }
        if (count >= kArchiveMax) {
            const std::string victim = folder + "/" + oldest;
            if (!DeleteFileA(victim.c_str())) {
                LdTuSaveMsgText(LDTUSAVE_MSG_ERR, LdTuSaveIds::IDS_TPARCHIVE_DELETE, "%s dwRtn = %d", victim.c_str(),
                                static_cast<int>(GetLastError()));
                return TUSAVE_E_TPARCHIVE;
            }
        }
    }
    std::time_t now = QVCTime(nullptr);
    struct tm* local = QVCLocaltime(&now);
    char name[128];
    if (!local || std::strftime(name, sizeof name, "/TP%Y%m%d%H%M%S.txt", local) == 0) return TUSAVE_E_TPARCHIVE;
    archivePath = folder + name;
    return TUSAVE_OK;
}

std::uint32_t LdTuSaveTpArchive(const std::string& tpPath, const std::string& tmpPath) {
    std::string archivePath;
    if (LdTuSavesGetStrFileName(tpPath, archivePath) != 0) {
        QVEEngPutMsgBuf("LdTuSavesGetStrFileName error");
        return TUSAVE_E_TPARCHIVE;
    }
    for (const std::string* to : std::initializer_list<const std::string*>{&archivePath, &tpPath}) {
        if (!CopyFileA(tmpPath.c_str(), to->c_str(), 0)) {
            const DWORD e = GetLastError();
            QVEEngPutMsgBuf("CopyFile error");
            return e != 0 ? e : TUSAVE_E_TPARCHIVE;
        }
    }
    return TUSAVE_OK;
}

std::uint32_t LdTuSaveTpWrite(TpSaveInf* tp, unsigned areaNo) {
    const LdTuSaveImage img = LdTuSaveViewOf(tp->pDbImage);
    const LdTuSaveArea area = img.Area(areaNo, LdTuSaveAreaForm::kAreaRootAdrs);
    if (area.failed != LdTuSaveLink::kNone) return 1;

    std::string tpPath;
    {
        CQVEFilePath filePath;
        filePath.InitProject(tp->strProject.c_str());
        if (filePath.GetPath(tp->strStation.c_str(), 0, 0, 0, "FCTPS", nullptr, tpPath) != 0) {
            QVEEngPutMsgBuf("GetFCSTPPath error.");
            return 1;
        }
    }
    const std::string tmpPath = tpPath + ".tmp";
    TpTmpFile file;
    if (!file.Open(tmpPath)) {
        QVEEngPutMsgBuf(tmpPath.c_str());
        QVEEngPutMsgBuf("fopen open error.");
        return 1;
    }
    // Opened, the temporary stands for this run's text: until that is complete, a failure
    // leaves none (neither a part of it nor an earlier run's text).
    bool complete = false;
    struct TmpUnfinished {
        const std::string& path;
        const bool& complete;
        ~TmpUnfinished() {
            if (!complete) DeleteFileA(path.c_str());
        }
    } unfinished{tmpPath, complete};
    std::time_t now = QVCTime(nullptr);
    std::string timeText;
    if (const char* t = QVCCtime(&now)) timeText.assign(t, std::strcspn(t, "\n"));
    if (!file.Write(":::SOURCE\n" + LdTuSaveFormat("%d:%s;\n", static_cast<int>(now), timeText.c_str()))) {
        QVEEngPutMsgBuf("fwrite error.");
        return 1;
    }

    TpScratch scratch;
    const TpBlockCtx ctx{tp, &img, &area, &scratch};
    std::uint32_t seq = 0;
    for (auto blocks = img.Blocks(area); const auto block = blocks.Next();) {
        const std::uint32_t blockNo = block->blockNo;
        const auto& hdr = block->hdr;
        if (!hdr) {
            LdTuSaveSrcErr(false, kSource, 470, "block header outside the image, blockNo=%u", blockNo);
            return 1;
        }
        const std::uint16_t code = *img.U16(*hdr + kBlkHdrBlockCode);
        if (code == 0 || (*img.U8(*hdr + kBlkHdrCategory) == 0 && IsNoCatBlock(code)))
            continue;
        bool writeFailed = false;
        if (LdTuSaveTpBlock(ctx, file, ++seq, blockNo, *hdr, writeFailed) != 0) {
            if (writeFailed) QVEEngPutMsgBuf("fwrite error.");
            return 1;
        }
    }
    if (!file.Write("::::SOURCE\n") || !file.Close()) {
        QVEEngPutMsgBuf("fwrite error.");
        return 1;
    }
    complete = true;
    if (LdTuSaveTpArchive(tpPath, tmpPath) != 0) {
        QVEEngPutMsgBuf("LdTuSaveCtrlUpdateParmFile error.");
        return 1;   // the complete temporary stays
    }
    DeleteFileA(tmpPath.c_str());
    return 0;
}
