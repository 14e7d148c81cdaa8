#include "libqvebc2fcs/bc2fcs_layout.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <nlohmann/json.hpp>
#include <string_view>

#include "libqveeda.h"
#include "port/port_host.h"
#include "tusave_bytes.h"

namespace bc2fcs {
namespace {

using nlohmann::json;

constexpr std::uint32_t kMaxRecordSize = 1u << 20;
constexpr std::uint32_t kMaxFieldCount = 1u << 20;

void swap_at(std::uint8_t* p, std::size_t off, std::size_t width) noexcept { tb::swap_in_place(p + off, width); }

// Reads an unsigned integer member within [lo, hi]; false when absent (unless optional),
// not an integer or out of range.
bool uint_member(const json& j, const char* key, std::uint64_t lo, std::uint64_t hi, std::uint64_t& out,
                 bool optional, std::string& error) {
    auto it = j.find(key);
    if (it == j.end()) {
        if (optional) return true;
        error = std::string("missing \"") + key + "\"";
        return false;
    }
    if (!it->is_number_integer()) {
        error = std::string("\"") + key + "\" is not an integer";
        return false;
    }
    if (it->is_number_unsigned()) {
        out = it->get<std::uint64_t>();
    } else {
        std::int64_t v = it->get<std::int64_t>();
        if (v < 0) {
            error = std::string("\"") + key + "\" is negative";
            return false;
        }
        out = static_cast<std::uint64_t>(v);
    }
    if (out < lo || out > hi) {
        error = std::string("\"") + key + "\" out of range";
        return false;
    }
    return true;
}

bool parse_record(const json& r, RecordLayout& out, int& recNo, std::string& error) {
    if (!r.is_object()) {
        error = "record is not an object";
        return false;
    }
    std::uint64_t v = 0;
    if (!uint_member(r, "recNo", 0, 255, v, false, error)) return false;
    recNo = static_cast<int>(v);
    if (!uint_member(r, "size", 1, kMaxRecordSize, v, false, error)) return false;
    out.size = static_cast<std::uint32_t>(v);
    auto fit = r.find("fields");
    if (fit != r.end()) {
        if (!fit->is_array()) {
            error = "\"fields\" is not an array";
            return false;
        }
        for (const auto& f : *fit) {
            if (!f.is_object()) {
                error = "field is not an object";
                return false;
            }
            Field fld;
            std::uint64_t off = 0, width = 0, count = 1;
            if (!uint_member(f, "offset", 0, kMaxRecordSize, off, false, error)) return false;
            if (!uint_member(f, "width", 1, 8, width, false, error)) return false;
            if (width != 1 && width != 2 && width != 4 && width != 8) {
                error = "\"width\" is not 1, 2, 4 or 8";
                return false;
            }
            if (!uint_member(f, "count", 1, kMaxFieldCount, count, true, error)) return false;
            fld.offset = static_cast<std::uint32_t>(off);
            fld.width = static_cast<std::uint32_t>(width);
            fld.count = static_cast<std::uint32_t>(count);
            // Bounded values above: offset + width * count fits in 64 bits.
            if (off > out.size || width * count > out.size - off) out.valid = false;
            out.fields.push_back(fld);
        }
    }
    std::sort(out.fields.begin(), out.fields.end(),
              [](const Field& a, const Field& b) { return a.offset < b.offset; });
    for (std::size_t i = 1; i < out.fields.size(); ++i) {
        const Field& prev = out.fields[i - 1];
        std::uint64_t prevEnd = std::uint64_t{prev.offset} + std::uint64_t{prev.width} * prev.count;
        // Overlapping fields would be swapped twice.
        if (out.fields[i].offset < prevEnd) out.valid = false;
    }
    return true;
}

}  // namespace

void swap_header(std::uint8_t* h) noexcept {
    swap_at(h, 8, 2);
    swap_at(h, 10, 2);
    swap_at(h, 12, 2);
    swap_at(h, 14, 2);
    swap_at(h, 16, 4);
    swap_at(h, 20, 2);
    swap_at(h, 22, 2);
}

void swap_para(std::uint8_t* p) noexcept {
    if (p[0] == kKindBlockRecord) {
        swap_at(p, 2, 2);
        swap_at(p, 4, 4);
    } else {
        swap_at(p, 2, 2);
        swap_at(p, 4, 2);
        swap_at(p, 6, 2);
    }
}

void swap_rtn_para(std::uint8_t* p) noexcept {
    swap_at(p, 0, 4);
    swap_at(p, 4, 4);
}

void swap_item(std::uint8_t* item) noexcept {
    swap_at(item, 0, 2);
    swap_at(item, 2, 2);
    swap_at(item, 6, 2);
    swap_at(item, 8, 2);
    swap_at(item, 10, 2);
    swap_at(item, 12, 4);
}

std::shared_ptr<const RecordLayouts> RecordLayouts::parse(const std::uint8_t* data, std::size_t size,
                                                          std::string* error) {
    std::string err;
    auto fail = [&](std::string why) -> std::shared_ptr<const RecordLayouts> {
        if (error) *error = "user instance file: " + why;
        return nullptr;
    };
    if (!data) return fail("no data");
    while (size > 0 && data[size - 1] == 0) --size;
    json j;
    try {
        j = json::parse(std::string_view(reinterpret_cast<const char*>(data), size));
    } catch (const std::exception& e) {
        return fail(std::string("malformed JSON: ") + e.what());
    }
    if (!j.is_object()) return fail("not a JSON object");
    // Looked at as a string only: value() throws on a "format" of another type.
    const auto format = j.find("format");
    if (format == j.end() || !format->is_string() || format->get_ref<const std::string&>() != "tusave-userinst")
        return fail("\"format\" is not \"tusave-userinst\"");
    std::uint64_t version = 0;
    if (!uint_member(j, "version", 1, 1, version, false, err)) return fail(err);
    auto models = j.find("models");
    if (models == j.end() || !models->is_array()) return fail("\"models\" is not an array");
    auto out = std::make_shared<RecordLayouts>();
    for (const auto& m : *models) {
        if (!m.is_object()) return fail("model is not an object");
        std::uint64_t code = 0;
        if (!uint_member(m, "blockCode", 0, 0xFFFF, code, false, err)) return fail(err);
        auto recs = m.find("records");
        if (recs == m.end() || !recs->is_array()) return fail("\"records\" is not an array");
        for (const auto& r : *recs) {
            RecordLayout layout;
            int recNo = 0;
            if (!parse_record(r, layout, recNo, err)) return fail(err);
            auto key = std::make_pair(static_cast<std::uint16_t>(code), recNo);
            if (!out->layouts_.emplace(key, std::move(layout)).second)
                return fail("block code " + std::to_string(code) + " record " + std::to_string(recNo) +
                            " given twice");
        }
    }
    return out;
}

const RecordLayout* RecordLayouts::find(std::uint16_t blockCode, int recNo) const {
    auto it = layouts_.find({blockCode, recNo});
    return it == layouts_.end() ? nullptr : &it->second;
}

bool swap_record(const RecordLayout& layout, std::uint8_t* record, std::size_t size) noexcept {
    if (!layout.valid || size != layout.size || !record) return false;
    for (const Field& f : layout.fields) {
        for (std::uint32_t i = 0; i < f.count; ++i) swap_at(record, f.offset + std::size_t{i} * f.width, f.width);
    }
    return true;
}

}  // namespace bc2fcs
