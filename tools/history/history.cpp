// The tuning history database: opening and schema, saves, values, and the questions asked of it.
#include "history.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <nettle/base16.h>
#include <nettle/sha2.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <ctime>
#include <fstream>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <utility>

#include "config/ws_config.h"
#include "port/port_host.h"
#include "values.h"

namespace history {

namespace {

constexpr int kBusyMs = 30000;                        // a save waits this long for another's transaction
constexpr std::int64_t kMaxTpBytes = tpfile::kMaxFileSize;   // a TP file larger than this is not read (as the TP reader)

// Version 1: saves and their values (docs/history-db.md).
const std::vector<std::string> kMigrations = {
    R"(CREATE TABLE save (
         id              INTEGER PRIMARY KEY,
         station         TEXT    NOT NULL,
         kind            INTEGER NOT NULL,
         origin          TEXT    NOT NULL CHECK (origin IN ('save', 'import')),
         mode            INTEGER,
         state           TEXT    NOT NULL CHECK (state IN ('running', 'done', 'failed', 'interrupted')),
         started_utc     INTEGER NOT NULL,
         started_offset  INTEGER NOT NULL,
         ended_utc       INTEGER,
         ended_offset    INTEGER,
         user            TEXT,
         host            TEXT,
         pid             INTEGER,
         process         TEXT,
         program         TEXT,
         reason          TEXT,
         result          INTEGER,
         seconds         REAL,
         frames_sent     INTEGER,
         frames_received INTEGER,
         blocks          INTEGER,
         records         INTEGER,
         warnings        INTEGER,
         values_changed  INTEGER,
         tp_sha256       TEXT,
         state_no        INTEGER,
         baseline        INTEGER NOT NULL DEFAULT 0,
         source          TEXT
       );
       CREATE UNIQUE INDEX save_state ON save (station, kind, state_no);
       CREATE INDEX save_started ON save (station, started_utc);
       CREATE TABLE item_value (
         save_id   INTEGER NOT NULL REFERENCES save (id) ON DELETE CASCADE,
         n         INTEGER NOT NULL,
         block     INTEGER NOT NULL,
         tag       TEXT    NOT NULL,
         model     TEXT    NOT NULL,
         item      TEXT    NOT NULL,
         position  INTEGER,
         whole     INTEGER NOT NULL,
         old_value TEXT,
         new_value TEXT,
         PRIMARY KEY (save_id, n)
       ) WITHOUT ROWID;
       CREATE INDEX item_value_item ON item_value (tag, item);)",
    // Version 2: drift checks (the station's values against the project's TP file).
    R"(CREATE TABLE drift_check (
         id                INTEGER PRIMARY KEY,
         station           TEXT    NOT NULL,
         kind              INTEGER NOT NULL,
         started_utc       INTEGER NOT NULL,
         started_offset    INTEGER NOT NULL,
         ended_utc         INTEGER NOT NULL,
         ended_offset      INTEGER NOT NULL,
         user              TEXT,
         host              TEXT,
         program           TEXT,
         result            INTEGER NOT NULL,
         seconds           REAL,
         differences       INTEGER,
         project_tp_sha256 TEXT,
         error             TEXT
       );
       CREATE INDEX drift_check_station ON drift_check (station, kind, started_utc);
       CREATE TABLE drift_value (
         check_id      INTEGER NOT NULL REFERENCES drift_check (id) ON DELETE CASCADE,
         n             INTEGER NOT NULL,
         block         INTEGER NOT NULL,
         tag           TEXT    NOT NULL,
         model         TEXT    NOT NULL,
         item          TEXT    NOT NULL,
         project_value TEXT,
         station_value TEXT,
         PRIMARY KEY (check_id, n)
       ) WITHOUT ROWID;)",
};

Error::Kind KindOf(int rc) {
    switch (rc & 0xff) {
    case SQLITE_NOTADB:
    case SQLITE_CORRUPT: return Error::Kind::Damaged;
    default: return Error::Kind::Io;
    }
}

[[noreturn]] void Throw(sqlite3* db, int rc, const std::string& path, const std::string& what = {}) {
    throw Error(KindOf(rc), path + ": " + (what.empty() ? "" : what + ": ") + (db ? sqlite3_errmsg(db) : sqlite3_errstr(rc)));
}

std::string DbPath(sqlite3* db) {
    const char* f = sqlite3_db_filename(db, "main");
    return f ? f : "history database";
}

// A prepared statement; every failure throws Error.
class Stmt {
public:
    Stmt(sqlite3* db, const char* sql) : db_(db) {
        if (int rc = sqlite3_prepare_v2(db, sql, -1, &s_, nullptr); rc != SQLITE_OK) Throw(db, rc, DbPath(db));
    }
    Stmt(const Stmt&) = delete;
    ~Stmt() { sqlite3_finalize(s_); }
    Stmt& bind(int i, std::int64_t v) { return check(sqlite3_bind_int64(s_, i, v)); }
    Stmt& bind(int i, int v) { return bind(i, static_cast<std::int64_t>(v)); }
    Stmt& bind(int i, double v) { return check(sqlite3_bind_double(s_, i, v)); }
    // Text is copied, unless bound by ref (it must then outlive the step).
    Stmt& bind(int i, std::string_view v) {
        return check(sqlite3_bind_text(s_, i, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT));
    }
    Stmt& ref(int i, std::string_view v) {
        return check(sqlite3_bind_text(s_, i, v.data(), static_cast<int>(v.size()), SQLITE_STATIC));
    }
    Stmt& ref(int i, const std::string* v) { return v ? ref(i, std::string_view(*v)) : null(i); }
    Stmt& bind(int i, const std::string& v) { return bind(i, std::string_view(v)); }
    Stmt& bind(int i, const char* v) { return bind(i, std::string_view(v)); }
    Stmt& bind(int i, const std::string* v) { return v ? bind(i, std::string_view(*v)) : null(i); }
    template <class T>
    Stmt& bind(int i, const std::optional<T>& v) {
        return v ? bind(i, *v) : null(i);
    }
    Stmt& null(int i) { return check(sqlite3_bind_null(s_, i)); }
    // Text that may be absent: empty binds NULL.
    Stmt& text_or_null(int i, const std::string& v) { return v.empty() ? null(i) : bind(i, v); }
    bool step() {
        const int rc = sqlite3_step(s_);
        if (rc == SQLITE_ROW) return true;
        if (rc == SQLITE_DONE) return false;
        Throw(db_, rc, DbPath(db_));
    }
    void run() {
        step();
        reset();
    }
    void reset() {
        sqlite3_reset(s_);
        sqlite3_clear_bindings(s_);
    }
    bool is_null(int c) const { return sqlite3_column_type(s_, c) == SQLITE_NULL; }
    std::int64_t i64(int c) const { return sqlite3_column_int64(s_, c); }
    double dbl(int c) const { return sqlite3_column_double(s_, c); }
    std::string text(int c) const {
        const auto* p = reinterpret_cast<const char*>(sqlite3_column_text(s_, c));
        return p ? std::string(p, static_cast<std::size_t>(sqlite3_column_bytes(s_, c))) : std::string();
    }
    std::optional<std::string> opt_text(int c) const { return is_null(c) ? std::nullopt : std::optional(text(c)); }
    std::optional<std::int64_t> opt_i64(int c) const { return is_null(c) ? std::nullopt : std::optional(i64(c)); }

private:
    Stmt& check(int rc) {
        if (rc != SQLITE_OK) Throw(db_, rc, DbPath(db_));
        return *this;
    }
    sqlite3* db_;
    sqlite3_stmt* s_ = nullptr;
};

