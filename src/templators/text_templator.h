// The standalone text templator: scripts hand it script objects and a template (text or
// file) and read the filled text back, or send it to an output of their own. Every mark is
// filled by asking the scripts for a value by the mark's name.
#pragma once

#include "controller/event_handler.h"
#include "frame/module.h"
#include "host/host.h"
#include "template/templator_concept.h"

struct ITextTemplator : IDispatch {
    virtual HRESULT putref_Script(IDispatch* pScript) = 0;
    virtual HRESULT get_Script(IDispatch** ppScript) = 0;
    virtual HRESULT putref_Stream(IUnknown* pStream) = 0;
    virtual HRESULT get_Stream(IUnknown** ppStream) = 0;
    virtual HRESULT ProcessTemplateFile(BSTR bstrPath, BSTR bstrCharset) = 0;
    virtual HRESULT ProcessTemplate(BSTR bstrTemplate) = 0;
    virtual HRESULT Write(BSTR bstrText) = 0;
    virtual HRESULT Flush(BSTR* pbstrText) = 0;
};

ZUL_DEFINE_UUIDOF(ITextTemplator, IID_ITextTemplator)

template <class T>
class GITextTemplatorImpl : public T, private CTemplatorConcept {
public:
    // Type characters: a mark starting with white space is a comment.
    GITextTemplatorImpl();
    ~GITextTemplatorImpl() = default;
    GITextTemplatorImpl(const GITextTemplatorImpl&) = delete;
    GITextTemplatorImpl& operator=(const GITextTemplatorImpl&) = delete;

    HRESULT putref_Script(IDispatch* pScript) override;
    HRESULT get_Script(IDispatch** ppScript) override;
    HRESULT putref_Stream(IUnknown* pStream) override;
    HRESULT get_Stream(IUnknown** ppStream) override;
    HRESULT ProcessTemplateFile(BSTR bstrPath, BSTR bstrCharset) override;
    HRESULT ProcessTemplate(BSTR bstrTemplate) override;
    HRESULT Write(BSTR bstrText) override;
    HRESULT Flush(BSTR* pbstrText) override;

    HRESULT OnMarked(CMarkData& mark) override;

private:
    HRESULT OnMarked_(CMarkData& mark);

    CEventHandler m_oEventHandler;
};

