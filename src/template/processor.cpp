// Expansion of a template (straight from its text or from its parsed form), the choice of
// the output sink, and the conversion of mark values to text.
#include <string>

#include "frame/error.h"
#include "host/automation.h"
#include "template/templator_concept.h"

namespace {

constexpr LCID kLocale = LOCALE_SYSTEM_DEFAULT;
constexpr wchar_t kSource[] = L"Templator";
constexpr wchar_t kNestingTooDeep[] = L"Templates nest too deeply (more than 32 expansions at once).";
static_assert(CTemplatorConcept::kMaxNestedExpansions == 32, "the message names the bound");

// Expansions in progress on this thread, over every engine.
thread_local unsigned int t_nExpansions = 0;

// One level of expansion, taken for as long as it lasts, unless the thread is already at the bound.
class CExpansionLevel {
public:
    CExpansionLevel() : m_bEntered(t_nExpansions < CTemplatorConcept::kMaxNestedExpansions) {
        if (m_bEntered) ++t_nExpansions;
    }
    ~CExpansionLevel() {
        if (m_bEntered) --t_nExpansions;
    }
    CExpansionLevel(const CExpansionLevel&) = delete;
    CExpansionLevel& operator=(const CExpansionLevel&) = delete;

    bool Entered() const { return m_bEntered; }

private:
    bool m_bEntered;
};

HRESULT RaiseNestingTooDeep() { return RaiseError(E_FAIL, kSource, kNestingTooDeep); }

// A reference to a parsed template for as long as an expansion reads it: a mark handler may
// drop the one its caller held.
class CTemplateHold {
public:
    explicit CTemplateHold(CTemplate& tmpl) : m_pTemplate(tmpl.AddRef()) {}
    ~CTemplateHold() { m_pTemplate->Release(); }
    CTemplateHold(const CTemplateHold&) = delete;
    CTemplateHold& operator=(const CTemplateHold&) = delete;

private:
    CTemplate* m_pTemplate;
};

HRESULT MakeKey(const std::wstring& text, CComVariant& key) {
    BSTR bstr = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
    if (bstr == nullptr) return E_OUTOFMEMORY;
    key.SetBSTR(bstr);
    return S_OK;
}

// Replaces the value by what was found inside it; the container is released only now,
// after the lookup that needed it has finished.
HRESULT ReplaceValue(VARIANT* pValue, CComVariant& found) {
    const HRESULT hr = VariantClear(pValue);
    if (FAILED(hr)) return hr;
    found.Detach(pValue);
    return S_OK;
}

// An item of a collection (the default member called with the key), or else the member
// of that name.
HRESULT WalkIntoObject(VARIANT* pValue, const CMarkText& param) {
    constexpr WORD kRead = DISPATCH_METHOD | DISPATCH_PROPERTYGET;
    IDispatch* pDisp = pValue->pdispVal;
    if (pDisp == nullptr) return DISP_E_TYPEMISMATCH;  // a script's Nothing has no members
    const std::wstring& name = param.str();
    CComVariant key[1];
    HRESULT hr = MakeKey(name, key[0]);
    if (FAILED(hr)) return hr;

    CComVariant found;
    hr = automation::InvokeById(pDisp, DISPID_VALUE, kRead, key, &found, nullptr, kLocale);
    if (hr == DISP_E_MEMBERNOTFOUND) {
        found.Reset();
        DISPID dispid = DISPID_UNKNOWN;
        hr = automation::GetMemberId(pDisp, name.c_str(), &dispid, kLocale);
        if (FAILED(hr)) return hr;
        hr = automation::InvokeById(pDisp, dispid, kRead, {}, &found, nullptr, kLocale);
    }
    if (FAILED(hr)) return hr;
    return ReplaceValue(pValue, found);
}

// Whether the array's own description says that its elements are VARIANTs. The type of the
// VARIANT that holds an array is only a claim: an element is read by the array's features, and
// read as a VARIANT it must be one, or the walk would take other bytes for a value.
bool HoldsVariants(SAFEARRAY* psa) {
    constexpr USHORT kOtherElements = FADF_BSTR | FADF_UNKNOWN | FADF_DISPATCH | FADF_RECORD;
    VARTYPE vt = VT_EMPTY;
    return (psa->fFeatures & FADF_VARIANT) != 0 && (psa->fFeatures & kOtherElements) == 0 &&
           psa->cbElements == sizeof(VARIANT) && SUCCEEDED(SafeArrayGetVartype(psa, &vt)) && vt == VT_VARIANT;
}

// An element of a one-dimensional array of VARIANTs, by number.
HRESULT WalkIntoArray(VARIANT* pValue, const CMarkText& param) {
    CComVariant key;
    HRESULT hr = MakeKey(param.str(), key);
    if (FAILED(hr)) return hr;
    CComVariant index;
    hr = VariantChangeType(&index, &key, 0, VT_I4);
    if (FAILED(hr)) return hr;

    // One number cannot address an element of a many-dimensional array, and reading one
    // with a single index would run past the index list.
    SAFEARRAY* psa = pValue->parray;
    if (psa == nullptr || SafeArrayGetDim(psa) != 1) return DISP_E_BADINDEX;
    if (!HoldsVariants(psa)) return DISP_E_TYPEMISMATCH;
    LONG lower = 0;
    LONG upper = -1;
    hr = SafeArrayGetLBound(psa, 1, &lower);
    if (FAILED(hr)) return hr;
    hr = SafeArrayGetUBound(psa, 1, &upper);
    if (FAILED(hr)) return hr;
    LONG at = index.lVal;
    if (at < lower || at > upper) return DISP_E_BADINDEX;

    CComVariant element;
    hr = SafeArrayGetElement(psa, &at, &element);
    if (FAILED(hr)) return hr;
    return ReplaceValue(pValue, element);
}

}  // namespace