void Exec(sqlite3* db, const char* sql) {
    char* msg = nullptr;
    if (int rc = sqlite3_exec(db, sql, nullptr, nullptr, &msg); rc != SQLITE_OK) {
        const std::string m = msg ? msg : sqlite3_errstr(rc);
        sqlite3_free(msg);
        throw Error(KindOf(rc), DbPath(db) + ": " + m);
    }
}

// A write transaction: taken at once (BEGIN IMMEDIATE), so that concurrent writers wait for
// each other through the busy time-out instead of failing on a read lock they cannot upgrade.
class Tx {
public:
    explicit Tx(sqlite3* db) : db_(db) { Exec(db, "BEGIN IMMEDIATE"); }
    Tx(const Tx&) = delete;
    ~Tx() {
        if (!done_) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
    }
    void commit() {
        Exec(db_, "COMMIT");
        done_ = true;
    }

private:
    sqlite3* db_;
    bool done_ = false;
};

std::int64_t PragmaInt(sqlite3* db, const char* pragma) {
    Stmt s(db, pragma);
    return s.step() ? s.i64(0) : 0;
}

// Refuses a file that is not ours (another application's, or one with tables but no version)
// or that a newer program wrote; returns its schema version.
std::int64_t CheckOurs(sqlite3* db, const std::string& path, std::int64_t known) {
    // One statement, one snapshot: read one by one, another process's first migration could
    // commit in between and its tables look like someone else's.
    Stmt s(db, "SELECT (SELECT application_id FROM pragma_application_id), (SELECT user_version FROM "
               "pragma_user_version), (SELECT count(*) FROM sqlite_schema)");
    if (!s.step()) throw Error(Error::Kind::Io, path + ": cannot read its header");
    const std::int64_t app = s.i64(0), version = s.i64(1), tables = s.i64(2);
    if (app != 0 && app != kApplicationId)
        throw Error(Error::Kind::Damaged, path + ": not a tuning history database (application id " +
                                              std::to_string(app) + ")");
    if (app == 0 && version == 0 && tables != 0)
        throw Error(Error::Kind::Damaged, path + ": not a tuning history database (it holds other tables)");
    if (version > known)
        throw Error(Error::Kind::Newer, path + ": written by a newer program (schema version " +
                                            std::to_string(version) + ", this one knows " + std::to_string(known) + ")");
    return version;
}

void Migrate(sqlite3* db, const std::string& path, const std::vector<std::string>& steps) {
    const auto known = static_cast<std::int64_t>(steps.size());
    if (PragmaInt(db, "PRAGMA user_version") == known) return;
    Tx tx(db);
    // Another process may have brought it up while this one waited.
    std::int64_t version = CheckOurs(db, path, known);
    for (; version < known; ++version) Exec(db, steps[static_cast<std::size_t>(version)].c_str());
    Exec(db, ("PRAGMA user_version = " + std::to_string(known)).c_str());
    Exec(db, ("PRAGMA application_id = " + std::to_string(kApplicationId)).c_str());
    tx.commit();
}

// ---- processes: a running save whose process is gone was interrupted --------------------

// A small file read whole up to its first NUL; empty when it cannot be read.
std::string ReadSmall(const std::string& path) {
    std::ifstream in(path);
    std::string s;
    std::getline(in, s, '\0');
    return s;
}

// The boot and start time of a process: with its id, unique on this host.
std::string ProcessToken(long pid) {
    const std::string stat = ReadSmall("/proc/" + std::to_string(pid) + "/stat");
    const std::size_t rp = stat.rfind(')');
    if (rp == std::string::npos) return {};
    // The fields after the command's closing parenthesis: the state is the 3rd, the start time the 22nd.
    std::istringstream fields(stat.substr(rp + 1));
    std::string f;
    for (int i = 3; i <= 22 && fields >> f; ++i)
        if (i == 22) {
            // The boot does not change while this process runs.
            static const std::string boot = [] {
                std::string b = ReadSmall("/proc/sys/kernel/random/boot_id");
                while (!b.empty() && (b.back() == '\n' || b.back() == ' ')) b.pop_back();
                return b;
            }();
            return boot + "/" + f;
        }
    return {};
}

const std::string& Host() {
    static const std::string h = [] {
        char buf[256] = {};
        return ::gethostname(buf, sizeof buf - 1) == 0 ? std::string(buf) : std::string();
    }();
    return h;
}

// ---- rows -------------------------------------------------------------------------------

constexpr const char* kSaveColumns =
    "id, station, kind, origin, mode, state, started_utc, started_offset, ended_utc, ended_offset, user, host, "
    "program, reason, source, result, seconds, frames_sent, frames_received, blocks, records, warnings, "
    "values_changed, tp_sha256, state_no, baseline";

State StateOf(const std::string& s) {
    if (s == "done") return State::Done;
    if (s == "failed") return State::Failed;
    if (s == "interrupted") return State::Interrupted;
    return State::Running;
}

