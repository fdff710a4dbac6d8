// The page objects' classes and the state they share, for the files of this folder only.
//
// Per page the host makes a context, a Server, a Request, a Response, and views of the shared
// Application and Session; each holds what it made for the page (collections, value lists,
// cookies, Contents views) once, so that at the end of the page every count above one is a
// reference someone else still holds. What outlives pages (the Application's and the
// sessions' Contents) lives in stores that the per-page objects point at.
//
// A script may call back into any of these objects from inside a call (a value's release, a
// default member read during a conversion). So no store is changed while a value it held is
// released: old values leave their slot under the store's lock and are released after it.
#pragma once

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "hostkit/components/component_support.h"
#include "hostkit/components/components.h"
#include "hostkit/pages/page_host.h"

namespace veskhost::pages {

using PravoltTypeLibrary::IApplicationObject;
using PravoltTypeLibrary::IASPError;
using PravoltTypeLibrary::IReadCookie;
using PravoltTypeLibrary::IRequest;
using PravoltTypeLibrary::IRequestDictionary;
using PravoltTypeLibrary::IResponse;
using PravoltTypeLibrary::IServer;
using PravoltTypeLibrary::ISessionObject;
using PravoltTypeLibrary::IStringList;
using PravoltTypeLibrary::IVariantDictionary;
using PravoltTypeLibrary::IWriteCookie;

// The sources error information names.
inline constexpr const wchar_t* kServerSource = L"Server object";
inline constexpr const wchar_t* kApplicationSource = L"Application object";
inline constexpr const wchar_t* kRequestSource = L"Request object";
inline constexpr const wchar_t* kResponseSource = L"Response object";
inline constexpr const wchar_t* kSessionSource = L"Session object";

inline constexpr const wchar_t* kPageEndedText = L"The page has ended.";

// The DISPID the type library gives a member it numbers itself: the interface's own members
// count from 0x60020000 by position, a property's accessors sharing the first one's number.
constexpr DISPID OwnMember(int position) { return DISPID(0x60020000 + position); }

// ---- Rows that the typed rows do not cover ---------------------------------------------

namespace detail {

template <class M>
struct ObjectGetter;
template <class C, class R>
struct ObjectGetter<HRESULT (C::*)(R**)> {
    using Class = C;
    using Result = R;
};

template <class M>
struct ScalarSetter;
template <class C, class T>
struct ScalarSetter<HRESULT (C::*)(T)> {
    using Class = C;
};

// The object a property gave, as the call's result; or, when the call carries an index (and
// for a put, a value), the object's default member called with them, so that
// Request.QueryString("a") reads Request.QueryString's Item "a" and Session.Contents("a") = 1
// assigns it.
HRESULT ApplyToObject(IDispatch* object, automation::MemberCall& call);

template <auto M>
HRESULT ObjectProperty(automation::MemberCall& call) {
    using G = ObjectGetter<decltype(M)>;
    CComPtr<typename G::Result> object;
    auto* self = static_cast<typename G::Class*>(call.instance);
    if (HRESULT hr = (self->*M)(object.Receive()); FAILED(hr)) return hr;
    return ApplyToObject(object.Get(), call);
}

// A put whose value is a date (DATE has no argument kind of its own).
template <auto M>
HRESULT DateProperty(automation::MemberCall& call) {
    automation::MemberArg arg;
    if (HRESULT hr = automation::read_input(call, 0, arg); FAILED(hr)) return hr;
    CComVariant date;
    if (FAILED(VariantChangeType(&date, arg.pvar, 0, VT_DATE))) return DISP_E_TYPEMISMATCH;
    auto* self = static_cast<typename ScalarSetter<decltype(M)>::Class*>(call.instance);
    return (self->*M)(date.date);
}

// A method taking a 16-bit number.
template <auto M>
HRESULT ShortArgument(automation::MemberCall& call) {
    automation::MemberArg arg;
    if (HRESULT hr = automation::read_input(call, 0, arg); FAILED(hr)) return hr;
    const LONG value = arg.coerced.lVal;
    if (value < -32768 || value > 32767) return DISP_E_OVERFLOW;
    auto* self = static_cast<typename ScalarSetter<decltype(M)>::Class*>(call.instance);
    return (self->*M)(short(value));
}

}  // namespace detail

// A property whose value is another page object (handed out as VT_DISPATCH); it also takes
// an index for that object's default member.
template <auto M>
consteval automation::MemberRow object_row(const wchar_t* name, DISPID dispid) {
    return automation::raw_row(name, dispid, kGetCall, &detail::ObjectProperty<M>, {automation::ArgKind::VariantValue})
        .Optional(automation::MemberDefault{});
}
// The same property assigned with an index: the object's default member is put.
template <auto M>
consteval automation::MemberRow object_put_row(const wchar_t* name, DISPID dispid, WORD flag) {
    return automation::raw_row(name, dispid, flag, &detail::ObjectProperty<M>,
                               {automation::ArgKind::VariantValue, automation::ArgKind::VariantValue});
}
template <auto M>
consteval automation::MemberRow date_put_row(const wchar_t* name, DISPID dispid) {
    return automation::raw_row(name, dispid, DISPATCH_PROPERTYPUT, &detail::DateProperty<M>,
                               {automation::ArgKind::Variant});
}
template <auto M>
consteval automation::MemberRow short_method_row(const wchar_t* name, DISPID dispid) {
    return automation::raw_row(name, dispid, kGetCall, &detail::ShortArgument<M>, {automation::ArgKind::I4});
}

// ---- Shared pieces ---------------------------------------------------------------------

// What the host asks of every object it made for a page when the page ends.
class PagePart {
public:
    // References to this object and to what it made for the page, beyond the one its owner
    // within the page holds.
    virtual ULONG ForeignReferences() const = 0;

protected:
    ~PagePart() = default;
};

template <class T>
ULONG ForeignOf(const CComPtr<T>& part) {
    return part ? part->ForeignReferences() : 0;
}

// A new reference to an object the page keeps, as one of its interfaces.
template <class I, class T>
HRESULT HandOut(const CComPtr<T>& object, I** out) {
    if (out == nullptr) return E_POINTER;
    *out = object.Get();
    if (*out) (*out)->AddRef();
    return S_OK;
}

// The key a collection member was given: a name (a string, or any value that is neither a
// number nor a string converted to text) or a 1-based position (a number).
struct CollectionKey {
    bool byIndex = false;
    size_t index = 0;  // 0-based once resolved
    std::wstring name;
};
// DISP_E_TYPEMISMATCH for a key that is neither (an object, an array, Null).
HRESULT ReadCollectionKey(const VARIANT& key, CollectionKey* out);

// A copy of every VARIANT in the list, walked by IEnumVARIANT.
HRESULT NewVariantEnum(std::vector<CComVariant> items, IUnknown** out);

// Values by name in insertion order, names case-insensitive. Shared by the pages of a site
// or a session, so every member locks.
class VariantStore {
public:
    HRESULT Get(const CollectionKey& key, VARIANT* out) const;  // absent name: VT_EMPTY
    HRESULT KeyAt(size_t index, BSTR* out) const;
    size_t Count() const;
    std::vector<CComVariant> Names() const;
    // value must already be the copy to keep; the value it replaces goes to *old.
    HRESULT Put(const CollectionKey& key, CComVariant&& value, CComVariant* old);
    HRESULT Remove(const CollectionKey& key, CComVariant* old);
    void RemoveAll(std::vector<CComVariant>* removed);
    // Empties the store for good: later writes fail with E_FAIL.
    void End(std::vector<CComVariant>* removed);

private:
    struct Entry {
        std::wstring name;
        CComVariant value;
    };
    // The position of the key's entry, or npos; the caller holds the lock.
    size_t FindLocked(const CollectionKey& key) const;
    void ReindexLocked();
    void TakeAllLocked(std::vector<CComVariant>* removed);

