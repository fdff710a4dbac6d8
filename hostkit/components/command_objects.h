// The objects the command component hands to scripts beside itself: the recordset its
// Execute returns with its fields, and its parameters. Scripts reach them late-bound; the
// interfaces are this host's own (with identifiers of its own), in the order of their member
// tables.
#pragma once

#include <memory>

#include "hostkit/components/db_provider.h"

namespace veskhost {

constexpr const wchar_t* kCommandSource = L"ADODB.Command";
constexpr const wchar_t* kRecordsetSource = L"ADODB.Recordset";

// Forward-only, read-only rows of one statement.
struct IHostRecordset : IDispatch {
    virtual HRESULT get_BOF(VARIANT_BOOL* pBOF) = 0;
    virtual HRESULT get_EOF(VARIANT_BOOL* pEOF) = 0;
    virtual HRESULT MoveNext() = 0;
    // Without an index the Fields collection, with one (a name or a 0-based number) that field.
    virtual HRESULT get_Fields(VARIANT* Index, IDispatch** ppFields) = 0;
    // The current row's value of a field, by name or number: the recordset's default member.
    virtual HRESULT get_Collect(VARIANT* Index, VARIANT* pValue) = 0;
    // Rows from the current one on (all when Rows is -1) as a fields x rows array.
    virtual HRESULT GetRows(LONG Rows, VARIANT* pRows) = 0;
    virtual HRESULT Close() = 0;
    virtual HRESULT get_State(LONG* pState) = 0;
    virtual HRESULT get_RecordCount(LONG* pCount) = 0;
};

struct IHostFields : IDispatch {
    virtual HRESULT get_Count(LONG* pCount) = 0;
    virtual HRESULT get_Item(VARIANT* Index, IDispatch** ppField) = 0;
};

// One column; its value is the recordset's current row's.
struct IHostField : IDispatch {
    virtual HRESULT get_Name(BSTR* pName) = 0;
    virtual HRESULT get_Value(VARIANT* pValue) = 0;
    virtual HRESULT get_Type(LONG* pType) = 0;
};

struct IHostParameters : IDispatch {
    virtual HRESULT get_Count(LONG* pCount) = 0;
    virtual HRESULT get_Item(VARIANT* Index, IDispatch** ppParameter) = 0;
    virtual HRESULT Append(IDispatch* Parameter) = 0;
    virtual HRESULT Delete(VARIANT* Index) = 0;
};

struct IHostParameter : IDispatch {
    virtual HRESULT get_Name(BSTR* pName) = 0;
    virtual HRESULT put_Name(BSTR Name) = 0;
    virtual HRESULT get_Type(LONG* pType) = 0;
    virtual HRESULT put_Type(LONG Type) = 0;
    virtual HRESULT get_Direction(LONG* pDirection) = 0;
    virtual HRESULT put_Direction(LONG Direction) = 0;
    virtual HRESULT get_Size(LONG* pSize) = 0;
    virtual HRESULT put_Size(LONG Size) = 0;
    virtual HRESULT get_Value(VARIANT* pValue) = 0;
    virtual HRESULT put_Value(VARIANT* Value) = 0;
};

extern const IID IID_IHostRecordset;
extern const IID IID_IHostFields;
extern const IID IID_IHostField;
extern const IID IID_IHostParameters;
extern const IID IID_IHostParameter;

// A recordset over a statement that has run to its first row (hasRow) or to its end; it
// holds the connection's lease until it is closed or reaches its end.
HRESULT CreateRecordset(std::shared_ptr<db::Connection> connection, std::unique_ptr<db::Statement> statement,
                        bool hasRow, IDispatch** ppRecordset);
// The closed recordset a statement without rows gives.
HRESULT CreateClosedRecordset(IDispatch** ppRecordset);

// A script value as a database value: numbers, Booleans (1 and 0), text, byte arrays, and
// Empty, Null or an omitted value as NULL. DISP_E_TYPEMISMATCH for anything else.
HRESULT ValueFromVariant(const VARIANT* value, db::Value* out);
// A database value as a script value: VT_I4 (VT_I8 past 32 bits), VT_R8, VT_BSTR,
// VT_ARRAY|VT_UI1, VT_NULL. out must be empty.
HRESULT VariantFromValue(const db::Value& value, VARIANT* out);

}  // namespace veskhost

ZUL_DEFINE_UUIDOF(veskhost::IHostRecordset, veskhost::IID_IHostRecordset)
ZUL_DEFINE_UUIDOF(veskhost::IHostFields, veskhost::IID_IHostFields)
ZUL_DEFINE_UUIDOF(veskhost::IHostField, veskhost::IID_IHostField)
ZUL_DEFINE_UUIDOF(veskhost::IHostParameters, veskhost::IID_IHostParameters)
ZUL_DEFINE_UUIDOF(veskhost::IHostParameter, veskhost::IID_IHostParameter)