// ---- Output sinks -------------------------------------------------------------------------

template <class I>
HRESULT CTemplatorConcept::GTextStreamSink<I>::putref_Substance(IUnknown* pUnk) {
    m_pSubstance.Reset();
    if (pUnk == nullptr) return S_OK;
    I* pFound = nullptr;
    const HRESULT hr = pUnk->QueryInterface(zul_uuidof<I>(), reinterpret_cast<void**>(&pFound));
    if (FAILED(hr) || pFound == nullptr) return E_INVALIDARG;
    m_pSubstance.Attach(pFound);
    return S_OK;
}

template <class I>
HRESULT CTemplatorConcept::GTextStreamSink<I>::get_Substance(IUnknown** ppUnk) {
    if (ppUnk == nullptr) return E_INVALIDARG;
    *ppUnk = nullptr;
    if (!m_pSubstance) return S_OK;
    return m_pSubstance->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(ppUnk));
}

template class CTemplatorConcept::GTextStreamSink<PravoltTypeLibrary::IResponse>;
template class CTemplatorConcept::GTextStreamSink<IZULibStream>;
template class CTemplatorConcept::GTextStreamSink<Scripting::ITextStream>;
template class CTemplatorConcept::GTextStreamSink<IStream>;

HRESULT CTemplatorConcept::CTS_ASPResponse::Write(wchar_t* bstrText) {
    if (!m_pSubstance) return E_FAIL;
    // The text itself, borrowed for the call: the Response copies what it keeps.
    VARIANT text;
    VariantInit(&text);
    text.vt = VT_BSTR;
    text.bstrVal = bstrText;
    return m_pSubstance->Write(text);
}

HRESULT CTemplatorConcept::CTS_ADODBStream::Write(wchar_t* bstrText) {
    if (!m_pSubstance) return E_FAIL;
    return m_pSubstance->WriteText(bstrText, ADODB::adWriteChar);
}

HRESULT CTemplatorConcept::CTS_ScriptingTextStream::Write(wchar_t* bstrText) {
    if (!m_pSubstance) return E_FAIL;
    return m_pSubstance->Write(bstrText);
}

HRESULT CTemplatorConcept::CTS_Stream::Write(wchar_t* bstrText) {
    if (!m_pSubstance) return E_FAIL;
    // Raw characters, no conversion and no byte-order mark.
    ULONG written = 0;
    return m_pSubstance->Write(bstrText, SysStringByteLen(bstrText), &written);
}

// ---- Output selection ---------------------------------------------------------------------

HRESULT CTemplatorConcept::putref_Output(IUnknown* pUnk) {
    if (m_pOutput != nullptr) {
        m_pOutput->putref_Substance(nullptr);
        m_pOutput = nullptr;
    }
    if (pUnk == nullptr) return S_OK;
    // Fixed order: a Response is written as a Response even if it were also a stream.
    for (ITextStreamWrapper* sink : {static_cast<ITextStreamWrapper*>(&m_oASPResponse),
                                     static_cast<ITextStreamWrapper*>(&m_oADODBStream),
                                     static_cast<ITextStreamWrapper*>(&m_oScriptingTextStream),
                                     static_cast<ITextStreamWrapper*>(&m_oStream)}) {
        if (SUCCEEDED(sink->putref_Substance(pUnk))) {
            m_pOutput = sink;
            return S_OK;
        }
    }
    return E_INVALIDARG;
}

