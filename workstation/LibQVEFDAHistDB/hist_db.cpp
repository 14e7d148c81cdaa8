// History database registration: one line per registration in $TUSAVE_HOME/log/histdb.log:
//   <YYYY-mm-dd HH:MM:SS> TAB <project> TAB <station> TAB kind=<k> TAB flag=<f> TAB files=<a;b;...>
#include <ctime>

#include "config/ws_config.h"
#include "failpoint/failpoint.h"
#include "LibQVEFDAHistDB.h"
#include "libqveeda/eda_status.h"
#include "libqveeda/file_util.h"

using namespace eda;

unsigned int CQVEFDADBAccess::PutFileOnly(int kind, const char* project, const char* station, int flag,
                                          const std::vector<std::string>& files) {
    if (auto r = failpoint::hit("PutFileOnly")) return fail(static_cast<std::uint32_t>(*r), "PutFileOnly: failpoint");
    if (project == nullptr || !ws::valid_name(project))
        return fail(kBadName, std::string("PutFileOnly: invalid project \"") + (project ? project : "") + "\"");
    if (station == nullptr || !ws::valid_name(station))
        return fail(kBadName, std::string("PutFileOnly: invalid station \"") + (station ? station : "") + "\"");
    std::string list;
    for (const auto& f : files) {
        // A file name with a separator or a line break would make the line unreadable.
        if (f.empty() || f.find_first_of(";\t\r\n") != std::string::npos || f.find('\0') != std::string::npos)
            return fail(kBadName, "PutFileOnly: file name not registrable: \"" + one_line(f) + "\"");
        if (!list.empty()) list += ';';
        list += f;
    }
    const std::string line = local_time(std::time(nullptr), false) + "\t" + project + "\t" + station +
                             "\tkind=" + std::to_string(kind) + "\tflag=" + std::to_string(flag) + "\tfiles=" + list;
    return append_line(ws::home() + "/log/histdb.log", line);
}
