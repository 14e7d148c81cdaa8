// The simulated station in-process as a strict peer (refusals, damaged frames and memory, bad
// configuration) and as the fcssim program over UDP (whole saves: the upload and e2e suites); the
// byte-order converters it shares with the library: known byte patterns both ways, record layouts.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <span>
#include <string>
#include <vector>

#include "core/station.h"
#include "envelope.h"
#include "libqvebc2fcs.h"
#include "libqvebc2fcs/bc2fcs_layout.h"
#include "libqvecommon.h"
#include "libqveengendian.h"
#include "project_files.h"
#include "sample.h"
#include "tusave_bytes.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

// The default sample, built once and removed at exit.
struct SampleHome {
    std::string dir;
    sample::Result result;
    SampleHome() {
        char tmpl[] = "/tmp/tusave-station-XXXXXX";
        if (!::mkdtemp(tmpl)) throw std::runtime_error("mkdtemp failed");
        result = sample::build(sample::default_description(), dir = tmpl);
    }
    ~SampleHome() { std::error_code ec; fs::remove_all(dir, ec); }
};

const SampleHome& home() { static SampleHome h; return h; }
std::string station_dir(std::size_t i = 0) { return fs::path(home().result.stations.at(i).stationJsonPath).parent_path(); }

// Station 0 of the sample as the simulator loads it, in the byte order asked for.
fcs::Config config(bool big) {
    fcs::Config c = fcs::load_config(station_dir());
    c.bigEndian = big;
    return c;
}

// A request parameter: kind 1 names a record of a block, other kinds a range of elements.
struct Para {
    std::uint8_t kind, rec = 0;
    std::int16_t block = 0;
    std::uint16_t first = 0, count = 0;
};

// One reply, header in host order, body in the station's order.
struct Answer {
    std::uint8_t status = 0xFF;
    std::uint16_t result = 0xFFFF;
    Bytes body;
};

// Builds requests like the library does and reads replies.
struct Client {
    fcs::Station& st;
    bool big;
    std::uint32_t seq = 0, session = 0;
    std::uint16_t serial = 1;

    Bytes frame(std::uint8_t cmd, std::uint8_t sub, std::uint8_t area, std::uint16_t ser, std::uint32_t sid,
                const std::vector<Para>& params = {}) {
        Bytes f(56 + 8 * params.size(), 0);
        std::uint8_t* h = f.data() + 32;
        tb::store_u32(f.data(), seq++);
        tb::store_u16(f.data() + 12, st.number());
        tb::store_u16(f.data() + 28, 0x0603);
        tb::store_u16(f.data() + 30, static_cast<std::uint16_t>((24 + 8 * params.size()) / 2));
        f[24] = 8, h[2] = cmd, h[3] = sub, h[4] = area;
        tb::store_u16(h + 12, ser);
        tb::store_u32(h + 16, sid);
        tb::store_u16(h + 20, static_cast<std::uint16_t>(8 * params.size()));
        tb::store_u16(h + 22, static_cast<std::uint16_t>(params.size()));
        if (big) bc2fcs::swap_header(h);
        for (std::size_t i = 0; i < params.size(); ++i) {
            std::uint8_t* p = f.data() + 56 + 8 * i;
            p[0] = params[i].kind;
            if (params[i].kind == 1) {
                p[1] = params[i].rec;
                tb::store_u16(p + 2, static_cast<std::uint16_t>(params[i].block));
            } else {
                tb::store_u16(p + 4, params[i].first);
                tb::store_u16(p + 6, params[i].count);
            }
            if (big) bc2fcs::swap_para(p);
        }
        return f;
    }
    Answer read(const fcs::Reply& r) const {
        if (r.frame.size() < 64) return {};
        std::uint8_t h[24];
        std::memcpy(h, r.frame.data() + 40, 24);
        if (big) bc2fcs::swap_header(h);
        return {r.frame[33], tb::load_u16(h + 8), Bytes(r.frame.begin() + 64, r.frame.end())};
    }
    // Every reply echoes the request's sequence number.
    Answer send(const Bytes& f) {
        const fcs::Reply r = st.handle(f);
        EXPECT_TRUE(f.size() < 4 || r.frame.size() < 4 || std::equal(f.begin(), f.begin() + 4, r.frame.begin()));
        return read(r);
    }
    std::uint32_t u32_body(const Answer& a) const {
        std::uint8_t p[8] = {};
        std::memcpy(p, a.body.data(), std::min<std::size_t>(8, a.body.size()));
        if (big) bc2fcs::swap_rtn_para(p);
        return tb::load_u32(p);
    }
    Answer start(std::uint8_t area) {
        Answer a = send(frame(0x1F, 1, area, 1, 0));
        if (a.result == 0) session = u32_body(a), serial = 2;
        return a;
    }
    Answer request(std::uint8_t cmd, std::uint8_t sub, std::uint8_t area, const std::vector<Para>& params = {}) {
        return send(frame(cmd, sub, area, serial++, session, params));
    }
    // Save request and upload until the announced size; (status, data bytes) of each item.
    using Items = std::vector<std::pair<std::uint16_t, std::uint32_t>>;
    Items save_items(std::uint8_t area, const std::vector<Para>& params) {
        Answer s = request(0x21, 3, area, params);
        EXPECT_EQ(s.result, 0);
        const std::uint32_t size = u32_body(s);
        Bytes d;
        for (int guard = 0; d.size() < size && guard < 100; ++guard) {
            Answer u = request(0x24, 3, area);
            EXPECT_EQ(u.result, 0);
            if (u.result != 0) break;
            d.insert(d.end(), u.body.begin(), u.body.end());
        }
        EXPECT_EQ(d.size(), size);
        Items out;
        for (std::size_t off = 0; off + 16 <= d.size(); off += 16 + out.back().second)
            out.push_back({tb::load_u16(d.data() + off), tb::load_u32(d.data() + off + 12)});
        return out;
    }
};

