// The default sample station for the station tests (built once, removed at exit) and a client
// that speaks the save protocol to a Station in-process.
#pragma once

#include <stdlib.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "core/station.h"
#include "libqvebc2fcs/bc2fcs_layout.h"
#include "sample.h"
#include "tusave_bytes.h"

namespace stest {

using Bytes = std::vector<std::uint8_t>;

struct SampleHome {
    std::string dir;
    sample::Result result;
    SampleHome() {
        char tmpl[] = "/tmp/tusave-station-XXXXXX";
        if (!::mkdtemp(tmpl)) throw std::runtime_error("mkdtemp failed");
        dir = tmpl;
        result = sample::build(sample::default_description(), dir);
    }
    ~SampleHome() {
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
    }
};

inline const SampleHome& home() {
    static SampleHome h;
    return h;
}

// Station i of the sample as the simulator loads it, in the byte order asked for.
inline fcs::Config config(bool big, fcs::Scenario sc = {}, std::size_t i = 0) {
    fcs::Config c = fcs::load_config(
        std::filesystem::path(home().result.stations.at(i).stationJsonPath).parent_path().string());
    c.bigEndian = big;
    c.scenario = std::move(sc);
    return c;
}

// The first block of station 0 that exists.
inline const sample::BlockInfo& first_block() {
    for (const auto& b : home().result.stations[0].blocks)
        if (b.exists()) return b;
    throw std::runtime_error("no block");
}

struct Para {
    std::uint8_t kind;
    std::uint8_t rec = 0;
    std::int16_t block = 0;
    std::uint16_t first = 0, count = 0;
};

// One reply, header in host order.
struct Answer {
    Bytes frame;
    std::uint8_t status = 0xFF;
    std::uint16_t result = 0xFFFF, serial = 0;
    std::uint32_t session = 0;
    std::int16_t bytes = 0;
    Bytes body;  // station order
};

// Builds requests like the library does and reads replies.
struct Client {
    fcs::Station& st;
    bool big;
    std::uint32_t seq = 0;
    std::uint16_t serial = 1;
    std::uint32_t session = 0;

    Bytes frame(std::uint8_t cmd, std::uint8_t sub, std::uint8_t area, std::uint16_t ser, std::uint32_t sid,
                const std::vector<Para>& params = {}) {
        Bytes f(56 + 8 * params.size(), 0);
        tb::store_u32(f.data(), seq++);
        tb::store_u16(f.data() + 12, st.number());
        f[24] = 8;
        tb::store_u16(f.data() + 28, 0x0603);
        tb::store_u16(f.data() + 30, static_cast<std::uint16_t>((24 + 8 * params.size()) / 2));
        std::uint8_t* h = f.data() + 32;
        h[2] = cmd;
        h[3] = sub;
        h[4] = area;
        tb::store_u16(h + 12, ser);
        tb::store_u32(h + 16, sid);
        tb::store_u16(h + 20, static_cast<std::uint16_t>(8 * params.size()));
        tb::store_u16(h + 22, static_cast<std::uint16_t>(params.size()));
        if (big) bc2fcs::swap_header(h);
        for (std::size_t i = 0; i < params.size(); ++i) {
            std::uint8_t* p = f.data() + 56 + 8 * i;
            p[0] = params[i].kind;
            if (params[i].kind == 1) {
                p[1] = params[i].rec;
                tb::store_u16(p + 2, static_cast<std::uint16_t>(params[i].block));
            } else {
                tb::store_u16(p + 4, params[i].first);
                tb::store_u16(p + 6, params[i].count);
            }
            if (big) bc2fcs::swap_para(p);
        }
        return f;
    }

    Answer read(const fcs::Reply& r) const {
        Answer a;
        a.frame = r.frame;
        if (r.frame.size() < 64) return a;
        a.status = r.frame[33];
        std::uint8_t h[24];
        std::memcpy(h, r.frame.data() + 40, 24);
        if (big) bc2fcs::swap_header(h);
        a.result = tb::load_u16(h + 8);
        a.serial = tb::load_u16(h + 12);
        a.session = tb::load_u32(h + 16);
        a.bytes = tb::load_i16(h + 20);
        a.body.assign(r.frame.begin() + 64, r.frame.end());
        return a;
    }

    Answer send(const Bytes& f) { return read(st.handle(f)); }

    std::uint32_t u32_body(const Answer& a, std::size_t off = 0) const {
        std::uint8_t p[8] = {};
        std::memcpy(p, a.body.data(), std::min<std::size_t>(8, a.body.size()));
        if (big) bc2fcs::swap_rtn_para(p);
        return tb::load_u32(p + off);
    }

    Answer start(std::uint8_t area) {
        Answer a = send(frame(0x1F, 1, area, 1, 0));
        if (a.result == 0) {
            session = u32_body(a);
            serial = 2;
        }
        return a;
    }
    Answer request(std::uint8_t cmd, std::uint8_t sub, std::uint8_t area, const std::vector<Para>& params = {}) {
        return send(frame(cmd, sub, area, serial++, session, params));
    }
};

}  // namespace stest
