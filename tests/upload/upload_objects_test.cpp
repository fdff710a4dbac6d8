// The upload form, the value list of one field and the uploaded file item, made through their
// pooled factories as the upload makes them, read through the host's collection interfaces
// and late-bound as a script reads them.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "frame/module.h"
#include "support/test_support.h"
#include "upload/form_file.h"
#include "upload/multipart_form.h"

namespace vesk_test {
namespace {

using PravoltTypeLibrary::IRequestDictionary;
using PravoltTypeLibrary::IStringList;

CComPtr<IRequestDictionary> NewForm() {
    CComPtr<IRequestDictionary> form;
    EXPECT_HR(S_OK, g_oCF_MultipartForm.CreateInstance(nullptr, IID_IRequestDictionary, form.ReceiveVoid()));
    return form;
}

CComPtr<IDispatch> NewFile(const wchar_t* name, const wchar_t* type, const std::string& content) {
    CComPtr<IDispatch> file;
    EXPECT_HR(S_OK, g_oCF_FormFile.CreateInstance(nullptr, IID_IDispatch, file.ReceiveVoid()));
    auto* impl = FormFileOf(static_cast<IFormFile*>(file.Get()));
    EXPECT_HR(S_OK, impl->SetNames(CComBSTR(name), CComBSTR(type)));
    EXPECT_HR(S_OK, impl->WriteContent(reinterpret_cast<const uint8_t*>(content.data()), content.size()));
    return file;
}

void Add(IRequestDictionary* form, const wchar_t* name, CComVariant value) {
    ASSERT_HR(S_OK, MultipartFormOf(form)->Append(name, std::move(value)));
}

CComPtr<IStringList> ListOf(IRequestDictionary* form, CComVariant key) {
    CComVariant item;
    EXPECT_HR(S_OK, form->get_Item(key, &item));
    CComPtr<IStringList> list;
    if (item.vt == VT_DISPATCH) {
        EXPECT_HR(S_OK, item.pdispVal->QueryInterface(IID_IStringList, list.ReceiveVoid()));
    }
    return list;
}

CComVariant Missing() {
    CComVariant v;
    v.SetError(DISP_E_PARAMNOTFOUND);
    return v;
}

std::wstring Text(const VARIANT& v) {
    CComVariant text;
    if (FAILED(VariantChangeType(&text, &v, 0, VT_BSTR))) return L"<no text>";
    return text.bstrVal ? std::wstring(text.bstrVal, SysStringLen(text.bstrVal)) : L"";
}

std::string StreamBytes(IDispatch* file) {
    CComPtr<IDispatch> stream;
    EXPECT_HR(S_OK, static_cast<IFormFile*>(file)->get_Stream(stream.Receive()));
    CComPtr<IZULibStream> bytes;
    EXPECT_HR(S_OK, stream->QueryInterface(IID_IZULibStream, bytes.ReceiveVoid()));
    CComVariant all;
    EXPECT_HR(S_OK, bytes->Read(ADODB::adReadAll, &all));
    if (all.vt != (VT_ARRAY | VT_UI1)) return {};
    return std::string(static_cast<const char*>(all.parray->pvData), all.parray->rgsabound[0].cElements);
}

// ---- The form and its value lists ------------------------------------------------------

class UploadForm : public ::testing::Test {
protected:
    void SetUp() override {
        form = NewForm();
        ASSERT_TRUE(form);
        Add(form.Get(), L"a", VarStr(L"x"));
        Add(form.Get(), L"a", VarStr(L"y"));
        Add(form.Get(), L"one", VarStr(L"only"));
        Add(form.Get(), L"", VarStr(L"nameless"));
    }
    CComPtr<IRequestDictionary> form;
};

TEST_F(UploadForm, RepeatedNamesListTheirValuesInOrder) {
    CComPtr<IStringList> list = ListOf(form.Get(), VarStr(L"a"));
    ASSERT_TRUE(list);
    int count = 0;
    EXPECT_HR(S_OK, list->get_Count(&count));
    EXPECT_EQ(2, count);
    EXPECT_HR(S_OK, form->get_Count(&count));
    EXPECT_EQ(3, count);

    struct Row { const char* name; CComVariant index; HRESULT hr; const wchar_t* text; };
    const Row rows[] = {
        {"no index joins the values", Missing(), S_OK, L"x, y"},
        {"the first", VarI4(1), S_OK, L"x"},
        {"the last, from a string index", VarStr(L"2"), S_OK, L"y"},
        {"below the first", VarI4(0), DISP_E_BADINDEX, nullptr},
        {"past the last", VarI4(3), DISP_E_BADINDEX, nullptr},
        {"an index that is no number", VarStr(L"two"), DISP_E_TYPEMISMATCH, nullptr},
    };
    for (const Row& row : rows) {
        CComVariant value;
        EXPECT_HR(row.hr, list->get_Item(row.index, &value)) << row.name;
        if (row.text) {
            EXPECT_EQ(row.text, Text(value)) << row.name;
        } else {
            EXPECT_EQ(VT_EMPTY, value.vt) << row.name;
        }
    }
}

TEST_F(UploadForm, NamesAreLookedUpExactly) {
    struct Row { const char* name; CComVariant key; const wchar_t* value; };
    const Row rows[] = {
        {"the name as sent", VarStr(L"one"), L"only"},
        {"another case is another name", VarStr(L"ONE"), nullptr},
        {"an integer key is a name, not a position", VarI4(1), nullptr},
        {"the empty name holds the nameless parts", VarStr(L""), L"nameless"},
        {"a prefix is not the name", VarStr(L"on"), nullptr},
    };
    for (const Row& row : rows) {
        CComVariant item;
        ASSERT_HR(S_OK, form->get_Item(row.key, &item)) << row.name;
        if (row.value == nullptr) {
            EXPECT_EQ(VT_EMPTY, item.vt) << row.name;
            continue;
        }
        ASSERT_EQ(VT_DISPATCH, item.vt) << row.name;
        EXPECT_EQ(row.value, Text(item)) << row.name;
    }
    CComVariant item;
    EXPECT_HR(DISP_E_TYPEMISMATCH, form->get_Item(VarDisp(nullptr), &item));
}

TEST_F(UploadForm, AValueListKeepsItsFormAlive) {
    CComPtr<IStringList> list = ListOf(form.Get(), VarStr(L"a"));
    ASSERT_TRUE(list);
    form.Reset();  // the list's reference is now the form's last
    CComVariant value;
    EXPECT_HR(S_OK, list->get_Item(VarI4(2), &value));
    EXPECT_EQ(L"y", Text(value));
}

TEST_F(UploadForm, EnumeratorsAndKeysAreNotOffered) {
    CComPtr<IUnknown> unknown;
    EXPECT_HR(E_NOTIMPL, form->get__NewEnum(unknown.Receive()));
    CComVariant key;
    EXPECT_HR(E_NOTIMPL, form->get_Key(VarI4(1), &key));
    CComPtr<IStringList> list = ListOf(form.Get(), VarStr(L"a"));
    EXPECT_HR(E_NOTIMPL, list->get__NewEnum(unknown.Receive()));
}

// Scripts reach no member of the upload collections by name; the value list's default value
// is its Item without an index, so it converts to text like the host's own value lists.
TEST_F(UploadForm, LateBoundOnlyTheValueListsDefaultValue) {
    CComPtr<IStringList> list = ListOf(form.Get(), VarStr(L"a"));
    CComPtr<IDispatch> formDispatch;
    ASSERT_HR(S_OK, form->QueryInterface(IID_IDispatch, formDispatch.ReceiveVoid()));
    for (IDispatch* object : {static_cast<IDispatch*>(list.Get()), formDispatch.Get()}) {
        for (const wchar_t* name : {L"Item", L"Count", L"_NewEnum", L"Key", L""}) {
            DISPID id = 0;
            EXPECT_HR(DISP_E_UNKNOWNNAME, automation::GetMemberId(object, name, &id)) << name;
        }
    }
    struct Row { const char* name; IDispatch* object; DISPID id; WORD flags; std::vector<CComVariant> args; HRESULT hr; const wchar_t* text; };
    std::vector<Row> rows;
    rows.push_back({"the list's value read", list.Get(), DISPID_VALUE, DISPATCH_PROPERTYGET, {}, S_OK, L"x, y"});
    rows.push_back({"the list called", list.Get(), DISPID_VALUE, DISPATCH_METHOD, {}, S_OK, L"x, y"});
    rows.push_back({"the list called with an index", list.Get(), DISPID_VALUE, DISPATCH_METHOD | DISPATCH_PROPERTYGET, {}, S_OK, L"x, y"});
    rows.back().args.push_back(VarI4(2));
    rows.back().text = L"y";
    rows.push_back({"the list assigned", list.Get(), DISPID_VALUE, DISPATCH_PROPERTYPUT, {}, DISP_E_MEMBERNOTFOUND, nullptr});
    rows.back().args.push_back(VarStr(L"z"));
    rows.push_back({"another member of the list", list.Get(), 1, DISPATCH_PROPERTYGET, {}, DISP_E_MEMBERNOTFOUND, nullptr});
    rows.push_back({"the form's value", formDispatch.Get(), DISPID_VALUE, DISPATCH_PROPERTYGET, {}, DISP_E_MEMBERNOTFOUND, nullptr});
    for (Row& row : rows) {
        CComVariant result;
        EXPECT_HR(row.hr, automation::InvokeById(row.object, row.id, row.flags, row.args, &result)) << row.name;
        if (row.text) {
            EXPECT_EQ(row.text, Text(result)) << row.name;
        }
    }
    CComVariant value;
    value.SetDispatch(list.Get());
    EXPECT_EQ(L"x, y", Text(value));
}

TEST_F(UploadForm, AFileValueComesBackAsItsObjectButHasNoText) {
    CComPtr<IDispatch> file = NewFile(L"p.png", L"image/png", "PNG");
    Add(form.Get(), L"f", VarDisp(file.Get()));
    CComPtr<IStringList> single = ListOf(form.Get(), VarStr(L"f"));
    CComVariant value;
    ASSERT_HR(S_OK, single->get_Item(Missing(), &value));
    ASSERT_EQ(VT_DISPATCH, value.vt);
    EXPECT_EQ(file.Get(), value.pdispVal);

    Add(form.Get(), L"f", VarStr(L"text"));
    CComPtr<IStringList> both = ListOf(form.Get(), VarStr(L"f"));
    CComVariant joined;
    EXPECT_TRUE(FAILED(both->get_Item(Missing(), &joined)));
    EXPECT_EQ(VT_EMPTY, joined.vt);
    CComVariant second;
    EXPECT_HR(S_OK, both->get_Item(VarI4(2), &second));
    EXPECT_EQ(L"text", Text(second));
}

TEST(UploadPools, AReleasedListComesBackEmpty) {
    CComPtr<IStringList> list;
    ASSERT_HR(S_OK, g_oCF_MultipartFormStringList.CreateInstance(nullptr, IID_IStringList, list.ReceiveVoid()));
    int count = -1;
    EXPECT_HR(S_OK, list->get_Count(&count));
    EXPECT_EQ(0, count);
    CComVariant value;
    EXPECT_HR(S_OK, list->get_Item(Missing(), &value));
    EXPECT_EQ(VT_EMPTY, value.vt);
    EXPECT_HR(DISP_E_BADINDEX, list->get_Item(VarI4(1), &value));

    CComPtr<IRequestDictionary> form = NewForm();
    Add(form.Get(), L"k", VarStr(L"v"));
    IRequestDictionary* first = form.Get();
    form.Reset();
    form = NewForm();
    EXPECT_EQ(first, form.Get()) << "the block is reused";
    EXPECT_HR(S_OK, form->get_Count(&count));
    EXPECT_EQ(0, count);
}

// ---- File items --------------------------------------------------------------------------

TEST(UploadFile, NamesAsSentAndWithoutTheClientPath) {
    struct Row { const wchar_t* sent; const wchar_t* bare; };
    const Row rows[] = {
        {L"C:\\tmp\\p.png", L"p.png"}, {L"dir/p.png", L"p.png"},       {L"p.png", L"p.png"},
        {L"a\\b/c.txt", L"b/c.txt"},   {L"dir/", L""},                  {L"\\", L""},
        {L"日本\\報告.pdf", L"報告.pdf"},
    };
    for (const Row& row : rows) {
        CComPtr<IDispatch> file = NewFile(row.sent, L"text/plain", "");
        CComVariant name, bare, type;
        EXPECT_HR(S_OK, automation::InvokeById(file.Get(), 1, DISPATCH_PROPERTYGET, {}, &name));
        EXPECT_HR(S_OK, automation::InvokeById(file.Get(), 2, DISPATCH_PROPERTYGET, {}, &bare));
        EXPECT_HR(S_OK, automation::InvokeById(file.Get(), 3, DISPATCH_PROPERTYGET, {}, &type));
        EXPECT_EQ(row.sent, Text(name));
        EXPECT_EQ(row.bare, Text(bare)) << Text(name);
        EXPECT_EQ(L"text/plain", Text(type));
    }
}

TEST(UploadFile, LateBoundNamesAreReadOnly) {
    CComPtr<IDispatch> file = NewFile(L"a.txt", L"", "abc");
    const wchar_t* names[] = {L"FileName", L"filename2", L"CONTENTTYPE", L"Stream"};
    for (DISPID expected = 1; expected <= 4; ++expected) {
        DISPID id = 0;
        EXPECT_HR(S_OK, automation::GetMemberId(file.Get(), names[expected - 1], &id));
        EXPECT_EQ(expected, id);
        std::vector<CComVariant> args;
        args.push_back(VarStr(L"x"));
        EXPECT_HR(DISP_E_MEMBERNOTFOUND, automation::InvokeById(file.Get(), id, DISPATCH_PROPERTYPUT, args));
    }
    DISPID id = 0;
    EXPECT_HR(DISP_E_UNKNOWNNAME, automation::GetMemberId(file.Get(), L"Size", &id));
    CComVariant stream;
    ASSERT_HR(S_OK, automation::InvokeById(file.Get(), 4, DISPATCH_PROPERTYGET, {}, &stream));
    EXPECT_EQ(VT_DISPATCH, stream.vt);
    // A file has no default value to convert.
    CComVariant value;
    value.SetDispatch(file.Get());
    EXPECT_EQ(L"<no text>", Text(value));
}

TEST(UploadFile, TheStreamHoldsTheExactBytesAtPositionZero) {
    std::string content;
    for (int i = 0; i < 3; ++i) for (int b = 0; b < 256; ++b) content += char(b);
    CComPtr<IDispatch> file = NewFile(L"bytes.bin", L"application/octet-stream", content);
    CComPtr<IDispatch> stream;
    ASSERT_HR(S_OK, static_cast<IFormFile*>(file.Get())->get_Stream(stream.Receive()));
    CComPtr<IZULibStream> bytes;
    ASSERT_HR(S_OK, stream->QueryInterface(IID_IZULibStream, bytes.ReceiveVoid()));
    LONG position = -1, size = -1;
    ADODB::StreamTypeEnum type = 0;
    EXPECT_HR(S_OK, bytes->get_Position(&position));
    EXPECT_HR(S_OK, bytes->get_Size(&size));
    EXPECT_HR(S_OK, bytes->get_Type(&type));
    EXPECT_EQ(0, position);
    EXPECT_EQ(LONG(content.size()), size);
    EXPECT_EQ(ADODB::adTypeBinary, type);
    EXPECT_EQ(content, StreamBytes(file.Get()));
    // The script may keep the stream past the file item.
    file.Reset();
    EXPECT_HR(S_OK, bytes->get_Size(&size));
    EXPECT_EQ(LONG(content.size()), size);
}

TEST(UploadFile, AnEmptyFileHasAnEmptyStream) {
    CComPtr<IDispatch> file = NewFile(L"empty.txt", L"", "");
    EXPECT_EQ("", StreamBytes(file.Get()));
}

}  // namespace
}  // namespace vesk_test
