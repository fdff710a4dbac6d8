// Output objects for tests that record what is written to them: an IStream, a Response and
// the host's short text stream. They know nothing of the library, so contract tests use
// them too.
#pragma once

#include <string>
#include <vector>

#include "support/test_support.h"

namespace vesk_test {

// An IStream that records every Write as one string of the characters written.
class RecordingStream final : public IStream {
public:
    static CComPtr<RecordingStream> Create();

    std::vector<std::wstring> writes;
    HRESULT failWith = S_OK;  // when set, every Write fails with it and records nothing
    std::wstring Text() const;
    ULONG RefCount() const { return m_cRef; }

    HRESULT QueryInterface(REFIID riid, void** ppv) override;
    ULONG AddRef() override { return ++m_cRef; }
    ULONG Release() override;
    HRESULT Read(void*, ULONG, ULONG*) override { return E_NOTIMPL; }
    HRESULT Write(const void* pv, ULONG cb, ULONG* pcbWritten) override;
    HRESULT Seek(LARGE_INTEGER, DWORD, ULARGE_INTEGER*) override { return E_NOTIMPL; }
    HRESULT SetSize(ULARGE_INTEGER) override { return E_NOTIMPL; }
    HRESULT CopyTo(IStream*, ULARGE_INTEGER, ULARGE_INTEGER*, ULARGE_INTEGER*) override { return E_NOTIMPL; }
    HRESULT Commit(DWORD) override { return E_NOTIMPL; }
    HRESULT Revert() override { return E_NOTIMPL; }
    HRESULT LockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override { return E_NOTIMPL; }
    HRESULT UnlockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override { return E_NOTIMPL; }
    HRESULT Stat(STATSTG*, DWORD) override { return E_NOTIMPL; }
    HRESULT Clone(IStream**) override { return E_NOTIMPL; }

private:
    RecordingStream() = default;
    ULONG m_cRef = 1;
};

// A Response that records each Write's text; optionally also a stream (IStream), to show
// that the Response interface wins. Every other member is unused by the engine.
class RecordingResponse final : public PravoltTypeLibrary::IResponse {
public:
    static CComPtr<RecordingResponse> Create(bool alsoStream = false);

    std::vector<std::wstring> writes;
    std::vector<VARTYPE> types;  // the VARIANT type each Write received
    CComPtr<RecordingStream> stream;  // answers IStream when set

    HRESULT QueryInterface(REFIID riid, void** ppv) override;
    ULONG AddRef() override { return ++m_cRef; }
    ULONG Release() override;
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
    HRESULT Write(VARIANT varText) override;
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

private:
    RecordingResponse() = default;
    ULONG m_cRef = 1;
};

// The host's short text stream: only Write.
class RecordingTextStream final : public Scripting::ITextStream {
public:
    static CComPtr<RecordingTextStream> Create();

    std::vector<std::wstring> writes;

    HRESULT QueryInterface(REFIID riid, void** ppv) override;
    ULONG AddRef() override { return ++m_cRef; }
    ULONG Release() override;
    HRESULT Write(BSTR text) override;

private:
    RecordingTextStream() = default;
    ULONG m_cRef = 1;
};

}  // namespace vesk_test
