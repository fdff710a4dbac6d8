// The database command component: SQL text with "?" parameters run on a pooled connection,
// answering the library through IZULDBCommand and scripts through IDispatch by name.
//
// A statement that fails (it does not prepare, its parameters do not fit, or it fails while
// running) rolls back a transaction the script had begun on the connection: a transaction is
// never left half done for a later COMMIT to keep, or open to hold the database.
#include <new>
#include <string>
#include <vector>

#include "hostkit/components/command_objects.h"
#include "hostkit/components/component_support.h"
#include "hostkit/components/components.h"
#include "hostkit/runtime/class_registry.h"

namespace veskhost {

const IID IID_IHostParameters = {0x293D891C, 0x245A, 0x470E, {0xBB, 0x7B, 0x43, 0xB5, 0x75, 0xF6, 0xD4, 0xBA}};
const IID IID_IHostParameter = {0xCB9D9592, 0x6E8F, 0x42A0, {0xA6, 0x87, 0xEA, 0x78, 0xB9, 0x38, 0xDC, 0xC6}};

namespace {

using namespace ADODB;

constexpr ParameterDirectionEnum adParamUnknown = 0, adParamInput = 1, adParamReturnValue = 4;
constexpr LONG adOptionUnspecified = -1, adExecuteNoRecords = 0x80;

const HRESULT kArgument = ControlError(3001);
const HRESULT kUnsupported = ControlError(3251);
const HRESULT kNotInCollection = ControlError(3265);
const HRESULT kNoConnection = ControlError(3709);
constexpr const wchar_t* kArgumentText =
    L"Arguments are of the wrong type, are out of acceptable range, or are in conflict with one another.";

HRESULT CopyText(const CComBSTR& text, BSTR* out) {
    if (out == nullptr) return E_POINTER;
    return text.CopyTo(out);
}

// ---- Parameter -------------------------------------------------------------------------

using automation::member_row;
using automation::ResultKind;
using P = IHostParameter;

constexpr automation::MemberRow kParameterMembers[] = {
    member_row<P, &P::put_Value>(L"Value", DISPID_VALUE, DISPATCH_PROPERTYPUT),
    member_row<P, &P::get_Value, ResultKind::Variant>(L"Value", DISPID_VALUE, kGetCall),
    member_row<P, &P::put_Name>(L"Name", 1, DISPATCH_PROPERTYPUT),
    member_row<P, &P::get_Name>(L"Name", 1, kGetCall),
    member_row<P, &P::put_Type>(L"Type", 2, DISPATCH_PROPERTYPUT),
    member_row<P, &P::get_Type>(L"Type", 2, kGetCall),
    member_row<P, &P::put_Direction>(L"Direction", 3, DISPATCH_PROPERTYPUT),
    member_row<P, &P::get_Direction>(L"Direction", 3, kGetCall),
    member_row<P, &P::put_Size>(L"Size", 4, DISPATCH_PROPERTYPUT),
    member_row<P, &P::get_Size>(L"Size", 4, kGetCall),
};

class CParameter final : public GComponent<CParameter, IHostParameter, ISupportErrorInfo> {
public:
    static constexpr automation::MemberRows kMembers = kParameterMembers;

    CParameter() = default;

