// The host's page objects and the small API a host runs a page with. A page is one request:
// the host builds a PageRequest, calls RunPage with a callback, and RunPage makes the page
// objects (Server, Application, Request, Response and, with a session store, Session), sets
// their object context as the calling thread's for the callback, and hands back what the page
// produced. Between pages the host keeps the site's PageApplication and its SessionStore.
//
//   PageHostConfig config;                      // limits and defaults, in one place
//   config.siteRoot = L"/srv/site";
//   PageApplication application;
//   SessionStore sessions(config);
//   PageRequest request = PageRequest::Get("/index.asp?c=edit").Header("Cookie", "lang=en");
//   PageResponse page = RunPage(config, application, request,
//       [](const PageObjects& objects) {
//           CComPtr<IDispatch> vesk;            // CoCreateInstance finds the page's context
//           return CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch, vesk.ReceiveVoid());
//       },
//       {&sessions, visitorSessionId});         // the id from the visitor's cookie, if any
//   // page.statusCode, page.headers, page.body, page.log, page.cookies, page.sessionId ...
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "host/ccom.h"

namespace veskhost {

// The names enumerator of the object context (IGetContextProperties::EnumNames). No published
// identifier is known for it, so the host gives it one of its own.
HOST_API extern const IID IID_IEnumNames;

// Every limit and default of the page objects.
struct PageHostConfig {
    // The largest request body the page may read. A larger one is refused whole: BinaryRead
    // fails with E_FAIL and sets its count to 0, and the Form collection fails.
    size_t uploadLimit = 4 * 1024 * 1024;
    // A new session's Timeout: the minutes it may stay idle before the store ends it.
    int32_t sessionTimeoutMinutes = 20;
    // Server.ScriptTimeout's starting value, in seconds. This host reports it and keeps what a
    // script sets; stopping a script that runs too long is the script engine's business.
    int32_t scriptTimeoutSeconds = 90;
    // Response.CodePage and Session.CodePage start here. Text is always written as UTF-8.
    int32_t codePage = 65001;
    // The physical folder that Server.MapPath maps "/" to; empty, MapPath fails.
    std::wstring siteRoot;
    // The clock session expiry reads; null reads the steady clock.
    std::function<std::chrono::steady_clock::time_point()> clock;
    // Called as a session ends (expired, abandoned, or with the store), before its Contents
    // are released, with a Session object for it that works for the call only. A host runs
    // its end-of-session script here. It may run on any thread that ends sessions.
    std::function<void(PravoltTypeLibrary::ISessionObject* session)> onSessionEnd;
};

// One HTTP request as the host received it. Text is UTF-8 bytes.
struct PageRequest {
    std::string method = "GET";
    std::string url = "/";  // the path, then "?" and the query string when there is one
    std::vector<std::pair<std::string, std::string>> headers;  // in the order received
    std::string body;
    std::string remoteAddress = "127.0.0.1";
    std::string serverName = "localhost";
    uint16_t serverPort = 80;
    bool https = false;
    bool clientConnected = true;  // what Response.IsClientConnected answers

    static PageRequest Get(std::string url);
    // A POST with a Content-Type header and the body.
    static PageRequest Post(std::string url, std::string contentType, std::string body);
    PageRequest& Header(std::string name, std::string value);
};

// A cookie the page set through Response.Cookies.
struct PageCookie {
    std::wstring name;
    std::wstring value;                                       // the value when it has no keys
    std::vector<std::pair<std::wstring, std::wstring>> keys;  // its keys and values, in the order set
    DATE expires = 0;                                         // 0: it lasts as long as the browser session
    std::wstring domain;
    std::wstring path = L"/";
    bool secure = false;

