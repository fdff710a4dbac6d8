// Output objects that record each write as one string: an IStream, a Response (optionally
// also answering IStream, to show which interface wins) and the host's short text stream.
// They know nothing of the library, so contract tests use them too.
#pragma once

#include <initializer_list>
#include <string>
#include <vector>

#include "support/test_support.h"

namespace vesk_test {

// Counting and QueryInterface shared by the recorders; they delete themselves at zero.
template <class I>
class GRecorder : public I {
public:
    std::vector<std::wstring> writes;
    HRESULT failWith = S_OK;  // when set, every write fails with it and records nothing

    std::wstring Text() const {
        std::wstring all;
        for (const auto& w : writes) all += w;
        return all;
    }
    ULONG RefCount() const { return m_cRef; }
    ULONG AddRef() override { return ++m_cRef; }
    ULONG Release() override {
        const ULONG n = --m_cRef;
        if (n == 0) delete this;
        return n;
    }

protected:
    virtual ~GRecorder() = default;
    HRESULT Answer(REFIID riid, void** ppv, std::initializer_list<const IID*> ids) {
        *ppv = nullptr;
        for (const IID* id : ids) {
            if (guid_equal(riid, *id)) {
                *ppv = static_cast<I*>(this);
                AddRef();
                return S_OK;
            }
        }
        return E_NOINTERFACE;
    }
    HRESULT Record(std::wstring_view text) {
        if (FAILED(failWith)) return failWith;
        writes.emplace_back(text);
        return S_OK;
    }

private:
    ULONG m_cRef = 1;
};

template <class T>
CComPtr<T> MakeRecorder() {
    CComPtr<T> sp;
    sp.Attach(new T());
    return sp;
}

class RecordingStream final : public GRecorder<IStream> {
public:
    HRESULT QueryInterface(REFIID riid, void** ppv) override {
        return Answer(riid, ppv, {&IID_IUnknown, &IID_IStream, &IID_ISequentialStream});
    }
    HRESULT Write(const void* pv, ULONG cb, ULONG* pcbWritten) override {
        EXPECT_EQ(0u, cb % sizeof(wchar_t)) << "a sink wrote a partial character";
        if (pcbWritten) *pcbWritten = cb;
        return Record(std::wstring_view(static_cast<const wchar_t*>(pv), cb / sizeof(wchar_t)));
    }
    HRESULT Read(void*, ULONG, ULONG*) override { return E_NOTIMPL; }
    HRESULT Seek(LARGE_INTEGER, DWORD, ULARGE_INTEGER*) override { return E_NOTIMPL; }
    HRESULT SetSize(ULARGE_INTEGER) override { return E_NOTIMPL; }
    HRESULT CopyTo(IStream*, ULARGE_INTEGER, ULARGE_INTEGER*, ULARGE_INTEGER*) override { return E_NOTIMPL; }
    HRESULT Commit(DWORD) override { return E_NOTIMPL; }
    HRESULT Revert() override { return E_NOTIMPL; }
    HRESULT LockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override { return E_NOTIMPL; }
    HRESULT UnlockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override { return E_NOTIMPL; }
    HRESULT Stat(STATSTG*, DWORD) override { return E_NOTIMPL; }
    HRESULT Clone(IStream**) override { return E_NOTIMPL; }
};

class RecordingTextStream final : public GRecorder<Scripting::ITextStream> {
public:
    HRESULT QueryInterface(REFIID riid, void** ppv) override {
        return Answer(riid, ppv, {&IID_IUnknown, &IID_ITextStream});
    }
    HRESULT Write(BSTR text) override { return Record(View(text)); }
};

// Only Write is used by the engine; every other member of the Response is a stub.
class RecordingResponse final : public GRecorder<PravoltTypeLibrary::IResponse> {
public:
    std::vector<VARTYPE> types;         // the VARIANT type each Write received
    CComPtr<RecordingStream> stream;  // answers IStream when set

    HRESULT QueryInterface(REFIID riid, void** ppv) override {
        if (stream && guid_equal(riid, IID_IStream)) return stream->QueryInterface(riid, ppv);
        return Answer(riid, ppv, {&IID_IUnknown, &IID_IDispatch, &IID_IResponse});
    }
    HRESULT Write(VARIANT varText) override {
        types.push_back(varText.vt);
        return Record(varText.vt == VT_BSTR ? View(varText.bstrVal) : std::wstring_view());
    }
    HRESULT GetTypeInfoCount(UINT*) override { return E_NOTIMPL; }
    HRESULT GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    HRESULT GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
    HRESULT Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override { return E_NOTIMPL; }
    HRESULT get_Buffer(VARIANT_BOOL*) override { return E_NOTIMPL; }
    HRESULT put_Buffer(VARIANT_BOOL) override { return E_NOTIMPL; }
    HRESULT get_ContentType(BSTR*) override { return E_NOTIMPL; }
    HRESULT put_ContentType(BSTR) override { return E_NOTIMPL; }
    HRESULT get_Expires(VARIANT*) override { return E_NOTIMPL; }
    HRESULT put_Expires(LONG) override { return E_NOTIMPL; }
    HRESULT get_ExpiresAbsolute(VARIANT*) override { return E_NOTIMPL; }
    HRESULT put_ExpiresAbsolute(DATE) override { return E_NOTIMPL; }
    HRESULT get_Cookies(PravoltTypeLibrary::IRequestDictionary**) override { return E_NOTIMPL; }
    HRESULT get_Status(BSTR*) override { return E_NOTIMPL; }
    HRESULT put_Status(BSTR) override { return E_NOTIMPL; }
    HRESULT Add(BSTR, BSTR) override { return E_NOTIMPL; }
    HRESULT AddHeader(BSTR, BSTR) override { return E_NOTIMPL; }
    HRESULT AppendToLog(BSTR) override { return E_NOTIMPL; }
    HRESULT BinaryWrite(VARIANT) override { return E_NOTIMPL; }
    HRESULT Clear() override { return E_NOTIMPL; }
    HRESULT End() override { return E_NOTIMPL; }
    HRESULT Flush() override { return E_NOTIMPL; }
    HRESULT Redirect(BSTR) override { return E_NOTIMPL; }
    HRESULT WriteBlock(short) override { return E_NOTIMPL; }
    HRESULT IsClientConnected(VARIANT_BOOL*) override { return E_NOTIMPL; }
    HRESULT get_CharSet(BSTR*) override { return E_NOTIMPL; }
    HRESULT put_CharSet(BSTR) override { return E_NOTIMPL; }
    HRESULT Pics(BSTR) override { return E_NOTIMPL; }
    HRESULT get_CacheControl(BSTR*) override { return E_NOTIMPL; }
    HRESULT put_CacheControl(BSTR) override { return E_NOTIMPL; }
    HRESULT get_CodePage(LONG*) override { return E_NOTIMPL; }
    HRESULT put_CodePage(LONG) override { return E_NOTIMPL; }
    HRESULT get_LCID(LONG*) override { return E_NOTIMPL; }
    HRESULT put_LCID(LONG) override { return E_NOTIMPL; }
};

}  // namespace vesk_test
