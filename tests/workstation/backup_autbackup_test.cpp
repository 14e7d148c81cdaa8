// History database registration and automatic backup.
#include <regex>

#include "eda_fixture.h"
#include "LibQVEFDAHistDB.h"
#include "libqveBackupEpa.h"
#include "libqveeda/eda_status.h"

using edatest::EdaHome;

namespace {

using BackupTest = EdaHome;

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    std::stringstream ss(text);
    for (std::string l; std::getline(ss, l);) out.push_back(l);
    return out;
}

std::vector<std::string> subdirs(const std::string& dir) {
    std::vector<std::string> out;
    if (!std::filesystem::exists(dir)) return out;
    for (const auto& e : std::filesystem::directory_iterator(dir))
        if (e.is_directory()) out.push_back(e.path().filename().string());
    std::sort(out.begin(), out.end());
    return out;
}

TEST_F(BackupTest, HistoryRegistrationIsOneLinePerCall) {
    ASSERT_EQ(CQVEFDADBAccess::PutFileOnly(1, "DEMO", "FCS0101", 1, {}), 0u) << eda::last_error();
    ASSERT_EQ(CQVEFDADBAccess::PutFileOnly(2, "DEMO", "FCS0102", 0, {"a.edf", "b.txt"}), 0u);
    const auto l = lines(read("log/histdb.log"));
    ASSERT_EQ(l.size(), 2u);
    const std::regex time(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d)");
    EXPECT_TRUE(std::regex_match(l[0].substr(0, 19), time)) << l[0];
    EXPECT_EQ(l[0].substr(19), "\tDEMO\tFCS0101\tkind=1\tflag=1\tfiles=");
    EXPECT_EQ(l[1].substr(19), "\tDEMO\tFCS0102\tkind=2\tflag=0\tfiles=a.edf;b.txt");

    EXPECT_EQ(CQVEFDADBAccess::PutFileOnly(1, "DEMO", "FCS0101", 1, {"x\ny"}), eda::kBadName);
    EXPECT_EQ(CQVEFDADBAccess::PutFileOnly(1, "DEMO", "a/b", 1, {}), eda::kBadName);
    EXPECT_EQ(lines(read("log/histdb.log")).size(), 2u);
}

TEST_F(BackupTest, AutomaticBackupModeAndComment) {
    EXPECT_EQ(CQVEFCSAutBackup::IsFCSAutBackupMode("DEMO", "FCS0101", 0), 1);
    EXPECT_EQ(CQVEFCSAutBackup::IsFCSAutBackupMode("DEMO", "FCS0102", 0), 0);
    EXPECT_EQ(CQVEFCSAutBackup::IsFCSAutBackupMode("DEMO", "..", 0), 0);

    std::tm tm{};
    tm.tm_year = 2026 - 1900;
    tm.tm_mon = 11;
    tm.tm_mday = 6;
    tm.tm_hour = 9;
    tm.tm_min = 5;
    tm.tm_sec = 7;
    tm.tm_isdst = -1;
    const std::time_t start = std::mktime(&tm);
    ASSERT_EQ(CQVEFCSAutBackup::CreateComment("DEMO", "FCS0101", start, 74, 3, "Tuning save\nsecond", "FCS0101"), 0u)
        << eda::last_error();
    EXPECT_EQ(read("backup/DEMO/FCS0101/comments.log"), "2026-12-06 09:05:07\tkind=74\tvalue=3\tTuning save second\n");
    EXPECT_EQ(CQVEFCSAutBackup::CreateComment("DEMO", "../x", start, 74, 3, "t", "x"), eda::kBadName);
}

TEST_F(BackupTest, BackupCopiesDatabaseAndTpFileIntoADatedFolder) {
    const std::string bdir = home_ + "/backup/DEMO/FCS0101";
    EXPECT_EQ(CQVEFCSAutBackup::BackupFCS("DEMO", "FCS0101", 1), eda::kNoFile);
    EXPECT_NE(eda::last_error().find("FCS0101/DB/stndb.sfdata"), std::string::npos);
    EXPECT_TRUE(subdirs(bdir).empty());

    std::string image(4096, '\0');
    image.replace(0, 8, "TUSFDB01");
    write("projects/DEMO/FCS0101/DB/stndb.sfdata", image);
    ASSERT_EQ(CQVEFCSAutBackup::BackupFCS("DEMO", "FCS0101", 1), 0u) << eda::last_error();  // no TP file yet
    write("projects/DEMO/FCS0101/TP/tuning.tps", "TP text\n");
    ASSERT_EQ(CQVEFCSAutBackup::BackupFCS("DEMO", "FCS0101", 1), 0u) << eda::last_error();

    const auto dirs = subdirs(bdir);
    ASSERT_EQ(dirs.size(), 2u);  // two backups, even within one second
    EXPECT_TRUE(std::regex_match(dirs[0], std::regex(R"(\d{14})"))) << dirs[0];
    const std::string first = "backup/DEMO/FCS0101/" + dirs[0];
    const std::string second = "backup/DEMO/FCS0101/" + dirs[1];
    EXPECT_EQ(read(first + "/stndb.sfdata"), image);
    EXPECT_FALSE(std::filesystem::exists(home_ + "/" + first + "/tuning.tps"));
    EXPECT_EQ(read(second + "/stndb.sfdata"), image);
    EXPECT_EQ(read(second + "/tuning.tps"), "TP text\n");
    for (const auto& e : std::filesystem::directory_iterator(home_ + "/" + second))
        EXPECT_EQ(e.path().extension(), e.path().filename() == "tuning.tps" ? ".tps" : ".sfdata");  // no temporaries

    EXPECT_EQ(CQVEFCSAutBackup::BackupFCS("DEMO", "a/b", 1), eda::kBadName);
}

}  // namespace
