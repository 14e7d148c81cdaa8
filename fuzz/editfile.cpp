// The sectioned engineering files: the fuzzer's bytes are a block edit file, the station's
// edit file or the AN message file, and the edit file update's operations run on them with
// the sample's image and save entries.
//
// Input: u8 file kind (0 block edit file, 1 station's edit file, 2 AN message file), u8 save
// entry index, then the file's bytes. Block edit files are patched in memory and never
// written back; the AN message file is replaced as the update does.
#include <cstdint>
#include <string>
#include <vector>

#include "LdTuSaveEdit.h"
#include "LdTuSaveEditFmt.h"
#include "fuzz_home.h"
#include "libqverxgen.h"

namespace {

struct EditHome {
    fuzzhome::Home& h = fuzzhome::home();
    LdTuSavesRootTbl root;
    std::vector<LdTuSaveRecord> entries;
    std::vector<std::uint8_t> stationEdit = fuzzhome::read_file(h.st->stationEditPath);
    std::vector<std::uint8_t> anFile = fuzzhome::read_file(h.st->anMsgPath);
    std::string blockPath = h.dir + "/fuzz.edf";

    EditHome() {
        LdTuSaveCtrlInf& inf = h.inf;
        if (LdTuSaveCtrlDBRead(&inf) != 0 || !LdTuSavesGetStnRootTblAdrs(inf.pDbImage.View(), &root) ||
            IEdalInstOpenForTP(fuzzhome::kProject, inf.strStation.c_str(), 2) != 0)
            std::abort();
        // The save entries of a good save: every listed block with its saved records.
        for (const sample::BlockInfo& b : h.st->blocks) {
            if (!b.listed) continue;
            LdTuSaveRecord e;
            e.blockNo = static_cast<std::uint16_t>(b.number), e.blkCode = b.code, e.oyaBlockNo = b.parent;
            for (const sample::RecordInfo& r : b.records)
                if (r.saved && e.recCnt < 8) e.recNo[e.recCnt++] = static_cast<std::uint32_t>(r.recNo);
            entries.push_back(e);
        }
        if (entries.empty()) std::abort();
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static EditHome e;
    if (size < 2) return 0;
    LdTuSaveCtrlInf& inf = e.h.inf;
    const int kind = data[0] % 3;
    const LdTuSaveRecord entry = e.entries[data[1] % e.entries.size()];
    const std::uint8_t* file = data + 2;
    const std::size_t fileSize = size - 2;

    // The station's edit file taken in as the update takes it in, and written back through Apply.
    std::vector<std::uint8_t> editBuf = kind == 1 ? std::vector<std::uint8_t>(file, file + fileSize) : e.stationEdit;
    if (!inf.stnEdit.Load(editBuf)) std::abort();
    {
        fuzzhome::LeakCheck leaks;
        LdTuSaveEditFiles files;   // results of any kind are fine: crashes and leaks are the findings
        if (kind == 0) {
            fuzzhome::write_file(e.blockPath, file, fileSize);
            static_cast<void>(LdTuSavesUpdateBlockFile(&inf, &e.root, &entry, e.blockPath, &files));
        } else if (kind == 1) {
            static_cast<void>(LdTuSavesSetUaidInBL(&inf, &e.root, &entry));
            fuzzhome::write_file(e.h.st->anMsgPath, e.anFile.data(), e.anFile.size());
            static_cast<void>(LdTuSavesUpdateAnMsgFile(&inf, &e.root, &files));
        } else {
            fuzzhome::write_file(e.h.st->anMsgPath, file, fileSize);
            static_cast<void>(LdTuSavesUpdateAnMsgFile(&inf, &e.root, &files));
        }
    }
    inf.stnEdit.Apply(editBuf, 0);
    inf.stnEdit.Reset();
    return 0;
}
