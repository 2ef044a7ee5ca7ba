// Soak: many sessions against the real TandrelServer, in a mix of what its
// clients do and what goes wrong with them: whole syncs, refused and
// nonsense commands, downloads and uploads cut off in the middle, clients
// that vanish, PORT to a port where nobody listens, and peers that never
// log in. Prints the sessions per second and the server's open descriptors
// and resident memory at the start and at the end, and fails when either
// grew, when a session did not get the answers it should, or when a cut
// upload changed the server's copy.
//
//   soak --server PATH [--sessions N] [--descriptors-only]
//
// --descriptors-only leaves memory out of the verdict (a sanitizer's
// allocator holds freed memory back on purpose).

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

constexpr int kTimeoutMs = 10000;
constexpr size_t kSmallSize = 4096;
constexpr size_t kLargeSize = 1 << 20;
int g_nFailures = 0;

void Fail(const std::string& strWhat) {
    if (++g_nFailures <= 20) {
        std::fprintf(stderr, "soak: %s\n", strWhat.c_str());
    }
}

void SetTimeouts(int fd) {
    timeval tv{kTimeoutMs / 1000, (kTimeoutMs % 1000) * 1000};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof(tv));
}

sockaddr_in Loopback(int nPort) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(nPort));
    return address;
}

// Closes with a reset instead of an orderly end, as a killed peer's system
// may.
void Reset(int fd) {
    linger lingerOption{1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &lingerOption, sizeof(lingerOption));
    close(fd);
}

int Listen(int& nPort) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = Loopback(0);
    socklen_t nLength = sizeof(address);
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
        listen(fd, 1) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &nLength) != 0) {
        std::perror("soak: listen");
        std::exit(2);
    }
    nPort = ntohs(address.sin_port);
    SetTimeouts(fd);
    return fd;
}

int FreePort() {
    int nPort = 0;
    close(Listen(nPort));
    return nPort;
}

std::string PortArgument(int nPort) {
    return "127,0,0,1," + std::to_string(nPort / 256) + "," + std::to_string(nPort % 256);
}

