// Response: output and buffering, status and headers (and what may never go into them), the
// log, Redirect and cookies, read back from the PageResponse the page produced.
#include <cmath>
#include <functional>
#include <string>

#include "page_helpers.h"

namespace vesk_test {
namespace {

PageResponse WithResponse(const std::function<void(IResponse*)>& page) {
    Site site;
    return site.Run(PageRequest::Get("/"), [&](const veskhost::PageObjects& objects) {
        page(objects.response);
        return S_OK;
    });
}

// A copy of the whole counted string, embedded NULs included.
CComVariant VarBstr(BSTR text) {
    CComVariant v;
    v.SetBSTR(SysAllocStringLen(text, SysStringLen(text)));
    return v;
}

CComVariant Bytes(const std::string& bytes) {
    CComVariant v;
    v.vt = VT_ARRAY | VT_UI1;
    v.parray = SafeArrayCreateVector(VT_UI1, 0, ULONG(bytes.size()));
    if (!bytes.empty()) memcpy(v.parray->pvData, bytes.data(), bytes.size());
    return v;
}

// ---- Output ----------------------------------------------------------------------------

TEST(ResponseOutput, TextIsWrittenAsUtf8AndBytesAsGiven) {
    const PageResponse page = WithResponse([](IResponse* r) {
        EXPECT_HR(S_OK, r->Write(VarStr(L"\u00e9<")));
        EXPECT_HR(S_OK, r->Write(VarNull()));  // Null writes nothing
        EXPECT_HR(S_OK, r->Write(VarI4(12)));
        EXPECT_HR(S_OK, r->BinaryWrite(Bytes(std::string("\0\xff", 2))));
        CComVariant raw;  // a string made of bytes is written as its bytes
        raw.SetBSTR(SysAllocStringByteLen("ab", 2));
        EXPECT_HR(S_OK, r->BinaryWrite(raw));
        EXPECT_HR(DISP_E_TYPEMISMATCH, r->BinaryWrite(VarI4(1)));
    });
    EXPECT_EQ(std::string("\xc3\xa9<12\0\xff" "ab", 9), page.body);
}

TEST(ResponseOutput, BufferedOutputIsClearedFlushedAndEnded) {
    const PageResponse page = WithResponse([](IResponse* r) {
        r->Write(VarStr(L"a"));
        EXPECT_HR(S_OK, r->Clear());
        r->Write(VarStr(L"b"));
        EXPECT_HR(S_OK, r->Flush());
        r->Write(VarStr(L"c"));
        EXPECT_HR(S_OK, r->Clear());  // only what was not yet sent
        r->Write(VarStr(L"d"));
        EXPECT_HR(S_OK, r->End());
        EXPECT_HR(S_OK, r->Write(VarStr(L"e")));  // after End output is dropped
        EXPECT_HR(S_OK, r->End());
    });
    EXPECT_EQ("bd", page.body);
    EXPECT_TRUE(page.ended);
}

TEST(ResponseOutput, HeadersCannotChangeOnceOutputIsSent) {
    const std::function<HRESULT(IResponse*)> changes[] = {
        [](IResponse* r) { return r->put_Status(CComBSTR(L"404 Not Found")); },
        [](IResponse* r) { return r->AddHeader(CComBSTR(L"X-A"), CComBSTR(L"1")); },
        [](IResponse* r) { return r->put_ContentType(CComBSTR(L"text/plain")); },
        [](IResponse* r) { return r->put_Buffer(VARIANT_FALSE); },
        [](IResponse* r) { return r->Redirect(CComBSTR(L"/x")); },
        [](IResponse* r) {
            CComPtr<IRequestDictionary> cookies;
            r->get_Cookies(cookies.Receive());
            CComVariant cookie;
            return cookies->get_Item(VarStr(L"new"), cookie.Receive());
        },
    };
    for (const auto& change : changes) {
        const PageResponse page = WithResponse([&](IResponse* r) {
            r->Write(VarStr(L"x"));
            ASSERT_HR(S_OK, r->Flush());
            EXPECT_HR(E_FAIL, change(r));
            EXPECT_EQ(L"The headers have been sent with the first output; they can no longer change.",
                      LastError().description);
        });
        EXPECT_EQ(L"200 OK", page.status);
        EXPECT_TRUE(page.headers.empty());
        EXPECT_TRUE(page.cookies.empty());
    }
}

TEST(ResponseOutput, WithoutBufferingOutputIsSentAtOnce) {
    const PageResponse page = WithResponse([](IResponse* r) {
        ASSERT_HR(S_OK, r->put_Buffer(VARIANT_FALSE));
        r->Write(VarStr(L"x"));
        EXPECT_HR(E_FAIL, r->Clear());
        EXPECT_HR(E_FAIL, r->Flush());
        EXPECT_HR(E_FAIL, r->AddHeader(CComBSTR(L"X-A"), CComBSTR(L"1")));
    });
    EXPECT_EQ("x", page.body);
}

TEST(ResponseOutput, PropertiesStartFromTheHostsDefaults) {
    Site site;
    site.config.codePage = 1252;
    PageRequest request = PageRequest::Get("/");
    request.clientConnected = false;
    const PageResponse page = site.Page(request, [](const veskhost::PageObjects& p) {
        EXPECT_EQ(L"text/html", Read(p.response, L"ContentType"));
        EXPECT_EQ(L"private", Read(p.response, L"CacheControl"));
        EXPECT_EQ(L"", Read(p.response, L"CharSet"));
        EXPECT_EQ(L"200 OK", Read(p.response, L"Status"));
        EXPECT_EQ(L"1252", Read(p.response, L"CodePage"));
        EXPECT_EQ(L"2048", Read(p.response, L"LCID"));
        VARIANT_BOOL flag = VARIANT_FALSE;
        EXPECT_HR(S_OK, p.response->get_Buffer(&flag));
        EXPECT_EQ(VARIANT_TRUE, flag);
        EXPECT_HR(S_OK, p.response->IsClientConnected(&flag));
        EXPECT_EQ(VARIANT_FALSE, flag);
        CComVariant expires;
        EXPECT_HR(S_OK, p.response->get_Expires(expires.Receive()));
        EXPECT_EQ(VT_EMPTY, expires.vt);
        EXPECT_HR(S_OK, Call(p.response, L"Expires", DISPATCH_PROPERTYPUT, Args(VarI4(-1))));
        CComVariant date;
        date.vt = VT_DATE;
        date.date = 47485.5;
        EXPECT_HR(S_OK, Call(p.response, L"ExpiresAbsolute", DISPATCH_PROPERTYPUT, Args(std::move(date))));
        EXPECT_HR(DISP_E_TYPEMISMATCH,
                  Call(p.response, L"ExpiresAbsolute", DISPATCH_PROPERTYPUT, Args(VarStr(L"not a date"))));
        EXPECT_HR(E_INVALIDARG, p.response->put_ExpiresAbsolute(1e300));
        EXPECT_HR(E_INVALIDARG, p.response->put_ExpiresAbsolute(std::nan("")));
        EXPECT_HR(S_OK, Call(p.response, L"ContentType", DISPATCH_PROPERTYPUT, Args(VarStr(L"text/plain"))));
        EXPECT_HR(S_OK, Call(p.response, L"CharSet", DISPATCH_PROPERTYPUT, Args(VarStr(L"utf-8"))));
    });
    EXPECT_EQ(-1, page.expiresMinutes.value_or(0));
    EXPECT_EQ(47485.5, page.expiresAbsolute.value_or(0));
    EXPECT_EQ(L"text/plain", page.contentType);
    EXPECT_EQ(L"utf-8", page.charSet);
}

// ---- Headers ---------------------------------------------------------------------------

TEST(ResponseHeaders, NoValueThatCouldSplitTheResponseIsTaken) {
    using Setter = std::function<HRESULT(IResponse*, BSTR)>;
    const struct {
        const char* label;
        Setter set;
    } setters[] = {
        {"Status", [](IResponse* r, BSTR v) { return r->put_Status(v); }},
        {"AddHeader name", [](IResponse* r, BSTR v) { return r->AddHeader(v, CComBSTR(L"1")); }},
        {"AddHeader value", [](IResponse* r, BSTR v) { return r->AddHeader(CComBSTR(L"X-A"), v); }},
        {"Add value", [](IResponse* r, BSTR v) { return r->Add(v, CComBSTR(L"X-A")); }},
        {"ContentType", [](IResponse* r, BSTR v) { return r->put_ContentType(v); }},
        {"CharSet", [](IResponse* r, BSTR v) { return r->put_CharSet(v); }},
        {"CacheControl", [](IResponse* r, BSTR v) { return r->put_CacheControl(v); }},
        {"Pics", [](IResponse* r, BSTR v) { return r->Pics(v); }},
        {"Redirect", [](IResponse* r, BSTR v) { return r->Redirect(v); }},
        {"cookie name", [](IResponse* r, BSTR v) { return Call(r, L"Cookies", DISPATCH_PROPERTYPUT, Args(VarBstr(v), VarStr(L"1"))); }},
        {"cookie value", [](IResponse* r, BSTR v) { return Call(r, L"Cookies", DISPATCH_PROPERTYPUT, Args(VarStr(L"c"), VarBstr(v))); }},
        {"cookie key", [](IResponse* r, BSTR v) {
             CComVariant cookie;
             Call(r, L"Cookies", kGet, Args(VarStr(L"c")), &cookie);
             return Call(cookie.pdispVal, nullptr, DISPATCH_PROPERTYPUT, Args(VarBstr(v), VarStr(L"1")));
         }},
        {"cookie path", [](IResponse* r, BSTR v) {
             CComVariant cookie;
             Call(r, L"Cookies", kGet, Args(VarStr(L"c")), &cookie);
             return Call(cookie.pdispVal, L"Path", DISPATCH_PROPERTYPUT, Args(VarBstr(v)));
         }},
        {"cookie domain", [](IResponse* r, BSTR v) {
             CComVariant cookie;
             Call(r, L"Cookies", kGet, Args(VarStr(L"c")), &cookie);
             return Call(cookie.pdispVal, L"Domain", DISPATCH_PROPERTYPUT, Args(VarBstr(v)));
         }},
    };
    const std::wstring breaks[] = {L"200 a\rSet-Cookie: x=1", L"200 a\nb", std::wstring(L"200 a\0b", 7)};
    for (const auto& setter : setters) {
        for (const std::wstring& text : breaks) {
            const PageResponse page = WithResponse([&](IResponse* r) {
                EXPECT_HR(E_INVALIDARG, setter.set(r, CComBSTR(text.data(), UINT(text.size())))) << setter.label;
            });
            EXPECT_EQ(L"200 OK", page.status) << setter.label;
            EXPECT_EQ(L"text/html", page.contentType) << setter.label;
            EXPECT_TRUE(page.headers.empty()) << setter.label;
            EXPECT_FALSE(page.ended) << setter.label;
            for (const auto& cookie : page.cookies) {
                EXPECT_EQ(std::wstring::npos, cookie.SetCookieHeader().find_first_of(L"\r\n")) << setter.label;
            }
        }
    }
}

TEST(ResponseHeaders, StatusIsACodeThenItsReason) {
    const struct {
        const wchar_t* status;
        HRESULT hr;
        int code;
    } cases[] = {
        {L"404 Not Found", S_OK, 404}, {L"204", S_OK, 204},    {L"200OK", E_INVALIDARG, 200},
        {L"20 x", E_INVALIDARG, 200},  {L"abc d", E_INVALIDARG, 200}, {L"", E_INVALIDARG, 200},
        {L"099 Low", E_INVALIDARG, 200},
    };
    for (const auto& c : cases) {
        const PageResponse page = WithResponse([&](IResponse* r) { EXPECT_HR(c.hr, r->put_Status(CComBSTR(c.status))); });
        EXPECT_EQ(c.code, page.statusCode) << Utf8(c.status);
    }
}

TEST(ResponseHeaders, HeadersKeepTheirOrderAndNamesAreTokens) {
    const PageResponse page = WithResponse([](IResponse* r) {
        EXPECT_HR(S_OK, r->AddHeader(CComBSTR(L"X-A"), CComBSTR(L"1")));
        EXPECT_HR(S_OK, r->Add(CComBSTR(L"2"), CComBSTR(L"X-B")));  // the hidden Add takes the value first
        EXPECT_HR(S_OK, r->Pics(CComBSTR(L"(pics-1.1)")));
        EXPECT_HR(E_INVALIDARG, r->AddHeader(CComBSTR(L"Two Words"), CComBSTR(L"x")));
        EXPECT_HR(E_INVALIDARG, r->AddHeader(CComBSTR(L"A:B"), CComBSTR(L"x")));
        EXPECT_HR(E_INVALIDARG, r->AddHeader(CComBSTR(L""), CComBSTR(L"x")));
    });
    ASSERT_EQ(3u, page.headers.size());
    EXPECT_EQ(L"X-A", page.headers[0].first);
    EXPECT_EQ(L"X-B", page.headers[1].first);
    EXPECT_EQ(L"2", page.headers[1].second);
    EXPECT_EQ(L"PICS-Label", page.headers[2].first);
}

// ---- Log -------------------------------------------------------------------------------

TEST(ResponseLog, EachEntryStaysOneLine) {
    const struct {
        std::wstring entry;
        std::wstring logged;
    } cases[] = {
        {L"[page:done]", L"[page:done]"},
        {L"a\nb", L"a\\x0Ab"},
        {L"a\r\nforged entry", L"a\\x0D\\x0Aforged entry"},
        {L"tab\t", L"tab\\x09"},
        {std::wstring(L"nul\0", 4), L"nul\\x00"},
        {L"del\x7f", L"del\\x7F"},
        {L"back\\x0A", L"back\\\\x0A"},  // an escape a script wrote is not taken for one of ours
        {L"sep\u2028\u2029\u0085", L"sep\\u2028\\u2029\\u0085"},
        {L"caf\u00e9", L"caf\u00e9"},
    };
    const PageResponse page = WithResponse([&](IResponse* r) {
        for (const auto& c : cases) EXPECT_HR(S_OK, r->AppendToLog(CComBSTR(c.entry.data(), UINT(c.entry.size()))));
    });
    ASSERT_EQ(std::size(cases), page.log.size());
    for (size_t i = 0; i < std::size(cases); ++i) EXPECT_EQ(cases[i].logged, page.log[i]);
}

// ---- Redirect --------------------------------------------------------------------------

TEST(ResponseRedirect, SetsTheStatusAndLocationAndEndsThePage) {
    const PageResponse page = WithResponse([](IResponse* r) {
        r->Write(VarStr(L"dropped"));
        EXPECT_HR(S_OK, r->Redirect(CComBSTR(L"/next?a=1&b=\"2\"")));
        EXPECT_HR(S_OK, r->Write(VarStr(L"after")));
    });
    EXPECT_EQ(302, page.statusCode);
    EXPECT_EQ(L"302 Object moved", page.status);
    ASSERT_EQ(1u, page.headers.size());
    EXPECT_EQ(L"Location", page.headers[0].first);
    EXPECT_EQ(L"/next?a=1&b=\"2\"", page.headers[0].second);
    EXPECT_NE(std::string::npos, page.body.find("HREF=\"/next?a=1&amp;b=&quot;2&quot;\""));
    EXPECT_EQ(std::string::npos, page.body.find("dropped"));
    EXPECT_EQ(std::string::npos, page.body.find("after"));
    EXPECT_TRUE(page.ended);
}

// ---- Cookies ---------------------------------------------------------------------------

TEST(ResponseCookies, ValuesKeysAndAttributesAsScriptsSetThem) {
    const PageResponse page = WithResponse([](IResponse* r) {
        ASSERT_HR(S_OK, Call(r, L"Cookies", DISPATCH_PROPERTYPUT, Args(VarStr(L"user"), VarStr(L"a b;c"))));
        CComVariant prefs;
        ASSERT_HR(S_OK, Call(r, L"Cookies", kGet, Args(VarStr(L"prefs")), &prefs));
        ASSERT_EQ(VT_DISPATCH, prefs.vt);
        EXPECT_HR(S_OK, Call(prefs.pdispVal, nullptr, DISPATCH_PROPERTYPUT, Args(VarStr(L"lang"), VarStr(L"en"))));
        EXPECT_HR(S_OK, Call(prefs.pdispVal, L"Item", DISPATCH_PROPERTYPUT, Args(VarStr(L"theme"), VarStr(L"dark"))));
        EXPECT_HR(S_OK, Call(prefs.pdispVal, L"Item", DISPATCH_PROPERTYPUT, Args(VarStr(L"LANG"), VarStr(L"fr"))));
        EXPECT_HR(S_OK, Call(prefs.pdispVal, L"Path", DISPATCH_PROPERTYPUT, Args(VarStr(L"/app"))));
        EXPECT_HR(S_OK, Call(prefs.pdispVal, L"Domain", DISPATCH_PROPERTYPUT, Args(VarStr(L"example.test"))));
        EXPECT_HR(S_OK, Call(prefs.pdispVal, L"Secure", DISPATCH_PROPERTYPUT, Args(VarBool(true))));
        CComVariant expires;
        expires.vt = VT_DATE;
        expires.date = 47485.0 + 11045.0 / 86400.0;  // 2 January 2030, 03:04:05
        EXPECT_HR(S_OK, Call(prefs.pdispVal, L"Expires", DISPATCH_PROPERTYPUT, Args(std::move(expires))));
        CComPtr<IWriteCookie> typed;
        ASSERT_HR(S_OK, prefs.pdispVal->QueryInterface(IID_IWriteCookie, typed.ReceiveVoid()));
        EXPECT_HR(E_INVALIDARG, typed->put_Expires(std::nan("")));
        CComVariant hasKeys;
        EXPECT_HR(S_OK, Call(prefs.pdispVal, L"HasKeys", kGet, {}, &hasKeys));
        EXPECT_EQ(VT_BOOL, hasKeys.vt);
        EXPECT_EQ(VARIANT_TRUE, hasKeys.boolVal);
        CComVariant count;
        Call(r, L"Cookies", kGet, {}, &count);
        EXPECT_EQ(L"2", Read(count.pdispVal, L"Count"));
    });
    ASSERT_EQ(2u, page.cookies.size());
    EXPECT_EQ(L"user=a+b%3Bc; path=/", page.cookies[0].SetCookieHeader());  // a session cookie has no expiry
    EXPECT_EQ(L"prefs=lang=fr&theme=dark; expires=Wed, 02 Jan 2030 03:04:05 GMT; domain=example.test; path=/app; secure",
              page.cookies[1].SetCookieHeader());
}

}  // namespace
}  // namespace vesk_test
