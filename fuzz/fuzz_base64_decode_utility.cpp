// Base64Decode through the utility's own methods, with every result form, and a round trip
// of whatever decodes.
#include <cstddef>
#include <cstdint>
#include <string>

#include "utility/utility_impl.h"

using Utility = GIUtilityImpl<IUtility>;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const long charsets[] = {0, -1, -2, 7};
    const long charset = charsets[data[0] & 3];
    ++data;
    --size;
    std::wstring text(data, data + size);  // bytes as characters: the alphabet is ASCII
    BSTR bstr = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));

    std::string bytes;
    if (Utility::Base64Decode(bstr, text.size(), bytes)) {
        CComBSTR encoded;
        if (!Utility::Base64Encode(reinterpret_cast<const BYTE*>(bytes.data()), bytes.size(), encoded)) __builtin_trap();
        std::string again;
        if (!Utility::Base64Decode(encoded.m_str, encoded.Length(), again) || again != bytes) __builtin_trap();
        if (encoded.Length() % 4 != 0) __builtin_trap();
    }
    VARIANT result;
    VariantInit(&result);
    if (SUCCEEDED(CUtilityOps::Base64Decode(bstr, charset, &result))) {
        if (charset == -2 && result.vt != (VT_ARRAY | VT_UI1)) __builtin_trap();
        if (charset != -2 && result.vt != VT_BSTR) __builtin_trap();
        if (charset == -1 && SysStringByteLen(result.bstrVal) != bytes.size()) __builtin_trap();
    }
    VariantClear(&result);
    SysFreeString(bstr);
    return 0;
}
