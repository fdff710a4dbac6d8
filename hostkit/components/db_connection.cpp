// Connection strings, file names under the site root, the table of providers and the
// per-thread pool of open connections.
#include <algorithm>
#include <map>
#include <mutex>

#include "hostkit/components/component_support.h"
#include "hostkit/components/components.h"
#include "hostkit/components/db_provider.h"
#include "hostkit/runtime/class_registry.h"

namespace veskhost {

namespace {

std::mutex g_rootLock;
std::wstring g_strSiteRoot;  // the host's process-wide root, under g_rootLock

}  // namespace

void SetDatabaseSiteRoot(const wchar_t* root) {
    std::lock_guard<std::mutex> lock(g_rootLock);
    g_strSiteRoot = root ? root : L"";
}

}  // namespace veskhost

namespace veskhost::db {

namespace {

// Every provider a connection string may name; the first is the one used when it names none.
const Provider* const kProviders[] = {&SqliteProvider()};

// Connections a thread keeps open for later commands, beyond those in use.
constexpr size_t kMaxPooled = 8;

const HRESULT kProviderNotFound = ControlError(3706);

wchar_t Lower(wchar_t c) { return (c >= L'A' && c <= L'Z') ? wchar_t(c + (L'a' - L'A')) : c; }

bool IsSpace(wchar_t c) { return c == L' ' || c == L'\t' || c == L'\r' || c == L'\n'; }

std::wstring_view Trim(std::wstring_view s) {
    while (!s.empty() && IsSpace(s.front())) s.remove_prefix(1);
    while (!s.empty() && IsSpace(s.back())) s.remove_suffix(1);
    return s;
}

bool SameName(std::wstring_view a, std::wstring_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](wchar_t x, wchar_t y) {
               return Lower(x) == Lower(y);
           });
}

bool InPage() {
    CComPtr<IUnknown> spContext;
    return SUCCEEDED(CoGetObjectContext(IID_IUnknown, spContext.ReceiveVoid())) && spContext;
}

// The connection's users share one lease. A page may run BEGIN, its statements and COMMIT on
// commands that live one after the other, so when the last user lets go inside a page the
// transaction stays open until the page ends (RollBackIdleTransactions); outside a page
// nothing would end it, and it is rolled back at once. The connection then waits in the pool
// for the thread's next command.
struct Lease {
    explicit Lease(std::shared_ptr<Connection> held) : connection(std::move(held)) {}
    Lease(const Lease&) = delete;
    Lease& operator=(const Lease&) = delete;
    ~Lease() {
        if (connection && connection->InTransaction() && !InPage()) connection->Rollback();
    }
    std::shared_ptr<Connection> connection;
};

struct PoolEntry {
    std::shared_ptr<Connection> connection;
    std::weak_ptr<Lease> lease;
};

thread_local std::map<std::string, PoolEntry> t_pool;

// As a page starts or ends: a transaction no command or recordset holds any more is rolled
// back, so an abandoned BEGIN never holds the database for other pages.
void RollBackIdleTransactions() {
    for (auto& [key, entry] : t_pool) {
        if (entry.lease.expired() && entry.connection->InTransaction()) entry.connection->Rollback();
    }
}

[[maybe_unused]] const bool g_bListening = AddContextChangeListener(&RollBackIdleTransactions);

void DropIdleConnections() {
    for (auto it = t_pool.begin(); it != t_pool.end();) {
        if (it->second.lease.expired()) it = t_pool.erase(it);
        else ++it;
    }
}

}  // namespace

