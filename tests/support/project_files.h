// The project files of a workstation folder as bytes, to compare before and after a save; a
// whole file read.
#pragma once

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

namespace project_files {

using Files = std::map<std::string, std::string>;  // path below the workstation folder -> bytes

// The whole file as bytes ("" when it cannot be read).
inline std::string read_text(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}
inline std::vector<std::uint8_t> read_file(const std::string& path) {
    const std::string s = read_text(path);
    return {s.begin(), s.end()};
}

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
