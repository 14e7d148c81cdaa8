// Byte order of single station values (the station is big-endian, the host little-endian).
#include "libqveengendian.h"

#include <cstdint>

#include "failpoint/failpoint.h"
#include "tusave_bytes.h"

int Engntoh(void* value, int size) {
    if (auto r = failpoint::hit("Engntoh")) return *r ? static_cast<int>(*r) : 1;
    if (!value || (size != 1 && size != 2 && size != 4 && size != 8)) return 1;
    tb::swap_in_place(static_cast<std::uint8_t*>(value), static_cast<std::size_t>(size));
    return 0;
}