    HRESULT get_Name(BSTR* pName) override { return CopyText(m_bstrName, pName); }
    HRESULT put_Name(BSTR Name) override {
        CComBSTR copy(Name, SysStringLen(Name));
        if (!copy) return E_OUTOFMEMORY;
        m_bstrName = std::move(copy);
        return S_OK;
    }
    HRESULT get_Type(LONG* pType) override { return Get(m_nType, pType); }
    // The declared type is kept for scripts to read back; a value binds as what it holds.
    HRESULT put_Type(LONG Type) override {
        m_nType = Type;
        return S_OK;
    }
    HRESULT get_Direction(LONG* pDirection) override { return Get(m_nDirection, pDirection); }
    HRESULT put_Direction(LONG Direction) override {
        if (Direction < adParamUnknown || Direction > adParamReturnValue)
            return RaiseComponentError(kArgument, kCommandSource, kArgumentText);
        m_nDirection = Direction;
        return S_OK;
    }
    HRESULT get_Size(LONG* pSize) override { return Get(m_nSize, pSize); }
    HRESULT put_Size(LONG Size) override {
        if (Size < 0) return RaiseComponentError(kArgument, kCommandSource, kArgumentText);
        m_nSize = Size;
        return S_OK;
    }
    HRESULT get_Value(VARIANT* pValue) override {
        if (pValue == nullptr) return E_POINTER;
        VariantInit(pValue);
        return VariantCopy(pValue, &m_value);
    }
    HRESULT put_Value(VARIANT* Value) override {
        if (Value == nullptr) return E_POINTER;
        CComVariant copy;
        // An omitted value is no value.
        if (Value->vt != VT_ERROR) {
            if (HRESULT hr = VariantCopyInd(&copy, Value); FAILED(hr)) return hr;
        }
        // The old value may be an object whose release runs a script that reads this
        // parameter: it leaves the slot first.
        CComVariant old(std::move(m_value));
        m_value = std::move(copy);
        return S_OK;
    }

    const VARIANT& Value() const { return m_value; }
    bool IsInput() const { return m_nDirection == adParamInput || m_nDirection == adParamUnknown; }
    bool NameIs(BSTR name) const {
        return SysStringLen(name) == m_bstrName.Length() && ToWString(name) == ToWString(m_bstrName);
    }

private:
    static HRESULT Get(LONG value, LONG* out) {
        if (out == nullptr) return E_POINTER;
        *out = value;
        return S_OK;
    }

    CComBSTR m_bstrName;
    LONG m_nType = 0;
    LONG m_nDirection = adParamInput;
    LONG m_nSize = 0;
    CComVariant m_value;
};

// ---- Parameters ------------------------------------------------------------------------

using Ps = IHostParameters;
constexpr automation::MemberRow kParametersMembers[] = {
    member_row<Ps, &Ps::get_Item>(L"Item", DISPID_VALUE, kGetCall),
    member_row<Ps, &Ps::get_Count>(L"Count", 1, kGetCall),
    member_row<Ps, &Ps::Append>(L"Append", 2, kGetCall),
    member_row<Ps, &Ps::Delete>(L"Delete", 3, kGetCall),
};

class CParameters final : public GComponent<CParameters, IHostParameters, ISupportErrorInfo> {
public:
    static constexpr automation::MemberRows kMembers = kParametersMembers;

    CParameters() = default;

    HRESULT get_Count(LONG* pCount) override {
        if (pCount == nullptr) return E_POINTER;
        *pCount = LONG(m_items.size());
        return S_OK;
    }
    HRESULT get_Item(VARIANT* Index, IDispatch** ppParameter) override {
        if (ppParameter == nullptr) return E_POINTER;
        *ppParameter = nullptr;
        size_t at = 0;
        if (HRESULT hr = Find(Index, &at); FAILED(hr)) return hr;
        return m_items[at]->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(ppParameter));
    }
    HRESULT Append(IDispatch* Parameter) override {
        CComPtr<IHostParameter> spParameter;
        if (Parameter == nullptr || FAILED(Parameter->QueryInterface(IID_IHostParameter, spParameter.ReceiveVoid())) ||
            !spParameter)
            return RaiseComponentError(kArgument, kCommandSource, L"Append takes a parameter made by CreateParameter.");
        try {
            m_items.push_back(std::move(spParameter));
        } catch (const std::bad_alloc&) {
            return E_OUTOFMEMORY;
        }
        return S_OK;
    }
    HRESULT Delete(VARIANT* Index) override {
        size_t at = 0;
        if (HRESULT hr = Find(Index, &at); FAILED(hr)) return hr;
        // Out of the collection before it is released (its release may call back).
        CComPtr<IHostParameter> removed(std::move(m_items[at]));
        m_items.erase(m_items.begin() + ptrdiff_t(at));
        return S_OK;
    }

