// Frame transport: one request, one reply, over an in-process station with virtual waits.
#include "bus_support.h"

namespace {

using bustest::BusTest;
using bustest::Frame;
using bustest::reply;

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

TEST_F(TransportTest, GoodReplyGivesTheReceiveBufferAndTheWholeLengthRead) {
    script.replies.push_back(reply(0, 0, std::vector<std::uint8_t>(36, 7)));
    ASSERT_EQ(rw(), 0);
    EXPECT_EQ(len, 100);   // prefix included
    ASSERT_NE(rtn, nullptr);
    EXPECT_EQ(rtn[99], 7);
    ASSERT_EQ(script.requests.size(), 1u);
    EXPECT_EQ(script.requests[0], Frame(r.f, r.f + 56));
    EXPECT_TRUE(lines.empty());
    EXPECT_EQ(waits(), std::vector<std::string>{"WaitForMultipleObjects 30000"});
}

TEST_F(TransportTest, ShortWriteReportsBothNumbersAndDoesNotRead) {
    failpoint::arm("ZclWrite", 10);
    failpoint::arm("ZclRead", -1, 1000);   // counts reads only
    len = -7;
    EXPECT_EQ(rw(), -1);
    EXPECT_EQ(lines, std::vector<std::string>{"MSG:TuZclRW(): write() error w_len = 56, ret = 10"});
    EXPECT_EQ(failpoint::calls("ZclRead"), 0u);
    EXPECT_EQ(rtn, nullptr);
    EXPECT_EQ(len, -7);
}

// Each way an exchange fails: one line, no reply handed out.
TEST_F(TransportTest, FailedExchangesGiveTheirLine) {
    const struct {
        const char* what;
        std::function<void()> arrange;
        std::string line;
    } cases[] = {
        {"status", [&] { script.replies.push_back(reply(5, 0)); }, "ERR:TuZclRW(): Cannot Communicate(code=0x5)"},
        {"send conversion", [&] { g_testMode = 0; failpoint::arm("bc2FcMnSaveHeader", 1); },
         "ERR: bc2FcMnSaveHeader Error(Send Frame)"},
        {"reply conversion with a failed read", [&] {
             g_testMode = 0;
             failpoint::arm("bc2FcMnSaveHeader", 1, 2);
             failpoint::arm("ZclRead", -1);
             script.replies.push_back(reply(0, 0));
         }, "ERR: bc2FcMnSaveHeader Error(Return Frame)"},
        {"read", [&] { failpoint::arm("ZclRead", -3); script.replies.push_back(reply(0, 0)); },
         "ERR:TuZclRW(1): ZclRead() error ret = -3"},
        {"time-out", [&] { failpoint::arm("WaitForMultipleObjects", WAIT_TIMEOUT); },
         "ERR:WaitForMultipleObjects error WAIT_TIMEOUT"},
        {"wait", [&] { failpoint::arm("WaitForMultipleObjects", static_cast<long long>(WAIT_FAILED)); },
         "ERR:WaitForMultipleObjects error WAIT_FAILED"},
        {"larger than the receive buffer", [&] {
             script.replies.push_back(reply(0, 0, std::vector<std::uint8_t>(kTuRcvBufSize, 1)));
         }, "ERR:TuZclRW(1): ZclRead() error ret = -1"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        failpoint::reset();
        g_testMode = 1;
        script.replies.clear();
        script.requests.clear();
        lines.clear();
        c.arrange();
        rtn = nullptr;
        EXPECT_EQ(rw(), -1);
        EXPECT_EQ(lines, std::vector<std::string>{c.line});
        EXPECT_EQ(rtn, nullptr);
        if (std::string(c.what) == "send conversion") {
            EXPECT_TRUE(script.requests.empty());
        }
    }
}

TEST_F(TransportTest, BusyTwiceGivesTwoLinesOnePauseAndFailure) {
    script.replies.push_back(reply(22, 0));
    script.replies.push_back(reply(22, 0));
    EXPECT_EQ(retry(), -1);
    EXPECT_EQ(lines, (std::vector<std::string>{"return E_RBUF_BUSY", "return E_RBUF_BUSY"}));
    EXPECT_EQ(waits(), (std::vector<std::string>{"WaitForMultipleObjects 30000", "Sleep 1000",
                                                 "WaitForMultipleObjects 30000"}));
    EXPECT_EQ(rtn, nullptr);
}

TEST_F(TransportTest, BusyThenGoodSendsTheSameFrameTwice) {
    // With conversion: the header is converted once, so the retry must not turn it back.
    g_testMode = 0;
    script.replies.push_back(reply(22, 0));
    script.replies.push_back(reply(0, 0, bustest::para8(5)));
    ASSERT_EQ(retry(), 0);
    ASSERT_EQ(script.requests.size(), 2u);
    EXPECT_EQ(script.requests[0], script.requests[1]);
    EXPECT_EQ(tb::load_be16(script.requests[0].data() + 32 + 12), 0x1234);   // station order
    EXPECT_EQ(lines, std::vector<std::string>{"return E_RBUF_BUSY"});
    EXPECT_EQ(tb::load_u32(rtn + 64), 5u);
}

TEST_F(TransportTest, TestModeConvertsNothingOtherwiseBothDirections) {
    failpoint::arm("bc2FcMnSaveHeader", 1, 1000);   // counts calls only
    script.replies.push_back(reply(0, 0));
    ASSERT_EQ(rw(), 0);
    EXPECT_EQ(failpoint::calls("bc2FcMnSaveHeader"), 0u);
    EXPECT_EQ(tb::load_u16(script.requests[0].data() + 32 + 12), 0x1234);   // host order

    g_testMode = 0;
    script.replies.push_back(reply(0, 0));
    Req r2;
    ASSERT_EQ(TuZclRW(0, bus, r2.f, 56, &rtn, &len), 0);
    EXPECT_EQ(failpoint::calls("bc2FcMnSaveHeader"), 2u);
}

TEST_F(TransportTest, ReplyShorterThanItsSaveHeaderIsNeverParsedFromAnEarlierReply) {
    // A good exchange leaves a good header in the receive buffer...
    script.replies.push_back(reply(0, 0, bustest::para8(99)));
    ASSERT_EQ(rw(), 0);
    // ...then a 50-byte reply whose status byte says good.
    Frame shortReply(50, 0);
    script.replies.push_back(shortReply);
    rtn = nullptr;
    EXPECT_EQ(rw(), -1);
    EXPECT_EQ(rtn, nullptr);
    EXPECT_EQ(lines, std::vector<std::string>{"ERR:TuZclRW(): Cannot Communicate(short reply len=50)"});
}

}  // namespace
