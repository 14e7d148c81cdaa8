// Saves under faults. The fault matrix: a good save records every failpoint it reaches and in which
// step; then each name fails at its n-th call (I/O calls also from the n-th on) on a fresh copy of
// the workstation, every run held against the invariants below (all violations listed at once).
// Late replies: late copies and damaged replies at every position of a save.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <atomic>
#include <iostream>
#include <thread>

#include "../library/ctrl_fixture.h"
#include "e2e_fcssim.h"
#include "envelope.h"
#include "libqverxeda.h"
#include "tusave_bytes.h"

namespace {

namespace fs = std::filesystem;

// The station on the bus: its simulator core answers the save's frames, the generation query
// gets the project's own stamp; no station (nullptr) answers nothing.
std::optional<zcl::Frame> answer(fcs::Station* station, std::span<const std::uint8_t> req) {
    if (req.size() >= 56 && (req[34] == 0x1F || req[34] == 0x21 || req[34] == 0x24)) {
        fcs::Reply r = station ? station->handle(req) : fcs::Reply{};
        return r.frame.empty() ? std::nullopt : std::optional<zcl::Frame>(r.frame);
    }
    zcl::Frame rep(96, 0);
    std::copy(req.begin(), req.begin() + std::min<std::size_t>(32, req.size()), rep.begin());
    tb::store_u16(rep.data() + 64, 0x0102);
    tb::store_u64(rep.data() + 72, ctrl_test::kStamp);
    return rep;
}

// The steps of a save, as its lines mark them.
enum Step { kQuery, kInit, kCheck, kRead, kUpload, kStore, kEdit, kTp, kTool, kClose, kEnd, kSteps };
constexpr const char* kStepName[kSteps] = {"query", "init",  "check", "read",  "upload", "store",
                                           "edit",  "tp",    "tool",  "close", "end"};

// The line that starts each step (the query step starts with the call).
Step step_after(const std::string& line, Step now) {
    static const std::map<std::string, Step> marks = {
        {"PRG:00", kInit}, {"MSG:T7209", kCheck}, {"PRG:05", kRead}, {"PRG:10", kUpload}, {"PRG:20", kStore},
        {"PRG:30", kEdit}, {"PRG:40", kTp},       {"PRG:70", kTool}, {"PRG:90", kClose},  {"PRG:100", kEnd}};
    auto it = marks.find(line);
    return it == marks.end() ? now : it->second;
}

constexpr std::uint32_t kSilent = 1;    // the failure needs no "ERR:" line
constexpr std::uint32_t kLockCode = 2;  // the lock service's own code: no end processing
constexpr std::uint32_t kOther = 4;     // harmless, but the result differs from the good one (a
                                        // file passed over with a warning): no old-or-new check

struct Expect { std::uint32_t code, flags; };

// What a failure in each step gives, unless kRows says otherwise: queries (test mode, APCS), the
// tool backup, the history database and end processing never change the result; the TP step
// gives bare lines, then "MSG:" 7207.
constexpr Expect kStepExpect[kSteps] = {{0, 0},          {0x20234106, 0}, {0x20234104, 0}, {0x20234108, 0},
                                        {0x20234104, 0}, {0x20234109, 0}, {0x2023410a, 0}, {0x20234105, kSilent},
                                        {0, 0},          {0, 0},          {0, 0}};

struct Row {
    const char* name;
    Step step;
    unsigned long nth;  // the call within the whole save; 0: every call in the step
    Expect expect;
};
constexpr Expect kOk{0, 0}, kWarn{0, kOther}, kInitFail{0x20234101, 0}, kBusFail{0x20234107, 0};
// Failures whose code differs from their step's.
const Row kRows[] = {
    // The generation lock refused: its own code, no lines, no end processing.
    {"QVEEdaGenLockStation", kInit, 0, {0, kLockCode | kSilent}},
    // Automatic backup comment: error log only; element selection set-up: result not looked at.
    {"IsFCSAutBackupMode", kInit, 0, kOk}, {"CreateComment", kInit, 0, kOk}, {"ElemTblInit", kInit, 0, kOk},
    {"ElemTblSortInit", kInit, 0, kOk},
    // The station's own files, tested by initialisation.
    {"GetFCSFilePath", kInit, 2, kInitFail}, {"GetFCSUserInstPath", kInit, 0, kInitFail},
    {"QVEEngCreateFile", kInit, 0, kInitFail}, {"QVEEngCloseFile", kInit, 0, kInitFail},
    {"CreateFileA", kInit, 0, kInitFail}, {"CloseHandle", kInit, 1, kInitFail}, {"CloseHandle", kInit, 2, kInitFail},
    // The bus not named, not opened, not closed after a good check.
    {"ZclGetDeviceName", kCheck, 0, kBusFail}, {"ZclOpen", kCheck, 0, kBusFail}, {"ZclClose", kCheck, 0, kBusFail},
    {"CloseHandle", kCheck, 0, kBusFail},
    // Upload: the I/O bus types and the mapped file fall back; an area that the configuration
    // does not know is passed over with a warning.
    {"CQVEEdaFcsDatabase::Open", kUpload, 0, kOk}, {"GetIOBusType", kUpload, 0, kOk},
    {"CQVEEdaFileMap::Close", kUpload, 0, kOk}, {"CloseHandle", kUpload, 0, kOk},
    {"QVERXEdaFcsAreaConfByNo", kUpload, 0, kWarn},
    // Edit files: an AN message file, block file or working copy that does not open (for reading
    // and writing) is passed over with a warning; a working copy that cannot be read, written
    // back or committed does not stop the step (the group's third file, CAL0003.wkf, and its
    // last, SEQ0006.wkf); a failed status test means "no copy".
    {"_stat", kEdit, 0, {0, kSilent}}, {"GetStnNo", kEdit, 0, kWarn},
    {"CreateFileA", kEdit, 7, kWarn}, {"CreateFileA", kEdit, 9, kWarn}, {"CreateFileA", kEdit, 13, kWarn},
    {"QVEEngCreateFile", kEdit, 7, kWarn}, {"QVEEngCreateFile", kEdit, 9, kWarn}, {"QVEEngCreateFile", kEdit, 13, kWarn},
    {"ReadFile", kEdit, 10, kOk}, {"GetFileSize", kEdit, 10, kOk}, {"SetFilePointer", kEdit, 4, kOk},
    {"SetFilePointer", kEdit, 7, kOk}, {"WriteFile", kEdit, 5, kOk}, {"WriteFile.short", kEdit, 5, kOk},
    {"CloseHandle", kEdit, 11, kOk},
    // The UAID of a block: a failed look-up is reported and the file update goes on. A code is
    // looked up at its first block's station record; its tag record asks again only after a
    // failure (a failure there would fail the step: the step's code).
    {"IEdalInstGetInstName", kEdit, 0, kWarn}, {"IEdalInstGetDItemCnctInf", kEdit, 0, kWarn},
    // Closing the bus or the instance definitions: the result is not looked at.
    {"ZclClose", kUpload, 0, kOk}, {"IEdalInstClose", kUpload, 0, kOk}, {"IEdalInstClose", kEdit, 0, kOk},
    {"IEdalInstClose", kTp, 0, kOk},
    // The saved records of a model: a failed query gives the block none; a count the TP file
    // can hold is taken as it is.
    {"IEdalInstGetSaveRecNo", kUpload, 0, kWarn}, {"IEdalInstGetSaveRecNo.count", kUpload, 0, kWarn},
    {"IEdalInstGetSaveRecNo.count", kTp, 0, kWarn},
    // The working copies listed per folder: without a listing each is looked for on its own.
    {"FindFirstFileA", kEdit, 0, kOk}, {"FindNextFileA", kEdit, 0, kOk}, {"FindClose", kEdit, 0, kOk},
    // Archive: the listing and the final removal of the temporary are not looked at.
    {"FindFirstFileA", kTp, 0, {0, kSilent}}, {"FindNextFileA", kTp, 0, {0, kSilent}}, {"DeleteFileA", kTp, 0, {0, kSilent}},
};

// The result a failpoint is armed with: what a failing call of that kind returns.
long long fault_of(const std::string& name) {
    static const std::map<std::string, long long> special = {
        {"WaitForMultipleObjects", 258 /* WAIT_TIMEOUT */}, {"WaitForSingleObject", 0xFFFFFFFF /* WAIT_FAILED */},
        {"WriteFile.short", 1}, {"IEdalInstGetDItemList2.count", 1}, {"IEdalInstGetSaveRecNo.count", 9}, {"Sleep", 0}};
    auto it = special.find(name);
    return it == special.end() ? 5 : it->second;
}

using project_files::Files;
using project_files::snapshot;

// Every byte of a equals o's or g's there (files of one size).
bool per_byte_old_or_new(const std::string& a, const std::string& o, const std::string& g) {
    for (std::size_t i = 0; i < a.size() && a.size() == o.size() && a.size() == g.size(); ++i)
        if (a[i] != o[i] && a[i] != g[i]) return false;
    return a.size() == o.size() && a.size() == g.size();
}

int open_fds() { return static_cast<int>(std::distance(fs::directory_iterator("/proc/self/fd"), fs::directory_iterator())); }

class FaultMatrix : public ctrl_test::CtrlSave {
protected:
    void SetUp() override {
        CtrlSave::SetUp();
        std::map<unsigned, std::string> t;  // every resource id has a text: no line goes missing
        for (unsigned id = 4000; id < 8000; ++id) t[id] = "T" + std::to_string(id);
        port::set_string_table(t);
        desc_ = sample::default_description();
        desc_.stations.resize(1);
        sample::Station& s = desc_.stations[0];
        s.blocks = 10, s.emptyEvery = 7, s.codeZeroEvery = 9, s.blocksPerDrawing = 4, s.anMessages = 3, s.autoBackup = true;
        s.customFolders = {"CUSTOM01"};  // one run of the backup tool
        pristine_ = dir_ + ".pristine";
        result_ = sample::build(desc_, pristine_, {TUSAVE_BUILD_DIR "/tools/shgsave/shgsave"});
        e2e::set_bus(result_.workstationJson, "inproc:matrix");
        stationCfg_ = fs::path(result_.stations[0].stationJsonPath).parent_path().string();
        before_ = snapshot(pristine_);
        zcl::register_inproc("matrix", [this](std::span<const std::uint8_t> req) { return answer(station_.get(), req); });
    }
    void TearDown() override {
        std::error_code ec;
        zcl::unregister_inproc("matrix"), fs::remove_all(pristine_, ec);
        CtrlSave::TearDown();
    }

