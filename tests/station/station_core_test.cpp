// The simulated station in-process: sessions, save, chunked upload, operation marks, the
// generation query, scripted faults, and malformed input.
#include <gtest/gtest.h>

#include <cstring>

#include "libqvebc2fcs.h"
#include "libqvecommon.h"
#include "station_test_image.h"

namespace {

using namespace stest;

fcs::Scenario scenario(const std::string& text) {
    std::string err;
    auto sc = fcs::Scenario::parse(text, err);
    EXPECT_TRUE(sc) << err;
    return sc.value_or(fcs::Scenario{});
}

// The user instance image as the library holds it: a buffer of the memory service.
struct UserInst {
    UserInst() {
        p = __QVEEngMalloc(std::strlen(kUserInst), "station_core_test", __LINE__);
        std::memcpy(p, kUserInst, std::strlen(kUserInst));
    }
    ~UserInst() { __QVEEngFree(p, "station_core_test", __LINE__); }
    void* p;
};

struct Item {
    std::uint16_t status;
    std::uint8_t type, rec;
    std::int16_t block;
    std::uint16_t first, count;
    Bytes data;  // host order
};

// Splits upload data into items, converting to host order as the library does.
std::vector<Item> items_of(Bytes data, bool big, const UserInst& ui) {
    std::vector<Item> out;
    std::size_t off = 0;
    while (off < data.size()) {
        EXPECT_LE(16u, data.size() - off);
        if (data.size() - off < 16) break;
        auto* h = reinterpret_cast<FcMnSaveData*>(data.data() + off);
        if (big) {
            EXPECT_EQ(bc2FcMnSaveData(h, 0), 0);
        }
        Item it{tb::load_u16(h->b), h->b[4], h->b[5], tb::load_i16(h->b + 6), tb::load_u16(h->b + 8),
                tb::load_u16(h->b + 10), {}};
        std::uint32_t n = tb::load_u32(h->b + 12);
        off += 16;
        EXPECT_TRUE(tb::in_range(data.size(), off, n));
        if (!tb::in_range(data.size(), off, n)) break;
        it.data.assign(data.begin() + off, data.begin() + off + n);
        if (big && it.status == 0 && it.type == 1) {
            std::uint16_t code = it.block == 1 ? 6226 : 6227;
            EXPECT_EQ(bc3RecordInBlock(it.data.data(), nullptr, code, it.rec, static_cast<int>(n), 0, ui.p), 0);
        } else if (big && it.status == 0) {
            for (std::size_t i = 0; i + 1 < n; i += 2) tb::swap_in_place(it.data.data() + i, 2);
        }
        off += n;
        out.push_back(std::move(it));
    }
    return out;
}

// Save request + upload until the announced size; returns the data and the chunk sizes.
Bytes save_and_upload(Client& c, std::uint8_t area, const std::vector<Para>& params, std::vector<int>* chunks = nullptr) {
    Answer s = c.request(0x21, 3, area, params);
    EXPECT_EQ(s.status, 0);
    EXPECT_EQ(s.result, 0);
    std::uint32_t size = c.u32_body(s);
    Bytes data;
    for (int guard = 0; data.size() < size && guard < 1000; ++guard) {
        Answer u = c.request(0x24, 3, area);
        EXPECT_EQ(u.result, 0);
        if (u.result == 0x9642) continue;
        if (u.result != 0) break;
        EXPECT_EQ(static_cast<std::size_t>(u.bytes), u.body.size());
        if (chunks) chunks->push_back(u.bytes);
        data.insert(data.end(), u.body.begin(), u.body.end());
    }
    EXPECT_EQ(data.size(), size);
    return data;
}

class Conversation : public ::testing::TestWithParam<bool> {};

TEST_P(Conversation, SessionSaveUploadEndGivesTheMemoryRecords) {
    const bool big = GetParam();
    Image im = build_image();
    fcs::Station st(config(im, big));
    Client c{st, big};
    UserInst ui;

    Answer a = c.start(1);
    ASSERT_EQ(a.status, 0);
    ASSERT_EQ(a.result, 0);
    EXPECT_NE(c.session, 0u);
    EXPECT_TRUE(st.session_open());
    EXPECT_EQ(st.session_id(), c.session);

    Bytes data = save_and_upload(c, 1,
                                 {{1, 1, 1}, {1, 2, 1}, {1, 3, 1}, {1, 2, 2}, {1, 1, 3}, {1, 7, 1}});
    auto items = items_of(data, big, ui);
    ASSERT_EQ(items.size(), 6u);
    int want[][2] = {{1, 1}, {1, 2}, {1, 3}, {2, 2}};
    for (int i = 0; i < 4; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(items[i].status, 0);
        EXPECT_EQ(items[i].type, 1);
        EXPECT_EQ(items[i].block, want[i][0]);
        EXPECT_EQ(items[i].rec, want[i][1]);
        std::size_t off = im.record_off(want[i][0], want[i][1]);
        Bytes mem(im.b.begin() + off, im.b.begin() + off + items[i].data.size());
        EXPECT_EQ(items[i].data, mem);
    }
    EXPECT_EQ(items[1].data.size(), 256u);
    EXPECT_EQ(items[4].status, fcs::kItemNoBlock);
    EXPECT_TRUE(items[4].data.empty());
    EXPECT_EQ(items[5].status, fcs::kItemNoRecord);
    EXPECT_EQ(items[5].block, 1);
    EXPECT_EQ(items[5].rec, 7);

    // A save request without parameters announces nothing, and nothing is left to upload.
    Answer none = c.request(0x21, 3, 1);
    EXPECT_EQ(none.result, 0);
    EXPECT_EQ(c.u32_body(none), 0u);
    EXPECT_EQ(c.request(0x24, 3, 1).result, fcs::kResultNothingToUpload);

    Answer e = c.request(0x1F, 2, 1);
    EXPECT_EQ(e.result, 0);
    EXPECT_FALSE(st.session_open());
    EXPECT_EQ(c.request(0x21, 3, 1, {{1, 3, 1}}).result, fcs::kResultBadSession);
}

TEST_P(Conversation, OperationMarksComeFromTheirTablesInStationOrder) {
    const bool big = GetParam();
    Image im = build_image();
    fcs::Station st(config(im, big));
    Client c{st, big};
    UserInst ui;
    ASSERT_EQ(c.start(0).result, 0);
    struct Case {
        Para p;
        std::size_t table, off, len;
    } cases[] = {
        {{10, 0, 0, 1, 4}, im.op10, 0, 8},
        {{42, 0, 0, 5, 12}, im.op42, 8, 24},
        {{21, 0, 0, 2, 1}, im.op21, 64, 64},
        {{29, 0, 0, 2, 1}, im.op29, 1024, 1024},
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(int(k.p.kind));
        // Raw bytes first: 16-bit words swapped for a big-endian station.
        Bytes raw = save_and_upload(c, 0, {k.p});
        ASSERT_EQ(raw.size(), 16 + k.len);
        Bytes mem(im.b.begin() + k.table + k.off, im.b.begin() + k.table + k.off + k.len);
        EXPECT_EQ(raw[16], big ? mem[1] : mem[0]);
        auto items = items_of(raw, big, ui);
        ASSERT_EQ(items.size(), 1u);
        EXPECT_EQ(items[0].status, 0);
        EXPECT_EQ(items[0].type, k.p.kind);
        EXPECT_EQ(items[0].first, k.p.first);
        EXPECT_EQ(items[0].count, k.p.count);
        EXPECT_EQ(items[0].data, mem);
    }
    EXPECT_EQ(c.request(0x1F, 2, 0).result, 0);
    // The AN message kinds of the control area; kind 31 is a bit map of 48 bytes for 300.
    ASSERT_EQ(c.start(1).result, 0);
    auto items = items_of(save_and_upload(c, 1, {{31, 0, 0, 1, 300}, {58, 0, 0, 1, 300}, {12, 0, 0, 300, 1}}), big, ui);
    ASSERT_EQ(items.size(), 3u);
    EXPECT_EQ(items[0].data, Bytes(im.b.begin() + im.op31, im.b.begin() + im.op31 + 48));
    EXPECT_EQ(items[1].data, Bytes(im.b.begin() + im.op58, im.b.begin() + im.op58 + 600));
    EXPECT_EQ(items[2].data, Bytes(im.b.begin() + im.op12 + 598, im.b.begin() + im.op12 + 600));
}

INSTANTIATE_TEST_SUITE_P(ByteOrder, Conversation, ::testing::Values(true, false),
                         [](const auto& i) { return i.param ? "BigEndian" : "HostOrder"; });

TEST(Station, OperationMarkOutsideItsTableOrUnknownGetsAnItemStatus) {
    Image im = build_image();
    fcs::Station st(config(im, true));
    Client c{st, true};
    UserInst ui;
    ASSERT_EQ(c.start(0).result, 0);
    auto items = items_of(save_and_upload(c, 0, {{10, 0, 0, 1, 5}, {42, 0, 0, 0, 1}, {11, 0, 0, 1, 1}, {77, 0, 0, 1, 1}}),
                          true, ui);
    ASSERT_EQ(items.size(), 4u);
    EXPECT_EQ(items[0].status, fcs::kItemBadRange);  // 4 elements only
    EXPECT_EQ(items[1].status, fcs::kItemBadRange);  // elements count from 1
    EXPECT_EQ(items[2].status, fcs::kItemNoTable);   // kind 11 has a count of 0
    EXPECT_EQ(items[3].status, fcs::kItemUnknownKind);
    for (auto& it : items) EXPECT_TRUE(it.data.empty());
}

TEST(Station, UploadChunksAt2012AndAtAScriptedSize) {
    Image im = build_image();
    std::vector<Para> many;
    for (int i = 0; i < 12; ++i) many.push_back({1, 2, 1});  // 12 x (16 + 256) = 3264 bytes
    {
        fcs::Station st(config(im, true));
        Client c{st, true};
        ASSERT_EQ(c.start(1).result, 0);
        std::vector<int> chunks;
        save_and_upload(c, 1, many, &chunks);
        EXPECT_EQ(chunks, (std::vector<int>{2012, 1252}));
        // Everything delivered: a further upload is refused.
        EXPECT_EQ(c.request(0x24, 3, 1).result, fcs::kResultNothingToUpload);
    }
    {
        fcs::Station st(config(im, true, scenario(R"({"chunkSize": 1000,
            "rules": [{"command": "upload", "nth": 2, "chunk": 300}]})")));
        Client c{st, true};
        ASSERT_EQ(c.start(1).result, 0);
        std::vector<int> chunks;
        save_and_upload(c, 1, many, &chunks);
        EXPECT_EQ(chunks, (std::vector<int>{1000, 300, 1000, 964}));
    }
}

TEST(Station, BusyDoesNotTakeTheRequestSoTheSameFrameSucceedsAfter) {
    Image im = build_image();
    fcs::Station st(config(im, true, scenario(R"({"rules": [{"command": "save", "status": 22, "times": 2}]})")));
    Client c{st, true};
    ASSERT_EQ(c.start(1).result, 0);
    Bytes f = c.frame(0x21, 3, 1, c.serial, c.session, {{1, 3, 1}});
    EXPECT_EQ(c.send(f).status, 22);
    EXPECT_EQ(c.send(f).status, 22);
    Answer a = c.send(f);
    EXPECT_EQ(a.status, 0);
    EXPECT_EQ(a.result, 0);
    EXPECT_EQ(c.u32_body(a), 32u);
}

TEST(Station, WrongSerialOrSessionIsRefused) {
    Image im = build_image();
    fcs::Station st(config(im, true));
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
    // A new session hands out another identifier.
    std::uint32_t first = c.session;
    ASSERT_EQ(c.start(0).result, 0);
    EXPECT_NE(c.session, first);
}

TEST(Station, ScriptedRefusalItemStatusRecord1AndSize) {
    Image im = build_image();
    fcs::Station st(config(im, false, scenario(R"({
        "rules": [{"command": "start", "result": "0x9412"}],
        "items": [{"block": 1, "record": 3, "status": "0x9413"}, {"station": 2, "block": 2, "record": 2, "status": 1}],
        "record1": [{"block": 2, "tag": "OTHER01", "blockCode": "0x1900"}],
        "recordSizes": [{"block": 2, "record": 2, "size": 64}]})")));
    Client c{st, false};
    UserInst ui;
    Answer refused = c.start(1);
    EXPECT_EQ(refused.result, 0x9412);
    EXPECT_FALSE(st.session_open());
    ASSERT_EQ(c.start(1).result, 0);
    auto items = items_of(save_and_upload(c, 1, {{1, 3, 1}, {1, 1, 2}, {1, 2, 2}}), false, ui);
    ASSERT_EQ(items.size(), 3u);
    EXPECT_EQ(items[0].status, 0x9413);
    EXPECT_TRUE(items[0].data.empty());
    ASSERT_EQ(items[1].data.size(), 64u);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(items[1].data.data() + 4)), "OTHER01");
    EXPECT_EQ(tb::load_u16(items[1].data.data() + 0x14), 0x1900);
    EXPECT_EQ(items[2].status, 0);  // the fault for station 2 does not apply
    ASSERT_EQ(items[2].data.size(), 64u);
    std::size_t off = im.record_off(2, 2);
    EXPECT_EQ(items[2].data, Bytes(im.b.begin() + off, im.b.begin() + off + 64));
}

TEST(Station, ShortReplyNoReplyDelayAndDroppedMalformed) {
    Image im = build_image();
    fcs::Station st(config(im, true, scenario(R"({"malformed": "drop", "rules": [
        {"command": "start", "truncate": 20}, {"command": "start", "nth": 2, "noReply": true},
        {"command": "any", "delayMs": 250, "times": 0}]})")));
    Client c{st, true};
    fcs::Reply r = st.handle(c.frame(0x1F, 1, 1, 1, 0));
    EXPECT_EQ(r.frame.size(), 20u);
    EXPECT_EQ(r.delayMs, 250u);
    EXPECT_TRUE(st.handle(c.frame(0x1F, 1, 1, 1, 0)).frame.empty());
    EXPECT_EQ(st.handle(c.frame(0x1F, 1, 1, 1, 0)).frame.size(), 72u);
    EXPECT_TRUE(st.handle(Bytes(40, 0)).frame.empty());
}

TEST(Station, GenerationInformation) {
    Image im = build_image();
    for (bool big : {true, false}) {
        fcs::Station st(config(im, big));
        Client c{st, big};
        fcs::Reply r = st.handle(c.frame(0x30, 1, 0, 0, 0));
        ASSERT_EQ(r.frame.size(), 96u);
        Answer a = c.read(r);
        EXPECT_EQ(a.status, 0);
        EXPECT_EQ(a.result, 0);
        const std::uint8_t* g = r.frame.data() + 64;
        if (big) {
            EXPECT_EQ(g[0], 0x01);
            EXPECT_EQ(g[1], 0x02);
            EXPECT_EQ(g[8 + 7], 0xC3);  // u64 big-endian
            EXPECT_EQ(g[8], 0x00);
        } else {
            EXPECT_EQ(tb::load_u16(g), 0x0102);
            EXPECT_EQ(tb::load_u64(g + 8), kGeneration);
        }
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(g + 16), 7), "FCS0101");
        EXPECT_EQ(g[16 + 7], 0);
    }
}

