// Hosts the transfer server engine for bench/transfer/run.sh.
//
//   transfer_bench_server PORT DIR USER PASSWORD [CERTIFICATE KEY]
//
// With CERTIFICATE and KEY (PEM files) TLS is required for the login and
// every transfer. Serves DIR on PORT to the one account given until SIGTERM, SIGINT or
// SIGHUP arrives, or until standard input reaches its end when it is a pipe
// or a terminal. The pipe lets the script tie the server's life to its own:
// should the script be killed outright, the server still goes.

#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "server/ftpserver/ftpserver.h"

namespace {

bool IsEndingStream(int hFile) {
    struct stat st {};
    return fstat(hFile, &st) == 0 && (S_ISFIFO(st.st_mode) || isatty(hFile));
}

void WatchStandardInput() {
    char buffer[256];
    for (;;) {
        ssize_t nRead = read(STDIN_FILENO, buffer, sizeof(buffer));
        if (nRead == 0 || (nRead < 0 && errno != EINTR)) {
            break;
        }
    }
    kill(getpid(), SIGTERM);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 5 && argc != 7) {
        std::fprintf(stderr, "usage: %s PORT DIR USER PASSWORD [CERTIFICATE KEY]\n", argv[0]);
        return 2;
    }
    char* pszEnd = nullptr;
    long nPort = std::strtol(argv[1], &pszEnd, 10);
    if (*pszEnd != '\0' || nPort <= 0 || nPort > 65535) {
        std::fprintf(stderr, "bad port: %s\n", argv[1]);
        return 2;
    }

    // Blocked before any thread exists, so that every thread inherits the
    // mask and only sigwait below ever takes these signals.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    if (IsEndingStream(STDIN_FILENO)) {
        // Detached: it may still sit in read when the process exits.
        std::thread(WatchStandardInput).detach();
    }

    std::vector<CFileSyncServerUser> users{CFileSyncServerUser(argv[3], argv[4])};
    CFtpServer server;
    if (argc == 7) {
        std::string strError;
        std::shared_ptr<platform::CTlsContext> pTls =
            platform::CTlsContext::ForServer(argv[5], argv[6], strError);
        if (!pTls) {
            std::fprintf(stderr, "%s\n", strError.c_str());
            return 1;
        }
        const bool bRequired = true;
        server.SetTls(pTls, bRequired);
    }
    if (!server.Start({}, false, &users, nullptr, static_cast<int>(nPort), argv[2])) {
        std::fprintf(stderr, "cannot start the server thread\n");
        return 1;
    }
    int nSignal = 0;
    sigwait(&stopSignals, &nSignal);
    server.Stop();
    return 0;
}