    // The values to bind, in order; a parameter that is not an input is refused.
    HRESULT Values(std::vector<db::Value>* out) {
        // A snapshot, so the walk holds every parameter it reads.
        std::vector<CComPtr<IHostParameter>> snapshot;
        for (const auto& item : m_items) snapshot.push_back(CComPtr<IHostParameter>::Share(item.Get()));
        for (size_t i = 0; i < snapshot.size(); ++i) {
            const auto* parameter = static_cast<CParameter*>(snapshot[i].Get());
            if (!parameter->IsInput())
                return RaiseComponentError(kUnsupported, kCommandSource,
                                           L"Only input parameters are supported.[" + std::to_wstring(i) + L"]");
            db::Value value;
            if (FAILED(ValueFromVariant(&parameter->Value(), &value)))
                return RaiseComponentError(kArgument, kCommandSource,
                                           L"A parameter holds a value the database cannot store.[" +
                                               std::to_wstring(i) + L"]");
            out->push_back(std::move(value));
        }
        return S_OK;
    }

private:
    // A parameter by its 0-based number or its name.
    HRESULT Find(const VARIANT* index, size_t* out) {
        if (index == nullptr) return E_POINTER;
        if (index->vt == VT_BSTR) {
            for (size_t i = 0; i < m_items.size(); ++i) {
                if (static_cast<CParameter*>(m_items[i].Get())->NameIs(index->bstrVal)) {
                    *out = i;
                    return S_OK;
                }
            }
        } else {
            CComVariant number;
            if (SUCCEEDED(VariantChangeType(&number, index, 0, VT_I4)) && number.vt == VT_I4 && number.lVal >= 0 &&
                size_t(number.lVal) < m_items.size()) {
                *out = size_t(number.lVal);
                return S_OK;
            }
        }
        return RaiseComponentError(kNotInCollection, kCommandSource,
                                   L"Item cannot be found in the collection corresponding to the requested name or "
                                   L"ordinal.");
    }

    std::vector<CComPtr<IHostParameter>> m_items;
};

// ---- Command ---------------------------------------------------------------------------

class CHostCommand;

HRESULT ReadConnectionString(automation::MemberCall& call);
HRESULT InvokeExecute(automation::MemberCall& call);

using C = IZULDBCommand;
using automation::ArgKind;

constexpr automation::MemberRow kCommandMembers[] = {
    member_row<C, &C::put_ActiveConnection>(L"ActiveConnection", 1, DISPATCH_PROPERTYPUT),
    member_row<C, &C::putref_ActiveConnection>(L"ActiveConnection", 1, DISPATCH_PROPERTYPUTREF),
    automation::raw_row(L"ActiveConnection", 1, kGetCall, &ReadConnectionString),
    member_row<C, &C::put_CommandText>(L"CommandText", 2, DISPATCH_PROPERTYPUT),
    member_row<C, &C::get_CommandText>(L"CommandText", 2, kGetCall),
    member_row<C, &C::put_CommandTimeout>(L"CommandTimeout", 3, DISPATCH_PROPERTYPUT),
    member_row<C, &C::get_CommandTimeout>(L"CommandTimeout", 3, kGetCall),
    member_row<C, &C::put_Prepared>(L"Prepared", 4, DISPATCH_PROPERTYPUT),
    member_row<C, &C::get_Prepared>(L"Prepared", 4, kGetCall),
    automation::raw_row(L"Execute", 5, kGetCall, &InvokeExecute, {ArgKind::Variant, ArgKind::Variant, ArgKind::I4})
        .Optional(automation::MemberDefault(), automation::MemberDefault(), -1),
    member_row<C, &C::CreateParameter>(L"CreateParameter", 6, kGetCall)
        .Optional(L"", 0, adParamInput, 0, automation::MemberDefault()),
    member_row<C, &C::get_Parameters>(L"Parameters", 7, kGetCall),
    member_row<C, &C::put_CommandType>(L"CommandType", 8, DISPATCH_PROPERTYPUT),
    member_row<C, &C::get_CommandType>(L"CommandType", 8, kGetCall),
    member_row<C, &C::put_Name>(L"Name", 9, DISPATCH_PROPERTYPUT),
    member_row<C, &C::get_Name>(L"Name", 9, kGetCall),
    member_row<C, &C::get_State>(L"State", 10, kGetCall),
    member_row<C, &C::Cancel>(L"Cancel", 11, kGetCall),
    member_row<C, &C::get_Properties>(L"Properties", 12, kGetCall),
    member_row<C, &C::put_Dialect>(L"Dialect", 13, DISPATCH_PROPERTYPUT),
    member_row<C, &C::get_Dialect>(L"Dialect", 13, kGetCall),
    member_row<C, &C::put_NamedParameters>(L"NamedParameters", 14, DISPATCH_PROPERTYPUT),
    member_row<C, &C::get_NamedParameters>(L"NamedParameters", 14, kGetCall),
};

class CHostCommand final : public GComponent<CHostCommand, IZULDBCommand, ISupportErrorInfo> {
public:
    static constexpr automation::MemberRows kMembers = kCommandMembers;

