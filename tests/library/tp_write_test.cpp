// The TP file step on images and definitions built for each case: the file byte for byte,
// the value texts of every type code, the refusals of the step and the archive (write and copy
// failures: FaultMatrix).
#include <sys/stat.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>

#include "ctrl_fixture.h"
#include "image_fixture.h"
#include "project_files.h"
#include "libqverxgen.h"
#include "tsinf.h"

namespace {

namespace fs = std::filesystem;
using nlohmann::json;

struct ValueCase {
    std::uint8_t type, size;
    std::vector<std::uint8_t> bytes;   // at the element's place
    std::string text;                  // expected value, or the expected ERR line when err
    bool err = false;
    std::uint32_t offset = 0x10, elem = 0;
    std::uint8_t recNo = 2;            // record 2 holds 0x40 bytes; record 3 is absent
    std::uint32_t recSize = 0x40;      // as its header says
};

std::vector<std::uint8_t> Le(std::uint64_t v, int n) {
    std::vector<std::uint8_t> b;
    for (int i = 0; i < n; ++i) b.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
    return b;
}
template <class T> std::vector<std::uint8_t> Fp(T f) {
    std::uint64_t u = 0;
    std::memcpy(&u, &f, sizeof f);
    return Le(u, static_cast<int>(sizeof f));
}
std::vector<std::uint8_t> Txt(const char* s, std::size_t n) {
    std::vector<std::uint8_t> b(n, 0);
    std::memcpy(b.data(), s, std::min(n, std::strlen(s)));
    return b;
}
std::vector<std::uint8_t> Pad(std::vector<std::uint8_t> b, std::size_t n) {
    b.resize(n, 0);
    return b;
}

TEST(TpValue, EveryTypeCodeWithItsSizeCheckAndText) {
    const std::string big = LdTuSaveFormat("%f", 1e300);
    ASSERT_GT(big.size(), 256u);
    const ValueCase cases[] = {
        {12, 2, Le(0xFFFF, 2), "-1"},
        {16, 2, Le(0xFFFF, 2), "65535"},
        {13, 8, Pad(Le(0xFFFE, 2), 8), "-2"},
        {20, 4, Le(0xFFFFFFFF, 4), "-1"},
        {21, 8, Pad(Le(0x80000000, 4), 8), "-2147483648"},
        {24, 4, Le(0xFFFFFFFF, 4), "4294967295"},
        {28, 4, Fp(0.1f), "0.100000"},
        {29, 8, Pad(Fp(-1.5f), 8), "-1.500000"},
        {31, 16, Pad(Fp(3.0f), 16), "3.000000"},
        {32, 8, Fp(1e300), big},
        {33, 16, Pad(Fp(-0.5), 16), "-0.500000"},
        {49, 8, Pad(Le(0xFFFF, 2), 8), "65535"},
        {8, 8, Txt("C:\\X;", 8), "C\\:\\\\X\\;"},
        {8, 6, Txt("\xA5\xBD\xC9\xBD:", 6), "\x83\x5C\x95\x5C\\:"},   // second bytes 0x5C stay
        {8, 8, Txt("ABCDEFGHIJ", 10), "ABCDEFGH"},                    // fills its size, no terminator
        {60, 8, Txt("A,B\\", 8), "A,B\\"},
        {60, 4, Txt("WXYZQ", 5), "WXYZ"},
        {9, 4, Le(1, 4), ""},
        {12, 4, Le(1, 4), "ERR:tswrite:1029:ItemInf error, itemInf->size=4, sizeof(I16)=2", true},
        {31, 8, Le(1, 8), "ERR:tswrite:1330:ItemInf error, itemInf->size=8, sizeof(F32SR)=16", true},
        {49, 2, Le(1, 2), "ERR:tswrite:1354:ItemInf error, itemInf->size=2, sizeof(TCS)=8", true},
        // The element must lie inside its record (bytes 0x38..0x3F are, the next element is not, nor
        // a record reaching past the image); an absent record is an empty value.
        {32, 8, {}, "0.000000", false, 0x38},
        {32, 8, {},
         "ERR:tswrite:1390:element outside its record, item=IT, blockNo=1, recNo=2, offset=64, size=8, recSize=64", true,
         0x38, 1},
        {32, 8, {}, "", false, 0x38, 0, 3},
        {32, 8, {}, "", true, 0, 0, 2, 0x7FFFFFF0},
    };
    for (const ValueCase& c : cases) {
        SCOPED_TRACE(testing::Message() << "type " << int(c.type) << " size " << int(c.size));
        imgtest::Image im = imgtest::Make(1);
        const imgtest::Rec rec = im.recs[0][2];   // 0x40 bytes
        if (!c.bytes.empty())
            std::memcpy(im.p(rec.off + 0x10), c.bytes.data(), std::min<std::size_t>(c.bytes.size(), 0x30));
        im.U32(im.hdr[0] + 0x3C + 16, c.recSize);
        ItemInf it{};
        it.itemName = "IT", it.recNo = c.recNo, it.offset = c.offset, it.dataType = c.type, it.size = c.size;
        LdTuSaveImage img(im.bytes.data(), im.bytes.size());
        imgtest::Lines lines;
        std::string out = "x";
        EXPECT_EQ(LdTuSaveTpValue(img, img.Base(), im.hdr[0], 1, it, c.elem, out), c.err ? 1u : 0u);
        EXPECT_EQ(lines.v.size(), c.err ? 1u : 0u);
        EXPECT_EQ(c.err ? (c.text.empty() || lines.v.empty() ? c.text : lines.v[0]) : out, c.text);
    }
}

// Floating values are written as "%f" writes them, whatever the bits: ties at the sixth
// decimal, subnormals, signed zeros, the largest values and random patterns of both widths.
TEST(TpValue, FloatingValuesAsTheFormatWritesThem) {
    imgtest::Image im = imgtest::Make(1);
    const imgtest::Rec rec = im.recs[0][2];
    LdTuSaveImage img(im.bytes.data(), im.bytes.size());
    ItemInf it{};
    it.itemName = "IT", it.recNo = 2, it.offset = 0x10;
    std::vector<double> values = {0.0, -0.0, 0.0000005, 0.0000015, 0.0000025, 0x1p-7, 0x1p-20, 0x3p-21,
                                  -0x5p-21, 4.94e-324, 2.2e-308, 0x1.fffffffffffffp52, 0x1p53, 0x1p53 + 2,
                                  123456789.0000005, 1e300, -1e-7, 9999999.9999995};
    std::uint64_t x = 0x9E3779B97F4A7C15u;
    for (int i = 0; i < 20000; ++i) {
        x ^= x << 13, x ^= x >> 7, x ^= x << 17;
        values.push_back(std::bit_cast<double>(x));
        const auto f = std::bit_cast<float>(static_cast<std::uint32_t>(x >> 11));
        values.push_back(static_cast<double>(f));
        values.push_back(std::ldexp(static_cast<double>(x >> 40), -static_cast<int>(x % 40)));   // ties are common
    }
    for (const double d : values) {
        if (!std::isfinite(d)) continue;
        const bool asFloat = static_cast<double>(static_cast<float>(d)) == d;
        it.dataType = asFloat ? 28 : 32;
        it.size = asFloat ? 4 : 8;
        const std::vector<std::uint8_t> b = asFloat ? Fp(static_cast<float>(d)) : Fp(d);
        std::memcpy(im.p(rec.off + 0x10), b.data(), b.size());
        std::string out;
        ASSERT_EQ(LdTuSaveTpValue(img, img.Base(), im.hdr[0], 1, it, 0, out), 0u);
        ASSERT_EQ(out, LdTuSaveFormat("%f", d)) << std::hexfloat << d;
    }
}

class TpStep : public ctrl_test::CtrlSave {
protected:
    void SetUp() override {
        CtrlSave::SetUp();
        setenv("TUSAVE_FIXED_TIME", "1038478500", 1);   // Thu Nov 28 10:15:00 2002 UTC
        auto strings = ctrl_test::test_strings();
        for (unsigned id : {7188u, 7197u, 7206u, 7207u, 7208u}) strings[id] = "T" + std::to_string(id);
        port::set_string_table(strings);
        desc_.stations.resize(1);
        build();
        tpDir_ = result_.projectDir + "/FCS0101/TP";
        fs::remove_all(tpDir_);
        fs::create_directories(tpDir_);
        tpPath_ = tpDir_ + "/tuning.tps";
    }
    void Defs(const json& models) {
        std::ofstream(result_.projectDir + "/FCS0101/DB/instdef.json", std::ios::trunc)
            << json{{"format", "tusave-instdef"}, {"version", 1}, {"models", models}}.dump();
    }
    // Block n of im gets code, category and tag; its record 2 (0x40 bytes) holds data.
    static void Block(imgtest::Image& im, int n, std::uint16_t code, std::uint8_t category, const char* tag) {
        const std::size_t h = im.hdr[n - 1];
        std::memset(im.p(h + 4), 0, 16);
        std::memcpy(im.p(h + 4), tag, std::min<std::size_t>(16, std::strlen(tag)));
        im.U16(h + 0x14, code);
        im.bytes[h + 0x23] = category;
    }
    unsigned Run(imgtest::Image& im) {
        lines.clear();
        LdTuSaveCtrlInf inf;
        inf.strProject = "DEMO", inf.strStation = "FCS0101", inf.projectKind = 2;
        inf.pDbImage.Borrow(im.bytes.data(), im.size());
        inf.elemList = elems_;
        const unsigned r = LdTuSaveCtrlCreateParmStr(&inf, 0);
        // The service is closed on every way out: a new open succeeds.
        EXPECT_EQ(IEdalInstOpenForTP("DEMO", "FCS0101", 2), 0);
        IEdalInstClose();
        return r;
    }
    std::vector<std::string> Dir() const {
        std::vector<std::string> v;
        for (const auto& e : fs::directory_iterator(tpDir_)) v.push_back(e.path().filename().string());
        std::sort(v.begin(), v.end());
        return v;
    }
    // The worked example: a category block, a block without saved items, two filtered out
    // (an empty entry, a category-0 block of code 6266), and an ordinary block.
    imgtest::Image Example() {
        imgtest::Image im = imgtest::Make(5, 2, {3});
        Block(im, 1, 0x0101, 15, "SYS001");
        Block(im, 2, 0x0102, 7, "TAG0002");
        Block(im, 4, 0x187A, 0, "SKIP");
        Block(im, 5, 0x0103, 7, "TAG0001");
        im.U16(im.recs[0][2].off + 8, 1);
        const std::size_t r = im.recs[4][2].off;
        std::memcpy(im.p(r + 8), Fp(1.5f).data(), 4);
        for (auto [at, v] : {std::pair{12, 10}, {14, 20}, {16, 0}, {18, 5}}) im.U16(r + at, static_cast<std::uint16_t>(v));
        std::memcpy(im.p(r + 20), "Valve:A", 8);
        Defs(json::array({
            {{"blockCode", 0x0101}, {"name", "MODELS"}, {"savedRecords", {2}},
             {"items", {{{"name", "MODE"}, {"recNo", 2}, {"offset", 8}, {"dataType", 16}, {"elemSize", 2}}}}},
            {{"blockCode", 0x0102}, {"name", "MODELB"}, {"savedRecords", {2}},
             {"items", {{{"name", "X"}, {"recNo", 1}, {"offset", 8}, {"dataType", 16}, {"elemSize", 2}}}}},
            {{"blockCode", 0x0103}, {"name", "MODELA"}, {"savedRecords", {2}},
             {"items",
              {{{"name", "GAIN"}, {"recNo", 2}, {"offset", 8}, {"dataType", 28}, {"elemSize", 4}},
               {{"name", "UNSAVED"}, {"recNo", 1}, {"offset", 8}, {"dataType", 16}, {"elemSize", 2}},
               {{"name", "TBL"}, {"recNo", 2}, {"offset", 12}, {"dataType", 12}, {"elemSize", 2}, {"dim1", 2}},
               {{"name", "MAT"}, {"recNo", 2}, {"offset", 16}, {"dataType", 16}, {"elemSize", 2}, {"dim1", 1},
                {"dim2", 2}},
               {{"name", "NAME"}, {"recNo", 2}, {"offset", 20}, {"dataType", 8}, {"elemSize", 8}}}}},
            {{"blockCode", 0x187A}, {"name", "SKIPPED"}, {"savedRecords", {2}}},
        }));
        elems_.Clear();
        elems_.Add("%BL0002", "GR0002");
        elems_.Add("%BL0005", "GR0001");
        return im;
    }
    QVEElemList elems_;
    std::string tpDir_, tpPath_;
};

constexpr const char* kExample =
    ":::SOURCE\n"
    "1038478500:Thu Nov 28 10:15:00 2002;\n"
    "1:FPAR:1:SYSTEM:SYS001:1:MODELS:MODE=1;\n"
    "3:FPAR:3:GR0001:TAG0001:5:MODELA:GAIN=1.500000,TBL[1]=10,TBL[2]=20,MAT[1\\,1]=0,MAT[1\\,2]=5,NAME=Valve\\:A;\n"
    "::::SOURCE\n";

TEST_F(TpStep, WorkedExampleByteForByteWithItsArchiveCopy) {
    imgtest::Image im = Example();
    ASSERT_EQ(Run(im), 0u);
    EXPECT_EQ(Dir(), (std::vector<std::string>{"TP20021128101500.txt", "tuning.tps"}));   // temporary deleted
    EXPECT_EQ(project_files::read_text(tpPath_), kExample);
    EXPECT_EQ(project_files::read_text(tpDir_ + "/TP20021128101500.txt"), kExample);
    EXPECT_EQ(lines, (std::vector<std::string>{"MSG:T7206", "MSG:T7208"}));
}

// A STEX block whose record 2 (its parent's number) is missing, then a parent whose element is not
// in the list, a block header outside the image, more than 16 saved records: the step fails naming
// either (parents, two dimensions and skip rules: SaveE2E); an area without blocks gives three lines.
TEST_F(TpStep, RefusalsNameTheirCauseAndNoBlocksGiveThreeLines) {
    imgtest::Image im = imgtest::Make(2);
    Block(im, 1, 0x1402, 7, "ST");
    Block(im, 2, 0x0200, 7, "PARENT");
    // Record 2 (0x40 bytes) cannot hold the parent at 0xB2: give block 1 a larger one.
    const std::size_t big = im.Alloc(0xC0);
    im.U32(im.hdr[0] + 0x38 + 16, imgtest::Image::Adrs(big));
    im.U32(im.hdr[0] + 0x3C + 16, 0xC0);
    im.U16(big + 0xB2, 2);
    auto one = [](int code, const char* name) {
        return json{{"blockCode", code}, {"name", name}, {"savedRecords", {2}},
                    {"items", {{{"name", "V"}, {"recNo", 2}, {"offset", 8}, {"dataType", 16}, {"elemSize", 2}}}}};
    };
    Defs(json::array({one(0x1402, "STEX"), one(0x0200, "PLAIN")}));
    elems_.Add("%BL0002", "DR0002");
    ASSERT_EQ(Run(im), 0u) << testing::PrintToString(lines);
    EXPECT_NE(project_files::read_text(tpPath_).find("\n1:FPAR:1:DR0002:ST:1:STEX:V=0;\n2:FPAR:2:DR0002:PARENT:2:PLAIN:V=0;\n"),
              std::string::npos) << project_files::read_text(tpPath_);
    im.U32(im.hdr[0] + 0x38 + 16, 0);
    EXPECT_EQ(Run(im), 0x20234105u);
    EXPECT_TRUE(has_line("ERR:getSTEXOrgBlockNo record pointer is NULL") && lines.back() == "MSG:T7207");
    im.U32(im.hdr[0] + 0x38 + 16, imgtest::Image::Adrs(big));
    elems_.Clear();
    EXPECT_EQ(Run(im), 0x20234105u);
    EXPECT_TRUE(has_line("ERR:T7188%BL0002 ,nRtn = 536871190")) << testing::PrintToString(lines);
    imgtest::Image none = imgtest::Make(0);
    Defs(json::array());
    ASSERT_EQ(Run(none), 0u) << testing::PrintToString(lines);
    EXPECT_EQ(project_files::read_text(tpPath_), ":::SOURCE\n1038478500:Thu Nov 28 10:15:00 2002;\n::::SOURCE\n");
    // A block header outside the image fails the writer, naming the block; the TP file stays.
    imgtest::Image ex = Example();
    ex.U32(ex.bldb + 4, imgtest::Image::Adrs(ex.bytes.size() - 8));
    EXPECT_EQ(Run(ex), 0x20234105u);
    EXPECT_TRUE(has_line("ERR:tswrite:470:block header outside the image, blockNo=2")) << testing::PrintToString(lines);
    EXPECT_EQ(project_files::read_text(tpPath_), ":::SOURCE\n1038478500:Thu Nov 28 10:15:00 2002;\n::::SOURCE\n");
    // At most 16 saved records; a refusal closes the service and leaks nothing (a wrong count of item
    // names and the service's failures: FaultMatrix).
    for (int count : {16, 17}) {
        ex = Example();
        failpoint::arm("IEdalInstGetSaveRecNo.count", count);
        const unsigned r = Run(ex);
        failpoint::reset();
        EXPECT_EQ(r, count == 16 ? 0u : 0x20234105u) << testing::PrintToString(lines);
    }
    EXPECT_EQ(lines, (std::vector<std::string>{
                         "MSG:T7206", "ERR:tsinstinf:780:IEdalInstGetSaveRecNo(instNo=0x101) error, recNo=17", "MSG:T7207"}));
    EXPECT_EQ(ws::live_allocations(), 0u);
}

TEST_F(TpStep, ArchiveKeepsFiveFilesAndDeletesTheSmallestName) {
    imgtest::Image im = Example();
    auto put = [&](const std::string& n) { std::ofstream(tpDir_ + "/" + n) << n; };
    for (const char* n : {"TP20010101000000.txt", "TP20010102000000.txt", "TP20010103000000.txt"}) put(n);
    fs::create_directory(tpDir_ + "/0dir.txt");   // a folder is no archive entry
    put("TP20010104000000.txt");
    ASSERT_EQ(Run(im), 0u);   // 4 copies: nothing deleted
    EXPECT_EQ(Dir().size(), 7u);
    put("1notes.txt");       // 6 entries now: sorts first, deleted first
    ASSERT_EQ(Run(im), 0u);   // the same second: TP20021128101500.txt overwritten
    EXPECT_FALSE(fs::exists(tpDir_ + "/1notes.txt"));
    EXPECT_EQ(project_files::read_text(tpDir_ + "/TP20021128101500.txt"), kExample);
    setenv("TUSAVE_FIXED_TIME", "1038478501", 1);
    ASSERT_EQ(Run(im), 0u);
    EXPECT_EQ(Dir(), (std::vector<std::string>{"0dir.txt", "TP20010102000000.txt", "TP20010103000000.txt",
                                               "TP20010104000000.txt", "TP20021128101500.txt",
                                               "TP20021128101501.txt", "tuning.tps"}));
}

}  // namespace
