// tusave explain CODE: what a result code means and what to do; --markdown writes the whole
// table as docs/result-codes.md.
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "commands.h"
#include "output.h"
#include "tusave_results.h"

namespace {

struct ExplainOptions {
    std::string code;
    bool markdown = false;
};

std::string Hex(unsigned code) { return tusave_cli::format("0x%08x", code); }

// A text for a Markdown table: "<" and ">" would read as HTML.
std::string Md(const char* text) {
    std::string s;
    for (const char* p = text; *p; ++p) s += *p == '<' ? "&lt;" : *p == '>' ? "&gt;" : std::string(1, *p);
    return s;
}

void PrintMarkdown() {
    using tusave_cli::out;
    out("# Result codes");
    out("");
    out("Generated from the library's table (`tusave explain --markdown`); `tusave explain CODE` prints one row,");
    out("the failure line of a save and its JSON report (`result.meaning`, `result.remedy`) use the same texts.");
    out("A code below 0x1000 that is not in the table is a system error number (`errno`).");
    out("");
    out("| code | name | meaning | what to do |");
    out("|---|---|---|---|");
    unsigned n = 0;
    const tusave_result_info* t = tusave_result_table(&n);
    for (unsigned i = 0; i < n; ++i)
        out("| " + Hex(t[i].code) + " | `" + t[i].name + "` | " + Md(t[i].meaning) + " | " + Md(t[i].remedy) + " |");
}

int Run(const ExplainOptions& o) {
    if (o.markdown) {
        PrintMarkdown();
        return 0;
    }
    if (o.code.empty()) {
        tusave_cli::err("tusave explain: give a result code (0x20234104, 539181316 or TUSAVE_E_UPLOAD) or --markdown");
        return 2;
    }
    const tusave_result_info* row = nullptr;
    unsigned n = 0;
    const tusave_result_info* t = tusave_result_table(&n);
    for (unsigned i = 0; i < n && !row; ++i)
        if (o.code == t[i].name) row = &t[i];
    unsigned long value = 0;
    if (!row) {
        char* end = nullptr;
        errno = 0;
        value = std::strtoul(o.code.c_str(), &end, 0);
        if (o.code.empty() || *end != '\0' || errno != 0 || value > 0xFFFFFFFFul || o.code[0] == '-') {
            tusave_cli::err("tusave explain: \"" + o.code + "\" is not a number or a code name");
            return 2;
        }
        row = tusave_result_find(static_cast<unsigned>(value));
    }
    if (!row) {
        if (value > 0 && value < 0x1000) {
            tusave_cli::out(Hex(static_cast<unsigned>(value)) + " is not a code of the save; as a system error number: " +
                            std::strerror(static_cast<int>(value)));
            return 0;
        }
        tusave_cli::err("tusave explain: " + Hex(static_cast<unsigned>(value)) +
                        " is not a result code of the save or its services");
        return 2;
    }
    tusave_cli::out(Hex(row->code) + " " + row->name);
    tusave_cli::out(std::string("  meaning: ") + row->meaning);
    tusave_cli::out(std::string("  what to do: ") + row->remedy);
    return 0;
}

const tusave_cli::Register reg({"explain"}, [](CLI::App& app) {
    auto o = std::make_shared<ExplainOptions>();
    CLI::App* cmd = app.add_subcommand("explain", "Tell what a result code means and what to do about it");
    cmd->add_option("CODE", o->code, "The code: hex (0x20234104), decimal or its name (TUSAVE_E_UPLOAD)");
    cmd->add_flag("--markdown", o->markdown, "Print the whole table as Markdown (docs/result-codes.md)");
    cmd->footer("Exit status: 0 when the code is known, 2 when it is not.");
    cmd->callback([o]() { tusave_cli::exit_status() = Run(*o); });
});

}  // namespace
