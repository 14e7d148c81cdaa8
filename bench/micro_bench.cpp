// Micro benchmarks of the save's inner loops, over one 4000-block sample station built once:
// the image walk, the record conversion, the element search, the value formatting and the TP
// writer.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "LdTuSaveCtrl.h"
#include "LdTuSaveEdit.h"
#include "LdTuSaveImage.h"
#include "libqvebc2fcs.h"
#include "libqvecommon.h"
#include "libqvecommon/qvecommon_host.h"
#include "libqverxgen.h"
#include "sample.h"
#include "tsinf.h"

namespace {

using namespace LdTuSaveImg;

struct Fixture {
    std::string dir;
    sample::Result built;
    std::vector<std::uint8_t> image;
    std::vector<std::uint8_t> userInst;

    Fixture() {
        char tmpl[] = "/tmp/tusave-micro-XXXXXX";
        if (!mkdtemp(tmpl)) std::abort();
        dir = tmpl;
        sample::Description d = sample::default_description();
        d.stations.resize(1);
        d.stations[0].blocks = 4000;
        d.stations[0].blocksPerDrawing = 32;
        built = sample::build(d, dir);
        image = read(built.stations[0].databasePath);
        userInst = read(built.stations[0].userInstPath);
        setenv("TUSAVE_HOME", dir.c_str(), 1);
        ws::set_message_sink([](const char*) { return 0u; });
    }
    ~Fixture() {
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
    }
    static std::vector<std::uint8_t> read(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in), {});
    }
};

Fixture& fx() {
    static Fixture f;
    return f;
}

// Every block header and every record of the control area, as the upload and the TP writer
// find them.
void BM_ImageWalk(benchmark::State& state) {
    auto& f = fx();
    for (auto _ : state) {
        LdTuSaveImage img(f.image.data(), f.image.size());
        const LdTuSaveArea area = img.Area(1, LdTuSaveAreaForm::kAreaRootAdrs);
        std::size_t found = 0;
        for (std::uint32_t b = 1; b <= area.BlockCount(); ++b) {
            auto hdr = img.BlockHeader(area.anchor, *area.bldb, b);
            if (!hdr) continue;
            for (std::uint32_t r = 1; r <= 8; ++r) found += img.Record(area.anchor, *hdr, r).off.has_value();
        }
        benchmark::DoNotOptimize(found);
    }
}
BENCHMARK(BM_ImageWalk)->Unit(benchmark::kMicrosecond);

// The byte-order conversion of every saved record of the station, by the user instance file.
void BM_RecordConversion(benchmark::State& state) {
    auto& f = fx();
    const auto& st = f.built.stations[0];
    void* inst = __QVEEngMalloc(f.userInst.size(), __FILE__, __LINE__);
    std::memcpy(inst, f.userInst.data(), f.userInst.size());
    std::vector<std::uint8_t> img = f.image;
    std::size_t records = 0;
    for (auto _ : state) {
        for (const auto& b : st.blocks) {
            if (!b.listed) continue;
            for (const auto& r : b.records) {
                if (!r.saved) continue;
                bc3RecordInBlock(img.data() + r.offset, img.data() + b.headerOffset, b.code, r.recNo,
                                 static_cast<int>(r.size), 0, inst);
                ++records;
            }
        }
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(records));
    __QVEEngFree(inst, __FILE__, __LINE__);
}
BENCHMARK(BM_RecordConversion)->Unit(benchmark::kMicrosecond);

// The element list of the station read from the reference database, then every block's
// element looked up once.
void BM_ElemSearch(benchmark::State& state) {
    auto& f = fx();
    LdTuSaveCtrlInf inf;
    if (LdTuSaveCtrlInit("", "", "DEMO", f.built.stations[0].name.c_str(), 2, 2, 0, &inf) != 0) {
        state.SkipWithError("initialisation failed");
        return;
    }
    std::size_t hits = 0;
    char name[32];
    _QVEElemTbl out;
    for (auto _ : state) {
        for (int b = 1; b <= 4000; ++b) {
            std::snprintf(name, sizeof name, "%%BL%04d", b);
            hits += ElemSearch(name, inf.elemList, &out) == 0;
        }
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()) * 4000);
    benchmark::DoNotOptimize(hits);
    LdTuSaveCtrlEnd(&inf, 0);
}
BENCHMARK(BM_ElemSearch)->Unit(benchmark::kMicrosecond);

