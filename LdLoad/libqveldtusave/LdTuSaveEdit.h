// Edit file update and the element search it shares with the TP file step.
#pragma once

#include <cstdint>
#include <vector>

#include "libqveeda.h"

// Bisection search of the element list (ascending by element name, unsigned byte order) for
// name. 0: found, copied into *out; 0x20000116: not in the list (no line); 1: name is null,
// or the list was found out of order ("ElemSearch:invalid case <name>" put out).
std::uint32_t ElemSearch(const char* name, const std::vector<_QVEElemTbl>& list, _QVEElemTbl* out);
