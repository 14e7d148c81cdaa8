// Reading the instance definitions file: every value is checked against the documented
// format before the definitions are used, so a damaged file is refused as a whole.
#include "libqverxgen/inst_def.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <set>

#include <nlohmann/json.hpp>

#include "port/file_cache.h"
#include "port/port_host.h"

namespace instdef {
namespace {

using json = nlohmann::json;

constexpr const char* kFormat = "tusave-instdef";
constexpr int kVersion = 1;

// Instance and item names stand in the TP file between its separators.
bool valid_name(std::string_view n) {
    if (n.empty() || n.size() > kMaxNameLen) return false;
    for (unsigned char c : n)
        if (c <= 0x20 || c >= 0x7F || std::strchr(":,;=\\", c) != nullptr) return false;
    return true;
}

std::string hex4(unsigned v) {
    char b[8];
    std::snprintf(b, sizeof b, "0x%04x", v & 0xFFFFu);
    return b;
}

class Parser {
public:
    Parser(const std::string& source, std::string& error) : src_(source), error_(error) {}

    bool fail(const std::string& where, const std::string& what) {
        error_ = src_ + ": " + (where.empty() ? "" : where + ": ") + what;
        return false;
    }

    bool keys(const json& o, const std::string& where, std::initializer_list<const char*> allowed) {
        if (!o.is_object()) return fail(where, "expected an object");
        for (auto it = o.begin(); it != o.end(); ++it) {
            bool known = false;
            for (const char* k : allowed) known = known || it.key() == k;
            if (!known) return fail(where, "unknown key \"" + it.key() + "\"");
        }
        return true;
    }

    // An integer in [min, max]; when optional and missing, v keeps its value.
    bool integer(const json& o, const char* key, const std::string& where, long long min, long long max, long long& v,
                 bool required = true) {
        auto it = o.find(key);
        if (it == o.end()) return required ? fail(where, std::string("missing \"") + key + "\"") : true;
        if (it->is_number_unsigned()) {
            const auto u = it->get<std::uint64_t>();
            if (u > static_cast<std::uint64_t>(max)) return range(where, key, min, max);
            v = static_cast<long long>(u);
        } else if (it->is_number_integer()) {
            v = it->get<long long>();
        } else {
            return range(where, key, min, max);
        }
        return v >= min && v <= max ? true : range(where, key, min, max);
    }
    // The place is put together only for the error.
    bool range(const std::string& where, const char* key, long long min, long long max) {
        return fail(where.empty() ? std::string(key) : where + "." + key,
                    "expected an integer from " + std::to_string(min) + " to " + std::to_string(max));
    }

    bool name(const json& o, const std::string& where, std::string& out) {
        auto it = o.find("name");
        if (it == o.end()) return fail(where, "missing \"name\"");
        if (!it->is_string()) return fail(where + ".name", "expected a string");
        out = it->get<std::string>();
        if (!valid_name(out))
            return fail(where + ".name", "\"" + out + "\" is not a name of 1 to 8 printable characters without :,;=\\");
        return true;
    }

    bool item(const json& j, const std::string& where, Item& it) {
        if (!keys(j, where, {"name", "recNo", "offset", "dataType", "elemSize", "dim1", "dim2"})) return false;
        long long recNo = 0, offset = 0, type = 0, size = 0, dim1 = 0, dim2 = 0;
        if (!name(j, where, it.name) || !integer(j, "recNo", where, 0, 255, recNo) ||
            !integer(j, "offset", where, 0, 0xFFFF, offset) || !integer(j, "dataType", where, 0, 255, type) ||
            !integer(j, "elemSize", where, 0, 255, size) || !integer(j, "dim1", where, 0, 0xFFFF, dim1, false) ||
            !integer(j, "dim2", where, 0, 0xFFFF, dim2, false))
            return false;
        if (dim2 != 0 && dim1 == 0) return fail(where + ".dim2", "a second dimension needs a first one");
        it.recNo = static_cast<std::uint8_t>(recNo);
        it.offset = static_cast<std::uint16_t>(offset);
        it.dataType = static_cast<std::uint8_t>(type);
        it.elemSize = static_cast<std::uint8_t>(size);
        it.dim1 = static_cast<std::uint16_t>(dim1);
        it.dim2 = static_cast<std::uint16_t>(dim2);
        return true;
    }

