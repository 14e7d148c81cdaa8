// Message helpers: message buffer lines ("ERR:", "WRN:", "MSG:", "PRG:"), the lines that name
// a source unit and a fixed number, and the silent step trace.
#include "LdTuSaveMsg.h"
#include "LdTuSaveIds.h"
#include "LdTuSaveTrace.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <ctime>
#include <vector>

#include "libqvecommon.h"
#include "port.h"
#include "tusave_trace.h"

std::string LdTuSaveText(std::uint32_t textId) {
    std::string text;
    if (!LoadStringA(textId, text)) text.clear();
    return text;
}

std::string LdTuSaveVFormat(const char* fmt, va_list ap) {
    // Most texts fit the stack buffer: formatted once; a longer one is formatted again into
    // a string of its size.
    char small[256];
    va_list ap2;
    va_copy(ap2, ap);
    const int n = std::vsnprintf(small, sizeof small, fmt, ap2);
    va_end(ap2);
    if (n <= 0) return std::string();
    if (static_cast<std::size_t>(n) < sizeof small) return std::string(small, static_cast<std::size_t>(n));
    std::string s(static_cast<std::size_t>(n), '\0');
    std::vsnprintf(s.data(), s.size() + 1, fmt, ap);
    return s;
}

std::string LdTuSaveFormat(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    std::string s = LdTuSaveVFormat(fmt, ap);
    va_end(ap);
    return s;
}

void LdTuSaveMsgf(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    std::string s = LdTuSaveVFormat(fmt, ap);
    va_end(ap);
    QVEEngPutMsgBuf(s.c_str());
}

namespace {
const char* const kKindPrefix[] = {"ERR:", "WRN:", "MSG:"};
}

void LdTuSaveMsgText(std::uint32_t kind, std::uint32_t textId, const char* restFmt, ...) {
    va_list ap;
    va_start(ap, restFmt);
    const std::string rest = LdTuSaveVFormat(restFmt, ap);
    va_end(ap);
    const std::string line = kKindPrefix[kind <= LDTUSAVE_MSG_MSG ? kind : 0] + LdTuSaveText(textId) + rest;
    QVEEngPutMsgBuf(line.c_str());
}

void LdTuSaveErrText(const char* head, std::uint32_t textId, const char* restFmt, ...) {
    va_list ap;
    va_start(ap, restFmt);
    const std::string rest = LdTuSaveVFormat(restFmt, ap);
    va_end(ap);
    const std::string line = "ERR:" + std::string(head) + LdTuSaveText(textId) + rest;
    QVEEngPutMsgBuf(line.c_str());
}

void LdTuSaveItemErr(std::uint32_t textId, const char* tag, unsigned blkCode, unsigned status) {
    LdTuSaveMsgText(LDTUSAVE_MSG_ERR, textId, " %s%s %s0x%x %s0x%x", LdTuSaveText(LdTuSaveIds::IDS_ITEM_TAG).c_str(), tag,
                    LdTuSaveText(LdTuSaveIds::IDS_ITEM_BLKCODE).c_str(), blkCode, LdTuSaveText(LdTuSaveIds::IDS_ITEM_STATUS).c_str(), status);
}

void LdTuSaveMsgText(std::uint32_t kind, std::uint32_t textId) { LdTuSaveMsgText(kind, textId, "%s", ""); }

void LdTuSaveErrName(std::uint32_t textId, std::string_view name) {
    LdTuSaveMsgText(LDTUSAVE_MSG_ERR, textId, "%.*s", static_cast<int>(name.size()), name.data());
}

std::uint32_t LdTuSaveMsgPut(std::uint32_t kind, std::uint32_t textId) {
    static const char* const kPrefix[] = {"ERR:%s", "WRN:%s", "MSG:%s"};
    std::string text;
    if (kind > LDTUSAVE_MSG_MSG || !LoadStringA(textId, text)) return 0;
    std::string line = LdTuSaveFormat(kPrefix[kind], text.c_str());
    return QVEEngPutMsgBuf(line.c_str()) == 0 ? 1 : 0;
}

void LdTuSavePrgPut(std::uint32_t percent) { LdTuSaveMsgf("PRG:%02u", percent); }

void TuPutMsgBuf(const char* line) { QVEEngPutMsgBuf(line); }

namespace {
std::string s_tracePath;   // the trace file of the running save; empty: no trace
}  // namespace

void LdTuSaveTraceBegin() {
    const char* path = std::getenv("TUSAVE_TRACE");
    s_tracePath = path ? path : "";
}

void LdTuSaveTrace(const char* project, const char* text) {
    if (!s_tracePath.empty()) tusave::trace_line_to(s_tracePath.c_str(), project, text);
}

void LdTuSaveTracef(const char* project, const char* fmt, ...) {
    if (s_tracePath.empty()) return;
    va_list ap;
    va_start(ap, fmt);
    std::string text = LdTuSaveVFormat(fmt, ap);
    va_end(ap);
    LdTuSaveTrace(project, text.c_str());
}

void LdTuSaveSrcErr(bool doubledColon, const char* source, int number, const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    std::string detail = LdTuSaveVFormat(fmt, ap);
    va_end(ap);
    std::string line = LdTuSaveFormat(doubledColon ? "ERR::%s:%d:" : "ERR:%s:%d:", source, number);
    line += detail;
    QVEEngPutMsgBuf(line.c_str());
}
