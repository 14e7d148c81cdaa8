// Control-bus client. A device is "udp:HOST:PORT" (a simulated station on the loopback
// interface; one datagram per frame) or "inproc:NAME" (an in-process handler, for tests).
// Handles are descriptors wrapped by the port, so the transport waits on them like on any
// other waitable handle: a socket is signalled when a datagram is there, an in-process
// handle (an eventfd) while a reply is queued.
#include "ZclNthmi.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string_view>

#include "ZclNthmi/zcl_host.h"
#include "config/ws_config.h"
#include "failpoint/failpoint.h"
#include "port/port_host.h"
#include "tusave_trace.h"

namespace {

constexpr int kDeviceNameSize = 256;   // with the NUL; the smallest buffer a caller gives

std::atomic<long> g_lastError{0};

int fail(int err, int result = -1) {
    g_lastError.store(err);
    return result;
}

struct InprocConn {
    std::shared_ptr<const zcl::Handler> handler;
    std::deque<zcl::Frame> replies;
    unsigned copies = 1;   // times each reply is queued
};

struct Registry {
    std::mutex mu;
    std::map<std::string, std::shared_ptr<const zcl::Handler>, std::less<>> handlers;
    std::map<int, InprocConn> conns;   // by eventfd
    std::map<std::string, unsigned, std::less<>> copies;
};

Registry& reg() {
    static Registry r;
    return r;
}

bool parse_port(std::string_view s, int& port) {
    if (s.empty()) return false;
    auto [p, ec] = std::from_chars(s.data(), s.data() + s.size(), port);
    return ec == std::errc() && p == s.data() + s.size() && port >= 1 && port <= 65535;
}

int open_udp(HANDLE* handle, std::string_view spec) {
    auto colon = spec.rfind(':');
    if (colon == std::string_view::npos) return fail(EINVAL);
    std::string host(spec.substr(0, colon));
    int port = 0;
    if (!parse_port(spec.substr(colon + 1), port)) return fail(EINVAL);
    if (host == "localhost") host = "127.0.0.1";
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<std::uint16_t>(port));
    if (inet_pton(AF_INET, host.c_str(), &sa.sin_addr) != 1) return fail(EINVAL);
    // Only a station on this machine: the client never sends to the network.
    if ((ntohl(sa.sin_addr.s_addr) >> 24) != 127) return fail(EACCES);
    int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return fail(errno);
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) != 0) {
        int e = errno;
        ::close(fd);
        return fail(e);
    }
    HANDLE h = port::wrap_fd(fd, true);
    if (!h) {
        ::close(fd);
        return fail(ENOMEM);
    }
    *handle = h;
    return 0;
}

int open_inproc(HANDLE* handle, std::string_view name) {
    Registry& r = reg();
    std::shared_ptr<const zcl::Handler> handler;
    unsigned copies = 1;
    {
        std::lock_guard lk(r.mu);
        auto it = r.handlers.find(name);
        if (it == r.handlers.end()) return fail(ENOENT);
        handler = it->second;
        if (auto c = r.copies.find(name); c != r.copies.end()) copies = c->second;
    }
    int fd = ::eventfd(0, EFD_SEMAPHORE | EFD_NONBLOCK | EFD_CLOEXEC);
    if (fd < 0) return fail(errno);
    HANDLE h = port::wrap_fd(fd, true);
    if (!h) {
        ::close(fd);
        return fail(ENOMEM);
    }
    {
        std::lock_guard lk(r.mu);
        r.conns[fd] = InprocConn{std::move(handler), {}, copies};
    }
    *handle = h;
    return 0;
}

// The in-process connection of fd, or null for a socket.
InprocConn* inproc_of(Registry& r, int fd) {
    auto it = r.conns.find(fd);
    return it == r.conns.end() ? nullptr : &it->second;
}

// Drops the frames queued on fd (at most a bounded number); returns how many.
unsigned discard_unasked(Registry& r, int fd) {
    constexpr unsigned kMaxDiscard = 4096;
    unsigned n = 0;
    {
        std::lock_guard lk(r.mu);
        if (InprocConn* c = inproc_of(r, fd)) {
            for (; n < kMaxDiscard && !c->replies.empty(); ++n) {
                c->replies.pop_front();
                std::uint64_t v;
                (void)!::read(fd, &v, sizeof v);
            }
            return n;
        }
    }
    char scrap[1];
    while (n < kMaxDiscard && ::recv(fd, scrap, sizeof scrap, MSG_DONTWAIT | MSG_TRUNC) >= 0) ++n;
    return n;
}

std::atomic<unsigned long> g_discarded{0};
// Frames written to and read from a device (all handles, since start).
std::atomic<unsigned long> g_sent{0}, g_received{0};

// Counts the discarded frames and says so in the step trace.
void note_discarded(unsigned n) {
    g_discarded += n;
    const std::string text = std::to_string(n) + " unasked frame(s) discarded before the request (" +
                             std::to_string(g_discarded.load()) + " in all)";
    tusave::trace_line("ZclWrite:", text.c_str());
}

}  // namespace

namespace zcl {

unsigned long discarded_frames() { return g_discarded.load(); }
unsigned long frames_sent() { return g_sent.load(std::memory_order_relaxed); }
unsigned long frames_received() { return g_received.load(std::memory_order_relaxed); }

void register_inproc(const std::string& name, Handler handler) {
    Registry& r = reg();
    std::lock_guard lk(r.mu);
    r.handlers[name] = std::make_shared<const Handler>(std::move(handler));
}

void unregister_inproc(const std::string& name) {
    Registry& r = reg();
    std::lock_guard lk(r.mu);
    r.handlers.erase(name);
    r.copies.erase(name);
}

void set_inproc_copies(const std::string& name, unsigned copies) {
    Registry& r = reg();
    std::lock_guard lk(r.mu);
    r.copies[name] = copies < 1 ? 1 : copies > 8 ? 8 : copies;
}

}  // namespace zcl