    mutable std::mutex m_mutex;
    std::vector<Entry> m_entries;
    std::unordered_map<std::wstring, size_t> m_index;  // folded name -> position
    bool m_bEnded = false;
};

// Application.Lock across the pages of a site: the page holding it may hold it again; other
// pages' Lock and their writes to Application.Contents wait until it is released.
class ApplicationLock {
public:
    void Lock(uint64_t page);
    // False when the page does not hold the lock.
    bool Unlock(uint64_t page);
    // Releases the page's hold however deep it is (the end of the page).
    void Release(uint64_t page);
    uint64_t Owner() const;

    // Runs write once no other page holds the lock, with the lock's own mutex held, so that
    // no page takes it in the middle of the write.
    template <class F>
    HRESULT Write(uint64_t page, F&& write) {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_released.wait(lock, [&] { return m_owner == 0 || m_owner == page; });
        return write();
    }

private:
    mutable std::mutex m_mutex;
    std::condition_variable m_released;
    uint64_t m_owner = 0;
    unsigned m_depth = 0;
};

}  // namespace veskhost::pages

namespace veskhost {

struct PageApplication::State {
    pages::ApplicationLock lock;
    pages::VariantStore contents;
    pages::VariantStore staticObjects;  // always empty: this host has no declared objects
};

}  // namespace veskhost

