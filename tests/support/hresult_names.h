// HRESULT assertions that print names: EXPECT_HR(DISP_E_TYPEMISMATCH, call()) fails with
// "Expected: DISP_E_TYPEMISMATCH (0x80020005), actual: S_OK (0x00000000)".
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "host/wintypes.h"

namespace vesk_test {

// "NAME (0x........)" for known codes, the hex alone otherwise.
std::string HrName(HRESULT hr);

::testing::AssertionResult HrEqual(const char* expectedExpr, const char* actualExpr,
                                   HRESULT expected, HRESULT actual);

}  // namespace vesk_test

#define EXPECT_HR(expected, expr) EXPECT_PRED_FORMAT2(::vesk_test::HrEqual, expected, expr)
#define ASSERT_HR(expected, expr) ASSERT_PRED_FORMAT2(::vesk_test::HrEqual, expected, expr)
