// The tuning history of a project: one SQLite database (<project>/HISTORY/tuning.sqlite) that
// records every save of every station (who, when, why, the outcome) and the tuning values it
// wrote: all of them at a station's first save, afterwards only those that changed, old and
// new. The layout is in docs/history-db.md.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "tpfile.h"

struct sqlite3;

namespace history {

// The schema version this program writes (PRAGMA user_version).
inline constexpr int kSchemaVersion = 2;
// PRAGMA application_id of a tuning history database ("TUSH").
inline constexpr std::int32_t kApplicationId = 0x54555348;

struct Error : std::runtime_error {
    enum class Kind {
        Missing,   // no database yet
        Open,      // the file or its folder cannot be made or opened
        Damaged,   // not a database, or not ours, or corrupt
        Newer,     // written by a newer program (schema version above ours)
        Io,        // a statement failed (locked past the time-out, disk full, read-only)
        Usage,     // a question the database cannot answer (no such save, a save without a TP file)
    };
    Error(Kind k, const std::string& what) : std::runtime_error(what), kind(k) {}
    Kind kind;
};

// The database of a project: <project folder>/HISTORY/tuning.sqlite. Throws Error (Open) when
// the project's folder is not known.
std::string database_path(const std::string& project);

// A moment: seconds since 1970 (UTC) and the local offset then (seconds east of UTC).
struct Moment {
    std::int64_t utc = 0;
    int offset = 0;
};
Moment moment(std::int64_t utc);                    // with the local offset at that time
std::string moment_text(const Moment& m);           // "2026-01-01 00:00:00 +0000"
std::string moment_iso(const Moment& m);            // "2026-01-01T00:00:00+00:00"
// "YYYY-MM-DD", "YYYY-MM-DD HH:MM[:SS]" (or with "T"), optionally ending in "Z" or "+HH:MM";
// local time when no zone is given. nullopt when the text is none of these.
std::optional<std::int64_t> parse_date(const std::string& text);

enum class State { Running, Done, Failed, Interrupted };
const char* state_text(State s);   // "running", "done", "failed", "interrupted"

// A save's row.
struct Save {
    std::int64_t id = 0;
    std::string station;
    int kind = 2;
    std::string origin;   // "save" or "import"
    std::optional<int> mode;
    State state = State::Running;
    Moment started;
    std::optional<Moment> ended;
    std::string user, host, program, reason, source;
    std::optional<std::uint32_t> result;
    std::optional<double> seconds;
    std::optional<std::int64_t> framesSent, framesReceived, blocks, records, warnings, valuesChanged;
    std::string tpSha256;   // empty: no TP file recorded
    std::optional<std::int64_t> stateNo;
    bool baseline = false;
};

// What is known of a save before the call.
struct SaveStart {
    std::string station;
    int kind = 2;
    int mode = 0;
    Moment started;
    std::string user, host, program, reason;
};

// What is known after it.
struct SaveEnd {
    Moment ended;
    std::uint32_t result = 0;
    double seconds = 0;
    std::int64_t framesSent = 0, framesReceived = 0, blocks = 0, records = 0, warnings = 0;
};

// A TP file as read at one moment: its bytes and their SHA-256.
struct TpFile {
    bool exists = false;
    std::string bytes;
    std::string sha256;   // lower-case hex
    std::string path;
    // Inode, size and modification time: whether the file was written in between.
    struct Identity {
        std::uint64_t ino = 0, size = 0;
        std::int64_t mtimeNs = 0;
        bool operator==(const Identity&) const = default;
        static Identity of(const struct stat& st) {
            return {static_cast<std::uint64_t>(st.st_ino), static_cast<std::uint64_t>(st.st_size),
                    static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec};
        }
    } identity;
};
// Reads path (a missing file gives exists = false); throws tpfile::Error when it cannot be read.
// With keep, the file is opened and left open there (-1 when there is none), and neither read
// nor hashed: its bytes can be read from it, as they are now, after the path has been replaced
// by a new file.
TpFile read_tp(const std::string& path, int* keep = nullptr);
// The bytes and hash of a TP file that read_tp kept open at fd, into f; false when it cannot be
// read or was written over in place since (its identity differs).
bool read_kept_tp(int fd, TpFile& f);
std::string sha256_hex(const std::string& bytes);

// One change of one value, for log.
struct Change {
    Save save;   // the save that recorded it
    int blockNo = 0;
    std::string tag, model, item;
    std::optional<std::string> oldValue, newValue;
};

struct ImportResult {
    std::vector<std::string> imported;   // file names, oldest first
    std::vector<std::string> skipped;    // "<name>: why"
};

struct PruneResult {
    std::int64_t removed = 0;               // saves deleted
    std::vector<std::int64_t> baselines;    // saves kept and made baselines for later changes
    std::int64_t driftChecksRemoved = 0;
};

// A drift check: the running station's values, read as a save reads them, compared with the
// project's TP file. Not a save: the project is not changed by it.
struct DriftCheck {
    std::int64_t id = 0;
    std::string station;
    int kind = 2;
    Moment started;
    Moment ended;
    std::string user, host, program;
    std::uint32_t result = 0;                  // of the read (the save into a scratch copy); 0: read
    double seconds = 0;
    std::optional<std::int64_t> differences;   // values that differ; none when the station was not read
    std::string projectTpSha256;               // the project's TP file compared with; empty: it had none
    std::string error;                         // why the check failed
};

// One value that differs: the project's TP file against the station.
struct DriftValue {
    int blockNo = 0;
    std::string tag, model, item;
    std::optional<std::string> projectValue, stationValue;   // absent: not there
};

// One change of a value as recorded (old and new differ), for questions over a whole project.
struct ValueChange {
    std::int64_t saveId = 0;
    std::string station;
    int blockNo = 0;
    std::string tag, model, item;
    std::optional<std::string> oldValue, newValue;
};

class Database {
public:
    // Opens the database at path; create makes the folder and the file when missing. Brings the
    // schema to kSchemaVersion. Throws Error.
    static Database open(const std::string& path, bool create);
    // The same, with the migration steps given (step i brings version i to i + 1): for tests.
    static Database open(const std::string& path, bool create, const std::vector<std::string>& migrations);
    Database(Database&&) noexcept;
    Database& operator=(Database&&) noexcept;
    ~Database();

