// The image steps and look-ups over the sample builder's stations: every block, empty entry
// and record the builder laid out is found where it put it, and a load and store round trip
// leaves the database file as it was.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "LdTuSaveCtrl.h"
#include "LdTuSaveDBRead.h"
#include "image_fixture.h"
#include "libqvecommon.h"
#include "sample.h"

namespace fs = std::filesystem;

namespace {

std::vector<std::uint8_t> ReadAll(const std::string& p) {
    std::ifstream f(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>()};
}

}  // namespace

TEST(ImageSample, EveryStationOfTheSampleIsFoundWhereTheBuilderPutIt) {
    const fs::path dir = fs::temp_directory_path() / ("tusave-image-sample-" + std::to_string(getpid()));
    fs::remove_all(dir);
    sample::Result built = sample::build(sample::default_description(), dir.string());
    ASSERT_FALSE(built.stations.empty());
    const std::size_t allocs = ws::live_allocations();

    for (const sample::StationResult& st : built.stations) {
        SCOPED_TRACE(st.name);
        const std::vector<std::uint8_t> before = ReadAll(st.databasePath);
        LdTuSaveCtrlInf inf;
        inf.strDbFilePath = st.databasePath;
        inf.strUserInstPath = st.userInstPath;
        imgtest::Lines lines;
        ASSERT_EQ(LdTuSaveCtrlDBRead(&inf), LDTUSAVE_OK);
        ASSERT_EQ(inf.dbImageSize, st.imageSize);
        std::uint8_t* const img = inf.pDbImage;
        const std::uint32_t size = inf.dbImageSize;

        LdTuSavesRootTbl rt;
        ASSERT_EQ(LdTuSavesGetStnRootTblAdrs(img, size, &rt), 1);
        EXPECT_EQ(rt.dwBaseAdrs, st.baseAddress);
        EXPECT_EQ(rt.nMaxBlock, st.maxBlock);
        EXPECT_EQ(rt.pBldbPtrTbl, img + st.bldbPtrTblOffset);
        EXPECT_EQ(rt.nAnMsgCnt, static_cast<std::int16_t>(st.uaids.size()));
        EXPECT_EQ(rt.pAnUaid, img + st.uaidOffset);
        ASSERT_TRUE(lines.v.empty());

        for (const sample::BlockInfo& b : st.blocks) {
            lines.v.clear();
            std::uint8_t* hdr = nullptr;
            const int found = LdTuSavesGetDBBlockAdrs(img, size, &rt, static_cast<std::uint16_t>(b.number), &hdr);
            if (b.empty) {
                EXPECT_EQ(found, 0) << "block " << b.number;
                EXPECT_EQ(lines.v, std::vector<std::string>{"ERR:LdTuSavesGetDBBlockAdrs BlockHedaer is Invalid BlockNum=" +
                                                            std::to_string(b.number)});
                continue;
            }
            ASSERT_EQ(found, 1) << "block " << b.number;
            EXPECT_EQ(hdr, img + b.headerOffset);
            for (const sample::RecordInfo& r : b.records) {
                std::uint8_t* rec = nullptr;
                std::uint32_t recSize = 0;
                ASSERT_EQ(LdTuSavesGetDBRecOffset(img, size, &rt, hdr, static_cast<std::uint32_t>(r.recNo), &rec, &recSize), 1)
                    << "block " << b.number << " record " << r.recNo;
                EXPECT_EQ(rec, img + r.offset);
                EXPECT_EQ(recSize, r.size);
            }
        }
        lines.v.clear();
        std::uint8_t* hdr = nullptr;
        EXPECT_EQ(LdTuSavesGetDBBlockAdrs(img, size, &rt, static_cast<std::uint16_t>(st.maxBlock + 1), &hdr), 0);
        EXPECT_EQ(lines.v, std::vector<std::string>{"ERR:LdTuSavesGetDBBlockAdrs:BlockNum Over MaxBlock BlockNum=" +
                                                    std::to_string(st.maxBlock + 1) +
                                                    ", MaxBlock=" + std::to_string(st.maxBlock)});

        lines.v.clear();
        EXPECT_EQ(LdTuSaveCtrlDbWrite(&inf), LDTUSAVE_OK);
        EXPECT_TRUE(lines.v.empty());
        EXPECT_EQ(ReadAll(st.databasePath), before) << "a round trip leaves the file byte for byte";

        __QVEEngFree(inf.pDbImage, "test", __LINE__);
        __QVEEngFree(inf.pUserInst, "test", __LINE__);
    }
    EXPECT_EQ(ws::live_allocations(), allocs);
    fs::remove_all(dir);
}
