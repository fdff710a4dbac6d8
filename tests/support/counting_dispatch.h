// CountingDispatch: an IDispatch test double that only counts references, for ownership
// tests. It starts at 1 (the test's own reference) and never deletes itself, so it lives on
// the stack and RefCount() can be checked after every step:
//   CountingDispatch obj;
//   { CComVariant v = VarDisp(&obj); EXPECT_EQ(2u, obj.RefCount()); }
//   EXPECT_EQ(1u, obj.RefCount());
#pragma once

#include <atomic>

#include "host/ccom.h"

namespace vesk_test {

// What the test doubles share: they answer IUnknown and IDispatch and have no type information.
class DispatchBase : public IDispatch {
public:
    HRESULT QueryInterface(REFIID riid, void** ppv) override {
        if (ppv == nullptr) return E_POINTER;
        *ppv = nullptr;
        if (!guid_equal(riid, IID_IUnknown) && !guid_equal(riid, IID_IDispatch)) return E_NOINTERFACE;
        *ppv = static_cast<IDispatch*>(this);
        AddRef();
        return S_OK;
    }
    HRESULT GetTypeInfoCount(UINT* pctinfo) override {
        if (pctinfo == nullptr) return E_POINTER;
        *pctinfo = 0;
        return S_OK;
    }
    HRESULT GetTypeInfo(UINT, LCID, ITypeInfo** ppTInfo) override {
        if (ppTInfo) *ppTInfo = nullptr;
        return E_NOTIMPL;
    }
};

class CountingDispatch final : public DispatchBase {
public:
    ULONG RefCount() const { return m_cRef.load(); }
    ULONG AddRef() override { return ++m_cRef; }
    ULONG Release() override { return --m_cRef; }
    HRESULT GetIDsOfNames(REFIID, LPOLESTR*, UINT cNames, LCID, DISPID* ids) override {
        for (UINT i = 0; ids && i < cNames; ++i) ids[i] = DISPID_UNKNOWN;
        return DISP_E_UNKNOWNNAME;
    }
    HRESULT Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override {
        return DISP_E_MEMBERNOTFOUND;
    }

private:
    std::atomic<ULONG> m_cRef{1};  // also makes the double non-copyable
};

}  // namespace vesk_test
