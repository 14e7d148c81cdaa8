#include "output.h"

#include <unistd.h>

#include <cstdarg>
#include <cstdlib>
#include <cstring>

namespace tusave_cli {

void setup_output() {
    if (!isatty(STDOUT_FILENO)) std::setvbuf(stdout, nullptr, _IOLBF, 0);
}

std::string escape(std::string_view text) {
    std::string s;
    s.reserve(text.size());
    for (unsigned char c : text) {
        if (c < 0x20 || c == 0x7F) {
            static const char hex[] = "0123456789abcdef";
            s += "\\x";
            s += hex[c >> 4];
            s += hex[c & 15];
        } else {
            s += static_cast<char>(c);
        }
    }
    return s;
}

void out(std::string_view line) {
    const std::string s = escape(line) + "\n";
    std::fwrite(s.data(), 1, s.size(), stdout);
}

void err(std::string_view line) {
    std::fflush(stdout);
    const std::string s = escape(line) + "\n";
    std::fwrite(s.data(), 1, s.size(), stderr);
}

std::string format(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    va_list ap2;
    va_copy(ap2, ap);
    const int n = std::vsnprintf(nullptr, 0, fmt, ap);
    va_end(ap);
    std::string s(n > 0 ? static_cast<std::size_t>(n) : 0, '\0');
    if (n > 0) std::vsnprintf(s.data(), s.size() + 1, fmt, ap2);
    va_end(ap2);
    return s;
}

bool rich_terminal() {
    static const bool rich = [] {
        if (!isatty(STDOUT_FILENO)) return false;
        const char* noColor = std::getenv("NO_COLOR");
        if (noColor && *noColor) return false;
        const char* term = std::getenv("TERM");
        return !(term && std::strcmp(term, "dumb") == 0);
    }();
    return rich;
}

const char* colour(const char* sequence) { return rich_terminal() ? sequence : ""; }

}  // namespace tusave_cli
