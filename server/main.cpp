// vesk-serve: serves a site whose pages are JavaScript files run with the page objects and
// the library's components.
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>

#include "server/http_server.h"
#include "server/logs.h"
#include "server/page_runner.h"
#include "server/server_config.h"

int main(int argc, char** argv) {
    using namespace veskserve;
    ServerConfig config;
    config.root = VESK_DEFAULT_SITE;
    config.module = VESK_MODULE_PATH;
    std::string message;
    switch (ParseCommandLine(argc, argv, &config, &message)) {
    case CommandLine::Help: std::fputs(HelpText(config).c_str(), stdout); return 0;
    case CommandLine::Version: std::fputs(VersionText().c_str(), stdout); return 0;
    case CommandLine::Error: std::fprintf(stderr, "vesk-serve: %s\n", message.c_str()); return 2;
    case CommandLine::Run: break;
    }

    // The signals that stop the server are taken by the main thread only.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    signal(SIGPIPE, SIG_IGN);

    Logs logs;
    if (!logs.Open(config.logPath, config.accessLogPath, &message)) {
        std::fprintf(stderr, "vesk-serve: %s\n", message.c_str());
        return 1;
    }
    PageRunner pages(config, logs);
    if (!pages.LoadModule(&message)) {
        logs.Error(message);
        return 1;
    }
    pages.StartApplication();
    HttpServer server(config, pages, logs);
    if (!server.Start(&message)) {
        logs.Error(message);
        return 1;
    }
    const std::string host = config.host.find(':') != std::string::npos ? "[" + config.host + "]" : config.host;
    std::printf("vesk-serve: serving %s at http://%s:%u/\n", config.root.c_str(), host.c_str(), server.Port());
    std::fflush(stdout);
    logs.Info("listening on " + host + ":" + std::to_string(server.Port()) + ", site " + config.root);

    // Between signals, the main thread ends the sessions that have timed out.
    const timespec sweep{30, 0};
    int signal = 0;
    while (true) {
        signal = sigtimedwait(&stopSignals, nullptr, &sweep);
        if (signal == SIGINT || signal == SIGTERM) break;
        pages.SweepSessions();
    }
    logs.Info(std::string("stopping on ") + (signal == SIGINT ? "SIGINT" : "SIGTERM"));
    server.Stop(std::chrono::seconds(config.scriptTimeoutSeconds + config.stopGraceSeconds));
    pages.EndSessions();
    logs.Info("stopped");
    return 0;
}
