// Operation marks: what is asked for per kind, and how the items land in the image.
#include "upload_support.h"

namespace {

using namespace uptest;

using bustest::opItem;

class UploadOpeMarkSet : public UploadTest {
protected:
    void SetUp() override {
        UploadTest::SetUp();
        img.assign(0x4000, 0);
        std::memset(&tc0, 0, sizeof tc0);
        tc0.pDbImage = img.data();
        tc0.dbImageSize = static_cast<std::uint32_t>(img.size());
    }
    int set(int kind, const std::vector<std::uint8_t>& data) {
        buf = data;
        tc0.upDataSize = static_cast<std::int32_t>(buf.size());
        return TuOpeMarkSet(kind, buf.data(), &tc0);
    }
    std::vector<std::uint8_t> img, buf;
    tucomn tc0;
};

TEST_F(UploadOpeMarkSet, Kind29ElementThreeLandsAtByte2048) {
    tc0.opeCnt29 = 3;
    tc0.opeTbl29 = img.data() + 0x400;
    ASSERT_EQ(set(29, opItem(29, 3, 1, 1024)), 0);
    EXPECT_EQ(img[0x400 + 2047], 0);
    EXPECT_EQ(img[0x400 + 2048], 0x5A);
    EXPECT_EQ(img[0x400 + 2048 + 1023], 0x5A);
    EXPECT_EQ(img[0x400 + 2048 + 1024], 0);
    EXPECT_TRUE(lines.empty());
}

TEST_F(UploadOpeMarkSet, UndeliveredItemWarnsAndCopiesNothing) {
    tc0.opeCnt10 = 4;
    tc0.opeTbl10 = img.data() + 0x400;
    ASSERT_EQ(set(10, opItem(10, 1, 4, 0, 0x9412)), 0);
    EXPECT_EQ(lines, std::vector<std::string>{"WRN:T6061::iReturn=0x9412:type=0xa"});
    EXPECT_EQ(img, std::vector<std::uint8_t>(0x4000, 0));
}

TEST_F(UploadOpeMarkSet, LastAllowedElementsAndTheBitMapLandInsideTheirTables) {
    tc0.opeCnt42 = 3;   // 48 elements
    tc0.opeTbl42 = img.data() + 0x400;
    ASSERT_EQ(set(42, opItem(42, 37, 12, 24)), 0);
    EXPECT_EQ(img[0x400 + 36 * 2], 0x5A);
    tc0.nAnMsgCnt = 300;
    tc0.opeTbl31 = img.data() + 0x1000;
    ASSERT_EQ(set(31, opItem(31, 1, 300, 48)), 0);
    EXPECT_EQ(img[0x1000 + 47], 0x5A);
    EXPECT_EQ(img[0x1000 + 48], 0);
    EXPECT_TRUE(lines.empty());
}

// Items that do not fit their table, their header or their kind copy nothing.
TEST_F(UploadOpeMarkSet, ItemsNotFittingAreRefused) {
    tc0.opeCnt10 = 4;
    tc0.opeTbl10 = img.data() + 0x400;
    tc0.opeCnt11 = 8;
    tc0.opeTbl11 = img.data() + 0x400;
    tc0.opeCnt42 = 3;
    tc0.opeTbl42 = img.data() + 0x400;
    tc0.opeCnt28 = 1;
    tc0.opeTbl28 = img.data() + img.size() - 0x100;   // 1024 bytes do not fit
    tc0.nAnMsgCnt = 300;
    tc0.opeTbl31 = img.data() + 0x400;
    auto stump = opItem(10, 1, 4, 8);
    stump.resize(stump.size() + 6);   // a stump of a second header
    const std::string size = "ERR:TuOpeMarkSet() data size error";
    const struct {
        const char* what;
        int kind;
        std::vector<std::uint8_t> item;
        std::string line;
    } cases[] = {
        {"element 0", 11, opItem(11, 0, 1, 2), size},   // would write before the table
        {"short data", 11, opItem(11, 1, 8, 10), size},   // 8 elements need 16 bytes
        {"past the last element", 42, opItem(42, 38, 12, 24), size},
        {"past the image", 28, opItem(28, 1, 1, 1024), size},
        {"header stump", 10, stump, size},
        {"other kind", 10, opItem(11, 1, 4, 8), "ERR:TuOpeMarkSet() opemark type error"},
        {"bit map of another size", 31, opItem(31, 1, 300, 32), "ERR:2:TuOpeMarkSet() data size error"},
    };
    const auto before = img;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        lines.clear();
        img = before;
        EXPECT_EQ(set(c.kind, c.item), -1);
        EXPECT_EQ(lines, std::vector<std::string>{c.line});
        if (c.item != stump) {
            EXPECT_EQ(img, before);   // the stump's first item is whole and copied
        }
    }
}

TEST_F(UploadOpeMarkSet, MissingDestinationOrElementsOfNoBytesCopyNothing) {
    tc0.opeCnt10 = 4;
    EXPECT_EQ(set(10, opItem(10, 1, 4, 8)), 0);
    // Kinds 21 and 22 whose element size (a x b x 32 words) is 0.
    tc0.opeCnt21 = 2;
    tc0.opeTbl21 = img.data() + 0x400;
    tc0.ioFactorB = 4;
    EXPECT_EQ(set(21, opItem(21, 1, 2, 0)), 0);
    EXPECT_TRUE(lines.empty());
    EXPECT_EQ(img, std::vector<std::uint8_t>(0x4000, 0));
}

