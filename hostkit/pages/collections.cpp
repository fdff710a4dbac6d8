// The request collections, their value lists and cookies, Response.Cookies, and what every
// collection shares: reading a key, enumerating, applying an index through a property.
#include <algorithm>
#include <new>

#include "hostkit/pages/page_objects.h"
#include "hostkit/pages/page_text.h"

namespace veskhost::pages {

namespace {

constexpr const wchar_t* kIndexText = L"The index is out of range.";
constexpr const wchar_t* kDateText = L"The date is outside the years 100 to 9999.";
constexpr const wchar_t* kHeaderBreakText = L"A cookie may not hold a carriage return, a line feed or a NUL.";

bool IsNumber(VARTYPE vt) {
    switch (vt) {
    case VT_I1: case VT_I2: case VT_I4: case VT_I8: case VT_UI1: case VT_UI2: case VT_UI4: case VT_UI8:
    case VT_INT: case VT_UINT: case VT_R4: case VT_R8: case VT_CY: case VT_DECIMAL:
        return true;
    default:
        return false;
    }
}

HRESULT SetText(VARIANT* out, std::wstring_view text) {
    BSTR copy = SysAllocStringLen(text.data(), UINT(text.size()));
    if (copy == nullptr) return E_OUTOFMEMORY;
    out->vt = VT_BSTR;
    out->bstrVal = copy;
    return S_OK;
}

HRESULT SetObject(VARIANT* out, IDispatch* object) {
    out->vt = VT_DISPATCH;
    out->pdispVal = object;
    if (object) object->AddRef();
    return S_OK;
}

HRESULT BadIndex(const wchar_t* source) { return RaiseComponentError(DISP_E_BADINDEX, source, kIndexText); }

bool Missing(const VARIANT& v) { return v.vt == VT_ERROR; }

// ---- Enumerator ------------------------------------------------------------------------

using Snapshot = std::vector<CComVariant>;

class CVariantEnum final : public automation::GObject<CVariantEnum, IEnumVARIANT> {
public:
    CVariantEnum(std::shared_ptr<const Snapshot> items, size_t next) : m_items(std::move(items)), m_nNext(next) {}

