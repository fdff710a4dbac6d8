// Module entry: the global objects in their construction order, the exported entry points
// and registration.
#include "frame/module.h"

#include <cwchar>

#include "frame/type_infos.h"
#include "template/template_cache.h"
#include "templators/text_templator.h"
#include "utility/utility_impl.h"

// ---- Identifiers -----------------------------------------------------------------------

const CLSID CLSID_Vesk = {0x76F1169D, 0xB727, 0x47A9, {0x8D, 0xA5, 0xF9, 0x59, 0xDB, 0x74, 0xA5, 0x12}};
const CLSID CLSID_TextTemplator = {0xAC02DE9A, 0x9C6C, 0x428F, {0xB9, 0x87, 0xE3, 0xE4, 0x67, 0x4D, 0xDE, 0x28}};
const CLSID CLSID_Utility = {0x1A467961, 0xD027, 0x4F29, {0x81, 0x47, 0x76, 0x3F, 0x49, 0x82, 0x8C, 0xFF}};
const IID IID_IVesk = {0x074BD3FD, 0x24C4, 0x4EE2, {0x91, 0x03, 0x6B, 0xF2, 0xD5, 0xD7, 0x41, 0x2E}};
const IID IID_IVeskedTemplator = {0x94C23DF3, 0x9567, 0x4BC3, {0x9D, 0x4A, 0x6E, 0x1C, 0xEE, 0x03, 0x95, 0xA6}};
const IID IID_IFormFile = {0xED00526A, 0x47B9, 0x4F81, {0x8F, 0xDD, 0x77, 0xC0, 0xD1, 0x08, 0xB1, 0x28}};
const IID IID_ITextTemplator = {0x6B513D54, 0xC48B, 0x41AA, {0x9E, 0x61, 0xF4, 0x53, 0x62, 0xCF, 0xE4, 0x71}};
const IID IID_IUtility = {0x34A5713B, 0x06BE, 0x4F0C, {0xBD, 0xCD, 0x68, 0xA4, 0x27, 0xCD, 0xAD, 0x8A}};

// ---- Plain module state ----------------------------------------------------------------

HMODULE g_hDLL = nullptr;
wchar_t g_aDLLPath[kModulePathChars] = {};
long g_nRefCount = 0;

ITypeInfo* g_pTI_IVesk = nullptr;
ITypeInfo* g_pTI_IVeskedTemplator = nullptr;
ITypeInfo* g_pTI_IFormFile = nullptr;
ITypeInfo* g_pTI_IStringList = nullptr;
ITypeInfo* g_pTI_IRequestDictionary = nullptr;
ITypeInfo* g_pTI_ITextTemplator = nullptr;
ITypeInfo* g_pTI_IUtility = nullptr;

void assign_typeinfo(ITypeInfo** slot, ITypeInfo* typeInfo) {
    if (*slot) (*slot)->Release();
    *slot = typeInfo;
    if (typeInfo) typeInfo->AddRef();
}

void release_typeinfo(ITypeInfo** slot) {
    if (*slot == nullptr) return;
    (*slot)->Release();
    *slot = nullptr;
}

// The slots in their fixed order. Interfaces whose type information does not exist yet keep
// an empty slot until their class arrives.
void vesk_init_dispatch_typeinfo() {
    assign_typeinfo(&g_pTI_IVesk, nullptr);
    assign_typeinfo(&g_pTI_IVeskedTemplator, nullptr);
    assign_typeinfo(&g_pTI_IFormFile, nullptr);
    assign_typeinfo(&g_pTI_IStringList, &g_string_list_typeinfo);
    assign_typeinfo(&g_pTI_IRequestDictionary, &g_request_dictionary_typeinfo);
    assign_typeinfo(&g_pTI_ITextTemplator, &g_text_templator_typeinfo);
    assign_typeinfo(&g_pTI_IUtility, &g_utility_typeinfo);
}

