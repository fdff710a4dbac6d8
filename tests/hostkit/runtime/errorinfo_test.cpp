#include <thread>

#include "support/test_support.h"

using namespace vesk_test;

namespace {

CComPtr<IErrorInfo> make_error(const wchar_t* source, const wchar_t* description) {
    CComPtr<ICreateErrorInfo> create;
    EXPECT_HR(S_OK, CreateErrorInfo(create.Receive()));
    create->SetSource(const_cast<LPOLESTR>(source));
    create->SetDescription(const_cast<LPOLESTR>(description));
    CComPtr<IErrorInfo> info;
    EXPECT_HR(S_OK, create.QueryInterface(info.Receive()));
    return info;
}

// Current reference count of a live object, without changing it.
ULONG refs(IUnknown* p) {
    p->AddRef();
    return p->Release();
}

TEST(ErrorInfo, OneObjectAnswersBothInterfaces) {
    CComPtr<IErrorInfo> info = make_error(L"Vesk", L"Template file can't read.[a]");
    CComPtr<ICreateErrorInfo> create;
    ASSERT_HR(S_OK, info.QueryInterface(create.Receive()));
    create->SetHelpContext(42);
    CComPtr<ISupportErrorInfo> none;
    EXPECT_HR(E_NOINTERFACE, info.QueryInterface(none.Receive()));

    CComBSTR source, description, help;
    DWORD context = 0;
    GUID guid{1, 2, 3, {}};
    EXPECT_HR(S_OK, info->GetSource(source.Receive()));
    EXPECT_HR(S_OK, info->GetDescription(description.Receive()));
    EXPECT_HR(S_OK, info->GetHelpFile(help.Receive()));
    EXPECT_HR(S_OK, info->GetHelpContext(&context));
    EXPECT_HR(S_OK, info->GetGUID(&guid));
    EXPECT_BSTR_EQ(L"Vesk", source);
    EXPECT_BSTR_EQ(L"Template file can't read.[a]", description);
    EXPECT_EQ(nullptr, help.m_str);
    EXPECT_EQ(42u, context);
    EXPECT_TRUE(guid_equal(GUID_NULL, guid));
}

TEST(ErrorInfo, GetHandsOverTheSlotAndEmptiesIt) {
    CComPtr<IErrorInfo> info = make_error(L"s", L"d");
    ASSERT_HR(S_OK, SetErrorInfo(0, info.Get()));
    EXPECT_EQ(2u, refs(info.Get()));
    CComPtr<IErrorInfo> got;
    ASSERT_HR(S_OK, GetErrorInfo(0, got.Receive()));
    EXPECT_EQ(info.Get(), got.Get());
    EXPECT_EQ(2u, refs(info.Get()));  // the slot's reference moved to the caller
    got.Reset();
    EXPECT_HR(S_FALSE, GetErrorInfo(0, got.Receive()));
    EXPECT_EQ(nullptr, got.Get());

    ASSERT_HR(S_OK, SetErrorInfo(0, info.Get()));
    ASSERT_HR(S_OK, SetErrorInfo(0, nullptr));  // null clears
    EXPECT_EQ(1u, refs(info.Get()));
    EXPECT_HR(S_FALSE, GetErrorInfo(0, got.Receive()));
    EXPECT_HR(E_INVALIDARG, GetErrorInfo(0, nullptr));
    EXPECT_HR(E_INVALIDARG, CreateErrorInfo(nullptr));
}

TEST(ErrorInfo, ThreadsHaveSeparateSlotsAndExitReleasesTheirs) {
    CComPtr<IErrorInfo> mine = make_error(L"main", L"");
    CComPtr<IErrorInfo> theirs = make_error(L"worker", L"");
    ASSERT_HR(S_OK, SetErrorInfo(0, mine.Get()));
    HRESULT seenByWorker = E_FAIL;
    std::thread worker([&] {
        CComPtr<IErrorInfo> got;
        seenByWorker = GetErrorInfo(0, got.Receive());
        SetErrorInfo(0, theirs.Get());  // left behind when the thread ends
    });
    worker.join();
    EXPECT_HR(S_FALSE, seenByWorker);
    EXPECT_EQ(1u, refs(theirs.Get()));
    CComPtr<IErrorInfo> got;
    ASSERT_HR(S_OK, GetErrorInfo(0, got.Receive()));
    EXPECT_EQ(mine.Get(), got.Get());
}

}  // namespace
