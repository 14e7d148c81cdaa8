// tusave: the calling application of the tuning-parameter save.
#include <cstdio>

#include "commands.h"
#include "output.h"

int main(int argc, char** argv) {
    tusave_cli::setup_output();
    CLI::App app{"tusave " TUSAVE_VERSION ": save the tuning parameters of a field control station"};
    app.set_version_flag("--version", "tusave " TUSAVE_VERSION);
    app.footer("tusave COMMAND --help tells more of each command. Result codes: tusave explain CODE.");
    for (auto& add : tusave_cli::commands()) add(app);
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
