// A small station memory for the station tests, built with the byte helpers, and a client
// that speaks the save protocol to a Station in-process.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "core/station.h"
#include "libqvebc2fcs/bc2fcs_layout.h"
#include "tusave_bytes.h"

namespace stest {

using Bytes = std::vector<std::uint8_t>;

constexpr std::uint32_t kBase = 0x00400000;
constexpr std::uint64_t kGeneration = 0x0000000065A1B2C3ull;

inline const char* kUserInst = R"({ "format": "tusave-userinst", "version": 1, "models": [
  { "blockCode": 6226, "name": "PID", "records": [
      { "recNo": 1, "size": 64, "fields": [ { "offset": 0, "width": 2 }, { "offset": 20, "width": 2 } ] },
      { "recNo": 2, "size": 256, "fields": [ { "offset": 0, "width": 2 }, { "offset": 8, "width": 4, "count": 10 },
                                             { "offset": 178, "width": 2 }, { "offset": 200, "width": 8 } ] },
      { "recNo": 3, "size": 16, "fields": [ { "offset": 0, "width": 2 }, { "offset": 4, "width": 4, "count": 3 } ] } ] },
  { "blockCode": 6227, "name": "PVI", "records": [
      { "recNo": 1, "size": 64, "fields": [ { "offset": 0, "width": 2 }, { "offset": 20, "width": 2 } ] },
      { "recNo": 2, "size": 256, "fields": [ { "offset": 0, "width": 2 }, { "offset": 178, "width": 2 } ] } ] } ] })";

// Image offsets of what the builder placed.
struct Image {
    Bytes b;
    std::size_t next = 0;
    std::size_t io = 0, area = 0, areaCnst = 0, bpt = 0, bldb = 0, an = 0;
    std::size_t op10 = 0, op42 = 0, op21 = 0, op29 = 0, op12 = 0, op31 = 0, op58 = 0;
    std::vector<std::pair<int, std::size_t>> records;  // (block * 256 + rec, offset)
    std::vector<std::size_t> headers;                  // block headers, block 1 first

    std::uint32_t addr(std::size_t off) const { return kBase + static_cast<std::uint32_t>(off - 0x200); }
    std::size_t alloc(std::size_t n) {
        std::size_t at = next;
        next += (n + 15) & ~std::size_t{15};
        if (b.size() < next) b.resize(next, 0);
        return at;
    }
    void u16(std::size_t off, std::uint16_t v) { tb::store_u16(b.data() + off, v); }
    void u32(std::size_t off, std::uint32_t v) { tb::store_u32(b.data() + off, v); }
    void link(std::size_t slot, std::size_t target) { u32(slot, addr(target)); }
    void fill(std::size_t off, std::size_t n, std::uint8_t seed) {
        for (std::size_t i = 0; i < n; ++i) b[off + i] = static_cast<std::uint8_t>(seed + i * 7);
    }
    std::size_t record_off(int block, int rec) const {
        for (auto& [k, o] : records)
            if (k == block * 256 + rec) return o;
        return 0;
    }

    void add_block(int no, std::uint16_t code, const char* tag, std::initializer_list<std::pair<int, std::uint32_t>> recs) {
        std::size_t h = alloc(0x100);
        link(bldb + 4 * std::size_t(no - 1), h);
        headers.push_back(h);
        u16(h, static_cast<std::uint16_t>(no));
        std::memcpy(b.data() + h + 4, tag, std::strlen(tag));
        u16(h + 0x14, code);
        b[h + 0x23] = 5;
        for (auto [r, size] : recs) {
            std::size_t ro = alloc(size);
            fill(ro, size, static_cast<std::uint8_t>(no * 16 + r));
            u16(ro, static_cast<std::uint16_t>(no));
            b[ro + 3] = static_cast<std::uint8_t>(r);
            if (r == 1) {  // record 1 carries the identity like the header
                std::memcpy(b.data() + ro + 4, b.data() + h + 4, 16);
                u16(ro + 0x14, code);
            }
            link(h + 0x38 + 8 * std::size_t(r), ro);
            u32(h + 0x3C + 8 * std::size_t(r), size);
            records.push_back({no * 256 + r, ro});
        }
    }
};

