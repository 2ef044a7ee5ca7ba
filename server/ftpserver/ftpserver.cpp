#include "server/ftpserver/ftpserver.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <utility>

#include "platform/file.h"
#include "platform/paths.h"
#include "platform/thread.h"

namespace {

// Every line of the engine's trace names this file, whichever part of the
// engine wrote it: readers of the trace know the engine by it.
const char* const kSourceName = "ftpserver.cpp";
constexpr size_t kMaxTraceMessage = 1023;

std::mutex g_traceMutex;

// One trace line: message, source line, source file, error code.
void WriteTrace(int nLine, int nError, const std::string& strMessage) {
    std::string strText = strMessage.substr(0, kMaxTraceMessage);
    std::lock_guard<std::mutex> lock(g_traceMutex);
    std::printf("%s (%d, %s, %08d)\n", strText.c_str(), nLine, kSourceName, nError);
    std::fflush(stdout);
}

// A start directory without its trailing separator; the root keeps its own.
std::string NormaliseStartDir(const std::string& strStartDir) {
    std::string strDir = strStartDir;
    bool bDriveRoot = strDir.size() == 3 && strDir[1] == ':' && strDir[2] == '\\';
    if (strDir.size() > 1 && !bDriveRoot && (strDir.back() == '\\' || strDir.back() == '/')) {
        strDir.pop_back();
    }
    return strDir;
}

}  // namespace

#define TRACE(nError, strMessage) Trace(__LINE__, (nError), (strMessage))

CFtpServer::CFtpServer() {
    m_settings.nTimeoutMs = kDefaultTimeoutMs;
    m_settings.nLoginTimeoutMs = kLoginTimeoutMs;
    m_settings.nLoginFailurePauseMs = kLoginFailurePauseMs;
}

CFtpServer::~CFtpServer() { Stop(); }

bool CFtpServer::Start(std::function<void()> onQuitRequest, bool bSingleSession,
                       const std::vector<CFileSyncServerUser>* pUsers, const std::string* pWelcome,
                       int nPort, const std::string& strStartDir) {
    Stop();
    m_settings.strStartDir = NormaliseStartDir(strStartDir);
    m_nPort = nPort;
    m_settings.bSingleSession = bSingleSession;
    m_bStopRequested = false;
    m_onQuitRequest = std::move(onQuitRequest);
    m_settings.strSystem = "<System>";
    m_settings.strWelcome = pWelcome != nullptr ? *pWelcome : std::string("<welcome message>");
    m_settings.strHelp = "<Help>";
    if (!platform::GetRealPath(m_settings.strStartDir, m_settings.strRealStartDir)) {
        m_settings.strRealStartDir.clear();
    }
    if (pUsers != nullptr) {
        m_settings.users = *pUsers;
    } else {
        m_settings.users.reset();
    }
    m_nMaxSessions = std::clamp(m_nMaxSessions, 1, kMaxSessions);
    m_nListenError = 0;

    // Listening comes first and lasts as long as the server: a start is
    // reported only once clients can connect, and a client that arrives
    // between two sessions waits in the queue instead of being refused.
    TRACE(0, "FTP Server started");
    int nError = platform::StartSockets();
    if (nError != 0) {
        TRACE(nError, "WSAStartup(...) failed");
        m_nListenError = nError;
        return false;
    }
    if (!CreateListenSocket()) {
        platform::StopSockets();
        TRACE(0, "*** FTP Server stopped ***");
        return false;
    }
    try {
        m_thread = std::thread(&CFtpServer::ServerThread, this);
    } catch (const std::system_error&) {
        m_listenSocket.Close();
        platform::StopSockets();
        return false;
    }
    return true;
}

void CFtpServer::Stop() {
    if (m_thread.joinable()) {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_bStopping = true;
            m_listenSocket.Shutdown();
            m_listenSocket6.Shutdown();
            for (CRunningSession& running : m_sessions) {
                running.pSession->ShutdownSockets();
            }
        }
        m_sessionEnded.notify_all();
        if (m_bStopRequested && m_onQuitRequest) {
            m_onQuitRequest();
        }
        m_thread.join();
        m_listenSocket.Close();
        m_listenSocket6.Close();
        WriteTrace(__LINE__, 0, "FTP Server stopped");
        m_bStopping = false;
    }
    m_settings.users.reset();
}

