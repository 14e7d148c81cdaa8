// The upload of the sample station (both areas, every request after the connection) with the
// fuzzer's bytes as the station's replies.
//
// Input: one flag byte (bit 0: the station's byte order, i.e. test mode off), then reply
// frames, each a u16 length (little-endian) and that many bytes. Every request gets the next
// frame; when they run out, an empty frame (a short reply) ends the upload at once.
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <span>

#include "fuzz_home.h"
#include "tusave.h"

namespace {

struct Replies {
    const std::uint8_t* p = nullptr;
    std::size_t left = 0;
    zcl::Frame next() {
        if (left < 2) return {};
        const std::size_t n = std::min<std::size_t>(tb::load_u16(p), left - 2);
        zcl::Frame f(p + 2, p + 2 + n);
        p += 2 + n, left -= 2 + n;
        return f;
    }
};

Replies g_replies;

// The station is connected and its instance definitions opened once (TuGetStation); each
// input runs the rest of the upload over a fresh copy of the image.
struct UploadHome {
    fuzzhome::Home& h = fuzzhome::home();
    std::vector<std::uint8_t> image = fuzzhome::read_file(h.st->databasePath);
    std::vector<std::uint8_t> userInst = fuzzhome::read_file(h.st->userInstPath);
    std::vector<std::uint8_t> work;
    LdTuSaveDbImage dbImage;   // views work
    std::string areaName;
    tucomn station{};
    UploadHome() {
        zcl::register_inproc(fuzzhome::kBus, [](std::span<const std::uint8_t>) -> std::optional<zcl::Frame> {
            return g_replies.next();
        });
        station.project = fuzzhome::kProject, station.station = h.st->name.c_str(), station.projectKind = 2;
        station.pAreaName = &areaName, station.pUserInst = userInst.data(), station.pSysObj = &h.inf.sysObj;
        if (TuGetStation(&station) != TU_OK) std::abort();
    }
    ~UploadHome() { TuCloseStation(&station); }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static UploadHome u;
    if (size < 1) return 0;
    g_testMode = (data[0] & 1) ? 0 : 1;
    g_replies = Replies{data + 1, size - 1};
    u.work = u.image;
    LdTuSaveRecordTbl saved;
    {
        // The work areas stay from one input to the next, as from one request to the next of
        // a save: allocated again for every input, a large one costs more than the input.
        fuzzhome::LeakCheck leaks{[] { return fuzzhome::live_buffers_of("tufsize.cpp"); }};
        auto tc = std::make_unique<tucomn>(u.station);
        u.dbImage.Borrow(u.work.data(), u.work.size());
        tc->pDbImage = &u.dbImage;
        tc->pSaveRecordTbl = &saved;
        static_cast<void>(TuUpLoadMain(tc.get()));   // any result: crashes and leaks are the findings
    }
    return 0;
}
