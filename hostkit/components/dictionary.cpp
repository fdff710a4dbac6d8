// The dictionary component: keys and items in insertion order, a hash index by key identity,
// and the published dictionary members through its dual interface.
#include <list>
#include <memory>
#include <new>
#include <unordered_map>
#include <vector>

#include "hostkit/components/component_support.h"
#include "hostkit/components/components.h"
#include "hostkit/components/dictionary_key.h"
#include "hostkit/runtime/class_registry.h"

namespace veskhost {

const IID IID_IEnumVARIANT = {0x00020404, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
const IID IID_IDictionary = {0x42C642C1, 0x97E1, 0x11CF, {0x97, 0x8F, 0x00, 0xA0, 0x24, 0x63, 0xE0, 0x6F}};

namespace {

constexpr const wchar_t* kSource = L"Scripting.Dictionary";

// The dictionary's failures, with the published codes and texts.
const HRESULT kKeyExists = ControlError(457);
const HRESULT kNotFound = ControlError(32811);
const HRESULT kInvalidCall = ControlError(5);
const HRESULT kTypeMismatch = ControlError(13);
constexpr const wchar_t* kKeyExistsText = L"This key is already associated with an element of this collection";
constexpr const wchar_t* kNotFoundText = L"Element not found";
constexpr const wchar_t* kInvalidCallText = L"Invalid procedure call or argument";
constexpr const wchar_t* kTypeMismatchText = L"Type mismatch";

// An array of VARIANTs (lower bound 0) holding copies of the values.
template <class Range, class Pick>
HRESULT MakeVariantArray(const Range& range, size_t count, Pick pick, VARIANT* out) {
    CComSafeArray array;
    array.Attach(SafeArrayCreateVector(VT_VARIANT, 0, ULONG(count)));
    if (!array) return E_OUTOFMEMORY;
    VARIANT* slots = nullptr;
    if (FAILED(SafeArrayAccessData(array.Get(), reinterpret_cast<void**>(&slots)))) return E_UNEXPECTED;
    HRESULT hr = S_OK;
    size_t i = 0;
    for (const auto& element : range) {
        if (i == count) break;
        VariantInit(&slots[i]);
        if (FAILED(hr = VariantCopy(&slots[i++], &pick(element)))) break;
    }
    SafeArrayUnaccessData(array.Get());
    if (FAILED(hr)) return hr;
    out->vt = VT_ARRAY | VT_VARIANT;
    out->parray = array.Detach();
    return S_OK;
}

// ---- Enumerator ------------------------------------------------------------------------

using KeySnapshot = std::vector<CComVariant>;

class CDictionaryEnum final : public automation::GObject<CDictionaryEnum, IEnumVARIANT> {
public:
    CDictionaryEnum(std::shared_ptr<const KeySnapshot> keys, size_t next) : m_keys(std::move(keys)), m_nNext(next) {}

    HRESULT Next(ULONG celt, VARIANT* rgVar, ULONG* pCeltFetched) override {
        if (pCeltFetched) *pCeltFetched = 0;
        if (celt == 0) return S_OK;
        if (rgVar == nullptr || (celt > 1 && pCeltFetched == nullptr)) return E_INVALIDARG;
        ULONG fetched = 0;
        for (; fetched < celt && m_nNext < m_keys->size(); ++fetched, ++m_nNext) {
            VariantInit(&rgVar[fetched]);
            if (HRESULT hr = VariantCopy(&rgVar[fetched], &(*m_keys)[m_nNext]); FAILED(hr)) {
                for (ULONG i = 0; i < fetched; ++i) VariantClear(&rgVar[i]);
                return hr;
            }
        }
        if (pCeltFetched) *pCeltFetched = fetched;
        return fetched == celt ? S_OK : S_FALSE;
    }
    HRESULT Skip(ULONG celt) override {
        const size_t left = m_keys->size() - m_nNext;
        m_nNext += std::min<size_t>(celt, left);
        return celt <= left ? S_OK : S_FALSE;
    }
    HRESULT Reset() override {
        m_nNext = 0;
        return S_OK;
    }
    HRESULT Clone(IEnumVARIANT** ppEnum) override {
        if (ppEnum == nullptr) return E_POINTER;
        *ppEnum = new (std::nothrow) CDictionaryEnum(m_keys, m_nNext);
        return *ppEnum ? S_OK : E_OUTOFMEMORY;
    }

private:
    std::shared_ptr<const KeySnapshot> m_keys;
    size_t m_nNext;
};

// ---- Late-bound members ----------------------------------------------------------------

// CompareMode counts its arguments before it looks at the flags: a call that is neither a get
// nor a put is refused only after that.
HRESULT CompareModeNotSelected(automation::MemberCall&) { return DISP_E_MEMBERNOTFOUND; }

using D = IZULibDictionary;
using automation::member_row;
using automation::ResultKind;

// The published names and DISPIDs of the dictionary's members. Item is the default member:
// any call that is not a put reads it.
constexpr automation::MemberRow kDictionaryMembers[] = {
    member_row<D, &D::putref_Item>(L"Item", DISPID_VALUE, DISPATCH_PROPERTYPUTREF),
    member_row<D, &D::put_Item>(L"Item", DISPID_VALUE, DISPATCH_PROPERTYPUT),
    member_row<D, &D::get_Item, ResultKind::Variant>(L"Item", DISPID_VALUE, automation::kAnyCall),
    member_row<D, &D::Add>(L"Add", 1, kGetCall),
    member_row<D, &D::get_Count>(L"Count", 2, kGetCall),
    member_row<D, &D::Exists>(L"Exists", 3, kGetCall),
    member_row<D, &D::Items, ResultKind::Variant>(L"Items", 4, kGetCall),
    member_row<D, &D::put_Key>(L"Key", 5, DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF),
    member_row<D, &D::Keys, ResultKind::Variant>(L"Keys", 6, kGetCall),
    member_row<D, &D::Remove>(L"Remove", 7, kGetCall),
    member_row<D, &D::RemoveAll>(L"RemoveAll", 8, kGetCall),
    member_row<D, &D::put_CompareMode>(L"CompareMode", 9, DISPATCH_PROPERTYPUT),
    member_row<D, &D::get_CompareMode>(L"CompareMode", 9, kGetCall),
    automation::raw_row(L"CompareMode", 9, automation::kAnyCall, &CompareModeNotSelected),
    member_row<D, &D::_NewEnum>(L"_NewEnum", DISPID_NEWENUM, kGetCall),
    member_row<D, &D::get_HashVal, ResultKind::Variant>(L"HashVal", 10, kGetCall),
};

// ---- Dictionary ------------------------------------------------------------------------

class CHostDictionary final : public GComponent<CHostDictionary, IZULibDictionary, ISupportErrorInfo,
                                                automation::Alias<IZULibDictionary, IID_IDictionary>> {
public:
    static constexpr automation::MemberRows kMembers = kDictionaryMembers;

    CHostDictionary() = default;

    // IZULibDictionary
    HRESULT putref_Item(VARIANT* Key, VARIANT* pRetItem) override { return Store(Key, pRetItem); }
    HRESULT put_Item(VARIANT* Key, VARIANT* pRetItem) override { return Store(Key, pRetItem); }
    HRESULT get_Item(VARIANT* Key, VARIANT* pRetItem) override;
    HRESULT Add(VARIANT* Key, VARIANT* Item) override;
    HRESULT get_Count(LONG* pCount) override;
    HRESULT Exists(VARIANT* Key, VARIANT_BOOL* pExists) override;
    HRESULT Items(VARIANT* pItemsArray) override;
    HRESULT put_Key(VARIANT* Key, VARIANT* rhs) override;
    HRESULT Keys(VARIANT* pKeysArray) override;
    HRESULT Remove(VARIANT* Key) override;
    HRESULT RemoveAll() override;
    HRESULT put_CompareMode(Scripting::CompareMethod pcomp) override;
    HRESULT get_CompareMode(Scripting::CompareMethod* pcomp) override;
    HRESULT _NewEnum(IUnknown** ppunk) override;
    HRESULT get_HashVal(VARIANT* Key, VARIANT* HashVal) override;

private:
    // Releasing a value the dictionary held may run a script that calls this dictionary again,
    // even to remove the entry the value came from. So a value leaves its slot before it is
    // released, and is released only once the dictionary is whole again (count, index and
    // order agreeing), at the end of the member.
    struct Entry {
        CComVariant key;
        CComVariant item;
    };
    using EntryList = std::list<Entry>;

    HRESULT KeyOf(const VARIANT* value, DictionaryKey* key);
    // Adds a new entry holding a copy of the key and the item; the index then points at it.
    HRESULT Insert(DictionaryKey&& id, const VARIANT* key, CComVariant&& item, EntryList::iterator* where);
    HRESULT Store(VARIANT* key, VARIANT* item);

    EntryList m_entries;  // insertion order
    std::unordered_map<DictionaryKey, EntryList::iterator, DictionaryKeyHash> m_index;
    Scripting::CompareMethod m_nCompareMode = Scripting::BinaryCompare;
};

HRESULT CHostDictionary::KeyOf(const VARIANT* value, DictionaryKey* key) {
    if (value == nullptr) return E_POINTER;
    const HRESULT hr = MakeDictionaryKey(value, m_nCompareMode != Scripting::BinaryCompare, key);
    if (hr == DISP_E_TYPEMISMATCH) return RaiseComponentError(kTypeMismatch, kSource, kTypeMismatchText);
    return hr;
}

HRESULT CHostDictionary::Insert(DictionaryKey&& id, const VARIANT* key, CComVariant&& item,
                                EntryList::iterator* where) {
    CComVariant keyCopy;
    if (HRESULT hr = VariantCopyInd(&keyCopy, key); FAILED(hr)) return hr;
    // The entry is linked and indexed while still empty, so undoing a failed step releases
    // nothing; copies not taken in are released on the way out, after the undo.
    try {
        m_entries.emplace_back();
        const auto it = std::prev(m_entries.end());
        try {
            m_index.emplace(std::move(id), it);
        } catch (...) {
            m_entries.pop_back();
            throw;
        }
        it->key = std::move(keyCopy);
        it->item = std::move(item);
        if (where) *where = it;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
    return S_OK;
}

HRESULT CHostDictionary::Store(VARIANT* key, VARIANT* item) {
    if (item == nullptr) return E_POINTER;
    DictionaryKey id;
    if (HRESULT hr = KeyOf(key, &id); FAILED(hr)) return hr;
    CComVariant value;
    if (HRESULT hr = VariantCopyInd(&value, item); FAILED(hr)) return hr;
    auto found = m_index.find(id);
    if (found == m_index.end()) return Insert(std::move(id), key, std::move(value), nullptr);
    CComVariant old(std::move(found->second->item));
    found->second->item = std::move(value);
    return S_OK;
}

HRESULT CHostDictionary::get_Item(VARIANT* Key, VARIANT* pRetItem) {
    if (pRetItem == nullptr) return E_POINTER;
    VariantInit(pRetItem);
    DictionaryKey id;
    if (HRESULT hr = KeyOf(Key, &id); FAILED(hr)) return hr;
    auto found = m_index.find(id);
    EntryList::iterator entry;
    if (found != m_index.end()) {
        entry = found->second;
    } else {
        // Reading a key that is not there adds it with an empty item.
        if (HRESULT hr = Insert(std::move(id), Key, CComVariant(), &entry); FAILED(hr)) return hr;
    }
    return VariantCopy(pRetItem, &entry->item);
}

HRESULT CHostDictionary::Add(VARIANT* Key, VARIANT* Item) {
    if (Item == nullptr) return E_POINTER;
    DictionaryKey id;
    if (HRESULT hr = KeyOf(Key, &id); FAILED(hr)) return hr;
    if (m_index.count(id)) return RaiseComponentError(kKeyExists, kSource, kKeyExistsText);
    CComVariant copy;
    if (HRESULT hr = VariantCopyInd(&copy, Item); FAILED(hr)) return hr;
    return Insert(std::move(id), Key, std::move(copy), nullptr);
}

HRESULT CHostDictionary::get_Count(LONG* pCount) {
    if (pCount == nullptr) return E_POINTER;
    *pCount = LONG(m_entries.size());
    return S_OK;
}

HRESULT CHostDictionary::Exists(VARIANT* Key, VARIANT_BOOL* pExists) {
    if (pExists == nullptr) return E_POINTER;
    DictionaryKey id;
    if (HRESULT hr = KeyOf(Key, &id); FAILED(hr)) return hr;
    *pExists = m_index.count(id) ? VARIANT_TRUE : VARIANT_FALSE;
    return S_OK;
}

HRESULT CHostDictionary::Items(VARIANT* pItemsArray) {
    if (pItemsArray == nullptr) return E_POINTER;
    VariantInit(pItemsArray);
    return MakeVariantArray(m_entries, m_entries.size(), [](const Entry& e) -> const VARIANT& { return e.item; },
                            pItemsArray);
}

HRESULT CHostDictionary::Keys(VARIANT* pKeysArray) {
    if (pKeysArray == nullptr) return E_POINTER;
    VariantInit(pKeysArray);
    return MakeVariantArray(m_entries, m_entries.size(), [](const Entry& e) -> const VARIANT& { return e.key; },
                            pKeysArray);
}

HRESULT CHostDictionary::put_Key(VARIANT* Key, VARIANT* rhs) {
    if (rhs == nullptr) return E_POINTER;
    DictionaryKey oldId, newId;
    if (HRESULT hr = KeyOf(Key, &oldId); FAILED(hr)) return hr;
    if (HRESULT hr = KeyOf(rhs, &newId); FAILED(hr)) return hr;
    auto found = m_index.find(oldId);
    if (found == m_index.end()) return RaiseComponentError(kNotFound, kSource, kNotFoundText);
    auto clash = m_index.find(newId);
    if (clash != m_index.end() && clash != found) return RaiseComponentError(kKeyExists, kSource, kKeyExistsText);

    // The entry keeps its place in the order; only its key and its index slot change.
    CComVariant copy;
    if (HRESULT hr = VariantCopyInd(&copy, rhs); FAILED(hr)) return hr;
    const EntryList::iterator entry = found->second;
    try {
        auto node = m_index.extract(found);
        node.key() = std::move(newId);
        m_index.insert(std::move(node));
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
    CComVariant old(std::move(entry->key));
    entry->key = std::move(copy);
    return S_OK;
}

HRESULT CHostDictionary::Remove(VARIANT* Key) {
    DictionaryKey id;
    if (HRESULT hr = KeyOf(Key, &id); FAILED(hr)) return hr;
    auto found = m_index.find(id);
    if (found == m_index.end()) return RaiseComponentError(kNotFound, kSource, kNotFoundText);
    const EntryList::iterator entry = found->second;
    CComVariant key(std::move(entry->key));
    CComVariant item(std::move(entry->item));
    m_index.erase(found);
    m_entries.erase(entry);
    return S_OK;
}

HRESULT CHostDictionary::RemoveAll() {
    EntryList removed;
    removed.swap(m_entries);
    m_index.clear();
    return S_OK;
}

HRESULT CHostDictionary::put_CompareMode(Scripting::CompareMethod pcomp) {
    // Keys are indexed under the mode in force when they were added, so the mode changes
    // only while the dictionary is empty. Values above DatabaseCompare are locale
    // identifiers and compare text ignoring case.
    if (!m_entries.empty() || pcomp < Scripting::BinaryCompare)
        return RaiseComponentError(kInvalidCall, kSource, kInvalidCallText);
    m_nCompareMode = pcomp;
    return S_OK;
}

HRESULT CHostDictionary::get_CompareMode(Scripting::CompareMethod* pcomp) {
    if (pcomp == nullptr) return E_POINTER;
    *pcomp = m_nCompareMode;
    return S_OK;
}

HRESULT CHostDictionary::_NewEnum(IUnknown** ppunk) {
    if (ppunk == nullptr) return E_POINTER;
    *ppunk = nullptr;
    std::shared_ptr<KeySnapshot> keys;
    try {
        keys = std::make_shared<KeySnapshot>(m_entries.size());
        size_t i = 0;
        for (const Entry& entry : m_entries) {
            if (HRESULT hr = (*keys)[i++].Copy(&entry.key); FAILED(hr)) return hr;
        }
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
    *ppunk = new (std::nothrow) CDictionaryEnum(std::move(keys), 0);
    return *ppunk ? S_OK : E_OUTOFMEMORY;
}

HRESULT CHostDictionary::get_HashVal(VARIANT* Key, VARIANT* HashVal) {
    if (HashVal == nullptr) return E_POINTER;
    VariantInit(HashVal);
    DictionaryKey id;
    if (HRESULT hr = KeyOf(Key, &id); FAILED(hr)) return hr;
    HashVal->vt = VT_I4;
    HashVal->lVal = LONG(DictionaryKeyHash()(id) & 0x7FFFFFFF);
    return S_OK;
}

[[maybe_unused]] const bool g_bDictionaryRegistered =
    RegisterClassCreator(CLSID_Dictionary, L"Scripting.Dictionary", &CreateHostDictionary);

}  // namespace

HRESULT CreateHostDictionary(IUnknown* outer, REFIID riid, void** ppv) {
    return CreateWithoutOuter(outer, riid, ppv, &CHostDictionary::CreateInstance<>);
}

}  // namespace veskhost