TEST(Station, WrongSerialSessionOrAreaIsRefused) {
    fcs::Station st(config(true));
    Client c{st, true};
    // No session yet.
    EXPECT_EQ(c.send(c.frame(0x21, 3, 1, 2, 0x1234, {{1, 3, 1}})).result, fcs::kResultBadSession);
    EXPECT_EQ(c.send(c.frame(0x1F, 1, 1, 2, 0)).result, fcs::kResultBadSerial);  // start must be serial 1
    ASSERT_EQ(c.start(1).result, 0);
    EXPECT_EQ(c.send(c.frame(0x21, 3, 1, 3, c.session, {{1, 3, 1}})).result, fcs::kResultBadSerial);
    EXPECT_EQ(c.send(c.frame(0x21, 3, 1, 2, c.session + 1, {{1, 3, 1}})).result, fcs::kResultBadSession);
    EXPECT_EQ(c.send(c.frame(0x21, 3, 0, 2, c.session, {{1, 3, 1}})).result, fcs::kResultUnknownArea);
    EXPECT_EQ(c.send(c.frame(0x22, 3, 1, 2, c.session)).result, fcs::kResultUnknownCommand);
    // The refusals took no serial number: 2 is still the one expected.
    EXPECT_EQ(c.send(c.frame(0x21, 3, 1, 2, c.session, {{1, 3, 1}})).result, 0);
    c.serial = 3;
    // A new session hands out another identifier; the ended one is refused.
    const std::uint32_t first = c.session;
    EXPECT_EQ(c.request(0x1F, 2, 1).result, 0);
    EXPECT_FALSE(st.session_open());
    EXPECT_EQ(c.request(0x21, 3, 1, {{1, 3, 1}}).result, fcs::kResultBadSession);
    ASSERT_EQ(c.start(0).result, 0);
    EXPECT_NE(c.session, first);
    // Operation marks outside their table or of an unknown kind get an item status.
    fcs::Station st0(config(false));
    Client c0{st0, false};
    ASSERT_EQ(c0.start(0).result, 0);
    // Kind 10 has 8 elements only, elements count from 1, no kind 77.
    EXPECT_EQ(c0.save_items(0, {{10, 0, 0, 1, 9}, {42, 0, 0, 0, 1}, {77, 0, 0, 1, 1}}),
              (Client::Items{{fcs::kItemBadRange, 0}, {fcs::kItemBadRange, 0}, {fcs::kItemUnknownKind, 0}}));
    // A scripted short reply goes out cut to its length.
    fcs::Config cut = config(false);
    std::string err;
    cut.scenario = *fcs::Scenario::parse(R"({"rules": [{"command": "start", "truncate": 20}]})", err);
    fcs::Station st1(std::move(cut));
    Client c1{st1, false};
    EXPECT_EQ(st1.handle(c1.frame(0x1F, 1, 0, 1, 0)).frame.size(), 20u) << err;
}

