// What the host components share: error information with a message, a late-bound member
// table lookup, argument access for Invoke, and the exception form of a failed call.
#pragma once

#include <cstddef>
#include <string>

#include "host/ccom.h"

namespace veskhost {

// A run-time error in the automation control facility, the form script errors take
// (0x800A0000 | code).
constexpr HRESULT ControlError(uint32_t code) { return hresult_of(0x800A0000u | (code & 0xFFFFu)); }

// Sets the calling thread's error information and returns hr, so a failing path ends in
// `return RaiseComponentError(hr, source, text);`.
HRESULT RaiseComponentError(HRESULT hr, const wchar_t* source, const std::wstring& description);

// The text of a BSTR as a standard string (a null BSTR is empty; embedded NULs are kept).
std::wstring ToWString(BSTR text);

// True when two member names are the same ignoring case.
bool SameMemberName(const wchar_t* a, const wchar_t* b);

// GetIDsOfNames over a member table whose entries have `name` and `id`: the first name is
// looked up ignoring case; argument names are not supported, so every further name reports
// DISPID_UNKNOWN.
template <class Entry, size_t N>
HRESULT LookupDispatchNames(const Entry (&table)[N], LPOLESTR* names, UINT cNames, DISPID* ids) {
    if (cNames == 0) return S_OK;
    if (names == nullptr || ids == nullptr) return E_POINTER;
    for (UINT i = 0; i < cNames; ++i) ids[i] = DISPID_UNKNOWN;
    for (const Entry& entry : table) {
        if (names[0] && SameMemberName(names[0], entry.name)) {
            ids[0] = entry.id;
            return cNames == 1 ? S_OK : DISP_E_UNKNOWNNAME;
        }
    }
    return DISP_E_UNKNOWNNAME;
}

// The table entry with the DISPID, or null.
template <class Entry, size_t N>
const Entry* FindMember(const Entry (&table)[N], DISPID id) {
    for (const Entry& entry : table) {
        if (entry.id == id) return &entry;
    }
    return nullptr;
}

// The arguments of one Invoke call in the order the script wrote them. Positional argument
// i (0 = first) lives at rgvarg[cArgs - 1 - i]; the value of a property put is the named
// DISPID_PROPERTYPUT argument. A by-reference VARIANT argument is followed to its target.
class CDispatchArgs {
public:
    CDispatchArgs(DISPPARAMS* params, WORD flags, UINT* puArgErr);

    // DISP_E_NONAMEDARGS when the call carries named arguments this component cannot take.
    HRESULT Status() const { return m_hrStatus; }
    UINT Count() const { return m_nPositional; }
    // Between min and max positional arguments, the first min of them present.
    HRESULT Expect(UINT min, UINT max) const;
    // The argument, or null when the call has fewer arguments.
    VARIANT* At(UINT i) const;
    // True when the argument is absent or a VT_ERROR placeholder for an omitted one.
    bool Missing(UINT i) const;
    // The assigned value of a property put, or null.
    VARIANT* PutValue() const { return m_pPutValue; }
    // Optional argument converted to a 32-bit integer; fallback when missing.
    HRESULT Long(UINT i, LONG fallback, LONG* out) const;
    // Optional argument converted to a string; fallback when missing.
    HRESULT String(UINT i, const wchar_t* fallback, CComBSTR* out) const;

private:
    HRESULT Mismatch(UINT i) const;

    DISPPARAMS* m_pParams;
    UINT* m_puArgErr;
    UINT m_nPositional = 0;
    VARIANT* m_pPutValue = nullptr;
    HRESULT m_hrStatus = S_OK;
};

// The end of Invoke: a failure the component explained with error information becomes
// DISP_E_EXCEPTION with the EXCEPINFO filled when the caller passed one; without an
// EXCEPINFO, and for the dispatch frame's own DISP_E_ codes, the code is returned as it is.
HRESULT CompleteInvoke(HRESULT hr, EXCEPINFO* pExcepInfo);

// The whole of a component's Invoke over its member table: the member is found, its
// arguments checked, its handler run (with the object kept alive for the call, since a
// script may drop its last reference from inside it) and a failure put as scripts see it.
// Call is the handler's argument block: {object, flags, arguments, result}.
template <class Interface, class Call, class Object, class Entry, size_t N>
HRESULT InvokeMember(Object& object, const Entry (&table)[N], DISPID id, REFIID riid, WORD flags,
                     DISPPARAMS* params, VARIANT* pVarResult, EXCEPINFO* pExcepInfo, UINT* puArgErr) {
    if (!guid_equal(riid, IID_NULL)) return DISP_E_UNKNOWNINTERFACE;
    const Entry* member = FindMember(table, id);
    if (member == nullptr) return DISP_E_MEMBERNOTFOUND;
    CDispatchArgs args(params, flags, puArgErr);
    if (FAILED(args.Status())) return args.Status();
    if (pVarResult) VariantInit(pVarResult);

    SetErrorInfo(0, nullptr);
    CComPtr<Interface> keepAlive = CComPtr<Interface>::Share(&object);
    CComVariant result;
    Call call{object, flags, args, result};
    const HRESULT hr = member->invoke(call);
    if (SUCCEEDED(hr) && pVarResult) result.Detach(pVarResult);
    return CompleteInvoke(hr, pExcepInfo);
}

// Flag tests for Invoke: a read may arrive as a property get or as a method call.
constexpr bool IsGetCall(WORD flags) { return (flags & (DISPATCH_PROPERTYGET | DISPATCH_METHOD)) != 0; }
constexpr bool IsPutCall(WORD flags) { return (flags & DISPATCH_PROPERTYPUT) != 0; }
constexpr bool IsPutRefCall(WORD flags) { return (flags & DISPATCH_PROPERTYPUTREF) != 0; }

}  // namespace veskhost