    // A fresh copy of the workstation, a fresh station, nothing armed, the counters at 0.
    void fresh() {
        std::error_code ec;
        fs::remove_all(dir_, ec);
        fs::copy(pristine_, dir_, fs::copy_options::recursive);
        station_ = std::make_unique<fcs::Station>(fcs::load_config(stationCfg_));
        failpoint::reset(), lines.clear();
    }

    std::uint32_t run() { return QVELdFcsTuningParmSave("P1", "P2", "DEMO", "FCS0101", 2, 0, 7); }

    std::string pristine_, stationCfg_;
    Files before_;
    std::unique_ptr<fcs::Station> station_;
};

TEST_F(FaultMatrix, EveryFailpointAtEveryStepKeepsTheInvariants) {
    // The good save: where each step begins, in calls of every name.
    fresh();
    std::vector<std::vector<unsigned long>> bounds(kSteps + 1);
    Step step = kQuery;
    bounds[kQuery] = failpoint::reached_all();
    ws::set_message_sink([&](const char* line) {
        lines.emplace_back(line);
        const Step next = step_after(line, step);
        for (int s = step + 1; s <= next; ++s) bounds[static_cast<std::size_t>(s)] = failpoint::reached_all();
        step = next;
        return 0u;
    });
    const int fds0 = open_fds();
    ASSERT_EQ(run(), 0u) << ::testing::PrintToString(lines);
    ws::set_message_sink([this](const char* line) { return lines.emplace_back(line), 0u; });
    bounds[kSteps] = failpoint::reached_all();
    for (auto& b : bounds)
        if (b.empty()) b = bounds[kSteps];
    const Files good = snapshot(dir_);
    ASSERT_NE(good, before_);
    EXPECT_EQ(open_fds(), fds0);

    // The expectation for call n of name i, which falls in step s.
    auto expect_of = [](const std::string& name, int s, unsigned long n) {
        for (const Row& r : kRows)
            if (name == r.name && r.step == s && (r.nth == 0 || r.nth == n)) return r.expect;
        return kStepExpect[s];
    };
    auto step_of = [&bounds](std::size_t i, unsigned long n) {
        for (int s = 0; s < kSteps; ++s)
            if (n > bounds[static_cast<std::size_t>(s)][i] && n <= bounds[static_cast<std::size_t>(s) + 1][i]) return s;
        return static_cast<int>(kSteps);
    };

    std::vector<std::string> violations;
    std::size_t runs = 0, namesReached = 0;
    for (std::size_t i = 0; i < failpoint::kCount; ++i) {
        const std::string name = failpoint::kTable[i].name;
        if (bounds[kSteps][i] == 0) continue;
        // TUSAVE_MATRIX_ONLY=NAME runs the rows of one name.
        if (const char* only = std::getenv("TUSAVE_MATRIX_ONLY"); only && *only && name != only) continue;
        ++namesReached;
        for (int s = 0; s < kSteps; ++s) {
            const unsigned long first = bounds[static_cast<std::size_t>(s)][i] + 1;
            const unsigned long last = bounds[static_cast<std::size_t>(s) + 1][i];
            if (first > last) continue;
            // The first call of the step, one from its middle and its last.
            std::set<unsigned long> ns = {first, (first + last) / 2, last};
            const bool io = failpoint::kTable[i].flags & failpoint::kIo;
            for (int onward = 0; onward <= (io ? 1 : 0); ++onward) {
                for (unsigned long n : ns) {
                    if (onward && n != first) continue;
                    const std::string id =
                        name + "=" + std::to_string(fault_of(name)) + "@" + std::to_string(n) + (onward ? "+" : "");
                    fresh();
                    const int fds = open_fds();
                    failpoint::arm(name, fault_of(name), static_cast<unsigned>(n), onward != 0);
                    const std::uint32_t rc = run();
                    ++runs;
                    const bool firedAtAll = failpoint::fired(name) > 0;
                    failpoint::reset();
                    const auto err = std::find_if(lines.begin(), lines.end(), [](const auto& l) { return l.rfind("ERR:", 0) == 0; });
                    const std::string firstErr = err == lines.end() ? "" : *err;
                    auto bad = [&](const std::string& what) {
                        violations.push_back(id + " (" + kStepName[s] + "): " + what +
                                             (firstErr.empty() ? "" : " [" + firstErr + "]"));
                    };
                    if (!firedAtAll) bad("the call was not reached");
                    // Failing from call n on, any later call of the name can be the one that ends the save.
                    const Expect want = expect_of(name, s, n);
                    std::vector<std::pair<Expect, int>> allowed = {{want, s}};
                    for (unsigned long m = n + 1; onward && m <= bounds[kSteps][i]; ++m)
                        allowed.emplace_back(expect_of(name, step_of(i, m), m), step_of(i, m));
                    const Expect* got = nullptr;
                    int failed = s;   // the step whose failure ended the save
                    for (const auto& [e, at] : allowed)
                        if (!got && ((e.flags & kLockCode) ? rc != 0 : rc == e.code)) {
                            got = &e;
                            failed = at;
                        }
                    if (!got) {
                        char b[96];
                        std::snprintf(b, sizeof b, "result %#x, expected %#x%s", rc, want.code,
                                      (want.flags & kLockCode) ? " (the lock service's code)" : "");
                        bad(b);
                    }
                    const Expect e = got ? *got : want;
                    if (rc != 0 && firstErr.empty() && !(e.flags & kSilent)) bad("no ERR: line");
                    if (rc == 0x20234105 && std::find(lines.begin(), lines.end(), "MSG:T7207") == lines.end())
                        bad("no \"MSG:T7207\" line");
                    if (!(e.flags & kLockCode)) {
                        const std::string closing = std::string("MSG:T") + (rc ? "6038" : "6039") + "  " + ctrl_test::kTimeText;
                        std::string lastPrg;
                        for (const auto& l : lines) lastPrg = l.rfind("PRG:", 0) == 0 ? l : lastPrg;
                        if (lines.empty() || lastPrg != "PRG:100" || lines.back() != closing)
                            bad("not closed by PRG:100 and \"" + closing + "\"");
                    }
                    if (ws::live_allocations() != 0)
                        bad(std::to_string(ws::live_allocations()) + " buffers left allocated");
                    if (open_fds() != fds) bad(std::to_string(open_fds() - fds) + " file descriptors leaked");
                    const auto pass = [&](const std::string& p, const std::string* a, const std::string* o,
                                             const std::string* g) {
                        if ((e.flags & kOther) && a && (o || g)) return true;
                        // A failed TP step (or removal) leaves the writer's temporary only complete.
                        if (failed == kTp && a && !o && !g && p.ends_with(".tmp")) {
                            auto tp = good.find(p.substr(0, p.size() - 4));
                            if (tp != good.end() && *a == tp->second) return true;
                        }
                        // A failing edit entry keeps the blocks of earlier entries: a drawing
                        // file of several blocks may hold some new and some old, byte by byte.
                        return s == kEdit && a && o && g && p.find("/FUNCTION_BLOCK/") != std::string::npos &&
                               per_byte_old_or_new(*a, *o, *g);
                    };
                    for (const std::string& v : e2e::neither_old_nor_new(before_, good, snapshot(dir_), pass)) bad(v);
                    void* lock = nullptr;
                    char info[16] = {};
                    if (QVEEdaGenLockStation("DEMO", "FCS0101", 1, info, sizeof info, &lock) != 0) bad("the generation lock is held");
                    else QVEEdaGenUnlockStation("DEMO", "FCS0101", lock);
                    if (::testing::Test::HasFailure()) return;
                }
            }
        }
    }
    std::cout << "fault matrix: " << namesReached << " names reached, " << runs << " runs\n";
    EXPECT_TRUE(violations.empty()) << violations.size() << " violations:\n" << ::testing::PrintToString(violations);
}

// A station on a loopback socket in this process, speaking the transport envelope: the
// simulator core answers, and at one position (the n-th request) the station either sends a
// late copy of the previous reply before the answer, or sends the answer with one byte flipped
// and nothing else.
struct FaultyStation {
    enum class Fault { kNone, kLateCopy, kFlip };
    using Answer = std::function<std::optional<zcl::Frame>(std::span<const std::uint8_t>)>;