TEST(Station, TruncatedRequestsAtEveryLengthAreRefusedNeverCrash) {
    Image im = build_image();
    fcs::Station st(config(im, true));
    Client c{st, true};
    ASSERT_EQ(c.start(1).result, 0);
    Bytes save = c.frame(0x21, 3, 1, c.serial, c.session, {{1, 2, 1}, {1, 3, 1}, {10, 0, 0, 1, 4}});
    for (std::size_t n = 0; n < save.size(); ++n) {
        SCOPED_TRACE(n);
        fcs::Reply r = st.handle(Bytes(save.begin(), save.begin() + n));
        ASSERT_EQ(r.frame.size(), 64u);
        if (n < 56)
            EXPECT_EQ(r.frame[33], fcs::kStatusFrameError);
        else
            EXPECT_EQ(c.read(r).result, fcs::kResultBadParameters);
    }
    // Still in step: the whole frame is taken.
    EXPECT_EQ(c.send(save).result, 0);
    // Parameter counts that lie about the bytes there.
    Bytes lie = c.frame(0x21, 3, 1, c.serial, c.session, {{1, 3, 1}});
    tb::store_be16(lie.data() + 32 + 22, 200);
    EXPECT_EQ(c.send(lie).result, fcs::kResultBadParameters);
    // Damaged memory: a record address pointing past the end is an absent record.
    Image bad = build_image();
    std::size_t h1 = bad.headers.at(0);
    tb::store_u32(bad.b.data() + h1 + 0x38 + 8 * 3, 0xFFFFFF00u);
    tb::store_u32(bad.b.data() + h1 + 0x38 + 8 * 2 + 4, 0x7FFFFFFFu);
    fcs::Station st2(config(bad, true));
    Client c2{st2, true};
    UserInst ui;
    ASSERT_EQ(c2.start(1).result, 0);
    auto items = items_of(save_and_upload(c2, 1, {{1, 3, 1}, {1, 2, 1}}), true, ui);
    ASSERT_EQ(items.size(), 2u);
    EXPECT_EQ(items[0].status, fcs::kItemNoRecord);
    EXPECT_EQ(items[1].status, fcs::kItemNoRecord);
}

