// Byte-order converters: known byte patterns both ways, bad arguments, record layouts.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <array>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "libqvebc2fcs.h"
#include "libqvebc2fcs/bc2fcs_layout.h"
#include "libqvecommon.h"
#include "libqveengendian.h"

namespace {

using V = std::vector<int>;

// The bytes converted by F in direction dir.
template <class T, int (*F)(T*, int)>
V conv(const V& in, int dir) {
    T t{};
    std::copy(in.begin(), in.end(), std::begin(t.b));
    EXPECT_EQ(F(&t, dir), 0);
    return V(std::begin(t.b), std::end(t.b));
}

TEST(Bc2Fcs, FramePartsSwapEveryMultiByteFieldAndKeepTheBytes) {
    const V wire = {0, 0, 0x21, 3, 1, 0, 0, 0, 0x96, 0x42, 0xA1, 0xA2, 0x00, 0x05, 0xB1, 0xB2, 0x12, 0x34, 0x56, 0x78,
                    0x00, 0x18, 0x00, 0x03},
            host = {0, 0, 0x21, 3, 1, 0, 0, 0, 0x42, 0x96, 0xA2, 0xA1, 0x05, 0x00, 0xB2, 0xB1, 0x78, 0x56, 0x34, 0x12,
                    0x18, 0x00, 0x03, 0x00};
    struct Case {
        const char* name;
        V (*f)(const V&, int);
        int dir;
        V in, want;
    } cases[] = {
        {"header", conv<FcMnSaveHeader, bc2FcMnSaveHeader>, 0, wire, host},
        {"header back", conv<FcMnSaveHeader, bc2FcMnSaveHeader>, 1, host, wire},
        // Block record: i16 block number at 2, u32 at 4. Operation mark: two u16 at 4 and 6.
        {"block record", conv<FcMnSavePara, bc2FcMnSavePara>, 1, {1, 3, 0x00, 0x11, 0x01, 0x02, 0x03, 0x04},
         {1, 3, 0x11, 0x00, 0x04, 0x03, 0x02, 0x01}},
        {"operation mark", conv<FcMnSavePara, bc2FcMnSavePara>, 1, {42, 0, 0, 0, 0x00, 0x0D, 0x00, 0x0C},
         {42, 0, 0, 0, 0x0D, 0x00, 0x0C, 0x00}},
        {"start reply", conv<FcMnSaveStartRtnPara, bc2FcMnSaveStartRtnPara>, 0, {0x53, 0x01, 0x00, 0x07, 0, 0, 0, 9},
         {0x07, 0x00, 0x01, 0x53, 9, 0, 0, 0}},
        {"save reply", conv<FcMnSaveReqRtnPara, bc2FcMnSaveReqRtnPara>, 0, {0x00, 0x00, 0x02, 0xBC, 0, 0, 0, 0},
         {0xBC, 0x02, 0, 0, 0, 0, 0, 0}},
        {"item header", conv<FcMnSaveData, bc2FcMnSaveData>, 0,
         {0x94, 0x12, 0, 1, 1, 5, 0x00, 0x11, 0x00, 0x03, 0x01, 0x00, 0, 0, 0x01, 0x20},
         {0x12, 0x94, 1, 0, 1, 5, 0x11, 0x00, 0x03, 0x00, 0x00, 0x01, 0x20, 0x01, 0, 0}},
    };
    for (const Case& c : cases) EXPECT_EQ(c.f(c.in, c.dir), c.want) << c.name;
    std::uint8_t v[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    ASSERT_EQ(Engntoh(v, 2), 0);
    EXPECT_EQ(V(v, v + 8), (V{2, 1, 3, 4, 5, 6, 7, 8}));
    ASSERT_EQ(Engntoh(v, 8), 0);
    EXPECT_EQ(V(v, v + 8), (V{8, 7, 6, 5, 4, 3, 1, 2}));
    EXPECT_NE(Engntoh(v, 3), 0);
    FcMnSaveHeader h{};
    EXPECT_NE(bc2FcMnSaveHeader(&h, 2), 0);  // no such direction
    EXPECT_NE(bc2FcMnSaveHeader(nullptr, 0), 0);
    EXPECT_NE(bc2FcMnSaveData(nullptr, 1), 0);
}

// A buffer of the memory service holding text, so bc3RecordInBlock can learn its size.
struct MemText {
    explicit MemText(const std::string& s, std::size_t pad = 0) {
        p = static_cast<char*>(__QVEEngMalloc(s.size() + pad, "station_bc2fcs_test", __LINE__));
        std::memcpy(p, s.data(), s.size());
        std::memset(p + s.size(), 0, pad);
    }
    ~MemText() { __QVEEngFree(p, "station_bc2fcs_test", __LINE__); }
    MemText(const MemText&) = delete;
    char* p;
};

std::string models(const std::string& m) { return R"({"format":"tusave-userinst","version":1,"models":[)" + m + "]}"; }

TEST(Bc2Fcs, RecordFieldsSwapByLayoutAndByteDataStays) {
    const std::string userInst = models(R"({ "blockCode": 6226, "name": "PID", "records": [
      { "recNo": 2, "size": 16, "fields": [ { "offset": 0, "width": 2 }, { "offset": 4, "width": 4, "count": 2 },
                                            { "offset": 12, "width": 1 } ] },
      { "recNo": 3, "size": 8, "fields": [ { "offset": 4, "width": 4 } ] } ] })");
    MemText ui(userInst, 1);  // with a NUL after the text
    std::array<std::uint8_t, 16> rec{};
    for (int i = 0; i < 16; ++i) rec[i] = static_cast<std::uint8_t>(0x10 + i);
    const auto orig = rec;
    ASSERT_EQ(bc3RecordInBlock(rec.data(), nullptr, 6226, 2, 16, 0, ui.p), 0);
    EXPECT_EQ(rec, (std::array<std::uint8_t, 16>{0x11, 0x10, 0x12, 0x13, 0x17, 0x16, 0x15, 0x14, 0x1B, 0x1A, 0x19, 0x18,
                                                 0x1C, 0x1D, 0x1E, 0x1F}));
    ASSERT_EQ(bc3RecordInBlock(rec.data(), nullptr, 6226, 2, 16, 1, ui.p), 0);
    EXPECT_EQ(rec, orig);
    // Unknown block code or record, or another size: refused, the record untouched.
    rec = {1};
    EXPECT_NE(bc3RecordInBlock(rec.data(), nullptr, 6227, 2, 16, 0, ui.p), 0);
    EXPECT_NE(bc3RecordInBlock(rec.data(), nullptr, 6226, 4, 16, 0, ui.p), 0);
    EXPECT_NE(bc3RecordInBlock(rec.data(), nullptr, 6226, 2, 15, 0, ui.p), 0);
    EXPECT_NE(bc3RecordInBlock(rec.data(), nullptr, 6226, 2, -1, 0, ui.p), 0);
    EXPECT_EQ(rec, (std::array<std::uint8_t, 16>{1}));
    // Not a buffer of the memory service: its size is unknown.
    EXPECT_NE(bc3RecordInBlock(rec.data(), nullptr, 6226, 3, 8, 0, const_cast<char*>(userInst.c_str())), 0);
    // Layout faults (a file that is no user instance file at all: UserInstFile.CheckNamesTheFile...).
    const std::string rec2 = R"({"blockCode":1,"records":[{"recNo":2,"size":8,)";
    const std::pair<const char*, std::string> faults[] = {
        {"field past the record", models(rec2 + R"("fields":[{"offset":4,"width":4,"count":2}]}]})")},
        {"overlapping fields", models(rec2 + R"("fields":[{"offset":0,"width":4},{"offset":2,"width":2}]}]})")},
        {"width 3", models(rec2 + R"("fields":[{"offset":0,"width":3}]}]})")},
        {"format not a string", R"({"format":1,"version":1,"models":[]})"},
    };
    for (const auto& [why, json] : faults) {
        MemText bad(json);
        std::array<std::uint8_t, 8> r{1, 2, 3, 4, 5, 6, 7, 8};
        EXPECT_NE(bc3RecordInBlock(r.data(), nullptr, 1, 2, 8, 0, bad.p), 0) << why;
        EXPECT_EQ(r[0], 1) << why;
    }
}

