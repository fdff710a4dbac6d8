// Server: the encoders as scripts call them by name, MapPath under the site root, object
// creation by ProgID, ScriptTimeout.
#include <functional>
#include <string>

#include "page_helpers.h"

namespace vesk_test {
namespace {

void WithServer(const std::function<void(IServer*)>& check, veskhost::PageHostConfig config = {},
                const char* url = "/app/page.asp") {
    Site site(std::move(config));
    site.Run(PageRequest::Get(url), [&](const veskhost::PageObjects& page) {
        check(page.server);
        return S_OK;
    });
}

TEST(ServerEncoders, EncodeAsThePublishedServerDoes) {
    const struct {
        const wchar_t* member;
        std::wstring in;
        std::wstring out;
    } cases[] = {
        {L"URLEncode", L"a b&c", L"a+b%26c"},
        {L"URLEncode", L"hello.asp", L"hello%2Easp"},  // only letters and digits stay
        {L"URLEncode", L"~-_*", L"%7E%2D%5F%2A"},
        {L"URLEncode", L"AZaz09", L"AZaz09"},
        {L"URLEncode", L"\u00e9", L"%C3%A9"},
        {L"URLEncode", L"\u20ac", L"%E2%82%AC"},
        {L"URLEncode", L"\U0001F600", L"%F0%9F%98%80"},
        {L"URLEncode", std::wstring(L"a\0b", 3), L"a%00b"},
        {L"URLEncode", L"", L""},
        {L"urlencode", L"x y", L"x+y"},  // names are matched ignoring case
        {L"HTMLEncode", L"<a href=\"x\">&'</a>", L"&lt;a href=&quot;x&quot;&gt;&amp;'&lt;/a&gt;"},
        {L"HTMLEncode", L"caf\u00e9 \u20ac \U0001F600", L"caf&#233; &#8364; &#128512;"},
        {L"HTMLEncode", L"plain text", L"plain text"},
        {L"URLPathEncode", L"/a b/c?d=e f", L"/a%20b/c?d=e%20f"},
        {L"URLPathEncode", L"/\u00e9t\u00e9/%41", L"/%C3%A9t%C3%A9/%41"},
        {L"URLPathEncode", L"/tab\there", L"/tab%09here"},
    };
    WithServer([&](IServer* server) {
        for (const auto& c : cases) {
            CComVariant in;
            in.SetBSTR(SysAllocStringLen(c.in.data(), UINT(c.in.size())));
            CComVariant out;
            ASSERT_HR(S_OK, Call(server, c.member, kGet, Args(std::move(in)), &out)) << Utf8(c.member);
            ASSERT_EQ(VT_BSTR, out.vt);
            EXPECT_BSTR_EQ(c.out, out.bstrVal) << Utf8(c.member) << " of " << Utf8(c.in);
        }
    });
}

TEST(ServerMapPath, MapsUnderTheSiteRootAndRefusesAPathThatClimbsOut) {
    veskhost::PageHostConfig config;
    config.siteRoot = L"/srv/site/";
    const struct {
        const wchar_t* logical;
        const wchar_t* physical;  // null: refused
    } cases[] = {
        {L"/", L"/srv/site"},
        {L"/img/a.png", L"/srv/site/img/a.png"},
        {L"x.txt", L"/srv/site/app/x.txt"},  // from the page's own folder
        {L"", L"/srv/site/app"},
        {L"../up.txt", L"/srv/site/up.txt"},
        {L"./a/./b/../c", L"/srv/site/app/a/c"},
        {L"\\win\\style", L"/srv/site/win/style"},
        {L"/a/..", L"/srv/site"},
        {L"/a/../../etc/passwd", nullptr},
        {L"../../etc", nullptr},
        {L"..\\..\\etc", nullptr},
    };
    WithServer([&](IServer* server) {
        for (const auto& c : cases) {
            CComBSTR physical;
            const HRESULT hr = server->MapPath(CComBSTR(c.logical), physical.Receive());
            if (c.physical) {
                EXPECT_HR(S_OK, hr) << Utf8(c.logical);
                EXPECT_BSTR_EQ(c.physical, physical) << Utf8(c.logical);
            } else {
                EXPECT_HR(E_FAIL, hr) << Utf8(c.logical);
                const ErrorText error = LastError();
                EXPECT_EQ(L"Server object", error.source);
                EXPECT_EQ(L"MapPath takes a path inside the site; this one climbs out of it.", error.description);
            }
        }
    }, config);
    WithServer([](IServer* server) {
        CComBSTR physical;
        EXPECT_HR(E_FAIL, server->MapPath(CComBSTR(L"/"), physical.Receive()));
        EXPECT_EQ(L"MapPath has no site root to map to.", LastError().description);
    });
}

TEST(ServerCreateObject, CreatesByProgIDThroughTheRegistry) {
    WithServer([](IServer* server) {
        for (const wchar_t* progId : {L"Scripting.Dictionary", L"scripting.DICTIONARY"}) {
            CComVariant object;
            ASSERT_HR(S_OK, Call(server, L"CreateObject", kGet, Args(VarStr(progId)), &object)) << Utf8(progId);
            ASSERT_EQ(VT_DISPATCH, object.vt);
            EXPECT_HR(S_OK, Call(object.pdispVal, L"Add", kGet, Args(VarStr(L"k"), VarI4(1))));
            EXPECT_EQ(L"1", Read(object.pdispVal, L"Count"));
        }
        CComPtr<IDispatch> none;
        EXPECT_HR(hresult_of(0x800401F3u), server->CreateObject(CComBSTR(L"No.Such.Class"), none.Receive()));
        EXPECT_FALSE(none);
        const ErrorText error = LastError();
        EXPECT_EQ(L"Server object", error.source);
        EXPECT_EQ(L"Invalid class string: no class has that ProgID.", error.description);
    });
}

TEST(ServerScriptTimeout, StartsFromTheConfigurationAndTakesSecondsAboveZero) {
    veskhost::PageHostConfig config;
    config.scriptTimeoutSeconds = 45;
    WithServer([](IServer* server) {
        LONG seconds = 0;
        EXPECT_HR(S_OK, server->get_ScriptTimeout(&seconds));
        EXPECT_EQ(45, seconds);
        EXPECT_HR(E_INVALIDARG, server->put_ScriptTimeout(0));
        EXPECT_HR(S_OK, Call(server, L"ScriptTimeout", DISPATCH_PROPERTYPUT, Args(VarI4(300))));
        EXPECT_EQ(L"300", Read(server, L"ScriptTimeout"));
        EXPECT_HR(E_NOTIMPL, server->Execute(CComBSTR(L"/other.asp")));
        EXPECT_HR(E_NOTIMPL, server->Transfer(CComBSTR(L"/other.asp")));
    }, config);
}

}  // namespace
}  // namespace vesk_test
