/* The HTTP library choice, libmicrohttpd's side: "hello" from one epoll loop thread, the
   way vesk-serve runs it.  mhd_hello PORT */
#include <microhttpd.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

static enum MHD_Result Answer(void* cls, struct MHD_Connection* connection, const char* url, const char* method,
                              const char* version, const char* upload, size_t* uploadSize, void** state) {
    (void)cls; (void)url; (void)method; (void)version; (void)upload; (void)uploadSize;
    static int marker;
    if (*state == NULL) {
        *state = &marker;
        return MHD_YES;
    }
    static const char kBody[] = "hello\n";
    struct MHD_Response* response =
        MHD_create_response_from_buffer(sizeof kBody - 1, (void*)kBody, MHD_RESPMEM_PERSISTENT);
    const enum MHD_Result result = MHD_queue_response(connection, 200, response);
    MHD_destroy_response(response);
    return result;
}

int main(int argc, char** argv) {
    if (argc < 2) return 2;
    struct MHD_Daemon* daemon = MHD_start_daemon(
        MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_EPOLL, (uint16_t)atoi(argv[1]), NULL, NULL, &Answer, NULL,
        MHD_OPTION_CONNECTION_LIMIT, 2048u, MHD_OPTION_CONNECTION_TIMEOUT, 15u, MHD_OPTION_END);
    if (daemon == NULL) return 1;
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    sigprocmask(SIG_BLOCK, &set, NULL);
    int signal;
    sigwait(&set, &signal);
    MHD_stop_daemon(daemon);
    return 0;
}
