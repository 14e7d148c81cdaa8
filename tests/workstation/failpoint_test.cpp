// The failpoint registry: the name table, spec parsing, the n-th call and every call from the
// n-th on, per-key armings, the counters and the wait log.
#include <limits>

#include "common_fixture.h"
#include "libqvecommon.h"

using Failpoints = WsTemp;

namespace {
std::uint32_t open_and_close(const std::string& p) {
    HANDLE h = nullptr;
    if (QVEEngCreateFile(p.c_str(), GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr,
                         &h, 1) != 0)
        return 0xFFFF;
    return QVEEngCloseFile(h, 1);
}
}  // namespace

TEST_F(Failpoints, SecondCallOfQVEEngCloseFileReturnsFiveAndOnlyThatOneAndIsCounted) {
    const std::string f = path("a.bin");
    write(f, "x");
    EXPECT_EQ(open_and_close(f), 0u);  // reached before arming too
    std::string err;
    ASSERT_TRUE(failpoint::arm_from_spec("QVEEngCloseFile=5@2", &err)) << err;
    EXPECT_EQ(open_and_close(f), 0u);
    EXPECT_EQ(open_and_close(f), 5u);
    EXPECT_EQ(open_and_close(f), 0u);
    EXPECT_EQ(failpoint::calls("QVEEngCloseFile"), 3u);
    EXPECT_EQ(failpoint::reached("QVEEngCloseFile"), 4u);
    EXPECT_EQ(failpoint::fired("QVEEngCloseFile"), 1u);
    EXPECT_EQ(failpoint::reached("QVEEngCreateFile"), 4u);
    EXPECT_EQ(failpoint::fired("QVEEngCreateFile"), 0u);
    const auto all = failpoint::reached_all();
    ASSERT_EQ(all.size(), failpoint::kCount);
    EXPECT_EQ(all[static_cast<std::size_t>(failpoint::index_of("QVEEngCloseFile"))], 4u);
}

TEST_F(Failpoints, OnwardHexAndNegativeResults) {
    std::string err;
    ASSERT_TRUE(failpoint::arm_from_spec(" ZclOpen=0x20234104@3+ , ZclRead=-1 ;ZclWrite=7", &err)) << err;
    std::vector<long long> a;
    for (int i = 0; i < 5; ++i) a.push_back(failpoint::hit("ZclOpen").value_or(0));
    EXPECT_EQ(a, (std::vector<long long>{0, 0, 0x20234104, 0x20234104, 0x20234104}));
    EXPECT_EQ(failpoint::fired("ZclOpen"), 3u);
    EXPECT_EQ(failpoint::hit("ZclRead"), -1);
    EXPECT_EQ(failpoint::hit("ZclRead"), std::nullopt);
    EXPECT_EQ(failpoint::hit("ZclWrite"), 7);
    ASSERT_TRUE(failpoint::arm_from_spec("ZclClose = -9223372036854775808", &err)) << err;
    EXPECT_EQ(failpoint::hit("ZclClose"), std::numeric_limits<long long>::min());
    EXPECT_EQ(failpoint::hit("Engntoh"), std::nullopt);
    EXPECT_EQ(failpoint::calls("Engntoh"), 0u);
    failpoint::disarm("ZclOpen");
    EXPECT_EQ(failpoint::hit("ZclOpen"), std::nullopt);
}