TEST(Station, DamagedFramesGetARefusalOrAnAnswerNeverACrash) {
    Image im = build_image();
    fcs::Station st(config(im, true));
    Client c{st, true};
    ASSERT_EQ(c.start(1).result, 0);
    std::vector<Bytes> valid = {c.frame(0x21, 3, 1, 2, c.session, {{1, 2, 1}, {42, 0, 0, 1, 16}, {31, 0, 0, 1, 300}}),
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
}

TEST(Station, BadConfigurationIsReported) {
    Image im = build_image();
    auto cfg = config(im, true);
    cfg.number = 2;
    EXPECT_THROW(fcs::Station{cfg}, fcs::ConfigError);
    cfg = config(im, true);
    cfg.userInst = {'{'};
    EXPECT_THROW(fcs::Station{cfg}, fcs::ConfigError);
    cfg = config(im, true);
    cfg.memory.resize(0x300);
    EXPECT_THROW(fcs::Station{cfg}, fcs::ConfigError);
    std::string err;
    EXPECT_FALSE(fcs::Scenario::parse(R"({"rules": [{"command": "jump"}]})", err));
    EXPECT_NE(err.find("jump"), std::string::npos);
    EXPECT_FALSE(fcs::Scenario::parse(R"({"items": [{"block": 1, "status": 5}]})", err));
    EXPECT_FALSE(fcs::Scenario::parse(R"({"chunkSize": 2013})", err));
}

}  // namespace
