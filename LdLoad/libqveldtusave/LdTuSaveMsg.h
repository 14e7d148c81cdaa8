// Message helpers of the library: every line of the message buffer is composed here.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <string>
#include <string_view>

// Kinds of LdTuSaveMsgPut: 0 "ERR:", 1 "WRN:", 2 "MSG:".
constexpr std::uint32_t LDTUSAVE_MSG_ERR = 0;
constexpr std::uint32_t LDTUSAVE_MSG_WRN = 1;
constexpr std::uint32_t LDTUSAVE_MSG_MSG = 2;

// Puts out prefix + resource text; nothing (0) when the resource has no text. 1 when taken.
std::uint32_t LdTuSaveMsgPut(std::uint32_t kind, std::uint32_t textId);
// "PRG:%02d".
void LdTuSavePrgPut(std::uint32_t percent);
// Forwarder of the upload's lines.
void TuPutMsgBuf(const char* line);
// Step trace: never reaches the message buffer (TUSAVE_TRACE=FILE appends it to FILE).
void LdTuSaveTrace(const char* project, const char* text);

// The resource text of id, or "" when the application has none.
[[nodiscard]] std::string LdTuSaveText(std::uint32_t textId);
// printf-style formatting into a string of the needed size.
[[nodiscard]] std::string LdTuSaveFormat(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
[[nodiscard]] std::string LdTuSaveVFormat(const char* fmt, va_list ap);
// Formats and puts out one line.
void LdTuSaveMsgf(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
// "<kind prefix><resource text of textId><rest>", rest printf-formatted: the form of the lines
// that begin with a resource text. Put out even when the resource has no text.
void LdTuSaveMsgText(std::uint32_t kind, std::uint32_t textId, const char* restFmt, ...)
    __attribute__((format(printf, 3, 4)));
void LdTuSaveMsgText(std::uint32_t kind, std::uint32_t textId);
// "ERR:<resource text of textId><name>": the error line that names the file or element it is about.
void LdTuSaveErrName(std::uint32_t textId, std::string_view name);
// "ERR:<head><resource text of textId><rest>", rest printf-formatted: the error lines that name the
// failed call or refusal before the resource text.
void LdTuSaveErrText(const char* head, std::uint32_t textId, const char* restFmt, ...)
    __attribute__((format(printf, 3, 4)));
// "ERR:<resource text of textId> <tag text><tag> <block code text>0x<blkCode> <status text>0x<status>":
// an item the station did not save.
void LdTuSaveItemErr(std::uint32_t textId, const char* tag, unsigned blkCode, unsigned status);
// "ERR:<source>:<number>:<detail>" ("ERR::<source>:..." with doubledColon), the form of the
// lines that report a failed service call by source unit and a fixed number per message.
void LdTuSaveSrcErr(bool doubledColon, const char* source, int number, const char* fmt, ...)
    __attribute__((format(printf, 4, 5)));
