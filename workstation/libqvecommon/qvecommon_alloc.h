// The identity of a buffer of the memory service (__QVEEngMalloc), for caches keyed by buffer.
#pragma once

#include <cstddef>

namespace ws {

// The size of a live buffer and its allocation number, unique for the life of the process (a
// buffer freed and taken again at the same address gets a new one); size 0 for any other pointer.
struct AllocationKey {
    std::size_t size = 0;
    unsigned long long seq = 0;
};
AllocationKey allocation_key(const void* p);
// How many buffers were taken or freed so far: while it stays, so do the live buffers and
// their keys.
unsigned long long allocation_changes();

}  // namespace ws
