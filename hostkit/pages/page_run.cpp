// One page from start to end: the page objects are made, their context is the thread's for
// the page callback, and the page is ended whatever the callback did.
#include <atomic>
#include <new>

#include "hostkit/pages/page_objects.h"
#include "hostkit/pages/page_text.h"
#include "hostkit/runtime/class_registry.h"

namespace veskhost {

// {6B1E4C0A-93D2-4F57-A8E1-2C5D7F309B64}
const IID IID_IEnumNames = {0x6B1E4C0A, 0x93D2, 0x4F57, {0xA8, 0xE1, 0x2C, 0x5D, 0x7F, 0x30, 0x9B, 0x64}};

PageRequest PageRequest::Get(std::string url) {
    PageRequest request;
    request.url = std::move(url);
    return request;
}

PageRequest PageRequest::Post(std::string url, std::string contentType, std::string body) {
    PageRequest request;
    request.method = "POST";
    request.url = std::move(url);
    request.headers.emplace_back("Content-Type", std::move(contentType));
    request.body = std::move(body);
    return request;
}

PageRequest& PageRequest::Header(std::string name, std::string value) {
    headers.emplace_back(std::move(name), std::move(value));
    return *this;
}

std::wstring PageCookie::SetCookieHeader() const {
    std::wstring header = pages::UrlEncode(name) + L"=";
    if (keys.empty()) {
        header += pages::UrlEncode(value);
    } else {
        for (size_t i = 0; i < keys.size(); ++i) {
            if (i) header += L"&";
            header += pages::UrlEncode(keys[i].first) + L"=" + pages::UrlEncode(keys[i].second);
        }
    }
    if (expires != 0) header += L"; expires=" + pages::HttpDate(expires);
    if (!domain.empty()) header += L"; domain=" + domain;
    if (!path.empty()) header += L"; path=" + path;
    if (secure) header += L"; secure";
    return header;
}

}  // namespace veskhost

namespace veskhost::pages {

namespace {

class CNamesEnum final : public automation::GObject<CNamesEnum, IEnumNames> {
public:
    CNamesEnum(std::shared_ptr<const std::vector<std::wstring>> names, size_t next)
        : m_names(std::move(names)), m_nNext(next) {}

    HRESULT Next(ULONG celt, BSTR* rgname, ULONG* pceltFetched) override {
        if (pceltFetched) *pceltFetched = 0;
        if (celt == 0) return S_OK;
        if (rgname == nullptr || (celt > 1 && pceltFetched == nullptr)) return E_INVALIDARG;
        ULONG fetched = 0;
        for (; fetched < celt && m_nNext < m_names->size(); ++fetched, ++m_nNext) {
            rgname[fetched] = SysAllocString((*m_names)[m_nNext].c_str());
            if (rgname[fetched] == nullptr) {
                for (ULONG i = 0; i < fetched; ++i) SysFreeString(rgname[i]);
                return E_OUTOFMEMORY;
            }
        }
        if (pceltFetched) *pceltFetched = fetched;
        return fetched == celt ? S_OK : S_FALSE;
    }
    HRESULT Skip(ULONG celt) override {
        const size_t left = m_names->size() - m_nNext;
        m_nNext += std::min<size_t>(celt, left);
        return celt <= left ? S_OK : S_FALSE;
    }
    HRESULT Reset() override {
        m_nNext = 0;
        return S_OK;
    }
    HRESULT Clone(IEnumNames** ppenum) override {
        if (ppenum == nullptr) return E_POINTER;
        *ppenum = new (std::nothrow) CNamesEnum(m_names, m_nNext);
        return *ppenum ? S_OK : E_OUTOFMEMORY;
    }

private:
    std::shared_ptr<const std::vector<std::wstring>> m_names;
    size_t m_nNext;
};

// The object context of one page: its objects by name.
class CPageContext final : public automation::GObject<CPageContext, IGetContextProperties>, public PagePart {
public:
    CPageContext(CComPtr<CServer> server, CComPtr<CApplicationObject> application, CComPtr<CRequest> request,
                 CComPtr<CResponse> response, CComPtr<CSessionObject> session)
        : m_spServer(std::move(server)),
          m_spApplication(std::move(application)),
          m_spRequest(std::move(request)),
          m_spResponse(std::move(response)),
          m_spSession(std::move(session)) {}

    HRESULT Count(LONG* plCount) override {
        if (plCount == nullptr) return E_POINTER;
        *plCount = m_spSession ? 5 : 4;
        return S_OK;
    }

