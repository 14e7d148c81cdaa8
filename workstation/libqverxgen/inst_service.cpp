// The instance definition service: the open reads a station's definitions file once, every
// other call answers from what it read, the close drops it.
#include <cstdio>
#include <cstdlib>
#include <algorithm>
#include <cstring>
#include <mutex>
#include <optional>
#include <initializer_list>
#include <string_view>

#include "failpoint/failpoint.h"
#include "libqveeda.h"
#include "libqveeda/eda_status.h"
#include "libqveeda/path_keys.h"
#include "libqverxgen.h"
#include "libqverxgen/inst_def.h"
#include "libqvecommon/qvecommon_host.h"

namespace {

using namespace instdef;

struct State {
    std::mutex mu;
    std::shared_ptr<const Definitions> defs;  // set while open
    std::string path;
};

State& state() {
    static State s;
    return s;
}

thread_local std::string g_lastError;

// Keeps the text of a failure for last_error(). Only a definitions file that cannot be read is
// handed to the note sink: the other failures are answers the caller acts on (a model without a
// "UAID" item is common), and its own line reports them.
int report(int code, std::string text, bool say = false) {
    g_lastError = std::move(text);
    if (say) ws::note(g_lastError);
    return code;
}

// The same for a text of pieces, put together in the kept text's own storage: the failures a
// save meets per block (a model without a "UAID" item) cost no allocation.
int report(int code, std::initializer_list<std::string_view> pieces) {
    g_lastError.clear();
    for (std::string_view p : pieces) g_lastError += p;
    return code;
}

std::optional<int> failpoint_hit(failpoint::Point p) {
    if (auto r = failpoint::hit(p)) return report(static_cast<int>(*r), std::string(p.name()) + ": failpoint");
    return std::nullopt;
}

// Per-block failpoints ("IEdalInstGetSaveRecNo:6226") let a test fail one block's call.
std::optional<int> failpoint_hit(failpoint::Point p, std::uint16_t blockCode) {
    if (auto r = failpoint::hit(p, blockCode))
        return report(static_cast<int>(*r), std::string(p.name()) + ":" + std::to_string(blockCode) + ": failpoint");
    return std::nullopt;
}

int not_open(const char* fn) { return report(kNotOpen, std::string(fn) + ": the instance definitions are not open"); }

std::string code_text(std::uint16_t blockCode) {
    char b[8];
    std::snprintf(b, sizeof b, "0x%04x", blockCode);
    return b;
}

const Model* model_by_name(const Definitions& d, const char* fn, const char* instName, int& rc) {
    if (instName == nullptr) {
        rc = report(kBadArgument, std::string(fn) + ": no instance name");
        return nullptr;
    }
    const Model* m = d.name(instName);
    if (m == nullptr) rc = report(kUnknown, {fn, ": no instance \"", instName, "\""});
    return m;
}

const Item* item_by_name(const Definitions& d, const char* fn, const char* instName, const char* itemName, int& rc) {
    const Model* m = model_by_name(d, fn, instName, rc);
    if (m == nullptr) return nullptr;
    if (itemName == nullptr) {
        rc = report(kBadArgument, std::string(fn) + ": no item name");
        return nullptr;
    }
    const Item* it = m->find(itemName);
    if (it == nullptr)
        rc = report(kUnknown, {fn, ": instance \"", instName, "\" has no item \"", itemName, "\""});
    return it;
}

}  // namespace

namespace instdef {
const std::string& last_error() { return g_lastError; }
}  // namespace instdef

int IEdalInstOpenForTP(const char* project, const char* station, unsigned projectKind) {
    constexpr const char* fn = "IEdalInstOpenForTP";
    if (auto r = failpoint_hit(fn)) return *r;
    State& s = state();
    std::lock_guard lk(s.mu);
    if (s.defs) return report(kAlreadyOpen, std::string(fn) + ": already open for " + s.path);
    if (project == nullptr || station == nullptr) return report(kBadArgument, std::string(fn) + ": no project or station");
    if (projectKind != 2 && projectKind != 3)
        return report(kBadArgument, std::string(fn) + ": project kind " + std::to_string(projectKind) + " is not 2 or 3");

    CQVEFilePath paths;
    const std::uint32_t bound = projectKind == 2 ? paths.InitProject(project) : paths.InitEqlzProject(project);
    if (bound != 0)
        return report(kNoFile, std::string(fn) + ": project " + project + (projectKind == 3 ? " (equalization)" : "") +
                                   " not found: " + eda::last_error(), true);
    const auto* key = eda::pathkeys::find("INSTDEF", eda::pathkeys::Kind::Internal);
    eda::pathkeys::Args args;
    args.station = station;
    std::string path;
    if (key == nullptr || eda::pathkeys::expand(*key, args, paths.GetProjectTopDir(), path) != 0)
        return report(kBadArgument, std::string(fn) + ": invalid station \"" + station + "\"");

    std::shared_ptr<const Definitions> d;
    std::string error;
    if (int rc = read(path, d, error)) return report(rc, std::string(fn) + ": " + error, true);
    s.defs = std::move(d);
    s.path = path;
    return kOk;
}

