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

}  // namespace

HRESULT RaiseInvalidMarkOrder() { return RaiseError(E_FAIL, kSource, kInvalidMarkOrder); }

CTemplatorConcept::CTemplatorConcept(const wchar_t* pszTypes)
    : m_bstrEscape(L"^"),
      m_bstrOpen(L"(#"),
      m_bstrClose(L"#)"),
      m_bstrTypes(pszTypes),
      m_bstrParamOpen(L"|"),
      m_bstrParamSep(L"#|#") {}

bool CTemplatorConcept::IsAt(const wchar_t* text, unsigned int pos, unsigned int end,
                             const CComBSTR& s) const {
    const unsigned int n = s.Length();
    return n != 0 && end - pos >= n && wmemcmp(text + pos, s.m_str, n) == 0;
}

bool CTemplatorConcept::IsType(wchar_t c) const {
    return wmemchr(m_bstrTypes.c_str(), c, m_bstrTypes.Length()) != nullptr;
}

// A character that cannot begin any delimiter is plain text wherever it stands, so runs of
// such characters are copied in one go.
bool CTemplatorConcept::MayStartDelimiter(wchar_t c) const {
    for (const CComBSTR* s : {&m_bstrEscape, &m_bstrOpen, &m_bstrClose, &m_bstrParamOpen, &m_bstrParamSep}) {
        if (s->Length() != 0 && s->m_str[0] == c) return true;
    }
    return false;
}

HRESULT CTemplatorConcept::GetMarkData(wchar_t* bstrText, unsigned int& pos, CMarkData& mark) {
    const unsigned int end = SysStringLen(bstrText);
    const wchar_t* text = bstrText;
    if (pos < end && IsType(text[pos])) {
        mark.m_cType = text[pos];
        ++pos;
    }

    // Inside a mark every one of the five strings may follow the escape; outside only the
    // first three do (see Parse).
    const CComBSTR* const escapable[] = {&m_bstrEscape, &m_bstrOpen, &m_bstrClose, &m_bstrParamOpen, &m_bstrParamSep};
    std::wstringstream* out = &mark.m_ssName;
    bool bHasParam = false;
    unsigned int depth = 0;
    while (pos < end) {
        if (IsAt(text, pos, end, m_bstrEscape)) {
            pos += m_bstrEscape.Length();
            const CComBSTR* literal = &m_bstrEscape;
            unsigned int skip = 0;
            for (const CComBSTR* s : escapable) {
                if (IsAt(text, pos, end, *s)) {
                    literal = s;
                    skip = s->Length();
                    break;
                }
            }
            out->write(literal->m_str, literal->Length());
            pos += skip;
        } else if (IsAt(text, pos, end, m_bstrOpen)) {
            pos += m_bstrOpen.Length();
            out->write(m_bstrOpen.m_str, m_bstrOpen.Length());
            ++depth;
        } else if (IsAt(text, pos, end, m_bstrClose)) {
            if (depth == 0) break;
            pos += m_bstrClose.Length();
            out->write(m_bstrClose.m_str, m_bstrClose.Length());
            --depth;
        } else if (IsAt(text, pos, end, m_bstrParamOpen)) {
            pos += m_bstrParamOpen.Length();
            if (depth == 0 && !bHasParam) {
                out = mark.AddParam();
                bHasParam = true;
            } else {
                out->write(m_bstrParamOpen.m_str, m_bstrParamOpen.Length());
            }
        } else if (IsAt(text, pos, end, m_bstrParamSep)) {
            pos += m_bstrParamSep.Length();
            if (depth == 0) {
                out = mark.AddParam();
                bHasParam = true;
            } else {
                out->write(m_bstrParamSep.m_str, m_bstrParamSep.Length());
            }
        } else {
            const unsigned int start = pos++;
            while (pos < end && !MayStartDelimiter(text[pos])) ++pos;
            out->write(text + start, pos - start);
        }
    }
    return pos < end ? S_OK : RaiseInvalidMarkOrder();
}

HRESULT CTemplatorConcept::Parse(wchar_t* bstrText, CTemplate& tmpl) {
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
        if (IsAt(text, pos, end, m_bstrEscape)) {
            pos += m_bstrEscape.Length();
            const CComBSTR* literalString = &m_bstrEscape;
            unsigned int skip = 0;
            for (const CComBSTR* s : {&m_bstrEscape, &m_bstrOpen, &m_bstrClose}) {
                if (IsAt(text, pos, end, *s)) {
                    literalString = s;
                    skip = s->Length();
                    break;
                }
            }
            literal.append(literalString->m_str, literalString->Length());
            pos += skip;
        } else if (IsAt(text, pos, end, m_bstrOpen)) {
            HRESULT hr = appendRun();
            if (FAILED(hr)) return hr;
            pos += m_bstrOpen.Length();
            auto mark = std::make_unique<CMarkData>();
            hr = GetMarkData(bstrText, pos, *mark);
            if (FAILED(hr)) return hr;
            tmpl.m_vMarks.push_back(mark.get());
            mark.release();
            pos += m_bstrClose.Length();
        } else if (IsAt(text, pos, end, m_bstrClose)) {
            return RaiseInvalidMarkOrder();
        } else {
            const unsigned int start = pos++;
            while (pos < end && !MayStartDelimiter(text[pos])) ++pos;
            literal.append(text + start, pos - start);
        }
    }
    return appendRun();
}