// Station 1 "FCS0101": blocks 1 (6226: records 1, 2, 3) and 2 (6227: records 1, 2), block 3
// absent; operation marks of kinds 10 (4), 42 (count 1: 16), 21 (2 nodes of 32 words),
// 29 (2 of 512 words), and 12, 31, 58 for 300 AN messages.
inline Image build_image(std::uint16_t number = 1, const char* name = "FCS0101") {
    Image im;
    im.next = 0x200;
    im.b.assign(0x200, 0);
    std::memcpy(im.b.data(), "TUSFDB01", 8);
    im.u32(8, 1);
    im.u32(12, number);
    tb::store_u64(im.b.data() + 16, kGeneration);
    std::memcpy(im.b.data() + 24, name, std::strlen(name));
    im.u32(0x28, kBase);
    std::size_t root = im.alloc(0x100), sct = im.alloc(0x200);
    im.u32(root + 0x40, im.addr(sct));
    im.u16(sct + 0x84, 4);
    im.u16(sct + 0x1E0, 1);
    im.u16(sct + 0x42, 1);
    im.u16(sct + 0x44, 1);
    im.io = im.alloc(0x260);
    im.link(root + 0x48, im.io);
    std::size_t t104 = im.alloc(0x10), t248 = im.alloc(0x40);
    im.link(im.io + 0x104, t104);
    im.link(im.io + 0x248, t248);
    im.op10 = im.alloc(8);
    im.fill(im.op10, 8, 0x10);
    im.link(t104 + 4, im.op10);
    im.op42 = im.alloc(32);
    im.fill(im.op42, 32, 0x42);
    im.link(t248 + 0x30, im.op42);
    std::size_t n21 = im.alloc(0x70), n29 = im.alloc(0x70);
    im.link(im.io + 0x80, n21);
    im.link(im.io + 0x90, n29);
    im.u16(n21 + 0x0A, 2);
    im.u16(n29 + 0x0A, 2);
    im.op21 = im.alloc(2 * 32 * 2);
    im.fill(im.op21, 128, 0x21);
    im.link(n21 + 0x5C, im.op21);
    im.op29 = im.alloc(2 * 1024);
    im.fill(im.op29, 2048, 0x29);
    im.link(n29 + 0x60, im.op29);

    im.area = im.alloc(0x200);
    im.areaCnst = im.alloc(0x100);
    im.link(root + 0x80, im.area);
    im.link(im.area + 0x08, im.areaCnst);
    im.u16(im.areaCnst + 0x40, 3);
    im.u16(im.areaCnst + 0x4C, 300);
    im.bpt = im.alloc(0x10);
    im.link(im.area + 0x0C, im.bpt);
    im.bldb = im.alloc(12);
    im.link(im.bpt + 0x08, im.bldb);
    im.an = im.alloc(0x30);
    im.link(im.area + 0x24, im.an);
    im.op12 = im.alloc(600);
    im.fill(im.op12, 600, 0x12);
    im.link(im.an + 0x18, im.op12);
    im.op31 = im.alloc(48);
    im.fill(im.op31, 48, 0x31);
    im.link(im.an + 0x14, im.op31);
    im.op58 = im.alloc(600);
    im.fill(im.op58, 600, 0x58);
    im.link(im.an + 0x20, im.op58);
    im.add_block(1, 6226, "FIC100", {{1, 64}, {2, 256}, {3, 16}});
    im.add_block(2, 6227, "TIC200", {{1, 64}, {2, 256}});
    return im;
}

inline fcs::Config config(const Image& im, bool big, fcs::Scenario sc = {}) {
    fcs::Config c;
    c.name = "FCS0101";
    c.number = 1;
    c.bigEndian = big;
    c.memory = im.b;
    c.userInst.assign(kUserInst, kUserInst + std::strlen(kUserInst));
    c.scenario = std::move(sc);
    return c;
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
