// The command component driven by name through IDispatch, as page scripts drive it: tables
// made, rows written with parameters in both forms, recordsets walked, values of every kind
// round-tripped, the failures a script sees, transactions that fail, the per-thread pool,
// writers on two threads, and the site root a page gives.
#include <stdlib.h>

#include <cstring>
#include <filesystem>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "component_helpers.h"
#include "hostkit/components/components.h"
#include "hostkit/pages/page_host.h"

namespace vesk_test {
namespace {

constexpr WORD kCall = DISPATCH_METHOD | DISPATCH_PROPERTYGET;
constexpr WORD kPut = DISPATCH_PROPERTYPUT;
constexpr HRESULT kUnknownProvider = hresult_of(0x800A0E7A);
constexpr HRESULT kArgument = hresult_of(0x800A0BB9);
constexpr HRESULT kClosed = hresult_of(0x800A0E78);
constexpr HRESULT kNoCurrentRecord = hresult_of(0x800A0BCD);
constexpr HRESULT kNotInCollection = hresult_of(0x800A0CC1);
constexpr HRESULT kNoConnection = hresult_of(0x800A0E7D);

struct TempDir {
    std::string path = mkdtemp(std::string("/tmp/vesk-command-XXXXXX").data());
    ~TempDir() { std::filesystem::remove_all(path); }
    std::wstring Wide() const { return std::wstring(path.begin(), path.end()); }
};

// What a failed call told the script.
struct Failure {
    HRESULT scode = S_OK;
    std::wstring source;
    std::wstring description;
};

// One late-bound call; a failure reported through EXCEPINFO is unpacked into *failure.
HRESULT Call(IDispatch* object, const wchar_t* member, WORD flags, std::vector<CComVariant> args,
             VARIANT* result = nullptr, Failure* failure = nullptr) {
    EXCEPINFO excep{};
    const HRESULT hr = CallByName(object, member, flags, std::move(args), result, &excep);
    Failure told;
    if (hr == DISP_E_EXCEPTION) {
        told.scode = excep.scode;
        told.source = std::wstring(View(excep.bstrSource));
        told.description = std::wstring(View(excep.bstrDescription));
    }
    SysFreeString(excep.bstrSource);
    SysFreeString(excep.bstrDescription);
    SysFreeString(excep.bstrHelpFile);
    if (failure) *failure = told;
    return hr == DISP_E_EXCEPTION ? told.scode : hr;
}

CComVariant Get(IDispatch* object, const wchar_t* member, std::vector<CComVariant> args = {}) {
    CComVariant result;
    EXPECT_HR(S_OK, Call(object, member, kCall, std::move(args), &result)) << Utf8(member ? member : L"(default)");
    return result;
}

CComPtr<IDispatch> ObjectOf(CComVariant&& v) {
    CComPtr<IDispatch> object;
    if (v.vt == VT_DISPATCH) object.Attach(std::exchange(v.pdispVal, nullptr));
    v.vt = VT_EMPTY;
    return object;
}

CComPtr<IDispatch> NewCommand(const std::wstring& connection, Failure* failure = nullptr) {
    auto command = CreateComponent<IDispatch>(CLSID_Command, IID_IDispatch);
    const HRESULT hr = Call(command.Get(), L"ActiveConnection", kPut, [&] {
        std::vector<CComVariant> a;
        a.push_back(VarStr(connection.c_str()));
        return a;
    }(), nullptr, failure);
    if (failure == nullptr) {
        EXPECT_HR(S_OK, hr);
    }
    return command;
}

template <class... V>
std::vector<CComVariant> Values(CComVariant first, V... rest) {
    std::vector<CComVariant> all;
    all.push_back(std::move(first));
    (all.push_back(std::move(rest)), ...);
    return all;
}

// Runs SQL on a new command with the values as its parameters array; the recordset, or null
// for a failure (described in *failure when given).
CComPtr<IDispatch> Sql(const std::wstring& connection, const wchar_t* sql, std::vector<CComVariant> values = {},
                       Failure* failure = nullptr, LONG* affected = nullptr) {
    auto command = NewCommand(connection);
    EXPECT_HR(S_OK, Call(command.Get(), L"CommandText", kPut, Values(VarStr(sql))));
    std::vector<CComVariant> args;
    CComVariant count;
    args.push_back(automation::ByRef(&count));
    if (!values.empty()) {
        CComVariant array;
        array.vt = VT_ARRAY | VT_VARIANT;
        array.parray = SafeArrayCreateVector(VT_VARIANT, 0, ULONG(values.size()));
        for (size_t i = 0; i < values.size(); ++i) values[i].Detach(&static_cast<VARIANT*>(array.parray->pvData)[i]);
        args.push_back(std::move(array));
    }
    CComVariant rs;
    const HRESULT hr = Call(command.Get(), L"Execute", kCall, std::move(args), &rs, failure);
    if (failure == nullptr) {
        EXPECT_HR(S_OK, hr) << Utf8(sql);
    }
    if (affected) *affected = count.vt == VT_I4 ? count.lVal : -2;
    return FAILED(hr) ? CComPtr<IDispatch>() : ObjectOf(std::move(rs));
}

bool AtEnd(IDispatch* rs) {
    CComVariant eof = Get(rs, L"EOF");
    return eof.vt == VT_BOOL && eof.boolVal == VARIANT_TRUE;
}

LONG CountRows(const std::wstring& connection, const wchar_t* table) {
    auto rs = Sql(connection, (std::wstring(L"SELECT COUNT(*) FROM ") + table).c_str());
    if (!rs) return -1;
    CComVariant n = Get(rs.Get(), nullptr, Values(VarI4(0)));
    return n.vt == VT_I4 ? n.lVal : -1;
}

class Command : public ::testing::Test {
protected:
    void SetUp() override { veskhost::SetDatabaseSiteRoot(root.Wide().c_str()); }
    void TearDown() override { veskhost::SetDatabaseSiteRoot(nullptr); }

