// Paths: the library writes them with backslashes in wide characters; the C library takes
// UTF-8 with slashes. Canonicalisation asks the real file system.
#pragma once

#include <cstddef>

#include "shim/types.h"

namespace zul_compat {

// Bytes of UTF-8, the NUL included, that a path handed to the C library may not reach.
constexpr size_t kPosixPathBytes = 1024;

// Converts `path` to UTF-8 in `out` (kPosixPathBytes long) with every backslash turned into
// a slash. False for a null path or one whose UTF-8 form needs kPosixPathBytes or more.
bool to_posix_path(LPCWSTR path, char (&out)[kPosixPathBytes]);

}  // namespace zul_compat

// Writes the absolute, symlink-free form of an existing path to `out` (MAX_PATH characters).
// Unlike Win32 it consults the file system: a path that does not exist fails, and so does
// one whose resolved form does not fit, leaving `out` untouched.
VESK_EXPORT BOOL PathCanonicalizeW(LPWSTR out, LPCWSTR path);