HRESULT CTemplatorConcept::get_Output(IUnknown** ppUnk) {
    if (ppUnk == nullptr) return E_INVALIDARG;
    *ppUnk = nullptr;
    if (m_pOutput == nullptr) return S_OK;
    return m_pOutput->get_Substance(ppUnk);
}

HRESULT CTemplatorConcept::WriteOutput(wchar_t* bstrText) {
    // The selection is read at every write: a mark handler may change the output midway.
    if (m_pOutput == nullptr) return E_FAIL;
    return m_pOutput->Write(bstrText);
}

// ---- Expansion ----------------------------------------------------------------------------

HRESULT CTemplatorConcept::Process(wchar_t* bstrText) {
    using Kind = CMarkScanner::Kind;
    if (m_pOutput == nullptr) return E_FAIL;
    const CExpansionLevel level;
    if (!level.Entered()) return RaiseNestingTooDeep();
    const CMarkScanner scanner = Scanner();
    const unsigned int end = SysStringLen(bstrText);
    const wchar_t* text = bstrText;
    // The string written for each piece an escape protects.
    const BSTR pieces[CMarkScanner::kPieces] = {m_bstrEscape, m_bstrOpen, m_bstrClose, m_bstrParamOpen, m_bstrParamSep};
    // One-character writes reuse one string: a sink only borrows the text for the call.
    CComBSTR oneChar;
    unsigned int pos = 0;
    while (pos < end) {
        const CMarkScanner::CToken token = scanner.Next(text, pos, end, CMarkScanner::kOutside);
        HRESULT hr = S_OK;
        switch (token.kind) {
        case Kind::Escaped:
            hr = WriteOutput(pieces[token.literal]);
            pos = token.end;
            break;
        case Kind::Open: {
            pos = token.end;
            CMarkData mark;
            hr = GetMarkData(scanner, text, end, pos, mark);
            if (SUCCEEDED(hr)) hr = OnMarked(mark);
            if (SUCCEEDED(hr)) pos += static_cast<unsigned int>(scanner.PieceText(CMarkScanner::kClose).size());
            break;
        }
        case Kind::Close: return RaiseInvalidMarkOrder();
        default:  // text: outside a mark the parameter pieces are text too
            if (oneChar.m_str == nullptr) {
                oneChar.Attach(SysAllocStringLen(nullptr, 1));
                if (oneChar.m_str == nullptr) return E_OUTOFMEMORY;
            }
            for (; pos < token.end && SUCCEEDED(hr); ++pos) {
                oneChar.m_str[0] = text[pos];
                hr = WriteOutput(oneChar.m_str);
            }
            break;
        }
        if (FAILED(hr)) return hr;
    }
    return S_OK;
}

HRESULT CTemplatorConcept::Process(CTemplate& tmpl) {
    if (m_pOutput == nullptr) return E_FAIL;
    const CExpansionLevel level;
    if (!level.Entered()) return RaiseNestingTooDeep();
    const CTemplateHold hold(tmpl);
    // Only a successfully parsed template has one literal run more than it has marks.
    if (tmpl.m_vTexts.size() != tmpl.m_vMarks.size() + 1) return E_INVALIDARG;
    HRESULT hr = WriteOutput(tmpl.m_vTexts[0]);
    for (size_t i = 0; i < tmpl.m_vMarks.size() && SUCCEEDED(hr); ++i) {
        hr = OnMarked(*tmpl.m_vMarks[i]);
        if (SUCCEEDED(hr)) hr = WriteOutput(tmpl.m_vTexts[i + 1]);
    }
    return hr;
}

// ---- Value conversion ---------------------------------------------------------------------

HRESULT CTemplatorConcept::ChangeToBSTR(VARIANT* pValue, const ParamList* pParams, bool bNullIsEmpty) {
    if (pValue == nullptr) return E_INVALIDARG;
    if (pParams != nullptr) {
        // One level per parameter, in a loop: however deeply values nest, the walk uses no
        // more stack.
        for (const CMarkText* param : *pParams) {
            HRESULT hr = DISP_E_TYPEMISMATCH;
            if (pValue->vt == VT_DISPATCH) {
                hr = WalkIntoObject(pValue, *param);
            } else if (pValue->vt == (VT_ARRAY | VT_VARIANT)) {
                hr = WalkIntoArray(pValue, *param);
            }
            if (FAILED(hr)) return hr;
        }
    }
    HRESULT hr = VariantChangeType(pValue, pValue, 0, VT_BSTR);
    if (FAILED(hr) && bNullIsEmpty) {
        hr = VariantClear(pValue);
        if (SUCCEEDED(hr)) {
            pValue->vt = VT_BSTR;
            pValue->bstrVal = nullptr;
        }
    }
    return hr;
}
