#include "recording_sinks.h"

namespace vesk_test {

CComPtr<RecordingStream> RecordingStream::Create() {
    CComPtr<RecordingStream> sp;
    sp.Attach(new RecordingStream());
    return sp;
}

std::wstring RecordingStream::Text() const {
    std::wstring all;
    for (const auto& w : writes) all += w;
    return all;
}

HRESULT RecordingStream::QueryInterface(REFIID riid, void** ppv) {
    if (ppv == nullptr) return E_POINTER;
    *ppv = nullptr;
    if (guid_equal(riid, IID_IUnknown) || guid_equal(riid, IID_IStream) || guid_equal(riid, IID_ISequentialStream)) {
        *ppv = static_cast<IStream*>(this);
        AddRef();
        return S_OK;
    }
    return E_NOINTERFACE;
}

ULONG RecordingStream::Release() {
    const ULONG count = --m_cRef;
    if (count == 0) delete this;
    return count;
}

HRESULT RecordingStream::Write(const void* pv, ULONG cb, ULONG* pcbWritten) {
    if (FAILED(failWith)) return failWith;
    EXPECT_EQ(0u, cb % sizeof(wchar_t)) << "a sink wrote a partial character";
    writes.emplace_back(static_cast<const wchar_t*>(pv), cb / sizeof(wchar_t));
    if (pcbWritten) *pcbWritten = cb;
    return S_OK;
}

CComPtr<RecordingResponse> RecordingResponse::Create(bool alsoStream) {
    CComPtr<RecordingResponse> sp;
    sp.Attach(new RecordingResponse());
    if (alsoStream) sp->stream = RecordingStream::Create();
    return sp;
}

HRESULT RecordingResponse::QueryInterface(REFIID riid, void** ppv) {
    if (ppv == nullptr) return E_POINTER;
    *ppv = nullptr;
    if (guid_equal(riid, IID_IUnknown) || guid_equal(riid, IID_IDispatch) || guid_equal(riid, IID_IResponse)) {
        *ppv = static_cast<PravoltTypeLibrary::IResponse*>(this);
        AddRef();
        return S_OK;
    }
    if (stream && guid_equal(riid, IID_IStream)) return stream->QueryInterface(riid, ppv);
    return E_NOINTERFACE;
}

ULONG RecordingResponse::Release() {
    const ULONG count = --m_cRef;
    if (count == 0) delete this;
    return count;
}

HRESULT RecordingResponse::Write(VARIANT varText) {
    types.push_back(varText.vt);
    writes.emplace_back(varText.vt == VT_BSTR ? View(varText.bstrVal) : std::wstring_view());
    return S_OK;
}

CComPtr<RecordingTextStream> RecordingTextStream::Create() {
    CComPtr<RecordingTextStream> sp;
    sp.Attach(new RecordingTextStream());
    return sp;
}

HRESULT RecordingTextStream::QueryInterface(REFIID riid, void** ppv) {
    if (ppv == nullptr) return E_POINTER;
    *ppv = nullptr;
    if (guid_equal(riid, IID_IUnknown) || guid_equal(riid, IID_ITextStream)) {
        *ppv = static_cast<Scripting::ITextStream*>(this);
        AddRef();
        return S_OK;
    }
    return E_NOINTERFACE;
}

ULONG RecordingTextStream::Release() {
    const ULONG count = --m_cRef;
    if (count == 0) delete this;
    return count;
}

HRESULT RecordingTextStream::Write(BSTR text) {
    writes.emplace_back(View(text));
    return S_OK;
}

}  // namespace vesk_test