Status ParseConnectionString(std::wstring_view text, Properties* out) {
    Properties properties;
    size_t at = 0;
    while (at < text.size()) {
        const size_t equals = text.find(L'=', at);
        const size_t semicolon = text.find(L';', at);
        if (equals == text.npos || (semicolon != text.npos && semicolon < equals)) {
            const std::wstring_view part = Trim(text.substr(at, semicolon == text.npos ? text.npos : semicolon - at));
            if (!part.empty())
                return Status::Fail(E_FAIL, L"The connection string has a part without \"=\".[" + std::wstring(part) + L"]");
            at = semicolon == text.npos ? text.size() : semicolon + 1;
            continue;
        }
        std::wstring name(Trim(text.substr(at, equals - at)));
        if (name.empty()) return Status::Fail(E_FAIL, L"The connection string has a value without a name.");
        std::transform(name.begin(), name.end(), name.begin(), Lower);
        // The value: up to the next ";", or a quoted run with the quote doubled inside it.
        size_t pos = equals + 1;
        while (pos < text.size() && IsSpace(text[pos])) ++pos;
        std::wstring value;
        if (pos < text.size() && (text[pos] == L'"' || text[pos] == L'\'')) {
            const wchar_t quote = text[pos++];
            for (;; ++pos) {
                if (pos >= text.size())
                    return Status::Fail(E_FAIL, L"The connection string has a quoted value without its closing quote.[" +
                                                    name + L"]");
                if (text[pos] != quote) {
                    value += text[pos];
                } else if (pos + 1 < text.size() && text[pos + 1] == quote) {
                    value += quote;
                    ++pos;
                } else {
                    break;
                }
            }
            ++pos;
            while (pos < text.size() && IsSpace(text[pos])) ++pos;
            if (pos < text.size() && text[pos] != L';')
                return Status::Fail(E_FAIL, L"The connection string has text after a quoted value.[" + name + L"]");
        } else {
            const size_t end = text.find(L';', pos);
            value = Trim(text.substr(pos, end == text.npos ? text.npos : end - pos));
            pos = end == text.npos ? text.size() : end;
        }
        if (FindProperty(properties, name))
            return Status::Fail(E_FAIL, L"The connection string gives a property twice.[" + name + L"]");
        properties.emplace_back(std::move(name), std::move(value));
        at = pos + 1;
    }
    *out = std::move(properties);
    return Status{};
}

const std::wstring* FindProperty(const Properties& properties, std::wstring_view name) {
    for (const auto& [key, value] : properties) {
        if (key == name) return &value;
    }
    return nullptr;
}

bool PathUnderRoot(std::wstring_view root, std::wstring_view name, std::wstring* out) {
    if (root.empty() || name.find(L'\0') != name.npos) return false;
    std::vector<std::wstring_view> parts;
    size_t start = 0;
    while (start <= name.size()) {
        size_t end = name.find_first_of(L"/\\", start);
        if (end == name.npos) end = name.size();
        const std::wstring_view piece = name.substr(start, end - start);
        start = end + 1;
        if (piece.empty() || piece == L".") continue;
        if (piece == L"..") {
            if (parts.empty()) return false;
            parts.pop_back();
            continue;
        }
        parts.push_back(piece);
    }
    if (parts.empty()) return false;
    std::wstring path(root);
    while (path.size() > 1 && path.back() == L'/') path.pop_back();
    for (const std::wstring_view part : parts) {
        if (path.back() != L'/') path += L'/';
        path += part;
    }
    *out = std::move(path);
    return true;
}

std::wstring CurrentSiteRoot() {
    CComPtr<IGetContextProperties> spContext;
    if (SUCCEEDED(CoGetObjectContext(IID_IGetContextProperties, spContext.ReceiveVoid())) && spContext) {
        CComVariant server;
        CComBSTR name(L"Server");
        CComPtr<PravoltTypeLibrary::IServer> spServer;
        if (SUCCEEDED(spContext->GetProperty(name, &server)) &&
            (server.vt == VT_DISPATCH || server.vt == VT_UNKNOWN) && server.punkVal &&
            SUCCEEDED(server.punkVal->QueryInterface(IID_IServer, spServer.ReceiveVoid())) && spServer) {
            CComBSTR root;
            CComBSTR top(L"/");
            if (SUCCEEDED(spServer->MapPath(top, root.Receive())) && !root.IsEmpty())
                return std::wstring(root.c_str(), root.Length());
            // A page without a site root leaves no error behind for the fallback below.
            SetErrorInfo(0, nullptr);
        }
    }
    std::lock_guard<std::mutex> lock(g_rootLock);
    return g_strSiteRoot;
}

