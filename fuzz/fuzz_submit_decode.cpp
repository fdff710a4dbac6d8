// SubmitDecode (and its neighbours on text: HTMLEncode, Trim) through the utility's own
// methods, on arbitrary wide text with embedded NULs and odd characters.
#include <cstddef>
#include <cstdint>
#include <cwchar>
#include <string>

#include "utility/utility_impl.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // Mostly ASCII so "&#", digits, "x" and ";" meet often; the high bit widens a character.
    std::wstring text;
    for (size_t i = 0; i < size; ++i) {
        const uint8_t b = data[i];
        text.push_back(b & 0x80 ? static_cast<wchar_t>(0x3000 + (b & 0x7F)) : static_cast<wchar_t>(b));
    }
    BSTR bstr = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));

    BSTR decoded = nullptr;
    if (CUtilityOps::SubmitDecode(bstr, &decoded) != S_OK) __builtin_trap();
    // Nothing is ever longer after decoding, and the result holds no NUL.
    const size_t plain = std::wcslen(text.c_str());
    if (SysStringLen(decoded) > plain) __builtin_trap();
    if (std::wcslen(decoded) != SysStringLen(decoded)) __builtin_trap();
    SysFreeString(decoded);

    BSTR encoded = nullptr;
    if (CUtilityOps::HTMLEncode(bstr, &encoded) != S_OK) __builtin_trap();
    if (SysStringLen(encoded) < text.size() || SysStringLen(encoded) > 6 * text.size()) __builtin_trap();
    SysFreeString(encoded);

    BSTR trimmed = nullptr;
    if (CUtilityOps::Trim(bstr, &trimmed) != S_OK) __builtin_trap();
    if (SysStringLen(trimmed) > text.size()) __builtin_trap();
    SysFreeString(trimmed);

    SysFreeString(bstr);
    return 0;
}
