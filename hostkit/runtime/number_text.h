// Number <-> text in the forms the automation conversions use: integers plainly, doubles
// with 15 significant digits (7 for floats) and an "E+21"-style exponent, currency with up
// to four decimals, Booleans as "True"/"False", dates as "M/D/YYYY h:mm:ss AM" (a whole date without the time, day 0 as the time alone).
#pragma once

#include <cstdint>
#include <string>

#include "host/runtime.h"

namespace veskhost {

// A number read from text: an exact integer when the text is one that fits, else a double.
struct ParsedNumber {
    enum Kind { Signed, Unsigned, Real } kind = Signed;
    int64_t i = 0;
    uint64_t u = 0;
    double d = 0;
    // A whole number written with more digits than 64 bits hold. Its double is rounded, and
    // may round back into range (one below the signed minimum reads as the minimum), so
    // integer targets must treat it as out of range on this flag, not on the double.
    bool wholeBeyond64 = false;
};

enum class ParseResult { Ok, NotANumber, Overflow };

// Reads an optionally signed decimal number with optional fraction and exponent, with
// spaces allowed before and after; nothing else may follow.
ParseResult ParseNumber(const OLECHAR* text, size_t len, ParsedNumber* out);

// "True" or "False" ignoring case and surrounding spaces; false when the text is neither.
bool ParseBoolWord(const OLECHAR* text, size_t len, bool* value);

std::wstring FormatDouble(double value, int significantDigits);
std::wstring FormatCurrency(int64_t scaled);
// False for NaN, infinities and dates outside 1/1/100 - 12/31/9999 (after rounding to the second).
bool FormatDate(DATE value, std::wstring* text);

// Round half to even, as the automation conversions round to integers.
double RoundHalfEven(double value);

}  // namespace veskhost
