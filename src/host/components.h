// The host components the library creates by class identifier: a stream, a database
// command and a dictionary, plus the host's short text-stream interface used as an output
// target. Published member orders; published 32-bit widths.
#pragma once

#include "oaidl.h"

namespace ADODB {

struct Stream;   // class tag: the stream component
struct Command;  // class tag: the database command component

using StreamTypeEnum = int32_t;
using LineSeparatorEnum = int32_t;
using ObjectStateEnum = int32_t;
using ConnectModeEnum = int32_t;
using StreamOpenOptionsEnum = int32_t;
using StreamWriteEnum = int32_t;
using StreamReadEnum = int32_t;
using SaveOptionsEnum = int32_t;
using CommandTypeEnum = int32_t;
using DataTypeEnum = int32_t;
using ParameterDirectionEnum = int32_t;

constexpr StreamTypeEnum adTypeBinary = 1;
constexpr StreamTypeEnum adTypeText = 2;
constexpr LineSeparatorEnum adLF = 10;
constexpr LineSeparatorEnum adCR = 13;
constexpr LineSeparatorEnum adCRLF = -1;
constexpr ObjectStateEnum adStateClosed = 0;
constexpr ObjectStateEnum adStateOpen = 1;
constexpr ConnectModeEnum adModeUnknown = 0;
constexpr ConnectModeEnum adModeRead = 1;
constexpr ConnectModeEnum adModeWrite = 2;
constexpr ConnectModeEnum adModeReadWrite = 3;
constexpr StreamOpenOptionsEnum adOpenStreamUnspecified = -1;
constexpr StreamWriteEnum adWriteChar = 0;
constexpr StreamWriteEnum adWriteLine = 1;
constexpr StreamReadEnum adReadAll = -1;
constexpr StreamReadEnum adReadLine = -2;
constexpr SaveOptionsEnum adSaveCreateNotExist = 1;
constexpr SaveOptionsEnum adSaveCreateOverWrite = 2;
constexpr CommandTypeEnum adCmdUnspecified = -1;
constexpr CommandTypeEnum adCmdText = 1;
constexpr CommandTypeEnum adCmdTable = 2;
constexpr CommandTypeEnum adCmdStoredProc = 4;
constexpr CommandTypeEnum adCmdUnknown = 8;

}  // namespace ADODB

namespace Scripting {

struct Dictionary;  // class tag: the dictionary component

using CompareMethod = int32_t;
constexpr CompareMethod BinaryCompare = 0;
constexpr CompareMethod TextCompare = 1;
constexpr CompareMethod DatabaseCompare = 2;

// The host's text stream as an output target: IUnknown-based, Write first. It has an
// identifier of its own, distinct from the published dual text-stream interface.
struct ITextStream : IUnknown {
    virtual HRESULT Write(BSTR Text) = 0;
};

}  // namespace Scripting

// The stream component's interface: IUnknown-based, then the published stream members.
struct IZULibStream : IUnknown {
    virtual HRESULT get_Size(LONG* pSize) = 0;
    virtual HRESULT get_EOS(VARIANT_BOOL* pEOS) = 0;
    virtual HRESULT get_Position(LONG* pPos) = 0;
    virtual HRESULT put_Position(LONG Position) = 0;
    virtual HRESULT get_Type(ADODB::StreamTypeEnum* ptype) = 0;
    virtual HRESULT put_Type(ADODB::StreamTypeEnum Type) = 0;
    virtual HRESULT get_LineSeparator(ADODB::LineSeparatorEnum* pLS) = 0;
    virtual HRESULT put_LineSeparator(ADODB::LineSeparatorEnum LineSeparator) = 0;
    virtual HRESULT get_State(ADODB::ObjectStateEnum* pState) = 0;
    virtual HRESULT get_Mode(ADODB::ConnectModeEnum* pMode) = 0;
    virtual HRESULT put_Mode(ADODB::ConnectModeEnum Mode) = 0;
    virtual HRESULT get_Charset(BSTR* pbstrCharset) = 0;
    virtual HRESULT put_Charset(BSTR Charset) = 0;
    virtual HRESULT Read(LONG NumBytes, VARIANT* pval) = 0;
    virtual HRESULT Open(VARIANT Source, ADODB::ConnectModeEnum Mode,
                         ADODB::StreamOpenOptionsEnum Options, BSTR UserName, BSTR Password) = 0;
    virtual HRESULT Close() = 0;
    virtual HRESULT SkipLine() = 0;
    virtual HRESULT Write(VARIANT Buffer) = 0;
    virtual HRESULT SetEOS() = 0;
    virtual HRESULT CopyTo(IZULibStream* DestStream, LONG CharNumber) = 0;
    virtual HRESULT Flush() = 0;
    virtual HRESULT SaveToFile(BSTR FileName, ADODB::SaveOptionsEnum Options) = 0;
    virtual HRESULT LoadFromFile(BSTR FileName) = 0;
    virtual HRESULT ReadText(LONG NumChars, BSTR* pbstr) = 0;
    virtual HRESULT WriteText(BSTR Data, ADODB::StreamWriteEnum Options) = 0;
    virtual HRESULT Cancel() = 0;
};

