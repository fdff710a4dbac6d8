// Owning wrappers for automation strings, interface references and variants. Each is
// exactly the size of the raw type it holds. Verbs, the same on every wrapper:
//   Attach(raw)   adopt a value the caller owned (no reference added, no copy made)
//   Detach()      give the value away; the wrapper is left empty
//   Receive()     out-parameter address; the wrapper must be empty
//   Reset()       free the held value
// Copies are explicit (Copy, CopyTo, Assign); there are no implicit copies.
#pragma once

#include <cassert>
#include <cwchar>
#include <utility>

#include "runtime.h"
#include "uuidof.h"

// An owned BSTR. A null BSTR is a valid empty string.
class CComBSTR {
public:
    BSTR m_str = nullptr;

    CComBSTR() = default;
    explicit CComBSTR(const OLECHAR* psz) : m_str(psz ? SysAllocString(psz) : nullptr) {}
    CComBSTR(const OLECHAR* pch, UINT cch) : m_str(SysAllocStringLen(pch, cch)) {}
    CComBSTR(CComBSTR&& other) noexcept : m_str(other.Detach()) {}
    CComBSTR& operator=(CComBSTR&& other) noexcept {
        if (this != &other) Attach(other.Detach());
        return *this;
    }
    CComBSTR(const CComBSTR&) = delete;
    CComBSTR& operator=(const CComBSTR&) = delete;
    ~CComBSTR() { SysFreeString(m_str); }

    void Attach(BSTR s) {
        if (s != m_str) SysFreeString(m_str);
        m_str = s;
    }
    BSTR Detach() { return std::exchange(m_str, nullptr); }
    BSTR* Receive() {
        assert(m_str == nullptr && "Receive() on a CComBSTR that holds a string");
        return &m_str;
    }
    void Reset() { SysFreeString(std::exchange(m_str, nullptr)); }

    // A new BSTR with the same characters (embedded NULs and byte strings kept).
    BSTR Copy() const {
        if (m_str == nullptr) return nullptr;
        return SysAllocStringByteLen(reinterpret_cast<const char*>(m_str), SysStringByteLen(m_str));
    }
    HRESULT CopyTo(BSTR* out) const {
        if (out == nullptr) return E_POINTER;
        *out = Copy();
        return (*out == nullptr && m_str != nullptr) ? E_OUTOFMEMORY : S_OK;
    }
    // Replace the held string with a copy of the text; E_OUTOFMEMORY when allocation fails.
    HRESULT Assign(const OLECHAR* psz) {
        BSTR s = psz ? SysAllocString(psz) : nullptr;
        if (psz && !s) return E_OUTOFMEMORY;
        Attach(s);
        return S_OK;
    }
    HRESULT Assign(const OLECHAR* pch, UINT cch) {
        BSTR s = SysAllocStringLen(pch, cch);
        if (!s) return E_OUTOFMEMORY;
        Attach(s);
        return S_OK;
    }
    HRESULT Append(const OLECHAR* pch, UINT cch) {
        const UINT len = Length();
        BSTR s = SysAllocStringLen(nullptr, len + cch);
        if (!s) return E_OUTOFMEMORY;
        if (len) wmemcpy(s, m_str, len);
        if (cch) wmemcpy(s + len, pch, cch);
        Attach(s);
        return S_OK;
    }
    HRESULT Append(const OLECHAR* psz) { return psz ? Append(psz, UINT(wcslen(psz))) : S_OK; }

    UINT Length() const { return SysStringLen(m_str); }
    UINT ByteLength() const { return SysStringByteLen(m_str); }
    bool IsEmpty() const { return Length() == 0; }
    // The text, never null: an empty string stands in for a null BSTR.
    const OLECHAR* c_str() const { return m_str ? m_str : L""; }
    operator BSTR() const { return m_str; }
};
static_assert(sizeof(CComBSTR) == sizeof(BSTR));

// A counted interface reference.
template <class T>
class CComPtr {
public:
    T* p = nullptr;

    CComPtr() = default;
    CComPtr(std::nullptr_t) {}
    CComPtr(CComPtr&& other) noexcept : p(other.Detach()) {}
    CComPtr& operator=(CComPtr&& other) noexcept {
        if (this != &other) Attach(other.Detach());
        return *this;
    }
    CComPtr(const CComPtr&) = delete;
    CComPtr& operator=(const CComPtr&) = delete;
    ~CComPtr() { Reset(); }

    // A new reference to a borrowed pointer.
    static CComPtr Share(T* raw) {
        CComPtr sp;
        sp.Assign(raw);
        return sp;
    }
    void Attach(T* raw) {
        T* old = std::exchange(p, raw);
        if (old) old->Release();
    }
    T* Detach() { return std::exchange(p, nullptr); }
    T** Receive() {
        assert(p == nullptr && "Receive() on a CComPtr that holds a reference");
        return &p;
    }
    void** ReceiveVoid() { return reinterpret_cast<void**>(Receive()); }
    void Reset() {
        T* old = std::exchange(p, nullptr);
        if (old) old->Release();
    }
    // Hold a new reference to raw, dropping the old one (safe when raw is already held).
    void Assign(T* raw) {
        if (raw) raw->AddRef();
        Attach(raw);
    }
    // Hand out a new reference.
    HRESULT CopyTo(T** out) const {
        if (out == nullptr) return E_POINTER;
        *out = p;
        if (p) p->AddRef();
        return S_OK;
    }
    template <class Q>
    HRESULT QueryInterface(Q** out) const {
        if (out == nullptr) return E_POINTER;
        *out = nullptr;
        if (p == nullptr) return E_POINTER;
        return p->QueryInterface(zul_uuidof<Q>(), reinterpret_cast<void**>(out));
    }

