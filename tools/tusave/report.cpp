// The save's summary and JSON report.
#include "report.h"

#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "LdTuSaveCtrl.h"
#include "libqveeda.h"
#include "libqveeda/eda_status.h"
#include "libqveldtusave.h"
#include "tusave_host.h"

namespace tusave_cli {

namespace {

namespace fs = std::filesystem;
using Json = nlohmann::ordered_json;

constexpr std::size_t kMaxScan = 200000;   // files looked at in the station's folder
constexpr std::size_t kShown = 20;         // changes and files listed in the summary

// The file's bytes through the TP reader (regular files only, bounded); nothing when it cannot
// be read, and then the reason in *why unless the file is simply not there.
std::optional<std::string> ReadText(const std::string& path, std::string* why = nullptr) {
    try {
        return tpfile::read_text(path);
    } catch (const tpfile::Error& e) {
        struct stat st {};
        if (why && ::lstat(path.c_str(), &st) == 0) *why = e.what();
        return std::nullopt;
    }
}

// The step that runs from each progress value to the next.
std::string StepName(int from, int to) {
    switch (from) {
    case 0: return "initialisation and generation-time check";
    case 5: return to == 100 ? "end processing" : "image load";
    case 10: return "upload";
    case 20: return "image store";
    case 30: return "edit file update";
    case 40: return "TP file";
    case 70: return "station tool backup";
    case 90: return "history registration, automatic backup and end processing";
    }
    return "progress " + std::to_string(from);
}

std::string LineKind(const std::string& text) {
    for (const char* k : {"MSG:", "WRN:", "ERR:", "PRG:"})
        if (text.rfind(k, 0) == 0) return std::string(k, 3);
    return "other";
}

std::string Rel(const std::string& path, const std::string& dir) {
    return path.rfind(dir + "/", 0) == 0 ? path.substr(dir.size() + 1) : path;
}

}  // namespace

std::string result_meaning(std::uint32_t code) {
    switch (code) {
    case LDTUSAVE_OK: return "success";
    case LDTUSAVE_E_ARGS: return "arguments rejected by initialisation";
    case LDTUSAVE_E_STNFILE: return "station database file or user instance file not resolved, opened or closed";
    case LDTUSAVE_E_GENTIME: return "the station was not generated from the project";
    case LDTUSAVE_E_UPLOAD: return "generation-time check refused or upload failed";
    case LDTUSAVE_E_TPFILE: return "TP file step failed";
    case LDTUSAVE_E_INIT: return "initialisation failed";
    case LDTUSAVE_E_BUS: return "generation-time check: the control bus could not be used";
    case LDTUSAVE_E_DBREAD: return "image load failed";
    case LDTUSAVE_E_DBWRITE: return "image store failed";
    case LDTUSAVE_E_EDIT: return "edit file update failed";
    case eda::kLocked: return "the station is held by another save (generation lock refused)";
    case eda::kIo: return "generation lock refused: the lock folder is unusable";
    }
    return "code of the generation lock service";
}

std::string change_line(const tpfile::Change& c) {
    auto opt = [](const std::optional<std::string>& v) { return v ? *v : std::string("-"); };
    char head[32];
    std::snprintf(head, sizeof head, "%04d", c.blockNo);
    return std::string(head) + " " + c.tag + " " + c.model + " " + (c.label.empty() ? "*" : c.label) + " " +
           tpfile::kind_text(c.kind) + ": " + opt(c.oldValue) + " -> " + opt(c.newValue);
}

nlohmann::ordered_json change_json(const tpfile::Change& c) {
    Json e;
    e["kind"] = tpfile::kind_text(c.kind);
    e["block"] = c.blockNo;
    e["tag"] = c.tag;
    e["model"] = c.model;
    if (!c.label.empty()) e["item"] = c.label;
    e["old"] = c.oldValue ? Json(*c.oldValue) : Json();
    e["new"] = c.newValue ? Json(*c.newValue) : Json();
    return e;
}

SaveReport::SaveReport(const SaveOptions& o) : o_(o), begin_(std::chrono::steady_clock::now()) {
    tusave_host_bus_frames(&sent0_, &received0_);
    CQVEFilePath paths;
    const bool eqlz = o.kind == 3;
    if ((eqlz ? paths.InitEqlzProject(o.project.c_str()) : paths.InitProject(o.project.c_str())) == 0)
        stationDir_ = paths.GetProjectTopDir() + "/" + o.station;
    try {
        tpPath_ = tpfile::station_tp_path(o.project, o.station, eqlz);
    } catch (const tpfile::Error&) {
    }
    if (!stationDir_.empty()) before_ = Scan(stationDir_);
    if (!tpPath_.empty()) tpBefore_ = ReadText(tpPath_, &tpBeforeError_);
    begin_ = std::chrono::steady_clock::now();
}

double SaveReport::Seconds() const {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - begin_).count();
}

