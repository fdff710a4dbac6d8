// The site's Application: the state pages share, and the view one page has of it.
#include <atomic>

#include "hostkit/pages/page_objects.h"

namespace veskhost {

PageApplication::PageApplication() : m_state(std::make_shared<State>()) {}

// Values are released here, after the state no longer lists them.
PageApplication::~PageApplication() {
    std::vector<CComVariant> removed;
    m_state->contents.End(&removed);
}

HRESULT PageApplication::SetValue(const wchar_t* name, const VARIANT& value) {
    pages::CollectionKey key;
    key.name = name ? name : L"";
    CComVariant copy;
    if (HRESULT hr = VariantCopyInd(&copy, &value); FAILED(hr)) return hr;
    CComVariant old;
    return m_state->lock.Write(pages::kHostWriter, [&] { return m_state->contents.Put(key, std::move(copy), &old); });
}

CComVariant PageApplication::Value(const wchar_t* name) const {
    pages::CollectionKey key;
    key.name = name ? name : L"";
    CComVariant value;
    m_state->contents.Get(key, &value);
    return value;
}

size_t PageApplication::Count() const { return m_state->contents.Count(); }

bool PageApplication::Locked() const { return m_state->lock.Owner() != 0; }

}  // namespace veskhost

namespace veskhost::pages {

using automation::member_row;
using automation::ResultKind;
using A = IApplicationObject;

constexpr automation::MemberRow kApplicationMembers[] = {
    member_row<A, &A::putref_Value>(L"Value", DISPID_VALUE, DISPATCH_PROPERTYPUTREF),
    member_row<A, &A::put_Value>(L"Value", DISPID_VALUE, DISPATCH_PROPERTYPUT),
    member_row<A, &A::get_Value, ResultKind::Variant>(L"Value", DISPID_VALUE, kGetCall),
    member_row<A, &A::Lock>(L"Lock", OwnMember(3), kGetCall),
    member_row<A, &A::UnLock>(L"UnLock", OwnMember(4), kGetCall),
    object_row<&A::get_StaticObjects>(L"StaticObjects", OwnMember(5)),
    object_put_row<&A::get_Contents>(L"Contents", OwnMember(6), DISPATCH_PROPERTYPUTREF),
    object_put_row<&A::get_Contents>(L"Contents", OwnMember(6), DISPATCH_PROPERTYPUT),
    object_row<&A::get_Contents>(L"Contents", OwnMember(6)),
};
const automation::MemberRows CApplicationObject::kMembers = kApplicationMembers;

CApplicationObject::CApplicationObject(std::shared_ptr<PageApplication::State> state, uint64_t page)
    : m_state(std::move(state)), m_nPage(page) {
    const std::shared_ptr<ApplicationLock> gate(m_state, &m_state->lock);
    m_spContents.Attach(new CContents(std::shared_ptr<VariantStore>(m_state, &m_state->contents), gate, page, false,
                                      kApplicationSource));
    m_spStatic.Attach(new CContents(std::shared_ptr<VariantStore>(m_state, &m_state->staticObjects), nullptr, page,
                                    true, kApplicationSource));
}

HRESULT CApplicationObject::get_Value(BSTR bstrValue, VARIANT* pvar) {
    VARIANT key{};
    key.vt = VT_BSTR;
    key.bstrVal = bstrValue;
    return m_spContents->get_Item(key, pvar);
}

HRESULT CApplicationObject::put_Value(BSTR bstrValue, VARIANT var) {
    VARIANT key{};
    key.vt = VT_BSTR;
    key.bstrVal = bstrValue;
    return m_spContents->put_Item(key, var);
}

HRESULT CApplicationObject::putref_Value(BSTR bstrValue, VARIANT var) {
    VARIANT key{};
    key.vt = VT_BSTR;
    key.bstrVal = bstrValue;
    return m_spContents->putref_Item(key, var);
}

HRESULT CApplicationObject::Lock() {
    // After its page a view could take the lock with no page left to release it.
    if (m_bClosed) return RaiseComponentError(E_FAIL, kApplicationSource, kPageEndedText);
    m_state->lock.Lock(m_nPage);
    return S_OK;
}

// Unlocking what the page does not hold does nothing.
HRESULT CApplicationObject::UnLock() {
    m_state->lock.Unlock(m_nPage);
    return S_OK;
}

HRESULT CApplicationObject::get_StaticObjects(IVariantDictionary** ppProperties) {
    return HandOut(m_spStatic, ppProperties);
}

HRESULT CApplicationObject::get_Contents(IVariantDictionary** ppProperties) {
    return HandOut(m_spContents, ppProperties);
}

ULONG CApplicationObject::ForeignReferences() const {
    return RefCount() - 1 + m_spContents->ForeignReferences() + m_spStatic->ForeignReferences();
}

void CApplicationObject::EndPage() {
    m_bClosed = true;
    m_state->lock.Release(m_nPage);
}

}  // namespace veskhost::pages