int ZclGetDeviceName(char* name, int /*reserved*/) {
    if (auto f = failpoint::hit("ZclGetDeviceName")) return fail(EIO, static_cast<int>(*f));
    if (!name) return fail(EINVAL);
    ws::Workstation w;
    std::string error;
    if (!ws::load_workstation(w, error) || w.busDevice.empty()) return fail(ENOENT);
    if (w.busDevice.size() >= static_cast<std::size_t>(kDeviceNameSize)) return fail(ENAMETOOLONG);
    std::memcpy(name, w.busDevice.c_str(), w.busDevice.size() + 1);
    return 0;
}

int ZclOpen(HANDLE* handle, const char* name, int /*reserved*/) {
    if (auto f = failpoint::hit("ZclOpen")) return fail(EIO, static_cast<int>(*f));
    if (!handle || !name) return fail(EINVAL);
    std::string_view dev(name);
    if (dev.starts_with("udp:")) return open_udp(handle, dev.substr(4));
    if (dev.starts_with("inproc:")) return open_inproc(handle, dev.substr(7));
    return fail(EINVAL);
}

int ZclWrite(HANDLE handle, const void* frame, int length) {
    if (auto f = failpoint::hit("ZclWrite")) return fail(EIO, static_cast<int>(*f));
    int fd = port::fd_of(handle);
    if (fd < 0 || !frame || length <= 0 || length > zcl::kMaxFrame) return fail(EINVAL);
    const auto* bytes = static_cast<const std::uint8_t*>(frame);

    Registry& r = reg();
    std::shared_ptr<const zcl::Handler> handler;
    {
        std::lock_guard lk(r.mu);
        if (InprocConn* c = inproc_of(r, fd)) handler = c->handler;
    }
    // Whatever arrived since the last read was not asked for by this request (a reply sent
    // twice, a late reply to an earlier one): left queued, it would be read as this
    // request's answer.
    if (unsigned n = discard_unasked(r, fd)) note_discarded(n);
    if (!handler) {
        ssize_t n = ::send(fd, frame, static_cast<std::size_t>(length), MSG_NOSIGNAL);
        if (n < 0) return fail(errno);
        g_sent.fetch_add(1, std::memory_order_relaxed);
        return static_cast<int>(n);
    }

    // The handler runs outside the lock: it may be a whole simulated station.
    std::optional<zcl::Frame> reply = (*handler)(std::span<const std::uint8_t>(bytes, static_cast<std::size_t>(length)));
    if (reply) {
        std::lock_guard lk(r.mu);
        InprocConn* c = inproc_of(r, fd);
        if (!c) return fail(EBADF);
        for (unsigned k = 0; k < c->copies; ++k) {
            c->replies.push_back(*reply);
            std::uint64_t one = 1;
            if (::write(fd, &one, sizeof one) != static_cast<ssize_t>(sizeof one)) {
                c->replies.pop_back();
                return fail(errno ? errno : EIO);
            }
        }
    }
    g_sent.fetch_add(1, std::memory_order_relaxed);
    return length;
}

int ZclRead(HANDLE handle, void* buffer, int capacity) {
    if (auto f = failpoint::hit("ZclRead")) return fail(EIO, static_cast<int>(*f));
    int fd = port::fd_of(handle);
    if (fd < 0 || !buffer || capacity <= 0) return fail(EINVAL);

    Registry& r = reg();
    {
        std::lock_guard lk(r.mu);
        if (InprocConn* c = inproc_of(r, fd)) {
            if (c->replies.empty()) return fail(EAGAIN);
            zcl::Frame& front = c->replies.front();
            // A frame larger than the buffer is refused whole, never cut.
            if (front.size() > static_cast<std::size_t>(capacity)) {
                c->replies.pop_front();
                std::uint64_t v;
                (void)!::read(fd, &v, sizeof v);
                return fail(EMSGSIZE);
            }
            int n = static_cast<int>(front.size());
            if (n) std::memcpy(buffer, front.data(), front.size());
            c->replies.pop_front();
            std::uint64_t v;
            (void)!::read(fd, &v, sizeof v);
            g_received.fetch_add(1, std::memory_order_relaxed);
            return n;
        }
    }
    // MSG_TRUNC: the result is the datagram's real length even when it did not fit.
    ssize_t n = ::recv(fd, buffer, static_cast<std::size_t>(capacity), MSG_DONTWAIT | MSG_TRUNC);
    if (n < 0) return fail(errno);
    if (n > capacity) return fail(EMSGSIZE);
    g_received.fetch_add(1, std::memory_order_relaxed);
    return static_cast<int>(n);
}

int ZclClose(HANDLE handle) {
    int fd = port::fd_of(handle);
    if (fd < 0) return fail(EBADF);
    {
        Registry& r = reg();
        std::lock_guard lk(r.mu);
        r.conns.erase(fd);
    }
    BOOL closed = CloseHandle(handle);
    // An armed close still releases the handle: only its result is the fault.
    if (auto f = failpoint::hit("ZclClose")) return fail(EIO, static_cast<int>(*f));
    if (!closed) return fail(static_cast<int>(GetLastError()) ? static_cast<int>(GetLastError()) : EIO);
    return 0;
}

long ZclGetLastError() { return g_lastError.load(); }
