// What the host components share: error information with a message, the component's IDispatch
// over a member table of shared rows (host/automation_members.h) read under the components'
// argument rules, and the exception form of a failed call.
#pragma once

#include <string>
#include <type_traits>

#include "host/automation_members.h"

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

// The components count what a call gives against the row: between its required and its
// positional inputs (DISP_E_BADPARAMCOUNT), none of the required ones left out
// (DISP_E_PARAMNOTOPTIONAL, its index in puArgErr); an omitted optional one takes the row's
// default; a put's value is the put's value, never a positional argument; an argument that
// does not convert is DISP_E_TYPEMISMATCH with its index in puArgErr.
inline constexpr automation::InvokeRules kComponentArgumentRules{
    .countArguments = true, .putValueApart = true, .reportArgErr = true, .absent = DISP_E_PARAMNOTOPTIONAL};

// The flags a component's member rows answer: a read may arrive as a property get or as a
// method call.
constexpr WORD kGetCall = DISPATCH_PROPERTYGET | DISPATCH_METHOD;

// GetIDsOfNames over a member table: the first name is looked up ignoring case; argument
// names are not supported, so every further name reports DISPID_UNKNOWN.
HRESULT LookupDispatchNames(automation::MemberRows rows, REFIID riid, LPOLESTR* names, UINT cNames, DISPID* ids);

// A class creator in the registry's form: the out-pointer cleared, no outer object
// (CLASS_E_NOAGGREGATION), then create(riid, ppv).
HRESULT CreateWithoutOuter(IUnknown* outer, REFIID riid, void** ppv, HRESULT (*create)(REFIID riid, void** ppv));

// The end of Invoke: a failure the component explained with error information becomes
// DISP_E_EXCEPTION with the EXCEPINFO filled when the caller passed one; without an
// EXCEPINFO, and for the dispatch frame's own DISP_E_ codes, the code is returned as it is.
HRESULT CompleteInvoke(HRESULT hr, EXCEPINFO* pExcepInfo);

// The whole of a component's Invoke over its member table: the member is found, the named
// arguments checked, the thread's error information cleared, the row the flags select run
// under the components' rules (with the object kept alive for the call, since a script may
// drop its last reference from inside it) and a failure put as scripts see it. instance is
// the object as the interface its rows are built on.
HRESULT InvokeMember(IUnknown* self, void* instance, automation::MemberRows rows, DISPID id, REFIID riid, WORD flags,
                     DISPPARAMS* params, VARIANT* pVarResult, EXCEPINFO* pExcepInfo, UINT* puArgErr);

// A host component: an interface-list object (automation::GObject; ISupportErrorInfo among
// the entries) whose IDispatch answers from Derived::kMembers, rows built on the first listed
// interface. It offers no type information, and supports error information on that interface
// and on IDispatch.
template <class Derived, class... Entries>
class GComponent : public automation::GObject<Derived, Entries...> {
    using Base = automation::GObject<Derived, Entries...>;
    using RowInterface = typename Base::FirstInterface;

public:
    HRESULT GetTypeInfoCount(UINT* pctinfo) override { return automation::NoTypeInfoCount(pctinfo); }
    HRESULT GetTypeInfo(UINT, LCID, ITypeInfo** ppTInfo) override {
        return automation::NoTypeInfo(ppTInfo, DISP_E_BADINDEX);
    }
    HRESULT GetIDsOfNames(REFIID riid, LPOLESTR* rgszNames, UINT cNames, LCID, DISPID* rgDispId) override {
        return LookupDispatchNames(Derived::kMembers, riid, rgszNames, cNames, rgDispId);
    }
    HRESULT Invoke(DISPID dispIdMember, REFIID riid, LCID, WORD wFlags, DISPPARAMS* pDispParams, VARIANT* pVarResult,
                   EXCEPINFO* pExcepInfo, UINT* puArgErr) override {
        RowInterface* self = static_cast<Derived*>(this);
        return InvokeMember(self, self, Derived::kMembers, dispIdMember, riid, wFlags, pDispParams, pVarResult,
                            pExcepInfo, puArgErr);
    }
    HRESULT InterfaceSupportsErrorInfo(REFIID riid) override {
        return guid_equal(riid, zul_uuidof<RowInterface>()) || guid_equal(riid, IID_IDispatch) ? S_OK : S_FALSE;
    }
};

}  // namespace veskhost
