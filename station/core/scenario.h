// Scripted faults of a simulated station (JSON; format in station/README.md).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace fcs {

enum class Command { any, start, end, save, upload, geninfo };

struct Rule {
    std::optional<int> station;
    Command command = Command::any;
    std::optional<int> area;
    std::optional<int> kind;  // save requests: matches when a parameter has this kind
    unsigned nth = 1;         // first matching request the rule acts on (from 1)
    unsigned times = 1;       // how many in a row; 0 = every one from nth on
    // Actions.
    std::optional<std::uint8_t> status;    // communication status; the request is not taken
    std::optional<std::uint16_t> result;   // result code; the request is not carried out
    std::optional<std::size_t> truncate;   // reply cut to this many bytes
    bool noReply = false;                  // request dropped, nothing sent back
    std::uint32_t delayMs = 0;
    bool twice = false;                    // the reply is sent two times
    std::optional<std::size_t> chunk;      // upload reply data bytes
    unsigned seen = 0;                     // matching requests so far
};

struct ItemFault {
    std::optional<int> station;
    std::optional<int> block, record;  // a block record
    std::optional<int> kind;           // or an operation-mark kind
    std::uint16_t status = 0;
};

struct Record1Fault {
    std::optional<int> station;
    int block = 0;
    std::optional<std::string> tag;
    std::optional<std::uint16_t> blockCode;
};

struct SizeFault {
    std::optional<int> station;
    int block = 0, record = 0;
    std::size_t size = 0;
};

struct Scenario {
    std::size_t chunkSize = 2012;
    bool dropMalformed = false;  // malformed requests: no reply instead of a refusal
    std::vector<Rule> rules;
    std::vector<ItemFault> items;
    std::vector<Record1Fault> record1;
    std::vector<SizeFault> sizes;

    static std::optional<Scenario> parse(const std::string& text, std::string& error);
    static std::optional<Scenario> load(const std::string& path, std::string& error);
    // The part that concerns one station.
    Scenario for_station(int number) const;
};

}  // namespace fcs
