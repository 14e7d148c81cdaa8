// Byte-order converters: known byte patterns, round trips, record layouts, failpoints.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <array>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "failpoint/failpoint.h"
#include "libqvebc2fcs.h"
#include "libqvebc2fcs/bc2fcs_layout.h"
#include "libqvecommon.h"
#include "libqveengendian.h"

namespace {

template <class T>
T from(std::initializer_list<int> bytes) {
    T t{};
    int i = 0;
    for (int b : bytes) t.b[i++] = static_cast<std::uint8_t>(b);
    return t;
}

template <class T>
std::vector<int> bytes_of(const T& t) {
    return std::vector<int>(std::begin(t.b), std::end(t.b));
}

class Bc2Fcs : public ::testing::Test {
protected:
    void TearDown() override { failpoint::reset(); }
};

TEST_F(Bc2Fcs, HeaderSwapsEveryMultiByteFieldAndKeepsTheBytes) {
    auto h = from<FcMnSaveHeader>({0, 0, 0x21, 3, 1, 0, 0, 0, 0x96, 0x42, 0xA1, 0xA2, 0x00, 0x05, 0xB1, 0xB2,
                                   0x12, 0x34, 0x56, 0x78, 0x00, 0x18, 0x00, 0x03});
    ASSERT_EQ(bc2FcMnSaveHeader(&h, 0), 0);
    EXPECT_EQ(bytes_of(h), (std::vector<int>{0, 0, 0x21, 3, 1, 0, 0, 0, 0x42, 0x96, 0xA2, 0xA1, 0x05, 0x00,
                                             0xB2, 0xB1, 0x78, 0x56, 0x34, 0x12, 0x18, 0x00, 0x03, 0x00}));
    ASSERT_EQ(bc2FcMnSaveHeader(&h, 1), 0);
    EXPECT_EQ(h.b[8], 0x96);
    EXPECT_EQ(h.b[16], 0x12);
}

TEST_F(Bc2Fcs, ParameterLayoutFollowsTheKindByte) {
    // Block record: i16 block number at 2, u32 at 4.
    auto blk = from<FcMnSavePara>({1, 3, 0x00, 0x11, 0x01, 0x02, 0x03, 0x04});
    ASSERT_EQ(bc2FcMnSavePara(&blk, 1), 0);
    EXPECT_EQ(bytes_of(blk), (std::vector<int>{1, 3, 0x11, 0x00, 0x04, 0x03, 0x02, 0x01}));
    // Operation mark: two u16 at 4 and 6, not one u32.
    auto om = from<FcMnSavePara>({42, 0, 0, 0, 0x00, 0x0D, 0x00, 0x0C});
    ASSERT_EQ(bc2FcMnSavePara(&om, 1), 0);
    EXPECT_EQ(bytes_of(om), (std::vector<int>{42, 0, 0, 0, 0x0D, 0x00, 0x0C, 0x00}));
}

TEST_F(Bc2Fcs, ReplyParametersAndItemHeader) {
    auto st = from<FcMnSaveStartRtnPara>({0x53, 0x01, 0x00, 0x07, 0, 0, 0, 9});
    ASSERT_EQ(bc2FcMnSaveStartRtnPara(&st, 0), 0);
    EXPECT_EQ(bytes_of(st), (std::vector<int>{0x07, 0x00, 0x01, 0x53, 9, 0, 0, 0}));
    auto rq = from<FcMnSaveReqRtnPara>({0x00, 0x00, 0x02, 0xBC, 0, 0, 0, 0});
    ASSERT_EQ(bc2FcMnSaveReqRtnPara(&rq, 0), 0);
    EXPECT_EQ(bytes_of(rq), (std::vector<int>{0xBC, 0x02, 0, 0, 0, 0, 0, 0}));
    auto it = from<FcMnSaveData>({0x94, 0x12, 0, 1, 1, 5, 0x00, 0x11, 0x00, 0x03, 0x01, 0x00, 0, 0, 0x01, 0x20});
    ASSERT_EQ(bc2FcMnSaveData(&it, 0), 0);
    EXPECT_EQ(bytes_of(it),
              (std::vector<int>{0x12, 0x94, 1, 0, 1, 5, 0x11, 0x00, 0x03, 0x00, 0x00, 0x01, 0x20, 0x01, 0, 0}));
}

TEST_F(Bc2Fcs, EngntohSwapsBySizeAndBadArgumentsAreRefused) {
    std::uint8_t v[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    ASSERT_EQ(Engntoh(v, 2), 0);
    EXPECT_EQ(v[0], 2);
    EXPECT_EQ(v[1], 1);
    ASSERT_EQ(Engntoh(v, 8), 0);
    EXPECT_EQ(v[0], 8);
    EXPECT_EQ(v[7], 2);
    EXPECT_NE(Engntoh(v, 3), 0);
    FcMnSaveHeader h{};
    EXPECT_NE(bc2FcMnSaveHeader(&h, 2), 0);   // no such direction
    EXPECT_NE(bc2FcMnSaveHeader(nullptr, 0), 0);
    EXPECT_NE(bc2FcMnSaveData(nullptr, 1), 0);
}

// ---- records ----------------------------------------------------------------

const char* kUserInst = R"({ "format": "tusave-userinst", "version": 1, "models": [
  { "blockCode": 6226, "name": "PID", "records": [
      { "recNo": 2, "size": 16, "fields": [ { "offset": 0, "width": 2 }, { "offset": 4, "width": 4, "count": 2 },
                                            { "offset": 12, "width": 1 } ] },
      { "recNo": 3, "size": 8, "fields": [ { "offset": 4, "width": 4 } ] } ] } ] })";