    const std::string& path() const { return path_; }
    int schema_version() const;

    // Marks the running saves of station (every station when empty) whose process is gone
    // "interrupted"; returns how many.
    int settle(const std::string& station = {});
    // Inserts the save's row, state running, after settling its station; returns its id.
    std::int64_t begin(const SaveStart& s);
    // Ends save id in one transaction: its end state and, when after is the TP file the save
    // wrote, its values (against before when before is the state recorded last, else all).
    void finish(std::int64_t id, const SaveEnd& e, const TpFile* before, const TpFile* after);
    // Ends save id without values (a second try after finish failed).
    void finish_plain(std::int64_t id, const SaveEnd& e);

    // Saves newest first; station empty: every station; since: started at or after.
    std::vector<Save> saves(const std::string& station, std::optional<std::int64_t> since = {}) const;
    std::optional<Save> save(std::int64_t id) const;
    // The changes of station's values, newest first; tag and item empty: any.
    std::vector<Change> log(const std::string& station, int kind, const std::string& tag,
                            const std::string& item) const;
    // The save a text names: its id, or a date (the last save with a TP file at or before it).
    Save resolve(const std::string& station, int kind, const std::string& spec) const;
    // The TP file save id wrote, as the database holds it (blocks, items and values).
    tpfile::File state(std::int64_t id) const;

    // Records a drift check with the values that differ, in one transaction; returns its id.
    std::int64_t record_drift(const DriftCheck& c, const std::vector<DriftValue>& values);
    // The last drift check of each station of kind, by station name.
    std::vector<DriftCheck> last_drift_checks(int kind) const;
    // The values drift check id found different, in the order recorded.
    std::vector<DriftValue> drift_values(std::int64_t id) const;
    // Every change of a value of kind (old and new differ), by station, then in the order the
    // states were recorded.
    std::vector<ValueChange> value_changes(int kind) const;

    // Reads the TP file of station and its archive copies, oldest first, into a history that
    // holds no save of the station yet. Throws Error (Usage) when it holds some.
    ImportResult import(const std::string& station, int kind, const std::string& tpPath, const std::string& program);
    // Deletes the saves started before `before` (station empty: of every station), keeping per
    // station and kind the last one with values as the baseline of the later ones; and the
    // drift checks started before it.
    PruneResult prune(std::int64_t before, const std::string& station);

    sqlite3* handle() const { return db_; }

private:
    Database(sqlite3* db, std::string path) : db_(db), path_(std::move(path)) {}
    sqlite3* db_ = nullptr;
    std::string path_;
};

// What a database is answered with when it cannot be used: the message and, for a damaged
// one, how to start a new one.
std::string advice(const Error& e, const std::string& path);

}  // namespace history
