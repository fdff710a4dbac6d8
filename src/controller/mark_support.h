// Small pieces the mark handlers and the built-in drawing events share: mark texts read in
// place, keys as values, and the messages that name an item. (Mark texts as strings and the
// parameter array come from the engine: MarkText, CTemplatorConcept::MakeParamArray.)
#pragma once

#include "template/mark_data.h"
#include <string>
#include <string_view>
#include <vector>

#include "frame/error.h"
#include "host/host.h"

namespace vesk_marks {

constexpr wchar_t kSource[] = L"Vesk";

// The whole text of a mark's name or parameter, read in place (no copy is made).
inline std::wstring_view StreamText(const CMarkText& stream) { return stream.str(); }

// A key (or any text) as a VT_BSTR VARIANT.
inline HRESULT StringVariant(std::wstring_view text, CComVariant& value) {
    BSTR bstr = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
    if (bstr == nullptr) return E_OUTOFMEMORY;
    value.SetBSTR(bstr);
    return S_OK;
}

inline HRESULT StreamVariant(const CMarkText& stream, CComVariant& value) {
    return StringVariant(StreamText(stream), value);
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