    CHostCommand() = default;
    static HRESULT Create(REFIID riid, void** ppv);

    // IZULDBCommand
    HRESULT get_Properties(IDispatch** ppvObject) override;
    HRESULT get_ActiveConnection(IDispatch** ppvObject) override;
    HRESULT putref_ActiveConnection(IDispatch* pCon) override;
    HRESULT put_ActiveConnection(VARIANT vConn) override;
    HRESULT get_CommandText(BSTR* pbstr) override { return CopyText(m_bstrText, pbstr); }
    HRESULT put_CommandText(BSTR bstr) override;
    HRESULT get_CommandTimeout(LONG* pl) override;
    HRESULT put_CommandTimeout(LONG Timeout) override;
    HRESULT get_Prepared(VARIANT_BOOL* pfPrepared) override;
    HRESULT put_Prepared(VARIANT_BOOL fPrepared) override;
    HRESULT Execute(VARIANT* RecordsAffected, VARIANT* Parameters, LONG Options, IDispatch** ppirs) override;
    HRESULT CreateParameter(BSTR Name, DataTypeEnum Type, ParameterDirectionEnum Direction, LONG Size, VARIANT Value,
                            IDispatch** ppiprm) override;
    HRESULT get_Parameters(IDispatch** ppvObject) override;
    HRESULT put_CommandType(CommandTypeEnum lCmdType) override;
    HRESULT get_CommandType(CommandTypeEnum* plCmdType) override;
    HRESULT get_Name(BSTR* pbstrName) override { return CopyText(m_bstrName, pbstrName); }
    HRESULT put_Name(BSTR bstrName) override;
    HRESULT get_State(LONG* plObjState) override;
    HRESULT Cancel() override { return S_OK; }
    HRESULT putref_CommandStream(IUnknown* pStream) override;
    HRESULT get_CommandStream(VARIANT* pvStream) override;
    HRESULT put_Dialect(BSTR bstrDialect) override;
    HRESULT get_Dialect(BSTR* pbstrDialect) override { return CopyText(m_bstrDialect, pbstrDialect); }
    HRESULT put_NamedParameters(VARIANT_BOOL fNamedParameters) override;
    HRESULT get_NamedParameters(VARIANT_BOOL* pfNamedParameters) override;

    const std::wstring& ConnectionString() const { return m_strConnection; }

private:
    // Connects to what a connection string names; an empty one disconnects.
    HRESULT Connect(std::wstring text);
    HRESULT StatementFailed(const std::shared_ptr<db::Connection>& connection, const std::wstring& message);
    HRESULT ArgumentValues(const VARIANT* parameters, std::vector<db::Value>* out);

