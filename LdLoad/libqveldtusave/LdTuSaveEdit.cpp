// Edit file update and element search.
#include "LdTuSaveEdit.h"

#include <cstring>

#include "LdTuSaveCtrl.h"

namespace {

// Sign of element i's name compared with name, as strcmp compares (unsigned bytes).
int ElemCompare(const std::vector<_QVEElemTbl>& list, int i, const char* name) {
    return std::strcmp(list[static_cast<std::size_t>(i)].strElemName.c_str(), name);
}

std::uint32_t ElemFound(const std::vector<_QVEElemTbl>& list, int i, _QVEElemTbl* out) {
    *out = list[static_cast<std::size_t>(i)];
    return 0;
}

}  // namespace

// Both ends of the range are compared in every pass, the upper end first; a match at either
// end ends the search.
std::uint32_t ElemSearch(const char* name, const std::vector<_QVEElemTbl>& list, _QVEElemTbl* out) {
    if (!name) return 1;
    if (list.empty()) return LDTUSAVE_E_NOELEM;
    int lo = 0;
    int hi = static_cast<int>(list.size()) - 1;
    for (;;) {
        const int cmpHi = ElemCompare(list, hi, name);
        const int cmpLo = ElemCompare(list, lo, name);
        if (cmpHi > 0) {
            if (cmpLo == 0) return ElemFound(list, lo, out);
            if (cmpLo > 0 || hi - lo <= 1) return LDTUSAVE_E_NOELEM;
            const int mid = (lo + hi) / 2;
            const int cmpMid = ElemCompare(list, mid, name);
            if (cmpMid == 0) return ElemFound(list, mid, out);
            (cmpMid > 0 ? hi : lo) = mid;
        } else if (cmpHi == 0) {
            return ElemFound(list, hi, out);
        } else {
            if (cmpLo < 0) return LDTUSAVE_E_NOELEM;
            if (cmpLo == 0) return ElemFound(list, lo, out);
            LdTuSaveMsgf("ElemSearch:invalid case %s", name);
            return 1;
        }
    }
}

// Placeholder until the edit file update lands: changes no file and succeeds.
std::uint32_t LdTuSaveCtrlUpdateEditFile(LdTuSaveCtrlInf* /*inf*/, LdTuSaveRecordTbl* /*saveRecordTbl*/) { return 0; }
