// Parsing and direct expansion of arbitrary texts. For every text: no crash and no leak;
// a text that parses expands directly to exactly the characters its parsed form writes,
// and a text that does not parse fails direct expansion too. Characters range over every
// 32-bit value a wide character can hold: surrogates, values above U+10FFFF and all ones
// among them, not only what one byte spells.
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

// One character per byte below 0xF0, so the delimiters, the escape and NUL all come up
// often. 0xF0 to 0xF7 take the next two bytes as the character (any UTF-16 unit, lone
// surrogates included); 0xF8 to 0xFF take the next four, for any 32-bit value.
std::wstring Widen(const uint8_t* data, size_t size) {
    std::wstring wide;
    for (size_t i = 0; i < size;) {
        const uint8_t lead = data[i++];
        if (lead < 0xF0) {
            wide.push_back(wchar_t(lead));
            continue;
        }
        const size_t width = lead < 0xF8 ? 2 : 4;
        uint32_t value = 0;
        for (size_t k = 0; k < width && i < size; ++k) value |= uint32_t(data[i++]) << (8 * k);
        wide.push_back(static_cast<wchar_t>(value));
    }
    return wide;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const wchar_t* types = kTypeSets[data[0] % 3];
    const std::wstring wide = Widen(data + 1, size - 1);
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
