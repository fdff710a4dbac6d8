// Application: values shared by the pages of a site, and Application.Lock, held across the
// calls of one page and released when the page ends even if the script never unlocks.
#include <atomic>
#include <chrono>
#include <future>
#include <thread>

#include "page_helpers.h"

namespace vesk_test {
namespace {

using namespace std::chrono_literals;

TEST(ApplicationValues, PagesAndTheHostShareThem) {
    Site site;
    ASSERT_HR(S_OK, site.application.SetValue(L"greeting", VarStr(L"hello")));
    site.Run(PageRequest::Get("/"), [](const veskhost::PageObjects& page) {
        EXPECT_EQ(L"hello", Read(page.application, nullptr, Args(VarStr(L"GREETING"))));
        EXPECT_HR(S_OK, Call(page.application, nullptr, DISPATCH_PROPERTYPUT, Args(VarStr(L"count"), VarI4(1))));
        EXPECT_HR(S_OK, Call(page.application, L"Contents", DISPATCH_PROPERTYPUT, Args(VarStr(L"other"), VarI4(2))));
        return S_OK;
    });
    site.Run(PageRequest::Get("/"), [](const veskhost::PageObjects& page) {
        CComPtr<IVariantDictionary> contents;
        EXPECT_HR(S_OK, page.application->get_Contents(contents.Receive()));
        int count = 0;
        contents->get_Count(&count);
        EXPECT_EQ(3, count);
        EXPECT_EQ(L"2", Read(page.application, L"Contents", Args(VarStr(L"other"))));
        return S_OK;
    });
    EXPECT_EQ(1, site.application.Value(L"Count").lVal);
}

// A page that locks and never unlocks: another page's Lock and its writes wait for the first
// page to end, then go ahead.
TEST(ApplicationLock, HeldAcrossCallsOfOnePageAndReleasedWhenThePageEnds) {
    Site site;
    std::promise<void> locked, finish;
    std::shared_future<void> finishing = finish.get_future().share();
    std::thread holder([&] {
        site.Run(PageRequest::Get("/"), [&](const veskhost::PageObjects& page) {
            EXPECT_HR(S_OK, page.application->Lock());
            EXPECT_HR(S_OK, page.application->Lock());
            EXPECT_HR(S_OK, page.application->UnLock());  // one level is still held
            EXPECT_HR(S_OK, page.application->put_Value(CComBSTR(L"owner"), VarStr(L"holder")));
            locked.set_value();
            finishing.wait();
            return S_OK;  // without the last UnLock
        });
    });
    locked.get_future().wait();
    EXPECT_TRUE(site.application.Locked());

    std::atomic<bool> lockTaken{false}, written{false};
    std::thread locker([&] {
        site.Run(PageRequest::Get("/"), [&](const veskhost::PageObjects& page) {
            EXPECT_HR(S_OK, page.application->Lock());
            lockTaken = true;
            EXPECT_EQ(L"holder", Read(page.application, nullptr, Args(VarStr(L"owner"))));
            return S_OK;
        });
    });
    std::thread writer([&] {
        site.Run(PageRequest::Get("/"), [&](const veskhost::PageObjects& page) {
            CComVariant before;  // reading does not wait
            EXPECT_HR(S_OK, page.application->get_Value(CComBSTR(L"owner"), before.Receive()));
            EXPECT_HR(S_OK, page.application->put_Value(CComBSTR(L"written"), VarI4(1)));
            written = true;
            return S_OK;
        });
    });
    std::this_thread::sleep_for(100ms);
    EXPECT_FALSE(lockTaken);
    EXPECT_FALSE(written);
    finish.set_value();
    holder.join();
    locker.join();
    writer.join();
    EXPECT_TRUE(lockTaken);
    EXPECT_TRUE(written);
    // The second locker also forgot to unlock; its page end released it as well.
    EXPECT_FALSE(site.application.Locked());
}

TEST(ApplicationLock, UnlockWithoutTheLockDoesNothingAndAViewOutlivingItsPageCannotLock) {
    Site site;
    CComPtr<IApplicationObject> kept;
    site.Run(PageRequest::Get("/"), [&](const veskhost::PageObjects& page) {
        EXPECT_HR(S_OK, page.application->UnLock());
        kept = CComPtr<IApplicationObject>::Share(page.application);
        return S_OK;
    });
    EXPECT_HR(E_FAIL, kept->Lock());
    EXPECT_EQ(L"The page has ended.", LastError().description);
    EXPECT_FALSE(site.application.Locked());
}

}  // namespace
}  // namespace vesk_test
