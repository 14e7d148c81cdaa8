// Whole saves through a station on a loopback socket that answers late copies and damaged replies
// at every position of a save (a big-endian station served by fcssim: save_e2e_test, test
// stations in host order: cli_e2e_test).
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "../library/ctrl_fixture.h"
#include "ZclNthmi/zcl_envelope.h"
#include "e2e_fcssim.h"
#include "project_files.h"
#include "tusave_bytes.h"

namespace {

// A station on a loopback socket in this process, speaking the transport envelope: the
// simulator core answers, and at one position (the n-th request) the station either sends a
// late copy of the previous reply before the answer, or sends the answer with one byte flipped
// and nothing else.
class FaultyStation {
public:
    enum class Fault { kNone, kLateCopy, kFlip };
    using Answer = std::function<std::optional<zcl::Frame>(std::span<const std::uint8_t>)>;

    explicit FaultyStation(Answer answer) : answer_(std::move(answer)) {
        fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(fd_, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
        socklen_t len = sizeof sa;
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&sa), &len);
        port_ = ntohs(sa.sin_port);
        thread_ = std::thread([this] { serve(); });
    }
    ~FaultyStation() {
        stop_ = true;
        thread_.join();
        ::close(fd_);
    }
    std::string device() const { return "udp:127.0.0.1:" + std::to_string(port_); }
    // Arms the fault at request n (from 1) of the next run and counts requests from 0 again.
    void arm(Fault f, int n) {
        fault_ = f;
        at_ = n;
        requests_ = 0;
    }
    int requests() const { return requests_; }

private:
    void serve() {
        std::vector<std::uint8_t> buf(65536), previous;
        while (!stop_) {
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, 20) != 1) continue;
            sockaddr_in from{};
            socklen_t flen = sizeof from;
            const ssize_t got = ::recvfrom(fd_, buf.data(), buf.size(), 0, reinterpret_cast<sockaddr*>(&from), &flen);
            std::uint32_t id = 0;
            std::span<const std::uint8_t> frame;
            if (got < 0 || zcl::open(zcl::EnvKind::kRequest, std::span<const std::uint8_t>(buf.data(), std::size_t(got)),
                                     &id, &frame) != zcl::EnvError::kNone)
                continue;
            const int n = ++requests_;
            std::optional<zcl::Frame> reply = answer_(frame);
            if (!reply) continue;
            std::uint8_t header[zcl::kEnvelopeSize];
            zcl::seal(zcl::EnvKind::kReply, id, *reply, header);
            std::vector<std::uint8_t> datagram(header, header + sizeof header);
            datagram.insert(datagram.end(), reply->begin(), reply->end());
            auto send = [&](const std::vector<std::uint8_t>& d) {
                ::sendto(fd_, d.data(), d.size(), 0, reinterpret_cast<sockaddr*>(&from), flen);
            };
            if (n == at_ && fault_ == Fault::kLateCopy && !previous.empty()) send(previous);
            std::vector<std::uint8_t> sent = datagram;
            if (n == at_ && fault_ == Fault::kFlip) sent[(static_cast<std::size_t>(n) * 7919u) % sent.size()] ^= 0x10;
            send(sent);
            previous = std::move(datagram);
        }
    }

    Answer answer_;
    int fd_ = -1;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<Fault> fault_{Fault::kNone};
    std::atomic<int> at_{0}, requests_{0};
    std::thread thread_;
};

class LateReplies : public ctrl_test::CtrlSave {
protected:
    void SetUp() override {
        CtrlSave::SetUp();
        desc_.stations.resize(1);
        desc_.stations[0].blocks = 12;
        desc_.stations[0].anMessages = 3;
    }
    // The stations as built: a run leaves none of its sessions behind for the next.
    void reset_stations() {
        const sample::StationResult& s = result_.stations.at(0);
        fcs::Config cfg = fcs::load_config(std::filesystem::path(s.stationJsonPath).parent_path().string());
        if (desc_.stations[0].underTest || desc_.stations[0].apcs) cfg.bigEndian = false;
        stations_[s.number] = std::make_shared<fcs::Station>(std::move(cfg));
    }
    // The project files as they were before any save.
    void restore(const project_files::Files& files) {
        const project_files::Files now = project_files::snapshot(dir_);
        for (const auto& [rel, bytes] : now)
            if (!files.count(rel)) std::filesystem::remove(dir_ + "/" + rel);
        for (const auto& [rel, bytes] : files) {
            auto it = now.find(rel);
            if (it == now.end() || it->second != bytes)
                std::ofstream(dir_ + "/" + rel, std::ios::binary | std::ios::trunc) << bytes;
        }
    }
};

