// The edit files of the sample: block edit files (several blocks per drawing file), working
// copies, the station's edit file "FCLT1" and the AN message file, all in the sectioned layout
// of docs/layout.md, and the files as a good save leaves them.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <set>

#include "image.h"
#include "image_format.h"
#include "rng.h"
#include "sample.h"
#include "tusave_bytes.h"

namespace sample {
namespace {

// Sectioned file layout.
constexpr std::size_t kHeader = 0x200;
constexpr std::size_t kDirInUse = 0x2C;
constexpr std::size_t kDir = 0x40;
constexpr std::size_t kDirEntry = 16;
constexpr std::size_t kBlockArea = 6;
constexpr std::size_t kAreaUnit = 16;
constexpr std::size_t kBlkHead = 0x40;
constexpr std::size_t kTagi = 48, kTagiFlag = 16;
constexpr std::size_t kTagRec = 128, kTagBlockNo = 60, kTagUaid = 66;
constexpr int kChildren = 3;
constexpr char kMagic[] = "TUSAVE-EDF";

enum : std::uint64_t { kEditBytes = 0x45444631, kWorkBytes, kStnEditBytes, kAnFileBytes };

struct Sectioned {
    std::vector<std::uint8_t> b;
    int entries = 0;
    explicit Sectioned(Rng& rng) : b(kHeader) {
        rng.fill(b.data(), kHeader);
        std::memcpy(b.data(), kMagic, sizeof kMagic);
        std::memset(b.data() + kDir, 0, kHeader - kDir);
    }
    // A section of count units at the end of the file, random unless filled later; its entry
    // at slot (the next one by default).
    std::size_t add(const char* tag, std::uint32_t count, std::uint32_t unit, Rng& rng, int slot = -1) {
        std::size_t off = b.size();
        b.resize(off + std::size_t(count) * unit);
        rng.fill(b.data() + off, std::size_t(count) * unit);
        std::size_t e = kDir + kDirEntry * static_cast<std::size_t>(slot < 0 ? entries++ : slot);
        std::memcpy(b.data() + e, tag, std::min<std::size_t>(std::strlen(tag), 4));
        tb::store_u32(b.data() + e + 4, static_cast<std::uint32_t>(off));
        tb::store_u32(b.data() + e + 8, count);
        tb::store_u32(b.data() + e + 12, unit);
        return off;
    }
    void in_use(int n) { tb::store_u32(b.data() + kDirInUse, static_cast<std::uint32_t>(n)); }
};

const Model& model_of(const Station& s, const BlockInfo& b) {
    for (const Model& m : s.models)
        if (m.name == b.model) return m;
    throw Error("sample edit files: no model " + b.model + " (builder fault)");
}

const Item* uaid_item(const Model& m) {
    for (const Item& it : m.items)
        if (it.name == "UAID") return &it;
    return nullptr;
}

std::vector<std::uint8_t> read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw Error(path + ": cannot read");
    return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in), {});
}