// A buffer of the memory service holding text, so bc3RecordInBlock can learn its size.
struct MemText {
    explicit MemText(const std::string& s, std::size_t pad = 0) {
        p = static_cast<char*>(__QVEEngMalloc(s.size() + pad, "station_bc2fcs_test", __LINE__));
        std::memcpy(p, s.data(), s.size());
        std::memset(p + s.size(), 0, pad);
    }
    ~MemText() { __QVEEngFree(p, "station_bc2fcs_test", __LINE__); }
    MemText(const MemText&) = delete;
    MemText& operator=(const MemText&) = delete;
    char* p;
};

TEST_F(Bc2Fcs, RecordFieldsSwapByLayoutAndByteDataStays) {
    MemText ui(kUserInst, 1);  // with a NUL after the text
    std::array<std::uint8_t, 16> rec{};
    for (int i = 0; i < 16; ++i) rec[i] = static_cast<std::uint8_t>(0x10 + i);
    auto orig = rec;
    ASSERT_EQ(bc3RecordInBlock(rec.data(), nullptr, 6226, 2, 16, 0, ui.p), 0);
    std::array<std::uint8_t, 16> want = {0x11, 0x10, 0x12, 0x13, 0x17, 0x16, 0x15, 0x14,
                                         0x1B, 0x1A, 0x19, 0x18, 0x1C, 0x1D, 0x1E, 0x1F};
    EXPECT_EQ(rec, want);
    ASSERT_EQ(bc3RecordInBlock(rec.data(), nullptr, 6226, 2, 16, 1, ui.p), 0);
    EXPECT_EQ(rec, orig);
}

// The layouts are kept per buffer: another buffer (of the same size, so most often at the
// same address) with other layouts is read anew.
TEST_F(Bc2Fcs, AnotherUserInstanceBufferIsReadAnew) {
    std::array<std::uint8_t, 16> rec{};
    rec[0] = 1;
    {
        MemText ui(kUserInst);
        ASSERT_EQ(bc3RecordInBlock(rec.data(), nullptr, 6226, 2, 16, 0, ui.p), 0);
    }
    EXPECT_EQ(rec[1], 1);
    std::string other = kUserInst;
    other.replace(other.find("6226"), 4, "6227");
    MemText ui(other);
    EXPECT_NE(bc3RecordInBlock(rec.data(), nullptr, 6226, 2, 16, 0, ui.p), 0);
    ASSERT_EQ(bc3RecordInBlock(rec.data(), nullptr, 6227, 2, 16, 0, ui.p), 0);
    EXPECT_EQ(rec[0], 1);
}

TEST_F(Bc2Fcs, RecordUnknownOrWrongSizeIsRefusedUntouched) {
    MemText ui(kUserInst);
    std::array<std::uint8_t, 16> rec{};
    rec[0] = 1;
    EXPECT_NE(bc3RecordInBlock(rec.data(), nullptr, 6227, 2, 16, 0, ui.p), 0);  // unknown block code
    EXPECT_NE(bc3RecordInBlock(rec.data(), nullptr, 6226, 4, 16, 0, ui.p), 0);  // unknown record
    EXPECT_NE(bc3RecordInBlock(rec.data(), nullptr, 6226, 2, 15, 0, ui.p), 0);  // size differs
    EXPECT_NE(bc3RecordInBlock(rec.data(), nullptr, 6226, 2, -1, 0, ui.p), 0);
    EXPECT_EQ(rec[0], 1);
    EXPECT_EQ(rec[1], 0);
}

