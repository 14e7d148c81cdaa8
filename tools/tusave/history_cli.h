// What tusave history, log and diff share about the project's history database.
#pragma once

#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "history.h"
#include "tpfile.h"

namespace tusave_cli {

// The project's history database, opened for a question (create: also made when missing);
// on failure the reason, and for a damaged one how to start anew, go to stderr after
// "tusave <command>: " and nothing is returned. missing: set instead of printing when the
// database does not exist yet.
std::optional<history::Database> open_history(const std::string& command, const std::string& project, bool create,
                                              bool* missing = nullptr);

// Marks the station's killed saves interrupted before a question about it; a database this
// user may only read is answered as it stands (a damaged one still throws).
void settle(history::Database& db, const std::string& station);

// The line that offers the import, for a station (or every station when empty).
std::string import_offer(const std::string& project, const std::string& station);

// "save 3 (2026-01-01 00:03:00 +0000)"
std::string save_name(const history::Save& s);
// A save's row as JSON (the form of history --json and log --json).
nlohmann::ordered_json save_json(const history::Save& s);

// The two TP states that diff --from/--to compares: the one save `from` wrote, and the one
// save `to` wrote (without `to`: the station's TP file). Prints the reason on stderr and
// returns false when they cannot be had.
bool history_states(const std::string& project, const std::string& station, int kind, const std::string& from,
                    const std::string& to, tpfile::File& a, std::string& aName, tpfile::File& b, std::string& bName);

}  // namespace tusave_cli
