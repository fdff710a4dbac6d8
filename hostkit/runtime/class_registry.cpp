// Object creation: host component classes by creator function, module classes through the
// module's DllGetClassObject. The registry is a function-local static behind a mutex, so
// components may register from their own static initialisers in any order. Creation runs
// outside the lock, because a creator may itself create objects.
#include "class_registry.h"

#include <dlfcn.h>

#include <cwctype>
#include <iterator>
#include <mutex>
#include <string>
#include <vector>

namespace veskhost {

namespace {

constexpr HRESULT CO_E_CLASSSTRING = hresult_of(0x800401F3u);
constexpr HRESULT HRESULT_MOD_NOT_FOUND = hresult_of(0x8007007Eu);   // the module would not load
constexpr HRESULT HRESULT_PROC_NOT_FOUND = hresult_of(0x8007007Fu);  // it exports no DllGetClassObject

using GetClassObject = HRESULT (*)(REFCLSID, REFIID, void**);

struct ClassEntry {
    CLSID clsid;
    std::wstring progId;
    ClassCreator create = nullptr;
    GetClassObject getClassObject = nullptr;
};

struct Registry {
    std::mutex mutex;
    std::vector<ClassEntry> classes;
    std::vector<std::pair<CLSID, ClassCreator>> overrides;  // the latest last
    std::vector<std::pair<std::string, void*>> modules;  // path -> dlopen handle
};

Registry& registry() {
    static Registry instance;
    return instance;
}

bool same_prog_id(const std::wstring& a, const wchar_t* b) {
    size_t i = 0;
    for (; i < a.size() && b[i] != 0; ++i) {
        if (std::towlower(wint_t(a[i])) != std::towlower(wint_t(b[i]))) return false;
    }
    return i == a.size() && b[i] == 0;
}

// The caller holds the registry's lock.
bool is_registered_locked(const Registry& r, const CLSID& clsid, const wchar_t* progId) {
    for (const ClassEntry& e : r.classes) {
        if (guid_equal(e.clsid, clsid)) return true;
        if (progId && *progId && same_prog_id(e.progId, progId)) return true;
    }
    return false;
}

bool find_class(const CLSID& clsid, ClassEntry* out) {
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    for (auto it = r.overrides.rbegin(); it != r.overrides.rend(); ++it) {
        if (!guid_equal(it->first, clsid)) continue;
        if (it->second == nullptr) return false;
        *out = ClassEntry{clsid, L"", it->second, nullptr};
        return true;
    }
    for (const ClassEntry& e : r.classes) {
        if (guid_equal(e.clsid, clsid)) {
            *out = e;
            return true;
        }
    }
    return false;
}

void* load_module(const char* path) {
    Registry& r = registry();
    {
        std::lock_guard<std::mutex> lock(r.mutex);
        for (const auto& [p, handle] : r.modules) {
            if (p == path) return handle;
        }
    }
    void* handle = dlopen(path, RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) return nullptr;
    std::lock_guard<std::mutex> lock(r.mutex);
    r.modules.emplace_back(path, handle);  // a second load of the same path shares the handle
    return handle;
}

}  // namespace

bool RegisterClassCreator(const CLSID& clsid, const wchar_t* progId, ClassCreator create) {
    if (create == nullptr) return false;
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    if (is_registered_locked(r, clsid, progId)) return false;
    r.classes.push_back(ClassEntry{clsid, progId ? progId : L"", create, nullptr});
    return true;
}

HRESULT RegisterModuleClass(const char* modulePath, const CLSID& clsid, const wchar_t* progId) {
    if (modulePath == nullptr) return E_INVALIDARG;
    void* handle = load_module(modulePath);
    if (handle == nullptr) return HRESULT_MOD_NOT_FOUND;
    auto getClassObject = reinterpret_cast<GetClassObject>(dlsym(handle, "DllGetClassObject"));
    if (getClassObject == nullptr) return HRESULT_PROC_NOT_FOUND;
    CComPtr<IClassFactory> factory;
    const HRESULT hr = getClassObject(clsid, IID_IClassFactory, factory.ReceiveVoid());
    if (FAILED(hr)) return hr;
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    if (is_registered_locked(r, clsid, progId)) return S_FALSE;
    r.classes.push_back(ClassEntry{clsid, progId ? progId : L"", nullptr, getClassObject});
    return S_OK;
}

HRESULT GetModuleSymbol(const char* modulePath, const char* name, const void** address) {
    if (address) *address = nullptr;
    if (modulePath == nullptr || name == nullptr || address == nullptr) return E_INVALIDARG;
    void* handle = load_module(modulePath);
    if (handle == nullptr) return HRESULT_MOD_NOT_FOUND;
    *address = dlsym(handle, name);
    return *address ? S_OK : HRESULT_PROC_NOT_FOUND;
}

ClassCreatorOverride::ClassCreatorOverride(const CLSID& clsid, ClassCreator create) : m_clsid(clsid) {
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    r.overrides.emplace_back(clsid, create);
}

ClassCreatorOverride::~ClassCreatorOverride() {
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    for (auto it = r.overrides.rbegin(); it != r.overrides.rend(); ++it) {
        if (guid_equal(it->first, m_clsid)) {
            r.overrides.erase(std::next(it).base());
            return;
        }
    }
}

HRESULT CLSIDFromProgID(const wchar_t* progId, CLSID* out) {
    if (progId == nullptr || out == nullptr) return E_INVALIDARG;
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    for (const ClassEntry& e : r.classes) {
        if (!e.progId.empty() && same_prog_id(e.progId, progId)) {
            *out = e.clsid;
            return S_OK;
        }
    }
    *out = CLSID_NULL;
    return CO_E_CLASSSTRING;
}

}  // namespace veskhost

extern "C" HRESULT CoCreateInstance(REFCLSID rclsid, IUnknown* pUnkOuter, DWORD dwClsContext, REFIID riid,
                                    void** ppv) {
    if (ppv == nullptr) return E_POINTER;
    *ppv = nullptr;
    if ((dwClsContext & CLSCTX_ALL) == 0) return E_INVALIDARG;
    // An aggregated object can only hand its inner IUnknown to the outer object.
    if (pUnkOuter != nullptr && !guid_equal(riid, IID_IUnknown)) return CLASS_E_NOAGGREGATION;
    veskhost::ClassEntry entry;
    if (!veskhost::find_class(rclsid, &entry)) return REGDB_E_CLASSNOTREG;
    if (entry.create != nullptr) return entry.create(pUnkOuter, riid, ppv);
    CComPtr<IClassFactory> factory;
    const HRESULT hr = entry.getClassObject(rclsid, IID_IClassFactory, factory.ReceiveVoid());
    if (FAILED(hr)) return hr;
    return factory->CreateInstance(pUnkOuter, riid, ppv);
}