namespace veskhost::pages {

// The page token of writes made by the host itself, outside any page.
constexpr uint64_t kHostWriter = ~uint64_t(0);

// ---- Collections -----------------------------------------------------------------------

// IVariantDictionary over a store: Application.Contents, Session.Contents, StaticObjects.
class CContents final : public GComponent<CContents, IVariantDictionary, ISupportErrorInfo>, public PagePart {
public:
    static const automation::MemberRows kMembers;

    // gate, when given, is Application.Lock: writes wait while another page holds it.
    CContents(std::shared_ptr<VariantStore> store, std::shared_ptr<ApplicationLock> gate, uint64_t page,
              bool readOnly, const wchar_t* source);

    HRESULT get_Item(VARIANT VarKey, VARIANT* pvar) override;
    HRESULT put_Item(VARIANT VarKey, VARIANT var) override;
    HRESULT putref_Item(VARIANT VarKey, VARIANT var) override;
    HRESULT get_Key(VARIANT VarKey, VARIANT* pvar) override;
    HRESULT get_Count(int* cStrRet) override;
    HRESULT get__NewEnum(IUnknown** ppEnumReturn) override;
    HRESULT Remove(VARIANT VarKey) override;
    HRESULT RemoveAll() override;

    ULONG ForeignReferences() const override { return RefCount() - 1; }

private:
    HRESULT Store(const VARIANT& key, const VARIANT& value, bool byReference);
    // Runs a write under the gate, when there is one.
    template <class F>
    HRESULT Write(F&& write);
    HRESULT Fail(HRESULT hr) const;

    std::shared_ptr<VariantStore> m_store;
    std::shared_ptr<ApplicationLock> m_gate;
    uint64_t m_nPage;
    bool m_bReadOnly;
    const wchar_t* m_szSource;
};

// One request field's values in the order sent (IStringList).
class CValueList final : public GComponent<CValueList, IStringList, ISupportErrorInfo>, public PagePart {
public:
    static const automation::MemberRows kMembers;

    explicit CValueList(std::vector<std::wstring> values) : m_values(std::move(values)) {}

    HRESULT get_Item(VARIANT i, VARIANT* pVariantReturn) override;
    HRESULT get_Count(int* cStrRet) override;
    HRESULT get__NewEnum(IUnknown** ppEnumReturn) override;

