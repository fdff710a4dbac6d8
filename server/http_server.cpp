#include "server/http_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <microhttpd.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <ctime>
#include <memory>

#include "server/site.h"

namespace veskserve {

// One request, from its request line to its completion.
struct HttpServer::Request {
    std::string uri;  // as sent: path, then "?" and the query
    std::string method;
    std::string version;
    std::string remote;
    std::time_t started = std::time(nullptr);
    bool checked = false;
    bool tooLarge = false;
    std::string body;
    enum class Phase { Reading, Running, Done } phase = Phase::Reading;
    HttpReply reply;
    int status = 0;
    size_t bytes = 0;
    std::string referer, userAgent;
};

// What a connection is expected to send, and by when. The event loop sets it as the
// connection moves on; the watchdog thread reads it. Both hold m_watchMutex.
struct HttpServer::Watch {
    int fd = -1;
    std::string remote;
    const char* awaiting = nullptr;  // "headers", "body", or null while the server has the turn
    std::chrono::steady_clock::time_point deadline;
    bool cut = false;
};

namespace {

std::string Header(MHD_Connection* connection, const char* name) {
    const char* value = MHD_lookup_connection_value(connection, MHD_HEADER_KIND, name);
    return value ? value : "";
}

HttpServer::Watch* WatchOf(MHD_Connection* connection) {
    const MHD_ConnectionInfo* info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_SOCKET_CONTEXT);
    return info ? static_cast<HttpServer::Watch*>(info->socket_context) : nullptr;
}

MHD_Result Queue(MHD_Connection* connection, HttpServer::Request& request, HttpReply reply) {
    MHD_Response* response =
        MHD_create_response_from_buffer(reply.body.size(), reply.body.data(), MHD_RESPMEM_MUST_COPY);
    if (response == nullptr) return MHD_NO;
    for (const auto& [name, value] : reply.headers) MHD_add_response_header(response, name.c_str(), value.c_str());
    request.status = reply.status;
    request.bytes = reply.body.size();
    request.reply.logEntries = std::move(reply.logEntries);
    const MHD_Result result = MHD_queue_response(connection, unsigned(reply.status), response);
    MHD_destroy_response(response);
    return result;
}

HttpReply Plain(int status, const char* text) {
    HttpReply reply;
    reply.status = status;
    reply.headers.emplace_back("Content-Type", "text/plain; charset=utf-8");
    reply.body = std::string(text) + "\n";
    return reply;
}

std::string ClientAddress(MHD_Connection* connection) {
    const MHD_ConnectionInfo* info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
    if (info == nullptr || info->client_addr == nullptr) return "-";
    char text[INET6_ADDRSTRLEN] = "-";
    const sockaddr* address = info->client_addr;
    if (address->sa_family == AF_INET) {
        inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(address)->sin_addr, text, sizeof text);
    } else if (address->sa_family == AF_INET6) {
        inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6*>(address)->sin6_addr, text, sizeof text);
    }
    return text;
}

MHD_Result CountHeader(void* cls, MHD_ValueKind, const char*, const char*) {
    ++*static_cast<unsigned*>(cls);
    return MHD_YES;
}

struct HeaderList {
    std::vector<std::pair<std::string, std::string>>* headers;
};
MHD_Result CollectHeader(void* cls, MHD_ValueKind, const char* key, const char* value) {
    static_cast<HeaderList*>(cls)->headers->emplace_back(key ? key : "", value ? value : "");
    return MHD_YES;
}

// The URL path is decoded by the site's own rules, so the library must leave it as sent.
size_t KeepEscapes(void*, MHD_Connection*, char* text) { return std::strlen(text); }

}  // namespace

struct HttpCallbacks {
    static void* Begin(void* cls, const char* uri, MHD_Connection*) {
        auto* server = static_cast<HttpServer*>(cls);
        auto* request = new HttpServer::Request();
        request->uri = uri ? uri : "";
        ++server->m_nInFlight;
        return request;
    }

