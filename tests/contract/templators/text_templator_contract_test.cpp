// The text templator as a script sees it: the module loaded from its file, objects made
// through its class factory, every call late-bound through IDispatch.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>

#include "contract/common/late_bound.h"
#include "contract/common/loaded_module.h"
#include "support/memory_stream.h"
#include "support/test_support.h"

namespace vesk_test {
namespace {

class TextTemplatorTest : public ContractTest {
protected:
    void SetUp() override {
        ContractTest::SetUp();
        templator = Module().Create(L"TextTemplator");
        ASSERT_TRUE(templator);
    }
    void TearDown() override {
        templator.Reset();
        ContractTest::TearDown();
    }

    LateBound Late() const { return LateBound(templator.Get()); }
    // Script and Stream are assigned by reference, the value passed as the named argument
    // DISPID_PROPERTYPUT, as script engines do.
    HRESULT PutRef(const wchar_t* name, CComVariant value) {
        return Late().InvokeNamed(name, DISPATCH_PROPERTYPUTREF, ArgList(std::move(value)), false).hr;
    }
    CComPtr<ScriptObject> AddScript() {
        auto script = ScriptObject::Create();
        EXPECT_HR(S_OK, PutRef(L"Script", VarDisp(script.Get())));
        return script;
    }
    HRESULT Process(const wchar_t* text) { return Late().Call(L"ProcessTemplate", VarStr(text)).hr; }
    std::wstring Flush(HRESULT expected = S_OK) {
        CallResult r = Late().Call(L"Flush");
        EXPECT_HR(expected, r.hr);
        return r.value.vt == VT_BSTR ? std::wstring(View(r.value.bstrVal)) : L"(not a string)";
    }