class CSession {
public:
    explicit CSession(int nPort) {
        m_fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address = Loopback(nPort);
        SetTimeouts(m_fd);
        if (connect(m_fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
            Fail(std::string("cannot connect: ") + std::strerror(errno));
            close(m_fd);
            m_fd = -1;
        }
    }
    ~CSession() {
        if (m_fd >= 0) {
            close(m_fd);
        }
    }
    bool IsOpen() const { return m_fd >= 0; }

    bool Send(const std::string& strText) {
        return m_fd >= 0 && send(m_fd, strText.data(), strText.size(), MSG_NOSIGNAL) ==
                                static_cast<ssize_t>(strText.size());
    }

    // One reply line without its line end; "" when the connection ended.
    std::string ReadLine() {
        for (;;) {
            size_t nEnd = m_strBuffer.find("\r\n");
            if (nEnd != std::string::npos) {
                std::string strLine = m_strBuffer.substr(0, nEnd);
                m_strBuffer.erase(0, nEnd + 2);
                return strLine;
            }
            char buffer[4096];
            ssize_t n = m_fd >= 0 ? recv(m_fd, buffer, sizeof(buffer), 0) : -1;
            if (n <= 0) {
                return std::string();
            }
            m_strBuffer.append(buffer, static_cast<size_t>(n));
        }
    }

    // Sends a command and checks that the reply begins as expected.
    bool Expect(const std::string& strCommand, const std::string& strReplyStart) {
        if (!strCommand.empty() && !Send(strCommand + "\r\n")) {
            Fail("cannot send " + strCommand);
            return false;
        }
        const std::string strReply = ReadLine();
        if (strReply.compare(0, strReplyStart.size(), strReplyStart) != 0) {
            Fail("'" + strCommand + "' got '" + strReply + "', expected '" + strReplyStart + "'");
            return false;
        }
        return true;
    }

    bool LogIn() {
        return Expect("", "220 soak") && Expect("USER soak", "331 ") && Expect("PASS soak", "230 ");
    }

    bool IsClosedByServer() {
        char c;
        return m_fd >= 0 && recv(m_fd, &c, 1, 0) == 0;
    }

    // Abandons the connection with a reset.
    void Drop() {
        Reset(m_fd);
        m_fd = -1;
    }

private:
    int m_fd = -1;
    std::string m_strBuffer;
};

// A data connection that the server opens to us after PORT.
class CDataPort {
public:
    CDataPort() { m_listener = Listen(m_nPort); }
    ~CDataPort() {
        if (m_fd >= 0) {
            close(m_fd);
        }
        close(m_listener);
    }
    std::string Argument() const { return PortArgument(m_nPort); }
    bool Accept() {
        m_fd = accept4(m_listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (m_fd >= 0) {
            SetTimeouts(m_fd);
        }
        return m_fd >= 0;
    }
    size_t ReadAll(size_t nAtMost = SIZE_MAX) {
        size_t nTotal = 0;
        char buffer[65536];
        while (nTotal < nAtMost) {
            ssize_t n = recv(m_fd, buffer, std::min(sizeof(buffer), nAtMost - nTotal), 0);
            if (n <= 0) {
                break;
            }
            nTotal += static_cast<size_t>(n);
        }
        return nTotal;
    }
    bool SendAll(const std::string& strData) {
        return send(m_fd, strData.data(), strData.size(), MSG_NOSIGNAL) ==
               static_cast<ssize_t>(strData.size());
    }
    void Close() {
        close(m_fd);
        m_fd = -1;
    }
    void Drop() {
        Reset(m_fd);
        m_fd = -1;
    }

private:
    int m_listener = -1;
    int m_nPort = 0;
    int m_fd = -1;
};

std::string Bytes(size_t nSize, unsigned nSeed) {
    std::string strData(nSize, '\0');
    for (size_t i = 0; i < nSize; ++i) {
        strData[i] = static_cast<char>((i * 131 + i / 4099 + nSeed) & 0xFF);
    }
    return strData;
}

// What a sync does: digest, fetch, announced upload, size, listing,
// deletion.
void WholeSync(int nPort, unsigned nRun) {
    CSession session(nPort);
    if (!session.LogIn() || !session.Expect("TYPE I", "200 ") ||
        !session.Expect("MD5 small.dat", "200 ")) {
        return;
    }
    {
        CDataPort data;
        if (!session.Expect("PORT " + data.Argument(), "200 ") ||
            !session.Expect("RETR small.dat", "150 ") || !data.Accept()) {
            return;
        }
        if (data.ReadAll() != kSmallSize) {
            Fail("RETR small.dat: wrong size");
        }
        data.Close();
        session.Expect("", "226 ");
    }
    const std::string strUpload = Bytes(kSmallSize, nRun);
    const std::string strName = "up" + std::to_string(nRun % 7) + ".dat";
    {
        CDataPort data;
        if (!session.Expect("ALLO " + std::to_string(strUpload.size()), "200 ") ||
            !session.Expect("PORT " + data.Argument(), "200 ") ||
            !session.Expect("STOR " + strName, "150 ") || !data.Accept()) {
            return;
        }
        data.SendAll(strUpload);
        data.Close();
        session.Expect("", "226 ");
    }
    session.Expect("SIZE " + strName, "213 " + std::to_string(kSmallSize));
    {
        CDataPort data;
        if (!session.Expect("PORT " + data.Argument(), "200 ") ||
            !session.Expect("LIST", "150 ") || !data.Accept()) {
            return;
        }
        data.ReadAll();
        data.Close();
        session.Expect("", "250 ");
    }
    if (nRun % 3 == 0) {
        session.Expect("DELE " + strName, "250 ");
    }
    session.Expect("TIME", "200 ");
    session.Expect("QUIT", "221 ");
}

// Refused, unknown and malformed commands; the session goes on after each.
void Nonsense(int nPort) {
    CSession session(nPort);
    if (!session.LogIn()) {
        return;
    }
    session.Expect("RETR ../../etc/passwd", "550 ");
    session.Expect("DELE /etc/hostname", "550 ");
    session.Expect("CWD ..", "550 ");
    session.Expect("XYZ", "502 ");
    session.Expect("TYPE Q", "504 ");
    session.Expect("ALLO lots", "501 ");
    session.Expect(std::string(9000, 'A'), "500 ");
    session.Expect(std::string("NOOP\0junk", 9), "200 ");
    session.Expect("RETR missing.dat", "550 ");
    session.Expect("MD5 missing.dat", "55");
    session.Expect("QUIT", "221 ");
}

// A download whose client goes away in the middle of the data.
void CutDownload(int nPort) {
    CSession session(nPort);
    CDataPort data;
    if (!session.LogIn() || !session.Expect("PORT " + data.Argument(), "200 ") ||
        !session.Expect("RETR large.dat", "150 ") || !data.Accept()) {
        return;
    }
    data.ReadAll(10000);
    data.Drop();
    const std::string strReply = session.ReadLine();
    if (strReply.compare(0, 4, "426 ") != 0 && strReply.compare(0, 4, "226 ") != 0) {
        Fail("a cut download got '" + strReply + "'");
    }
    session.Expect("NOOP", "200 ");
    session.Expect("QUIT", "221 ");
}

// An announced upload that ends early must not replace the server's copy.
void CutUpload(int nPort, unsigned nRun) {
    CSession session(nPort);
    CDataPort data;
    if (!session.LogIn() || !session.Expect("ALLO " + std::to_string(kLargeSize), "200 ") ||
        !session.Expect("PORT " + data.Argument(), "200 ") ||
        !session.Expect("STOR keep.dat", "150 ") || !data.Accept()) {
        return;
    }
    data.SendAll(Bytes(10000, nRun));
    if (nRun % 2 == 0) {
        data.Drop();
    } else {
        data.Close();
    }
    session.Expect("", "552 ");
    session.Expect("QUIT", "221 ");
}

// A client that vanishes: after login, in the middle of a command, or in a
// transfer.
void Vanish(int nPort, unsigned nRun) {
    CSession session(nPort);
    if (!session.LogIn()) {
        return;
    }
    if (nRun % 3 == 0) {
        session.Send("MD5 sma");
        session.Drop();
    } else if (nRun % 3 == 1) {
        CDataPort data;
        session.Expect("PORT " + data.Argument(), "200 ");
        session.Expect("RETR large.dat", "150 ");
        session.Drop();
    } else {
        session.Drop();
    }
}

void PortToNowhere(int nPort) {
    CSession session(nPort);
    if (!session.LogIn()) {
        return;
    }
    // The server announces the transfer, then finds nobody to send it to.
    session.Expect("PORT " + PortArgument(FreePort()), "200 ");
    session.Expect("RETR small.dat", "150 ");
    session.Expect("", "425 ");
    session.Expect("PORT 10,1,2,3,4,5", "200 ");
    session.Expect("RETR small.dat", "150 ");
    session.Expect("", "425 ");
    session.Expect("QUIT", "221 ");
}

// Peers that never log in: silence, then a close; or another protocol.
void NoLogin(int nPort, unsigned nRun) {
    CSession session(nPort);
    if (nRun % 2 == 0) {
        session.Expect("", "220 ");
        session.Expect("GET / HTTP/1.1", "530 ");
        if (!session.IsClosedByServer()) {
            Fail("a peer that did not log in was not closed");
        }
    } else {
        session.Drop();
    }
}

void WrongPassword(int nPort) {
    CSession session(nPort);
    session.Expect("", "220 ");
    session.Expect("USER soak", "331 ");
    session.Expect("PASS guess", "530 ");
}

struct CUsage {
    int nDescriptors = 0;
    long nResidentKiB = 0;
};

CUsage Measure(pid_t pid) {
    CUsage usage;
    std::error_code error;
    for (auto it = fs::directory_iterator("/proc/" + std::to_string(pid) + "/fd", error);
         !error && it != fs::directory_iterator(); it.increment(error)) {
        ++usage.nDescriptors;
    }
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string strLine;
    while (std::getline(status, strLine)) {
        if (strLine.compare(0, 6, "VmRSS:") == 0) {
            usage.nResidentKiB = std::atol(strLine.c_str() + 6);
        }
    }
    return usage;
}

std::string ReadFile(const fs::path& path) {
    std::ifstream file(path, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

}  // namespace

int main(int argc, char** argv) {
    std::string strServer;
    int nSessions = 10000;
    bool bDescriptorsOnly = false;
    for (int i = 1; i < argc; ++i) {
        const std::string strArg = argv[i];
        if (strArg == "--server" && i + 1 < argc) {
            strServer = argv[++i];
        } else if (strArg == "--sessions" && i + 1 < argc) {
            nSessions = std::atoi(argv[++i]);
        } else if (strArg == "--descriptors-only") {
            bDescriptorsOnly = true;
        } else {
            std::fprintf(stderr, "usage: soak --server PATH [--sessions N] [--descriptors-only]\n");
            return 2;
        }
    }
    if (strServer.empty() || nSessions < 1) {
        std::fprintf(stderr, "usage: soak --server PATH [--sessions N] [--descriptors-only]\n");
        return 2;
    }
    signal(SIGPIPE, SIG_IGN);

    char szTemplate[] = "/tmp/tandrel-soak-XXXXXX";
    if (mkdtemp(szTemplate) == nullptr) {
        std::perror("soak: mkdtemp");
        return 2;
    }
    const fs::path work = szTemplate;
    const fs::path root = work / "root";
    fs::create_directories(root);
    fs::create_directories(work / "run");
    fs::copy_file(strServer, work / "TandrelServer");
    std::ofstream(root / "small.dat", std::ios::binary) << Bytes(kSmallSize, 1);
    std::ofstream(root / "large.dat", std::ios::binary) << Bytes(kLargeSize, 2);
    const std::string strKeep = Bytes(kLargeSize, 3);
    std::ofstream(root / "keep.dat", std::ios::binary) << strKeep;
    const int nPort = FreePort();
    std::ofstream(work / "TandrelServer.INI")
        << "[TandrelServer]\nVersion=Quillon 4.1\n[TCP]\nPort=" << nPort
        << "\nStartDir=" << root.string() << "\nWelcome=soak\nLog=" << (work / "server.log").string()
        << "\n[USER]\nUser=soak\nPwd=soak\n";

    // The server as an operator runs it: unattended, in the terminal, its
    // input held open, its trace thrown away.
    int stdinPipe[2];
    if (pipe(stdinPipe) != 0) {
        return 2;
    }
    const pid_t server = fork();
    if (server == 0) {
        dup2(stdinPipe[0], STDIN_FILENO);
        close(stdinPipe[1]);
        FILE* pNull = std::fopen("/dev/null", "w");
        dup2(fileno(pNull), STDOUT_FILENO);
        setenv("XDG_RUNTIME_DIR", (work / "run").c_str(), 1);
        unsetenv("DISPLAY");
        unsetenv("WAYLAND_DISPLAY");
        const std::string strProgram = (work / "TandrelServer").string();
        execl(strProgram.c_str(), strProgram.c_str(), "-start", "-console", nullptr);
        _exit(127);
    }
    close(stdinPipe[0]);

    int nStatus = 0;
    bool bListening = false;
    for (int i = 0; i < 200 && !bListening; ++i) {
        usleep(50000);
        bListening = ReadFile(work / "server.log").find("Server started on port") != std::string::npos;
        if (waitpid(server, &nStatus, WNOHANG) == server) {
            std::fprintf(stderr, "soak: the server ended before it listened\n");
            return 2;
        }
    }
    if (!bListening) {
        std::fprintf(stderr, "soak: the server did not start\n");
        kill(server, SIGKILL);
        return 2;
    }

    auto runSession = [&](unsigned nRun) {
        // One failed login in a thousand: each costs the server's pause.
        if (nRun % 1000 == 999) {
            WrongPassword(nPort);
            return;
        }
        switch (nRun % 8) {
            case 0: case 1: WholeSync(nPort, nRun); break;
            case 2: Nonsense(nPort); break;
            case 3: CutDownload(nPort); break;
            case 4: CutUpload(nPort, nRun); break;
            case 5: Vanish(nPort, nRun); break;
            case 6: PortToNowhere(nPort); break;
            default: NoLogin(nPort, nRun); break;
        }
    };
    // A first round of every kind, so that what the server sets up once
    // (its allocator's arenas, the system's buffers) counts as the start.
    const unsigned kWarmUp = 64;
    for (unsigned i = 0; i < kWarmUp; ++i) {
        runSession(i);
    }
    usleep(200000);
    const CUsage start = Measure(server);
    const auto began = std::chrono::steady_clock::now();
    for (unsigned i = 0; i < static_cast<unsigned>(nSessions); ++i) {
        runSession(kWarmUp + i);
        if ((i + 1) % 2000 == 0) {
            const CUsage now = Measure(server);
            std::printf("soak: after %u sessions: %d descriptors, %ld KiB resident\n", i + 1,
                        now.nDescriptors, now.nResidentKiB);
            std::fflush(stdout);
        }
    }
    const double dSeconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
    usleep(200000);
    const CUsage end = Measure(server);

    kill(server, SIGTERM);
    close(stdinPipe[1]);
    waitpid(server, &nStatus, 0);

    bool bKept = ReadFile(root / "keep.dat") == strKeep;
    size_t nEntries = 0;
    for (const auto& entry : fs::directory_iterator(root)) {
        const std::string strName = entry.path().filename().string();
        if (strName != "small.dat" && strName != "large.dat" && strName != "keep.dat" &&
            strName.compare(0, 2, "up") != 0) {
            Fail("left in the served folder: " + strName);
        }
        ++nEntries;
    }
    fs::remove_all(work);

    std::printf("soak: %d sessions in %.1f s: %.0f sessions/s\n", nSessions, dSeconds,
                nSessions / dSeconds);
    std::printf("soak: open descriptors: start %d, end %d\n", start.nDescriptors, end.nDescriptors);
    std::printf("soak: resident memory: start %ld KiB, end %ld KiB\n", start.nResidentKiB,
                end.nResidentKiB);
    std::printf("soak: cut uploads left the server's copy %s; %d failed checks\n",
                bKept ? "as it was" : "CHANGED", g_nFailures);
    // The allocator may keep a few pages more after a run; growth that
    // would tell of a leak is far beyond that.
    const long kMemorySlackKiB = 1024;
    const bool bGrew = end.nDescriptors > start.nDescriptors ||
                       (!bDescriptorsOnly && end.nResidentKiB > start.nResidentKiB + kMemorySlackKiB);
    if (bGrew || !bKept || g_nFailures > 0 || !WIFEXITED(nStatus) || WEXITSTATUS(nStatus) != 0) {
        std::printf("soak: FAILED%s%s\n", bGrew ? " (usage grew)" : "",
                    WIFEXITED(nStatus) && WEXITSTATUS(nStatus) == 0 ? "" : " (server exit status)");
        return 1;
    }
    std::printf("soak: no growth\n");
    return 0;
}