    static void Completed(void* cls, MHD_Connection* connection, void** state, MHD_RequestTerminationCode) {
        auto* server = static_cast<HttpServer*>(cls);
        server->Await(connection, "headers");  // a kept-alive connection's next request
        std::unique_ptr<HttpServer::Request> request(static_cast<HttpServer::Request*>(*state));
        *state = nullptr;
        if (request) {
            if (request->status != 0) {
                AccessRecord record;
                record.remote = request->remote;
                record.when = request->started;
                record.requestLine = request->method + " " + request->uri + " " + request->version;
                record.status = request->status;
                record.bytes = request->bytes;
                record.referer = request->referer;
                record.userAgent = request->userAgent;
                record.entries = std::move(request->reply.logEntries);
                server->m_logs.Access(record);
            }
            --server->m_nInFlight;
        }
    }

    static void Connection(void* cls, MHD_Connection* connection, void** socketContext,
                           MHD_ConnectionNotificationCode code) {
        auto* server = static_cast<HttpServer*>(cls);
        if (code == MHD_CONNECTION_NOTIFY_STARTED) {
            auto watch = std::make_unique<HttpServer::Watch>();
            const MHD_ConnectionInfo* info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD);
            watch->fd = info ? info->connect_fd : -1;
            watch->remote = ClientAddress(connection);
            watch->awaiting = "headers";
            watch->deadline = std::chrono::steady_clock::now() + std::chrono::seconds(server->m_config.requestTimeoutSeconds);
            std::lock_guard<std::mutex> lock(server->m_watchMutex);
            server->m_watches.insert(watch.get());
            *socketContext = watch.release();
        } else if (code == MHD_CONNECTION_NOTIFY_CLOSED) {
            // The library reports the close before it releases the socket, so the watchdog,
            // which shuts sockets down only under this lock, never touches a reused one.
            std::unique_ptr<HttpServer::Watch> watch(static_cast<HttpServer::Watch*>(*socketContext));
            *socketContext = nullptr;
            if (watch) {
                std::lock_guard<std::mutex> lock(server->m_watchMutex);
                server->m_watches.erase(watch.get());
            }
        }
    }

    static void Logger(void* cls, const char* format, va_list args) {
        auto* server = static_cast<HttpServer*>(cls);
        char text[512];
        std::vsnprintf(text, sizeof text, format, args);
        std::string line = text;
        while (!line.empty() && line.back() == '\n') line.pop_back();
        server->m_logs.Error("http: " + line);
    }

    static MHD_Result Access(void* cls, MHD_Connection* connection, const char*, const char* method,
                             const char* version, const char* upload, size_t* uploadSize, void** state) {
        auto* server = static_cast<HttpServer*>(cls);
        auto* request = static_cast<HttpServer::Request*>(*state);
        if (request == nullptr) return MHD_NO;
        const ServerConfig& config = server->m_config;

        if (!request->checked) {
            request->checked = true;
            server->Await(connection, nullptr);  // the headers are in: the server has the turn
            request->method = method ? method : "";
            request->version = version ? version : "";
            request->remote = ClientAddress(connection);
            request->referer = Header(connection, "Referer");
            request->userAgent = Header(connection, "User-Agent");
            unsigned count = 0;
            MHD_get_connection_values(connection, MHD_HEADER_KIND, &CountHeader, &count);
            if (count > config.maxHeaders) return Queue(connection, *request, Plain(431, "Too many request headers."));
            const std::string length = Header(connection, "Content-Length");
            if (!length.empty()) {
                char* end = nullptr;
                errno = 0;
                const unsigned long long declared = std::strtoull(length.c_str(), &end, 10);
                if (errno != 0 || end == length.c_str() || *end != '\0' || length[0] == '-')
                    return Queue(connection, *request, Plain(400, "Bad Content-Length."));
                if (declared > config.uploadLimit)
                    return Queue(connection, *request, Plain(413, "The request body is larger than the upload limit."));
            }
            server->Await(connection, "body");  // the body, if any, must follow in its own time
            return MHD_YES;
        }
        if (*uploadSize != 0) {
            server->ExtendBody(connection, *uploadSize);
            if (request->body.size() + *uploadSize > config.uploadLimit) {
                request->tooLarge = true;
                request->body.clear();
            } else if (!request->tooLarge) {
                request->body.append(upload, *uploadSize);
            }
            *uploadSize = 0;
            return MHD_YES;
        }
        server->Await(connection, nullptr);  // the request is whole: the server has the turn
        if (request->tooLarge) {
            return Queue(connection, *request, Plain(413, "The request body is larger than the upload limit."));
        }
        if (request->phase == HttpServer::Request::Phase::Done) {
            return Queue(connection, *request, std::move(request->reply));
        }
        if (request->phase == HttpServer::Request::Phase::Running) return MHD_YES;

        const std::string& uri = request->uri;
        const size_t question = uri.find('?');
        const std::string path = uri.substr(0, question);
        const SiteTarget target = ResolveSitePath(server->m_root, path);
        if (target.kind == SiteTarget::Kind::BadRequest) return Queue(connection, *request, Plain(400, "Bad request."));
        if (target.kind == SiteTarget::Kind::NotFound) return Queue(connection, *request, Plain(404, "Not found."));
        const std::string& verb = request->method;
        if (target.kind == SiteTarget::Kind::Static) {
            if (verb != "GET" && verb != "HEAD") {
                HttpReply reply = Plain(405, "Method not allowed.");
                reply.headers.emplace_back("Allow", "GET, HEAD");
                return Queue(connection, *request, std::move(reply));
            }
            return ServeFile(connection, *request, target.file);
        }
        if (verb != "GET" && verb != "HEAD" && verb != "POST") {
            HttpReply reply = Plain(405, "Method not allowed.");
            reply.headers.emplace_back("Allow", "GET, HEAD, POST");
            return Queue(connection, *request, std::move(reply));
        }

        // A page: it runs on a page thread while the connection waits.
        veskhost::PageRequest page;
        page.method = verb;
        page.url = uri;
        HeaderList list{&page.headers};
        MHD_get_connection_values(connection, MHD_HEADER_KIND, &CollectHeader, &list);
        page.body = std::move(request->body);
        page.remoteAddress = request->remote;
        page.serverName = config.host;
        page.serverPort = server->m_nPort;
        for (const auto& [name, value] : page.headers) {
            if (strcasecmp(name.c_str(), "Host") == 0) {
                page.serverName = value.substr(0, value.rfind(':') == std::string::npos || value.back() == ']'
                                                      ? value.size()
                                                      : value.rfind(':'));
            }
        }
        request->phase = HttpServer::Request::Phase::Running;
        ++server->m_nPagesRunning;
        MHD_suspend_connection(connection);
        server->m_workers.Submit([server, connection, request, file = target.file, url = target.scriptUrl,
                                  page = std::move(page)]() mutable {
            request->reply = server->m_pages.Run(file, url, page);
            request->phase = HttpServer::Request::Phase::Done;
            MHD_resume_connection(connection);
            --server->m_nPagesRunning;
        });
        return MHD_YES;
    }

    static MHD_Result ServeFile(MHD_Connection* connection, HttpServer::Request& request, const std::string& file) {
        const int fd = open(file.c_str(), O_RDONLY | O_CLOEXEC);
        struct stat info {};
        if (fd < 0 || fstat(fd, &info) != 0) {
            if (fd >= 0) close(fd);
            return Queue(connection, request, Plain(404, "Not found."));
        }
        const int64_t mtime = int64_t(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec;
        const std::string etag = EntityTag(uint64_t(info.st_size), mtime);
        const std::string modified = HttpDate(info.st_mtim.tv_sec);
        if (NotModified(Header(connection, "If-None-Match"), Header(connection, "If-Modified-Since"), etag,
                        info.st_mtim.tv_sec)) {
            close(fd);
            HttpReply reply;
            reply.status = 304;
            reply.headers.emplace_back("ETag", etag);
            reply.headers.emplace_back("Last-Modified", modified);
            return Queue(connection, request, std::move(reply));
        }
        MHD_Response* response = MHD_create_response_from_fd(uint64_t(info.st_size), fd);
        if (response == nullptr) {
            close(fd);
            return MHD_NO;
        }
        MHD_add_response_header(response, "Content-Type", ContentTypeOf(file));
        MHD_add_response_header(response, "ETag", etag.c_str());
        MHD_add_response_header(response, "Last-Modified", modified.c_str());
        request.status = 200;
        request.bytes = size_t(info.st_size);
        const MHD_Result result = MHD_queue_response(connection, 200, response);
        MHD_destroy_response(response);
        return result;
    }
};