    HRESULT GetProperty(BSTR name, VARIANT* pProperty) override {
        if (pProperty == nullptr) return E_POINTER;
        VariantInit(pProperty);
        const std::wstring wanted = FoldKey(ToWString(name));
        for (const auto& [property, object] : Properties()) {
            if (FoldKey(property) != wanted) continue;
            if (object == nullptr) break;
            pProperty->vt = VT_DISPATCH;
            pProperty->pdispVal = object;
            object->AddRef();
            return S_OK;
        }
        return E_INVALIDARG;
    }

    HRESULT EnumNames(IEnumNames** ppenum) override {
        if (ppenum == nullptr) return E_POINTER;
        auto names = std::make_shared<std::vector<std::wstring>>();
        for (const auto& [property, object] : Properties()) {
            if (object) names->push_back(property);
        }
        *ppenum = new (std::nothrow) CNamesEnum(std::move(names), 0);
        return *ppenum ? S_OK : E_OUTOFMEMORY;
    }

    ULONG ForeignReferences() const override {
        return RefCount() - 1 + m_spServer->ForeignReferences() + m_spApplication->ForeignReferences() +
               m_spRequest->ForeignReferences() + m_spResponse->ForeignReferences() + ForeignOf(m_spSession);
    }

    PageObjects Objects(const bool* ended, bool sessionCreated) {
        return PageObjects{this, m_spServer.Get(), m_spApplication.Get(), m_spRequest.Get(), m_spResponse.Get(),
                           m_spSession.Get(), ended, sessionCreated};
    }

    // Every object refuses to act on the page from now on; the Application lock is let go.
    void EndPage() {
        m_spApplication->EndPage();
        m_spServer->EndPage();
        m_spRequest->EndPage();
        m_spResponse->EndPage();
        if (m_spSession) m_spSession->EndPage();
    }

private:
    std::vector<std::pair<const wchar_t*, IDispatch*>> Properties() const {
        return {
            {L"Server", m_spServer.Get()},   {L"Application", m_spApplication.Get()},
            {L"Request", m_spRequest.Get()}, {L"Response", m_spResponse.Get()},
            {L"Session", m_spSession.Get()},
        };
    }

    CComPtr<CServer> m_spServer;
    CComPtr<CApplicationObject> m_spApplication;
    CComPtr<CRequest> m_spRequest;
    CComPtr<CResponse> m_spResponse;
    CComPtr<CSessionObject> m_spSession;
};

template <class T, class... A>
CComPtr<T> Make(A&&... args) {
    CComPtr<T> object;
    object.Attach(new T(std::forward<A>(args)...));
    return object;
}

std::atomic<uint64_t> g_nNextPage{1};

}  // namespace

}  // namespace veskhost::pages

namespace veskhost {

PageResponse RunPage(const PageHostConfig& config, PageApplication& application, const PageRequest& request,
                     const PageCallback& page, PageSession session) {
    using namespace pages;
    auto data = std::make_shared<RequestData>();
    data->request = request;
    data->uploadLimit = config.uploadLimit;
    auto output = std::make_shared<ResponseState>();
    output->codePage = config.codePage;
    output->clientConnected = request.clientConnected;

    std::shared_ptr<SessionState> sessionState;
    bool sessionCreated = false;
    CComPtr<CSessionObject> sessionObject;
    if (session.store) {
        sessionState = session.store->Internal().Acquire(session.id, &sessionCreated);
        sessionObject = Make<CSessionObject>(sessionState);
    }
    CComPtr<CPageContext> context =
        Make<CPageContext>(Make<CServer>(config, TextOfUtf8(data->Path())),
                           Make<CApplicationObject>(application.Shared(), g_nNextPage++), Make<CRequest>(data),
                           Make<CResponse>(output), std::move(sessionObject));

    HRESULT result = S_OK;
    {
        ObjectContextScope scope(static_cast<IGetContextProperties*>(context.Get()));
        try {
            if (page) result = page(context->Objects(&output->out.ended, sessionCreated));
        } catch (...) {
            // A page that throws has failed; it still ends like any other.
            result = E_UNEXPECTED;
        }
    }
    context->EndPage();

    PageResponse out = std::move(output->out);
    out.pageResult = result;
    out.heldReferences = context->ForeignReferences();
    if (sessionState) {
        out.sessionId = sessionState->id;
        out.sessionCreated = sessionCreated;
        out.sessionAbandoned = sessionState->abandoned;
        session.store->Internal().Release(sessionState);
    }
    return out;
}

}  // namespace veskhost
