// Holders of the handles and buffers the save takes, each given back once on every way out.
// Close() closes and gives the service's result for the caller's line; the destructor closes
// silently what is still open.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <span>
#include <utility>

#include "LdTuSaveImage.h"
#include "ZclNthmi.h"
#include "libqvecommon.h"
#include "libqverxgen.h"
#include "port.h"

// A file handle of the engineering file service. A file opened to be replaced whole that is
// not closed by Close() is given up: its target keeps the old bytes.
class LdTuSaveFile {
public:
    // msgFlag: passed to the service's open and close (1: they say their own failures).
    explicit LdTuSaveFile(int msgFlag = 1) : msgFlag_(msgFlag) {}
    LdTuSaveFile(const LdTuSaveFile&) = delete;
    LdTuSaveFile& operator=(const LdTuSaveFile&) = delete;
    LdTuSaveFile(LdTuSaveFile&& o) noexcept
        : h_(std::exchange(o.h_, nullptr)), replace_(o.replace_), msgFlag_(o.msgFlag_) {}
    LdTuSaveFile& operator=(LdTuSaveFile&& o) noexcept {
        if (this != &o) {
            Abandon();
            h_ = std::exchange(o.h_, nullptr);
            replace_ = o.replace_;
            msgFlag_ = o.msgFlag_;
        }
        return *this;
    }
    ~LdTuSaveFile() { Abandon(); }

    // QVEEngCreateFile's result (0: open).
    [[nodiscard]] std::uint32_t Open(const std::string& path, DWORD access, DWORD share, DWORD flags,
                                     DWORD disposition = OPEN_EXISTING) {
        Abandon();
        HANDLE h = nullptr;
        const std::uint32_t r = QVEEngCreateFile(path.c_str(), access, share, disposition, flags, nullptr, &h, msgFlag_);
        if (r == 0) {
            h_ = h;
            replace_ = (flags & PORT_FLAG_REPLACE_WHOLE) != 0;
        }
        return r;
    }
    [[nodiscard]] HANDLE get() const { return h_; }
    [[nodiscard]] bool IsOpen() const { return h_ != nullptr; }
    // Closes; a file replaced whole takes its new bytes now. QVEEngCloseFile's result.
    [[nodiscard]] std::uint32_t Close() {
        HANDLE h = std::exchange(h_, nullptr);
        return h ? QVEEngCloseFile(h, msgFlag_) : 0;
    }
    // Hands the handle over: the caller closes it.
    [[nodiscard]] HANDLE Release() { return std::exchange(h_, nullptr); }
    // Closes without taking new bytes.
    void Abandon() {
        HANDLE h = std::exchange(h_, nullptr);
        if (!h) return;
        if (replace_) static_cast<void>(PortAbandonFile(h));
        static_cast<void>(QVEEngCloseFile(h, msgFlag_));   // given up: nothing to report
    }

private:
    HANDLE h_ = nullptr;
    bool replace_ = false;
    int msgFlag_;
};

// A search of a folder's names; Next() walks its matches in name order.
class LdTuSaveFind {
public:
    LdTuSaveFind() = default;
    LdTuSaveFind(const LdTuSaveFind&) = delete;
    LdTuSaveFind& operator=(const LdTuSaveFind&) = delete;
    ~LdTuSaveFind() { static_cast<void>(Close()); }

    // The first match of pattern into *data; false when nothing matches or the search failed.
    [[nodiscard]] bool First(const std::string& pattern, WIN32_FIND_DATAA* data) {
        static_cast<void>(Close());
        HANDLE h = FindFirstFileA(pattern.c_str(), data);
        h_ = h == INVALID_HANDLE_VALUE ? nullptr : h;
        return h_ != nullptr;
    }
    [[nodiscard]] bool Next(WIN32_FIND_DATAA* data) { return h_ != nullptr && FindNextFileA(h_, data); }
    // FindClose's result (true when nothing was open).
    [[nodiscard]] bool Close() {
        HANDLE h = std::exchange(h_, nullptr);
        return h == nullptr || FindClose(h);
    }

private:
    HANDLE h_ = nullptr;
};

// A control bus handle.
class LdTuSaveBus {
public:
    LdTuSaveBus() = default;
    LdTuSaveBus(const LdTuSaveBus&) = delete;
    LdTuSaveBus& operator=(const LdTuSaveBus&) = delete;
    ~LdTuSaveBus() {
        if (open_) static_cast<void>(ZclClose(h_));   // a way out that already has its line
    }
    // ZclOpen's result (0: open).
    [[nodiscard]] int Open(const char* device) {
        const int r = ZclOpen(&h_, device, 0);
        open_ = r == 0;
        return r;
    }
    [[nodiscard]] HANDLE get() const { return h_; }
    // ZclClose's result.
    [[nodiscard]] int Close() {
        if (!open_) return 0;
        open_ = false;
        return ZclClose(h_);
    }

private:
    HANDLE h_ = nullptr;
    bool open_ = false;
};

