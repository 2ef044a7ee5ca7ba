// A whole session with the server: the fuzzer's bytes are everything one
// client says on the command connection, followed by the end of its sending
// side. Each input is a session of the server's own (CFtpSession), run on
// this thread to its end over a connected pair of sockets, on a start
// directory of its own; the server's accept loop, which only hands each
// connection to a session, is left to the tests. A session that does not end
// is the fuzzer's time-out.
//
// The text "{DATA}" in the input stands for the PORT argument of a data peer
// that the target runs on loopback, "{EPRT}" for the same peer as EPRT's
// argument: it takes every data connection, sends a few bytes and reads
// what comes, so that RETR, STOR and LIST really move data. For PASV and
// EPSV the session listens on a small range of ports, where the target's
// connectors keep knocking: whatever listener the session opens, one of them
// connects and does the same. The time-outs are short, so a transfer that
// waits for what never comes ends soon.

#include <arpa/inet.h>
#include <fcntl.h>
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <netinet/in.h>
#include <poll.h>
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

#include "platform/file.h"
#include "server/ftpserver/ftpsession.h"

namespace {

constexpr int kServerTimeoutMs = 300;
constexpr int kLoginLimitMs = 20000;
// Room for every reply to an input of the fuzzer's largest size, unread
// until the session has ended.
constexpr int kReplyRoom = 64 * 1024 * 1024;

std::string g_strSandbox;
std::string g_strRoot;
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

// What the server does for its sessions, as far as one session at a time on
// this thread needs it.
class CHost : public CSessionHost {
public:
    bool OpenSocket(platform::CSocket& socket, bool bIpv6) override { return socket.Create(bIpv6); }
    bool AdoptSocket(platform::CSocket& target, platform::CSocket&& source) override {
        target = std::move(source);
        return true;
    }
    void CloseSocket(platform::CSocket& socket) override { socket.Close(); }
    bool IsStopping() override { return false; }
    void Trace(int, int, const std::string&) override {}
    void LogLine(const std::string&) override {}
    int NextPassivePortOffset(int nCount) override { return m_nNextPort++ % nCount; }
    bool LastDataAddress(platform::CSocketAddress& address) override {
        address = m_dataAddress;
        return m_bDataAddressSet;
    }
    void RememberDataAddress(const platform::CSocketAddress& address) override {
        m_dataAddress = address;
        m_bDataAddressSet = true;
    }
    void RequestStop() override {}

private:
    int m_nNextPort = 0;
    platform::CSocketAddress m_dataAddress;
    bool m_bDataAddressSet = false;
};

CHost* g_pHost = nullptr;
CSessionSettings* g_pSettings = nullptr;

// A long queue: a session that makes one data connection after another
// must not find a peer's queue full (its connect would wait out the time-out)
// while the peer's thread waits for the processor.
int ListenOnLoopback(int& nPort) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t nLength = sizeof(address);
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
        listen(fd, SOMAXCONN) != 0 ||
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

void StartSessions() {
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
    for (int i = 0; i < kDataPeers; ++i) {
        int nDataPort = 0;
        int dataListener = ListenOnLoopback(nDataPort);
        g_dataPorts.push_back("127,0,0,1," + std::to_string(nDataPort / 256) + "," +
                              std::to_string(nDataPort % 256));
        g_dataPortNumbers.push_back(nDataPort);
        std::thread(RunDataPeer, dataListener).detach();
    }

    for (int i = 0; i < kPassivePorts; ++i) {
        std::thread(RunPassiveConnector, static_cast<uint16_t>(kFirstPassivePort + i)).detach();
    }
    g_pSettings = new CSessionSettings();
    g_pSettings->strWelcome = "fuzz";
    g_pSettings->strSystem = "<System>";
    g_pSettings->strHelp = "<Help>";
    g_pSettings->strStartDir = g_strRoot;
    if (!platform::GetRealPath(g_strRoot, g_pSettings->strRealStartDir)) {
        std::abort();
    }
    g_pSettings->users = std::vector<CFileSyncServerUser>{{"op", "pw"}, {"", ""}};
    g_pSettings->nTimeoutMs = kServerTimeoutMs;
    g_pSettings->nLoginTimeoutMs = kLoginLimitMs;
    g_pSettings->nLoginFailurePauseMs = 0;
    g_pSettings->passive.nFirstPort = kFirstPassivePort;
    g_pSettings->passive.nLastPort = kFirstPassivePort + kPassivePorts - 1;
    g_pHost = new CHost();
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
    if (g_pHost == nullptr) {
        StartSessions();
    }
    if (++s_nRuns % 512 == 0) {
        FillRoot();
    }
    g_strDataPort = g_dataPorts[s_nRuns % kDataPeers];
    g_strEprtArgument =
        "|1|127.0.0.1|" + std::to_string(g_dataPortNumbers[s_nRuns % kDataPeers]) + "|";
    const std::string strInput = WithDataPort(pData, nSize);

    platform::CSocket client;
    platform::CSocket control;
    if (!platform::CSocket::CreatePair(client, control, kReplyRoom) ||
        !client.SendAll(strInput.data(), strInput.size())) {
        std::fprintf(stderr, "no pair of sockets for the session\n");
        std::abort();
    }
    // The end of what the client says.
    client.ShutdownSending();
    // As a client on loopback would reach a server there.
    platform::CSocketAddress peer;
    peer.nAddress = INADDR_LOOPBACK;
    peer.nPort = 50000;
    platform::CSocketAddress local = peer;
    local.nPort = 21;
    {
        CFtpSession session(*g_pSettings, *g_pHost, std::move(control), peer, &local);
        session.Run();
    }
    return 0;
}
