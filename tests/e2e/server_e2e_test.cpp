// vesk-serve as a visitor sees it: a real server process on 127.0.0.1, port chosen by the
// server, requests over plain sockets. Waits are bounded (generous, for a loaded machine)
// and poll for their condition.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <atomic>
#include <map>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kPatience = std::chrono::seconds(30);

struct Reply {
    int status = 0;
    std::multimap<std::string, std::string> headers;  // names lowered
    std::string body;
    std::string Header(const std::string& name) const {
        const auto found = headers.find(name);
        return found == headers.end() ? "" : found->second;
    }
};

int Connect(uint16_t port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

bool SendAll(int fd, const std::string& data) {
    size_t sent = 0;
    while (sent < data.size()) {
        const ssize_t n = send(fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) return false;
        sent += size_t(n);
    }
    return true;
}

// Reads one response (Content-Length framed, or to the close) within the deadline.
bool ReadReply(int fd, Reply* reply, Clock::time_point deadline = Clock::now() + kPatience) {
    std::string data;
    size_t headerEnd = std::string::npos, wanted = std::string::npos;
    char buffer[65536];
    while (true) {
        if (headerEnd == std::string::npos) headerEnd = data.find("\r\n\r\n");
        if (headerEnd != std::string::npos && wanted == std::string::npos) {
            std::string head = data.substr(0, headerEnd);
            reply->headers.clear();
            std::sscanf(head.c_str(), "HTTP/1.%*d %d", &reply->status);
            size_t pos = head.find("\r\n");
            while (pos != std::string::npos && pos < head.size()) {
                const size_t next = head.find("\r\n", pos + 2);
                const std::string line = head.substr(pos + 2, next == std::string::npos ? std::string::npos : next - pos - 2);
                const size_t colon = line.find(':');
                if (colon != std::string::npos) {
                    std::string name = line.substr(0, colon);
                    for (char& c : name) c = char(std::tolower(c));
                    std::string value = line.substr(colon + 1);
                    while (!value.empty() && value[0] == ' ') value.erase(0, 1);
                    reply->headers.emplace(name, value);
                }
                pos = next;
            }
            const std::string length = reply->Header("content-length");
            if (!length.empty()) wanted = headerEnd + 4 + std::stoul(length);
            if (reply->status == 304) wanted = headerEnd + 4;
        }
        if (wanted != std::string::npos && data.size() >= wanted) {
            reply->body = data.substr(headerEnd + 4, wanted - headerEnd - 4);
            return true;
        }
        const int left = int(std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count());
        if (left <= 0) return false;
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, left) <= 0) return false;
        const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0) {
            if (headerEnd == std::string::npos) return false;
            reply->body = data.substr(headerEnd + 4);
            return true;
        }
        data.append(buffer, size_t(n));
    }
}

// The server process, started with the test site and stopped (SIGTERM) at the end.
class Server {
public:
    explicit Server(std::vector<std::string> extra = {}) {
        int out[2];
        if (pipe2(out, O_CLOEXEC) != 0) return;
        std::vector<std::string> args = {VESK_SERVE_PATH, "--root", VESK_E2E_SITE, "--listen", "127.0.0.1:0"};
        args.insert(args.end(), extra.begin(), extra.end());
        m_pid = fork();
        if (m_pid == 0) {
            dup2(out[1], 1);
            std::vector<char*> argv;
            for (std::string& a : args) argv.push_back(a.data());
            argv.push_back(nullptr);
            execv(argv[0], argv.data());
            _exit(127);
        }
        close(out[1]);
        m_out = out[0];
        // The first line names the port the server took.
        std::string line;
        const auto deadline = Clock::now() + kPatience;
        char c;
        while (Clock::now() < deadline) {
            pollfd p{m_out, POLLIN, 0};
            if (poll(&p, 1, 1000) <= 0) continue;
            if (read(m_out, &c, 1) != 1) break;
            if (c == '\n') break;
            line += c;
        }
        const size_t colon = line.rfind(':');
        if (colon != std::string::npos) m_port = uint16_t(std::atoi(line.c_str() + colon + 1));
    }
    ~Server() { Stop(); }

    uint16_t Port() const { return m_port; }

