// The automation toolkit both sides compile: an object base that answers QueryInterface from
// a list of interfaces and counts references, one reader of Invoke arguments in script
// order, and one late-bound caller. It uses nothing but the published types and the owning
// wrappers, so the library and the host each build their own copy without crossing the
// boundary. Error policy stays with each side (the library sets no EXCEPINFO; the host
// components fill it); only the plumbing lives here.
//
//   class CThing final : public automation::GObject<CThing, IZULibThing, ISupportErrorInfo> { ... };
//   CThing* thing = new CThing();                      // holds the first reference
//
//   automation::CInvokeArgs args(params, flags);        // inside Invoke
//   VARIANT* first = args.At(0);                        // script order, by reference followed once
//
//   CComVariant result;                                 // calling a script
//   CComVariant argv[2];  argv[0].SetDispatch(owner);  argv[1].SetI4(7);
//   HRESULT hr = automation::InvokeByName(script, L"OnCommand_Save", DISPATCH_METHOD, argv, &result);
#pragma once

#include <atomic>
#include <cstddef>
#include <new>
#include <span>
#include <type_traits>
#include <utility>
#include <vector>

#include "ccom.h"

namespace automation {

// ---- Object base -----------------------------------------------------------------------

// An interface answered under a further identifier (an older name of the same interface).
template <class I, const GUID& Id>
struct Alias {
    using Interface = I;
};

// The answers of an object without type information: a count of 0, and no type information
// with the object's own failure code.
inline HRESULT NoTypeInfoCount(UINT* pctinfo) {
    if (pctinfo == nullptr) return E_POINTER;
    *pctinfo = 0;
    return S_OK;
}
inline HRESULT NoTypeInfo(ITypeInfo** ppTInfo, HRESULT failure) {
    if (ppTInfo) *ppTInfo = nullptr;
    return failure;
}

// IDispatch members for an object that offers no type information, listed in place of the
// interface it wraps: GObject<CThing, GNoTypeInfo<IThing>>.
template <class Base>
class GNoTypeInfo : public Base {
public:
    HRESULT GetTypeInfoCount(UINT* pctinfo) override { return NoTypeInfoCount(pctinfo); }
    HRESULT GetTypeInfo(UINT, LCID, ITypeInfo** ppTInfo) override { return NoTypeInfo(ppTInfo, E_NOTIMPL); }
};

namespace detail {

template <class E>
struct Entry {
    using Interface = E;
    static bool Matches(REFIID riid) { return guid_equal(riid, zul_uuidof<E>()); }
};
template <class I, const GUID& Id>
struct Entry<Alias<I, Id>> {
    using Interface = I;
    static bool Matches(REFIID riid) { return guid_equal(riid, Id); }
};

template <class B>
struct Entry<GNoTypeInfo<B>> {
    using Interface = GNoTypeInfo<B>;
    static bool Matches(REFIID riid) { return guid_equal(riid, zul_uuidof<B>()); }
};

template <class E>
using InterfaceOf = typename Entry<E>::Interface;

// The first listed interface that derives from B, or void.
template <class B, class... E>
struct FirstDerived {
    using type = void;
};
template <class B, class E, class... Rest>
struct FirstDerived<B, E, Rest...> {
    using type = std::conditional_t<std::is_base_of_v<B, InterfaceOf<E>>, InterfaceOf<E>,
                                    typename FirstDerived<B, Rest...>::type>;
};

template <class T, class... Ts>
struct First {
    using type = T;
};

// The base an entry adds: its interface, or for an alias an empty tag of its own.
template <class E>
struct BaseOf {
    using type = E;
};
template <class I, const GUID& Id>
struct AliasTag {};
template <class I, const GUID& Id>
struct BaseOf<Alias<I, Id>> {
    using type = AliasTag<I, Id>;
};

}  // namespace detail

// Answers QueryInterface from the listed interfaces: IUnknown gives the first one, IDispatch
// the first that derives from it, every entry its own identifier (Alias<I, IID> adds another
// identifier for an interface already listed; list aliases last). Reference counting is the derived class's.
template <class... Entries>
class GInterfaceList : public detail::BaseOf<Entries>::type... {
public:
    HRESULT QueryInterface(REFIID riid, void** ppv) override { return QueryListed(riid, ppv); }

protected:
    using FirstInterface = detail::InterfaceOf<typename detail::First<Entries...>::type>;
    using DispatchInterface = typename detail::FirstDerived<IDispatch, Entries...>::type;