    std::wstring m_strConnection;
    std::shared_ptr<db::Connection> m_connection;
    CComBSTR m_bstrText;
    CComBSTR m_bstrName;
    CComBSTR m_bstrDialect;
    CommandTypeEnum m_nType = adCmdText;
    LONG m_nTimeout = 30;
    bool m_bPrepared = false;
    CComPtr<CParameters> m_spParameters;
};

HRESULT CHostCommand::Create(REFIID riid, void** ppv) {
    CHostCommand* command = new (std::nothrow) CHostCommand();
    if (command == nullptr) return E_OUTOFMEMORY;
    CParameters* parameters = new (std::nothrow) CParameters();
    command->m_spParameters.Attach(parameters);
    const HRESULT hr = parameters ? command->QueryInterface(riid, ppv) : E_OUTOFMEMORY;
    command->Release();
    return hr;
}

// ---- Connection ------------------------------------------------------------------------

HRESULT CHostCommand::Connect(std::wstring text) {
    // A failed connect leaves the command without a connection, so that nothing runs on a
    // database the script no longer named.
    std::shared_ptr<db::Connection> old = std::move(m_connection);
    m_strConnection.clear();
    if (text.empty()) return S_OK;
    std::shared_ptr<db::Connection> connection;
    const db::Status status = db::OpenConnection(text, &connection);
    if (!status.ok()) return RaiseComponentError(status.hr, kCommandSource, status.message);
    m_connection = std::move(connection);
    m_strConnection = std::move(text);
    return S_OK;
}

HRESULT CHostCommand::put_ActiveConnection(VARIANT vConn) {
    const VARIANT* value = automation::CInvokeArgs::Follow(&vConn);
    if (value->vt == VT_EMPTY || value->vt == VT_NULL) return Connect(std::wstring());
    if (value->vt == VT_DISPATCH || value->vt == VT_UNKNOWN) {
        CComPtr<IDispatch> spObject;
        if (value->punkVal) value->punkVal->QueryInterface(IID_IDispatch, spObject.ReceiveVoid());
        return putref_ActiveConnection(spObject.Get());
    }
    CComVariant text;
    if (FAILED(VariantChangeType(&text, value, 0, VT_BSTR)) || text.vt != VT_BSTR) {
        Connect(std::wstring());
        return RaiseComponentError(kArgument, kCommandSource,
                                   L"ActiveConnection takes a connection string, such as \"Data Source=site.db\".");
    }
    return Connect(ToWString(text.bstrVal));
}

// A connection object is taken by its connection string, read by name. Whatever cannot name a
// database leaves the command unconnected, as a failed connect does.
HRESULT CHostCommand::putref_ActiveConnection(IDispatch* pCon) {
    if (pCon == nullptr) return Connect(std::wstring());
    CComPtr<IDispatch> keep = CComPtr<IDispatch>::Share(pCon);
    CComVariant text;
    const HRESULT hr = automation::InvokeByName(pCon, L"ConnectionString", DISPATCH_PROPERTYGET, {}, &text);
    if (FAILED(hr) || FAILED(text.ChangeType(VT_BSTR))) {
        Connect(std::wstring());
        return RaiseComponentError(kArgument, kCommandSource,
                                   L"ActiveConnection takes a connection string, or an object with a ConnectionString.");
    }
    return Connect(ToWString(text.bstrVal));
}

HRESULT CHostCommand::get_ActiveConnection(IDispatch** ppvObject) {
    if (ppvObject) *ppvObject = nullptr;
    return RaiseComponentError(kUnsupported, kCommandSource,
                               L"This command keeps no connection object; ActiveConnection read by name gives its "
                               L"connection string.");
}

HRESULT ReadConnectionString(automation::MemberCall& call) {
    const auto* command = static_cast<CHostCommand*>(static_cast<IZULDBCommand*>(call.instance));
    if (call.result == nullptr) return S_OK;
    CComVariant text;
    if (HRESULT hr = text.SetString(command->ConnectionString().c_str()); FAILED(hr)) return hr;
    text.Detach(call.result);
    return S_OK;
}

// ---- Properties ------------------------------------------------------------------------

HRESULT CHostCommand::put_CommandText(BSTR bstr) {
    CComBSTR copy(bstr, SysStringLen(bstr));
    if (!copy) return E_OUTOFMEMORY;
    m_bstrText = std::move(copy);
    return S_OK;
}

HRESULT CHostCommand::get_CommandTimeout(LONG* pl) {
    if (pl == nullptr) return E_POINTER;
    *pl = m_nTimeout;
    return S_OK;
}

HRESULT CHostCommand::put_CommandTimeout(LONG Timeout) {
    if (Timeout < 0) return RaiseComponentError(kArgument, kCommandSource, kArgumentText);
    m_nTimeout = Timeout;
    return S_OK;
}

HRESULT CHostCommand::get_Prepared(VARIANT_BOOL* pfPrepared) {
    if (pfPrepared == nullptr) return E_POINTER;
    *pfPrepared = m_bPrepared ? VARIANT_TRUE : VARIANT_FALSE;
    return S_OK;
}

HRESULT CHostCommand::put_Prepared(VARIANT_BOOL fPrepared) {
    m_bPrepared = fPrepared == VARIANT_TRUE;
    return S_OK;
}

HRESULT CHostCommand::put_CommandType(CommandTypeEnum lCmdType) {
    if (lCmdType != adCmdText)
        return RaiseComponentError(kArgument, kCommandSource,
                                   L"CommandType takes 1 (adCmdText): this command runs SQL text.[" +
                                       std::to_wstring(lCmdType) + L"]");
    m_nType = lCmdType;
    return S_OK;
}

HRESULT CHostCommand::get_CommandType(CommandTypeEnum* plCmdType) {
    if (plCmdType == nullptr) return E_POINTER;
    *plCmdType = m_nType;
    return S_OK;
}

HRESULT CHostCommand::put_Name(BSTR bstrName) {
    CComBSTR copy(bstrName, SysStringLen(bstrName));
    if (!copy) return E_OUTOFMEMORY;
    m_bstrName = std::move(copy);
    return S_OK;
}

HRESULT CHostCommand::put_Dialect(BSTR bstrDialect) {
    CComBSTR copy(bstrDialect, SysStringLen(bstrDialect));
    if (!copy) return E_OUTOFMEMORY;
    m_bstrDialect = std::move(copy);
    return S_OK;
}

// The command runs one statement at a time and returns when it is done.
HRESULT CHostCommand::get_State(LONG* plObjState) {
    if (plObjState == nullptr) return E_POINTER;
    *plObjState = adStateClosed;
    return S_OK;
}

HRESULT CHostCommand::get_Properties(IDispatch** ppvObject) {
    if (ppvObject) *ppvObject = nullptr;
    return RaiseComponentError(kUnsupported, kCommandSource, L"This command has no provider properties to show.");
}

HRESULT CHostCommand::putref_CommandStream(IUnknown*) {
    return RaiseComponentError(kUnsupported, kCommandSource, L"This command takes its SQL from CommandText only.");
}

HRESULT CHostCommand::get_CommandStream(VARIANT* pvStream) {
    if (pvStream) VariantInit(pvStream);
    return RaiseComponentError(kUnsupported, kCommandSource, L"This command takes its SQL from CommandText only.");
}

HRESULT CHostCommand::put_NamedParameters(VARIANT_BOOL fNamedParameters) {
    if (fNamedParameters == VARIANT_FALSE) return S_OK;
    return RaiseComponentError(kUnsupported, kCommandSource,
                               L"Parameters bind to the \"?\" placeholders in order; named parameters are not "
                               L"supported.");
}

HRESULT CHostCommand::get_NamedParameters(VARIANT_BOOL* pfNamedParameters) {
    if (pfNamedParameters == nullptr) return E_POINTER;
    *pfNamedParameters = VARIANT_FALSE;
    return S_OK;
}

// ---- Parameters and execution ----------------------------------------------------------

HRESULT CHostCommand::CreateParameter(BSTR Name, DataTypeEnum Type, ParameterDirectionEnum Direction, LONG Size,
                                      VARIANT Value, IDispatch** ppiprm) {
    if (ppiprm == nullptr) return E_POINTER;
    *ppiprm = nullptr;
    CComPtr<IHostParameter> spParameter;
    if (HRESULT hr = CParameter::CreateInstance(IID_IHostParameter, spParameter.ReceiveVoid()); FAILED(hr)) return hr;
    if (HRESULT hr = spParameter->put_Name(Name); FAILED(hr)) return hr;
    if (HRESULT hr = spParameter->put_Type(Type); FAILED(hr)) return hr;
    if (HRESULT hr = spParameter->put_Direction(Direction); FAILED(hr)) return hr;
    if (HRESULT hr = spParameter->put_Size(Size); FAILED(hr)) return hr;
    if (HRESULT hr = spParameter->put_Value(&Value); FAILED(hr)) return hr;
    return spParameter->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(ppiprm));
}

