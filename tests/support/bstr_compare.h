// BSTR assertions: EXPECT_BSTR_EQ(L"text", bstr) compares the whole counted string (embedded
// NULs included; a null BSTR equals L"") and prints both sides as UTF-8.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include "host/runtime.h"

namespace vesk_test {

inline std::string Utf8(std::wstring_view text) {
    const std::wstring owned(text);  // NUL-terminated for the converter
    std::string out(utf32_utf8(nullptr, 0, owned.c_str()), '\0');
    utf32_utf8(out.data(), out.size(), owned.c_str());
    out.pop_back();
    return out;
}

inline std::wstring_view View(BSTR b) { return b ? std::wstring_view(b, SysStringLen(b)) : std::wstring_view(); }

inline ::testing::AssertionResult BstrEqual(const char* expectedExpr, const char* actualExpr,
                                            std::wstring_view expected, BSTR actual) {
    if (View(actual) == expected) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure()
           << actualExpr << "\n  Expected: \"" << Utf8(expected) << "\" [" << expectedExpr << "]"
           << "\n    Actual: " << (actual ? "\"" + Utf8(View(actual)) + "\"" : std::string("null BSTR"))
           << " (" << SysStringLen(actual) << " characters)";
}

}  // namespace vesk_test

#define EXPECT_BSTR_EQ(expected, bstr) EXPECT_PRED_FORMAT2(::vesk_test::BstrEqual, expected, bstr)
#define ASSERT_BSTR_EQ(expected, bstr) ASSERT_PRED_FORMAT2(::vesk_test::BstrEqual, expected, bstr)