    // Sends SIGTERM and waits for the exit; returns the exit status.
    int Stop() {
        if (m_pid <= 0) return -1;
        kill(m_pid, SIGTERM);
        int status = 0;
        waitpid(m_pid, &status, 0);
        m_pid = -1;
        if (m_out >= 0) close(m_out);
        m_out = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    Reply Get(const std::string& path, const std::string& extraHeaders = "") const {
        return Send("GET " + path + " HTTP/1.1\r\nHost: localhost\r\nConnection: close\r\n" + extraHeaders + "\r\n");
    }
    Reply Post(const std::string& path, const std::string& type, const std::string& body) const {
        return Send("POST " + path + " HTTP/1.1\r\nHost: localhost\r\nConnection: close\r\nContent-Type: " + type +
                    "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body);
    }
    Reply Send(const std::string& raw) const {
        Reply reply;
        const int fd = Connect(m_port);
        if (fd < 0) return reply;
        if (SendAll(fd, raw)) ReadReply(fd, &reply);
        close(fd);
        return reply;
    }

private:
    pid_t m_pid = -1;
    int m_out = -1;
    uint16_t m_port = 0;
};

// The session cookie a reply set, as "VESKSESSIONID=..." for the next request.
std::string SessionCookie(const Reply& reply) {
    for (const auto& [name, value] : reply.headers) {
        if (name == "set-cookie" && value.rfind("VESKSESSIONID=", 0) == 0) return value.substr(0, value.find(';'));
    }
    return "";
}

class ServerTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        server = new Server({"--script-timeout", "2", "--script-memory", "16", "--upload-limit", "1000"});
        ASSERT_NE(0, server->Port());
    }
    static void TearDownTestSuite() {
        delete server;
        server = nullptr;
    }
    static Server* server;
};
Server* ServerTest::server = nullptr;

// ---- Static files and refused paths ------------------------------------------------------

TEST_F(ServerTest, StaticFileHasTypeAndValidators) {
    const Reply file = server->Get("/file.txt");
    EXPECT_EQ(200, file.status);
    EXPECT_EQ("plain text\n", file.body);
    EXPECT_EQ("text/plain; charset=utf-8", file.Header("content-type"));
    const std::string etag = file.Header("etag");
    ASSERT_FALSE(etag.empty());
    ASSERT_FALSE(file.Header("last-modified").empty());
    EXPECT_EQ(304, server->Get("/file.txt", "If-None-Match: " + etag + "\r\n").status);
    EXPECT_EQ(304, server->Get("/file.txt", "If-Modified-Since: " + file.Header("last-modified") + "\r\n").status);
    EXPECT_EQ(200, server->Get("/file.txt", "If-None-Match: \"other\"\r\n").status);
    EXPECT_EQ(200, server->Get("/file.txt", "If-Modified-Since: Mon, 01 Jan 1990 00:00:00 GMT\r\n").status);
}

TEST_F(ServerTest, RefusedPathsAreNotFound) {
    for (const char* path : {"/templates/x.html", "/TEMPLATES/x.html", "/_private/x.txt", "/.hidden", "/global.vsp",
                             "/../etc/passwd", "/%2e%2e/etc/passwd", "/t/%2E%2E/%2e%2e/etc/passwd", "/a%00.vsp",
                             "/t%5c..%5cfile.txt", "/missing.vsp", "/t/"}) {
        EXPECT_EQ(404, server->Get(path).status) << path;
    }
    // Page scripts run; they are never sent as files.
    const Reply page = server->Get("/index.vsp");
    EXPECT_EQ("index", page.body);
    EXPECT_EQ("index", server->Get("/").body);
}

// ---- Pages and the bridge ----------------------------------------------------------------

TEST_F(ServerTest, PageReadsTheRequest) {
    EXPECT_EQ("hello ann 1", server->Get("/hello.vsp?name=ann").body);
    EXPECT_EQ("hello  0", server->Get("/hello.vsp").body);
    const Reply post = server->Post("/post.vsp", "application/x-www-form-urlencoded", "a=b%20c");
    EXPECT_EQ("b c|7", post.body);
}

TEST_F(ServerTest, ValuesKeepTheirTypesBothWays) {
    const Reply reply = server->Get("/convert.vsp");
    ASSERT_EQ(200, reply.status) << reply.body;
    const std::string expected =
        "i=number:42\nbig=number:3000000000\nr=number:1.5\ns=string:\"x\u00e9\U0001F600\"\nt=boolean:true\n"
        "n=object:null\nu=undefined:undefined\na=object:[1,\"two\",[3]]\nd=object:2020-01-02T03:04:05.000Z";
    EXPECT_EQ(expected, reply.body);
}

