// Contents of the Application and of sessions: the store pages share, the lock pages take on
// the Application, and the IVariantDictionary a page reaches them through.
#include "hostkit/pages/page_objects.h"
#include "hostkit/pages/page_text.h"

namespace veskhost::pages {

// ---- Store -----------------------------------------------------------------------------

size_t VariantStore::FindLocked(const CollectionKey& key) const {
    if (key.byIndex) return key.index < m_entries.size() ? key.index : std::wstring::npos;
    const auto found = m_index.find(FoldKey(key.name));
    return found == m_index.end() ? std::wstring::npos : found->second;
}

void VariantStore::ReindexLocked() {
    m_index.clear();
    for (size_t i = 0; i < m_entries.size(); ++i) m_index.emplace(FoldKey(m_entries[i].name), i);
}

HRESULT VariantStore::Get(const CollectionKey& key, VARIANT* out) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    const size_t at = FindLocked(key);
    if (at == std::wstring::npos) return key.byIndex ? DISP_E_BADINDEX : S_OK;
    return VariantCopy(out, &m_entries[at].value);
}

HRESULT VariantStore::KeyAt(size_t index, BSTR* out) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (index >= m_entries.size()) return DISP_E_BADINDEX;
    const std::wstring& name = m_entries[index].name;
    *out = SysAllocStringLen(name.data(), UINT(name.size()));
    return *out ? S_OK : E_OUTOFMEMORY;
}

size_t VariantStore::Count() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_entries.size();
}

std::vector<CComVariant> VariantStore::Names() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    std::vector<CComVariant> names(m_entries.size());
    for (size_t i = 0; i < m_entries.size(); ++i) names[i].SetString(m_entries[i].name.c_str());
    return names;
}

HRESULT VariantStore::Put(const CollectionKey& key, CComVariant&& value, CComVariant* old) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_bEnded) return E_FAIL;
    const size_t at = FindLocked(key);
    if (at != std::wstring::npos) {
        old->Attach(&m_entries[at].value);
        m_entries[at].value.Attach(&value);
        return S_OK;
    }
    if (key.byIndex) return DISP_E_BADINDEX;
    try {
        m_entries.push_back({key.name, CComVariant()});
        try {
            m_index.emplace(FoldKey(key.name), m_entries.size() - 1);
        } catch (...) {
            m_entries.pop_back();
            throw;
        }
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
    m_entries.back().value.Attach(&value);
    return S_OK;
}

HRESULT VariantStore::Remove(const CollectionKey& key, CComVariant* old) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_bEnded) return E_FAIL;
    const size_t at = FindLocked(key);
    if (at == std::wstring::npos) return key.byIndex ? DISP_E_BADINDEX : S_OK;
    old->Attach(&m_entries[at].value);
    m_entries.erase(m_entries.begin() + ptrdiff_t(at));
    ReindexLocked();
    return S_OK;
}

void VariantStore::TakeAllLocked(std::vector<CComVariant>* removed) {
    for (Entry& entry : m_entries) removed->push_back(std::move(entry.value));
    m_entries.clear();
    m_index.clear();
}

void VariantStore::RemoveAll(std::vector<CComVariant>* removed) {
    std::lock_guard<std::mutex> lock(m_mutex);
    TakeAllLocked(removed);
}

void VariantStore::End(std::vector<CComVariant>* removed) {
    std::lock_guard<std::mutex> lock(m_mutex);
    TakeAllLocked(removed);
    m_bEnded = true;
}

// ---- Application lock ------------------------------------------------------------------

void ApplicationLock::Lock(uint64_t page) {
    std::unique_lock<std::mutex> lock(m_mutex);
    m_released.wait(lock, [&] { return m_owner == 0 || m_owner == page; });
    m_owner = page;
    ++m_depth;
}

bool ApplicationLock::Unlock(uint64_t page) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_owner != page) return false;
    if (--m_depth == 0) {
        m_owner = 0;
        m_released.notify_all();
    }
    return true;
}

void ApplicationLock::Release(uint64_t page) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_owner != page) return;
    m_owner = 0;
    m_depth = 0;
    m_released.notify_all();
}

uint64_t ApplicationLock::Owner() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_owner;
}

// ---- IVariantDictionary ----------------------------------------------------------------

using automation::member_row;
using automation::ResultKind;
using D = IVariantDictionary;

