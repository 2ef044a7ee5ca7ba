// A whole session with the server: the fuzzer's bytes are everything one
// client says on the command connection, sent in one piece and followed by
// the end of its sending side. The server runs for the whole process, on a
// start directory of its own, and must answer every session to its end and
// go on serving the next; a session that does not end within 20 s counts
// as hung.
//
// The text "{DATA}" in the input stands for the PORT argument of a data peer
// that the target runs on loopback, "{EPRT}" for the same peer as EPRT's
// argument: it takes every data connection, sends a few bytes and reads
// what comes, so that RETR, STOR and LIST really move data. For PASV and
// EPSV the server listens on a small range of ports, where the target's
// connectors keep knocking: whatever listener the server opens, one of them
// connects and does the same. The server's time-outs are short, so a
// transfer that waits for what never comes ends soon.

#include <arpa/inet.h>
#include <fcntl.h>
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "server/ftpserver/ftpserver.h"

namespace {

constexpr int kServerTimeoutMs = 300;
constexpr int kSessionLimitMs = 20000;

std::string g_strSandbox;
std::string g_strRoot;
int g_nServerPort = 0;
// A connection that ends keeps its ports for a while (TIME_WAIT), and the
// system has fewer than 30,000 of them for the data connections to one
// address and port: at the fuzzer's pace one data peer would run out of
// them within seconds, so there are several, taken in turn.
constexpr int kDataPeers = 32;
std::vector<std::string> g_dataPorts;  // "127,0,0,1,h,l" of each peer
std::vector<int> g_dataPortNumbers;
std::string g_strDataPort;             // the peer of the current input
std::string g_strEprtArgument;         // the same as "|1|127.0.0.1|port|"
// The server's passive listeners take these ports.
constexpr uint16_t kFirstPassivePort = 40000;
constexpr int kPassivePorts = 4;
CFtpServer* g_pServer = nullptr;

int ListenOnLoopback(int& nPort) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t nLength = sizeof(address);
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
        listen(fd, 16) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &nLength) != 0) {
        std::abort();
    }
    nPort = ntohs(address.sin_port);
    return fd;
}

// Ends a connection with a reset: an orderly end would keep its ports in
// TIME_WAIT for a minute, and at thousands of sessions a second the system
// runs out of them.
void CloseAbortively(int fd) {
    linger lingerOption{1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &lingerOption, sizeof(lingerOption));
    close(fd);
}

void WriteSysctl(const char* pszPath, const char* pszValue) {
    std::ofstream(pszPath) << pszValue;
}

// A network of the target's own, where the system allows it (root): only
// loopback, brought up, with every port for outgoing connections and ports
// in TIME_WAIT reused. Elsewhere the machine's network serves.
void EnterOwnNetwork() {
    if (unshare(CLONE_NEWNET) != 0) {
        return;
    }
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ifreq request{};
    std::strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
    if (fd >= 0 && ioctl(fd, SIOCGIFFLAGS, &request) == 0) {
        request.ifr_flags |= IFF_UP;
        ioctl(fd, SIOCSIFFLAGS, &request);
    }
    if (fd >= 0) {
        close(fd);
    }
    WriteSysctl("/proc/sys/net/ipv4/ip_local_port_range", "1024 65535");
    WriteSysctl("/proc/sys/net/ipv4/tcp_tw_reuse", "1");
}

void SetTimeouts(int fd, int nMs) {
    timeval tv{nMs / 1000, (nMs % 1000) * 1000};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof(tv));
}

// The far end of every data connection.
// What the far end of a data connection does: sends a few bytes for an
// upload, reads whatever comes, and ends the connection with a reset.
void ServeDataConnection(int fd) {
    static const std::string strUpload(1000, 'u');
    SetTimeouts(fd, 2000);
    (void)send(fd, strUpload.data(), strUpload.size(), MSG_NOSIGNAL);
    shutdown(fd, SHUT_WR);
    char buffer[65536];
    ssize_t n;
    while ((n = recv(fd, buffer, sizeof(buffer), 0)) > 0 || (n < 0 && errno == EINTR)) {
    }
    CloseAbortively(fd);
}

void RunDataPeer(int listener) {
    for (;;) {
        int fd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd >= 0) {
            ServeDataConnection(fd);
        }
    }
}

// Connects to the server's passive port nPort whenever it listens there.
void RunPassiveConnector(uint16_t nPort) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(nPort);
    for (;;) {
        int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        SetTimeouts(fd, 200);
        if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
            close(fd);
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            continue;
        }
        ServeDataConnection(fd);
    }
}

// The tree the server serves, as at the start; put back every so often, as
// uploads and deletions change it.
void FillRoot() {
    std::error_code error;
    std::filesystem::remove_all(g_strRoot, error);
    std::filesystem::create_directories(g_strRoot + "/sub", error);
    std::ofstream(g_strRoot + "/a.txt") << "first file\r\n";
    std::ofstream(g_strRoot + "/b c.dat") << std::string(70000, 'b');
    std::ofstream(g_strRoot + "/sub/d.txt") << "below";
    std::ofstream(g_strRoot + "/.hidden") << "hidden";
    std::filesystem::create_symlink("/etc/passwd", g_strRoot + "/out", error);
}

