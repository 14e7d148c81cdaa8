// What one save did, gathered around the call: its lines with their times, the files it wrote
// (those whose bytes changed apart from those rewritten unchanged), the tuning values it
// changed, the warnings, the backups it made, the bus frames; shown as a summary or as one JSON
// report (schema: docs/save-report.schema.json).
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

// One difference as a plain line, and as JSON (the form of tusave diff).
std::string change_line(const tpfile::Change& c);
nlohmann::ordered_json change_json(const tpfile::Change& c);
// The changes as tusave diff shows them: on a terminal an aligned, coloured table whose value
// columns are headed oldHead and newHead, otherwise one change_line each.
void print_changes(const std::vector<tpfile::Change>& changes, bool terminal, const char* oldHead = "old",
                   const char* newHead = "new");
// The changes with every block added or removed given item by item, with its values, so that
// the list holds one entry per value changed.
std::vector<tpfile::Change> item_changes(const std::vector<tpfile::Change>& changes, const tpfile::File& a,
                                         const tpfile::File& b);

// The local time of t as "2026-01-01 09:00:00 +0900".
std::string local_time_text(std::time_t t);

class SaveReport {
public:
    // Takes what the save may change, before it runs.
    explicit SaveReport(const SaveOptions& o);
    // One message-buffer line, as it arrives.
    void line(const char* text);
    std::time_t started() const { return started_; }
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
        std::uint64_t ino = 0, size = 0;
        std::int64_t mtimeNs = 0;
        std::size_t hash = 0;   // of the bytes, taken before the save
        bool operator==(const FileState& o) const {
            return ino == o.ino && size == o.size && mtimeNs == o.mtimeNs;
        }
    };
    using Tree = std::map<std::string, FileState>;
    static Tree Scan(const std::string& dir, bool hash);
    double Seconds() const;
    std::string Verb() const;

    SaveOptions o_;
    std::chrono::steady_clock::time_point begin_;
    std::time_t started_ = 0;
    std::string user_, host_;
    double seconds_ = 0;
    std::vector<Line> lines_;
    std::uint32_t result_ = 0;
    std::string stationDir_, tpPath_;
    Tree before_;
    std::vector<std::string> written_, changed_, removed_;
    unsigned long sent0_ = 0, received0_ = 0, sent_ = 0, received_ = 0;
    unsigned blocks_ = 0, records_ = 0;
    // Warnings, each once with how often it came, in order of first appearance.
    std::vector<std::pair<std::string, unsigned>> warnings_;
    unsigned passedOver_ = 0;   // blocks whose edit file was not found
    // Backups: the automatic backup folder the save made, the backup tool's copies.
    std::string backupDir_, autoBackupDir_;
    std::vector<std::string> autoBackupBefore_;
    std::string toolLog_;
    std::uint64_t toolLogSize_ = 0;
    std::vector<std::string> toolCopies_, toolFailures_;
    // The TP file before the save, and the changes the save made to it.
    std::optional<std::string> tpBefore_;
    std::string tpBeforeError_;   // why the TP file there before the save could not be read
    bool tpWritten_ = false;
    std::vector<tpfile::Change> changes_;
    std::string against_;       // what the changes are measured against
    std::string showCommand_;   // a command that lists them, or empty when none can
};

}  // namespace tusave_cli
