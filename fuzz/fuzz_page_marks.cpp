// Template text with the page controller's marks, drawn inside a page the host runs: every
// mark type, the input and message drawing events, child templates that include themselves,
// values in every store, and a script whose drawing function draws the text again from
// inside one of its own marks. Each input is drawn before the process (no View, no Include)
// and during it (from "On_StartDraw"). Whatever the text, the page must end with every
// object given back: no crash, no hang, no leak.
//
// Input: four option bits (CacheTemplate, NullIsEmpty, SelfEncode, Backable), then the
// template text, one character per byte.
#include <fuzzer/FuzzedDataProvider.h>
#include <stdlib.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>

#include "controller/vesk_impl.h"
#include "frame/module.h"
#include "host/automation.h"
#include "host/host.h"
#include "hostkit/pages/page_host.h"

namespace {

namespace fs = std::filesystem;

// Draws of the text from inside its own marks, per input.
constexpr int kMaxRedraws = 4;

// The template folder: a child that includes itself, two that include each other, one that
// includes through the Include dictionary, and one that draws messages and fields.
struct Folder {
    Folder() {
        std::string pattern = (fs::temp_directory_path() / "vesk-fuzz-marks-XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr) std::abort();
        path = pattern;
        Write("self.html", "s(#`self#)");
        Write("ping.html", "(#`pong#)");
        Write("pong.html", "(#@ping#)");
        Write("child.html", "(#%_Message|<(#%_Message_Text|a#|#b#)>#)(#%_Input|v#|#(#/_Input_Value#)#)");
        text = path.wstring();
    }
    ~Folder() {
        std::error_code ignored;
        fs::remove_all(path, ignored);
    }
    void Write(const char* name, const char* content) const { std::ofstream(path / name, std::ios::binary) << content; }

    fs::path path;
    std::wstring text;
};

Folder& TheFolder() {
    static Folder folder;
    return folder;
}

HRESULT CallOwner(IDispatch* owner, const wchar_t* name, std::initializer_list<const wchar_t*> texts) {
    CComVariant args[2];
    size_t n = 0;
    for (const wchar_t* text : texts) {
        if (n < 2) args[n++].SetString(text);
    }
    return automation::InvokeByName(owner, name, DISPATCH_METHOD, std::span<CComVariant>(args, n));
}

// The page script. "Title" is a property, "Items" a property holding an array, "F" a
// function; "On_StartProcess" fills the stores, "On_StartDraw" and "OnDraw_Again" draw the
// input's text.
class CPageScript final : public automation::GCountedObject<automation::GNoTypeInfo<IDispatch>> {
public:
    enum : DISPID { kTitle = 1, kItems, kF, kStart, kDraw, kAgain };

    explicit CPageScript(const std::wstring& text) : m_text(text) {}

    HRESULT GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID, DISPID* ids) override {
        if (names == nullptr || ids == nullptr || count != 1) return E_INVALIDARG;
        constexpr std::pair<const wchar_t*, DISPID> kNames[] = {{L"Title", kTitle}, {L"Items", kItems}, {L"F", kF},
                                                               {L"On_StartProcess", kStart}, {L"On_StartDraw", kDraw},
                                                               {L"OnDraw_Again", kAgain}};
        const std::wstring_view name = names[0] ? names[0] : L"";
        for (const auto& [known, id] : kNames) {
            if (name == known) return ids[0] = id, S_OK;
        }
        ids[0] = DISPID_UNKNOWN;
        return DISP_E_UNKNOWNNAME;
    }

