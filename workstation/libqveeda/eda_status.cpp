#include "libqveeda/eda_status.h"

namespace eda {
namespace {
thread_local std::string g_lastError;
}

const std::string& last_error() { return g_lastError; }
void set_error(std::string text) { g_lastError = std::move(text); }
std::uint32_t fail(std::uint32_t code, std::string text) {
    g_lastError = std::move(text);
    return code;
}

}  // namespace eda