    ULONG ForeignReferences() const override { return RefCount() - 1; }

private:
    std::vector<std::wstring> m_values;
};

// A request cookie (IReadCookie). A value of "k=v&k2=v2" has keys. It answers IStringList as
// well, so a cookie is found by the same test as any other request field: Count is the number
// of keys, or 1 for a cookie sent without keys, 0 for one not sent.
class CReadCookie final : public GComponent<CReadCookie, IReadCookie, IStringList, ISupportErrorInfo>,
                          public PagePart {
public:
    static const automation::MemberRows kMembers;

    // sent false: the cookie of a name the request did not send. rawValue is as sent.
    CReadCookie(bool sent, std::string_view rawValue);

    HRESULT get_Item(VARIANT Var, VARIANT* pVariantReturn) override;
    HRESULT get_HasKeys(VARIANT_BOOL* pfHasKeys) override;
    HRESULT get__NewEnum(IUnknown** ppEnumReturn) override;
    HRESULT get_Count(int* cStrRet) override;
    HRESULT get_Key(VARIANT VarKey, VARIANT* pvar) override;

    ULONG ForeignReferences() const override { return RefCount() - 1; }

private:
    bool m_bSent;
    std::wstring m_value;  // the whole value, decoded
    std::vector<std::pair<std::wstring, std::wstring>> m_keys;
};

// Field names with their values in the order first sent, for building a collection.
class FieldList {
public:
    void Add(std::wstring name, std::wstring value);
    struct Field {
        std::wstring name;
        std::vector<std::wstring> values;
    };
    std::vector<Field> Take() { return std::move(m_fields); }

private:
    std::vector<Field> m_fields;
    std::unordered_map<std::wstring, size_t> m_index;
};

// A request collection (IRequestDictionary): QueryString, Form, ServerVariables, Cookies,
// ClientCertificate. Keys are case-insensitive; a key not sent reads as an empty item.
class CRequestCollection final : public GComponent<CRequestCollection, IRequestDictionary, ISupportErrorInfo>,
                                 public PagePart {
public:
    static const automation::MemberRows kMembers;

    // Value lists; rawText is what Item without a key gives (the query string, the body).
    static CComPtr<CRequestCollection> OfFields(std::vector<FieldList::Field> fields, std::wstring rawText);
    // Cookies by name and raw value, the first of a name kept.
    static CComPtr<CRequestCollection> OfCookies(const std::vector<std::pair<std::string, std::string>>& cookies,
                                                 std::wstring rawText);

    HRESULT get_Item(VARIANT Var, VARIANT* pVariantReturn) override;
    HRESULT get__NewEnum(IUnknown** ppEnumReturn) override;
    HRESULT get_Count(int* cStrRet) override;
    HRESULT get_Key(VARIANT VarKey, VARIANT* pvar) override;

    // The item under the name when it was sent (null otherwise), borrowed.
    IDispatch* Find(std::wstring_view name) const;
    ULONG ForeignReferences() const override;

private:
    CRequestCollection(bool cookies, std::wstring rawText) : m_bCookies(cookies), m_raw(std::move(rawText)) {}
    void Append(std::wstring name, IDispatch* item, PagePart* part);
    HRESULT EmptyItem(IDispatch** out) const;

    struct Entry {
        std::wstring name;
        CComPtr<IDispatch> item;
        PagePart* part;  // the same object
    };
    bool m_bCookies;
    std::wstring m_raw;
    std::vector<Entry> m_entries;
    std::unordered_map<std::wstring, size_t> m_index;
};

// ---- Response state --------------------------------------------------------------------

// What the Response and its cookies have built so far; it becomes the PageResponse.
struct ResponseState {
    PageResponse out;     // out.body holds what has been sent
    std::string buffer;   // written but not yet sent
    bool buffering = true;
    bool headersSent = false;
    bool closed = false;  // the page is over
    bool clientConnected = true;
    int32_t codePage = 65001;
    int32_t lcid = LOCALE_SYSTEM_DEFAULT;

    // E_FAIL with error information once headers may no longer change (or the page is over).
    HRESULT CheckHeadersOpen() const;
    HRESULT CheckOpen() const;
};

// One cookie of Response.Cookies (IWriteCookie).
class CWriteCookie final : public GComponent<CWriteCookie, IWriteCookie, ISupportErrorInfo>, public PagePart {
public:
    static const automation::MemberRows kMembers;

    CWriteCookie(std::shared_ptr<ResponseState> state, size_t index) : m_state(std::move(state)), m_nIndex(index) {}

    HRESULT put_Item(VARIANT key, BSTR bstrValue) override;
    HRESULT put_Expires(DATE dtExpires) override;
    HRESULT put_Domain(BSTR bstrDomain) override;
    HRESULT put_Path(BSTR bstrPath) override;
    HRESULT put_Secure(VARIANT_BOOL fSecure) override;
    HRESULT get_HasKeys(VARIANT_BOOL* pfHasKeys) override;
    HRESULT get__NewEnum(IUnknown** ppEnumReturn) override;