    HRESULT Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* params, VARIANT* result, EXCEPINFO*,
                   UINT*) override {
        const UINT argc = params ? params->cArgs : 0;
        IDispatch* owner = nullptr;
        if (argc > 0 && params->rgvarg[argc - 1].vt == VT_DISPATCH) owner = params->rgvarg[argc - 1].pdispVal;
        CComVariant value;
        HRESULT hr = S_OK;
        switch (id) {
        case kTitle: hr = value.SetString(L"t<\"&"); break;
        case kItems: {
            SAFEARRAY* psa = SafeArrayCreateVector(VT_VARIANT, 0, 2);
            if (psa == nullptr) return E_OUTOFMEMORY;
            for (LONG i = 0; i < 2; ++i) {
                CComVariant element;
                element.SetI4(i + 1);
                SafeArrayPutElement(psa, &i, &element);
            }
            value.vt = VT_ARRAY | VT_VARIANT;
            value.parray = psa;
            break;
        }
        case kF:
            // A function, as script engines answer a property read of one.
            if (!(flags & DISPATCH_METHOD) || argc == 0) return DISP_E_MEMBERNOTFOUND;
            hr = value.SetString(L"(#;Title#)");
            break;
        case kStart:
            if (owner == nullptr) return E_INVALIDARG;
            hr = Fill(owner);
            break;
        case kDraw:
        case kAgain:
            if (owner == nullptr) return E_INVALIDARG;
            if (m_nRedraws++ < kMaxRedraws) CallOwner(owner, L"ProcessTemplate", {m_text.c_str()});
            break;
        default: return DISP_E_MEMBERNOTFOUND;
        }
        if (SUCCEEDED(hr) && result) value.Detach(result);
        return hr;
    }

private:
    static HRESULT Fill(IDispatch* owner) {
        constexpr const wchar_t* kView[][2] = {{L"v", L"x<y"}, {L"_Input_Value", L"own"}, {L"n", L"3"}};
        HRESULT hr = S_OK;
        for (const auto& pair : kView) {
            if (SUCCEEDED(hr)) hr = CallOwner(owner, L"SetView", {pair[0], pair[1]});
        }
        if (SUCCEEDED(hr)) hr = CallOwner(owner, L"AddMessage", {L"m(#;Title#)", L""});
        if (SUCCEEDED(hr)) hr = CallOwner(owner, L"AddMessage", {L"2", L"k"});
        // Include and Bag entries through their dictionaries.
        for (const auto& [store, key, item] : {std::tuple{L"Include", L"ping", L"ping"}, {L"Include", L"child", L"child"},
                                               {L"Bag", L"v", L"red"}}) {
            if (FAILED(hr)) break;
            CComVariant dictionary;
            hr = automation::InvokeByName(owner, store, DISPATCH_PROPERTYGET, {}, &dictionary);
            if (FAILED(hr) || dictionary.vt != VT_DISPATCH || dictionary.pdispVal == nullptr) break;
            CComVariant args[2];
            args[0].SetString(key);
            args[1].SetString(item);
            hr = automation::InvokeByName(dictionary.pdispVal, L"Item", DISPATCH_PROPERTYPUT, args);
        }
        return hr;
    }

    const std::wstring& m_text;
    int m_nRedraws = 0;
};

HRESULT DrawPage(const std::wstring& text, uint8_t options) {
    CPageScript script(text);
    CComPtr<IVesk> vesk;
    HRESULT hr = g_oCF_Vesk.CreateInstance(nullptr, IID_IVesk, vesk.ReceiveVoid());
    if (FAILED(hr)) return hr;
    CComBSTR folder(TheFolder().text.c_str()), ext(L".html"), name(L"fuzz"), command(L"c");
    vesk->put_TemplateFolder(folder);
    vesk->put_TemplateExt(ext);
    vesk->put_Name(name);
    vesk->put_CacheTemplate((options & 1) ? VARIANT_TRUE : VARIANT_FALSE);
    vesk->put_NullIsEmpty((options & 2) ? VARIANT_TRUE : VARIANT_FALSE);
    vesk->put_SelfEncode((options & 4) ? VARIANT_TRUE : VARIANT_FALSE);
    vesk->put_Backable((options & 8) ? VARIANT_FALSE : VARIANT_TRUE);
    vesk->AddScript(&script);
    // Outside the process first: no View, no Include, no session state yet.
    CComBSTR bstrText(text.data(), static_cast<UINT>(text.size()));
    vesk->ProcessTemplate(bstrText);
    vesk->Process();
    vesk.Reset();
    if (script.RefCount() != 1) std::abort();  // the controller gave the script back
    return S_OK;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider input(data, size);
    const uint8_t options = input.ConsumeIntegral<uint8_t>();
    const std::string bytes = input.ConsumeRemainingBytesAsString();
    const std::wstring text(bytes.begin(), bytes.end());

    static veskhost::PageHostConfig config;
    static veskhost::PageApplication application;
    static veskhost::SessionStore sessions(config);
    const veskhost::PageResponse page =
        veskhost::RunPage(config, application, veskhost::PageRequest::Get("/p.asp?k=1&k=2&c=x").Header("Cookie", "k=c"),
                          [&](const veskhost::PageObjects&) { return DrawPage(text, options); }, {&sessions, {}});
    if (page.heldReferences != 0) std::abort();
    sessions.SweepExpired();
    return 0;
}
