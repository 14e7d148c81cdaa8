// The save's summary and JSON report.
#include "report.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string_view>

#include "LdTuSaveIds.h"
#include "LibQVCCommon.h"
#include "config/ws_config.h"
#include "libqveeda.h"
#include "libqveldtusave.h"
#include "output.h"
#include "tusave_host.h"
#include "tusave_results.h"

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

// The bytes of a regular file as one hash; 0 when it cannot be read.
std::size_t HashFile(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return 0;
    std::string bytes;
    char buf[65536];
    ssize_t n;
    while ((n = ::read(fd, buf, sizeof buf)) > 0) bytes.append(buf, static_cast<std::size_t>(n));
    ::close(fd);
    return std::hash<std::string>{}(bytes) | 1;
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

std::vector<std::string> Entries(const std::string& dir) {
    std::vector<std::string> out;
    std::error_code ec;
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end && out.size() < kMaxScan; it.increment(ec))
        out.push_back(it->path().string());
    std::sort(out.begin(), out.end());
    return out;
}

std::uint64_t FileSize(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) ? static_cast<std::uint64_t>(st.st_size) : 0;
}

std::string Plural(std::size_t n, const char* one, const char* many) {
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

}  // namespace

std::string local_time_text(std::time_t t) {
    struct tm tm {};
    char buf[64];
    if (!::localtime_r(&t, &tm) || std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S %z", &tm) == 0) return "?";
    return buf;
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

void print_changes(const std::vector<tpfile::Change>& changes, bool terminal, const char* oldHead,
                   const char* newHead) {
    using tpfile::Change;
    if (!terminal) {
        for (const Change& c : changes) out(change_line(c));
        return;
    }
    auto opt = [](const std::optional<std::string>& v) { return v ? *v : std::string("-"); };
    std::size_t wTag = 3, wModel = 5, wItem = 4, wOld = std::strlen(oldHead);
    for (const Change& c : changes) {
        wTag = std::max(wTag, escape(c.tag).size());
        wModel = std::max(wModel, escape(c.model).size());
        wItem = std::max(wItem, escape(c.label).size());
        wOld = std::max(wOld, escape(opt(c.oldValue)).size());
    }
    auto w = [](std::size_t n) { return static_cast<int>(n); };
    std::printf("%s%5s  %-*s  %-*s  %-*s  %-*s  %s%s\n", colour("\033[1m"), "block", w(wTag), "tag", w(wModel),
                "model", w(wItem), "item", w(wOld), oldHead, newHead, colour("\033[0m"));
    for (const Change& c : changes) {
        const char* hue = c.kind == Change::Kind::Changed ? "\033[33m"
                          : (c.kind == Change::Kind::BlockAdded || c.kind == Change::Kind::ItemAdded) ? "\033[32m"
                                                                                                      : "\033[31m";
        std::printf("%5d  %-*s  %-*s  %-*s  %s%-*s  %s%s%s\n", c.blockNo, w(wTag), escape(c.tag).c_str(), w(wModel),
                    escape(c.model).c_str(), w(wItem), c.label.empty() ? "*" : escape(c.label).c_str(), colour(hue),
                    w(wOld), escape(opt(c.oldValue)).c_str(), escape(opt(c.newValue)).c_str(), colour("\033[0m"),
                    c.kind == Change::Kind::Changed ? "" : (std::string("  (") + tpfile::kind_text(c.kind) + ")").c_str());
    }
}

std::vector<tpfile::Change> item_changes(const std::vector<tpfile::Change>& changes, const tpfile::File& a,
                                         const tpfile::File& b) {
    auto block = [](const tpfile::File& f, int n) -> const tpfile::Block* {
        for (const tpfile::Block& x : f.blocks)
            if (x.blockNo == n) return &x;
        return nullptr;
    };
    std::vector<tpfile::Change> out;
    for (const tpfile::Change& c : changes) {
        const bool added = c.kind == tpfile::Change::Kind::BlockAdded;
        const bool removed = c.kind == tpfile::Change::Kind::BlockRemoved;
        const tpfile::Block* x = added ? block(b, c.blockNo) : removed ? block(a, c.blockNo) : nullptr;
        if (!x || x->items.empty()) {
            out.push_back(c);
            continue;
        }
        for (const tpfile::Item& it : x->items) {
            tpfile::Change e = c;
            e.label = it.label;
            (added ? e.newValue : e.oldValue) = it.value;
            out.push_back(std::move(e));
        }
    }
    return out;
}

SaveReport::SaveReport(const SaveOptions& o) : o_(o), begin_(std::chrono::steady_clock::now()) {
    started_ = QVCTime(nullptr);   // the workstation's clock, as in the save's own lines
    if (const passwd* pw = ::getpwuid(::getuid())) user_ = pw->pw_name;
    else user_ = std::to_string(::getuid());
    char host[256] = {};
    if (::gethostname(host, sizeof host - 1) == 0) host_ = host;
    tusave_host_bus_frames(&sent0_, &received0_);
    CQVEFilePath paths;
    const bool eqlz = o.kind == 3;
    if ((eqlz ? paths.InitEqlzProject(o.project.c_str()) : paths.InitProject(o.project.c_str())) == 0)
        stationDir_ = paths.GetProjectTopDir() + "/" + o.station;
    try {
        tpPath_ = tpfile::station_tp_path(o.project, o.station, eqlz);
    } catch (const tpfile::Error&) {
    }
    if (!stationDir_.empty()) before_ = Scan(stationDir_, true);
    if (!tpPath_.empty()) tpBefore_ = ReadText(tpPath_, &tpBeforeError_);
    ws::Workstation w;
    std::string error;
    if (ws::load_workstation(w, error)) {
        backupDir_ = w.backupDir;
        autoBackupDir_ = w.backupDir + "/" + o.project + "/" + o.station;
        autoBackupBefore_ = Entries(autoBackupDir_);
        toolLog_ = w.logDir + "/shgsave.log";
        toolLogSize_ = FileSize(toolLog_);
    }
    begin_ = std::chrono::steady_clock::now();
}

double SaveReport::Seconds() const {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - begin_).count();
}

void SaveReport::line(const char* text) {
    const std::string s = text ? text : "";
    lines_.push_back({Seconds(), s});
    if (s.rfind("WRN:", 0) != 0) return;
    auto it = std::find_if(warnings_.begin(), warnings_.end(), [&](const auto& w) { return w.first == s; });
    if (it == warnings_.end()) warnings_.push_back({s, 1});
    else ++it->second;
    // A block whose edit file is missing is named by the file's bare name (the AN message file
    // by its path): that block's records were not brought into its edit file.
    const char* missing = tusave_host_default_text(LdTuSaveIds::IDS_EDIT_MISSING);
    const std::string prefix = std::string("WRN:") + (missing ? missing : "") + " ";
    if (missing && s.rfind(prefix, 0) == 0 && s.find('/', prefix.size()) == std::string::npos) ++passedOver_;
}

SaveReport::Tree SaveReport::Scan(const std::string& dir, bool hash) {
    Tree t;
    std::error_code ec;
    fs::recursive_directory_iterator it(dir, fs::directory_options::skip_permission_denied, ec), end;
    for (; !ec && it != end && t.size() < kMaxScan; it.increment(ec)) {
        struct stat st {};
        const std::string path = it->path().string();
        if (::lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
        t[path] = {static_cast<std::uint64_t>(st.st_ino), static_cast<std::uint64_t>(st.st_size),
                   static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec,
                   hash ? HashFile(path) : 0};
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
        const Tree after = Scan(stationDir_, false);
        for (const auto& [path, st] : after) {
            auto b = before_.find(path);
            if (b != before_.end() && b->second == st) continue;
            written_.push_back(path);
            if (b == before_.end() || b->second.size != st.size || b->second.hash != HashFile(path))
                changed_.push_back(path);
        }
        for (const auto& [path, _] : before_)
            if (!after.count(path)) removed_.push_back(path);
    }
    if (!autoBackupDir_.empty()) {
        std::vector<std::string> now = Entries(autoBackupDir_), made;
        std::set_difference(now.begin(), now.end(), autoBackupBefore_.begin(), autoBackupBefore_.end(),
                            std::back_inserter(made));
        autoBackupDir_.clear();
        for (const std::string& m : made)
            if (fs::is_directory(m)) autoBackupDir_ = m;
    }
    // The backup tool's runs of this save: the lines it appended to its log.
    if (!toolLog_.empty() && FileSize(toolLog_) > toolLogSize_) {
        std::ifstream in(toolLog_, std::ios::binary);
        in.seekg(static_cast<std::streamoff>(toolLogSize_));
        std::string l;
        while (std::getline(in, l)) {
            const std::size_t tab = l.rfind('\t');
            if (tab == std::string::npos) continue;
            const std::string outcome = l.substr(tab + 1);
            if (outcome.rfind("copied to ", 0) == 0) toolCopies_.push_back(outcome.substr(10));
            else toolFailures_.push_back(outcome);
        }
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
        changes_ = item_changes(tpfile::diff(old, now), old, now);
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
    }
}

std::string SaveReport::Verb() const { return o_.mode == 1 ? "Check" : "Save"; }

void SaveReport::print_summary() const {
    out("");
    const std::string warned =
        warnings_.empty() ? "" : " with " + Plural(warnings_.size(), "warning", "warnings");
    if (result_ != 0) {
        out(format("%s of %s failed after %.1f s: 0x%08x (%s)", Verb().c_str(), o_.station.c_str(), seconds_,
                   result_, tusave_result_meaning(result_)));
    } else if (o_.mode == 1) {
        out(format("Checked %s of %s%s in %.1f s: the station was generated from the project.", o_.station.c_str(),
                   o_.project.c_str(), warned.c_str(), seconds_));
    } else {
        const unsigned inLine = blocks_ >= passedOver_ ? blocks_ - passedOver_ : 0;
        std::string s = format("Saved %s of %s%s in %.1f s: %u blocks, %u records from the station", o_.station.c_str(),
                               o_.project.c_str(), warned.c_str(), seconds_, blocks_, records_);
        if (passedOver_ > 0)
            s += format("; %u blocks brought into their edit files, %u passed over (edit file not found)", inLine,
                        passedOver_);
        out(s + ".");
    }
    out("Started " + local_time_text(started_) + " by " + user_ + " on " + host_ + ".");
    if (!warnings_.empty()) {
        out("Warnings:");
        for (const auto& [text, times] : warnings_)
            out("  " + text + (times > 1 ? format("  (%u times)", times) : std::string()));
    }
    if (tpWritten_) {
        out(format("Tuning values changed since the last save: %zu (against %s)", changes_.size(), against_.c_str()) +
            (showCommand_.empty() ? "" : ", shown by: " + showCommand_));
        for (std::size_t i = 0; i < changes_.size() && i < kShown; ++i) out("  " + change_line(changes_[i]));
        if (changes_.size() > kShown) out(format("  ... and %zu more", changes_.size() - kShown));
    }
    if (!written_.empty() || !removed_.empty()) {
        std::string head = "Files written in " + stationDir_ + ": " + std::to_string(written_.size()) + ", " +
                           std::to_string(changed_.size()) + " with other bytes, " +
                           std::to_string(written_.size() - changed_.size()) + " rewritten unchanged";
        if (!removed_.empty()) head += ", removed: " + std::to_string(removed_.size());
        out(head);
        for (std::size_t i = 0; i < changed_.size() && i < kShown; ++i) out("  " + Rel(changed_[i], stationDir_));
        if (changed_.size() > kShown) out(format("  ... and %zu more", changed_.size() - kShown));
        for (const std::string& r : removed_) out("  removed " + Rel(r, stationDir_));
    }
    if (!autoBackupDir_.empty()) out("Automatic backup: " + autoBackupDir_);
    if (!toolCopies_.empty() || !toolFailures_.empty()) {
        out("Station tool backup: " + Plural(toolCopies_.size(), "copy", "copies") + " in " + backupDir_ +
            "/shgsave" + (toolFailures_.empty() ? "" : ", " + Plural(toolFailures_.size(), "failure", "failures")));
        for (std::size_t i = 0; i < toolCopies_.size() && i < kShown; ++i)
            out("  " + Rel(toolCopies_[i], backupDir_ + "/shgsave"));
        if (toolCopies_.size() > kShown) out(format("  ... and %zu more", toolCopies_.size() - kShown));
        for (const std::string& f : toolFailures_) out("  " + f);
    }
    std::fflush(stdout);
}

void SaveReport::print_json() const {
    Json j;
    j["project"] = o_.project;
    j["station"] = o_.station;
    j["kind"] = o_.kind;
    j["mode"] = o_.mode;
    const tusave_result_info* info = tusave_result_find(result_);
    j["result"] = {{"code", format("0x%08x", result_)},
                   {"value", result_},
                   {"name", info ? Json(info->name) : Json()},
                   {"meaning", tusave_result_meaning(result_)},
                   {"remedy", info ? Json(info->remedy) : Json()}};
    j["started"] = {{"time", local_time_text(started_)}, {"user", user_}, {"host", host_}};
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
    j["warnings"] = Json::array();
    for (const auto& [text, times] : warnings_) j["warnings"].push_back({{"text", text}, {"times", times}});
    j["frames"] = {{"sent", sent_}, {"received", received_}};
    j["saved"] = {{"blocks", blocks_}, {"records", records_}, {"editFilesPassedOver", passedOver_}};
    j["filesWritten"] = written_;
    j["filesChanged"] = changed_;
    j["filesRemoved"] = removed_;
    j["backup"] = {{"automatic", autoBackupDir_.empty() ? Json() : Json(autoBackupDir_)},
                   {"toolCopies", toolCopies_},
                   {"toolFailures", toolFailures_}};
    if (tpWritten_) {
        Json v;
        v["count"] = changes_.size();
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
