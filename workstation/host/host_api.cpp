// The C interface through which an application outside this tree sets the message sink and its
// string resources.
#include <map>
#include <mutex>
#include <string>

#include "ZclNthmi/zcl_host.h"
#include "host/host_texts.h"
#include "libqvecommon/qvecommon_host.h"
#include "port/port_host.h"
#include "tusave_host.h"

namespace {

std::mutex g_mu;
std::map<unsigned, std::string>& texts() {
    static std::map<unsigned, std::string> t;
    return t;
}

}  // namespace

extern "C" void tusave_host_set_message_sink(tusave_line_fn fn, void* context) {
    if (!fn) {
        ws::set_message_sink(nullptr);
        return;
    }
    ws::set_message_sink([fn, context](const char* line) { return static_cast<std::uint32_t>(fn(context, line)); });
}

extern "C" void tusave_host_set_note_sink(tusave_note_fn fn, void* context) {
    if (!fn) {
        ws::set_note_sink(nullptr);
        return;
    }
    ws::set_note_sink([fn, context](const char* text) { fn(context, text); });
}

void ws::set_texts(const std::map<unsigned, std::string>& table) {
    std::lock_guard lk(g_mu);
    for (const auto& [id, text] : table) texts()[id] = text;
    port::set_string_table(texts());
}

extern "C" void tusave_host_set_text(unsigned int id, const char* text) {
    std::lock_guard lk(g_mu);
    if (text) texts()[id] = text;
    else texts().erase(id);
    port::set_string_table(texts());
}

extern "C" void tusave_host_bus_frames(unsigned long* sent, unsigned long* received) {
    if (sent) *sent = zcl::frames_sent();
    if (received) *received = zcl::frames_received();
}
