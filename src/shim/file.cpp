#include "shim/file.h"

#include <sys/stat.h>

#include "shim/path.h"

namespace {

constexpr uint64_t kFileTimeTicksPerSecond = 10'000'000;
// 100-nanosecond intervals from 1601-01-01 to 1970-01-01 UTC.
constexpr uint64_t kFileTimeUnixEpoch = 116'444'736'000'000'000;

uint64_t filetime_value(const FILETIME& time) {
    return (uint64_t{time.dwHighDateTime} << 32) | time.dwLowDateTime;
}

bool is_open_handle(HANDLE handle) { return handle != nullptr && handle != INVALID_HANDLE_VALUE; }

}  // namespace

namespace zul_compat {

FILETIME filetime_from_unix_seconds(int64_t seconds) {
    // Unsigned arithmetic: a time before 1601 or past the year 30828 wraps instead of
    // overflowing, as the 64-bit Win32 value would.
    const uint64_t ticks = static_cast<uint64_t>(seconds) * kFileTimeTicksPerSecond + kFileTimeUnixEpoch;
    return FILETIME{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
}

}  // namespace zul_compat

HANDLE CreateFileW(LPCWSTR fileName, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE) {
    char posix[zul_compat::kPosixPathBytes];
    if (!zul_compat::to_posix_path(fileName, posix)) return INVALID_HANDLE_VALUE;
    FILE* file = std::fopen(posix, "rb");
    return file != nullptr ? file : INVALID_HANDLE_VALUE;
}

BOOL GetFileTime(HANDLE file, LPFILETIME creationTime, LPFILETIME lastAccessTime,
                 LPFILETIME lastWriteTime) {
    if (!is_open_handle(file)) return FALSE;
    struct stat status {};
    if (fstat(fileno(file), &status) != 0) return FALSE;
    if (creationTime) *creationTime = zul_compat::filetime_from_unix_seconds(status.st_ctime);
    if (lastAccessTime) *lastAccessTime = zul_compat::filetime_from_unix_seconds(status.st_atime);
    if (lastWriteTime) *lastWriteTime = zul_compat::filetime_from_unix_seconds(status.st_mtime);
    return TRUE;
}

LONG CompareFileTime(const FILETIME* first, const FILETIME* second) {
    if (first == nullptr || second == nullptr) return 0;
    const uint64_t a = filetime_value(*first);
    const uint64_t b = filetime_value(*second);
    return a < b ? -1 : (a > b ? 1 : 0);
}

BOOL CloseHandle(HANDLE object) {
    if (!is_open_handle(object)) return FALSE;
    return std::fclose(object) == 0 ? TRUE : FALSE;
}