// Initialisation alone: the context and the element list read from the reference database.
void BM_ElemListLoad(benchmark::State& state) {
    auto& f = fx();
    for (auto _ : state) {
        LdTuSaveCtrlInf inf;
        if (LdTuSaveCtrlInit("", "", "DEMO", f.built.stations[0].name.c_str(), 2, 2, 0, &inf) != 0) {
            state.SkipWithError("initialisation failed");
            return;
        }
        benchmark::DoNotOptimize(inf.elemList.size());
        LdTuSaveCtrlEnd(&inf, 0);
    }
}
BENCHMARK(BM_ElemListLoad)->Unit(benchmark::kMillisecond);

// The value text of every element of every item of every block, as the TP writer asks.
void BM_ValueFormatting(benchmark::State& state) {
    auto& f = fx();
    TpSaveInf tp;
    tp.strProject = "DEMO";
    tp.strStation = f.built.stations[0].name;
    tp.projectKind = 2;
    LdTuSaveDbImage dbImage;
    dbImage.Borrow(f.image.data(), f.image.size());
    tp.pDbImage = &dbImage;
    if (IEdalInstOpenForTP("DEMO", tp.strStation.c_str(), 2) != 0 || LdTuSaveTpCollectInst(&tp, 1) != 0) {
        state.SkipWithError("instance tables not built");
        return;
    }
    for (std::uint32_t i = 0; i < tp.instInfTblUsedNum; ++i) static_cast<void>(LdTuSaveTpFillInst(&tp.pInstInfTbl[i]));
    LdTuSaveImage img(f.image.data(), f.image.size());
    const LdTuSaveArea area = img.Area(1, LdTuSaveAreaForm::kAreaRootAdrs);
    std::string value;
    std::int64_t values = 0;
    for (auto _ : state) {
        for (std::uint32_t b = 1; b <= area.BlockCount(); ++b) {
            auto hdr = img.BlockHeader(area.anchor, *area.bldb, b);
            if (!hdr) continue;
            const std::uint16_t code = *img.U16(*hdr + kBlkHdrBlockCode);
            for (std::uint32_t i = 0; i < tp.instInfTblUsedNum; ++i) {
                const InstInf& inst = tp.pInstInfTbl[i];
                if (inst.instNo != code) continue;
                for (std::int32_t k = 0; k < inst.itemInfTblUsedNum; ++k) {
                    const ItemInf& it = inst.pItemInfTbl[k];
                    const std::uint32_t n = std::max<std::uint32_t>(it.dim1, 1) * std::max<std::uint32_t>(it.dim2, 1);
                    for (std::uint32_t e = 0; e < n; ++e) {
                        static_cast<void>(LdTuSaveTpValue(img, area.anchor, *hdr, b, it, e, value));
                        ++values;
                    }
                }
            }
        }
    }
    state.SetItemsProcessed(values);
    LdTuSaveTpFreeTables(&tp);
    IEdalInstClose();
}
BENCHMARK(BM_ValueFormatting)->Unit(benchmark::kMicrosecond);

// The whole TP step: instance tables, the TP file through its temporary, the archive copy.
void BM_TpWriter(benchmark::State& state) {
    auto& f = fx();
    LdTuSaveCtrlInf inf;
    if (LdTuSaveCtrlInit("", "", "DEMO", f.built.stations[0].name.c_str(), 2, 2, 0, &inf) != 0 ||
        LdTuSaveCtrlDBRead(&inf) != 0) {
        state.SkipWithError("initialisation failed");
        return;
    }
    for (auto _ : state)
        if (LdTuSaveCtrlCreateParmStr(&inf, 0) != 0) state.SkipWithError("TP step failed");
    LdTuSaveCtrlEnd(&inf, 0);
}
BENCHMARK(BM_TpWriter)->Unit(benchmark::kMillisecond)->Iterations(10);

}  // namespace

BENCHMARK_MAIN();
