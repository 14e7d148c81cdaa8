// Control-bus client. A device is "udp:HOST:PORT" (a simulated station on the loopback
// interface; one datagram per frame, in the transport envelope of zcl_envelope.h) or
// "inproc:NAME" (an in-process handler, for tests). Handles are descriptors wrapped by the
// port, so the transport waits on them like on any other waitable handle: a socket is
// signalled when a datagram is there, an in-process handle (an eventfd) while a reply is
// queued. A read hands over only the reply to the request written last on the handle;
// anything else (a late or repeated reply, a damaged datagram) is dropped and traced.
#include "ZclNthmi.h"

#include <arpa/inet.h>
#include <poll.h>
#include <netinet/in.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <string_view>

#include "ZclNthmi/zcl_envelope.h"
#include "ZclNthmi/zcl_host.h"
#include "config/ws_config.h"
#include "failpoint/failpoint.h"
#include "port/port_host.h"
#include "tusave_bytes.h"
#include "tusave_trace.h"

namespace {

constexpr int kDeviceNameSize = 256;   // with the NUL; the smallest buffer a caller gives

std::atomic<long> g_lastError{0};

int fail(int err, int result = -1) {
    g_lastError.store(err);
    return result;
}

using Clock = std::chrono::steady_clock;

// One handle's state. A socket has no handler; an in-process device queues its replies here.
struct Conn {
    struct Queued {
        std::uint32_t id;
        zcl::Frame frame;
    };
    std::shared_ptr<const zcl::Handler> handler;
    std::deque<Queued> replies;
    unsigned copies = 1;   // times each in-process reply is queued
    // The request written last and not yet answered, and until when its reply is waited for.
    std::optional<std::uint32_t> outstanding;
    Clock::time_point deadline;
};

struct Registry {
    std::mutex mu;
    std::map<std::string, std::shared_ptr<const zcl::Handler>, std::less<>> handlers;
    std::map<int, Conn> conns;   // by descriptor
    std::map<std::string, unsigned, std::less<>> copies;
    std::chrono::milliseconds replyWait{30000};
};

Registry& reg() {
    static Registry r;
    return r;
}

Conn* conn_of(Registry& r, int fd) {
    auto it = r.conns.find(fd);
    return it == r.conns.end() ? nullptr : &it->second;
}

// Request ids: one sequence for the process, from a random start, so that a reply meant for
// another handle or an earlier run is not taken for one of this handle's.
std::uint32_t next_id() {
    static std::atomic<std::uint32_t> next{std::random_device{}()};
    return next.fetch_add(1, std::memory_order_relaxed);
}

bool parse_port(std::string_view s, int& port) {
    if (s.empty()) return false;
    auto [p, ec] = std::from_chars(s.data(), s.data() + s.size(), port);
    return ec == std::errc() && p == s.data() + s.size() && port >= 1 && port <= 65535;
}

HANDLE adopt(int fd, Conn conn) {
    HANDLE h = port::wrap_fd(fd, true);
    if (!h) {
        ::close(fd);
        return nullptr;
    }
    Registry& r = reg();
    std::lock_guard lk(r.mu);
    r.conns[fd] = std::move(conn);
    return h;
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
    HANDLE h = adopt(fd, Conn{});
    if (!h) return fail(ENOMEM);
    *handle = h;
    return 0;
}

int open_inproc(HANDLE* handle, std::string_view name) {
    Registry& r = reg();
    Conn conn;
    {
        std::lock_guard lk(r.mu);
        auto it = r.handlers.find(name);
        if (it == r.handlers.end()) return fail(ENOENT);
        conn.handler = it->second;
        if (auto c = r.copies.find(name); c != r.copies.end()) conn.copies = c->second;
    }
    int fd = ::eventfd(0, EFD_SEMAPHORE | EFD_NONBLOCK | EFD_CLOEXEC);
    if (fd < 0) return fail(errno);
    HANDLE h = adopt(fd, std::move(conn));
    if (!h) return fail(ENOMEM);
    *handle = h;
    return 0;
}

std::atomic<unsigned long> g_dropped{0};
// Frames written to and read from a device (all handles, since start).
std::atomic<unsigned long> g_sent{0}, g_received{0};

// Counts a datagram that is not the reply to the outstanding request and says why in the
// step trace.
void note_dropped(std::size_t bytes, const std::string& why) {
    const unsigned long all = ++g_dropped;
    const std::string text = "dropped a datagram of " + std::to_string(bytes) + " bytes: " + why + " (" +
                             std::to_string(all) + " dropped in all)";
    tusave::trace_line("ZclRead:", text.c_str());
}

std::string hex_id(std::uint32_t id) {
    char b[16];
    std::snprintf(b, sizeof b, "%08x", id);
    return b;
}

std::string not_asked(std::uint32_t id, std::optional<std::uint32_t> outstanding) {
    return "the reply to request " + hex_id(id) +
           (outstanding ? ", not to the outstanding " + hex_id(*outstanding) + " (late or repeated)"
                        : ", with no request outstanding");
}

// The in-process device: the first queued reply to the outstanding request; the others before
// it are dropped. Called with the registry locked.
int read_inproc(Conn& c, int fd, void* buffer, int capacity) {
    while (!c.replies.empty()) {
        Conn::Queued q = std::move(c.replies.front());
        c.replies.pop_front();
        std::uint64_t v;
        (void)!::read(fd, &v, sizeof v);
        if (!c.outstanding || q.id != *c.outstanding) {
            note_dropped(q.frame.size(), not_asked(q.id, c.outstanding));
            continue;
        }
        c.outstanding.reset();
        // A frame larger than the buffer is refused whole, never cut.
        if (q.frame.size() > static_cast<std::size_t>(capacity)) return fail(EMSGSIZE);
        if (!q.frame.empty()) std::memcpy(buffer, q.frame.data(), q.frame.size());
        g_received.fetch_add(1, std::memory_order_relaxed);
        return static_cast<int>(q.frame.size());
    }
    return fail(EAGAIN);
}

// A socket: datagrams are read until the intact reply to the outstanding request is there,
// waiting for it until the deadline that its write set; every other datagram is dropped.
int read_socket(int fd, std::uint8_t* buffer, int capacity, std::optional<std::uint32_t> outstanding,
                Clock::time_point deadline) {
    std::size_t dirty = 0;   // bytes of dropped datagrams left in the buffer
    auto failed = [&](int err) {
        std::memset(buffer, 0, dirty);
        return fail(err);
    };
    for (;;) {
        std::uint8_t header[zcl::kEnvelopeSize];
        iovec iov[2] = {{header, sizeof header}, {buffer, static_cast<std::size_t>(capacity)}};
        msghdr m{};
        m.msg_iov = iov;
        m.msg_iovlen = 2;
        // MSG_TRUNC: the result is the datagram's real length even when it did not fit.
        const ssize_t n = ::recvmsg(fd, &m, MSG_DONTWAIT | MSG_TRUNC);
        if (n < 0) {
            if (errno == EINTR) continue;
            if (errno != EAGAIN && errno != EWOULDBLOCK) return failed(errno);
            if (!outstanding) return failed(EAGAIN);
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
            if (left <= 0) return failed(ETIMEDOUT);
            pollfd p{fd, POLLIN, 0};
            const int w = ::poll(&p, 1, static_cast<int>(std::min<long long>(left, INT_MAX)));
            if (w < 0 && errno != EINTR) return failed(errno);
            if (w == 0) return failed(ETIMEDOUT);
            continue;
        }
        const std::size_t got = static_cast<std::size_t>(n);
        if (got < zcl::kEnvelopeSize) {
            note_dropped(got, zcl::env_error_text(zcl::EnvError::kShort));
            continue;
        }
        const std::size_t frameLen = got - zcl::kEnvelopeSize;
        dirty = std::max(dirty, std::min(frameLen, static_cast<std::size_t>(capacity)));
        if (frameLen > static_cast<std::size_t>(capacity)) {
            // Too long to be checked: the answer when it names the outstanding request, which
            // then fails whole rather than cut.
            const std::uint32_t id = tb::load_u32(header + zcl::kEnvIdOff);
            if (outstanding && id == *outstanding) return failed(EMSGSIZE);
            note_dropped(got, "longer than the receive buffer");
            continue;
        }
        std::uint32_t id = 0;
        const zcl::EnvError e = zcl::open(zcl::EnvKind::kReply, header, std::span<const std::uint8_t>(buffer, frameLen), &id);
        if (e != zcl::EnvError::kNone) {
            note_dropped(got, zcl::env_error_text(e));
            continue;
        }
        if (!outstanding || id != *outstanding) {
            note_dropped(got, not_asked(id, outstanding));
            continue;
        }
        g_received.fetch_add(1, std::memory_order_relaxed);
        return static_cast<int>(frameLen);
    }
}

}  // namespace

