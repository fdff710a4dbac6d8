// GIVeskImpl<T>: the page controller. One object runs one page request: the script sets its
// properties, hands over itself, and calls Process; the controller fires the page's script
// events, keeps the visitor's session state, and draws the page from template files through
// the template engine into the host Response (or whatever Output was set to).
//
// Scripts may call back into the object in the middle of any call that reaches a script.
// So such calls keep the object alive for their length, build event names and paths from
// the properties before calling out, and take old values out of their slots before releasing
// them.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "controller/ivesk.h"
#include "controller/templator_link.h"
#include "controller/vesk_concept.h"
#include "controller/vesk_session.h"
#include "host/host.h"
#include "template/templator_concept.h"
#include "upload/multipart_init.h"
#include "utility/utility_impl.h"

template <class T>
class GIVeskImpl : public GIUtilityImpl<T>, private CVeskConcept, private CTemplatorConcept {
public:
    // A draw step may run again when a template hook or "On_TemplateNotFound" returns False;
    // after this many re-runs in a row it fails with E_FAIL instead.
    static constexpr unsigned int kMaxDrawReruns = 16;

    GIVeskImpl();
    ~GIVeskImpl() = default;
    GIVeskImpl(const GIVeskImpl&) = delete;
    GIVeskImpl& operator=(const GIVeskImpl&) = delete;

    // Takes the host page objects from the creator's object context and writes to the host
    // Response from then on.
    HRESULT InContext(IGetContextProperties* pContext);

    HRESULT putref_Script(IDispatch* pScript) override;
    HRESULT get_Script(IDispatch** ppScript) override;
    HRESULT put_Command(BSTR bstr) override;
    HRESULT get_Command(BSTR* pbstr) override;
    HRESULT put_Template(BSTR bstr) override;
    HRESULT get_Template(BSTR* pbstr) override;
    HRESULT put_TemplateFolder(BSTR bstr) override;
    HRESULT get_TemplateFolder(BSTR* pbstr) override;
    HRESULT put_TemplateExt(BSTR bstr) override;
    HRESULT get_TemplateExt(BSTR* pbstr) override;
    HRESULT put_TemplateCharset(BSTR bstr) override;
    HRESULT get_TemplateCharset(BSTR* pbstr) override;
    HRESULT put_DefaultTemplate(BSTR bstr) override;
    HRESULT get_DefaultTemplate(BSTR* pbstr) override;
    HRESULT put_TemplatePermissionPath(BSTR bstr) override;
    HRESULT get_TemplatePermissionPath(BSTR* pbstr) override;
    HRESULT put_CommandName(BSTR bstr) override;
    HRESULT get_CommandName(BSTR* pbstr) override;
    HRESULT putref_Output(IUnknown* pOutput) override;
    HRESULT get_Output(IUnknown** ppOutput) override;
    HRESULT get_View(IDispatch** ppView) override;
    HRESULT get_Bag(IDispatch** ppBag) override;
    HRESULT get_Include(IDispatch** ppInclude) override;
    HRESULT get_Request(IDispatch** ppRequest) override;
    HRESULT put_Name(BSTR bstr) override;
    HRESULT get_Name(BSTR* pbstr) override;
    HRESULT put_Backable(VARIANT_BOOL b) override;
    HRESULT get_Backable(VARIANT_BOOL* pb) override;
    HRESULT put_NullIsEmpty(VARIANT_BOOL b) override;
    HRESULT get_NullIsEmpty(VARIANT_BOOL* pb) override;
    HRESULT put_SubmitDecodeOnPutInto(VARIANT_BOOL b) override;
    HRESULT get_SubmitDecodeOnPutInto(VARIANT_BOOL* pb) override;
    HRESULT put_CacheTemplate(VARIANT_BOOL b) override;
    HRESULT get_CacheTemplate(VARIANT_BOOL* pb) override;
    HRESULT put_SelfEncode(VARIANT_BOOL b) override;
    HRESULT get_SelfEncode(VARIANT_BOOL* pb) override;
    HRESULT AddScript(IDispatch* pScript) override;
    HRESULT PutIntoBag(BSTR bstrName, VARIANT_BOOL bAsArray) override;
    HRESULT PutIntoView(BSTR bstrName, VARIANT_BOOL bAsArray) override;
    HRESULT PutIntoProp(BSTR bstrName, VARIANT_BOOL bAsArray) override;
    HRESULT Write(BSTR bstrText, VARIANT_BOOL bEncode) override;
    HRESULT Abandon() override;
    HRESULT AddLog(BSTR bstrFirst, BSTR bstrSecond) override;
    HRESULT FireEvent(BSTR bstrName, VARIANT* pValue, VARIANT* pResult, VARIANT_BOOL* pbFound) override;
    HRESULT AddMessage(VARIANT* pMessage, BSTR bstrKey) override;
    HRESULT MessageExists(VARIANT* pKey, VARIANT_BOOL* pbExists) override;
    HRESULT ProcessTemplate(BSTR bstrTemplate) override;
    HRESULT Process() override;
    HRESULT ToArray(IDispatch* pList, SAFEARRAY** ppArray) override;
    HRESULT ToCommand(BSTR bstrCommand, BSTR* pbstrFragment) override;
    HRESULT ToParameter(BSTR bstrName, BSTR bstrValue, BSTR* pbstrFragment) override;
    HRESULT Redirect(BSTR bstrLocation) override;
    HRESULT DrawTemplate(BSTR bstrName) override;
    HRESULT NewADOCommand(VARIANT* pConnection, BSTR bstrCommandText, long nCommandType,
                          IDispatch** ppCommand) override;
    HRESULT NewTemplator(BSTR bstrEventPrefix, IDispatch** ppTemplator) override;
    HRESULT NewMail(BSTR bstr, long n, IDispatch** ppMail) override;

