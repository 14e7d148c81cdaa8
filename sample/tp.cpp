// Item values of the sample for the TP file, and its TP folder.
#include "tp.h"

#include <algorithm>
#include <initializer_list>
#include <cstring>

#include "image_format.h"
#include "rng.h"
#include "tusave_bytes.h"

namespace sample::detail {
namespace {

constexpr std::uint64_t kItemValues = 0x7E01;   // key of the value stream

// Text pairs (project, memory): every byte position differs; beyond a text, fill bytes of
// two disjoint ranges follow its terminator.
struct TextPair {
    const char* name;   // item name, or null for any other text item
    const char* project;
    const char* memory;
};
constexpr TextPair kTexts[] = {
    {"DBTXT", "\xA5\xBD\xC9\xBD:", "x\xC7\xBD\xCD\xBD;"},   // double-byte, second bytes 0x5C in CP932
    {"FULL", "ABCDEFGH", "abcdefgh"},                      // fills its 8 bytes, no terminator
    {"RAW", "R,:;\\", "s"},
    {nullptr, "C:\\X,Y", "A,B;Z\\:\\"},
};

void put_text(std::uint8_t* p, std::size_t size, const char* text, std::uint8_t fill) {
    const std::size_t n = std::min(size, std::strlen(text));
    std::memcpy(p, text, n);
    if (n < size) p[n] = 0;
    for (std::size_t i = n + 1; i < size; ++i) p[i] = static_cast<std::uint8_t>(fill + i % 15);
}

enum class Kind { kInt, kF32, kF64, kText, kNone };

struct TypeInfo {
    Kind kind;
    std::size_t width;   // of the leading value
};

TypeInfo type_info(int code) {
    switch (code) {
    case 12: case 13: case 16: case 17: case 49: return {Kind::kInt, 2};
    case 20: case 21: case 24: case 25: return {Kind::kInt, 4};
    case 28: case 29: case 31: return {Kind::kF32, 4};
    case 32: case 33: return {Kind::kF64, 8};
    case 8: case 60: return {Kind::kText, 0};
    default: return {Kind::kNone, 0};
    }
}

bool all_differ(const std::uint8_t* a, const std::uint8_t* b, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i)
        if (a[i] == b[i]) return false;
    return true;
}

// One element's leading value in both images.
void put_value(const Item& it, TypeInfo t, std::uint8_t* proj, std::uint8_t* mem, Rng& rng) {
    if (t.kind == Kind::kText) {
        const TextPair* tp = &kTexts[std::size(kTexts) - 1];
        for (const TextPair& x : kTexts)
            if (x.name && it.name == x.name) tp = &x;
        put_text(proj, static_cast<std::size_t>(it.elemSize), tp->project, 0x01);
        put_text(mem, static_cast<std::size_t>(it.elemSize), tp->memory, 0x10);
        if (!all_differ(proj, mem, static_cast<std::size_t>(it.elemSize)))
            throw Error("sample: text item " + it.name + " equal in project and memory (builder fault)");
        return;
    }
    for (int attempt = 0; attempt < 256; ++attempt) {
        if (t.kind == Kind::kInt) {
            const std::uint64_t v = rng.next();
            for (std::size_t i = 0; i < t.width; ++i) {
                proj[i] = static_cast<std::uint8_t>(v >> (8 * i));
                mem[i] = static_cast<std::uint8_t>(proj[i] ^ (1 + (v >> (8 * i + 32)) % 255));
            }
            return;
        }
        // Random mantissa bits under an exponent that keeps the value finite and printable.
        if (t.kind == Kind::kF32) {
            for (std::uint8_t* p : {proj, mem}) {
                const std::uint32_t bits = static_cast<std::uint32_t>(rng.below(2)) << 31 |
                                           static_cast<std::uint32_t>(118 + rng.below(24)) << 23 |
                                           static_cast<std::uint32_t>(rng.next() & 0x7FFFFF);
                tb::store_u32(p, bits);
            }
        } else {
            // Items named BIG hold values of 1e255 and more: "%f" gives over 256 characters.
            const bool big = it.name == "BIG";
            for (std::uint8_t* p : {proj, mem}) {
                const std::uint64_t exp = big ? 1871 + rng.below(170) : 1010 + rng.below(30);
                tb::store_u64(p, rng.below(2) << 63 | exp << 52 | (rng.next() & 0xFFFFFFFFFFFFFull));
            }
        }
        if (all_differ(proj, mem, t.width)) return;
    }
    throw Error("sample: no differing values for item " + it.name + " (builder fault)");
}

Item item(const char* name, int recNo, std::uint32_t offset, int type, int size, int dim1 = 1, int dim2 = 1) {
    return Item{name, recNo, offset, type, size, dim1, dim2};
}

}  // namespace

