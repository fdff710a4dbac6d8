#include "controller/vesk_session.h"

#include <cwchar>
#include <new>
#include <random>
#include <string>

#include "frame/error.h"
#include "frame/module.h"
#include "utility/random_engine.h"

namespace {

constexpr wchar_t kSource[] = L"Vesk";
constexpr wchar_t kPrivateName[] = L"IVeskSession";
constexpr DWORD kClassContext = CLSCTX_INPROC_SERVER | CLSCTX_LOCAL_SERVER;

}  // namespace

HRESULT QuerySessionState(REFIID riid, void** ppv, IVeskSession* pSelf, bool bAddRef) {
    if (ppv == nullptr) return E_POINTER;
    bool found = guid_equal(riid, IID_IUnknown);
    if (guid_equal(riid, IID_NULL)) {
        // The slot carries a name in; only ours, or none at all, is answered.
        const auto* name = static_cast<const wchar_t*>(*ppv);
        found = name == nullptr || name[0] == L'\0' || std::wcscmp(name, kPrivateName) == 0;
    }
    if (!found) {
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    if (bAddRef) pSelf->AddRef();
    *ppv = pSelf;
    return S_OK;
}

HRESULT FindSessionState(IUnknown* pStored, IVeskSession** ppSession) {
    if (ppSession == nullptr) return E_POINTER;
    *ppSession = nullptr;
    if (pStored == nullptr) return E_NOINTERFACE;
    void* slot = nullptr;
    const HRESULT hr = pStored->QueryInterface(IID_NULL, &slot);
    if (FAILED(hr)) return hr;
    if (slot == nullptr) return E_NOINTERFACE;
    *ppSession = static_cast<IVeskSession*>(slot);
    return S_OK;
}

// ---- CVeskSession ------------------------------------------------------------------------

CVeskSession::CVeskSession() {
    InterlockedIncrement(&g_nRefCount);
    // Without a Bag the state still carries its command key; Bag users fail on the null Bag.
    if (FAILED(CoCreateInstance(zul_uuidof<Scripting::Dictionary>(), nullptr, kClassContext,
                                zul_uuidof<IZULibDictionary>(), m_spBag.ReceiveVoid()))) {
        m_spBag.Detach();
    }
}

CVeskSession::~CVeskSession() {
    m_bstrCommandKey.Reset();
    m_spBag.Reset();
    // Lowered last: the module stays counted while the Bag's items are being released.
    InterlockedDecrement(&g_nRefCount);
}

HRESULT CVeskSession::Create(CVeskSession** ppSession) {
    if (ppSession == nullptr) return E_POINTER;
    *ppSession = nullptr;
    auto* pSession = new (std::nothrow) CVeskSession();
    if (pSession == nullptr) return E_OUTOFMEMORY;
    const HRESULT hr = pSession->IncrementCommandKey();
    if (FAILED(hr)) {
        pSession->Release();
        return hr;
    }
    *ppSession = pSession;
    return S_OK;
}

ULONG CVeskSession::Release() {
    const uint64_t count = --m_nRefCount;
    if (count == 0) delete this;
    return static_cast<ULONG>(count);
}

HRESULT CVeskSession::get_Bag(IZULibDictionary** ppBag) {
    if (ppBag == nullptr) return E_INVALIDARG;
    return m_spBag.CopyTo(ppBag);
}

HRESULT CVeskSession::GetCommandName(BSTR* pbstrName) {
    if (pbstrName == nullptr) return E_INVALIDARG;
    *pbstrName = nullptr;
    CComBSTR name;
    HRESULT hr = name.Assign(m_bstrCommandKey.c_str());
    if (SUCCEEDED(hr)) hr = name.Append(std::to_wstring(m_nCommandCount).c_str());
    if (FAILED(hr)) return hr;
    *pbstrName = name.Detach();
    return S_OK;
}

HRESULT CVeskSession::IncrementCommand() {
    const HRESULT hr = IncrementCommandKey();
    if (FAILED(hr)) return hr;
    ++m_nCommandCount;
    return S_OK;
}

HRESULT CVeskSession::IncrementCommandKey() {
    // A key from the clock could be foretold by anyone who knows when the page was served;
    // a fresh engine seeded from the system's entropy cannot.
    std::mt19937 engine;
    const HRESULT hr = SeedRandomEngine(engine);
    if (FAILED(hr)) return hr;
    std::uniform_int_distribution<int> letter(0, 25);
    wchar_t key[kKeyLetters];
    for (wchar_t& c : key) c = static_cast<wchar_t>(L'A' + letter(engine));
    return m_bstrCommandKey.Assign(key, kKeyLetters);
}

// ---- CVeskSessionNull --------------------------------------------------------------------

HRESULT CVeskSessionNull::get_Bag(IZULibDictionary**) {
    return RaiseError(E_FAIL, kSource, L"Could not get Bag. Please specify property 'Name'.");
}

HRESULT CVeskSessionNull::GetCommandName(BSTR*) {
    return RaiseError(E_FAIL, kSource, L"Could not get Command Name. Please specify property 'Name'.");
}

HRESULT CVeskSessionNull::IncrementCommand() {
    return RaiseError(E_FAIL, kSource, L"Could not increment Command. Please specify property 'Name'.");
}
