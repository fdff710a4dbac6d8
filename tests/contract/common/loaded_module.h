// LoadedModule: the library as a host sees it, loaded with dlopen and reached only through
// its exported names. One instance per test process (Module()), kept loaded to the end.
//
//   CComPtr<IDispatch> util = Module().Create(L"Utility");
//   LateBound(util).Call(L"MD5", VarStr(L"abc"), VarI4(0));
#pragma once

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "host/ccom.h"

namespace vesk_test {

class LoadedModule {
public:
    using GetClassObjectFn = HRESULT (*)(REFCLSID, REFIID, void**);
    using NoArgFn = HRESULT (*)();
    using IsEqualGuidFn = BOOL (*)(REFGUID, REFGUID);
    using DllMainFn = BOOL (*)(void*, unsigned int, void*);

    LoadedModule() {
        const char* path = std::getenv("VESK_MODULE");
        if (path == nullptr) {
            m_error = "VESK_MODULE is not set";
            return;
        }
        m_handle = dlopen(path, RTLD_NOW | RTLD_LOCAL);
        if (m_handle == nullptr) {
            m_error = dlerror();
            return;
        }
        GetClassObject = Symbol<GetClassObjectFn>("DllGetClassObject");
        CanUnloadNow = Symbol<NoArgFn>("DllCanUnloadNow");
        RegisterServer = Symbol<NoArgFn>("DllRegisterServer");
        UnregisterServer = Symbol<NoArgFn>("DllUnregisterServer");
        IsEqualGuid = Symbol<IsEqualGuidFn>("IsEqualGUID");
        // Exported with C++ linkage: the name encodes (void*, unsigned int, void*).
        Main = Symbol<DllMainFn>("_Z7DllMainPvjS_");
    }
    LoadedModule(const LoadedModule&) = delete;
    LoadedModule& operator=(const LoadedModule&) = delete;

    bool Loaded() const { return m_handle != nullptr && GetClassObject != nullptr; }
    const std::string& Error() const { return m_error; }

    template <class T>
    T Symbol(const char* name) const {
        return reinterpret_cast<T>(dlsym(m_handle, name));
    }
    // An exported identifier, by its name.
    const GUID& Guid(const char* name) const {
        const auto* id = Symbol<const GUID*>(name);
        EXPECT_NE(nullptr, id) << name << " is not exported";
        return id ? *id : GUID_NULL;
    }

    // The class object for a class name (the null class identifier form).
    HRESULT GetClassObjectByName(const wchar_t* name, REFIID riid, void** ppv) const {
        *ppv = const_cast<wchar_t*>(name);
        return GetClassObject(CLSID_NULL, riid, ppv);
    }
    CComPtr<IClassFactory> Factory(const wchar_t* name) const {
        CComPtr<IClassFactory> factory;
        void* pv = nullptr;
        const HRESULT hr = GetClassObjectByName(name, IID_IClassFactory, &pv);
        EXPECT_EQ(S_OK, hr) << "no class object for the name";
        if (SUCCEEDED(hr)) factory.Attach(static_cast<IClassFactory*>(pv));
        return factory;
    }
    // A new object of the named class, as its IDispatch.
    CComPtr<IDispatch> Create(const wchar_t* name) const {
        CComPtr<IDispatch> object;
        CComPtr<IClassFactory> factory = Factory(name);
        if (factory) {
            EXPECT_EQ(S_OK, factory->CreateInstance(nullptr, IID_IDispatch, object.ReceiveVoid()));
        }
        return object;
    }

    GetClassObjectFn GetClassObject = nullptr;
    NoArgFn CanUnloadNow = nullptr;
    NoArgFn RegisterServer = nullptr;
    NoArgFn UnregisterServer = nullptr;
    IsEqualGuidFn IsEqualGuid = nullptr;
    DllMainFn Main = nullptr;

private:
    void* m_handle = nullptr;
    std::string m_error;
};

inline LoadedModule& Module() {
    static LoadedModule module;
    return module;
}

// A fixture base that fails every test cleanly when the module cannot be loaded, and checks
// that each test gives back every object and factory reference it took.
class ContractTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(Module().Loaded()) << Module().Error();
        ASSERT_EQ(S_OK, Module().CanUnloadNow()) << "an earlier test left a reference behind";
    }
    void TearDown() override {
        if (Module().Loaded()) {
            EXPECT_EQ(S_OK, Module().CanUnloadNow()) << "the test left a reference behind";
        }
    }
};

}  // namespace vesk_test