    // "On_FirstAccess" when a session state is created, "On_LastAccess" when the page finds
    // it gone from the host Session at its end.
    virtual HRESULT On_StartVeskSession(bool& bContinue);
    virtual HRESULT On_EndVeskSession(bool& bContinue);

    // Draws the named template file now (the including template's folder, permission,
    // reading, cache, expansion).
    HRESULT Draw(BSTR bstrName);
    // Whether a canonical path lies in the permitted folder. Always S_OK.
    HRESULT CanPathObtain(BSTR bstrCanonical, bool& bPermitted);

    HRESULT OnMarked(CMarkData& mark) override;

private:
    HRESULT On_StartProcess(bool& bContinue) override;
    HRESULT On_EndProcess(bool& bContinue) override;
    HRESULT On_StartDraw(bool& bContinue) override;
    HRESULT On_StartCommand(bool& bContinue) override;
    HRESULT On_EndCommand(bool& bContinue) override;
    HRESULT Command(bool& bContinue) override;
    HRESULT Draw(bool& bContinue) override;

    // A multipart form post becomes the upload form before anything reads the request.
    HRESULT InitMultipartForm() { return ::InitMultipartForm(m_spRequest.Get(), m_spResponse.Get(), m_spMultipartForm); }
    HRESULT ChooseSession();
    // The chosen session state, or the null session before any process has chosen one.
    CComPtr<IVeskSession> CurrentSession() const;
    // Runs the draw step again, unless it has already run again kMaxDrawReruns times in a row.
    HRESULT RerunDraw(bool& bContinue);
    HRESULT DrawFrom(const CComBSTR& bstrIncluding, BSTR bstrName);
    HRESULT ReadTemplateFile(const CComBSTR& bstrCanonical, CComBSTR& bstrText);
    HRESULT ExpandParsed(const CComBSTR& bstrBuilt, const CComBSTR& bstrText);
    HRESULT TemplateNotReadable(const CComBSTR& bstrCanonical);
    // A new reference to this object for as long as a call may run scripts.
    CComPtr<IDispatch> KeepAlive() const { return CComPtr<IDispatch>::Share(m_pOwner); }

    // ---- Mark handlers (vesk_marks.cpp) and built-in drawing events (vesk_input.cpp) ----
public:
    // Templates nested inside one another through child-template marks, the outermost
    // included: the next child fails with E_FAIL instead of running the stack out.
    static constexpr unsigned int kMaxTemplateLevels = 32;

private:
    using ParamList = CTemplatorConcept::ParamList;
    // Where an input field's value comes from; also selects the family's View keys and counter.
    enum class InputSource { Bag, View, Property };

    // The paired handlers take VARIANT_TRUE to write their value HTML-encoded, 0 to write it
    // unchanged.
    HRESULT OnMarked_Property(CMarkData& mark, short bEncode);
    HRESULT OnMarked_View(CMarkData& mark, short bEncode);
    HRESULT OnMarked_Session(CMarkData& mark, short bEncode);
    HRESULT OnMarked_Application(CMarkData& mark, short bEncode);
    HRESULT OnMarked_Request(CMarkData& mark, short bEncode);
    HRESULT OnMarked_Bag(CMarkData& mark, short bEncode);
    HRESULT OnMarked_Command(CMarkData& mark, short bEncode);
    HRESULT OnMarked_Process(CMarkData& mark);
    HRESULT OnMarked_ChildStatic(CMarkData& mark);
    HRESULT OnMarked_ChildDynamic(CMarkData& mark);
    // Converts a looked-up value (walking it by the parameters, when given) and writes it.
    HRESULT WriteValue(CComVariant& value, const ParamList* pParams, short bEncode);
    // Draws a child template, one template level deeper.
    HRESULT DrawChild(BSTR bstrName);