    explicit FaultyStation(Answer answer) : answer_(std::move(answer)) {
        sockaddr_in sa{};
        sa.sin_family = AF_INET, sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof sa;
        ::bind(fd_, reinterpret_cast<sockaddr*>(&sa), sizeof sa), ::getsockname(fd_, reinterpret_cast<sockaddr*>(&sa), &len);
        port_ = ntohs(sa.sin_port);
        thread_ = std::thread([this] { serve(); });
    }
    ~FaultyStation() { stop_ = true, thread_.join(), ::close(fd_); }
    std::string device() const { return "udp:127.0.0.1:" + std::to_string(port_); }
    // Arms the fault at request n (from 1) of the next run and counts requests from 0 again.
    void arm(Fault f, int n) { fault_ = f, at_ = n, requests_ = 0; }
    int requests() const { return requests_; }
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
            std::vector<std::uint8_t> datagram = sealed(zcl::EnvKind::kReply, id, *reply);
            auto send = [&](const std::vector<std::uint8_t>& d) { ::sendto(fd_, d.data(), d.size(), 0, reinterpret_cast<sockaddr*>(&from), flen); };
            if (n == at_ && fault_ == Fault::kLateCopy && !previous.empty()) send(previous);
            std::vector<std::uint8_t> sent = datagram;
            if (n == at_ && fault_ == Fault::kFlip) sent[(static_cast<std::size_t>(n) * 7919u) % sent.size()] ^= 0x10;
            send(sent);
            previous = std::move(datagram);
        }
    }

    Answer answer_;
    int fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0), port_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<Fault> fault_{Fault::kNone};
    std::atomic<int> at_{0}, requests_{0};
    std::thread thread_;
};

using LateReplies = FaultMatrix;

// At every position of a save, a late copy of the previous reply sent before the answer, or
// the answer with one byte flipped: the save ends byte for byte as a good save, or fails and
// leaves every project file as it was; never RESULT 0 with other bytes.
TEST_F(LateReplies, NeverTakenForTheAnswerAtAnyPositionOfASave) {
    FaultyStation station([this](std::span<const std::uint8_t> req) { return answer(station_.get(), req); });
    e2e::set_bus(result_.workstationJson, station.device());
    fresh();
    ASSERT_EQ(run(), 0u) << ::testing::PrintToString(lines);
    const Files good = snapshot(dir_);
    ASSERT_NE(good, before_);
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
            fresh();
            station.arm(fault, n);
            const unsigned rc = run();
            (rc == 0 ? saved : failed)++;
            EXPECT_TRUE(snapshot(dir_) == (rc == 0 ? good : before_)) << (rc == 0 ? "RESULT 0 with other bytes" : "a failed save changed project files");
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