HRESULT CHostCommand::get_Parameters(IDispatch** ppvObject) {
    if (ppvObject == nullptr) return E_POINTER;
    return m_spParameters->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(ppvObject));
}

HRESULT CHostCommand::StatementFailed(const std::shared_ptr<db::Connection>& connection, const std::wstring& message) {
    if (connection->InTransaction()) connection->Rollback();
    return RaiseComponentError(E_FAIL, kCommandSource, message);
}

// The values an Execute call passes: an array (of any lower bound) gives one value a
// placeholder, a single value one placeholder.
HRESULT CHostCommand::ArgumentValues(const VARIANT* parameters, std::vector<db::Value>* out) {
    const VARIANT* given = automation::CInvokeArgs::Follow(const_cast<VARIANT*>(parameters));
    SAFEARRAY* array = nullptr;
    if (given->vt == (VT_ARRAY | VT_VARIANT)) array = given->parray;
    else if (given->vt == (VT_BYREF | VT_ARRAY | VT_VARIANT)) array = given->pparray ? *given->pparray : nullptr;
    else if (given->vt & VT_ARRAY)
        return RaiseComponentError(kArgument, kCommandSource, L"Execute takes its parameters as an array of values.");
    if (array == nullptr) {
        db::Value value;
        if (FAILED(ValueFromVariant(given, &value)))
            return RaiseComponentError(kArgument, kCommandSource, L"A parameter holds a value the database cannot store.[0]");
        out->push_back(std::move(value));
        return S_OK;
    }
    if (SafeArrayGetDim(array) != 1)
        return RaiseComponentError(kArgument, kCommandSource, L"Execute takes its parameters as a one-dimensional array.");
    LONG lower = 0, upper = -1;
    SafeArrayGetLBound(array, 1, &lower);
    SafeArrayGetUBound(array, 1, &upper);
    for (int64_t i = lower; i <= upper; ++i) {
        LONG at = LONG(i);
        void* slot = nullptr;
        if (FAILED(SafeArrayPtrOfIndex(array, &at, &slot))) return E_UNEXPECTED;
        db::Value value;
        if (FAILED(ValueFromVariant(static_cast<const VARIANT*>(slot), &value)))
            return RaiseComponentError(kArgument, kCommandSource,
                                       L"A parameter holds a value the database cannot store.[" +
                                           std::to_wstring(i - lower) + L"]");
        out->push_back(std::move(value));
    }
    return S_OK;
}

