// Control-bus client: device name, loopback-only UDP, the transport envelope, one whole frame
// per read, the in-process device; and the load check over it.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <functional>
#include <optional>

#include "ZclNthmi.h"
#include "ZclNthmi/zcl_host.h"
#include "common_fixture.h"
#include "envelope.h"
#include "libqveldc.h"
#include "libqveldc/ldc_host.h"
#include "tusave_bytes.h"

namespace {

using Frame = std::vector<std::uint8_t>;
using ZclHome = WsTemp;

// From workstation.json, or an error leaving the buffer alone; never more than 256 bytes.
TEST_F(ZclHome, DeviceNameFromTheWorkstation) {
    char buf[300];
    std::memset(buf, 'x', sizeof buf);
    EXPECT_TRUE(ZclGetDeviceName(buf, 0) != 0 && ZclGetLastError() == ENOENT);  // no workstation.json
    write(path("workstation.json"), "{\"controlBus\": \"udp:127.0.0.1:1" + std::string(250, '0') + "\"}");  // 256
    EXPECT_TRUE(ZclGetDeviceName(buf, 0) != 0 && ZclGetLastError() == ENAMETOOLONG && buf[0] == 'x');
    write(path("workstation.json"), "{\"controlBus\": \"inproc:" + std::string(248, 'n') + "\"}");  // 255
    ASSERT_EQ(ZclGetDeviceName(buf, 0), 0);
    EXPECT_TRUE(std::strlen(buf) == 255u && buf[256] == 'x');
}

TEST(Zcl, OpenRefusesBadDevicesAndTheEnvelopeEachFaultWithItsError) {
    const std::pair<const char*, long> bad[] = {
        {"udp:10.1.2.3:5000", EACCES}, {"udp:192.168.0.1:5000", EACCES}, {"udp:127.0.0.1:0", EINVAL},
        {"udp:127.0.0.1", EINVAL},     {"udp:127.0.0.1:5000x", EINVAL},  {"tcp:127.0.0.1:5000", 0},
        {"inproc:nobody-registered", ENOENT}};
    for (const auto& [device, err] : bad) {
        HANDLE h = nullptr;
        EXPECT_NE(ZclOpen(&h, device, 0), 0) << device;
        EXPECT_TRUE((err ? ZclGetLastError() : 0) == err && h == nullptr) << device;
    }
    // The envelope: CRC-32C (the check value of the nine digits), and each fault of a datagram
    // refused with its own error.
    const std::uint8_t digits[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
    EXPECT_EQ(zcl::crc32c(digits), 0xE3069283u);
    const Frame good = sealed(zcl::EnvKind::kReply, 0x01020304, Frame(40, 0x5A));
    EXPECT_EQ(Frame(good.begin() + 4, good.begin() + 12), (Frame{4, 3, 2, 1, 40, 0, 0, 0}));
    auto changed = [&](std::function<void(Frame&)> change) { Frame d = good; change(d); return d; };
    const std::pair<Frame, zcl::EnvError> cases[] = {
        {good, zcl::EnvError::kNone},
        {Frame(good.begin(), good.begin() + 15), zcl::EnvError::kShort},
        {sealed(zcl::EnvKind::kRequest, 0x01020304, Frame(40, 0x5A)), zcl::EnvError::kMagic},
        {changed([](Frame& d) { d.push_back(0); }), zcl::EnvError::kLength},  // a byte more than the length field says
        {changed([](Frame& d) { d.pop_back(); }), zcl::EnvError::kLength},
        {changed([](Frame& d) { d[30] ^= 0x01; }), zcl::EnvError::kCrc},
    };
    for (const auto& [datagram, want] : cases) {
        std::uint32_t id = 0;
        std::span<const std::uint8_t> frame;
        EXPECT_EQ(zcl::open(zcl::EnvKind::kReply, datagram, &id, &frame), want) << zcl::env_error_text(want);
        EXPECT_EQ(id, want == zcl::EnvError::kNone ? 0x01020304u : id);
    }
}

// A loopback UDP peer on an ephemeral port, speaking the transport envelope.
struct Peer {
    int fd = ::socket(AF_INET, SOCK_DGRAM, 0), port = 0;
    sockaddr_in client{};
    socklen_t clientLen = sizeof client;
    Peer() {
        sockaddr_in sa{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
        socklen_t len = sizeof sa;
        ::bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len);
        port = ntohs(sa.sin_port);
    }
    ~Peer() { ::close(fd); }
    // Receives one request; returns its frame and its id.
    Frame receive(std::uint32_t* id) {
        Frame in(4096);
        clientLen = sizeof client;
        ssize_t got = ::recvfrom(fd, in.data(), in.size(), 0, reinterpret_cast<sockaddr*>(&client), &clientLen);
        in.resize(got > 0 ? static_cast<std::size_t>(got) : 0);
        std::span<const std::uint8_t> frame;
        EXPECT_EQ(zcl::open(zcl::EnvKind::kRequest, in, id, &frame), zcl::EnvError::kNone);
        return Frame(frame.begin(), frame.end());
    }
    void send(const Frame& d) { ::sendto(fd, d.data(), d.size(), 0, reinterpret_cast<sockaddr*>(&client), clientLen); }
    void reply(const Frame& frame, std::uint32_t id) { send(sealed(zcl::EnvKind::kReply, id, frame)); }
};

// One datagram per frame in the envelope, never cut; a read takes only the intact reply to the
// request written last: copies, late replies, damaged datagrams and frames without the
// envelope are dropped, and the read waits for the right one until the reply time is up.
TEST(Zcl, UdpReadTakesOnlyTheIntactReplyToTheOutstandingRequest) {
    Peer peer;
    HANDLE h = nullptr;
    ASSERT_EQ(ZclOpen(&h, ("udp:127.0.0.1:" + std::to_string(peer.port)).c_str(), 0), 0);
    const Frame req(56, 0x42), a(61, 0xA1), b(62, 0xB2);
    std::uint8_t buf[2076];
    std::uint32_t id1 = 0, id2 = 0;
    auto reply = [&](int want) {
        return WaitForMultipleObjects(1, &h, 0, 5000) == WAIT_OBJECT_0 && ZclRead(h, buf, sizeof buf) == want;
    };
    ASSERT_EQ(ZclWrite(h, req.data(), 56), 56);
    EXPECT_EQ(peer.receive(&id1), req);
    peer.reply(a, id1);
    peer.reply(a, id1);  // sent twice
    ASSERT_TRUE(reply(61) && Frame(buf, buf + 61) == a);
    const unsigned long before = zcl::dropped_frames();
    ASSERT_EQ(ZclWrite(h, req.data(), 56), 56);
    peer.receive(&id2);
    EXPECT_NE(id2, id1);
    Frame damaged = sealed(zcl::EnvKind::kReply, id2, b);
    damaged[40] ^= 0x08;
    peer.reply(a, id1);  // late
    peer.send(b);        // no envelope
    peer.send(damaged);
    peer.send(Frame(damaged.begin(), damaged.begin() + 10));
    peer.reply(b, id2);
    ASSERT_TRUE(reply(62));
    EXPECT_EQ(Frame(buf, buf + 62), b);  // not the damaged copy
    EXPECT_EQ(zcl::dropped_frames() - before, 5u);
    // Nothing but a late reply: the read gives up when the reply time is over.
    zcl::set_reply_wait(std::chrono::milliseconds(200));
    ASSERT_EQ(ZclWrite(h, req.data(), 56), 56);
    peer.receive(&id1);
    peer.reply(a, id2);
    EXPECT_TRUE(reply(-1) && ZclGetLastError() == ETIMEDOUT);
    zcl::set_reply_wait(std::chrono::milliseconds(30000));
    // The answer, too long for the buffer: refused whole.
    ASSERT_EQ(ZclWrite(h, req.data(), 56), 56);
    peer.receive(&id1);
    peer.reply(Frame(3000, 1), id1);
    EXPECT_TRUE(reply(-1) && ZclGetLastError() == EMSGSIZE);
    EXPECT_EQ(ZclClose(h), 0);
    // A failed close releases the handle all the same.
    zcl::register_inproc("zcl-fp", [](std::span<const std::uint8_t>) { return std::optional<zcl::Frame>{}; });
    ASSERT_EQ(ZclOpen(&h, "inproc:zcl-fp", 0), 0);
    failpoint::arm("ZclClose", 9);
    EXPECT_EQ(ZclClose(h), 9);
    failpoint::reset();
    zcl::unregister_inproc("zcl-fp");
    EXPECT_NE(ZclClose(h), 0);
}

// A station answering the generation query with its stamp in the given byte order.
struct GenStation {
    bool big = true, silent = false, badMark = false;
    std::uint64_t stamp = 1700000000ull;
    std::uint16_t result = 0;
    std::uint8_t status = 0;
    int replyLen = 96, busyReplies = 0, requests = 0;  // busyReplies: replies with status 22 first

    std::optional<zcl::Frame> operator()(std::span<const std::uint8_t>) {
        ++requests;
        if (silent) return std::nullopt;
        Frame r(96, 0);
        r[33] = busyReplies-- > 0 ? 22 : status;
        auto put16 = [&](std::size_t off, std::uint16_t v) { (big ? tb::store_be16 : tb::store_u16)(r.data() + off, v); };
        put16(48, result);
        if (result == 0) {
            put16(64, badMark ? 0x0304 : 0x0102);
            for (int i = 0; i < 8; ++i) r[72 + i] = static_cast<std::uint8_t>(stamp >> (big ? 8 * (7 - i) : 8 * i));
            std::memcpy(r.data() + 80, "FCS0101", 7);
        }
        r.resize(static_cast<std::size_t>(replyLen));
        return r;
    }
};

std::string message(int detail) {
    std::string s;
    return LdGetTReturnMessage(static_cast<unsigned short>(detail), &s), s;
}

// Agreeing stamps: every save; no database header: the library's corrupt database test.
// Each case sets up the station and the database file, and expects the check's result, its
// detail and the detail's message line (after "ERR:LdCheckGenTime(): "; empty: not compared).
TEST_F(ZclHome, LoadCheckComparesTheStampsAndNamesEachFailure) {
    const std::string db = dir + "/stndb.sfdata", none = dir + "/missing.sfdata";
    auto write_db = [&](std::uint64_t stamp) {
        std::string h(0x200, '\0');
        h.replace(0, 8, "TUSFDB01");
        auto* p = reinterpret_cast<std::uint8_t*>(h.data());
        tb::store_u32(p + 8, 1), tb::store_u32(p + 0x0C, 3), tb::store_u64(p + 0x10, stamp);
        write(db, h);
    };
    struct Case {
        const char* name;
        std::function<void(GenStation&)> setup;
        int rc, detail;
        std::string line;
        const std::string* file = nullptr;
        int requests = 1;
    } cases[] = {
        {"another stamp", [](GenStation& s) { s.stamp = 1700000001ull; }, 1, ldc::kDetailDiffer,
         "the station was generated from another database (project 1700000000, station 1700000001)"},
        // A stamp read in the wrong order would agree only by accident.
        {"reversed stamp", [&](GenStation& s) { s.stamp = 0x0102030405060708ull, write_db(0x0807060504030201ull); }, 1,
         ldc::kDetailDiffer, ""},
        {"no file", [](GenStation&) {}, 1, ldc::kDetailDbFile, "cannot read the station database file " + none, &none, 0},
        {"refused", [](GenStation& s) { s.result = 0x9401; }, 1, ldc::kDetailRefused,
         "the station refused the generation query: " + message(0x9401) + "0x9401"},
        {"refused, host order", [](GenStation& s) { s.result = 0x9401, s.big = false; }, 1, ldc::kDetailRefused,
         "the station refused the generation query: " + message(0x9401) + "0x9401"},
        {"bad order mark", [](GenStation& s) { s.badMark = true; }, 1, ldc::kDetailBadReply, ""},
        {"reply of 80 bytes", [](GenStation& s) { s.replyLen = 80; }, 1, ldc::kDetailBadReply, ""},
        {"reply of 40 bytes", [](GenStation& s) { s.replyLen = 40; }, 1, ldc::kDetailBadReply, ""},
        {"busy twice", [](GenStation& s) { s.status = 22; }, 1, ldc::kDetailNoAnswer,
         "the station does not answer (status=0x16)", nullptr, 2},  // busy: asked once more, after a second
        {"busy once", [](GenStation& s) { s.busyReplies = 1; }, 0, 0, "", nullptr, 2},
        {"silent", [](GenStation& s) { s.silent = true, failpoint::arm("WaitForMultipleObjects", WAIT_TIMEOUT); }, 1,
         ldc::kDetailNoAnswer, "the station does not answer"},  // the reply waited for 30 seconds: below
    };
    // The check's result against station, leaving the detail in detail.
    auto check = [&](GenStation& station, const std::string& file, int& detail) {
        zcl::register_inproc("ldc-test", [&](std::span<const std::uint8_t> req) { return station(req); });
        HANDLE bus = nullptr;
        EXPECT_EQ(ZclOpen(&bus, "inproc:ldc-test", 0), 0);
        const int rc = LdCheckGenTime(bus, "", "", "P", "FCS0101", nullptr, file.c_str(), &detail, 0);
        ZclClose(bus);
        zcl::unregister_inproc("ldc-test");
        return rc;
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        write_db(1700000000ull);
        GenStation station;
        failpoint::reset();
        failpoint::arm("Sleep", 0, 1, true);
        c.setup(station);
        int detail = -1;
        EXPECT_EQ(check(station, c.file ? *c.file : db, detail), c.rc);
        EXPECT_EQ(detail, c.detail);
        EXPECT_EQ(c.line.empty() ? "" : message(detail), c.line.empty() ? "" : "ERR:LdCheckGenTime(): " + c.line);
        EXPECT_EQ(station.requests, c.requests);  // 0: nothing asked of the station
        if (const auto w = failpoint::waits(); c.requests == 2) {
            ASSERT_GE(w.size(), 2u);
            EXPECT_EQ(w[w.size() - 2].name + " " + std::to_string(w[w.size() - 2].ms), "Sleep 1000");
        }
    }
    EXPECT_EQ(failpoint::waits().back().ms, 30000u);
    // A station code without a text of its own gets a generic one.
    std::string s;
    EXPECT_EQ(LdGetTReturnMessage(0x9401, &s), 0);
    EXPECT_NE(s.rfind("Station result code", 0), 0u);
    EXPECT_EQ(std::pair(LdGetTReturnMessage(0x1234, &s), s), std::pair(1, std::string("Station result code 0x1234: ")));
}

}  // namespace
