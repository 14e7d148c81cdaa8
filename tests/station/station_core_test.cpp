// The simulated station in-process, as a strict peer: refusals of wrong serials, sessions and
// ranges, damaged and truncated frames and memory, bad configuration. What it delivers in a
// whole save (records, operation marks, chunks, busy and ask-again replies, scripted faults)
// is checked by the upload and end-to-end suites against the memory file.
#include <gtest/gtest.h>

#include "station_fixture.h"

namespace {

using namespace stest;

// (status, data bytes) of each item of upload data in host order.
std::vector<std::pair<std::uint16_t, std::uint32_t>> items_of(const Bytes& d) {
    std::vector<std::pair<std::uint16_t, std::uint32_t>> out;
    for (std::size_t off = 0; off + 16 <= d.size();) {
        const std::uint32_t n = tb::load_u32(d.data() + off + 12);
        out.push_back({tb::load_u16(d.data() + off), n});
        off += 16 + n;
    }
    return out;
}

// Save request and upload until the announced size.
Bytes save_and_upload(Client& c, std::uint8_t area, const std::vector<Para>& params) {
    Answer s = c.request(0x21, 3, area, params);
    EXPECT_EQ(s.result, 0);
    const std::uint32_t size = c.u32_body(s);
    Bytes data;
    for (int guard = 0; data.size() < size && guard < 100; ++guard) {
        Answer u = c.request(0x24, 3, area);
        EXPECT_EQ(u.result, 0);
        if (u.result != 0) break;
        data.insert(data.end(), u.body.begin(), u.body.end());
    }
    EXPECT_EQ(data.size(), size);
    return data;
}

TEST(Station, WrongSerialSessionOrAreaIsRefused) {
    fcs::Station st(config(true));
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
    c.serial = 3;
    // A new session hands out another identifier; the ended one is refused.
    const std::uint32_t first = c.session;
    EXPECT_EQ(c.request(0x1F, 2, 1).result, 0);
    EXPECT_FALSE(st.session_open());
    EXPECT_EQ(c.request(0x21, 3, 1, {{1, 3, 1}}).result, fcs::kResultBadSession);
    ASSERT_EQ(c.start(0).result, 0);
    EXPECT_NE(c.session, first);
}

TEST(Station, OperationMarkOutsideItsTableOrUnknownGetsAnItemStatus) {
    fcs::Station st(config(false));
    Client c{st, false};
    ASSERT_EQ(c.start(0).result, 0);
    const auto items = items_of(save_and_upload(c, 0, {{10, 0, 0, 1, 9}, {42, 0, 0, 0, 1}, {77, 0, 0, 1, 1}}));
    ASSERT_EQ(items.size(), 3u);
    EXPECT_EQ(items[0], std::make_pair(fcs::kItemBadRange, 0u));     // 8 elements only
    EXPECT_EQ(items[1], std::make_pair(fcs::kItemBadRange, 0u));     // elements count from 1
    EXPECT_EQ(items[2], std::make_pair(fcs::kItemUnknownKind, 0u));
}

TEST(Station, TruncatedRequestsAndDamagedMemoryAreRefusedNeverCrash) {
    fcs::Station st(config(true));
    Client c{st, true};
    ASSERT_EQ(c.start(1).result, 0);
    Bytes save = c.frame(0x21, 3, 1, c.serial, c.session, {{1, 2, 1}, {1, 3, 1}, {10, 0, 0, 1, 4}});
    for (std::size_t n = 0; n < save.size(); ++n) {
        SCOPED_TRACE(n);
        fcs::Reply r = st.handle(Bytes(save.begin(), save.begin() + static_cast<long>(n)));
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

    // Damaged memory: a record address pointing past the end, a size running past it: absent records.
    fcs::Config cfg = config(false);
    const sample::BlockInfo& b = first_block();
    ASSERT_GE(b.records.size(), 2u);
    const int r1 = b.records[0].recNo, r2 = b.records[1].recNo;
    tb::store_u32(cfg.memory.data() + b.headerOffset + 0x38 + 8 * r1, 0xFFFFFF00u);
    tb::store_u32(cfg.memory.data() + b.headerOffset + 0x3C + 8 * r2, 0x7FFFFFFFu);
    fcs::Station st2(std::move(cfg));
    Client c2{st2, false};
    ASSERT_EQ(c2.start(1).result, 0);
    const auto items = items_of(save_and_upload(
        c2, 1,
        {{1, static_cast<std::uint8_t>(r1), static_cast<std::int16_t>(b.number)},
         {1, static_cast<std::uint8_t>(r2), static_cast<std::int16_t>(b.number)}}));
    ASSERT_EQ(items.size(), 2u);
    EXPECT_EQ(items[0].first, fcs::kItemNoRecord);
    EXPECT_EQ(items[1].first, fcs::kItemNoRecord);
}

TEST(Station, DamagedFramesGetARefusalOrAnAnswerNeverACrash) {
    fcs::Station st(config(true));
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
    auto cfg = config(true);
    cfg.number = 2;   // not the number in the memory's header
    EXPECT_THROW(fcs::Station{cfg}, fcs::ConfigError);
    cfg = config(true);
    cfg.userInst = {'{'};
    EXPECT_THROW(fcs::Station{cfg}, fcs::ConfigError);
    cfg = config(true);
    cfg.memory.resize(0x300);
    EXPECT_THROW(fcs::Station{cfg}, fcs::ConfigError);
    std::string err;
    EXPECT_FALSE(fcs::Scenario::parse(R"({"rules": [{"command": "jump"}]})", err));
    EXPECT_NE(err.find("jump"), std::string::npos);
    EXPECT_FALSE(fcs::Scenario::parse(R"({"chunkSize": 2013})", err));
}

}  // namespace