// The row of kSaveColumns starting at column c.
Save SaveAt(const Stmt& s, int c = 0) {
    Save v;
    v.id = s.i64(c + 0);
    v.station = s.text(c + 1);
    v.kind = static_cast<int>(s.i64(c + 2));
    v.origin = s.text(c + 3);
    if (!s.is_null(c + 4)) v.mode = static_cast<int>(s.i64(c + 4));
    v.state = StateOf(s.text(c + 5));
    v.started = {s.i64(c + 6), static_cast<int>(s.i64(c + 7))};
    if (!s.is_null(c + 8)) v.ended = Moment{s.i64(c + 8), static_cast<int>(s.i64(c + 9))};
    v.user = s.text(c + 10);
    v.host = s.text(c + 11);
    v.program = s.text(c + 12);
    v.reason = s.text(c + 13);
    v.source = s.text(c + 14);
    if (!s.is_null(c + 15)) v.result = static_cast<std::uint32_t>(s.i64(c + 15));
    if (!s.is_null(c + 16)) v.seconds = s.dbl(c + 16);
    v.framesSent = s.opt_i64(c + 17);
    v.framesReceived = s.opt_i64(c + 18);
    v.blocks = s.opt_i64(c + 19);
    v.records = s.opt_i64(c + 20);
    v.warnings = s.opt_i64(c + 21);
    v.valuesChanged = s.opt_i64(c + 22);
    v.tpSha256 = s.text(c + 23);
    v.stateNo = s.opt_i64(c + 24);
    v.baseline = s.i64(c + 25) != 0;
    return v;
}

struct Last {
    std::int64_t stateNo = 0;   // 0: no state recorded yet
    std::string sha256;
};

Last LastState(sqlite3* db, const std::string& station, int kind) {
    Stmt s(db, "SELECT state_no, tp_sha256 FROM save WHERE station = ?1 AND kind = ?2 AND state_no IS NOT NULL "
               "ORDER BY state_no DESC LIMIT 1");
    s.bind(1, station).bind(2, kind);
    Last l;
    if (s.step()) l = {s.i64(0), s.text(1)};
    return l;
}

tpfile::File StateAt(sqlite3* db, const std::string& station, int kind, std::int64_t stateNo) {
    Stmt b(db, "SELECT max(state_no) FROM save WHERE station = ?1 AND kind = ?2 AND baseline = 1 AND state_no <= ?3");
    b.bind(1, station).bind(2, kind).bind(3, stateNo);
    if (!b.step() || b.is_null(0))
        throw Error(Error::Kind::Damaged, DbPath(db) + ": no baseline of " + station + " before its state " +
                                              std::to_string(stateNo));
    const std::int64_t from = b.i64(0);
    Stmt s(db, "SELECT s.state_no, s.baseline, v.block, v.tag, v.model, v.item, v.position, v.whole, v.new_value "
               "FROM save s JOIN item_value v ON v.save_id = s.id "
               "WHERE s.station = ?1 AND s.kind = ?2 AND s.state_no BETWEEN ?3 AND ?4 ORDER BY s.state_no, v.n");
    s.bind(1, station).bind(2, kind).bind(3, from).bind(4, stateNo);
    detail::Replay replay;
    std::int64_t current = -1;
    while (s.step()) {
        if (s.i64(0) != current) {
            current = s.i64(0);
            replay.next_save(s.i64(1) != 0);
        }
        const std::optional<std::string> v = s.opt_text(8);
        replay.apply(static_cast<int>(s.i64(2)), s.text(3), s.text(4), s.text(5),
                     s.is_null(6) ? -1 : static_cast<int>(s.i64(6)), s.i64(7) != 0, v ? &*v : nullptr);
    }
    return replay.file();
}

std::int64_t InsertRows(sqlite3* db, std::int64_t id, const std::vector<detail::Row>& rows) {
    Stmt ins(db, "INSERT INTO item_value (save_id, n, block, tag, model, item, position, whole, old_value, new_value) "
                 "VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10)");
    std::int64_t n = 0, changed = 0;
    for (const detail::Row& r : rows) {
        ins.bind(1, id).bind(2, n++).bind(3, r.block).ref(4, r.tag).ref(5, r.model).ref(6, r.item);
        if (r.position >= 0) ins.bind(7, r.position);
        else ins.null(7);
        ins.bind(8, r.whole ? 1 : 0).ref(9, r.oldValue).ref(10, r.newValue);
        ins.run();
        const bool same = r.oldValue && r.newValue && *r.oldValue == *r.newValue;
        changed += same ? 0 : 1;
    }
    return changed;
}

tpfile::File Parse(const TpFile& f) { return tpfile::parse(f.bytes, f.path); }

// Records after as the TP state of save id: against before when before is the state recorded
// last (only what changed), else whole (a baseline, whose old values are the last recorded
// state, or before when nothing is recorded yet). Runs inside the caller's transaction.
void StoreState(sqlite3* db, std::int64_t id, const std::string& station, int kind, const TpFile* before,
                const TpFile& after, const std::optional<tpfile::File>& beforeParsed,
                const std::optional<tpfile::File>& afterParsed) {
    const Last last = LastState(db, station, kind);
    const bool chained = last.stateNo > 0 && before && before->exists && before->sha256 == last.sha256;
    std::int64_t changed = 0;
    bool baseline = false;
    if (chained && detail::same_body(before->bytes, after.bytes)) {
        // Only the time of the save differs: no value row.
    } else if (chained) {
        std::optional<tpfile::File> a, b;
        if (!beforeParsed) a = Parse(*before);
        if (!afterParsed) b = Parse(after);
        changed = InsertRows(db, id, detail::rows(beforeParsed ? *beforeParsed : *a, afterParsed ? *afterParsed : *b, false));
    } else {
        baseline = true;
        tpfile::File own;
        const tpfile::File* old = &own;
        if (last.stateNo > 0) own = StateAt(db, station, kind, last.stateNo);
        else if (beforeParsed) old = &*beforeParsed;
        else if (before && before->exists) {
            try {
                own = Parse(*before);
            } catch (const tpfile::Error&) {
                // No old values then: every value counts as new.
            }
        }
        std::optional<tpfile::File> b;
        if (!afterParsed) b = Parse(after);
        changed = InsertRows(db, id, detail::rows(*old, afterParsed ? *afterParsed : *b, true));
    }
    Stmt u(db, "UPDATE save SET tp_sha256 = ?2, state_no = ?3, baseline = ?4, values_changed = ?5 WHERE id = ?1");
    u.bind(1, id).bind(2, after.sha256).bind(3, last.stateNo + 1).bind(4, baseline ? 1 : 0).bind(5, changed);
    u.run();
}

std::string DirOf(const std::string& path) {
    const std::size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? "." : path.substr(0, slash);
}

