// IVesk: the page controller's interface. Its own operations come first, in their fixed slot
// order, then the fifteen utility operations it shares with IUtility.
#pragma once

#include "frame/identifiers.h"
#include "host/oaidl.h"
#include "host/uuidof.h"
#include "utility/iutility.h"

struct IVeskOperations : IDispatch {
    virtual HRESULT putref_Script(IDispatch* pScript) = 0;
    virtual HRESULT get_Script(IDispatch** ppScript) = 0;
    virtual HRESULT put_Command(BSTR bstr) = 0;
    virtual HRESULT get_Command(BSTR* pbstr) = 0;
    virtual HRESULT put_Template(BSTR bstr) = 0;
    virtual HRESULT get_Template(BSTR* pbstr) = 0;
    virtual HRESULT put_TemplateFolder(BSTR bstr) = 0;
    virtual HRESULT get_TemplateFolder(BSTR* pbstr) = 0;
    virtual HRESULT put_TemplateExt(BSTR bstr) = 0;
    virtual HRESULT get_TemplateExt(BSTR* pbstr) = 0;
    virtual HRESULT put_TemplateCharset(BSTR bstr) = 0;
    virtual HRESULT get_TemplateCharset(BSTR* pbstr) = 0;
    virtual HRESULT put_DefaultTemplate(BSTR bstr) = 0;
    virtual HRESULT get_DefaultTemplate(BSTR* pbstr) = 0;
    virtual HRESULT put_TemplatePermissionPath(BSTR bstr) = 0;
    virtual HRESULT get_TemplatePermissionPath(BSTR* pbstr) = 0;
    virtual HRESULT put_CommandName(BSTR bstr) = 0;
    virtual HRESULT get_CommandName(BSTR* pbstr) = 0;
    virtual HRESULT putref_Output(IUnknown* pOutput) = 0;
    virtual HRESULT get_Output(IUnknown** ppOutput) = 0;
    virtual HRESULT get_View(IDispatch** ppView) = 0;
    virtual HRESULT get_Bag(IDispatch** ppBag) = 0;
    virtual HRESULT get_Include(IDispatch** ppInclude) = 0;
    virtual HRESULT get_Request(IDispatch** ppRequest) = 0;
    virtual HRESULT put_Name(BSTR bstr) = 0;
    virtual HRESULT get_Name(BSTR* pbstr) = 0;
    virtual HRESULT put_Backable(VARIANT_BOOL b) = 0;
    virtual HRESULT get_Backable(VARIANT_BOOL* pb) = 0;
    virtual HRESULT put_NullIsEmpty(VARIANT_BOOL b) = 0;
    virtual HRESULT get_NullIsEmpty(VARIANT_BOOL* pb) = 0;
    virtual HRESULT put_SubmitDecodeOnPutInto(VARIANT_BOOL b) = 0;
    virtual HRESULT get_SubmitDecodeOnPutInto(VARIANT_BOOL* pb) = 0;
    virtual HRESULT put_CacheTemplate(VARIANT_BOOL b) = 0;
    virtual HRESULT get_CacheTemplate(VARIANT_BOOL* pb) = 0;
    virtual HRESULT put_SelfEncode(VARIANT_BOOL b) = 0;
    virtual HRESULT get_SelfEncode(VARIANT_BOOL* pb) = 0;
    virtual HRESULT AddScript(IDispatch* pScript) = 0;
    virtual HRESULT PutIntoBag(BSTR bstrName, VARIANT_BOOL bAsArray) = 0;
    virtual HRESULT PutIntoView(BSTR bstrName, VARIANT_BOOL bAsArray) = 0;
    virtual HRESULT PutIntoProp(BSTR bstrName, VARIANT_BOOL bAsArray) = 0;
    virtual HRESULT Write(BSTR bstrText, VARIANT_BOOL bEncode) = 0;
    virtual HRESULT Abandon() = 0;
    virtual HRESULT AddLog(BSTR bstrFirst, BSTR bstrSecond) = 0;
    virtual HRESULT FireEvent(BSTR bstrName, VARIANT* pValue, VARIANT* pResult, VARIANT_BOOL* pbFound) = 0;
    virtual HRESULT AddMessage(VARIANT* pMessage, BSTR bstrKey) = 0;
    virtual HRESULT MessageExists(VARIANT* pKey, VARIANT_BOOL* pbExists) = 0;
    virtual HRESULT ProcessTemplate(BSTR bstrTemplate) = 0;
    virtual HRESULT Process() = 0;
    virtual HRESULT ToArray(IDispatch* pList, SAFEARRAY** ppArray) = 0;
    virtual HRESULT ToCommand(BSTR bstrCommand, BSTR* pbstrFragment) = 0;
    virtual HRESULT ToParameter(BSTR bstrName, BSTR bstrValue, BSTR* pbstrFragment) = 0;
    virtual HRESULT Redirect(BSTR bstrLocation) = 0;
    virtual HRESULT DrawTemplate(BSTR bstrName) = 0;
    virtual HRESULT NewADOCommand(VARIANT* pConnection, BSTR bstrCommandText, long nCommandType,
                                  IDispatch** ppCommand) = 0;
    // The page-bound templator travels as its IDispatch: that interface is its primary base.
    virtual HRESULT NewTemplator(BSTR bstrEventPrefix, IDispatch** ppTemplator) = 0;
    virtual HRESULT NewMail(BSTR bstr, long n, IDispatch** ppMail) = 0;
};

struct IVesk : IUtilityOperations<IVeskOperations> {};

ZUL_DEFINE_UUIDOF(IVesk, IID_IVesk)
