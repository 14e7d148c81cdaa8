// fcssim as a child process: stations served over a real UDP loopback socket.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <span>
#include <string>

#include "ZclNthmi/zcl_envelope.h"
#include "station_fixture.h"

namespace {

namespace fs = std::filesystem;
using namespace stest;

const std::string kFcssim = std::string(TUSAVE_BUILD_DIR) + "/station/fcssim";

void write_file(const fs::path& p, const std::string& s) {
    fs::create_directories(p.parent_path());
    std::ofstream(p, std::ios::binary) << s;
}

// A running fcssim; stopped with SIGTERM by the test or, failing that, on destruction.
struct Child {
    pid_t pid = -1;
    FILE* out = nullptr;
    std::string line;

    bool start(const std::vector<std::string>& args, const std::string& errPath = "") {
        int p[2];
        if (pipe(p) != 0) return false;
        pid = fork();
        if (pid == 0) {
            if (!errPath.empty()) {
                int e = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
                if (e >= 0) dup2(e, 2);
            }
            dup2(p[1], 1);
            close(p[0]);
            close(p[1]);
            std::vector<char*> argv{const_cast<char*>(kFcssim.c_str())};
            for (auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
            argv.push_back(nullptr);
            execv(kFcssim.c_str(), argv.data());
            _exit(127);
        }
        close(p[1]);
        out = fdopen(p[0], "r");
        char buf[256];
        if (!fgets(buf, sizeof buf, out)) return false;
        line = buf;
        return true;
    }
    int stop(int sig = SIGTERM) {
        int st = 0;
        kill(pid, sig);
        waitpid(pid, &st, 0);
        pid = -1;
        return st;
    }
    ~Child() {
        if (pid > 0) stop(SIGKILL);
        if (out) fclose(out);
    }
};

int port_of(const std::string& line) {
    auto colon = line.rfind(':');
    return colon == std::string::npos ? -1 : std::atoi(line.c_str() + colon + 1);
}

// The frame in the transport envelope with request id id.
Bytes sealed(const Bytes& frame, std::uint32_t id) {
    std::uint8_t header[zcl::kEnvelopeSize];
    zcl::seal(zcl::EnvKind::kRequest, id, frame, header);
    Bytes d(sizeof header + frame.size());
    std::memcpy(d.data(), header, sizeof header);
    std::copy(frame.begin(), frame.end(), d.begin() + sizeof header);
    return d;
}

// Sends a datagram and waits up to ms for one; returns it as it came.
Bytes send_raw(int sock, int port, const Bytes& datagram, int ms) {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<std::uint16_t>(port));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sendto(sock, datagram.data(), datagram.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    pollfd pfd{sock, POLLIN, 0};
    if (poll(&pfd, 1, ms) != 1) return {};
    Bytes buf(4096);
    ssize_t n = recv(sock, buf.data(), buf.size(), 0);
    buf.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
    return buf;
}

// Sends a frame in the envelope and waits up to ms for the reply, which must be the intact
// answer to it; returns the reply frame.
Bytes exchange(int sock, int port, const Bytes& frame, int ms = 2000) {
    static std::uint32_t nextId = 0x5EED0000;
    const std::uint32_t id = nextId++;
    Bytes got = send_raw(sock, port, sealed(frame, id), ms);
    if (got.empty()) return {};
    std::uint32_t rid = 0;
    std::span<const std::uint8_t> body;
    EXPECT_EQ(zcl::open(zcl::EnvKind::kReply, got, &rid, &body), zcl::EnvError::kNone);
    EXPECT_EQ(rid, id);
    return Bytes(body.begin(), body.end());
}

class Fcssim : public ::testing::Test {
protected:
    void SetUp() override {
        if (!fs::exists(kFcssim)) GTEST_SKIP() << "fcssim not built";
        sock = socket(AF_INET, SOCK_DGRAM, 0);
    }
    void TearDown() override {
        if (sock >= 0) close(sock);
    }
    static std::string stationDir(std::size_t i = 0) {
        return fs::path(home().result.stations.at(i).stationJsonPath).parent_path().string();
    }
    int sock = -1;
};

TEST_F(Fcssim, ServesStationsOfAHomeRoutedByNumberAndStopsOnSigterm) {
    Child c;
    const std::string err = home().dir + "/fcssim-stderr.txt";
    ASSERT_TRUE(c.start({"--home", home().dir, "--listen", "127.0.0.1:0"}, err));
    ASSERT_EQ(c.line.rfind("fcssim listening on udp:127.0.0.1:", 0), 0u) << c.line;
    int port = port_of(c.line);
    ASSERT_GT(port, 0);

    // Routed by the number in the frame (whole saves of both stations: the e2e suite).
    const fcs::Config cfg2 = fcs::load_config(stationDir(1));
    fcs::Station local2(cfg2);
    Client c2{local2, cfg2.bigEndian};
    Bytes r2 = exchange(sock, port, c2.frame(0x30, 1, 0, 0, 0));
    ASSERT_EQ(r2.size(), 96u);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(r2.data() + 80)), home().result.stations[1].name);

