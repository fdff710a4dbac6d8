// The text templator as a script sees it: the module loaded from its file, one object made
// through its class factory, every call late-bound through IDispatch.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "contract/common/late_bound.h"
#include "contract/common/loaded_module.h"
#include "support/test_support.h"
#include "template/recording_sinks.h"

namespace vesk_test {
namespace {

// One late-bound call; a property assignment passes its value as the named argument
// DISPID_PROPERTYPUT, as script engines do.
CallResult Put(IDispatch* obj, const wchar_t* name, WORD flags, CComVariant value) {
    CallResult r;
    DISPID dispid = DISPID_UNKNOWN;
    r.hr = LateBound(obj).Id(name, &dispid);
    if (FAILED(r.hr)) return r;
    DISPID named = DISPID_PROPERTYPUT;
    DISPPARAMS params = {&value, &named, 1, 1};
    r.hr = obj->Invoke(dispid, IID_NULL, LOCALE_SYSTEM_DEFAULT, flags, &params, nullptr, nullptr, nullptr);
    return r;
}

CComVariant VarUnknown(IUnknown* borrowed) {
    CComVariant v;
    v.SetUnknown(borrowed);
    return v;
}

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
    HRESULT SetScript(IDispatch* script) {
        return Put(templator.Get(), L"Script", DISPATCH_PROPERTYPUTREF, VarDisp(script)).hr;
    }
    HRESULT SetStream(IUnknown* stream) {
        return Put(templator.Get(), L"Stream", DISPATCH_PROPERTYPUTREF, VarUnknown(stream)).hr;
    }
    HRESULT Process(const wchar_t* text) { return Late().Call(L"ProcessTemplate", VarStr(text)).hr; }
    HRESULT Write(const wchar_t* text) { return Late().Call(L"Write", VarStr(text)).hr; }
    std::wstring Flush(HRESULT expected = S_OK) {
        CallResult r = Late().Call(L"Flush");
        EXPECT_HR(expected, r.hr);
        return r.value.vt == VT_BSTR ? std::wstring(View(r.value.bstrVal)) : L"<not a string>";
    }

