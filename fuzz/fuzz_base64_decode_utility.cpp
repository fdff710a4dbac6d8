// Base64Decode through the utility's own methods, with every result form, and a round trip
// of whatever decodes; the decoded bytes, laid out as a byte array of any shape, must give
// every byte member exactly what they give in one dimension.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <cwchar>
#include <string>

#include "utility/utility_impl.h"

using Utility = GIUtilityImpl<IUtility>;

namespace {

using ByteMember = HRESULT (*)(VARIANT*, long, BSTR*);
constexpr ByteMember kByteMembers[] = {CUtilityOps::Base64Encode, CUtilityOps::URLEncode, CUtilityOps::MD5,
                                       CUtilityOps::SHA1};

// A byte array of the bytes laid out in one to three dimensions chosen by `shape`; the last
// dimension takes what the others leave, so its elements are a prefix of the bytes.
CComVariant shaped_array(const std::string& bytes, unsigned shape, size_t* used) {
    const UINT dims = 1 + shape % 3;
    SAFEARRAYBOUND bounds[3] = {{1 + (shape / 3) % 4, LONG(shape) - 8}, {1 + (shape / 12) % 3, 0}, {0, -1}};
    size_t others = 1;
    for (UINT d = 0; d + 1 < dims; ++d) others *= bounds[d].cElements;
    bounds[dims - 1].cElements = ULONG(bytes.size() / others);
    *used = others * bounds[dims - 1].cElements;
    CComVariant v;
    v.vt = VT_ARRAY | VT_UI1;
    v.parray = SafeArrayCreate(VT_UI1, dims, bounds);
    if (v.parray == nullptr) __builtin_trap();
    if (*used) std::memcpy(v.parray->pvData, bytes.data(), *used);
    return v;
}

// Every byte member sees all of an array's elements: the shaped array gives what the same
// bytes in one dimension give.
void check_shapes(const std::string& bytes, unsigned shape) {
    size_t used = 0;
    CComVariant shaped = shaped_array(bytes, shape, &used);
    CComVariant flat;
    flat.vt = VT_ARRAY | VT_UI1;
    flat.parray = SafeArrayCreateVector(VT_UI1, 0, ULONG(used));
    if (used) std::memcpy(flat.parray->pvData, bytes.data(), used);
    for (ByteMember member : kByteMembers) {
        CComBSTR fromShaped, fromFlat;
        const HRESULT hr = member(&shaped, 0, fromShaped.Receive());
        if (hr != S_OK || member(&flat, 0, fromFlat.Receive()) != S_OK) __builtin_trap();
        if (fromShaped.Length() != fromFlat.Length() ||
            std::wmemcmp(fromShaped.m_str, fromFlat.m_str, fromFlat.Length()) != 0) {
            __builtin_trap();
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const long charsets[] = {0, -1, -2, 7};
    const long charset = charsets[data[0] & 3];
    const unsigned shape = data[0] >> 2;
    ++data;
    --size;
    std::wstring text(data, data + size);  // bytes as characters: the alphabet is ASCII
    BSTR bstr = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));

    std::string bytes;
    if (Utility::Base64Decode(bstr, text.size(), bytes)) {
        check_shapes(bytes, shape);
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
