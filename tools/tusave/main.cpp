// tusave: the calling application of the tuning-parameter save.
#include <sqlite3.h>

#include <algorithm>
#include <cstdio>

#include "commands.h"
#include "output.h"

int main(int argc, char** argv) {
    // Nothing here asks SQLite how much memory it holds: it does not count, and its allocations
    // take no lock for the count.
    sqlite3_config(SQLITE_CONFIG_MEMSTATUS, 0);
    // No page cache set aside in advance: each cache takes its pages as it reads them. The
    // twenty pages a cache would otherwise claim at once are touched (and faulted in) whether
    // the connection reads them or not.
    sqlite3_config(SQLITE_CONFIG_PAGECACHE, nullptr, 0, 0);
    tusave_cli::setup_output();
    CLI::App app{"tusave " TUSAVE_VERSION ": save the tuning parameters of a field control station"};
    app.set_version_flag("--version", "tusave " TUSAVE_VERSION);
    app.footer("tusave COMMAND --help tells more of each command. Result codes: tusave explain CODE.");
    // The named command alone when the first argument names one: the others' options are
    // not built for a save. Otherwise all of them, for the help and the usage errors.
    const auto& all = tusave_cli::commands();
    const auto named = std::find_if(all.begin(), all.end(), [&](const tusave_cli::Command& c) {
        return argc > 1 && std::find(c.names.begin(), c.names.end(), argv[1]) != c.names.end();
    });
    if (named != all.end())
        named->add(app);
    else
        for (const auto& c : all) c.add(app);
    if (argc <= 1) {
        std::printf("%s", app.help().c_str());
        return 0;
    }
    app.require_subcommand(1);
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        // Help and version end with 0; every usage error with 2.
        return app.exit(e) == 0 ? 0 : 2;
    }
    return tusave_cli::exit_status();
}
