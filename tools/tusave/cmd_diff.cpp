// tusave diff: what changed between two TP files; tusave history: the TP file and its archive
// copies of a station, newest first, with what each save changed.
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>

#include "commands.h"
#include "config/ws_config.h"
#include "diagnose.h"
#include "output.h"
#include "report.h"
#include "tpfile.h"

namespace {

using tpfile::Change;

struct DiffOptions {
    std::vector<std::string> files;
    std::string project;
    std::string station;
    std::string against;
    bool json = false;
};

void PrintJson(const std::string& oldPath, const std::string& newPath, const std::vector<Change>& changes) {
    nlohmann::ordered_json j;
    j["old"] = oldPath;
    j["new"] = newPath;
    j["changes"] = nlohmann::ordered_json::array();
    for (const Change& c : changes) j["changes"].push_back(tusave_cli::change_json(c));
    std::printf("%s\n", j.dump(2, ' ', false, nlohmann::json::error_handler_t::replace).c_str());
}

// The station is one of the project's (else a line naming the stations there, and false).
bool KnownStation(const std::string& command, const std::string& project, const std::string& station) {
    if (!tusave_cli::workstation_exists(command)) return false;
    ws::Project p;
    std::string error;
    if (!ws::load_project(project, false, p, error)) {
        tusave_cli::err(command + ": " + error);
        return false;
    }
    if (p.find(station)) return true;
    tusave_cli::err(command + ": the station " + station + " is not in the system configuration of project " +
                    project + "; its stations: " + tusave_cli::station_names(project, false));
    return false;
}

std::string Opt(const std::optional<std::string>& v) { return v ? *v : "-"; }

void PrintTable(const std::vector<Change>& changes, bool terminal) {
    if (!terminal) {
        for (const Change& c : changes) tusave_cli::out(tusave_cli::change_line(c));
        return;
    }
    using tusave_cli::colour;
    using tusave_cli::escape;
    std::size_t wTag = 3, wModel = 5, wItem = 4, wOld = 3;
    for (const Change& c : changes) {
        wTag = std::max(wTag, escape(c.tag).size());
        wModel = std::max(wModel, escape(c.model).size());
        wItem = std::max(wItem, escape(c.label).size());
        wOld = std::max(wOld, escape(Opt(c.oldValue)).size());
    }
    auto w = [](std::size_t n) { return static_cast<int>(n); };
    std::printf("%s%5s  %-*s  %-*s  %-*s  %-*s  %s%s\n", colour("\033[1m"), "block", w(wTag), "tag", w(wModel),
                "model", w(wItem), "item", w(wOld), "old", "new", colour("\033[0m"));
    for (const Change& c : changes) {
        const char* hue = c.kind == Change::Kind::Changed ? "\033[33m"
                          : (c.kind == Change::Kind::BlockAdded || c.kind == Change::Kind::ItemAdded) ? "\033[32m"
                                                                                                      : "\033[31m";
        std::printf("%5d  %-*s  %-*s  %-*s  %s%-*s  %s%s%s\n", c.blockNo, w(wTag), escape(c.tag).c_str(), w(wModel),
                    escape(c.model).c_str(), w(wItem), c.label.empty() ? "*" : escape(c.label).c_str(), colour(hue),
                    w(wOld), escape(Opt(c.oldValue)).c_str(), escape(Opt(c.newValue)).c_str(), colour("\033[0m"),
                    c.kind == Change::Kind::Changed ? "" : (std::string("  (") + tpfile::kind_text(c.kind) + ")").c_str());
    }
}

int RunDiff(const DiffOptions& o) {
    try {
        std::string oldPath, newPath;
        tpfile::File a, b;
        if (!o.files.empty()) {
            if (o.files.size() != 2 || !o.project.empty() || !o.station.empty())
                throw tpfile::Error("tusave diff", 0, "give OLD NEW, or --project and --station");
            oldPath = o.files[0];
            newPath = o.files[1];
            a = tpfile::read(oldPath);
            b = tpfile::read(newPath);
        } else {
            if (o.project.empty() || o.station.empty())
                throw tpfile::Error("tusave diff", 0, "give OLD NEW, or --project and --station");
            if (!KnownStation("tusave diff", o.project, o.station)) return 2;
            newPath = tpfile::station_tp_path(o.project, o.station);
            b = tpfile::read(newPath);
            oldPath = o.against.empty() ? tpfile::previous_copy(newPath, b) : o.against;
            a = tpfile::read(oldPath);
        }
        std::vector<Change> changes = tusave_cli::item_changes(tpfile::diff(a, b), a, b);
        if (o.json) PrintJson(oldPath, newPath, changes);
        else PrintTable(changes, isatty(STDOUT_FILENO));
        return changes.empty() ? 0 : 1;
    } catch (const tpfile::Error& e) {
        tusave_cli::err(std::string("tusave diff: ") + e.what());
        return 2;
    }
}

int RunHistory(const std::string& project, const std::string& station) {
    if (!KnownStation("tusave history", project, station)) return 2;
    try {
        const std::string tpPath = tpfile::station_tp_path(project, station);
        std::vector<std::pair<std::string, std::string>> files{{tpPath, "TP file"}};
        for (const tpfile::Copy& c : tpfile::archive_copies(tpPath)) files.push_back({c.path, c.name});
        // Each copy against the next older one; a file that cannot be read is shown as such.
        std::vector<std::optional<tpfile::File>> parsed;
        std::vector<std::string> problems;
        for (auto& [path, _] : files) {
            try {
                parsed.push_back(tpfile::read(path));
                problems.emplace_back();
            } catch (const tpfile::Error& e) {
                parsed.emplace_back();
                problems.push_back(e.what());
            }
        }
        using tusave_cli::format;
        tusave_cli::out(format("%-22s  %-26s  %s", "file", "saved", "values changed"));
        for (std::size_t i = 0; i < files.size(); ++i) {
            if (!parsed[i]) {
                tusave_cli::out(format("%-22s  %s", files[i].second.c_str(), problems[i].c_str()));
                continue;
            }
            std::string changed = "-";
            for (std::size_t k = i + 1; k < files.size(); ++k) {
                if (!parsed[k] || parsed[k]->time >= parsed[i]->time) continue;
                changed = std::to_string(
                    tpfile::changed_values(tpfile::diff(*parsed[k], *parsed[i]), *parsed[k], *parsed[i]));
                break;
            }
            tusave_cli::out(
                format("%-22s  %-26s  %s", files[i].second.c_str(), parsed[i]->timeText.c_str(), changed.c_str()));
        }
        return 0;
    } catch (const tpfile::Error& e) {
        tusave_cli::err(std::string("tusave history: ") + e.what());
        return 2;
    }
}

const tusave_cli::Register reg([](CLI::App& app) {
    auto o = std::make_shared<DiffOptions>();
    CLI::App* cmd = app.add_subcommand("diff", "List the tuning values that differ between two TP files");
    cmd->add_option("files", o->files, "OLD NEW: two TP files");
    auto* project = cmd->add_option("--project", o->project,
                                    "With --station: the station's TP file against its previous save");
    auto* station = cmd->add_option("--station", o->station, "The station name (e.g. FCS0101)");
    cmd->add_option("--against", o->against, "With --project/--station: compare with this file instead")
        ->needs(project)
        ->needs(station);
    cmd->add_flag("--json", o->json, "Print the differences as one JSON document");
    cmd->footer("Per block (number, tag, model) and item: the old and the new value; blocks and items that\n"
                "appear or disappear are listed as such. On a terminal an aligned, coloured table.\n"
                "Exit status: 0 when equal, 1 when different, 2 on an error.");
    cmd->callback([o]() { tusave_cli::exit_status() = RunDiff(*o); });

    auto h = std::make_shared<DiffOptions>();
    CLI::App* hist = app.add_subcommand("history", "List a station's TP file and archive copies, newest first");
    hist->add_option("--project", h->project, "The project")->required();
    hist->add_option("--station", h->station, "The station name")->required();
    hist->footer("Each with the time of its save and how many values it changed against the one before.");
    hist->callback([h]() { tusave_cli::exit_status() = RunHistory(h->project, h->station); });
});

}  // namespace
