// Parsing and direct expansion of arbitrary texts. For every text: no crash and no leak;
// a text that parses expands directly to exactly the characters its parsed form writes,
// and a text that does not parse fails direct expansion too.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "host/host.h"
#include "template/templator_concept.h"

namespace {

constexpr const wchar_t* kTypeSets[] = {L"%;:*/=~+-$\\&|!?`@", L"%;:*/=~+-$\\&|", L" \t\r\n"};

// Collects every character written.
class CCollectingStream final : public IStream {
public:
    std::wstring text;
    HRESULT QueryInterface(REFIID riid, void** ppv) override {
        if (!guid_equal(riid, IID_IUnknown) && !guid_equal(riid, IID_IStream)) return E_NOINTERFACE;
        *ppv = static_cast<IStream*>(this);
        return S_OK;
    }
    ULONG AddRef() override { return 2; }
    ULONG Release() override { return 1; }
    HRESULT Read(void*, ULONG, ULONG*) override { return E_NOTIMPL; }
    HRESULT Write(const void* pv, ULONG cb, ULONG*) override {
        text.append(static_cast<const wchar_t*>(pv), cb / sizeof(wchar_t));
        return S_OK;
    }
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

// Writes every part of a mark, delimited, so that both expansions must agree on all of it.
class CFuzzEngine : public CTemplatorConcept {
public:
    explicit CFuzzEngine(const wchar_t* types) : CTemplatorConcept(types) {}
    ~CFuzzEngine() = default;
    HRESULT OnMarked(CMarkData& mark) override {
        std::wstring shown = L"\x1F[";
        shown += mark.m_cType;
        shown += L"\x1F" + mark.m_ssName.str();
        for (auto* param : mark.m_vParams) shown += L"\x1F" + param->str();
        shown += L"]";
        CComBSTR text(shown.data(), UINT(shown.size()));
        return WriteOutput(text);
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const wchar_t* types = kTypeSets[data[0] % 3];
    // One character per byte: the delimiters, the escape and NUL all come up often.
    std::wstring wide(data + 1, data + size);
    CComBSTR text(wide.data(), UINT(wide.size()));

    CFuzzEngine engine(types);
    CCollectingStream parsedOut, directOut;
    CTemplate* tmpl = new CTemplate;
    const HRESULT parsed = engine.Parse(text, *tmpl);
    engine.putref_Output(&directOut);
    const HRESULT direct = engine.Process(text.m_str);
    if (SUCCEEDED(parsed)) {
        engine.putref_Output(&parsedOut);
        if (FAILED(engine.Process(*tmpl)) || FAILED(direct) || parsedOut.text != directOut.text) std::abort();
    } else if (SUCCEEDED(direct)) {
        std::abort();
    }
    tmpl->Release();
    engine.putref_Output(nullptr);
    return 0;
}
