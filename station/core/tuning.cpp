#include "core/tuning.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "core/memory.h"
#include "tusave_bytes.h"

namespace fcs {

namespace {

constexpr std::size_t kTagOff = 0x04;
constexpr std::size_t kTagSize = 16;

std::string Tag(std::span<const std::uint8_t> rec) {
    if (rec.size() < kTagOff + kTagSize) return {};
    std::string t(reinterpret_cast<const char*>(rec.data() + kTagOff), kTagSize);
    return t.substr(0, t.find('\0'));
}

// "NAME", "NAME[i]", "NAME[i,j]" (also "NAME[i\,j]") -> name and the 1-based indexes.
void ParseLabel(const std::string& label, std::string& name, long& i, long& j) {
    i = j = 0;
    const std::size_t open = label.find('[');
    name = label.substr(0, open);
    if (open == std::string::npos) return;
    if (label.back() != ']') throw TuningError("item label \"" + label + "\" lacks its closing \"]\"");
    std::string inside = label.substr(open + 1, label.size() - open - 2);
    if (auto bs = inside.find("\\,"); bs != std::string::npos) inside.erase(bs, 1);
    char* end = nullptr;
    i = std::strtol(inside.c_str(), &end, 10);
    if (*end == ',') j = std::strtol(end + 1, &end, 10);
    if (*end != '\0' || i < 1 || (inside.find(',') != std::string::npos && j < 1))
        throw TuningError("item label \"" + label + "\": indexes are whole numbers from 1");
}

std::string Number(std::uint8_t type, const std::uint8_t* p) {
    char b[512];
    switch (type) {
    case 12: case 13: std::snprintf(b, sizeof b, "%d", static_cast<int>(tb::load_i16(p))); break;
    case 16: case 17: case 49: std::snprintf(b, sizeof b, "%u", static_cast<unsigned>(tb::load_u16(p))); break;
    case 20: case 21: std::snprintf(b, sizeof b, "%d", tb::load_i32(p)); break;
    case 24: case 25: std::snprintf(b, sizeof b, "%u", tb::load_u32(p)); break;
    case 28: case 29: case 31: {
        float f;
        const std::uint32_t u = tb::load_u32(p);
        std::memcpy(&f, &u, sizeof f);
        std::snprintf(b, sizeof b, "%f", static_cast<double>(f));
        break;
    }
    default: {
        double d;
        const std::uint64_t u = tb::load_u64(p);
        std::memcpy(&d, &u, sizeof d);
        std::snprintf(b, sizeof b, "%f", d);
    }
    }
    return b;
}

// Bytes the type's leading value takes, 0 for the text types, -1 for a type that is not set here.
int ValueBytes(std::uint8_t type) {
    switch (type) {
    case 12: case 13: case 16: case 17: case 49: return 2;
    case 20: case 21: case 24: case 25: case 28: case 29: case 31: return 4;
    case 32: case 33: return 8;
    case 8: case 60: return 0;
    }
    return -1;
}

void Encode(std::uint8_t type, std::size_t size, const std::string& value, std::uint8_t* p) {
    if (type == 8 || type == 60) {
        for (unsigned char c : value)
            if (c < 0x20 || c > 0x7E) throw TuningError("a text value is printable ASCII");
        if (value.size() > size) throw TuningError("the text is longer than the item's " + std::to_string(size) + " bytes");
        std::memset(p, 0, size);
        std::memcpy(p, value.data(), value.size());
        return;
    }
    char* end = nullptr;
    errno = 0;
    if (type == 28 || type == 29 || type == 31 || type == 32 || type == 33) {
        const double d = std::strtod(value.c_str(), &end);
        if (value.empty() || *end != '\0' || !std::isfinite(d)) throw TuningError("\"" + value + "\" is not a number");
        if (type == 32 || type == 33) {
            std::uint64_t u;
            std::memcpy(&u, &d, sizeof u);
            tb::store_u64(p, u);
        } else {
            if (std::fabs(d) > std::numeric_limits<float>::max()) throw TuningError("\"" + value + "\" is out of range");
            const float f = static_cast<float>(d);
            std::uint32_t u;
            std::memcpy(&u, &f, sizeof u);
            tb::store_u32(p, u);
        }
        return;
    }
    const long long v = std::strtoll(value.c_str(), &end, 10);
    if (value.empty() || *end != '\0' || errno != 0) throw TuningError("\"" + value + "\" is not a whole number");
    long long lo = 0, hi = 0;
    switch (type) {
    case 12: case 13: lo = INT16_MIN, hi = INT16_MAX; break;
    case 16: case 17: case 49: lo = 0, hi = UINT16_MAX; break;
    case 20: case 21: lo = INT32_MIN, hi = INT32_MAX; break;
    default: lo = 0, hi = UINT32_MAX; break;
    }
    if (v < lo || v > hi)
        throw TuningError("\"" + value + "\" is outside " + std::to_string(lo) + " to " + std::to_string(hi));
    if (ValueBytes(type) == 2) tb::store_u16(p, static_cast<std::uint16_t>(v));
    else tb::store_u32(p, static_cast<std::uint32_t>(v));
}

}  // namespace

TuningChange set_tuning_value(std::vector<std::uint8_t>& memory, const instdef::Definitions& defs,
                              const std::string& tag, const std::string& label, const std::string& value) {
    Memory mem(memory);
    if (auto why = mem.check_header()) throw TuningError(*why);
    const int maxBlock = mem.max_block();
    std::optional<RecordRef> rec1;
    int blockNo = 0;
    for (int n = 1; n <= maxBlock && !rec1; ++n) {
        auto r = mem.record(n, 1);
        if (r && Tag(mem.bytes().subspan(r->pos, r->size)) == tag) {
            rec1 = r;
            blockNo = n;
        }
    }
    if (!rec1) throw TuningError("no block tagged \"" + tag + "\" in the station's memory");
    const instdef::Model* model = defs.code(rec1->blockCode);
    if (!model)
        throw TuningError(tag + ": block code " + std::to_string(rec1->blockCode) + " has no model in the instance definitions");
    std::string name;
    long i = 0, j = 0;
    ParseLabel(label, name, i, j);
    const instdef::Item* item = model->find(name);
    if (!item) throw TuningError(tag + " (" + model->name + ") has no item " + name + "; its items: " + model->itemList);
    const long dim1 = item->dim1, dim2 = item->dim2;
    long index = 0;
    if (dim1 == 0 && i != 0) throw TuningError(name + " is a single value: give it without [ ]");
    if (dim1 != 0 && i == 0) throw TuningError(name + " is an array: give an element, " + name + "[1]");
    if (dim2 == 0 && j != 0) throw TuningError(name + " has one dimension: " + name + "[i]");
    if (dim2 != 0 && i != 0 && j == 0) throw TuningError(name + " has two dimensions: " + name + "[i,j]");
    if (i > dim1 || j > dim2) throw TuningError(label + " lies outside the item (" + std::to_string(dim1) +
                                                (dim2 ? " x " + std::to_string(dim2) : "") + ")");
    if (i) index = dim2 ? (i - 1) * dim2 + (j - 1) : i - 1;
    const int bytes = ValueBytes(item->dataType);
    if (bytes < 0) throw TuningError(name + " is of data type " + std::to_string(item->dataType) + ", which is not set here");
    const std::size_t size = item->elemSize;
    if (static_cast<int>(size) < bytes || size == 0)
        throw TuningError(name + ": element size " + std::to_string(size) + " does not fit its type");
    auto rec = mem.record(blockNo, item->recNo);
    const std::size_t off = item->offset + static_cast<std::size_t>(index) * size;
    if (!rec || !tb::in_range(rec->size, off, size))
        throw TuningError(label + " of " + tag + " lies outside record " + std::to_string(item->recNo) + " of the memory");
    std::uint8_t* p = memory.data() + rec->pos + off;
    TuningChange c;
    c.blockNo = blockNo;
    c.model = model->name;
    c.label = i ? name + "[" + std::to_string(i) + (j ? "," + std::to_string(j) : "") + "]" : name;
    auto show = [&] {
        if (bytes > 0) return Number(item->dataType, p);
        return std::string(reinterpret_cast<const char*>(p), strnlen(reinterpret_cast<const char*>(p), size));
    };
    c.oldValue = show();
    Encode(item->dataType, size, value, p);
    c.newValue = show();
    return c;
}

}  // namespace fcs