    CComPtr<IDispatch> templator;
};

TEST_F(TextTemplatorTest, HelloWorld) {
    auto script = ScriptObject::Create();
    script->SetProperty(L"Name", VarStr(L"World"));
    ASSERT_HR(S_OK, SetScript(script.Get()));
    ASSERT_HR(S_OK, Process(L"Hello (#Name#)!"));
    EXPECT_EQ(L"Hello World!", Flush());
}

TEST_F(TextTemplatorTest, WhiteSpaceMarksAreComments) {
    ASSERT_HR(S_OK, Process(L"a(# note#)b(#\tx#)c(#\rx#)d(#\nx#)e(#  #)f"));
    EXPECT_EQ(L"abcdef", Flush());
}

TEST_F(TextTemplatorTest, FunctionMarksGetTheTemplatorAndTheParameters) {
    auto script = ScriptObject::Create();
    CComPtr<IUnknown> self;
    templator->QueryInterface(IID_IUnknown, self.ReceiveVoid());
    script->AddMethod(L"Join", [&](ScriptObject::Args args, VARIANT* result) -> HRESULT {
        // Read as a property first: a function without a property form answers "not found".
        if (args.empty()) return DISP_E_MEMBERNOTFOUND;
        if (args.size() != 2 || args[0]->vt != VT_DISPATCH || args[1]->vt != (VT_BYREF | VT_VARIANT))
            return DISP_E_TYPEMISMATCH;
        CComPtr<IUnknown> caller;
        args[0]->pdispVal->QueryInterface(IID_IUnknown, caller.ReceiveVoid());
        EXPECT_EQ(self.Get(), caller.Get());
        EXPECT_EQ(VT_ARRAY | VT_VARIANT, args[1]->pvarVal->vt);
        SAFEARRAY* psa = args[1]->pvarVal->parray;
        LONG lower = -1, upper = -2;
        SafeArrayGetLBound(psa, 1, &lower);
        SafeArrayGetUBound(psa, 1, &upper);
        EXPECT_EQ(0, lower);
        std::wstring joined = L"(";
        for (LONG i = lower; i <= upper; ++i) {
            CComVariant item;
            SafeArrayGetElement(psa, &i, &item);
            joined += (i ? L"+" : L"") + std::wstring(View(item.bstrVal));
        }
        VarStr((joined + L")").c_str()).Detach(result);
        return S_OK;
    });
    ASSERT_HR(S_OK, SetScript(script.Get()));
    ASSERT_HR(S_OK, Process(L"[(#Join|a#|#b#)][(#Join#)]"));
    EXPECT_EQ(L"[(a+b)][()]", Flush());
}

// A name that no script knows goes to the scripts' default members, as to a collection.
TEST_F(TextTemplatorTest, DictionaryAsTheOnlyScript) {
    CComPtr<IZULibDictionary> dict;
    ASSERT_HR(S_OK, CoCreateInstance(CLSID_Dictionary, nullptr, CLSCTX_INPROC_SERVER, IID_IZULibDictionary,
                                     dict.ReceiveVoid()));
    CComVariant key = VarStr(L"Name"), item = VarStr(L"World");
    ASSERT_HR(S_OK, dict->put_Item(&key, &item));
    ASSERT_HR(S_OK, SetScript(dict.Get()));
    ASSERT_HR(S_OK, Process(L"Hello (#Name#)!"));
    EXPECT_EQ(L"Hello World!", Flush());
}

TEST_F(TextTemplatorTest, LaterScriptShadowsEarlier) {
    auto first = ScriptObject::Create();
    first->SetProperty(L"Name", VarStr(L"first"));
    first->SetProperty(L"Only", VarStr(L"one"));
    auto second = ScriptObject::Create();
    second->SetProperty(L"Name", VarStr(L"second"));
    ASSERT_HR(S_OK, SetScript(first.Get()));
    ASSERT_HR(S_OK, SetScript(second.Get()));
    ASSERT_HR(S_OK, Process(L"(#Name#) (#Only#)"));
    EXPECT_EQ(L"second one", Flush());

    CallResult got = Late().InvokeNamed(L"Script", DISPATCH_PROPERTYGET, {});
    ASSERT_HR(S_OK, got.hr);
    ASSERT_EQ(VT_DISPATCH, got.value.vt);
    EXPECT_EQ(static_cast<IDispatch*>(second.Get()), got.value.pdispVal);
}

TEST_F(TextTemplatorTest, FailuresStopTheExpansion) {
    ASSERT_HR(DISP_E_UNKNOWNNAME, Process(L"a(#Name#)b"));  // no scripts at all
    EXPECT_EQ(L"a", Flush());

    auto script = ScriptObject::Create();
    script->SetProperty(L"Gap", VarNull());
    ASSERT_HR(S_OK, SetScript(script.Get()));
    EXPECT_HR(DISP_E_TYPEMISMATCH, Process(L"c(#Gap#)d"));  // Null is not text here
    EXPECT_EQ(L"ac", Flush());

    EXPECT_HR(E_FAIL, Process(L"e#)"));
    CComPtr<IErrorInfo> info;
    ASSERT_HR(S_OK, GetErrorInfo(0, info.Receive()));
    CComBSTR source, description;
    info->GetSource(source.Receive());
    info->GetDescription(description.Receive());
    EXPECT_BSTR_EQ(L"Templator", source);
    EXPECT_BSTR_EQ(L"Invalid mark order.", description);
}

TEST_F(TextTemplatorTest, FlushReadsEverythingSoFar) {
    ASSERT_HR(S_OK, Write(L"ab"));
    EXPECT_EQ(L"ab", Flush());
    EXPECT_EQ(L"ab", Flush());
    ASSERT_HR(S_OK, Write(L"c"));
    EXPECT_EQ(L"abc", Flush());
}

TEST_F(TextTemplatorTest, OutputElsewhereCannotBeFlushed) {
    auto sink = MakeRecorder<RecordingStream>();
    ASSERT_HR(S_OK, SetStream(sink.Get()));
    ASSERT_HR(S_OK, Write(L"x"));
    EXPECT_EQ(std::vector<std::wstring>{L"x"}, sink->writes);
    Flush(E_FAIL);

    CallResult got = Late().InvokeNamed(L"Stream", DISPATCH_PROPERTYGET, {});
    ASSERT_HR(S_OK, got.hr);
    ASSERT_EQ(VT_UNKNOWN, got.value.vt);
    EXPECT_EQ(static_cast<IUnknown*>(sink.Get()), got.value.punkVal);
    got.value.Reset();

    // An object that no sink accepts leaves no output at all.
    CountingDispatch notAStream;
    EXPECT_HR(E_INVALIDARG, Put(templator.Get(), L"Stream", DISPATCH_PROPERTYPUTREF, VarDisp(&notAStream)).hr);
    EXPECT_HR(E_FAIL, Write(L"y"));
    EXPECT_HR(E_FAIL, Process(L"z"));
    Flush(E_FAIL);
    EXPECT_EQ(1u, sink->RefCount());
    EXPECT_EQ(1u, notAStream.RefCount());
}

TEST_F(TextTemplatorTest, OwnHostStreamIsReadFromItsStart) {
    CComPtr<IZULibStream> own;
    ASSERT_HR(S_OK, CoCreateInstance(CLSID_Stream, nullptr, CLSCTX_INPROC_SERVER, IID_IZULibStream, own.ReceiveVoid()));
    VARIANT none;
    VariantInit(&none);
    none.vt = VT_ERROR;
    ASSERT_HR(S_OK, own->Open(none, ADODB::adModeUnknown, ADODB::adOpenStreamUnspecified, nullptr, nullptr));
    CComBSTR pre(L"pre:");
    ASSERT_HR(S_OK, own->WriteText(pre, ADODB::adWriteChar));
    ASSERT_HR(S_OK, SetStream(own.Get()));
    ASSERT_HR(S_OK, Process(L"a^(#b"));
    EXPECT_EQ(L"pre:a(#b", Flush());
}

TEST_F(TextTemplatorTest, ShiftJisFile) {
    const auto path = std::filesystem::temp_directory_path() / "vesk_text_templator_sjis.txt";
    {
        // "こんにちは、(#Name#)。" in Shift_JIS.
        const unsigned char bytes[] = {0x82, 0xB1, 0x82, 0xF1, 0x82, 0xC9, 0x82, 0xBF, 0x82, 0xCD, 0x81, 0x41,
                                       '(',  '#',  'N',  'a',  'm',  'e',  '#',  ')',  0x81, 0x42};
        std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes), sizeof bytes);
    }
    auto script = ScriptObject::Create();
    script->SetProperty(L"Name", VarStr(L"世界"));
    ASSERT_HR(S_OK, SetScript(script.Get()));
    ASSERT_HR(S_OK, Late().Call(L"ProcessTemplateFile", VarStr(path.wstring().c_str()), VarStr(L"Shift_JIS")).hr);
    EXPECT_EQ(L"こんにちは、世界。", Flush());
    EXPECT_TRUE(FAILED(Late().Call(L"ProcessTemplateFile", VarStr(L"/no/such/template.txt"), VarStr(L"Shift_JIS")).hr));
    EXPECT_EQ(L"こんにちは、世界。", Flush());  // nothing of a failed read is expanded
    std::filesystem::remove(path);
}