    bool model(const json& j, const std::string& where, Model& m) {
        if (!keys(j, where, {"blockCode", "name", "savedRecords", "items"})) return false;
        long long code = 0;
        if (!integer(j, "blockCode", where, 1, 0xFFFF, code) || !name(j, where, m.name)) return false;
        m.blockCode = static_cast<std::uint16_t>(code);
        const std::string who = where + " (block code " + hex4(m.blockCode) + ", \"" + m.name + "\")";

        if (auto it = j.find("savedRecords"); it != j.end()) {
            if (!it->is_array()) return fail(who + ".savedRecords", "expected an array");
            if (it->size() > kMaxSavedRecords)
                return fail(who, std::to_string(it->size()) + " saved records, at most " +
                                     std::to_string(kMaxSavedRecords));
            std::set<int> seen;
            for (std::size_t i = 0; i < it->size(); ++i) {
                const std::string at = who + ".savedRecords[" + std::to_string(i) + "]";
                const json& v = (*it)[i];
                if (!v.is_number_integer() || v.get<long long>() < 2 || v.get<long long>() > 255)
                    return fail(at, "expected a record number from 2 to 255 (record 1 is always fetched)");
                const int no = v.get<int>();
                if (!seen.insert(no).second) return fail(at, "record " + std::to_string(no) + " appears twice");
                m.savedRecords.push_back(no);
            }
        }

        if (auto it = j.find("items"); it != j.end()) {
            if (!it->is_array()) return fail(who + ".items", "expected an array");
            if (it->size() > kMaxItems)
                return fail(who, std::to_string(it->size()) + " items, at most " + std::to_string(kMaxItems));
            m.items.resize(it->size());
            for (std::size_t i = 0; i < it->size(); ++i) {
                const std::string at = who + ".items[" + std::to_string(i) + "]";
                if (!item((*it)[i], at, m.items[i])) return false;
                if (!m.itemIndex.emplace(m.items[i].name, i).second)
                    return fail(at + ".name", "item \"" + m.items[i].name + "\" appears twice");
                if (i > 0) m.itemList += ':';
                m.itemList += m.items[i].name;
            }
        }
        return true;
    }

    bool file(const json& j, Definitions& d) {
        if (!keys(j, "", {"format", "version", "models"})) return false;
        auto f = j.find("format");
        if (f == j.end() || !f->is_string() || f->get<std::string>() != kFormat)
            return fail("format", std::string("expected \"") + kFormat + "\"");
        long long version = 0;
        if (!integer(j, "version", "", kVersion, kVersion, version)) return false;
        auto ms = j.find("models");
        if (ms == j.end() || !ms->is_array()) return fail("models", "expected an array");
        d.models.resize(ms->size());
        for (std::size_t i = 0; i < ms->size(); ++i) {
            const std::string at = "models[" + std::to_string(i) + "]";
            Model& m = d.models[i];
            if (!model((*ms)[i], at, m)) return false;
            if (!d.byCode.emplace(m.blockCode, i).second)
                return fail(at + ".blockCode", "block code " + hex4(m.blockCode) + " appears twice");
            if (!d.byName.emplace(m.name, i).second) return fail(at + ".name", "model \"" + m.name + "\" appears twice");
        }
        return true;
    }

private:
    const std::string& src_;
    std::string& error_;
};

}  // namespace

const Item* Model::find(std::string_view item) const {
    auto it = itemIndex.find(item);
    return it == itemIndex.end() ? nullptr : &items[it->second];
}

const Model* Definitions::code(std::uint16_t blockCode) const {
    auto it = byCode.find(blockCode);
    return it == byCode.end() ? nullptr : &models[it->second];
}

const Model* Definitions::name(std::string_view instName) const {
    auto it = byName.find(instName);
    return it == byName.end() ? nullptr : &models[it->second];
}

bool parse(std::string_view text, const std::string& source, Definitions& out, std::string& error) {
    out = Definitions{};
    json j = json::parse(text.begin(), text.end(), nullptr, false);
    if (j.is_discarded()) {
        error = source + ": not valid JSON";
        return false;
    }
    Definitions d;
    Parser p(source, error);
    if (!p.file(j, d)) return false;
    out = std::move(d);
    return true;
}

int read(const std::string& path, std::shared_ptr<const Definitions>& out, std::string& error) {
    static port::FileCache<Definitions> cache;
    const int e = cache.get(path, kMaxFileSize, [&](const std::string& text, Definitions& d) {
        return parse(text, path, d, error);
    }, out);
    if (e == 0) return kOk;
    if (e < 0) return kMalformed;
    if (e == EFBIG) {
        error = path + ": larger than " + std::to_string(kMaxFileSize >> 20) + " MiB";
        return kMalformed;
    }
    error = path + ": cannot open the instance definitions: " + std::strerror(e);
    return kNoFile;
}

}  // namespace instdef
