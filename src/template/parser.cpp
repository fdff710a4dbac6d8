// The mark grammar: construction of the six grammar strings, reading one mark, and parsing
// a whole text into a CTemplate.
#include <cwchar>
#include <memory>
#include <string>

#include "frame/error.h"
#include "template/templator_concept.h"

namespace {

constexpr wchar_t kSource[] = L"Templator";
constexpr wchar_t kInvalidMarkOrder[] = L"Invalid mark order.";

std::wstring_view ViewOf(const CComBSTR& s) { return std::wstring_view(s.c_str(), s.Length()); }

}  // namespace

HRESULT RaiseInvalidMarkOrder() { return RaiseError(E_FAIL, kSource, kInvalidMarkOrder); }

CTemplatorConcept::CTemplatorConcept(const wchar_t* pszTypes)
    : m_bstrEscape(L"^"),
      m_bstrOpen(L"(#"),
      m_bstrClose(L"#)"),
      m_bstrTypes(pszTypes),
      m_bstrParamOpen(L"|"),
      m_bstrParamSep(L"#|#") {}

CMarkScanner CTemplatorConcept::Scanner() const {
    return CMarkScanner(ViewOf(m_bstrEscape), ViewOf(m_bstrOpen), ViewOf(m_bstrClose), ViewOf(m_bstrParamOpen),
                        ViewOf(m_bstrParamSep), ViewOf(m_bstrTypes));
}

HRESULT CTemplatorConcept::GetMarkData(wchar_t* bstrText, unsigned int& pos, CMarkData& mark) {
    return GetMarkData(Scanner(), bstrText, SysStringLen(bstrText), pos, mark);
}

HRESULT CTemplatorConcept::GetMarkData(const CMarkScanner& scanner, const wchar_t* text, unsigned int end,
                                       unsigned int& pos, CMarkData& mark) {
    using Kind = CMarkScanner::Kind;
    if (pos < end && scanner.IsType(text[pos])) {
        mark.m_cType = text[pos];
        ++pos;
    }

    CMarkText* out = &mark.m_ssName;
    bool bHasParam = false;
    unsigned int depth = 0;
    while (pos < end) {
        const CMarkScanner::CToken token = scanner.Next(text, pos, end, CMarkScanner::kInMark);
        if (token.kind == Kind::Close && depth == 0) break;
        // A nested mark is carried verbatim, its bars and separators included. Only the first
        // bar starts a parameter; every separator does.
        if (token.kind == Kind::Open) ++depth;
        if (token.kind == Kind::Close) --depth;
        const bool bStartsParam =
            depth == 0 && ((token.kind == Kind::ParamOpen && !bHasParam) || token.kind == Kind::ParamSep);
        if (bStartsParam) {
            out = mark.AddParam();
            bHasParam = true;
        } else {
            const std::wstring_view literal = scanner.Literal(text, pos, token);
            out->write(literal.data(), static_cast<std::streamsize>(literal.size()));
        }
        pos = token.end;
    }
    return pos < end ? S_OK : RaiseInvalidMarkOrder();
}

HRESULT CTemplatorConcept::Parse(wchar_t* bstrText, CTemplate& tmpl) {
    using Kind = CMarkScanner::Kind;
    const CMarkScanner scanner = Scanner();
    const unsigned int end = SysStringLen(bstrText);
    const wchar_t* text = bstrText;

    // A run keeps every character, embedded NULs included, so that a parsed template
    // writes exactly what direct expansion of the same text writes. Most runs are one stretch
    // of the text and are copied from it; a run that an escape breaks is gathered in literal.
    std::wstring literal;
    unsigned int runStart = 0, runEnd = 0;
    bool gathered = false;
    auto appendRun = [&]() -> HRESULT {
        CComBSTR run = gathered ? CComBSTR(literal.data(), static_cast<UINT>(literal.size()))
                                : CComBSTR(text + runStart, runEnd - runStart);
        if (run.m_str == nullptr) return E_OUTOFMEMORY;
        tmpl.m_vTexts.push_back(run.m_str);
        run.Detach();
        literal.clear();
        gathered = false;
        return S_OK;
    };

    unsigned int pos = 0;
    while (pos < end) {
        const CMarkScanner::CToken token = scanner.Next(text, pos, end, CMarkScanner::kOutside);
        if (token.kind == Kind::Open) {
            HRESULT hr = appendRun();
            if (FAILED(hr)) return hr;
            pos = token.end;
            CMarkData& mark = tmpl.NewMark();
            hr = GetMarkData(scanner, text, end, pos, mark);
            if (FAILED(hr)) return hr;
            tmpl.m_vMarks.push_back(&mark);
            pos += static_cast<unsigned int>(scanner.PieceText(CMarkScanner::kClose).size());
            runStart = runEnd = pos;
            continue;
        }
        if (token.kind == Kind::Close) return RaiseInvalidMarkOrder();
        if (token.kind == Kind::Text && !gathered) {
            runEnd = token.end;  // the run goes on in the text
        } else {
            if (!gathered) literal.assign(text + runStart, runEnd - runStart);
            gathered = true;
            literal.append(scanner.Literal(text, pos, token));
        }
        pos = token.end;
    }
    return appendRun();
}