void SaveReport::line(const char* text) { lines_.push_back({Seconds(), text ? text : ""}); }

SaveReport::Tree SaveReport::Scan(const std::string& dir) {
    Tree t;
    std::error_code ec;
    fs::recursive_directory_iterator it(dir, fs::directory_options::skip_permission_denied, ec), end;
    for (; !ec && it != end && t.size() < kMaxScan; it.increment(ec)) {
        struct stat st {};
        const std::string path = it->path().string();
        if (::lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
        t[path] = {static_cast<std::uint64_t>(st.st_ino), static_cast<std::uint64_t>(st.st_size),
                   static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec};
    }
    return t;
}

void SaveReport::finish(std::uint32_t result) {
    seconds_ = Seconds();
    result_ = result;
    tusave_host_bus_frames(&sent_, &received_);
    sent_ -= sent0_;
    received_ -= received0_;
    QVELdFcsTuningParmSaveCount(&blocks_, &records_);
    if (!stationDir_.empty()) {
        const Tree after = Scan(stationDir_);
        for (const auto& [path, st] : after) {
            auto b = before_.find(path);
            if (b == before_.end() || !(b->second == st)) written_.push_back(path);
        }
        for (const auto& [path, _] : before_)
            if (!after.count(path)) removed_.push_back(path);
    }
    tpWritten_ = false;
    for (const std::string& w : written_) tpWritten_ = tpWritten_ || w == tpPath_;
    if (!tpWritten_) return;

    // The values changed: the TP file as it was before the save against the one it wrote, read
    // in memory before the call, because a save in the same second overwrites the archive copy
    // of the one before it.
    try {
        if (!tpBeforeError_.empty()) {
            against_ = "not told: the TP file before the save: " + tpBeforeError_;
            return;
        }
        const tpfile::File now = tpfile::read(tpPath_);
        tpfile::File old;
        if (tpBefore_) old = tpfile::parse(*tpBefore_, tpPath_ + " (before the save)");
        changes_ = tpfile::diff(old, now);
        valuesChanged_ = tpfile::changed_values(changes_, old, now);
        if (!tpBefore_) {
            against_ = "no TP file before this save";
            return;
        }
        against_ = "the TP file before this save";
        std::string previous;
        try {
            previous = tpfile::previous_copy(tpPath_, now);
        } catch (const tpfile::Error&) {
        }
        if (!previous.empty() && ReadText(previous) == tpBefore_) {
            showCommand_ = "tusave diff --project " + o_.project + " --station " + o_.station;
            if (o_.kind != 3) return;
        }
        showCommand_.clear();
        for (const tpfile::Copy& c : tpfile::archive_copies(tpPath_))
            if (ReadText(c.path) == tpBefore_) {
                showCommand_ = "tusave diff " + c.path + " " + tpPath_;
                return;
            }
        against_ += " (kept in no archive copy: a save in the same second overwrote it)";
    } catch (const tpfile::Error& e) {
        against_ = std::string("not told: ") + e.what();
        changes_.clear();
        valuesChanged_ = 0;
    }
}

void SaveReport::print_summary() const {
    char code[16];
    std::snprintf(code, sizeof code, "0x%08x", result_);
    std::printf("\n");
    if (result_ != 0) {
        std::printf("Save of %s failed after %.1f s: %s (%s).\n", o_.station.c_str(), seconds_, code,
                    result_meaning(result_).c_str());
    } else if (o_.mode == 1 && blocks_ == 0 && written_.empty()) {
        std::printf("Checked %s of %s in %.1f s: the station was generated from the project.\n", o_.station.c_str(),
                    o_.project.c_str(), seconds_);
    } else {
        std::printf("Saved %s of %s in %.1f s: %u blocks, %u records.\n", o_.station.c_str(), o_.project.c_str(),
                    seconds_, blocks_, records_);
    }
    if (tpWritten_) {
        std::printf("Tuning values changed since the last save: %zu (against %s)%s\n", valuesChanged_,
                    against_.c_str(), showCommand_.empty() ? "" : (", shown by: " + showCommand_).c_str());
        for (std::size_t i = 0; i < changes_.size() && i < kShown; ++i)
            std::printf("  %s\n", change_line(changes_[i]).c_str());
        if (changes_.size() > kShown) std::printf("  ... and %zu more\n", changes_.size() - kShown);
    }
    if (!written_.empty() || !removed_.empty()) {
        std::printf("Files written in %s: %zu%s\n", stationDir_.c_str(), written_.size(),
                    removed_.empty() ? "" : (", removed: " + std::to_string(removed_.size())).c_str());
        for (std::size_t i = 0; i < written_.size() && i < kShown; ++i)
            std::printf("  %s\n", Rel(written_[i], stationDir_).c_str());
        if (written_.size() > kShown) std::printf("  ... and %zu more\n", written_.size() - kShown);
        for (const std::string& r : removed_) std::printf("  removed %s\n", Rel(r, stationDir_).c_str());
    }
    std::fflush(stdout);
}

void SaveReport::print_json() const {
    Json j;
    j["project"] = o_.project;
    j["station"] = o_.station;
    j["kind"] = o_.kind;
    j["mode"] = o_.mode;
    char code[16];
    std::snprintf(code, sizeof code, "0x%08x", result_);
    j["result"] = {{"code", code}, {"value", result_}, {"meaning", result_meaning(result_)}};
    j["seconds"] = seconds_;
    j["lines"] = Json::array();
    j["progress"] = Json::array();
    j["steps"] = Json::array();
    int lastPercent = -1;
    double lastAt = 0;
    for (const Line& l : lines_) {
        const std::string kind = LineKind(l.text);
        j["lines"].push_back({{"at", l.at}, {"kind", kind}, {"text", l.text}});
        if (kind != "PRG") continue;
        const int percent = std::atoi(l.text.c_str() + 4);
        j["progress"].push_back({{"percent", percent}, {"at", l.at}});
        if (lastPercent >= 0)
            j["steps"].push_back({{"from", lastPercent},
                                  {"to", percent},
                                  {"name", StepName(lastPercent, percent)},
                                  {"seconds", l.at - lastAt}});
        lastPercent = percent;
        lastAt = l.at;
    }
    j["frames"] = {{"sent", sent_}, {"received", received_}};
    j["saved"] = {{"blocks", blocks_}, {"records", records_}};
    j["filesWritten"] = written_;
    j["filesRemoved"] = removed_;
    if (tpWritten_) {
        Json v;
        v["count"] = valuesChanged_;
        v["against"] = against_;
        v["command"] = showCommand_.empty() ? Json() : Json(showCommand_);
        v["changes"] = Json::array();
        for (const tpfile::Change& c : changes_) v["changes"].push_back(change_json(c));
        j["valuesChanged"] = v;
    } else {
        j["valuesChanged"] = nullptr;
    }
    std::printf("%s\n", j.dump(2, ' ', false, nlohmann::json::error_handler_t::replace).c_str());
    std::fflush(stdout);
}

}  // namespace tusave_cli
