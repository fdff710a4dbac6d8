#include "shim/safecrt.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <cwchar>

namespace {

constexpr unsigned char kAsciiMask = 0x7F;

}  // namespace

int swprintf_s(wchar_t* buffer, size_t size, const wchar_t* format, ...) {
    if (buffer == nullptr || size == 0) return 1;
    if (format == nullptr) {
        buffer[0] = L'\0';
        return 1;
    }
    va_list values;
    va_start(values, format);
    const int written = std::vswprintf(buffer, size, format, values);
    va_end(values);
    if (written < 0) {
        buffer[0] = L'\0';
        return 1;
    }
    return 0;
}

int sscanf_s(const char* text, const char* format, ...) {
    if (text == nullptr || format == nullptr) return EOF;
    va_list values;
    va_start(values, format);
    const int assigned = std::vsscanf(text, format, values);
    va_end(values);
    return assigned;
}

errno_t memcpy_s(void* destination, size_t destinationSize, const void* source, size_t count) {
    if (count == 0) return 0;
    if (destination == nullptr) return EINVAL;
    if (source == nullptr || count > destinationSize) {
        std::memset(destination, 0, destinationSize);
        return source == nullptr ? EINVAL : ERANGE;
    }
    std::memcpy(destination, source, count);
    return 0;
}

errno_t wcstombs_s(size_t* outLength, char* destination, const wchar_t* source, size_t count) {
    if (destination == nullptr || source == nullptr || count == 0) return 1;
    size_t copied = 0;
    while (copied < count - 1 && source[copied] != L'\0') {
        destination[copied] = static_cast<char>(static_cast<uint32_t>(source[copied]) & kAsciiMask);
        ++copied;
    }
    destination[copied] = '\0';
    if (outLength) *outLength = copied + 1;
    return 0;
}