    ULONG ForeignReferences() const override { return RefCount() - 1; }

private:
    PageCookie& Cookie() const { return m_state->out.cookies[m_nIndex]; }

    std::shared_ptr<ResponseState> m_state;
    size_t m_nIndex;
};

// Response.Cookies (IRequestDictionary): reading a name makes the cookie.
class CResponseCookies final : public GComponent<CResponseCookies, IRequestDictionary, ISupportErrorInfo>,
                               public PagePart {
public:
    static const automation::MemberRows kMembers;

    explicit CResponseCookies(std::shared_ptr<ResponseState> state) : m_state(std::move(state)) {}

    HRESULT get_Item(VARIANT Var, VARIANT* pVariantReturn) override;
    HRESULT get__NewEnum(IUnknown** ppEnumReturn) override;
    HRESULT get_Count(int* cStrRet) override;
    HRESULT get_Key(VARIANT VarKey, VARIANT* pvar) override;
    // Response.Cookies("name") = value.
    HRESULT SetValue(VARIANT key, BSTR value);

    ULONG ForeignReferences() const override;

private:
    HRESULT CookieFor(const VARIANT& key, CWriteCookie** out);

    std::shared_ptr<ResponseState> m_state;
    std::vector<CComPtr<CWriteCookie>> m_cookies;  // parallel to m_state->out.cookies
};

// ---- Page objects ----------------------------------------------------------------------

class CServer final : public GComponent<CServer, IServer, ISupportErrorInfo>, public PagePart {
public:
    static const automation::MemberRows kMembers;

    CServer(const PageHostConfig& config, std::wstring scriptPath)
        : m_nScriptTimeout(config.scriptTimeoutSeconds), m_root(config.siteRoot), m_scriptPath(std::move(scriptPath)) {}

    HRESULT get_ScriptTimeout(LONG* plTimeoutSeconds) override;
    HRESULT put_ScriptTimeout(LONG lTimeoutSeconds) override;
    HRESULT CreateObject(BSTR bstrProgID, IDispatch** ppDispObject) override;
    HRESULT HTMLEncode(BSTR bstrIn, BSTR* pbstrEncoded) override;
    HRESULT MapPath(BSTR bstrLogicalPath, BSTR* pbstrPhysicalPath) override;
    HRESULT URLEncode(BSTR bstrIn, BSTR* pbstrEncoded) override;
    HRESULT URLPathEncode(BSTR bstrIn, BSTR* pbstrEncoded) override;
    HRESULT Execute(BSTR bstrLogicalPath) override;
    HRESULT Transfer(BSTR bstrLogicalPath) override;
    HRESULT GetLastError(IASPError** ppASPErrorObject) override;

    ULONG ForeignReferences() const override { return RefCount() - 1; }
    void EndPage() { m_bClosed = true; }

private:
    std::atomic<LONG> m_nScriptTimeout;
    std::wstring m_root;
    std::wstring m_scriptPath;
    bool m_bClosed = false;
};

// The page's view of the site's Application.
class CApplicationObject final : public GComponent<CApplicationObject, IApplicationObject, ISupportErrorInfo>,
                                 public PagePart {
public:
    static const automation::MemberRows kMembers;

    CApplicationObject(std::shared_ptr<PageApplication::State> state, uint64_t page);

    HRESULT get_Value(BSTR bstrValue, VARIANT* pvar) override;
    HRESULT put_Value(BSTR bstrValue, VARIANT var) override;
    HRESULT putref_Value(BSTR bstrValue, VARIANT var) override;
    HRESULT Lock() override;
    HRESULT UnLock() override;
    HRESULT get_StaticObjects(IVariantDictionary** ppProperties) override;
    HRESULT get_Contents(IVariantDictionary** ppProperties) override;

    ULONG ForeignReferences() const override;
    // Releases the lock the page still holds; Lock fails from now on.
    void EndPage();

private:
    std::shared_ptr<PageApplication::State> m_state;
    uint64_t m_nPage;
    std::atomic<bool> m_bClosed{false};
    CComPtr<CContents> m_spContents;
    CComPtr<CContents> m_spStatic;
};

// The request a page runs with.
struct RequestData {
    PageRequest request;
    size_t uploadLimit = 0;
    size_t readPosition = 0;  // BinaryRead's

