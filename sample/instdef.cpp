// The instance definitions file of a station, from the same models its blocks are built with.
#include <cstdio>
#include <map>
#include <set>

#include "sample.h"

namespace sample {
namespace {

constexpr std::size_t kNameLen = 8;  // instance and item names in the definitions

bool plain(const std::string& n) {
    for (unsigned char c : n)
        if (c <= 0x20 || c >= 0x7F || c == ':' || c == ',' || c == ';' || c == '=' || c == '\\') return false;
    return !n.empty();
}

std::string where(const Station& s, const Model& m) {
    char code[8];
    std::snprintf(code, sizeof code, "0x%04x", m.blockCode);
    return s.name + ": model \"" + m.name + "\" (block code " + code + ")";
}

}  // namespace

nlohmann::ordered_json instdef_json(const Station& s) {
    using oj = nlohmann::ordered_json;
    oj models = oj::array();
    std::map<std::string, std::string> names;  // instance name -> model it came from
    for (const Model& m : s.models) {
        // Callers keep 8 characters of an instance name, so the definitions hold no more.
        const std::string inst = m.name.substr(0, kNameLen);
        if (!plain(inst)) throw Error(where(s, m) + ": not a usable instance name");
        if (auto [it, fresh] = names.emplace(inst, m.name); !fresh)
            throw Error(where(s, m) + ": instance name \"" + inst + "\" is also that of model \"" + it->second + "\"");
        oj items = oj::array();
        std::set<std::string> itemNames;
        for (const Item& it : m.items) {
            if (it.name.size() > kNameLen || !plain(it.name))
                throw Error(where(s, m) + ": item \"" + it.name + "\" is not a name of 1 to 8 characters");
            if (!itemNames.insert(it.name).second) throw Error(where(s, m) + ": item \"" + it.name + "\" appears twice");
            // The description counts elements per dimension (1: no such dimension); the
            // definitions write 0 for a dimension that is not there.
            const int dim2 = it.dim2 > 1 ? it.dim2 : 0;
            const int dim1 = it.dim1 > 1 || dim2 > 0 ? it.dim1 : 0;
            items.push_back({{"name", it.name}, {"recNo", it.recNo}, {"offset", it.offset}, {"dataType", it.dataType},
                             {"elemSize", it.elemSize}, {"dim1", dim1}, {"dim2", dim2}});
        }
        models.push_back({{"blockCode", m.blockCode}, {"name", inst}, {"savedRecords", m.savedRecords}, {"items", items}});
    }
    return oj{{"format", "tusave-instdef"}, {"version", 1}, {"models", models}};
}

}  // namespace sample
