// What tusave history, log and diff share about the project's history database.
#include "history_cli.h"
#include "output.h"

#include <cstdio>
#include <ctime>

namespace tusave_cli {

namespace {

using Json = nlohmann::ordered_json;

template <class T>
Json Opt(const std::optional<T>& v) {
    return v ? Json(*v) : Json();
}

Json Text(const std::string& s) { return s.empty() ? Json() : Json(s); }

}  // namespace

std::optional<history::Database> open_history(const std::string& command, const std::string& project, bool create,
                                              bool* missing) {
    std::string path;
    try {
        path = history::database_path(project);
        return history::Database::open(path, create);
    } catch (const history::Error& e) {
        if (missing && e.kind == history::Error::Kind::Missing) {
            *missing = true;
            return std::nullopt;
        }
        tusave_cli::err(tusave_cli::format("tusave %s: %s", command.c_str(), history::advice(e, path).c_str()));
        return std::nullopt;
    }
}

void settle(history::Database& db, const std::string& station) {
    try {
        db.settle(station);
    } catch (const history::Error& e) {
        if (e.kind == history::Error::Kind::Damaged) throw;
    }
}

std::string import_offer(const std::string& project, const std::string& station) {
    return "Its TP file and archive copies can be read into it, once: tusave history --project " + project +
           (station.empty() ? "" : " --station " + station) + " --import";
}

std::string save_name(const history::Save& s) {
    return "save " + std::to_string(s.id) + " (" + history::moment_text(s.started) + ")";
}

nlohmann::ordered_json save_json(const history::Save& s) {
    Json j;
    j["save"] = s.id;
    j["station"] = s.station;
    j["kind"] = s.kind;
    j["origin"] = s.origin;
    j["mode"] = Opt(s.mode);
    j["state"] = history::state_text(s.state);
    j["started"] = history::moment_iso(s.started);
    j["ended"] = s.ended ? Json(history::moment_iso(*s.ended)) : Json();
    j["user"] = Text(s.user);
    j["host"] = Text(s.host);
    j["program"] = Text(s.program);
    j["reason"] = Text(s.reason);
    j["source"] = Text(s.source);
    if (s.result) {
        char code[16];
        std::snprintf(code, sizeof code, "0x%08x", *s.result);
        j["result"] = code;
    } else {
        j["result"] = nullptr;
    }
    j["seconds"] = Opt(s.seconds);
    j["frames"] = {{"sent", Opt(s.framesSent)}, {"received", Opt(s.framesReceived)}};
    j["blocks"] = Opt(s.blocks);
    j["records"] = Opt(s.records);
    j["warnings"] = Opt(s.warnings);
    j["valuesChanged"] = Opt(s.valuesChanged);
    j["tpSha256"] = Text(s.tpSha256);
    j["baseline"] = s.baseline;
    return j;
}

bool history_states(const std::string& project, const std::string& station, int kind, const std::string& from,
                    const std::string& to, tpfile::File& a, std::string& aName, tpfile::File& b, std::string& bName) {
    std::optional<history::Database> db = open_history("diff", project, false);
    if (!db) return false;
    try {
        settle(*db, station);
        const history::Save x = db->resolve(station, kind, from);
        a = db->state(x.id);
        aName = save_name(x);
        if (!to.empty()) {
            const history::Save y = db->resolve(station, kind, to);
            b = db->state(y.id);
            bName = save_name(y);
        } else {
            bName = tpfile::station_tp_path(project, station, kind == 3);
            b = tpfile::read(bName);
        }
        return true;
    } catch (const history::Error& e) {
        tusave_cli::err(tusave_cli::format("tusave diff: %s", history::advice(e, db->path()).c_str()));
    } catch (const tpfile::Error& e) {
        tusave_cli::err(tusave_cli::format("tusave diff: %s", e.what()));
    }
    return false;
}

}  // namespace tusave_cli