// The database command component's interface: dual, in the published command member order
// (the base object's Properties first). Related objects travel as IDispatch.
struct IZULDBCommand : IDispatch {
    virtual HRESULT get_Properties(IDispatch** ppvObject) = 0;
    virtual HRESULT get_ActiveConnection(IDispatch** ppvObject) = 0;
    virtual HRESULT putref_ActiveConnection(IDispatch* pCon) = 0;
    virtual HRESULT put_ActiveConnection(VARIANT vConn) = 0;
    virtual HRESULT get_CommandText(BSTR* pbstr) = 0;
    virtual HRESULT put_CommandText(BSTR bstr) = 0;
    virtual HRESULT get_CommandTimeout(LONG* pl) = 0;
    virtual HRESULT put_CommandTimeout(LONG Timeout) = 0;
    virtual HRESULT get_Prepared(VARIANT_BOOL* pfPrepared) = 0;
    virtual HRESULT put_Prepared(VARIANT_BOOL fPrepared) = 0;
    virtual HRESULT Execute(VARIANT* RecordsAffected, VARIANT* Parameters, LONG Options,
                            IDispatch** ppirs) = 0;
    virtual HRESULT CreateParameter(BSTR Name, ADODB::DataTypeEnum Type,
                                    ADODB::ParameterDirectionEnum Direction, LONG Size,
                                    VARIANT Value, IDispatch** ppiprm) = 0;
    virtual HRESULT get_Parameters(IDispatch** ppvObject) = 0;
    virtual HRESULT put_CommandType(ADODB::CommandTypeEnum lCmdType) = 0;
    virtual HRESULT get_CommandType(ADODB::CommandTypeEnum* plCmdType) = 0;
    virtual HRESULT get_Name(BSTR* pbstrName) = 0;
    virtual HRESULT put_Name(BSTR bstrName) = 0;
    virtual HRESULT get_State(LONG* plObjState) = 0;
    virtual HRESULT Cancel() = 0;
    virtual HRESULT putref_CommandStream(IUnknown* pStream) = 0;
    virtual HRESULT get_CommandStream(VARIANT* pvStream) = 0;
    virtual HRESULT put_Dialect(BSTR bstrDialect) = 0;
    virtual HRESULT get_Dialect(BSTR* pbstrDialect) = 0;
    virtual HRESULT put_NamedParameters(VARIANT_BOOL fNamedParameters) = 0;
    virtual HRESULT get_NamedParameters(VARIANT_BOOL* pfNamedParameters) = 0;
};

// The dictionary component's interface: dual, in the published dictionary member order.
// Keys and items are passed by pointer.
struct IZULibDictionary : IDispatch {
    virtual HRESULT putref_Item(VARIANT* Key, VARIANT* pRetItem) = 0;
    virtual HRESULT put_Item(VARIANT* Key, VARIANT* pRetItem) = 0;
    virtual HRESULT get_Item(VARIANT* Key, VARIANT* pRetItem) = 0;
    virtual HRESULT Add(VARIANT* Key, VARIANT* Item) = 0;
    virtual HRESULT get_Count(LONG* pCount) = 0;
    virtual HRESULT Exists(VARIANT* Key, VARIANT_BOOL* pExists) = 0;
    virtual HRESULT Items(VARIANT* pItemsArray) = 0;
    virtual HRESULT put_Key(VARIANT* Key, VARIANT* rhs) = 0;
    virtual HRESULT Keys(VARIANT* pKeysArray) = 0;
    virtual HRESULT Remove(VARIANT* Key) = 0;
    virtual HRESULT RemoveAll() = 0;
    virtual HRESULT put_CompareMode(Scripting::CompareMethod pcomp) = 0;
    virtual HRESULT get_CompareMode(Scripting::CompareMethod* pcomp) = 0;
    virtual HRESULT _NewEnum(IUnknown** ppunk) = 0;
    virtual HRESULT get_HashVal(VARIANT* Key, VARIANT* HashVal) = 0;
};
