// Control-bus client: device name, loopback-only UDP, one whole frame per read, the
// in-process device; and the load check over it.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <algorithm>
#include <cstring>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "ZclNthmi.h"
#include "ZclNthmi/zcl_envelope.h"
#include "ZclNthmi/zcl_host.h"
#include "failpoint/failpoint.h"
#include "libqveldc.h"
#include "libqveldc/ldc_host.h"
#include "tusave_bytes.h"
#include "common_fixture.h"

namespace {

using Frame = std::vector<std::uint8_t>;

// A workstation folder of its own for each test.
class ZclHome : public WsTemp {
protected:
    void writeWorkstation(const std::string& json) { write(path("workstation.json"), json); }
};

// From workstation.json, or an error leaving the buffer alone; never more than 256 bytes.
TEST_F(ZclHome, DeviceNameFromTheWorkstation) {
    char buf[300];
    std::memset(buf, 'x', sizeof buf);
    EXPECT_NE(ZclGetDeviceName(buf, 0), 0);   // no workstation.json
    EXPECT_EQ(ZclGetLastError(), ENOENT);
    writeWorkstation("{\"controlBus\": \"udp:127.0.0.1:1" + std::string(250, '0') + "\"}");   // 256 chars
    EXPECT_NE(ZclGetDeviceName(buf, 0), 0);
    EXPECT_EQ(ZclGetLastError(), ENAMETOOLONG);
    EXPECT_EQ(buf[0], 'x');
    writeWorkstation("{\"controlBus\": \"inproc:" + std::string(248, 'n') + "\"}");   // 255 chars
    ASSERT_EQ(ZclGetDeviceName(buf, 0), 0);
    EXPECT_EQ(std::strlen(buf), 255u);
    EXPECT_EQ(buf[256], 'x');
}

TEST(Zcl, OpenRefusesMalformedAndNonLoopbackDevices) {
    const std::pair<const char*, long> bad[] = {
        {"udp:10.1.2.3:5000", EACCES}, {"udp:192.168.0.1:5000", EACCES}, {"udp:127.0.0.1:0", EINVAL},
        {"udp:127.0.0.1", EINVAL},     {"tcp:127.0.0.1:5000", 0},        {"inproc:nobody-registered", ENOENT}};
    for (const auto& [device, err] : bad) {
        HANDLE h = nullptr;
        EXPECT_NE(ZclOpen(&h, device, 0), 0) << device;
        if (err) {
            EXPECT_EQ(ZclGetLastError(), err) << device;
        }
        EXPECT_EQ(h, nullptr);
    }
}

// A loopback UDP peer on an ephemeral port, speaking the transport envelope.
struct Peer {
    int fd = -1;
    int port = 0;
    sockaddr_in client{};
    socklen_t clientLen = sizeof client;
    Peer() {
        fd = ::socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
        socklen_t len = sizeof sa;
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
    static Frame sealed(const Frame& frame, std::uint32_t id) {
        std::uint8_t header[zcl::kEnvelopeSize];
        zcl::seal(zcl::EnvKind::kReply, id, frame, header);
        Frame d(sizeof header + frame.size());
        std::memcpy(d.data(), header, sizeof header);
        std::copy(frame.begin(), frame.end(), d.begin() + sizeof header);
        return d;
    }
    void send(const Frame& datagram) {
        ::sendto(fd, datagram.data(), datagram.size(), 0, reinterpret_cast<sockaddr*>(&client), clientLen);
    }
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
    ASSERT_EQ(ZclWrite(h, req.data(), 56), 56);
    EXPECT_EQ(peer.receive(&id1), req);
    peer.send(Peer::sealed(a, id1));
    peer.send(Peer::sealed(a, id1));   // sent twice
    ASSERT_EQ(WaitForMultipleObjects(1, &h, 0, 5000), WAIT_OBJECT_0);
    ASSERT_EQ(ZclRead(h, buf, sizeof buf), 61);
    EXPECT_EQ(buf[60], 0xA1);

    const unsigned long before = zcl::dropped_frames();
    ASSERT_EQ(ZclWrite(h, req.data(), 56), 56);
    peer.receive(&id2);
    EXPECT_NE(id2, id1);
    Frame damaged = Peer::sealed(b, id2);
    damaged[40] ^= 0x08;
    peer.send(Peer::sealed(a, id1));   // late
    peer.send(b);                      // no envelope
    peer.send(damaged);
    peer.send(Frame(damaged.begin(), damaged.begin() + 10));
    peer.send(Peer::sealed(b, id2));
    ASSERT_EQ(WaitForMultipleObjects(1, &h, 0, 5000), WAIT_OBJECT_0);
    ASSERT_EQ(ZclRead(h, buf, sizeof buf), 62);
    EXPECT_EQ(buf[0], 0xB2);
    EXPECT_EQ(zcl::dropped_frames() - before, 5u);

    // Nothing but a late reply: the read gives up when the reply time is over.
    zcl::set_reply_wait(std::chrono::milliseconds(200));
    ASSERT_EQ(ZclWrite(h, req.data(), 56), 56);
    peer.receive(&id1);
    peer.send(Peer::sealed(a, id2));
    ASSERT_EQ(WaitForMultipleObjects(1, &h, 0, 5000), WAIT_OBJECT_0);
    EXPECT_EQ(ZclRead(h, buf, sizeof buf), -1);
    EXPECT_EQ(ZclGetLastError(), ETIMEDOUT);
    zcl::set_reply_wait(std::chrono::milliseconds(30000));

    // The answer, too long for the buffer: refused whole.
    ASSERT_EQ(ZclWrite(h, req.data(), 56), 56);
    peer.receive(&id1);
    peer.send(Peer::sealed(Frame(3000, 1), id1));
    ASSERT_EQ(WaitForMultipleObjects(1, &h, 0, 5000), WAIT_OBJECT_0);
    EXPECT_EQ(ZclRead(h, buf, sizeof buf), -1);
    EXPECT_EQ(ZclGetLastError(), EMSGSIZE);
    EXPECT_EQ(ZclClose(h), 0);
}

// The envelope's CRC is CRC-32C: the check value of the nine digits.
TEST(Zcl, EnvelopeCrcIsCrc32c) {
    const std::string digits = "123456789";
    EXPECT_EQ(zcl::crc32c(std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(digits.data()), 9)),
              0xE3069283u);
}

// The in-process device's dropped copies: the duplicate-reply save of harden_e2e_test.
// A failed close releases the handle all the same.
TEST(Zcl, FailedCloseStillReleases) {
    zcl::register_inproc("zcl-fp", [](std::span<const std::uint8_t>) { return std::optional<zcl::Frame>{}; });
    HANDLE h = nullptr;
    ASSERT_EQ(ZclOpen(&h, "inproc:zcl-fp", 0), 0);
    failpoint::arm("ZclClose", 9);
    EXPECT_EQ(ZclClose(h), 9);
    failpoint::reset();
    zcl::unregister_inproc("zcl-fp");
    EXPECT_NE(ZclClose(h), 0);
}

// ---- load check ---------------------------------------------------------------------------------

// A station answering the generation query with stamp in the given order.
struct GenStation {
    bool big = true;
    std::uint64_t stamp = 0;
    std::uint16_t result = 0;
    std::uint8_t status = 0;
    bool silent = false;
    int replyLen = 96;
    bool badMark = false;
    int busyReplies = 0;   // replies with status 22 before the others
    int requests = 0;
    Frame lastRequest;

