// Subcommands of the tusave tool register themselves here at start-up.
#pragma once

#include <CLI/CLI.hpp>
#include <functional>
#include <vector>

namespace tusave_cli {

// Adds a subcommand to app; called once by main before parsing.
using AddCommand = std::function<void(CLI::App& app)>;

inline std::vector<AddCommand>& commands() {
    static std::vector<AddCommand> list;
    return list;
}

// The exit status the chosen subcommand sets in its callback (0 unless set).
inline int& exit_status() {
    static int status = 0;
    return status;
}

struct Register {
    explicit Register(AddCommand add) { commands().push_back(std::move(add)); }
};

}  // namespace tusave_cli
