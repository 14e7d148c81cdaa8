// Subcommands of the tusave tool register themselves here at start-up.
#pragma once

#include <CLI/CLI.hpp>
#include <functional>
#include <string>
#include <vector>

namespace tusave_cli {

// Adds a subcommand to app; called once by main before parsing.
using AddCommand = std::function<void(CLI::App& app)>;

// The subcommands one AddCommand adds, by name, and the function.
struct Command {
    std::vector<std::string> names;
    AddCommand add;
};

inline std::vector<Command>& commands() {
    static std::vector<Command> list;
    return list;
}

// The exit status the chosen subcommand sets in its callback (0 unless set).
inline int& exit_status() {
    static int status = 0;
    return status;
}

struct Register {
    Register(std::vector<std::string> names, AddCommand add) {
        commands().push_back({std::move(names), std::move(add)});
    }
};

}  // namespace tusave_cli