TEST_F(UploadOpeMarkSet, ByteOrderStepConvertsOnlyOutsideTestMode) {
    auto v = opItem(10, 1, 2, 4);
    v[16] = 0x12, v[17] = 0x34, v[18] = 0x56, v[19] = 0x78;
    tc0.upDataSize = static_cast<std::int32_t>(v.size());
    auto host = v;
    ASSERT_EQ(opeMkRtnFrameByteOrder(host.data(), &tc0), 0);
    EXPECT_EQ(host, v);   // test mode: not a byte touched
    // The station's order: header fields big-endian, words swapped into host order.
    g_testMode = 0;
    auto big = v;
    tb::store_be16(big.data() + 10, 2);
    big[4] = 10;
    tb::store_be16(big.data() + 8, 1);
    tb::store_be32(big.data() + 12, 4);
    ASSERT_EQ(opeMkRtnFrameByteOrder(big.data(), &tc0), 0);
    EXPECT_EQ(tb::load_u16(big.data() + 10), 2);
    EXPECT_EQ(big[16], 0x34);
    EXPECT_EQ(big[17], 0x12);
    EXPECT_EQ(big[18], 0x78);
    EXPECT_EQ(big[19], 0x56);
}

TEST_F(UploadOpeMarkSet, CountZeroSendsNothing) {
    tc0.opeTbl10 = img.data() + 0x400;
    EXPECT_EQ(TuOpeMarkSave(10, &tc0), 0);
    EXPECT_TRUE(lines.empty());
}

// ---- against the simulator core -------------------------------------------------------------------

class UploadOpeMark : public UploadTest {
protected:
    std::vector<Req> opeRequests(int kind) const {
        std::vector<Req> out;
        for (const auto& r : requests)
            if (r.cmd == 0x21 && r.params == 1 && r.paraKind(0) == kind) out.push_back(r);
        return out;
    }
    void expectTablesEqualMemory(bool withArea) {
        for (const auto& t : st_->opeMarks) {
            if (!t.fetched || t.size == 0) continue;
            if (!withArea && (t.kind == 12 || t.kind == 31 || t.kind == 58)) continue;
            EXPECT_EQ(std::memcmp(image.data() + t.offset, memory.data() + t.offset, t.size), 0) << "kind " << t.kind;
            EXPECT_NE(std::memcmp(original.data() + t.offset, memory.data() + t.offset, t.size), 0) << "kind " << t.kind;
        }
    }
};

TEST_F(UploadOpeMark, StationWidePartAsksKind42FourTimesAndFillsEveryTable) {
    sample::Description d = sample::default_description();
    d.stations.resize(1);
    d.stations[0].byteOrder = "host";
    d.stations[0].underTest = true;
    build(d);
    prepareArea();
    ASSERT_EQ(TuStationSave(tc.get()), 0) << ::testing::PrintToString(lines);
    auto k42 = opeRequests(42);
    ASSERT_EQ(k42.size(), 4u);
    for (std::size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(k42[i].paraFirst(0), 12 * i + 1);
        EXPECT_EQ(k42[i].paraCount(0), 12);
        EXPECT_EQ(k42[i].frame[36], 0) << "area number";
    }
    EXPECT_EQ(opeRequests(21).size(), 1u);
    EXPECT_EQ(opeRequests(21)[0].paraCount(0), 3);
    EXPECT_EQ(opeRequests(27).size(), 5u);
    EXPECT_EQ(opeRequests(28).size(), 0u);
    EXPECT_EQ(opeRequests(29).size(), 0u);   // bus 1 is of type 1
    EXPECT_EQ(opeRequests(10)[0].paraCount(0), 8);
    EXPECT_EQ(opeRequests(11)[0].paraCount(0), 6);
    expectTablesEqualMemory(false);
    EXPECT_TRUE(lines.empty()) << ::testing::PrintToString(lines);
    EXPECT_FALSE(station_->session_open());
}

TEST_F(UploadOpeMark, ThreeHundredAnMessagesInOneBitMapRequest) {
    sample::Description d = sample::default_description();
    d.stations.erase(d.stations.begin());
    d.stations[0].byteOrder = "host";
    d.stations[0].underTest = true;
    build(d);
    prepareArea();
    ASSERT_EQ(TuStationSave(tc.get()), 0) << ::testing::PrintToString(lines);
    EXPECT_EQ(opeRequests(29).size(), 2u);
    EXPECT_EQ(opeRequests(29)[1].paraFirst(0), 2);
    EXPECT_EQ(opeRequests(22).size(), 1u);
    tc->areaNo = 1;
    ASSERT_EQ(TuAreaSave(tc.get()), 0) << ::testing::PrintToString(lines);
    auto k31 = opeRequests(31);
    ASSERT_EQ(k31.size(), 1u);
    EXPECT_EQ(k31[0].paraFirst(0), 1);
    EXPECT_EQ(k31[0].paraCount(0), 300);
    expectTablesEqualMemory(true);
}

}  // namespace