// The instance definitions of one project's station, open from a good Open() until Close() or
// the holder's end. The service holds one set at a time.
class LdTuSaveInstDefs {
public:
    LdTuSaveInstDefs() = default;
    LdTuSaveInstDefs(const LdTuSaveInstDefs&) = delete;
    LdTuSaveInstDefs& operator=(const LdTuSaveInstDefs&) = delete;
    ~LdTuSaveInstDefs() { Close(); }
    // Whether they opened.
    [[nodiscard]] bool Open(const char* project, const char* station, unsigned projectKind) {
        Close();
        open_ = IEdalInstOpenForTP(project, station, projectKind) == 0;
        return open_;
    }
    // The service's close gives no result to look at.
    void Close() {
        if (open_) IEdalInstClose();
        open_ = false;
    }

private:
    bool open_ = false;
};

// A buffer of the memory service, freed on every way out that did not hand it over.
class LdTuSaveMem {
public:
    LdTuSaveMem() = default;
    // Allocates size bytes; source and line name the allocation in the leak report. Null when
    // the service has no memory.
    LdTuSaveMem(std::size_t size, const char* source, int line)
        : p_(__QVEEngMalloc(size, source, line)), source_(source), line_(line) {}
    LdTuSaveMem(const LdTuSaveMem&) = delete;
    LdTuSaveMem& operator=(const LdTuSaveMem&) = delete;
    LdTuSaveMem(LdTuSaveMem&& o) noexcept : p_(std::exchange(o.p_, nullptr)), source_(o.source_), line_(o.line_) {}
    LdTuSaveMem& operator=(LdTuSaveMem&& o) noexcept {
        if (this != &o) {
            Free();
            p_ = std::exchange(o.p_, nullptr);
            source_ = o.source_;
            line_ = o.line_;
        }
        return *this;
    }
    ~LdTuSaveMem() { Free(); }
    template <class T = std::uint8_t>
    [[nodiscard]] T* get() const { return static_cast<T*>(p_); }
    [[nodiscard]] explicit operator bool() const { return p_ != nullptr; }
    // Hands the buffer over: the caller frees it.
    template <class T = std::uint8_t>
    [[nodiscard]] T* Release() { return static_cast<T*>(std::exchange(p_, nullptr)); }

private:
    void Free() {
        if (p_) __QVEEngFree(std::exchange(p_, nullptr), source_, line_);
    }
    void* p_ = nullptr;
    const char* source_ = "";
    int line_ = 0;
};

// Bytes with their size: owned when taken over (freed by the holder), or borrowed from a
// caller that keeps and frees them.
class LdTuSaveBuf {
public:
    LdTuSaveBuf() = default;
    LdTuSaveBuf(const LdTuSaveBuf&) = delete;
    LdTuSaveBuf& operator=(const LdTuSaveBuf&) = delete;
    // Takes mem, size bytes, over; whatever was held before is freed.
    void Take(LdTuSaveMem mem, std::size_t size) {
        mem_ = std::move(mem);
        data_ = mem_.get();
        size_ = data_ ? size : 0;
    }
    // Refers to bytes the caller keeps; whatever was held before is freed.
    void Borrow(std::uint8_t* data, std::size_t size) {
        mem_ = LdTuSaveMem();
        data_ = data;
        size_ = data ? size : 0;
    }
    // Holds nothing after.
    void Reset() { Borrow(nullptr, 0); }
    [[nodiscard]] std::uint8_t* data() const { return data_; }
    [[nodiscard]] std::size_t size() const { return size_; }
    [[nodiscard]] std::span<std::uint8_t> span() const { return {data_, size_}; }
    [[nodiscard]] explicit operator bool() const { return data_ != nullptr; }

private:
    LdTuSaveMem mem_;
    std::uint8_t* data_ = nullptr;
    std::size_t size_ = 0;
};

// The station database image of a save and the checked view every step reads it through.
class LdTuSaveDbImage : public LdTuSaveBuf {
public:
    // The view of the bytes as they are now: the base address is read afresh, since the upload
    // writes into the image.
    [[nodiscard]] LdTuSaveImage View() const { return LdTuSaveImage(data(), size()); }
};

// The view of a step's image, empty when it has none.
[[nodiscard]] inline LdTuSaveImage LdTuSaveViewOf(const LdTuSaveDbImage* image) {
    return image ? image->View() : LdTuSaveImage();
}