    // No station 3: no answer.
    Bytes f3 = c2.frame(0x1F, 1, 1, 1, 0);
    tb::store_u16(f3.data() + 12, 3);
    EXPECT_TRUE(exchange(sock, port, f3, 200).empty());

    // A frame without the transport envelope, or with a byte of it damaged: refused, with a line.
    const Bytes frame = c2.frame(0x30, 1, 0, 0, 0);
    Bytes damaged = sealed(frame, 7);
    damaged[30] ^= 0x01;
    EXPECT_TRUE(send_raw(sock, port, frame, 200).empty());
    EXPECT_TRUE(send_raw(sock, port, damaged, 200).empty());

    int st = c.stop(SIGTERM);
    EXPECT_TRUE(WIFEXITED(st)) << st;
    EXPECT_EQ(WEXITSTATUS(st), 0);
    std::ifstream in(err);
    const std::string text((std::istreambuf_iterator<char>(in)), {});
    EXPECT_NE(text.find("fcssim: refused a datagram of 56 bytes from 127.0.0.1:"), std::string::npos) << text;
    EXPECT_NE(text.find(": without the transport envelope (see docs/bus-transport.md)"), std::string::npos) << text;
    EXPECT_NE(text.find("fcssim: refused a datagram of 72 bytes"), std::string::npos) << text;
    EXPECT_NE(text.find(": damaged (CRC-32C mismatch)"), std::string::npos) << text;
}

TEST_F(Fcssim, ScenarioDelaysAndDropsOverTheSocket) {
    const std::string sc = home().dir + "/sc.json";
    write_file(sc, R"({"rules": [{"command": "start", "delayMs": 300}, {"command": "start", "nth": 2, "noReply": true}]})");
    Child c;
    ASSERT_TRUE(c.start({"--station", stationDir(), "--listen", "udp:127.0.0.1:0", "--scenario", sc}));
    int port = port_of(c.line);
    fcs::Station local(config(true));
    Client cl{local, true};
    EXPECT_TRUE(exchange(sock, port, cl.frame(0x1F, 1, 1, 1, 0), 100).empty());  // not yet
    pollfd pfd{sock, POLLIN, 0};
    ASSERT_EQ(poll(&pfd, 1, 2000), 1);  // the delayed reply arrives, in the envelope
    Bytes buf(4096);
    EXPECT_EQ(recv(sock, buf.data(), buf.size(), 0), 16 + 72);
    EXPECT_TRUE(exchange(sock, port, cl.frame(0x1F, 1, 1, 1, 0), 300).empty());
    EXPECT_EQ(WEXITSTATUS(c.stop(SIGINT)), 0);
}

TEST_F(Fcssim, RefusesNonLoopbackAndBrokenStations) {
    for (const char* addr : {"0.0.0.0:0", "192.168.1.1:0", "tcp:127.0.0.1:0"}) {
        Child c;
        EXPECT_FALSE(c.start({"--station", stationDir(), "--listen", addr})) << addr;
        EXPECT_EQ(WEXITSTATUS(c.stop(SIGTERM)), 2) << addr;
    }
    const std::string broken = home().dir + "/broken";
    fs::create_directories(broken);
    fs::copy(stationDir(), broken, fs::copy_options::recursive | fs::copy_options::overwrite_existing);
    write_file(broken + "/station.json", R"({"name": "FCS0101", "number": 1, "byteOrder": "middle"})");
    Child c;
    EXPECT_FALSE(c.start({"--station", broken, "--listen", "127.0.0.1:0"}));
    EXPECT_EQ(WEXITSTATUS(c.stop(SIGTERM)), 2);
}

}  // namespace
