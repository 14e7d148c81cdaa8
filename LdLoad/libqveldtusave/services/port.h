// The small layer in place of the platform calls the library makes: file handles,
// directory search, processes, waits, sleep and the calling application's string
// resources and application object. Implemented in workstation/port.
//
// Handles are opaque objects of the port; the values and flags keep the meanings the
// library passes (GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, ...). GetLastError()
// is errno of the failed call.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

using DWORD = std::uint32_t;
using BOOL = int;
using UINT = unsigned int;
using BYTE = std::uint8_t;
using WORD = std::uint16_t;
using LONG = std::int32_t;

struct PortObject;                 // file, find, process or waitable descriptor
using HANDLE = PortObject*;
#define INVALID_HANDLE_VALUE (reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(-1)))

// access
constexpr DWORD GENERIC_READ = 0x80000000u;
constexpr DWORD GENERIC_WRITE = 0x40000000u;
// share mode: honoured among our processes with advisory locks (flock on the open file).
// An open that shares reading (and only reads, or shares writing too) takes a shared lock,
// every other open an exclusive one; a conflicting open fails with EBUSY.
constexpr DWORD FILE_SHARE_READ = 0x1;
constexpr DWORD FILE_SHARE_WRITE = 0x2;
// disposition
constexpr DWORD CREATE_NEW = 1;
constexpr DWORD CREATE_ALWAYS = 2;
constexpr DWORD OPEN_EXISTING = 3;
constexpr DWORD OPEN_ALWAYS = 4;
constexpr DWORD TRUNCATE_EXISTING = 5;
// flags
constexpr DWORD FILE_ATTRIBUTE_NORMAL = 0x80;
constexpr DWORD FILE_ATTRIBUTE_DIRECTORY = 0x10;
constexpr DWORD FILE_FLAG_SEQUENTIAL_SCAN = 0x08000000u;
// Port extension: writes go to a temporary file in the same folder, which CloseHandle
// flushes and renames over the target (after fsync of file and folder). The temporary
// starts as a copy of the target, so the handle behaves like an in-place, untruncated
// write; a failed or short WriteFile poisons the handle and CloseHandle then discards
// the temporary and fails, leaving the target as it was. A target that is not writable
// fails at the open with EACCES (also for root: a file without write bits is read-only, and
// so is a folder without write bits, where no temporary can be made).
constexpr DWORD PORT_FLAG_REPLACE_ON_CLOSE = 0x00010000u;
// Port extension: as PORT_FLAG_REPLACE_ON_CLOSE, but the temporary starts empty whatever the
// disposition: for a file that is written whole (nothing of the old content is read, and a
// shorter new content leaves no old tail).
constexpr DWORD PORT_FLAG_REPLACE_WHOLE = 0x00020000u;
// GetLastError() after a failed CloseHandle of a replace-on-close handle whose new content was
// renamed over the target but whose folder could not be synced: the file is written, but the
// rename is not confirmed on disk. Every other failed close leaves the target as it was.
constexpr DWORD PORT_ERROR_NOT_CONFIRMED = 0x00010001u;

constexpr DWORD INVALID_FILE_SIZE = 0xFFFFFFFFu;
constexpr DWORD INVALID_SET_FILE_POINTER = 0xFFFFFFFFu;
constexpr DWORD FILE_BEGIN = 0;
constexpr DWORD FILE_CURRENT = 1;
constexpr DWORD FILE_END = 2;

constexpr DWORD INFINITE = 0xFFFFFFFFu;
constexpr DWORD WAIT_OBJECT_0 = 0;
constexpr DWORD WAIT_TIMEOUT = 258;
constexpr DWORD WAIT_FAILED = 0xFFFFFFFFu;
constexpr DWORD STILL_ACTIVE = 259;

constexpr DWORD MAX_PATH = 260;

// ---- files ----------------------------------------------------------------
// Every call that can fail first asks the failpoint of its own name ("CreateFileA",
// "ReadFile", "WriteFile", "SetFilePointer", "GetFileSize", "CloseHandle", "DeleteFileA",
// "CopyFileA", "MoveFileA", "GetFullPathNameA", "FindFirstFileA", "FindNextFileA",
// "FindClose", "CreateProcessV", "GetExitCodeProcess"); armed, it fails as the real call
// would, with the armed value as GetLastError(). A failing CloseHandle still releases the
// handle. "WriteFile.short" armed with N makes that WriteFile write only the first N bytes
// and report N as done (success), as a short write would; a replace-on-close handle is
// poisoned by it. "CloseHandle.syncdir" armed makes the folder sync after the rename of a
// replace-on-close handle fail (PORT_ERROR_NOT_CONFIRMED).
// ReadFile reads until size bytes or the end of the file; *done is the count read.
HANDLE CreateFileA(const char* path, DWORD access, DWORD share, void* security, DWORD disposition,
                   DWORD flags, HANDLE templ);
