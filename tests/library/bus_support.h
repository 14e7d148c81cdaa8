// Test support of the bus tests: captured message lines, resource texts, a scripted
// in-process station; the byte-order walk uses the image builder of image_fixture.h.
#pragma once

#include <cstring>
#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <span>

#include "ZclNthmi.h"
#include "ZclNthmi/zcl_host.h"
#include "failpoint/failpoint.h"
#include "image_fixture.h"
#include "libqveldc.h"
#include "port/port_host.h"
#include "tusave.h"

namespace bustest {

using Frame = std::vector<std::uint8_t>;

// A reply frame: 40-byte prefix with the status at 33, save header at 40 (host order), payload at 64.
inline Frame reply(std::uint8_t status, std::uint16_t result, std::vector<std::uint8_t> payload = {},
                   std::optional<std::int16_t> dataBytes = std::nullopt) {
    Frame f(64 + payload.size(), 0);
    f[33] = status;
    tb::store_u16(f.data() + 40 + 8, result);
    tb::store_u16(f.data() + 40 + 20,
                  static_cast<std::uint16_t>(dataBytes ? *dataBytes : static_cast<std::int16_t>(payload.size())));
    if (!payload.empty()) std::memcpy(f.data() + 64, payload.data(), payload.size());
    return f;
}

inline std::vector<std::uint8_t> para8(std::uint32_t first) {
    std::vector<std::uint8_t> p(8, 0);
    tb::store_u32(p.data(), first);
    return p;
}

// The one encoder of upload items (host order): the 16-byte header, then bytes of value fill.
struct ItemHdr {
    std::uint8_t dataType = 1;
    std::uint8_t recNo = 0;
    std::int16_t blockNo = 0;
    std::uint16_t first = 0, count = 0, status = 0;
};
inline std::vector<std::uint8_t> encode(const ItemHdr& h, std::uint32_t bytes, std::uint8_t fill) {
    std::vector<std::uint8_t> v(16, 0);
    v.resize(16 + bytes, fill);
    tb::store_u16(v.data(), h.status);
    v[4] = h.dataType;
    v[5] = h.recNo;
    tb::store_u16(v.data() + 6, static_cast<std::uint16_t>(h.blockNo));
    tb::store_u16(v.data() + 8, h.first);
    tb::store_u16(v.data() + 10, h.count);
    tb::store_u32(v.data() + 12, bytes);
    return v;
}
// A block record item.
inline std::vector<std::uint8_t> item(std::int16_t blockNo, std::uint8_t recNo, std::uint32_t bytes,
                                      std::uint8_t dataType = 1, std::uint8_t fill = 0xA5) {
    return encode({dataType, recNo, blockNo, 0, 0, 0}, bytes, fill);
}
// An operation-mark item.
inline std::vector<std::uint8_t> opItem(std::uint8_t kind, std::uint16_t first, std::uint16_t count,
                                        std::uint32_t bytes, std::uint16_t status = 0, std::uint8_t fill = 0x5A) {
    return encode({kind, 0, 0, first, count, status}, bytes, fill);
}
inline std::vector<std::uint8_t> cat(std::vector<std::uint8_t> a, const std::vector<std::uint8_t>& b) {
    for (std::uint8_t x : b) a.push_back(x);
    return a;
}

// The scripted station: every request is recorded; replies are given in order (nullopt: silent).
struct Script {
    std::vector<Frame> requests;
    std::deque<std::optional<Frame>> replies;
    std::function<std::optional<Frame>(const Frame&)> fallback;   // when replies ran out
};

// Fixture: captures lines, has texts for the upload's resource ids, virtual sleeps, test mode.
class BusTest : public ::testing::Test {
protected:
    void SetUp() override {
        failpoint::reset();
        failpoint::arm("Sleep", 0, 1, true);
        ws::set_message_sink([this](const char* line) {
            lines.emplace_back(line);
            return 0u;
        });
        std::map<unsigned, std::string> texts;
        for (unsigned id : {6042u, 6043u, 6049u, 6050u, 6051u, 6052u, 6053u, 6054u})
            texts[id] = "T" + std::to_string(id) + ":";
        port::set_string_table(texts);
        zcl::register_inproc("bus-test", [this](std::span<const std::uint8_t> req) -> std::optional<zcl::Frame> {
            script.requests.emplace_back(req.begin(), req.end());
            if (!script.replies.empty()) {
                const bool silent = !script.replies.front().has_value();
                Frame f = silent ? Frame{} : std::move(*script.replies.front());
                script.replies.pop_front();
                if (silent) return std::nullopt;
                return f;
            }
            if (script.fallback) return script.fallback(script.requests.back());
            return std::nullopt;
        });
        ASSERT_EQ(ZclOpen(&bus, "inproc:bus-test", 0), 0);
        savedTestMode = g_testMode;
        g_testMode = 1;
    }
    void TearDown() override {
        ZclClose(bus);
        zcl::unregister_inproc("bus-test");
        ws::set_message_sink(nullptr);
        failpoint::reset();
        g_testMode = savedTestMode;
    }
    // Sleeps and waits asked for, as "Sleep 1000" / "WaitForMultipleObjects 30000".
    std::vector<std::string> waits() const {
        std::vector<std::string> out;
        for (const auto& w : failpoint::waits()) out.push_back(w.name + " " + std::to_string(w.ms));
        return out;
    }
    HANDLE bus = nullptr;
    Script script;
    std::vector<std::string> lines;
    int savedTestMode = 0;
};

}  // namespace bustest