std::string NameOf(const std::string& path) {
    const std::size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

// ---- free functions ------------------------------------------------------------------------

std::string database_path(const std::string& project) {
    std::string dir, error;
    if (!ws::project_dir(project, false, dir, error)) throw Error(Error::Kind::Open, error);
    return dir + "/HISTORY/tuning.sqlite";
}

Moment moment(std::int64_t utc) {
    const std::time_t t = static_cast<std::time_t>(utc);
    struct tm tm {};
    Moment m{utc, 0};
    if (::localtime_r(&t, &tm)) m.offset = static_cast<int>(tm.tm_gmtoff);
    return m;
}

namespace {

// The moment's local time by the date format, then its zone by the zone format (sign, hours,
// minutes).
std::string FormatMoment(const Moment& m, const char* dateFormat, const char* empty, const char* zoneFormat) {
    const std::time_t t = static_cast<std::time_t>(m.utc + m.offset);
    struct tm tm {};
    char buf[64];
    std::snprintf(buf, sizeof buf, "%s", empty);
    if (::gmtime_r(&t, &tm)) std::strftime(buf, sizeof buf, dateFormat, &tm);
    const int a = m.offset < 0 ? -m.offset : m.offset;
    char zone[16];
    std::snprintf(zone, sizeof zone, zoneFormat, m.offset < 0 ? '-' : '+', a / 3600 % 100, a / 60 % 60);
    return std::string(buf) + zone;
}

}  // namespace

std::string moment_text(const Moment& m) { return FormatMoment(m, "%Y-%m-%d %H:%M:%S", "?", " %c%02d%02d"); }
std::string moment_iso(const Moment& m) { return FormatMoment(m, "%Y-%m-%dT%H:%M:%S", "", "%c%02d:%02d"); }

std::optional<std::int64_t> parse_date(const std::string& text) {
    int y = 0, mo = 0, d = 0, h = 0, mi = 0, s = 0;
    std::size_t i = 0;
    auto num = [&](int& v, std::size_t digits) {
        if (text.size() - i < digits) return false;
        for (std::size_t k = 0; k < digits; ++k)
            if (text[i + k] < '0' || text[i + k] > '9') return false;
        std::from_chars(text.data() + i, text.data() + i + digits, v);
        i += digits;
        return true;
    };
    auto lit = [&](char c) {
        if (i < text.size() && text[i] == c) return ++i, true;
        return false;
    };
    if (!num(y, 4) || !lit('-') || !num(mo, 2) || !lit('-') || !num(d, 2)) return std::nullopt;
    if (lit(' ') || lit('T')) {
        if (!num(h, 2) || !lit(':') || !num(mi, 2)) return std::nullopt;
        if (lit(':') && !num(s, 2)) return std::nullopt;
    }
    std::optional<int> zone;
    if (lit('Z')) {
        zone = 0;
    } else if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        const int sign = text[i++] == '-' ? -1 : 1;
        int zh = 0, zm = 0;
        if (!num(zh, 2)) return std::nullopt;
        lit(':');
        if (!num(zm, 2) || zh > 23 || zm > 59) return std::nullopt;
        zone = sign * (zh * 3600 + zm * 60);
    }
    if (i != text.size() || mo < 1 || mo > 12 || d < 1 || d > 31 || h > 23 || mi > 59 || s > 60) return std::nullopt;
    struct tm tm {};
    tm.tm_year = y - 1900;
    tm.tm_mon = mo - 1;
    tm.tm_mday = d;
    tm.tm_hour = h;
    tm.tm_min = mi;
    tm.tm_sec = s;
    if (zone) return static_cast<std::int64_t>(::timegm(&tm)) - *zone;
    tm.tm_isdst = -1;
    const std::time_t t = std::mktime(&tm);
    if (t == static_cast<std::time_t>(-1) && !(y == 1969 && mo == 12 && d == 31)) return std::nullopt;
    return static_cast<std::int64_t>(t);
}

const char* state_text(State s) {
    switch (s) {
    case State::Running: return "running";
    case State::Done: return "done";
    case State::Failed: return "failed";
    case State::Interrupted: return "interrupted";
    }
    return "";
}

namespace {

std::string HexOf(const std::uint8_t* md, std::size_t size) {
    std::string out(BASE16_ENCODE_LENGTH(size), '\0');
    base16_encode_update(out.data(), size, md);
    return out;
}

}  // namespace

std::string sha256_hex(const std::string& bytes) {
    std::uint8_t md[SHA256_DIGEST_SIZE];
    sha256_ctx ctx;
    sha256_init(&ctx);
    sha256_update(&ctx, bytes.size(), reinterpret_cast<const std::uint8_t*>(bytes.data()));
    sha256_digest(&ctx, sizeof md, md);
    return HexOf(md, sizeof md);
}

namespace {

// The bytes and hash of the file open at fd, size bytes from its start, into f. Empty, or why
// they could not be read.
std::string ReadWhole(int fd, std::size_t size, TpFile& f) {
    std::string bytes;
    bytes.reserve(size);
    port::prefault(bytes.data(), size);
    bytes.resize(size);
    std::size_t got = 0;
    while (got < size) {
        const ssize_t n = ::pread(fd, bytes.data() + got, size - got, static_cast<off_t>(got));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return n < 0 ? std::strerror(errno) : "shorter than its size";
        got += static_cast<std::size_t>(n);
    }
    f.sha256 = sha256_hex(bytes);
    f.bytes = std::move(bytes);
    return {};
}

}  // namespace

TpFile read_tp(const std::string& path, int* keep) {
    if (keep) *keep = -1;
    TpFile f;
    f.path = path;
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        if (errno == ENOENT) return f;
        throw tpfile::Error(path, 0, std::string("cannot read: ") + std::strerror(errno));
    }
    struct stat st {};
    std::string why;
    if (::fstat(fd, &st) != 0) why = std::strerror(errno);
    else if (!S_ISREG(st.st_mode)) why = "not a regular file";
    else if (st.st_size > kMaxTpBytes) why = "larger than 256 MiB";
    f.identity = TpFile::Identity::of(st);
    if (keep && why.empty()) {
        // Read when its bytes are wanted (read_kept_tp).
        *keep = fd;
        f.exists = true;
        return f;
    }
    if (why.empty()) why = ReadWhole(fd, static_cast<std::size_t>(st.st_size), f);
    ::close(fd);
    if (!why.empty()) throw tpfile::Error(path, 0, "cannot read: " + why);
    f.exists = true;
    return f;
}

bool read_kept_tp(int fd, TpFile& f) {
    struct stat st {};
    return ::fstat(fd, &st) == 0 && TpFile::Identity::of(st) == f.identity &&
           ReadWhole(fd, static_cast<std::size_t>(st.st_size), f).empty();
}

