// Load check: generation time of the running station against the project, and the texts
// of station result codes.
#pragma once

#include <string>

#include "port.h"

class CQVERXEdaSysObj;

// 0 = the generation times agree; 3 = refused without a line; other = they differ or could
// not be compared, with a detail code in *detail.
int LdCheckGenTime(HANDLE bus, const char* parm1, const char* parm2, const char* project,
                   const char* station, CQVERXEdaSysObj* sysObj, const char* dbFilePath, int* detail,
                   int reserved);
// A complete message line for a detail code, or the text of a station result code.
int LdGetTReturnMessage(unsigned short code, std::string* text);