WorkerPool::WorkerPool(unsigned threads) {
    for (unsigned i = 0; i < threads; ++i) {
        m_threads.emplace_back([this] {
            while (true) {
                std::function<void()> work;
                {
                    std::unique_lock<std::mutex> lock(m_mutex);
                    m_ready.wait(lock, [this] { return m_bStopping || !m_queue.empty(); });
                    if (m_queue.empty()) return;
                    work = std::move(m_queue.front());
                    m_queue.pop_front();
                }
                work();
            }
        });
    }
}

WorkerPool::~WorkerPool() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_bStopping = true;
    }
    m_ready.notify_all();
    for (std::thread& thread : m_threads) thread.join();
}

void WorkerPool::Submit(std::function<void()> work) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_queue.push_back(std::move(work));
    }
    m_ready.notify_one();
}

HttpServer::HttpServer(const ServerConfig& config, PageRunner& pages, Logs& logs)
    : m_config(config), m_pages(pages), m_logs(logs), m_workers(config.threads) {}

HttpServer::~HttpServer() { Stop(std::chrono::seconds(0)); }

bool HttpServer::Start(std::string* message) {
    std::unique_ptr<char, decltype(&std::free)> root(realpath(m_config.root.c_str(), nullptr), &std::free);
    if (!root) {
        *message = "the site's folder " + m_config.root + " does not exist";
        return false;
    }
    m_root = root.get();

    sockaddr_storage address{};
    unsigned flags = MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_EPOLL | MHD_ALLOW_SUSPEND_RESUME | MHD_USE_ERROR_LOG;
    auto* v4 = reinterpret_cast<sockaddr_in*>(&address);
    auto* v6 = reinterpret_cast<sockaddr_in6*>(&address);
    if (inet_pton(AF_INET, m_config.host.c_str(), &v4->sin_addr) == 1) {
        v4->sin_family = AF_INET;
        v4->sin_port = htons(m_config.port);
    } else if (inet_pton(AF_INET6, m_config.host.c_str(), &v6->sin6_addr) == 1) {
        v6->sin6_family = AF_INET6;
        v6->sin6_port = htons(m_config.port);
        flags |= MHD_USE_IPv6;
    } else {
        *message = "cannot listen on '" + m_config.host + "': give a numeric address such as 127.0.0.1";
        return false;
    }
    m_daemon = MHD_start_daemon(
        flags, m_config.port, nullptr, nullptr, &HttpCallbacks::Access, this,
        MHD_OPTION_EXTERNAL_LOGGER, &HttpCallbacks::Logger, this,
        MHD_OPTION_SOCK_ADDR, reinterpret_cast<sockaddr*>(&address),
        MHD_OPTION_CONNECTION_LIMIT, unsigned(m_config.connectionLimit),
        MHD_OPTION_CONNECTION_TIMEOUT, unsigned(m_config.idleTimeoutSeconds),
        MHD_OPTION_CONNECTION_MEMORY_LIMIT, size_t(m_config.headerMemoryBytes),
        MHD_OPTION_URI_LOG_CALLBACK, &HttpCallbacks::Begin, this,
        MHD_OPTION_NOTIFY_COMPLETED, &HttpCallbacks::Completed, this,
        MHD_OPTION_NOTIFY_CONNECTION, &HttpCallbacks::Connection, this,
        MHD_OPTION_UNESCAPE_CALLBACK, &KeepEscapes, nullptr,
        MHD_OPTION_LISTENING_ADDRESS_REUSE, 1u,
        MHD_OPTION_END);
    if (m_daemon == nullptr) {
        *message = "cannot listen on " + m_config.host + ":" + std::to_string(m_config.port);
        return false;
    }
    const MHD_DaemonInfo* info = MHD_get_daemon_info(m_daemon, MHD_DAEMON_INFO_BIND_PORT);
    m_nPort = info ? info->port : m_config.port;
    m_watchdog = std::thread([this] { WatchDeadlines(); });
    return true;
}