std::string advice(const Error& e, const std::string& path) {
    switch (e.kind) {
    case Error::Kind::Damaged:
        return std::string("the history database is damaged: ") + e.what() + "\nMove it aside to start a new one (the next save creates it): mv '" +
               path + "' '" + path + ".damaged'";
    case Error::Kind::Newer:
        return std::string(e.what()) + "\nUse the newer program to read it.";
    default: return e.what();
    }
}

// ---- Database ---------------------------------------------------------------------------------

namespace {

// Sets the journal mode and the sync level of a connection (both before anything is written).
void Configure(sqlite3* db) {
    // WAL: readers never wait for the one writer; FULL: a committed save survives a power cut.
    Exec(db, "PRAGMA journal_mode = WAL");
    Exec(db, "PRAGMA synchronous = FULL");
}

// The files SQLite keeps beside a database while it is written.
constexpr std::string_view kJournals[] = {"-wal", "-shm", "-journal"};

// Makes a new database whole under a name of this process's, then puts it in place unless
// another process was first. Made in place, a second process could open the empty file while
// the first one's schema was still in its log only, take the file for a fresh one in the other
// journal mode and remove that log: the first process's saves lost, or "database is locked".
// With replace, it takes the place of the empty file there.
void MakeWhole(const std::string& path, const std::string& dir, const std::vector<std::string>& migrations,
               bool replace = false) {
    // What a process that died while making it left: its temporary and the temporary's journals.
    port::remove_dead_temps(dir, kJournals);
    static std::atomic<unsigned> made{0};
    const std::string temp = dir + "/." + NameOf(path) + "." + std::to_string(::getpid()) + "." +
                             std::to_string(made++) + ".tmp";
    auto remove = [&] {
        ::unlink(temp.c_str());
        for (std::string_view journal : kJournals) ::unlink((temp + std::string(journal)).c_str());
    };
    remove();
    sqlite3* db = nullptr;
    int rc = sqlite3_open_v2(temp.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOFOLLOW, nullptr);
    try {
        if (rc != SQLITE_OK) throw Error(Error::Kind::Open, temp + ": " + (db ? sqlite3_errmsg(db) : sqlite3_errstr(rc)));
        Configure(db);
        Migrate(db, path, migrations);
        // The last connection's close writes the log into the file and removes it.
        if ((rc = sqlite3_close(std::exchange(db, nullptr))) != SQLITE_OK)
            throw Error(Error::Kind::Io, temp + ": " + sqlite3_errstr(rc));
        // Over the empty file it replaces, else never over a database another process put there
        // meanwhile (where the file system lacks the flag, a link does not replace either).
        const bool placed =
            replace ? ::rename(temp.c_str(), path.c_str()) == 0
                    : ::renameat2(AT_FDCWD, temp.c_str(), AT_FDCWD, path.c_str(), RENAME_NOREPLACE) == 0 ||
                          errno == EEXIST || (errno == EINVAL && (::link(temp.c_str(), path.c_str()) == 0 || errno == EEXIST));
        if (!placed) throw Error(Error::Kind::Open, path + ": cannot put the new database in place: " + std::strerror(errno));
    } catch (...) {
        sqlite3_close(db);
        remove();
        throw;
    }
    remove();
    port::fsync_dir(dir);
}

// Puts a whole database in the place of an empty file. The processes that found it empty take
// turns under a lock of the folder; the first replaces it, the others find it whole.
void ReplaceEmpty(const std::string& path, const std::string& dir, const std::vector<std::string>& migrations) {
    struct Folder {
        int fd;
        ~Folder() { ::close(fd); }   // gives the lock back
    } folder{::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)};
    if (folder.fd < 0) throw Error(Error::Kind::Open, dir + ": " + std::strerror(errno));
    while (::flock(folder.fd, LOCK_EX) != 0)
        if (errno != EINTR) throw Error(Error::Kind::Open, dir + ": cannot lock the folder: " + std::strerror(errno));
    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_size == 0) MakeWhole(path, dir, migrations, true);
}

}  // namespace

Database Database::open(const std::string& path, bool create) { return open(path, create, kMigrations); }

Database Database::open(const std::string& path, bool create, const std::vector<std::string>& migrations) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0) {
        if (!S_ISREG(st.st_mode)) throw Error(Error::Kind::Open, path + ": not a regular file");
        // An empty file holds no history yet, and is made whole too: opened in place it is
        // what a second process could take for a fresh database.
        if (st.st_size == 0) {
            if (!create) throw Error(Error::Kind::Missing, path + ": no history database yet (an empty file)");
            ReplaceEmpty(path, DirOf(path), migrations);
        }
    } else if (errno != ENOENT) {
        throw Error(Error::Kind::Open, path + ": " + std::strerror(errno));
    } else if (!create) {
        throw Error(Error::Kind::Missing, path + ": no history database yet");
    } else {
        const std::string dir = DirOf(path);
        if (::mkdir(dir.c_str(), 0777) != 0 && errno != EEXIST)
            throw Error(Error::Kind::Open, dir + ": cannot make the folder: " + std::strerror(errno));
        struct stat ds {};
        if (::stat(dir.c_str(), &ds) != 0 || !S_ISDIR(ds.st_mode))
            throw Error(Error::Kind::Open, dir + ": not a folder");
        MakeWhole(path, dir, migrations);
    }
    sqlite3* db = nullptr;
    const int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOFOLLOW;
    if (int rc = sqlite3_open_v2(path.c_str(), &db, flags, nullptr); rc != SQLITE_OK) {
        const std::string msg = db ? sqlite3_errmsg(db) : sqlite3_errstr(rc);
        sqlite3_close(db);
        throw Error(KindOf(rc) == Error::Kind::Damaged ? Error::Kind::Damaged : Error::Kind::Open, path + ": " + msg);
    }
    Database d(db, path);
    sqlite3_extended_result_codes(db, 1);
    sqlite3_busy_timeout(db, kBusyMs);
    // Before anything is written to it (the journal mode is kept in the file).
    CheckOurs(db, path, static_cast<std::int64_t>(migrations.size()));
    Configure(db);
    Exec(db, "PRAGMA foreign_keys = ON");
    Migrate(db, path, migrations);
    return d;
}

Database::Database(Database&& o) noexcept : db_(o.db_), path_(std::move(o.path_)) { o.db_ = nullptr; }

Database& Database::operator=(Database&& o) noexcept {
    if (this != &o) {
        sqlite3_close(db_);
        db_ = o.db_;
        path_ = std::move(o.path_);
        o.db_ = nullptr;
    }
    return *this;
}

