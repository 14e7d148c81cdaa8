// Block save of the control area against the simulator core: which records are asked for,
// the batches, the identity check, the placement and the save record table.
#include "upload_support.h"

namespace {

using namespace uptest;

class UploadBlock : public UploadTest {};

TEST_F(UploadBlock, SavedRecordsAskedWithRecordOneAndListedInOneEntry) {
    build(description({model(0x1001, "PVI", {3, 5})}, 1));
    prepareArea();
    ASSERT_EQ(TuAreaSave(tc.get()), 0) << ::testing::PrintToString(lines);
    auto saves = blockSaveRequests();
    ASSERT_EQ(saves.size(), 1u);
    ASSERT_EQ(saves[0].params, 3);
    EXPECT_EQ(saves[0].frame.size(), 56u + 24);
    for (std::size_t i = 0; i < 3; ++i) EXPECT_EQ(saves[0].paraBlock(i), 1);
    EXPECT_EQ(saves[0].paraRec(0), 1);
    EXPECT_EQ(saves[0].paraRec(1), 3);
    EXPECT_EQ(saves[0].paraRec(2), 5);
    ASSERT_EQ(saved.size(), 1u);
    EXPECT_EQ(saved[0].blockNo, 1);
    EXPECT_EQ(saved[0].blkCode, 0x1001);
    EXPECT_EQ(saved[0].recCnt, 2u);
    EXPECT_EQ(saved[0].recNo[0], 3u);
    EXPECT_EQ(saved[0].recNo[1], 5u);
    EXPECT_EQ(saved[0].recNo[2], 0u);
    EXPECT_TRUE(imageEquals(memory, 1, 3));
    EXPECT_TRUE(imageEquals(memory, 1, 5));
    EXPECT_FALSE(imageEquals(original, 1, 3));
    EXPECT_TRUE(imageEquals(original, 1, 1));
    EXPECT_TRUE(imageEquals(original, 1, 2));   // not a saved record
    EXPECT_EQ(lines, (std::vector<std::string>{"MSG:T6040:AREA01", "MSG:T6041:AREA01"}));
    EXPECT_FALSE(station_->session_open());
}

TEST_F(UploadBlock, FortyBlocksOfThreeRecordsGoInBatchesOf26And14) {
    build(description({model(0x1001, "PVI", {2, 3})}, 40));
    prepareArea();
    ASSERT_EQ(TuAreaSave(tc.get()), 0) << ::testing::PrintToString(lines);
    auto saves = blockSaveRequests();
    ASSERT_EQ(saves.size(), 2u);
    EXPECT_EQ(saves[0].params, 78);
    EXPECT_EQ(saves[1].params, 42);
    EXPECT_EQ(saves[0].paraBlock(77), 26);
    EXPECT_EQ(saves[1].paraBlock(0), 27);
    EXPECT_EQ(saves[1].paraRec(0), 1);
    ASSERT_EQ(saved.size(), 40u);
    for (int n = 1; n <= 40; ++n) {
        EXPECT_EQ(saved[static_cast<std::size_t>(n - 1)].blockNo, n);
        EXPECT_TRUE(imageEquals(memory, n, 2) && imageEquals(memory, n, 3)) << "block " << n;
    }
}

TEST_F(UploadBlock, BlockCodeDifferenceWarnsOnceAndWritesNothingOfTheBlock) {
    build(description({model(0x1852, "PIDLOOP", {3})}, 20), R"({"record1": [{"block": 17, "blockCode": 6400}]})");
    prepareArea();
    ASSERT_EQ(TuAreaSave(tc.get()), 0);
    ASSERT_EQ(lines.size(), 3u) << ::testing::PrintToString(lines);
    EXPECT_EQ(lines[1], "WRN:T7201:0017 DB = 0x1852, SAVE = 0x1900");
    EXPECT_TRUE(imageEquals(original, 17, 3));
    EXPECT_TRUE(imageEquals(memory, 16, 3));
    EXPECT_TRUE(imageEquals(memory, 18, 3));
    ASSERT_EQ(saved.size(), 19u);
    for (const auto& e : saved) EXPECT_NE(e.blockNo, 17);
    // 6226 blocks carry their parent from record 2.
    EXPECT_EQ(saved[0].oyaBlockNo, block(1).parent);
}

TEST_F(UploadBlock, HighBlockCodesArePrintedSignWidened) {
    build(description({model(0x1001, "PVI", {3})}, 2), R"({"record1": [{"block": 2, "blockCode": 36864}]})");
    prepareArea();
    ASSERT_EQ(TuAreaSave(tc.get()), 0);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[1], "WRN:T7201:0002 DB = 0x1001, SAVE = 0xffff9000");
}

