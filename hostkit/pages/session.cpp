// Sessions: the store that keeps them between pages and ends them, and the view a page has
// of its own. Ending a session empties its Contents, which releases every value it held (the
// library's session states among them); releases run after the store's lock is let go,
// since a value's release may run a script.
#include <sys/random.h>

#include <cerrno>
#include <cstdlib>

#include "hostkit/pages/page_objects.h"

namespace veskhost {

namespace {

// 128 random bits from the system's entropy source, as hex.
std::wstring NewSessionId() {
    uint8_t bytes[16];
    size_t filled = 0;
    while (filled < sizeof bytes) {
        const ssize_t got = getrandom(bytes + filled, sizeof bytes - filled, 0);
        if (got > 0) {
            filled += size_t(got);
        } else if (errno != EINTR) {
            // No entropy source: an id that cannot be guessed cannot be made either.
            std::abort();
        }
    }
    constexpr wchar_t kHex[] = L"0123456789ABCDEF";
    std::wstring id;
    for (uint8_t byte : bytes) {
        id += kHex[byte >> 4];
        id += kHex[byte & 0xF];
    }
    return id;
}

}  // namespace

SessionStore::Impl::Impl(const PageHostConfig& config) : m_config(config) {}

SessionStore::Impl::~Impl() {
    std::unordered_map<std::wstring, std::shared_ptr<pages::SessionState>> sessions;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        sessions.swap(m_sessions);
    }
    for (const auto& entry : sessions) EndSession(entry.second);
}

std::chrono::steady_clock::time_point SessionStore::Impl::Now() const {
    return m_config.clock ? m_config.clock() : std::chrono::steady_clock::now();
}

void SessionStore::Impl::EndSession(const std::shared_ptr<pages::SessionState>& session) {
    if (m_config.onSessionEnd) {
        CComPtr<pages::CSessionObject> view;
        view.Attach(new pages::CSessionObject(session));
        m_config.onSessionEnd(view.Get());
        view->EndPage();
    }
    std::vector<CComVariant> released;
    session->contents.End(&released);
    session->staticObjects.End(&released);
}

void SessionStore::Impl::TakeExpiredLocked(std::vector<std::shared_ptr<pages::SessionState>>* expired) {
    const auto now = Now();
    for (auto it = m_sessions.begin(); it != m_sessions.end();) {
        const pages::SessionState& session = *it->second;
        const auto idle = now - session.lastAccess;
        if (session.pagesInUse == 0 && idle >= std::chrono::minutes(session.timeoutMinutes.load())) {
            expired->push_back(std::move(it->second));
            it = m_sessions.erase(it);
        } else {
            ++it;
        }
    }
}

std::shared_ptr<pages::SessionState> SessionStore::Impl::Acquire(std::wstring_view id, bool* created) {
    std::vector<std::shared_ptr<pages::SessionState>> expired;
    std::shared_ptr<pages::SessionState> session;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        TakeExpiredLocked(&expired);
        const auto found = id.empty() ? m_sessions.end() : m_sessions.find(std::wstring(id));
        *created = found == m_sessions.end();
        if (!*created) {
            session = found->second;
        } else {
            session = std::make_shared<pages::SessionState>();
            do {
                session->id = NewSessionId();
            } while (m_sessions.count(session->id));
            session->timeoutMinutes = m_config.sessionTimeoutMinutes;
            session->codePage = m_config.codePage;
            m_sessions.emplace(session->id, session);
        }
        ++session->pagesInUse;
        session->lastAccess = Now();
    }
    for (const auto& gone : expired) EndSession(gone);
    return session;
}

void SessionStore::Impl::Release(const std::shared_ptr<pages::SessionState>& session) {
    bool end = false;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        --session->pagesInUse;
        session->lastAccess = Now();
        if (session->abandoned) {
            const auto found = m_sessions.find(session->id);
            if (found != m_sessions.end() && found->second == session) m_sessions.erase(found);
            end = true;
        }
    }
    if (end) EndSession(session);
}