// One block edit file: TAGI, HTLT (one record per block; in every fourth file listed beyond
// the entries in use), four other sections, the block area as entry 6, a random tail.
std::vector<std::uint8_t> block_file(const Station& s, const StationResult& info, const std::vector<std::uint8_t>& image,
                                     EditFileInfo& f, Rng& rng, bool htltBeyond) {
    Sectioned file(rng);
    f.tagi = file.add("TAGI", 1, kTagi, rng);
    tb::store_u16(file.b.data() + f.tagi + kTagiFlag, 0);
    f.htlt = file.add(htltBeyond ? "XREF" : "HTLT", static_cast<std::uint32_t>(f.blocks.size()), kTagRec, rng);
    if (htltBeyond) f.htlt = file.add("HTLT", static_cast<std::uint32_t>(f.blocks.size()), kTagRec, rng, 9);
    for (const char* tag : {"CMNT", "PARM", "LINK", "SYMB"}) file.add(tag, 1 + rng.below(4), 16, rng);

    // Block entries: head, descriptors of records 1..n (record 1's covers head and table).
    std::vector<std::uint8_t> area;
    for (int no : f.blocks) {
        const BlockInfo& b = info.blocks[static_cast<std::size_t>(no - 1)];
        int n = 1;
        for (const Record& r : model_of(s, b).records) n = std::max(n, r.recNo);
        std::vector<std::uint32_t> size(static_cast<std::size_t>(n) + 1, 16);
        std::vector<const RecordInfo*> rec(static_cast<std::size_t>(n) + 1, nullptr);
        for (const RecordInfo& r : b.records)
            if (r.recNo >= 1) {
                size[static_cast<std::size_t>(r.recNo)] = r.size;
                rec[static_cast<std::size_t>(r.recNo)] = &r;
            }
        const std::size_t table = kBlkHead + 8 * static_cast<std::size_t>(n);
        size[1] += static_cast<std::uint32_t>(table);
        const std::size_t start = area.size();
        std::uint32_t total = 0;
        for (int k = 1; k <= n; ++k) total += size[static_cast<std::size_t>(k)];
        area.resize(start + total);
        std::uint8_t* e = area.data() + start;
        rng.fill(e, total);
        tb::store_u16(e, static_cast<std::uint16_t>(no));
        tb::store_u16(e + 0x14, b.code);
        e[0x16] = static_cast<std::uint8_t>((n + 1) / 2);
        e[0x17] = static_cast<std::uint8_t>(n / 2);
        std::vector<std::size_t> at(static_cast<std::size_t>(n) + 1, 0);
        std::uint32_t off = 0;
        for (int k = 1; k <= n; ++k) {
            const std::size_t ku = static_cast<std::size_t>(k);
            tb::store_u32(e + kBlkHead + 8 * (ku - 1), off);
            tb::store_u32(e + kBlkHead + 8 * (ku - 1) + 4, size[ku]);
            // The record as the project holds it; the file offset is fixed below.
            const std::uint32_t data = k == 1 ? off + static_cast<std::uint32_t>(table) : off;
            if (rec[ku]) std::memcpy(e + data, image.data() + rec[ku]->offset, rec[ku]->size);
            at[ku] = start + data;
            off += size[ku];
        }
        at[1] = 0;  // record 1 is never written
        f.records.push_back({no, at});
    }
    area.resize((area.size() + kAreaUnit - 1) / kAreaUnit * kAreaUnit, 0x5A);
    const std::size_t areaOff =
        file.add("FBLK", static_cast<std::uint32_t>(area.size() / kAreaUnit), kAreaUnit, rng, kBlockArea);
    file.entries = std::max(file.entries, static_cast<int>(kBlockArea) + 1);
    std::memcpy(file.b.data() + areaOff, area.data(), area.size());
    for (auto& [no, at] : f.records)
        for (std::size_t& o : at)
            if (o) o += areaOff;
    file.in_use(file.entries);
    std::size_t tail = file.b.size();
    file.b.resize(tail + 32);
    rng.fill(file.b.data() + tail, 32);
    return std::move(file.b);
}

}  // namespace