Status OpenConnection(std::wstring_view connectionString, std::shared_ptr<Connection>* out) {
    Properties properties;
    if (Status status = ParseConnectionString(connectionString, &properties); !status.ok()) return status;
    if (properties.empty()) return Status::Fail(E_FAIL, L"The connection string is empty.");
    const Provider* provider = kProviders[0];
    if (const std::wstring* name = FindProperty(properties, L"provider")) {
        const auto found = std::find_if(std::begin(kProviders), std::end(kProviders),
                                        [name](const Provider* p) { return SameName(*name, p->Name()); });
        if (found == std::end(kProviders))
            return Status::Fail(kProviderNotFound, L"Provider cannot be found.[" + *name + L"]");
        provider = *found;
    }
    Target target;
    if (Status status = provider->Resolve(properties, CurrentSiteRoot(), &target); !status.ok()) return status;

    const std::string key = Utf8Of(provider->Name(), wcslen(provider->Name())) + '\n' + target.key;
    auto found = t_pool.find(key);
    if (found != t_pool.end()) {
        std::shared_ptr<Lease> lease = found->second.lease.lock();
        if (!lease) {
            try {
                lease = std::make_shared<Lease>(found->second.connection);
            } catch (const std::bad_alloc&) {
                return Status::Fail(E_OUTOFMEMORY, L"");
            }
            found->second.lease = lease;
        }
        *out = std::shared_ptr<Connection>(lease, lease->connection.get());
        return Status{};
    }

    std::shared_ptr<Connection> connection;
    if (Status status = provider->Open(target, &connection); !status.ok()) return status;
    try {
        if (t_pool.size() >= kMaxPooled) DropIdleConnections();
        auto lease = std::make_shared<Lease>(connection);
        t_pool[key] = PoolEntry{connection, lease};
        *out = std::shared_ptr<Connection>(lease, lease->connection.get());
    } catch (const std::bad_alloc&) {
        return Status::Fail(E_OUTOFMEMORY, L"");
    }
    return Status{};
}

// ---- Text ------------------------------------------------------------------------------

std::string Utf8Of(const wchar_t* text, size_t count) {
    std::string out;
    out.reserve(count);
    for (size_t i = 0; i < count; ++i) {
        uint32_t c = uint32_t(text[i]);
        if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) c = 0xFFFD;
        if (c < 0x80) {
            out += char(c);
        } else if (c < 0x800) {
            out += char(0xC0 | (c >> 6));
            out += char(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += char(0xE0 | (c >> 12));
            out += char(0x80 | ((c >> 6) & 0x3F));
            out += char(0x80 | (c & 0x3F));
        } else {
            out += char(0xF0 | (c >> 18));
            out += char(0x80 | ((c >> 12) & 0x3F));
            out += char(0x80 | ((c >> 6) & 0x3F));
            out += char(0x80 | (c & 0x3F));
        }
    }
    return out;
}

std::wstring WideOf(std::string_view utf8) {
    std::wstring out;
    out.reserve(utf8.size());
    const auto* p = reinterpret_cast<const unsigned char*>(utf8.data());
    const size_t n = utf8.size();
    for (size_t i = 0; i < n;) {
        const unsigned char lead = p[i];
        if (lead < 0x80) {
            out += wchar_t(lead);
            ++i;
            continue;
        }
        size_t length = 0;
        uint32_t c = 0, least = 0;
        if (lead >= 0xC2 && lead <= 0xDF) length = 2, c = lead & 0x1F, least = 0x80;
        else if (lead >= 0xE0 && lead <= 0xEF) length = 3, c = lead & 0x0F, least = 0x800;
        else if (lead >= 0xF0 && lead <= 0xF4) length = 4, c = lead & 0x07, least = 0x10000;
        size_t taken = 1;
        bool good = length != 0;
        for (; good && taken < length; ++taken) {
            if (i + taken >= n || (p[i + taken] & 0xC0) != 0x80) {
                good = false;
                break;
            }
            c = (c << 6) | (p[i + taken] & 0x3F);
        }
        if (good && (c < least || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF))) good = false;
        out += good ? wchar_t(c) : wchar_t(0xFFFD);
        i += good ? length : std::max<size_t>(taken, 1);
    }
    return out;
}

}  // namespace veskhost::db
