// tusave history: the saves the project's history database records (who, when, why, the
// outcome, how many values changed); --import reads a station's TP file and archive copies
// into an empty history; --prune deletes old saves, keeping what later ones need.
#include <cstdio>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>

#include "commands.h"
#include "config/ws_config.h"
#include "diagnose.h"
#include "history_cli.h"
#include "output.h"
#include "tpfile.h"

namespace {

struct HistoryOptions {
    std::string project;
    std::string station;
    unsigned kind = 2;
    std::string since;
    std::string before;
    bool json = false;
    bool import = false;
    bool prune = false;
};

constexpr const char* kInterrupted = "interrupted (the project may be partly updated until the next good save)";

std::string Result(const history::Save& s) {
    if (s.origin == "import") return "imported from " + s.source;
    switch (s.state) {
    case history::State::Running: return "running";
    case history::State::Interrupted: return kInterrupted;
    case history::State::Done: return "done";
    case history::State::Failed: break;
    }
    char code[32];
    std::snprintf(code, sizeof code, "failed 0x%08x", s.result.value_or(0));
    return code;
}

// The TP file and archive copies of a station, newest first, with how many values each save
// changed against the one before: what there is before the database holds anything.
void PrintCopies(const std::string& project, const std::string& station) {
    std::string tpPath;
    try {
        tpPath = tpfile::station_tp_path(project, station);
    } catch (const tpfile::Error&) {
        return;
    }
    std::vector<std::pair<std::string, std::string>> files{{tpPath, "TP file"}};
    for (const tpfile::Copy& c : tpfile::archive_copies(tpPath)) files.push_back({c.path, c.name});
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
    tusave_cli::out("");
    tusave_cli::out(tusave_cli::format("%-22s  %-26s  %s", "file", "saved", "values changed"));
    for (std::size_t i = 0; i < files.size(); ++i) {
        if (!parsed[i]) {
            tusave_cli::out(tusave_cli::format("%-22s  %s", files[i].second.c_str(), problems[i].c_str()));
            continue;
        }
        std::string changed = "-";
        for (std::size_t k = i + 1; k < files.size(); ++k) {
            if (!parsed[k] || parsed[k]->time >= parsed[i]->time) continue;
            changed = std::to_string(tpfile::changed_values(tpfile::diff(*parsed[k], *parsed[i]), *parsed[k], *parsed[i]));
            break;
        }
        tusave_cli::out(tusave_cli::format("%-22s  %-26s  %s", files[i].second.c_str(), parsed[i]->timeText.c_str(), changed.c_str()));
    }
}

int List(const HistoryOptions& o) {
    std::optional<std::int64_t> since;
    if (!o.since.empty() && !(since = history::parse_date(o.since))) {
        tusave_cli::err(tusave_cli::format("tusave history: --since \"%s\" is not a date (YYYY-MM-DD[ HH:MM[:SS]][Z|+HH:MM])",
                     o.since.c_str()));
        return 2;
    }
    bool missing = false;
    std::optional<history::Database> db = tusave_cli::open_history("history", o.project, false, &missing);
    if (!db && !missing) return 2;
    std::vector<history::Save> saves;
    if (db) {
        try {
            tusave_cli::settle(*db, o.station);
            saves = db->saves(o.station, since);
        } catch (const history::Error& e) {
            tusave_cli::err(tusave_cli::format("tusave history: %s", history::advice(e, db->path()).c_str()));
            return 2;
        }
    }
    // A station with nothing recorded must at least be one of the project's.
    if (saves.empty() && !o.station.empty() && !tusave_cli::known_station("tusave history", o.project, o.station))
        return 2;
    if (o.json) {
        nlohmann::ordered_json j = nlohmann::ordered_json::array();
        for (const history::Save& s : saves) j.push_back(tusave_cli::save_json(s));
        std::printf("%s\n", j.dump(2, ' ', false, nlohmann::json::error_handler_t::replace).c_str());
    } else if (!saves.empty()) {
        tusave_cli::out(tusave_cli::format("%5s  %-10s  %-25s  %-24s  %7s  %s", "save", "station", "started", "user@host", "changed",
                    "result: reason"));
        for (const history::Save& s : saves) {
            const std::string who = s.user.empty() && s.host.empty() ? "-" : s.user + "@" + s.host;
            const std::string changed = s.valuesChanged ? std::to_string(*s.valuesChanged) : "-";
            const std::string result = Result(s);
            const std::string station = s.kind == 3 ? s.station + "/EQLZ" : s.station;
            tusave_cli::out(tusave_cli::format("%5lld  %-10s  %-25s  %-24s  %7s  %s%s%s", static_cast<long long>(s.id), station.c_str(),
                        history::moment_text(s.started).c_str(), who.c_str(), changed.c_str(), result.c_str(),
                        s.reason.empty() ? "" : ": ", s.reason.c_str()));
        }
    }
    // Nothing recorded yet (and no filter that hid it): say so and offer the import.
    if (saves.empty() && o.since.empty()) {
        const std::string what = o.station.empty() ? "No save is" : "No save of " + o.station + " is";
        const std::string where = db ? db->path() : "there is none yet: the next save creates it";
        const auto say = [&](const std::string& line) { o.json ? tusave_cli::err(line) : tusave_cli::out(line); };
        say(tusave_cli::format("%s recorded in the history database (%s).", what.c_str(), where.c_str()));
        say(tusave_cli::import_offer(o.project, o.station));
        if (!o.json && !o.station.empty()) PrintCopies(o.project, o.station);
    }
    return 0;
}

int Import(const HistoryOptions& o) {
    std::vector<std::string> stations;
    if (!o.station.empty()) {
        stations.push_back(o.station);
    } else {
        ws::Project project;
        std::string error;
        if (!ws::load_project(o.project, o.kind == 3, project, error)) {
            tusave_cli::err(tusave_cli::format("tusave history --import: %s", error.c_str()));
            return 2;
        }
        for (const ws::Station& s : project.stations) stations.push_back(s.name);
    }
    std::optional<history::Database> db = tusave_cli::open_history("history --import", o.project, true);
    if (!db) return 2;
    int status = 0;
    for (const std::string& station : stations) {
        try {
            const std::string tp = tpfile::station_tp_path(o.project, station, o.kind == 3);
            const history::ImportResult r = db->import(station, static_cast<int>(o.kind), tp, "tusave " TUSAVE_VERSION);
            std::string names;
            for (const std::string& n : r.imported) names += (names.empty() ? "" : ", ") + n;
            tusave_cli::out(tusave_cli::format("%s: %zu TP file(s) imported, oldest first%s%s", station.c_str(), r.imported.size(),
                        names.empty() ? "" : ": ", names.c_str()));
            for (const std::string& s : r.skipped) tusave_cli::out(tusave_cli::format("%s: skipped %s", station.c_str(), s.c_str()));
        } catch (const history::Error& e) {
            tusave_cli::err(tusave_cli::format("tusave history --import: %s: %s", station.c_str(),
                         history::advice(e, db->path()).c_str()));
            status = e.kind == history::Error::Kind::Usage ? std::max(status, 1) : 2;
        } catch (const tpfile::Error& e) {
            tusave_cli::err(tusave_cli::format("tusave history --import: %s: %s", station.c_str(), e.what()));
            status = 2;
        }
    }
    return status;
}

int Prune(const HistoryOptions& o) {
    const std::optional<std::int64_t> before = history::parse_date(o.before);
    if (!before) {
        tusave_cli::err(tusave_cli::format("tusave history --prune: --before \"%s\" is not a date (YYYY-MM-DD[ HH:MM[:SS]][Z|+HH:MM])",
                     o.before.c_str()));
        return 2;
    }
    std::optional<history::Database> db = tusave_cli::open_history("history --prune", o.project, false);
    if (!db) return 2;
    try {
        tusave_cli::settle(*db, o.station);
        const history::PruneResult r = db->prune(*before, o.station);
        std::string kept;
        for (std::int64_t id : r.baselines) kept += (kept.empty() ? "" : ", ") + std::to_string(id);
        tusave_cli::out(tusave_cli::format("%lld save(s) before %s deleted", static_cast<long long>(r.removed),
                                           history::moment_text(history::moment(*before)).c_str()) +
                        (kept.empty() ? "" : "; kept as the baseline of later changes: save " + kept) +
                        (r.driftChecksRemoved ? tusave_cli::format("; %lld drift check(s) deleted",
                                                                   static_cast<long long>(r.driftChecksRemoved))
                                              : std::string()));
        return 0;
    } catch (const history::Error& e) {
        tusave_cli::err(tusave_cli::format("tusave history --prune: %s", history::advice(e, db->path()).c_str()));
        return 2;
    }
}

const tusave_cli::Register reg({"history"}, [](CLI::App& app) {
    auto o = std::make_shared<HistoryOptions>();
    CLI::App* cmd = app.add_subcommand("history", "List the saves recorded in the project's history database");
    cmd->add_option("--project", o->project, "The project")->required();
    cmd->add_option("--station", o->station, "Only this station");
    cmd->add_option("--kind", o->kind, "Project kind: 2 = the normal project, 3 = its equalization project (with --import)")
        ->check(CLI::IsMember({2u, 3u}))
        ->capture_default_str();
    auto* since = cmd->add_option("--since", o->since, "Only saves started at or after this date");
    auto* json = cmd->add_flag("--json", o->json, "Print the saves as one JSON array");
    auto* import = cmd->add_flag("--import", o->import,
                                 "Read the TP file and its archive copies into a history that has no save of the "
                                 "station yet, oldest first");
    auto* prune = cmd->add_flag("--prune", o->prune, "Delete the saves started before --before");
    auto* before = cmd->add_option("--before", o->before, "With --prune: the date before which saves are deleted");
    import->excludes(prune)->excludes(json)->excludes(since);
    prune->excludes(json)->excludes(since);
    prune->needs(before);
    before->needs(prune);
    cmd->footer("Newest first: the save's number, station, start time with its zone, user@host, how many tuning\n"
                "values it changed and its result and reason. A save that was killed shows as interrupted.\n"
                "The database is <project>/HISTORY/tuning.sqlite (docs/history-db.md); nothing is deleted\n"
                "from it but by --prune, which keeps per station the last save before the date as the\n"
                "baseline of the later changes.\n"
                "Exit status: 0, 1 when an import found a station already recorded, 2 on an error.");
    cmd->callback([o]() {
        tusave_cli::exit_status() = o->import ? Import(*o) : o->prune ? Prune(*o) : List(*o);
    });
});

}  // namespace
