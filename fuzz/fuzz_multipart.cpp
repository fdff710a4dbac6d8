// Arbitrary bodies through the multipart parser and through the whole upload of a page. The
// input's first byte chooses a boundary of 1 to 8 of the bytes after it; the rest is the
// body. The parser's every position must stay inside the body and every content range must
// lie between its headers and its boundary line; the upload runs in a page the host makes
// for a multipart post of that body, and every field it finds is read back whole (values by
// index, joined, files with their names and stream). No crash, no leak, no read outside the
// body (the body lives in a buffer of exactly its size).
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "hostkit/pages/page_host.h"
#include "upload/multipart_init.h"
#include "upload/multipart_parser.h"

namespace {

using PravoltTypeLibrary::IRequestDictionary;
using PravoltTypeLibrary::IStringList;

[[noreturn]] void Fail() { __builtin_trap(); }

void WalkParser(const std::vector<uint8_t>& body, const std::string& marker) {
    CMultipartParser parser(body.data(), body.size(), marker.c_str());
    uint64_t start = 0;
    bool final = false;
    if (FAILED(parser.MoveNextBoundary(start, final))) return;
    for (int parts = 0; !final; ++parts) {
        if (start + marker.size() + 2 > body.size() || parser.Position() > body.size()) Fail();
        CMultipartHeader header;
        HRESULT hr;
        while ((hr = parser.GetHeader(header)) == S_OK) {
            if (parser.Position() > body.size()) Fail();
        }
        if (hr != S_FALSE) return;
        const uint64_t content = parser.Position();
        if (content > body.size()) Fail();
        if (FAILED(parser.MoveNextBoundary(start, final))) return;
        // The next boundary lies at or after the content's start, wholly inside the body.
        if (start < content || start + marker.size() > body.size()) Fail();
    }
}

void ReadValue(const VARIANT& value) {
    if (value.vt == VT_BSTR) return;
    if (value.vt != VT_DISPATCH || value.pdispVal == nullptr) Fail();
    CComPtr<IDispatch> spStream;
    DISPID ids[] = {1, 2, 3};
    for (DISPID id : ids) {
        DISPPARAMS none{nullptr, nullptr, 0, 0};
        CComVariant text;
        if (FAILED(value.pdispVal->Invoke(id, IID_NULL, 0, DISPATCH_PROPERTYGET, &none, &text, nullptr, nullptr))) Fail();
        if (text.vt != VT_BSTR) Fail();
    }
    DISPPARAMS none{nullptr, nullptr, 0, 0};
    CComVariant stream;
    if (FAILED(value.pdispVal->Invoke(4, IID_NULL, 0, DISPATCH_PROPERTYGET, &none, &stream, nullptr, nullptr))) Fail();
    CComPtr<IZULibStream> bytes;
    if (stream.vt != VT_DISPATCH || FAILED(stream.pdispVal->QueryInterface(IID_IZULibStream, bytes.ReceiveVoid())))
        Fail();
    CComVariant all;
    if (FAILED(bytes->Read(ADODB::adReadAll, &all))) Fail();
}

void ReadForm(IRequestDictionary* form) {
    int count = 0;
    if (FAILED(form->get_Count(&count)) || count < 0) Fail();
    for (const wchar_t* name : {L"", L"a", L"c", L"f", L"name"}) {
        CComVariant key;
        key.SetString(name);
        CComVariant item;
        if (FAILED(form->get_Item(key, &item))) Fail();
        if (item.vt == VT_EMPTY) continue;
        CComPtr<IStringList> list;
        if (item.vt != VT_DISPATCH || FAILED(item.pdispVal->QueryInterface(IID_IStringList, list.ReceiveVoid())))
            Fail();
        int values = 0;
        if (FAILED(list->get_Count(&values)) || values < 1) Fail();
        for (int i = 0; i <= values + 1; ++i) {
            CComVariant index;
            index.SetI4(i);
            CComVariant value;
            const HRESULT hr = list->get_Item(index, &value);
            if ((i >= 1 && i <= values) != SUCCEEDED(hr)) Fail();
            if (SUCCEEDED(hr)) ReadValue(value);
        }
        CComVariant missing;
        missing.SetError(DISP_E_PARAMNOTFOUND);
        CComVariant joined;
        list->get_Item(missing, &joined);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const size_t length = 1 + (data[0] & 7);
    if (size < 1 + length) return 0;
    std::string boundary;
    for (size_t i = 1; i <= length; ++i) boundary += char(data[i] ? (data[i] & 0x7F ? data[i] & 0x7F : 'x') : 'b');
    const std::vector<uint8_t> body(data + 1 + length, data + size);

    WalkParser(body, "--" + boundary);

    static veskhost::PageHostConfig config;
    static veskhost::PageApplication application;
    std::wstring type = L"multipart/form-data; boundary=";
    for (char c : boundary) type += wchar_t(static_cast<unsigned char>(c));
    std::string typeUtf8;
    for (wchar_t c : type) typeUtf8 += char(c);
    const veskhost::PageRequest request =
        veskhost::PageRequest::Post("/upload", typeUtf8, std::string(body.begin(), body.end()));
    veskhost::RunPage(config, application, request, [](const veskhost::PageObjects& objects) {
        CComPtr<IRequestDictionary> form;
        // Whatever it returns, the form holds the parts read before any fault.
        InitMultipartForm(objects.request, objects.response, form);
        if (form) ReadForm(form.Get());
        return S_OK;
    });
    return 0;
}