    std::optional<zcl::Frame> operator()(std::span<const std::uint8_t> req) {
        lastRequest.assign(req.begin(), req.end());
        ++requests;
        if (silent) return std::nullopt;
        Frame r(96, 0);
        r[33] = busyReplies > 0 ? 22 : status;
        if (busyReplies > 0) --busyReplies;
        auto put16 = [&](std::size_t off, std::uint16_t v) {
            big ? tb::store_be16(r.data() + off, v) : tb::store_u16(r.data() + off, v);
        };
        put16(48, result);
        if (result == 0) {
            put16(64, badMark ? 0x0304 : 0x0102);
            for (int i = 0; i < 8; ++i)
                r[72 + static_cast<std::size_t>(i)] =
                    static_cast<std::uint8_t>(stamp >> (big ? 8 * (7 - i) : 8 * i));
            std::memcpy(r.data() + 80, "FCS0101", 7);
        }
        r.resize(static_cast<std::size_t>(replyLen));
        return r;
    }
};

class LoadCheck : public ZclHome {
protected:
    void SetUp() override {
        ZclHome::SetUp();
        zcl::register_inproc("ldc-test", [this](std::span<const std::uint8_t> req) { return station(req); });
        ASSERT_EQ(ZclOpen(&bus, "inproc:ldc-test", 0), 0);
        dbPath = dir + "/stndb.sfdata";
        writeDb(1700000000ull);
    }
    void TearDown() override {
        ZclClose(bus);
        zcl::unregister_inproc("ldc-test");
        ZclHome::TearDown();
    }
    void writeDb(std::uint64_t stamp, std::size_t size = 0x200, const char* magic = "TUSFDB01") {
        std::vector<std::uint8_t> h(size, 0);
        std::memcpy(h.data(), magic, std::min<std::size_t>(8, size));
        if (size >= 0x28) {
            tb::store_u32(h.data() + 8, 1);
            tb::store_u32(h.data() + 0x0C, 3);
            tb::store_u64(h.data() + 0x10, stamp);
        }
        std::ofstream(dbPath, std::ios::binary).write(reinterpret_cast<const char*>(h.data()),
                                                       static_cast<std::streamsize>(h.size()));
    }
    int check(int* detail) {
        *detail = -1;
        return LdCheckGenTime(bus, "", "", "P", "FCS0101", nullptr, dbPath.c_str(), detail, 0);
    }
    std::string message(int detail) {
        std::string s;
        LdGetTReturnMessage(static_cast<unsigned short>(detail), &s);
        return s;
    }

