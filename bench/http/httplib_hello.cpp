// The HTTP library choice, cpp-httplib's side: "hello" from its server with its thread pool
// (Debian builds it as a library: 8 threads on a machine of up to 9 cores).  httplib_hello PORT
#include <httplib.h>

#include <cstdlib>

int main(int argc, char** argv) {
    if (argc < 2) return 2;
    httplib::Server server;
    server.Get("/", [](const httplib::Request&, httplib::Response& response) { response.set_content("hello\n", "text/plain"); });
    return server.listen("127.0.0.1", std::atoi(argv[1])) ? 0 : 1;
}