HRESULT CHostCommand::Execute(VARIANT* RecordsAffected, VARIANT* Parameters, LONG Options, IDispatch** ppirs) {
    if (ppirs == nullptr) return E_POINTER;
    *ppirs = nullptr;
    if (RecordsAffected) VariantInit(RecordsAffected);
    // Held for the call: the statement's users keep the connection, whatever the command does.
    const std::shared_ptr<db::Connection> connection = m_connection;
    if (!connection)
        return RaiseComponentError(kNoConnection, kCommandSource,
                                   L"The connection cannot be used to perform this operation. It is either closed or "
                                   L"invalid in this context.");
    if (m_bstrText.IsEmpty())
        return RaiseComponentError(E_FAIL, kCommandSource, L"Command text was not set for the command object.");

    std::vector<db::Value> values;
    try {
        const bool given = Parameters != nullptr && automation::CInvokeArgs::Follow(Parameters)->vt != VT_ERROR &&
                           automation::CInvokeArgs::Follow(Parameters)->vt != VT_EMPTY;
        if (HRESULT hr = given ? ArgumentValues(Parameters, &values) : m_spParameters->Values(&values); FAILED(hr))
            return hr;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }

    std::unique_ptr<db::Statement> statement;
    const std::string sql = db::Utf8Of(m_bstrText.c_str(), m_bstrText.Length());
    if (db::Status status = connection->Prepare(sql, &statement); !status.ok())
        return StatementFailed(connection, status.message);
    const int placeholders = statement->ParameterCount();
    if (size_t(placeholders) != values.size())
        return StatementFailed(connection, L"The command text has " + std::to_wstring(placeholders) +
                                               L" parameter(s) and the command gives " +
                                               std::to_wstring(values.size()) + L".");
    for (size_t i = 0; i < values.size(); ++i) {
        if (db::Status status = statement->Bind(int(i), values[i]); !status.ok())
            return StatementFailed(connection, status.message);
    }

    // -1 leaves every option unspecified.
    const bool noRecords = Options != adOptionUnspecified && (Options & adExecuteNoRecords) != 0;
    std::wstring error;
    db::Step step = statement->Next(&error);
    const bool rows = statement->ColumnCount() > 0;
    if (noRecords && rows) {
        while (step == db::Step::Row) step = statement->Next(&error);
    }
    if (step == db::Step::Failed) return StatementFailed(connection, error);
    if (RecordsAffected) {
        RecordsAffected->vt = VT_I4;
        RecordsAffected->lVal = rows ? -1 : LONG(statement->Changes());
    }
    if (noRecords) return S_OK;
    if (!rows) return CreateClosedRecordset(ppirs);
    return CreateRecordset(connection, std::move(statement), step == db::Step::Row, ppirs);
}