void vesk_free_dispatch_typeinfo() {
    release_typeinfo(&g_pTI_IVesk);
    release_typeinfo(&g_pTI_IVeskedTemplator);
    release_typeinfo(&g_pTI_IFormFile);
    release_typeinfo(&g_pTI_IStringList);
    release_typeinfo(&g_pTI_IRequestDictionary);
    release_typeinfo(&g_pTI_ITextTemplator);
    release_typeinfo(&g_pTI_IUtility);
}

// ---- Global objects, in construction order ---------------------------------------------
// Objects of one translation unit are constructed in the order they are defined and
// destroyed in reverse, which gives exactly the module's load and exit sequence:
//   load: type information into the slots, then the template cache, the null session and the
//         class factories from g_oCF_Vesk to g_oCF_Utility;
//   exit: the slots are emptied first, then the factories from g_oCF_Utility back to
//         g_oCF_Vesk (freeing their pooled blocks), the null session, the template cache.

namespace {
struct CTypeInfoInstaller {
    CTypeInfoInstaller() { vesk_init_dispatch_typeinfo(); }
};
struct CTypeInfoReleaser {
    ~CTypeInfoReleaser() { vesk_free_dispatch_typeinfo(); }
};
}  // namespace

static CTypeInfoInstaller s_oTypeInfoInstaller;

CTemplateCache g_oTemplateCache;

// g_oVeskSessionNull (CVeskSessionNull) goes here.

// The factories, in this order: g_oCF_Vesk, g_oCF_VeskedTemplator, g_oCF_FormFile,
// g_oCF_MultipartFormStringList, g_oCF_MultipartForm, then:
CTextTemplatorFactory g_oCF_TextTemplator;
CUtilityFactory g_oCF_Utility;

// Defined last so that it is destroyed first.
static CTypeInfoReleaser s_oTypeInfoReleaser;

// ---- Class objects ---------------------------------------------------------------------

namespace {

// The public classes. A class whose factory does not exist yet answers as not available.
struct CPublicClass {
    const wchar_t* name;
    const CLSID* clsid;
    IClassFactory* factory;
};

const CPublicClass kPublicClasses[] = {
    {L"Vesk", &CLSID_Vesk, nullptr},
    {L"TextTemplator", &CLSID_TextTemplator, &g_oCF_TextTemplator},
    {L"Utility", &CLSID_Utility, &g_oCF_Utility},
};

// Also the answer to a null or empty class name.
const CPublicClass& kDefaultClass = kPublicClasses[0];

HRESULT hand_out(const CPublicClass& cls, REFIID riid, void** ppv) {
    if (cls.factory == nullptr) return CLASS_E_CLASSNOTAVAILABLE;
    return cls.factory->QueryInterface(riid, ppv);
}

}  // namespace

HRESULT DllGetClassObject(REFCLSID rclsid, REFIID riid, void** ppv) {
    if (ppv == nullptr) return E_POINTER;
    if (IsEqualGUID(rclsid, CLSID_NULL)) {
        // By name: the out-pointer carries the class name in.
        const wchar_t* name = static_cast<const wchar_t*>(*ppv);
        if (name == nullptr || name[0] == L'\0') return hand_out(kDefaultClass, riid, ppv);
        for (const CPublicClass& cls : kPublicClasses) {
            if (std::wcscmp(name, cls.name) == 0) return hand_out(cls, riid, ppv);
        }
        return CLASS_E_CLASSNOTAVAILABLE;
    }
    for (const CPublicClass& cls : kPublicClasses) {
        if (IsEqualGUID(rclsid, *cls.clsid)) return hand_out(cls, riid, ppv);
    }
    return CLASS_E_CLASSNOTAVAILABLE;
}

HRESULT DllCanUnloadNow() { return g_nRefCount == 0 ? S_OK : S_FALSE; }

BOOL IsEqualGUID(REFGUID first, REFGUID second) { return guid_equal(first, second) ? TRUE : FALSE; }

// ---- DllMain ---------------------------------------------------------------------------

