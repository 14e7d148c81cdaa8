// Recording one save around the library's call.
#include "recorder.h"

#include <pwd.h>
#include <unistd.h>

#include <cstring>
#include <utility>

#include "libqveeda/eda_status.h"
#include "LibQVCCommon.h"
#include "tusave_host.h"

namespace history {

std::string user_name() {
    struct passwd pw {};
    struct passwd* found = nullptr;
    char buf[4096];
    if (::getpwuid_r(::geteuid(), &pw, buf, sizeof buf, &found) == 0 && found && found->pw_name) return found->pw_name;
    if (const char* u = std::getenv("USER"); u && *u) return u;
    return "uid " + std::to_string(::geteuid());
}

std::string host_name() {
    char buf[256] = {};
    return ::gethostname(buf, sizeof buf - 1) == 0 ? std::string(buf) : std::string();
}

Recorder::Recorder(const RecorderOptions& o) : o_(o) {
    try {
        dbPath_ = database_path(o.project);
    } catch (const Error&) {
        // No project folder: the save fails and says why; there is no database to record in.
        return;
    }
    try {
        tpPath_ = tpfile::station_tp_path(o.project, o.station, o.kind == 3);
    } catch (const tpfile::Error&) {
        // No TP file to read (the save says why, if it matters): recorded without values.
    }
}

Recorder::~Recorder() {
    if (beforeFd_ >= 0) ::close(beforeFd_);
}

// The bytes of the TP file before the save and their hash, read from that file (the save
// replaces it by a new one: the old one stays as it was while open). One written over in place
// meanwhile is taken as unreadable: the values are recorded whole.
void Recorder::TakeBackBefore() {
    if (beforeFd_ < 0) return;
    const int fd = std::exchange(beforeFd_, -1);
    if (before_ && !read_kept_tp(fd, *before_)) before_ = TpFile{};
    ::close(fd);
}

void Recorder::start(std::optional<std::int64_t> started) {
    if (dbPath_.empty()) return;
    begin_ = std::chrono::steady_clock::now();
    tusave_host_bus_frames(&sent0_, &received0_);
    try {
        if (!tpPath_.empty()) {
            // Not read while the save runs: at its end, from the descriptor kept.
            before_ = read_tp(tpPath_, &beforeFd_);
        }
    } catch (const tpfile::Error&) {
        // Unreadable before the save: its values are recorded whole (a baseline).
        before_ = TpFile{};
    }
    try {
        db_.emplace(Database::open(dbPath_, true));
        SaveStart s;
        s.station = o_.station;
        s.kind = o_.kind;
        s.mode = o_.mode;
        s.started = moment(started ? *started : static_cast<std::int64_t>(QVCTime(nullptr)));
        s.user = user_name();
        s.host = host_name();
        s.program = o_.program;
        s.reason = o_.reason;
        id_ = db_->begin(s);
    } catch (const Error& e) {
        Fail(e.what(), false);
    }
}

void Recorder::line(const char* text) {
    if (text && std::strncmp(text, "WRN:", 4) == 0) ++warnings_;
}

void Recorder::Fail(const std::string& why, bool valuesOnly) {
    why_ = why;
    warning_ = (valuesOnly ? "WRN:The values of this save are" : "WRN:This save is") + std::string(kNotRecorded) + why;
    db_.reset();
}

void Recorder::finish(std::uint32_t result, unsigned blocks, unsigned records) {
    if (!db_ || id_ == 0) return;
    TakeBackBefore();
    SaveEnd e;
    e.ended = moment(static_cast<std::int64_t>(QVCTime(nullptr)));
    e.result = result;
    e.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin_).count();
    unsigned long sent = 0, received = 0;
    tusave_host_bus_frames(&sent, &received);
    e.framesSent = static_cast<std::int64_t>(sent - sent0_);
    e.framesReceived = static_cast<std::int64_t>(received - received0_);
    e.blocks = blocks;
    e.records = records;
    e.warnings = warnings_;
    // A save refused the generation lock wrote nothing: a TP file changed meanwhile is another
    // save's.
    const bool ran = result != eda::kLocked && result != eda::kIo;
    std::optional<TpFile> after;
    std::string valuesLost;
    if (ran && !tpPath_.empty()) {
        try {
            after = read_tp(tpPath_);
            // Not written by this save: no values.
            if (!after->exists || (before_ && before_->exists && after->identity == before_->identity)) after.reset();
        } catch (const tpfile::Error& x) {
            valuesLost = x.what();
        }
    }
    if (valuesLost.empty()) {
        try {
            db_->finish(id_, e, before_ ? &*before_ : nullptr, after ? &*after : nullptr);
            recorded_ = true;
            db_.reset();
            return;
        } catch (const Error& x) {
            valuesLost = x.what();
        } catch (const tpfile::Error& x) {
            valuesLost = x.what();
        }
    }
    // The values could not be written: the end state at least, so that the save does not show
    // as interrupted.
    try {
        db_->finish_plain(id_, e);
        recorded_ = true;
        Fail(valuesLost, true);
    } catch (const Error& x) {
        Fail(x.what(), false);
    }
}

std::string Recorder::summary() const {
    if (dbPath_.empty()) return {};
    if (recorded_ && why_.empty()) return "History: recorded as save " + std::to_string(id_) + " in " + dbPath_ + ".";
    if (recorded_) return "History: recorded as save " + std::to_string(id_) + " without its values (" + why_ + ").";
    return "History: not recorded (" + why_ + "); the save itself is not affected.";
}

}  // namespace history
