// Reference database: opening, the element table check and the block element listing.
#include <sqlite3.h>

#include <array>

#include "eda_fixture.h"
#include "libqveeda.h"
#include "libqveeda/eda_status.h"

using edatest::EdaHome;

namespace {

class RefDbTest : public EdaHome {
protected:
    // Builds a database in the documented schema (or in schema, when given) with rows.
    std::string make_db(const std::vector<std::array<const char*, 5>>& rows, const char* schema = nullptr) {
        const std::string path = home_ + "/reference.sqlite";
        std::filesystem::remove(path);
        sqlite3* db = nullptr;
        EXPECT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
        const char* ddl = schema ? schema
                                 : "CREATE TABLE element (name TEXT PRIMARY KEY, kind TEXT NOT NULL, location TEXT "
                                   "NOT NULL, file_name TEXT NOT NULL, tag TEXT NOT NULL DEFAULT '');";
        EXPECT_EQ(sqlite3_exec(db, ddl, nullptr, nullptr, nullptr), SQLITE_OK);
        for (const auto& r : rows) {
            sqlite3_stmt* st = nullptr;
            sqlite3_prepare_v2(db, "INSERT INTO element VALUES (?1, ?2, ?3, ?4, ?5)", -1, &st, nullptr);
            for (int i = 0; i < 5; ++i) sqlite3_bind_text(st, i + 1, r[i], -1, SQLITE_TRANSIENT);
            EXPECT_EQ(sqlite3_step(st), SQLITE_DONE);
            sqlite3_finalize(st);
        }
        sqlite3_close(db);
        return path;
    }

