// shgsave -h DEVICE N1-N2 FILE: the workstation's backup tool, run by the tuning parameter save
// once for every custom file of a station. It copies FILE (".../Custom/<folder>/<FCS|SIM>/<name>")
// durably into the workstation's backup folder:
//
//     <backupDir>/shgsave/<N1-N2>/<folder>/<FCS|SIM>/<name>
//     <backupDir>/shgsave/<N1-N2>/<FCS|SIM>/<name>           for a file directly in Custom/<FCS|SIM>
//
// so files of the same name in two folders stay apart, and appends one line per run to
// $TUSAVE_HOME/log/shgsave.log:
//
//     YYYY/MM/DD HH:MM:SS <TAB> device <TAB> N1-N2 <TAB> file <TAB> outcome
//
// Exit status 0 when copied, 1 on an I/O error, 2 on a usage error; the errors also give one
// line on stderr. The failpoint "shgsave" (TUSAVE_FAILPOINTS="shgsave=N") ends a run whose
// arguments are sound with status N before anything is copied.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "LibQVCCommon/qvccommon_host.h"
#include "config/ws_config.h"
#include "failpoint/failpoint.h"
#include "port.h"

namespace {

constexpr int kOk = 0;
constexpr int kIoError = 1;
constexpr int kUsage = 2;
constexpr const char* kLog = "shgsave.log";

struct Args {
    std::string device;
    std::string numbers;  // "N1-N2"
    std::string file;
    std::string folder;   // custom folder, empty for a file directly in Custom/<side>
    std::string side;     // "FCS" or "SIM"
    std::string name;
};

// A station number of the "-h" argument: 0 to 255, decimal digits only.
bool station_number(std::string_view s) {
    unsigned v = 0;
    auto [p, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
    return !s.empty() && ec == std::errc() && p == s.data() + s.size() && v <= 255;
}

// The last `count` elements of path, last one first.
std::vector<std::string> tail(const std::string& path, std::size_t count) {
    std::vector<std::string> out;
    std::size_t end = path.size();
    while (out.size() < count && end > 0) {
        const std::size_t slash = path.rfind('/', end - 1);
        const std::size_t start = slash == std::string::npos ? 0 : slash + 1;
        if (end > start) out.push_back(path.substr(start, end - start));
        if (slash == std::string::npos) break;
        end = slash;
    }
    return out;
}

// Checks the arguments; the reason of a refusal in why.
bool parse(int argc, char** argv, Args& a, std::string& why) {
    if (argc != 5 || std::string_view(argv[1]) != "-h") {
        why = "expected: shgsave -h DEVICE N1-N2 FILE";
        return false;
    }
    a.device = argv[2];
    a.numbers = argv[3];
    a.file = argv[4];
    if (a.device.empty()) {
        why = "empty device name";
        return false;
    }
    const std::size_t dash = a.numbers.find('-');
    if (dash == std::string::npos || !station_number(std::string_view(a.numbers).substr(0, dash)) ||
        !station_number(std::string_view(a.numbers).substr(dash + 1))) {
        why = "station numbers \"" + a.numbers + "\" are not N1-N2 (0 to 255)";
        return false;
    }
    const std::vector<std::string> t = tail(a.file, 3);  // name, side, folder
    if (t.size() < 3 || (t[1] != "FCS" && t[1] != "SIM") || !ws::valid_name(t[0]) || !ws::valid_name(t[2])) {
        why = "\"" + a.file + "\" is not a custom file (.../Custom/<folder>/<FCS|SIM>/<name>)";
        return false;
    }
    a.name = t[0];
    a.side = t[1];
    a.folder = t[2] == "Custom" ? "" : t[2];
    return true;
}

void fsync_dir(const std::string& dir) {
    int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    ::fsync(fd);
    ::close(fd);
}

// Creates dir and its missing parents; each new folder is made durable in its parent.
bool make_folder(const std::string& dir, int& err) {
    struct stat st{};
    if (::stat(dir.c_str(), &st) == 0) {
        if (S_ISDIR(st.st_mode)) return true;
        err = ENOTDIR;
        return false;
    }
    if (errno != ENOENT) {
        err = errno;
        return false;
    }
    const std::size_t slash = dir.rfind('/');
    const std::string parent = slash == std::string::npos ? "." : slash == 0 ? "/" : dir.substr(0, slash);
    if (slash != std::string::npos && slash != 0 && !make_folder(parent, err)) return false;
    if (::mkdir(dir.c_str(), 0777) != 0 && errno != EEXIST) {
        err = errno;
        return false;
    }
    fsync_dir(parent);
    return true;
}

// Copies the file; the outcome for the log, and an error line on stderr when it failed.
int copy(const Args& a, std::string& outcome) {
    ws::Workstation w;
    std::string error;
    if (!ws::load_workstation(w, error)) {
        outcome = "failed: " + error;
        return kIoError;
    }
    std::string dir = w.backupDir + "/shgsave/" + a.numbers;
    if (!a.folder.empty()) dir += "/" + a.folder;
    dir += "/" + a.side;
    const std::string dest = dir + "/" + a.name;
    int err = 0;
    if (!make_folder(dir, err)) {
        outcome = "failed: " + dir + ": " + std::strerror(err);
        return kIoError;
    }
    if (!CopyFileA(a.file.c_str(), dest.c_str(), false)) {
        outcome = "failed: cannot copy to " + dest + ": " + std::strerror(static_cast<int>(GetLastError()));
        return kIoError;
    }
    outcome = "copied to " + dest;
    return kOk;
}

int run(int argc, char** argv) {
    Args a;
    std::string why, outcome;
    int status = kUsage;
    std::string error;
    if (!failpoint::arm_from_env(&error)) {
        outcome = "usage error: TUSAVE_FAILPOINTS: " + error;
    } else if (!parse(argc, argv, a, why)) {
        outcome = "usage error: " + why;
    } else if (auto r = failpoint::hit("shgsave")) {
        status = static_cast<int>(*r & 0xFF);
        outcome = "failpoint: exit " + std::to_string(status);
    } else {
        status = copy(a, outcome);
    }
    if (status != kOk) std::fprintf(stderr, "shgsave: %s\n", outcome.c_str());
    // What the run received, even when it was refused.
    auto arg = [&](int i) { return i < argc ? std::string(argv[i]) : std::string(); };
    ws::append_log(kLog, {arg(2), arg(3), arg(4), outcome});
    return status;
}

}  // namespace

int main(int argc, char** argv) { return run(argc, argv); }
