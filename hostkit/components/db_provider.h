// The database layer under the command component: values, statements, connections and the
// providers that open them, as small interfaces. The command and its recordsets see only
// these; a further database engine is one more provider in the table of db_connection.cpp.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "host/ccom.h"

namespace veskhost::db {

// Bytes as the database keeps them (a blob), apart from text.
struct Blob {
    std::string bytes;
};

// One value as the database holds it: NULL, a 64-bit integer, a real, UTF-8 text or a blob.
using Value = std::variant<std::monostate, int64_t, double, std::string, Blob>;

// The outcome of a database step: S_OK, or a failing code with the engine's own message.
struct Status {
    HRESULT hr = S_OK;
    std::wstring message;

    static Status Fail(HRESULT code, std::wstring text) { return Status{code, std::move(text)}; }
    bool ok() const { return SUCCEEDED(hr); }
};

enum class Step { Row, Done, Failed };

// One prepared statement. Parameters and columns count from 0.
class Statement {
public:
    virtual ~Statement() = default;
    virtual int ParameterCount() const = 0;
    virtual Status Bind(int index, const Value& value) = 0;
    // Runs the statement on to its next row; the first call starts it. Failed carries the
    // engine's message in *error.
    virtual Step Next(std::wstring* error) = 0;
    virtual int ColumnCount() const = 0;
    virtual std::wstring ColumnName(int index) const = 0;
    // A column of the row Next stopped at.
    virtual Value Column(int index) const = 0;
    // The rows the finished statement inserted, changed or deleted.
    virtual int64_t Changes() const = 0;
};

// One open database connection, used by one thread at a time.
class Connection {
public:
    virtual ~Connection() = default;
    // Prepares exactly one statement (a trailing ";" and comments aside); more than one is
    // refused, so that nothing a script wrote is silently left unrun.
    virtual Status Prepare(std::string_view sql, std::unique_ptr<Statement>* out) = 0;
    // True while a transaction the script began is open.
    virtual bool InTransaction() const = 0;
    virtual void Rollback() = 0;
};

// The properties of a connection string, names in lower case, in the order written.
using Properties = std::vector<std::pair<std::wstring, std::wstring>>;

// What a provider opens: key names the database among the pooled connections (the same key,
// the same database); location is the provider's own form of it; name is the database as
// the connection string wrote it, for messages (a page never sees the physical path).
struct Target {
    std::string key;
    std::string location;
    std::wstring name;
};

class Provider {
public:
    virtual ~Provider() = default;
    // The name the "Provider" property gives (compared ignoring case).
    virtual const wchar_t* Name() const = 0;
    // Checks the properties and says what to open; siteRoot is the folder relative file
    // names are taken under (empty when the host gave none).
    virtual Status Resolve(const Properties& properties, const std::wstring& siteRoot, Target* out) const = 0;
    virtual Status Open(const Target& target, std::shared_ptr<Connection>* out) const = 0;
};

// The SQLite provider (sqlite_provider.cpp).
const Provider& SqliteProvider();

// ---- Connection strings and files (db_connection.cpp) ---------------------------------

// "name=value;name=value": names trimmed and folded to lower case, values trimmed; a value may
// be quoted with " or ' (the quote doubled inside it). A part without "=", an empty name or a
// name given twice is refused with a message naming it.
Status ParseConnectionString(std::wstring_view text, Properties* out);

// The value of a property, or null when the string does not give it.
const std::wstring* FindProperty(const Properties& properties, std::wstring_view name);

// A file name taken under the site root, as Server.MapPath takes a path: "/" and "\" both
// separate, a leading one starts at the root, "." is skipped and ".." goes up, but never out
// of the root. False for a name that climbs out, names no file, or holds a NUL.
bool PathUnderRoot(std::wstring_view root, std::wstring_view name, std::wstring* out);

// The folder relative file names are taken under: the calling page's (its Server's MapPath
// of "/"), else the one the host set with SetDatabaseSiteRoot; empty when there is neither.
std::wstring CurrentSiteRoot();

// The connection a connection string names, from the calling thread's pool when it holds
// one: the provider is found by the "Provider" property (SQLite when there is none), checks
// the string and opens the database. The connection handed out is shared by the thread's
// commands and recordsets; when the last of them lets go, a transaction left open is rolled
// back, so an abandoned BEGIN never holds the database for the next page.
Status OpenConnection(std::wstring_view connectionString, std::shared_ptr<Connection>* out);

// ---- Text ------------------------------------------------------------------------------

// UTF-32 <-> UTF-8 with explicit lengths (embedded NULs kept); ill-formed input becomes
// U+FFFD.
std::string Utf8Of(const wchar_t* text, size_t count);
std::wstring WideOf(std::string_view utf8);

}  // namespace veskhost::db
