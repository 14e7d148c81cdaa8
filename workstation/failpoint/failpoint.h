// Fault injection. Every service call that can fail asks the registry first:
//
//     if (auto r = failpoint::hit("QVEEngCloseFile")) return static_cast<std::uint32_t>(*r);
//
// A test arms a name with a result and the calls it hits: the n-th call once, or the n-th
// and every later one. Waits and sleeps consult the registry too and are logged, so a test
// can make a 30 s time-out or a 1 s pause happen at once and still see that it was asked for.
// Unarmed, hit() costs one branch.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace failpoint {

// The armed result when this call of name is one the arming hits, else nothing.
std::optional<long long> hit(std::string_view name);

// Arms name: call number nth (counted from 1 since arming) returns result; with onward,
// every later call too. arm(name, r, 1, true) fails every call.
void arm(std::string_view name, long long result, unsigned nth = 1, bool onward = false);
void disarm(std::string_view name);
// Disarms everything and clears the counters and the wait log.
void reset();
// How often hit() was asked for name since it was armed (0 when never armed).
unsigned long calls(std::string_view name);

// "NAME=RESULT[@N][+]" items separated by ';' or ','; RESULT is decimal or 0x-hex, may be
// negative; "+" after N means "and every later call". Example:
// "QVEEngCloseFile=5@2;ZclOpen=1@1+". False with a reason on a malformed item (nothing armed).
bool arm_from_spec(std::string_view spec, std::string* error);
// Arms from the environment variable TUSAVE_FAILPOINTS, if set; false with a reason if malformed.
bool arm_from_env(std::string* error);

// Log of waits and sleeps that were asked for (name of the call, duration in ms), newest last.
struct Wait {
    std::string name;
    std::uint32_t ms;
};
void record_wait(std::string_view name, std::uint32_t ms);
std::vector<Wait> waits();

}  // namespace failpoint