TEST(Station, TruncatedRequestsAndDamagedMemoryAreRefusedNeverCrash) {
    fcs::Station st(config(true));
    Client c{st, true};
    ASSERT_EQ(c.start(1).result, 0);
    Bytes save = c.frame(0x21, 3, 1, c.serial, c.session, {{1, 2, 1}, {1, 3, 1}, {10, 0, 0, 1, 4}});
    for (std::size_t n = 0; n < save.size(); ++n) {
        SCOPED_TRACE(n);
        fcs::Reply r = st.handle(Bytes(save.begin(), save.begin() + static_cast<long>(n)));
        ASSERT_EQ(r.frame.size(), 64u);
        if (n < 56) EXPECT_EQ(r.frame[33], fcs::kStatusFrameError);
        else EXPECT_EQ(c.read(r).result, fcs::kResultBadParameters);
    }
    // Still in step: the whole frame is taken.
    EXPECT_EQ(c.send(save).result, 0);
    // Parameter counts that lie about the bytes there.
    Bytes lie = c.frame(0x21, 3, 1, c.serial, c.session, {{1, 3, 1}});
    tb::store_be16(lie.data() + 32 + 22, 200);
    EXPECT_EQ(c.send(lie).result, fcs::kResultBadParameters);
    // Damaged frames get a refusal or an answer of a sane size, never a crash.
    const std::vector<Bytes> valid = {c.frame(0x21, 3, 1, 2, c.session, {{1, 2, 1}, {42, 0, 0, 1, 16}, {31, 0, 0, 1, 300}}),
                                      c.frame(0x24, 3, 1, 3, c.session), c.frame(0x30, 1, 0, 0, 0),
                                      c.frame(0x1F, 1, 0, 1, 0)};
    std::uint32_t rnd = 12345;
    auto next = [&] { return rnd = rnd * 1103515245u + 12345u; };
    for (int round = 0; round < 4000; ++round) {
        Bytes f = valid[round % valid.size()];
        for (int k = 0, n = 1 + next() % 4; k < n; ++k) f[(next() >> 8) % f.size()] = static_cast<std::uint8_t>(next() >> 16);
        if (next() % 8 == 0) f.resize((next() >> 8) % (f.size() + 1));
        fcs::Reply r = st.handle(f);
        ASSERT_GE(r.frame.size(), 64u);
        ASSERT_LE(r.frame.size(), fcs::kReplyMax);
    }
    // Damaged memory: a record address pointing past the end, a size running past it: absent records.
    fcs::Config cfg = config(false);
    const sample::BlockInfo* b = nullptr;
    for (const auto& x : home().result.stations[0].blocks)
        if (!b && x.exists()) b = &x;
    ASSERT_TRUE(b && b->records.size() >= 2);
    const int r1 = b->records[0].recNo, r2 = b->records[1].recNo;
    tb::store_u32(cfg.memory.data() + b->headerOffset + 0x38 + 8 * r1, 0xFFFFFF00u);
    tb::store_u32(cfg.memory.data() + b->headerOffset + 0x3C + 8 * r2, 0x7FFFFFFFu);
    fcs::Station st2(std::move(cfg));
    Client c2{st2, false};
    ASSERT_EQ(c2.start(1).result, 0);
    const auto no = static_cast<std::int16_t>(b->number);
    EXPECT_EQ(c2.save_items(1, {{1, static_cast<std::uint8_t>(r1), no}, {1, static_cast<std::uint8_t>(r2), no}}),
              (Client::Items{{fcs::kItemNoRecord, 0}, {fcs::kItemNoRecord, 0}}));
}

TEST(Station, BadConfigurationIsReported) {
    // Not the number in the memory's header, a broken user instance file, memory cut short.
    for (auto damage : {+[](fcs::Config& c) { c.number = 2; }, +[](fcs::Config& c) { c.userInst = {'{'}; },
                        +[](fcs::Config& c) { c.memory.resize(0x300); }}) {
        fcs::Config cfg = config(true);
        damage(cfg);
        EXPECT_THROW(fcs::Station{cfg}, fcs::ConfigError);
    }
    std::string err;
    EXPECT_TRUE(!fcs::Scenario::parse(R"({"rules": [{"command": "jump"}]})", err) && err.find("jump") != std::string::npos) << err;
    EXPECT_FALSE(fcs::Scenario::parse(R"({"chunkSize": 2013})", err));
}

const std::string kFcssim = std::string(TUSAVE_BUILD_DIR) + "/station/fcssim";

