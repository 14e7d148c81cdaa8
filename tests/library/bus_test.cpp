// Frame transport and save session requests over a scripted in-process station: frames, the
// ask-again bound, the checks on sizes and items (failed exchanges: FaultMatrix; serials, chunks
// and byte order of a whole save: SaveE2E).
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
struct Req {
    std::uint8_t f[kTuReqFrameSize] = {};
    Req() {
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
    Req r;
    std::uint8_t* rtn = nullptr;
    int len = 0;
};

TEST_F(TransportTest, GoodReplyThenAShortOneNeverParsedFromTheEarlierReply) {
    script.replies.push_back(reply(0, 0, std::vector<std::uint8_t>(36, 7)));
    ASSERT_EQ(rw(), 0);
    EXPECT_EQ(len, 100);   // prefix included
    ASSERT_NE(rtn, nullptr);
    EXPECT_EQ(rtn[99], 7);
    ASSERT_EQ(script.requests.size(), 1u);
    EXPECT_EQ(script.requests[0], Frame(r.f, r.f + 56));
    EXPECT_TRUE(lines.empty());
    EXPECT_EQ(waits(), Lines{"WaitForMultipleObjects 30000"});
    script.replies.push_back(Frame(50, 0));   // status byte says good
    rtn = nullptr;
    EXPECT_EQ(rw(), -1);
    EXPECT_EQ(rtn, nullptr);
    EXPECT_EQ(lines, Lines{"ERR:TuZclRW(): Cannot Communicate(short reply len=50)"});
    lines.clear();   // a reply larger than the receive buffer
    script.replies.push_back(reply(0, 0, std::vector<std::uint8_t>(kTuRcvBufSize, 1)));
    EXPECT_EQ(rw(), -1);
    EXPECT_EQ(rtn, nullptr);
    EXPECT_EQ(lines, Lines{"ERR:TuZclRW(1): ZclRead() error ret = -1"});
}

TEST_F(TransportTest, BusyTwiceFailsBusyThenGoodSendsTheSameConvertedFrameTwice) {
    script.replies.push_back(reply(22, 0));
    script.replies.push_back(reply(22, 0));
    EXPECT_EQ(retry(), -1);
    EXPECT_EQ(lines, (Lines{"return E_RBUF_BUSY", "return E_RBUF_BUSY"}));
    EXPECT_EQ(waits(), (Lines{"WaitForMultipleObjects 30000", "Sleep 1000", "WaitForMultipleObjects 30000"}));
    EXPECT_EQ(rtn, nullptr);
    // With conversion: the header is converted once, so the retry must not turn it back.
    g_testMode = 0;
    lines.clear();
    script.requests.clear();
    script.replies.push_back(reply(22, 0));
    script.replies.push_back(reply(0, 0, para8(5)));
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
        tc->pDbImage = image.bytes.data();
        tc->dbImageSize = image.size();
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
    EXPECT_EQ(seqOf(f), 41u);
    EXPECT_EQ(tc->frameSeq, 42u);
    // Station number, frame type, body length in words; command, serial, parameter bytes and count.
    for (auto [off, want] : {std::pair{12, 7}, {28, 0x0603}, {30, 24}, {34, 0x0321}, {44, 2}, {52, 24}, {54, 3}})
        EXPECT_EQ(tb::load_u16(f.data() + off), want) << off;
    EXPECT_EQ(f[24], 8);
    EXPECT_EQ(f[32 + 4], 1);
    EXPECT_EQ(tb::load_u32(f.data() + 32 + 16), 0x5E55u);
    // Parameters in host order (test mode): kind, record number, block number.
    const std::uint8_t expect[24] = {1, 1, 1, 0, 0, 0, 0, 0, 1, 3, 1, 0, 0, 0, 0, 0, 1, 5, 2, 0, 0, 0, 0, 0};
    EXPECT_EQ(Frame(f.begin() + 56, f.end()), Frame(expect, expect + 24));
    EXPECT_EQ(tc->upDataSize, 700);
    EXPECT_EQ(tc->reqSerial, 3u);
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
    EXPECT_EQ(tb::load_u16(g.data() + 28), 0x0683);
    EXPECT_EQ(tb::load_be16(g.data() + 56 + 2), 0x0102);
    EXPECT_EQ(tc->upDataSize, 16);
}

// A refusal, a transport failure, a missing parameter: one line each, the session kept.
TEST_F(SessionTest, FailedRepliesGiveTheirLines) {
    std::string refusedStart, refusedUpload;
    LdGetTReturnMessage(0x9412, &refusedStart);
    LdGetTReturnMessage(0x9413, &refusedUpload);
    std::vector<std::uint8_t> b(16);
    const struct {
        Frame reply;
        std::function<int(tucomn*)> call;
        Lines lines;
    } cases[] = {
        {reply(0, 0x9412), TuSaveStartReq, {"ERR:" + refusedStart + "T6052:0x9412"}},
        {reply(0, 0), TuSaveStartReq, {"ERR:TuSaveStartReq(): reply parameter missing (len=64)"}},
        {reply(5, 0), TuSaveEndReq, {"ERR:TuZclRW(): Cannot Communicate(code=0x5)", "ERR:T6042:"}},
        {reply(0, 0x9413), [&](tucomn* t) { t->upDataSize = 16; return TuUpLoadReq(b.data(), t); },
         {"ERR:" + refusedUpload + "T6054:0x9413"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.lines[0]);
        lines.clear();
        script.replies.push_back(c.reply);
        EXPECT_EQ(c.call(tc.get()), -1);
        EXPECT_EQ(lines, c.lines);
        EXPECT_EQ(tc->sessionId, 0x5E55u);
    }
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
    EXPECT_EQ(script.requests.size(), 3u);
    tc->upDataSize = 0;   // nothing announced: nothing sent
    EXPECT_EQ(TuUpLoadReq(nullptr, tc.get()), 0);
    EXPECT_EQ(script.requests.size(), 3u);
}

TEST_F(SessionTest, AskAgainIsBounded) {
    tc->upDataSize = 32;
    script.fallback = [](const Frame&) { return reply(0, 0x9642); };
    std::vector<std::uint8_t> b(32);
    EXPECT_EQ(TuUpLoadReq(b.data(), tc.get()), -1);
    EXPECT_EQ(script.requests.size(), static_cast<std::size_t>(kTuAskAgainMax));
    EXPECT_EQ(lines, Lines{"ERR:TuUpLoadReq(): the station asked again 600 times (0x9642)"});
    std::size_t sleeps = 0;
    for (const auto& w : failpoint::waits()) sleeps += w.name == "Sleep";
    EXPECT_EQ(sleeps, static_cast<std::size_t>(kTuAskAgainMax - 1));
}

TEST_F(SessionTest, ChunkPastTheSizeClaimingMoreThanItCarriesEmptyOrNegativeIsADataSizeError) {
    const struct {
        std::int32_t announced;
        std::size_t carried;
        std::optional<std::int16_t> claimed;
    } cases[] = {{100, 200, std::nullopt}, {300, 100, 300}, {16, 0, 0}, {16, 0, -4}};
    for (const auto& k : cases) {
        SCOPED_TRACE(k.announced + k.claimed.value_or(0));
        lines.clear();
        tc->upDataSize = k.announced;
        script.replies.push_back(reply(0, 0, std::vector<std::uint8_t>(k.carried, 1), k.claimed));
        std::vector<std::uint8_t> b(static_cast<std::size_t>(k.announced), 0);
        EXPECT_EQ(TuUpLoadReq(b.data(), tc.get()), -1);
        EXPECT_EQ(lines, Lines{"ERR:TuUpLoadReq(): data size error"});
        if (k.announced == 100) { EXPECT_EQ(b, std::vector<std::uint8_t>(100, 0)); }
    }
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
        if (k.want.size() == 1) {
            ASSERT_FALSE(lines.empty());
            EXPECT_EQ(lines[0], k.want[0]);
        } else {
            EXPECT_EQ(lines, k.want);
        }
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
        tc.pDbImage = image.bytes.data();
        tc.dbImageSize = image.size();
        tc.areaLocalTbl_addr = image.p(image.area);
        c.damage(image, tc);
        lines.clear();
        std::uint16_t code = 0xEEEE;
        EXPECT_EQ(blkNoToBlkCode(&tc, c.blockNo, &code), -1);
        EXPECT_EQ(code, 0xEEEE);
        EXPECT_EQ(getBlockHeaderCorePtr(&tc, c.blockNo), nullptr);
        ASSERT_EQ(lines.size(), 2u);
        EXPECT_EQ(lines[0], "ERR: blkNoToBlkCode(): " + c.line);
    }
}

}  // namespace