    std::string_view Path() const;
    std::string_view Query() const;
    // The values of every header of that name, in order.
    std::vector<std::string_view> HeaderValues(std::string_view name) const;
};

class CRequest final : public GComponent<CRequest, IRequest, ISupportErrorInfo>, public PagePart {
public:
    static const automation::MemberRows kMembers;

    explicit CRequest(std::shared_ptr<RequestData> data) : m_data(std::move(data)) {}

    HRESULT get_Item(BSTR bstrVar, IDispatch** ppObjReturn) override;
    HRESULT get_QueryString(IRequestDictionary** ppDictReturn) override;
    HRESULT get_Form(IRequestDictionary** ppDictReturn) override;
    HRESULT get_Body(IRequestDictionary** ppDictReturn) override;
    HRESULT get_ServerVariables(IRequestDictionary** ppDictReturn) override;
    HRESULT get_ClientCertificate(IRequestDictionary** ppDictReturn) override;
    HRESULT get_Cookies(IRequestDictionary** ppDictReturn) override;
    HRESULT get_TotalBytes(LONG* pcbTotal) override;
    HRESULT BinaryRead(VARIANT* pvarCountToRead, VARIANT* pvarReturn) override;

    ULONG ForeignReferences() const override;
    void EndPage() { m_bClosed = true; }

private:
    // Each collection is built on first use and kept for the page.
    HRESULT QueryString(CRequestCollection** out);
    HRESULT Form(CRequestCollection** out);
    HRESULT ServerVariables(CRequestCollection** out);
    HRESULT Cookies(CRequestCollection** out);
    HRESULT Certificate(CRequestCollection** out);
    bool BodyTooLarge() const { return m_data->request.body.size() > m_data->uploadLimit; }

    std::shared_ptr<RequestData> m_data;
    bool m_bClosed = false;
    CComPtr<CRequestCollection> m_spQueryString, m_spForm, m_spServerVariables, m_spCookies, m_spCertificate;
};

class CResponse final : public GComponent<CResponse, IResponse, ISupportErrorInfo>, public PagePart {
public:
    static const automation::MemberRows kMembers;

    explicit CResponse(std::shared_ptr<ResponseState> state) : m_state(std::move(state)) {}

    HRESULT get_Buffer(VARIANT_BOOL* fIsBuffering) override;
    HRESULT put_Buffer(VARIANT_BOOL fIsBuffering) override;
    HRESULT get_ContentType(BSTR* pbstrContentTypeRet) override;
    HRESULT put_ContentType(BSTR bstrContentType) override;
    HRESULT get_Expires(VARIANT* pvarExpiresMinutesRet) override;
    HRESULT put_Expires(LONG lExpiresMinutes) override;
    HRESULT get_ExpiresAbsolute(VARIANT* pvarExpiresRet) override;
    HRESULT put_ExpiresAbsolute(DATE dtExpires) override;
    HRESULT get_Cookies(IRequestDictionary** ppCookies) override;
    HRESULT get_Status(BSTR* pbstrStatusRet) override;
    HRESULT put_Status(BSTR bstrStatus) override;
    HRESULT Add(BSTR bstrHeaderValue, BSTR bstrHeaderName) override;
    HRESULT AddHeader(BSTR bstrHeaderName, BSTR bstrHeaderValue) override;
    HRESULT AppendToLog(BSTR bstrLogEntry) override;
    HRESULT BinaryWrite(VARIANT varInput) override;
    HRESULT Clear() override;
    HRESULT End() override;
    HRESULT Flush() override;
    HRESULT Redirect(BSTR bstrURL) override;
    HRESULT Write(VARIANT varText) override;
    HRESULT WriteBlock(short iBlockNumber) override;
    HRESULT IsClientConnected(VARIANT_BOOL* pfIsClientConnected) override;
    HRESULT get_CharSet(BSTR* pbstrCharSetRet) override;
    HRESULT put_CharSet(BSTR bstrCharSet) override;
    HRESULT Pics(BSTR bstrHeaderValue) override;
    HRESULT get_CacheControl(BSTR* pbstrCacheControl) override;
    HRESULT put_CacheControl(BSTR bstrCacheControl) override;
    HRESULT get_CodePage(LONG* plvar) override;
    HRESULT put_CodePage(LONG lvar) override;
    HRESULT get_LCID(LONG* plvar) override;
    HRESULT put_LCID(LONG lvar) override;

