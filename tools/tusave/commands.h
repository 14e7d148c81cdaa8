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

struct Register {
    explicit Register(AddCommand add) { commands().push_back(std::move(add)); }
};

}  // namespace tusave_cli
