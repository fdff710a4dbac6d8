// Class factories with object pools, and the dual implementation every object is built on.
//
// One family of templates serves every class of the library. An object class is always
//   GDualImplForPool<Interface, Implementation template, &type-information slot, &g_nRefCount>
// and its factory singleton one of
//   GClassFactoryPooled<ObjectClass, &g_nRefCount>            (plain)
//   GClassFactoryPooledInContext<ObjectClass, &g_nRefCount>   (hands the object its context)
// When its last reference goes, an object is destroyed in place and its block kept on the
// factory's free list, so creating and releasing objects costs no heap traffic once warm.
#pragma once

#include <cstdlib>
#include <cstring>
#include <new>

#include "host/ccom.h"
#include "shim/sync.h"

// ---- Pool interface --------------------------------------------------------------------

struct IObjectPool {
    // A block holding a freshly constructed object, or null when memory is exhausted.
    virtual void* Take() = 0;
    // Takes back an object whose reference count reached zero: destroys it, keeps the block.
    virtual void Free(void* object) = 0;
};

// ---- Dual implementation ---------------------------------------------------------------

// IUnknown and IDispatch for Impl<I>. Dispatch goes entirely to the type information in the
// interface's slot, so the object carries no dispatch state of its own.
template <class I, template <class> class Impl, ITypeInfo** ppTypeInfo, long* pModuleCount>
class GDualImpl : public Impl<I> {
public:
    GDualImpl() : m_nRef(1) { InterlockedIncrement(pModuleCount); }
    virtual ~GDualImpl() { InterlockedDecrement(pModuleCount); }
    GDualImpl(const GDualImpl&) = delete;
    GDualImpl& operator=(const GDualImpl&) = delete;