namespace zcl {

unsigned long dropped_frames() { return g_dropped.load(); }
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

void set_reply_wait(std::chrono::milliseconds wait) {
    Registry& r = reg();
    std::lock_guard lk(r.mu);
    r.replyWait = wait;
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
    const std::span<const std::uint8_t> bytes(static_cast<const std::uint8_t*>(frame), static_cast<std::size_t>(length));

    // This request is the one outstanding from now on: a reply to an earlier one that comes
    // after it is dropped by the read.
    const std::uint32_t id = next_id();
    Registry& r = reg();
    std::shared_ptr<const zcl::Handler> handler;
    {
        std::lock_guard lk(r.mu);
        Conn* c = conn_of(r, fd);
        if (!c) return fail(EBADF);
        handler = c->handler;
        c->outstanding = id;
        c->deadline = Clock::now() + r.replyWait;
    }
    if (!handler) {
        std::uint8_t header[zcl::kEnvelopeSize];
        zcl::seal(zcl::EnvKind::kRequest, id, bytes, header);
        iovec iov[2] = {{header, sizeof header}, {const_cast<std::uint8_t*>(bytes.data()), bytes.size()}};
        msghdr m{};
        m.msg_iov = iov;
        m.msg_iovlen = 2;
        ssize_t n = ::sendmsg(fd, &m, MSG_NOSIGNAL);
        if (n < 0) return fail(errno);
        g_sent.fetch_add(1, std::memory_order_relaxed);
        return n < static_cast<ssize_t>(sizeof header) ? 0 : static_cast<int>(n - static_cast<ssize_t>(sizeof header));
    }

    // The handler runs outside the lock: it may be a whole simulated station.
    std::optional<zcl::Frame> reply = (*handler)(bytes);
    if (reply) {
        std::lock_guard lk(r.mu);
        Conn* c = conn_of(r, fd);
        if (!c) return fail(EBADF);
        for (unsigned k = 0; k < c->copies; ++k) {
            c->replies.push_back({id, *reply});
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
    std::optional<std::uint32_t> outstanding;
    Clock::time_point deadline;
    {
        std::lock_guard lk(r.mu);
        Conn* c = conn_of(r, fd);
        if (!c) return fail(EBADF);
        if (c->handler) return read_inproc(*c, fd, buffer, capacity);
        outstanding = c->outstanding;
        deadline = c->deadline;
    }
    const int n = read_socket(fd, static_cast<std::uint8_t*>(buffer), capacity, outstanding, deadline);
    // Answered or given up: a later copy of this reply is not taken for the next one's either.
    std::lock_guard lk(r.mu);
    if (Conn* c = conn_of(r, fd)) c->outstanding.reset();
    return n;
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
