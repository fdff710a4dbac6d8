// The SQLite provider: "Data Source" names a database file under the site root, opened in
// WAL mode with a busy timeout so that concurrent pages wait for each other's writes instead
// of failing with "database is locked".
#include <sqlite3.h>

#include <climits>

#include "hostkit/components/db_provider.h"

namespace veskhost::db {

namespace {

// How long a statement waits for another connection's write lock before it fails.
constexpr int kBusyTimeoutMs = 10000;

std::wstring MessageOf(sqlite3* db) { return WideOf(db ? sqlite3_errmsg(db) : "out of memory"); }

// Pages reach the database through SQL; ATTACH would let that SQL open any file the process
// can, past the site root the Data Source is held under.
int Authorize(void*, int action, const char*, const char*, const char*, const char*) {
    return action == SQLITE_ATTACH ? SQLITE_DENY : SQLITE_OK;
}

class CSqliteConnection;

class CSqliteStatement final : public Statement {
public:
    CSqliteStatement(std::shared_ptr<CSqliteConnection> connection, sqlite3* db, sqlite3_stmt* stmt)
        : m_connection(std::move(connection)), m_db(db), m_stmt(stmt) {}
    ~CSqliteStatement() override { sqlite3_finalize(m_stmt); }

    int ParameterCount() const override { return sqlite3_bind_parameter_count(m_stmt); }

    Status Bind(int index, const Value& value) override {
        const int at = index + 1;
        int rc = SQLITE_OK;
        if (const auto* number = std::get_if<int64_t>(&value)) {
            rc = sqlite3_bind_int64(m_stmt, at, *number);
        } else if (const auto* real = std::get_if<double>(&value)) {
            rc = sqlite3_bind_double(m_stmt, at, *real);
        } else if (const auto* text = std::get_if<std::string>(&value)) {
            rc = sqlite3_bind_text64(m_stmt, at, text->data(), text->size(), SQLITE_TRANSIENT, SQLITE_UTF8);
        } else if (const auto* blob = std::get_if<Blob>(&value)) {
            // An empty blob bound by pointer would be NULL; it is a blob of no bytes.
            rc = blob->bytes.empty() ? sqlite3_bind_zeroblob(m_stmt, at, 0)
                                     : sqlite3_bind_blob64(m_stmt, at, blob->bytes.data(), blob->bytes.size(),
                                                           SQLITE_TRANSIENT);
        } else {
            rc = sqlite3_bind_null(m_stmt, at);
        }
        return rc == SQLITE_OK ? Status{} : Status::Fail(E_FAIL, MessageOf(m_db));
    }

    Step Next(std::wstring* error) override {
        const int rc = sqlite3_step(m_stmt);
        if (rc == SQLITE_ROW) return Step::Row;
        if (rc == SQLITE_DONE) return Step::Done;
        *error = MessageOf(m_db);
        sqlite3_reset(m_stmt);
        return Step::Failed;
    }

    int ColumnCount() const override { return sqlite3_column_count(m_stmt); }

    std::wstring ColumnName(int index) const override {
        const char* name = sqlite3_column_name(m_stmt, index);
        return WideOf(name ? name : "");
    }

    Value Column(int index) const override {
        switch (sqlite3_column_type(m_stmt, index)) {
        case SQLITE_INTEGER: return sqlite3_column_int64(m_stmt, index);
        case SQLITE_FLOAT: return sqlite3_column_double(m_stmt, index);
        case SQLITE_TEXT: {
            const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(m_stmt, index));
            return std::string(text ? text : "", size_t(sqlite3_column_bytes(m_stmt, index)));
        }
        case SQLITE_BLOB: {
            const auto* bytes = static_cast<const char*>(sqlite3_column_blob(m_stmt, index));
            return Blob{std::string(bytes ? bytes : "", size_t(sqlite3_column_bytes(m_stmt, index)))};
        }
        default: return std::monostate{};
        }
    }

    int64_t Changes() const override { return sqlite3_changes64(m_db); }

private:
    std::shared_ptr<CSqliteConnection> m_connection;  // outlives the statement
    sqlite3* m_db;
    sqlite3_stmt* m_stmt;
};

class CSqliteConnection final : public Connection, public std::enable_shared_from_this<CSqliteConnection> {
public:
    explicit CSqliteConnection(sqlite3* db) : m_db(db) {}
    ~CSqliteConnection() override { sqlite3_close_v2(m_db); }

