#include "shim/path.h"

#include <cstdlib>
#include <memory>

#include "host/runtime.h"

namespace zul_compat {

bool to_posix_path(LPCWSTR path, char (&out)[kPosixPathBytes]) {
    if (path == nullptr) return false;
    if (utf32_utf8(out, kPosixPathBytes, path) >= kPosixPathBytes) return false;
    for (char* p = out; *p != '\0'; ++p) {
        if (*p == '\\') *p = '/';
    }
    return true;
}

}  // namespace zul_compat

BOOL PathCanonicalizeW(LPWSTR out, LPCWSTR path) {
    char posix[zul_compat::kPosixPathBytes];
    if (out == nullptr || !zul_compat::to_posix_path(path, posix)) return FALSE;
    // realpath may write up to PATH_MAX bytes into a caller buffer, which exceeds the path
    // limit above on this platform; letting it allocate keeps every length in our hands.
    const std::unique_ptr<char, decltype(&std::free)> resolved(realpath(posix, nullptr), &std::free);
    if (!resolved) return FALSE;
    if (utf8_utf32(nullptr, 0, resolved.get()) >= MAX_PATH) return FALSE;
    utf8_utf32(out, MAX_PATH, resolved.get());
    return TRUE;
}
