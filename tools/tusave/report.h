// What one save did, gathered around the call: its lines with their times, the files it wrote,
// the tuning values it changed, the bus frames; shown as a summary or as one JSON report
// (schema: docs/save-report.schema.json).
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "save.h"
#include "tpfile.h"

namespace tusave_cli {

// The meaning of a result code of the save.
std::string result_meaning(std::uint32_t code);
// One difference as a plain line, and as JSON (the form of tusave diff).
std::string change_line(const tpfile::Change& c);
nlohmann::ordered_json change_json(const tpfile::Change& c);

class SaveReport {
public:
    // Takes what the save may change, before it runs.
    explicit SaveReport(const SaveOptions& o);
    // One message-buffer line, as it arrives.
    void line(const char* text);
    // After the call: what changed.
    void finish(std::uint32_t result);

    void print_summary() const;
    void print_json() const;

private:
    struct Line {
        double at;   // seconds since the call began
        std::string text;
    };
    struct FileState {
        std::uint64_t ino, size;
        std::int64_t mtimeNs;
        bool operator==(const FileState&) const = default;
    };
    using Tree = std::map<std::string, FileState>;
    static Tree Scan(const std::string& dir);
    double Seconds() const;

    SaveOptions o_;
    std::chrono::steady_clock::time_point begin_;
    double seconds_ = 0;
    std::vector<Line> lines_;
    std::uint32_t result_ = 0;
    std::string stationDir_, tpPath_;
    Tree before_;
    std::vector<std::string> written_, removed_;
    unsigned long sent0_ = 0, received0_ = 0, sent_ = 0, received_ = 0;
    unsigned blocks_ = 0, records_ = 0;
    // The TP file before the save, and the changes the save made to it.
    std::optional<std::string> tpBefore_;
    std::string tpBeforeError_;   // why the TP file there before the save could not be read
    bool tpWritten_ = false;
    std::vector<tpfile::Change> changes_;
    std::size_t valuesChanged_ = 0;
    std::string against_;       // what the changes are measured against
    std::string showCommand_;   // a command that lists them, or empty when none can
};

}  // namespace tusave_cli
