// SubmitDecode (and its neighbours on text: HTMLEncode, Trim) through the utility's own
// methods, on arbitrary wide text with embedded NULs and odd characters. Every character a
// reference decodes to is a Unicode scalar value, and numbers never wrap into markup.
#include <cstddef>
#include <cstdint>
#include <cwchar>
#include <string>
#include <string_view>

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
    // The input holds only scalar values, so every character out is one too, whatever a
    // reference's digits say: a reference never yields a surrogate or a value past U+10FFFF.
    for (UINT i = 0; i < SysStringLen(decoded); ++i) {
        const auto ch = static_cast<uint32_t>(decoded[i]);
        if (ch > 0x10FFFF || (ch >= 0xD800 && ch <= 0xDFFF)) __builtin_trap();
    }
    // A "<" comes out only from a "<" or from digits that read as 60 (decimal "60" or
    // hexadecimal "3c" somewhere in the text): no other number may wrap round into one.
    const std::wstring_view in(text.c_str(), plain);
    const bool mayMakeLess = in.find(L'<') != in.npos || in.find(L"60") != in.npos || in.find(L"3c") != in.npos ||
                             in.find(L"3C") != in.npos;
    if (!mayMakeLess && std::wcschr(decoded ? decoded : L"", L'<') != nullptr) __builtin_trap();
    SysFreeString(decoded);

    BSTR encoded = nullptr;
    if (CUtilityOps::HTMLEncode(bstr, &encoded) != S_OK) __builtin_trap();
    if (SysStringLen(encoded) < text.size() || SysStringLen(encoded) > 6 * text.size()) __builtin_trap();
    // The encoder works on blocks where it can; it must give what one character at a time gives.
    std::wstring expected;
    for (wchar_t c : text) {
        switch (c) {
            case L'<': expected += L"&lt;"; break;
            case L'>': expected += L"&gt;"; break;
            case L'&': expected += L"&amp;"; break;
            case L'"': expected += L"&quot;"; break;
            default: expected += c;
        }
    }
    if (std::wstring_view(encoded, SysStringLen(encoded)) != expected) __builtin_trap();
    // The count made before allocating is the length built, and one less is refused.
    size_t counted = 0;
    if (!CUtilityOps::HTMLEncodedLength(bstr, text.size(), kMaxBstrChars, counted)) __builtin_trap();
    if (counted != SysStringLen(encoded)) __builtin_trap();
    if (counted > 0 && CUtilityOps::HTMLEncodedLength(bstr, text.size(), counted - 1, counted)) __builtin_trap();
    SysFreeString(encoded);

    BSTR trimmed = nullptr;
    if (CUtilityOps::Trim(bstr, &trimmed) != S_OK) __builtin_trap();
    if (SysStringLen(trimmed) > text.size()) __builtin_trap();
    SysFreeString(trimmed);

    SysFreeString(bstr);
    return 0;
}
