// The station's custom files (the tool backup's input) and the installed backup tool.
#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>

#include "custom.h"
#include "image_format.h"
#include "rng.h"

namespace sample::detail {
namespace {

// A file name the custom folders may hold: blanks allowed, no path separators, not "." or "..".
bool custom_file_name(const std::string& n) {
    if (n.empty() || n.size() > 64 || n == "." || n == "..") return false;
    return std::all_of(n.begin(), n.end(), [](unsigned char c) { return c >= 0x20 && c < 0x7F && c != '/' && c != '\\'; });
}

bool xseg(const std::string& n) { return n.size() > 5 && n.compare(n.size() - 5, 5, ".xseg") == 0; }

}  // namespace

std::vector<CustomFile> default_custom_files(std::size_t index) {
    if (index != 0) return {{"CUSTOM01", "FCS", "ctrl.xseg", 96}, {"CUSTOM01", "SIM", "ctrl.xseg", 96}};
    // Listed folders with FCS and SIM files, one name with a blank, the same name in two
    // folders, files directly under Custom/ (the empty entry), a folder named like a file,
    // a file that is not "*.xseg", and a folder that the list does not name.
    return {
        {"CUSTOM01", "FCS", "loop01.xseg", 128},     {"CUSTOM01", "FCS", "loop 02.xseg", 200},
        {"CUSTOM01", "FCS", "x.xseg", 0, true},      {"CUSTOM01", "FCS", "notes.txt", 40},
        {"CUSTOM01", "SIM", "loop01.xseg", 128},     {"", "FCS", "common.xseg", 64},
        {"", "SIM", "common.xseg", 64},              {"CTRLDATA", "FCS", "loop01.xseg", 80},
        {"CTRLDATA", "SIM", "ctrl.xseg", 72},        {"UNLISTED", "FCS", "other.xseg", 48},
    };
}

void validate_custom(const Station& s, const std::string& src, const std::string& where) {
    auto fail = [&](std::size_t i, const char* key, const std::string& what) {
        throw Error(src + ": " + where + ".customFiles[" + std::to_string(i) + "]." + key + ": " + what);
    };
    for (std::size_t i = 0; i < s.customFiles.size(); ++i) {
        const CustomFile& f = s.customFiles[i];
        if (!f.folder.empty() && !custom_file_name(f.folder)) fail(i, "folder", "not a plain folder name");
        if (f.side != "FCS" && f.side != "SIM") fail(i, "side", "expected \"FCS\" or \"SIM\"");
        if (!custom_file_name(f.name)) fail(i, "name", "not a plain file name of 1 to 64 characters");
        if (f.bytes > 1u << 20) fail(i, "bytes", "expected at most 1 MiB");
    }
}

std::string custom_rel(const CustomFile& f) {
    return "Custom/" + (f.folder.empty() ? std::string() : f.folder + "/") + f.side + "/" + f.name;
}

std::vector<std::uint8_t> custom_bytes(const Description& d, const Station& s, std::size_t i) {
    std::vector<std::uint8_t> out(s.customFiles[i].bytes);
    Rng::keyed(d.seed, 0xC057, static_cast<std::uint64_t>(s.number), i).fill(out.data(), out.size());
    return out;
}

void tool_files(const Station& s, const std::string& stationDir, StationResult& info) {
    // The list has kCustomNames entries, the unused ones empty; a folder is searched once.
    std::vector<std::string> folders;
    for (std::size_t i = 0; i < fmt::kCustomNames && !s.customFolders.empty(); ++i) {
        const std::string name = i < s.customFolders.size() ? s.customFolders[i] : std::string();
        if (std::find(folders.begin(), folders.end(), name) == folders.end()) folders.push_back(name);
    }
    for (const char* side : {"FCS", "SIM"}) {
        auto& out = std::strcmp(side, "FCS") == 0 ? info.toolFilesFcs : info.toolFilesSim;
        for (const std::string& folder : folders) {
            std::vector<std::string> names;
            for (const CustomFile& f : s.customFiles)
                if (f.folder == folder && f.side == side && !f.directory && xseg(f.name)) names.push_back(f.name);
            std::sort(names.begin(), names.end());  // the order of the directory search
            names.erase(std::unique(names.begin(), names.end()), names.end());
            for (const std::string& n : names)
                out.push_back(stationDir + "/Custom/" + (folder.empty() ? "" : folder + "/") + side + "/" + n);
        }
    }
}

std::vector<std::uint8_t> read_program(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw Error(path + ": cannot read the backup tool program");
    std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)), {});
    if (bytes.empty()) throw Error(path + ": the backup tool program is empty");
    return bytes;
}

}  // namespace sample::detail
