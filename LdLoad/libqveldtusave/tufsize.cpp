// Work areas of the upload: a few growable buffers that live until the upload ends.
#include <cstdint>

#include "libqvecommon.h"
#include "tusave.h"

namespace {

struct TuWorkArea {
    std::int32_t capacity;
    std::uint8_t* buf;
};

TuWorkArea s_workArea[kTuWorkAreaSlots];

}  // namespace

std::uint8_t* TuGetWorkArea(std::int32_t size, int slot) {
    if (slot < 0 || slot >= kTuWorkAreaSlots || size < 0) {
        TuPutMsgBuf("ERR:TuGetWorkArea():malloc() error");
        return nullptr;
    }
    const std::int64_t need = (static_cast<std::int64_t>(size) / 256 + 1) * 256;
    TuWorkArea& wa = s_workArea[slot];
    if (wa.buf && wa.capacity >= need) return wa.buf;
    if (wa.buf) __QVEEngFree(wa.buf, __FILE__, __LINE__);
    wa.buf = nullptr;
    wa.capacity = 0;
    if (need > INT32_MAX) {
        TuPutMsgBuf("ERR:TuGetWorkArea():malloc() error");
        return nullptr;
    }
    auto* p = static_cast<std::uint8_t*>(__QVEEngMalloc(static_cast<std::size_t>(need), __FILE__, __LINE__));
    if (!p) {
        TuPutMsgBuf("ERR:TuGetWorkArea():malloc() error");
        return nullptr;
    }
    wa.buf = p;
    wa.capacity = static_cast<std::int32_t>(need);
    return p;
}

void TuFreeWorkArea() {
    for (TuWorkArea& wa : s_workArea) {
        if (wa.buf) __QVEEngFree(wa.buf, __FILE__, __LINE__);
        wa.buf = nullptr;
        wa.capacity = 0;
    }
}
