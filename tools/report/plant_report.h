// The plant report: one self-contained HTML page (inline CSS and SVG, a small inline script
// that only adds sorting and filtering to a table that is complete without it; no network, no
// other file) built from a project's tuning history database: a table of the stations (last
// good save and its age, last result, who saved, values changed and saves in the last 30 days,
// unsaved values found by the last drift check), stale stations and failed last saves marked;
// per station a timeline of its saves, its most changed items and, per numeric item changed at
// least twice, its value over time with the saves as points.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "history.h"

namespace plantreport {

struct Options {
    std::string project;
    std::int64_t now = 0;     // seconds since 1970: ages and the last 30 days are counted from it
    int staleDays = 7;        // a station whose last good save is older is marked
    std::string source;       // the database's path, named in the page
};

// The page for the stations of kind 2 (the project): `stations` in the order of the project's
// configuration, then any other station the database knows; db null: nothing is recorded yet.
// Throws history::Error.
std::string build(const history::Database* db, const std::vector<std::string>& stations, const Options& o);

// Text for HTML (element content and quoted attribute values): & < > " ' escaped, control
// characters shown as U+FFFD, and bytes that are not UTF-8 read as the workstation's code page
// (CP932).
std::string html_text(std::string_view s);

}  // namespace plantreport
