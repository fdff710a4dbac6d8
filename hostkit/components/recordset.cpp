// The recordset a command returns, its Fields collection and its fields, and the mapping of
// values between scripts and the database.
//
// The recordset reads its statement forward only and keeps a copy of the current row, so a
// field read twice gives the same value. Once the last row is passed the statement is let
// go, with the connection's lease: an open recordset at its end holds no read lock.
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "hostkit/components/command_objects.h"
#include "hostkit/components/component_support.h"

namespace veskhost {

const IID IID_IHostRecordset = {0x859566CC, 0x071B, 0x4864, {0x9D, 0x72, 0x7B, 0xAD, 0x60, 0x8C, 0x4A, 0xF9}};
const IID IID_IHostFields = {0x7EC04C47, 0x058B, 0x4852, {0xA5, 0x76, 0xC5, 0x54, 0xE2, 0xDF, 0xD4, 0xFF}};
const IID IID_IHostField = {0x8CB90B1F, 0x84EF, 0x4330, {0xB2, 0xC4, 0x74, 0x05, 0xB0, 0x9C, 0x4E, 0x52}};

namespace {

// The data types a field reports, for the value it holds in the current row.
constexpr LONG adEmpty = 0, adDouble = 5, adInteger = 3, adBigInt = 20, adVarWChar = 202, adLongVarBinary = 205;

constexpr LONG adGetRowsRest = -1;

const HRESULT kClosed = ControlError(3704);
const HRESULT kNoCurrentRecord = ControlError(3021);
const HRESULT kNotInCollection = ControlError(3265);
const HRESULT kArgument = ControlError(3001);
constexpr const wchar_t* kClosedText = L"Operation is not allowed when the object is closed.";
constexpr const wchar_t* kNoCurrentRecordText =
    L"Either BOF or EOF is True, or the current record has been deleted. Requested operation requires a current "
    L"record.";
constexpr const wchar_t* kNotInCollectionText =
    L"Item cannot be found in the collection corresponding to the requested name or ordinal.";

bool SameFieldName(const std::wstring& a, const wchar_t* b, size_t length) {
    if (a.size() != length) return false;
    for (size_t i = 0; i < length; ++i) {
        wchar_t x = a[i], y = b[i];
        if (x >= L'A' && x <= L'Z') x = wchar_t(x + 32);
        if (y >= L'A' && y <= L'Z') y = wchar_t(y + 32);
        if (x != y) return false;
    }
    return true;
}

// ---- Recordset -------------------------------------------------------------------------

class CRecordset;

using automation::member_row;
using automation::ResultKind;
using R = IHostRecordset;

constexpr automation::MemberRow kRecordsetMembers[] = {
    member_row<R, &R::get_Collect, ResultKind::Variant>(L"Collect", DISPID_VALUE, kGetCall),
    member_row<R, &R::get_BOF>(L"BOF", 1, kGetCall),
    member_row<R, &R::get_EOF>(L"EOF", 2, kGetCall),
    member_row<R, &R::MoveNext>(L"MoveNext", 3, kGetCall),
    member_row<R, &R::get_Fields>(L"Fields", 4, kGetCall).Optional(automation::MemberDefault()),
    member_row<R, &R::GetRows, ResultKind::Variant>(L"GetRows", 5, kGetCall).Optional(adGetRowsRest),
    member_row<R, &R::Close>(L"Close", 6, kGetCall),
    member_row<R, &R::get_State>(L"State", 7, kGetCall),
    member_row<R, &R::get_RecordCount>(L"RecordCount", 8, kGetCall),
};

class CRecordset final : public GComponent<CRecordset, IHostRecordset, ISupportErrorInfo> {
public:
    static constexpr automation::MemberRows kMembers = kRecordsetMembers;

    CRecordset() = default;

    HRESULT Start(std::shared_ptr<db::Connection> connection, std::unique_ptr<db::Statement> statement, bool hasRow);

    // IHostRecordset
    HRESULT get_BOF(VARIANT_BOOL* pBOF) override;
    HRESULT get_EOF(VARIANT_BOOL* pEOF) override;
    HRESULT MoveNext() override;
    HRESULT get_Fields(VARIANT* Index, IDispatch** ppFields) override;
    HRESULT get_Collect(VARIANT* Index, VARIANT* pValue) override;
    HRESULT GetRows(LONG Rows, VARIANT* pRows) override;
    HRESULT Close() override;
    HRESULT get_State(LONG* pState) override;
    HRESULT get_RecordCount(LONG* pCount) override;

