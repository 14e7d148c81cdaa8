// Automatic backup of a station, below the workstation's backup folder:
//   <backupDir>/<project>/<station>/comments.log        one line per coming backup
//   <backupDir>/<project>/<station>/<YYYYmmddHHMMSS>/   the database file and the TP file
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <ctime>

#include "config/ws_config.h"
#include "failpoint/failpoint.h"
#include "libqveBackupEpa.h"
#include "libqveeda.h"
#include "libqveeda/eda_status.h"
#include "libqveeda/file_util.h"

using namespace eda;

namespace {

// How many backups of one station a single second may hold before we give up.
constexpr int kMaxSameSecond = 100;

std::uint32_t station_folder(const char* fn, const char* project, const char* station, std::string& dir) {
    if (project == nullptr || !ws::valid_name(project))
        return fail(kBadName, std::string(fn) + ": invalid project \"" + (project ? project : "") + "\"");
    if (station == nullptr || !ws::valid_name(station))
        return fail(kBadName, std::string(fn) + ": invalid station \"" + (station ? station : "") + "\"");
    ws::Workstation w;
    std::string error;
    if (!ws::load_workstation(w, error)) return fail(kConfig, error);
    dir = w.backupDir + "/" + project + "/" + station;
    return kOk;
}

bool exists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

}  // namespace

int CQVEFCSAutBackup::IsFCSAutBackupMode(const char* project, const char* station, int /*reserved*/) {
    if (auto r = failpoint::hit("IsFCSAutBackupMode")) return static_cast<int>(*r);
    if (project == nullptr || station == nullptr || !ws::valid_name(project) || !ws::valid_name(station)) return 0;
    ws::Project p;
    std::string error;
    if (!ws::load_project(project, false, p, error)) {
        set_error(error);
        return 0;
    }
    const ws::Station* s = p.find(station);
    return s != nullptr && s->autoBackup ? 1 : 0;
}

unsigned int CQVEFCSAutBackup::CreateComment(const char* project, const char* station, std::time_t start, int kind,
                                             unsigned short value, const char* appText, const char* /*station2*/) {
    if (auto r = failpoint::hit("CreateComment")) return fail(static_cast<std::uint32_t>(*r), "CreateComment: failpoint");
    std::string dir;
    if (auto r = station_folder("CreateComment", project, station, dir)) return r;
    const std::string line = local_time(start, false) + "\tkind=" + std::to_string(kind) +
                             "\tvalue=" + std::to_string(value) + "\t" + one_line(appText ? appText : "");
    return append_line(dir + "/comments.log", line);
}

unsigned int CQVEFCSAutBackup::BackupFCS(const char* project, const char* station, int /*flag*/) {
    if (auto r = failpoint::hit("BackupFCS")) return fail(static_cast<std::uint32_t>(*r), "BackupFCS: failpoint");
    std::string dir;
    if (auto r = station_folder("BackupFCS", project, station, dir)) return r;
    CQVEFilePath paths;
    if (auto r = paths.InitProject(project)) return r;
    std::string db, tp;
    if (auto r = paths.GetFCSFilePath(station, "FCLSF", db)) return r;
    if (auto r = paths.GetPath(station, 0, 0, 0, "FCTPS", nullptr, tp)) return r;
    if (!exists(db)) return fail(kNoFile, "BackupFCS: no station database file " + db);

    if (auto r = make_dirs(dir)) return r;
    // Two backups within one second get "-2", "-3", ... so that none replaces another.
    const std::string stamp = local_time(std::time(nullptr), true);
    std::string target;
    for (int i = 1; i <= kMaxSameSecond; ++i) {
        const std::string t = dir + "/" + stamp + (i == 1 ? "" : "-" + std::to_string(i));
        if (::mkdir(t.c_str(), 0777) == 0) {
            target = t;
            break;
        }
        if (errno != EEXIST) return fail(kIo, "BackupFCS: cannot create " + t + ": " + std::strerror(errno));
    }
    if (target.empty()) return fail(kIo, "BackupFCS: too many backups of " + std::string(station) + " at " + stamp);
    for (const std::string* f : {&db, &tp}) {
        if (f == &tp && !exists(tp)) continue;
        if (auto r = copy_file(*f, target + f->substr(f->rfind('/')))) return r;
    }
    return kOk;
}
