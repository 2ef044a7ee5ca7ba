// Load: C clients at once against an FTP server on loopback, each running
// whole sessions one after the other, as branch machines do whose cron jobs
// start together. One session: connect, the greeting, USER and PASS, TYPE I,
// PASV and a RETR of one small file (read whole and compared with the
// original), QUIT, and the server's close. Prints the sessions per second
// and the session latency (median and 99th percentile) for that C, and how
// many sessions failed.
//
//   load --port N --user NAME --pass WORD --file NAME --expect PATH
//        --clients C (--sessions N | --seconds S) [--timeout-ms MS]
//
// RETR in passive mode is what both our server and a stock one do alike; the
// client connects for the data as stock clients do by default. Every wait
// (connecting, each reply, the data) ends after --timeout-ms (60 s unless
// told), and the session is then counted as failed.
//
// Exit status: 0 when every session succeeded, 1 when any failed (the
// figures are printed all the same), 2 for unusable arguments.

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <latch>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using CClock = std::chrono::steady_clock;

struct COptions {
    int nPort = 0;
    std::string strUser;
    std::string strPass;
    std::string strFile;
    std::string strExpected;
    int nClients = 0;
    long nSessions = 0;
    double dSeconds = 0;
    // TandrelClient's own wait at each step when its script sets no Timeout:
    // a session that fails here is one it would have given up on too.
    int nTimeoutMs = 60000;
};

// Failures are counted in full; only the first few are described, so that a
// server that refuses everything does not drown the figures.
std::atomic<long> g_nFailures{0};
std::mutex g_printLock;

void Fail(const std::string& strWhat) {
    if (g_nFailures.fetch_add(1) < 10) {
        std::lock_guard<std::mutex> lock(g_printLock);
        std::fprintf(stderr, "load: failed session: %s\n", strWhat.c_str());
    }
}

sockaddr_in Loopback(int nPort) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(nPort));
    return address;
}

// A connection whose every wait ends after the time limit: a server that
// stops answering costs one failed session, never a hung run.
class CConnection {
public:
    explicit CConnection(int nTimeoutMs) : m_nTimeoutMs(nTimeoutMs) {}
    ~CConnection() { Close(); }
    CConnection(const CConnection&) = delete;
    CConnection& operator=(const CConnection&) = delete;

    bool Connect(int nPort, std::string& strError) {
        m_fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        if (m_fd < 0) {
            strError = std::string("socket: ") + std::strerror(errno);
            return false;
        }
        const sockaddr_in address = Loopback(nPort);
        if (connect(m_fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
            if (errno != EINPROGRESS) {
                strError = std::string("connect: ") + std::strerror(errno);
                return false;
            }
            if (!Wait(POLLOUT)) {
                strError = "connect: no answer in time";
                return false;
            }
            int nError = 0;
            socklen_t nLength = sizeof(nError);
            getsockopt(m_fd, SOL_SOCKET, SO_ERROR, &nError, &nLength);
            if (nError != 0) {
                strError = std::string("connect: ") + std::strerror(nError);
                return false;
            }
        }
        return true;
    }

    bool Send(const std::string& strText) {
        size_t nDone = 0;
        while (nDone < strText.size()) {
            if (!Wait(POLLOUT)) {
                return false;
            }
            const ssize_t n =
                send(m_fd, strText.data() + nDone, strText.size() - nDone, MSG_NOSIGNAL);
            if (n < 0 && errno != EAGAIN && errno != EINTR) {
                return false;
            }
            nDone += n > 0 ? static_cast<size_t>(n) : 0;
        }
        return true;
    }

    // Appends what arrives to strData; 0 at the peer's end, -1 on an error or
    // when nothing came in time (then TimedOut() tells).
    ssize_t Receive(std::string& strData) {
        for (;;) {
            if (!Wait(POLLIN)) {
                m_bTimedOut = true;
                return -1;
            }
            char buffer[16384];
            const ssize_t n = recv(m_fd, buffer, sizeof(buffer), 0);
            if (n >= 0) {
                strData.append(buffer, static_cast<size_t>(n));
                return n;
            }
            if (errno != EAGAIN && errno != EINTR) {
                return -1;
            }
        }
    }

    // The last line of one reply (continuation lines skipped), without its
    // line end; "" when the connection ended or nothing came in time.
    std::string ReadReply() {
        for (;;) {
            const size_t nEnd = m_strBuffer.find("\r\n");
            if (nEnd != std::string::npos) {
                const std::string strLine = m_strBuffer.substr(0, nEnd);
                m_strBuffer.erase(0, nEnd + 2);
                if (strLine.size() >= 4 && strLine[3] == ' ') {
                    return strLine;
                }
                continue;
            }
            if (Receive(m_strBuffer) <= 0) {
                return std::string();
            }
        }
    }

    // Everything up to the peer's end of the connection.
    bool ReadToEnd(std::string& strData) {
        for (;;) {
            const ssize_t n = Receive(strData);
            if (n <= 0) {
                return n == 0;
            }
        }
    }

    // Whether the last wait ended for want of an answer rather than an
    // error or the peer's end: the two tell different stories of a server.
    bool TimedOut() const { return m_bTimedOut; }

    void Close() {
        if (m_fd >= 0) {
            close(m_fd);
            m_fd = -1;
        }
    }

private:
    bool Wait(short nEvents) {
        pollfd entry{m_fd, nEvents, 0};
        int n;
        do {
            n = poll(&entry, 1, m_nTimeoutMs);
        } while (n < 0 && errno == EINTR);
        return n > 0;
    }

    int m_fd = -1;
    int m_nTimeoutMs;
    bool m_bTimedOut = false;
    std::string m_strBuffer;
};

// The port of a "227 Entering Passive Mode (h1,h2,h3,h4,p1,p2)." reply; 0
// when it cannot be read.
int PassivePort(const std::string& strReply) {
    const size_t nOpen = strReply.find('(');
    if (nOpen == std::string::npos) {
        return 0;
    }
    unsigned nNumbers[6];
    if (std::sscanf(strReply.c_str() + nOpen, "(%u,%u,%u,%u,%u,%u)", &nNumbers[0], &nNumbers[1],
                    &nNumbers[2], &nNumbers[3], &nNumbers[4], &nNumbers[5]) != 6 ||
        nNumbers[4] > 255 || nNumbers[5] > 255) {
        return 0;
    }
    return static_cast<int>(nNumbers[4] * 256 + nNumbers[5]);
}

class CSessionRunner {
public:
    explicit CSessionRunner(const COptions& options) : m_options(options) {}