Database::~Database() { sqlite3_close(db_); }

int Database::schema_version() const { return static_cast<int>(PragmaInt(db_, "PRAGMA user_version")); }

int Database::settle(const std::string& station) {
    std::vector<std::int64_t> dead;
    {
        // Asked at every save: for a station, the look-up walks only the entries of the state
        // index without a state number (a running save has none yet). The kinds are named: with
        // the station alone, it walked every save of the station ever recorded.
        Stmt s(db_, station.empty() ? "SELECT id, host, pid, process FROM save WHERE state = 'running'"
                                    : "SELECT id, host, pid, process FROM save INDEXED BY save_state "
                                      "WHERE station = ?1 AND kind IN (2, 3) AND state_no IS NULL AND state = 'running'");
        if (!station.empty()) s.bind(1, station);
        while (s.step()) {
            // A save of another host cannot be looked at: it stays running.
            if (s.text(1) != Host()) continue;
            if (ProcessToken(static_cast<long>(s.i64(2))) != s.text(3)) dead.push_back(s.i64(0));
        }
    }
    if (dead.empty()) return 0;
    Tx tx(db_);
    Stmt u(db_, "UPDATE save SET state = 'interrupted' WHERE id = ?1 AND state = 'running'");
    for (std::int64_t id : dead) u.bind(1, id).run();
    tx.commit();
    return static_cast<int>(dead.size());
}

std::int64_t Database::begin(const SaveStart& s) {
    settle(s.station);
    Tx tx(db_);
    Stmt ins(db_, "INSERT INTO save (station, kind, origin, mode, state, started_utc, started_offset, user, host, pid, "
                  "process, program, reason) VALUES (?1, ?2, 'save', ?3, 'running', ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11)");
    ins.bind(1, s.station).bind(2, s.kind).bind(3, s.mode).bind(4, s.started.utc).bind(5, s.started.offset);
    ins.text_or_null(6, s.user).text_or_null(7, s.host).bind(8, static_cast<std::int64_t>(::getpid()));
    ins.bind(9, ProcessToken(static_cast<long>(::getpid()))).text_or_null(10, s.program).text_or_null(11, s.reason);
    ins.run();
    const std::int64_t id = sqlite3_last_insert_rowid(db_);
    tx.commit();
    // The save runs next, for long: the pages read so far are not held meanwhile.
    sqlite3_db_release_memory(db_);
    return id;
}

namespace {

void UpdateEnd(sqlite3* db, std::int64_t id, const SaveEnd& e) {
    Stmt u(db, "UPDATE save SET state = ?2, ended_utc = ?3, ended_offset = ?4, result = ?5, seconds = ?6, "
               "frames_sent = ?7, frames_received = ?8, blocks = ?9, records = ?10, warnings = ?11 WHERE id = ?1");
    u.bind(1, id).bind(2, e.result == 0 ? "done" : "failed").bind(3, e.ended.utc).bind(4, e.ended.offset);
    u.bind(5, static_cast<std::int64_t>(e.result)).bind(6, e.seconds).bind(7, e.framesSent).bind(8, e.framesReceived);
    u.bind(9, e.blocks).bind(10, e.records).bind(11, e.warnings);
    u.run();
    if (sqlite3_changes(db) != 1)
        throw Error(Error::Kind::Usage, DbPath(db) + ": save " + std::to_string(id) + " is not in the database");
}

}  // namespace

void Database::finish(std::int64_t id, const SaveEnd& e, const TpFile* before, const TpFile* after) {
    std::string station;
    int kind = 2;
    {
        Stmt s(db_, "SELECT station, kind FROM save WHERE id = ?1");
        s.bind(1, id);
        if (!s.step()) throw Error(Error::Kind::Usage, path_ + ": save " + std::to_string(id) + " is not in the database");
        station = s.text(0);
        kind = static_cast<int>(s.i64(1));
    }
    // Parsed before the transaction, so that other saves wait as little as possible; a TP file
    // that only differs in its time needs no parsing.
    std::optional<tpfile::File> a, b;
    const bool values = after && after->exists;
    if (values && !(before && before->exists && detail::same_body(before->bytes, after->bytes))) {
        b = Parse(*after);
        if (before && before->exists) {
            try {
                a = Parse(*before);
            } catch (const tpfile::Error&) {
                // Recorded as a baseline then.
            }
        }
    }
    Tx tx(db_);
    UpdateEnd(db_, id, e);
    if (values) StoreState(db_, id, station, kind, before, *after, a, b);
    tx.commit();
}

void Database::finish_plain(std::int64_t id, const SaveEnd& e) {
    Tx tx(db_);
    UpdateEnd(db_, id, e);
    tx.commit();
}

std::vector<Save> Database::saves(const std::string& station, std::optional<std::int64_t> since) const {
    const std::string sql = std::string("SELECT ") + kSaveColumns +
                            " FROM save WHERE (?1 IS NULL OR station = ?1) AND started_utc >= ?2 ORDER BY id DESC";
    Stmt s(db_, sql.c_str());
    s.text_or_null(1, station).bind(2, since.value_or(INT64_MIN));
    std::vector<Save> out;
    while (s.step()) out.push_back(SaveAt(s));
    return out;
}

std::optional<Save> Database::save(std::int64_t id) const {
    const std::string sql = std::string("SELECT ") + kSaveColumns + " FROM save WHERE id = ?1";
    Stmt s(db_, sql.c_str());
    s.bind(1, id);
    if (!s.step()) return std::nullopt;
    return SaveAt(s);
}

std::vector<Change> Database::log(const std::string& station, int kind, const std::string& tag,
                                  const std::string& item) const {
    std::string sql = "SELECT v.block, v.tag, v.model, v.item, v.old_value, v.new_value, ";
    for (const char* c = kSaveColumns; *c; ++c) {
        // Every save column, qualified.
        if (c == kSaveColumns || c[-1] == ' ') sql += "s.";
        sql += *c;
    }
    // Only the conditions given, so that a tag (and item) is found through its index.
    sql += " FROM item_value v JOIN save s ON s.id = v.save_id WHERE s.station = ?1 AND s.kind = ?2";
    if (!tag.empty()) sql += " AND v.tag = ?3";
    if (!item.empty()) sql += " AND v.item = ?4";
    sql += " AND v.old_value IS NOT v.new_value ORDER BY s.state_no DESC, v.n";
    Stmt s(db_, sql.c_str());
    s.bind(1, station).bind(2, kind);
    if (!tag.empty()) s.bind(3, tag);
    if (!item.empty()) s.bind(4, item);
    std::vector<Change> out;
    while (s.step()) {
        Change c;
        c.blockNo = static_cast<int>(s.i64(0));
        c.tag = s.text(1);
        c.model = s.text(2);
        c.item = s.text(3);
        c.oldValue = s.opt_text(4);
        c.newValue = s.opt_text(5);
        c.save = SaveAt(s, 6);
        out.push_back(std::move(c));
    }
    return out;
}