    HRESULT Next(ULONG celt, VARIANT* rgVar, ULONG* pCeltFetched) override {
        if (pCeltFetched) *pCeltFetched = 0;
        if (celt == 0) return S_OK;
        if (rgVar == nullptr || (celt > 1 && pCeltFetched == nullptr)) return E_INVALIDARG;
        ULONG fetched = 0;
        for (; fetched < celt && m_nNext < m_items->size(); ++fetched, ++m_nNext) {
            VariantInit(&rgVar[fetched]);
            if (HRESULT hr = VariantCopy(&rgVar[fetched], &(*m_items)[m_nNext]); FAILED(hr)) {
                for (ULONG i = 0; i < fetched; ++i) VariantClear(&rgVar[i]);
                return hr;
            }
        }
        if (pCeltFetched) *pCeltFetched = fetched;
        return fetched == celt ? S_OK : S_FALSE;
    }
    HRESULT Skip(ULONG celt) override {
        const size_t left = m_items->size() - m_nNext;
        m_nNext += std::min<size_t>(celt, left);
        return celt <= left ? S_OK : S_FALSE;
    }
    HRESULT Reset() override {
        m_nNext = 0;
        return S_OK;
    }
    HRESULT Clone(IEnumVARIANT** ppEnum) override {
        if (ppEnum == nullptr) return E_POINTER;
        *ppEnum = new (std::nothrow) CVariantEnum(m_items, m_nNext);
        return *ppEnum ? S_OK : E_OUTOFMEMORY;
    }

private:
    std::shared_ptr<const Snapshot> m_items;
    size_t m_nNext;
};

template <class Range, class Text>
HRESULT EnumOfTexts(const Range& range, Text text, IUnknown** out) {
    std::vector<CComVariant> items;
    for (const auto& element : range) {
        CComVariant item;
        if (HRESULT hr = item.SetString(std::wstring(text(element)).c_str()); FAILED(hr)) return hr;
        items.push_back(std::move(item));
    }
    return NewVariantEnum(std::move(items), out);
}

// Response.Cookies("name") = value: the collection's default member assigned with a name.
HRESULT AssignCookie(automation::MemberCall& call) {
    automation::MemberArg key, value;
    if (HRESULT hr = automation::read_input(call, 0, key); FAILED(hr)) return hr;
    if (HRESULT hr = automation::read_input(call, 1, value); FAILED(hr)) return hr;
    auto* cookies = static_cast<CResponseCookies*>(static_cast<IRequestDictionary*>(call.instance));
    return cookies->SetValue(*key.pvar, value.coerced.bstrVal);
}

}  // namespace

// ---- Shared ----------------------------------------------------------------------------

HRESULT ReadCollectionKey(const VARIANT& key, CollectionKey* out) {
    CComVariant value;
    if (HRESULT hr = VariantCopyInd(&value, &key); FAILED(hr)) return hr;
    if (IsNumber(value.vt)) {
        CComVariant number;
        if (FAILED(VariantChangeType(&number, &value, 0, VT_I4))) return DISP_E_TYPEMISMATCH;
        out->byIndex = true;
        out->index = number.lVal >= 1 ? size_t(number.lVal) - 1 : SIZE_MAX;
        return S_OK;
    }
    if (value.vt == VT_EMPTY) {
        out->name.clear();
        return S_OK;
    }
    // A value list or any other object keys by its default value.
    if (value.vt != VT_BSTR && FAILED(value.ChangeType(VT_BSTR))) return DISP_E_TYPEMISMATCH;
    out->name = ToWString(value.bstrVal);
    return S_OK;
}

HRESULT NewVariantEnum(std::vector<CComVariant> items, IUnknown** out) {
    if (out == nullptr) return E_POINTER;
    *out = nullptr;
    std::shared_ptr<const Snapshot> snapshot;
    try {
        snapshot = std::make_shared<const Snapshot>(std::move(items));
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
    *out = new (std::nothrow) CVariantEnum(std::move(snapshot), 0);
    return *out ? S_OK : E_OUTOFMEMORY;
}

namespace detail {

HRESULT ApplyToObject(IDispatch* object, automation::MemberCall& call) {
    const WORD put = call.row.TakesPutValue() ? WORD(call.flags & (DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF)) : 0;
    if (put == 0 && (call.args.Count() == 0 || call.args.Missing(0))) {
        return call.result ? SetObject(call.result, object) : S_OK;
    }
    CComVariant args[2];
    if (HRESULT hr = args[0].Copy(call.args.At(0)); FAILED(hr)) return hr;
    if (put == 0) {
        return automation::InvokeById(object, DISPID_VALUE, DISPATCH_METHOD | DISPATCH_PROPERTYGET,
                                      std::span<CComVariant>(args, 1), call.result);
    }
    if (HRESULT hr = args[1].Copy(call.args.PutValue()); FAILED(hr)) return hr;
    return automation::InvokeById(object, DISPID_VALUE, put, args);
}

}  // namespace detail

// ---- Value lists -----------------------------------------------------------------------

using automation::member_row;
using automation::ResultKind;

constexpr automation::MemberRow kValueListMembers[] = {
    member_row<IStringList, &IStringList::get_Item, ResultKind::Variant>(L"Item", DISPID_VALUE, kGetCall)
        .Optional(automation::MemberDefault{}),
    member_row<IStringList, &IStringList::get_Count>(L"Count", OwnMember(1), kGetCall),
    member_row<IStringList, &IStringList::get__NewEnum>(L"_NewEnum", DISPID_NEWENUM, kGetCall),
};
const automation::MemberRows CValueList::kMembers = kValueListMembers;

HRESULT CValueList::get_Item(VARIANT i, VARIANT* pVariantReturn) {
    if (pVariantReturn == nullptr) return E_POINTER;
    VariantInit(pVariantReturn);
    if (Missing(i)) {
        std::wstring joined;
        for (size_t n = 0; n < m_values.size(); ++n) {
            if (n) joined += L", ";
            joined += m_values[n];
        }
        return SetText(pVariantReturn, joined);
    }
    CComVariant index;
    if (FAILED(VariantChangeType(&index, &i, 0, VT_I4))) return DISP_E_TYPEMISMATCH;
    if (index.lVal < 1 || size_t(index.lVal) > m_values.size()) return BadIndex(kRequestSource);
    return SetText(pVariantReturn, m_values[size_t(index.lVal) - 1]);
}

HRESULT CValueList::get_Count(int* cStrRet) {
    if (cStrRet == nullptr) return E_POINTER;
    *cStrRet = int(m_values.size());
    return S_OK;
}

HRESULT CValueList::get__NewEnum(IUnknown** ppEnumReturn) {
    return EnumOfTexts(m_values, [](const std::wstring& v) -> const std::wstring& { return v; }, ppEnumReturn);
}

// ---- Request cookies -------------------------------------------------------------------

constexpr automation::MemberRow kReadCookieMembers[] = {
    member_row<IReadCookie, &IReadCookie::get_Item, ResultKind::Variant>(L"Item", DISPID_VALUE, kGetCall)
        .Optional(automation::MemberDefault{}),
    member_row<IReadCookie, &IReadCookie::get_HasKeys>(L"HasKeys", OwnMember(1), kGetCall),
    member_row<IReadCookie, &IReadCookie::get__NewEnum>(L"_NewEnum", DISPID_NEWENUM, kGetCall),
    member_row<IReadCookie, &IReadCookie::get_Count>(L"Count", OwnMember(3), kGetCall),
    member_row<IReadCookie, &IReadCookie::get_Key, ResultKind::Variant>(L"Key", OwnMember(4), kGetCall),
};
const automation::MemberRows CReadCookie::kMembers = kReadCookieMembers;

CReadCookie::CReadCookie(bool sent, std::string_view rawValue) : m_bSent(sent), m_value(FormDecode(rawValue)) {
    if (rawValue.find('=') == rawValue.npos) return;
    ForEachFormField(rawValue, [this](std::wstring name, std::wstring value) {
        m_keys.emplace_back(std::move(name), std::move(value));
    });
}

HRESULT CReadCookie::get_Item(VARIANT Var, VARIANT* pVariantReturn) {
    if (pVariantReturn == nullptr) return E_POINTER;
    VariantInit(pVariantReturn);
    if (Missing(Var)) return SetText(pVariantReturn, m_value);
    CollectionKey key;
    if (HRESULT hr = ReadCollectionKey(Var, &key); FAILED(hr)) return hr;
    if (!key.byIndex) {
        const std::wstring folded = FoldKey(key.name);
        for (const auto& [name, value] : m_keys) {
            if (FoldKey(name) == folded) return SetText(pVariantReturn, value);
        }
        return SetText(pVariantReturn, L"");
    }
    if (m_keys.empty()) {
        if (m_bSent && key.index == 0) return SetText(pVariantReturn, m_value);
        return BadIndex(kRequestSource);
    }
    if (key.index >= m_keys.size()) return BadIndex(kRequestSource);
    return SetText(pVariantReturn, m_keys[key.index].second);
}

HRESULT CReadCookie::get_HasKeys(VARIANT_BOOL* pfHasKeys) {
    if (pfHasKeys == nullptr) return E_POINTER;
    *pfHasKeys = m_keys.empty() ? VARIANT_FALSE : VARIANT_TRUE;
    return S_OK;
}

HRESULT CReadCookie::get__NewEnum(IUnknown** ppEnumReturn) {
    if (!m_keys.empty()) {
        return EnumOfTexts(m_keys, [](const auto& entry) -> const std::wstring& { return entry.first; }, ppEnumReturn);
    }
    std::vector<std::wstring> sent;
    if (m_bSent) sent.push_back(m_value);
    return EnumOfTexts(sent, [](const std::wstring& v) -> const std::wstring& { return v; }, ppEnumReturn);
}

HRESULT CReadCookie::get_Count(int* cStrRet) {
    if (cStrRet == nullptr) return E_POINTER;
    *cStrRet = m_keys.empty() ? (m_bSent ? 1 : 0) : int(m_keys.size());
    return S_OK;
}

HRESULT CReadCookie::get_Key(VARIANT VarKey, VARIANT* pvar) {
    if (pvar == nullptr) return E_POINTER;
    VariantInit(pvar);
    CollectionKey key;
    if (HRESULT hr = ReadCollectionKey(VarKey, &key); FAILED(hr)) return hr;
    if (key.byIndex) {
        if (key.index >= m_keys.size()) return BadIndex(kRequestSource);
        return SetText(pvar, m_keys[key.index].first);
    }
    const std::wstring folded = FoldKey(key.name);
    for (const auto& entry : m_keys) {
        if (FoldKey(entry.first) == folded) return SetText(pvar, entry.first);
    }
    return SetText(pvar, L"");
}

// ---- Request collections ---------------------------------------------------------------

void FieldList::Add(std::wstring name, std::wstring value) {
    auto [it, added] = m_index.emplace(FoldKey(name), m_fields.size());
    if (added) m_fields.push_back({std::move(name), {}});
    m_fields[it->second].values.push_back(std::move(value));
}

constexpr automation::MemberRow kRequestCollectionMembers[] = {
    member_row<IRequestDictionary, &IRequestDictionary::get_Item, ResultKind::Variant>(L"Item", DISPID_VALUE, kGetCall)
        .Optional(automation::MemberDefault{}),
    member_row<IRequestDictionary, &IRequestDictionary::get__NewEnum>(L"_NewEnum", DISPID_NEWENUM, kGetCall),
    member_row<IRequestDictionary, &IRequestDictionary::get_Count>(L"Count", OwnMember(2), kGetCall),
    member_row<IRequestDictionary, &IRequestDictionary::get_Key, ResultKind::Variant>(L"Key", OwnMember(3), kGetCall),
};
const automation::MemberRows CRequestCollection::kMembers = kRequestCollectionMembers;

CComPtr<CRequestCollection> CRequestCollection::OfFields(std::vector<FieldList::Field> fields, std::wstring rawText) {
    CComPtr<CRequestCollection> collection;
    collection.Attach(new CRequestCollection(false, std::move(rawText)));
    for (FieldList::Field& field : fields) {
        CComPtr<CValueList> list;
        list.Attach(new CValueList(std::move(field.values)));
        collection->Append(std::move(field.name), list.Get(), list.Get());
    }
    return collection;
}

CComPtr<CRequestCollection> CRequestCollection::OfCookies(const std::vector<std::pair<std::string, std::string>>& cookies,
                                                          std::wstring rawText) {
    CComPtr<CRequestCollection> collection;
    collection.Attach(new CRequestCollection(true, std::move(rawText)));
    for (const auto& [rawName, rawValue] : cookies) {
        std::wstring name = FormDecode(rawName);
        if (collection->Find(name) != nullptr) continue;
        CComPtr<CReadCookie> cookie;
        cookie.Attach(new CReadCookie(true, rawValue));
        collection->Append(std::move(name), static_cast<IReadCookie*>(cookie.Get()), cookie.Get());
    }
    return collection;
}

void CRequestCollection::Append(std::wstring name, IDispatch* item, PagePart* part) {
    m_index.emplace(FoldKey(name), m_entries.size());
    m_entries.push_back({std::move(name), CComPtr<IDispatch>::Share(item), part});
}

IDispatch* CRequestCollection::Find(std::wstring_view name) const {
    const auto found = m_index.find(FoldKey(name));
    return found == m_index.end() ? nullptr : m_entries[found->second].item.Get();
}

HRESULT CRequestCollection::EmptyItem(IDispatch** out) const {
    if (m_bCookies) {
        *out = static_cast<IReadCookie*>(new (std::nothrow) CReadCookie(false, {}));
    } else {
        *out = new (std::nothrow) CValueList({});
    }
    return *out ? S_OK : E_OUTOFMEMORY;
}

HRESULT CRequestCollection::get_Item(VARIANT Var, VARIANT* pVariantReturn) {
    if (pVariantReturn == nullptr) return E_POINTER;
    VariantInit(pVariantReturn);
    if (Missing(Var)) return SetText(pVariantReturn, m_raw);
    CollectionKey key;
    if (HRESULT hr = ReadCollectionKey(Var, &key); FAILED(hr)) return hr;
    if (key.byIndex) {
        if (key.index >= m_entries.size()) return BadIndex(kRequestSource);
        return SetObject(pVariantReturn, m_entries[key.index].item.Get());
    }
    if (IDispatch* found = Find(key.name)) return SetObject(pVariantReturn, found);
    CComPtr<IDispatch> empty;
    if (HRESULT hr = EmptyItem(empty.Receive()); FAILED(hr)) return hr;
    pVariantReturn->vt = VT_DISPATCH;
    pVariantReturn->pdispVal = empty.Detach();
    return S_OK;
}

HRESULT CRequestCollection::get__NewEnum(IUnknown** ppEnumReturn) {
    return EnumOfTexts(m_entries, [](const Entry& e) -> const std::wstring& { return e.name; }, ppEnumReturn);
}

HRESULT CRequestCollection::get_Count(int* cStrRet) {
    if (cStrRet == nullptr) return E_POINTER;
    *cStrRet = int(m_entries.size());
    return S_OK;
}

HRESULT CRequestCollection::get_Key(VARIANT VarKey, VARIANT* pvar) {
    if (pvar == nullptr) return E_POINTER;
    VariantInit(pvar);
    CollectionKey key;
    if (HRESULT hr = ReadCollectionKey(VarKey, &key); FAILED(hr)) return hr;
    if (key.byIndex) {
        if (key.index >= m_entries.size()) return BadIndex(kRequestSource);
        return SetText(pvar, m_entries[key.index].name);
    }
    const auto found = m_index.find(FoldKey(key.name));
    return SetText(pvar, found == m_index.end() ? std::wstring() : m_entries[found->second].name);
}

ULONG CRequestCollection::ForeignReferences() const {
    ULONG held = RefCount() - 1;
    for (const Entry& entry : m_entries) held += entry.part->ForeignReferences();
    return held;
}

// ---- Response cookies ------------------------------------------------------------------

HRESULT ResponseState::CheckOpen() const {
    return closed ? RaiseComponentError(E_FAIL, kResponseSource, kPageEndedText) : S_OK;
}

HRESULT ResponseState::CheckHeadersOpen() const {
    if (HRESULT hr = CheckOpen(); FAILED(hr)) return hr;
    if (headersSent) {
        return RaiseComponentError(E_FAIL, kResponseSource,
                                   L"The headers have been sent with the first output; they can no longer change.");
    }
    return S_OK;
}

constexpr automation::MemberRow kWriteCookieMembers[] = {
    member_row<IWriteCookie, &IWriteCookie::put_Item>(L"Item", DISPID_VALUE, DISPATCH_PROPERTYPUT)
        .Optional(automation::MemberDefault{}),
    date_put_row<&IWriteCookie::put_Expires>(L"Expires", OwnMember(1)),
    member_row<IWriteCookie, &IWriteCookie::put_Domain>(L"Domain", OwnMember(2), DISPATCH_PROPERTYPUT),
    member_row<IWriteCookie, &IWriteCookie::put_Path>(L"Path", OwnMember(3), DISPATCH_PROPERTYPUT),
    member_row<IWriteCookie, &IWriteCookie::put_Secure>(L"Secure", OwnMember(4), DISPATCH_PROPERTYPUT),
    member_row<IWriteCookie, &IWriteCookie::get_HasKeys>(L"HasKeys", OwnMember(5), kGetCall),
    member_row<IWriteCookie, &IWriteCookie::get__NewEnum>(L"_NewEnum", DISPID_NEWENUM, kGetCall),
};
const automation::MemberRows CWriteCookie::kMembers = kWriteCookieMembers;

HRESULT CWriteCookie::put_Item(VARIANT key, BSTR bstrValue) {
    if (HRESULT hr = m_state->CheckHeadersOpen(); FAILED(hr)) return hr;
    const std::wstring value = ToWString(bstrValue);
    if (BreaksHeader(value)) return RaiseComponentError(E_INVALIDARG, kResponseSource, kHeaderBreakText);
    PageCookie& cookie = Cookie();
    if (Missing(key)) {
        cookie.value = value;
        cookie.keys.clear();
        return S_OK;
    }
    CollectionKey name;
    if (HRESULT hr = ReadCollectionKey(key, &name); FAILED(hr)) return hr;
    if (name.byIndex) {
        if (name.index >= cookie.keys.size()) return BadIndex(kResponseSource);
        cookie.keys[name.index].second = value;
        return S_OK;
    }
    if (BreaksHeader(name.name)) return RaiseComponentError(E_INVALIDARG, kResponseSource, kHeaderBreakText);
    cookie.value.clear();
    const std::wstring folded = FoldKey(name.name);
    for (auto& entry : cookie.keys) {
        if (FoldKey(entry.first) == folded) {
            entry.second = value;
            return S_OK;
        }
    }
    cookie.keys.emplace_back(std::move(name.name), value);
    return S_OK;
}

HRESULT CWriteCookie::put_Expires(DATE dtExpires) {
    if (HRESULT hr = m_state->CheckHeadersOpen(); FAILED(hr)) return hr;
    if (!IsAutomationDate(dtExpires)) return RaiseComponentError(E_INVALIDARG, kResponseSource, kDateText);
    Cookie().expires = dtExpires;
    return S_OK;
}

HRESULT CWriteCookie::put_Domain(BSTR bstrDomain) {
    if (HRESULT hr = m_state->CheckHeadersOpen(); FAILED(hr)) return hr;
    std::wstring domain = ToWString(bstrDomain);
    // The attribute is written as it is, so it may not end the cookie's own text either.
    if (BreaksHeader(domain) || domain.find(L';') != domain.npos)
        return RaiseComponentError(E_INVALIDARG, kResponseSource, kHeaderBreakText);
    Cookie().domain = std::move(domain);
    return S_OK;
}

HRESULT CWriteCookie::put_Path(BSTR bstrPath) {
    if (HRESULT hr = m_state->CheckHeadersOpen(); FAILED(hr)) return hr;
    std::wstring path = ToWString(bstrPath);
    if (BreaksHeader(path) || path.find(L';') != path.npos)
        return RaiseComponentError(E_INVALIDARG, kResponseSource, kHeaderBreakText);
    Cookie().path = std::move(path);
    return S_OK;
}

HRESULT CWriteCookie::put_Secure(VARIANT_BOOL fSecure) {
    if (HRESULT hr = m_state->CheckHeadersOpen(); FAILED(hr)) return hr;
    Cookie().secure = fSecure != VARIANT_FALSE;
    return S_OK;
}

HRESULT CWriteCookie::get_HasKeys(VARIANT_BOOL* pfHasKeys) {
    if (pfHasKeys == nullptr) return E_POINTER;
    if (HRESULT hr = m_state->CheckOpen(); FAILED(hr)) return hr;
    *pfHasKeys = Cookie().keys.empty() ? VARIANT_FALSE : VARIANT_TRUE;
    return S_OK;
}

HRESULT CWriteCookie::get__NewEnum(IUnknown** ppEnumReturn) {
    if (HRESULT hr = m_state->CheckOpen(); FAILED(hr)) return hr;
    return EnumOfTexts(Cookie().keys, [](const auto& entry) -> const std::wstring& { return entry.first; },
                       ppEnumReturn);
}

constexpr automation::MemberRow kResponseCookiesMembers[] = {
    automation::raw_row(L"Item", DISPID_VALUE, DISPATCH_PROPERTYPUT, &AssignCookie,
                        {automation::ArgKind::VariantValue, automation::ArgKind::Bstr}),
    member_row<IRequestDictionary, &IRequestDictionary::get_Item, ResultKind::Variant>(L"Item", DISPID_VALUE, kGetCall)
        .Optional(automation::MemberDefault{}),
    member_row<IRequestDictionary, &IRequestDictionary::get__NewEnum>(L"_NewEnum", DISPID_NEWENUM, kGetCall),
    member_row<IRequestDictionary, &IRequestDictionary::get_Count>(L"Count", OwnMember(2), kGetCall),
    member_row<IRequestDictionary, &IRequestDictionary::get_Key, ResultKind::Variant>(L"Key", OwnMember(3), kGetCall),
};
const automation::MemberRows CResponseCookies::kMembers = kResponseCookiesMembers;

// Once the page has ended its cookies belong to the PageResponse, so every member that reads
// them checks the page first.
HRESULT CResponseCookies::CookieFor(const VARIANT& key, CWriteCookie** out) {
    *out = nullptr;
    if (HRESULT hr = m_state->CheckOpen(); FAILED(hr)) return hr;
    CollectionKey name;
    if (HRESULT hr = ReadCollectionKey(key, &name); FAILED(hr)) return hr;
    if (name.byIndex) {
        if (name.index >= m_cookies.size()) return BadIndex(kResponseSource);
        return m_cookies[name.index].CopyTo(out);
    }
    const std::wstring folded = FoldKey(name.name);
    for (size_t i = 0; i < m_cookies.size(); ++i) {
        if (FoldKey(m_state->out.cookies[i].name) == folded) return m_cookies[i].CopyTo(out);
    }
    if (HRESULT hr = m_state->CheckHeadersOpen(); FAILED(hr)) return hr;
    if (name.name.empty() || BreaksHeader(name.name))
        return RaiseComponentError(E_INVALIDARG, kResponseSource, L"A cookie needs a name without line breaks.");
    CComPtr<CWriteCookie> cookie;
    cookie.Attach(new (std::nothrow) CWriteCookie(m_state, m_cookies.size()));
    if (!cookie) return E_OUTOFMEMORY;
    PageCookie made;
    made.name = std::move(name.name);
    m_state->out.cookies.push_back(std::move(made));
    m_cookies.push_back(CComPtr<CWriteCookie>::Share(cookie.Get()));
    *out = cookie.Detach();
    return S_OK;
}

HRESULT CResponseCookies::get_Item(VARIANT Var, VARIANT* pVariantReturn) {
    if (pVariantReturn == nullptr) return E_POINTER;
    VariantInit(pVariantReturn);
    if (Missing(Var)) return SetText(pVariantReturn, L"");
    CComPtr<CWriteCookie> cookie;
    if (HRESULT hr = CookieFor(Var, cookie.Receive()); FAILED(hr)) return hr;
    pVariantReturn->vt = VT_DISPATCH;
    pVariantReturn->pdispVal = cookie.Detach();
    return S_OK;
}

HRESULT CResponseCookies::SetValue(VARIANT key, BSTR value) {
    CComPtr<CWriteCookie> cookie;
    if (HRESULT hr = CookieFor(key, cookie.Receive()); FAILED(hr)) return hr;
    VARIANT whole{};
    whole.vt = VT_ERROR;
    whole.scode = DISP_E_PARAMNOTFOUND;
    return cookie->put_Item(whole, value);
}

HRESULT CResponseCookies::get__NewEnum(IUnknown** ppEnumReturn) {
    if (HRESULT hr = m_state->CheckOpen(); FAILED(hr)) return hr;
    return EnumOfTexts(m_state->out.cookies, [](const PageCookie& c) -> const std::wstring& { return c.name; },
                       ppEnumReturn);
}

HRESULT CResponseCookies::get_Count(int* cStrRet) {
    if (cStrRet == nullptr) return E_POINTER;
    *cStrRet = int(m_cookies.size());
    return S_OK;
}

HRESULT CResponseCookies::get_Key(VARIANT VarKey, VARIANT* pvar) {
    if (pvar == nullptr) return E_POINTER;
    VariantInit(pvar);
    if (HRESULT hr = m_state->CheckOpen(); FAILED(hr)) return hr;
    CollectionKey key;
    if (HRESULT hr = ReadCollectionKey(VarKey, &key); FAILED(hr)) return hr;
    if (!key.byIndex) return SetText(pvar, key.name);
    if (key.index >= m_cookies.size()) return BadIndex(kResponseSource);
    return SetText(pvar, m_state->out.cookies[key.index].name);
}

ULONG CResponseCookies::ForeignReferences() const {
    ULONG held = RefCount() - 1;
    for (const auto& cookie : m_cookies) held += cookie->ForeignReferences();
    return held;
}

}  // namespace veskhost::pages