namespace {

constexpr unsigned int kProcessDetach = 0;
constexpr unsigned int kProcessAttach = 1;

struct CTypeLibSlot {
    ITypeInfo** slot;
    const IID* iid;
};

BOOL attach(void* hModule) {
    g_hDLL = hModule;
    GetModuleFileNameW(hModule, g_aDLLPath, kModulePathChars);
    // The second type library is the resource "\2" of the module.
    wchar_t secondPath[kModulePathChars + 2];
    std::swprintf(secondPath, kModulePathChars + 2, L"%ls\\2", g_aDLLPath);

    CComPtr<ITypeLib> spFirst;
    CComPtr<ITypeLib> spSecond;
    const bool firstLoaded = SUCCEEDED(LoadTypeLib(g_aDLLPath, spFirst.Receive())) && spFirst;
    const bool secondLoaded = SUCCEEDED(LoadTypeLib(secondPath, spSecond.Receive())) && spSecond;
    if (!firstLoaded || !secondLoaded) {
        DisableThreadLibraryCalls(hModule);
        return FALSE;
    }
    const CTypeLibSlot fromFirst[] = {
        {&g_pTI_IVesk, &IID_IVesk},           {&g_pTI_IVeskedTemplator, &IID_IVeskedTemplator},
        {&g_pTI_IFormFile, &IID_IFormFile},   {&g_pTI_ITextTemplator, &IID_ITextTemplator},
        {&g_pTI_IUtility, &IID_IUtility},
    };
    const CTypeLibSlot fromSecond[] = {
        {&g_pTI_IStringList, &IID_IStringList},
        {&g_pTI_IRequestDictionary, &IID_IRequestDictionary},
    };
    bool all = true;
    auto fetch = [&all](ITypeLib* lib, const CTypeLibSlot& entry) {
        if (!all) return;
        CComPtr<ITypeInfo> spInfo;
        if (FAILED(lib->GetTypeInfoOfGuid(*entry.iid, spInfo.Receive())) || !spInfo) {
            all = false;
            return;
        }
        assign_typeinfo(entry.slot, spInfo.Get());
    };
    for (const CTypeLibSlot& entry : fromFirst) fetch(spFirst.Get(), entry);
    for (const CTypeLibSlot& entry : fromSecond) fetch(spSecond.Get(), entry);
    DisableThreadLibraryCalls(hModule);
    return all ? TRUE : FALSE;
}

void detach() {
    release_typeinfo(&g_pTI_IVesk);
    release_typeinfo(&g_pTI_IVeskedTemplator);
    release_typeinfo(&g_pTI_IFormFile);
    release_typeinfo(&g_pTI_ITextTemplator);
    release_typeinfo(&g_pTI_IUtility);
    release_typeinfo(&g_pTI_IStringList);
    release_typeinfo(&g_pTI_IRequestDictionary);
}

}  // namespace

BOOL DllMain(void* hModule, unsigned int reason, void*) {
    if (reason == kProcessAttach) return attach(hModule);
    if (reason == kProcessDetach) detach();
    return TRUE;
}

// ---- Registration ----------------------------------------------------------------------

