#include "shim/file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "shim/path.h"

namespace {

constexpr uint64_t kFileTimeTicksPerSecond = 10'000'000;
constexpr uint64_t kNanosecondsPerTick = 100;
// 100-nanosecond intervals from 1601-01-01 to 1970-01-01 UTC.
constexpr uint64_t kFileTimeUnixEpoch = 116'444'736'000'000'000;

uint64_t filetime_value(const FILETIME& time) {
    return (uint64_t{time.dwHighDateTime} << 32) | time.dwLowDateTime;
}

bool is_open_handle(HANDLE handle) { return handle != nullptr && handle != INVALID_HANDLE_VALUE; }

}  // namespace

namespace zul_compat {

FILETIME filetime_from_unix_time(int64_t seconds, uint32_t nanoseconds) {
    // Unsigned arithmetic: a time before 1601 or past the year 30828 wraps instead of
    // overflowing, as the 64-bit Win32 value would.
    const uint64_t ticks = static_cast<uint64_t>(seconds) * kFileTimeTicksPerSecond +
                           nanoseconds / kNanosecondsPerTick + kFileTimeUnixEpoch;
    return FILETIME{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
}

FILETIME filetime_from_unix_time(const timespec& time) {
    return filetime_from_unix_time(time.tv_sec, static_cast<uint32_t>(time.tv_nsec));
}

}  // namespace zul_compat

HANDLE CreateFileW(LPCWSTR fileName, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE) {
    char posix[zul_compat::kPosixPathBytes];
    if (!zul_compat::to_posix_path(fileName, posix)) return INVALID_HANDLE_VALUE;
    // Opening a named pipe waits for a writer, and a device may do anything: the file is opened
    // without waiting and kept only when it turns out to be a regular file.
    const int fd = open(posix, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return INVALID_HANDLE_VALUE;
    struct stat status {};
    const int flags = fcntl(fd, F_GETFL);
    FILE* file = nullptr;
    if (fstat(fd, &status) == 0 && S_ISREG(status.st_mode) && flags != -1 &&
        fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) == 0) {
        file = fdopen(fd, "rb");
    }
    if (file == nullptr) {
        close(fd);
        return INVALID_HANDLE_VALUE;
    }
    return file;
}

BOOL GetFileTime(HANDLE file, LPFILETIME creationTime, LPFILETIME lastAccessTime,
                 LPFILETIME lastWriteTime) {
    if (!is_open_handle(file)) return FALSE;
    struct stat status {};
    if (fstat(fileno(file), &status) != 0) return FALSE;
    if (creationTime) *creationTime = zul_compat::filetime_from_unix_time(status.st_ctim);
    if (lastAccessTime) *lastAccessTime = zul_compat::filetime_from_unix_time(status.st_atim);
    if (lastWriteTime) *lastWriteTime = zul_compat::filetime_from_unix_time(status.st_mtim);
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
