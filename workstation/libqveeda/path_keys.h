// The one key-to-path table of the project path service.
//
// Each key has a kind (which getter family answers it), a root (the project folder, or the
// workstation's template folder) and a relative path pattern. Placeholders:
//   {stn}          station name              {folder}   template folder name
//   {name}         file name (required)      {name=x}   file name, x when none is given
//   {n1} {n2} {n3} numbers 1..3 of GetPath    {n1:02}    zero-padded to 2 (or 4) digits
// A folder entry gets a given file name appended as one more path element.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace eda::pathkeys {

enum class Kind {
    Tmpl,      // GetTmplFilePath                      ($TUSAVE_HOME/template)
    Udf,       // GetUDFTmplFolderPath / GetUDFTmplFilePath(1)   ($TUSAVE_HOME/template)
    Sys,       // GetSystemFilePath / GetSystemFolderPath
    Fcs,       // GetFCSFilePath (both forms)
    His,       // GetHISFilePath
    Stn,       // GetSTNFolderPath / GetSTNFilePath
    Path,      // GetPath (station optional)
    Internal,  // GetFCSUserInstPath, GetFCSBlockPath and other service-internal paths
};

struct KeyDef {
    const char* key;
    Kind kind;
    bool folder;
    const char* pattern;
};

std::span<const KeyDef> table();
const KeyDef* find(std::string_view key, Kind kind);
bool under_workstation(Kind kind);
const char* kind_name(Kind kind);

struct Args {
    const char* station = nullptr;
    const char* name = nullptr;
    const char* folder = nullptr;
    long long n1 = 0, n2 = 0, n3 = 0;
};

// The path of def below root (root has no trailing "/"); 0 or a code of eda_status.h.
// Every name is checked to be one plain path element; the result never leaves root.
std::uint32_t expand(const KeyDef& def, const Args& args, const std::string& root, std::string& out);

// The key table as a markdown table (docs/pathkeys.md holds exactly this text).
std::string markdown();

}  // namespace eda::pathkeys
