// Reference database of a station: an SQLite file opened read-only, schema in docs/layout.md.
#include <fcntl.h>
#include <sqlite3.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>
#include <utility>

#include "failpoint/failpoint.h"
#include "libqveeda.h"
#include "libqveeda/eda_status.h"
#include "port/port_host.h"

using namespace eda;

namespace {

// A listing larger than this is not a station's element table.
constexpr std::size_t kMaxElements = 1u << 20;

std::uint32_t failpoint_or_ok(failpoint::Point p) {
    if (auto r = failpoint::hit(p)) return fail(static_cast<std::uint32_t>(*r), std::string(p.name()) + ": failpoint");
    return kOk;
}

std::string column_text(sqlite3_stmt* st, int col) {
    const unsigned char* t = sqlite3_column_text(st, col);
    if (t == nullptr) return {};
    return std::string(reinterpret_cast<const char*>(t), static_cast<std::size_t>(sqlite3_column_bytes(st, col)));
}

struct Stmt {
    sqlite3_stmt* st = nullptr;
    ~Stmt() { sqlite3_finalize(st); }
};

}  // namespace

CQVEEdaRDBFile::CQVEEdaRDBFile() = default;

CQVEEdaRDBFile::~CQVEEdaRDBFile() = default;

std::uint32_t CQVEEdaRDBFile::DbOpen(const char* path, int /*mode*/, int /*flag*/) {
    if (auto r = failpoint_or_ok("DbOpen")) return r;
    if (db_ != nullptr) return fail(kAlreadyOpen, "DbOpen: a reference database is already open");
    if (path == nullptr || *path == '\0') return fail(kBadName, "DbOpen: no path given");
    // SQLite's own open would block on a FIFO: only a regular file is handed to it.
    if (const int fd = port::open_regular(path, O_RDONLY); fd < 0)
        return fail(kDatabase, std::string(path) + ": cannot open the reference database: " + std::strerror(errno));
    else
        ::close(fd);
    sqlite3* db = nullptr;
    int rc = sqlite3_open_v2(path, &db, SQLITE_OPEN_READONLY | SQLITE_OPEN_NOMUTEX, nullptr);
    if (rc != SQLITE_OK) {
        std::string msg = std::string(path) + ": cannot open the reference database: " +
                          (db ? sqlite3_errmsg(db) : sqlite3_errstr(rc));
        sqlite3_close_v2(db);
        return fail(kDatabase, std::move(msg));
    }
    // The open is lazy: read the schema now so that a file that is no database fails here.
    rc = sqlite3_exec(db, "SELECT count(*) FROM sqlite_master", nullptr, nullptr, nullptr);
    if (rc != SQLITE_OK) {
        std::string msg = std::string(path) + ": not a reference database: " + sqlite3_errmsg(db);
        sqlite3_close_v2(db);
        return fail(kDatabase, std::move(msg));
    }
    owner_.reset(db, [](sqlite3* h) { sqlite3_close_v2(h); });
    db_ = db;
    return kOk;
}

std::uint32_t CQVEEdaRDBFile::DbClose() {
    if (auto r = failpoint_or_ok("DbClose")) return r;
    if (db_ == nullptr) return fail(kNotOpen, "DbClose: no reference database open");
    // The handle closes here unless a copy still holds it.
    owner_.reset();
    db_ = nullptr;
    return kOk;
}

std::uint32_t CQVEEdaRefCom::ListRows(const char* table, std::vector<std::vector<std::string>>& rows) {
    if (auto r = failpoint_or_ok("ListRows")) return r;
    if (db_ == nullptr) return fail(kNotOpen, "ListRows: no reference database open");
    if (table == nullptr) return fail(kBadArgument, "ListRows: no table given");
    Stmt s;
    // The name is bound as a quoted identifier: a table name cannot change the statement.
    std::string quoted = "\"";
    for (const char* c = table; *c; ++c) quoted += *c == '"' ? std::string("\"\"") : std::string(1, *c);
    quoted += '"';
    const std::string sql = "SELECT * FROM " + quoted + " ORDER BY rowid";
    if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &s.st, nullptr) != SQLITE_OK)
        return fail(kNoTable, std::string("ListRows: ") + sqlite3_db_filename(db_, "main") + ": " + sqlite3_errmsg(db_));
    std::vector<std::vector<std::string>> got;
    for (;;) {
        const int rc = sqlite3_step(s.st);
        if (rc == SQLITE_DONE) break;
        if (rc != SQLITE_ROW) return fail(kDatabase, std::string("ListRows: ") + sqlite3_errmsg(db_));
        if (got.size() >= kMaxElements)
            return fail(kTooMany, "ListRows: more than " + std::to_string(kMaxElements) + " rows");
        std::vector<std::string> row;
        for (int c = 0, n = sqlite3_column_count(s.st); c < n; ++c) row.push_back(column_text(s.st, c));
        got.push_back(std::move(row));
    }
    rows = std::move(got);
    return kOk;
}

