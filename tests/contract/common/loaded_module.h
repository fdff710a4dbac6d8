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
    // Declared first: the entry points below are looked up as the object is built.
    const char* m_path = std::getenv("VESK_MODULE");
    void* m_handle = m_path ? dlopen(m_path, RTLD_NOW | RTLD_LOCAL) : nullptr;
    std::string m_error = m_handle ? "" : m_path ? dlerror() : "VESK_MODULE is not set";

public:
    using GetClassObjectFn = HRESULT (*)(REFCLSID, REFIID, void**);
    using NoArgFn = HRESULT (*)();
    using IsEqualGuidFn = BOOL (*)(REFGUID, REFGUID);
    using DllMainFn = BOOL (*)(void*, unsigned int, void*);

    bool Loaded() const { return m_handle != nullptr && GetClassObject != nullptr; }
    const std::string& Error() const { return m_error; }

    // Null when the module is not loaded (a null handle would search the whole process).
    template <class T>
    T Symbol(const char* name) const { return m_handle ? reinterpret_cast<T>(dlsym(m_handle, name)) : nullptr; }
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
        // On failure pv still carries the name in.
        if (SUCCEEDED(hr)) factory.Attach(static_cast<IClassFactory*>(pv));
        return factory;
    }
    // A new object of the named class, as its IDispatch.
    CComPtr<IDispatch> Create(const wchar_t* name) const {
        CComPtr<IDispatch> object;
        if (CComPtr<IClassFactory> factory = Factory(name)) {
            EXPECT_EQ(S_OK, factory->CreateInstance(nullptr, IID_IDispatch, object.ReceiveVoid()));
        }
        return object;
    }

    GetClassObjectFn GetClassObject = Symbol<GetClassObjectFn>("DllGetClassObject");
    NoArgFn CanUnloadNow = Symbol<NoArgFn>("DllCanUnloadNow");
    NoArgFn RegisterServer = Symbol<NoArgFn>("DllRegisterServer");
    NoArgFn UnregisterServer = Symbol<NoArgFn>("DllUnregisterServer");
    IsEqualGuidFn IsEqualGuid = Symbol<IsEqualGuidFn>("IsEqualGUID");
    // Exported with C++ linkage: the name encodes (void*, unsigned int, void*).
    DllMainFn Main = Symbol<DllMainFn>("_Z7DllMainPvjS_");
};

inline LoadedModule& Module() {
    static LoadedModule module;  // dlopen once; never closed
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
        if (!Module().Loaded()) return;
        EXPECT_EQ(S_OK, Module().CanUnloadNow()) << "the test left a reference behind";
    }
};

}  // namespace vesk_test
