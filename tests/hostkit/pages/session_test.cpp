// Sessions: one visitor's pages share a session; the store ends it when it stays idle past
// its timeout, when a page abandons it, or with the store, and ending releases what it held.
#include <chrono>
#include <functional>
#include <string>

#include "page_helpers.h"

namespace vesk_test {
namespace {

using namespace std::chrono_literals;

// A site whose sessions expire by a clock the test moves.
struct ClockedSite {
    std::chrono::steady_clock::time_point now{};
    Site site;

    explicit ClockedSite(int32_t timeoutMinutes = 20) : site(Config(this, timeoutMinutes)) {}

    static veskhost::PageHostConfig Config(ClockedSite* self, int32_t timeoutMinutes) {
        veskhost::PageHostConfig config;
        config.sessionTimeoutMinutes = timeoutMinutes;
        config.clock = [self] { return self->now; };
        return config;
    }

    PageResponse Run(const std::wstring& id, const std::function<void(ISessionObject*)>& page) {
        return site.Run(PageRequest::Get("/"), [&](const veskhost::PageObjects& objects) {
            EXPECT_NE(nullptr, objects.session);
            if (objects.session) page(objects.session);
            return S_OK;
        }, id);
    }
};

CComVariant Unknown(IUnknown* object) {
    CComVariant v;
    v.SetUnknown(object);
    return v;
}

CComVariant ValueOf(ISessionObject* session, const wchar_t* name) {
    CComVariant value;
    EXPECT_HR(S_OK, session->get_Value(CComBSTR(name), value.Receive()));
    return value;
}

TEST(SessionStore, AVisitorKeepsItsSessionAndAnUnknownIdIsNeverAdopted) {
    ClockedSite clocked;
    const PageResponse first = clocked.Run(L"", [](ISessionObject* s) {
        EXPECT_HR(S_OK, s->put_Value(CComBSTR(L"name"), VarStr(L"Ann")));
    });
    EXPECT_TRUE(first.sessionCreated);
    EXPECT_EQ(32u, first.sessionId.size());

    const PageResponse second = clocked.Run(first.sessionId, [&](ISessionObject* s) {
        EXPECT_EQ(L"Ann", TextOf(ValueOf(s, L"NAME")));
        EXPECT_EQ(first.sessionId, Read(s, L"SessionID"));
    });
    EXPECT_FALSE(second.sessionCreated);
    EXPECT_EQ(first.sessionId, second.sessionId);

    const PageResponse forged = clocked.Run(L"FORGED", [](ISessionObject* s) {
        EXPECT_EQ(VT_EMPTY, ValueOf(s, L"name").vt);
    });
    EXPECT_TRUE(forged.sessionCreated);
    EXPECT_NE(L"FORGED", forged.sessionId);
    EXPECT_FALSE(clocked.site.sessions.Contains(L"FORGED"));
    EXPECT_EQ(2u, clocked.site.sessions.Count());

    const PageResponse none = clocked.site.RunWithoutSession(PageRequest::Get("/"), [](const veskhost::PageObjects& p) {
        EXPECT_EQ(nullptr, p.session);
        return S_OK;
    });
    EXPECT_TRUE(none.sessionId.empty());
}

TEST(SessionStore, AnIdleSessionExpiresAtItsTimeoutAndReleasesWhatItHolds) {
    const struct {
        int32_t timeoutMinutes;
        LONG pageTimeout;  // 0: the page leaves the timeout as it was
        std::chrono::seconds idle;
        bool expired;
    } cases[] = {
        {20, 0, 20min - 1s, false}, {20, 0, 20min, true}, {20, 5, 5min - 1s, false}, {20, 5, 5min, true},
        {1, 0, 1min, true},
    };
    for (const auto& c : cases) {
        ClockedSite clocked(c.timeoutMinutes);
        CountingDispatch held;
        const PageResponse page = clocked.Run(L"", [&](ISessionObject* s) {
            EXPECT_HR(S_OK, s->putref_Value(CComBSTR(L"held"), Unknown(&held)));
            if (c.pageTimeout) {
                EXPECT_HR(S_OK, s->put_Timeout(c.pageTimeout));
            }
        });
        EXPECT_EQ(2u, held.RefCount());  // the session's reference
        clocked.now += c.idle;
        EXPECT_EQ(c.expired ? 1u : 0u, clocked.site.sessions.SweepExpired()) << c.idle.count();
        EXPECT_EQ(c.expired ? 1u : 2u, held.RefCount()) << c.idle.count();
        EXPECT_EQ(!c.expired, clocked.site.sessions.Contains(page.sessionId));
        const PageResponse next = clocked.Run(page.sessionId, [](ISessionObject*) {});
        EXPECT_EQ(c.expired, next.sessionCreated);
    }
}

TEST(SessionStore, ASessionInUseDoesNotExpireAndItsIdleTimeStartsWhenThePageEnds) {
    ClockedSite clocked(10);
    const PageResponse first = clocked.Run(L"", [](ISessionObject*) {});
    clocked.Run(first.sessionId, [&](ISessionObject* s) {
        clocked.now += 60min;
        EXPECT_EQ(0u, clocked.site.sessions.SweepExpired());
        EXPECT_HR(S_OK, s->put_Value(CComBSTR(L"still"), VarI4(1)));
    });
    clocked.now += 10min - 1s;
    EXPECT_TRUE(clocked.site.sessions.Contains(first.sessionId));
    clocked.now += 1s;
    EXPECT_FALSE(clocked.site.sessions.Contains(first.sessionId));
}

TEST(SessionStore, TimeoutTakesMinutesFromOneToAYear) {
    ClockedSite clocked;
    clocked.Run(L"", [](ISessionObject* s) {
        LONG minutes = 0;
        EXPECT_HR(S_OK, s->get_Timeout(&minutes));
        EXPECT_EQ(20, minutes);
        EXPECT_HR(E_INVALIDARG, s->put_Timeout(0));
        EXPECT_HR(S_OK, s->put_Timeout(1));
        EXPECT_HR(S_OK, s->put_Timeout(366 * 24 * 60));
        EXPECT_HR(E_INVALIDARG, s->put_Timeout(366 * 24 * 60 + 1));
        EXPECT_EQ(L"527040", Read(s, L"Timeout"));
    });
}

TEST(SessionAbandon, ThePageKeepsItsSessionUntilItEndsAndTheNextRequestStartsAfresh) {
    ClockedSite clocked;
    CountingDispatch held;
    const PageResponse first = clocked.Run(L"", [&](ISessionObject* s) {
        EXPECT_HR(S_OK, s->putref_Value(CComBSTR(L"held"), Unknown(&held)));
    });
    const PageResponse abandoning = clocked.Run(first.sessionId, [&](ISessionObject* s) {
        EXPECT_HR(S_OK, Call(s, L"Abandon", kGet));
        const CComVariant still = ValueOf(s, L"held");  // usable for the rest of the page
        EXPECT_EQ(VT_UNKNOWN, still.vt);
        EXPECT_EQ(static_cast<IUnknown*>(&held), still.punkVal);
    });
    EXPECT_TRUE(abandoning.sessionAbandoned);
    EXPECT_EQ(1u, held.RefCount());
    EXPECT_FALSE(clocked.site.sessions.Contains(first.sessionId));
    const PageResponse next = clocked.Run(first.sessionId, [](ISessionObject* s) {
        EXPECT_EQ(VT_EMPTY, ValueOf(s, L"held").vt);
    });
    EXPECT_TRUE(next.sessionCreated);
    EXPECT_NE(first.sessionId, next.sessionId);
}

TEST(SessionStore, EndingASessionOrTheStoreReleasesEverySession) {
    CountingDispatch a, b;
    std::wstring idOfA;
    {
        ClockedSite clocked;
        idOfA = clocked.Run(L"", [&](ISessionObject* s) { s->putref_Value(CComBSTR(L"v"), Unknown(&a)); }).sessionId;
        clocked.Run(L"", [&](ISessionObject* s) { s->putref_Value(CComBSTR(L"v"), Unknown(&b)); });
        EXPECT_EQ(2u, a.RefCount());
        EXPECT_TRUE(clocked.site.sessions.End(idOfA));
        EXPECT_FALSE(clocked.site.sessions.End(idOfA));
        EXPECT_EQ(1u, a.RefCount());
        EXPECT_EQ(2u, b.RefCount());
    }
    EXPECT_EQ(1u, b.RefCount());
}

// ---- Contents --------------------------------------------------------------------------

TEST(SessionContents, ValuesByNameOrPositionAndTheirRemoval) {
    ClockedSite clocked;
    CountingDispatch a, b;
    clocked.Run(L"", [&](ISessionObject* s) {
        CComPtr<IVariantDictionary> contents;
        ASSERT_HR(S_OK, s->get_Contents(contents.Receive()));
        EXPECT_HR(S_OK, contents->putref_Item(VarStr(L"a"), Unknown(&a)));
        EXPECT_HR(S_OK, contents->putref_Item(VarStr(L"b"), VarDisp(&b)));
        EXPECT_HR(S_OK, contents->put_Item(VarStr(L"n"), VarI4(7)));
        EXPECT_HR(S_OK, contents->put_Item(VarStr(L"N"), VarI4(8)));  // the same name, replaced
        EXPECT_EQ(2u, a.RefCount());
        EXPECT_EQ(2u, b.RefCount());

        int count = 0;
        contents->get_Count(&count);
        EXPECT_EQ(3, count);
        CComVariant key, item;
        EXPECT_HR(S_OK, contents->get_Key(VarI4(3), key.Receive()));
        EXPECT_EQ(L"n", TextOf(key));
        EXPECT_HR(S_OK, contents->get_Item(VarI4(3), item.Receive()));
        EXPECT_EQ(L"8", TextOf(item));
        item.Reset();
        EXPECT_HR(DISP_E_BADINDEX, contents->get_Item(VarI4(4), item.Receive()));
        // An object kept by reference comes back as the same object under the same type.
        EXPECT_HR(S_OK, contents->get_Item(VarStr(L"A"), item.Receive()));
        EXPECT_EQ(VT_UNKNOWN, item.vt);
        EXPECT_EQ(static_cast<IUnknown*>(&a), item.punkVal);
        item.Reset();

        EXPECT_HR(hresult_of(0x800A01A8u), contents->putref_Item(VarStr(L"x"), VarI4(1)));
        EXPECT_EQ(L"Object required", LastError().description);

        EXPECT_HR(S_OK, contents->Remove(VarStr(L"a")));
        EXPECT_EQ(1u, a.RefCount());
        EXPECT_HR(S_OK, contents->Remove(VarStr(L"none")));
        EXPECT_HR(S_OK, contents->Remove(VarI4(1)));  // now "b"
        EXPECT_EQ(1u, b.RefCount());
        EXPECT_HR(S_OK, contents->putref_Item(VarStr(L"a"), Unknown(&a)));
        EXPECT_HR(S_OK, Call(contents.Get(), L"RemoveAll", kGet));
        EXPECT_EQ(1u, a.RefCount());
        contents->get_Count(&count);
        EXPECT_EQ(0, count);
    });
}

TEST(SessionContents, StaticObjectsAreEmptyAndCannotChange) {
    ClockedSite clocked;
    clocked.Run(L"", [](ISessionObject* s) {
        CComPtr<IVariantDictionary> statics;
        ASSERT_HR(S_OK, s->get_StaticObjects(statics.Receive()));
        EXPECT_HR(E_ACCESSDENIED, statics->put_Item(VarStr(L"x"), VarI4(1)));
        int count = -1;
        statics->get_Count(&count);
        EXPECT_EQ(0, count);
    });
}

}  // namespace
}  // namespace vesk_test
