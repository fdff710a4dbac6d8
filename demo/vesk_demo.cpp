// vesk-demo: a host program that loads the module the way a page server does, creates
// "Vesk.Utility" and "Vesk.TextTemplator" by their ProgIDs and calls them late-bound, as a
// page script would.
// It knows the library only by its exported names: no library header is included.

#include <cstdio>
#include <string>
#include <vector>

#include "host/automation.h"
#include "hostkit/runtime/class_registry.h"

namespace {

std::string Utf8(const wchar_t* text) {
    if (text == nullptr) return "";
    std::string out(utf32_utf8(nullptr, 0, text), '\0');
    utf32_utf8(out.data(), out.size(), text);
    out.pop_back();
    return out;
}

CComVariant Str(const wchar_t* text) {
    CComVariant v;
    v.SetString(text);
    return v;
}
CComVariant I4(LONG value) {
    CComVariant v;
    v.SetI4(value);
    return v;
}
CComVariant Bool(bool value) {
    CComVariant v;
    v.SetBool(value);
    return v;
}

// obj.name(args...), late-bound as a script engine calls it.
HRESULT Call(IDispatch* object, const wchar_t* name, std::vector<CComVariant> args, CComVariant* result,
             WORD flags = DISPATCH_METHOD) {
    return automation::InvokeByName(object, name, flags, args, result->Receive());
}

void Show(IDispatch* util, const char* shown, const wchar_t* name, std::vector<CComVariant> args) {
    CComVariant result;
    const HRESULT hr = Call(util, name, std::move(args), &result);
    if (FAILED(hr)) {
        std::printf("%-44s -> failed 0x%08X\n", shown, static_cast<unsigned>(hr));
        return;
    }
    CComVariant text;
    if (FAILED(text.ChangeType(VT_BSTR, &result))) {
        std::printf("%-44s -> (a value of type %u)\n", shown, result.vt);
        return;
    }
    std::printf("%-44s -> %s\n", shown, Utf8(text.bstrVal).c_str());
}

}  // namespace

