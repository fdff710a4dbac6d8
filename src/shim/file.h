// Files and file times: existing files opened read-only through the C library, and their
// POSIX times seen as FILETIME values.
#pragma once

#include <cstdint>

#include "shim/types.h"

constexpr DWORD GENERIC_READ = 0x80000000;
constexpr DWORD FILE_SHARE_READ = 0x1;
constexpr DWORD OPEN_EXISTING = 3;
constexpr DWORD FILE_ATTRIBUTE_NORMAL = 0x80;

namespace zul_compat {

// A POSIX time in whole seconds as the count of 100-nanosecond intervals since 1601.
FILETIME filetime_from_unix_seconds(int64_t seconds);

}  // namespace zul_compat

// Opens an existing file for reading, whatever access, sharing or disposition is asked for.
// Backslashes in the name are taken as folder separators.
HOST_API HANDLE CreateFileW(LPCWSTR fileName, DWORD access, DWORD shareMode,
                            LPSECURITY_ATTRIBUTES security, DWORD creationDisposition,
                            DWORD flagsAndAttributes, HANDLE templateFile);
// The creation time is the file's status-change time: there is no birth time to report.
HOST_API BOOL GetFileTime(HANDLE file, LPFILETIME creationTime, LPFILETIME lastAccessTime,
                          LPFILETIME lastWriteTime);
// A null pointer on either side compares equal.
HOST_API LONG CompareFileTime(const FILETIME* first, const FILETIME* second);
HOST_API BOOL CloseHandle(HANDLE object);