// A running fcssim (the shell says its pid, then becomes fcssim); its first line in `line`.
struct Child {
    FILE* out;
    pid_t pid = 0;
    std::string line;
    explicit Child(const std::string& args) : out(::popen(("echo $$; exec '" + kFcssim + "' " + args).c_str(), "r")) {
        char buf[256];
        if (out && fgets(buf, sizeof buf, out)) pid = std::atoi(buf);
        if (pid > 0 && fgets(buf, sizeof buf, out)) line = buf;
    }
    // Sends sig (to a process not yet waited for, even if it ended) and gives the wait status.
    int stop(int sig) {
        if (pid > 0) ::kill(pid, sig);
        return ::pclose(std::exchange(out, nullptr));
    }
    ~Child() { if (out) stop(SIGKILL); }
};

class Fcssim : public ::testing::Test {
protected:
    void SetUp() override { if (!fs::exists(kFcssim)) GTEST_SKIP() << "fcssim not built"; }
    ~Fcssim() override { close(sock); }
    // Sends a datagram and waits up to ms for one; returns it as it came.
    Bytes send_raw(int port, const Bytes& datagram, int ms) const {
        sockaddr_in to{AF_INET, htons(static_cast<std::uint16_t>(port)), {htonl(INADDR_LOOPBACK)}, {}};
        sendto(sock, datagram.data(), datagram.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
        pollfd pfd{sock, POLLIN, 0};
        if (poll(&pfd, 1, ms) != 1) return {};
        Bytes buf(4096);
        const ssize_t n = recv(sock, buf.data(), buf.size(), 0);
        buf.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
        return buf;
    }
    int sock = socket(AF_INET, SOCK_DGRAM, 0);
};

TEST_F(Fcssim, ServesStationsOfAHomeRoutedByNumberAndStopsOnSigterm) {
    const std::string err = home().dir + "/fcssim-stderr.txt";
    Child c("--home '" + home().dir + "' --listen 127.0.0.1:0 2>'" + err + "'");
    ASSERT_EQ(c.line.rfind("fcssim listening on udp:127.0.0.1:", 0), 0u) << c.line;
    const int port = std::atoi(c.line.c_str() + c.line.rfind(':') + 1);
    ASSERT_GT(port, 0);
    // Routed by the number in the frame (whole saves of both stations: the e2e suite): station 2
    // answers in the envelope; no station 3: no answer.
    const fcs::Config cfg2 = fcs::load_config(station_dir(1));
    fcs::Station local2(cfg2);
    Client c2{local2, cfg2.bigEndian};
    const Bytes frame = c2.frame(0x30, 1, 0, 0, 0);
    Bytes f3 = c2.frame(0x1F, 1, 1, 1, 0), damaged = sealed(zcl::EnvKind::kRequest, 7, frame);
    tb::store_u16(f3.data() + 12, 3);
    const Bytes reply = send_raw(port, sealed(zcl::EnvKind::kRequest, 9, frame), 2000);
    std::uint32_t id = 0;
    std::span<const std::uint8_t> body;
    EXPECT_EQ(zcl::open(zcl::EnvKind::kReply, reply, &id, &body), zcl::EnvError::kNone);
    EXPECT_EQ(std::pair(id, body.size()), std::pair(9u, std::size_t{96}));
    EXPECT_TRUE(send_raw(port, sealed(zcl::EnvKind::kRequest, 10, f3), 200).empty());
    // A frame without the transport envelope, or with a byte of it damaged: refused, with a line.
    damaged[30] ^= 0x01;
    EXPECT_TRUE(send_raw(port, frame, 200).empty());
    EXPECT_TRUE(send_raw(port, damaged, 200).empty());
    const int st = c.stop(SIGTERM);
    EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0) << st;
    const std::string text = project_files::read_text(err);
    for (const char* line : {"fcssim: refused a datagram of 56 bytes from 127.0.0.1:",
                             ": without the transport envelope (see docs/bus-transport.md)",
                             "fcssim: refused a datagram of 72 bytes", ": damaged (CRC-32C mismatch)"})
        EXPECT_NE(text.find(line), std::string::npos) << text;
}