// At every position of a save, a late copy of the previous reply sent before the answer, or
// the answer with one byte flipped: the save ends byte for byte as a good save, or fails and
// leaves every project file as it was; never RESULT 0 with other bytes.
TEST_F(LateReplies, NeverTakenForTheAnswerAtAnyPositionOfASave) {
    build();
    FaultyStation station([this](std::span<const std::uint8_t> req) -> std::optional<zcl::Frame> {
        if (req.size() >= 56 && (req[34] == 0x1F || req[34] == 0x21 || req[34] == 0x24)) {
            auto it = stations_.find(req[12] | (req[13] << 8));
            fcs::Reply r = it == stations_.end() ? fcs::Reply{} : it->second->handle(req);
            return r.frame.empty() ? std::nullopt : std::optional<zcl::Frame>(r.frame);
        }
        zcl::Frame rep(96, 0);   // the generation query
        std::copy(req.begin(), req.begin() + std::min<std::size_t>(32, req.size()), rep.begin());
        tb::store_u16(rep.data() + 64, 0x0102);
        tb::store_u64(rep.data() + 72, ctrl_test::kStamp);
        return rep;
    });
    e2e::set_bus(result_.workstationJson, station.device());

    const project_files::Files before = project_files::snapshot(dir_);
    ASSERT_EQ(save(result_.stations[0].name.c_str(), 2, 0), 0u) << ::testing::PrintToString(lines);
    const project_files::Files good = project_files::snapshot(dir_);
    ASSERT_NE(good, before);
    const int positions = station.requests();
    ASSERT_GT(positions, 10);

    const unsigned long dropped0 = zcl::dropped_frames();
    int saved = 0, failed = 0;
    const std::string trace = dir_ + ".trace";
    for (auto fault : {FaultyStation::Fault::kLateCopy, FaultyStation::Fault::kFlip}) {
        // The trace of the saves with late copies says that they were dropped.
        if (fault == FaultyStation::Fault::kLateCopy) {
            setenv("TUSAVE_TRACE", trace.c_str(), 1);
        } else {
            EXPECT_NE(e2e::read_text(trace).find("(late or repeated)"), std::string::npos);
            unsetenv("TUSAVE_TRACE");
            std::filesystem::remove(trace);
        }
        // A damaged reply is dropped and the right one never comes: the read gives up sooner.
        zcl::set_reply_wait(std::chrono::milliseconds(fault == FaultyStation::Fault::kFlip ? 300 : 30000));
        for (int n = 1; n <= positions; ++n) {
            SCOPED_TRACE((fault == FaultyStation::Fault::kFlip ? "flipped byte in reply " : "late copy before reply ") +
                         std::to_string(n));
            restore(before);
            reset_stations();
            station.arm(fault, n);
            const unsigned rc = save(result_.stations[0].name.c_str(), 2, 0);
            const project_files::Files after = project_files::snapshot(dir_);
            (rc == 0 ? saved : failed)++;
            EXPECT_TRUE(after == (rc == 0 ? good : before)) << (rc == 0 ? "RESULT 0 with other bytes" : "a failed save changed project files");
        }
    }
    zcl::set_reply_wait(std::chrono::milliseconds(30000));
    // Every late copy reached the client and was dropped, and the save went on with the answer;
    // every damaged reply was dropped and failed its save.
    EXPECT_GE(zcl::dropped_frames() - dropped0, static_cast<unsigned long>(2 * positions - 1));
    EXPECT_EQ(saved, positions);
    EXPECT_EQ(failed, positions);
}

}  // namespace
