// Fault injection. Every service call that can fail asks the registry first:
//
//     if (auto r = failpoint::hit("QVEEngCloseFile")) return static_cast<std::uint32_t>(*r);
//
// The names are the ones of failpoints.def, and nothing else: a name in code is checked
// against the table when the program is compiled, a name a test or the environment arms when
// it is armed. A test arms a name with a result and the calls it hits: the n-th call once, or
// the n-th and every later one. The registry counts, per name, the calls that reached it and
// the calls an arming failed. Waits and sleeps consult the registry too and are logged, so a
// test can make a 30 s time-out or a 1 s pause happen at once and still see that it was asked
// for. Unarmed, hit() costs two relaxed loads and a store: no lock, no locked instruction, no allocation.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace failpoint {

enum Flag : unsigned {
    kIo = 1,     // a call to files, processes or the bus: one that a retry could get through
    kKeyed = 2,  // also armed as "NAME:<block code>", failing one block's call only
};

struct Entry {
    const char* name;
    unsigned flags;
};

inline constexpr Entry kTable[] = {
#define TUSAVE_FAILPOINT(name, flags) {name, flags},
#include "failpoint/failpoints.def"
#undef TUSAVE_FAILPOINT
};
inline constexpr std::size_t kCount = std::size(kTable);

// The index of name in kTable, or -1.
constexpr int index_of(std::string_view name) {
    for (std::size_t i = 0; i < kCount; ++i)
        if (name == kTable[i].name) return static_cast<int>(i);
    return -1;
}

// A name of the table. Made from a string literal, it is checked when compiled: a name that
// is not in failpoints.def does not compile.
class Point {
public:
    consteval Point(const char* name) : index_(checked(name)) {}  // NOLINT: implicit on purpose
    static std::optional<Point> find(std::string_view name) {
        const int i = index_of(name);
        if (i < 0) return std::nullopt;
        return Point(static_cast<std::size_t>(i));
    }
    std::size_t index() const { return index_; }
    const char* name() const { return kTable[index_].name; }

private:
    explicit Point(std::size_t i) : index_(static_cast<std::uint16_t>(i)) {}
    static consteval std::uint16_t checked(const char* name) {
        const int i = index_of(name);
        if (i < 0) throw "not a failpoint of failpoints.def";
        return static_cast<std::uint16_t>(i);
    }
    std::uint16_t index_;
};

namespace detail {
// One per name: the counters and the armed flags, read without the lock at every call.
// Constant-initialised, so that a call asks no guard of a local static either.
struct Flags {
    std::atomic<unsigned long> reached{0};
    std::atomic<unsigned long> fired{0};
    std::atomic<bool> armed{false};
    std::atomic<bool> keyedArmed{false};
};
extern constinit std::array<Flags, kCount> g_flags;
// hit() of an armed name, under the registry's lock.
std::optional<long long> armed_hit(Point p);
}  // namespace detail

// The armed result when this call of p is one the arming hits, else nothing. Inline: an
// unarmed name (every call of a save outside the tests) costs a count and a test.
inline std::optional<long long> hit(Point p) {
    detail::Flags& f = detail::g_flags[p.index()];
    // A load and a store, not a locked add: the count is for tests, which may lose a call
    // only to two threads passing the same point at once.
    f.reached.store(f.reached.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
    if (!f.armed.load(std::memory_order_acquire)) return std::nullopt;
    return detail::armed_hit(p);
}
// As hit(p), and then the arming of "NAME:<key>" (kKeyed points).
std::optional<long long> hit(Point p, unsigned key);

// Arms name ("NAME", or "NAME:<decimal>" for a kKeyed name): call number nth (counted from 1
// since arming) returns result; with onward, every later call too. arm(name, r, 1, true)
// fails every call. False, and nothing armed, when name is not a failpoint.
bool arm(std::string_view name, long long result, unsigned nth = 1, bool onward = false);
void disarm(std::string_view name);
// Disarms everything and clears the counters and the wait log.
void reset();
// How often hit() was asked for name since it was armed (0 when never armed).
unsigned long calls(std::string_view name);
// How often hit() was asked for name since the last reset(), armed or not (0 for an unknown name).
// Two threads passing the same point at the same moment may count once.
unsigned long reached(std::string_view name);
// How often an arming made a call of name fail since the last reset().
unsigned long fired(std::string_view name);
// reached() of every name, in table order.
std::vector<unsigned long> reached_all();

// "NAME=RESULT[@N][+]" items separated by ';' or ','; RESULT is decimal or 0x-hex, may be
// negative; "+" after N means "and every later call". Example:
// "QVEEngCloseFile=5@2;ZclOpen=1@1+". False with a reason on a malformed item or an unknown
// name (nothing armed).
bool arm_from_spec(std::string_view spec, std::string* error);
// Arms from the environment variable TUSAVE_FAILPOINTS, if set; false with a reason if malformed.
bool arm_from_env(std::string* error);

// Log of waits and sleeps that were asked for (name of the call, duration in ms), newest last;
// the last 4096 are kept. Recording takes no lock and allocates nothing.
struct Wait {
    std::string name;
    std::uint32_t ms;
};
void record_wait(Point p, std::uint32_t ms);
std::vector<Wait> waits();

}  // namespace failpoint
