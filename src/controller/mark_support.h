// Small pieces the mark handlers and the built-in drawing events share: mark parameters as
// strings, keys and arrays, and the messages that name an item.
#pragma once

#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "frame/error.h"
#include "host/host.h"

namespace vesk_marks {

constexpr wchar_t kSource[] = L"Vesk";

// The whole text of a mark's name or parameter, read in place (no copy is made).
inline std::wstring_view StreamText(const std::wstringstream& stream) { return stream.view(); }

// The whole text of a mark's name or parameter as a string of its own.
inline HRESULT TextOfStream(const std::wstringstream& stream, CComBSTR& text) {
    const std::wstring_view whole = StreamText(stream);
    return text.Assign(whole.data(), static_cast<UINT>(whole.size()));
}

// A key (or any text) as a VT_BSTR VARIANT.
inline HRESULT StringVariant(std::wstring_view text, CComVariant& value) {
    BSTR bstr = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
    if (bstr == nullptr) return E_OUTOFMEMORY;
    value.SetBSTR(bstr);
    return S_OK;
}

inline HRESULT StreamVariant(const std::wstringstream& stream, CComVariant& value) {
    return StringVariant(StreamText(stream), value);
}

// The mark's parameters as a one-dimensional array of VT_BSTR VARIANTs with lower bound 0,
// held in a VT_ARRAY | VT_VARIANT value (no elements for a mark without parameters).
inline HRESULT ParamArray(const std::vector<std::wstringstream*>& params, CComVariant& array) {
    CComSafeArray psa;
    psa.Attach(SafeArrayCreateVector(VT_VARIANT, 0, static_cast<ULONG>(params.size())));
    if (!psa) return E_OUTOFMEMORY;
    for (LONG i = 0; i < static_cast<LONG>(params.size()); ++i) {
        CComVariant element;
        HRESULT hr = StreamVariant(*params[static_cast<size_t>(i)], element);
        if (SUCCEEDED(hr)) hr = SafeArrayPutElement(psa.Get(), &i, &element);
        if (FAILED(hr)) return hr;
    }
    CComVariant made;
    made.vt = VT_ARRAY | VT_VARIANT;
    made.parray = psa.Detach();
    array = std::move(made);
    return S_OK;
}

// "text.[item]": the item in square brackets right after the text.
inline HRESULT RaiseNamed(const wchar_t* text, std::wstring_view item) {
    std::wstring description = text;
    description += L'[';
    description += item;
    description += L']';
    return RaiseError(E_FAIL, kSource, description.c_str());
}

}  // namespace vesk_marks
