// Instance definitions of another station: the instance file, read whole.
#include <fstream>
#include <sstream>

#include "failpoint/failpoint.h"
#include "libqveeda/eda_status.h"
#include "libqverxeda.h"

std::uint32_t CQVERXEdaOtherInst::LoadInstFile(const char* path) {
    using namespace eda;
    if (auto r = failpoint::hit("CQVERXEdaOtherInst::LoadInstFile"))
        return fail(static_cast<std::uint32_t>(*r), "CQVERXEdaOtherInst::LoadInstFile: failpoint");
    if (path == nullptr || *path == '\0') return fail(kBadName, "LoadInstFile: no path given");
    std::ifstream in(path, std::ios::binary);
    if (!in) return fail(kNoFile, std::string("LoadInstFile: cannot open ") + path);
    std::ostringstream ss;
    ss << in.rdbuf();
    if (in.bad()) return fail(kIo, std::string("LoadInstFile: cannot read ") + path);
    m_pInstFile = std::make_shared<const std::string>(ss.str());
    return kOk;
}