namespace detail {

std::vector<int> edit_file_heads(const Station& s, const std::vector<std::uint16_t>& codes) {
    std::vector<int> head(codes.size(), 0);
    int current = 0, children = 0;
    for (std::size_t i = 0; i < codes.size(); ++i) {
        const int no = static_cast<int>(i + 1);
        if (codes[i] == 0) continue;
        const bool child = codes[i] == fmt::kCodeParent6226 || codes[i] == fmt::kCodeParent6227;
        const bool sameDrawing = current && (current - 1) / s.blocksPerDrawing == (no - 1) / s.blocksPerDrawing;
        if (child && sameDrawing && no - current <= kChildren && children < kChildren) {
            head[i] = current;
            ++children;
            continue;
        }
        head[i] = no;
        current = no;
        children = 0;
    }
    return head;
}

std::vector<std::pair<std::string, std::vector<std::uint8_t>>> edit_files(const Description& d, const Station& s,
                                                                          const StationImages& img,
                                                                          const std::string& stationDir,
                                                                          StationResult& info) {
    std::vector<std::pair<std::string, std::vector<std::uint8_t>>> out;
    std::vector<std::uint16_t> codes;
    for (const BlockInfo& b : info.blocks) codes.push_back(b.exists() ? b.code : 0);
    const std::vector<int> heads = edit_file_heads(s, codes);
    const std::uint64_t sn = static_cast<std::uint64_t>(s.number);

    // Files in order of their head; names unique per drawing.
    std::map<int, std::size_t> fileOf;
    std::set<std::string> names;
    for (BlockInfo& b : info.blocks) {
        if (!b.exists()) continue;
        const int h = heads[static_cast<std::size_t>(b.number - 1)];
        if (h == b.number) {
            std::string name = b.tag;
            if (!names.insert(b.location + "/" + name).second) {
                name += "_" + std::to_string(b.number);
                names.insert(b.location + "/" + name);
            }
            EditFileInfo f;
            f.path = stationDir + "/FUNCTION_BLOCK/" + b.location + "/" + name + ".edf";
            if (b.number % 3 == 0) f.workCopy = stationDir + "/FUNCTION_BLOCK/" + b.location + "/" + name + ".wkf";
            b.fileName = name;
            fileOf[b.number] = info.editFiles.size();
            info.editFiles.push_back(std::move(f));
        } else {
            const BlockInfo& hb = info.blocks[static_cast<std::size_t>(h - 1)];
            b.fileName = hb.fileName;
            b.location = hb.location;
        }
        info.editFiles[fileOf.at(h)].blocks.push_back(b.number);
    }
    for (std::size_t k = 0; k < info.editFiles.size(); ++k) {
        EditFileInfo& f = info.editFiles[k];
        Rng rng = Rng::keyed(d.seed, kEditBytes, sn, static_cast<std::uint64_t>(f.blocks.front()));
        std::vector<std::uint8_t> bytes = block_file(s, info, img.project, f, rng, k % 4 == 3);
        if (!f.workCopy.empty()) {
            // The working copy differs from the file in its comment section only.
            std::vector<std::uint8_t> work = bytes;
            Rng wr = Rng::keyed(d.seed, kWorkBytes, sn, static_cast<std::uint64_t>(f.blocks.front()));
            const std::size_t cmnt = tb::load_u32(work.data() + kDir + 2 * kDirEntry + 4);
            wr.fill(work.data() + cmnt, 16);
            out.emplace_back(f.workCopy, std::move(work));
        }
        out.emplace_back(f.path, std::move(bytes));
    }

    // The station's edit file: BL record per existing block, AN record per message.
    Rng rng = Rng::keyed(d.seed, kStnEditBytes, sn);
    Sectioned stn(rng);
    stn.add("INFO", 2, 16, rng);
    std::uint32_t nBl = 0;
    for (const BlockInfo& b : info.blocks) nBl += b.exists() ? 1 : 0;
    info.blSection = stn.add("BL", nBl, kTagRec, rng);
    const auto nAn = static_cast<std::uint32_t>(info.uaids.size());
    info.anSection = stn.add("AN", nAn, kTagRec, rng);
    stn.in_use(stn.entries);
    std::size_t k = 0;
    for (const BlockInfo& b : info.blocks) {
        if (!b.exists()) continue;
        tb::store_u16(stn.b.data() + info.blSection + k++ * kTagRec + kTagBlockNo, static_cast<std::uint16_t>(b.number));
        info.blBlocks.push_back(b.number);
    }
    for (std::uint32_t a = 0; a < nAn; ++a)
        tb::store_u16(stn.b.data() + info.anSection + a * kTagRec + kTagUaid, info.uaids[a]);
    info.stationEditPath = stationDir + "/DB/tfdata1.edf";
    out.emplace_back(info.stationEditPath, std::move(stn.b));

    // The AN message file: HTLT record per message (found beyond the entries in use), USAP
    // with room for three more UAIDs.
    Rng arng = Rng::keyed(d.seed, kAnFileBytes, sn);
    Sectioned an(arng);
    an.add("MSGS", 1, 64, arng);
    info.anHtlt = an.add("HTLT", nAn, kTagRec, arng);
    info.anUsap = an.add("USAP", nAn + 3, 2, arng);
    an.in_use(1);
    for (std::uint32_t a = 0; a < nAn; ++a) {
        tb::store_u16(an.b.data() + info.anHtlt + a * kTagRec + kTagUaid, info.uaids[a]);
        tb::store_u16(an.b.data() + info.anUsap + 2 * a, info.uaids[a]);
    }
    char name[32];
    std::snprintf(name, sizeof name, "/MESSAGE/anmsg%02d.edf", s.number);
    info.anMsgPath = stationDir + name;
    out.emplace_back(info.anMsgPath, std::move(an.b));
    return out;
}

}  // namespace detail

