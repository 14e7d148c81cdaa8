// EUC-JP (the station's encoding) to CP932 (the workstation's code page) with iconv.
#include <iconv.h>

#include <cerrno>
#include <cstring>

#include "failpoint/failpoint.h"
#include "libqvccnvcode.h"

namespace {

// One converter per thread: an iconv descriptor carries state and must not be shared.
// The MS variant of EUC-JP is a superset that also decodes the vendor rows the code page
// holds (circled digits, Roman numerals, ...); plain EUC-JP where it is missing.
struct Converter {
    iconv_t cd = open();
    static iconv_t open() {
        iconv_t c = iconv_open("CP932", "EUC-JP-MS");
        return c != reinterpret_cast<iconv_t>(-1) ? c : iconv_open("CP932", "EUC-JP");
    }
    ~Converter() {
        if (cd != reinterpret_cast<iconv_t>(-1)) iconv_close(cd);
    }
};

}  // namespace

// mode is accepted and not used: this workstation has one conversion for it.
// Returns the length of the converted text.
int QVCEucToWincode(const char* source, char* target, int targetSize, int) {
    if (target == nullptr || targetSize <= 0) return -1;
    target[0] = '\0';
    if (source == nullptr) return -1;
    if (failpoint::hit("QVCEucToWincode")) return -1;
    thread_local Converter conv;
    if (conv.cd == reinterpret_cast<iconv_t>(-1)) return -1;
    iconv(conv.cd, nullptr, nullptr, nullptr, nullptr);
    char* in = const_cast<char*>(source);
    std::size_t inLeft = std::strlen(source);
    char* out = target;
    std::size_t outLeft = static_cast<std::size_t>(targetSize) - 1;  // room for the NUL
    if (iconv(conv.cd, &in, &inLeft, &out, &outLeft) == static_cast<std::size_t>(-1) ||
        iconv(conv.cd, nullptr, nullptr, &out, &outLeft) == static_cast<std::size_t>(-1)) {
        target[0] = '\0';
        return -1;
    }
    *out = '\0';
    return static_cast<int>(out - target);
}
