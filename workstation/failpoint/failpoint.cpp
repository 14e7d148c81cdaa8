#include "failpoint/failpoint.h"

#include <atomic>
#include <charconv>
#include <cstdlib>
#include <deque>
#include <limits>
#include <map>
#include <mutex>

namespace failpoint {
namespace {

struct Arming {
    long long result = 0;
    unsigned nth = 1;
    bool onward = false;
    unsigned long calls = 0;
};

struct Registry {
    std::mutex mu;
    std::map<std::string, Arming, std::less<>> armed;
    std::deque<Wait> waits;
};

Registry& reg() {
    static Registry r;
    return r;
}

std::atomic<bool> g_anyArmed{false};
constexpr std::size_t kMaxWaits = 4096;

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

}  // namespace

std::optional<long long> hit(std::string_view name) {
    if (!g_anyArmed.load(std::memory_order_relaxed)) return std::nullopt;
    Registry& r = reg();
    std::lock_guard lk(r.mu);
    auto it = r.armed.find(name);
    if (it == r.armed.end()) return std::nullopt;
    Arming& a = it->second;
    ++a.calls;
    if (a.calls == a.nth || (a.onward && a.calls > a.nth)) return a.result;
    return std::nullopt;
}

void arm(std::string_view name, long long result, unsigned nth, bool onward) {
    Registry& r = reg();
    std::lock_guard lk(r.mu);
    r.armed.insert_or_assign(std::string(name), Arming{result, nth == 0 ? 1u : nth, onward, 0});
    g_anyArmed.store(true);
}

void disarm(std::string_view name) {
    Registry& r = reg();
    std::lock_guard lk(r.mu);
    auto it = r.armed.find(name);
    if (it != r.armed.end()) r.armed.erase(it);
    g_anyArmed.store(!r.armed.empty());
}

void reset() {
    Registry& r = reg();
    std::lock_guard lk(r.mu);
    r.armed.clear();
    r.waits.clear();
    g_anyArmed.store(false);
}

unsigned long calls(std::string_view name) {
    Registry& r = reg();
    std::lock_guard lk(r.mu);
    auto it = r.armed.find(name);
    return it == r.armed.end() ? 0 : it->second.calls;
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
        auto bad = [&](const char* why) {
            if (error) *error = std::string("failpoint \"") + std::string(item) + "\": " + why;
            return false;
        };
        std::size_t eq = item.find('=');
        if (eq == std::string_view::npos || eq == 0) return bad("expected NAME=RESULT[@N][+]");
        std::string_view name = item.substr(0, eq);
        while (!name.empty() && name.back() == ' ') name.remove_suffix(1);
        if (name.empty()) return bad("expected NAME=RESULT[@N][+]");
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

void record_wait(std::string_view name, std::uint32_t ms) {
    Registry& r = reg();
    std::lock_guard lk(r.mu);
    if (r.waits.size() == kMaxWaits) r.waits.pop_front();
    r.waits.push_back(Wait{std::string(name), ms});
}

std::vector<Wait> waits() {
    Registry& r = reg();
    std::lock_guard lk(r.mu);
    return {r.waits.begin(), r.waits.end()};
}

}  // namespace failpoint