std::vector<std::pair<std::string, std::vector<std::uint8_t>>> expected_edit_files(const Description& d,
                                                                                   const StationResult& st) {
    const Station* sp = nullptr;
    for (const Station& s : d.stations)
        if (s.name == st.name) sp = &s;
    if (!sp) throw Error("expected edit files: no station " + st.name);
    const std::vector<std::uint8_t> memory = read_file(st.memoryPath);
    const std::vector<std::uint8_t> project = read_file(st.databasePath);
    std::vector<std::pair<std::string, std::vector<std::uint8_t>>> out;
    std::vector<std::uint8_t> stn = read_file(st.stationEditPath);

    // What a save leaves in the image: the saved records from the station.
    auto after = [&](const BlockInfo& b, int recNo) -> const std::uint8_t* {
        for (const RecordInfo& r : b.records)
            if (r.recNo == recNo) return (b.listed && r.saved ? memory.data() : project.data()) + r.offset;
        return nullptr;
    };
    for (const EditFileInfo& f : st.editFiles) {
        for (const std::string& path : {f.path, f.workCopy}) {
            if (path.empty()) continue;
            std::vector<std::uint8_t> bytes = read_file(path);
            for (const auto& [no, at] : f.records) {
                const BlockInfo& b = st.blocks[static_cast<std::size_t>(no - 1)];
                if (!b.listed) continue;
                const Model& m = model_of(*sp, b);
                for (const RecordInfo& r : b.records)
                    if (r.saved) std::memcpy(bytes.data() + at[static_cast<std::size_t>(r.recNo)], memory.data() + r.offset, r.size);
                if (const Item* u = uaid_item(m)) {
                    const std::uint8_t* rec = after(b, u->recNo);
                    std::memcpy(bytes.data() + f.htlt + kTagUaid, rec + u->offset, 2);
                    if (path == f.path) {
                        auto bl = std::find(st.blBlocks.begin(), st.blBlocks.end(), no) - st.blBlocks.begin();
                        std::memcpy(stn.data() + st.blSection + static_cast<std::size_t>(bl) * kTagRec + kTagUaid,
                                    rec + u->offset, 2);
                    }
                }
                tb::store_u16(bytes.data() + f.tagi + kTagiFlag, 0x0100);
            }
            out.emplace_back(path, std::move(bytes));
        }
    }
    std::vector<std::uint8_t> an = read_file(st.anMsgPath);
    for (std::size_t a = 0; a < st.stationUaids.size(); ++a) {
        tb::store_u16(an.data() + st.anHtlt + a * kTagRec + kTagUaid, st.stationUaids[a]);
        tb::store_u16(an.data() + st.anUsap + 2 * a, st.stationUaids[a]);
        tb::store_u16(stn.data() + st.anSection + a * kTagRec + kTagUaid, st.stationUaids[a]);
    }
    out.emplace_back(st.anMsgPath, std::move(an));
    out.emplace_back(st.stationEditPath, std::move(stn));
    return out;
}

}  // namespace sample
