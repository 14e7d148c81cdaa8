// Test helpers: a temporary folder, file reading, and an image walker written from the layout
// independently of the builder (it reads only bytes, every access checked).
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "tusave_bytes.h"

namespace sample_test {

class TempDir {
public:
    TempDir() {
        std::string tmpl = (std::filesystem::temp_directory_path() / "tusave-sample-XXXXXX").string();
        if (!mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp failed");
        path_ = tmpl;
    }
    ~TempDir() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    std::string operator/(const std::string& rel) const { return path_ + "/" + rel; }

private:
    std::string path_;
};

inline std::vector<std::uint8_t> read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    EXPECT_TRUE(in.good()) << path;
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline void write_text(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary);
    out << text;
}

// Station address -> file offset of a whole table of len bytes, or nothing.
struct Image {
    std::vector<std::uint8_t> bytes;
    std::uint32_t base = 0;

    explicit Image(std::vector<std::uint8_t> b) : bytes(std::move(b)) {
        auto cnst = tb::get_u32(bytes, 0x240);
        base = cnst ? *cnst - 0x100 : 0;
    }
    std::optional<std::size_t> at(std::uint32_t addr, std::size_t len) const {
        if (addr == 0 || addr == base || addr < base) return std::nullopt;
        std::size_t off = 0x200 + std::size_t(addr - base);
        if (!tb::in_range(bytes.size(), off, len)) return std::nullopt;
        return off;
    }
    std::uint32_t u32(std::size_t off) const { return tb::get_u32(bytes, off).value(); }
    std::uint16_t u16(std::size_t off) const { return tb::get_u16(bytes, off).value(); }
    std::uint8_t u8(std::size_t off) const { return tb::get_u8(bytes, off).value(); }
    // Follows the u32 at off to a table of len bytes.
    std::optional<std::size_t> follow(std::size_t off, std::size_t len) const {
        auto a = tb::get_u32(bytes, off);
        return a ? at(*a, len) : std::nullopt;
    }
    std::string tag(std::size_t off) const {
        std::string t;
        for (std::size_t i = 0; i < 16 && bytes.at(off + i); ++i) t += static_cast<char>(bytes[off + i]);
        return t;
    }
};

}  // namespace sample_test