TEST_F(ServerTest, ControllerRunsWithTheScriptAndTheBag) {
    const Reply first = server->Get("/vesk.vsp?c=put&v=red");
    ASSERT_EQ(200, first.status) << first.body;
    EXPECT_EQ("<p>page</p>\n", first.body);
    const std::string cookie = SessionCookie(first);
    ASSERT_FALSE(cookie.empty());
    EXPECT_EQ("bag=red;view=blue,1;<p>page</p>\n", server->Get("/vesk.vsp?c=get", "Cookie: " + cookie + "\r\n").body);
    // Another visitor has another Bag.
    EXPECT_EQ("bag=undefined;view=blue,1;<p>page</p>\n", server->Get("/vesk.vsp?c=get").body);  // an absent key is Empty
}

// ---- Sessions ----------------------------------------------------------------------------

TEST_F(ServerTest, TwoVisitorsTwoSessionsAndNoLeakedGlobals) {
    const Reply a1 = server->Get("/counter.vsp");
    const Reply b1 = server->Get("/counter.vsp");
    const std::string a = SessionCookie(a1), b = SessionCookie(b1);
    ASSERT_FALSE(a.empty());
    ASSERT_NE(a, b);
    EXPECT_EQ("1 1 undefined", a1.body);
    EXPECT_EQ("2 2 undefined", server->Get("/counter.vsp", "Cookie: " + a + "\r\n").body);
    EXPECT_EQ("3 3 undefined", server->Get("/counter.vsp", "Cookie: " + a + "\r\n").body);
    EXPECT_EQ("2 2 undefined", server->Get("/counter.vsp", "Cookie: " + b + "\r\n").body);
    const std::string header = a1.headers.find("set-cookie")->second;
    EXPECT_NE(std::string::npos, header.find("HttpOnly"));
    EXPECT_NE(std::string::npos, header.find("SameSite=Lax"));
    EXPECT_EQ(32u + 14u, a.size());  // 128 bits as hex
}

TEST_F(ServerTest, UnknownOrAbandonedSessionStartsFresh) {
    const Reply forged = server->Get("/counter.vsp", "Cookie: VESKSESSIONID=00000000000000000000000000000000\r\n");
    EXPECT_EQ("1 1 undefined", forged.body);
    EXPECT_NE("VESKSESSIONID=00000000000000000000000000000000", SessionCookie(forged));

    const Reply abandoned = server->Get("/abandon.vsp");
    const std::string cookie = SessionCookie(abandoned);
    EXPECT_EQ("gone", abandoned.body);
    EXPECT_EQ("VESKSESSIONID=", cookie);  // the cookie is expired
    EXPECT_EQ("kept", server->Get("/ended.vsp").body);  // Session_OnEnd saw the session's state
}

TEST_F(ServerTest, SiteEventsRun) {
    EXPECT_EQ("yes 1", server->Get("/app.vsp").body);
}

// ---- Errors ------------------------------------------------------------------------------

TEST_F(ServerTest, FailingPageShowsTheLibraryErrorAndDropsItsOutput) {
    const Reply reply = server->Get("/fail.vsp");
    EXPECT_EQ(500, reply.status);
    EXPECT_NE(std::string::npos, reply.body.find("<b>Vesk</b>: Unknown Command &#39;save&#39;.")) << reply.body;
    EXPECT_NE(std::string::npos, reply.body.find("/fail.vsp, line 5")) << reply.body;
    EXPECT_EQ(std::string::npos, reply.body.find("not sent"));

    const Reply thrown = server->Get("/throw.vsp");
    EXPECT_EQ(500, thrown.status);
    EXPECT_NE(std::string::npos, thrown.body.find("broken start")) << thrown.body;
    EXPECT_NE(std::string::npos, thrown.body.find("line 1")) << thrown.body;
}

