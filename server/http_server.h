// The HTTP side of vesk-serve, on libmicrohttpd: one event loop thread owns every connection
// (so idle keep-alive connections and clients that send slowly cost a socket each, never a
// thread), static files are sent from it directly, and each page runs on a bounded pool of
// page threads while its connection waits suspended.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_set>
#include <vector>

#include "server/logs.h"
#include "server/page_runner.h"
#include "server/server_config.h"

struct MHD_Daemon;
struct MHD_Connection;

namespace veskserve {

// A fixed number of threads running queued work in order.
class WorkerPool {
public:
    explicit WorkerPool(unsigned threads);
    ~WorkerPool();  // finishes the queued work, then joins
    void Submit(std::function<void()> work);

private:
    std::mutex m_mutex;
    std::condition_variable m_ready;
    std::deque<std::function<void()>> m_queue;
    bool m_bStopping = false;
    std::vector<std::thread> m_threads;
};

class HttpServer {
public:
    HttpServer(const ServerConfig& config, PageRunner& pages, Logs& logs);
    ~HttpServer();
    HttpServer(const HttpServer&) = delete;
    HttpServer& operator=(const HttpServer&) = delete;

    bool Start(std::string* message);
    uint16_t Port() const { return m_nPort; }

    // A graceful stop: no new connections, the requests in flight finished (waiting at
    // most `wait`), then every connection closed.
    void Stop(std::chrono::steady_clock::duration wait);

    struct Request;  // one request's state, defined in the source
    struct Watch;    // one connection's deadline for what it is sending, defined in the source

private:
    friend struct HttpCallbacks;

    // Closes the connections whose headers or body did not arrive by their deadline; the
    // event loop only knows silence, and a client sending a byte a second is never silent.
    void WatchDeadlines();
    // Sets what the connection must send next (null: nothing, the server has the turn).
    void Await(MHD_Connection* connection, const char* what);
    // A body's deadline moves on with each piece of it that arrives.
    void ExtendBody(MHD_Connection* connection, size_t received);

    ServerConfig m_config;
    std::string m_root;  // the real path of the site's root
    PageRunner& m_pages;
    Logs& m_logs;
    WorkerPool m_workers;
    MHD_Daemon* m_daemon = nullptr;
    uint16_t m_nPort = 0;
    std::atomic<int> m_nInFlight{0};  // requests begun and not yet completed
    std::atomic<int> m_nPagesRunning{0};
    std::atomic<bool> m_bStopping{false};

    std::mutex m_watchMutex;
    std::unordered_set<Watch*> m_watches;
    std::condition_variable m_watchWake;
    bool m_bWatchStop = false;
    std::thread m_watchdog;
};

}  // namespace veskserve
