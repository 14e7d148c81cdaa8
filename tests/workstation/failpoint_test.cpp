// The failpoint registry: spec parsing, the n-th call and every call from the n-th on.
#include <limits>

#include "libqvecommon.h"
#include "common_fixture.h"

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

TEST_F(Failpoints, SecondCallOfQVEEngCloseFileReturnsFiveAndOnlyThatOne) {
    const std::string f = path("a.bin");
    write(f, "x");
    std::string err;
    ASSERT_TRUE(failpoint::arm_from_spec("QVEEngCloseFile=5@2", &err)) << err;
    EXPECT_EQ(open_and_close(f), 0u);
    EXPECT_EQ(open_and_close(f), 5u);
    EXPECT_EQ(open_and_close(f), 0u);
    EXPECT_EQ(open_and_close(f), 0u);
    EXPECT_EQ(failpoint::calls("QVEEngCloseFile"), 4u);
}

TEST_F(Failpoints, OnwardHexAndNegativeResults) {
    std::string err;
    ASSERT_TRUE(failpoint::arm_from_spec(" A=0x20234104@3+ , B=-1 ;C=7", &err)) << err;
    std::vector<long long> a;
    for (int i = 0; i < 5; ++i) a.push_back(failpoint::hit("A").value_or(0));
    EXPECT_EQ(a, (std::vector<long long>{0, 0, 0x20234104, 0x20234104, 0x20234104}));
    EXPECT_EQ(failpoint::hit("B"), -1);
    EXPECT_EQ(failpoint::hit("B"), std::nullopt);
    EXPECT_EQ(failpoint::hit("C"), 7);
    ASSERT_TRUE(failpoint::arm_from_spec("E = -9223372036854775808", &err)) << err;
    EXPECT_EQ(failpoint::hit("E"), std::numeric_limits<long long>::min());
    EXPECT_EQ(failpoint::hit("D"), std::nullopt);
    EXPECT_EQ(failpoint::calls("D"), 0u);
    failpoint::disarm("A");
    EXPECT_EQ(failpoint::hit("A"), std::nullopt);
}

TEST_F(Failpoints, MalformedSpecNamesTheItemAndArmsNothing) {
    struct Case {
        const char* spec;
        const char* item;
    } cases[] = {{"A=1;NOEQ", "NOEQ"}, {"A=1;B=x1", "B=x1"}, {"A=1,B=2@0", "B=2@0"}, {"=3", "=3"}, {"B=", "B="}, {"A=1;B=9223372036854775808", "B=9223372036854775808"}};
    for (const auto& c : cases) {
        std::string err;
        EXPECT_FALSE(failpoint::arm_from_spec(c.spec, &err)) << c.spec;
        EXPECT_NE(err.find(std::string("\"") + c.item + "\""), std::string::npos) << err;
        EXPECT_EQ(failpoint::hit("A"), std::nullopt) << c.spec;  // the valid item before it is not armed
    }
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

TEST_F(Failpoints, ResetClearsArmingsCountersAndTheWaitLog) {
    failpoint::arm("X", 1, 1, true);
    failpoint::record_wait("Sleep", 1000);
    failpoint::reset();
    EXPECT_EQ(failpoint::hit("X"), std::nullopt);
    EXPECT_EQ(failpoint::calls("X"), 0u);
    EXPECT_TRUE(failpoint::waits().empty());
}
