// Station database object (I/O bus types from the system configuration) and the test-mode
// queries of the workstation.
#include "config/ws_config.h"
#include "failpoint/failpoint.h"
#include "libqveeda.h"
#include "libqveeda/eda_status.h"

using namespace eda;

namespace {

std::uint32_t failpoint_or_ok(failpoint::Point p) {
    if (auto r = failpoint::hit(p)) return fail(static_cast<std::uint32_t>(*r), std::string(p.name()) + ": failpoint");
    return kOk;
}

// The station of the (normal) project, or a code with the reason set.
std::uint32_t find_station(const char* fn, const char* project, const char* station, ws::Station& out) {
    if (project == nullptr || !ws::valid_name(project))
        return fail(kBadName, std::string(fn) + ": invalid project \"" + (project ? project : "") + "\"");
    if (station == nullptr || !ws::valid_name(station))
        return fail(kBadName, std::string(fn) + ": invalid station \"" + (station ? station : "") + "\"");
    ws::Project p;
    std::string error;
    if (!ws::load_project(project, false, p, error)) return fail(kConfig, error);
    const ws::Station* s = p.find(station);
    if (s == nullptr)
        return fail(kNoStation, std::string(fn) + ": station " + station + " not in " + ws::sysconfig_path(p.topDir));
    out = *s;
    return kOk;
}

}  // namespace

std::uint32_t CQVEEdaFcsDatabase::Open(const char* project, const char* station, int /*mode*/) {
    if (auto r = failpoint_or_ok("CQVEEdaFcsDatabase::Open")) return r;
    if (open_) return fail(kAlreadyOpen, "CQVEEdaFcsDatabase::Open: already open");
    ws::Station s;
    if (auto r = find_station("CQVEEdaFcsDatabase::Open", project, station, s)) return r;
    // 0 marks a bus whose type the configuration does not give.
    busType_[0] = s.ioBusTypes.size() > 0 ? s.ioBusTypes[0] : 0;
    busType_[1] = s.ioBusTypes.size() > 1 ? s.ioBusTypes[1] : 0;
    configured_[0] = s.ioBusTypes.size() > 0;
    configured_[1] = s.ioBusTypes.size() > 1;
    open_ = true;
    return kOk;
}

std::uint32_t CQVEEdaFcsDatabase::GetIOBusType(unsigned bus, unsigned& type, unsigned& other) {
    if (auto r = failpoint_or_ok("GetIOBusType")) return r;
    if (!open_) return fail(kNotOpen, "GetIOBusType: the station database is not open");
    if (bus != 1 && bus != 2) return fail(kBadArgument, "GetIOBusType: no bus " + std::to_string(bus));
    if (!configured_[bus - 1])
        return fail(kNotConfigured, "GetIOBusType: no \"ioBusTypes\" entry for bus " + std::to_string(bus));
    type = busType_[bus - 1];
    other = 0;
    return kOk;
}

std::uint32_t QVEEdaCheckQVTestByName(const char* project, const char* station, int* underTest) {
    if (auto r = failpoint_or_ok("QVEEdaCheckQVTestByName")) return r;
    if (underTest == nullptr) return fail(kBadArgument, "QVEEdaCheckQVTestByName: no answer pointer");
    ws::Station s;
    if (auto r = find_station("QVEEdaCheckQVTestByName", project, station, s)) return r;
    *underTest = s.underTest ? 1 : 0;
    return kOk;
}

std::uint32_t QVEEdaCheckQVTestVREC(int* running) {
    if (auto r = failpoint_or_ok("QVEEdaCheckQVTestVREC")) return r;
    if (running == nullptr) return fail(kBadArgument, "QVEEdaCheckQVTestVREC: no answer pointer");
    ws::Workstation w;
    std::string error;
    if (!ws::load_workstation(w, error)) return fail(kConfig, error);
    *running = w.vrecTest ? 1 : 0;
    return kOk;
}