// Execute by name: RecordsAffected comes back through a by-reference argument (a plain value
// is left alone), the recordset as the result.
HRESULT InvokeExecute(automation::MemberCall& call) {
    auto* command = static_cast<CHostCommand*>(static_cast<IZULDBCommand*>(call.instance));
    automation::MemberArg parameters, options;
    if (HRESULT hr = automation::read_input(call, 1, parameters); FAILED(hr)) return hr;
    if (HRESULT hr = automation::read_input(call, 2, options); FAILED(hr)) return hr;
    CComVariant affected;
    CComPtr<IDispatch> spRecordset;
    const HRESULT hr = command->Execute(&affected, parameters.pvar, options.coerced.lVal, spRecordset.Receive());
    if (FAILED(hr)) return hr;
    VARIANT* target = call.args.RawArg(0);
    if (target && target->vt == (VT_BYREF | VT_VARIANT) && target->pvarVal) {
        // The variable's old value leaves it before it is released.
        CComVariant old;
        old.Attach(target->pvarVal);
        affected.Detach(target->pvarVal);
    } else if (target && target->vt == (VT_BYREF | VT_I4) && target->plVal) {
        *target->plVal = affected.lVal;
    }
    if (call.result) {
        call.result->vt = VT_DISPATCH;
        call.result->pdispVal = spRecordset.Detach();
    }
    return S_OK;
}

[[maybe_unused]] const bool g_bCommandRegistered =
    RegisterClassCreator(CLSID_Command, L"ADODB.Command", &CreateHostCommand);

}  // namespace

HRESULT CreateHostCommand(IUnknown* outer, REFIID riid, void** ppv) {
    return CreateWithoutOuter(outer, riid, ppv, &CHostCommand::Create);
}

}  // namespace veskhost
