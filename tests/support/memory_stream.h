// CMemoryStream: an IStream that keeps in memory every character written to it and where each
// write ended, so a caller can read the whole text or count and compare the single writes.
// Free of any test framework: benchmarks and fuzzers use it as well as tests.
//
//   CComPtr<CMemoryStream> out = CMemoryStream::Create();
//   engine.putref_Output(out.Get());
//   ... out->text == L"a(#b", out->Writes() == {L"a", L"(#", L"b"}
#pragma once

#include <string>
#include <vector>

#include "host/automation.h"

namespace vesk_test {

class CMemoryStream final
    : public automation::GObject<CMemoryStream, IStream, automation::Alias<IStream, IID_ISequentialStream>> {
public:
    // The object deletes itself when the count reaches zero; Create hands out the first reference.
    static CComPtr<CMemoryStream> Create() {
        CComPtr<CMemoryStream> sp;
        sp.Attach(new CMemoryStream);
        return sp;
    }

    std::wstring text;          // every character written, in order
    std::vector<size_t> ends;   // the length of text after each write
    HRESULT failWith = S_OK;    // a failure here makes every write fail with it, keeping nothing

    std::vector<std::wstring> Writes() const {
        std::vector<std::wstring> writes;
        size_t start = 0;
        for (size_t end : ends) {
            writes.push_back(text.substr(start, end - start));
            start = end;
        }
        return writes;
    }
    void Clear() {
        text.clear();
        ends.clear();
    }
    HRESULT Write(const void* pv, ULONG cb, ULONG* pcbWritten) override {
        if (pcbWritten) *pcbWritten = 0;
        if (FAILED(failWith)) return failWith;
        // The stream holds whole characters; a writer that counts bytes wrongly shows up here.
        if (cb % sizeof(wchar_t) != 0) return E_INVALIDARG;
        text.append(static_cast<const wchar_t*>(pv), cb / sizeof(wchar_t));
        ends.push_back(text.size());
        if (pcbWritten) *pcbWritten = cb;
        return S_OK;
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

private:
    friend GObject;
    CMemoryStream() = default;
    ~CMemoryStream() = default;
};

}  // namespace vesk_test