TEST_F(Fcssim, RefusesNonLoopbackAndBrokenStations) {
    const std::string broken = home().dir + "/broken";
    fs::create_directories(broken);
    fs::copy(station_dir(), broken, fs::copy_options::recursive | fs::copy_options::overwrite_existing);
    std::ofstream(broken + "/station.json", std::ios::trunc) << R"({"name": "FCS0101", "number": 1, "byteOrder": "middle"})";
    for (const auto& [station, addr] : {std::pair(station_dir(), "0.0.0.0:0"), {station_dir(), "192.168.1.1:0"},
                                        {station_dir(), "tcp:127.0.0.1:0"}, {broken, "127.0.0.1:0"}}) {
        Child c("--station '" + station + "' --listen " + addr + " 2>/dev/null");
        EXPECT_EQ(c.line, "") << addr;
        EXPECT_EQ(WEXITSTATUS(c.stop(SIGTERM)), 2) << addr;
    }
}

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
    FcMnSaveHeader h{};  // a size of no field, no such direction, no buffer: refused
    EXPECT_EQ((V{Engntoh(v, 3) != 0, bc2FcMnSaveHeader(&h, 2) != 0, bc2FcMnSaveHeader(nullptr, 0) != 0,
                 bc2FcMnSaveData(nullptr, 1) != 0}), V(4, 1));
}

// A buffer of the memory service holding text, so bc3RecordInBlock can learn its size.
struct MemText {
    explicit MemText(const std::string& s, std::size_t pad = 0)
        : p(static_cast<char*>(__QVEEngMalloc(s.size() + pad, "station_test", __LINE__))) {
        std::memcpy(p, s.data(), s.size()), std::memset(p + s.size(), 0, pad);
    }
    ~MemText() { __QVEEngFree(p, "station_test", __LINE__); }
    MemText(const MemText&) = delete;
    char* p;
};

std::string models(const std::string& m) { return R"({"format":"tusave-userinst","version":1,"models":[)" + m + "]}"; }

TEST(Bc2Fcs, RecordFieldsSwapByLayoutAndByteDataStaysLayoutsFollowTheBuffer) {
    const std::string userInst = models(R"({ "blockCode": 6226, "name": "PID", "records": [
      { "recNo": 2, "size": 16, "fields": [ { "offset": 0, "width": 2 }, { "offset": 4, "width": 4, "count": 2 },
                                            { "offset": 12, "width": 1 } ] },
      { "recNo": 3, "size": 8, "fields": [ { "offset": 4, "width": 4 } ] } ] })");
    MemText ui(userInst, 1);  // with a NUL after the text
    std::array<std::uint8_t, 16> rec{0x10, 0x11, 0x12, 0x13, 0x14, 0x15, 0x16, 0x17, 0x18, 0x19, 0x1A, 0x1B, 0x1C, 0x1D, 0x1E, 0x1F};
    const auto orig = rec;
    ASSERT_EQ(bc3RecordInBlock(rec.data(), nullptr, 6226, 2, 16, 0, ui.p), 0);
    EXPECT_EQ(rec, (std::array<std::uint8_t, 16>{0x11, 0x10, 0x12, 0x13, 0x17, 0x16, 0x15, 0x14, 0x1B, 0x1A, 0x19, 0x18,
                                                 0x1C, 0x1D, 0x1E, 0x1F}));
    ASSERT_EQ(bc3RecordInBlock(rec.data(), nullptr, 6226, 2, 16, 1, ui.p), 0);
    EXPECT_EQ(rec, orig);
    // Unknown block code or record, or another size: refused, the record untouched.
    rec = {1};
    for (const auto& [code, recNo, size] : {std::tuple(6227, 2, 16), {6226, 4, 16}, {6226, 2, 15}, {6226, 2, -1}})
        EXPECT_NE(bc3RecordInBlock(rec.data(), nullptr, static_cast<unsigned short>(code), recNo, size, 0, ui.p), 0) << recNo;
    EXPECT_EQ(rec, (std::array<std::uint8_t, 16>{1}));
    // Not a buffer of the memory service: its size is unknown.
    EXPECT_NE(bc3RecordInBlock(rec.data(), nullptr, 6226, 3, 8, 0, const_cast<char*>(userInst.c_str())), 0);
    // Layout faults, and a file that is no user instance file at all.
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
    // Layouts are kept per buffer: two buffers keep their own, contents changed between them are
    // read anew, and another buffer (of the same size, so most often at the same address) is too.
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
        for (int round = 0; round < 2; ++round) EXPECT_EQ((std::pair{conv(a), conv(b)}), (std::pair{R{2, 1, 3, 4}, R{4, 3, 2, 1}}));
        std::memcpy(a.p, four.data(), four.size());
        EXPECT_EQ(conv(a), (R{4, 3, 2, 1}));
    }
    MemText c(other);
    conv(c, 7, 1);
    EXPECT_EQ(conv(c, 8), (R{2, 1, 3, 4}));
}

}  // namespace
