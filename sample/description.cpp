// The description: defaults, JSON reading with a text for every refusal, and the checks that
// keep a sample sound (every table fits, every reference resolves).
#include <algorithm>
#include <cstdio>
#include <fstream>
#include <set>
#include <sstream>

#include "custom.h"
#include "image_format.h"
#include "sample.h"
#include "tp.h"

namespace sample {
namespace {

using json = nlohmann::json;

// ---- defaults --------------------------------------------------------------------------

// A record's multi-byte fields: the block number, record 1's block code, the parent of
// record 2 of the parent codes, then a run of u16 (offset 8), a run of u32, byte data.
Record make_record(int recNo, std::uint32_t size, bool parent = false) {
    Record r;
    r.recNo = recNo;
    r.size = size;
    r.fields.push_back({0, 2, 1});
    std::uint32_t start = 8;
    if (recNo == 1) {
        r.fields.push_back({static_cast<std::uint32_t>(fmt::kBhCode), 2, 1});
        start = 0x18;
    } else {
        r.fields.push_back({8, 2, 4});
        start = 16;
    }
    std::uint32_t end = parent ? static_cast<std::uint32_t>(fmt::kRecParent) : size;
    if (end > start + 8) {
        std::uint32_t n4 = (end - start) / 8;  // half of the rest as u32, the other half bytes
        if (n4) r.fields.push_back({start, 4, n4});
    }
    if (parent) {
        r.fields.push_back({static_cast<std::uint32_t>(fmt::kRecParent), 2, 1});
        if (size >= 0xB8 + 8) r.fields.push_back({0xB8, 8, 1});
    }
    return r;
}

Model make_model(std::uint16_t code, const char* name, const char* prefix, std::uint8_t category,
                 int weight, std::vector<std::pair<int, std::uint32_t>> recs, std::vector<int> saved) {
    Model m;
    m.blockCode = code;
    m.name = name;
    m.tagPrefix = prefix;
    m.category = category;
    m.weight = weight;
    for (auto [no, size] : recs) m.records.push_back(make_record(no, size, fmt::has_parent(code) && no == 2));
    m.savedRecords = std::move(saved);
    return m;
}

std::vector<Model> default_models() {
    std::vector<Model> v;
    Model pid = make_model(fmt::kCodeParent6226, "PIDLOOP", "PIC", 3, 6,
                           {{0, 32}, {1, 64}, {2, 256}, {3, 128}, {4, 96}}, {2, 3, 4});
    // Items lie on the record fields of their width (make_record); data types: 8 text,
    // 16 U16, 20 I32, 28 F32, 32 F64. Records 0 and 1 are not saved.
    pid.items = {{"UAID", 3, 8, 16, 2, 1, 1},  {"SV", 2, 16, 28, 4, 1, 1}, {"PARAM", 4, 16, 28, 4, 4, 2},
                 {"MODE", 0, 8, 16, 2, 1, 1}, {"TAG", 1, 4, 8, 16, 1, 1}};
    v.push_back(pid);
    Model ind = make_model(fmt::kCodeParent6227, "INDICATOR", "TI", 5, 4, {{1, 48}, {2, 192}, {3, 64}}, {2, 3});
    ind.items = {{"UAID", 2, 8, 16, 2, 1, 1}, {"HH", 3, 16, 28, 4, 1, 1}, {"ALRM", 3, 20, 20, 4, 5, 1},
                 {"LIMIT", 2, 0xB8, 32, 8, 1, 1}, {"TAG", 1, 4, 8, 16, 1, 1}};
    v.push_back(ind);
    Model stex = make_model(fmt::kCodeParent5122, "CALCBLK", "CAL", 3, 2, {{1, 40}, {2, 180}}, {2});
    stex.items = {{"K", 2, 16, 28, 4, 2, 1}};
    v.push_back(stex);
    v.push_back(make_model(fmt::kCodeSkip6266, "UNITSKIP", "UNT", 0, 1, {{1, 32}, {2, 64}}, {2}));
    v.push_back(make_model(fmt::kCodeSkip6267, "UNITKEEP", "UNK", 4, 1, {{1, 32}, {2, 64}, {3, 80}}, {3}));
    // Its only item lies in record 1, which is never saved: its blocks get no TP line.
    Model multi = make_model(0x0301, "MULTIREC", "SEQ", 3, 2,
                             {{1, 48}, {2, 64}, {3, 72}, {4, 80}, {5, 88}, {6, 96}, {7, 104}, {8, 112}, {9, 120}},
                             {2, 3, 4, 5, 6, 7, 8, 9});
    multi.items = {{"ID", 1, 0x18, 24, 4, 1, 1}};
    v.push_back(multi);
    Model sw = make_model(0x0402, "SWITCH", "SW", 1, 1, {{1, 32}, {2, 48}}, {2});
    sw.items = {{"STATE", 2, 16, 24, 4, 1, 1}};
    v.push_back(sw);
    v.push_back(make_model(0x0503, "GROUP", "GRP", 2, 1, {{1, 32}, {2, 48}}, {2}));
    Model folder = make_model(0x0604, "FOLDER", "FLD", 15, 1, {{1, 32}, {2, 48}}, {2});
    folder.items = {{"LEVEL", 2, 8, 12, 2, 1, 1}};
    v.push_back(folder);
    v.push_back(make_model(0x0705, "CATZERO", "CZ", 0, 1, {{1, 32}, {2, 48}}, {2}));
    Model adl = make_model(0x0806, "ADLINK", "%%ADL", 3, 1, {{1, 32}, {3, 64}, {5, 64}}, {3, 5});
    adl.items = {{"UAID", 5, 8, 16, 2, 1, 1}};
    v.push_back(adl);
    v.push_back(detail::tp_types_model());
    v.push_back(make_model(0x8A01, "LONGTAG", "LONGTAGNAMEBLK", 3, 1, {{1, 32}, {2, 512}}, {2}));
    return v;
}

}  // namespace

Station default_station(std::size_t index) {
    Station s;
    s.models = default_models();
    s.areas = {Area{}};
    if (index == 0) {
        s.name = "FCS0101";
        s.number = 1;
        s.ioBusTypes = {1, 2};
        s.generationStamp = 1767225600;  // 2026-01-01 00:00:00 UTC
        s.blocks = 64;
        s.emptyEvery = 13;
        s.codeZeroEvery = 29;
        s.anMessages = 12;
        s.ioNodes.type1[0] = 3;
        s.ioNodes.type2[1] = 1;
        s.ioNodes.type4[0] = 2;  // bus 1 is of type 1: present, but not asked for
        s.opeMarks10 = 8;
        s.opeMarks11 = 6;
        s.opeMarks42 = 3;
        s.factor1 = 2;
        s.factor2 = 2;
        s.constant1C8 = 4;
        s.areaCount42 = 2;
        s.idFirst = 1;
        s.idSecond = 1;
        s.customFolders = {"CUSTOM01", "", "CTRLDATA", "NOFOLDER"};
    } else {
        char name[16];
        std::snprintf(name, sizeof name, "FCS01%02u", static_cast<unsigned>((index + 1) % 100));
        s.name = name;
        s.number = static_cast<int>(index + 1);
        s.ioBusTypes = {4, 1};
        s.generationStamp = 1767225600 + 3600 * static_cast<std::uint64_t>(index);
        s.blocks = 40;
        s.anMessages = 300;
        s.ioNodes.type4[0] = 2;
        s.ioNodes.type1[1] = 2;
        s.ioNodes.type1[0] = 1;  // bus 1 is of type 4: present, but not asked for
        s.opeMarks11 = 4;
        s.opeMarks42 = 1;
        s.factor1 = 1;
        s.factor2 = 3;
        s.areas.push_back(Area{2, "AREA02"});
        s.autoBackup = true;
        s.idFirst = static_cast<std::uint8_t>(index + 1);
        s.idSecond = 2;
        s.customFolders = {"CUSTOM01"};
    }
    s.customFiles = detail::default_custom_files(index);
    return s;
}

namespace {

// ---- reading -------------------------------------------------------------------------------

class Reader {
public:
    Reader(const json& j, std::string where, const std::string& source) : j_(j), where_(std::move(where)), src_(source) {
        if (!j.is_object()) fail("expected an object");
    }
    [[noreturn]] void fail(const std::string& what) const { fail_at(where_, what); }
    [[noreturn]] void fail_at(const std::string& where, const std::string& what) const {
        throw Error(src_ + ": " + (where.empty() ? std::string() : where + ": ") + what);
    }
    std::string at(const char* key) const { return where_.empty() ? key : where_ + "." + key; }

