// History log, error log, time and the workstation's top folder.
#pragma once

#include <cstdint>
#include <ctime>

// Opens the history log for the project and station (reserved: null).
void QVCInitHistoryLog(const char* project, const char* station, void* reserved);
// One history entry: time and the three texts.
void QVCPutHistoryLogLoad(const char* text1, const char* text2, const char* text3);
// One error-log entry naming the project and the source place of the call.
void _QVCPutErrorLog(const char* project, const char* source, int line);

std::time_t QVCTime(std::time_t* out);
struct tm* QVCLocaltime(const std::time_t* t);
char* QVCCtime(const std::time_t* t);

// The workstation's top folder into dir (size bytes with the NUL); 0 = done.
std::uint32_t QVCGetQVTopDir(char* dir, int size);
// Appends part to dir as a further path element ("/"); 0 = done, else dir unchanged.
std::uint32_t QVCCatDir(char* dir, const char* part, int size);
