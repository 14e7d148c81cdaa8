// The calling application's string resources and application object.
#include <mutex>

#include "port/port_host.h"

namespace {

std::mutex g_mu;
std::map<unsigned, std::string> g_strings;
port::Application g_app;

}  // namespace

namespace port {

void set_string_table(std::map<unsigned, std::string> table) {
    std::lock_guard lk(g_mu);
    g_strings = std::move(table);
}

void set_application(Application app) {
    std::lock_guard lk(g_mu);
    g_app = std::move(app);
}

}  // namespace port

bool LoadStringA(UINT id, std::string& out) {
    std::lock_guard lk(g_mu);
    auto it = g_strings.find(id);
    if (it == g_strings.end()) return false;
    out = it->second;
    return true;
}

std::string AfxGetAppText() {
    std::lock_guard lk(g_mu);
    return g_app.text;
}

void AfxBeginWaitCursor() {
    std::function<void()> f;
    {
        std::lock_guard lk(g_mu);
        f = g_app.beginWaitCursor;
    }
    if (f) f();
}

void AfxEndWaitCursor() {
    std::function<void()> f;
    {
        std::lock_guard lk(g_mu);
        f = g_app.endWaitCursor;
    }
    if (f) f();
}
