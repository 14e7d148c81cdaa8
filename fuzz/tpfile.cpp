// The CLI's TP reader: the fuzzer's bytes are two TP files, the one before a save and the one
// after, split at the first NUL byte (without one, the second file is empty). Each is parsed;
// a damaged file must give the reader's error, never a crash. Two files that read are compared
// as diff, history and the save summary compare them.
#include <cstdint>
#include <cstring>
#include <string_view>

#include "tpfile.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const char* text = reinterpret_cast<const char*>(data);
    const void* nul = size ? std::memchr(text, '\0', size) : nullptr;
    const std::size_t first = nul ? static_cast<std::size_t>(static_cast<const char*>(nul) - text) : size;
    const std::string_view a(text, first);
    const std::string_view b = nul ? std::string_view(text + first + 1, size - first - 1) : std::string_view();
    tpfile::File fa, fb;
    try { fa = tpfile::parse(a, "before"); } catch (const tpfile::Error&) { return 0; }
    try { fb = tpfile::parse(b, "after"); } catch (const tpfile::Error&) { fb = tpfile::File{}; }
    const auto changes = tpfile::diff(fa, fb);
    const std::size_t n = tpfile::changed_values(changes, fa, fb);
    // Every change counts at least once: a block added or removed has one item or more.
    if (n < changes.size()) __builtin_trap();
    return 0;
}
