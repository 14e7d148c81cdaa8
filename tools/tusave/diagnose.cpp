#include "diagnose.h"

#include <sys/stat.h>

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>

#include "config/ws_config.h"
#include "libqvebc2fcs/bc2fcs_layout.h"
#include "libqveeda/eda_status.h"
#include "libqverxeda/gen_lock.h"
#include "output.h"
#include "report.h"
#include "tusave_results.h"

namespace tusave_cli {

namespace {

namespace fs = std::filesystem;

bool IsDir(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string Join(const std::vector<std::string>& v) {
    std::string s;
    for (const std::string& x : v) s += (s.empty() ? "" : ", ") + x;
    return s;
}

bool AnyLine(const std::vector<std::string>& lines, const std::string& part, std::string* found = nullptr) {
    for (const std::string& l : lines)
        if (l.find(part) != std::string::npos) {
            if (found) *found = l;
            return true;
        }
    return false;
}

// A socket of this machine bound to the UDP port (IPv4), from /proc/net/udp.
bool UdpPortBound(unsigned port) {
    std::ifstream in("/proc/net/udp");
    std::string line;
    std::getline(in, line);
    while (std::getline(in, line)) {
        std::istringstream row(line);
        std::string slot, local;
        row >> slot >> local;
        const std::size_t colon = local.find(':');
        if (colon != std::string::npos && std::strtoul(local.c_str() + colon + 1, nullptr, 16) == port) return true;
    }
    return false;
}

// "udp:HOST:PORT" -> PORT, 0 when there is none.
unsigned BusPort(const std::string& device) {
    const std::size_t colon = device.rfind(':');
    if (colon == std::string::npos) return 0;
    char* end = nullptr;
    const unsigned long p = std::strtoul(device.c_str() + colon + 1, &end, 10);
    return *end == '\0' && p > 0 && p <= 65535 ? static_cast<unsigned>(p) : 0;
}

std::string StampText(std::uint64_t stamp) {
    if (stamp > 0x7FFFFFFFFFFFull) return std::to_string(stamp);
    return local_time_text(static_cast<std::time_t>(stamp));
}

// Why the user instance file at path cannot be used, or empty when it can.
std::string UserInstProblem(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return "it cannot be read";
    const std::string bytes((std::istreambuf_iterator<char>(in)), {});
    std::string why;
    if (!bc2fcs::RecordLayouts::parse(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size(), &why))
        return why.empty() ? "it is malformed" : why;
    return {};
}

}  // namespace

bool workstation_exists(const std::string& command) {
    const std::string home = ws::home();
    if (IsDir(home)) return true;
    err(command + ": the workstation folder " + home + " does not exist" +
        (std::getenv("TUSAVE_HOME") ? " (TUSAVE_HOME)" : " (TUSAVE_HOME is not set; this is its default)") +
        ": set TUSAVE_HOME to a workstation folder, or make one with: tusave sample " + home);
    return false;
}

std::string station_names(const std::string& project, bool eqlz) {
    ws::Project p;
    std::string error;
    if (!ws::load_project(project, eqlz, p, error)) return {};
    std::vector<std::string> names;
    for (const ws::Station& s : p.stations) names.push_back(s.name);
    return Join(names);
}

std::string diagnose(const SaveOptions& o, std::uint32_t result, const std::vector<std::string>& errLines) {
    if (result == 0) return {};
    const std::string home = ws::home();
    const std::string wsPath = home + "/workstation.json";
    const bool eqlz = o.kind == 3;
    const tusave_result_info* info = tusave_result_find(result);
    const std::string remedy = info ? info->remedy : "";

    ws::Workstation w;
    std::string error;
    if (!ws::load_workstation(w, error)) return error + ": fix the file, or make a workstation with: tusave sample DIR";

    // The project and the station.
    std::string dir;
    if (ws::project_dir(o.project, eqlz, dir, error) && !IsDir(dir)) {
        std::vector<std::string> projects;
        std::error_code ec;
        for (fs::directory_iterator it(w.projectsDir, ec), end; !ec && it != end; it.increment(ec))
            if (it->is_directory(ec)) projects.push_back(it->path().filename().string());
        std::sort(projects.begin(), projects.end());
        return "the project " + o.project + " does not exist: there is no folder " + dir + " (projects in " +
               w.projectsDir + ": " + (projects.empty() ? "none" : Join(projects)) + ")";
    }
    ws::Project p;
    if (!ws::load_project(o.project, eqlz, p, error)) return error + ": fix the file";
    if (!p.find(o.station))
        return "the station " + o.station + " is not in the system configuration of project " + o.project + " (" +
               ws::sysconfig_path(p.topDir) + "); its stations: " +
               (p.stations.empty() ? "none" : station_names(o.project, eqlz));

    // The generation lock.
    if (result == eda::kLocked) {
        const std::string pid = eda::gen_lock_holder(o.project, o.station);
        return "station " + o.station + " of project " + o.project + " is held by another save" +
               (pid.empty() ? "" : " (process " + pid + ")") + ": wait until it ends, then run this again";
    }
    if (result == eda::kIo)
        return "the lock folder " + w.lockDir + "/" + o.project + " is unusable: " + eda::last_error() +
               ": give write rights to it (or to " + home + ")";

    // A damaged user instance file fails the load or the upload (the records' byte order).
    const std::string userInst = dir + "/" + o.station + "/DB/userinst.json";
    if (result == TUSAVE_E_STNFILE || result == TUSAVE_E_DBREAD || result == TUSAVE_E_UPLOAD)
        if (const std::string why = UserInstProblem(userInst); !why.empty())
            return "the user instance file " + userInst + " is damaged (" + why +
                   "): restore it from a backup of the project";

    // The control bus.
    const std::string where = "\"controlBus\" in " + wsPath;
    const unsigned port = BusPort(w.busDevice);
    std::string line;
    if (result == TUSAVE_E_BUS || (result == TUSAVE_E_UPLOAD && AnyLine(errLines, "control bus", &line))) {
        return "the control bus address \"" + w.busDevice + "\" (" + where + ") cannot be used" +
               (line.empty() ? "" : " (" + line + ")") +
               ": set it to udp:127.0.0.1:PORT, the address the station (fcssim) listens on";
    }
    static const std::regex stamps(R"(generated from another database \(project (\d+), station (\d+)\))");
    std::smatch m;
    for (const std::string& l : errLines)
        if (std::regex_search(l, m, stamps)) {
            const std::uint64_t projectStamp = std::strtoull(m[1].str().c_str(), nullptr, 10);
            const std::uint64_t stationStamp = std::strtoull(m[2].str().c_str(), nullptr, 10);
            return "the station runs the generation of " + StampText(stationStamp) +
                   ", the project's database file is of " + StampText(projectStamp) +
                   ": download the project to the station, or save anyway with --mode 2, which takes the "
                   "station's values into a project that was not generated for it (values can land in the wrong "
                   "places)";
        }
    if (result == TUSAVE_E_GENTIME)
        return "the station was not generated from the project's database: download the project to the station, "
               "or save anyway with --mode 2 (the station's values then go into a project not generated for it)";
    if (result == TUSAVE_E_UPLOAD && (AnyLine(errLines, "does not answer") || AnyLine(errLines, "did not reach"))) {
        const ws::Station* s = p.find(o.station);
        if (port != 0 && !UdpPortBound(port))
            return "no station listens at " + w.busDevice + " (" + where +
                   "): start the station there, e.g. fcssim --home " + home + " &, or set the address it listens on";
        return "the station at " + w.busDevice + " (" + where + ") did not answer for station " + o.station +
               " (number " + std::to_string(s ? s->number : 0) + "): check that it serves that station (fcssim --home " +
               home + " serves the stations of " + home + "/fcs) and that nothing else uses that port";
    }
    // Files of the station.
    if (result == TUSAVE_E_STNFILE || result == TUSAVE_E_DBREAD) {
        return "the station database file of " + o.station + " (" + dir + "/" + o.station +
               "/DB/stndb.sfdata) could not be used: " + remedy;
    }
    return remedy;
}

bool known_station(const std::string& command, const std::string& project, const std::string& station, bool eqlz) {
    if (!workstation_exists(command)) return false;
    ws::Project p;
    std::string error;
    if (!ws::load_project(project, eqlz, p, error)) {
        err(command + ": " + error);
        return false;
    }
    if (p.find(station)) return true;
    err(command + ": the station " + station + " is not in the system configuration of project " + project +
        (eqlz ? " (equalization)" : "") + "; its stations: " + station_names(project, eqlz));
    return false;
}

}  // namespace tusave_cli