void HttpServer::Await(MHD_Connection* connection, const char* what) {
    Watch* watch = WatchOf(connection);
    if (watch == nullptr) return;
    std::lock_guard<std::mutex> lock(m_watchMutex);
    watch->awaiting = what;
    watch->deadline = std::chrono::steady_clock::now() + std::chrono::seconds(m_config.requestTimeoutSeconds);
}

void HttpServer::ExtendBody(MHD_Connection* connection, size_t received) {
    Watch* watch = WatchOf(connection);
    if (watch == nullptr || m_config.bodyMinRate == 0) return;
    std::lock_guard<std::mutex> lock(m_watchMutex);
    watch->deadline += std::chrono::microseconds(uint64_t(received) * 1000000 / m_config.bodyMinRate);
}

void HttpServer::WatchDeadlines() {
    std::unique_lock<std::mutex> lock(m_watchMutex);
    while (!m_bWatchStop) {
        m_watchWake.wait_for(lock, std::chrono::milliseconds(250));
        const auto now = std::chrono::steady_clock::now();
        for (Watch* watch : m_watches) {
            if (watch->cut || watch->awaiting == nullptr || now < watch->deadline || watch->fd < 0) continue;
            // The event loop sees the end of the stream and closes the connection itself.
            shutdown(watch->fd, SHUT_RDWR);
            watch->cut = true;
            m_logs.Error("closed the connection from " + watch->remote + ": its request " + watch->awaiting +
                         " did not arrive within " + std::to_string(m_config.requestTimeoutSeconds) + " s");
        }
    }
}

void HttpServer::Stop(std::chrono::steady_clock::duration wait) {
    if (m_daemon == nullptr) return;
    m_bStopping = true;
    const MHD_socket listener = MHD_quiesce_daemon(m_daemon);
    if (listener != MHD_INVALID_SOCKET) close(listener);
    // The pages in flight finish and their answers go out; idle connections just close.
    // A page's script ends by its deadline at the latest; its connection must be resumed
    // before the loop stops, so the wait for running pages has no other end.
    const auto until = std::chrono::steady_clock::now() + wait;
    bool reported = false;
    while (m_nPagesRunning.load() > 0) {
        if (!reported && std::chrono::steady_clock::now() >= until) {
            m_logs.Error("stopping: pages still running after the grace period; waiting for them");
            reported = true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    const auto sent = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (std::chrono::steady_clock::now() < sent && m_nInFlight.load() > 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    MHD_stop_daemon(m_daemon);
    m_daemon = nullptr;
    {
        std::lock_guard<std::mutex> lock(m_watchMutex);
        m_bWatchStop = true;
    }
    m_watchWake.notify_all();
    if (m_watchdog.joinable()) m_watchdog.join();
}

}  // namespace veskserve
