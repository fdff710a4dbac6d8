// HRESULT assertions that print names: EXPECT_HR(DISP_E_TYPEMISMATCH, call()) fails with
// "Expected: DISP_E_TYPEMISMATCH (0x80020005), actual: S_OK (0x00000000)".
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "host/wintypes.h"

namespace vesk_test {

#define VESK_CODE(c) std::pair<HRESULT, const char*>(c, #c)
inline const std::pair<HRESULT, const char*> kHrNames[] = {
    VESK_CODE(S_OK), VESK_CODE(S_FALSE), VESK_CODE(E_NOTIMPL), VESK_CODE(E_NOINTERFACE), VESK_CODE(E_POINTER),
    VESK_CODE(E_ABORT), VESK_CODE(E_FAIL), VESK_CODE(E_UNEXPECTED), VESK_CODE(E_ACCESSDENIED),
    VESK_CODE(E_OUTOFMEMORY), VESK_CODE(E_INVALIDARG), VESK_CODE(CLASS_E_NOAGGREGATION),
    VESK_CODE(CLASS_E_CLASSNOTAVAILABLE), VESK_CODE(REGDB_E_CLASSNOTREG), VESK_CODE(CONTEXT_E_NOCONTEXT),
    VESK_CODE(DISP_E_UNKNOWNINTERFACE), VESK_CODE(DISP_E_MEMBERNOTFOUND), VESK_CODE(DISP_E_PARAMNOTFOUND),
    VESK_CODE(DISP_E_TYPEMISMATCH), VESK_CODE(DISP_E_UNKNOWNNAME), VESK_CODE(DISP_E_NONAMEDARGS),
    VESK_CODE(DISP_E_BADVARTYPE), VESK_CODE(DISP_E_EXCEPTION), VESK_CODE(DISP_E_OVERFLOW),
    VESK_CODE(DISP_E_BADINDEX), VESK_CODE(DISP_E_ARRAYISLOCKED), VESK_CODE(DISP_E_BADPARAMCOUNT),
    VESK_CODE(DISP_E_PARAMNOTOPTIONAL), VESK_CODE(DISP_E_DIVBYZERO), VESK_CODE(TYPE_E_ELEMENTNOTFOUND),
    VESK_CODE(TYPE_E_CANTLOADLIBRARY), VESK_CODE(STG_E_INVALIDFUNCTION), VESK_CODE(STG_E_FILENOTFOUND),
    VESK_CODE(STG_E_ACCESSDENIED), VESK_CODE(STG_E_WRITEFAULT), VESK_CODE(STG_E_READFAULT),
};
#undef VESK_CODE

// "NAME (0x........)" for known codes, the hex alone otherwise.
inline std::string HrName(HRESULT hr) {
    char hex[16];
    std::snprintf(hex, sizeof hex, "0x%08X", static_cast<unsigned>(hr));
    for (const auto& [code, name] : kHrNames) {
        if (code == hr) return std::string(name) + " (" + hex + ")";
    }
    // VARCMP results and other small success codes read better as numbers.
    if (hr >= 0 && hr < 16) return std::to_string(hr) + " (" + hex + ")";
    return hex;
}

inline ::testing::AssertionResult HrEqual(const char* expectedExpr, const char* actualExpr,
                                          HRESULT expected, HRESULT actual) {
    if (expected == actual) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure()
           << actualExpr << "\n  Expected: " << HrName(expected) << " [" << expectedExpr << "]"
           << "\n    Actual: " << HrName(actual);
}

}  // namespace vesk_test

#define EXPECT_HR(expected, expr) EXPECT_PRED_FORMAT2(::vesk_test::HrEqual, expected, expr)
#define ASSERT_HR(expected, expr) ASSERT_PRED_FORMAT2(::vesk_test::HrEqual, expected, expr)
