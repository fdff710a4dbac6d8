// Parsing and direct expansion of arbitrary texts. For every text: no crash and no leak;
// a text that parses expands directly to exactly the characters its parsed form writes,
// and a text that does not parse fails direct expansion too.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "host/host.h"
#include "support/memory_stream.h"
#include "template/templator_concept.h"

namespace {

constexpr const wchar_t* kTypeSets[] = {L"%;:*/=~+-$\\&|!?`@", L"%;:*/=~+-$\\&|", L" \t\r\n"};

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
    auto parsedOut = vesk_test::CMemoryStream::Create();
    auto directOut = vesk_test::CMemoryStream::Create();
    CTemplate* tmpl = new CTemplate;
    const HRESULT parsed = engine.Parse(text, *tmpl);
    engine.putref_Output(directOut.Get());
    const HRESULT direct = engine.Process(text.m_str);
    if (SUCCEEDED(parsed)) {
        engine.putref_Output(parsedOut.Get());
        if (FAILED(engine.Process(*tmpl)) || FAILED(direct) || parsedOut->text != directOut->text) std::abort();
    } else if (SUCCEEDED(direct)) {
        std::abort();
    }
    tmpl->Release();
    engine.putref_Output(nullptr);
    return 0;
}