    ULONG ForeignReferences() const override;
    // Sends what is still buffered and closes the Response.
    void EndPage();

private:
    HRESULT Cookies(CResponseCookies** out);
    // Appends bytes to the output: the buffer, or sent at once without buffering.
    void Emit(std::string_view bytes);
    // Sets a header-valued property after checking it cannot break the header.
    HRESULT SetHeaderText(std::wstring* field, BSTR text);

    std::shared_ptr<ResponseState> m_state;
    CComPtr<CResponseCookies> m_spCookies;
};

// A session as the store keeps it between pages.
struct SessionState {
    std::wstring id;
    VariantStore contents;
    VariantStore staticObjects;  // always empty
    std::atomic<int32_t> timeoutMinutes{20};
    std::atomic<int32_t> codePage{65001};
    std::atomic<int32_t> lcid{int32_t(LOCALE_SYSTEM_DEFAULT)};
    std::atomic<bool> abandoned{false};
    // Guarded by the store's lock.
    std::chrono::steady_clock::time_point lastAccess;
    int pagesInUse = 0;
};

// The page's view of its session.
class CSessionObject final : public GComponent<CSessionObject, ISessionObject, ISupportErrorInfo>, public PagePart {
public:
    static const automation::MemberRows kMembers;

    explicit CSessionObject(std::shared_ptr<SessionState> state);

    HRESULT get_SessionID(BSTR* pbstrRet) override;
    HRESULT get_Value(BSTR bstrValue, VARIANT* pvar) override;
    HRESULT put_Value(BSTR bstrValue, VARIANT var) override;
    HRESULT putref_Value(BSTR bstrValue, VARIANT var) override;
    HRESULT get_Timeout(LONG* plvar) override;
    HRESULT put_Timeout(LONG lvar) override;
    HRESULT Abandon() override;
    HRESULT get_CodePage(LONG* plvar) override;
    HRESULT put_CodePage(LONG lvar) override;
    HRESULT get_LCID(LONG* plvar) override;
    HRESULT put_LCID(LONG lvar) override;
    HRESULT get_StaticObjects(IVariantDictionary** ppTaggedObjects) override;
    HRESULT get_Contents(IVariantDictionary** ppProperties) override;

    ULONG ForeignReferences() const override;
    void EndPage() { m_bClosed = true; }

private:
    HRESULT CheckOpen() const;

    std::shared_ptr<SessionState> m_state;
    bool m_bClosed = false;
    CComPtr<CContents> m_spContents;
    CComPtr<CContents> m_spStatic;
};

// True for a date an automation date can hold: from the year 100 to the end of 9999.
constexpr bool IsAutomationDate(DATE date) { return date >= -657434.0 && date < 2958466.0; }

// The longest Session.Timeout: a year, in minutes.
constexpr LONG kMaxSessionTimeout = 366 * 24 * 60;

}  // namespace veskhost::pages

namespace veskhost {

struct SessionStore::Impl {
    explicit Impl(const PageHostConfig& config);
    ~Impl();

    // The live session with this id, or a new one; the page holds it until Release.
    std::shared_ptr<pages::SessionState> Acquire(std::wstring_view id, bool* created);
    // The page is over: an abandoned session ends now, any other one starts its idle time.
    void Release(const std::shared_ptr<pages::SessionState>& session);

    size_t Count();
    bool Contains(std::wstring_view id);
    size_t SweepExpired();
    bool End(std::wstring_view id);

private:
    std::chrono::steady_clock::time_point Now() const;
    // Takes the expired sessions out of the map; the caller ends them after unlocking.
    void TakeExpiredLocked(std::vector<std::shared_ptr<pages::SessionState>>* expired);
    void EndSession(const std::shared_ptr<pages::SessionState>& session);

    PageHostConfig m_config;
    std::mutex m_mutex;
    std::unordered_map<std::wstring, std::shared_ptr<pages::SessionState>> m_sessions;
};

}  // namespace veskhost