    // The built-in drawing event of that name, if there is one; bFound says whether there was.
    HRESULT RunBuiltinDrawEvent(const wchar_t* pszEvent, const ParamList& params, bool& bFound);
    HRESULT DrawInputDefault(InputSource source, const ParamList& params);
    HRESULT DrawInput(InputSource source, const ParamList& params);
    HRESULT DrawInputChoice(InputSource source, const ParamList& params);
    HRESULT DrawMessages(const ParamList& params);
    HRESULT DrawMessageText(const ParamList& params);
    // A field's value from the family's source.
    HRESULT ReadInputValue(InputSource source, const VARIANT& name, CComVariant& value);
    // The next number for a field of that name drawn without a value: 1, 2, 3 ...
    HRESULT NextInputNumber(InputSource source, const std::wstring& name, uint32_t& number);
    // Expands a mark parameter as a template (direct expansion).
    HRESULT ExpandParam(const CMarkText& param);

    // Child templates being drawn, one inside the other.
    unsigned int m_nChildLevels = 0;

    using MessageList = std::vector<CComVariant>;

    CComBSTR m_bstrDrawPrefix;
    CComPtr<IZULibDictionary> m_spView;
    CComPtr<IZULibDictionary> m_spInclude;
    CComBSTR m_bstrCommandName;
    CComBSTR m_bstrName;
    bool m_bBackable = true;
    CComBSTR m_bstrDefaultTemplate;
    CComBSTR m_bstrTemplatePermissionPath;
    CComPtr<PravoltTypeLibrary::IRequestDictionary> m_spMultipartForm;
    CComPtr<IVeskSession> m_spVeskSession;
    bool m_bNullIsEmpty = false;
    bool m_bSubmitDecodeOnPutInto = false;
    bool m_bCacheTemplate = true;
    bool m_bSelfEncode = false;
    CComPtr<PravoltTypeLibrary::IServer> m_spServer;
    CComPtr<PravoltTypeLibrary::IApplicationObject> m_spApplication;
    CComPtr<PravoltTypeLibrary::ISessionObject> m_spSessionObject;
    CComPtr<PravoltTypeLibrary::IRequest> m_spRequest;
    CComPtr<PravoltTypeLibrary::IResponse> m_spResponse;
    CComBSTR m_bstrTemplateFolder;
    CComBSTR m_bstrTemplateExt;
    CComBSTR m_bstrTemplateCharset;
    CComBSTR m_bstrCurrentTemplatePath;
    std::map<std::wstring, uint32_t> m_mapInputCount;
    std::map<std::wstring, uint32_t> m_mapInputVCount;
    std::map<std::wstring, uint32_t> m_mapInputPCount;
    std::map<std::wstring, MessageList> m_mapMessages;
    [[maybe_unused]] VARIANT* m_pCurrentMessage = nullptr;  // the message being drawn
    // Re-runs of the draw step in progress, one inside the other.
    unsigned int m_nDrawReruns = 0;

    // ---- Request binding and the helper objects (vesk_binding.cpp) ----
public:
    // Binds the request's value under the name (all its values as an array when asked and
    // the name was sent as a list) into the target, or into the page script's variable of
    // that name when there is none. An empty name binds every key but the command key, each
    // as one value.
    virtual HRESULT PutInto(IZULibDictionary* pTarget, BSTR bstrName, short bAsArray);

private:
    // How a value is stored: as the request collection gave it, or, for a store that outlives
    // the page, by value (a value list as its text), so that it keeps nothing of the request.
    enum class Keep { AsGiven, ByValue };
    HRESULT PutIntoStore(IZULibDictionary* pTarget, BSTR bstrName, bool bAsArray, Keep keep);
    HRESULT PutEveryKeyInto(IZULibDictionary* pTarget, PravoltTypeLibrary::IRequestDictionary* pCollection, Keep keep);
    HRESULT PutOneInto(IZULibDictionary* pTarget, PravoltTypeLibrary::IRequestDictionary* pCollection,
                       const CComBSTR& bstrName, bool bAsArray, Keep keep);
    HRESULT SubmitDecodeElements(SAFEARRAY* psa);
    // CommandName on a backable page, else the session's current command name.
    HRESULT CurrentCommandKey(CComBSTR& bstrKey);
    // The host Server's URL encoding of each text, joined as name "=" value "&".
    HRESULT EncodedPair(BSTR bstrName, BSTR bstrValue, CComBSTR& bstrPair);

    // Declared last so that it is cut first: while the rest of the controller is destroyed,
    // the templators it made already find no controller.
    CTemplatorLinkOwner m_oTemplatorLink;
};
