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

CTemplatorConcept::CSyntax CTemplatorConcept::Syntax() const {
    CSyntax g{ViewOf(m_bstrEscape), ViewOf(m_bstrOpen),     ViewOf(m_bstrClose),
              ViewOf(m_bstrParamOpen), ViewOf(m_bstrParamSep), ViewOf(m_bstrTypes), {}, 0};
    for (std::wstring_view s : {g.escape, g.open, g.close, g.paramOpen, g.paramSep}) {
        if (!s.empty() && !g.MayStartDelimiter(s.front())) g.starts[g.nStarts++] = s.front();
    }
    return g;
}

bool CTemplatorConcept::IsAt(const wchar_t* text, unsigned int pos, unsigned int end, std::wstring_view s) {
    return !s.empty() && end - pos >= s.size() && text[pos] == s.front() &&
           wmemcmp(text + pos + 1, s.data() + 1, s.size() - 1) == 0;
}

HRESULT CTemplatorConcept::GetMarkData(wchar_t* bstrText, unsigned int& pos, CMarkData& mark) {
    const CSyntax g = Syntax();
    const unsigned int end = SysStringLen(bstrText);
    const wchar_t* text = bstrText;
    if (pos < end && g.IsType(text[pos])) {
        mark.m_cType = text[pos];
        ++pos;
    }

    // Inside a mark every one of the five strings may follow the escape; outside only the
    // first three do (see Parse).
    const std::wstring_view escapable[] = {g.escape, g.open, g.close, g.paramOpen, g.paramSep};
    std::wstringstream* out = &mark.m_ssName;
    bool bHasParam = false;
    unsigned int depth = 0;
    while (pos < end) {
        if (IsAt(text, pos, end, g.escape)) {
            pos += g.escape.size();
            std::wstring_view literal = g.escape;
            unsigned int skip = 0;
            for (std::wstring_view s : escapable) {
                if (IsAt(text, pos, end, s)) {
                    literal = s;
                    skip = s.size();
                    break;
                }
            }
            out->write(literal.data(), literal.size());
            pos += skip;
        } else if (IsAt(text, pos, end, g.open)) {
            pos += g.open.size();
            out->write(g.open.data(), g.open.size());
            ++depth;
        } else if (IsAt(text, pos, end, g.close)) {
            if (depth == 0) break;
            pos += g.close.size();
            out->write(g.close.data(), g.close.size());
            --depth;
        } else if (IsAt(text, pos, end, g.paramOpen)) {
            pos += g.paramOpen.size();
            if (depth == 0 && !bHasParam) {
                out = mark.AddParam();
                bHasParam = true;
            } else {
                out->write(g.paramOpen.data(), g.paramOpen.size());
            }
        } else if (IsAt(text, pos, end, g.paramSep)) {
            pos += g.paramSep.size();
            if (depth == 0) {
                out = mark.AddParam();
                bHasParam = true;
            } else {
                out->write(g.paramSep.data(), g.paramSep.size());
            }
        } else {
            const unsigned int start = pos++;
            while (pos < end && !g.MayStartDelimiter(text[pos])) ++pos;
            out->write(text + start, pos - start);
        }
    }
    return pos < end ? S_OK : RaiseInvalidMarkOrder();
}

HRESULT CTemplatorConcept::Parse(wchar_t* bstrText, CTemplate& tmpl) {
    const CSyntax g = Syntax();
    const unsigned int end = SysStringLen(bstrText);
    const wchar_t* text = bstrText;
    std::wstring literal;

    // A run keeps every character, embedded NULs included, so that a parsed template
    // writes exactly what direct expansion of the same text writes.
    auto appendRun = [&]() -> HRESULT {
        CComBSTR run(literal.data(), static_cast<UINT>(literal.size()));
        if (run.m_str == nullptr) return E_OUTOFMEMORY;
        tmpl.m_vTexts.push_back(run.m_str);
        run.Detach();
        literal.clear();
        return S_OK;
    };

    unsigned int pos = 0;
    while (pos < end) {
        if (IsAt(text, pos, end, g.escape)) {
            pos += g.escape.size();
            std::wstring_view escaped = g.escape;
            unsigned int skip = 0;
            for (std::wstring_view s : {g.escape, g.open, g.close}) {
                if (IsAt(text, pos, end, s)) {
                    escaped = s;
                    skip = s.size();
                    break;
                }
            }
            literal.append(escaped);
            pos += skip;
        } else if (IsAt(text, pos, end, g.open)) {
            HRESULT hr = appendRun();
            if (FAILED(hr)) return hr;
            pos += g.open.size();
            auto mark = std::make_unique<CMarkData>();
            hr = GetMarkData(bstrText, pos, *mark);
            if (FAILED(hr)) return hr;
            tmpl.m_vMarks.push_back(mark.get());
            mark.release();
            pos += g.close.size();
        } else if (IsAt(text, pos, end, g.close)) {
            return RaiseInvalidMarkOrder();
        } else {
            const unsigned int start = pos++;
            while (pos < end && !g.MayStartDelimiter(text[pos])) ++pos;
            literal.append(text + start, pos - start);
        }
    }
    return appendRun();
}