TEST_F(Failpoints, MalformedSpecOrUnknownNameIsNamedAndArmsNothing) {
    struct Case {
        const char* spec;
        const char* said;
    } cases[] = {
        {"ZclOpen=1;NOEQ", "\"NOEQ\": expected"},
        {"ZclOpen=1;ZclRead=x1", "\"ZclRead=x1\": result"},
        {"ZclOpen=1,ZclRead=2@0", "\"ZclRead=2@0\": call number"},
        {"=3", "\"=3\""},
        {"ZclRead=", "\"ZclRead=\": result"},
        {"ZclOpen=1;ZclRead=9223372036854775808", "\"ZclRead=9223372036854775808\""},
        {"ZclOpen=1;ZclOpn=1", "no failpoint is named \"ZclOpn\""},
        {"ZclOpen=1;ZclOpen:12=1", "no failpoint is named \"ZclOpen:12\""},  // not a keyed name
        {"ZclOpen=1;IEdalInstGetSaveRecNo:12x=1", "\"IEdalInstGetSaveRecNo:12x\""},
    };
    for (const auto& c : cases) {
        std::string err;
        EXPECT_FALSE(failpoint::arm_from_spec(c.spec, &err)) << c.spec;
        EXPECT_NE(err.find(c.said), std::string::npos) << c.spec << ": " << err;
        EXPECT_EQ(failpoint::hit("ZclOpen"), std::nullopt) << c.spec;  // the valid item before it is not armed
    }
    EXPECT_FALSE(failpoint::arm("ZclOpn", 1));
    EXPECT_FALSE(failpoint::arm("", 1));
    EXPECT_EQ(failpoint::reached("ZclOpn"), 0u);
    EXPECT_TRUE(failpoint::arm("ZclOpen", 1));
}

TEST_F(Failpoints, KeyedArmingFailsOneKeyOnly) {
    ASSERT_TRUE(failpoint::arm("IEdalInstGetSaveRecNo:4097", 3, 2));
    EXPECT_EQ(failpoint::hit("IEdalInstGetSaveRecNo", 4097), std::nullopt);
    EXPECT_EQ(failpoint::hit("IEdalInstGetSaveRecNo", 5122), std::nullopt);
    EXPECT_EQ(failpoint::hit("IEdalInstGetSaveRecNo", 4097), 3);
    EXPECT_EQ(failpoint::calls("IEdalInstGetSaveRecNo:4097"), 2u);
    EXPECT_EQ(failpoint::reached("IEdalInstGetSaveRecNo"), 3u);
    EXPECT_EQ(failpoint::fired("IEdalInstGetSaveRecNo"), 1u);
    // The plain name fails every key.
    ASSERT_TRUE(failpoint::arm("IEdalInstGetSaveRecNo", 4));
    EXPECT_EQ(failpoint::hit("IEdalInstGetSaveRecNo", 5122), 4);
}

TEST_F(Failpoints, ArmFromEnvironment) {
    ::setenv("TUSAVE_FAILPOINTS", "ZclOpen=1@1+", 1);
    std::string err;
    ASSERT_TRUE(failpoint::arm_from_env(&err)) << err;
    EXPECT_EQ(failpoint::hit("ZclOpen"), 1);
    EXPECT_EQ(failpoint::hit("ZclOpen"), 1);
    ::setenv("TUSAVE_FAILPOINTS", "ZclOpen", 1);
    EXPECT_FALSE(failpoint::arm_from_env(&err));
    ::unsetenv("TUSAVE_FAILPOINTS");
    EXPECT_TRUE(failpoint::arm_from_env(&err));
}

TEST_F(Failpoints, WaitLogKeepsTheNewestAndResetClearsEverything) {
    failpoint::arm("ZclOpen", 1, 1, true);
    failpoint::record_wait("Sleep", 1000);
    failpoint::record_wait("WaitForMultipleObjects", 30000);
    auto w = failpoint::waits();
    ASSERT_EQ(w.size(), 2u);
    EXPECT_EQ(w[1].name, "WaitForMultipleObjects");
    EXPECT_EQ(w[1].ms, 30000u);
    for (std::uint32_t i = 0; i < 5000; ++i) failpoint::record_wait("Sleep", i);
    w = failpoint::waits();
    ASSERT_EQ(w.size(), 4096u);
    EXPECT_EQ(w.front().ms, 5000u - 4096u);
    EXPECT_EQ(w.back().ms, 4999u);
    failpoint::reset();
    EXPECT_EQ(failpoint::hit("ZclOpen"), std::nullopt);
    EXPECT_EQ(failpoint::calls("ZclOpen"), 0u);
    EXPECT_EQ(failpoint::reached("ZclOpen"), 1u);  // the call just made
    EXPECT_EQ(failpoint::fired("ZclOpen"), 0u);
    EXPECT_TRUE(failpoint::waits().empty());
}
