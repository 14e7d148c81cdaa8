// The options of tusave save and the runners behind save, save --all and check.
#pragma once

#include <string>

namespace tusave_cli {

struct SaveOptions {
    std::string command = "save";   // "save" or "check": the words of the lines
    std::string project;
    std::string station;
    unsigned kind = 2;
    unsigned mode = 0;
    bool raw = false;
    bool json = false;      // one JSON report instead of the lines
    bool summary = false;   // the summary also when the output is not a terminal
    std::string parm1;
    std::string parm2;
    unsigned value = 0;
    std::string reason;   // why: kept with the save in the history database
    bool all = false;
    unsigned jobs = 0;   // 0: the number of CPUs
};

// One save, run in a child process that this one watches: exit status 0 for result 0, 1 for
// another result, 128 + N when signal N ended it (SIGINT, SIGTERM: the state of the project is
// told in one line).
int run_save(const SaveOptions& o);
// Every station of the project's system configuration, each in a process of its own.
int run_save_all(const SaveOptions& o);

}  // namespace tusave_cli
