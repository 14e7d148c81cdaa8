#include "failpoint/failpoint.h"

#include <array>
#include <atomic>
#include <charconv>
#include <cstdlib>
#include <limits>
#include <map>
#include <mutex>
#include <utility>

namespace failpoint {

constinit std::array<detail::Flags, kCount> detail::g_flags{};

namespace {

constexpr bool names_unique() {
    for (std::size_t i = 0; i < kCount; ++i)
        if (index_of(kTable[i].name) != static_cast<int>(i)) return false;
    return true;
}
static_assert(names_unique(), "a failpoint name stands twice in failpoints.def");

struct Arming {
    long long result = 0;
    unsigned nth = 1;
    bool onward = false;
    unsigned long calls = 0;

    // Counts this call; true when the arming fails it.
    bool fires() {
        ++calls;
        return calls == nth || (onward && calls > nth);
    }
};

using detail::Flags;
using detail::g_flags;

// One per name: the armings, only under the lock.
struct Slot {
    std::optional<Arming> arming;
    std::map<unsigned, Arming> keyed;
};

struct Registry {
    std::mutex mu;
    std::array<Slot, kCount> slots;
};

Registry& reg() {
    static Registry r;
    return r;
}

// The wait log: a ring of (table index + 1) << 32 | ms, 0 for an empty place.
constexpr std::size_t kMaxWaits = 4096;
std::atomic<std::uint64_t> g_waitSeq{0};
std::array<std::atomic<std::uint64_t>, kMaxWaits> g_waitLog{};

bool parse_ll(std::string_view s, long long& v) {
    bool neg = false;
    if (!s.empty() && (s[0] == '-' || s[0] == '+')) {
        neg = s[0] == '-';
        s.remove_prefix(1);
    }
    int base = 10;
    if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
        base = 16;
        s.remove_prefix(2);
    }
    if (s.empty()) return false;
    unsigned long long u = 0;
    auto [p, ec] = std::from_chars(s.data(), s.data() + s.size(), u, base);
    if (ec != std::errc() || p != s.data() + s.size()) return false;
    constexpr unsigned long long kMax = static_cast<unsigned long long>(std::numeric_limits<long long>::max());
    if (u > kMax + (neg ? 1 : 0)) return false;
    v = neg ? (u == kMax + 1 ? std::numeric_limits<long long>::min() : -static_cast<long long>(u))
            : static_cast<long long>(u);
    return true;
}

// A name as armed: the table entry and, for "NAME:<key>" of a kKeyed entry, the key.
struct Target {
    std::size_t index;
    std::optional<unsigned> key;
};

std::optional<Target> target_of(std::string_view name) {
    if (auto p = Point::find(name)) return Target{p->index(), std::nullopt};
    const auto colon = name.rfind(':');
    if (colon == std::string_view::npos || colon + 1 == name.size()) return std::nullopt;
    auto p = Point::find(name.substr(0, colon));
    if (!p || !(kTable[p->index()].flags & kKeyed)) return std::nullopt;
    const std::string_view digits = name.substr(colon + 1);
    unsigned key = 0;
    auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), key);
    if (ec != std::errc() || end != digits.data() + digits.size()) return std::nullopt;
    return Target{p->index(), key};
}

std::optional<long long> fire(Flags& f, Arming& a) {
    if (!a.fires()) return std::nullopt;
    f.fired.fetch_add(1, std::memory_order_relaxed);
    return a.result;
}

}  // namespace

std::optional<long long> detail::armed_hit(Point p) {
    Flags& f = g_flags[p.index()];
    std::lock_guard lk(reg().mu);
    Slot& s = reg().slots[p.index()];
    if (!s.arming) return std::nullopt;
    return fire(f, *s.arming);
}

std::optional<long long> hit(Point p, unsigned key) {
    if (auto r = hit(p)) return r;
    Flags& f = g_flags[p.index()];
    if (!f.keyedArmed.load(std::memory_order_acquire)) return std::nullopt;
    std::lock_guard lk(reg().mu);
    Slot& s = reg().slots[p.index()];
    auto it = s.keyed.find(key);
    if (it == s.keyed.end()) return std::nullopt;
    return fire(f, it->second);
}

bool arm(std::string_view name, long long result, unsigned nth, bool onward) {
    const auto t = target_of(name);
    if (!t) return false;
    Registry& r = reg();
    Slot& s = r.slots[t->index];
    Flags& f = g_flags[t->index];
    std::lock_guard lk(r.mu);
    const Arming a{result, nth == 0 ? 1u : nth, onward, 0};
    if (t->key) {
        s.keyed.insert_or_assign(*t->key, a);
        f.keyedArmed.store(true, std::memory_order_release);
    } else {
        s.arming = a;
        f.armed.store(true, std::memory_order_release);
    }
    return true;
}

