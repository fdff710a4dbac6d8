// Text between the server's worlds: UTF-8 (HTTP, files, logs), automation strings (32-bit
// characters) and the script engine's strings (16-bit units, each encoded like UTF-8, so a
// character beyond the first plane is a pair of surrogates); and automation dates.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "host/ccom.h"

namespace veskserve {

std::string Utf8(std::wstring_view text);
std::wstring WideOfUtf8(std::string_view text);  // invalid bytes become U+FFFD
// Automation text as the engine's string encoding, into *out (replaced).
void ScriptText(const wchar_t* text, size_t length, std::string* out);
// The engine's string as a new BSTR; surrogate pairs join into one character.
BSTR WideOfScript(const char* text, size_t length);
// ASCII letters lowered: member names compare this way.
std::wstring Fold(std::wstring_view text);

// Automation dates count days from 1899-12-30, the fraction being the time of day (for dates
// before that day too); script dates count milliseconds from 1970-01-01.
double DateToMilliseconds(DATE date);
DATE MillisecondsToDate(double milliseconds);

}  // namespace veskserve
