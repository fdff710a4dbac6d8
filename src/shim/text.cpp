#include "shim/text.h"

#include <climits>
#include <cwchar>
#include <cwctype>

namespace {

constexpr wchar_t kBackslash = L'\\';
constexpr wchar_t kSlash = L'/';

bool are_separators(wchar_t a, wchar_t b) {
    return (a == kBackslash && b == kSlash) || (a == kSlash && b == kBackslash);
}

// Signed comparison of 32-bit code units, as -1 or 1 (the caller knows they differ).
int order_of(int32_t a, int32_t b) { return a < b ? -1 : 1; }

}  // namespace

int _wcsnicmp(const wchar_t* first, const wchar_t* second, size_t count) {
    if (first == nullptr || second == nullptr) {
        if (first == second) return 0;
        return first == nullptr ? -1 : 1;
    }
    for (size_t i = 0; i < count; ++i) {
        const wchar_t a = first[i];
        const wchar_t b = second[i];
        if (a == L'\0' || b == L'\0') return a == b ? 0 : order_of(a, b);
        if (are_separators(a, b)) continue;
        const auto lowerA = static_cast<int32_t>(std::towlower(static_cast<wint_t>(a)));
        const auto lowerB = static_cast<int32_t>(std::towlower(static_cast<wint_t>(b)));
        if (lowerA != lowerB) return order_of(lowerA, lowerB);
    }
    return 0;
}

int _wcsicmp(const wchar_t* first, const wchar_t* second) {
    if (first == nullptr || second == nullptr) {
        if (first == second) return 0;
        return first == nullptr ? -1 : 1;
    }
    return std::wcscmp(first, second);
}

int LCMapStringW(LCID, DWORD, LPCWSTR source, int sourceCount, LPWSTR destination,
                 int destinationSize) {
    if (source == nullptr) return 0;
    const size_t count = sourceCount < 0 ? std::wcslen(source) : static_cast<size_t>(sourceCount);
    if (count > static_cast<size_t>(INT_MAX)) return 0;  // no count to report it with
    if (destination == nullptr || destinationSize < 1) return static_cast<int>(count);
    const size_t room = static_cast<size_t>(destinationSize);
    const size_t copied = count < room ? count : room;
    std::wmemmove(destination, source, copied);
    if (copied < room) destination[copied] = L'\0';
    return static_cast<int>(copied);
}

DWORD FormatMessageW(DWORD flags, LPCVOID, DWORD, DWORD, LPWSTR buffer, DWORD size, va_list*) {
    if (buffer == nullptr) return 0;
    if (flags & FORMAT_MESSAGE_ALLOCATE_BUFFER) {
        // The buffer argument then points at the caller's string pointer; nothing is
        // allocated, so the caller gets a null string and has nothing to free.
        *reinterpret_cast<LPWSTR*>(buffer) = nullptr;
        return 0;
    }
    if (size >= 1) buffer[0] = L'\0';
    return 0;
}
