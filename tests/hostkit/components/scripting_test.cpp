// Both components driven by name through IDispatch, as a page script drives them: arguments
// in script order, the dictionary's Item as its default member, its insertion order and compare
// modes, the published failures through EXCEPINFO.
#include <string>
#include <utility>
#include <vector>

#include "component_helpers.h"
#include "hostkit/components/components.h"

namespace vesk_test {
namespace {

constexpr HRESULT kKeyExists = hresult_of(0x800A01C9);
constexpr HRESULT kNotFound = hresult_of(0x800A802B);
constexpr HRESULT kInvalidCall = hresult_of(0x800A0005);
constexpr HRESULT kArgument = hresult_of(0x800A0BB9);

// A result as text: numbers in decimal, booleans as true/false, the elements of an array (lower
// bound 0) or what an enumerator yields joined by spaces, "?" for anything else.
std::wstring Text(const VARIANT& v) {
    if (v.vt == VT_EMPTY || v.vt == VT_BSTR) return std::wstring(v.vt == VT_BSTR ? View(v.bstrVal) : L"");
    if (v.vt == VT_I4) return std::to_wstring(v.lVal);
    if (v.vt == VT_BOOL) return v.boolVal ? L"true" : L"false";
    std::wstring all;
    CComPtr<veskhost::IEnumVARIANT> walk;
    const SAFEARRAY* array = v.vt == (VT_ARRAY | VT_VARIANT) ? v.parray : nullptr;
    if (array && array->rgsabound[0].lLbound == 0) {
        for (ULONG i = 0; i < array->rgsabound[0].cElements; ++i) all += L" " + Text(static_cast<VARIANT*>(array->pvData)[i]);
    } else if (v.vt == VT_UNKNOWN && v.punkVal->QueryInterface(veskhost::IID_IEnumVARIANT, walk.ReceiveVoid()) == S_OK) {
        for (CComVariant item; walk->Next(1, &item, nullptr) == S_OK; item.Reset()) all += L" " + Text(item);
    } else {
        return L"?";
    }
    return all.empty() ? all : all.substr(1);
}

TEST(Scripting, BothComponentsAnswerByName) {
    auto dictionary = CreateComponent<IDispatch>(CLSID_Dictionary, IID_IDispatch);
    auto textDictionary = CreateComponent<IDispatch>(CLSID_Dictionary, IID_IDispatch);
    auto stream = CreateComponent<IDispatch>(CLSID_Stream, IID_IDispatch);
    IDispatch *const d = dictionary.Get(), *const t = textDictionary.Get(), *const s = stream.Get();
    constexpr WORD kCall = DISPATCH_METHOD, kGet = DISPATCH_PROPERTYGET, kPut = DISPATCH_PROPERTYPUT;
    // The rows run in order on a dictionary, a dictionary comparing text and a stream. A success
    // gives its result as text; a failure its code and a description that holds the text.
    const struct { IDispatch* object; const wchar_t* member; WORD flags;
                   std::vector<std::wstring> args; HRESULT hr; const wchar_t* text; } cases[] = {
        {d, L"add", kCall, {L"x", L"10"}, S_OK, L""},
        {d, L"Item", kPut, {L"y", L"20"}, S_OK, L""},
        {d, L"Add", kCall, {L"z", L"z!"}, S_OK, L""},
        {d, nullptr, kGet | kCall, {L"y"}, S_OK, L"20"},  // Item, the default member
        {d, L"Exists", kCall, {L"x"}, S_OK, L"true"},
        {d, L"Exists", kCall, {L"X"}, S_OK, L"false"},  // binary comparison by default
        {d, L"COUNT", kGet, {}, S_OK, L"3"},
        {d, L"Remove", kCall, {L"x"}, S_OK, L""},
        {d, L"Item", kPut, {L"x", L"5"}, S_OK, L""},  // back, at the end
        {d, L"Key", kPut, {L"y", L"w"}, S_OK, L""},   // renamed in its place
        {d, L"Keys", kGet, {}, S_OK, L"w z x"},
        {d, L"Items", kGet, {}, S_OK, L"20 z! 5"},
        {d, L"_NewEnum", kCall, {}, S_OK, L"w z x"},
        {d, L"Item", kGet, {L"new"}, S_OK, L""},  // reading a missing key adds it, empty
        {d, L"Count", kGet, {}, S_OK, L"4"},
        {d, L"Add", kCall, {L"x", L"0"}, kKeyExists, L"This key is already associated with an element of this collection"},
        {d, L"Remove", kCall, {L"none"}, kNotFound, L"Element not found"},
        {d, L"Key", kPut, {L"none", L"v"}, kNotFound, L"Element not found"},
        {d, L"Key", kPut, {L"x", L"w"}, kKeyExists, L"This key is already associated"},
        {d, L"CompareMode", kPut, {L"1"}, kInvalidCall, L"Invalid procedure call or argument"},  // only while empty
        {d, L"RemoveAll", kCall, {}, S_OK, L""},
        {d, L"Count", kGet, {}, S_OK, L"0"},
        {t, L"CompareMode", kPut, {L"1"}, S_OK, L""},
        {t, L"Add", kCall, {L"Straße ÄÖ", L"1"}, S_OK, L""},
        {t, L"Exists", kCall, {L"STRAßE äö"}, S_OK, L"true"},
        {t, L"Add", kCall, {L"straße äö", L"2"}, kKeyExists, L"already associated"},
        {t, L"Keys", kGet, {}, S_OK, L"Straße ÄÖ"},  // the first spelling is kept
        {s, L"Charset", kPut, {L"shift_jis"}, S_OK, L""},
        {s, L"Open", kCall, {}, S_OK, L""},
        {s, L"Charset", kPut, {L"klingon"}, kArgument, L"klingon"},
        {s, L"WriteText", kCall, {L"日本", L"1"}, S_OK, L""},
        {s, L"Size", kGet, {}, S_OK, L"6"},
        {s, L"Position", kPut, {L"0"}, S_OK, L""},
        {s, L"ReadText", kCall | kGet, {}, S_OK, L"日本\r\n"},
        {s, L"LoadFromFile", kCall, {}, DISP_E_BADPARAMCOUNT, L""},
        {s, L"Size", kPut, {L"1"}, DISP_E_MEMBERNOTFOUND, L""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE("row " + std::to_string(&c - cases) + ", " + Utf8(c.member ? c.member : L"(default member)"));
        std::vector<CComVariant> args;
        for (const auto& arg : c.args) args.push_back(Arg(arg));
        CComVariant result;
        EXCEPINFO excep{};
        HRESULT hr = CallByName(c.object, c.member, c.flags, std::move(args), result.Receive(), &excep);
        CComBSTR source, description;  // owned from here on
        source.Attach(excep.bstrSource);
        description.Attach(excep.bstrDescription);
        if (hr == DISP_E_EXCEPTION) hr = excep.scode;
        EXPECT_HR(c.hr, hr);
        if (SUCCEEDED(hr)) {
            EXPECT_EQ(c.text, Text(result));
        } else {
            EXPECT_NE(std::wstring::npos, View(description).find(c.text)) << Utf8(View(description));
        }
    }
}

}  // namespace
}  // namespace vesk_test