TEST_F(UploadBlock, TagNameDifferenceWarnsUnlessTheImageTagIsAnAdlBlock) {
    build(description({model(0x1001, "PVI", {3}), model(0x1002, "ADL", {3}, 3, "%%ADL")}, 4),
          R"({"record1": [{"block": 1, "tag": "OTHER1"}, {"block": 2, "tag": "OTHER2"}]})");
    prepareArea();
    ASSERT_EQ(TuAreaSave(tc.get()), 0);
    // Blocks 1 and 2 are one of each model; the %%ADL one is not compared by tag name.
    const int adl = block(1).tag.rfind("%%ADL", 0) == 0 ? 1 : 2;
    const int plain = 3 - adl;
    std::vector<std::string> warn;
    for (const auto& l : lines)
        if (l.rfind("WRN:", 0) == 0) warn.push_back(l);
    ASSERT_EQ(warn.size(), 1u) << ::testing::PrintToString(lines);
    EXPECT_EQ(warn[0], "WRN:T7202:000" + std::to_string(plain) + " DB = " + block(plain).tag + ", SAVE = OTHER" +
                           std::to_string(plain));
    EXPECT_TRUE(imageEquals(memory, adl, 3));
    EXPECT_TRUE(imageEquals(original, plain, 3));
}

TEST_F(UploadBlock, UndeliveredRecordCostsOneLineAndTheRestIsWritten) {
    build(description({model(0x1001, "PVI", {2, 3})}, 3), R"({"items": [{"block": 2, "record": 2, "status": 37907}]})");
    prepareArea();
    ASSERT_EQ(TuAreaSave(tc.get()), 0);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[1], "ERR:T6060: T6056:" + block(2).tag + " T6057:0x1001 T6058:0x9413");
    EXPECT_TRUE(imageEquals(original, 2, 2));
    EXPECT_TRUE(imageEquals(memory, 2, 3));
    EXPECT_TRUE(imageEquals(memory, 1, 2));
    EXPECT_TRUE(imageEquals(memory, 3, 2));
    ASSERT_EQ(saved.size(), 3u);
    EXPECT_EQ(saved[1].recCnt, 1u);
    EXPECT_EQ(saved[1].recNo[0], 3u);
}

TEST_F(UploadBlock, UndeliveredRecordOneSkipsTheIdentityCheck) {
    build(description({model(0x1001, "PVI", {3})}, 1),
          R"({"items": [{"block": 1, "record": 1, "status": 37906}], "record1": [{"block": 1, "blockCode": 4660}]})");
    prepareArea();
    ASSERT_EQ(TuAreaSave(tc.get()), 0);
    ASSERT_EQ(lines.size(), 3u) << ::testing::PrintToString(lines);
    EXPECT_EQ(lines[1].rfind("ERR:T6059: T6056:", 0), 0u) << lines[1];
    EXPECT_TRUE(imageEquals(memory, 1, 3));
    ASSERT_EQ(saved.size(), 1u);
}

// Which categories are written and listed: upload_e2e_test over the sample's every category.
TEST_F(UploadBlock, BrokenAreaLinkFailsTheAreaWithItsLineAndOpensNoSession) {
    build(description({model(0x1001, "PVI", {3})}, 2));
    const std::uint32_t base = tb::load_u32(image.data() + 0x240) - 0x100;
    const std::size_t area = 0x200 + (tb::load_u32(image.data() + 0x280) - base);
    const std::size_t blkPtr = area + (tb::load_u32(image.data() + area + 0x0C) - tb::load_u32(image.data() + 0x280));
    const std::pair<std::size_t, const char*> cases[] = {
        {0x280, "ERR:RootTblP->AreaRootTbl1 is NULL"},
        {area + 0x08, "ERR:RootTblP->areaCnstTblPtr is NULL"},
        {area + 0x0C, "ERR:RootTblP->blockPtrTblPtr is NULL"},
        {blkPtr + 0x08, "ERR:BlockPtrTbl->bldbPtrTblPtr is NULL"},
    };
    prepareArea();
    for (auto [field, line] : cases) {
        for (std::uint32_t bad : {0u, 0xFFFFFFF0u}) {
            image = original;
            tb::store_u32(image.data() + field, bad);
            lines.clear();
            EXPECT_EQ(TuAreaSave(tc.get()), -1);
            EXPECT_TRUE(requests.empty());
            EXPECT_EQ(lines, (std::vector<std::string>{"MSG:T6040:AREA01", line}));
        }
    }
}

