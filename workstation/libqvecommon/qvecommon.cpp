// Message buffer, memory service with a count of live buffers, file open and close, and the
// current-project query.
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <map>
#include <mutex>

#include "config/ws_config.h"
#include "failpoint/failpoint.h"
#include "libqvecommon.h"
#include "libqvecommon/qvecommon_host.h"
#include "libqvecommon/qvecommon_alloc.h"
#include "port/port_host.h"

namespace {

struct Allocation {
    std::size_t size;
    const char* source;
    int line;
    unsigned long long seq;
};

struct State {
    std::mutex mu;
    ws::MessageSink sink;
    std::map<const void*, Allocation> live;
    unsigned long long seq = 0;
};

State& state() {
    static State s;
    return s;
}

// Buffers taken and freed so far.
std::atomic<unsigned long long> g_changes{0};

}  // namespace

namespace ws {

namespace {
std::mutex g_noteMu;
NoteSink g_noteSink;
}  // namespace

void set_note_sink(NoteSink sink) {
    std::lock_guard lk(g_noteMu);
    g_noteSink = std::move(sink);
}

void note(const std::string& text) {
    NoteSink sink;
    {
        std::lock_guard lk(g_noteMu);
        sink = g_noteSink;
    }
    if (sink) sink(text.c_str());
}

void set_message_sink(MessageSink sink) {
    std::lock_guard lk(state().mu);
    state().sink = std::move(sink);
}

std::size_t live_allocations() {
    std::lock_guard lk(state().mu);
    return state().live.size();
}

std::size_t allocation_size(const void* p) {
    std::lock_guard lk(state().mu);
    auto it = state().live.find(p);
    return it == state().live.end() ? 0 : it->second.size;
}

unsigned long long allocation_changes() { return g_changes.load(std::memory_order_acquire); }

AllocationKey allocation_key(const void* p) {
    std::lock_guard lk(state().mu);
    auto it = state().live.find(p);
    if (it == state().live.end()) return {};
    return {it->second.size, it->second.seq};
}

std::vector<std::string> live_allocation_sites() {
    std::vector<const Allocation*> all;
    std::lock_guard lk(state().mu);
    for (const auto& [p, a] : state().live) all.push_back(&a);
    std::sort(all.begin(), all.end(), [](const Allocation* a, const Allocation* b) { return a->seq < b->seq; });
    std::vector<std::string> out;
    for (const Allocation* a : all)
        out.push_back(std::string(a->source ? a->source : "?") + ":" + std::to_string(a->line) + " " +
                      std::to_string(a->size));
    return out;
}

}  // namespace ws

std::uint32_t QVEEngPutMsgBuf(const char* line) {
    if (line == nullptr) return EINVAL;
    ws::MessageSink sink;
    {
        std::lock_guard lk(state().mu);
        sink = state().sink;
    }
    if (!sink) return 1;
    return sink(line);
}

void* __QVEEngMalloc(std::size_t size, const char* source, int line) {
    if (failpoint::hit("__QVEEngMalloc")) return nullptr;
    // An image or a whole file: filled and worked through right away.
    void* p = port::alloc_big(size);
    if (!p) return nullptr;
    std::lock_guard lk(state().mu);
    state().live.emplace(p, Allocation{size, source, line, state().seq++});
    g_changes.fetch_add(1, std::memory_order_release);
    return p;
}

void __QVEEngFree(void* p, const char* source, int line) {
    if (p == nullptr) return;
    {
        std::lock_guard lk(state().mu);
        auto it = state().live.find(p);
        if (it != state().live.end()) {
            const std::size_t size = it->second.size;
            state().live.erase(it);
            g_changes.fetch_add(1, std::memory_order_release);
            port::free_big(p, size);
            return;
        }
    }
    // Not ours, or freed twice: freeing it would corrupt the heap.
    char text[160];
    std::snprintf(text, sizeof text, "__QVEEngFree: %p is not a live buffer (%s:%d)", p, source ? source : "?", line);
    ws::note(text);
}

std::uint32_t QVEEngCreateFile(const char* path, DWORD access, DWORD share, DWORD disposition, DWORD flags,
                               void* security, HANDLE* handle, int) {
    if (handle) *handle = INVALID_HANDLE_VALUE;
    // Armed with 0 the call goes ahead: success must come with a handle.
    if (auto r = failpoint::hit("QVEEngCreateFile"); r && *r != 0) return static_cast<std::uint32_t>(*r);
    if (path == nullptr || handle == nullptr) return EINVAL;
    HANDLE h = CreateFileA(path, access, share, security, disposition, flags, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        DWORD e = GetLastError();
        return e ? e : EIO;
    }
    *handle = h;
    return 0;
}

// The handle is closed even when a failpoint makes the call report failure.
std::uint32_t QVEEngCloseFile(HANDLE handle, int) {
    auto r = failpoint::hit("QVEEngCloseFile");
    // A close that fails must not have committed a replace-on-close file: the target stays old.
    if (r) PortAbandonFile(handle);
    BOOL ok = CloseHandle(handle);
    if (r) return static_cast<std::uint32_t>(*r);
    if (!ok) {
        DWORD e = GetLastError();
        return e ? e : EIO;
    }
    return 0;
}

std::uint32_t QVEEngIsCurrentProject(const char* project, int* isCurrent) {
    if (auto r = failpoint::hit("QVEEngIsCurrentProject")) return static_cast<std::uint32_t>(*r);
    if (project == nullptr || isCurrent == nullptr) return EINVAL;
    ws::Workstation w;
    std::string error;
    if (!ws::load_workstation(w, error)) {
        ws::note("QVEEngIsCurrentProject: " + error);
        struct stat st{};
        return ::stat((ws::home() + "/workstation.json").c_str(), &st) != 0 ? ENOENT : EINVAL;
    }
    *isCurrent = w.currentProject == project ? 1 : 0;
    return 0;
}