    // One whole session; false (and the failure counted) when any step did
    // not get what it should.
    bool Run() {
        CConnection control(m_options.nTimeoutMs);
        std::string strError;
        if (!control.Connect(m_options.nPort, strError)) {
            Fail(strError);
            return false;
        }
        if (!Expect(control, "", "220") || !Expect(control, "USER " + m_options.strUser, "331") ||
            !Expect(control, "PASS " + m_options.strPass, "230") ||
            !Expect(control, "TYPE I", "200") || !Expect(control, "PASV", "227")) {
            return false;
        }
        const int nDataPort = PassivePort(m_strReply);
        if (nDataPort == 0) {
            Fail("PASV: cannot read '" + m_strReply + "'");
            return false;
        }
        CConnection data(m_options.nTimeoutMs);
        if (!data.Connect(nDataPort, strError)) {
            Fail("data " + strError);
            return false;
        }
        if (!Expect(control, "RETR " + m_options.strFile, "150")) {
            return false;
        }
        std::string strReceived;
        if (!data.ReadToEnd(strReceived)) {
            Fail("RETR: the data did not end in time");
            return false;
        }
        data.Close();
        if (strReceived != m_options.strExpected) {
            Fail("RETR: " + std::to_string(strReceived.size()) + " bytes that differ from the " +
                 std::to_string(m_options.strExpected.size()) + " of the file");
            return false;
        }
        if (!Expect(control, "", "226") || !Expect(control, "QUIT", "221")) {
            return false;
        }
        // The server closes first, as it does at QUIT: its side keeps the
        // TIME_WAIT, and the client's ports stay free for the next sessions.
        std::string strRest;
        if (!control.ReadToEnd(strRest)) {
            Fail("QUIT: the server did not close the connection in time");
            return false;
        }
        return true;
    }

private:
    bool Expect(CConnection& connection, const std::string& strCommand,
                const std::string& strCode) {
        if (!strCommand.empty() && !connection.Send(strCommand + "\r\n")) {
            Fail("cannot send " + strCommand);
            return false;
        }
        m_strReply = connection.ReadReply();
        if (m_strReply.compare(0, strCode.size(), strCode) != 0 ||
            m_strReply.size() <= strCode.size() || m_strReply[strCode.size()] != ' ') {
            const std::string strWhat =
                !m_strReply.empty()         ? "got '" + m_strReply + "'"
                : connection.TimedOut() ? "no reply within " +
                                              std::to_string(m_options.nTimeoutMs) + " ms"
                                        : "the connection ended";
            Fail((strCommand.empty() ? std::string("(waiting)") : strCommand) + ": " + strWhat +
                 ", expected " + strCode);
            return false;
        }
        return true;
    }