    HRESULT QueryListed(REFIID riid, void** ppv) {
        if (ppv == nullptr) return E_POINTER;
        *ppv = nullptr;
        IUnknown* found = nullptr;
        if (guid_equal(riid, IID_IUnknown)) {
            found = static_cast<FirstInterface*>(this);
        } else {
            ((found == nullptr && detail::Entry<Entries>::Matches(riid) &&
              (found = static_cast<detail::InterfaceOf<Entries>*>(this)) != nullptr),
             ...);
            if constexpr (!std::is_void_v<DispatchInterface>) {
                if (found == nullptr && guid_equal(riid, IID_IDispatch)) found = static_cast<DispatchInterface*>(this);
            }
        }
        if (found == nullptr) return E_NOINTERFACE;
        found->AddRef();
        *ppv = found;
        return S_OK;
    }
};

// A heap object: starts with one reference (the creator's) and deletes itself at the last
// release. Derived must let the base delete it (a public destructor, or `friend GObject`).
template <class Derived, class... Entries>
class GObject : public GInterfaceList<Entries...> {
public:
    ULONG AddRef() override { return ++m_cRef; }
    ULONG Release() override {
        const ULONG count = --m_cRef;
        if (count == 0) delete static_cast<Derived*>(this);
        return count;
    }
    ULONG RefCount() const { return m_cRef.load(); }

    // Creates the object and hands out the interface riid; the creator's reference is
    // dropped, so a failed query leaves nothing behind.
    template <class... A>
    static HRESULT CreateInstance(REFIID riid, void** ppv, A&&... args) {
        if (ppv == nullptr) return E_POINTER;
        *ppv = nullptr;
        Derived* object = new (std::nothrow) Derived(std::forward<A>(args)...);
        if (object == nullptr) return E_OUTOFMEMORY;
        const HRESULT hr = object->QueryInterface(riid, ppv);
        object->Release();
        return hr;
    }

protected:
    GObject() = default;
    ~GObject() = default;

private:
    std::atomic<ULONG> m_cRef{1};
};

// An object whose lifetime its owner decides (on the stack, or a static): it counts
// references but never deletes itself, so tests can read exact counts after every step.
template <class... Entries>
class GCountedObject : public GInterfaceList<Entries...> {
public:
    GCountedObject() = default;
    GCountedObject(const GCountedObject&) = delete;
    GCountedObject& operator=(const GCountedObject&) = delete;
    ULONG AddRef() override { return ++m_cRef; }
    ULONG Release() override { return --m_cRef; }
    ULONG RefCount() const { return m_cRef.load(); }

private:
    std::atomic<ULONG> m_cRef{1};
};

// ---- Reading Invoke arguments ----------------------------------------------------------

// The arguments of one Invoke call in the order the script wrote them. DISPPARAMS keeps them
// last-first; a property put's assigned value is the last one (rgvarg[0], the named
// DISPID_PROPERTYPUT argument). A by-reference VARIANT argument is followed exactly once.
class CInvokeArgs {
public:
    CInvokeArgs(DISPPARAMS* params, WORD flags) : m_pParams(params) {
        if (params == nullptr || params->rgvarg == nullptr) {
            m_nAll = 0;
            return;
        }
        m_nAll = params->cArgs;
        m_bPut = (flags & (DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF)) != 0 && m_nAll > 0;
    }

    // Every argument, the assigned value of a put included (it comes last).
    UINT CountAll() const { return m_nAll; }
    // The positional arguments: all but a put's assigned value.
    UINT Count() const { return m_bPut ? m_nAll - 1 : m_nAll; }

    // Argument i over all arguments (script order), by reference followed once; null past
    // the end.
    VARIANT* Arg(UINT i) const { return i < m_nAll ? Follow(&m_pParams->rgvarg[m_nAll - 1 - i]) : nullptr; }
    // Positional argument i, or null when the call has fewer.
    VARIANT* At(UINT i) const { return i < Count() ? Arg(i) : nullptr; }
    // The assigned value of a property put, or null.
    VARIANT* PutValue() const { return m_bPut ? Follow(&m_pParams->rgvarg[0]) : nullptr; }
    // True when positional argument i is absent or the placeholder for an omitted one.
    bool Missing(UINT i) const {
        const VARIANT* v = At(i);
        return v == nullptr || v->vt == VT_ERROR;
    }
    // The index of argument i in rgvarg, as an Invoke's puArgErr reports it.
    UINT RawIndex(UINT i) const { return m_nAll - 1 - i; }
    // Argument i over all arguments as the caller laid it, a by-reference one not followed,
    // for a callee that assigns through it; null past the end.
    VARIANT* RawArg(UINT i) const { return i < m_nAll ? &m_pParams->rgvarg[RawIndex(i)] : nullptr; }