void StartServer() {
    EnterOwnNetwork();
    char szTemplate[] = "/dev/shm/tandrel-fuzz-session-XXXXXX";
    const char* pszDir = mkdtemp(szTemplate);
    if (pszDir == nullptr) {
        std::abort();
    }
    g_strSandbox = pszDir;
    g_strRoot = g_strSandbox + "/root";
    FillRoot();
    std::atexit([] {
        std::error_code error;
        std::filesystem::remove_all(g_strSandbox, error);
    });
    // The trace would fill the fuzzer's output; its findings go to stderr.
    int fdNull = open("/dev/null", O_WRONLY);
    dup2(fdNull, STDOUT_FILENO);

    for (int i = 0; i < kDataPeers; ++i) {
        int nDataPort = 0;
        int dataListener = ListenOnLoopback(nDataPort);
        g_dataPorts.push_back("127,0,0,1," + std::to_string(nDataPort / 256) + "," +
                              std::to_string(nDataPort % 256));
        g_dataPortNumbers.push_back(nDataPort);
        std::thread(RunDataPeer, dataListener).detach();
    }

    // A port that was free a moment ago.
    int probe = ListenOnLoopback(g_nServerPort);
    close(probe);
    static const std::vector<CFileSyncServerUser> users = {{"op", "pw"}, {"", ""}};
    static const std::string strWelcome = "fuzz";
    g_pServer = new CFtpServer();
    CPassiveSettings passive;
    passive.nFirstPort = kFirstPassivePort;
    passive.nLastPort = kFirstPassivePort + kPassivePorts - 1;
    g_pServer->SetPassiveSettings(passive);
    for (int i = 0; i < kPassivePorts; ++i) {
        std::thread(RunPassiveConnector, static_cast<uint16_t>(kFirstPassivePort + i)).detach();
    }
    g_pServer->SetTimeoutForTesting(kServerTimeoutMs);
    g_pServer->SetLoginLimitsForTesting(kSessionLimitMs, 0);
    if (!g_pServer->Start({}, false, &users, &strWelcome, g_nServerPort, g_strRoot)) {
        std::abort();
    }
}

// The server thread runs at idle priority, so on a busy machine it may not
// run for seconds and a session would look hung. The fuzzer measures the
// code, not the scheduler: every thread of the process gets back the
// normal priority (allowed to root; elsewhere the sessions just take longer).
void RestoreNormalPriority() {
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/task", error)) {
        const int nThread = std::atoi(entry.path().filename().c_str());
        (void)setpriority(PRIO_PROCESS, static_cast<id_t>(nThread), 0);
    }
}

void ReplaceAll(std::string& strInput, const std::string& strToken, const std::string& strText) {
    for (size_t nAt = strInput.find(strToken); nAt != std::string::npos;
         nAt = strInput.find(strToken, nAt + strText.size())) {
        strInput.replace(nAt, strToken.size(), strText);
    }
}

std::string WithDataPort(const uint8_t* pData, size_t nSize) {
    std::string strInput(reinterpret_cast<const char*>(pData), nSize);
    ReplaceAll(strInput, "{DATA}", g_strDataPort);
    ReplaceAll(strInput, "{EPRT}", g_strEprtArgument);
    return strInput;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize) {
    static unsigned s_nRuns = 0;
    if (g_pServer == nullptr) {
        StartServer();
    }
    if (++s_nRuns % 512 == 0) {
        FillRoot();
    }
    if (s_nRuns == 2) {
        RestoreNormalPriority();
    }
    g_strDataPort = g_dataPorts[s_nRuns % kDataPeers];
    g_strEprtArgument =
        "|1|127.0.0.1|" + std::to_string(g_dataPortNumbers[s_nRuns % kDataPeers]) + "|";
    const std::string strInput = WithDataPort(pData, nSize);

    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(g_nServerPort));
    bool bConnected =
        fd >= 0 && connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0;
    if (!bConnected && fd >= 0 && errno == EINTR) {
        // Interrupted by the fuzzer's timer: the connection goes on by itself.
        pollfd waiter{fd, POLLOUT, 0};
        int nError = 0;
        socklen_t nLength = sizeof(nError);
        while (poll(&waiter, 1, kSessionLimitMs) < 0 && errno == EINTR) {
        }
        bConnected = getsockopt(fd, SOL_SOCKET, SO_ERROR, &nError, &nLength) == 0 && nError == 0;
    }
    if (!bConnected) {
        std::fprintf(stderr, "the server no longer takes connections: %s\n", std::strerror(errno));
        std::abort();
    }
    size_t nSent = 0;
    while (nSent < strInput.size()) {
        ssize_t n = send(fd, strInput.data() + nSent, strInput.size() - nSent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;  // the server ended the session early (QUIT, a failed login)
        }
        nSent += static_cast<size_t>(n);
    }
    shutdown(fd, SHUT_WR);

    // Every session ends: the server closes the connection within its
    // time-outs once the input has run out.
    SetTimeouts(fd, kSessionLimitMs);
    char buffer[65536];
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(kSessionLimitMs);
    for (;;) {
        ssize_t n = recv(fd, buffer, sizeof(buffer), 0);
        if (n == 0 || (n < 0 && errno == ECONNRESET)) {
            break;
        }
        // The fuzzer's own timer interrupts a receive that has a time-out
        // now and then; that is no end of the session.
        if (n < 0 && errno == EINTR && std::chrono::steady_clock::now() < deadline) {
            continue;
        }
        if (n < 0) {
            std::fprintf(stderr, "the session did not end within %d ms: %s\n", kSessionLimitMs,
                         std::strerror(errno));
            // For a look at the threads with a debugger before the report.
            if (std::getenv("TANDREL_FUZZ_HOLD") != nullptr) {
                std::fprintf(stderr, "holding process %d\n", static_cast<int>(getpid()));
                sleep(600);
            }
            std::abort();
        }
    }
    CloseAbortively(fd);
    return 0;
}
