// Project path service: every base getter resolves its key through the one key table.
#include <sys/stat.h>

#include <cstring>

#include "config/ws_config.h"
#include "failpoint/failpoint.h"
#include "libqveeda.h"
#include "libqveeda/eda_status.h"
#include "libqveeda/path_keys.h"

using namespace eda;
namespace pk = eda::pathkeys;

namespace {

std::uint32_t failpoint_or_ok(failpoint::Point p) {
    if (auto r = failpoint::hit(p)) return fail(static_cast<std::uint32_t>(*r), std::string(p.name()) + ": failpoint");
    return kOk;
}

std::string template_root() { return ws::home() + "/template"; }

}  // namespace

CQVEFilePath::CQVEFilePath() = default;
CQVEFilePath::~CQVEFilePath() = default;
CQVEFilePath::CQVEFilePath(const CQVEFilePath&) = default;
CQVEFilePath& CQVEFilePath::operator=(const CQVEFilePath&) = default;

namespace {

std::uint32_t bind(failpoint::Point fp, const char* project, bool eqlz, std::string& top, std::string& name) {
    top.clear();
    name.clear();
    if (auto r = failpoint_or_ok(fp)) return r;
    if (project == nullptr) return fail(kBadName, std::string(fp.name()) + ": no project given");
    std::string dir, error;
    if (!ws::project_dir(project, eqlz, dir, error)) return fail(ws::valid_name(project) ? kConfig : kBadName, error);
    const std::string cfg = ws::sysconfig_path(dir);
    struct stat st {};
    if (::stat(cfg.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
        return fail(kConfig, "project " + std::string(project) + ": no system configuration " + cfg);
    top = std::move(dir);
    name = project;
    return kOk;
}

}  // namespace

std::uint32_t CQVEFilePath::InitProject(const char* project) {
    eqlz_ = false;
    blockDir_.reset();
    return bind("InitProject", project, false, topDir_, project_);
}

std::uint32_t CQVEFilePath::InitEqlzProject(const char* project) {
    eqlz_ = true;
    blockDir_.reset();
    return bind("InitEqlzProject", project, true, topDir_, project_);
}

std::string CQVEFilePath::GetProjectTopDir() const { return topDir_; }

bool CQVEFilePath::IsPlainName(const char* name) { return name != nullptr && ws::valid_name(name); }

namespace {

// Looks key up among the given kinds (in order) and expands it below the right root.
std::uint32_t resolve(const std::string& top, failpoint::Point fp, const char* key,
                      std::initializer_list<pk::Kind> kinds, const pk::Args& args, std::string& out) {
    if (auto r = failpoint_or_ok(fp)) return r;
    if (top.empty()) return fail(kNotBound, std::string(fp.name()) + ": the path service is not bound to a project");
    if (key == nullptr) return fail(kUnknownKey, std::string(fp.name()) + ": no key given");
    for (pk::Kind k : kinds) {
        if (const pk::KeyDef* d = pk::find(key, k))
            return pk::under_workstation(k) ? pk::expand(*d, args, template_root(), out) : pk::expand(*d, args, top, out);
    }
    return fail(kUnknownKey, std::string(fp.name()) + ": unknown key \"" + key + "\"");
}

}  // namespace

std::uint32_t CQVEFilePath::GetTmplFilePath(const char* key, const char* name, std::string& out) {
    pk::Args a;
    a.name = name;
    return resolve(topDir_, "GetTmplFilePath", key, {pk::Kind::Tmpl}, a, out);
}

std::uint32_t CQVEFilePath::GetUDFTmplFolderPath(const char* key, const char* folder, std::string& out) {
    pk::Args a;
    a.folder = folder;
    if (const pk::KeyDef* d = key ? pk::find(key, pk::Kind::Udf) : nullptr; d && !d->folder)
        return fail(kUnknownKey, std::string("GetUDFTmplFolderPath: key \"") + key + "\" names a file");
    return resolve(topDir_, "GetUDFTmplFolderPath", key, {pk::Kind::Udf}, a, out);
}

std::uint32_t CQVEFilePath::GetUDFTmplFilePath(const char* key, const char* name, const char* folder,
                                               std::string& out) {
    pk::Args a;
    a.name = name;
    a.folder = folder;
    return resolve(topDir_, "GetUDFTmplFilePath", key, {pk::Kind::Udf}, a, out);
}

std::uint32_t CQVEFilePath::GetUDFTmplFilePath1(int number, const char* key, const char* name, const char* folder,
                                                std::string& out) {
    pk::Args a;
    a.name = name;
    a.folder = folder;
    a.n1 = number;
    return resolve(topDir_, "GetUDFTmplFilePath1", key, {pk::Kind::Udf}, a, out);
}

std::uint32_t CQVEFilePath::GetSystemFilePath(const char* key, std::string& out) {
    if (const pk::KeyDef* d = key ? pk::find(key, pk::Kind::Sys) : nullptr; d && d->folder)
        return fail(kUnknownKey, std::string("GetSystemFilePath: key \"") + key + "\" names a folder");
    return resolve(topDir_, "GetSystemFilePath", key, {pk::Kind::Sys}, {}, out);
}

std::uint32_t CQVEFilePath::GetSystemFolderPath(const char* key, std::string& out) {
    if (const pk::KeyDef* d = key ? pk::find(key, pk::Kind::Sys) : nullptr; d && !d->folder)
        return fail(kUnknownKey, std::string("GetSystemFolderPath: key \"") + key + "\" names a file");
    return resolve(topDir_, "GetSystemFolderPath", key, {pk::Kind::Sys}, {}, out);
}

std::uint32_t CQVEFilePath::GetFCSFilePath(const char* station, const char* key, std::string& out) {
    pk::Args a;
    a.station = station;
    if (station == nullptr) return fail(kBadName, "GetFCSFilePath: no station given");
    return resolve(topDir_, "GetFCSFilePath", key, {pk::Kind::Fcs}, a, out);
}

std::uint32_t CQVEFilePath::GetFCSFilePath(const char* station, const char* name, const char* key,
                                           std::string& out) {
    pk::Args a;
    a.station = station;
    a.name = name;
    if (station == nullptr) return fail(kBadName, "GetFCSFilePath: no station given");
    if (name == nullptr) return fail(kBadName, "GetFCSFilePath: no file name given");
    return resolve(topDir_, "GetFCSFilePath", key, {pk::Kind::Fcs}, a, out);
}

std::uint32_t CQVEFilePath::GetHISFilePath(const char* station, const char* key, std::string& out) {
    pk::Args a;
    a.station = station;
    if (station == nullptr) return fail(kBadName, "GetHISFilePath: no station given");
    return resolve(topDir_, "GetHISFilePath", key, {pk::Kind::His}, a, out);
}

std::uint32_t CQVEFilePath::GetSTNFolderPath(const char* station, const char* key, std::string& out) {
    pk::Args a;
    a.station = station;
    if (station == nullptr) return fail(kBadName, "GetSTNFolderPath: no station given");
    return resolve(topDir_, "GetSTNFolderPath", key, {pk::Kind::Stn}, a, out);
}

std::uint32_t CQVEFilePath::GetSTNFilePath(const char* station, const char* key, const char* name,
                                           std::string& out) {
    pk::Args a;
    a.station = station;
    a.name = name;
    if (station == nullptr) return fail(kBadName, "GetSTNFilePath: no station given");
    if (name == nullptr) return fail(kBadName, "GetSTNFilePath: no file name given");
    return resolve(topDir_, "GetSTNFilePath", key, {pk::Kind::Stn}, a, out);
}

std::uint32_t CQVEFilePath::GetPath(const char* station, int number1, int number2, int number3, const char* key,
                                    const char* name, std::string& out) {
    pk::Args a;
    a.station = station;
    a.name = name;
    a.n1 = number1;
    a.n2 = number2;
    a.n3 = number3;
    return resolve(topDir_, "GetPath", key, {pk::Kind::Path}, a, out);
}

std::uint32_t CQVEFilePath::GetStnNo(const char* station, std::uint8_t& stnNo) {
    if (auto r = failpoint_or_ok("GetStnNo")) return r;
    if (topDir_.empty()) return fail(kNotBound, "GetStnNo: the path service is not bound to a project");
    if (station == nullptr || !ws::valid_name(station))
        return fail(kBadName, std::string("GetStnNo: invalid station \"") + (station ? station : "") + "\"");
    ws::Project p;
    std::string error;
    if (!ws::load_project(project_, eqlz_, p, error)) return fail(kConfig, error);
    const ws::Station* s = p.find(station);
    if (s == nullptr)
        return fail(kNoStation, "station " + std::string(station) + " not in " + ws::sysconfig_path(p.topDir));
    stnNo = static_cast<std::uint8_t>(s->number);
    return kOk;
}

std::uint32_t CQVEFilePath::GetFCSUserInstPath(const char* station, int flag, std::string& out) {
    if (flag != 0) return fail(kBadArgument, "GetFCSUserInstPath: flag " + std::to_string(flag) + " not known");
    pk::Args a;
    a.station = station;
    if (station == nullptr) return fail(kBadName, "GetFCSUserInstPath: no station given");
    return resolve(topDir_, "GetFCSUserInstPath", "USERINST", {pk::Kind::Internal}, a, out);
}

std::uint32_t CQVEFilePath::GetFCSBlockPath(const char* station, std::uint8_t location, const char* name,
                                            std::string& out) {
    pk::Args a;
    a.station = station;
    a.name = name;
    a.n1 = location;
    if (station == nullptr) return fail(kBadName, "GetFCSBlockPath: no station given");
    if (name == nullptr) return fail(kBadName, "GetFCSBlockPath: no file name given");
    // Asked once per saved block: the blocks of a drawing take the folder put together for the
    // first of them, and their names are checked as the key's expansion checks them (a plain
    // name keeps the path inside its folder).
    if (blockDir_ && blockDir_->location == location && blockDir_->station == station && ws::valid_name(name)) {
        if (auto r = failpoint_or_ok("GetFCSBlockPath")) return r;
        out.assign(blockDir_->before).append(name).append(blockDir_->after);
        return kOk;
    }
    const std::uint32_t r = resolve(topDir_, "GetFCSBlockPath", "FCSBLOCK", {pk::Kind::Internal}, a, out);
    if (r != kOk) return r;
    const std::size_t at = out.rfind('/') + 1, len = std::strlen(name);
    if (out.compare(at, len, name) == 0)
        blockDir_ = BlockDir{station, out.substr(0, at), out.substr(at + len), location};
    return r;
}