    std::uint32_t list_blocks(CQVEEdaRefFCS& ref, QVEElemList& out, std::uint32_t sortField = 1) {
        _QVEElemTbl sel;
        _QVEElemTblSort sort;
        EXPECT_EQ(ref.ElemTblInit(&sel, 1), 0u);
        EXPECT_EQ(ref.ElemTblSortInit(&sort), 0u);
        sel.strSelect = ref.ElemTblText("%BL");
        sort.nField[5] = sortField;
        return ref.ElemTblListAll(&sel, &sort, out);
    }
};

TEST_F(RefDbTest, ListingHoldsOnlyBlockElementsInByteOrder) {
    const std::string db = make_db({{"%BLa", "%BL", "DR0004", "FILEA", "TAG-A"},
                                    {"%BL0100", "%BL", "DR0002", "FILE100", "TIC100"},
                                    {"%SW0001", "%SW", "DR0001", "SW", "SW1"},
                                    {"%BL\xC3\xA9", "%BL", "DR0009", "FILEE", ""},
                                    {"%BL0010", "%BL", "DR0001", "FILE010", "FIC010"},
                                    {"%BLZ", "%BL", "DR0003", "FILEZ", "Z"},
                                    {"%BLX", "%bl", "DR0003", "LOWER", "kind differs in case"}});
    CQVEEdaRefFCS ref;
    ASSERT_EQ(ref.DbOpen(db.c_str(), 0, 0), 0u) << eda::last_error();
    ASSERT_EQ(ref.ElemTblOpen(0, 0), 0u) << eda::last_error();
    QVEElemList list;
    ASSERT_EQ(list_blocks(ref, list), 0u) << eda::last_error();
    std::vector<std::string> names;
    for (const auto& e : list) names.push_back(list.Text(e.strElemName));
    EXPECT_EQ(names, (std::vector<std::string>{"%BL0010", "%BL0100", "%BLZ", "%BLa", "%BL\xC3\xA9"}));
    ASSERT_EQ(list.size(), 5u);
    const _QVEElemTbl& e = list[1];
    EXPECT_EQ((std::vector<std::string>{list.Text(e.strLocation), list.Text(e.strFileName), list.Text(e.strSelect),
                                        list.Text(e.str1), list.Text(e.str7)}),
              (std::vector<std::string>{"DR0002", "FILE100", "%BL", "TIC100", ""}));

    // Unsorted: the table's own order. A listing appends to what the list holds.
    QVEElemList unsorted;
    unsorted.Add("first", "L1");
    ASSERT_EQ(list_blocks(ref, unsorted, 0), 0u);
    ASSERT_EQ(unsorted.size(), 6u);
    EXPECT_STREQ(unsorted.Text(unsorted[0].strLocation), "L1");
    EXPECT_STREQ(unsorted.Text(unsorted[1].strElemName), "%BLa");
    EXPECT_STREQ(unsorted.Text(unsorted[2].strElemName), "%BL0100");

    EXPECT_EQ(ref.ElemTblClose(), 0u);
    EXPECT_EQ(ref.ElemTblClose(), eda::kNotOpen);
    EXPECT_EQ(list_blocks(ref, list), eda::kNotOpen);
    EXPECT_EQ(ref.DbClose(), 0u);
    EXPECT_EQ(ref.DbClose(), eda::kNotOpen);
}

TEST_F(RefDbTest, MissingOrForeignFilesAndTablesAreRefused) {
    CQVEEdaRefFCS ref;
    const std::string missing = home_ + "/none.sqlite";
    EXPECT_EQ(ref.DbOpen(missing.c_str(), 0, 0), eda::kDatabase);
    EXPECT_NE(eda::last_error().find(missing), std::string::npos) << eda::last_error();
    EXPECT_FALSE(std::filesystem::exists(missing));  // read-only: never created
    EXPECT_EQ(ref.DbOpen(nullptr, 0, 0), eda::kBadName);

    write("text.sqlite", std::string(4096, 'x'));
    EXPECT_EQ(ref.DbOpen((home_ + "/text.sqlite").c_str(), 0, 0), eda::kDatabase);
    EXPECT_EQ(ref.ElemTblOpen(0, 0), eda::kNotOpen);

    const std::string noTable = make_db({}, "CREATE TABLE other (x TEXT);");
    ASSERT_EQ(ref.DbOpen(noTable.c_str(), 0, 0), 0u);
    EXPECT_EQ(ref.DbOpen(noTable.c_str(), 0, 0), eda::kAlreadyOpen);
    EXPECT_EQ(ref.ElemTblOpen(0, 0), eda::kNoTable);
    EXPECT_NE(eda::last_error().find("reference.sqlite"), std::string::npos) << eda::last_error();
    EXPECT_EQ(ref.DbClose(), 0u);

    const std::string oldSchema = make_db({}, "CREATE TABLE element (name TEXT, kind TEXT, location TEXT);");
    ASSERT_EQ(ref.DbOpen(oldSchema.c_str(), 0, 0), 0u);
    EXPECT_EQ(ref.ElemTblOpen(0, 0), eda::kNoTable);
}

TEST_F(RefDbTest, FailpointsGiveTheirCodeAndLeaveTheListAlone) {
    const std::string db = make_db({{"%BL0001", "%BL", "DR0001", "F", ""}});
    CQVEEdaRefFCS ref;
    failpoint::arm("DbOpen", 9);
    EXPECT_EQ(ref.DbOpen(db.c_str(), 0, 0), 9u);
    ASSERT_EQ(ref.DbOpen(db.c_str(), 0, 0), 0u);
    failpoint::arm("ElemTblOpen", 10);
    EXPECT_EQ(ref.ElemTblOpen(0, 0), 10u);
    ASSERT_EQ(ref.ElemTblOpen(0, 0), 0u);
    failpoint::arm("ElemTblListAll", 11);
    QVEElemList list;
    EXPECT_EQ(list_blocks(ref, list), 11u);
    EXPECT_TRUE(list.empty());
    EXPECT_EQ(list_blocks(ref, list), 0u);
    EXPECT_EQ(list.size(), 1u);
    failpoint::arm("ElemTblClose", 12);
    EXPECT_EQ(ref.ElemTblClose(), 12u);
    failpoint::arm("DbClose", 13);
    EXPECT_EQ(ref.DbClose(), 13u);
    EXPECT_EQ(ref.DbClose(), 0u);
}

}  // namespace
