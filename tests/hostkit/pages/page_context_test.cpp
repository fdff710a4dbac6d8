// A page as a whole: its object context on the calling thread, exact reference counts of what
// a page takes on its objects, late-bound calls by the published names and DISPIDs, and what
// is left of the objects once the page has ended.
#include <functional>
#include <stdexcept>
#include <string>

#include "page_helpers.h"

namespace vesk_test {
namespace {

// The current count of a reference-counted object.
ULONG CountOf(IUnknown* object) {
    object->AddRef();
    return object->Release();
}

TEST(PageContext, ThePageObjectsAreTheThreadsContextForThePage) {
    Site site;
    CComPtr<IGetContextProperties> outside;
    EXPECT_HR(CONTEXT_E_NOCONTEXT, CoGetObjectContext(IID_IGetContextProperties, outside.ReceiveVoid()));
    site.Page(PageRequest::Get("/"), [](const veskhost::PageObjects& page) {
        CComPtr<IGetContextProperties> context;
        ASSERT_HR(S_OK, CoGetObjectContext(IID_IGetContextProperties, context.ReceiveVoid()));
        EXPECT_EQ(page.context, context.Get());
        LONG count = 0;
        EXPECT_HR(S_OK, context->Count(&count));
        EXPECT_EQ(5, count);
        const struct {
            const wchar_t* name;
            const IID& iid;
            IDispatch* object;
        } properties[] = {
            {L"Server", IID_IServer, page.server},          {L"application", IID_IApplicationObject, page.application},
            {L"REQUEST", IID_IRequest, page.request},       {L"Response", IID_IResponse, page.response},
            {L"Session", IID_ISessionObject, page.session},
        };
        for (const auto& p : properties) {
            CComVariant value;
            ASSERT_HR(S_OK, context->GetProperty(CComBSTR(p.name), value.Receive())) << Utf8(p.name);
            ASSERT_EQ(VT_DISPATCH, value.vt);
            CComPtr<IUnknown> typed;
            EXPECT_HR(S_OK, value.pdispVal->QueryInterface(p.iid, typed.ReceiveVoid()));
            EXPECT_EQ(static_cast<IUnknown*>(p.object), typed.Get());
        }
        CComVariant nothing;
        EXPECT_HR(E_INVALIDARG, context->GetProperty(CComBSTR(L"ObjectContext"), nothing.Receive()));

        CComPtr<IEnumNames> names;
        ASSERT_HR(S_OK, context->EnumNames(names.Receive()));
        BSTR got[6] = {};
        ULONG fetched = 0;
        EXPECT_HR(S_FALSE, names->Next(6, got, &fetched));
        EXPECT_EQ(5u, fetched);
        EXPECT_BSTR_EQ(L"Server", got[0]);
        EXPECT_BSTR_EQ(L"Session", got[4]);
        for (ULONG i = 0; i < fetched; ++i) SysFreeString(got[i]);
    });
    EXPECT_HR(CONTEXT_E_NOCONTEXT, CoGetObjectContext(IID_IGetContextProperties, outside.ReceiveVoid()));

    site.PageWithoutSession(PageRequest::Get("/"), [](const veskhost::PageObjects& page) {
        LONG count = 0;
        page.context->Count(&count);
        EXPECT_EQ(4, count);
        CComVariant session;
        EXPECT_HR(E_INVALIDARG, page.context->GetProperty(CComBSTR(L"Session"), session.Receive()));
        EXPECT_EQ(VT_EMPTY, session.vt);
    });
}

// What a page (the library's controller, for one) takes on the page objects, it gives back:
// every count returns to the host's own by the end of the page.
TEST(PageReferences, ExactCountsOfWhatAPageTakesAndGivesBack) {
    Site site;
    const PageResponse page = site.Page(PageRequest::Get("/?a=1").Header("Cookie", "c=1"),
                                       [](const veskhost::PageObjects& objects) {
        const struct {
            const wchar_t* name;
            IDispatch* object;
        } byName[] = {{L"Server", objects.server},     {L"Application", objects.application},
                      {L"Request", objects.request},   {L"Response", objects.response},
                      {L"Session", objects.session}};
        for (const auto& o : byName) {
            EXPECT_EQ(1u, CountOf(o.object)) << Utf8(o.name);  // the context's
            {
                CComVariant property;
                objects.context->GetProperty(CComBSTR(o.name), property.Receive());
                EXPECT_EQ(2u, CountOf(o.object)) << Utf8(o.name);
            }
            EXPECT_EQ(1u, CountOf(o.object)) << Utf8(o.name);
        }
        CComPtr<IRequestDictionary> query;
        objects.request->get_QueryString(query.Receive());
        EXPECT_EQ(2u, CountOf(query.Get()));  // the request keeps its collections
        CComVariant list;
        query->get_Item(VarStr(L"a"), list.Receive());
        EXPECT_EQ(2u, CountOf(list.pdispVal));
        CComPtr<IRequestDictionary> again;
        objects.request->get_QueryString(again.Receive());
        EXPECT_EQ(query.Get(), again.Get());
        EXPECT_EQ(3u, CountOf(query.Get()));
        CComPtr<IVariantDictionary> contents;
        objects.session->get_Contents(contents.Receive());
        EXPECT_EQ(2u, CountOf(contents.Get()));
        CComVariant cookies;
        Call(objects.response, L"Cookies", kGet, Args(VarStr(L"made")), &cookies);
        EXPECT_EQ(2u, CountOf(cookies.pdispVal));
    });
    EXPECT_EQ(0u, page.heldReferences);
}

TEST(PageReferences, ReferencesKeptPastThePageAreReportedAndTheObjectsRefuseToAct) {
    Site site;
    CComPtr<IDispatch> request, list;
    CComPtr<IResponse> response;
    CComPtr<IServer> server;
    const PageResponse page = site.Page(PageRequest::Get("/?a=1"), [&](const veskhost::PageObjects& objects) {
        request = CComPtr<IDispatch>::Share(objects.request);
        objects.request->get_Item(CComBSTR(L"a"), list.Receive());
        response = CComPtr<IResponse>::Share(objects.response);
        server = CComPtr<IServer>::Share(objects.server);
    });
    EXPECT_EQ(4u, page.heldReferences);
    EXPECT_HR(E_FAIL, response->Write(VarStr(L"late")));
    EXPECT_EQ(L"The page has ended.", LastError().description);
    CComPtr<IDispatch> created;
    EXPECT_HR(E_FAIL, server->CreateObject(CComBSTR(L"Scripting.Dictionary"), created.Receive()));
    EXPECT_EQ(L"1", TextOf(VarDisp(list.Get())));  // what was read stays readable
}

TEST(Page, APageThatThrowsStillEndsAndLetsGoOfTheApplicationLock) {
    Site site;
    const PageResponse page = site.Run(PageRequest::Get("/"), [](const veskhost::PageObjects& objects) -> HRESULT {
        objects.application->Lock();
        objects.response->Write(VarStr(L"partial"));
        throw std::runtime_error("page failed");
    });
    EXPECT_HR(E_UNEXPECTED, page.pageResult);
    EXPECT_EQ("partial", page.body);
    EXPECT_FALSE(site.application.Locked());
}

// ---- Late-bound calls ------------------------------------------------------------------

using PickObject = IDispatch* (*)(const veskhost::PageObjects&);

TEST(LateBound, MembersAnswerByTheirPublishedNamesAndDispids) {
    const PickObject server = [](const veskhost::PageObjects& p) -> IDispatch* { return p.server; };
    const PickObject application = [](const veskhost::PageObjects& p) -> IDispatch* { return p.application; };
    const PickObject request = [](const veskhost::PageObjects& p) -> IDispatch* { return p.request; };
    const PickObject response = [](const veskhost::PageObjects& p) -> IDispatch* { return p.response; };
    const PickObject session = [](const veskhost::PageObjects& p) -> IDispatch* { return p.session; };
    const struct {
        PickObject object;
        const wchar_t* name;
        DISPID dispid;
    } cases[] = {
        {server, L"ScriptTimeout", 0x60020000},     {server, L"CreateObject", 0x60020002},
        {server, L"HTMLEncode", 0x60020003},        {server, L"MapPath", 0x60020004},
        {server, L"URLEncode", 0x60020005},         {server, L"URLPathEncode", 0x60020006},
        {server, L"GetLastError", 0x60020009},      {application, L"Value", DISPID_VALUE},
        {application, L"Lock", 0x60020003},         {application, L"UnLock", 0x60020004},
        {application, L"Contents", 0x60020006},     {request, L"Item", DISPID_VALUE},
        {request, L"QueryString", 0x60020001},      {request, L"Form", 0x60020002},
        {request, L"ServerVariables", 0x60020004},  {request, L"ClientCertificate", 0x60020005},
        {request, L"Cookies", 0x60020006},          {request, L"TotalBytes", 0x60020007},
        {request, L"BinaryRead", 0x60020008},       {response, L"Buffer", 0x60020000},
        {response, L"ContentType", 0x60020002},     {response, L"Cookies", 0x60020008},
        {response, L"Status", 0x60020009},          {response, L"AddHeader", 0x6002000C},
        {response, L"AppendToLog", 0x6002000D},     {response, L"BinaryWrite", 0x6002000E},
        {response, L"Clear", 0x6002000F},           {response, L"End", 0x60020010},
        {response, L"Flush", 0x60020011},           {response, L"Redirect", 0x60020012},
        {response, L"Write", 0x60020013},           {response, L"IsClientConnected", 0x60020015},
        {response, L"CharSet", 0x60020016},         {response, L"CodePage", 0x6002001B},
        {response, L"LCID", 0x6002001D},            {session, L"SessionID", 0x60020000},
        {session, L"Value", DISPID_VALUE},          {session, L"Timeout", 0x60020004},
        {session, L"Abandon", 0x60020006},          {session, L"Contents", 0x6002000C},
    };
    Site site;
    site.Page(PageRequest::Get("/"), [&](const veskhost::PageObjects& page) {
        for (const auto& c : cases) {
            DISPID id = 0;
            EXPECT_HR(S_OK, automation::GetMemberId(c.object(page), c.name, &id)) << Utf8(c.name);
            EXPECT_EQ(c.dispid, id) << Utf8(c.name);
            std::wstring upper(c.name);
            for (wchar_t& ch : upper) ch = wchar_t(towupper(wint_t(ch)));
            EXPECT_HR(S_OK, automation::GetMemberId(c.object(page), upper.c_str(), &id)) << Utf8(upper);
            EXPECT_EQ(c.dispid, id) << Utf8(upper);
        }
        DISPID id = 0;
        EXPECT_HR(DISP_E_UNKNOWNNAME, automation::GetMemberId(page.response, L"WriteLine", &id));
        EXPECT_EQ(DISPID_UNKNOWN, id);
    });
}

TEST(LateBound, AnIndexOnACollectionPropertyReachesTheCollection) {
    Site site;
    const PageResponse page = site.Page(PageRequest::Get("/?a=x&a=y"), [](const veskhost::PageObjects& p) {
        EXPECT_EQ(L"x, y", Read(p.request, L"QueryString", Args(VarStr(L"a"))));
        EXPECT_EQ(L"x, y", Read(p.request, nullptr, Args(VarStr(L"A"))));
        EXPECT_EQ(L"GET", Read(p.request, L"ServerVariables", Args(VarStr(L"HTTP_METHOD"))));
        EXPECT_EQ(L"", Read(p.request, L"Form", Args(VarStr(L"a"))));

        EXPECT_HR(S_OK, Call(p.session, nullptr, DISPATCH_PROPERTYPUT, Args(VarStr(L"x"), VarI4(5))));
        EXPECT_EQ(L"5", Read(p.session, L"Contents", Args(VarStr(L"X"))));
        EXPECT_HR(S_OK, Call(p.session, L"Contents", DISPATCH_PROPERTYPUT, Args(VarStr(L"y"), VarI4(6))));
        EXPECT_EQ(L"6", Read(p.session, nullptr, Args(VarStr(L"y"))));
        EXPECT_HR(S_OK, Call(p.application, nullptr, DISPATCH_PROPERTYPUT, Args(VarStr(L"z"), VarI4(7))));
        EXPECT_EQ(L"7", Read(p.application, L"Contents", Args(VarStr(L"z"))));

        EXPECT_HR(S_OK, Call(p.response, L"Write", kGet, Args(VarStr(L"by name"))));
    });
    EXPECT_EQ("by name", page.body);
}

TEST(LateBound, FailuresCarryTheirExceptionInformation) {
    Site site;
    site.Page(PageRequest::Get("/"), [](const veskhost::PageObjects& p) {
        EXCEPINFO excep{};
        CComVariant status;
        status.SetBSTR(SysAllocStringLen(L"200 OK\r\nX: y", 12));
        EXPECT_HR(DISP_E_EXCEPTION, Call(p.response, L"Status", DISPATCH_PROPERTYPUT, Args(std::move(status)), nullptr, &excep));
        EXPECT_HR(E_INVALIDARG, excep.scode);
        EXPECT_BSTR_EQ(L"Response object", excep.bstrSource);
        EXPECT_BSTR_EQ(L"A header may not hold a carriage return, a line feed or a NUL.", excep.bstrDescription);
        SysFreeString(excep.bstrSource);
        SysFreeString(excep.bstrDescription);
        // The dispatch frame's own answers are not wrapped.
        EXPECT_HR(DISP_E_BADPARAMCOUNT, Call(p.response, L"Write", kGet, {}, nullptr, &excep));
        EXPECT_HR(DISP_E_MEMBERNOTFOUND, Call(p.request, L"TotalBytes", DISPATCH_PROPERTYPUT, Args(VarI4(1))));
    });
}

}  // namespace
}  // namespace vesk_test
