#include "core/scenario.h"

#include <charconv>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

namespace fcs {
namespace {

using nlohmann::json;

struct Bad : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// An integer given as a JSON number or as a "0x..." / decimal string, within [lo, hi].
long long integer(const json& v, const char* key, long long lo, long long hi) {
    long long out = 0;
    if (v.is_number_integer()) {
        out = v.is_number_unsigned() && v.get<std::uint64_t>() > 0x7FFFFFFFFFFFFFFFull ? hi + 1 : v.get<long long>();
    } else if (v.is_string()) {
        std::string s = v.get<std::string>();
        int base = 10;
        std::string_view d = s;
        if (d.size() > 2 && d[0] == '0' && (d[1] == 'x' || d[1] == 'X')) {
            base = 16;
            d.remove_prefix(2);
        }
        auto [p, ec] = std::from_chars(d.data(), d.data() + d.size(), out, base);
        if (ec != std::errc() || p != d.data() + d.size()) throw Bad(std::string("\"") + key + "\" is not a number");
    } else {
        throw Bad(std::string("\"") + key + "\" is not a number");
    }
    if (out < lo || out > hi) throw Bad(std::string("\"") + key + "\" out of range");
    return out;
}

template <class T>
void opt(const json& j, const char* key, std::optional<T>& out, long long lo, long long hi) {
    if (auto it = j.find(key); it != j.end()) out = static_cast<T>(integer(*it, key, lo, hi));
}

Command command_of(const json& v) {
    if (!v.is_string()) throw Bad("\"command\" is not a text");
    std::string s = v.get<std::string>();
    if (s == "any") return Command::any;
    if (s == "start") return Command::start;
    if (s == "end") return Command::end;
    if (s == "save") return Command::save;
    if (s == "upload") return Command::upload;
    if (s == "geninfo") return Command::geninfo;
    throw Bad("unknown command \"" + s + "\"");
}

const json& array_member(const json& j, const char* key) {
    static const json empty = json::array();
    auto it = j.find(key);
    if (it == j.end()) return empty;
    if (!it->is_array()) throw Bad(std::string("\"") + key + "\" is not an array");
    for (const auto& e : *it)
        if (!e.is_object()) throw Bad(std::string("an entry of \"") + key + "\" is not an object");
    return *it;
}

Scenario parse_json(const json& j) {
    if (!j.is_object()) throw Bad("not a JSON object");
    Scenario sc;
    if (auto it = j.find("chunkSize"); it != j.end()) sc.chunkSize = integer(*it, "chunkSize", 1, 2012);
    if (auto it = j.find("malformed"); it != j.end()) {
        if (*it == "drop")
            sc.dropMalformed = true;
        else if (*it != "refuse")
            throw Bad("\"malformed\" is neither \"refuse\" nor \"drop\"");
    }
    for (const auto& r : array_member(j, "rules")) {
        Rule rule;
        opt(r, "station", rule.station, 0, 0xFFFF);
        if (auto it = r.find("command"); it != r.end()) rule.command = command_of(*it);
        opt(r, "area", rule.area, 0, 255);
        opt(r, "kind", rule.kind, 0, 255);
        if (auto it = r.find("nth"); it != r.end()) rule.nth = static_cast<unsigned>(integer(*it, "nth", 1, 1 << 30));
        if (auto it = r.find("times"); it != r.end())
            rule.times = static_cast<unsigned>(integer(*it, "times", 0, 1 << 30));
        opt(r, "status", rule.status, 0, 255);
        opt(r, "result", rule.result, 0, 0xFFFF);
        opt(r, "truncate", rule.truncate, 0, 1 << 20);
        opt(r, "chunk", rule.chunk, 1, 2012);
        if (auto it = r.find("noReply"); it != r.end()) {
            if (!it->is_boolean()) throw Bad("\"noReply\" is not true or false");
            rule.noReply = it->get<bool>();
        }
        if (auto it = r.find("twice"); it != r.end()) {
            if (!it->is_boolean()) throw Bad("\"twice\" is not true or false");
            rule.twice = it->get<bool>();
        }
        if (auto it = r.find("delayMs"); it != r.end())
            rule.delayMs = static_cast<std::uint32_t>(integer(*it, "delayMs", 0, 600000));
        sc.rules.push_back(rule);
    }
    for (const auto& e : array_member(j, "items")) {
        ItemFault f;
        opt(e, "station", f.station, 0, 0xFFFF);
        opt(e, "block", f.block, 1, 0x7FFF);
        opt(e, "record", f.record, 0, 255);
        opt(e, "kind", f.kind, 0, 255);
        if (!e.contains("status")) throw Bad("an item fault lacks \"status\"");
        f.status = static_cast<std::uint16_t>(integer(e["status"], "status", 1, 0xFFFF));
        if (f.kind.has_value() == (f.block.has_value() || f.record.has_value()))
            throw Bad("an item fault names either \"block\" and \"record\" or \"kind\"");
        if (!f.kind && (!f.block || !f.record)) throw Bad("an item fault names \"block\" and \"record\"");
        sc.items.push_back(f);
    }
    for (const auto& e : array_member(j, "record1")) {
        Record1Fault f;
        opt(e, "station", f.station, 0, 0xFFFF);
        if (!e.contains("block")) throw Bad("a record1 entry lacks \"block\"");
        f.block = static_cast<int>(integer(e["block"], "block", 1, 0x7FFF));
        if (auto it = e.find("tag"); it != e.end()) {
            if (!it->is_string() || it->get<std::string>().size() > 16) throw Bad("\"tag\" is not a text of up to 16");
            f.tag = it->get<std::string>();
        }
        opt(e, "blockCode", f.blockCode, 0, 0xFFFF);
        sc.record1.push_back(f);
    }
    for (const auto& e : array_member(j, "recordSizes")) {
        SizeFault f;
        opt(e, "station", f.station, 0, 0xFFFF);
        if (!e.contains("block") || !e.contains("record") || !e.contains("size"))
            throw Bad("a recordSizes entry needs \"block\", \"record\" and \"size\"");
        f.block = static_cast<int>(integer(e["block"], "block", 1, 0x7FFF));
        f.record = static_cast<int>(integer(e["record"], "record", 0, 255));
        f.size = static_cast<std::size_t>(integer(e["size"], "size", 0, 1 << 20));
        sc.sizes.push_back(f);
    }
    return sc;
}

template <class T>
void keep_for(const std::vector<T>& in, std::vector<T>& out, int number) {
    for (const auto& e : in)
        if (!e.station || *e.station == number) out.push_back(e);
}

}  // namespace

std::optional<Scenario> Scenario::parse(const std::string& text, std::string& error) {
    try {
        return parse_json(json::parse(text));
    } catch (const Bad& e) {
        error = std::string("scenario: ") + e.what();
    } catch (const std::exception& e) {
        error = std::string("scenario: malformed JSON: ") + e.what();
    }
    return std::nullopt;
}

std::optional<Scenario> Scenario::load(const std::string& path, std::string& error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = "cannot read " + path;
        return std::nullopt;
    }
    std::ostringstream ss;
    ss << in.rdbuf();
    auto sc = parse(ss.str(), error);
    if (!sc) error = path + ": " + error;
    return sc;
}

Scenario Scenario::for_station(int number) const {
    Scenario out;
    out.chunkSize = chunkSize;
    out.dropMalformed = dropMalformed;
    keep_for(rules, out.rules, number);
    keep_for(items, out.items, number);
    keep_for(record1, out.record1, number);
    keep_for(sizes, out.sizes, number);
    return out;
}

}  // namespace fcs