size_t SessionStore::Impl::SweepExpired() {
    std::vector<std::shared_ptr<pages::SessionState>> expired;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        TakeExpiredLocked(&expired);
    }
    for (const auto& gone : expired) EndSession(gone);
    return expired.size();
}

size_t SessionStore::Impl::Count() {
    SweepExpired();
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_sessions.size();
}

bool SessionStore::Impl::Contains(std::wstring_view id) {
    SweepExpired();
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_sessions.count(std::wstring(id)) != 0;
}

// A session a page is using ends when that page does, as if the page had abandoned it.
bool SessionStore::Impl::End(std::wstring_view id) {
    std::shared_ptr<pages::SessionState> session;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        const auto found = m_sessions.find(std::wstring(id));
        if (found == m_sessions.end()) return false;
        if (found->second->pagesInUse > 0) {
            found->second->abandoned = true;
            return true;
        }
        session = std::move(found->second);
        m_sessions.erase(found);
    }
    EndSession(session);
    return true;
}

SessionStore::SessionStore(const PageHostConfig& config) : m_impl(std::make_unique<Impl>(config)) {}
SessionStore::~SessionStore() = default;
size_t SessionStore::Count() { return m_impl->Count(); }
bool SessionStore::Contains(std::wstring_view id) { return m_impl->Contains(id); }
size_t SessionStore::SweepExpired() { return m_impl->SweepExpired(); }
bool SessionStore::End(std::wstring_view id) { return m_impl->End(id); }

}  // namespace veskhost

