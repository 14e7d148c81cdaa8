// The station database image: the fuzzer's bytes are the station database file. The load
// step reads and checks it; a loaded image then goes through every look-up of the edit file
// update, the upload's station set-up and the whole TP file step.
#include <cstdint>

#include "LdTuSaveDBRead.h"
#include "libqvecommon.h"
#include "fuzz_home.h"
#include "tusave.h"

namespace {

constexpr std::uint32_t kMaxBlocks = 512;   // blocks looked up per input
constexpr std::uint32_t kMaxRecNo = 9;

void Lookups(LdTuSaveCtrlInf& inf) {
    const LdTuSaveImage img = inf.pDbImage.View();
    LdTuSavesRootTbl root;
    if (!LdTuSavesGetStnRootTblAdrs(img, &root)) return;
    const std::uint32_t n = root.nMaxBlock < 0 ? 0 : std::min<std::uint32_t>(root.nMaxBlock + 1u, kMaxBlocks);
    for (std::uint32_t b = 1; b <= n; ++b) {
        std::uint8_t* hdr = nullptr;
        if (!LdTuSavesGetDBBlockAdrs(img, &root, static_cast<std::uint16_t>(b), &hdr))
            continue;
        for (std::uint32_t r = 0; r <= kMaxRecNo; ++r) {
            std::uint8_t* rec = nullptr;
            std::uint32_t recSize = 0;
            // A record found lies wholly inside the image.
            if (LdTuSavesGetDBRecOffset(img, &root, hdr, r, &rec, &recSize) &&
                (rec < img.data() || !tb::in_range(img.size(), static_cast<std::size_t>(rec - img.data()), recSize)))
                std::abort();
        }
    }
    // The UAIDs the AN message update copies.
    volatile std::uint32_t sum = 0;
    for (std::int32_t k = 0; k < static_cast<std::uint16_t>(root.nAnMsgCnt); ++k)
        sum = sum + root.pAnUaid[2 * k] + root.pAnUaid[2 * k + 1];
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static fuzzhome::Home& h = fuzzhome::home();
    LdTuSaveCtrlInf& inf = h.inf;
    fuzzhome::write_file(inf.strDbFilePath, data, size);
    {
        fuzzhome::LeakCheck leaks;
        if (LdTuSaveCtrlDBRead(&inf) == 0) {
            Lookups(inf);
            tucomn tc{};
            tc.project = fuzzhome::kProject, tc.station = inf.strStation.c_str(), tc.pDbImage = &inf.pDbImage;
            TuSetStationInfo(&tc);
            static_cast<void>(LdTuSaveCtrlCreateParmStr(&inf, 0));   // any result: crashes are the findings
        }
        inf.pDbImage.Reset();
        inf.pUserInst.Reset();
    }
    return 0;
}
