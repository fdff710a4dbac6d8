// IUtility: the fifteen utility operations. The page controller offers the same operations
// after its own, so they are declared once as a layer over any base interface:
//   IUtility = IUtilityOperations<IDispatch>
//   IVesk    = IUtilityOperations<the page controller's own operations>
// which puts them, in this order, right after the operations of the base.
#pragma once

#include "frame/identifiers.h"
#include "host/oaidl.h"
#include "host/uuidof.h"

template <class Base>
struct IUtilityOperations : Base {
    virtual HRESULT MakeKey(long length, BSTR alphabet, BSTR* key) = 0;
    virtual HRESULT MakeGUID(VARIANT_BOOL compact, BSTR* guid) = 0;
    virtual HRESULT Sleep(long milliseconds) = 0;
    virtual HRESULT MD5(VARIANT* input, long charset, BSTR* digest) = 0;
    virtual HRESULT SHA1(VARIANT* input, long charset, BSTR* digest) = 0;
    virtual HRESULT FindString(VARIANT* first, VARIANT* second, VARIANT_BOOL* found) = 0;
    virtual HRESULT HanToZen(BSTR text, BSTR* converted) = 0;
    virtual HRESULT ZenToHan(BSTR text, BSTR* converted) = 0;
    virtual HRESULT SubmitDecode(BSTR text, BSTR* decoded) = 0;
    virtual HRESULT Trim(BSTR text, BSTR* trimmed) = 0;
    virtual HRESULT HTMLEncode(BSTR text, BSTR* encoded) = 0;
    virtual HRESULT Base64Encode(VARIANT* input, long charset, BSTR* encoded) = 0;
    virtual HRESULT URLEncode(VARIANT* input, long charset, BSTR* encoded) = 0;
    virtual HRESULT Base64Decode(BSTR text, long charset, VARIANT* decoded) = 0;
    virtual HRESULT URLDecode(BSTR text, long charset, VARIANT* decoded) = 0;
};

struct IUtility : IUtilityOperations<IDispatch> {};

ZUL_DEFINE_UUIDOF(IUtility, IID_IUtility)
