// The template engine every templating component derives from. It owns the mark grammar
// (six strings; only the set of type characters differs between components), parses and
// expands templates, converts mark values to text, and writes through one of four output
// sinks. What a mark stands for is decided by the component's OnMarked.
#pragma once

#include <string_view>
#include <vector>

#include "host/host.h"
#include "template/mark_data.h"
#include "template/mark_scanner.h"
#include "template/template.h"

class CTemplatorConcept {
public:
    // An output sink: one kind of writable host object. No destructor of its own is
    // virtual: sinks live embedded in the engine and die with it.
    class ITextStreamWrapper {
    public:
        virtual HRESULT putref_Substance(IUnknown* pUnk) = 0;
        virtual HRESULT get_Substance(IUnknown** ppUnk) = 0;
        virtual HRESULT Write(wchar_t* bstrText) = 0;

    protected:
        ~ITextStreamWrapper() = default;
    };

    // Holds the object through interface I; each concrete sink adds how it writes.
    template <class I>
    class GTextStreamSink : public ITextStreamWrapper {
    public:
        HRESULT putref_Substance(IUnknown* pUnk) override;
        HRESULT get_Substance(IUnknown** ppUnk) override;

        CComPtr<I> m_pSubstance;
    };

    class CTS_ASPResponse : public GTextStreamSink<PravoltTypeLibrary::IResponse> {
    public:
        HRESULT Write(wchar_t* bstrText) override;
    };
    class CTS_ADODBStream : public GTextStreamSink<IZULibStream> {
    public:
        HRESULT Write(wchar_t* bstrText) override;
    };
    class CTS_ScriptingTextStream : public GTextStreamSink<Scripting::ITextStream> {
    public:
        HRESULT Write(wchar_t* bstrText) override;
    };
    class CTS_Stream : public GTextStreamSink<IStream> {
    public:
        HRESULT Write(wchar_t* bstrText) override;
    };

    using ParamList = std::vector<CMarkText*>;

    // At most this many expansions are in progress at once on one thread, over every engine:
    // a mark handler may expand again (itself, or through a script, on this engine or another)
    // and every level costs stack. The next one is refused with E_FAIL and error information.
    // 32 levels leave most of a 1 MB server thread's stack free, and are as deep as the page
    // controller lets template includes nest.
    static constexpr unsigned int kMaxNestedExpansions = 32;

    explicit CTemplatorConcept(const wchar_t* pszTypes);
    CTemplatorConcept(const CTemplatorConcept&) = delete;
    CTemplatorConcept& operator=(const CTemplatorConcept&) = delete;

    // Reads one mark. pos is the first character after an opening delimiter; on success it
    // is left on the first character of the closing delimiter.
    HRESULT GetMarkData(wchar_t* bstrText, unsigned int& pos, CMarkData& mark);
    // Appends the literal runs and marks of a text to an empty template.
    HRESULT Parse(wchar_t* bstrText, CTemplate& tmpl);

    // Direct expansion: straight from the text, each literal character its own write.
    HRESULT Process(wchar_t* bstrText);
    // Parsed expansion: each literal run one write.
    HRESULT Process(CTemplate& tmpl);

    // Converts a value in place to a string, first walking into it by the parameters
    // (item of a collection, named member, or array element), if any are given.
    static HRESULT ChangeToBSTR(VARIANT* pValue, const ParamList* pParams, bool bNullIsEmpty);
    // A mark's parameters as a script function receives them: a vector of strings from 0.
    static HRESULT MakeParamArray(const ParamList& params, CComVariant& array);

    HRESULT putref_Output(IUnknown* pUnk);
    HRESULT get_Output(IUnknown** ppUnk);

    // Writes whatever replaces the mark through the selected sink; a failure stops the
    // expansion. May expand further templates on the same object.
    virtual HRESULT OnMarked(CMarkData& mark) = 0;

protected:
    ~CTemplatorConcept() = default;

    // Writes through the selected sink; E_FAIL, with no error information, when none is.
    HRESULT WriteOutput(wchar_t* bstrText);
    // Makes a new in-memory host stream the output, as the templators start out.
    HRESULT OutputToMemoryStream();
    // Everything written so far to the host stream that is the output, from its start (the
    // stream keeps it). E_FAIL, with no error information, when the output is anything else.
    HRESULT ReadBackOutput(BSTR* pbstrText);

    CComBSTR m_bstrEscape;
    CComBSTR m_bstrOpen;
    CComBSTR m_bstrClose;
    CComBSTR m_bstrTypes;
    CComBSTR m_bstrParamOpen;
    CComBSTR m_bstrParamSep;
    ITextStreamWrapper* m_pOutput = nullptr;  // one of the four sinks below, or none
    CTS_ASPResponse m_oASPResponse;
    CTS_ADODBStream m_oADODBStream;
    CTS_ScriptingTextStream m_oScriptingTextStream;
    CTS_Stream m_oStream;

private:
    // The grammar strings as one parse or expansion sees them: read from the strings once
    // per call rather than at every character.
    CMarkScanner Scanner() const;
    // GetMarkData with the scanner of the parse or expansion in progress.
    HRESULT GetMarkData(const CMarkScanner& scanner, const wchar_t* text, unsigned int end, unsigned int& pos,
                        CMarkData& mark);
};

// The one parse error of the mark grammar, reported with the engine's source.
HRESULT RaiseInvalidMarkOrder();

// A new host stream, open in memory and ready for text.
HRESULT CreateMemoryStream(CComPtr<IZULibStream>& spStream);
// The whole text of a file, read through a new host stream in the given character set.
HRESULT ReadTextFile(BSTR bstrPath, BSTR bstrCharset, CComBSTR& bstrText);