    const json* find(const char* key) {
        used_.insert(key);
        auto it = j_.find(key);
        return it == j_.end() ? nullptr : &*it;
    }
    template <typename T>
    void integer(const char* key, T& out, long long min, long long max) {
        if (const json* v = find(key)) out = static_cast<T>(as_integer(*v, at(key), min, max));
    }
    long long as_integer(const json& v, const std::string& where, long long min, long long max) const {
        long long x = 0;
        if (v.is_number_unsigned()) {
            auto u = v.get<std::uint64_t>();
            if (u > static_cast<std::uint64_t>(max)) fail_range(where, min, max);
            x = static_cast<long long>(u);
        } else if (v.is_number_integer()) {
            x = v.get<long long>();
        } else {
            fail_range(where, min, max);
        }
        if (x < min || x > max) fail_range(where, min, max);
        return x;
    }
    [[noreturn]] void fail_range(const std::string& where, long long min, long long max) const {
        fail_at(where, "expected an integer from " + std::to_string(min) + " to " + std::to_string(max));
    }
    void boolean(const char* key, bool& out) {
        if (const json* v = find(key)) {
            if (!v->is_boolean()) fail_at(at(key), "expected true or false");
            out = v->get<bool>();
        }
    }
    void text(const char* key, std::string& out) {
        if (const json* v = find(key)) {
            if (!v->is_string()) fail_at(at(key), "expected a string");
            out = v->get<std::string>();
        }
    }
    const json* array(const char* key) {
        const json* v = find(key);
        if (v && !v->is_array()) fail_at(at(key), "expected an array");
        return v;
    }
    const json* object(const char* key) {
        const json* v = find(key);
        if (v && !v->is_object()) fail_at(at(key), "expected an object");
        return v;
    }
    // Refuses keys nobody asked for: a misspelt key would otherwise be a silent default.
    void finish() const {
        for (auto it = j_.begin(); it != j_.end(); ++it)
            if (!used_.count(it.key())) fail_at(at(it.key().c_str()), "unknown key");
    }
    const std::string& source() const { return src_; }

private:
    const json& j_;
    std::string where_;
    const std::string& src_;
    std::set<std::string> used_;
};

std::string idx(const std::string& where, std::size_t i) { return where + "[" + std::to_string(i) + "]"; }

Field read_field(const json& j, const std::string& where, const std::string& src) {
    Reader r(j, where, src);
    Field f;
    r.integer("offset", f.offset, 0, 0xFFFF);
    r.integer("width", f.width, 1, 8);
    r.integer("count", f.count, 1, 0xFFFF);
    r.finish();
    return f;
}

Record read_record(const json& j, const std::string& where, const std::string& src) {
    Reader r(j, where, src);
    Record rec;
    r.integer("recNo", rec.recNo, 0, fmt::kMaxRecNo);
    r.integer("size", rec.size, 1, 0xFFFF);
    if (const json* a = r.array("fields")) {
        for (std::size_t i = 0; i < a->size(); ++i) rec.fields.push_back(read_field((*a)[i], idx(r.at("fields"), i), src));
    } else {
        rec.fields.push_back({0, 2, 1});
        if (rec.recNo == 1) rec.fields.push_back({static_cast<std::uint32_t>(fmt::kBhCode), 2, 1});
    }
    r.finish();
    return rec;
}

Item read_item(const json& j, const std::string& where, const std::string& src) {
    Reader r(j, where, src);
    Item it;
    r.text("name", it.name);
    r.integer("recNo", it.recNo, 0, fmt::kMaxRecNo);
    r.integer("offset", it.offset, 0, 0xFFFF);
    r.integer("dataType", it.dataType, 0, 255);
    r.integer("elemSize", it.elemSize, 1, 255);
    r.integer("dim1", it.dim1, 1, 0xFFFF);
    r.integer("dim2", it.dim2, 1, 0xFFFF);
    r.finish();
    return it;
}

Model read_model(const json& j, const std::string& where, const std::string& src) {
    Reader r(j, where, src);
    Model m;
    r.integer("blockCode", m.blockCode, 0, 0xFFFF);
    r.text("name", m.name);
    r.text("tagPrefix", m.tagPrefix);
    if (m.tagPrefix.empty()) m.tagPrefix = m.name;
    r.integer("category", m.category, 0, 255);
    r.integer("weight", m.weight, 0, 1000000);
    if (const json* a = r.array("records"))
        for (std::size_t i = 0; i < a->size(); ++i) m.records.push_back(read_record((*a)[i], idx(r.at("records"), i), src));
    if (const json* a = r.array("savedRecords"))
        for (std::size_t i = 0; i < a->size(); ++i)
            m.savedRecords.push_back(static_cast<int>(r.as_integer((*a)[i], idx(r.at("savedRecords"), i), 0, fmt::kMaxRecNo)));
    if (const json* a = r.array("items"))
        for (std::size_t i = 0; i < a->size(); ++i) m.items.push_back(read_item((*a)[i], idx(r.at("items"), i), src));
    r.finish();
    return m;
}

void read_bus_counts(Reader& parent, const char* key, int (&out)[2], int max) {
    const json* o = parent.object(key);
    if (!o) return;
    Reader r(*o, parent.at(key), parent.source());
    r.integer("bus1", out[0], 0, max);
    r.integer("bus2", out[1], 0, max);
    r.finish();
}

Station read_station(const json& j, std::size_t index, const std::string& where, const std::string& src) {
    Reader r(j, where, src);
    Station s = default_station(index);
    r.text("name", s.name);
    r.integer("number", s.number, 1, 255);
    if (const json* a = r.array("areas")) {
        s.areas.clear();
        for (std::size_t i = 0; i < a->size(); ++i) {
            Reader ar((*a)[i], idx(r.at("areas"), i), src);
            Area area;
            ar.integer("number", area.number, 1, 16);
            ar.text("name", area.name);
            ar.finish();
            s.areas.push_back(area);
        }
    }
    r.boolean("apcs", s.apcs);
    r.boolean("underTest", s.underTest);
    r.boolean("autoBackup", s.autoBackup);
    if (const json* a = r.array("ioBusTypes")) {
        s.ioBusTypes.clear();
        for (std::size_t i = 0; i < a->size(); ++i)
            s.ioBusTypes.push_back(static_cast<unsigned>(r.as_integer((*a)[i], idx(r.at("ioBusTypes"), i), 0, 0xFFFF)));
    }
    r.text("byteOrder", s.byteOrder);
    r.integer("generationStamp", s.generationStamp, 0, 0x7FFFFFFFFFFFFFFFll);
    r.integer("memoryGenerationStamp", s.memoryGenerationStamp, 0, 0x7FFFFFFFFFFFFFFFll);
    r.integer("baseAddress", s.baseAddress, 0, 0xFFFFFFFFll);
    r.integer("blocks", s.blocks, 0, 0x7FFF);
    r.integer("emptyEvery", s.emptyEvery, 0, 0x7FFF);
    r.integer("codeZeroEvery", s.codeZeroEvery, 0, 0x7FFF);
    r.integer("blocksPerDrawing", s.blocksPerDrawing, 1, 9999);
    if (const json* a = r.array("models")) {
        s.models.clear();
        for (std::size_t i = 0; i < a->size(); ++i) s.models.push_back(read_model((*a)[i], idx(r.at("models"), i), src));
    }
    r.integer("anMessages", s.anMessages, 0, 0x7FFF);
    if (const json* o = r.object("ioNodes")) {
        Reader io(*o, r.at("ioNodes"), src);
        read_bus_counts(io, "type1", s.ioNodes.type1, 255);
        read_bus_counts(io, "type2", s.ioNodes.type2, 1);
        read_bus_counts(io, "type4", s.ioNodes.type4, 255);
        io.finish();
    }
    if (const json* o = r.object("opeMarks")) {
        Reader om(*o, r.at("opeMarks"), src);
        om.integer("kind10", s.opeMarks10, 0, 0x7FFF);
        om.integer("kind11", s.opeMarks11, 0, 0x7FFF);
        om.integer("kind42", s.opeMarks42, 0, 0x7FF);
        om.finish();
    }
    if (const json* a = r.array("factors")) {
        if (a->size() != 2) r.fail_at(r.at("factors"), "expected two factors");
        s.factor1 = static_cast<int>(r.as_integer((*a)[0], idx(r.at("factors"), 0), 1, 64));
        s.factor2 = static_cast<int>(r.as_integer((*a)[1], idx(r.at("factors"), 1), 1, 64));
    }
    r.integer("constant1C8", s.constant1C8, 0, 0xFFFF);
    r.integer("areaCount42", s.areaCount42, 0, 0xFFFF);
    if (const json* a = r.array("identification")) {
        if (a->size() != 2) r.fail_at(r.at("identification"), "expected two numbers (first, second)");
        s.idFirst = static_cast<std::uint8_t>(r.as_integer((*a)[0], idx(r.at("identification"), 0), 0, 255));
        s.idSecond = static_cast<std::uint8_t>(r.as_integer((*a)[1], idx(r.at("identification"), 1), 0, 255));
    }
    if (const json* a = r.array("customFolders")) {
        s.customFolders.clear();
        for (std::size_t i = 0; i < a->size(); ++i) {
            if (!(*a)[i].is_string()) r.fail_at(idx(r.at("customFolders"), i), "expected a string");
            s.customFolders.push_back((*a)[i].get<std::string>());
        }
    }
    if (const json* a = r.array("customFiles")) {
        s.customFiles.clear();
        for (std::size_t i = 0; i < a->size(); ++i) {
            Reader f((*a)[i], idx(r.at("customFiles"), i), src);
            CustomFile& c = s.customFiles.emplace_back();
            f.text("folder", c.folder);
            f.text("side", c.side);
            f.text("name", c.name);
            f.integer("bytes", c.bytes, 0, 1 << 20);
            f.boolean("directory", c.directory);
            f.finish();
        }
    }
    r.finish();
    return s;
}

void check(bool ok, const std::string& src, const std::string& where, const std::string& what) {
    if (!ok) throw Error(src + ": " + where + ": " + what);
}

bool plain_name(const std::string& n, std::size_t max) {
    if (n.empty() || n.size() > max || n == "." || n == "..") return false;
    return std::all_of(n.begin(), n.end(), [](unsigned char c) { return c > 0x20 && c < 0x7F && c != '/' && c != '\\'; });
}

}  // namespace

Description default_description() {
    Description d;
    d.stations = {default_station(0), default_station(1)};
    return d;
}

Description description_from_json(const json& j, const std::string& source) {
    Reader r(j, "", source);
    Description d = default_description();
    r.integer("seed", d.seed, 0, 0x7FFFFFFFFFFFFFFFll);
    r.text("project", d.project);
    d.workstation.currentProject = d.project;  // unless the workstation names another
    if (const json* o = r.object("workstation")) {
        Reader w(*o, "workstation", source);
        w.text("currentProject", d.workstation.currentProject);
        w.text("projectsDir", d.workstation.projectsDir);
        w.text("busProtocol", d.workstation.busProtocol);
        w.integer("busPort", d.workstation.busPort, 1, 65535);
        w.boolean("vrecTest", d.workstation.vrecTest);
        w.text("backupDir", d.workstation.backupDir);
        w.finish();
    }
    if (const json* a = r.array("stations")) {
        d.stations.clear();
        for (std::size_t i = 0; i < a->size(); ++i) d.stations.push_back(read_station((*a)[i], i, idx("stations", i), source));
    }
    r.finish();
    validate(d, source);
    return d;
}

Description load_description(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw Error(path + ": cannot open the description");
    std::stringstream ss;
    ss << in.rdbuf();
    json j;
    try {
        j = json::parse(ss.str());
    } catch (const json::parse_error& e) {
        throw Error(path + ": not valid JSON: " + e.what());
    }
    return description_from_json(j, path);
}

void validate(const Description& d, const std::string& src) {
    check(plain_name(d.project, 64), src, "project", "not a plain folder name");
    check(plain_name(d.workstation.currentProject, 64), src, "workstation.currentProject", "not a plain folder name");
    check(plain_name(d.workstation.projectsDir, 255), src, "workstation.projectsDir", "not a plain folder name");
    check(plain_name(d.workstation.backupDir, 255), src, "workstation.backupDir", "not a plain folder name");
    // The control-bus client and the simulated station speak UDP only.
    check(d.workstation.busProtocol == "udp", src, "workstation.busProtocol", "expected \"udp\"");
    check(d.workstation.busPort >= 1 && d.workstation.busPort <= 65535, src, "workstation.busPort", "not a port");
    check(!d.stations.empty() && d.stations.size() <= 16, src, "stations", "expected 1 to 16 stations");
    std::set<std::string> names;
    std::set<int> numbers;
    for (std::size_t si = 0; si < d.stations.size(); ++si) {
        const Station& s = d.stations[si];
        std::string w = idx("stations", si);
        check(plain_name(s.name, fmt::kTagLen), src, w + ".name", "not a plain name of 1 to 16 characters");
        check(names.insert(s.name).second, src, w + ".name", "station \"" + s.name + "\" appears twice");
        check(s.number >= 1 && s.number <= 255, src, w + ".number", "expected 1 to 255");
        check(numbers.insert(s.number).second, src, w + ".number", "station number appears twice");
        check(s.byteOrder == "big" || s.byteOrder == "host", src, w + ".byteOrder", "expected \"big\" or \"host\"");
        check(s.ioBusTypes.size() <= 2, src, w + ".ioBusTypes", "expected at most two bus types");
        check(s.baseAddress >= 0x1000 && s.baseAddress <= 0x80000000u, src, w + ".baseAddress",
              "expected 0x1000 to 0x80000000");
        check(s.blocks >= 0 && s.blocks <= 0x7FFF, src, w + ".blocks", "expected 0 to 32767");
        check(s.blocks <= 255 * s.blocksPerDrawing, src, w + ".blocksPerDrawing",
              "the blocks need more than 255 drawings (the limit of a location number)");
        check(s.customFolders.size() <= fmt::kCustomNames, src, w + ".customFolders", "at most 16 names");
        for (std::size_t i = 0; i < s.customFolders.size(); ++i)
            check(s.customFolders[i].empty() || plain_name(s.customFolders[i], fmt::kCustomNameLen), src,
                  idx(w + ".customFolders", i), "not a plain name of up to 8 characters");
        detail::validate_custom(s, src, w);
        for (std::size_t i = 0; i < s.areas.size(); ++i)
            check(plain_name(s.areas[i].name, 8), src, idx(w + ".areas", i) + ".name", "not a plain name of up to 8 characters");
        check(s.factor1 >= 1 && s.factor1 <= 64 && s.factor2 >= 1 && s.factor2 <= 64, src, w + ".factors", "expected 1 to 64");
        std::set<std::uint16_t> codes;
        bool anyWeight = false;
        for (std::size_t mi = 0; mi < s.models.size(); ++mi) {
            const Model& m = s.models[mi];
            std::string mw = idx(w + ".models", mi);
            check(m.blockCode != 0, src, mw + ".blockCode", "0 marks a block without a model");
            check(codes.insert(m.blockCode).second, src, mw + ".blockCode", "block code appears twice");
            check(plain_name(m.name, 32), src, mw + ".name", "not a plain name of 1 to 32 characters");
            check(plain_name(m.tagPrefix, fmt::kTagLen), src, mw + ".tagPrefix", "not a plain name of 1 to 16 characters");
            anyWeight = anyWeight || m.weight > 0;
            std::set<int> recNos;
            for (std::size_t ri = 0; ri < m.records.size(); ++ri) {
                const Record& rec = m.records[ri];
                std::string rw = idx(mw + ".records", ri);
                check(recNos.insert(rec.recNo).second, src, rw + ".recNo", "record number appears twice");
                check(rec.size >= fmt::kRecIdentity && rec.size <= 4096, src, rw + ".size", "expected 4 to 4096 bytes");
                if (rec.recNo == 1)
                    check(rec.size >= fmt::kRec1Size, src, rw + ".size", "record 1 holds tag name and block code: at least 22 bytes");
                if (rec.recNo == 2 && fmt::has_parent(m.blockCode))
                    check(rec.size >= fmt::kRecParent + 2, src, rw + ".size",
                          "record 2 of this block code holds the parent block number: at least 180 bytes");
                for (std::size_t fi = 0; fi < rec.fields.size(); ++fi) {
                    const Field& f = rec.fields[fi];
                    std::string fw = idx(rw + ".fields", fi);
                    check(f.width == 1 || f.width == 2 || f.width == 4 || f.width == 8, src, fw + ".width", "expected 1, 2, 4 or 8");
                    check(f.count >= 1, src, fw + ".count", "expected at least 1");
                    check(std::uint64_t{f.offset} + std::uint64_t{f.width} * f.count <= rec.size, src, fw,
                          "field does not lie inside the record's " + std::to_string(rec.size) + " bytes");
                }
            }
            check(recNos.count(1) == 1, src, mw + ".records", "record 1 (the block's identity) is missing");
            check(!m.savedRecords.empty() && m.savedRecords.size() <= 8, src, mw + ".savedRecords", "expected 1 to 8 record numbers");
            std::set<int> saved;
            for (std::size_t i = 0; i < m.savedRecords.size(); ++i) {
                int no = m.savedRecords[i];
                std::string sw = idx(mw + ".savedRecords", i);
                check(no != 1, src, sw, "record 1 is always fetched and never saved");
                check(recNos.count(no) == 1, src, sw, "record " + std::to_string(no) + " is not one of the model's records");
                check(saved.insert(no).second, src, sw, "record number appears twice");
            }
            for (std::size_t i = 0; i < m.items.size(); ++i) {
                const Item& it = m.items[i];
                std::string iw = idx(mw + ".items", i);
                check(!it.name.empty(), src, iw + ".name", "empty item name");
                auto rec = std::find_if(m.records.begin(), m.records.end(), [&](const Record& x) { return x.recNo == it.recNo; });
                check(rec != m.records.end(), src, iw + ".recNo", "not one of the model's records");
                check(std::uint64_t{it.offset} + std::uint64_t(it.elemSize) * it.dim1 * it.dim2 <= rec->size, src, iw,
                      "item does not lie inside its record");
            }
        }
        check(s.blocks == 0 || anyWeight, src, w + ".models", "no model with a weight above 0 for the blocks");
    }
}

nlohmann::ordered_json description_to_json(const Description& d) {
    using oj = nlohmann::ordered_json;
    oj j;
    j["seed"] = d.seed;
    j["project"] = d.project;
    j["workstation"] = {{"currentProject", d.workstation.currentProject},
                        {"projectsDir", d.workstation.projectsDir},
                        {"busProtocol", d.workstation.busProtocol},
                        {"busPort", d.workstation.busPort},
                        {"vrecTest", d.workstation.vrecTest},
                        {"backupDir", d.workstation.backupDir}};
    oj stations = oj::array();
    for (const Station& s : d.stations) {
        oj st;
        st["name"] = s.name;
        st["number"] = s.number;
        oj areas = oj::array();
        for (const Area& a : s.areas) areas.push_back({{"number", a.number}, {"name", a.name}});
        st["areas"] = areas;
        st["apcs"] = s.apcs;
        st["underTest"] = s.underTest;
        st["autoBackup"] = s.autoBackup;
        st["ioBusTypes"] = s.ioBusTypes;
        st["byteOrder"] = s.byteOrder;
        st["generationStamp"] = s.generationStamp;
        st["memoryGenerationStamp"] = s.memoryGenerationStamp;
        st["baseAddress"] = s.baseAddress;
        st["blocks"] = s.blocks;
        st["emptyEvery"] = s.emptyEvery;
        st["codeZeroEvery"] = s.codeZeroEvery;
        st["blocksPerDrawing"] = s.blocksPerDrawing;
        st["anMessages"] = s.anMessages;
        st["ioNodes"] = {{"type1", {{"bus1", s.ioNodes.type1[0]}, {"bus2", s.ioNodes.type1[1]}}},
                         {"type2", {{"bus1", s.ioNodes.type2[0]}, {"bus2", s.ioNodes.type2[1]}}},
                         {"type4", {{"bus1", s.ioNodes.type4[0]}, {"bus2", s.ioNodes.type4[1]}}}};
        st["opeMarks"] = {{"kind10", s.opeMarks10}, {"kind11", s.opeMarks11}, {"kind42", s.opeMarks42}};
        st["factors"] = {s.factor1, s.factor2};
        st["constant1C8"] = s.constant1C8;
        st["areaCount42"] = s.areaCount42;
        st["identification"] = {s.idFirst, s.idSecond};
        st["customFolders"] = s.customFolders;
        oj custom = oj::array();
        for (const CustomFile& f : s.customFiles)
            custom.push_back({{"folder", f.folder}, {"side", f.side}, {"name", f.name}, {"bytes", f.bytes},
                              {"directory", f.directory}});
        st["customFiles"] = custom;
        oj models = oj::array();
        for (const Model& m : s.models) {
            oj mj;
            mj["blockCode"] = m.blockCode;
            mj["name"] = m.name;
            mj["tagPrefix"] = m.tagPrefix;
            mj["category"] = m.category;
            mj["weight"] = m.weight;
            oj recs = oj::array();
            for (const Record& r : m.records) {
                oj fields = oj::array();
                for (const Field& f : r.fields) fields.push_back({{"offset", f.offset}, {"width", f.width}, {"count", f.count}});
                recs.push_back({{"recNo", r.recNo}, {"size", r.size}, {"fields", fields}});
            }
            mj["records"] = recs;
            mj["savedRecords"] = m.savedRecords;
            oj items = oj::array();
            for (const Item& it : m.items)
                items.push_back({{"name", it.name}, {"recNo", it.recNo}, {"offset", it.offset}, {"dataType", it.dataType},
                                 {"elemSize", it.elemSize}, {"dim1", it.dim1}, {"dim2", it.dim2}});
            mj["items"] = items;
            models.push_back(mj);
        }
        st["models"] = models;
        stations.push_back(st);
    }
    j["stations"] = stations;
    return j;
}

}  // namespace sample
