// Module entry: the exported entry points and registration, each a walk over the class
// table or the slot table (frame/classes.cpp).
#include "frame/module.h"

#include <cwchar>

namespace {

HRESULT hand_out(const CModuleClass& cls, REFIID riid, void** ppv) {
    if (cls.factory == nullptr) return CLASS_E_CLASSNOTAVAILABLE;
    return cls.factory->QueryInterface(riid, ppv);
}

}  // namespace

HRESULT DllGetClassObject(REFCLSID rclsid, REFIID riid, void** ppv) {
    if (ppv == nullptr) return E_POINTER;
    const std::span<const CModuleClass> classes = module_classes();
    if (IsEqualGUID(rclsid, CLSID_NULL)) {
        // By name: the out-pointer carries the class name in.
        const wchar_t* name = static_cast<const wchar_t*>(*ppv);
        if (name == nullptr || name[0] == L'\0') return hand_out(classes.front(), riid, ppv);
        for (const CModuleClass& cls : classes) {
            if (cls.name && std::wcscmp(name, cls.name) == 0) return hand_out(cls, riid, ppv);
        }
        return CLASS_E_CLASSNOTAVAILABLE;
    }
    for (const CModuleClass& cls : classes) {
        if (cls.clsid && IsEqualGUID(rclsid, *cls.clsid)) return hand_out(cls, riid, ppv);
    }
    return CLASS_E_CLASSNOTAVAILABLE;
}

HRESULT DllCanUnloadNow() { return g_nRefCount == 0 ? S_OK : S_FALSE; }

BOOL IsEqualGUID(REFGUID first, REFGUID second) { return guid_equal(first, second) ? TRUE : FALSE; }

// ---- DllMain ---------------------------------------------------------------------------

namespace {

constexpr unsigned int kProcessDetach = 0;
constexpr unsigned int kProcessAttach = 1;

constexpr int kLibraries = 2;

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
    ITypeLib* libraries[kLibraries] = {spFirst.Get(), spSecond.Get()};
    bool all = true;
    for (int library = 1; library <= kLibraries && all; ++library) {
        for (const CTypeInfoSlot& row : module_typeinfo_slots()) {
            if (row.library != library) continue;
            CComPtr<ITypeInfo> spInfo;
            if (FAILED(libraries[library - 1]->GetTypeInfoOfGuid(*row.iid, spInfo.Receive())) || !spInfo) {
                all = false;
                break;
            }
            assign_typeinfo(row.slot, spInfo.Get());
        }
    }
    DisableThreadLibraryCalls(hModule);
    return all ? TRUE : FALSE;
}

// The slots in the order of their libraries, as attach filled them.
void detach() {
    for (int library = 1; library <= kLibraries; ++library) {
        for (const CTypeInfoSlot& row : module_typeinfo_slots()) {
            if (row.library == library) release_typeinfo(row.slot);
        }
    }
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
    for (const CModuleClass& cls : module_classes()) {
        if (cls.progId == nullptr) continue;
        wchar_t clsid[39];
        if (StringFromGUID2(*cls.clsid, clsid, 39) == 0) return E_FAIL;
        const HRESULT hr = step(cls.progId, clsid);
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