int main() {
    // The class identifier is one of the module's exported names.
    const void* clsidUtility = nullptr;
    HRESULT hr = veskhost::GetModuleSymbol(VESK_MODULE_PATH, "CLSID_Utility", &clsidUtility);
    if (FAILED(hr)) {
        std::fprintf(stderr, "cannot load %s or find CLSID_Utility: 0x%08X\n", VESK_MODULE_PATH,
                     static_cast<unsigned>(hr));
        return 1;
    }
    hr = veskhost::RegisterModuleClass(VESK_MODULE_PATH, *static_cast<const CLSID*>(clsidUtility), L"Vesk.Utility");
    if (FAILED(hr)) {
        std::fprintf(stderr, "cannot register Vesk.Utility: 0x%08X\n", static_cast<unsigned>(hr));
        return 1;
    }
    std::printf("loaded %s\n", VESK_MODULE_PATH);

    // What a page script's CreateObject("Vesk.Utility") does.
    CLSID clsid;
    CComPtr<IDispatch> util;
    hr = veskhost::CLSIDFromProgID(L"Vesk.Utility", &clsid);
    if (SUCCEEDED(hr)) hr = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER | CLSCTX_LOCAL_SERVER,
                                             IID_IDispatch, util.ReceiveVoid());
    if (FAILED(hr)) {
        std::fprintf(stderr, "cannot create Vesk.Utility: 0x%08X\n", static_cast<unsigned>(hr));
        return 1;
    }
    std::printf("created Vesk.Utility\n\n");

    auto args = [](auto... values) {
        std::vector<CComVariant> list;
        (list.push_back(std::move(values)), ...);
        return list;
    };
    Show(util.Get(), "MD5(\"abc\", 0)", L"MD5", args(Str(L"abc"), I4(0)));
    Show(util.Get(), "SHA1(\"abc\", 0)", L"SHA1", args(Str(L"abc"), I4(0)));
    Show(util.Get(), "Base64Encode(\"Hello, Vesk\", 0)", L"Base64Encode", args(Str(L"Hello, Vesk"), I4(0)));
    Show(util.Get(), "Base64Decode(\"SGVsbG8sIFZlc2s=\", 0)", L"Base64Decode", args(Str(L"SGVsbG8sIFZlc2s="), I4(0)));
    Show(util.Get(), "URLEncode(\"a b&c=\u00e9\", 0)", L"URLEncode", args(Str(L"a b&c=\u00e9"), I4(0)));
    Show(util.Get(), "URLDecode(\"a%20b%26c\", 0)", L"URLDecode", args(Str(L"a%20b%26c"), I4(0)));
    Show(util.Get(), "HTMLEncode(\"<a href=\\\"x\\\">&</a>\")", L"HTMLEncode", args(Str(L"<a href=\"x\">&</a>")));
    Show(util.Get(), "SubmitDecode(\"A&#66;C&#x44;\")", L"SubmitDecode", args(Str(L"A&#66;C&#x44;")));
    Show(util.Get(), "Trim(\"\\t  inner text \\r\\n\")", L"Trim", args(Str(L"\t  inner text \r\n")));
    Show(util.Get(), "FindString(2, \"2\")", L"FindString", args(I4(2), Str(L"2")));
    Show(util.Get(), "MakeKey(16, \"A-Z0-9\")", L"MakeKey", args(I4(16), Str(L"ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789")));
    Show(util.Get(), "MakeGUID(True)", L"MakeGUID", args(Bool(true)));
    Show(util.Get(), "MakeGUID(False)", L"MakeGUID", args(Bool(false)));
    Show(util.Get(), "MD5(\"abc\") without a charset", L"MD5", args(Str(L"abc")));

    // The text templator fills a template from its scripts; a dictionary serves as one, its
    // default member answering each mark's name.
    const void* clsidTemplator = nullptr;
    hr = veskhost::GetModuleSymbol(VESK_MODULE_PATH, "CLSID_TextTemplator", &clsidTemplator);
    if (SUCCEEDED(hr)) {
        hr = veskhost::RegisterModuleClass(VESK_MODULE_PATH, *static_cast<const CLSID*>(clsidTemplator),
                                           L"Vesk.TextTemplator");
    }
    CComPtr<IDispatch> templator;
    CComPtr<IDispatch> values;
    if (SUCCEEDED(hr)) hr = veskhost::CLSIDFromProgID(L"Vesk.TextTemplator", &clsid);
    if (SUCCEEDED(hr)) hr = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch, templator.ReceiveVoid());
    if (SUCCEEDED(hr)) hr = veskhost::CLSIDFromProgID(L"Scripting.Dictionary", &clsid);
    if (SUCCEEDED(hr)) hr = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch, values.ReceiveVoid());
    if (FAILED(hr)) {
        std::fprintf(stderr, "cannot create the text templator: 0x%08X\n", static_cast<unsigned>(hr));
        return 1;
    }
    std::printf("\ncreated Vesk.TextTemplator\n");
    CComVariant ignored;
    Call(values.Get(), L"Add", args(Str(L"Name"), Str(L"World")), &ignored);
    ignored.Reset();
    Call(values.Get(), L"Add", args(Str(L"Unread"), I4(3)), &ignored);
    CComVariant script;
    script.SetDispatch(values.Get());
    ignored.Reset();
    Call(templator.Get(), L"Script", args(std::move(script)), &ignored, DISPATCH_PROPERTYPUTREF);
    const wchar_t* text = L"Hello (#Name#)!(# a comment #) You have (#Unread#) new messages, and the dictionary itself holds (#Count#) items.";
    ignored.Reset();
    hr = Call(templator.Get(), L"ProcessTemplate", args(Str(text)), &ignored);
    CComVariant filled;
    if (SUCCEEDED(hr)) hr = Call(templator.Get(), L"Flush", {}, &filled);
    std::printf("template  %s\n", Utf8(text).c_str());
    if (FAILED(hr) || filled.vt != VT_BSTR) {
        std::printf("filled    failed 0x%08X\n", static_cast<unsigned>(hr));
        return 1;
    }
    std::printf("filled    %s\n", Utf8(filled.bstrVal).c_str());
    return 0;
}
