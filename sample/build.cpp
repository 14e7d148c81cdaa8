// The writers of the sample workstation folder, one per file kind, and build() that runs them.
// Files are written to a temporary name in their folder and renamed into place, so a reader
// never sees half a file; the folder is sample data that can always be built again, so the
// writes are not synced.
#include <sqlite3.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "custom.h"
#include "image.h"
#include "image_format.h"
#include "sample.h"
#include "tp.h"

namespace sample {
namespace {

namespace fs = std::filesystem;
using oj = nlohmann::ordered_json;

class Writer {
public:
    explicit Writer(Result& r) : result_(r) {}

    void bytes(const std::string& path, const void* data, std::size_t n, bool program = false) {
        fs::path p(path);
        std::error_code ec;
        fs::create_directories(p.parent_path(), ec);
        if (ec) throw Error(p.parent_path().string() + ": cannot create the folder: " + ec.message());
        std::string tmp = path + ".tmp";
        {
            std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
            if (!out) throw Error(tmp + ": cannot create: " + std::strerror(errno));
            out.write(static_cast<const char*>(data), static_cast<std::streamsize>(n));
            out.close();
            if (!out) throw Error(tmp + ": cannot write: " + std::strerror(errno));
        }
        if (program) {
            std::error_code ec;
            fs::permissions(tmp, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                     fs::perms::others_read | fs::perms::others_exec, ec);
            if (ec) throw Error(tmp + ": cannot make it executable: " + ec.message());
        }
        commit(tmp, path);
    }
    void folder(const std::string& path) {
        std::error_code ec;
        fs::create_directories(path, ec);
        if (ec) throw Error(path + ": cannot create the folder: " + ec.message());
    }
    void json(const std::string& path, const oj& j) {
        std::string text = j.dump(2) + "\n";
        bytes(path, text.data(), text.size());
    }
    void commit(const std::string& tmp, const std::string& path) {
        std::error_code ec;
        fs::rename(tmp, path, ec);
        if (ec) {
            fs::remove(tmp, ec);
            throw Error(path + ": cannot put into place: " + ec.message());
        }
        result_.files.push_back(path);
    }

private:
    Result& result_;
};

// ---- workstation and project configuration ------------------------------------------------

void write_workstation(Writer& w, const Description& d, const std::string& path) {
    oj j;
    j["currentProject"] = d.workstation.currentProject;
    j["projectsDir"] = d.workstation.projectsDir;
    j["controlBus"] = d.workstation.busProtocol + ":127.0.0.1:" + std::to_string(d.workstation.busPort);
    j["vrecTest"] = d.workstation.vrecTest;
    j["backupDir"] = d.workstation.backupDir;
    w.json(path, j);
}

void write_sysconfig(Writer& w, const Description& d, const std::string& path) {
    oj stations = oj::array();
    for (const Station& s : d.stations) {
        oj areas = oj::array();
        for (const Area& a : s.areas) areas.push_back({{"number", a.number}, {"name", a.name}});
        oj st;
        st["name"] = s.name;
        st["number"] = s.number;
        st["apcs"] = s.apcs;
        // A host-order station is a test station (an APCS station answers in host order anyway).
        st["underTest"] = s.underTest || (s.byteOrder == "host" && !s.apcs);
        st["autoBackup"] = s.autoBackup;
        st["areas"] = areas;
        st["ioBusTypes"] = s.ioBusTypes;
        stations.push_back(st);
    }
    w.json(path, oj{{"stations", stations}});
}

// ---- station files -------------------------------------------------------------------------

void write_userinst(Writer& w, const Station& s, const std::string& path) {
    oj models = oj::array();
    for (const Model& m : s.models) {
        oj recs = oj::array();
        for (const Record& r : m.records) {
            oj fields = oj::array();
            for (const Field& f : r.fields) {
                oj fj{{"offset", f.offset}, {"width", f.width}};
                if (f.count != 1) fj["count"] = f.count;
                fields.push_back(fj);
            }
            recs.push_back({{"recNo", r.recNo}, {"size", r.size}, {"fields", fields}});
        }
        models.push_back({{"blockCode", m.blockCode}, {"name", m.name}, {"records", recs}});
    }
    w.json(path, oj{{"format", "tusave-userinst"}, {"version", 1}, {"models", models}});
}

class Db {
public:
    explicit Db(const std::string& path) : path_(path) {
        if (sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) != SQLITE_OK)
            fail("cannot open");
    }
    ~Db() {
        if (stmt_) sqlite3_finalize(stmt_);
        if (db_) sqlite3_close(db_);
    }
    Db(const Db&) = delete;
    Db& operator=(const Db&) = delete;
    void exec(const char* sql) {
        if (sqlite3_exec(db_, sql, nullptr, nullptr, nullptr) != SQLITE_OK) fail("cannot run the statement");
    }
    void prepare(const char* sql) {
        if (sqlite3_prepare_v2(db_, sql, -1, &stmt_, nullptr) != SQLITE_OK) fail("cannot prepare the statement");
    }
    void row(const std::string& name, const char* kind, const std::string& loc, const std::string& file,
             const std::string& tag) {
        const std::string* v[] = {&name, nullptr, &loc, &file, &tag};
        for (int i = 0; i < 5; ++i) {
            int rc = i == 1 ? sqlite3_bind_text(stmt_, 2, kind, -1, SQLITE_STATIC)
                            : sqlite3_bind_text(stmt_, i + 1, v[i]->data(), static_cast<int>(v[i]->size()), SQLITE_TRANSIENT);
            if (rc != SQLITE_OK) fail("cannot bind");
        }
        if (sqlite3_step(stmt_) != SQLITE_DONE) fail("cannot insert element " + name);
        sqlite3_reset(stmt_);
    }
    void close() {
        if (stmt_) sqlite3_finalize(stmt_);
        stmt_ = nullptr;
        if (sqlite3_close(db_) != SQLITE_OK) fail("cannot close");
        db_ = nullptr;
    }

private:
    [[noreturn]] void fail(const std::string& what) {
        throw Error(path_ + ": " + what + ": " + (db_ ? sqlite3_errmsg(db_) : "out of memory"));
    }
    std::string path_;
    sqlite3* db_ = nullptr;
    sqlite3_stmt* stmt_ = nullptr;
};

void write_reference(Writer& w, const Station& s, const StationResult& info, const std::string& path) {
    std::string tmp = path + ".tmp";
    std::error_code ec;
    fs::create_directories(fs::path(path).parent_path(), ec);
    fs::remove(tmp, ec);
    fs::remove(tmp + "-journal", ec);
    {
        Db db(tmp);
        db.exec("PRAGMA journal_mode=OFF");
        db.exec(
            "CREATE TABLE element (\n"
            "  name      TEXT PRIMARY KEY,\n"
            "  kind      TEXT NOT NULL,\n"
            "  location  TEXT NOT NULL,\n"
            "  file_name TEXT NOT NULL,\n"
            "  tag       TEXT NOT NULL DEFAULT ''\n"
            ")");
        db.exec("BEGIN");
        db.prepare("INSERT INTO element (name, kind, location, file_name, tag) VALUES (?, ?, ?, ?, ?)");
        char name[32];
        for (const BlockInfo& b : info.blocks) {
            if (!b.exists()) continue;
            std::snprintf(name, sizeof name, "%%BL%04d", b.number);
            db.row(name, "%BL", b.location, b.fileName, b.tag);
        }
        // A few elements of other classes, which a "%BL" listing must not return.
        for (int k = 1; k <= std::min(s.anMessages, 3); ++k) {
            std::snprintf(name, sizeof name, "%%AN%04d", k);
            db.row(name, "%AN", "AN0001", "", "");
        }
        for (int k = 1; k <= 2; ++k) {
            std::snprintf(name, sizeof name, "%%SW%04d", k);
            db.row(name, "%SW", "SW0001", "", "");
        }
        db.exec("COMMIT");
        db.close();
    }
    w.commit(tmp, path);
}

void write_station_json(Writer& w, const Station& s, const std::string& path) {
    w.json(path, oj{{"name", s.name}, {"number", s.number}, {"byteOrder", s.byteOrder}, {"memory", "memory.sfdata"},
                    {"userInst", "userinst.json"}});
}

}  // namespace