TEST_F(UploadBlock, EmptyWalkStillSendsOneSaveRequest) {
    // Category-0 blocks of code 6266 are not walked at all.
    build(description({model(0x187A, "NOCAT", {3}, 0)}, 3));
    prepareArea();
    ASSERT_EQ(TuAreaSave(tc.get()), 0);
    auto saves = blockSaveRequests();
    ASSERT_EQ(saves.size(), 1u);
    EXPECT_EQ(saves[0].params, 0);
    EXPECT_EQ(saves[0].frame.size(), 56u);
    for (int n = 1; n <= 3; ++n) EXPECT_TRUE(imageEquals(original, n, 3));
    EXPECT_TRUE(saved.empty());
}

TEST_F(UploadBlock, FailedSaveRecordQueryGivesTheBlockNoRecords) {
    build(description({model(0x1001, "PVI", {3}), model(0x1002, "PVJ", {3})}, 4));
    prepareArea();
    failpoint::arm("IEdalInstGetSaveRecNo:4097", 0x2E000106, 1, true);
    ASSERT_EQ(TuAreaSave(tc.get()), 0);
    auto saves = blockSaveRequests();
    ASSERT_EQ(saves.size(), 1u);
    for (std::size_t i = 0; i < saves[0].params; ++i) EXPECT_NE(block(saves[0].paraBlock(i)).code, 0x1001);
    std::size_t others = 0;
    for (const auto& b : st_->blocks) others += b.code == 0x1002;
    ASSERT_GT(others, 0u);
    for (const auto& e : saved) EXPECT_EQ(e.blkCode, 0x1002);
    // One warning for the code, naming its first block, however many blocks have it.
    int first = 0;
    for (const auto& b : st_->blocks)
        if (b.code == 0x1001 && first == 0) first = b.number;
    std::size_t warned = 0;
    for (const auto& l : lines) {
        if (l.rfind("WRN:", 0) != 0) continue;
        ++warned;
        EXPECT_NE(l.find("Inst No = 0x1001 -> NG  BlockNo = " + std::to_string(first) + ", dwRtn = 771752198"),
                  std::string::npos) << l;
    }
    EXPECT_EQ(warned, 1u);
    EXPECT_EQ(saved.size(), others);
    EXPECT_EQ(saves[0].params, 2 * others);
}

TEST_F(UploadBlock, WrongSizeIsRefusedAndTheImageUnchanged) {
    build(description({model(0x1001, "PVI", {2})}, 1), R"({"recordSizes": [{"block": 1, "record": 2, "size": 64}]})");
    // Record 2 is 0xB8 here; the refusal shows the image's size and the delivered one.
    prepareArea();
    EXPECT_EQ(TuAreaSave(tc.get()), -1);
    ASSERT_EQ(lines.size(), 2u) << ::testing::PrintToString(lines);
    EXPECT_EQ(lines[1], "ERR:TuRecordDBSet() recordSize is unmatch(to(0xb8), from(0x40) )");
    EXPECT_EQ(image, original);
    EXPECT_FALSE(station_->session_open());
}

// ---- record placement, directly --------------------------------------------------------------

class UploadRecordSet : public UploadTest {
protected:
    void SetUp() override {
        UploadTest::SetUp();
        build(description({model(0x1001, "PVI", {2})}, 2));
        prepareArea();
        std::uint8_t* bldb = nullptr;
        ASSERT_EQ(TuGetAreaTbl(tc.get(), &bldb), 0);
        ASSERT_NE(bldb, nullptr);
        hdr = TuBlockSearch(bldb, 1, tc.get());
        ASSERT_NE(hdr, nullptr);
        const auto& r = rec(1, 2);
        data.assign(memory.begin() + static_cast<long>(r.offset), memory.begin() + static_cast<long>(r.offset + r.size));
        item = TuUpLoadItem{2, 1, r.size, data.data()};
    }
    std::uint8_t* hdr = nullptr;
    std::vector<std::uint8_t> data;
    TuUpLoadItem item{};
};

