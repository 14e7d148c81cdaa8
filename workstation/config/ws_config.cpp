#include "config/ws_config.h"

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <type_traits>
#include <nlohmann/json.hpp>

#include "port/file_cache.h"
#include "port/port_host.h"

namespace ws {
namespace {

using nlohmann::json;

std::string absolute_under(const std::string& base, const std::string& p) {
    if (!p.empty() && p[0] == '/') return p;
    return base + "/" + p;
}

constexpr std::size_t kMaxConfigSize = 16u << 20;

std::string read_error(const std::string& path, int e) {
    std::string error = "cannot read " + path;
    if (e != ENOENT) error += std::string(": ") + (e == EINVAL ? "not a regular file" : std::strerror(e));
    return error;
}

bool parse_json(const std::string& path, const std::string& text, json& out, std::string& error) {
    try {
        out = json::parse(text);
    } catch (const std::exception& e) {
        error = path + ": malformed JSON: " + e.what();
        return false;
    }
    if (!out.is_object()) {
        error = path + ": expected a JSON object";
        return false;
    }
    return true;
}

template <class T>
bool field(const json& j, const char* key, T& out, const std::string& file, std::string& error, bool required) {
    auto it = j.find(key);
    if (it == j.end()) {
        if (!required) return true;
        error = file + ": missing \"" + key + "\"";
        return false;
    }
    // Numbers must be whole and in range: a conversion would truncate or wrap them silently.
    auto fits = [](const json& v, auto* target) {
        using U = std::remove_pointer_t<decltype(target)>;
        if constexpr (std::is_integral_v<U> && !std::is_same_v<U, bool>) {
            if (!v.is_number_integer()) return false;
            if (v.is_number_unsigned()) return v.get<std::uint64_t>() <= static_cast<std::uint64_t>(std::numeric_limits<U>::max());
            auto n = v.get<std::int64_t>();
            return n >= static_cast<std::int64_t>(std::numeric_limits<U>::min()) &&
                   (n < 0 || static_cast<std::uint64_t>(n) <= static_cast<std::uint64_t>(std::numeric_limits<U>::max()));
        } else {
            return true;
        }
    };
    bool ok = true;
    if constexpr (std::is_same_v<T, std::vector<unsigned>>) {
        ok = it->is_array();
        if (ok)
            for (const auto& v : *it) ok = ok && fits(v, static_cast<unsigned*>(nullptr));
    } else {
        ok = fits(*it, static_cast<T*>(nullptr));
    }
    try {
        if (ok) out = it->get<T>();
    } catch (const std::exception&) {
        ok = false;
    }
    if (!ok) error = file + ": \"" + key + "\" has the wrong type";
    return ok;
}

}  // namespace

std::string home() {
    if (const char* h = std::getenv("TUSAVE_HOME"); h && *h) return h;
    if (const char* h = std::getenv("HOME"); h && *h) return std::string(h) + "/.tusave";
    return "tusave-home";
}

bool valid_name(std::string_view name) {
    if (name.empty() || name == ".") return false;
    if (name.find('/') != std::string_view::npos || name.find('\\') != std::string_view::npos) return false;
    if (name.find("..") != std::string_view::npos) return false;
    // Control characters (NUL, line breaks, ...) would forge lines wherever the name is shown.
    for (char c : name)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) return false;
    return true;
}

bool load_workstation(Workstation& out, std::string& error) {
    const std::string h = home();
    const std::string file = h + "/workstation.json";
    static port::FileCache<Workstation> cache;
    std::shared_ptr<const Workstation> got;
    const int e = cache.get(file, kMaxConfigSize, [&](const std::string& text, Workstation& w) {
        json j;
        if (!parse_json(file, text, j, error)) return false;
        std::string projects = "projects", backup = "backup";
        if (!field(j, "currentProject", w.currentProject, file, error, false) ||
            !field(j, "projectsDir", projects, file, error, false) ||
            !field(j, "controlBus", w.busDevice, file, error, false) ||
            !field(j, "vrecTest", w.vrecTest, file, error, false) ||
            !field(j, "backupDir", backup, file, error, false))
            return false;
        w.projectsDir = absolute_under(h, projects);
        w.backupDir = absolute_under(h, backup);
        w.logDir = h + "/log";
        w.lockDir = h + "/lock";
        return true;
    }, got);
    if (e != 0) {
        if (e > 0) error = read_error(file, e);
        return false;
    }
    out = *got;
    return true;
}

