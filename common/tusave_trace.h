// The step trace: lines appended to the file named by TUSAVE_TRACE, never to the message
// buffer. Shared by the library's steps and the workstation services that trace.
#pragma once

#include <time.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>

namespace tusave {

// Appends "YYYY-mm-dd HH:MM:SS <who> <text>" to the file at path; nothing when it is unusable.
inline void trace_line_to(const char* path, const char* who, const char* text) {
    if (!path || !*path) return;
    std::FILE* f = std::fopen(path, "a");
    if (!f) return;
    std::time_t t = std::time(nullptr);
    char stamp[32] = "";
    struct tm tmv;
    if (localtime_r(&t, &tmv)) std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &tmv);
    std::fprintf(f, "%s %s %s\n", stamp, who ? who : "", text ? text : "");
    std::fclose(f);
}

// The same, to the file TUSAVE_TRACE names; nothing when it is unset.
inline void trace_line(const char* who, const char* text) { trace_line_to(std::getenv("TUSAVE_TRACE"), who, text); }

}  // namespace tusave