    // What the fields read.
    size_t FieldCount() const { return m_names.size(); }
    const std::wstring& FieldName(size_t index) const { return m_names[index]; }
    HRESULT FieldValue(size_t index, VARIANT* pValue);
    HRESULT FieldType(size_t index, LONG* pType);
    // The field an index names: a name (ignoring case) or a 0-based number.
    HRESULT FindField(const VARIANT* index, size_t* out);
    HRESULT RequireOpen() const {
        return m_bOpen ? S_OK : RaiseComponentError(kClosed, kRecordsetSource, kClosedText);
    }

private:
    HRESULT RequireRow() const;
    // Reads the next row into m_row, or reaches the end.
    HRESULT Advance();
    void ReadRow();
    void Finish();

    bool m_bOpen = false;
    bool m_bEOF = true;
    bool m_bEmpty = true;
    std::vector<std::wstring> m_names;
    std::vector<db::Value> m_row;
    // Declared before the statement, so the statement goes first.
    std::shared_ptr<db::Connection> m_connection;
    std::unique_ptr<db::Statement> m_statement;
};

// ---- Fields ----------------------------------------------------------------------------

using Fs = IHostFields;
constexpr automation::MemberRow kFieldsMembers[] = {
    member_row<Fs, &Fs::get_Item>(L"Item", DISPID_VALUE, kGetCall),
    member_row<Fs, &Fs::get_Count>(L"Count", 1, kGetCall),
};

using F = IHostField;
constexpr automation::MemberRow kFieldMembers[] = {
    member_row<F, &F::get_Value, ResultKind::Variant>(L"Value", DISPID_VALUE, kGetCall),
    member_row<F, &F::get_Name>(L"Name", 1, kGetCall),
    member_row<F, &F::get_Type>(L"Type", 2, kGetCall),
};

class CField final : public GComponent<CField, IHostField, ISupportErrorInfo> {
public:
    static constexpr automation::MemberRows kMembers = kFieldMembers;

    CField(CRecordset* recordset, size_t index) : m_spRecordset(CComPtr<CRecordset>::Share(recordset)), m_nIndex(index) {}

    HRESULT get_Name(BSTR* pName) override {
        if (pName == nullptr) return E_POINTER;
        *pName = nullptr;
        if (HRESULT hr = m_spRecordset->RequireOpen(); FAILED(hr)) return hr;
        const std::wstring& name = m_spRecordset->FieldName(m_nIndex);
        *pName = SysAllocStringLen(name.data(), UINT(name.size()));
        return *pName ? S_OK : E_OUTOFMEMORY;
    }
    HRESULT get_Value(VARIANT* pValue) override { return m_spRecordset->FieldValue(m_nIndex, pValue); }
    HRESULT get_Type(LONG* pType) override { return m_spRecordset->FieldType(m_nIndex, pType); }

private:
    CComPtr<CRecordset> m_spRecordset;
    size_t m_nIndex;
};

HRESULT MakeField(CRecordset* recordset, const VARIANT* index, IDispatch** ppField) {
    if (ppField == nullptr) return E_POINTER;
    *ppField = nullptr;
    size_t at = 0;
    if (HRESULT hr = recordset->FindField(index, &at); FAILED(hr)) return hr;
    return CField::CreateInstance(IID_IDispatch, reinterpret_cast<void**>(ppField), recordset, at);
}

class CFields final : public GComponent<CFields, IHostFields, ISupportErrorInfo> {
public:
    static constexpr automation::MemberRows kMembers = kFieldsMembers;

    explicit CFields(CRecordset* recordset) : m_spRecordset(CComPtr<CRecordset>::Share(recordset)) {}