bool CFtpServer::IsStopping() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_bStopping;
}

bool CFtpServer::OpenSocket(platform::CSocket& socket, bool bIpv6) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_bStopping) {
        return false;
    }
    return socket.Create(bIpv6);
}

bool CFtpServer::AdoptSocket(platform::CSocket& target, platform::CSocket&& source) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_bStopping) {
        return false;
    }
    target = std::move(source);
    return true;
}

void CFtpServer::CloseSocket(platform::CSocket& socket) {
    std::lock_guard<std::mutex> lock(m_mutex);
    socket.Close();
}

void CFtpServer::Trace(int nLine, int nError, const std::string& strMessage) {
    // Once Stop has begun, the thread is as good as ended: it says nothing more.
    if (!IsStopping()) {
        WriteTrace(nLine, nError, strMessage);
    }
}

void CFtpServer::LogLine(const std::string& strLine) {
    std::lock_guard<std::mutex> lock(m_logMutex);
    if (m_logSink && !IsStopping()) {
        m_logSink(strLine);
    }
}

int CFtpServer::NextPassivePortOffset(int nCount) {
    std::lock_guard<std::mutex> lock(m_mutex);
    const int nOffset = m_nNextPassivePort % nCount;
    m_nNextPassivePort = (nOffset + 1) % nCount;
    return nOffset;
}

bool CFtpServer::LastDataAddress(platform::CSocketAddress& address) {
    std::lock_guard<std::mutex> lock(m_mutex);
    address = m_dataAddress;
    return m_bDataAddressSet;
}

void CFtpServer::RememberDataAddress(const platform::CSocketAddress& address) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_dataAddress = address;
    m_bDataAddressSet = true;
}

void CFtpServer::RequestStop() {
    m_bStopRequested = true;
    // Sessions of their own threads leave the server thread waiting for the
    // next client: it must hear that none is taken any more.
    if (m_nMaxSessions > 1) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_listenSocket.Shutdown();
        m_listenSocket6.Shutdown();
    }
    m_sessionEnded.notify_all();
}

void CFtpServer::ServerThread() {
    platform::SetCurrentThreadIdlePriority();
    // Uploads cut short by a server that was killed leave their temporaries
    // behind; a new start is when those of the top folder are seen to.
    CFtpSession::RemoveStaleTemporaries(*this, m_settings.strStartDir);
    while (!m_bStopRequested && WaitForFreeSession()) {
        platform::CSocket client;
        platform::CSocketAddress peer;
        bool bAccepted = false;
        while (!m_bStopRequested && !(bAccepted = AcceptClient(client, peer))) {
            if (IsStopping()) {
                break;
            }
            // Retried at once, but without spinning on a lasting error (no
            // descriptors left, say).
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        if (!bAccepted) {
            break;
        }
        // Made before the lock is taken: a session asks the server for what
        // sessions share.
        CSessionHost& host = *this;
        auto pNewSession = std::make_unique<CFtpSession>(m_settings, host, std::move(client), peer);
        CFtpSession* pSession = pNewSession.get();
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (m_bStopping) {
                break;
            }
            m_sessions.push_back(CRunningSession{std::move(pNewSession), {}, false});
        }
        if (m_nMaxSessions == 1) {
            pSession->Run();
            std::lock_guard<std::mutex> lock(m_mutex);
            m_sessions.pop_back();
            continue;
        }
        CRunningSession& running = m_sessions.back();
        try {
            running.thread = std::thread([this, pSession, &running] {
                platform::SetCurrentThreadIdlePriority();
                pSession->Run();
                {
                    std::lock_guard<std::mutex> lock(m_mutex);
                    running.bEnded = true;
                }
                m_sessionEnded.notify_all();
            });
        } catch (const std::system_error&) {
            // No thread to be had: this one is served here, as with one.
            pSession->Run();
            std::lock_guard<std::mutex> lock(m_mutex);
            running.bEnded = true;
        }
    }
    // No client is taken any more: a listener that stayed open would still
    // queue them (a shut-down listener does on Windows). Sessions that still
    // run end by themselves, or when Stop shuts their sockets down.
    CloseSocket(m_listenSocket);
    CloseSocket(m_listenSocket6);
    JoinEndedSessions(true);
    platform::StopSockets();
    TRACE(0, "*** FTP Server stopped ***");
    if (m_bStopRequested && !IsStopping() && m_onQuitRequest) {
        m_onQuitRequest();
    }
}