// Layouts are kept per buffer: two buffers keep their own, contents changed between them are
// read anew, and another buffer (of the same size, so most often at the same address) is too.
TEST(Bc2Fcs, LayoutsFollowTheBufferAndItsContents) {
    const std::string two = models(R"({"blockCode":7,"records":[{"recNo":2,"size":4,"fields":[{"offset":0,"width":2}]}]})");
    std::string four = two, other = two;
    four.replace(four.find("\"width\":2"), 9, "\"width\":4");
    other.replace(other.find("\"blockCode\":7"), 13, "\"blockCode\":8");
    using R = std::array<std::uint8_t, 4>;
    auto conv = [](const MemText& ui, int code = 7, int want = 0) {
        R r{1, 2, 3, 4};
        EXPECT_EQ(bc3RecordInBlock(r.data(), nullptr, static_cast<unsigned short>(code), 2, 4, 0, ui.p) != 0, want != 0);
        return r;
    };
    {
        MemText a(two), b(four);
        for (int round = 0; round < 2; ++round) {
            EXPECT_EQ(conv(a), (R{2, 1, 3, 4}));
            EXPECT_EQ(conv(b), (R{4, 3, 2, 1}));
        }
        std::memcpy(a.p, four.data(), four.size());
        EXPECT_EQ(conv(a), (R{4, 3, 2, 1}));
    }
    MemText c(other);
    conv(c, 7, 1);
    EXPECT_EQ(conv(c, 8), (R{2, 1, 3, 4}));
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
