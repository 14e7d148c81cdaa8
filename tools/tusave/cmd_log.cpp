// tusave log: every change of a station's tuning values over time, newest first, from the
// project's history database: when, who, why, old -> new.
#include <cstdio>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>

#include "commands.h"
#include "diagnose.h"
#include "history_cli.h"
#include "output.h"

namespace {

struct LogOptions {
    std::string project;
    std::string station;
    std::string tag;
    std::string item;
    unsigned kind = 2;
    bool json = false;
};

std::string Opt(const std::optional<std::string>& v) { return v ? *v : "-"; }

int RunLog(const LogOptions& o) {
    bool missing = false;
    std::optional<history::Database> db = tusave_cli::open_history("log", o.project, false, &missing);
    if (missing) {
        tusave_cli::err(tusave_cli::format("tusave log: no save of project %s is recorded in a history database yet.",
                                           o.project.c_str()));
        tusave_cli::err(tusave_cli::import_offer(o.project, o.station));
        return 2;
    }
    if (!db) return 2;
    std::vector<history::Change> changes;
    try {
        tusave_cli::settle(*db, o.station);
        changes = db->log(o.station, static_cast<int>(o.kind), o.tag, o.item);
    } catch (const history::Error& e) {
        tusave_cli::err(tusave_cli::format("tusave log: %s", history::advice(e, db->path()).c_str()));
        return 2;
    }
    if (changes.empty() && !tusave_cli::known_station("tusave log", o.project, o.station, o.kind == 3)) return 2;
    if (o.json) {
        nlohmann::ordered_json j = nlohmann::ordered_json::array();
        for (const history::Change& c : changes) {
            nlohmann::ordered_json e;
            e["block"] = c.blockNo;
            e["tag"] = c.tag;
            e["model"] = c.model;
            e["item"] = c.item;
            e["old"] = c.oldValue ? nlohmann::ordered_json(*c.oldValue) : nlohmann::ordered_json();
            e["new"] = c.newValue ? nlohmann::ordered_json(*c.newValue) : nlohmann::ordered_json();
            e["save"] = tusave_cli::save_json(c.save);
            j.push_back(e);
        }
        std::printf("%s\n", j.dump(2, ' ', false, nlohmann::json::error_handler_t::replace).c_str());
        return 0;
    }
    for (const history::Change& c : changes) {
        const std::string who = c.save.user.empty() && c.save.host.empty() ? "-" : c.save.user + "@" + c.save.host;
        tusave_cli::out(tusave_cli::format("%s  save %lld  %s  %04d %s %s %s: %s -> %s%s%s", history::moment_text(c.save.started).c_str(),
                    static_cast<long long>(c.save.id), who.c_str(), c.blockNo, c.tag.c_str(), c.model.c_str(),
                    c.item.c_str(), Opt(c.oldValue).c_str(), Opt(c.newValue).c_str(), c.save.reason.empty() ? "" : "  ",
                    c.save.reason.c_str()));
    }
    return 0;
}

const tusave_cli::Register reg({"log"}, [](CLI::App& app) {
    auto o = std::make_shared<LogOptions>();
    CLI::App* cmd = app.add_subcommand("log", "List every change of a station's tuning values, newest first");
    cmd->add_option("--project", o->project, "The project")->required();
    cmd->add_option("--station", o->station, "The station name")->required();
    cmd->add_option("--tag", o->tag, "Only the values of the block with this tag");
    cmd->add_option("--item", o->item, "Only this item (its label, as in the TP file: SV, K[2])");
    cmd->add_option("--kind", o->kind, "Project kind: 2 = the normal project, 3 = its equalization project")
        ->check(CLI::IsMember({2u, 3u}))
        ->capture_default_str();
    cmd->add_flag("--json", o->json, "Print the changes as one JSON array");
    cmd->footer("One line per change recorded in the project's history database: when the save started (with\n"
                "its zone), its number, user@host, block, tag, model and item, old -> new (\"-\": not there),\n"
                "and the reason given to the save.\n"
                "Exit status: 0, 2 on an error.");
    cmd->callback([o]() { tusave_cli::exit_status() = RunLog(*o); });
});

}  // namespace
