// Wide-string comparison, locale mapping and system messages.
#pragma once

#include <cstdarg>
#include <cstddef>

#include "shim/types.h"

constexpr DWORD FORMAT_MESSAGE_ALLOCATE_BUFFER = 0x0100;
constexpr DWORD FORMAT_MESSAGE_IGNORE_INSERTS = 0x0200;
constexpr DWORD FORMAT_MESSAGE_FROM_SYSTEM = 0x1000;

// Compares at most `count` characters ignoring case, with backslash and slash counted equal
// so that paths written either way match. A null string is smaller than any other.
VESK_EXPORT int _wcsnicmp(const wchar_t* first, const wchar_t* second, size_t count);
// Case-sensitive, unlike Win32: the library's callers rely on names matching in exact case.
// A null string is smaller than any other.
VESK_EXPORT int _wcsicmp(const wchar_t* first, const wchar_t* second);

// An identity mapping: locale and flags are ignored and the text comes back unchanged. A
// negative count means the text up to (not including) its NUL, for the size query as for
// the mapping. A destination shorter than the text receives its first part.
VESK_EXPORT int LCMapStringW(LCID locale, DWORD mapFlags, LPCWSTR source, int sourceCount,
                          LPWSTR destination, int destinationSize);

// There are no system message texts: every request yields an empty message and returns 0.
VESK_EXPORT DWORD FormatMessageW(DWORD flags, LPCVOID source, DWORD messageId, DWORD languageId,
                              LPWSTR buffer, DWORD size, va_list* arguments);