    T* Get() const { return p; }
    T* operator->() const {
        assert(p != nullptr);
        return p;
    }
    explicit operator bool() const { return p != nullptr; }
    bool operator==(std::nullptr_t) const { return p == nullptr; }
};
static_assert(sizeof(CComPtr<IUnknown>) == sizeof(IUnknown*));

// An owned VARIANT: cleared on destruction, never copied implicitly.
class CComVariant : public VARIANT {
public:
    CComVariant() { VariantInit(this); }
    CComVariant(CComVariant&& other) noexcept {
        VariantInit(this);
        MoveFrom(&other);
    }
    CComVariant& operator=(CComVariant&& other) noexcept {
        if (this != &other) Attach(&other);
        return *this;
    }
    CComVariant(const CComVariant&) = delete;
    CComVariant& operator=(const CComVariant&) = delete;
    ~CComVariant() { VariantClear(this); }

    // Take over the value of src, which is left empty (no copy, no reference added). The old
    // value leaves the holder before it is released: its release may run a script that reads
    // or assigns this very holder.
    void Attach(VARIANT* src) {
        VARIANT old = *static_cast<VARIANT*>(this);
        MoveFrom(src);
        VariantClear(&old);
    }
    // Move the value out into dst, which must not hold anything that needs clearing.
    void Detach(VARIANT* dst) {
        *static_cast<VARIANT*>(dst) = *static_cast<VARIANT*>(this);
        VariantInit(this);
    }
    VARIANT* Receive() {
        assert(vt == VT_EMPTY && "Receive() on a CComVariant that holds a value");
        return this;
    }
    void Reset() { VariantClear(this); }
    HRESULT Copy(const VARIANT* src) { return VariantCopy(this, src); }
    HRESULT CopyTo(VARIANT* dst) const { return VariantCopy(dst, this); }
    HRESULT ChangeType(VARTYPE to, const VARIANT* src = nullptr) {
        return VariantChangeType(this, src ? src : this, 0, to);
    }

    // Setters: each installs the new value, then releases the old one (see Attach).
    HRESULT SetString(const OLECHAR* psz) {
        BSTR s = SysAllocString(psz ? psz : L"");
        if (!s) return E_OUTOFMEMORY;
        SetBSTR(s);
        return S_OK;
    }
    void SetBSTR(BSTR owned) {
        VARIANT v{};
        v.vt = VT_BSTR;
        v.bstrVal = owned;
        Replace(v);
    }
    void SetI4(LONG value) {
        VARIANT v{};
        v.vt = VT_I4;
        v.lVal = value;
        Replace(v);
    }
    void SetBool(bool value) {
        VARIANT v{};
        v.vt = VT_BOOL;
        v.boolVal = value ? VARIANT_TRUE : VARIANT_FALSE;
        Replace(v);
    }
    void SetNull() {
        VARIANT v{};
        v.vt = VT_NULL;
        Replace(v);
    }
    void SetError(SCODE code) {
        VARIANT v{};
        v.vt = VT_ERROR;
        v.scode = code;
        Replace(v);
    }
    void SetDispatch(IDispatch* borrowed) {
        if (borrowed) reinterpret_cast<IUnknown*>(borrowed)->AddRef();
        VARIANT v{};
        v.vt = VT_DISPATCH;
        v.pdispVal = borrowed;
        Replace(v);
    }
    void SetUnknown(IUnknown* borrowed) {
        if (borrowed) borrowed->AddRef();
        VARIANT v{};
        v.vt = VT_UNKNOWN;
        v.punkVal = borrowed;
        Replace(v);
    }

private:
    // Installs a new value, then releases the old one (see Attach).
    void Replace(const VARIANT& value) {
        VARIANT old = *static_cast<VARIANT*>(this);
        *static_cast<VARIANT*>(this) = value;
        VariantClear(&old);
    }
    void MoveFrom(VARIANT* src) {
        *static_cast<VARIANT*>(this) = *src;
        VariantInit(src);
    }
};
static_assert(sizeof(CComVariant) == sizeof(VARIANT));

// An owned SAFEARRAY.
class CComSafeArray {
public:
    SAFEARRAY* m_psa = nullptr;

    CComSafeArray() = default;
    CComSafeArray(CComSafeArray&& other) noexcept : m_psa(other.Detach()) {}
    CComSafeArray& operator=(CComSafeArray&& other) noexcept {
        if (this != &other) Attach(other.Detach());
        return *this;
    }
    CComSafeArray(const CComSafeArray&) = delete;
    CComSafeArray& operator=(const CComSafeArray&) = delete;
    ~CComSafeArray() { Reset(); }

    void Attach(SAFEARRAY* psa) {
        SAFEARRAY* old = std::exchange(m_psa, psa);
        if (old && old != psa) SafeArrayDestroy(old);
    }
    SAFEARRAY* Detach() { return std::exchange(m_psa, nullptr); }
    SAFEARRAY** Receive() {
        assert(m_psa == nullptr && "Receive() on a CComSafeArray that holds an array");
        return &m_psa;
    }
    void Reset() {
        SAFEARRAY* old = std::exchange(m_psa, nullptr);
        if (old) SafeArrayDestroy(old);
    }
    SAFEARRAY* Get() const { return m_psa; }
    explicit operator bool() const { return m_psa != nullptr; }
};
static_assert(sizeof(CComSafeArray) == sizeof(SAFEARRAY*));