TEST_F(TextTemplatorTest, PooledObjectStartsAfresh) {
    auto script = ScriptObject::Create();
    script->SetProperty(L"Name", VarStr(L"x"));
    ASSERT_HR(S_OK, SetScript(script.Get()));
    ASSERT_HR(S_OK, Write(L"old"));
    templator.Reset();
    EXPECT_EQ(1u, script->RefCount());  // the released object let its script go
    EXPECT_HR(S_OK, Module().CanUnloadNow());

    templator = Module().Create(L"TextTemplator");
    ASSERT_TRUE(templator);
    EXPECT_HR(DISP_E_UNKNOWNNAME, Process(L"(#Name#)"));  // no scripts any more
    CallResult out = Late().Call(L"flush");
    ASSERT_HR(S_OK, out.hr);
    EXPECT_BSTR_EQ(L"", out.value.bstrVal);  // and a stream of its own
}

TEST_F(TextTemplatorTest, ClassIdentifierAndProgIdNames) {
    CComPtr<IClassFactory> factory;
    ASSERT_HR(S_OK, Module().GetClassObject(Module().Guid("CLSID_TextTemplator"), IID_IClassFactory,
                                            factory.ReceiveVoid()));
    CComPtr<IDispatch> other;
    ASSERT_HR(S_OK, factory->CreateInstance(nullptr, IID_IDispatch, other.ReceiveVoid()));
    CComPtr<IUnknown> typed;
    EXPECT_HR(S_OK, other->QueryInterface(Module().Guid("IID_ITextTemplator"), typed.ReceiveVoid()));
}

}  // namespace
}  // namespace vesk_test