namespace veskhost::pages {

using automation::member_row;
using automation::ResultKind;
using S = ISessionObject;

constexpr automation::MemberRow kSessionMembers[] = {
    member_row<S, &S::get_SessionID>(L"SessionID", OwnMember(0), kGetCall),
    member_row<S, &S::putref_Value>(L"Value", DISPID_VALUE, DISPATCH_PROPERTYPUTREF),
    member_row<S, &S::put_Value>(L"Value", DISPID_VALUE, DISPATCH_PROPERTYPUT),
    member_row<S, &S::get_Value, ResultKind::Variant>(L"Value", DISPID_VALUE, kGetCall),
    member_row<S, &S::put_Timeout>(L"Timeout", OwnMember(4), DISPATCH_PROPERTYPUT),
    member_row<S, &S::get_Timeout>(L"Timeout", OwnMember(4), kGetCall),
    member_row<S, &S::Abandon>(L"Abandon", OwnMember(6), kGetCall),
    member_row<S, &S::put_CodePage>(L"CodePage", OwnMember(7), DISPATCH_PROPERTYPUT),
    member_row<S, &S::get_CodePage>(L"CodePage", OwnMember(7), kGetCall),
    member_row<S, &S::put_LCID>(L"LCID", OwnMember(9), DISPATCH_PROPERTYPUT),
    member_row<S, &S::get_LCID>(L"LCID", OwnMember(9), kGetCall),
    object_row<&S::get_StaticObjects>(L"StaticObjects", OwnMember(11)),
    object_put_row<&S::get_Contents>(L"Contents", OwnMember(12), DISPATCH_PROPERTYPUTREF),
    object_put_row<&S::get_Contents>(L"Contents", OwnMember(12), DISPATCH_PROPERTYPUT),
    object_row<&S::get_Contents>(L"Contents", OwnMember(12)),
};
const automation::MemberRows CSessionObject::kMembers = kSessionMembers;

CSessionObject::CSessionObject(std::shared_ptr<SessionState> state) : m_state(std::move(state)) {
    m_spContents.Attach(new CContents(std::shared_ptr<VariantStore>(m_state, &m_state->contents), nullptr, 0, false,
                                      kSessionSource));
    m_spStatic.Attach(new CContents(std::shared_ptr<VariantStore>(m_state, &m_state->staticObjects), nullptr, 0, true,
                                    kSessionSource));
}

HRESULT CSessionObject::CheckOpen() const {
    return m_bClosed ? RaiseComponentError(E_FAIL, kSessionSource, kPageEndedText) : S_OK;
}

HRESULT CSessionObject::get_SessionID(BSTR* pbstrRet) {
    if (pbstrRet == nullptr) return E_POINTER;
    *pbstrRet = SysAllocStringLen(m_state->id.data(), UINT(m_state->id.size()));
    return *pbstrRet ? S_OK : E_OUTOFMEMORY;
}

HRESULT CSessionObject::get_Value(BSTR bstrValue, VARIANT* pvar) {
    if (pvar) VariantInit(pvar);
    if (HRESULT hr = CheckOpen(); FAILED(hr)) return hr;
    VARIANT key{};
    key.vt = VT_BSTR;
    key.bstrVal = bstrValue;
    return m_spContents->get_Item(key, pvar);
}

HRESULT CSessionObject::put_Value(BSTR bstrValue, VARIANT var) {
    if (HRESULT hr = CheckOpen(); FAILED(hr)) return hr;
    VARIANT key{};
    key.vt = VT_BSTR;
    key.bstrVal = bstrValue;
    return m_spContents->put_Item(key, var);
}

HRESULT CSessionObject::putref_Value(BSTR bstrValue, VARIANT var) {
    if (HRESULT hr = CheckOpen(); FAILED(hr)) return hr;
    VARIANT key{};
    key.vt = VT_BSTR;
    key.bstrVal = bstrValue;
    return m_spContents->putref_Item(key, var);
}

HRESULT CSessionObject::get_Timeout(LONG* plvar) {
    if (plvar == nullptr) return E_POINTER;
    *plvar = m_state->timeoutMinutes;
    return S_OK;
}

HRESULT CSessionObject::put_Timeout(LONG lvar) {
    if (HRESULT hr = CheckOpen(); FAILED(hr)) return hr;
    if (lvar < 1 || lvar > kMaxSessionTimeout) {
        return RaiseComponentError(E_INVALIDARG, kSessionSource,
                                   L"Timeout takes minutes from 1 to " + std::to_wstring(kMaxSessionTimeout) + L".");
    }
    m_state->timeoutMinutes = lvar;
    return S_OK;
}

// The session stays usable for the rest of the page; the store ends it when the page ends.
HRESULT CSessionObject::Abandon() {
    if (HRESULT hr = CheckOpen(); FAILED(hr)) return hr;
    m_state->abandoned = true;
    return S_OK;
}

HRESULT CSessionObject::get_CodePage(LONG* plvar) {
    if (plvar == nullptr) return E_POINTER;
    *plvar = m_state->codePage;
    return S_OK;
}

HRESULT CSessionObject::put_CodePage(LONG lvar) {
    if (HRESULT hr = CheckOpen(); FAILED(hr)) return hr;
    if (lvar < 1) return RaiseComponentError(E_INVALIDARG, kSessionSource, L"A code page is a number above 0.");
    m_state->codePage = lvar;
    return S_OK;
}

HRESULT CSessionObject::get_LCID(LONG* plvar) {
    if (plvar == nullptr) return E_POINTER;
    *plvar = m_state->lcid;
    return S_OK;
}

HRESULT CSessionObject::put_LCID(LONG lvar) {
    if (HRESULT hr = CheckOpen(); FAILED(hr)) return hr;
    m_state->lcid = lvar;
    return S_OK;
}

HRESULT CSessionObject::get_StaticObjects(IVariantDictionary** ppTaggedObjects) {
    return HandOut(m_spStatic, ppTaggedObjects);
}

HRESULT CSessionObject::get_Contents(IVariantDictionary** ppProperties) { return HandOut(m_spContents, ppProperties); }

ULONG CSessionObject::ForeignReferences() const {
    return RefCount() - 1 + m_spContents->ForeignReferences() + m_spStatic->ForeignReferences();
}

}  // namespace veskhost::pages