    TempDir root;
    // A database of its own for each test, so the thread's pooled connections never carry over.
    std::wstring db = L"Data Source=" + std::to_wstring(reinterpret_cast<uintptr_t>(this)) + L".db";
};

// ---- Writing and reading rows --------------------------------------------------------------

TEST_F(Command, WritesWithBothParameterFormsAndWalksTheRecordset) {
    LONG affected = -2;
    Sql(db, L"CREATE TABLE people (id INTEGER PRIMARY KEY, name TEXT, age INTEGER)", {}, nullptr, &affected);
    EXPECT_EQ(0, affected);

    // The collection form: CreateParameter and Parameters.Append, then Execute.
    auto command = NewCommand(db);
    IDispatch* c = command.Get();
    EXPECT_HR(S_OK, Call(c, L"CommandType", kPut, Values(VarI4(1))));
    EXPECT_HR(S_OK, Call(c, L"CommandText", kPut, Values(VarStr(L"INSERT INTO people (name, age) VALUES (?, ?)"))));
    auto parameters = ObjectOf(Get(c, L"Parameters"));
    EXPECT_HR(S_OK, Call(parameters.Get(), L"Append", kCall,
                         Values(Get(c, L"CreateParameter", Values(VarStr(L"name"), VarI4(202), VarI4(1), VarI4(20),
                                                                  VarStr(L"Ada"))))));
    EXPECT_HR(S_OK, Call(parameters.Get(), L"Append", kCall,
                         Values(Get(c, L"CreateParameter", Values(VarStr(L""), VarI4(3), VarI4(1), VarI4(0), VarI4(36))))));
    EXPECT_EQ(2, Get(parameters.Get(), L"Count").lVal);
    CComVariant count;
    EXPECT_HR(S_OK, Call(c, L"Execute", kCall, Values(automation::ByRef(&count))));
    EXPECT_EQ(VT_I4, count.vt);
    EXPECT_EQ(1, count.lVal);
    // A parameter's value set afterwards is what the next Execute binds.
    auto age = ObjectOf(Get(parameters.Get(), nullptr, Values(VarI4(1))));
    EXPECT_HR(S_OK, Call(age.Get(), L"Value", kPut, Values(VarI4(41))));
    auto byName = ObjectOf(Get(parameters.Get(), nullptr, Values(VarStr(L"name"))));
    EXPECT_HR(S_OK, Call(byName.Get(), L"Value", kPut, Values(VarStr(L"Grace"))));
    EXPECT_HR(S_OK, Call(c, L"Execute", kCall, {}));

    // The array form overrides the collection for that call.
    Sql(db, L"INSERT INTO people (name, age) VALUES (?, ?)", Values(VarStr(L"Linus"), VarI4(29)), nullptr, &affected);
    EXPECT_EQ(1, affected);
    Sql(db, L"UPDATE people SET age = age + 1 WHERE age > ?", Values(VarI4(30)), nullptr, &affected);
    EXPECT_EQ(2, affected);

    auto rs = Sql(db, L"SELECT id, name, age FROM people ORDER BY id");
    ASSERT_TRUE(rs);
    IDispatch* r = rs.Get();
    EXPECT_EQ(VARIANT_FALSE, Get(r, L"BOF").boolVal);
    auto fields = ObjectOf(Get(r, L"Fields"));
    EXPECT_EQ(3, Get(fields.Get(), L"Count").lVal);
    EXPECT_BSTR_EQ(L"name", Get(ObjectOf(Get(r, L"Fields", Values(VarI4(1)))).Get(), L"Name").bstrVal);
    // A field object follows the recordset's current row.
    auto nameField = ObjectOf(Get(r, L"Fields", Values(VarStr(L"NAME"))));
    std::vector<std::wstring> seen;
    for (int guard = 0; !AtEnd(r) && guard < 10; ++guard) {
        CComVariant name = Get(nameField.Get(), L"Value");
        CComVariant sameByDefault = Get(r, nullptr, Values(VarStr(L"name")));
        EXPECT_BSTR_EQ(View(name.bstrVal), sameByDefault.bstrVal);
        seen.push_back(std::wstring(View(name.bstrVal)) + L":" + std::to_wstring(Get(r, nullptr, Values(VarStr(L"age"))).lVal));
        EXPECT_HR(S_OK, Call(r, L"MoveNext", kCall, {}));
    }
    EXPECT_EQ((std::vector<std::wstring>{L"Ada:37", L"Grace:42", L"Linus:29"}), seen);
    Failure failure;
    EXPECT_HR(kNoCurrentRecord, Call(r, L"MoveNext", kCall, {}, nullptr, &failure));
    EXPECT_HR(kNoCurrentRecord, Call(nameField.Get(), L"Value", kCall, {}, nullptr, &failure));
    EXPECT_EQ(L"ADODB.Recordset", failure.source);
    EXPECT_HR(S_OK, Call(r, L"Close", kCall, {}));
    EXPECT_HR(kClosed, Call(r, L"EOF", kCall, {}, nullptr, &failure));
    EXPECT_EQ(L"Operation is not allowed when the object is closed.", failure.description);

    // An empty result is open, at its end and at its start.
    auto none = Sql(db, L"SELECT * FROM people WHERE age > 100");
    EXPECT_TRUE(AtEnd(none.Get()));
    EXPECT_EQ(VARIANT_TRUE, Get(none.Get(), L"BOF").boolVal);
}

TEST_F(Command, GetRowsIsFieldsByRowsFromTheCurrentRow) {
    Sql(db, L"CREATE TABLE t (a INTEGER, b TEXT)");
    for (int i = 1; i <= 4; ++i) Sql(db, L"INSERT INTO t VALUES (?, ?)", Values(VarI4(i), VarStr(std::to_wstring(i * 10).c_str())));
    auto rs = Sql(db, L"SELECT a, b FROM t ORDER BY a");
    EXPECT_HR(S_OK, Call(rs.Get(), L"MoveNext", kCall, {}));
    CComVariant two = Get(rs.Get(), L"GetRows", Values(VarI4(2)));
    ASSERT_EQ(VT_ARRAY | VT_VARIANT, two.vt);
    ASSERT_EQ(2u, SafeArrayGetDim(two.parray));
    LONG upper = 0;
    SafeArrayGetUBound(two.parray, 1, &upper);
    EXPECT_EQ(1, upper);  // two fields
    SafeArrayGetUBound(two.parray, 2, &upper);
    EXPECT_EQ(1, upper);  // two rows: the second and the third
    const struct { LONG field, row; const wchar_t* text; } cells[] = {{0, 0, L"2"}, {1, 0, L"20"}, {0, 1, L"3"}, {1, 1, L"30"}};
    for (const auto& cell : cells) {
        LONG at[2] = {cell.field, cell.row};
        CComVariant value, text;
        ASSERT_HR(S_OK, SafeArrayGetElement(two.parray, at, &value));
        text.ChangeType(VT_BSTR, &value);
        EXPECT_BSTR_EQ(cell.text, text.bstrVal) << cell.field << "," << cell.row;
    }
    CComVariant rest = Get(rs.Get(), L"GetRows");
    SafeArrayGetUBound(rest.parray, 2, &upper);
    EXPECT_EQ(0, upper);  // the one row left
    EXPECT_TRUE(AtEnd(rs.Get()));
    EXPECT_HR(kNoCurrentRecord, Call(rs.Get(), L"GetRows", kCall, {}));
    EXPECT_HR(kArgument, Call(rs.Get(), L"GetRows", kCall, Values(VarI4(0))));
}

CComVariant Blob(const std::string& bytes) {
    CComVariant v;
    v.vt = VT_ARRAY | VT_UI1;
    v.parray = SafeArrayCreateVector(VT_UI1, 0, ULONG(bytes.size()));
    if (!bytes.empty()) memcpy(v.parray->pvData, bytes.data(), bytes.size());
    return v;
}

TEST_F(Command, ValuesRoundTripByKind) {
    Sql(db, L"CREATE TABLE v (x)");
    CComVariant i8;
    i8.vt = VT_I8;
    i8.llVal = 1LL << 40;
    CComVariant boolean = VarBool(true);
    const std::wstring withNul(L"a\0b", 3);
    const struct Case { const char* what; CComVariant in; VARTYPE vt; const wchar_t* sqlType; } cases[] = {
        {"integer", VarI4(-7), VT_I4, L"integer"},
        {"wide integer", std::move(i8), VT_I8, L"integer"},
        {"real", VarR8(2.5), VT_R8, L"real"},
        {"text", VarStr(L"日本語 ünï"), VT_BSTR, L"text"},
        {"embedded NUL", [&] { CComVariant v; v.vt = VT_BSTR; v.bstrVal = SysAllocStringLen(withNul.data(), 3); return v; }(), VT_BSTR, L"text"},
        {"empty text", VarStr(L""), VT_BSTR, L"text"},
        {"blob", Blob(std::string("\x00\x01\xFFz", 4)), VT_ARRAY | VT_UI1, L"blob"},
        {"empty blob", Blob(""), VT_ARRAY | VT_UI1, L"blob"},
        {"null", VarNull(), VT_NULL, L"null"},
        {"empty", CComVariant(), VT_NULL, L"null"},
        {"boolean", std::move(boolean), VT_I4, L"integer"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Sql(db, L"DELETE FROM v");
        CComVariant in;
        in.Copy(&c.in);
        Sql(db, L"INSERT INTO v VALUES (?)", Values(std::move(in)));
        auto rs = Sql(db, L"SELECT x, typeof(x) FROM v");
        ASSERT_TRUE(rs);
        CComVariant out = Get(rs.Get(), nullptr, Values(VarI4(0)));
        EXPECT_BSTR_EQ(c.sqlType, Get(rs.Get(), nullptr, Values(VarI4(1))).bstrVal);
        ASSERT_EQ(c.vt, out.vt);
        if (c.in.vt == VT_BOOL) {
            EXPECT_EQ(1, out.lVal);
        } else if (c.vt == (VT_ARRAY | VT_UI1)) {
            const SAFEARRAY* a = out.parray;
            EXPECT_EQ(c.in.parray->rgsabound[0].cElements, a->rgsabound[0].cElements);
            EXPECT_EQ(0, memcmp(c.in.parray->pvData, a->pvData, a->rgsabound[0].cElements));
        } else if (c.vt != VT_NULL) {
            EXPECT_EQ(VARCMP_EQ, VarCmp(const_cast<CComVariant*>(&c.in), &out, 0, 0));
        }
    }
}

// ---- What a script is told -----------------------------------------------------------------

TEST_F(Command, FailuresNameTheirCause) {
    Sql(db, L"CREATE TABLE t (a INTEGER)");
    const struct { const char* what; std::wstring connection; const wchar_t* sql; HRESULT hr; const wchar_t* text; } cases[] = {
        {"syntax", db, L"SELEC * FROM t", E_FAIL, L"near \"SELEC\": syntax error"},
        {"no table", db, L"SELECT * FROM missing", E_FAIL, L"no such table: missing"},
        {"two statements", db, L"DELETE FROM t; DROP TABLE t", E_FAIL, L"more than one statement"},
        {"too few values", db, L"INSERT INTO t VALUES (?)", E_FAIL, L"has 1 parameter(s) and the command gives 0"},
        {"no text", db, L"", E_FAIL, L"Command text was not set"},
        {"missing folder", L"Data Source=no/such/folder/x.db", nullptr, E_FAIL, L"unable to open database file[no/such/folder/x.db]"},
        {"unknown provider", L"Provider=Oracle;Data Source=x.db", nullptr, kUnknownProvider, L"Provider cannot be found.[Oracle]"},
        {"unknown property", L"Data Source=x.db;Mode=Share", nullptr, E_FAIL, L"does not know this connection property.[mode]"},
        {"no form", L"just a file name", nullptr, E_FAIL, L"without \"=\".[just a file name]"},
        {"no data source", L"Provider=SQLite", nullptr, E_FAIL, L"names no Data Source"},
        {"climbs out", L"Data Source=../outside.db", nullptr, E_FAIL, L"inside the site; this one does not.[../outside.db]"},
        {"climbs out within", L"Data Source=a/../../outside.db", nullptr, E_FAIL, L"inside the site"},
        {"not a database", L"Data Source=.", nullptr, E_FAIL, L"inside the site"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Failure failure;
        if (c.sql) {
            EXPECT_FALSE(Sql(c.connection, c.sql, {}, &failure));
        } else {
            NewCommand(c.connection, &failure);
        }
        EXPECT_HR(c.hr, failure.scode);
        EXPECT_EQ(L"ADODB.Command", failure.source);
        EXPECT_NE(std::wstring::npos, failure.description.find(c.text)) << Utf8(failure.description);
    }
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::path(root.path).parent_path() / "outside.db"));
}

TEST_F(Command, RefusesWhatItDoesNotRun) {
    auto command = CreateComponent<IDispatch>(CLSID_Command, IID_IDispatch);
    IDispatch* c = command.Get();
    Failure failure;
    EXPECT_HR(kArgument, Call(c, L"CommandType", kPut, Values(VarI4(2)), nullptr, &failure));
    EXPECT_NE(std::wstring::npos, failure.description.find(L"CommandType takes 1")) << Utf8(failure.description);
    EXPECT_EQ(1, Get(c, L"CommandType").lVal);
    EXPECT_HR(S_OK, Call(c, L"CommandText", kPut, Values(VarStr(L"SELECT 1"))));
    EXPECT_HR(kNoConnection, Call(c, L"Execute", kCall, {}, nullptr, &failure));
    // A failed connect leaves no connection behind, not the one before it.
    EXPECT_HR(S_OK, Call(c, L"ActiveConnection", kPut, Values(VarStr(db.c_str()))));
    EXPECT_HR(kUnknownProvider, Call(c, L"ActiveConnection", kPut, Values(VarStr(L"Provider=X;Data Source=y"))));
    EXPECT_HR(kNoConnection, Call(c, L"Execute", kCall, {}));
    // A parameter Append takes only what CreateParameter made.
    auto parameters = ObjectOf(Get(c, L"Parameters"));
    auto stranger = ScriptObject::Create();
    EXPECT_HR(kArgument, Call(parameters.Get(), L"Append", kCall, Values(VarDisp(stranger.Get()))));
    EXPECT_HR(kNotInCollection, Call(parameters.Get(), L"Item", kCall, Values(VarI4(0))));
}

TEST_F(Command, TakesAConnectionObjectByItsConnectionString) {
    auto connection = ScriptObject::Create();
    connection->SetProperty(L"ConnectionString", VarStr(db.c_str()));
    auto command = CreateComponent<IDispatch>(CLSID_Command, IID_IDispatch);
    EXPECT_HR(S_OK, Call(command.Get(), L"ActiveConnection", DISPATCH_PROPERTYPUTREF, Values(VarDisp(connection.Get()))));
    EXPECT_EQ(1, connection->CallCount(L"ConnectionString"));
    EXPECT_BSTR_EQ(db, Get(command.Get(), L"ActiveConnection").bstrVal);
    EXPECT_EQ(1u, connection->RefCount());  // not kept past the call
    // Nothing, or an object without a connection string, leaves the command unconnected.
    auto stranger = ScriptObject::Create();
    EXPECT_HR(kArgument, Call(command.Get(), L"ActiveConnection", kPut, Values(VarDisp(stranger.Get()))));
    EXPECT_BSTR_EQ(L"", Get(command.Get(), L"ActiveConnection").bstrVal);
}

// ---- Transactions, pooling and threads -----------------------------------------------------

TEST_F(Command, AFailingStatementInsideATransactionRollsItBack) {
    Sql(db, L"CREATE TABLE t (a INTEGER UNIQUE)");
    // A command alive across the statements keeps the connection, and so the transaction.
    auto holder = NewCommand(db);
    Sql(db, L"BEGIN");
    Sql(db, L"INSERT INTO t VALUES (1)");
    Failure failure;
    EXPECT_FALSE(Sql(db, L"INSERT INTO t VALUES (1)", {}, &failure));
    EXPECT_NE(std::wstring::npos, failure.description.find(L"UNIQUE constraint failed")) << Utf8(failure.description);
    EXPECT_FALSE(Sql(db, L"COMMIT", {}, &failure));  // nothing left to commit
    // Another connection (another thread's) writes at once, and the rolled-back row is gone.
    const std::wstring connection = db;
    const std::wstring rootPath = root.Wide();
    auto other = std::async(std::launch::async, [connection, rootPath] {
        veskhost::SetDatabaseSiteRoot(rootPath.c_str());
        LONG affected = -2;
        Sql(connection, L"INSERT INTO t VALUES (2)", {}, nullptr, &affected);
        return affected;
    });
    EXPECT_EQ(1, other.get());
    EXPECT_EQ(1, CountRows(db, L"t"));
    holder.Reset();

    // Outside a page nothing would end a transaction its commands let go of: it ends with them.
    Sql(db, L"BEGIN");
    Sql(db, L"INSERT INTO t VALUES (3)");
    EXPECT_FALSE(Sql(db, L"COMMIT", {}, &failure));
    EXPECT_NE(std::wstring::npos, failure.description.find(L"no transaction is active")) << Utf8(failure.description);
    EXPECT_EQ(2, CountRows(db, L"t"));
}

TEST_F(Command, APageTransactionSpansItsCommandsAndEndsWithThePage) {
    Sql(db, L"CREATE TABLE t (a INTEGER)");
    veskhost::PageHostConfig config;
    config.siteRoot = root.Wide();
    veskhost::PageApplication application;
    const auto page = [&](std::vector<const wchar_t*> statements) {
        return veskhost::RunPage(config, application, veskhost::PageRequest::Get("/"),
                                 [&](const veskhost::PageObjects&) {
                                     // Each statement on a command of its own, released at once.
                                     for (const wchar_t* sql : statements) {
                                         if (!Sql(db, sql)) return E_FAIL;
                                     }
                                     return S_OK;
                                 }).pageResult;
    };
    EXPECT_HR(S_OK, page({L"BEGIN", L"INSERT INTO t VALUES (1)", L"INSERT INTO t VALUES (2)", L"COMMIT"}));
    EXPECT_EQ(2, CountRows(db, L"t"));
    // A page that never commits leaves nothing behind, and no lock: another thread writes.
    EXPECT_HR(S_OK, page({L"BEGIN", L"INSERT INTO t VALUES (3)"}));
    const std::wstring connection = db;
    const std::wstring rootPath = root.Wide();
    auto other = std::async(std::launch::async, [connection, rootPath] {
        veskhost::SetDatabaseSiteRoot(rootPath.c_str());
        LONG affected = -2;
        Sql(connection, L"INSERT INTO t VALUES (4)", {}, nullptr, &affected);
        return affected;
    });
    EXPECT_EQ(1, other.get());
    EXPECT_EQ(3, CountRows(db, L"t"));
}

TEST_F(Command, ConnectionsArePooledPerDatabaseAndThread) {
    // A temporary table lives in one connection: a later command on the same thread sees it,
    // under another spelling of the same file too, with no command alive in between.
    Sql(db, L"CREATE TEMP TABLE scratch (a)");
    Sql(L"Provider=sqlite ; data source = ./" + db.substr(12), L"INSERT INTO scratch VALUES (1)");
    EXPECT_EQ(1, CountRows(db, L"scratch"));
    const std::wstring connection = db;
    auto other = std::async(std::launch::async, [connection] {
        Failure failure;
        Sql(connection, L"SELECT * FROM scratch", {}, &failure);
        return failure.description;
    });
    EXPECT_EQ(L"no such table: scratch", other.get());
}

TEST_F(Command, TwoThreadsWriteTheSameDatabaseAtOnce) {
    Sql(db, L"CREATE TABLE log (thread INTEGER, n INTEGER)");
    const std::wstring connection = db;
    const auto writer = [connection](int thread) {
        int failures = 0;
        for (int n = 0; n < 200; ++n) {
            Failure failure;
            if (!Sql(connection, L"INSERT INTO log VALUES (?, ?)", Values(VarI4(thread), VarI4(n)), &failure) &&
                failure.scode != S_OK)
                ++failures;
        }
        return failures;
    };
    auto first = std::async(std::launch::async, writer, 1);
    auto second = std::async(std::launch::async, writer, 2);
    EXPECT_EQ(0, first.get());
    EXPECT_EQ(0, second.get());
    EXPECT_EQ(400, CountRows(db, L"log"));
}

// ---- Where the database file is ------------------------------------------------------------

TEST_F(Command, APageTakesTheDataSourceUnderItsSiteRoot) {
    TempDir site;
    veskhost::PageHostConfig config;
    config.siteRoot = site.Wide() + L"/";
    veskhost::PageApplication application;
    const auto page = [&](const veskhost::PageObjects&) {
        // As the library creates it: the command interface, then connection, type and text.
        CComPtr<IZULDBCommand> command;
        HRESULT hr = CoCreateInstance(CLSID_Command, nullptr, CLSCTX_INPROC_SERVER | CLSCTX_LOCAL_SERVER,
                                      IID_IZULDBCommand, command.ReceiveVoid());
        if (SUCCEEDED(hr)) hr = command->put_ActiveConnection(VarStr(L"Data Source=data\\..\\page.db"));
        if (SUCCEEDED(hr)) hr = command->put_CommandType(ADODB::adCmdText);
        if (SUCCEEDED(hr)) hr = command->put_CommandText(CComBSTR(L"CREATE TABLE here (a)"));
        CComVariant affected;
        CComPtr<IDispatch> rs;
        if (SUCCEEDED(hr)) hr = command->Execute(&affected, nullptr, -1, rs.Receive());
        return hr;
    };
    EXPECT_HR(S_OK, veskhost::RunPage(config, application, veskhost::PageRequest::Get("/"), page).pageResult);
    EXPECT_TRUE(std::filesystem::exists(site.path + "/page.db"));
    EXPECT_FALSE(std::filesystem::exists(root.path + "/page.db"));

    // A page whose host maps no site root falls back to the host's process-wide one.
    config.siteRoot.clear();
    EXPECT_HR(S_OK, veskhost::RunPage(config, application, veskhost::PageRequest::Get("/"), page).pageResult);
    EXPECT_TRUE(std::filesystem::exists(root.path + "/page.db"));
    // With neither there is no file to take a Data Source under.
    veskhost::SetDatabaseSiteRoot(nullptr);
    Failure failure;
    NewCommand(L"Data Source=x.db", &failure);
    EXPECT_NE(std::wstring::npos, failure.description.find(L"neither the page nor the host")) << Utf8(failure.description);
}

}  // namespace
}  // namespace vesk_test