Save Database::resolve(const std::string& station, int kind, const std::string& spec) const {
    if (!spec.empty() && std::all_of(spec.begin(), spec.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        std::int64_t id = 0;
        auto [p, ec] = std::from_chars(spec.data(), spec.data() + spec.size(), id);
        std::optional<Save> s;
        if (ec == std::errc() && p == spec.data() + spec.size()) s = save(id);
        if (!s || s->station != station || s->kind != kind)
            throw Error(Error::Kind::Usage, "no save " + spec + " of " + station + " in " + path_);
        if (!s->stateNo)
            throw Error(Error::Kind::Usage, "save " + spec + " of " + station + " recorded no TP file (" +
                                                state_text(s->state) + ")");
        return *s;
    }
    const std::optional<std::int64_t> at = parse_date(spec);
    if (!at) throw Error(Error::Kind::Usage, "\"" + spec + "\" is neither a save number nor a date (YYYY-MM-DD[ HH:MM[:SS]][Z|+HH:MM])");
    const std::string sql = std::string("SELECT ") + kSaveColumns +
                            " FROM save WHERE station = ?1 AND kind = ?2 AND state_no IS NOT NULL AND started_utc <= ?3 "
                            "ORDER BY state_no DESC LIMIT 1";
    Stmt s(db_, sql.c_str());
    s.bind(1, station).bind(2, kind).bind(3, *at);
    if (!s.step()) throw Error(Error::Kind::Usage, "no save of " + station + " with a TP file at or before " + spec);
    return SaveAt(s);
}

tpfile::File Database::state(std::int64_t id) const {
    const std::optional<Save> s = save(id);
    if (!s || !s->stateNo) throw Error(Error::Kind::Usage, "save " + std::to_string(id) + " recorded no TP file");
    return StateAt(db_, s->station, s->kind, *s->stateNo);
}

std::int64_t Database::record_drift(const DriftCheck& c, const std::vector<DriftValue>& values) {
    Tx tx(db_);
    Stmt ins(db_, "INSERT INTO drift_check (station, kind, started_utc, started_offset, ended_utc, ended_offset, user, "
                  "host, program, result, seconds, differences, project_tp_sha256, error) "
                  "VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12, ?13, ?14)");
    ins.bind(1, c.station).bind(2, c.kind).bind(3, c.started.utc).bind(4, c.started.offset).bind(5, c.ended.utc);
    ins.bind(6, c.ended.offset).text_or_null(7, c.user).text_or_null(8, c.host).text_or_null(9, c.program);
    ins.bind(10, static_cast<std::int64_t>(c.result)).bind(11, c.seconds).bind(12, c.differences);
    ins.text_or_null(13, c.projectTpSha256).text_or_null(14, c.error);
    ins.run();
    const std::int64_t id = sqlite3_last_insert_rowid(db_);
    Stmt v(db_, "INSERT INTO drift_value (check_id, n, block, tag, model, item, project_value, station_value) "
                "VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8)");
    std::int64_t n = 0;
    for (const DriftValue& d : values) {
        v.bind(1, id).bind(2, n++).bind(3, d.blockNo).ref(4, d.tag).ref(5, d.model).ref(6, d.item);
        v.bind(7, d.projectValue).bind(8, d.stationValue).run();
    }
    tx.commit();
    return id;
}

std::vector<DriftCheck> Database::last_drift_checks(int kind) const {
    Stmt s(db_, "SELECT id, station, kind, started_utc, started_offset, ended_utc, ended_offset, user, host, program, "
                "result, seconds, differences, project_tp_sha256, error FROM drift_check d WHERE kind = ?1 AND id = "
                "(SELECT max(id) FROM drift_check e WHERE e.station = d.station AND e.kind = d.kind) ORDER BY station");
    s.bind(1, kind);
    std::vector<DriftCheck> out;
    while (s.step()) {
        DriftCheck c;
        c.id = s.i64(0);
        c.station = s.text(1);
        c.kind = static_cast<int>(s.i64(2));
        c.started = {s.i64(3), static_cast<int>(s.i64(4))};
        c.ended = {s.i64(5), static_cast<int>(s.i64(6))};
        c.user = s.text(7);
        c.host = s.text(8);
        c.program = s.text(9);
        c.result = static_cast<std::uint32_t>(s.i64(10));
        c.seconds = s.dbl(11);
        c.differences = s.opt_i64(12);
        c.projectTpSha256 = s.text(13);
        c.error = s.text(14);
        out.push_back(std::move(c));
    }
    return out;
}

std::vector<DriftValue> Database::drift_values(std::int64_t id) const {
    Stmt s(db_, "SELECT block, tag, model, item, project_value, station_value FROM drift_value WHERE check_id = ?1 "
                "ORDER BY n");
    s.bind(1, id);
    std::vector<DriftValue> out;
    while (s.step())
        out.push_back({static_cast<int>(s.i64(0)), s.text(1), s.text(2), s.text(3), s.opt_text(4), s.opt_text(5)});
    return out;
}

std::vector<ValueChange> Database::value_changes(int kind) const {
    Stmt s(db_, "SELECT s.id, s.station, v.block, v.tag, v.model, v.item, v.old_value, v.new_value "
                "FROM save s JOIN item_value v ON v.save_id = s.id "
                "WHERE s.kind = ?1 AND s.state_no IS NOT NULL AND v.old_value IS NOT v.new_value "
                "ORDER BY s.station, s.state_no, v.n");
    s.bind(1, kind);
    std::vector<ValueChange> out;
    while (s.step())
        out.push_back({s.i64(0), s.text(1), static_cast<int>(s.i64(2)), s.text(3), s.text(4), s.text(5),
                       s.opt_text(6), s.opt_text(7)});
    return out;
}

ImportResult Database::import(const std::string& station, int kind, const std::string& tpPath,
                              const std::string& program) {
    ImportResult r;
    Tx tx(db_);
    {
        Stmt c(db_, "SELECT count(*) FROM save WHERE station = ?1 AND kind = ?2");
        c.bind(1, station).bind(2, kind);
        if (c.step() && c.i64(0) > 0)
            throw Error(Error::Kind::Usage, "the history of " + station + " already holds " + std::to_string(c.i64(0)) +
                                                " save(s): the TP files are imported only into an empty history");
    }
    std::vector<std::string> paths;
    for (const tpfile::Copy& c : tpfile::archive_copies(tpPath)) paths.insert(paths.begin(), c.path);
    paths.push_back(tpPath);
    Stmt ins(db_, "INSERT INTO save (station, kind, origin, state, started_utc, started_offset, ended_utc, ended_offset, "
                  "program, source) VALUES (?1, ?2, 'import', 'done', ?3, ?4, ?3, ?4, ?5, ?6)");
    std::optional<TpFile> last;
    for (const std::string& path : paths) {
        const std::string name = NameOf(path);
        TpFile f;
        std::optional<tpfile::File> parsed;
        try {
            f = read_tp(path);
            if (!f.exists) continue;
            parsed = Parse(f);
        } catch (const tpfile::Error& e) {
            r.skipped.push_back(name + ": " + e.what());
            continue;
        }
        if (last && last->sha256 == f.sha256) continue;   // the TP file is its newest copy
        const Moment m = moment(parsed->time);
        ins.bind(1, station).bind(2, kind).bind(3, m.utc).bind(4, m.offset).text_or_null(5, program).bind(6, name);
        ins.run();
        const std::int64_t id = sqlite3_last_insert_rowid(db_);
        StoreState(db_, id, station, kind, last ? &*last : nullptr, f, std::nullopt, parsed);
        r.imported.push_back(name);
        last = std::move(f);
    }
    tx.commit();
    return r;
}

PruneResult Database::prune(std::int64_t before, const std::string& station) {
    PruneResult r;
    {
        Tx tx(db_);
        std::vector<std::pair<std::string, int>> series;
        {
            Stmt s(db_, "SELECT DISTINCT station, kind FROM save WHERE ?1 IS NULL OR station = ?1");
            s.text_or_null(1, station);
            while (s.step()) series.emplace_back(s.text(0), static_cast<int>(s.i64(1)));
        }
        for (const auto& [st, kind] : series) {
            // The first state kept (started at or after `before`) and the last one before it: that
            // one stays, as a baseline, since the later states are changes to it.
            Stmt k(db_, "SELECT min(state_no) FROM save WHERE station = ?1 AND kind = ?2 AND state_no IS NOT NULL "
                        "AND started_utc >= ?3");
            k.bind(1, st).bind(2, kind).bind(3, before);
            const std::optional<std::int64_t> first = k.step() ? k.opt_i64(0) : std::nullopt;
            k.reset();
            Stmt p(db_, "SELECT id, state_no, baseline FROM save WHERE station = ?1 AND kind = ?2 AND state_no < ?3 "
                        "ORDER BY state_no DESC LIMIT 1");
            p.bind(1, st).bind(2, kind).bind(3, first.value_or(INT64_MAX));
            std::optional<std::int64_t> keepId, keepNo;
            bool keepIsBaseline = false;
            if (p.step()) {
                keepId = p.i64(0);
                keepNo = p.i64(1);
                keepIsBaseline = p.i64(2) != 0;
            }
            p.reset();
            if (keepId) {
                if (!keepIsBaseline) {
                    // Its rows become the whole state, with the old values it recorded.
                    const tpfile::File whole = StateAt(db_, st, kind, *keepNo);
                    std::map<std::pair<int, std::string>, std::optional<std::string>> own;
                    std::vector<std::tuple<int, std::string, std::string, std::string, std::string>> lost;
                    {
                        Stmt v(db_, "SELECT block, item, old_value, new_value, tag, model FROM item_value WHERE save_id = ?1");
                        v.bind(1, *keepId);
                        while (v.step()) {
                            if (v.is_null(3)) lost.emplace_back(static_cast<int>(v.i64(0)), v.text(4), v.text(5), v.text(1), v.text(2));
                            else own[{static_cast<int>(v.i64(0)), v.text(1)}] = v.opt_text(2);
                        }
                    }
                    Stmt del(db_, "DELETE FROM item_value WHERE save_id = ?1");
                    del.bind(1, *keepId).run();
                    Stmt ins(db_, "INSERT INTO item_value (save_id, n, block, tag, model, item, position, whole, old_value, "
                                  "new_value) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, 1, ?8, ?9)");
                    std::int64_t n = 0;
                    for (const tpfile::Block& b : whole.blocks) {
                        int pos = 0;
                        for (const tpfile::Item& it : b.items) {
                            auto o = own.find({b.blockNo, it.label});
                            ins.bind(1, *keepId).bind(2, n++).bind(3, b.blockNo).bind(4, b.tag).bind(5, b.model);
                            ins.bind(6, it.label).bind(7, pos++);
                            if (o == own.end()) ins.bind(8, it.value);
                            else ins.bind(8, o->second);
                            ins.bind(9, it.value).run();
                        }
                    }
                    for (const auto& [block, tag, model, item, old] : lost) {
                        ins.bind(1, *keepId).bind(2, n++).bind(3, block).bind(4, tag).bind(5, model).bind(6, item);
                        ins.null(7).bind(8, old).null(9).run();
                    }
                    Stmt u(db_, "UPDATE save SET baseline = 1 WHERE id = ?1");
                    u.bind(1, *keepId).run();
                }
                r.baselines.push_back(*keepId);
            }
            Stmt d(db_, "DELETE FROM save WHERE station = ?1 AND kind = ?2 AND state != 'running' AND "
                        "((state_no IS NOT NULL AND state_no < ?3) OR (state_no IS NULL AND started_utc < ?4))");
            d.bind(1, st).bind(2, kind).bind(3, keepNo.value_or(INT64_MIN)).bind(4, before).run();
            r.removed += sqlite3_changes(db_);
        }
        Stmt dd(db_, "DELETE FROM drift_check WHERE started_utc < ?1 AND (?2 IS NULL OR station = ?2)");
        dd.bind(1, before).text_or_null(2, station).run();
        r.driftChecksRemoved = sqlite3_changes(db_);
        tx.commit();
    }
    // Gives the freed pages back to the file system; while another program reads the file
    // that waits for another prune.
    if (r.removed > 0 || r.driftChecksRemoved > 0) sqlite3_exec(db_, "VACUUM", nullptr, nullptr, nullptr);
    return r;
}

}  // namespace history