namespace {

// A registry key that is closed when it goes out of scope (a null key is never closed).
class CRegKey {
public:
    CRegKey() = default;
    CRegKey(const CRegKey&) = delete;
    CRegKey& operator=(const CRegKey&) = delete;
    ~CRegKey() {
        if (m_hKey) RegCloseKey(m_hKey);
    }
    HKEY* Receive() { return &m_hKey; }
    HKEY Get() const { return m_hKey; }

private:
    HKEY m_hKey = nullptr;
};

bool create_key(HKEY parent, const wchar_t* name, REGSAM access, CRegKey& key) {
    return RegCreateKeyExW(parent, name, 0, nullptr, REG_OPTION_NON_VOLATILE, access, nullptr,
                           key.Receive(), nullptr) == ERROR_SUCCESS;
}

bool open_key(HKEY parent, const wchar_t* name, REGSAM access, CRegKey& key) {
    return RegOpenKeyExW(parent, name, 0, access, key.Receive()) == ERROR_SUCCESS;
}

bool set_string(HKEY key, const wchar_t* valueName, const wchar_t* text) {
    const DWORD bytes = static_cast<DWORD>((std::wcslen(text) + 1) * sizeof(wchar_t));
    return RegSetValueExW(key, valueName, 0, REG_SZ, reinterpret_cast<const BYTE*>(text), bytes) ==
           ERROR_SUCCESS;
}

constexpr REGSAM kReadWrite = KEY_READ | KEY_WRITE;

struct CRegistration {
    const wchar_t* progId;
    const CLSID* clsid;
};

const CRegistration kRegistrations[] = {
    {L"Vesk", &CLSID_Vesk},
    {L"Vesk.TextTemplator", &CLSID_TextTemplator},
    {L"Vesk.Utility", &CLSID_Utility},
};

constexpr wchar_t kThreadingModel[] = L"Apartment";

}  // namespace

HRESULT RegistCOM(const wchar_t* progId, const wchar_t* clsid, const wchar_t* threadingModel) {
    CRegKey progIdKey, progIdClsidKey, clsidRoot, clsidKey, serverKey;
    const bool ok = create_key(HKEY_CLASSES_ROOT, progId, KEY_SET_VALUE, progIdKey) &&
                    create_key(progIdKey.Get(), L"CLSID", KEY_SET_VALUE, progIdClsidKey) &&
                    set_string(progIdClsidKey.Get(), nullptr, clsid) &&
                    open_key(HKEY_CLASSES_ROOT, L"CLSID", kReadWrite, clsidRoot) &&
                    create_key(clsidRoot.Get(), clsid, KEY_SET_VALUE, clsidKey) &&
                    set_string(clsidKey.Get(), nullptr, progId) &&
                    create_key(clsidKey.Get(), L"InProcServer32", KEY_SET_VALUE, serverKey) &&
                    set_string(serverKey.Get(), nullptr, g_aDLLPath) &&
                    set_string(serverKey.Get(), L"ThreadingModel", threadingModel);
    return ok ? S_OK : E_FAIL;
}

HRESULT UnregistCOM(const wchar_t* progId, const wchar_t* clsid) {
    CRegKey progIdKey, clsidRoot, clsidKey;
    const bool ok = open_key(HKEY_CLASSES_ROOT, progId, kReadWrite, progIdKey) &&
                    RegDeleteKeyW(progIdKey.Get(), L"CLSID") == ERROR_SUCCESS &&
                    RegDeleteKeyW(HKEY_CLASSES_ROOT, progId) == ERROR_SUCCESS &&
                    open_key(HKEY_CLASSES_ROOT, L"CLSID", kReadWrite, clsidRoot) &&
                    open_key(clsidRoot.Get(), clsid, kReadWrite, clsidKey) &&
                    RegDeleteKeyW(clsidKey.Get(), L"InProcServer32") == ERROR_SUCCESS &&
                    RegDeleteKeyW(clsidRoot.Get(), clsid) == ERROR_SUCCESS;
    return ok ? S_OK : E_FAIL;
}

namespace {

template <class Step>
HRESULT for_each_class(Step step) {
    for (const CRegistration& reg : kRegistrations) {
        wchar_t clsid[39];
        if (StringFromGUID2(*reg.clsid, clsid, 39) == 0) return E_FAIL;
        const HRESULT hr = step(reg.progId, clsid);
        if (FAILED(hr)) return hr;
    }
    return S_OK;
}

}  // namespace

HRESULT DllRegisterServer() {
    return for_each_class([](const wchar_t* progId, const wchar_t* clsid) {
        return RegistCOM(progId, clsid, kThreadingModel);
    });
}

HRESULT DllUnregisterServer() {
    return for_each_class([](const wchar_t* progId, const wchar_t* clsid) { return UnregistCOM(progId, clsid); });
}