    CComPtr<IDispatch> templator;
};

TEST_F(TextTemplatorTest, HelloWorldThenOutputElsewhere) {
    EXPECT_HR(DISP_E_UNKNOWNNAME, Process(L"(#Name#)stop"));  // no scripts yet: the mark fails
    AddScript()->SetProperty(L"Name", VarStr(L"World"));
    ASSERT_HR(S_OK, Process(L"Hello (#Name#)!"));
    EXPECT_EQ(L"Hello World!", Flush());
    ASSERT_HR(S_OK, Process(L" a(# note#)b(#\tx#)c(#\rx#)d(#\nx#)e"));  // white-space marks are comments
    EXPECT_EQ(L"Hello World! abcde", Flush());                        // everything so far, each time

    // Once the output is somewhere else, there is nothing to flush.
    auto sink = CMemoryStream::Create();
    CComVariant stream;
    stream.SetUnknown(sink.Get());
    ASSERT_HR(S_OK, PutRef(L"Stream", std::move(stream)));
    ASSERT_HR(S_OK, Process(L"x"));
    EXPECT_EQ(L"x", sink->text);
    Flush(E_FAIL);
}

TEST_F(TextTemplatorTest, FunctionMarksGetTheTemplatorAndTheParameters) {
    IDispatch* caller = nullptr;
    AddScript()->AddMethod(L"Join", [&](ScriptObject::Args args, VARIANT* result) {
        if (args.empty()) return DISP_E_MEMBERNOTFOUND;  // read as a property first: it has none
        if (args.size() != 2 || args[0]->vt != VT_DISPATCH || args[1]->vt != (VT_BYREF | VT_VARIANT)) return E_FAIL;
        if (args[1]->pvarVal->vt != (VT_ARRAY | VT_VARIANT)) return DISP_E_TYPEMISMATCH;
        caller = args[0]->pdispVal;
        const SAFEARRAY* psa = args[1]->pvarVal->parray;  // a vector: one bound, then the elements
        std::wstring joined = L"(" + std::to_wstring(psa->rgsabound[0].lLbound);
        for (ULONG i = 0; i < psa->rgsabound[0].cElements; ++i)
            joined += L"," + std::wstring(View(static_cast<const VARIANT*>(psa->pvData)[i].bstrVal));
        return VarStr((joined + L")").c_str()).Detach(result), S_OK;
    });
    ASSERT_HR(S_OK, Process(L"[(#Join|a#|#b#)][(#Join#)]"));
    EXPECT_EQ(templator.Get(), caller);
    EXPECT_EQ(L"[(0,a,b)][(0)]", Flush());
}

// A name that no script knows goes to the scripts' default members, as to a collection.
TEST_F(TextTemplatorTest, DefaultMemberFallback) {
    CComPtr<IZULibDictionary> dict;
    ASSERT_HR(S_OK, CoCreateInstance(CLSID_Dictionary, nullptr, CLSCTX_INPROC_SERVER, IID_IZULibDictionary,
                                     dict.ReceiveVoid()));
    CComVariant key = VarStr(L"Name"), item = VarStr(L"World");
    ASSERT_HR(S_OK, dict->put_Item(&key, &item));
    ASSERT_HR(S_OK, PutRef(L"Script", VarDisp(dict.Get())));
    AddScript()->SetProperty(L"Greeting", VarStr(L"Hello"));
    ASSERT_HR(S_OK, Process(L"(#Greeting#) (#Name#)!"));
    EXPECT_EQ(L"Hello World!", Flush());
}

// A mark function may drop the host's last reference to the templator: the call still ends
// normally, and the object goes only after it (TearDown checks that it went).
TEST_F(TextTemplatorTest, MarkFunctionMayDropTheLastReference) {
    auto sink = CMemoryStream::Create();
    CComVariant stream;
    stream.SetUnknown(sink.Get());
    ASSERT_HR(S_OK, PutRef(L"Stream", std::move(stream)));
    AddScript()->AddMethod(L"Drop", [this](ScriptObject::Args, VARIANT* result) {
        templator.Reset();
        return VarStr(L"dropped").Detach(result), S_OK;
    });
    const LateBound late = Late();
    EXPECT_HR(S_OK, late.Call(L"ProcessTemplate", VarStr(L"a(#Drop#)b")).hr);
    EXPECT_EQ(L"adroppedb", sink->text);
}

// Runs the body on a new thread with a stack of the given size and waits for it.
void RunOnStack(size_t bytes, std::function<void()> body) {
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstacksize(&attr, bytes);
    pthread_t thread;
    const auto run = [](void* p) -> void* { return (*static_cast<std::function<void()>*>(p))(), nullptr; };
    ASSERT_EQ(0, pthread_create(&thread, &attr, run, &body));
    pthread_join(thread, nullptr);
    pthread_attr_destroy(&attr);
}

// A mark function that expands again through the script, and keeps trying when refused, 10,000
// times in all: on a 1 MB stack, as page-server threads have, nesting stops at 32 expansions with
// a clean failure at every attempt past it.
TEST_F(TextTemplatorTest, ReentrantExpansionStopsAtTheBoundOnAServerStack) {
    constexpr int kBound = 32, kAttempts = 10000;
    int attempts = 0, depth = 0, deepest = 0;
    const LateBound late = Late();
    AddScript()->AddMethod(L"Again", [&](ScriptObject::Args, VARIANT*) {
        deepest = std::max(deepest, ++depth);
        HRESULT hr = S_OK;
        while (attempts < kAttempts) ++attempts, hr = late.Call(L"ProcessTemplate", VarStr(L"(#Again#)")).hr;
        --depth;
        return hr;
    });
    HRESULT hr = S_OK;
    CComBSTR description;
    RunOnStack(1 << 20, [&] {
        hr = late.Call(L"ProcessTemplate", VarStr(L"(#Again#)")).hr;
        CComPtr<IErrorInfo> info;
        if (GetErrorInfo(0, info.Receive()) == S_OK) info->GetDescription(description.Receive());
    });
    EXPECT_HR(E_FAIL, hr);
    EXPECT_EQ(kBound, deepest);
    EXPECT_EQ(kAttempts, attempts);
    EXPECT_BSTR_EQ(L"Templates nest too deeply (more than 32 expansions at once).", description);
}

TEST_F(TextTemplatorTest, ShiftJisFile) {
    const auto path = std::filesystem::temp_directory_path() / "vesk_text_templator_sjis.txt";
    // "こんにちは、(#Name#)。" in Shift_JIS.
    std::ofstream(path, std::ios::binary) << "\x82\xB1\x82\xF1\x82\xC9\x82\xBF\x82\xCD\x81\x41(#Name#)\x81\x42";
    AddScript()->SetProperty(L"Name", VarStr(L"世界"));
    ASSERT_HR(S_OK, Late().Call(L"ProcessTemplateFile", VarStr(path.wstring().c_str()), VarStr(L"Shift_JIS")).hr);
    EXPECT_TRUE(FAILED(Late().Call(L"ProcessTemplateFile", VarStr(L"/no/such/file"), VarStr(L"Shift_JIS")).hr));
    EXPECT_EQ(L"こんにちは、世界。", Flush());
    std::filesystem::remove(path);
}

// A named pipe is refused at once instead of waited on for a writer. Should the call wait, a
// writer comes after five seconds, so the test fails rather than hangs.
TEST_F(TextTemplatorTest, ProcessTemplateFileRefusesAPipeAtOnce) {
    const auto path = std::filesystem::temp_directory_path() / ("vesk_text_templator_pipe_" + std::to_string(getpid()));
    ASSERT_EQ(0, mkfifo(path.c_str(), 0600));
    const LateBound late = Late();
    auto processing = std::async(std::launch::async, [&] {
        return late.Call(L"ProcessTemplateFile", VarStr(path.wstring().c_str()), VarStr(L"UTF-8")).hr;
    });
    if (processing.wait_for(std::chrono::seconds(5)) == std::future_status::timeout) {
        ADD_FAILURE() << "the call waited";
        close(open(path.c_str(), O_WRONLY));
    }
    EXPECT_TRUE(FAILED(processing.get()));
    std::filesystem::remove(path);
}

}  // namespace
}  // namespace vesk_test