    // The value of a Set-Cookie header: name and values URL-encoded, keys joined with "&".
    std::wstring SetCookieHeader() const;
};

// What a page produced.
struct PageResponse {
    HRESULT pageResult = S_OK;  // what the page callback returned
    std::wstring status = L"200 OK";
    int statusCode = 200;
    std::wstring contentType = L"text/html";
    std::wstring charSet;  // empty: none was set
    std::wstring cacheControl = L"private";
    std::optional<int32_t> expiresMinutes;
    std::optional<DATE> expiresAbsolute;
    // AddHeader's headers in the order added, with Pics and Redirect's Location among them.
    std::vector<std::pair<std::wstring, std::wstring>> headers;
    std::string body;  // the bytes sent: Write's text as UTF-8, BinaryWrite's bytes as given
    std::vector<std::wstring> log;  // AppendToLog's entries, each one line
    std::vector<PageCookie> cookies;
    bool ended = false;  // End or Redirect stopped the output
    std::wstring sessionId;  // the session the page ran in; empty without one
    bool sessionCreated = false;    // the visitor had no live session, so the page started one
    bool sessionAbandoned = false;  // the page abandoned it; the store has ended it
    // References to this page's objects (the context, the five page objects and everything
    // they made for the page) that someone still held when the page ended. A page that
    // released everything it took leaves 0.
    ULONG heldReferences = 0;
};

// The application of one site: its Contents and the lock pages take with Application.Lock.
// Pages share it; it lives as long as the host keeps it.
class HOST_API PageApplication {
public:
    PageApplication();
    ~PageApplication();
    PageApplication(const PageApplication&) = delete;
    PageApplication& operator=(const PageApplication&) = delete;

    // Application.Contents' entries, for the host itself (waits while a page holds the lock).
    HRESULT SetValue(const wchar_t* name, const VARIANT& value);
    CComVariant Value(const wchar_t* name) const;
    size_t Count() const;
    // True while a page holds Application.Lock.
    bool Locked() const;

    // What the page objects share; defined where they are.
    struct State;
    const std::shared_ptr<State>& Shared() const { return m_state; }

private:
    std::shared_ptr<State> m_state;
};

// The sessions of one site, by id. A session ends when it stays idle past its Timeout, when
// a page abandons it, or with the store; ending releases everything its Contents hold.
class HOST_API SessionStore {
public:
    explicit SessionStore(const PageHostConfig& config);
    ~SessionStore();
    SessionStore(const SessionStore&) = delete;
    SessionStore& operator=(const SessionStore&) = delete;

    // Live sessions, after ending the expired ones.
    size_t Count();
    bool Contains(std::wstring_view id);
    // Ends every session idle past its timeout that no page is using; returns how many.
    size_t SweepExpired();
    // Ends the session now; false when there is no such live session.
    bool End(std::wstring_view id);

    // What RunPage takes and gives back sessions through; defined with the page objects.
    struct Impl;
    Impl& Internal() { return *m_impl; }

private:
    std::unique_ptr<Impl> m_impl;
};

// The session a page runs in: the store's session with this id, or a new one when the id is
// empty or names no live session (a visitor's id is never adopted for a new session). A null
// store runs the page without a Session.
struct PageSession {
    SessionStore* store = nullptr;
    std::wstring id;
};

// The page's objects, borrowed for the callback (the context holds them).
struct PageObjects {
    IGetContextProperties* context;
    PravoltTypeLibrary::IServer* server;
    PravoltTypeLibrary::IApplicationObject* application;
    PravoltTypeLibrary::IRequest* request;
    PravoltTypeLibrary::IResponse* response;
    PravoltTypeLibrary::ISessionObject* session;  // null without a session store
    // True once Response.End or Redirect has stopped the output; a host's script engine
    // stops the page's script when it sees it.
    const bool* responseEnded;
    bool sessionCreated;  // the page started its session
};

using PageCallback = std::function<HRESULT(const PageObjects& objects)>;

// Runs one page: builds its objects, makes their context the thread's object context for the
// callback, then ends the page (the Application lock it still holds is released, a buffered
// Response is sent, an abandoned session is ended) and reports what it produced. Page objects
// still referenced after the page answer E_FAIL to anything that would act on the page.
HOST_API PageResponse RunPage(const PageHostConfig& config, PageApplication& application, const PageRequest& request,
                              const PageCallback& page, PageSession session = {});

}  // namespace veskhost

ZUL_DEFINE_UUIDOF(IEnumNames, veskhost::IID_IEnumNames)
