// tusave sample DIR: builds a sample workstation folder (workstation, project, stations).
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <optional>

#include "commands.h"
#include "output.h"
#include "sample.h"

namespace {

struct SampleOptions {
    std::string dir;
    std::string description;
    std::optional<std::uint64_t> seed;
    std::optional<int> blocks, anMessages, port, stations, blocksPerDrawing;
    std::optional<std::string> project, byteOrder, tool;
    bool printDescription = false;
    bool force = false;
};

// The backup tool built beside this program: ../shgsave/shgsave in the build tree, else ./shgsave.
std::string default_tool() {
    namespace fs = std::filesystem;
    std::error_code ec;
    const fs::path self = fs::read_symlink("/proc/self/exe", ec);
    if (ec) return {};
    for (const fs::path& p : {self.parent_path().parent_path() / "shgsave" / "shgsave", self.parent_path() / "shgsave"})
        if (fs::is_regular_file(p, ec)) return p.string();
    return {};
}

int run(const SampleOptions& o) {
    try {
        sample::Description d = o.description.empty() ? sample::default_description()
                                                      : sample::load_description(o.description);
        if (o.printDescription) {
            std::cout << sample::description_to_json(d).dump(2) << "\n";
            return 0;
        }
        if (!o.force && std::filesystem::exists(std::filesystem::path(o.dir) / "workstation.json")) {
            tusave_cli::err("tusave sample: " + o.dir + " already holds a workstation (" + o.dir +
                            "/workstation.json): give another folder, or --force to write the sample over it");
            return 2;
        }
        if (o.stations) {
            // A plant: the description's stations first, then built-in ones after them.
            const auto n = static_cast<std::size_t>(*o.stations);
            if (d.stations.size() > n) d.stations.resize(n);
            while (d.stations.size() < n) d.stations.push_back(sample::default_station(d.stations.size()));
        }
        if (o.seed) d.seed = *o.seed;
        if (o.port) d.workstation.busPort = *o.port;
        if (o.project) d.project = d.workstation.currentProject = *o.project;
        for (auto& s : d.stations) {
            if (o.blocks) s.blocks = *o.blocks;
            if (o.anMessages) s.anMessages = *o.anMessages;
            if (o.blocksPerDrawing) s.blocksPerDrawing = *o.blocksPerDrawing;
            if (o.byteOrder) s.byteOrder = *o.byteOrder;
        }
        auto t0 = std::chrono::steady_clock::now();
        sample::validate(d, o.description.empty() ? "built-in description" : o.description);
        sample::BuildOptions options;
        options.tool = o.tool ? *o.tool : default_tool();
        sample::Result r = sample::build(d, o.dir, options);
        double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();

        using tusave_cli::format;
        using tusave_cli::out;
        out(format("sample workstation: %s (seed %llu, %zu files, %.1f ms)", r.dir.c_str(),
                   static_cast<unsigned long long>(d.seed), r.files.size(), ms));
        out("  " + r.workstationJson);
        out("  project " + d.project + ": " + r.projectDir);
        for (const auto& s : r.stations) {
            std::size_t exist = 0, listed = 0;
            for (const auto& b : s.blocks) {
                exist += b.exists();
                listed += b.listed;
            }
            std::size_t fetched = 0;
            for (const auto& t : s.opeMarks) fetched += t.fetched;
            out(format("  station %s (number %d): %d block entries, %zu blocks, %zu to save, %zu AN messages, "
                        "%zu of %zu operation-mark tables asked for, image %zu bytes",
                        s.name.c_str(), s.number, s.maxBlock, exist, listed, s.uaids.size(), fetched,
                        s.opeMarks.size(), s.imageSize));
            out("    " + s.databasePath);
            out("    " + s.memoryPath);
        }
        if (r.toolPath.empty())
            out("  no backup tool installed (shgsave not found beside tusave; see --tool)");
        else
            out("  backup tool: " + r.toolPath);
        return 0;
    } catch (const sample::Error& e) {
        tusave_cli::err(std::string("tusave sample: ") + e.what());
        return 1;
    }
}

tusave_cli::Register reg({"sample"}, [](CLI::App& app) {
    auto o = std::make_shared<SampleOptions>();
    CLI::App* cmd = app.add_subcommand("sample", "Build a sample workstation folder: project, stations, simulated stations");
    cmd->add_option("DIR", o->dir, "Workstation folder to write (created when missing)");
    cmd->add_option("--description", o->description, "Description file (JSON); default: the built-in description");
    cmd->add_option("--seed", o->seed, "Seed of the pseudo-random data");
    cmd->add_option("--blocks", o->blocks, "Block entries (MaxBlock) of every station")->check(CLI::Range(0, 32767));
    cmd->add_option("--blocks-per-drawing", o->blocksPerDrawing,
                    "Blocks per drawing (location DR<NNNN>) of every station; the blocks may fill at most 255 drawings")
        ->check(CLI::Range(1, 32767));
    cmd->add_option("--stations", o->stations,
                    "Stations of the plant: the description's first ones, then built-in ones (FCS0103, ...)")
        ->check(CLI::Range(1, 16));
    cmd->add_option("--an-messages", o->anMessages, "AN messages of every station")->check(CLI::Range(0, 32767));
    cmd->add_option("--port", o->port, "UDP port of the control bus on 127.0.0.1")->check(CLI::Range(1, 65535));
    cmd->add_option("--project", o->project, "Project name (also the current project)");
    cmd->add_option("--byte-order", o->byteOrder, "Byte order of the simulated stations")->check(CLI::IsMember({"big", "host"}));
    cmd->add_option("--tool", o->tool, "Backup tool program to install as FCS/tool/shgsave; default: the shgsave "
                                       "built beside tusave, none when there is none");
    cmd->add_flag("--print-description", o->printDescription, "Print the description in full and write nothing");
    cmd->add_flag("--force", o->force, "Write over a folder that already holds a workstation (its files are replaced)");
    cmd->footer("Exit status: 0 when written, 1 when the description or a write failed, 2 on a usage error\n"
                "(a folder that already holds a workstation, without --force).");
    cmd->callback([o]() {
        if (o->dir.empty() && !o->printDescription) throw CLI::RequiredError("DIR");
        tusave_cli::exit_status() = run(*o);
    });
});

}  // namespace
