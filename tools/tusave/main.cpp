// tusave: the calling application of the tuning-parameter save.
#include <cstdio>

#include "commands.h"

int main(int argc, char** argv) {
    CLI::App app{"tusave " TUSAVE_VERSION ": save the tuning parameters of a field control station"};
    app.require_subcommand(1);
    app.set_version_flag("--version", "tusave " TUSAVE_VERSION);
    for (auto& add : tusave_cli::commands()) add(app);
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        // Help and version end with 0; every usage error with 2.
        return app.exit(e) == 0 ? 0 : 2;
    }
    return tusave_cli::exit_status();
}