void disarm(std::string_view name) {
    const auto t = target_of(name);
    if (!t) return;
    Registry& r = reg();
    Slot& s = r.slots[t->index];
    Flags& f = g_flags[t->index];
    std::lock_guard lk(r.mu);
    if (t->key) {
        s.keyed.erase(*t->key);
        f.keyedArmed.store(!s.keyed.empty(), std::memory_order_release);
    } else {
        s.arming.reset();
        f.armed.store(false, std::memory_order_release);
    }
}

void reset() {
    Registry& r = reg();
    {
        std::lock_guard lk(r.mu);
        for (Slot& s : r.slots) {
            s.arming.reset();
            s.keyed.clear();
        }
        for (Flags& f : g_flags) {
            f.armed.store(false);
            f.keyedArmed.store(false);
            f.reached.store(0);
            f.fired.store(0);
        }
    }
    g_waitSeq.store(0);
    for (auto& w : g_waitLog) w.store(0, std::memory_order_relaxed);
}

unsigned long calls(std::string_view name) {
    const auto t = target_of(name);
    if (!t) return 0;
    Registry& r = reg();
    const Slot& s = r.slots[t->index];
    std::lock_guard lk(r.mu);
    if (t->key) {
        auto it = s.keyed.find(*t->key);
        return it == s.keyed.end() ? 0 : it->second.calls;
    }
    return s.arming ? s.arming->calls : 0;
}

unsigned long reached(std::string_view name) {
    const auto p = Point::find(name);
    return p ? g_flags[p->index()].reached.load(std::memory_order_relaxed) : 0;
}

unsigned long fired(std::string_view name) {
    const auto p = Point::find(name);
    return p ? g_flags[p->index()].fired.load(std::memory_order_relaxed) : 0;
}

std::vector<unsigned long> reached_all() {
    std::vector<unsigned long> out;
    out.reserve(kCount);
    for (const Flags& f : g_flags) out.push_back(f.reached.load(std::memory_order_relaxed));
    return out;
}

bool arm_from_spec(std::string_view spec, std::string* error) {
    struct Item {
        std::string name;
        long long result;
        unsigned nth;
        bool onward;
    };
    std::vector<Item> items;
    while (!spec.empty()) {
        std::size_t end = spec.find_first_of(";,");
        std::string_view item = spec.substr(0, end);
        spec = end == std::string_view::npos ? std::string_view() : spec.substr(end + 1);
        while (!item.empty() && item.front() == ' ') item.remove_prefix(1);
        while (!item.empty() && item.back() == ' ') item.remove_suffix(1);
        if (item.empty()) continue;
        auto bad = [&](const std::string& why) {
            if (error) *error = std::string("failpoint \"") + std::string(item) + "\": " + why;
            return false;
        };
        std::size_t eq = item.find('=');
        if (eq == std::string_view::npos || eq == 0) return bad("expected NAME=RESULT[@N][+]");
        std::string_view name = item.substr(0, eq);
        while (!name.empty() && name.back() == ' ') name.remove_suffix(1);
        if (name.empty()) return bad("expected NAME=RESULT[@N][+]");
        if (!target_of(name)) return bad("no failpoint is named \"" + std::string(name) + "\"");
        Item it{std::string(name), 0, 1, false};
        std::string_view rest = item.substr(eq + 1);
        while (!rest.empty() && rest.front() == ' ') rest.remove_prefix(1);
        if (!rest.empty() && rest.back() == '+') {
            it.onward = true;
            rest.remove_suffix(1);
        }
        std::size_t at = rest.find('@');
        if (!parse_ll(rest.substr(0, at), it.result)) return bad("result is not a number");
        if (at != std::string_view::npos) {
            long long n = 0;
            if (!parse_ll(rest.substr(at + 1), n) || n < 1 || n > 1000000000) return bad("call number must be 1 or more");
            it.nth = static_cast<unsigned>(n);
        }
        items.push_back(std::move(it));
    }
    for (auto& it : items) arm(it.name, it.result, it.nth, it.onward);
    return true;
}

bool arm_from_env(std::string* error) {
    const char* s = std::getenv("TUSAVE_FAILPOINTS");
    if (!s || !*s) return true;
    return arm_from_spec(s, error);
}

void record_wait(Point p, std::uint32_t ms) {
    const std::uint64_t seq = g_waitSeq.fetch_add(1, std::memory_order_relaxed);
    g_waitLog[seq % kMaxWaits].store((static_cast<std::uint64_t>(p.index()) + 1) << 32 | ms,
                                     std::memory_order_release);
}

std::vector<Wait> waits() {
    const std::uint64_t n = g_waitSeq.load(std::memory_order_acquire);
    std::vector<Wait> out;
    for (std::uint64_t i = n > kMaxWaits ? n - kMaxWaits : 0; i < n; ++i) {
        const std::uint64_t v = g_waitLog[i % kMaxWaits].load(std::memory_order_acquire);
        if (v == 0) continue;
        out.push_back(Wait{kTable[(v >> 32) - 1].name, static_cast<std::uint32_t>(v)});
    }
    return out;
}

}  // namespace failpoint
