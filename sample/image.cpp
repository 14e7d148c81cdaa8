// Lays out one station's database image table by table, then derives the station's memory:
// the same bytes but for the tuning data of the saved records and the operation-mark tables.
#include "image.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "image_format.h"
#include "rng.h"
#include "tusave_bytes.h"

namespace sample::detail {
namespace {

constexpr std::size_t kMaxImage = std::size_t{256} << 20;

// Keys of the pseudo-random streams.
enum Stream : std::uint64_t { kRecordData = 1, kRecordTuning, kModelPick, kParentPick, kTableData, kTableTuning };

class Layout {
public:
    Layout(std::uint32_t base, const std::string& station) : base_(base), station_(station) {
        buf_.resize(fmt::kStnCnstOffset + fmt::kStnCnstSize);
    }
    // Room for a table of size bytes (16-aligned, at least 16 bytes, zeroed); its file offset.
    std::size_t alloc(std::size_t size) {
        std::size_t off = (buf_.size() + 15) & ~std::size_t{15};
        std::size_t room = std::max<std::size_t>((size + 15) & ~std::size_t{15}, 16);
        if (off > kMaxImage || room > kMaxImage - off)
            throw Error(station_ + ": the station database image would pass 256 MiB; fewer or smaller blocks");
        buf_.resize(off + room);
        return off;
    }
    std::uint32_t addr(std::size_t off) const { return base_ + static_cast<std::uint32_t>(off - fmt::kRootOffset); }
    void u8(std::size_t off, std::uint8_t v) { ok(tb::put_u8(buf_, off, v)); }
    void u16(std::size_t off, std::uint16_t v) { ok(tb::put_u16(buf_, off, v)); }
    void u32(std::size_t off, std::uint32_t v) { ok(tb::put_u32(buf_, off, v)); }
    void u64(std::size_t off, std::uint64_t v) { ok(tb::put_u64(buf_, off, v)); }
    void bytes(std::size_t off, const void* p, std::size_t n) { ok(tb::put_bytes(buf_, off, p, n)); }
    void random(std::size_t off, std::size_t n, Rng& rng) {
        ok(tb::in_range(buf_.size(), off, n));
        rng.fill(buf_.data() + off, n);
    }
    std::vector<std::uint8_t>& buf() { return buf_; }

private:
    static void ok(bool in) {
        if (!in) throw Error("sample image: write outside the image (builder fault)");
    }
    std::vector<std::uint8_t> buf_;
    std::uint32_t base_;
    std::string station_;
};

// XORs every byte of [off, off+n) with a non-zero value, so each byte, and so each value, differs.
void retune(std::vector<std::uint8_t>& m, std::size_t off, std::size_t n, Rng rng) {
    if (!tb::in_range(m.size(), off, n)) throw Error("sample image: retune outside the image (builder fault)");
    for (std::size_t i = 0; i < n; ++i) m[off + i] ^= static_cast<std::uint8_t>(1 + rng.below(255));
}

std::string make_tag(const Model& m, int number) {
    char digits[16];
    std::snprintf(digits, sizeof digits, "%04d", number);
    std::string tag = m.tagPrefix + digits;
    if (tag.size() > fmt::kTagLen) tag.resize(fmt::kTagLen);
    return tag;
}

// Models of the blocks: each model with a weight once, in order, then a weighted draw.
std::vector<int> pick_models(const Description& d, const Station& s, const std::vector<bool>& real) {
    std::vector<int> pick(real.size(), -1);
    std::vector<int> order;
    long total = 0;
    for (std::size_t i = 0; i < s.models.size(); ++i)
        if (s.models[i].weight > 0) {
            order.push_back(static_cast<int>(i));
            total += s.models[i].weight;
        }
    Rng rng = Rng::keyed(d.seed, kModelPick, static_cast<std::uint64_t>(s.number));
    std::size_t k = 0;
    for (std::size_t i = 0; i < real.size(); ++i) {
        if (!real[i]) continue;
        if (k < order.size()) {
            pick[i] = order[k++];
            continue;
        }
        long r = static_cast<long>(rng.below(static_cast<std::uint64_t>(total)));
        for (int m : order) {
            r -= s.models[m].weight;
            if (r < 0) {
                pick[i] = m;
                break;
            }
        }
    }
    return pick;
}

}  // namespace

unsigned bus_type(const Station& s, int bus) {
    unsigned t = bus < static_cast<int>(s.ioBusTypes.size()) ? s.ioBusTypes[bus] : 0;
    if (t == 0) return bus == 0 ? 1u : 0xFFFFu;
    return t;
}

StationImages build_images(const Description& d, const Station& s) {
    StationImages out;
    StationResult& info = out.info;
    info.name = s.name;
    info.number = s.number;
    info.baseAddress = s.baseAddress;
    info.maxBlock = s.blocks;
    const std::uint64_t sn = static_cast<std::uint64_t>(s.number);
    Layout L(s.baseAddress, s.name);

    // File header.
    L.bytes(fmt::kHdrMagic, fmt::kMagic, sizeof fmt::kMagic);
    L.u32(fmt::kHdrVersion, fmt::kHeaderVersion);
    L.u32(fmt::kHdrStationNo, static_cast<std::uint32_t>(s.number));
    L.u64(fmt::kHdrGeneration, s.generationStamp);
    L.bytes(fmt::kHdrStationName, s.name.data(), std::min(s.name.size(), fmt::kTagLen));
    L.u32(fmt::kHdrBase, s.baseAddress);

    // Station root and constant tables.
    const std::size_t R = fmt::kRootOffset, C = fmt::kStnCnstOffset;
    L.u32(R + fmt::kRootStnCnst, L.addr(C));
    L.u8(C + fmt::kScIdSecond, s.idSecond);
    L.u8(C + fmt::kScIdFirst, s.idFirst);
    L.u16(C + fmt::kScFactor1, static_cast<std::uint16_t>(s.factor1));
    L.u16(C + fmt::kScFactor2, static_cast<std::uint16_t>(s.factor2));
    L.u16(C + fmt::kScBusType1, static_cast<std::uint16_t>(s.ioBusTypes.size() > 0 ? s.ioBusTypes[0] : 0));
    L.u16(C + fmt::kScBusType2, static_cast<std::uint16_t>(s.ioBusTypes.size() > 1 ? s.ioBusTypes[1] : 0));
    L.u16(C + fmt::kScCount10, static_cast<std::uint16_t>(s.opeMarks10));
    L.u16(C + fmt::kScCount11, static_cast<std::uint16_t>(s.opeMarks11));
    L.u16(C + fmt::kScCount1C8, s.constant1C8);
    L.u16(C + fmt::kScCount42, static_cast<std::uint16_t>(s.opeMarks42));

    auto table = [&](int kind, std::size_t size, bool fetched) {
        std::size_t off = L.alloc(size);
        info.opeMarks.push_back({kind, L.addr(off), off, size, fetched});
        return off;
    };

    // Station-wide I/O table and its node tables, in the order bus 1 type 1, bus 2 type 1, ...
    const std::size_t io = L.alloc(fmt::kIoSize);
    L.u32(R + fmt::kRootIoTbl, L.addr(io));
    struct NodeKind {
        int bus, type, kind, count;
        std::size_t tblField;
    };
    const NodeKind nodes[6] = {
        {0, 1, 21, s.ioNodes.type1[0], fmt::kNodeType1Tbl}, {1, 1, 22, s.ioNodes.type1[1], fmt::kNodeType1Tbl},
        {0, 2, 28, s.ioNodes.type2[0], fmt::kNodeType2Tbl}, {1, 2, 27, s.ioNodes.type2[1], fmt::kNodeType2Tbl},
        {0, 4, 29, s.ioNodes.type4[0], fmt::kNodeType4Tbl}, {1, 4, 30, s.ioNodes.type4[1], fmt::kNodeType4Tbl},
    };
    for (std::size_t k = 0; k < 6; ++k) {
        const NodeKind& n = nodes[k];
        if (n.count <= 0) continue;
        std::size_t size = n.type == 1   ? std::size_t(n.count) * std::size_t(s.factor1 * s.factor2 * 32) * fmt::kWord
                           : n.type == 2 ? fmt::kType2Elements * fmt::kNodeElem512
                                         : std::size_t(n.count) * fmt::kNodeElem512;
        std::size_t node = L.alloc(fmt::kNodeSize);
        L.u32(io + fmt::kIoNodeTbls + 4 * k, L.addr(node));
        L.u16(node + fmt::kNodeCount, static_cast<std::uint16_t>(n.count));
        std::size_t dest = table(n.kind, size, bus_type(s, n.bus) == static_cast<unsigned>(n.type));
        L.u32(node + n.tblField, L.addr(dest));
    }

    // Holders of the station-wide kinds 10, 11 (destination at +4) and 42 (at +0x30).
    auto holder = [&](std::size_t ioField, std::size_t destField, int kind, int count, std::size_t elemBytes) {
        std::size_t h = L.alloc(fmt::kHolderSize);
        L.u32(io + ioField, L.addr(h));
        if (count > 0) L.u32(h + destField, L.addr(table(kind, std::size_t(count) * elemBytes, true)));
    };
    holder(fmt::kIoKind10, fmt::kHolderDest, 10, s.opeMarks10, fmt::kWord);
    holder(fmt::kIoKind11, fmt::kHolderDest, 11, s.opeMarks11, fmt::kWord);
    holder(fmt::kIoKind42, fmt::kHolder42Dest, 42, s.opeMarks42, 16 * fmt::kWord);

    // Custom folder names: 16 entries of 8 bytes, NUL-padded, not terminated at 8.
    if (!s.customFolders.empty()) {
        std::size_t list = L.alloc(fmt::kCustomNames * fmt::kCustomNameLen);
        L.u32(io + fmt::kIoCustomList, L.addr(list));
        for (std::size_t i = 0; i < s.customFolders.size(); ++i)
            L.bytes(list + i * fmt::kCustomNameLen, s.customFolders[i].data(), s.customFolders[i].size());
        info.customFolderListOffset = list;
    }

    // Area 1: root table, its constant table exactly 0x200 after it, block tables, AN messages.
    const std::size_t area = L.alloc(fmt::kAreaRootSize + fmt::kAreaCnstSize);
    const std::size_t acnst = area + fmt::kAreaRootSize;
    L.u32(R + fmt::kRootArea1, L.addr(area));
    L.u32(area + fmt::kArCnst, L.addr(acnst));
    L.u16(acnst + fmt::kAcMaxBlock, static_cast<std::uint16_t>(s.blocks));
    L.u16(acnst + fmt::kAcCount42, s.areaCount42);
    L.u16(acnst + fmt::kAcAnMsgCnt, static_cast<std::uint16_t>(s.anMessages));
    const std::size_t bpt = L.alloc(fmt::kBlockPtrSize);
    L.u32(area + fmt::kArBlockPtr, L.addr(bpt));
    const std::size_t bldb = L.alloc(4 * std::size_t(s.blocks));
    L.u32(bpt + fmt::kBpBldb, L.addr(bldb));
    info.bldbPtrTblOffset = bldb;

    const std::size_t an = L.alloc(fmt::kAnSize);
    L.u32(area + fmt::kArAnMsg, L.addr(an));
    const std::size_t nAn = static_cast<std::size_t>(s.anMessages);
    const bool anOn = nAn > 0;
    L.u32(an + fmt::kAnKind31, L.addr(table(31, (nAn + 127) / 128 * 16, anOn)));
    L.u32(an + fmt::kAnKind12, L.addr(table(12, nAn * fmt::kWord, anOn)));
    const std::size_t uaid = table(58, nAn * fmt::kWord, anOn);
    L.u32(an + fmt::kAnUaid, L.addr(uaid));
    info.uaidOffset = uaid;

    // Operation-mark contents: random, UAIDs non-zero.
    for (const OpeMarkTable& t : info.opeMarks) {
        Rng rng = Rng::keyed(d.seed, kTableData, sn, static_cast<std::uint64_t>(t.kind));
        L.random(t.offset, t.size, rng);
    }
    {
        Rng rng = Rng::keyed(d.seed, kTableData, sn, 0x5A);
        for (std::size_t k = 0; k < nAn; ++k) L.u16(uaid + 2 * k, static_cast<std::uint16_t>(1 + rng.below(0xFFFE)));
    }

    // Blocks.
    const std::size_t nb = static_cast<std::size_t>(s.blocks);
    std::vector<bool> real(nb, false);
    info.blocks.resize(nb);
    for (std::size_t i = 0; i < nb; ++i) {
        int no = static_cast<int>(i + 1);
        BlockInfo& b = info.blocks[i];
        b.number = no;
        b.empty = s.emptyEvery > 0 && no % s.emptyEvery == 0;
        real[i] = !b.empty && !(s.codeZeroEvery > 0 && no % s.codeZeroEvery == 0);
    }
    const std::vector<int> pick = pick_models(d, s, real);
    std::vector<int> existing;
    std::vector<std::uint16_t> codes(nb, 0);
    for (std::size_t i = 0; i < nb; ++i)
        if (real[i]) {
            existing.push_back(static_cast<int>(i + 1));
            codes[i] = s.models[static_cast<std::size_t>(pick[i])].blockCode;
        }
    const std::vector<int> heads = edit_file_heads(s, codes);

    for (std::size_t i = 0; i < nb; ++i) {
        BlockInfo& b = info.blocks[i];
        if (b.empty) continue;
        std::size_t h = L.alloc(fmt::kBlockHeaderSize);
        b.headerOffset = h;
        b.headerAddress = L.addr(h);
        L.u32(bldb + 4 * i, b.headerAddress);
        L.u16(h + fmt::kBhNumber, static_cast<std::uint16_t>(b.number));
        if (!real[i]) continue;  // a block of code 0: a header without model or records

        const Model& m = s.models[static_cast<std::size_t>(pick[i])];
        b.code = m.blockCode;
        b.model = m.name;
        b.category = m.category;
        b.tag = make_tag(m, b.number);
        char loc[16];
        std::snprintf(loc, sizeof loc, "DR%04d", (b.number - 1) / s.blocksPerDrawing + 1);
        b.location = loc;
        b.fileName = b.tag;
        b.fetched = !(m.category == 0 && (m.blockCode == fmt::kCodeSkip6266 || m.blockCode == fmt::kCodeSkip6267));
        b.listed = b.fetched && !(m.category <= 2 || m.category == 15);
        if (m.blockCode == fmt::kCodeParent6226 || m.blockCode == fmt::kCodeParent6227) {
            // The parent heads the edit file that holds the block (itself when it heads one).
            b.parent = static_cast<std::uint16_t>(heads[i]);
        } else if (fmt::has_parent(m.blockCode) && existing.size() > 1) {
            Rng rng = Rng::keyed(d.seed, kParentPick, sn, static_cast<std::uint64_t>(b.number));
            do {
                b.parent = static_cast<std::uint16_t>(existing[rng.below(existing.size())]);
            } while (b.parent == b.number);
        }
        L.bytes(h + fmt::kBhTag, b.tag.data(), b.tag.size());
        L.u16(h + fmt::kBhCode, b.code);
        L.u8(h + fmt::kBhCategory, b.category);

        std::vector<const Record*> recs;
        for (const Record& r : m.records) recs.push_back(&r);
        std::sort(recs.begin(), recs.end(), [](const Record* a, const Record* c) { return a->recNo < c->recNo; });
        for (const Record* r : recs) {
            std::size_t off = L.alloc(r->size);
            const std::size_t slot = h + fmt::kBhRecords + 8 * std::size_t(r->recNo);
            L.u32(slot, L.addr(off));
            L.u32(slot + 4, r->size);
            Rng rng = Rng::keyed(d.seed, kRecordData, (sn << 32) | std::uint64_t(b.number), std::uint64_t(r->recNo));
            L.random(off + fmt::kRecIdentity, r->size - fmt::kRecIdentity, rng);
            L.u16(off + fmt::kRecBlockNo, static_cast<std::uint16_t>(b.number));
            L.u8(off + fmt::kRecNo, static_cast<std::uint8_t>(r->recNo));
            if (r->recNo == 1) {
                std::uint8_t tag[fmt::kTagLen] = {};
                std::memcpy(tag, b.tag.data(), b.tag.size());
                L.bytes(off + fmt::kBhTag, tag, sizeof tag);
                L.u16(off + fmt::kBhCode, b.code);
            }
            if (r->recNo == 2 && fmt::has_parent(b.code)) L.u16(off + fmt::kRecParent, b.parent);
            bool saved = std::find(m.savedRecords.begin(), m.savedRecords.end(), r->recNo) != m.savedRecords.end();
            b.records.push_back({r->recNo, L.addr(off), off, r->size, saved});
        }
    }

    out.project = std::move(L.buf());
    info.imageSize = out.project.size();

    // The station's memory: other tuning values in the saved records (their identity bytes and
    // the parent block number kept) and in every operation-mark table.
    out.memory = out.project;
    std::vector<std::uint8_t>& mem = out.memory;
    if (s.memoryGenerationStamp != 0) tb::put_u64(mem, fmt::kHdrGeneration, s.memoryGenerationStamp);
    for (const BlockInfo& b : info.blocks)
        for (const RecordInfo& r : b.records) {
            if (!r.saved) continue;
            Rng rng = Rng::keyed(d.seed, kRecordTuning, (sn << 32) | std::uint64_t(b.number), std::uint64_t(r.recNo));
            std::size_t from = r.offset + fmt::kRecIdentity, end = r.offset + r.size;
            if (r.recNo == 2 && fmt::has_parent(b.code)) {
                std::size_t p = r.offset + fmt::kRecParent;
                retune(mem, from, p - from, rng);
                from = p + 2;
            }
            retune(mem, from, end - from, rng);
        }
    for (const OpeMarkTable& t : info.opeMarks)
        retune(mem, t.offset, t.size, Rng::keyed(d.seed, kTableTuning, sn, static_cast<std::uint64_t>(t.kind)));
    for (std::size_t k = 0; k < nAn; ++k) {
        info.uaids.push_back(tb::load_u16(out.project.data() + uaid + 2 * k));
        info.stationUaids.push_back(tb::load_u16(mem.data() + uaid + 2 * k));
    }
    return out;
}

}  // namespace sample::detail
