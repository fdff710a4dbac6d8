// The page-bound templator: a second template processor that a page script gets from its
// page controller (NewTemplator) to fill templates into its own memory stream or another
// output, for a mail body or a fragment the page writes later. Its marks read the page's
// View and Bag as the controller had them, the host page objects of its own context, and
// its own scripts.
#pragma once

#include "controller/event_handler.h"
#include "controller/templator_link.h"
#include "frame/module.h"
#include "host/host.h"
#include "template/templator_concept.h"

struct IVeskedTemplator : IDispatch {
    virtual HRESULT putref_Script(IDispatch* pScript) = 0;
    virtual HRESULT get_Script(IDispatch** ppScript) = 0;
    // The page controller that made it, as its IVesk.
    virtual HRESULT get_Main(IDispatch** ppMain) = 0;
    virtual HRESULT putref_Stream(IUnknown* pStream) = 0;
    virtual HRESULT get_Stream(IUnknown** ppStream) = 0;
    virtual HRESULT ProcessTemplateFile(BSTR bstrPath, BSTR bstrCharset) = 0;
    virtual HRESULT ProcessTemplate(BSTR bstrTemplate) = 0;
    virtual HRESULT Write(BSTR bstrText, VARIANT_BOOL bEncode) = 0;
    virtual HRESULT Flush(BSTR* pbstrText) = 0;
};

ZUL_DEFINE_UUIDOF(IVeskedTemplator, IID_IVeskedTemplator)

template <class T>
class GIVeskedTemplatorImpl : public T, private CTemplatorConcept {
public:
    GIVeskedTemplatorImpl();
    ~GIVeskedTemplatorImpl() = default;
    GIVeskedTemplatorImpl(const GIVeskedTemplatorImpl&) = delete;
    GIVeskedTemplatorImpl& operator=(const GIVeskedTemplatorImpl&) = delete;

    // Takes the host page objects from the creator's object context; the output stays the
    // templator's own stream.
    HRESULT InContext(IGetContextProperties* pContext);
    // Ties the templator to the controller that made it: its link, its event prefix, and the
    // View and Bag it had then.
    HRESULT Wire(const CTemplatorWiring& wiring);

    HRESULT putref_Script(IDispatch* pScript) override;
    HRESULT get_Script(IDispatch** ppScript) override;
    HRESULT get_Main(IDispatch** ppMain) override;
    HRESULT putref_Stream(IUnknown* pStream) override;
    HRESULT get_Stream(IUnknown** ppStream) override;
    HRESULT ProcessTemplateFile(BSTR bstrPath, BSTR bstrCharset) override;
    HRESULT ProcessTemplate(BSTR bstrTemplate) override;
    HRESULT Write(BSTR bstrText, VARIANT_BOOL bEncode) override;
    HRESULT Flush(BSTR* pbstrText) override;

    HRESULT OnMarked(CMarkData& mark) override;

private:
    // A mark's value by its name from one of the stores the templator sees.
    using ValueReader = HRESULT (GIVeskedTemplatorImpl::*)(BSTR bstrName, CComVariant& value);
    struct CMarkRoute {
        wchar_t type;
        ValueReader read;
        VARIANT_BOOL encode;
    };
    static const CMarkRoute s_aRoutes[];

    HRESULT OnMarked_Property(CMarkData& mark, VARIANT_BOOL bEncode);
    HRESULT OnMarked_Process(CMarkData& mark);
    HRESULT ReadView(BSTR bstrName, CComVariant& value);
    HRESULT ReadSession(BSTR bstrName, CComVariant& value);
    HRESULT ReadApplication(BSTR bstrName, CComVariant& value);
    HRESULT ReadRequest(BSTR bstrName, CComVariant& value);
    HRESULT ReadBag(BSTR bstrName, CComVariant& value);
    // Walks the value by the parameters (if any), makes it text and writes it. A Null, or
    // an object without a default value, fails the mark.
    HRESULT WriteValue(VARIANT& value, const ParamList* pParams, VARIANT_BOOL bEncode);
    // A new reference to this object for as long as a call may run scripts.
    CComPtr<IDispatch> KeepAlive() { return CComPtr<IDispatch>::Share(static_cast<T*>(this)); }

    CEventHandler m_oEventHandler;          // the templator's own scripts, not the page's
    CComPtr<CTemplatorLink> m_spMainLink;    // the controller that made it, while it lives
    CComBSTR m_bstrEventPrefix;              // prefix of the functions process marks call
    CComPtr<IZULibDictionary> m_spView;      // the page's View when the templator was made
    CComPtr<IZULibDictionary> m_spBag;       // the session's Bag then, if there was one
    CComPtr<PravoltTypeLibrary::IServer> m_spServer;
    CComPtr<PravoltTypeLibrary::IApplicationObject> m_spApplication;
    CComPtr<PravoltTypeLibrary::ISessionObject> m_spSessionObject;
    CComPtr<PravoltTypeLibrary::IRequest> m_spRequest;
    CComPtr<PravoltTypeLibrary::IResponse> m_spResponse;
};