    HRESULT QueryInterface(REFIID riid, void** ppv) override {
        if (ppv == nullptr) return E_POINTER;
        if (guid_equal(riid, IID_IUnknown) || guid_equal(riid, IID_IDispatch) ||
            guid_equal(riid, zul_uuidof<I>())) {
            *ppv = static_cast<I*>(this);
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    ULONG AddRef() override { return static_cast<ULONG>(++m_nRef); }
    ULONG Release() override {
        const int64_t n = --m_nRef;
        if (n == 0) delete this;
        return static_cast<ULONG>(n);
    }

    HRESULT GetTypeInfoCount(UINT* pctinfo) override {
        if (pctinfo) *pctinfo = 1;
        return S_OK;
    }
    HRESULT GetTypeInfo(UINT, LCID, ITypeInfo** ppTInfo) override {
        if (ppTInfo == nullptr) return E_INVALIDARG;
        *ppTInfo = *ppTypeInfo;
        if (*ppTInfo) (*ppTInfo)->AddRef();
        return S_OK;
    }
    HRESULT GetIDsOfNames(REFIID, LPOLESTR* rgszNames, UINT cNames, LCID, DISPID* rgDispId) override {
        // An emptied slot means the module has been detached; answer instead of crashing.
        if (*ppTypeInfo == nullptr) return E_UNEXPECTED;
        return (*ppTypeInfo)->GetIDsOfNames(rgszNames, cNames, rgDispId);
    }
    HRESULT Invoke(DISPID dispIdMember, REFIID, LCID, WORD wFlags, DISPPARAMS* pDispParams,
                   VARIANT* pVarResult, EXCEPINFO* pExcepInfo, UINT* puArgErr) override {
        if (*ppTypeInfo == nullptr) return E_UNEXPECTED;
        // A member may run a script that drops the caller's last reference to this object; the
        // object must outlive the call all the same, so the call holds a reference of its own.
        const CComPtr<I> spSelf = CComPtr<I>::Share(static_cast<I*>(this));
        return (*ppTypeInfo)->Invoke(static_cast<I*>(this), dispIdMember, wFlags, pDispParams,
                                     pVarResult, pExcepInfo, puArgErr);
    }

protected:
    // Plain count: objects are apartment-threaded, used by one thread at a time.
    int64_t m_nRef;
};

// The pooled form: at zero the object goes back to its factory's free list.
template <class I, template <class> class Impl, ITypeInfo** ppTypeInfo, long* pModuleCount>
class GDualImplForPool : public GDualImpl<I, Impl, ppTypeInfo, pModuleCount> {
public:
    // The IObjectPool part of this class's factory singleton, set when the factory is built.
    static IObjectPool* s_pPool;

    ULONG Release() override {
        const int64_t n = --this->m_nRef;
        if (n == 0) {
            s_pPool->Free(this);
            return 0;
        }
        return static_cast<ULONG>(n);
    }
};

template <class I, template <class> class Impl, ITypeInfo** ppTypeInfo, long* pModuleCount>
IObjectPool* GDualImplForPool<I, Impl, ppTypeInfo, pModuleCount>::s_pPool = nullptr;

// ---- Factories -------------------------------------------------------------------------

// IClassFactory without a count of its own: every factory reference is a module reference.
template <class T, long* pModuleCount>
class GClassFactory : public IClassFactory {
public:
    HRESULT QueryInterface(REFIID riid, void** ppv) override {
        if (ppv == nullptr) return E_POINTER;
        if (guid_equal(riid, IID_IUnknown) || guid_equal(riid, IID_IClassFactory)) {
            *ppv = static_cast<IClassFactory*>(this);
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    ULONG AddRef() override { return static_cast<ULONG>(InterlockedIncrement(pModuleCount)); }
    ULONG Release() override { return static_cast<ULONG>(InterlockedDecrement(pModuleCount)); }

    // A fresh heap object per call; the factories in use pool instead.
    HRESULT CreateInstance(IUnknown* pOuter, REFIID riid, void** ppv) override {
        if (ppv == nullptr) return E_POINTER;
        *ppv = nullptr;
        if (pOuter != nullptr) return CLASS_E_NOAGGREGATION;
        T* object = new (std::nothrow) T;
        if (object == nullptr) return E_OUTOFMEMORY;
        const HRESULT hr = object->QueryInterface(riid, ppv);
        object->Release();
        return hr;
    }
    // Server locks are not counted: only live objects and factory references hold the module.
    HRESULT LockServer(BOOL) override { return S_OK; }
};

template <class T, long* pModuleCount>
class GClassFactoryPooled : public GClassFactory<T, pModuleCount>, public IObjectPool {
public:
    GClassFactoryPooled() {
        InitializeCriticalSection(&m_cs);
        T::s_pPool = static_cast<IObjectPool*>(this);
    }
    ~GClassFactoryPooled() {
        // Objects still alive are left alone; only free blocks go back to the heap.
        for (size_t i = 0; i < m_nFree; ++i) std::free(m_pFree[i]);
        std::free(m_pFree);
        DeleteCriticalSection(&m_cs);
    }
    GClassFactoryPooled(const GClassFactoryPooled&) = delete;
    GClassFactoryPooled& operator=(const GClassFactoryPooled&) = delete;

    HRESULT CreateInstance(IUnknown* pOuter, REFIID riid, void** ppv) override {
        if (ppv == nullptr) return E_POINTER;
        *ppv = nullptr;
        if (pOuter != nullptr) return CLASS_E_NOAGGREGATION;
        void* block = this->Take();
        if (block == nullptr) return E_OUTOFMEMORY;
        T* object = static_cast<T*>(block);
        // An unsupported interface sends the object straight back to the pool here.
        const HRESULT hr = object->QueryInterface(riid, ppv);
        object->Release();
        return hr;
    }

    void* Take() override {
        void* block = nullptr;
        {
            CCriticalSectionLock lock(&m_cs);
            if (m_nFree > 0) block = m_pFree[--m_nFree];
        }
        if (block == nullptr) {
            block = std::malloc(sizeof(T));
            if (block == nullptr) return nullptr;
        }
        // Every use starts from zeroed memory and a full construction: nothing survives.
        std::memset(block, 0, sizeof(T));
        // The compiler takes an object's storage to be undefined when its constructor starts
        // and would drop the zero fill as a dead store; the barrier keeps it.
        asm volatile("" : : "r"(block) : "memory");
        return new (block) T;
    }

    void Free(void* object) override {
        static_cast<T*>(object)->~T();
        {
            CCriticalSectionLock lock(&m_cs);
            if (m_nFree != m_nCapacity || GrowLocked()) {
                m_pFree[m_nFree++] = object;
                return;
            }
        }
        // Cannot remember the block: hand it back to the heap rather than lose it.
        std::free(object);
    }

    // For tests and diagnostics: how many blocks wait on the free list.
    size_t FreeCount() {
        CCriticalSectionLock lock(&m_cs);
        return m_nFree;
    }

private:
    bool GrowLocked() {
        const size_t capacity = m_nCapacity ? m_nCapacity * 2 : 8;
        void* grown = std::realloc(m_pFree, capacity * sizeof(void*));
        if (grown == nullptr) return false;
        m_pFree = static_cast<void**>(grown);
        m_nCapacity = capacity;
        return true;
    }

    // The free list: blocks of sizeof(T) bytes, the most recently freed last.
    void** m_pFree = nullptr;
    size_t m_nFree = 0;
    size_t m_nCapacity = 0;
    CRITICAL_SECTION m_cs;
};

// Creates through Base and then hands the new object the caller's object context.
template <class Base, class T>
class GClassFactoryInContextImpl : public Base {
public:
    HRESULT CreateInstance(IUnknown* pOuter, REFIID riid, void** ppv) override {
        HRESULT hr = Base::CreateInstance(pOuter, riid, ppv);
        if (FAILED(hr)) return hr;
        CComPtr<IGetContextProperties> spContext;
        hr = CoGetObjectContext(IID_IGetContextProperties, spContext.ReceiveVoid());
        // Every interface of the object shares its primary base, so the out-pointer is the
        // object itself.
        if (spContext) hr = static_cast<T*>(static_cast<IUnknown*>(*ppv))->InContext(spContext.Get());
        if (FAILED(hr)) {
            // An object that could not take its context is of no use to the caller: release it
            // rather than hand out a half-made object alongside a failure code.
            static_cast<IUnknown*>(*ppv)->Release();
            *ppv = nullptr;
        }
        return hr;
    }
};

template <class T, long* pModuleCount>
class GClassFactoryPooledInContext
    : public GClassFactoryInContextImpl<GClassFactoryPooled<T, pModuleCount>, T> {};
