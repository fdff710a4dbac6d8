// The utility object created by name, and the value makers its tests share.
#pragma once

#include <cstring>
#include <initializer_list>
#include <string>
#include <vector>

#include "contract/common/late_bound.h"
#include "contract/common/loaded_module.h"
#include "support/test_support.h"

namespace vesk_test {

class UtilityContract : public ContractTest {
protected:
    void SetUp() override {
        ContractTest::SetUp();
        m_util = Module().Create(L"Utility");
        ASSERT_TRUE(m_util);
    }
    void TearDown() override {
        m_util.Reset();
        ContractTest::TearDown();
    }

    template <class... A>
    CallResult Call(const wchar_t* name, A&&... args) const {
        return LateBound(m_util.Get()).Call(name, std::forward<A>(args)...);
    }

    CComPtr<IDispatch> m_util;
};

// VT_ARRAY | VT_UI1 holding the bytes.
inline CComVariant VarBytes(const std::vector<BYTE>& bytes) {
    CComVariant v;
    SAFEARRAY* psa = SafeArrayCreateVector(VT_UI1, 0, static_cast<ULONG>(bytes.size()));
    if (psa && !bytes.empty()) std::memcpy(psa->pvData, bytes.data(), bytes.size());
    v.vt = VT_ARRAY | VT_UI1;
    v.parray = psa;
    return v;
}

// A script array: VT_ARRAY | VT_VARIANT, one-dimensional, lower bound 0.
inline CComVariant VarArray(std::initializer_list<const VARIANT*> items) {
    CComVariant v;
    SAFEARRAY* psa = SafeArrayCreateVector(VT_VARIANT, 0, static_cast<ULONG>(items.size()));
    VARIANT* data = psa ? static_cast<VARIANT*>(psa->pvData) : nullptr;
    size_t i = 0;
    for (const VARIANT* item : items) VariantCopy(&data[i++], item);
    v.vt = VT_ARRAY | VT_VARIANT;
    v.parray = psa;
    return v;
}

// A byte string: a BSTR holding exactly these bytes.
inline CComVariant VarByteString(const std::string& bytes) {
    CComVariant v;
    v.vt = VT_BSTR;
    v.bstrVal = SysAllocStringByteLen(bytes.data(), static_cast<UINT>(bytes.size()));
    return v;
}

// A VT_BSTR holding a null BSTR (an empty string in its other form).
inline CComVariant VarNullString() {
    CComVariant v;
    v.vt = VT_BSTR;
    v.bstrVal = nullptr;
    return v;
}

inline std::vector<BYTE> ArrayBytes(const VARIANT& v) {
    if (v.vt != (VT_ARRAY | VT_UI1) || v.parray == nullptr) return {};
    const BYTE* data = static_cast<const BYTE*>(v.parray->pvData);
    return std::vector<BYTE>(data, data + v.parray->rgsabound[0].cElements);
}

inline std::string ByteStringBytes(const VARIANT& v) {
    if (v.vt != VT_BSTR || v.bstrVal == nullptr) return {};
    return std::string(reinterpret_cast<const char*>(v.bstrVal), SysStringByteLen(v.bstrVal));
}

}  // namespace vesk_test