    // The named arguments a caller may send: none, or for a put exactly DISPID_PROPERTYPUT.
    // DISP_E_NONAMEDARGS for anything else; E_INVALIDARG for a malformed DISPPARAMS.
    HRESULT CheckNamed() const {
        if (m_pParams == nullptr) return S_OK;
        const UINT named = m_pParams->cNamedArgs;
        if (named > m_pParams->cArgs || (m_pParams->cArgs > 0 && m_pParams->rgvarg == nullptr)) {
            return m_pParams->cArgs == 0 ? DISP_E_NONAMEDARGS : E_INVALIDARG;
        }
        if (named == 0) return S_OK;
        if (!m_bPut || named > 1 || m_pParams->rgdispidNamedArgs == nullptr ||
            m_pParams->rgdispidNamedArgs[0] != DISPID_PROPERTYPUT)
            return DISP_E_NONAMEDARGS;
        return S_OK;
    }

    static VARIANT* Follow(VARIANT* v) {
        return (v->vt == (VT_BYREF | VT_VARIANT) && v->pvarVal != nullptr) ? v->pvarVal : v;
    }

private:
    DISPPARAMS* m_pParams;
    UINT m_nAll = 0;
    bool m_bPut = false;
};

// ---- Calling late-bound ----------------------------------------------------------------

// The DISPID of a member name; DISPID_UNKNOWN is left in id when the lookup fails.
inline HRESULT GetMemberId(IDispatch* target, const wchar_t* name, DISPID* id, LCID lcid = 0) {
    if (id) *id = DISPID_UNKNOWN;
    if (target == nullptr || name == nullptr || id == nullptr) return E_INVALIDARG;
    LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
    return target->GetIDsOfNames(IID_NULL, names, 1, lcid, id);
}

// Calls a member with arguments in script order. The arguments are taken over: they are
// laid last-first into the call and cleared afterwards (whatever the callee left in them),
// so every one of them is empty on return. For a property put the last argument is the
// assigned value. result, when given, must be empty; it receives the member's value.
inline HRESULT InvokeById(IDispatch* target, DISPID id, WORD flags, std::span<CComVariant> args,
                          VARIANT* result = nullptr, EXCEPINFO* excepInfo = nullptr, LCID lcid = 0) {
    if (target == nullptr) return E_INVALIDARG;
    constexpr size_t kInline = 4;
    VARIANT inlineArgs[kInline];
    std::vector<VARIANT> heapArgs;
    VARIANT* laid = inlineArgs;
    if (args.size() > kInline) {
        heapArgs.resize(args.size());
        laid = heapArgs.data();
    }
    const size_t n = args.size();
    for (size_t i = 0; i < n; ++i) args[i].Detach(&laid[n - 1 - i]);

    DISPID putId = DISPID_PROPERTYPUT;
    const bool put = (flags & (DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF)) != 0 && n > 0;
    DISPPARAMS params{n ? laid : nullptr, put ? &putId : nullptr, static_cast<UINT>(n), put ? 1u : 0u};
    if (result) VariantInit(result);
    // The caller's reference keeps the target alive only as long as the caller does; a
    // script may drop that reference from inside the call.
    CComPtr<IDispatch> keepAlive = CComPtr<IDispatch>::Share(target);
    const HRESULT hr = target->Invoke(id, IID_NULL, lcid, flags, &params, result, excepInfo, nullptr);
    for (size_t i = 0; i < n; ++i) VariantClear(&laid[i]);
    return hr;
}

// The same, the member found by name first.
inline HRESULT InvokeByName(IDispatch* target, const wchar_t* name, WORD flags, std::span<CComVariant> args,
                            VARIANT* result = nullptr, EXCEPINFO* excepInfo = nullptr, LCID lcid = 0) {
    DISPID id = DISPID_UNKNOWN;
    const HRESULT hr = GetMemberId(target, name, &id, lcid);
    if (FAILED(hr)) return hr;
    return InvokeById(target, id, flags, args, result, excepInfo, lcid);
}

// A by-reference argument to a VARIANT the caller keeps, for a callee that may change it.
inline CComVariant ByRef(VARIANT* target) {
    CComVariant ref;
    ref.vt = VT_BYREF | VT_VARIANT;
    ref.pvarVal = target;
    return ref;
}

}  // namespace automation
