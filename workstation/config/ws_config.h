// The workstation's own state, in files a user can read:
//   $TUSAVE_HOME/workstation.json            current project, projects folder, bus device, ...
//   <projects>/<project>/SYSTEM/sysconfig.json  the project's system configuration
//   <projects>/<project>/EQLZ/                   its equalization project (same layout)
// Every reader reports a missing or malformed file with a text naming the file.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ws {

// The workstation folder: $TUSAVE_HOME, else $HOME/.tusave.
std::string home();

struct Workstation {
    std::string currentProject;
    std::string projectsDir;   // absolute
    std::string busDevice;     // control-bus device, e.g. "udp:127.0.0.1:47110"
    bool vrecTest = false;     // the workstation runs its VREC test
    std::string backupDir;     // absolute
    std::string logDir;        // absolute: $TUSAVE_HOME/log
    std::string lockDir;       // absolute: $TUSAVE_HOME/lock
};

struct Area {
    int number = 0;
    std::string name;
};

struct Station {
    std::string name;
    int number = 0;             // 1..255
    bool apcs = false;
    bool underTest = false;
    bool autoBackup = false;
    std::vector<Area> areas;
    std::vector<unsigned> ioBusTypes;  // I/O bus type of bus 1 and 2; empty: not configured
};

struct Project {
    std::string name;
    std::string topDir;         // absolute project (or equalization project) folder
    std::vector<Station> stations;
    const Station* find(std::string_view station) const;
};

// A name joined into a path must be one plain element: not empty, no "/", "\", "..", and no
// control character (a byte below 0x20, NUL included, or 0x7F).
bool valid_name(std::string_view name);

bool load_workstation(Workstation& out, std::string& error);
// The project's folder (eqlz: its equalization project), without reading it.
bool project_dir(std::string_view project, bool eqlz, std::string& dir, std::string& error);
bool load_project(std::string_view project, bool eqlz, Project& out, std::string& error);

// Path of the system configuration file inside a project folder.
std::string sysconfig_path(const std::string& projectTop);

}  // namespace ws
