// The page objects of the current request: dual interfaces in the published member order
// of the page-server type library (own members from slot 7). Counts are published 32-bit.
#pragma once

#include "oaidl.h"

namespace PravoltTypeLibrary {

struct IStringList : IDispatch {
    virtual HRESULT get_Item(VARIANT i, VARIANT* pVariantReturn) = 0;
    virtual HRESULT get_Count(int* cStrRet) = 0;
    virtual HRESULT get__NewEnum(IUnknown** ppEnumReturn) = 0;
};

struct IRequestDictionary : IDispatch {
    virtual HRESULT get_Item(VARIANT Var, VARIANT* pVariantReturn) = 0;
    virtual HRESULT get__NewEnum(IUnknown** ppEnumReturn) = 0;
    virtual HRESULT get_Count(int* cStrRet) = 0;
    virtual HRESULT get_Key(VARIANT VarKey, VARIANT* pvar) = 0;
};

struct IReadCookie : IDispatch {
    virtual HRESULT get_Item(VARIANT Var, VARIANT* pVariantReturn) = 0;
    virtual HRESULT get_HasKeys(VARIANT_BOOL* pfHasKeys) = 0;
    virtual HRESULT get__NewEnum(IUnknown** ppEnumReturn) = 0;
    virtual HRESULT get_Count(int* cStrRet) = 0;
    virtual HRESULT get_Key(VARIANT VarKey, VARIANT* pvar) = 0;
};

struct IWriteCookie : IDispatch {
    virtual HRESULT put_Item(VARIANT key, BSTR bstrValue) = 0;
    virtual HRESULT put_Expires(DATE dtExpires) = 0;
    virtual HRESULT put_Domain(BSTR bstrDomain) = 0;
    virtual HRESULT put_Path(BSTR bstrPath) = 0;
    virtual HRESULT put_Secure(VARIANT_BOOL fSecure) = 0;
    virtual HRESULT get_HasKeys(VARIANT_BOOL* pfHasKeys) = 0;
    virtual HRESULT get__NewEnum(IUnknown** ppEnumReturn) = 0;
};

struct IRequest : IDispatch {
    virtual HRESULT get_Item(BSTR bstrVar, IDispatch** ppObjReturn) = 0;
    virtual HRESULT get_QueryString(IRequestDictionary** ppDictReturn) = 0;
    virtual HRESULT get_Form(IRequestDictionary** ppDictReturn) = 0;
    virtual HRESULT get_Body(IRequestDictionary** ppDictReturn) = 0;
    virtual HRESULT get_ServerVariables(IRequestDictionary** ppDictReturn) = 0;
    virtual HRESULT get_ClientCertificate(IRequestDictionary** ppDictReturn) = 0;
    virtual HRESULT get_Cookies(IRequestDictionary** ppDictReturn) = 0;
    virtual HRESULT get_TotalBytes(LONG* pcbTotal) = 0;
    virtual HRESULT BinaryRead(VARIANT* pvarCountToRead, VARIANT* pvarReturn) = 0;
};

struct IResponse : IDispatch {
    virtual HRESULT get_Buffer(VARIANT_BOOL* fIsBuffering) = 0;
    virtual HRESULT put_Buffer(VARIANT_BOOL fIsBuffering) = 0;
    virtual HRESULT get_ContentType(BSTR* pbstrContentTypeRet) = 0;
    virtual HRESULT put_ContentType(BSTR bstrContentType) = 0;
    virtual HRESULT get_Expires(VARIANT* pvarExpiresMinutesRet) = 0;
    virtual HRESULT put_Expires(LONG lExpiresMinutes) = 0;
    virtual HRESULT get_ExpiresAbsolute(VARIANT* pvarExpiresRet) = 0;
    virtual HRESULT put_ExpiresAbsolute(DATE dtExpires) = 0;
    virtual HRESULT get_Cookies(IRequestDictionary** ppCookies) = 0;
    virtual HRESULT get_Status(BSTR* pbstrStatusRet) = 0;
    virtual HRESULT put_Status(BSTR bstrStatus) = 0;
    virtual HRESULT Add(BSTR bstrHeaderValue, BSTR bstrHeaderName) = 0;  // value first
    virtual HRESULT AddHeader(BSTR bstrHeaderName, BSTR bstrHeaderValue) = 0;
    virtual HRESULT AppendToLog(BSTR bstrLogEntry) = 0;
    virtual HRESULT BinaryWrite(VARIANT varInput) = 0;
    virtual HRESULT Clear() = 0;
    virtual HRESULT End() = 0;
    virtual HRESULT Flush() = 0;
    virtual HRESULT Redirect(BSTR bstrURL) = 0;
    virtual HRESULT Write(VARIANT varText) = 0;
    virtual HRESULT WriteBlock(short iBlockNumber) = 0;
    virtual HRESULT IsClientConnected(VARIANT_BOOL* pfIsClientConnected) = 0;
    virtual HRESULT get_CharSet(BSTR* pbstrCharSetRet) = 0;
    virtual HRESULT put_CharSet(BSTR bstrCharSet) = 0;
    virtual HRESULT Pics(BSTR bstrHeaderValue) = 0;
    virtual HRESULT get_CacheControl(BSTR* pbstrCacheControl) = 0;
    virtual HRESULT put_CacheControl(BSTR bstrCacheControl) = 0;
    virtual HRESULT get_CodePage(LONG* plvar) = 0;
    virtual HRESULT put_CodePage(LONG lvar) = 0;
    virtual HRESULT get_LCID(LONG* plvar) = 0;
    virtual HRESULT put_LCID(LONG lvar) = 0;
};

struct IVariantDictionary : IDispatch {
    virtual HRESULT get_Item(VARIANT VarKey, VARIANT* pvar) = 0;
    virtual HRESULT put_Item(VARIANT VarKey, VARIANT var) = 0;
    virtual HRESULT putref_Item(VARIANT VarKey, VARIANT var) = 0;
    virtual HRESULT get_Key(VARIANT VarKey, VARIANT* pvar) = 0;
    virtual HRESULT get_Count(int* cStrRet) = 0;
    virtual HRESULT get__NewEnum(IUnknown** ppEnumReturn) = 0;
    virtual HRESULT Remove(VARIANT VarKey) = 0;
    virtual HRESULT RemoveAll() = 0;
};

struct ISessionObject : IDispatch {
    virtual HRESULT get_SessionID(BSTR* pbstrRet) = 0;
    virtual HRESULT get_Value(BSTR bstrValue, VARIANT* pvar) = 0;
    virtual HRESULT put_Value(BSTR bstrValue, VARIANT var) = 0;
    virtual HRESULT putref_Value(BSTR bstrValue, VARIANT var) = 0;
    virtual HRESULT get_Timeout(LONG* plvar) = 0;
    virtual HRESULT put_Timeout(LONG lvar) = 0;
    virtual HRESULT Abandon() = 0;
    virtual HRESULT get_CodePage(LONG* plvar) = 0;
    virtual HRESULT put_CodePage(LONG lvar) = 0;
    virtual HRESULT get_LCID(LONG* plvar) = 0;
    virtual HRESULT put_LCID(LONG lvar) = 0;
    virtual HRESULT get_StaticObjects(IVariantDictionary** ppTaggedObjects) = 0;
    virtual HRESULT get_Contents(IVariantDictionary** ppProperties) = 0;
};

struct IApplicationObject : IDispatch {
    virtual HRESULT get_Value(BSTR bstrValue, VARIANT* pvar) = 0;
    virtual HRESULT put_Value(BSTR bstrValue, VARIANT var) = 0;
    virtual HRESULT putref_Value(BSTR bstrValue, VARIANT var) = 0;
    virtual HRESULT Lock() = 0;
    virtual HRESULT UnLock() = 0;
    virtual HRESULT get_StaticObjects(IVariantDictionary** ppProperties) = 0;
    virtual HRESULT get_Contents(IVariantDictionary** ppProperties) = 0;
};

struct IASPError : IDispatch {
    virtual HRESULT get_ASPCode(BSTR* pbstrASPCode) = 0;
    virtual HRESULT get_Number(LONG* plNumber) = 0;
    virtual HRESULT get_Category(BSTR* pbstrSource) = 0;
    virtual HRESULT get_File(BSTR* pbstrFileName) = 0;
    virtual HRESULT get_Line(LONG* plLineNumber) = 0;
    virtual HRESULT get_Description(BSTR* pbstrDescription) = 0;
    virtual HRESULT get_ASPDescription(BSTR* pbstrDescription) = 0;
    virtual HRESULT get_Column(LONG* plColumn) = 0;
    virtual HRESULT get_Source(BSTR* pbstrLineText) = 0;
};

struct IServer : IDispatch {
    virtual HRESULT get_ScriptTimeout(LONG* plTimeoutSeconds) = 0;
    virtual HRESULT put_ScriptTimeout(LONG lTimeoutSeconds) = 0;
    virtual HRESULT CreateObject(BSTR bstrProgID, IDispatch** ppDispObject) = 0;
    virtual HRESULT HTMLEncode(BSTR bstrIn, BSTR* pbstrEncoded) = 0;
    virtual HRESULT MapPath(BSTR bstrLogicalPath, BSTR* pbstrPhysicalPath) = 0;
    virtual HRESULT URLEncode(BSTR bstrIn, BSTR* pbstrEncoded) = 0;
    virtual HRESULT URLPathEncode(BSTR bstrIn, BSTR* pbstrEncoded) = 0;
    virtual HRESULT Execute(BSTR bstrLogicalPath) = 0;
    virtual HRESULT Transfer(BSTR bstrLogicalPath) = 0;
    virtual HRESULT GetLastError(IASPError** ppASPErrorObject) = 0;
};

}  // namespace PravoltTypeLibrary
