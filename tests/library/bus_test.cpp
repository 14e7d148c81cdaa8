// Frame transport and save session requests over a scripted in-process station (whole saves:
// SaveE2E, failed exchanges: FaultMatrix); the block save and operation marks against the simulator core.
#include <memory>

#include "bus_support.h"

namespace {

using bustest::BusTest;
using bustest::Frame;
using bustest::item;
using bustest::para8;
using bustest::reply;
using Lines = std::vector<std::string>;

// A 56-byte request frame with a recognisable save header.
struct ReqFrame {
    std::uint8_t f[kTuReqFrameSize] = {};
    ReqFrame() {
        f[32 + 2] = 0x21;
        f[32 + 3] = 3;
        tb::store_u16(f + 32 + 12, 0x1234);   // serial
        tb::store_u32(f + 32 + 16, 0xA1B2C3D4);
    }
};

class TransportTest : public BusTest {
protected:
    int rw() { return TuZclRW(0, bus, r.f, 56, &rtn, &len); }
    int retry() { return TuZclRWRetry(0, bus, r.f, 56, &rtn); }
    ReqFrame r;
    std::uint8_t* rtn = nullptr;
    int len = 0;
};

TEST_F(TransportTest, GoodReplyThenAShortOneNeverParsedFromTheEarlierReply) {
    script.replies.push_back(reply(0, 0, std::vector<std::uint8_t>(36, 7)));   // what a good reply gives: BusyTwice...
    ASSERT_EQ(rw(), 0);
    EXPECT_EQ(len, 100);   // prefix included
    script.replies.push_back(Frame(50, 0));   // status byte says good
    rtn = nullptr;
    EXPECT_TRUE(rw() == -1 && rtn == nullptr);
    EXPECT_EQ(lines, Lines{"ERR:TuZclRW(): Cannot Communicate(short reply len=50)"});
    lines.clear();   // a reply larger than the receive buffer
    script.replies.push_back(reply(0, 0, std::vector<std::uint8_t>(kTuRcvBufSize, 1)));
    EXPECT_TRUE(rw() == -1 && rtn == nullptr);
    EXPECT_EQ(lines, Lines{"ERR:TuZclRW(1): ZclRead() error ret = -1"});
}

TEST_F(TransportTest, BusyTwiceFailsBusyThenGoodSendsTheSameConvertedFrameTwice) {
    script.replies = {reply(22, 0), reply(22, 0)};
    EXPECT_EQ(retry(), -1);
    EXPECT_EQ(lines, (Lines{"return E_RBUF_BUSY", "return E_RBUF_BUSY"}));
    EXPECT_EQ(waits(), (Lines{"WaitForMultipleObjects 30000", "Sleep 1000", "WaitForMultipleObjects 30000"}));
    EXPECT_EQ(rtn, nullptr);
    // With conversion: the header is converted once, so the retry must not turn it back.
    g_testMode = 0;
    lines.clear();
    script.requests.clear();
    script.replies = {reply(22, 0), reply(0, 0, para8(5))};
    ASSERT_EQ(retry(), 0);
    ASSERT_EQ(script.requests.size(), 2u);
    EXPECT_EQ(script.requests[0], script.requests[1]);
    EXPECT_EQ(tb::load_be16(script.requests[0].data() + 32 + 12), 0x1234);   // station order
    EXPECT_EQ(lines, Lines{"return E_RBUF_BUSY"});
    EXPECT_EQ(tb::load_u32(rtn + 64), 5u);
}

class SessionTest : public BusTest {
protected:
    void SetUp() override {
        BusTest::SetUp();
        tc = std::make_unique<tucomn>();
        std::memset(tc.get(), 0, sizeof(tucomn));
        tc->zclHandle = bus;
        tc->stnNo = 7;
        tc->areaNo = 1;
        dbImage.Borrow(image.bytes.data(), image.size());
        tc->pDbImage = &dbImage;
        tc->areaLocalTbl_addr = image.p(image.area);
        tc->sessionId = 0x5E55;
        tc->reqSerial = 2;
    }
    void addRecord(std::uint32_t blockNo, std::uint32_t recNo) {
        TuSaveRecEntry& e = tc->saveRecTbl[tc->saveRecCnt++];
        e.blockNo = blockNo;
        e.recNo = recNo;
    }
    // One upload data reply carrying bytes [from, from + n) of data.
    static Frame chunk(const std::vector<std::uint8_t>& data, std::size_t from, std::size_t n) {
        return reply(0, 0, std::vector<std::uint8_t>(data.begin() + static_cast<long>(from),
                                                     data.begin() + static_cast<long>(from + n)));
    }
    int upload(const std::vector<std::uint8_t>& data) {
        tc->upDataSize = static_cast<std::int32_t>(data.size());
        script.replies.push_back(chunk(data, 0, data.size()));
        buf.assign(data.size(), 0);
        return TuUpLoadReq(buf.data(), tc.get());
    }
    static std::uint32_t seqOf(const Frame& f) { return tb::load_u32(f.data()); }
    imgtest::Image image = imgtest::Make(4);
    LdTuSaveDbImage dbImage;
    std::unique_ptr<tucomn> tc;
    std::vector<std::uint8_t> buf;
};

TEST_F(SessionTest, SaveRequestWithThreeEntries) {
    for (auto [block, rec] : {std::pair{1u, 1u}, {1u, 3u}, {2u, 5u}}) addRecord(block, rec);
    tc->frameSeq = 41;
    script.replies.push_back(reply(0, 0, para8(700)));
    ASSERT_EQ(TuSaveReq(tc.get()), 0);
    ASSERT_EQ(script.requests.size(), 1u);
    const Frame& f = script.requests[0];
    ASSERT_EQ(f.size(), 80u);
    EXPECT_EQ(std::pair(seqOf(f), tc->frameSeq), std::pair(41u, 42u));
    // Station number, frame type, body length in words; command, serial, parameter bytes and count.
    for (auto [off, want] : {std::pair{12, 7}, {28, 0x0603}, {30, 24}, {34, 0x0321}, {44, 2}, {52, 24}, {54, 3}})
        EXPECT_EQ(tb::load_u16(f.data() + off), want) << off;
    EXPECT_EQ(std::tuple(f[24], f[32 + 4], tb::load_u32(f.data() + 32 + 16)), std::tuple(8, 1, 0x5E55u));
    // Parameters in host order (test mode): kind, record number, block number.
    const std::uint8_t expect[24] = {1, 1, 1, 0, 0, 0, 0, 0, 1, 3, 1, 0, 0, 0, 0, 0, 1, 5, 2, 0, 0, 0, 0, 0};
    EXPECT_EQ(Frame(f.begin() + 56, f.end()), Frame(expect, expect + 24));
    EXPECT_EQ(std::pair(tc->upDataSize, tc->reqSerial), std::pair(700, 3u));
    EXPECT_TRUE(lines.empty());
    // APCS test mode: its frame type, parameters in the station's order.
    tc->apcsTestFlag = 1;
    g_testMode = 0;
    tc->saveRecCnt = 0;
    addRecord(0x0102, 9);
    Frame r = reply(0, 0, para8(0));
    tb::store_be32(r.data() + 64, 16);
    script.replies.push_back(r);
    ASSERT_EQ(TuSaveReq(tc.get()), 0);
    const Frame& g = script.requests[1];
    EXPECT_EQ(std::tuple(tb::load_u16(g.data() + 28), tb::load_be16(g.data() + 56 + 2), tc->upDataSize),
              std::tuple(0x0683, 0x0102, 16));
}

// A refusal, a transport failure, a missing parameter, a chunk past the announced size, claiming
// more than it carries, empty or negative: one line each, nothing copied, the session kept.
TEST_F(SessionTest, FailedRepliesGiveTheirLines) {
    std::string refusedStart, refusedUpload;
    LdGetTReturnMessage(0x9412, &refusedStart);
    LdGetTReturnMessage(0x9413, &refusedUpload);
    std::vector<std::uint8_t> b;
    auto up = [&](std::int32_t announced) {
        return [&b, announced](tucomn* t) {
            t->upDataSize = announced;
            b.assign(static_cast<std::size_t>(announced), 0);
            return TuUpLoadReq(b.data(), t);
        };
    };
    const std::string size = "ERR:TuUpLoadReq(): data size error";
    const struct {
        Frame reply;
        std::function<int(tucomn*)> call;
        Lines lines;
    } cases[] = {
        {reply(0, 0x9412), TuSaveStartReq, {"ERR:" + refusedStart + "T6052:0x9412"}},
        {reply(0, 0), TuSaveStartReq, {"ERR:TuSaveStartReq(): reply parameter missing (len=64)"}},
        {reply(5, 0), TuSaveEndReq, {"ERR:TuZclRW(): Cannot Communicate(code=0x5)", "ERR:T6042:"}},
        {reply(0, 0x9413), up(16), {"ERR:" + refusedUpload + "T6054:0x9413"}},
        {reply(0, 0, Frame(200, 1)), up(100), {size}},
        {reply(0, 0, Frame(100, 1), 300), up(300), {size}},
        {reply(0, 0, {}, 0), up(16), {size}},
        {reply(0, 0, {}, -4), up(16), {size}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(&c - cases);
        lines.clear();
        script.replies.push_back(c.reply);
        EXPECT_EQ(c.call(tc.get()), -1);
        EXPECT_EQ(lines, c.lines);
        EXPECT_TRUE(std::ranges::count(b, 0) == std::ssize(b) && tc->sessionId == 0x5E55u);
    }
    // Asked again and again: bounded.
    script.fallback = [](const Frame&) { return reply(0, 0x9642); };
    auto sleeps = [] { return std::ranges::count(failpoint::waits(), std::string("Sleep"), &failpoint::Wait::name); };
    const auto slept = sleeps();
    lines.clear();
    script.requests.clear();
    EXPECT_EQ(up(32)(tc.get()), -1);
    EXPECT_EQ(script.requests.size(), static_cast<std::size_t>(kTuAskAgainMax));
    EXPECT_EQ(lines, Lines{"ERR:TuUpLoadReq(): the station asked again 600 times (0x9642)"});
    EXPECT_EQ(sleeps() - slept, kTuAskAgainMax - 1);
}

TEST_F(SessionTest, AnnouncedSizeNegativeOrAbsurdIsRefusedBeforeAnyAllocation) {
    const std::size_t live = ws::live_allocations();
    for (std::int32_t bad : {-5, kTuUpDataSizeMax + 1, 0x7FFFFFFF}) {
        lines.clear();
        tc->saveRecCnt = 0;
        addRecord(1, 2);
        script.replies.push_back(reply(0, 0, para8(static_cast<std::uint32_t>(bad))));
        EXPECT_EQ(TuSaveReq(tc.get()), -1);
        EXPECT_EQ(lines, Lines{"ERR:TuSaveReq(): data size error upDataSize = " + std::to_string(bad)});
        EXPECT_EQ(tc->upDataSize, 0);
    }
    EXPECT_EQ(ws::live_allocations(), live);
    // And an upload never starts on one.
    lines.clear();
    tc->upDataSize = -1;
    EXPECT_EQ(TuUpLoadReq(nullptr, tc.get()), -1);
    EXPECT_EQ(lines, Lines{"ERR:TuUpLoadReq(): data size error"});
    tc->upDataSize = 0;   // nothing announced: nothing sent
    EXPECT_EQ(TuUpLoadReq(nullptr, tc.get()), 0);
    EXPECT_EQ(script.requests.size(), 3u);
}

// The byte-order walk over the items: block 0, another data type, items beyond the upload.
TEST_F(SessionTest, ItemWalkRefusesBlockZeroOtherTypesAndItemsBeyondTheUpload) {
    auto overlong = item(1, 2, 8);
    tb::store_u32(overlong.data() + 12, 9);   // claims one byte more than there is
    auto torn = item(1, 2, 8);
    torn.resize(torn.size() + 6, 0);          // a torn second header
    const std::string walk = "ERR: TuUpLoadReq(): upLoadRtnFrameByteOrder() Error";
    const struct {
        std::vector<std::uint8_t> data;
        Lines want;   // one line: only the first line is compared
    } cases[] = {
        {item(0, 2, 8), {"ERR: blkNoToBlkCode(): blockNo under 1", "ERR: TuUpLoadReq(): blkNoToBlkCode() Error", walk}},
        {item(1, 2, 8, 12), {"ERR: FcMnSaveData.dataType is not FCMNDATATYPEBLK", walk}},
        {overlong, {"ERR: TuUpLoadReq(): item data beyond the upload data (offset=0, dataSize=0x9)"}},
        {torn, {"ERR: TuUpLoadReq(): item header beyond the upload data (offset=0x18)"}},
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(k.want[0]);
        lines.clear();
        EXPECT_EQ(upload(k.data), -1);
        EXPECT_EQ(k.want.size() == 1 && !lines.empty() ? Lines{lines[0]} : lines, k.want);
    }
}

// Every missing or stray reference on the way to a block header: two lines, no code, no header.
TEST_F(BusTest, BlockLookupEveryMissingOrStrayReference) {
    using imgtest::Image;
    const struct {
        std::function<void(Image&, tucomn&)> damage;
        std::string line;
        std::int16_t blockNo = 2;
    } cases[] = {
        {[](Image&, tucomn& tc) { tc.areaLocalTbl_addr = nullptr; },
         "Area DataBase(tucomn->areaLocalTbl_addr) is NULL"},
        {[](Image& m, tucomn&) { m.U32(m.area + 0x08, 0); }, "areaCnstTblPtr is 0"},
        {[](Image& m, tucomn&) { m.U32(m.area + 0x0C, 0); }, "blockPtrTblPtr is 0"},
        {[](Image& m, tucomn&) { m.U32(m.area + 0x0C, 0xFFFFFFF0); }, "blockPtrTblPtr is 0"},
        {[](Image& m, tucomn&) { m.U32(m.blkPtr + 0x08, 0); }, "bldbPtrTblPtr is 0"},
        {[](Image& m, tucomn&) { m.U32(m.bldb + 4, 0); }, "bldbPtrTbl[1] is 0"},
        {[](Image&, tucomn&) {}, "bldbPtrTbl[29999] is 0", 30000},   // entry past the image end
        {[](Image& m, tucomn&) { m.U32(m.bldb + 4, Image::Adrs(m.bytes.size() - 8)); },   // header ends outside
         "bldbPtrTbl[1] is 0"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        Image image = imgtest::Make(4);
        tucomn tc{};
        LdTuSaveDbImage dbImage;
        dbImage.Borrow(image.bytes.data(), image.size());
        tc.pDbImage = &dbImage;
        tc.areaLocalTbl_addr = image.p(image.area);
        c.damage(image, tc);
        lines.clear();
        std::uint16_t code = 0xEEEE;
        EXPECT_EQ((std::pair{blkNoToBlkCode(&tc, c.blockNo, &code), code}), std::pair(-1, std::uint16_t{0xEEEE}));
        EXPECT_EQ(getBlockHeaderCorePtr(&tc, c.blockNo), nullptr);
        ASSERT_EQ(lines.size(), 2u);
        EXPECT_EQ(lines[0], "ERR: blkNoToBlkCode(): " + c.line);
    }
}

using namespace uptest;
using bustest::opItem;

class UploadBlock : public UploadTest {};

// A block code or tag that differs (a warning, nothing of the block written; %%ADL tags not compared),
// an undelivered record (a line, the rest written), a record of another size (the area fails).
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
             EXPECT_TRUE(imageEquals(original, 17, 3) && imageEquals(memory, 16, 3) && imageEquals(memory, 18, 3));
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
             EXPECT_TRUE(imageEquals(memory, adl, 3) && imageEquals(original, plain, 3));
         }},
        {"undelivered", {model(0x1001, "PVI", {2, 3})}, 3, R"({"items": [{"block": 2, "record": 2, "status": 37907}]})",
         0, 3,
         [&] {
             EXPECT_EQ(lines[1], "ERR:T6060: T6056:" + block(2).tag + " T6057:0x1001 T6058:0x9413");
             EXPECT_TRUE(imageEquals(original, 2, 2) && imageEquals(memory, 2, 3) && imageEquals(memory, 1, 2) &&
                         imageEquals(memory, 3, 2));
             ASSERT_EQ(saved.size(), 3u);
             EXPECT_EQ(std::pair(saved[1].recCnt, saved[1].recNo[0]), std::pair(1u, 3u));
         }},
        {"record 1 undelivered", {model(0x1001, "PVI", {3})}, 1,
         R"({"items": [{"block": 1, "record": 1, "status": 37906}], "record1": [{"block": 1, "blockCode": 4660}]})", 0, 3,
         [&] {
             EXPECT_EQ(lines[1].rfind("ERR:T6059: T6056:", 0), 0u) << lines[1];
             EXPECT_TRUE(imageEquals(memory, 1, 3) && saved.size() == 1u);
         }},
        // Record 2 is 0xB8 here; the refusal shows the image's size and the delivered one.
        {"size", {model(0x1001, "PVI", {2})}, 1, R"({"recordSizes": [{"block": 1, "record": 2, "size": 64}]})", -1, 2,
         [&] {
             EXPECT_EQ(lines[1], "ERR:TuRecordDBSet() recordSize is unmatch(to(0xb8), from(0x40) )");
             EXPECT_TRUE(image == original && !station_->session_open());
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
    tc->saveRecTbl[0].blockNo = 1, tc->saveRecTbl[0].recNo = 2;
    tc->upDataSize = static_cast<std::int32_t>(buf.size());
    TuUpLoadItem items[kTuSaveRecMax] = {};
    EXPECT_EQ(TusSetUpLoadTbl(items, buf.data(), tc.get()), -1);
    EXPECT_EQ(lines, Lines{"ERR:TusSetUpLoadTbl(): data size error"});
    EXPECT_EQ(items[1].recNo, 0);
    // An item for another record, or the same record of another block, than its entry asks for names both.
    tc->saveRecCnt = 2;
    for (auto [block, rec] : {std::pair{1, 3}, std::pair{7, 2}}) {
        lines.clear();
        tc->saveRecTbl[1].blockNo = block, tc->saveRecTbl[1].recNo = rec;
        EXPECT_EQ(TusSetUpLoadTbl(items, buf.data(), tc.get()), -1);
        EXPECT_EQ(lines, Lines{"ERR:TusSetUpLoadTbl(): item 1 is not the record asked for (asked block " +
                               std::to_string(block) + " record " + std::to_string(rec) + ", came block 1 record 2)"});
    }
    // A byte count running past the data: refused before anything is taken.
    lines.clear();
    tc->saveRecTbl[1].blockNo = 1, tc->saveRecTbl[1].recNo = 2;
    tb::store_u32(buf.data() + 20 + 12, 5);
    EXPECT_EQ(TusSetUpLoadTbl(items, buf.data(), tc.get()), -1);
}

class UploadOpeMarkSet : public UploadTest {
protected:
    void SetUp() override {
        UploadTest::SetUp();
        img.assign(0x4000, 0);
        std::memset(&tc0, 0, sizeof tc0);
        dbImage.Borrow(img.data(), img.size());
        tc0.pDbImage = &dbImage;
    }
    int set(int kind, const std::vector<std::uint8_t>& data) {
        buf = data;
        tc0.upDataSize = static_cast<std::int32_t>(buf.size());
        return TuOpeMarkSet(kind, buf.data(), &tc0);
    }
    std::vector<std::uint8_t> img, buf;
    LdTuSaveDbImage dbImage;
    tucomn tc0;
};

// Element 3 of kind 29 at byte 2048, the last allowed kind-42 elements, the AN bit map; an
// undelivered item, a missing destination, elements of no bytes and a count of 0 copy nothing.
TEST_F(UploadOpeMarkSet, ItemsLandAtTheirElementsOrCopyNothing) {
    tc0.opeCnt29 = 3;
    tc0.opeTbl29 = img.data() + 0x400;
    ASSERT_EQ(set(29, opItem(29, 3, 1, 1024)), 0);
    EXPECT_EQ((std::vector<int>{img[0x400 + 2047], img[0x400 + 2048], img[0x400 + 3071], img[0x400 + 3072]}),
              (std::vector<int>{0, 0x5A, 0x5A, 0}));
    img.assign(0x4000, 0);
    tc0.opeCnt42 = 3;   // 48 elements
    tc0.opeTbl42 = img.data() + 0x400;
    ASSERT_EQ(set(42, opItem(42, 37, 12, 24)), 0);
    EXPECT_EQ(img[0x400 + 36 * 2], 0x5A);
    tc0.nAnMsgCnt = 300;
    tc0.opeTbl31 = img.data() + 0x1000;
    ASSERT_EQ(set(31, opItem(31, 1, 300, 48)), 0);
    EXPECT_EQ(std::pair(img[0x1000 + 47], img[0x1000 + 48]), std::pair(std::uint8_t{0x5A}, std::uint8_t{0}));
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
    tc0.opeCnt10 = 4, tc0.opeCnt11 = 8, tc0.opeCnt42 = 3, tc0.opeCnt28 = 1;
    tc0.opeTbl10 = tc0.opeTbl11 = tc0.opeTbl42 = img.data() + 0x400;
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
        EXPECT_TRUE(c.item == stump || img == before);   // the stump's first item is whole and copied
    }
}

class UploadOpeMark : public UploadTest {
protected:
    // Save requests (host order) of one parameter, of kind.
    std::ptrdiff_t opeRequests(int kind) const {
        return std::ranges::count_if(script.requests, [&](const Frame& f) {
            return f.size() > 56 && f[34] == 0x21 && tb::load_u16(f.data() + 54) == 1 && f[56] == kind;
        });
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
    d.stations[0].ioNodes.type2[0] = 1, d.stations[0].ioNodes.type2[1] = 0;
    build(d);
    prepareArea();
    ASSERT_EQ(TuStationSave(tc.get()), 0) << ::testing::PrintToString(lines);
    EXPECT_EQ(std::pair(opeRequests(28), opeRequests(27)), std::pair(std::ptrdiff_t{5}, std::ptrdiff_t{0}));
    expectTablesEqualMemory();
    EXPECT_TRUE(lines.empty()) << ::testing::PrintToString(lines);
    EXPECT_FALSE(station_->session_open());
}

}  // namespace
