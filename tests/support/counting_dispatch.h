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

class CountingDispatch final : public IDispatch {
public:
    CountingDispatch() = default;
    CountingDispatch(const CountingDispatch&) = delete;
    CountingDispatch& operator=(const CountingDispatch&) = delete;

    ULONG RefCount() const { return m_cRef.load(); }

    HRESULT QueryInterface(REFIID riid, void** ppv) override {
        if (ppv == nullptr) return E_POINTER;
        if (guid_equal(riid, IID_IUnknown) || guid_equal(riid, IID_IDispatch)) {
            *ppv = static_cast<IDispatch*>(this);
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    ULONG AddRef() override { return ++m_cRef; }
    ULONG Release() override { return --m_cRef; }
    HRESULT GetTypeInfoCount(UINT* pctinfo) override {
        if (pctinfo) *pctinfo = 0;
        return S_OK;
    }
    HRESULT GetTypeInfo(UINT, LCID, ITypeInfo** pp) override {
        if (pp) *pp = nullptr;
        return E_NOTIMPL;
    }
    HRESULT GetIDsOfNames(REFIID, LPOLESTR*, UINT cNames, LCID, DISPID* ids) override {
        for (UINT i = 0; ids && i < cNames; ++i) ids[i] = DISPID_UNKNOWN;
        return DISP_E_UNKNOWNNAME;
    }
    HRESULT Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override {
        return DISP_E_MEMBERNOTFOUND;
    }

private:
    std::atomic<ULONG> m_cRef{1};
};

}  // namespace vesk_test
