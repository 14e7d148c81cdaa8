// File status and the double-byte characters of the workstation's code page.
#include <sys/stat.h>

#include <cerrno>

#include "failpoint/failpoint.h"
#include "port/port_internal.h"

int _stat(const char* path, struct _stat* buf) {
    if (auto r = failpoint::hit("_stat")) {
        errno = port::detail::armed_error(*r);
        port::detail::set_error(errno);
        return -1;
    }
    struct stat st{};
    if (path == nullptr || buf == nullptr) {
        errno = EINVAL;
    } else if (::stat(path, &st) == 0) {
        buf->st_mode = static_cast<unsigned>(st.st_mode);
        buf->st_size = static_cast<std::int64_t>(st.st_size);
        return 0;
    }
    port::detail::set_error(errno);
    return -1;
}

bool IsDBCSLeadByte(BYTE c) { return (c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC); }

std::size_t _mbclen(const unsigned char* p) { return IsDBCSLeadByte(*p) ? 2 : 1; }

const char* CharNextA(const char* p) {
    if (*p == '\0') return p;
    if (IsDBCSLeadByte(static_cast<BYTE>(*p)) && p[1] != '\0') return p + 2;
    return p + 1;
}