    Status Prepare(std::string_view sql, std::unique_ptr<Statement>* out) override {
        if (sql.size() >= size_t(INT_MAX)) return Status::Fail(E_FAIL, L"The command text is too long.");
        sqlite3_stmt* stmt = nullptr;
        const char* tail = nullptr;
        if (sqlite3_prepare_v2(m_db, sql.data(), int(sql.size()), &stmt, &tail) != SQLITE_OK) {
            sqlite3_finalize(stmt);
            return Status::Fail(E_FAIL, MessageOf(m_db));
        }
        if (stmt == nullptr) return Status::Fail(E_FAIL, L"The command text holds no statement.");
        // What follows the statement must be nothing but space and comments.
        const size_t rest = size_t(sql.data() + sql.size() - tail);
        sqlite3_stmt* next = nullptr;
        const int rc = rest ? sqlite3_prepare_v2(m_db, tail, int(rest), &next, nullptr) : SQLITE_OK;
        if (rc != SQLITE_OK || next != nullptr) {
            sqlite3_finalize(next);
            sqlite3_finalize(stmt);
            return Status::Fail(E_FAIL, L"The command text holds more than one statement; a command runs one.");
        }
        try {
            *out = std::make_unique<CSqliteStatement>(shared_from_this(), m_db, stmt);
        } catch (const std::bad_alloc&) {
            sqlite3_finalize(stmt);
            return Status::Fail(E_OUTOFMEMORY, L"");
        }
        return Status{};
    }

    bool InTransaction() const override { return sqlite3_get_autocommit(m_db) == 0; }

    void Rollback() override { sqlite3_exec(m_db, "ROLLBACK", nullptr, nullptr, nullptr); }

private:
    sqlite3* m_db;
};

class CSqliteProvider final : public Provider {
public:
    const wchar_t* Name() const override { return L"SQLite"; }

    Status Resolve(const Properties& properties, const std::wstring& siteRoot, Target* out) const override {
        for (const auto& [name, value] : properties) {
            if (name != L"provider" && name != L"data source")
                return Status::Fail(E_FAIL, L"The SQLite provider does not know this connection property.[" + name + L"]");
        }
        const std::wstring* source = FindProperty(properties, L"data source");
        if (source == nullptr || source->empty())
            return Status::Fail(E_FAIL, L"The connection string names no Data Source.");
        if (siteRoot.empty())
            return Status::Fail(E_FAIL, L"A Data Source is a file under the site root, and neither the page nor the "
                                        L"host gives one.[" + *source + L"]");
        std::wstring path;
        if (!PathUnderRoot(siteRoot, *source, &path))
            return Status::Fail(E_FAIL, L"The Data Source must name a file inside the site; this one does not.[" +
                                            *source + L"]");
        std::string location = Utf8Of(path.data(), path.size());
        // A root given relative still names a file, never a URI.
        if (location.front() != '/') location.insert(0, "./");
        out->key = location;
        out->location = std::move(location);
        out->name = *source;
        return Status{};
    }

    Status Open(const Target& target, std::shared_ptr<Connection>* out) const override {
        sqlite3* db = nullptr;
        const int rc = sqlite3_open_v2(target.location.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE,
                                       nullptr);
        if (rc != SQLITE_OK) {
            Status failed = Status::Fail(E_FAIL, MessageOf(db) + L"[" + target.name + L"]");
            sqlite3_close_v2(db);
            return failed;
        }
        std::shared_ptr<CSqliteConnection> connection;
        try {
            connection = std::make_shared<CSqliteConnection>(db);
        } catch (const std::bad_alloc&) {
            sqlite3_close_v2(db);
            return Status::Fail(E_OUTOFMEMORY, L"");
        }
        sqlite3_busy_timeout(db, kBusyTimeoutMs);
        sqlite3_db_config(db, SQLITE_DBCONFIG_DEFENSIVE, 1, nullptr);
        sqlite3_set_authorizer(db, &Authorize, nullptr);
        // WAL lets readers go on while one page writes; the first statement also proves the
        // file is a database.
        char* error = nullptr;
        if (sqlite3_exec(db, "PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL", nullptr, nullptr, &error) !=
            SQLITE_OK) {
            Status failed = Status::Fail(E_FAIL, WideOf(error ? error : "") + L"[" + target.name + L"]");
            sqlite3_free(error);
            return failed;
        }
        *out = std::move(connection);
        return Status{};
    }
};

}  // namespace

const Provider& SqliteProvider() {
    static const CSqliteProvider provider;
    return provider;
}

}  // namespace veskhost::db
