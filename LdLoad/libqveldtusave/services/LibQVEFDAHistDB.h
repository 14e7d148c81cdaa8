// History database registration.
#pragma once

#include <string>
#include <vector>

class CQVEFDADBAccess {
public:
    CQVEFDADBAccess() = default;
    CQVEFDADBAccess(const CQVEFDADBAccess&);
    CQVEFDADBAccess& operator=(const CQVEFDADBAccess&);

    // Registers a save of the station in the history database; 0 = registered.
    static unsigned int PutFileOnly(int kind, const char* project, const char* station, int flag,
                                    const std::vector<std::string>& files);
};
