// Win32 names shared by the shim's headers, mapped onto this platform's types.
#pragma once

#include <cstdint>
#include <cstdio>

#include "host/wintypes.h"

using LPCWSTR = const wchar_t*;
using LPWSTR = wchar_t*;
using LPVOID = void*;
using LPCVOID = const void*;
using HMODULE = void*;
using HINSTANCE = void*;
struct SECURITY_ATTRIBUTES;
using LPSECURITY_ATTRIBUTES = SECURITY_ATTRIBUTES*;

// A file handle is the C library stream of the opened file.
using HANDLE = FILE*;
#define INVALID_HANDLE_VALUE (reinterpret_cast<HANDLE>(~static_cast<uintptr_t>(0)))

using errno_t = int;

// The longest path, in wide characters with the NUL, that path functions return.
constexpr DWORD MAX_PATH = 260;