// A close that fails still closes: left open, the definitions would refuse every later open.
int IEdalInstClose() {
    constexpr const char* fn = "IEdalInstClose";
    const auto r = failpoint_hit(fn);
    State& s = state();
    std::lock_guard lk(s.mu);
    const bool wasOpen = s.defs != nullptr;
    s.defs.reset();
    s.path.clear();
    if (r) return *r;
    return wasOpen ? kOk : not_open(fn);
}

int IEdalInstGetInstName(unsigned short blockCode, char* name) {
    constexpr const char* fn = "IEdalInstGetInstName";
    if (auto r = failpoint_hit(fn, blockCode)) return *r;
    State& s = state();
    std::lock_guard lk(s.mu);
    if (!s.defs) return not_open(fn);
    if (name == nullptr) return report(kBadArgument, std::string(fn) + ": no name buffer");
    const Model* m = s.defs->code(blockCode);
    if (m == nullptr) return report(kUnknown, std::string(fn) + ": no model for block code " + code_text(blockCode));
    const std::size_t n = std::min(m->name.size(), static_cast<std::size_t>(IEDAL_INSTNAME_SIZE - 1));
    std::memcpy(name, m->name.data(), n);
    name[n] = '\0';
    return kOk;
}

int IEdalInstGetDItemList2(const char* instName, int* count, char** list) {
    constexpr const char* fn = "IEdalInstGetDItemList2";
    if (list != nullptr) *list = nullptr;  // nothing to free on any failure
    if (auto r = failpoint_hit(fn)) return *r;
    State& s = state();
    std::lock_guard lk(s.mu);
    if (!s.defs) return not_open(fn);
    if (count == nullptr || list == nullptr) return report(kBadArgument, std::string(fn) + ": no count or list pointer");
    int rc = kOk;
    const Model* m = model_by_name(*s.defs, fn, instName, rc);
    if (m == nullptr) return rc;
    // The caller releases the text with free().
    char* text = static_cast<char*>(std::malloc(m->itemList.size() + 1));
    if (text == nullptr) return report(kNoMemory, std::string(fn) + ": out of memory");
    std::memcpy(text, m->itemList.c_str(), m->itemList.size() + 1);
    *count = static_cast<int>(m->items.size());
    // Test hook: a count that disagrees with the list by the armed amount.
    if (auto d = failpoint::hit("IEdalInstGetDItemList2.count")) *count += static_cast<int>(*d);
    *list = text;
    return kOk;
}

int IEdalInstGetDItemCnctInf(const char* instName, const char* itemName, IEdalItemCnctS* cnct) {
    constexpr const char* fn = "IEdalInstGetDItemCnctInf";
    if (auto r = failpoint_hit(fn)) return *r;
    State& s = state();
    std::lock_guard lk(s.mu);
    if (!s.defs) return not_open(fn);
    if (cnct == nullptr) return report(kBadArgument, std::string(fn) + ": no connection record");
    int rc = kOk;
    const Item* it = item_by_name(*s.defs, fn, instName, itemName, rc);
    if (it == nullptr) return rc;
    *cnct = IEdalItemCnctS{};
    cnct->recNo = it->recNo;
    cnct->offset = it->offset;
    cnct->dataType = it->dataType;
    cnct->elemSize = it->elemSize;
    return kOk;
}

int IEdalInstGetDItemArrayInf(const char* instName, const char* itemName, int* dim1, int* dim2) {
    constexpr const char* fn = "IEdalInstGetDItemArrayInf";
    if (auto r = failpoint_hit(fn)) return *r;
    State& s = state();
    std::lock_guard lk(s.mu);
    if (!s.defs) return not_open(fn);
    if (dim1 == nullptr || dim2 == nullptr) return report(kBadArgument, std::string(fn) + ": no dimension pointer");
    int rc = kOk;
    const Item* it = item_by_name(*s.defs, fn, instName, itemName, rc);
    if (it == nullptr) return rc;
    *dim1 = it->dim1;
    *dim2 = it->dim2;
    return kOk;
}

int IEdalInstGetSaveRecNo(unsigned short blockCode, int* count, int* recNos) {
    constexpr const char* fn = "IEdalInstGetSaveRecNo";
    if (auto r = failpoint_hit(fn, blockCode)) return *r;
    State& s = state();
    std::lock_guard lk(s.mu);
    if (!s.defs) return not_open(fn);
    if (count == nullptr || recNos == nullptr) return report(kBadArgument, std::string(fn) + ": no count or list pointer");
    const Model* m = s.defs->code(blockCode);
    if (m == nullptr) return report(kUnknown, std::string(fn) + ": no model for block code " + code_text(blockCode));
    // The reader refuses more; the bound keeps the caller's list safe all the same.
    const std::size_t n = std::min(m->savedRecords.size(), static_cast<std::size_t>(IEDAL_MAX_SAVE_REC));
    for (std::size_t i = 0; i < n; ++i) recNos[i] = m->savedRecords[i];
    *count = static_cast<int>(n);
    // Test hook: report the armed count (more than the caller has room for, say); the list
    // written stays the model's.
    if (auto c = failpoint::hit("IEdalInstGetSaveRecNo.count")) *count = static_cast<int>(*c);
    return kOk;
}
