// URLDecode through the utility's own methods: any text, any charset form. The byte-level
// decoder must never read past the counted text, and what decodes must encode back to an
// equivalent escape text.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "utility/utility_impl.h"

using Utility = GIUtilityImpl<IUtility>;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const long charsets[] = {0, -1, -2};
    const long charset = charsets[data[0] % 3];
    ++data;
    --size;
    // Each input byte pair is one 16-bit character, so low-byte folding is exercised too.
    std::wstring text;
    for (size_t i = 0; i + 1 < size; i += 2) text.push_back(static_cast<wchar_t>(data[i] | (data[i + 1] << 8)));
    // Exactly the counted characters are allocated: a read past them is a heap overflow.
    BSTR bstr = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
    std::string bytes;
    const int code = Utility::URLDecode(bstr, text.size(), bytes);
    if (code == 0) {
        CComBSTR encoded;
        if (!Utility::URLEncode(reinterpret_cast<const BYTE*>(bytes.data()), bytes.size(), encoded)) __builtin_trap();
        std::string again;
        if (Utility::URLDecode(encoded.m_str, encoded.Length(), again) != 0 || again != bytes) __builtin_trap();
    } else if (code < -3 || code > 0) {
        __builtin_trap();
    }
    VARIANT result;
    VariantInit(&result);
    const HRESULT hr = CUtilityOps::URLDecode(bstr, charset, &result);
    if ((hr == S_OK) != (code == 0)) __builtin_trap();
    VariantClear(&result);
    SysFreeString(bstr);
    return 0;
}