std::uint32_t CQVEEdaRefFCS::ElemTblOpen(int /*mode*/, int /*flag*/) {
    if (auto r = failpoint_or_ok("ElemTblOpen")) return r;
    if (db_ == nullptr) return fail(kNotOpen, "ElemTblOpen: no reference database open");
    Stmt s;
    // Preparing a select of every documented column checks the table and its schema at once.
    if (sqlite3_prepare_v2(db_, "SELECT name, kind, location, file_name, tag FROM element LIMIT 0", -1, &s.st,
                           nullptr) != SQLITE_OK)
        return fail(kNoTable, std::string("ElemTblOpen: ") + sqlite3_db_filename(db_, "main") +
                                  ": no element table: " + sqlite3_errmsg(db_));
    tblOpen_ = true;
    return kOk;
}

std::uint32_t CQVEEdaRefFCS::ElemTblClose() {
    if (auto r = failpoint_or_ok("ElemTblClose")) return r;
    if (!tblOpen_) return fail(kNotOpen, "ElemTblClose: the element table is not open");
    tblOpen_ = false;
    return kOk;
}

std::uint32_t CQVEEdaRefFCS::ElemTblInit(_QVEElemTbl* sel, int /*flag*/) {
    if (auto r = failpoint_or_ok("ElemTblInit")) return r;
    if (sel == nullptr) return fail(kBadArgument, "ElemTblInit: no selection record");
    *sel = _QVEElemTbl{};
    return kOk;
}

std::uint32_t CQVEEdaRefFCS::ElemTblSortInit(_QVEElemTblSort* sort) {
    if (auto r = failpoint_or_ok("ElemTblSortInit")) return r;
    if (sort == nullptr) return fail(kBadArgument, "ElemTblSortInit: no sort record");
    *sort = _QVEElemTblSort{};
    return kOk;
}

QVEElemText CQVEEdaRefFCS::ElemTblText(std::string_view text) { return selTexts_.Add(text).value_or(QVEElemText{}); }

std::uint32_t CQVEEdaRefFCS::ElemTblListAll(_QVEElemTbl* sel, _QVEElemTblSort* sort, QVEElemList& list) {
    if (auto r = failpoint_or_ok("ElemTblListAll")) return r;
    if (sel == nullptr) return fail(kBadArgument, "ElemTblListAll: no selection record");
    if (db_ == nullptr || !tblOpen_) return fail(kNotOpen, "ElemTblListAll: the element table is not open");
    const bool byName = sort != nullptr && sort->nField[5] == 1;
    // An empty selection lists every element.
    const std::string_view select = selTexts_.Text(sel->strSelect);
    const bool all = select.empty();
    std::string where = all ? "" : " WHERE kind = ?1";
    const std::string order = byName ? " ORDER BY name COLLATE BINARY ASC" : " ORDER BY rowid";
    // One pass over the rows into element records and one pool of their texts.
    Stmt s;
    if (sqlite3_prepare_v2(db_, ("SELECT name, kind, location, file_name, tag FROM element" + where + order).c_str(),
                           -1, &s.st, nullptr) != SQLITE_OK)
        return fail(kDatabase, std::string("ElemTblListAll: ") + sqlite3_errmsg(db_));
    if (!all) sqlite3_bind_text(s.st, 1, select.data(), static_cast<int>(select.size()), SQLITE_STATIC);
    auto dbError = [&] {
        return fail(kDatabase, std::string("ElemTblListAll: ") + sqlite3_db_filename(db_, "main") + ": " +
                                   sqlite3_errmsg(db_));
    };
    // Built aside and handed over only when the whole listing succeeded: the caller never
    // sees half a table.
    QVEElemList rows = list;
    const std::size_t before = list.size();
    for (;;) {
        const int rc = sqlite3_step(s.st);
        if (rc == SQLITE_DONE) break;
        if (rc != SQLITE_ROW) return dbError();
        if (rows.size() - before >= kMaxElements)
            return fail(kTooMany, "ElemTblListAll: more than " + std::to_string(kMaxElements) + " elements");
        std::optional<QVEElemText> t[5];
        for (int c = 0; c < 5; ++c) {
            const auto* p = reinterpret_cast<const char*>(sqlite3_column_text(s.st, c));
            t[c] = rows.AddText(p ? std::string_view(p, static_cast<std::size_t>(sqlite3_column_bytes(s.st, c)))
                                  : std::string_view());
            if (!t[c]) return fail(kTooMany, "ElemTblListAll: the element texts exceed 4 GB");
        }
        _QVEElemTbl e;
        e.strElemName = *t[0];
        e.strSelect = *t[1];
        e.strLocation = *t[2];
        e.strFileName = *t[3];
        e.str1 = *t[4];
        rows.Add(e);
    }
    list = std::move(rows);
    // The listing read the whole table once: its pages are not needed again while the caller
    // works through the list.
    sqlite3_finalize(std::exchange(s.st, nullptr));
    sqlite3_db_release_memory(db_);
    return kOk;
}
