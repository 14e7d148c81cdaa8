// The byte-order library of station frames and records (host little-endian, station big-endian).
#include "libqvebc2fcs.h"

#include <cstring>

#include "failpoint/failpoint.h"
#include "libqvebc2fcs/bc2fcs_layout.h"
#include "libqvecommon/qvecommon_alloc.h"

namespace {

int fail_result(failpoint::Point p) {
    if (auto r = failpoint::hit(p)) return *r ? static_cast<int>(*r) : 1;
    return 0;
}

bool valid_direction(int direction) { return direction == 0 || direction == 1; }

// The layouts of the last user instance image this thread saw, so a save parses the file once
// and not per record. The key is the buffer's address and its allocation number in the memory
// service, so a buffer freed and taken again at the same address is parsed anew; the contents
// are not compared (a save never writes into the loaded image). While the memory service has
// taken and freed no buffer since, the last answer stands without asking it: the records of a
// save take no lock. A failed parse is kept too. Valid until the thread's next call.
const std::shared_ptr<const bc2fcs::RecordLayouts>& layouts_of(const void* userInst) {
    thread_local struct {
        const void* key = nullptr;   // none yet (the caller never asks for a null buffer)
        unsigned long long seq = 0, changes = 0;
        std::shared_ptr<const bc2fcs::RecordLayouts> layouts;
    } last;
    static const std::shared_ptr<const bc2fcs::RecordLayouts> none;
    const unsigned long long changes = ws::allocation_changes();
    if (last.key == userInst && last.changes == changes) return last.layouts;
    const ws::AllocationKey k = ws::allocation_key(userInst);
    if (k.size == 0) return none;
    if (last.key != userInst || last.seq != k.seq)
        last.layouts = bc2fcs::RecordLayouts::parse(static_cast<const std::uint8_t*>(userInst), k.size, nullptr);
    last.key = userInst;
    last.seq = k.seq;
    last.changes = changes;
    return last.layouts;
}

}  // namespace

int bc2FcMnSaveHeader(FcMnSaveHeader* header, int direction) {
    if (int r = fail_result("bc2FcMnSaveHeader")) return r;
    if (!header || !valid_direction(direction)) return 1;
    bc2fcs::swap_header(header->b);
    return 0;
}

int bc2FcMnSavePara(FcMnSavePara* para, int direction) {
    if (int r = fail_result("bc2FcMnSavePara")) return r;
    if (!para || !valid_direction(direction)) return 1;
    bc2fcs::swap_para(para->b);
    return 0;
}

int bc2FcMnSaveStartRtnPara(FcMnSaveStartRtnPara* para, int direction) {
    if (int r = fail_result("bc2FcMnSaveStartRtnPara")) return r;
    if (!para || !valid_direction(direction)) return 1;
    bc2fcs::swap_rtn_para(para->b);
    return 0;
}

int bc2FcMnSaveReqRtnPara(FcMnSaveReqRtnPara* para, int direction) {
    if (int r = fail_result("bc2FcMnSaveReqRtnPara")) return r;
    if (!para || !valid_direction(direction)) return 1;
    bc2fcs::swap_rtn_para(para->b);
    return 0;
}

int bc2FcMnSaveData(FcMnSaveData* item, int direction) {
    if (int r = fail_result("bc2FcMnSaveData")) return r;
    if (!item || !valid_direction(direction)) return 1;
    bc2fcs::swap_item(item->b);
    return 0;
}

int bc3RecordInBlock(void* record, const void* /*blockHeader*/, unsigned short blkCode, int recNo, int size,
                     int direction, const void* userInst) {
    if (int r = fail_result("bc3RecordInBlock")) return r;
    if (!record || !userInst || size < 0 || !valid_direction(direction)) return 1;
    if (size == 0) return 0;   // an item without record bytes (not delivered): nothing to convert
    const auto& layouts = layouts_of(userInst);
    if (!layouts) return 2;
    const bc2fcs::RecordLayout* layout = layouts->find(blkCode, recNo);
    if (!layout) return 3;
    return bc2fcs::swap_record(*layout, static_cast<std::uint8_t*>(record), static_cast<std::size_t>(size)) ? 0 : 4;
}
