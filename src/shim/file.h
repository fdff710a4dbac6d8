// Files and file times: existing regular files opened read-only through the C library, and
// their POSIX times seen as FILETIME values.
#pragma once

#include <cstdint>
#include <ctime>

#include "shim/types.h"

constexpr DWORD GENERIC_READ = 0x80000000;
constexpr DWORD FILE_SHARE_READ = 0x1;
constexpr DWORD OPEN_EXISTING = 3;
constexpr DWORD FILE_ATTRIBUTE_NORMAL = 0x80;

namespace zul_compat {

// A POSIX time (seconds and nanoseconds since 1970) as the count of 100-nanosecond intervals
// since 1601; what is finer than 100 ns is cut off. A template edited within the second it was
// cached in must still show as changed, so the part of a second is kept.
FILETIME filetime_from_unix_time(int64_t seconds, uint32_t nanoseconds);
FILETIME filetime_from_unix_time(const timespec& time);

}  // namespace zul_compat

// Opens an existing regular file for reading, whatever access, sharing or disposition is asked
// for; anything else (a folder, a named pipe, a device) gives INVALID_HANDLE_VALUE without
// waiting. Backslashes in the name are taken as folder separators.
VESK_EXPORT HANDLE CreateFileW(LPCWSTR fileName, DWORD access, DWORD shareMode,
                            LPSECURITY_ATTRIBUTES security, DWORD creationDisposition,
                            DWORD flagsAndAttributes, HANDLE templateFile);
// The creation time is the file's status-change time: there is no birth time to report.
VESK_EXPORT BOOL GetFileTime(HANDLE file, LPFILETIME creationTime, LPFILETIME lastAccessTime,
                          LPFILETIME lastWriteTime);
// A null pointer on either side compares equal.
VESK_EXPORT LONG CompareFileTime(const FILETIME* first, const FILETIME* second);
VESK_EXPORT BOOL CloseHandle(HANDLE object);