// Identity bytes of the delivered record that differ from the image's: refused, nothing written;
// numbers are printed widened with their sign.
TEST_F(UploadRecordSet, IdentityDifferenceIsRefused) {
    const auto before = image;
    data[3] = 9;
    EXPECT_EQ(TuRecordDBSet(hdr, &item, tc.get()), -1);
    EXPECT_EQ(lines, std::vector<std::string>{"ERR:TuRecordDBSet() recordNo is unmatch( to(0x2), from(0x9) )"});
    data[3] = 2;
    tb::store_u16(image.data() + rec(1, 2).offset, 0xFFFF);
    lines.clear();
    EXPECT_EQ(TuRecordDBSet(hdr, &item, tc.get()), -1);
    EXPECT_EQ(lines, std::vector<std::string>{"ERR:TuRecordDBSet() blockNo is unmatch( to(0xffffffff), from(0x1) )"});
    tb::store_u16(image.data() + rec(1, 2).offset, 1);
    EXPECT_EQ(image, before);
}

TEST_F(UploadRecordSet, RecordOutsideTheImageIsRefusedLikeANullPointer) {
    // The record's address points at the image's last bytes: its end lies beyond.
    const std::uint32_t base = tb::load_u32(image.data() + 0x240) - 0x100;
    tb::store_u32(hdr + 0x38 + 8 * 2, base + static_cast<std::uint32_t>(image.size() - 0x200 - 0x10));
    const auto before = image;
    EXPECT_EQ(TuRecordDBSet(hdr, &item, tc.get()), -1);
    EXPECT_EQ(lines, std::vector<std::string>{"ERR:TuRecordDBSet() record pointer is NULL"});
    EXPECT_EQ(image, before);
    tb::store_u32(hdr + 0x38 + 8 * 2, 0);
    lines.clear();
    EXPECT_EQ(TuRecordDBSet(hdr, &item, tc.get()), -1);
    EXPECT_EQ(lines, std::vector<std::string>{"ERR:TuRecordDBSet() record pointer is NULL"});
}

TEST_F(UploadRecordSet, MaxBlockBeyondTheImageIsBounded) {
    const std::uint32_t base = tb::load_u32(image.data() + 0x240) - 0x100;
    const std::size_t area = 0x200 + (tb::load_u32(image.data() + 0x280) - base);
    const std::size_t cnst = area + (tb::load_u32(image.data() + area + 8) - tb::load_u32(image.data() + 0x280));
    tb::store_u16(image.data() + cnst + 0x40, 0x7FFF);
    std::uint8_t* bldb = nullptr;
    ASSERT_EQ(TuGetAreaTbl(tc.get(), &bldb), 0);
    ASSERT_NE(bldb, nullptr);
    const std::size_t entries = (image.size() - static_cast<std::size_t>(bldb - image.data())) / 4;
    EXPECT_EQ(tc->maxBlock, static_cast<std::int32_t>(entries));
}

// ---- the item table ------------------------------------------------------------------------------

TEST_F(UploadRecordSet, ItemsNotMatchingTheirEntriesAreRefused) {
    std::vector<std::uint8_t> buf = bustest::cat(bustest::item(1, 2, 4), bustest::item(1, 2, 4));
    tc->saveRecCnt = 1;
    tc->saveRecTbl[0].blockNo = 1;
    tc->saveRecTbl[0].recNo = 2;
    tc->upDataSize = static_cast<std::int32_t>(buf.size());
    TuUpLoadItem items[kTuSaveRecMax] = {};
    EXPECT_EQ(TusSetUpLoadTbl(items, buf.data(), tc.get()), -1);
    EXPECT_EQ(lines, std::vector<std::string>{"ERR:TusSetUpLoadTbl(): data size error"});
    EXPECT_EQ(items[1].recNo, 0);

    // An item for another record than its entry asks for names both.
    lines.clear();
    tc->saveRecCnt = 2;
    tc->saveRecTbl[1].blockNo = 1;
    tc->saveRecTbl[1].recNo = 3;
    EXPECT_EQ(TusSetUpLoadTbl(items, buf.data(), tc.get()), -1);
    EXPECT_EQ(lines, std::vector<std::string>{"ERR:TusSetUpLoadTbl(): item 1 is not the record asked for "
                                              "(asked block 1 record 3, came block 1 record 2)"});

    // A byte count running past the data: refused before anything is taken.
    lines.clear();
    tc->saveRecTbl[1].recNo = 2;
    tb::store_u32(buf.data() + 20 + 12, 5);
    EXPECT_EQ(TusSetUpLoadTbl(items, buf.data(), tc.get()), -1);
}

}  // namespace