TEST_F(ServerTest, RunawayScriptsEndWhileOthersAreServed) {
    std::thread runaway([] {
        const Reply reply = server->Get("/loop.vsp");
        EXPECT_EQ(500, reply.status);
        EXPECT_NE(std::string::npos, reply.body.find("ran longer than its limit")) << reply.body;
        EXPECT_NE(std::string::npos, reply.body.find("/loop.vsp, line 2")) << reply.body;
    });
    std::thread hog([] {
        const Reply reply = server->Get("/memory.vsp");
        EXPECT_EQ(500, reply.status);
        EXPECT_NE(std::string::npos, reply.body.find("used more than its memory limit of 16 MB")) << reply.body;
        EXPECT_NE(std::string::npos, reply.body.find("/memory.vsp, line 3")) << reply.body;
    });
    for (int i = 0; i < 5; ++i) EXPECT_EQ("index", server->Get("/").body);
    runaway.join();
    hog.join();
    EXPECT_EQ("index", server->Get("/").body);
}

TEST_F(ServerTest, RedirectAndEndStopThePage) {
    const Reply redirect = server->Get("/redirect.vsp");
    EXPECT_EQ(302, redirect.status);
    EXPECT_EQ("/hello.vsp?name=there", redirect.Header("location"));
    EXPECT_EQ(std::string::npos, redirect.body.find("after redirect"));
    EXPECT_EQ("before", server->Get("/end.vsp").body);
}

TEST_F(ServerTest, BadRequestsGet4xx) {
    EXPECT_EQ(413, server->Post("/post.vsp", "text/plain", std::string(1001, 'x')).status);
    EXPECT_EQ("|1000", server->Post("/post.vsp", "text/plain", std::string(1000, 'x')).body);
    std::string many = "GET / HTTP/1.1\r\nHost: x\r\nConnection: close\r\n";
    for (int i = 0; i < 100; ++i) many += "X-H" + std::to_string(i) + ": v\r\n";
    EXPECT_EQ(431, server->Send(many + "\r\n").status);
    EXPECT_NE(200, server->Send("GARBAGE\r\n\r\n").status);
    EXPECT_EQ(405, server->Send("DELETE /file.txt HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n").status);
    EXPECT_EQ(400, server->Send("POST /post.vsp HTTP/1.1\r\nHost: x\r\nContent-Length: -5\r\n\r\n").status);
    // A chunked body declares no length; it is refused once it grows past the limit.
    const std::string chunk(600, 'a');
    const std::string chunked = "POST /post.vsp HTTP/1.1\r\nHost: x\r\nConnection: close\r\nTransfer-Encoding: chunked\r\n"
                                "Content-Type: text/plain\r\n\r\n258\r\n" + chunk + "\r\n258\r\n" + chunk + "\r\n0\r\n\r\n";
    EXPECT_EQ(413, server->Send(chunked).status);
    EXPECT_EQ(200, server->Send("POST /post.vsp HTTP/1.1\r\nHost: x\r\nConnection: close\r\nTransfer-Encoding: chunked\r\n"
                                "Content-Type: text/plain\r\n\r\n258\r\n" + chunk + "\r\n0\r\n\r\n").status);
}

// ---- Connections -------------------------------------------------------------------------

TEST_F(ServerTest, IdleAndSlowConnectionsDoNotStarveNewClients) {
    std::vector<int> idle;
    for (int i = 0; i < 256; ++i) {
        const int fd = Connect(server->Port());
        ASSERT_GE(fd, 0);
        // Keep-alive connections that have been served once and then stay silent.
        if (i % 2 == 0) {
            ASSERT_TRUE(SendAll(fd, "GET /file.txt HTTP/1.1\r\nHost: x\r\n\r\n"));
            Reply reply;
            ASSERT_TRUE(ReadReply(fd, &reply));
        }
        idle.push_back(fd);
    }
    const int slow = Connect(server->Port());
    std::atomic<bool> sending{true};
    std::thread trickle([&] {
        const std::string request = "GET /index.vsp HTTP/1.1\r\nHost: x\r\n";
        for (size_t i = 0; i < request.size() && sending; ++i) {
            SendAll(slow, request.substr(i, 1));
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
        }
    });
    const auto start = Clock::now();
    const Reply fresh = server->Get("/hello.vsp?name=new");
    const auto took = Clock::now() - start;
    EXPECT_EQ("hello new 1", fresh.body);
    EXPECT_LT(took, std::chrono::seconds(5));
    sending = false;
    trickle.join();
    close(slow);
    for (int fd : idle) close(fd);
}