BOOL ReadFile(HANDLE h, void* buf, DWORD size, DWORD* done, void* overlapped);
BOOL WriteFile(HANDLE h, const void* buf, DWORD size, DWORD* done, void* overlapped);
DWORD SetFilePointer(HANDLE h, LONG distance, LONG* high, DWORD method);
DWORD GetFileSize(HANDLE h, DWORD* high);
BOOL CloseHandle(HANDLE h);
// Port extension: gives up the writes of a replace-on-close handle. Its close then discards
// the temporary and succeeds; the target stays byte for byte as it was. FALSE (EINVAL) for
// any other handle. A file patched in several writes is so committed only when all succeeded.
BOOL PortAbandonFile(HANDLE h);
// Port extension: the target of a replace-on-close handle as it was at the open, read under
// the handle's lock: its size (INVALID_FILE_SIZE, EINVAL, for a handle without an existing
// target), and up to size bytes from offset (*done: the count read). A handle opened with
// PORT_FLAG_REPLACE_WHOLE so reads the old content without copying it into the temporary.
// They ask the failpoints "GetFileSize" and "ReadFile", whose work they do.
DWORD PortTargetSize(HANDLE h);
BOOL PortReadTarget(HANDLE h, void* buf, DWORD size, DWORD* done, std::uint64_t offset = 0);
// Port extension: closes n handles at once. Replace-on-close handles are committed as a
// group (one syncfs of every temporary written, the renames in handle order, a second syncfs),
// so that many files replaced together cost one round of syncs; closed[i] is handle i's
// result, as CloseHandle would give it. FALSE when any failed (GetLastError: the last
// failure's). With stop given, a failure of a handle i whose stop[i] is set before its rename
// (or of the rename itself) discards the temporaries of every replace-on-close handle after
// it: their targets stay as they were and their closed[] is FALSE (ECANCELED). Only a failed
// sync after the renames leaves files of a failed group new (written, but not confirmed).
BOOL PortCloseFiles(const HANDLE* handles, DWORD count, BOOL* closed, const BOOL* stop = nullptr);
DWORD GetLastError();
void SetLastError(DWORD code);
BOOL DeleteFileA(const char* path);
BOOL CopyFileA(const char* from, const char* to, BOOL failIfExists);
BOOL MoveFileA(const char* from, const char* to);
// Absolute, normalised path; returns its length, or 0 on failure (then GetLastError).
DWORD GetFullPathNameA(const char* path, DWORD size, char* buf, char** filePart);

// File status (the fields the library reads). 0, or -1 with errno / GetLastError().
constexpr unsigned _S_IFMT = 0170000;
constexpr unsigned _S_IFDIR = 0040000;
constexpr unsigned _S_IFREG = 0100000;
struct _stat {
    unsigned st_mode = 0;
    std::int64_t st_size = 0;
};
int _stat(const char* path, struct _stat* buf);

// ---- double-byte text of the workstation's code page -------------------------
// Lead bytes of a double-byte character: 0x81-0x9F and 0xE0-0xFC.
bool IsDBCSLeadByte(BYTE c);
// Length of the character at p: 2 for a lead byte, else 1.
std::size_t _mbclen(const unsigned char* p);
// The character after p; p itself at the terminator, and a lead byte before the terminator
// is one character of its own (the terminator is never skipped).
const char* CharNextA(const char* p);

// ---- directory search -------------------------------------------------------
// Only what the entry itself tells: the name and whether it is a folder (no size, no times).
struct WIN32_FIND_DATAA {
    DWORD dwFileAttributes = 0;
    char cFileName[MAX_PATH] = {};
};
// pattern: "folder/NAME", where NAME may hold '*' and '?' (for example "dir/*.xseg").
HANDLE FindFirstFileA(const char* pattern, WIN32_FIND_DATAA* data);
BOOL FindNextFileA(HANDLE h, WIN32_FIND_DATAA* data);
BOOL FindClose(HANDLE h);

// ---- processes and waits ----------------------------------------------------
// Waits and Sleep log themselves with failpoint::record_wait(name, ms). Armed,
// "WaitForSingleObject" and "WaitForMultipleObjects" return the armed result at once
// (258 = WAIT_TIMEOUT) and "Sleep" returns at once. WaitForMultipleObjects waits for the
// first readable descriptor among handles of port::wrap_fd (waitAll only with one handle).
// Starts program with the argument vector argv (argv[0] included); *process receives a
// handle for WaitForSingleObject / GetExitCodeProcess / CloseHandle. The program runs
// detached: standard input, output and error are /dev/null, and it inherits no other
// descriptor of the caller.
BOOL CreateProcessV(const char* program, const std::vector<std::string>& argv, HANDLE* process);
DWORD WaitForSingleObject(HANDLE h, DWORD ms);
DWORD WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL waitAll, DWORD ms);
BOOL GetExitCodeProcess(HANDLE process, DWORD* code);
void Sleep(DWORD ms);

// ---- string resources and the application object -----------------------------
// The text of a resource id of the calling application; false (out untouched) when the
// application has no text for it.
bool LoadStringA(UINT id, std::string& out);

// The calling application's object: a text naming it and its wait cursor.
std::string AfxGetAppText();
void AfxBeginWaitCursor();
void AfxEndWaitCursor();