    GenStation station;
    HANDLE bus = nullptr;
    std::string dbPath;
};

TEST_F(LoadCheck, AgreeingStampsInEitherOrder) {
    station.stamp = 1700000000ull;
    int detail = 0;
    EXPECT_EQ(check(&detail), 0);
    EXPECT_EQ(detail, 0);
    // The query's layout: the whole saves against fcssim in the end-to-end suite.
    station.big = false;
    EXPECT_EQ(check(&detail), 0);
}

TEST_F(LoadCheck, DifferentStampIsAMismatchWithALine) {
    station.stamp = 1700000001ull;
    int detail = 0;
    EXPECT_EQ(check(&detail), 1);
    EXPECT_EQ(detail, ldc::kDetailDiffer);
    EXPECT_EQ(message(detail),
              "ERR:LdCheckGenTime(): the station was generated from another database (project 1700000000, "
              "station 1700000001)");
    // A stamp read in the wrong order would agree only by accident.
    station.stamp = 0x0102030405060708ull;
    writeDb(0x0807060504030201ull);
    EXPECT_EQ(check(&detail), 1);
}

TEST_F(LoadCheck, FileUnreadableOrNoHeader) {
    int detail = 0;
    dbPath = dir + "/missing.sfdata";
    EXPECT_EQ(check(&detail), 1);
    EXPECT_EQ(detail, ldc::kDetailDbFile);
    EXPECT_EQ(message(detail), "ERR:LdCheckGenTime(): cannot read the station database file " + dbPath);
    dbPath = dir + "/stndb.sfdata";
    writeDb(1, 0x20);
    EXPECT_EQ(check(&detail), 1);
    EXPECT_EQ(detail, ldc::kDetailDbHeader);
    writeDb(1, 0x200, "NOTADB!!");
    EXPECT_EQ(check(&detail), 1);
    EXPECT_EQ(detail, ldc::kDetailDbHeader);
    EXPECT_EQ(message(detail), "ERR:LdCheckGenTime(): no station database header in " + dbPath);
    EXPECT_TRUE(station.lastRequest.empty());   // nothing asked of the station
}

TEST_F(LoadCheck, StationDoesNotAnswer) {
    int detail = 0;
    failpoint::arm("WaitForMultipleObjects", WAIT_TIMEOUT);
    station.silent = true;
    EXPECT_EQ(check(&detail), 1);
    EXPECT_EQ(detail, ldc::kDetailNoAnswer);
    EXPECT_EQ(failpoint::waits().back().ms, 30000u);
    EXPECT_EQ(message(detail), "ERR:LdCheckGenTime(): the station does not answer");
    failpoint::reset();
    failpoint::arm("Sleep", 0, 1, true);
    station.silent = false;
    station.status = 22;
    station.requests = 0;
    EXPECT_EQ(check(&detail), 1);
    EXPECT_EQ(message(detail), "ERR:LdCheckGenTime(): the station does not answer (status=0x16)");
    EXPECT_EQ(station.requests, 2);   // busy: asked once more, after a second
    const auto w = failpoint::waits();
    ASSERT_GE(w.size(), 2u);
    EXPECT_EQ(w[w.size() - 2].name, "Sleep");
    EXPECT_EQ(w[w.size() - 2].ms, 1000u);
    // One busy reply, then the answer: the check goes through.
    station.status = 0;
    station.stamp = 1700000000ull;
    station.busyReplies = 1;
    EXPECT_EQ(check(&detail), 0);
}

TEST_F(LoadCheck, StationRefusesOrAnswersMalformed) {
    int detail = 0;
    station.result = 0x9401;
    EXPECT_EQ(check(&detail), 1);
    EXPECT_EQ(detail, ldc::kDetailRefused);
    EXPECT_EQ(message(detail), "ERR:LdCheckGenTime(): the station refused the generation query: " +
                                   message(0x9401) + "0x9401");
    station.big = false;   // a host-order station's refusal, without the order mark
    EXPECT_EQ(check(&detail), 1);
    EXPECT_EQ(message(detail).substr(message(detail).size() - 6), "0x9401");
    station.result = 0;
    for (auto [badMark, len] : {std::pair{true, 96}, {false, 80}, {false, 40}}) {
        station.badMark = badMark;
        station.replyLen = len;
        EXPECT_EQ(check(&detail), 1);
        EXPECT_EQ(detail, ldc::kDetailBadReply) << len;
    }
}

TEST(LoadCheckTexts, UnknownStationCodeGetsAGenericText) {
    std::string s;
    EXPECT_EQ(LdGetTReturnMessage(0x9401, &s), 0);
    EXPECT_NE(s.rfind("Station result code", 0), 0u);
    EXPECT_EQ(LdGetTReturnMessage(0x1234, &s), 1);
    EXPECT_EQ(s, "Station result code 0x1234: ");
}

}  // namespace
