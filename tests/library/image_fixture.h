// A small, consistent station database image for the image tests, built with the byte
// helpers: station root and constant tables, area 1 with its constant table, block pointer
// table, BldbPtrTbl, AN message data and UAIDs, and block headers with records.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <string>
#include <vector>

#include "libqvecommon/qvecommon_host.h"
#include "project_files.h"
#include "tusave_bytes.h"

namespace imgtest {

constexpr std::uint32_t kBase = 0x00A00000;   // station address of image offset 0x200

struct Rec {
    std::size_t off = 0;
    std::uint32_t size = 0;
};

struct Image {
    std::vector<std::uint8_t> bytes;
    std::size_t area = 0, cnst = 0, blkPtr = 0, bldb = 0, anMsg = 0, uaid = 0;
    std::vector<std::size_t> hdr;            // hdr[n - 1]: header of block n (0 = none)
    std::vector<std::vector<Rec>> recs;      // recs[n - 1][r]: record r of block n (off 0 = none)
    static std::uint32_t Adrs(std::size_t off) { return kBase + static_cast<std::uint32_t>(off - 0x200); }
    std::size_t Alloc(std::size_t len) {
        std::size_t off = bytes.size();
        bytes.resize(off + len, 0);
        return off;
    }
    void U32(std::size_t off, std::uint32_t v) { ASSERT_TRUE(tb::put_u32(bytes, off, v)); }
    void U16(std::size_t off, std::uint16_t v) { ASSERT_TRUE(tb::put_u16(bytes, off, v)); }
    std::uint8_t* p(std::size_t off) { return bytes.data() + off; }
    std::uint32_t size() const { return static_cast<std::uint32_t>(bytes.size()); }
};

// Blocks 1..maxBlock; block n has records 1 (0x20 bytes) and 2 (0x40 bytes) and a record
// table of four entries (records 0 and 3 absent). Blocks listed in missing have entry 0.
inline Image Make(int maxBlock = 3, std::uint16_t anMsgCnt = 2, std::vector<int> missing = {}) {
    Image im;
    im.Alloc(0x300);                                  // file header, station root table
    std::size_t stnCnst = im.Alloc(0x200);
    im.U32(0x240, Image::Adrs(stnCnst));              // StnCnstTblAdrs = B + 0x100
    im.area = im.Alloc(0x200);
    im.U32(0x280, Image::Adrs(im.area));
    im.cnst = im.Alloc(0x100);                        // AreaCnstTbl follows the area root table
    im.U32(im.area + 0x08, Image::Adrs(im.cnst));
    tb::put_u16(im.bytes, im.cnst + 0x40, static_cast<std::uint16_t>(maxBlock));
    im.U16(im.cnst + 0x4C, anMsgCnt);
    im.blkPtr = im.Alloc(0x10);
    im.U32(im.area + 0x0C, Image::Adrs(im.blkPtr));
    im.bldb = im.Alloc(4 * static_cast<std::size_t>(maxBlock > 0 ? maxBlock : 1));
    im.U32(im.blkPtr + 0x08, Image::Adrs(im.bldb));
    im.anMsg = im.Alloc(0x30);
    im.U32(im.area + 0x24, Image::Adrs(im.anMsg));
    im.uaid = im.Alloc(2 * static_cast<std::size_t>(anMsgCnt ? anMsgCnt : 1));
    im.U32(im.anMsg + 0x20, Image::Adrs(im.uaid));
    for (std::uint16_t k = 0; k < anMsgCnt; ++k) im.U16(im.uaid + 2 * k, static_cast<std::uint16_t>(0x100 + k));
    for (int n = 1; n <= maxBlock; ++n) {
        bool gone = false;
        for (int m : missing) gone = gone || m == n;
        im.hdr.push_back(0);
        im.recs.emplace_back(4);
        if (gone) continue;
        std::size_t h = im.Alloc(0x38 + 8 * 4);
        im.hdr.back() = h;
        im.U32(im.bldb + 4 * static_cast<std::size_t>(n - 1), Image::Adrs(h));
        im.U16(h + 0x00, static_cast<std::uint16_t>(n));
        std::string tag = "TAG" + std::to_string(n);
        for (std::size_t i = 0; i < tag.size(); ++i) im.bytes[h + 4 + i] = static_cast<std::uint8_t>(tag[i]);
        im.U16(h + 0x14, 0x1852);
        for (std::uint32_t r = 1; r <= 2; ++r) {
            std::uint32_t sz = r == 1 ? 0x20 : 0x40;
            std::size_t ro = im.Alloc(sz);
            im.U16(ro, static_cast<std::uint16_t>(n));
            im.bytes[ro + 3] = static_cast<std::uint8_t>(r);
            im.U32(h + 0x38 + 8 * r, Image::Adrs(ro));
            im.U32(h + 0x3C + 8 * r, sz);
            im.recs.back()[r] = Rec{ro, sz};
        }
    }
    return im;
}

// Writes the first len bytes of b (all of them by default) as the whole file.
inline void write_bytes(const std::string& path, const std::vector<std::uint8_t>& b, std::size_t len = SIZE_MAX) {
    std::ofstream(path, std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char*>(b.data()), static_cast<std::streamsize>(std::min(len, b.size())));
}

// Collects the message lines put out while it lives.
struct Lines {
    std::vector<std::string> v;
    Lines() {
        ws::set_message_sink([this](const char* line) {
            v.emplace_back(line);
            return 0u;
        });
    }
    ~Lines() { ws::set_message_sink(nullptr); }
    Lines(const Lines&) = delete;
    Lines& operator=(const Lines&) = delete;
};

}  // namespace imgtest