constexpr automation::MemberRow kContentsMembers[] = {
    member_row<D, &D::putref_Item>(L"Item", DISPID_VALUE, DISPATCH_PROPERTYPUTREF),
    member_row<D, &D::put_Item>(L"Item", DISPID_VALUE, DISPATCH_PROPERTYPUT),
    member_row<D, &D::get_Item, ResultKind::Variant>(L"Item", DISPID_VALUE, kGetCall),
    member_row<D, &D::get_Key, ResultKind::Variant>(L"Key", OwnMember(3), kGetCall),
    member_row<D, &D::get_Count>(L"Count", OwnMember(4), kGetCall),
    member_row<D, &D::get__NewEnum>(L"_NewEnum", DISPID_NEWENUM, kGetCall),
    member_row<D, &D::Remove>(L"Remove", OwnMember(6), kGetCall),
    member_row<D, &D::RemoveAll>(L"RemoveAll", OwnMember(7), kGetCall),
};
const automation::MemberRows CContents::kMembers = kContentsMembers;

CContents::CContents(std::shared_ptr<VariantStore> store, std::shared_ptr<ApplicationLock> gate, uint64_t page,
                     bool readOnly, const wchar_t* source)
    : m_store(std::move(store)), m_gate(std::move(gate)), m_nPage(page), m_bReadOnly(readOnly), m_szSource(source) {}

HRESULT CContents::Fail(HRESULT hr) const {
    switch (hr) {
    case DISP_E_BADINDEX: return RaiseComponentError(hr, m_szSource, L"The index is out of range.");
    case DISP_E_TYPEMISMATCH: return RaiseComponentError(hr, m_szSource, L"A key must be a name or a position.");
    case E_FAIL: return RaiseComponentError(hr, m_szSource, L"The session has ended; its contents take no values.");
    default: return hr;
    }
}

template <class F>
HRESULT CContents::Write(F&& write) {
    if (m_bReadOnly) return RaiseComponentError(E_ACCESSDENIED, m_szSource, L"These contents cannot be changed.");
    if (!m_gate) return write();
    return m_gate->Write(m_nPage, std::forward<F>(write));
}

HRESULT CContents::get_Item(VARIANT VarKey, VARIANT* pvar) {
    if (pvar == nullptr) return E_POINTER;
    VariantInit(pvar);
    CollectionKey key;
    if (HRESULT hr = ReadCollectionKey(VarKey, &key); FAILED(hr)) return Fail(hr);
    return Fail(m_store->Get(key, pvar));
}

HRESULT CContents::Store(const VARIANT& key, const VARIANT& value, bool byReference) {
    CollectionKey name;
    if (HRESULT hr = ReadCollectionKey(key, &name); FAILED(hr)) return Fail(hr);
    CComVariant copy;
    if (HRESULT hr = VariantCopyInd(&copy, &value); FAILED(hr)) return hr;
    // An assignment by reference must be given an object; the object is kept as it came,
    // VT_UNKNOWN or VT_DISPATCH, so it is handed back as the same.
    if (byReference && copy.vt != VT_DISPATCH && copy.vt != VT_UNKNOWN)
        return RaiseComponentError(ControlError(424), m_szSource, L"Object required");
    CComVariant old;  // released after the store is whole again and unlocked
    return Fail(Write([&] { return m_store->Put(name, std::move(copy), &old); }));
}

HRESULT CContents::put_Item(VARIANT VarKey, VARIANT var) { return Store(VarKey, var, false); }

HRESULT CContents::putref_Item(VARIANT VarKey, VARIANT var) { return Store(VarKey, var, true); }

HRESULT CContents::get_Key(VARIANT VarKey, VARIANT* pvar) {
    if (pvar == nullptr) return E_POINTER;
    VariantInit(pvar);
    CollectionKey key;
    if (HRESULT hr = ReadCollectionKey(VarKey, &key); FAILED(hr)) return Fail(hr);
    BSTR name = nullptr;
    if (key.byIndex) {
        if (HRESULT hr = m_store->KeyAt(key.index, &name); FAILED(hr)) return Fail(hr);
    } else if ((name = SysAllocStringLen(key.name.data(), UINT(key.name.size()))) == nullptr) {
        return E_OUTOFMEMORY;
    }
    pvar->vt = VT_BSTR;
    pvar->bstrVal = name;
    return S_OK;
}

HRESULT CContents::get_Count(int* cStrRet) {
    if (cStrRet == nullptr) return E_POINTER;
    *cStrRet = int(m_store->Count());
    return S_OK;
}

HRESULT CContents::get__NewEnum(IUnknown** ppEnumReturn) { return NewVariantEnum(m_store->Names(), ppEnumReturn); }

HRESULT CContents::Remove(VARIANT VarKey) {
    CollectionKey key;
    if (HRESULT hr = ReadCollectionKey(VarKey, &key); FAILED(hr)) return Fail(hr);
    CComVariant old;
    return Fail(Write([&] { return m_store->Remove(key, &old); }));
}

HRESULT CContents::RemoveAll() {
    std::vector<CComVariant> removed;
    return Write([&] {
        m_store->RemoveAll(&removed);
        return S_OK;
    });
}

}  // namespace veskhost::pages