Result build(const Description& d, const std::string& dir, const BuildOptions& options) {
    validate(d, "description");
    Result result;
    result.dir = fs::absolute(dir).lexically_normal().string();
    Writer w(result);
    const fs::path home(result.dir);
    const fs::path project = home / d.workstation.projectsDir / d.project;
    result.workstationJson = (home / "workstation.json").string();
    result.projectDir = project.string();
    result.sysconfigPath = (project / "SYSTEM" / "sysconfig.json").string();

    write_workstation(w, d, result.workstationJson);
    write_sysconfig(w, d, result.sysconfigPath);
    for (const Station& s : d.stations) {
        detail::StationImages img = detail::build_images(d, s);
        detail::tp_item_values(d, s, img);
        StationResult& info = img.info;
        const fs::path db = project / s.name / "DB";
        const fs::path fcs = home / "fcs" / s.name;
        info.databasePath = (db / "stndb.sfdata").string();
        info.userInstPath = (db / "userinst.json").string();
        info.referencePath = (db / "reference.sqlite").string();
        info.stationJsonPath = (fcs / "station.json").string();
        info.memoryPath = (fcs / "memory.sfdata").string();

        for (const auto& [path, bytes] : detail::edit_files(d, s, img, (project / s.name).string(), info))
            w.bytes(path, bytes.data(), bytes.size());
        w.bytes(info.databasePath, img.project.data(), img.project.size());
        write_userinst(w, s, info.userInstPath);
        w.json((db / "instdef.json").string(), instdef_json(s));
        write_reference(w, s, info, info.referencePath);
        for (const auto& [name, text] : detail::tp_folder_files())
            w.bytes((project / s.name / "TP" / name).string(), text.data(), text.size());
        // The station converts its records to its own byte order with the same layouts.
        write_userinst(w, s, (fcs / "userinst.json").string());
        write_station_json(w, s, info.stationJsonPath);
        w.bytes(info.memoryPath, img.memory.data(), img.memory.size());
        const fs::path stationDir = project / s.name;
        for (std::size_t i = 0; i < s.customFiles.size(); ++i) {
            const fs::path p = stationDir / detail::custom_rel(s.customFiles[i]);
            if (s.customFiles[i].directory) {
                w.folder(p.string());
            } else {
                const std::vector<std::uint8_t> b = detail::custom_bytes(d, s, i);
                w.bytes(p.string(), b.data(), b.size());
            }
        }
        detail::tool_files(s, stationDir.string(), info);
        result.stations.push_back(std::move(info));
    }
    if (!options.tool.empty()) {
        const std::vector<std::uint8_t> program = detail::read_program(options.tool);
        result.toolPath = (home / "FCS" / "tool" / "shgsave").string();
        w.bytes(result.toolPath, program.data(), program.size(), true);
    }
    return result;
}

}  // namespace sample
