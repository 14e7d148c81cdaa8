// tusave diff: what changed between two TP files, or between two saves of the history database.
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>

#include "commands.h"
#include "diagnose.h"
#include "history_cli.h"
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
    std::string from, to;   // saves of the history database
    unsigned kind = 2;
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
        } else if (!o.from.empty()) {
            if (o.project.empty() || o.station.empty())
                throw tpfile::Error("tusave diff", 0, "--from needs --project and --station");
            if (!tusave_cli::known_station("tusave diff", o.project, o.station, o.kind == 3)) return 2;
            if (!tusave_cli::history_states(o.project, o.station, static_cast<int>(o.kind), o.from, o.to, a, oldPath, b,
                                            newPath))
                return 2;
        } else {
            if (o.project.empty() || o.station.empty())
                throw tpfile::Error("tusave diff", 0, "give OLD NEW, or --project and --station");
            if (!tusave_cli::known_station("tusave diff", o.project, o.station)) return 2;
            newPath = tpfile::station_tp_path(o.project, o.station);
            b = tpfile::read(newPath);
            oldPath = o.against.empty() ? tpfile::previous_copy(newPath, b) : o.against;
            a = tpfile::read(oldPath);
        }
        std::vector<Change> changes = tusave_cli::item_changes(tpfile::diff(a, b), a, b);
        if (o.json) PrintJson(oldPath, newPath, changes);
        else tusave_cli::print_changes(changes, isatty(STDOUT_FILENO));
        return changes.empty() ? 0 : 1;
    } catch (const tpfile::Error& e) {
        tusave_cli::err(std::string("tusave diff: ") + e.what());
        return 2;
    }
}

const tusave_cli::Register reg({"diff"}, [](CLI::App& app) {
    auto o = std::make_shared<DiffOptions>();
    CLI::App* cmd = app.add_subcommand("diff", "List the tuning values that differ between two TP files");
    cmd->add_option("files", o->files, "OLD NEW: two TP files");
    auto* project = cmd->add_option("--project", o->project,
                                    "With --station: the station's TP file against its previous save");
    auto* station = cmd->add_option("--station", o->station, "The station name (e.g. FCS0101)");
    auto* against = cmd->add_option("--against", o->against, "With --project/--station: compare with this file instead");
    against->needs(project)->needs(station);
    auto* from = cmd->add_option("--from", o->from,
                                 "With --project/--station: the TP file this save of the history database wrote "
                                 "(its number, or a date: the last save at or before it)");
    auto* to = cmd->add_option("--to", o->to, "With --from: against the TP file of this save (default: the TP file now)");
    cmd->add_option("--kind", o->kind, "With --from: 2 = the normal project, 3 = its equalization project")
        ->check(CLI::IsMember({2u, 3u}))
        ->capture_default_str();
    from->excludes(against);
    to->needs(from);
    cmd->add_flag("--json", o->json, "Print the differences as one JSON document");
    cmd->footer("Per block (number, tag, model) and item: the old and the new value; blocks and items that\n"
                "appear or disappear are listed as such. On a terminal an aligned, coloured table.\n"
                "--from/--to compare saves recorded in the project's history database (tusave history).\n"
                "Exit status: 0 when equal, 1 when different, 2 on an error.");
    cmd->callback([o]() { tusave_cli::exit_status() = RunDiff(*o); });
});

}  // namespace
