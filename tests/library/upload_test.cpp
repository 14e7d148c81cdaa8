// The upload against the simulator core: the driver (connection, station-wide set-up, order of
// the areas), the block save of the control area (what comes back: identity check, placement) and
// the operation marks (where they land). Batches and a whole station's records: SaveE2E.
#include <nlohmann/json.hpp>

#include "bus_support.h"

namespace {

using namespace uptest;
using bustest::opItem;
using Lines = std::vector<std::string>;

class UploadDriver : public UploadTest {
protected:
    void buildStation(sample::Description d, const std::string& scenario = "{}") {
        d.stations.resize(1);
        d.stations[0].byteOrder = "host";
        d.stations[0].underTest = true;
        build(d, scenario);
        nlohmann::json ws = nlohmann::json::parse(std::ifstream(result_->workstationJson));
        ws["controlBus"] = "inproc:bus-test";
        std::ofstream(result_->workstationJson, std::ios::trunc) << ws.dump(2);
        ASSERT_EQ(sysObj.Init("DEMO"), 0u);
    }
    int upload(const char* station) {
        return TuFcsUpLoad("P1", "P2", "DEMO", station, 2, 7, image.data(), nullptr, &sysObj, &saved, 0,
                           static_cast<std::uint32_t>(image.size()));
    }
    // The instance definitions were closed when they can be opened again.
    void expectInstClosed() {
        EXPECT_EQ(IEdalInstOpenForTP("DEMO", st_->name.c_str(), 2), 0);
        IEdalInstClose();
    }
    CQVERXEdaSysObj sysObj;
};

// Two sessions, area 0 then area 1 (what they bring: SaveE2E); the definitions closed. A refused
// station-wide operation mark closes the session (other failures of the step: FaultMatrix).
TEST_F(UploadDriver, WholeUploadAndARefusedStationWideMarkClosingTheSession) {
    buildStation(sample::default_description());
    ASSERT_EQ(upload(st_->name.c_str()), 0) << ::testing::PrintToString(lines);
    std::vector<int> starts;
    for (const auto& r : requests())
        if (r.cmd == 0x1F && r.sub == 1) starts.push_back(r.frame[36]);
    EXPECT_EQ(starts, (std::vector<int>{0, 1}));
    EXPECT_EQ(requests().back().cmd, 0x1F);
    EXPECT_EQ(requests().back().sub, 2);
    EXPECT_EQ(lines, (Lines{"MSG:T6040:AREA01", "MSG:T6041:AREA01"}));
    expectInstClosed();
    // A refused station-wide operation mark closes the session.
    buildStation(sample::default_description(), R"({"rules": [{"command": "save", "kind": 10, "result": 37906}]})");
    lines.clear();
    EXPECT_EQ(upload(st_->name.c_str()), 1);
    ASSERT_EQ(lines.size(), 1u) << ::testing::PrintToString(lines);
    EXPECT_NE(lines[0].find("T6045:0x9412"), std::string::npos) << lines[0];
    EXPECT_EQ(requests().back().cmd, 0x1F);
    EXPECT_EQ(requests().back().sub, 2);
    EXPECT_FALSE(station_->session_open());
    expectInstClosed();
}

class UploadBlock : public UploadTest {};

// What the station sends back for the records asked for (which records, batches, category-0 blocks
// and a failed save record query: SaveE2E and FaultMatrix): a block code or tag name that differs
// (one warning, nothing of the block written; high codes sign-widened; %%ADL tags not compared), an
// undelivered record (one line, the rest written; record 1 undelivered skips the identity check), a
// record of another size (the area fails, the image unchanged).
TEST_F(UploadBlock, RecordsAskedForAndWhatComesBack) {
    const struct {
        const char* name;
        std::vector<sample::Model> models;
        int blocks;
        const char* scenario;
        int rc;
        std::size_t lines;
        std::function<void()> check;
    } cases[] = {
        {"block code", {model(0x1852, "PIDLOOP", {3})}, 20, R"({"record1": [{"block": 17, "blockCode": 6400}]})", 0, 3,
         [&] {
             EXPECT_EQ(lines[1], "WRN:T7201:0017 DB = 0x1852, SAVE = 0x1900");
             EXPECT_TRUE(imageEquals(original, 17, 3));
             EXPECT_TRUE(imageEquals(memory, 16, 3));
             EXPECT_TRUE(imageEquals(memory, 18, 3));
             ASSERT_EQ(saved.size(), 19u);
             for (const auto& e : saved) EXPECT_NE(e.blockNo, 17);
             EXPECT_EQ(saved[0].oyaBlockNo, block(1).parent);   // 6226 blocks: the parent from record 2
         }},
        {"high block code", {model(0x1001, "PVI", {3})}, 2, R"({"record1": [{"block": 2, "blockCode": 36864}]})", 0, 3,
         [&] { EXPECT_EQ(lines[1], "WRN:T7201:0002 DB = 0x1001, SAVE = 0xffff9000"); }},
        {"tag name", {model(0x1001, "PVI", {3}), model(0x1002, "ADL", {3}, 3, "%%ADL")}, 4,
         R"({"record1": [{"block": 1, "tag": "OTHER1"}, {"block": 2, "tag": "OTHER2"}]})", 0, 3,
         [&] {
             const int adl = block(1).tag.rfind("%%ADL", 0) == 0 ? 1 : 2, plain = 3 - adl;
             EXPECT_EQ(lines[1], "WRN:T7202:000" + std::to_string(plain) + " DB = " + block(plain).tag +
                                     ", SAVE = OTHER" + std::to_string(plain));
             EXPECT_TRUE(imageEquals(memory, adl, 3));
             EXPECT_TRUE(imageEquals(original, plain, 3));
         }},
        {"undelivered", {model(0x1001, "PVI", {2, 3})}, 3, R"({"items": [{"block": 2, "record": 2, "status": 37907}]})",
         0, 3,
         [&] {
             EXPECT_EQ(lines[1], "ERR:T6060: T6056:" + block(2).tag + " T6057:0x1001 T6058:0x9413");
             EXPECT_TRUE(imageEquals(original, 2, 2));
             EXPECT_TRUE(imageEquals(memory, 2, 3));
             EXPECT_TRUE(imageEquals(memory, 1, 2));
             EXPECT_TRUE(imageEquals(memory, 3, 2));
             ASSERT_EQ(saved.size(), 3u);
             EXPECT_EQ(saved[1].recCnt, 1u);
             EXPECT_EQ(saved[1].recNo[0], 3u);
         }},
        {"record 1 undelivered", {model(0x1001, "PVI", {3})}, 1,
         R"({"items": [{"block": 1, "record": 1, "status": 37906}], "record1": [{"block": 1, "blockCode": 4660}]})", 0, 3,
         [&] {
             EXPECT_EQ(lines[1].rfind("ERR:T6059: T6056:", 0), 0u) << lines[1];
             EXPECT_TRUE(imageEquals(memory, 1, 3));
             EXPECT_EQ(saved.size(), 1u);
         }},
        // Record 2 is 0xB8 here; the refusal shows the image's size and the delivered one.
        {"size", {model(0x1001, "PVI", {2})}, 1, R"({"recordSizes": [{"block": 1, "record": 2, "size": 64}]})", -1, 2,
         [&] {
             EXPECT_EQ(lines[1], "ERR:TuRecordDBSet() recordSize is unmatch(to(0xb8), from(0x40) )");
             EXPECT_EQ(image, original);
             EXPECT_FALSE(station_->session_open());
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        build(description(c.models, c.blocks), c.scenario);
        prepareArea();
        lines.clear();
        EXPECT_EQ(TuAreaSave(tc.get()), c.rc);
        ASSERT_EQ(lines.size(), c.lines) << ::testing::PrintToString(lines);
        c.check();
    }
}

class UploadRecordSet : public UploadTest {
protected:
    void SetUp() override {
        UploadTest::SetUp();
        build(description({model(0x1001, "PVI", {2})}, 2));
        prepareArea();
        std::uint8_t* bldb = nullptr;
        ASSERT_EQ(TuGetAreaTbl(tc.get(), &bldb), 0);
        ASSERT_NE(bldb, nullptr);
        hdr = TuBlockSearch(bldb, 1, tc.get());
        ASSERT_NE(hdr, nullptr);
        const auto& r = rec(1, 2);
        data.assign(memory.begin() + static_cast<long>(r.offset), memory.begin() + static_cast<long>(r.offset + r.size));
        item = TuUpLoadItem{2, 1, r.size, data.data()};
    }
    std::uint8_t* hdr = nullptr;
    std::vector<std::uint8_t> data;
    TuUpLoadItem item{};
};

// Identity bytes that differ from the image's (numbers printed widened with their sign), a record
// whose end lies beyond the image, a record address of 0: refused, nothing written.
TEST_F(UploadRecordSet, IdentityDifferenceOrRecordOutsideTheImageIsRefused) {
    const auto before = image;
    const std::uint32_t base = tb::load_u32(image.data() + 0x240) - 0x100;
    const std::uint32_t outside = base + static_cast<std::uint32_t>(image.size() - 0x200 - 0x10);
    const struct {
        std::function<void()> damage;
        std::string line;
    } cases[] = {
        {[&] { data[3] = 9; }, "recordNo is unmatch( to(0x2), from(0x9) )"},
        {[&] { tb::store_u16(image.data() + rec(1, 2).offset, 0xFFFF); },
         "blockNo is unmatch( to(0xffffffff), from(0x1) )"},
        {[&] { tb::store_u32(hdr + 0x38 + 8 * 2, outside); }, "record pointer is NULL"},
        {[&] { tb::store_u32(hdr + 0x38 + 8 * 2, 0); }, "record pointer is NULL"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        image = before;
        data[3] = 2;
        c.damage();
        const auto damaged = image;
        lines.clear();
        EXPECT_EQ(TuRecordDBSet(hdr, &item, tc.get()), -1);
        EXPECT_EQ(lines, Lines{"ERR:TuRecordDBSet() " + c.line});
        EXPECT_EQ(image, damaged);
    }
}

TEST_F(UploadRecordSet, ItemsNotMatchingTheirEntriesAreRefused) {
    std::vector<std::uint8_t> buf = bustest::cat(bustest::item(1, 2, 4), bustest::item(1, 2, 4));
    tc->saveRecCnt = 1;
    tc->saveRecTbl[0].blockNo = 1;
    tc->saveRecTbl[0].recNo = 2;
    tc->upDataSize = static_cast<std::int32_t>(buf.size());
    TuUpLoadItem items[kTuSaveRecMax] = {};
    EXPECT_EQ(TusSetUpLoadTbl(items, buf.data(), tc.get()), -1);
    EXPECT_EQ(lines, Lines{"ERR:TusSetUpLoadTbl(): data size error"});
    EXPECT_EQ(items[1].recNo, 0);
    // An item for another record, or the same record of another block, than its entry asks for names both.
    tc->saveRecCnt = 2;
    for (auto [block, rec] : {std::pair{1, 3}, std::pair{7, 2}}) {
        lines.clear();
        tc->saveRecTbl[1].blockNo = block;
        tc->saveRecTbl[1].recNo = rec;
        EXPECT_EQ(TusSetUpLoadTbl(items, buf.data(), tc.get()), -1);
        EXPECT_EQ(lines, Lines{"ERR:TusSetUpLoadTbl(): item 1 is not the record asked for (asked block " +
                               std::to_string(block) + " record " + std::to_string(rec) + ", came block 1 record 2)"});
    }
    // A byte count running past the data: refused before anything is taken.
    lines.clear();
    tc->saveRecTbl[1].blockNo = 1;
    tc->saveRecTbl[1].recNo = 2;
    tb::store_u32(buf.data() + 20 + 12, 5);
    EXPECT_EQ(TusSetUpLoadTbl(items, buf.data(), tc.get()), -1);
}

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

// Element 3 of kind 29 at byte 2048, the last allowed kind-42 elements, the AN bit map; an
// undelivered item, a missing destination, elements of no bytes and a count of 0 copy nothing.
TEST_F(UploadOpeMarkSet, ItemsLandAtTheirElementsOrCopyNothing) {
    tc0.opeCnt29 = 3;
    tc0.opeTbl29 = img.data() + 0x400;
    ASSERT_EQ(set(29, opItem(29, 3, 1, 1024)), 0);
    EXPECT_EQ(img[0x400 + 2047], 0);
    EXPECT_EQ(img[0x400 + 2048], 0x5A);
    EXPECT_EQ(img[0x400 + 2048 + 1023], 0x5A);
    EXPECT_EQ(img[0x400 + 2048 + 1024], 0);
    img.assign(0x4000, 0);
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
    img.assign(0x4000, 0);
    tc0.opeTbl10 = img.data() + 0x400;
    EXPECT_EQ(TuOpeMarkSave(10, &tc0), 0);   // count 0: nothing sent
    tc0.opeTbl10 = nullptr;
    tc0.opeCnt10 = 4;
    EXPECT_EQ(set(10, opItem(10, 1, 4, 8)), 0);   // no destination
    tc0.opeCnt21 = 2;   // kinds 21 and 22 whose element size (a x b x 32 words) is 0
    tc0.opeTbl21 = img.data() + 0x400;
    tc0.ioFactorB = 4;
    EXPECT_EQ(set(21, opItem(21, 1, 2, 0)), 0);
    EXPECT_TRUE(lines.empty());
    tc0.opeTbl10 = img.data() + 0x400;
    ASSERT_EQ(set(10, opItem(10, 1, 4, 0, 0x9412)), 0);
    EXPECT_EQ(lines, Lines{"WRN:T6061::iReturn=0x9412:type=0xa"});
    EXPECT_EQ(img, std::vector<std::uint8_t>(0x4000, 0));
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
        EXPECT_EQ(lines, Lines{c.line});
        if (c.item != stump) {
            EXPECT_EQ(img, before);   // the stump's first item is whole and copied
        }
    }
}

class UploadOpeMark : public UploadTest {
protected:
    std::vector<Req> opeRequests(int kind) const {
        std::vector<Req> out;
        for (const auto& r : requests())
            if (r.cmd == 0x21 && r.params == 1 && r.paraKind(0) == kind) out.push_back(r);
        return out;
    }
    void expectTablesEqualMemory() {   // the station-wide ones
        for (const auto& t : st_->opeMarks) {
            if (!t.fetched || t.size == 0 || t.kind == 12 || t.kind == 31 || t.kind == 58) continue;
            EXPECT_EQ(std::memcmp(image.data() + t.offset, memory.data() + t.offset, t.size), 0) << "kind " << t.kind;
            EXPECT_NE(std::memcmp(original.data() + t.offset, memory.data() + t.offset, t.size), 0) << "kind " << t.kind;
        }
    }
};

// Bus 1 of type 2: its five node tables are kind 28, asked for and filled (the default buses, whose
// kind-42, 21, 27, 10 and 11 tables a save fills: SaveE2E).
TEST_F(UploadOpeMark, TypeTwoBusAsksKind28ForItsFiveNodeTables) {
    sample::Description d = sample::default_description();
    d.stations.resize(1);
    d.stations[0].byteOrder = "host";
    d.stations[0].underTest = true;
    d.stations[0].ioBusTypes = {2, 1};
    d.stations[0].ioNodes.type2[0] = 1;
    d.stations[0].ioNodes.type2[1] = 0;
    build(d);
    prepareArea();
    ASSERT_EQ(TuStationSave(tc.get()), 0) << ::testing::PrintToString(lines);
    EXPECT_EQ(opeRequests(28).size(), 5u);
    EXPECT_EQ(opeRequests(27).size(), 0u);
    expectTablesEqualMemory();
    EXPECT_TRUE(lines.empty()) << ::testing::PrintToString(lines);
    EXPECT_FALSE(station_->session_open());
}

}  // namespace