    const COptions& m_options;
    std::string m_strReply;
};

double Percentile(const std::vector<double>& sorted, double dFraction) {
    if (sorted.empty()) {
        return 0;
    }
    // Nearest rank: a value that was measured, never one made up between two.
    size_t nRank = static_cast<size_t>(std::ceil(dFraction * static_cast<double>(sorted.size())));
    nRank = std::clamp<size_t>(nRank, 1, sorted.size());
    return sorted[nRank - 1];
}

int Usage() {
    std::fprintf(stderr,
                 "usage: load --port N --user NAME --pass WORD --file NAME --expect PATH\n"
                 "            --clients C (--sessions N | --seconds S) [--timeout-ms MS]\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    COptions options;
    std::string strExpectPath;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string strKey = argv[i];
        const char* pValue = argv[i + 1];
        if (strKey == "--port") {
            options.nPort = std::atoi(pValue);
        } else if (strKey == "--user") {
            options.strUser = pValue;
        } else if (strKey == "--pass") {
            options.strPass = pValue;
        } else if (strKey == "--file") {
            options.strFile = pValue;
        } else if (strKey == "--expect") {
            strExpectPath = pValue;
        } else if (strKey == "--clients") {
            options.nClients = std::atoi(pValue);
        } else if (strKey == "--sessions") {
            options.nSessions = std::atol(pValue);
        } else if (strKey == "--seconds") {
            options.dSeconds = std::atof(pValue);
        } else if (strKey == "--timeout-ms") {
            options.nTimeoutMs = std::atoi(pValue);
        } else {
            return Usage();
        }
    }
    if (argc % 2 == 0 || options.nPort < 1 || options.nPort > 65535 || options.strUser.empty() ||
        options.strFile.empty() || strExpectPath.empty() || options.nClients < 1 ||
        options.nClients > 1024 || (options.nSessions > 0) == (options.dSeconds > 0) ||
        options.nSessions < 0 || options.dSeconds < 0 || options.nTimeoutMs < 1) {
        return Usage();
    }
    std::ifstream expected(strExpectPath, std::ios::binary);
    if (!expected) {
        std::fprintf(stderr, "load: cannot read %s\n", strExpectPath.c_str());
        return 2;
    }
    std::ostringstream text;
    text << expected.rdbuf();
    options.strExpected = text.str();
    signal(SIGPIPE, SIG_IGN);

    std::atomic<long> nStarted{0};
    std::vector<std::vector<double>> latencies(static_cast<size_t>(options.nClients));
    std::latch ready(options.nClients + 1);
    CClock::time_point began;
    CClock::time_point deadline;
    std::vector<std::thread> clients;
    for (int nClient = 0; nClient < options.nClients; ++nClient) {
        clients.emplace_back([&, nClient] {
            CSessionRunner runner(options);
            std::vector<double>& mine = latencies[static_cast<size_t>(nClient)];
            ready.arrive_and_wait();
            for (;;) {
                if (options.nSessions > 0 ? nStarted.fetch_add(1) >= options.nSessions
                                          : CClock::now() >= deadline) {
                    break;
                }
                const CClock::time_point start = CClock::now();
                if (runner.Run()) {
                    mine.push_back(
                        std::chrono::duration<double, std::milli>(CClock::now() - start).count());
                }
            }
        });
    }
    // The clock starts when every client thread exists, so that starting
    // them is not counted against the server.
    began = CClock::now();
    deadline = began + std::chrono::duration_cast<CClock::duration>(
                           std::chrono::duration<double>(options.dSeconds));
    ready.arrive_and_wait();
    for (std::thread& client : clients) {
        client.join();
    }
    const double dElapsed = std::chrono::duration<double>(CClock::now() - began).count();

    std::vector<double> all;
    for (const std::vector<double>& mine : latencies) {
        all.insert(all.end(), mine.begin(), mine.end());
    }
    std::sort(all.begin(), all.end());
    const long nFailed = g_nFailures.load();
    std::printf("clients=%d sessions=%zu failed=%ld seconds=%.2f sessions/s=%.1f p50_ms=%.2f "
                "p99_ms=%.2f\n",
                options.nClients, all.size(), nFailed, dElapsed,
                static_cast<double>(all.size()) / dElapsed, Percentile(all, 0.50),
                Percentile(all, 0.99));
    return nFailed == 0 ? 0 : 1;
}