TEST_F(Bc2Fcs, RecordLayoutFaultsAreRefused) {
    struct Case {
        const char* why;
        std::string json;
    } cases[] = {
        {"field past the record", R"({"format":"tusave-userinst","version":1,"models":[{"blockCode":1,"records":[
            {"recNo":2,"size":8,"fields":[{"offset":4,"width":4,"count":2}]}]}]})"},
        {"overlapping fields", R"({"format":"tusave-userinst","version":1,"models":[{"blockCode":1,"records":[
            {"recNo":2,"size":8,"fields":[{"offset":0,"width":4},{"offset":2,"width":2}]}]}]})"},
        {"width 3", R"({"format":"tusave-userinst","version":1,"models":[{"blockCode":1,"records":[
            {"recNo":2,"size":8,"fields":[{"offset":0,"width":3}]}]}]})"},
        {"malformed JSON", R"({"format":"tusave-userinst","version":1,"models":[{"blockCode":1,)"},
        {"wrong format", R"({"format":"other","version":1,"models":[]})"},
        {"format not a string", R"({"format":1,"version":1,"models":[]})"},
    };
    for (const auto& c : cases) {
        MemText ui(c.json);
        std::array<std::uint8_t, 8> rec{1, 2, 3, 4, 5, 6, 7, 8};
        EXPECT_NE(bc3RecordInBlock(rec.data(), nullptr, 1, 2, 8, 0, ui.p), 0) << c.why;
        EXPECT_EQ(rec[0], 1) << c.why;
    }
    // Not a buffer of the memory service: its size is unknown.
    std::string plain = kUserInst;
    std::array<std::uint8_t, 8> rec{};
    EXPECT_NE(bc3RecordInBlock(rec.data(), nullptr, 6226, 3, 8, 0, plain.data()), 0);
}

// Layouts are cached per buffer: two buffers keep their own, and changed contents of one buffer
// are parsed anew.
TEST_F(Bc2Fcs, LayoutsFollowTheBufferAndItsContents) {
    const std::string two = R"({"format":"tusave-userinst","version":1,"models":[{"blockCode":7,"records":[
        {"recNo":2,"size":4,"fields":[{"offset":0,"width":2}]}]}]})";
    std::string four = two;
    four.replace(four.find("\"width\":2"), 9, "\"width\":4");
    MemText a(two), b(four);
    using R = std::array<std::uint8_t, 4>;
    auto conv = [](const MemText& ui) {
        R r{1, 2, 3, 4};
        EXPECT_EQ(bc3RecordInBlock(r.data(), nullptr, 7, 2, 4, 0, ui.p), 0);
        return r;
    };
    for (int round = 0; round < 2; ++round) {
        EXPECT_EQ(conv(a), (R{2, 1, 3, 4}));
        EXPECT_EQ(conv(b), (R{4, 3, 2, 1}));
    }
    std::memcpy(a.p, four.data(), four.size());
    EXPECT_EQ(conv(a), (R{4, 3, 2, 1}));
}

}  // namespace

// A user instance file that cannot be used is named in the reason, as a broken system
// configuration is.
TEST(UserInstFile, CheckNamesTheFileAndWhatIsWrong) {
    char tmpl[] = "/tmp/userinst_test_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    const std::string path = std::string(tmpl) + "/userinst.json";
    const std::pair<const char*, std::string> cases[] = {
        {nullptr, "cannot read " + path + ": No such file"},
        {"{ \"format\": ", path + ": user instance file: malformed JSON"},
        {"{\"format\": \"other\"}", path + ": user instance file: \"format\" is not \"tusave-userinst\""},
        {"{\"format\": \"tusave-userinst\", \"version\": 1, \"models\": []}", ""},
    };
    for (const auto& [text, want] : cases) {
        if (text) std::ofstream(path, std::ios::trunc) << text;
        std::string error;
        EXPECT_EQ(bc2fcs::check_user_inst_file(path, error), want.empty()) << error;
        EXPECT_EQ(error.rfind(want, 0), 0u) << error;
    }
    std::filesystem::remove_all(tmpl);
}
