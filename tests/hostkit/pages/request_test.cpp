// Request: decoding of query strings and form bodies, the collections' keys and value lists,
// Item's search, the server variables, cookies, and the body under the upload limit.
#include <functional>
#include <string>
#include <vector>

#include "hostkit/components/components.h"

#include "page_helpers.h"

namespace vesk_test {
namespace {

// Runs a page on the request and hands its Request to check.
void WithRequest(const PageRequest& request, const std::function<void(IRequest*)>& check,
                 veskhost::PageHostConfig config = {}) {
    Site site(std::move(config));
    site.Run(request, [&](const veskhost::PageObjects& page) {
        check(page.request);
        return S_OK;
    });
}

using Getter = HRESULT (IRequest::*)(IRequestDictionary**);

CComPtr<IRequestDictionary> CollectionOf(IRequest* request, Getter getter) {
    CComPtr<IRequestDictionary> collection;
    EXPECT_HR(S_OK, (request->*getter)(collection.Receive()));
    return collection;
}

CComVariant ItemOf(IRequestDictionary* collection, const VARIANT& key) {
    CComVariant item;
    EXPECT_HR(S_OK, collection->get_Item(key, item.Receive()));
    return item;
}

// The Count of a value list, or -1 when the item is no value list.
int ListCount(const VARIANT& item) {
    if (item.vt != VT_DISPATCH || item.pdispVal == nullptr) return -1;
    CComPtr<IStringList> list;
    if (FAILED(item.pdispVal->QueryInterface(IID_IStringList, list.ReceiveVoid()))) return -1;
    int count = -1;
    list->get_Count(&count);
    return count;
}

std::wstring ListValue(const VARIANT& item, int index) {
    CComPtr<IStringList> list;
    if (item.vt != VT_DISPATCH || FAILED(item.pdispVal->QueryInterface(IID_IStringList, list.ReceiveVoid())))
        return L"<no list>";
    CComVariant value;
    if (FAILED(list->get_Item(VarI4(index), value.Receive()))) return L"<no item>";
    return TextOf(value);
}

const VARIANT kOmitted = [] {
    VARIANT v{};
    v.vt = VT_ERROR;
    v.scode = DISP_E_PARAMNOTFOUND;
    return v;
}();

// ---- Decoding --------------------------------------------------------------------------

TEST(RequestDecoding, QueryAndFormFieldsDecodeAsTheServerDoes) {
    const struct {
        const char* field;   // one field of the query string and of the form body
        const wchar_t* key;  // the key to read back
        std::wstring value;
    } cases[] = {
        {"a=1+2", L"a", L"1 2"},
        {"a=%41%62", L"a", L"Ab"},
        {"a=%c3%a9", L"a", L"\u00e9"},             // lower-case hex, two bytes of UTF-8
        {"a=%E2%82%AC", L"a", L"\u20ac"},
        {"a=%F0%9F%98%80", L"a", L"\U0001F600"},   // four bytes: one character
        {"a=\xc3\xa9", L"a", L"\u00e9"},           // UTF-8 sent unescaped
        {"a=%zz", L"a", L"%zz"},                   // invalid escapes stay as written
        {"a=100%", L"a", L"100%"},
        {"a=%4", L"a", L"%4"},
        {"a=%%41", L"a", L"%A"},
        {"a=%C3", L"a", L"\ufffd"},                // a lone lead byte is no character
        {"a=x%00y", L"a", std::wstring(L"x\0y", 3)},
        {"a==b", L"a", L"=b"},
        {"a%20b=1", L"a b", L"1"},                 // keys decode as values do
        {"a+b=1", L"A B", L"1"},                   // and are found ignoring case
        {"flag", L"flag", L""},                    // no "=": the key with an empty value
        {"=v", L"", L"v"},
    };
    for (const auto& c : cases) {
        const PageRequest get = PageRequest::Get(std::string("/p?") + c.field);
        const PageRequest post = PageRequest::Post("/p", "application/x-www-form-urlencoded", c.field);
        const std::pair<PageRequest, Getter> both[] = {{get, &IRequest::get_QueryString}, {post, &IRequest::get_Form}};
        for (const auto& [request, getter] : both) {
            WithRequest(request, [&, getter = getter](IRequest* r) {
                const CComVariant item = ItemOf(CollectionOf(r, getter).Get(), VarStr(c.key));
                EXPECT_EQ(1, ListCount(item)) << c.field;
                EXPECT_EQ(c.value, TextOf(item)) << c.field;
            });
        }
    }
}

TEST(RequestDecoding, EmptyFieldsAreSkipped) {
    WithRequest(PageRequest::Get("/p?a=1&&b=2&"), [](IRequest* r) {
        auto query = CollectionOf(r, &IRequest::get_QueryString);
        int count = 0;
        EXPECT_HR(S_OK, query->get_Count(&count));
        EXPECT_EQ(2, count);
    });
}

// ---- Collections -----------------------------------------------------------------------

TEST(RequestCollections, RepeatedKeysKeepEveryValueInOrder) {
    WithRequest(PageRequest::Get("/p?a=1&b=x&A=2&a=3"), [](IRequest* r) {
        auto query = CollectionOf(r, &IRequest::get_QueryString);
        int keys = 0;
        query->get_Count(&keys);
        EXPECT_EQ(2, keys);
        const CComVariant a = ItemOf(query.Get(), VarStr(L"a"));
        EXPECT_EQ(3, ListCount(a));
        EXPECT_EQ(L"1", ListValue(a, 1));
        EXPECT_EQ(L"2", ListValue(a, 2));
        EXPECT_EQ(L"3", ListValue(a, 3));
        EXPECT_EQ(L"1, 2, 3", TextOf(a));  // the list's default value joins them
        EXPECT_EQ(L"<no item>", ListValue(a, 4));
        EXPECT_EQ(L"<no item>", ListValue(a, 0));

        CComVariant key;
        EXPECT_HR(S_OK, query->get_Key(VarI4(1), key.Receive()));
        EXPECT_EQ(L"a", TextOf(key));  // as first sent
        key.Reset();
        EXPECT_HR(S_OK, query->get_Key(VarI4(2), key.Receive()));
        EXPECT_EQ(L"b", TextOf(key));
        EXPECT_EQ(L"x", TextOf(ItemOf(query.Get(), VarI4(2))));  // a number is a position
    });
}

// What For Each walks: a collection's keys, a value list's values, both as they were sent.
std::vector<std::wstring> Walk(IDispatch* object) {
    CComVariant enumerator;
    EXPECT_HR(S_OK, Call(object, L"_NewEnum", kGet, {}, &enumerator));
    CComPtr<veskhost::IEnumVARIANT> items;
    EXPECT_HR(S_OK, enumerator.punkVal->QueryInterface(veskhost::IID_IEnumVARIANT, items.ReceiveVoid()));
    std::vector<std::wstring> walked;
    for (CComVariant item; items->Next(1, item.Receive(), nullptr) == S_OK; item.Reset()) walked.push_back(TextOf(item));
    return walked;
}

TEST(RequestCollections, ForEachWalksKeysAndValuesInTheOrderSent) {
    WithRequest(PageRequest::Get("/p?b=2&a=1&b=3"), [](IRequest* r) {
        auto query = CollectionOf(r, &IRequest::get_QueryString);
        EXPECT_EQ((std::vector<std::wstring>{L"b", L"a"}), Walk(query.Get()));
        const CComVariant b = ItemOf(query.Get(), VarStr(L"b"));
        EXPECT_EQ((std::vector<std::wstring>{L"2", L"3"}), Walk(b.pdispVal));
    });
}

TEST(RequestCollections, AKeyNotSentReadsAsAnEmptyValueList) {
    const Getter collections[] = {&IRequest::get_QueryString, &IRequest::get_Form, &IRequest::get_ServerVariables,
                                  &IRequest::get_Cookies, &IRequest::get_ClientCertificate};
    WithRequest(PageRequest::Post("/p?a=1", "application/x-www-form-urlencoded", "b=2").Header("Cookie", "c=3"),
                [&](IRequest* r) {
                    for (const Getter getter : collections) {
                        const CComVariant item = ItemOf(CollectionOf(r, getter).Get(), VarStr(L"nothing"));
                        ASSERT_EQ(VT_DISPATCH, item.vt);
                        EXPECT_EQ(0, ListCount(item));
                        EXPECT_EQ(L"", TextOf(item));
                    }
                    CComPtr<IDispatch> found;
                    EXPECT_HR(S_OK, r->get_Item(CComBSTR(L"nothing"), found.Receive()));
                    EXPECT_EQ(0, ListCount(VarDisp(found.Get())));
                });
}

TEST(RequestCollections, ItemWithoutAKeyGivesTheTextAsSent) {
    WithRequest(PageRequest::Post("/p?q=%41+1", "application/x-www-form-urlencoded", "f=2&g=3")
                    .Header("Cookie", "a=1")
                    .Header("Cookie", "b=2"),
                [](IRequest* r) {
                    EXPECT_EQ(L"q=%41+1", TextOf(ItemOf(CollectionOf(r, &IRequest::get_QueryString).Get(), kOmitted)));
                    EXPECT_EQ(L"f=2&g=3", TextOf(ItemOf(CollectionOf(r, &IRequest::get_Form).Get(), kOmitted)));
                    EXPECT_EQ(L"a=1; b=2", TextOf(ItemOf(CollectionOf(r, &IRequest::get_Cookies).Get(), kOmitted)));
                });
}

TEST(RequestCollections, FormReadsOnlyAFormEncodedBody) {
    const struct {
        const char* contentType;
        int fields;
    } cases[] = {
        {"application/x-www-form-urlencoded", 1},
        {"application/x-www-form-urlencoded; charset=UTF-8", 1},
        {"Application/X-WWW-Form-Urlencoded", 1},
        {"text/plain", 0},
        {"multipart/form-data; boundary=x", 0},
    };
    for (const auto& c : cases) {
        WithRequest(PageRequest::Post("/p", c.contentType, "a=1"), [&](IRequest* r) {
            int count = -1;
            CollectionOf(r, &IRequest::get_Form)->get_Count(&count);
            EXPECT_EQ(c.fields, count) << c.contentType;
        });
    }
    PageRequest noType = PageRequest::Get("/p");
    noType.body = "a=1";
    WithRequest(noType, [](IRequest* r) {
        int count = -1;
        CollectionOf(r, &IRequest::get_Form)->get_Count(&count);
        EXPECT_EQ(0, count);
    });
}

TEST(RequestItem, SearchesQueryStringFormCookiesCertificateThenServerVariables) {
    const PageRequest request = PageRequest::Post("/p?x=query", "application/x-www-form-urlencoded", "x=form&y=form")
                                    .Header("Cookie", "x=cookie; y=cookie; z=cookie; REMOTE_ADDR=cookie");
    const struct {
        const wchar_t* name;
        const wchar_t* found;
    } cases[] = {
        {L"x", L"query"}, {L"y", L"form"}, {L"z", L"cookie"}, {L"remote_addr", L"cookie"}, {L"SERVER_PORT", L"80"},
    };
    WithRequest(request, [&](IRequest* r) {
        for (const auto& c : cases) {
            CComPtr<IDispatch> item;
            ASSERT_HR(S_OK, r->get_Item(CComBSTR(c.name), item.Receive()));
            EXPECT_EQ(c.found, TextOf(VarDisp(item.Get()))) << Utf8(c.name);
        }
    });
}

// ---- Server variables ------------------------------------------------------------------

TEST(ServerVariables, EveryRequestHasTheListedVariables) {
    PageRequest request = PageRequest::Post("/app/page.asp?c=edit&x=1", "application/x-www-form-urlencoded", "abc");
    request.remoteAddress = "10.0.0.7";
    request.serverName = "example.test";
    request.serverPort = 8443;
    request.https = true;
    const struct {
        const wchar_t* name;
        const wchar_t* value;
    } cases[] = {
        {L"REQUEST_METHOD", L"POST"},
        {L"HTTP_METHOD", L"POST"},
        {L"CONTENT_TYPE", L"application/x-www-form-urlencoded"},
        {L"HTTP_CONTENT_TYPE", L"application/x-www-form-urlencoded"},
        {L"CONTENT_LENGTH", L"3"},
        {L"QUERY_STRING", L"c=edit&x=1"},
        {L"PATH_INFO", L"/app/page.asp"},
        {L"SCRIPT_NAME", L"/app/page.asp"},
        {L"SERVER_NAME", L"example.test"},
        {L"SERVER_PORT", L"8443"},
        {L"REMOTE_ADDR", L"10.0.0.7"},
        {L"HTTPS", L"on"},
    };
    WithRequest(request, [&](IRequest* r) {
        auto variables = CollectionOf(r, &IRequest::get_ServerVariables);
        for (size_t i = 0; i < std::size(cases); ++i) {
            const CComVariant item = ItemOf(variables.Get(), VarStr(cases[i].name));
            EXPECT_EQ(1, ListCount(item)) << Utf8(cases[i].name);
            EXPECT_EQ(cases[i].value, TextOf(item)) << Utf8(cases[i].name);
            CComVariant key;  // listed in this order, before any header
            variables->get_Key(VarI4(LONG(i + 1)), key.Receive());
            EXPECT_EQ(cases[i].name, TextOf(key));
        }
    });
    WithRequest(PageRequest::Get("/"), [](IRequest* r) {
        auto variables = CollectionOf(r, &IRequest::get_ServerVariables);
        EXPECT_EQ(L"off", TextOf(ItemOf(variables.Get(), VarStr(L"HTTPS"))));
        EXPECT_EQ(L"", TextOf(ItemOf(variables.Get(), VarStr(L"HTTP_CONTENT_TYPE"))));
        EXPECT_EQ(L"0", TextOf(ItemOf(variables.Get(), VarStr(L"CONTENT_LENGTH"))));
    });
}

TEST(ServerVariables, HeadersAreHttpVariablesAndRepeatsAreJoined) {
    const PageRequest request = PageRequest::Get("/")
                                    .Header("X-Forwarded-For", "1.2.3.4")
                                    .Header("user-agent", "probe/1")
                                    .Header("Accept", "text/html")
                                    .Header("ACCEPT", "*/*");
    WithRequest(request, [](IRequest* r) {
        auto variables = CollectionOf(r, &IRequest::get_ServerVariables);
        EXPECT_EQ(L"1.2.3.4", TextOf(ItemOf(variables.Get(), VarStr(L"HTTP_X_FORWARDED_FOR"))));
        EXPECT_EQ(L"probe/1", TextOf(ItemOf(variables.Get(), VarStr(L"HTTP_USER_AGENT"))));
        const CComVariant accept = ItemOf(variables.Get(), VarStr(L"HTTP_ACCEPT"));
        EXPECT_EQ(2, ListCount(accept));
        EXPECT_EQ(L"text/html, */*", TextOf(accept));
    });
}

// The request collection a page reads is chosen by HTTP_METHOD and HTTP_CONTENT_TYPE, so a
// client's headers must not be able to name them.
TEST(ServerVariables, AHeaderCannotPassForAListedVariable) {
    const PageRequest request = PageRequest::Get("/")
                                    .Header("Method", "POST")
                                    .Header("Request-Method", "POST")
                                    .Header("Content-Type", "application/x-www-form-urlencoded");
    WithRequest(request, [](IRequest* r) {
        auto variables = CollectionOf(r, &IRequest::get_ServerVariables);
        const CComVariant method = ItemOf(variables.Get(), VarStr(L"HTTP_METHOD"));
        EXPECT_EQ(1, ListCount(method));
        EXPECT_EQ(L"GET", TextOf(method));
        EXPECT_EQ(L"GET", TextOf(ItemOf(variables.Get(), VarStr(L"REQUEST_METHOD"))));
        EXPECT_EQ(L"POST", TextOf(ItemOf(variables.Get(), VarStr(L"HTTP_REQUEST_METHOD"))));  // its own name
        const CComVariant type = ItemOf(variables.Get(), VarStr(L"HTTP_CONTENT_TYPE"));
        EXPECT_EQ(1, ListCount(type));  // the header's own value, listed once
        EXPECT_EQ(L"application/x-www-form-urlencoded", TextOf(type));
    });
}

// ---- Cookies ---------------------------------------------------------------------------

TEST(RequestCookies, PlainKeyedAndMissingCookies) {
    WithRequest(PageRequest::Get("/").Header("Cookie", "plain=1;  keyed=k1=v1&k2=v+2 ; coded=%41%42; plain=again"),
                [](IRequest* r) {
                    auto cookies = CollectionOf(r, &IRequest::get_Cookies);
                    int count = 0;
                    cookies->get_Count(&count);
                    EXPECT_EQ(3, count);  // the first cookie of a name is the one kept

                    const struct {
                        const wchar_t* name;
                        bool hasKeys;
                        int count;
                        const wchar_t* text;
                    } cases[] = {
                        {L"plain", false, 1, L"1"},
                        {L"keyed", true, 2, L"k1=v1&k2=v 2"},
                        {L"CODED", false, 1, L"AB"},
                        {L"missing", false, 0, L""},
                    };
                    for (const auto& c : cases) {
                        const CComVariant item = ItemOf(cookies.Get(), VarStr(c.name));
                        CComPtr<IReadCookie> cookie;
                        ASSERT_HR(S_OK, item.pdispVal->QueryInterface(IID_IReadCookie, cookie.ReceiveVoid()));
                        VARIANT_BOOL hasKeys = VARIANT_TRUE;
                        cookie->get_HasKeys(&hasKeys);
                        EXPECT_EQ(c.hasKeys, hasKeys == VARIANT_TRUE) << Utf8(c.name);
                        EXPECT_EQ(c.count, ListCount(item)) << Utf8(c.name);  // found as any request field is
                        EXPECT_EQ(c.text, TextOf(item)) << Utf8(c.name);
                    }
                    const CComVariant keyed = ItemOf(cookies.Get(), VarStr(L"keyed"));
                    EXPECT_EQ(L"v 2", Read(keyed.pdispVal, nullptr, Args(VarStr(L"K2"))));
                    EXPECT_EQ(L"", Read(keyed.pdispVal, nullptr, Args(VarStr(L"k3"))));
                    EXPECT_EQ(L"k1", Read(keyed.pdispVal, L"Key", Args(VarI4(1))));
                });
}

// ---- Body ------------------------------------------------------------------------------

TEST(BinaryRead, ReadsTheBodyInPiecesAndCountsWhatItRead) {
    WithRequest(PageRequest::Post("/", "application/octet-stream", std::string("ab\0cdef", 7)), [](IRequest* r) {
        LONG total = 0;
        EXPECT_HR(S_OK, r->get_TotalBytes(&total));
        EXPECT_EQ(7, total);
        const struct {
            LONG asked;
            LONG read;
            std::string bytes;
        } pieces[] = {{3, 3, std::string("ab\0", 3)}, {0, 0, ""}, {10, 4, "cdef"}, {5, 0, ""}};
        for (const auto& piece : pieces) {
            CComVariant count = VarI4(piece.asked), bytes;
            ASSERT_HR(S_OK, r->BinaryRead(&count, bytes.Receive()));
            EXPECT_EQ(VT_I4, count.vt);
            EXPECT_EQ(piece.read, count.lVal);
            ASSERT_EQ(VT_ARRAY | VT_UI1, bytes.vt);
            EXPECT_EQ(piece.bytes, std::string(static_cast<const char*>(bytes.parray->pvData),
                                               bytes.parray->rgsabound[0].cElements));
        }
    });
}

TEST(BinaryRead, ThroughIDispatchTheCountComesBackInTheScriptsVariable) {
    WithRequest(PageRequest::Post("/", "application/octet-stream", "hello"), [](IRequest* r) {
        CComVariant variable = VarI4(100);
        CComVariant bytes;
        ASSERT_HR(S_OK, Call(r, L"BinaryRead", kGet, Args(automation::ByRef(&variable)), &bytes));
        EXPECT_EQ(5, variable.lVal);
        EXPECT_EQ(VT_ARRAY | VT_UI1, bytes.vt);
    });
}

TEST(BinaryRead, ABodyOverTheUploadLimitIsRefusedWithACountOfZero) {
    veskhost::PageHostConfig config;
    config.uploadLimit = 16;
    const struct {
        size_t size;
        HRESULT read;
    } cases[] = {{16, S_OK}, {17, E_FAIL}};
    for (const auto& c : cases) {
        const PageRequest request =
            PageRequest::Post("/p?q=1", "application/x-www-form-urlencoded", "a=" + std::string(c.size - 2, 'x'));
        WithRequest(request, [&](IRequest* r) {
            CComVariant count = VarI4(LONG(c.size)), bytes;
            EXPECT_HR(c.read, r->BinaryRead(&count, bytes.Receive())) << c.size;
            EXPECT_EQ(c.read == S_OK ? LONG(c.size) : 0, count.lVal);
            if (FAILED(c.read)) {
                EXPECT_EQ(VT_EMPTY, bytes.vt);
                const ErrorText error = LastError();
                EXPECT_EQ(L"Request object", error.source);
                EXPECT_EQ(L"The request body of 17 bytes is larger than the upload limit of 16 bytes.", error.description);
            }
            CComPtr<IRequestDictionary> form;
            EXPECT_HR(c.read, r->get_Form(form.Receive()));
            if (FAILED(c.read)) {
                EXPECT_EQ(L"The request body is larger than the upload limit.", LastError().description);
                // The other collections still answer, and Item's search passes over the form.
                CComPtr<IDispatch> q;
                EXPECT_HR(S_OK, r->get_Item(CComBSTR(L"q"), q.Receive()));
                EXPECT_EQ(L"1", TextOf(VarDisp(q.Get())));
            }
        }, config);
    }
}

}  // namespace
}  // namespace vesk_test