bool CFtpServer::WaitForFreeSession() {
    JoinEndedSessions(false);
    std::unique_lock<std::mutex> lock(m_mutex);
    m_sessionEnded.wait(lock, [this] {
        if (m_bStopping || m_bStopRequested) {
            return true;
        }
        int nRunning = 0;
        for (const CRunningSession& running : m_sessions) {
            nRunning += running.bEnded ? 0 : 1;
        }
        return nRunning < m_nMaxSessions;
    });
    return !m_bStopping && !m_bStopRequested;
}

void CFtpServer::JoinEndedSessions(bool bAll) {
    for (;;) {
        std::unique_lock<std::mutex> lock(m_mutex);
        if (bAll) {
            m_sessionEnded.wait(lock, [this] {
                for (const CRunningSession& running : m_sessions) {
                    if (!running.bEnded) {
                        return false;
                    }
                }
                return true;
            });
        }
        auto ended = std::find_if(m_sessions.begin(), m_sessions.end(),
                                  [](const CRunningSession& running) { return running.bEnded; });
        if (ended == m_sessions.end()) {
            return;
        }
        std::thread thread = std::move(ended->thread);
        std::unique_ptr<CFtpSession> pSession = std::move(ended->pSession);
        m_sessions.erase(ended);
        lock.unlock();
        if (thread.joinable()) {
            thread.join();
        }
    }
}

// One dual-stack socket takes IPv4 and IPv6 clients alike. Where the system
// cannot do that, IPv4 has a socket and IPv6 one beside it on the same port;
// where it has no IPv6 at all, IPv4 alone is served.
bool CFtpServer::CreateListenSocket() {
    // Created, bound and listening under the lock, as every socket that Stop
    // may shut down is.
    const char* pszFailure = nullptr;
    int nError = 0;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        const uint16_t nPort = static_cast<uint16_t>(m_nPort & 0xFFFF);
        const bool bIpv6 = true;
        const bool bDualStack = !m_bSeparateListeners && m_listenSocket.Create(bIpv6) &&
                                m_listenSocket.SetDualStack(true);
        platform::CSocketAddress address;
        address.nPort = nPort;
        if (bDualStack) {
            address = platform::CSocketAddress::AnyIpv6(nPort);
        }
        auto listenOn = [](platform::CSocket& socket,
                           const platform::CSocketAddress& where) -> const char* {
            socket.SetReuseAddress();
            if (!socket.Bind(where)) {
                return "bind(...) failed";
            }
            if (!socket.Listen(kListenBacklog)) {
                return "listen(...) failed";
            }
            return nullptr;
        };
        if (!bDualStack && !m_listenSocket.Create()) {
            pszFailure = "socket(...) failed";
        } else {
            pszFailure = listenOn(m_listenSocket, address);
        }
        if (pszFailure != nullptr) {
            nError = m_listenSocket.GetLastError();
            m_listenSocket.Close();
        } else if (!bDualStack && m_listenSocket6.Create(bIpv6)) {
            // On the port IPv4 got, which port 0 leaves to the system.
            platform::CSocketAddress bound;
            m_listenSocket.GetLocalAddress(bound);
            if (!m_listenSocket6.SetDualStack(false) ||
                listenOn(m_listenSocket6, platform::CSocketAddress::AnyIpv6(bound.nPort)) !=
                    nullptr) {
                nError = m_listenSocket6.GetLastError();
                m_listenSocket6.Close();
                pszFailure = "bind(...) failed";
            }
        }
    }
    if (pszFailure != nullptr) {
        TRACE(nError, pszFailure);
        m_nListenError = nError;
        return false;
    }
    return true;
}

bool CFtpServer::AcceptClient(platform::CSocket& client, platform::CSocketAddress& peer) {
    if (!m_listenSocket6.IsOpen()) {
        return m_listenSocket.Accept(client, peer);
    }
    platform::CSocket* listeners[] = {&m_listenSocket, &m_listenSocket6};
    const int nReady = platform::CSocket::WaitAnyReadable(listeners, 2, -1);
    return nReady >= 0 && listeners[nReady]->Accept(client, peer);
}
