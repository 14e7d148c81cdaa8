// The project files of a workstation folder as bytes, to compare before and after a save.
#pragma once

#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>

namespace project_files {

using Files = std::map<std::string, std::string>;  // path below the workstation folder -> bytes

// Every file of the projects folder (logs, locks and backups lie outside it).
inline Files snapshot(const std::string& root) {
    namespace fs = std::filesystem;
    Files out;
    for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator(); ++it) {
        const std::string rel = fs::relative(it->path(), root).string();
        if (it.depth() == 0 && rel != "projects") {
            it.disable_recursion_pending();
            continue;
        }
        if (!it->is_regular_file()) continue;
        std::ifstream in(it->path(), std::ios::binary);
        out[rel] = std::string(std::istreambuf_iterator<char>(in), {});
    }
    return out;
}

}  // namespace project_files