bool project_dir(std::string_view project, bool eqlz, std::string& dir, std::string& error) {
    if (!valid_name(project)) {
        error = "invalid project name \"" + std::string(project) + "\"";
        return false;
    }
    Workstation w;
    if (!load_workstation(w, error)) return false;
    dir = w.projectsDir + "/" + std::string(project);
    if (eqlz) dir += "/EQLZ";
    return true;
}

std::string sysconfig_path(const std::string& projectTop) { return projectTop + "/SYSTEM/sysconfig.json"; }

const Station* Project::find(std::string_view station) const {
    for (const auto& s : stations)
        if (s.name == station) return &s;
    return nullptr;
}

namespace {

bool parse_project(const std::string& file, const std::string& text, Project& p, std::string& error) {
    json j;
    if (!parse_json(file, text, j, error)) return false;
    auto st = j.find("stations");
    if (st == j.end() || !st->is_array()) {
        error = file + ": missing \"stations\" array";
        return false;
    }
    for (const auto& js : *st) {
        if (!js.is_object()) {
            error = file + ": a station entry is not an object";
            return false;
        }
        Station s;
        if (!field(js, "name", s.name, file, error, true) || !field(js, "number", s.number, file, error, true) ||
            !field(js, "apcs", s.apcs, file, error, false) || !field(js, "underTest", s.underTest, file, error, false) ||
            !field(js, "autoBackup", s.autoBackup, file, error, false) ||
            !field(js, "ioBusTypes", s.ioBusTypes, file, error, false))
            return false;
        if (!valid_name(s.name)) {
            error = file + ": invalid station name \"" + s.name + "\"";
            return false;
        }
        if (s.number < 1 || s.number > 255) {
            error = file + ": station " + s.name + ": number must be 1 to 255";
            return false;
        }
        if (auto ar = js.find("areas"); ar != js.end()) {
            if (!ar->is_array()) {
                error = file + ": station " + s.name + ": \"areas\" must be an array";
                return false;
            }
            for (const auto& ja : *ar) {
                Area a;
                if (!ja.is_object()) {
                    error = file + ": station " + s.name + ": an area entry is not an object";
                    return false;
                }
                if (!field(ja, "number", a.number, file, error, true) || !field(ja, "name", a.name, file, error, true))
                    return false;
                // The area queries take the number as one byte: any other would never be found.
                if (a.number < 0 || a.number > 255) {
                    error = file + ": station " + s.name + ": area number " + std::to_string(a.number) +
                            " must be 0 to 255";
                    return false;
                }
                s.areas.push_back(std::move(a));
            }
        }
        p.stations.push_back(std::move(s));
    }
    return true;
}

}  // namespace

bool load_project(std::string_view project, bool eqlz, Project& out, std::string& error) {
    std::string topDir;
    if (!project_dir(project, eqlz, topDir, error)) return false;
    const std::string file = sysconfig_path(topDir);
    static port::FileCache<Project> cache;
    std::shared_ptr<const Project> got;
    const int e = cache.get(file, kMaxConfigSize, [&](const std::string& text, Project& p) {
        p.name = std::string(project);
        p.topDir = topDir;
        return parse_project(file, text, p, error);
    }, got);
    if (e != 0) {
        if (e > 0) error = read_error(file, e);
        return false;
    }
    out = *got;
    return true;
}

}  // namespace ws
