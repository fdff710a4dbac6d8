// The bounded string and memory functions of the secure C runtime, on the C library.
#pragma once

#include <cstddef>

#include "shim/types.h"

// Formats into at most `size` wide characters, NUL included. Returns 0 on success and 1
// when formatting fails or does not fit (then the buffer holds an empty string), not a
// character count.
VESK_EXPORT int swprintf_s(wchar_t* buffer, size_t size, const wchar_t* format, ...);
// Plain sscanf: no buffer sizes follow string conversions. -1 (EOF) for a null argument.
VESK_EXPORT int sscanf_s(const char* text, const char* format, ...) __attribute__((format(scanf, 2, 3)));
// Returns ERANGE, with the destination zeroed, when `count` exceeds `destinationSize`, and
// EINVAL for a null pointer with a nonzero count; 0 after copying.
VESK_EXPORT errno_t memcpy_s(void* destination, size_t destinationSize, const void* source, size_t count);
// Four-argument form: `count` is the destination's size in bytes, NUL included. Characters
// are not converted but folded to their low 7 bits. Returns 1, writing nothing, for a null
// pointer or a zero count; otherwise 0 with the bytes written (NUL included) in *outLength.
VESK_EXPORT errno_t wcstombs_s(size_t* outLength, char* destination, const wchar_t* source, size_t count);