    HRESULT get_Count(LONG* pCount) override {
        if (pCount == nullptr) return E_POINTER;
        if (HRESULT hr = m_spRecordset->RequireOpen(); FAILED(hr)) return hr;
        *pCount = LONG(m_spRecordset->FieldCount());
        return S_OK;
    }
    HRESULT get_Item(VARIANT* Index, IDispatch** ppField) override { return MakeField(m_spRecordset.Get(), Index, ppField); }

private:
    CComPtr<CRecordset> m_spRecordset;
};

// ---- Recordset members -----------------------------------------------------------------

HRESULT CRecordset::Start(std::shared_ptr<db::Connection> connection, std::unique_ptr<db::Statement> statement,
                          bool hasRow) {
    try {
        const int columns = statement->ColumnCount();
        for (int i = 0; i < columns; ++i) m_names.push_back(statement->ColumnName(i));
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
    m_connection = std::move(connection);
    m_statement = std::move(statement);
    m_bOpen = true;
    m_bEmpty = !hasRow;
    m_bEOF = !hasRow;
    if (hasRow) ReadRow();
    else Finish();
    return S_OK;
}

void CRecordset::ReadRow() {
    m_row.clear();
    for (size_t i = 0; i < m_names.size(); ++i) m_row.push_back(m_statement->Column(int(i)));
}

void CRecordset::Finish() {
    m_row.clear();
    m_statement.reset();
    m_connection.reset();
}

HRESULT CRecordset::RequireRow() const {
    if (HRESULT hr = RequireOpen(); FAILED(hr)) return hr;
    return m_bEOF ? RaiseComponentError(kNoCurrentRecord, kRecordsetSource, kNoCurrentRecordText) : S_OK;
}

HRESULT CRecordset::Advance() {
    std::wstring error;
    try {
        switch (m_statement->Next(&error)) {
        case db::Step::Row: ReadRow(); return S_OK;
        case db::Step::Done: break;
        case db::Step::Failed:
            // A statement that fails half way aborts the transaction it ran in.
            if (m_connection->InTransaction()) m_connection->Rollback();
            m_bEOF = true;
            Finish();
            return RaiseComponentError(E_FAIL, kCommandSource, error);
        }
    } catch (const std::bad_alloc&) {
        m_bEOF = true;
        Finish();
        return E_OUTOFMEMORY;
    }
    m_bEOF = true;
    Finish();
    return S_OK;
}

HRESULT CRecordset::get_BOF(VARIANT_BOOL* pBOF) {
    if (pBOF == nullptr) return E_POINTER;
    if (HRESULT hr = RequireOpen(); FAILED(hr)) return hr;
    *pBOF = m_bEmpty ? VARIANT_TRUE : VARIANT_FALSE;
    return S_OK;
}

HRESULT CRecordset::get_EOF(VARIANT_BOOL* pEOF) {
    if (pEOF == nullptr) return E_POINTER;
    if (HRESULT hr = RequireOpen(); FAILED(hr)) return hr;
    *pEOF = m_bEOF ? VARIANT_TRUE : VARIANT_FALSE;
    return S_OK;
}

HRESULT CRecordset::MoveNext() {
    if (HRESULT hr = RequireRow(); FAILED(hr)) return hr;
    return Advance();
}

HRESULT CRecordset::get_Fields(VARIANT* Index, IDispatch** ppFields) {
    if (ppFields == nullptr) return E_POINTER;
    *ppFields = nullptr;
    if (HRESULT hr = RequireOpen(); FAILED(hr)) return hr;
    if (Index != nullptr && Index->vt != VT_ERROR) return MakeField(this, Index, ppFields);
    return CFields::CreateInstance(IID_IDispatch, reinterpret_cast<void**>(ppFields), this);
}

HRESULT CRecordset::get_Collect(VARIANT* Index, VARIANT* pValue) {
    if (pValue == nullptr) return E_POINTER;
    VariantInit(pValue);
    size_t at = 0;
    if (HRESULT hr = FindField(Index, &at); FAILED(hr)) return hr;
    return FieldValue(at, pValue);
}

HRESULT CRecordset::FindField(const VARIANT* index, size_t* out) {
    if (HRESULT hr = RequireOpen(); FAILED(hr)) return hr;
    if (index == nullptr) return E_POINTER;
    if (index->vt == VT_BSTR) {
        const UINT length = SysStringLen(index->bstrVal);
        for (size_t i = 0; i < m_names.size(); ++i) {
            if (SameFieldName(m_names[i], index->bstrVal ? index->bstrVal : L"", length)) {
                *out = i;
                return S_OK;
            }
        }
        return RaiseComponentError(kNotInCollection, kRecordsetSource,
                                   std::wstring(kNotInCollectionText) + L"[" + ToWString(index->bstrVal) + L"]");
    }
    CComVariant number;
    if (FAILED(VariantChangeType(&number, index, 0, VT_I4)) || number.vt != VT_I4)
        return RaiseComponentError(kArgument, kRecordsetSource,
                                   L"A field is named by its name or its number from 0.");
    if (number.lVal < 0 || size_t(number.lVal) >= m_names.size())
        return RaiseComponentError(kNotInCollection, kRecordsetSource,
                                   std::wstring(kNotInCollectionText) + L"[" + std::to_wstring(number.lVal) + L"]");
    *out = size_t(number.lVal);
    return S_OK;
}

HRESULT CRecordset::FieldValue(size_t index, VARIANT* pValue) {
    if (pValue == nullptr) return E_POINTER;
    VariantInit(pValue);
    if (HRESULT hr = RequireRow(); FAILED(hr)) return hr;
    return VariantFromValue(m_row[index], pValue);
}

HRESULT CRecordset::FieldType(size_t index, LONG* pType) {
    if (pType == nullptr) return E_POINTER;
    if (HRESULT hr = RequireRow(); FAILED(hr)) return hr;
    const db::Value& value = m_row[index];
    if (const auto* number = std::get_if<int64_t>(&value))
        *pType = (*number >= INT32_MIN && *number <= INT32_MAX) ? adInteger : adBigInt;
    else if (std::holds_alternative<double>(value)) *pType = adDouble;
    else if (std::holds_alternative<std::string>(value)) *pType = adVarWChar;
    else if (std::holds_alternative<db::Blob>(value)) *pType = adLongVarBinary;
    else *pType = adEmpty;
    return S_OK;
}

HRESULT CRecordset::GetRows(LONG Rows, VARIANT* pRows) {
    if (pRows == nullptr) return E_POINTER;
    VariantInit(pRows);
    if (Rows == 0 || Rows < adGetRowsRest)
        return RaiseComponentError(kArgument, kRecordsetSource, L"GetRows takes a number of rows above 0, or -1 for all.");
    if (HRESULT hr = RequireRow(); FAILED(hr)) return hr;
    std::vector<std::vector<db::Value>> rows;
    try {
        while (!m_bEOF && (Rows == adGetRowsRest || rows.size() < size_t(Rows))) {
            rows.push_back(m_row);
            if (HRESULT hr = Advance(); FAILED(hr)) return hr;
        }
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
    if (rows.size() > 0x7FFFFFFF) return E_OUTOFMEMORY;
    // The published shape: the first index is the field, the second the row.
    SAFEARRAYBOUND bounds[2] = {{ULONG(m_names.size()), 0}, {ULONG(rows.size()), 0}};
    CComSafeArray array;
    array.Attach(SafeArrayCreate(VT_VARIANT, 2, bounds));
    if (!array) return E_OUTOFMEMORY;
    for (size_t r = 0; r < rows.size(); ++r) {
        for (size_t f = 0; f < m_names.size(); ++f) {
            LONG at[2] = {LONG(f), LONG(r)};
            void* slot = nullptr;
            if (FAILED(SafeArrayPtrOfIndex(array.Get(), at, &slot))) return E_UNEXPECTED;
            if (HRESULT hr = VariantFromValue(rows[r][f], static_cast<VARIANT*>(slot)); FAILED(hr)) return hr;
        }
    }
    pRows->vt = VT_ARRAY | VT_VARIANT;
    pRows->parray = array.Detach();
    return S_OK;
}

HRESULT CRecordset::Close() {
    if (HRESULT hr = RequireOpen(); FAILED(hr)) return hr;
    m_bOpen = false;
    m_bEOF = true;
    Finish();
    m_names.clear();
    return S_OK;
}

HRESULT CRecordset::get_State(LONG* pState) {
    if (pState == nullptr) return E_POINTER;
    *pState = m_bOpen ? 1 : 0;
    return S_OK;
}

// A forward-only recordset does not know its count before it has read every row.
HRESULT CRecordset::get_RecordCount(LONG* pCount) {
    if (pCount == nullptr) return E_POINTER;
    if (HRESULT hr = RequireOpen(); FAILED(hr)) return hr;
    *pCount = -1;
    return S_OK;
}

}  // namespace

HRESULT CreateRecordset(std::shared_ptr<db::Connection> connection, std::unique_ptr<db::Statement> statement,
                        bool hasRow, IDispatch** ppRecordset) {
    if (ppRecordset == nullptr) return E_POINTER;
    *ppRecordset = nullptr;
    CRecordset* recordset = new (std::nothrow) CRecordset();
    if (recordset == nullptr) return E_OUTOFMEMORY;
    HRESULT hr = recordset->Start(std::move(connection), std::move(statement), hasRow);
    if (SUCCEEDED(hr)) hr = recordset->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(ppRecordset));
    recordset->Release();
    return hr;
}

HRESULT CreateClosedRecordset(IDispatch** ppRecordset) {
    return CRecordset::CreateInstance(IID_IDispatch, reinterpret_cast<void**>(ppRecordset));
}

// ---- Values ----------------------------------------------------------------------------

HRESULT ValueFromVariant(const VARIANT* value, db::Value* out) {
    if (value == nullptr) return E_POINTER;
    CComVariant direct;
    if (value->vt & VT_BYREF) {
        if (FAILED(VariantCopyInd(&direct, value))) return DISP_E_TYPEMISMATCH;
        value = &direct;
    }
    switch (value->vt) {
    case VT_EMPTY:
    case VT_NULL:
    case VT_ERROR: *out = std::monostate{}; return S_OK;
    case VT_I1: *out = int64_t(value->cVal); return S_OK;
    case VT_I2: *out = int64_t(value->iVal); return S_OK;
    case VT_I4:
    case VT_INT: *out = int64_t(value->lVal); return S_OK;
    case VT_I8: *out = int64_t(value->llVal); return S_OK;
    case VT_UI1: *out = int64_t(value->bVal); return S_OK;
    case VT_UI2: *out = int64_t(value->uiVal); return S_OK;
    case VT_UI4:
    case VT_UINT: *out = int64_t(value->ulVal); return S_OK;
    case VT_UI8:
        if (value->ullVal > uint64_t(INT64_MAX)) return DISP_E_OVERFLOW;
        *out = int64_t(value->ullVal);
        return S_OK;
    case VT_BOOL: *out = int64_t(value->boolVal == VARIANT_TRUE ? 1 : 0); return S_OK;
    case VT_R4: *out = double(value->fltVal); return S_OK;
    case VT_R8: *out = value->dblVal; return S_OK;
    case VT_CY: *out = double(value->cyVal.int64) / 10000.0; return S_OK;
    case VT_DECIMAL:
    case VT_DATE: {
        // A decimal goes in as a real; a date as the runtime's text for it.
        CComVariant converted;
        const VARTYPE to = value->vt == VT_DECIMAL ? VT_R8 : VT_BSTR;
        if (FAILED(VariantChangeType(&converted, value, 0, to)) || converted.vt != to) return DISP_E_TYPEMISMATCH;
        return ValueFromVariant(&converted, out);
    }
    case VT_BSTR:
        *out = db::Utf8Of(value->bstrVal ? value->bstrVal : L"", SysStringLen(value->bstrVal));
        return S_OK;
    case VT_ARRAY | VT_UI1:
    case VT_ARRAY | VT_I1: {
        SAFEARRAY* array = value->parray;
        if (array == nullptr || SafeArrayGetDim(array) != 1) return DISP_E_TYPEMISMATCH;
        LONG lower = 0, upper = -1;
        SafeArrayGetLBound(array, 1, &lower);
        SafeArrayGetUBound(array, 1, &upper);
        const size_t count = upper >= lower ? size_t(int64_t(upper) - lower + 1) : 0;
        void* data = nullptr;
        if (FAILED(SafeArrayAccessData(array, &data))) return DISP_E_TYPEMISMATCH;
        db::Blob blob;
        blob.bytes.assign(static_cast<const char*>(data), count);
        SafeArrayUnaccessData(array);
        *out = std::move(blob);
        return S_OK;
    }
    default: return DISP_E_TYPEMISMATCH;
    }
}

HRESULT VariantFromValue(const db::Value& value, VARIANT* out) {
    VariantInit(out);
    if (const auto* number = std::get_if<int64_t>(&value)) {
        if (*number >= INT32_MIN && *number <= INT32_MAX) {
            out->vt = VT_I4;
            out->lVal = LONG(*number);
        } else {
            out->vt = VT_I8;
            out->llVal = *number;
        }
    } else if (const auto* real = std::get_if<double>(&value)) {
        out->vt = VT_R8;
        out->dblVal = *real;
    } else if (const auto* text = std::get_if<std::string>(&value)) {
        const std::wstring wide = db::WideOf(*text);
        if (wide.size() > 0x3FFFFFFE) return E_OUTOFMEMORY;
        BSTR bstr = SysAllocStringLen(wide.data(), UINT(wide.size()));
        if (bstr == nullptr) return E_OUTOFMEMORY;
        out->vt = VT_BSTR;
        out->bstrVal = bstr;
    } else if (const auto* blob = std::get_if<db::Blob>(&value)) {
        if (blob->bytes.size() > 0x7FFFFFFF) return E_OUTOFMEMORY;
        CComSafeArray array;
        array.Attach(SafeArrayCreateVector(VT_UI1, 0, ULONG(blob->bytes.size())));
        if (!array) return E_OUTOFMEMORY;
        void* data = nullptr;
        if (FAILED(SafeArrayAccessData(array.Get(), &data))) return E_UNEXPECTED;
        if (!blob->bytes.empty()) memcpy(data, blob->bytes.data(), blob->bytes.size());
        SafeArrayUnaccessData(array.Get());
        out->vt = VT_ARRAY | VT_UI1;
        out->parray = array.Detach();
    } else {
        out->vt = VT_NULL;
    }
    return S_OK;
}

}  // namespace veskhost