TEST(ServerDeadlines, ClientsThatSendTooSlowlyAreDisconnectedAndOthersServed) {
    char logPath[] = "/tmp/vesk-e2e-log-XXXXXX";
    close(mkstemp(logPath));
    Server own({"--request-timeout", "2", "--log", logPath});
    ASSERT_NE(0, own.Port());
    // One trickles its headers, the other its body; at a byte each 200 ms neither is ever
    // silent long enough for the idle timeout, and both would take far past the deadline.
    const struct {
        const char* what;
        std::string whole, trickled;
    } clients[] = {
        {"headers", "", "GET /index.vsp HTTP/1.1\r\nHost: x\r\nUser-Agent: a-very-slow-client\r\n\r\n"},
        {"body", "POST /post.vsp HTTP/1.1\r\nHost: x\r\nContent-Type: text/plain\r\nContent-Length: 60\r\n\r\n",
         std::string(60, 'b')},
    };
    std::vector<std::thread> threads;
    for (const auto& client : clients) {
        threads.emplace_back([&own, &client] {
            const int fd = Connect(own.Port());
            ASSERT_GE(fd, 0);
            ASSERT_TRUE(SendAll(fd, client.whole));
            const auto start = Clock::now();
            bool closed = false;
            for (size_t i = 0; i < client.trickled.size() && !closed; ++i) {
                if (!SendAll(fd, client.trickled.substr(i, 1))) closed = true;
                pollfd p{fd, POLLIN, 0};
                char c;
                if (poll(&p, 1, 200) > 0 && recv(fd, &c, 1, 0) <= 0) closed = true;
            }
            const auto took = Clock::now() - start;
            EXPECT_TRUE(closed) << client.what;
            EXPECT_GE(took, std::chrono::milliseconds(1500)) << client.what;
            EXPECT_LT(took, std::chrono::seconds(8)) << client.what;
            close(fd);
        });
    }
    for (int i = 0; i < 3; ++i) EXPECT_EQ("index", own.Get("/").body);
    for (std::thread& t : threads) t.join();
    // A client at an ordinary pace is unaffected.
    EXPECT_EQ("index", own.Get("/").body);
    own.Stop();
    std::FILE* log = std::fopen(logPath, "r");
    ASSERT_NE(nullptr, log);
    std::string text(1 << 16, '\0');
    text.resize(std::fread(text.data(), 1, text.size(), log));
    std::fclose(log);
    unlink(logPath);
    EXPECT_NE(std::string::npos, text.find("its request headers did not arrive within 2 s")) << text;
    EXPECT_NE(std::string::npos, text.find("its request body did not arrive within 2 s")) << text;
}

// ---- Stopping ----------------------------------------------------------------------------

TEST(ServerStop, GracefulStopFinishesTheRequestInFlight) {
    Server own;
    ASSERT_NE(0, own.Port());
    const int fd = Connect(own.Port());
    ASSERT_TRUE(SendAll(fd, "GET /slow.vsp?ms=1500 HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n"));
    // The page is running once the server has taken the request; then the signal comes.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    std::thread stopper([&] { EXPECT_EQ(0, own.Stop()); });
    Reply reply;
    EXPECT_TRUE(ReadReply(fd, &reply));
    EXPECT_EQ("slept", reply.body);
    close(fd);
    stopper.join();
    // Nothing listens any more.
    EXPECT_LT(Connect(own.Port()), 0);
}

TEST(ServerOptions, HelpNamesEveryOptionAndVersionAnswers) {
    FILE* help = popen(VESK_SERVE_PATH " --help", "r");
    ASSERT_NE(nullptr, help);
    std::string text;
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, help)) > 0) text.append(buffer, n);
    EXPECT_EQ(0, pclose(help));
    for (const char* option : {"--root", "--listen", "--upload-limit", "--session-timeout", "--script-timeout", "--request-timeout",
                               "--script-memory", "--threads", "--access-log", "--log", "--show-errors",
                               "--hide-errors", "--version"}) {
        EXPECT_NE(std::string::npos, text.find(option)) << option;
    }
    FILE* version = popen(VESK_SERVE_PATH " --version", "r");
    ASSERT_NE(nullptr, version);
    text.clear();
    while ((n = fread(buffer, 1, sizeof buffer, version)) > 0) text.append(buffer, n);
    EXPECT_EQ(0, pclose(version));
    EXPECT_EQ(0u, text.rfind("vesk-serve ", 0));
    // A value past its bound is refused before anything starts.
    EXPECT_NE(0, system(VESK_SERVE_PATH " --threads 257 >/dev/null 2>&1"));
}

}  // namespace
