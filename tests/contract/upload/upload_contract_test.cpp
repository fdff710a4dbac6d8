// Multipart uploads as a page receives them: the module loaded from its file, "Vesk" created
// by ProgID inside a page the host runs with a multipart post, the upload read back through
// the controller's Request collection, its command and its file items, every call made the
// way a host or a script makes it.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <functional>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "contract/common/late_bound.h"
#include "contract/common/page_contract.h"
#include "hostkit/pages/page_host.h"
#include "support/test_support.h"

namespace vesk_test {
namespace {

using PravoltTypeLibrary::IRequestDictionary;
using PravoltTypeLibrary::IStringList;
using veskhost::PageRequest;

std::string ReadFixture(const std::string& name) {
    std::ifstream in(std::string(VESK_UPLOAD_FIXTURES) + "/" + name, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    EXPECT_TRUE(in.good() || in.eof()) << name;
    return bytes.str();
}

// The Content-Type header of a recorded request head.
std::string ContentTypeOf(const std::string& head) {
    std::istringstream lines(head);
    for (std::string line; std::getline(lines, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.rfind("Content-Type: ", 0) == 0) return line.substr(14);
    }
    return {};
}

using pages::Text;

// A multipart body as a test writes it: parts of text or files, CR LF line ends.
class BodyBuilder {
public:
    explicit BodyBuilder(std::string boundary = "XyZ-boundary-42") : m_boundary(std::move(boundary)) {}

    BodyBuilder& Text(const std::string& name, const std::string& value) {
        return Part("Content-Disposition: form-data; name=\"" + name + "\"\r\n", value);
    }
    BodyBuilder& File(const std::string& name, const std::string& fileName, const std::string& type,
                      const std::string& content) {
        std::string headers = "Content-Disposition: form-data; name=\"" + name + "\"; filename=\"" + fileName + "\"\r\n";
        if (!type.empty()) headers += "Content-Type: " + type + "\r\n";
        return Part(headers, content);
    }
    BodyBuilder& Part(const std::string& headers, const std::string& content) {
        m_body += "--" + m_boundary + "\r\n" + headers + "\r\n" + content + "\r\n";
        return *this;
    }
    std::string Close() const { return m_body + "--" + m_boundary + "--\r\n"; }
    std::string Open() const { return m_body; }
    std::string ContentType() const { return "multipart/form-data; boundary=" + m_boundary; }

private:
    std::string m_boundary;
    std::string m_body;
};

// What one page saw of its upload, read in "On_StartProcess" through the controller's
// Request collection, and how the page ended.
struct UploadRun : pages::PageRun {
    bool started = false;                // "On_StartProcess" ran
    std::vector<std::wstring> commands;  // the command functions that ran
};

using PageStep = std::function<void(IDispatch* vesk)>;

class UploadContract : public pages::PageContract {
protected:
    // Runs one page whose script reads the upload in "On_StartProcess" (`atStart`), runs
    // the commands save and go, and draws nothing itself; `atEnd` runs in "On_EndProcess".
    UploadRun Run(const PageRequest& request, const PageStep& atStart = {}, const PageStep& atEnd = {}) {
        UploadRun run;
        CComPtr<ScriptObject> script = ScriptObject::Create();
        auto step = [](bool* flag, const PageStep& body) {
            return [flag, body](ScriptObject::Args args, VARIANT* result) {
                if (flag) *flag = true;
                if (body && !args.empty() && args[0]->vt == VT_DISPATCH) body(args[0]->pdispVal);
                result->vt = VT_BOOL;
                result->boolVal = VARIANT_TRUE;
                return S_OK;
            };
        };
        script->AddMethod(L"On_StartProcess", step(&run.started, atStart));
        script->AddMethod(L"On_EndProcess", step(nullptr, atEnd));
        for (const wchar_t* command : {L"save", L"go"}) {
            script->AddMethod(std::wstring(L"OnCommand_") + command, [&run, command](ScriptObject::Args, VARIANT* result) {
                run.commands.push_back(command);
                result->vt = VT_BOOL;
                result->boolVal = VARIANT_TRUE;
                return S_OK;
            });
        }
        script->AddMethod(L"OnTemplate_page", step(nullptr, {}));  // the page draws itself
        static_cast<pages::PageRun&>(run) = RunScript(request, script.Get());
        return run;
    }
    void Prepare(IDispatch* vesk) override {
        EXPECT_HR(S_OK, pages::Put(vesk, L"DefaultTemplate", VarStr(L"page")));
        EXPECT_HR(S_OK, pages::Put(vesk, L"Name", VarStr(L"upload")));
    }

    UploadRun Post(const std::string& contentType, const std::string& body, const PageStep& atStart = {},
                   const PageStep& atEnd = {}) {
        return Run(PageRequest::Post("/upload", contentType, body), atStart, atEnd);
    }
};

// The controller's request collection, as the host's dictionary interface.
CComPtr<IRequestDictionary> RequestOf(IDispatch* vesk) {
    CallResult request = LateBound(vesk).InvokeNamed(L"Request", DISPATCH_PROPERTYGET, {});
    EXPECT_HR(S_OK, request.hr);
    CComPtr<IRequestDictionary> collection;
    if (request.value.vt == VT_DISPATCH && request.value.pdispVal) {
        EXPECT_HR(S_OK, request.value.pdispVal->QueryInterface(IID_IRequestDictionary, collection.ReceiveVoid()));
    }
    return collection;
}

// One field of the request collection, written down as a script would see it.
struct Field {
    VARTYPE vt = VT_EMPTY;  // of the lookup: VT_EMPTY when the name is absent
    int count = 0;
    std::wstring joined;    // the list's value as text ("<no text>" when it has none)
    std::vector<CComVariant> values;  // each value, by index
};

Field Read(IRequestDictionary* collection, const std::wstring& name) {
    Field field;
    CComVariant key;
    key.SetString(name.c_str());
    CComVariant item;
    EXPECT_HR(S_OK, collection->get_Item(key, &item));
    field.vt = item.vt;
    if (item.vt != VT_DISPATCH) return field;
    field.joined = Text(item);
    CComPtr<IStringList> list;
    if (FAILED(item.pdispVal->QueryInterface(IID_IStringList, list.ReceiveVoid()))) return field;
    list->get_Count(&field.count);
    for (int i = 1; i <= field.count; ++i) {
        CComVariant value;
        EXPECT_HR(S_OK, list->get_Item(VarI4(i), &value));
        field.values.push_back(std::move(value));
    }
    return field;
}

int CountOf(IRequestDictionary* collection) {
    int count = -1;
    EXPECT_HR(S_OK, collection->get_Count(&count));
    return count;
}

// A file value as a script reads it: its names, its type and the bytes of its stream.
struct FileSeen {
    std::wstring name, bare, type;
    std::string bytes;
    LONG position = -1;
};

FileSeen ReadFile(const VARIANT& value) {
    FileSeen seen;
    if (value.vt != VT_DISPATCH) return {L"<not a file>"};
    LateBound file(value.pdispVal);
    seen.name = Text(file.InvokeNamed(L"FileName", DISPATCH_PROPERTYGET, {}).value);
    seen.bare = Text(file.InvokeNamed(L"FileName2", DISPATCH_PROPERTYGET, {}).value);
    seen.type = Text(file.InvokeNamed(L"ContentType", DISPATCH_PROPERTYGET, {}).value);
    CallResult stream = file.InvokeNamed(L"Stream", DISPATCH_PROPERTYGET, {});
    if (FAILED(stream.hr) || stream.value.vt != VT_DISPATCH) return seen;
    LateBound bytes(stream.value.pdispVal);
    seen.position = bytes.InvokeNamed(L"Position", DISPATCH_PROPERTYGET, {}).value.lVal;
    CallResult all = bytes.Call(L"Read", VarI4(ADODB::adReadAll));
    if (all.value.vt == (VT_ARRAY | VT_UI1)) {
        seen.bytes.assign(static_cast<const char*>(all.value.parray->pvData), all.value.parray->rgsabound[0].cElements);
    }
    return seen;
}

// ---- Bodies recorded from real clients -------------------------------------------------

TEST_F(UploadContract, ACurlFormArrivesWithItsFieldsAndFiles) {
    const std::string head = ReadFixture("curl_form.head");
    const std::string body = ReadFixture("curl_form.body");
    ASSERT_FALSE(body.empty());
    std::vector<Field> fields;
    int count = -1;
    const UploadRun run = Post(ContentTypeOf(head), body, [&](IDispatch* vesk) {
        CComPtr<IRequestDictionary> request = RequestOf(vesk);
        ASSERT_TRUE(request);
        count = CountOf(request.Get());
        for (const wchar_t* name : {L"title", L"c", L"note", L"doc", L"blob"}) fields.push_back(Read(request.Get(), name));
    });
    ASSERT_HR(S_OK, run.hr) << run.description;
    EXPECT_EQ(std::vector<std::wstring>{L"save"}, run.commands) << "the command comes from the upload form";
    EXPECT_EQ(5, count);
    ASSERT_EQ(5u, fields.size());
    EXPECT_EQ(L"Hello wörld", fields[0].joined);
    EXPECT_EQ(L"save", fields[1].joined);
    EXPECT_EQ(L"a, b", fields[2].joined);

    ASSERT_EQ(2, fields[3].count) << "two files under one name";
    const FileSeen notes = ReadFile(fields[3].values[0]);
    EXPECT_EQ(L"notes.txt", notes.name);
    EXPECT_EQ(L"text/plain", notes.type);
    EXPECT_EQ(ReadFixture("notes.txt"), notes.bytes);
    EXPECT_EQ(0, notes.position);
    const FileSeen named = ReadFile(fields[3].values[1]);
    EXPECT_EQ(L"résumé 日本.txt", named.name);
    EXPECT_EQ(L"résumé 日本.txt", named.bare);
    EXPECT_EQ(ReadFixture("résumé 日本.txt"), named.bytes);
    EXPECT_EQ(L"<no text>", fields[3].joined) << "files have no text to join";

    ASSERT_EQ(1, fields[4].count);
    const FileSeen blob = ReadFile(fields[4].values[0]);
    EXPECT_EQ(L"bytes.bin", blob.name);
    EXPECT_EQ(L"application/octet-stream", blob.type);
    EXPECT_EQ(ReadFixture("bytes.bin"), blob.bytes);
}

// Python's encoder quotes its boundary; the quotes are not part of the marker.
TEST_F(UploadContract, APythonStandardLibraryFormArrivesUnderItsQuotedBoundary) {
    const std::string head = ReadFixture("python_form.head");
    ASSERT_NE(std::string::npos, ContentTypeOf(head).find("boundary=\""));
    std::vector<Field> fields;
    const UploadRun run = Post(ContentTypeOf(head), ReadFixture("python_form.body"), [&](IDispatch* vesk) {
        CComPtr<IRequestDictionary> request = RequestOf(vesk);
        ASSERT_TRUE(request);
        for (const wchar_t* name : {L"c", L"city", L"upload"}) fields.push_back(Read(request.Get(), name));
    });
    ASSERT_HR(S_OK, run.hr) << run.description;
    EXPECT_EQ(std::vector<std::wstring>{L"save"}, run.commands);
    ASSERT_EQ(3u, fields.size());
    EXPECT_EQ(L"Zürich, Genève", fields[1].joined);
    ASSERT_EQ(1, fields[2].count);
    const FileSeen file = ReadFile(fields[2].values[0]);
    EXPECT_EQ(L"no_line_ends.bin", file.name);
    EXPECT_EQ(L"application/octet-stream", file.type);
    EXPECT_EQ(ReadFixture("no_line_ends.bin"), file.bytes);
}

// ---- Bodies a test builds ------------------------------------------------------------------

TEST_F(UploadContract, TextFieldsRepeatedNamesAndUtf8) {
    BodyBuilder form;
    form.Text("a", "x").Text("b", "1").Text("a", "y").Text("名前", "値 ü").Text("empty", "").Text("c", "go");
    form.Part("content-disposition: form-data; name=\"lower\"\r\n", "kept under no name");
    form.Text("zero", std::string("before\0after", 12));
    std::vector<Field> fields;
    int count = -1;
    const UploadRun run = Post(form.ContentType(), form.Close(), [&](IDispatch* vesk) {
        CComPtr<IRequestDictionary> request = RequestOf(vesk);
        ASSERT_TRUE(request);
        count = CountOf(request.Get());
        for (const wchar_t* name : {L"a", L"b", L"名前", L"empty", L"A", L"lower", L"", L"zero", L"1"})
            fields.push_back(Read(request.Get(), name));
    });
    ASSERT_HR(S_OK, run.hr) << run.description;
    EXPECT_EQ(std::vector<std::wstring>{L"go"}, run.commands);
    EXPECT_EQ(7, count) << "a, b, 名前, empty, c, the nameless part and zero";
    struct Row { const char* what; VARTYPE vt; int count; const wchar_t* joined; };
    const Row rows[] = {
        {"a repeated name joins its values", VT_DISPATCH, 2, L"x, y"},
        {"a single value", VT_DISPATCH, 1, L"1"},
        {"a UTF-8 name and value", VT_DISPATCH, 1, L"値 ü"},
        {"an empty text field", VT_DISPATCH, 1, L""},
        {"names are case-sensitive", VT_EMPTY, 0, L""},
        {"a lower-case disposition names no field", VT_EMPTY, 0, L""},
        {"so its part is stored under the empty name", VT_DISPATCH, 1, L"kept under no name"},
        {"a zero byte ends the text", VT_DISPATCH, 1, L"before"},
        {"a number is a name, not a position", VT_EMPTY, 0, L""},
    };
    ASSERT_EQ(std::size(rows), fields.size());
    for (size_t i = 0; i < fields.size(); ++i) {
        EXPECT_EQ(rows[i].vt, fields[i].vt) << rows[i].what;
        EXPECT_EQ(rows[i].count, fields[i].count) << rows[i].what;
        EXPECT_EQ(rows[i].joined, fields[i].joined) << rows[i].what;
    }
    ASSERT_EQ(2u, fields[0].values.size());
    EXPECT_EQ(L"x", Text(fields[0].values[0]));
    EXPECT_EQ(L"y", Text(fields[0].values[1]));
}

TEST_F(UploadContract, FileItemsCarryTheirNamesTypesAndBytes) {
    std::string binary;
    for (int i = 0; i < 1000; ++i) binary += char(i * 7);
    binary += "\r\n--XyZ-boundar\r\n-";  // the marker's beginnings inside content
    BodyBuilder form;
    form.File("f", "C:\\tmp\\p.png", "image/png; x=y", binary)
        .File("f", "dir/sub/q.txt", "", "plain")
        .File("none", "", "text/plain", "an empty file name makes a text field")
        .File("empty", "empty.bin", "application/octet-stream", "");
    std::vector<Field> fields;
    const UploadRun run = Post(form.ContentType(), form.Close(), [&](IDispatch* vesk) {
        CComPtr<IRequestDictionary> request = RequestOf(vesk);
        ASSERT_TRUE(request);
        for (const wchar_t* name : {L"f", L"none", L"empty"}) fields.push_back(Read(request.Get(), name));
    });
    ASSERT_HR(S_OK, run.hr) << run.description;
    ASSERT_EQ(3u, fields.size());
    ASSERT_EQ(2, fields[0].count);
    const FileSeen png = ReadFile(fields[0].values[0]);
    EXPECT_EQ(L"C:\\tmp\\p.png", png.name);
    EXPECT_EQ(L"p.png", png.bare);
    EXPECT_EQ(L"image/png", png.type) << "the type without its parameters";
    EXPECT_EQ(binary, png.bytes);
    const FileSeen txt = ReadFile(fields[0].values[1]);
    EXPECT_EQ(L"dir/sub/q.txt", txt.name);
    EXPECT_EQ(L"q.txt", txt.bare);
    EXPECT_EQ(L"", txt.type) << "a part without a type";
    EXPECT_EQ("plain", txt.bytes);
    EXPECT_EQ(L"an empty file name makes a text field", fields[1].joined);
    ASSERT_EQ(1, fields[2].count);
    const FileSeen empty = ReadFile(fields[2].values[0]);
    EXPECT_EQ(L"empty.bin", empty.name);
    EXPECT_EQ("", empty.bytes);
}

// A file put into the Bag by a command comes back from the Bag at the end of the page with
// every byte of its stream.
TEST_F(UploadContract, AMegabyteFileRoundTripsThroughTheBag) {
    std::string content(1 << 20, '\0');
    std::mt19937 random(20240611);
    for (char& byte : content) byte = char(random());
    BodyBuilder form;
    form.Text("c", "save").File("f", "random.bin", "application/octet-stream", content);
    std::string back;
    const UploadRun run = Post(
        form.ContentType(), form.Close(),
        [&](IDispatch* vesk) {
            CComPtr<IRequestDictionary> request = RequestOf(vesk);
            ASSERT_TRUE(request);
            const Field field = Read(request.Get(), L"f");
            ASSERT_EQ(1, field.count);
            CallResult bag = LateBound(vesk).InvokeNamed(L"Bag", DISPATCH_PROPERTYGET, {});
            ASSERT_HR(S_OK, bag.hr);
            CComVariant file;
            file.Copy(&field.values[0]);
            EXPECT_HR(S_OK, LateBound(bag.value.pdispVal)
                                .InvokeNamed(L"Item", DISPATCH_PROPERTYPUTREF, ArgList(VarStr(L"upload"), std::move(file)), false)
                                .hr);
        },
        [&](IDispatch* vesk) {
            CallResult bag = LateBound(vesk).InvokeNamed(L"Bag", DISPATCH_PROPERTYGET, {});
            ASSERT_HR(S_OK, bag.hr);
            CallResult item = LateBound(bag.value.pdispVal).InvokeNamed(L"Item", DISPATCH_PROPERTYGET, ArgList(VarStr(L"upload")));
            ASSERT_HR(S_OK, item.hr);
            back = ReadFile(item.value).bytes;
            // The Bag lives on in the session; the page's file goes with it.
            LateBound(bag.value.pdispVal).Call(L"RemoveAll");
        });
    ASSERT_HR(S_OK, run.hr) << run.description;
    EXPECT_EQ(std::vector<std::wstring>{L"save"}, run.commands);
    ASSERT_EQ(content.size(), back.size());
    EXPECT_TRUE(content == back) << "the bytes differ";
}

// Upload values reach templates and binding as any request value does: a request mark
// finds the field in the upload form and writes its text (or one of its values), and
// PutIntoBag / PutIntoView bind text fields singly (as their text) or as arrays, and file
// fields as arrays of file items whose streams still read, or singly as their value list.
TEST_F(UploadContract, RequestMarksAndBindingReadUploadValues) {
    BodyBuilder form;
    form.Text("c", "go").Text("a", "x").Text("a", "y <b>").File("f", "p.bin", "application/octet-stream",
                                                                 std::string("\0\r\n--XyZ", 8));
    std::wstring single, view;
    std::string fileBytes;
    HRESULT singleFile = E_UNEXPECTED;
    const UploadRun run = Post(form.ContentType(), form.Close(), [&](IDispatch* vesk) {
        LateBound page(vesk);
        EXPECT_HR(S_OK, page.Call(L"ProcessTemplate", VarStr(L"[(#$a#)][(#\\a#)][(#\\a|1#)][(#\\c#)]")).hr);
        EXPECT_HR(S_OK, page.Call(L"PutIntoBag", VarStr(L"a"), VarBool(false)).hr);
        EXPECT_HR(S_OK, page.Call(L"PutIntoView", VarStr(L"a"), VarBool(true)).hr);
        EXPECT_HR(S_OK, page.Call(L"PutIntoBag", VarStr(L"f"), VarBool(true)).hr);
        CallResult bag = page.InvokeNamed(L"Bag", DISPATCH_PROPERTYGET, {});
        ASSERT_HR(S_OK, bag.hr);
        LateBound items(bag.value.pdispVal);
        single = Text(items.InvokeNamed(L"Item", DISPATCH_PROPERTYGET, ArgList(VarStr(L"a"))).value);
        CallResult array = page.InvokeNamed(L"View", DISPATCH_PROPERTYGET, ArgList(VarStr(L"a")));
        ASSERT_EQ(VT_ARRAY | VT_VARIANT, array.value.vt);
        for (LONG i = 0; i < LONG(array.value.parray->rgsabound[0].cElements); ++i) {
            CComVariant element;
            ASSERT_HR(S_OK, SafeArrayGetElement(array.value.parray, &i, &element));
            view += Text(element) + L";";
        }
        CallResult files = items.InvokeNamed(L"Item", DISPATCH_PROPERTYGET, ArgList(VarStr(L"f")));
        ASSERT_EQ(VT_ARRAY | VT_VARIANT, files.value.vt);
        ASSERT_EQ(1u, files.value.parray->rgsabound[0].cElements);
        LONG first = 0;
        CComVariant file;
        ASSERT_HR(S_OK, SafeArrayGetElement(files.value.parray, &first, &file));
        fileBytes = ReadFile(file).bytes;
        singleFile = page.Call(L"PutIntoBag", VarStr(L"f"), VarBool(false)).hr;
        CallResult list = items.InvokeNamed(L"Item", DISPATCH_PROPERTYGET, ArgList(VarStr(L"f")));
        ASSERT_EQ(VT_DISPATCH, list.value.vt) << "a file has no text: its value list is bound";
        CComPtr<IStringList> values;
        ASSERT_HR(S_OK, list.value.pdispVal->QueryInterface(IID_IStringList, values.ReceiveVoid()));
        CComVariant listed;
        ASSERT_HR(S_OK, values->get_Item(VarI4(1), &listed));
        EXPECT_EQ(L"p.bin", ReadFile(listed).name) << "the same file item (its stream was read above)";
        items.Call(L"RemoveAll");  // the Bag outlives the page; its files go with the page
    });
    ASSERT_HR(S_OK, run.hr) << run.description;
    EXPECT_EQ(std::vector<std::wstring>{L"go"}, run.commands) << "the command came from the upload form";
    EXPECT_EQ("[x, y &lt;b&gt;][x, y <b>][x][go]", run.response.body);
    EXPECT_EQ(L"x, y <b>", single);
    EXPECT_EQ(L"x;y <b>;", view);
    EXPECT_EQ(std::string("\0\r\n--XyZ", 8), fileBytes);
    EXPECT_HR(S_OK, singleFile) << Utf8(run.description);
}

// ---- What is not an upload, and uploads that fail ---------------------------------------

TEST_F(UploadContract, OtherPostsKeepTheHostCollections) {
    struct Row { const char* what; std::string url, type, body; const wchar_t* command; const wchar_t* field; const wchar_t* value; };
    const BodyBuilder form;
    const std::string multipart = BodyBuilder().Text("c", "save").Text("a", "from the body").Close();
    const Row rows[] = {
        {"a form-encoded post", "/p", "application/x-www-form-urlencoded", "c=save&a=1", L"save", L"a", L"1"},
        {"multipart without its semicolon", "/p?c=go&a=q", "multipart/form-data", multipart, L"go", L"a", L"q"},
        {"multipart in another case", "/p?c=go&a=q", "Multipart/form-data; boundary=XyZ-boundary-42", multipart, L"go",
         L"a", L"q"},
        {"multipart without a boundary", "/p?c=go&a=q", "multipart/form-data; charset=utf-8", multipart, L"go", L"a", L"q"},
        {"an empty boundary", "/p?c=go&a=q", "multipart/form-data; boundary=", multipart, L"go", L"a", L"q"},
    };
    for (const Row& row : rows) {
        std::wstring value;
        const UploadRun run = Run(PageRequest::Post(row.url, row.type, row.body), [&](IDispatch* vesk) {
            CComPtr<IRequestDictionary> request = RequestOf(vesk);
            ASSERT_TRUE(request);
            CComVariant item;
            EXPECT_HR(S_OK, request->get_Item(VarStr(row.field), &item));
            value = Text(item);
        });
        EXPECT_HR(S_OK, run.hr) << row.what << ": " << run.description;
        EXPECT_EQ(std::vector<std::wstring>{row.command}, run.commands) << row.what;
        EXPECT_EQ(row.value, value) << row.what;
    }
}

TEST_F(UploadContract, AMalformedBodyFailsThePageWithoutAMessage) {
    BodyBuilder form;
    form.Text("c", "save").Text("a", "complete");
    struct Row { const char* what; std::string body; };
    const Row rows[] = {
        {"a body cut in a part's content", form.Open() + "--XyZ-boundary-42\r\nContent-Disposition: form-data; name=\"b\"\r\n\r\ncut"},
        {"a body cut in a header", form.Open() + "--XyZ-boundary-42\r\nContent-Disposition: form-da"},
        {"a body without its closing boundary", form.Open()},
        {"a boundary followed by other text", form.Open() + "--XyZ-boundary-42xx\r\n"},
        {"a body without any boundary", "no parts here"},
    };
    for (const Row& row : rows) {
        const UploadRun run = Post(form.ContentType(), row.body);
        EXPECT_HR(E_FAIL, run.hr) << row.what;
        EXPECT_EQ(L"", run.description) << row.what;
        EXPECT_FALSE(run.started) << row.what << ": the page process stops before its first event";
        EXPECT_TRUE(run.commands.empty()) << row.what;
    }
}

TEST_F(UploadContract, ABodyOverTheHostsLimitFailsWithItsSize) {
    const std::string body = BodyBuilder().Text("c", "save").Text("a", std::string(200, 'x')).Close();
    site->config.uploadLimit = body.size() - 1;
    UploadRun run = Post(BodyBuilder().ContentType(), body);
    EXPECT_HR(E_FAIL, run.hr);
    EXPECT_EQ(L"Vesk", run.source);
    EXPECT_EQ(L"Upload size exceeds maximum limit.[" + std::to_wstring(body.size()) + L"B]", run.description);
    EXPECT_FALSE(run.started);

    site->config.uploadLimit = body.size();
    run = Post(BodyBuilder().ContentType(), body);
    EXPECT_HR(S_OK, run.hr) << "a body of exactly the limit is read: " << run.description;
    EXPECT_EQ(std::vector<std::wstring>{L"save"}, run.commands);
}

TEST_F(UploadContract, AGetReadsTheQueryStringEvenWithAMultipartType) {
    const std::string body = BodyBuilder().Text("c", "save").Close();
    PageRequest request = PageRequest::Get("/p?c=go");
    request.Header("Content-Type", BodyBuilder().ContentType());
    request.body = body;
    const UploadRun run = Run(request);
    EXPECT_HR(S_OK, run.hr) << run.description;
    EXPECT_EQ(std::vector<std::wstring>{L"go"}, run.commands);
}

}  // namespace
}  // namespace vesk_test