Model tp_types_model() {
    Model m;
    m.blockCode = 0x0907;
    m.name = "TPTYPES";
    m.tagPrefix = "TPT";
    m.category = 3;
    m.weight = 1;
    m.items = {item("I16", 2, 8, 12, 2),     item("U16", 2, 10, 16, 2),    item("I32", 2, 12, 20, 4),
               item("U32", 2, 16, 24, 4),    item("F32", 2, 20, 28, 4),    item("F64", 2, 24, 32, 8),
               item("BIG", 2, 32, 32, 8),    item("I16S", 2, 40, 13, 8),   item("U16S", 2, 48, 17, 8),
               item("I32S", 2, 56, 21, 8),   item("U32S", 2, 64, 25, 8),   item("F32S", 2, 72, 29, 8),
               item("F32SR", 2, 80, 31, 16), item("F64S", 2, 96, 33, 16),  item("TCS", 2, 112, 49, 8),
               item("ARR", 2, 120, 12, 2, 3), item("MAT", 2, 128, 28, 4, 2, 3), item("TXT", 2, 152, 8, 16),
               item("DBTXT", 2, 168, 8, 12), item("FULL", 2, 180, 8, 8),   item("RAW", 2, 188, 60, 8),
               item("ODD", 2, 196, 9, 4),    item("ID", 1, 0x18, 24, 4)};
    // Record 1: the identity (block number, tag, block code) and an unsaved item.
    Record r1;
    r1.recNo = 1;
    r1.size = 48;
    r1.fields = {{0, 2, 1}, {static_cast<std::uint32_t>(fmt::kBhCode), 2, 1}, {0x18, 4, 1}};
    // Record 2: one field per element of every item with a multi-byte leading value.
    Record r2;
    r2.recNo = 2;
    r2.size = 200;
    r2.fields.push_back({0, 2, 1});
    for (const Item& it : m.items) {
        const TypeInfo t = type_info(it.dataType);
        if (it.recNo != 2 || (t.kind != Kind::kInt && t.kind != Kind::kF32 && t.kind != Kind::kF64)) continue;
        const std::uint32_t n = static_cast<std::uint32_t>(it.dim1 * it.dim2);
        if (static_cast<std::size_t>(it.elemSize) == t.width)
            r2.fields.push_back({it.offset, static_cast<std::uint32_t>(t.width), n});
        else
            for (std::uint32_t k = 0; k < n; ++k)
                r2.fields.push_back({it.offset + k * static_cast<std::uint32_t>(it.elemSize),
                                     static_cast<std::uint32_t>(t.width), 1});
    }
    m.records = {r1, r2};
    m.savedRecords = {2};
    return m;
}

void tp_item_values(const Description& d, const Station& s, StationImages& img) {
    const std::uint64_t sn = static_cast<std::uint64_t>(s.number);
    for (const BlockInfo& b : img.info.blocks) {
        if (!b.exists()) continue;
        const auto model = std::find_if(s.models.begin(), s.models.end(),
                                        [&](const Model& m) { return m.blockCode == b.code; });
        if (model == s.models.end()) continue;
        for (std::size_t n = 0; n < model->items.size(); ++n) {
            const Item& it = model->items[n];
            const TypeInfo t = type_info(it.dataType);
            const auto rec = std::find_if(b.records.begin(), b.records.end(),
                                          [&](const RecordInfo& r) { return r.recNo == it.recNo; });
            if (t.kind == Kind::kNone || rec == b.records.end() || !rec->saved) continue;
            Rng rng = Rng::keyed(d.seed, kItemValues, (sn << 32) | std::uint64_t(b.number), n);
            const std::size_t count = static_cast<std::size_t>(it.dim1) * static_cast<std::size_t>(it.dim2);
            for (std::size_t k = 0; k < count; ++k) {
                const std::size_t off = rec->offset + it.offset + k * static_cast<std::size_t>(it.elemSize);
                const std::size_t len = t.kind == Kind::kText ? static_cast<std::size_t>(it.elemSize) : t.width;
                if (!tb::in_range(img.project.size(), off, len) ||
                    it.offset + (k + 1) * static_cast<std::size_t>(it.elemSize) > rec->size)
                    throw Error("sample: item " + it.name + " outside its record (builder fault)");
                put_value(it, t, img.project.data() + off, img.memory.data() + off, rng);
            }
        }
    }
}

std::vector<std::pair<std::string, std::string>> tp_folder_files() {
    const std::string old = ":::SOURCE\n1767139200:Wed Dec 31 00:00:00 2025;\n::::SOURCE\n";
    return {{"tuning.tps", old},
            {"TP20251231000000.txt", old},
            {"TP20251231000100.txt", old},
            {"TP20251231000200.txt", old}};
}

}  // namespace sample::detail
