// The byte-level codec methods stop at the length they are given and refuse lengths no
// string can have before reading a byte.
#include "support/test_support.h"
#include "utility/utility_ops.h"

namespace {

TEST(ByteMethods, ReadOnlyTheGivenLengthAndRefuseImpossibleOnes) {
    std::string bytes;
    EXPECT_EQ(-2, CUtilityOps::URLDecode(L"ab%41", 3, bytes)) << "the escape's digits lie past the length";
    ASSERT_TRUE(CUtilityOps::Base64Decode(L"YWJjZGVm", 4, bytes));
    EXPECT_EQ("abc", bytes);
    EXPECT_FALSE(CUtilityOps::Base64Decode(nullptr, size_t(0x100000000), bytes));
    CComBSTR text;
    EXPECT_FALSE(CUtilityOps::Base64Encode(nullptr, size_t(kMaxBstrChars), text));
}

}  // namespace
