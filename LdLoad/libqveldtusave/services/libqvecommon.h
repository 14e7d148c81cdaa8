// Message buffer, memory and file services and the current-project query.
#pragma once

#include <cstddef>
#include <cstdint>

#include "port.h"

// Hands one NUL-terminated line to the calling application's message buffer; 0 = taken.
std::uint32_t QVEEngPutMsgBuf(const char* line);

// Memory of the workstation's memory service, tagged with the caller's source name and line.
void* __QVEEngMalloc(std::size_t size, const char* source, int line);
void __QVEEngFree(void* p, const char* source, int line);

// Opens a file (wrapper of CreateFileA); 0 = opened and *handle valid, else an error code.
std::uint32_t QVEEngCreateFile(const char* path, DWORD access, DWORD share, DWORD disposition,
                               DWORD flags, void* security, HANDLE* handle, int flag);
// Closes a handle of QVEEngCreateFile; 0 = closed, else an error code.
std::uint32_t QVEEngCloseFile(HANDLE handle, int flag);

// *isCurrent = 1 when project is the workstation's current project; 0 = answered.
std::uint32_t QVEEngIsCurrentProject(const char* project, int* isCurrent);
