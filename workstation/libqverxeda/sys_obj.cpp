// System configuration of a project: station records, areas, the APCS query.
#include <algorithm>
#include <cstring>

#include "config/ws_config.h"
#include "failpoint/failpoint.h"
#include "libqveeda/eda_status.h"
#include "libqverxeda.h"

using namespace eda;

namespace {

std::uint32_t failpoint_or_ok(failpoint::Point p) {
    if (auto r = failpoint::hit(p)) return fail(static_cast<std::uint32_t>(*r), std::string(p.name()) + ": failpoint");
    return kOk;
}

std::uint32_t load(const char* fn, const char* project, bool eqlz, ws::Project& p) {
    if (project == nullptr || !ws::valid_name(project))
        return fail(kBadName, std::string(fn) + ": invalid project \"" + (project ? project : "") + "\"");
    std::string error;
    if (!ws::load_project(project, eqlz, p, error)) return fail(kConfig, error);
    return kOk;
}

std::uint32_t find_station(const char* fn, const char* project, bool eqlz, const char* station, ws::Station& out) {
    if (station == nullptr || !ws::valid_name(station))
        return fail(kBadName, std::string(fn) + ": invalid station \"" + (station ? station : "") + "\"");
    ws::Project p;
    if (auto r = load(fn, project, eqlz, p)) return r;
    const ws::Station* s = p.find(station);
    if (s == nullptr)
        return fail(kNoStation, std::string(fn) + ": station " + station + " not in " + ws::sysconfig_path(p.topDir));
    out = *s;
    return kOk;
}

std::uint32_t area_conf(failpoint::Point fp, const char* project, bool eqlz, const char* station,
                        unsigned char areaNo, _OdtAreaInf* info) {
    const char* fn = fp.name();
    // The caller knows one failure only, "no such area": every failure is reported as that,
    // with the reason in the error text.
    if (failpoint_or_ok(fp) != kOk) return QVERX_NO_AREA;
    if (info == nullptr) {
        set_error(std::string(fn) + ": no area record");
        return QVERX_NO_AREA;
    }
    ws::Station s;
    if (find_station(fn, project, eqlz, station, s) != kOk) return QVERX_NO_AREA;
    for (const auto& a : s.areas) {
        if (a.number != areaNo) continue;
        std::memset(info, 0, sizeof *info);
        std::memcpy(info->szAreaName, a.name.data(), std::min(a.name.size(), sizeof info->szAreaName));
        info->wAreaNo = areaNo;
        return kOk;
    }
    set_error(std::string(fn) + ": station " + station + " has no area " + std::to_string(areaNo));
    return QVERX_NO_AREA;
}

}  // namespace

std::uint32_t CQVERXEdaSysObj::Init(const char* project) {
    bound_ = false;
    eqlz_ = false;
    project_.clear();
    if (auto r = failpoint_or_ok("CQVERXEdaSysObj::Init")) return r;
    ws::Project p;
    if (auto r = load("CQVERXEdaSysObj::Init", project, false, p)) return r;
    project_ = project;
    bound_ = true;
    return kOk;
}

std::uint32_t CQVERXEdaSysObj::InitEqlz(const char* project) {
    bound_ = false;
    eqlz_ = true;
    project_.clear();
    if (auto r = failpoint_or_ok("CQVERXEdaSysObj::InitEqlz")) return r;
    ws::Project p;
    if (auto r = load("CQVERXEdaSysObj::InitEqlz", project, true, p)) return r;
    project_ = project;
    bound_ = true;
    return kOk;
}

std::uint32_t CQVERXEdaSysObj::StnConfByName(const char* station, _OdtStnInf* info) {
    if (auto r = failpoint_or_ok("StnConfByName")) return r;
    if (!bound_) return fail(kNotBound, "StnConfByName: the system configuration is not bound to a project");
    if (info == nullptr) return fail(kBadArgument, "StnConfByName: no station record");
    ws::Station s;
    if (auto r = find_station("StnConfByName", project_.c_str(), eqlz_, station, s)) return r;
    std::memset(info, 0, sizeof *info);
    std::memcpy(info->szStnName, s.name.data(), std::min(s.name.size(), sizeof info->szStnName - 1));
    info->wStnNo = static_cast<std::uint16_t>(s.number);
    return kOk;
}

std::uint32_t QVERXEdaFcsAreaConfByNo(const char* project, const char* station, unsigned char areaNo,
                                      _OdtAreaInf* info) {
    return area_conf("QVERXEdaFcsAreaConfByNo", project, false, station, areaNo, info);
}

std::uint32_t QVERXEdaFcsAreaConfByNoEqlz(const char* project, const char* station, unsigned char areaNo,
                                          _OdtAreaInf* info) {
    return area_conf("QVERXEdaFcsAreaConfByNoEqlz", project, true, station, areaNo, info);
}

std::uint32_t QVERXEdaIsAPCS(const char* project, const char* station, int* isApcs) {
    if (auto r = failpoint_or_ok("QVERXEdaIsAPCS")) return r;
    if (isApcs == nullptr) return fail(kBadArgument, "QVERXEdaIsAPCS: no answer pointer");
    ws::Station s;
    if (auto r = find_station("QVERXEdaIsAPCS", project, false, station, s)) return r;
    *isApcs = s.apcs ? 1 : 0;
    return kOk;
}
