#pragma once

#include <atomic>
#include <condition_variable>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/socket.h"
#include "platform/tls.h"
#include "server/ftpserver/ftpsession.h"

// The transfer server engine: one server thread that listens on a port (of
// IPv4 and IPv6 alike) and serves its clients over a small FTP subset
// extended by MD5 and TIME, one at a time or, when allowed, several at once,
// each on a thread of its own; it writes a trace of every event to standard
// output. Data connections are made by the server (PORT, EPRT) or by the
// client (PASV, EPSV), always with the client's own address alone.

class CFtpServer : private CSessionHost {
public:
    // Receive and send time-out of every connection, in milliseconds.
    static constexpr int kDefaultTimeoutMs = 60000;

    CFtpServer();
    ~CFtpServer();
    CFtpServer(const CFtpServer&) = delete;
    CFtpServer& operator=(const CFtpServer&) = delete;

    // Opens the listening socket on nPort, then starts the server thread; a
    // thread still running is stopped first. The socket stays open for the
    // server's whole life: a client that arrives during a session waits in
    // the queue and is greeted when the session before it ends.
    //   onQuitRequest - called on the server thread after a QUIT in
    //                   single-session mode has ended the server; must be safe
    //                   to call from there. May be empty.
    //   pUsers        - the accounts; null means none was configured, and the
    //                   built-in account alone may log in. The engine works on
    //                   its own copy, so the caller may change or reload its
    //                   list at any time.
    //   pWelcome      - the greeting text; null gives "<welcome message>".
    // Returns true once the server listens and its thread runs. False when
    // the port cannot be listened on (GetListenError says why) or the thread
    // could not be created (GetListenError is then 0).
    bool Start(std::function<void()> onQuitRequest, bool bSingleSession,
               const std::vector<CFileSyncServerUser>* pUsers, const std::string* pWelcome,
               int nPort, const std::string& strStartDir);

    // The system error code that kept the last Start from listening; 0 when
    // it listened (or failed for another reason).
    int GetListenError() const { return m_nListenError; }

    // How many connections may wait for their session while the sessions
    // run; the system caps it (somaxconn on Linux). Deep on purpose: a
    // connection that arrives when the queue is full is dropped or stalled
    // at the handshake, and its client waits for a greeting until its own
    // time limit ends its run; fifty cron jobs that start at the same minute
    // must all find room.
    static constexpr int kListenBacklog = 1024;

    // The longest command line taken (CFtpSession).
    static constexpr size_t kMaxCommandLine = CFtpSession::kMaxCommandLine;

    // Ends the server thread at once, wherever it is: its sockets are shut
    // down so that every blocking call returns, then the thread is joined. A
    // client in the middle of anything sees its connection closed.
    void Stop();

    // Shortens the time-out (tests only; the engine's own is 60 s).
    void SetTimeoutForTesting(int nTimeoutMs) { m_settings.nTimeoutMs = nTimeoutMs; }

    // A connection must have logged in this long after it was accepted, or
    // it is closed: one idle peer must not hold the only session.
    static constexpr int kLoginTimeoutMs = 10000;
    // A failed login is answered only after this pause, so that guessing
    // passwords costs time; the session is held meanwhile.
    static constexpr int kLoginFailurePauseMs = 1000;
    // Tests only: other login limits.
    void SetLoginLimitsForTesting(int nTimeoutMs, int nFailurePauseMs) {
        m_settings.nLoginTimeoutMs = nTimeoutMs;
        m_settings.nLoginFailurePauseMs = nFailurePauseMs;
    }

    // Receives the lines meant for the operator's log (a failed login, a
    // connection closed for not logging in), one at a time, on the thread of
    // the session they are about, while the server runs. Set before Start;
    // may be empty.
    void SetLogSink(std::function<void(const std::string&)> logSink) {
        m_logSink = std::move(logSink);
    }

    // Set before Start.
    void SetPassiveSettings(const CPassiveSettings& settings) { m_settings.passive = settings; }

    // TLS for clients that ask for it (AUTH TLS), with this context; null
    // for none. bRequired: no login without it (and no data connection
    // without PROT P). Set before Start.
    void SetTls(std::shared_ptr<platform::CTlsContext> pContext, bool bRequired) {
        m_settings.pTls = std::move(pContext);
        m_settings.bTlsRequired = m_settings.pTls != nullptr && bRequired;
    }

    // Tests only: listens on IPv4 and IPv6 with a socket each, as on systems
    // where one socket cannot take both.
    void SetSeparateListenersForTesting(bool bSeparate) { m_bSeparateListeners = bSeparate; }

    // How many sessions run at once, 1 (the default) to kMaxSessions: with
    // more than one, each runs on a thread of its own. Clients beyond the
    // number wait in the queue, as they do for the one. Set before Start.
    static constexpr int kMaxSessions = 256;
    void SetMaxSessions(int nSessions) { m_nMaxSessions = nSessions; }

    // The readers of PORT's and EPRT's arguments (CFtpSession).
    static int ParseEprtArgument(const std::string& strArgument,
                                 platform::CSocketAddress& address) {
        return CFtpSession::ParseEprtArgument(strArgument, address);
    }
    static bool ParsePortArgument(const std::string& strArgument,
                                  platform::CSocketAddress& address) {
        return CFtpSession::ParsePortArgument(strArgument, address);
    }

private:
    // A session and the thread it runs on (none when it runs on the
    // server thread).
    struct CRunningSession {
        std::unique_ptr<CFtpSession> pSession;
        std::thread thread;
        bool bEnded = false;
    };

    void ServerThread();
    bool CreateListenSocket();
    // Waits for the next client on whichever listener it comes to.
    bool AcceptClient(platform::CSocket& client, platform::CSocketAddress& peer);
    // Waits until fewer than the allowed number of sessions run (false when
    // the server stops first), and joins the threads of those that ended.
    bool WaitForFreeSession();
    void JoinEndedSessions(bool bAll);

    // CSessionHost
    bool OpenSocket(platform::CSocket& socket, bool bIpv6) override;
    bool AdoptSocket(platform::CSocket& target, platform::CSocket&& source) override;
    void CloseSocket(platform::CSocket& socket) override;
    bool IsStopping() override;
    void Trace(int nLine, int nError, const std::string& strMessage) override;
    void LogLine(const std::string& strLine) override;
    int NextPassivePortOffset(int nCount) override;
    bool LastDataAddress(platform::CSocketAddress& address) override;
    void RememberDataAddress(const platform::CSocketAddress& address) override;
    void RequestStop() override;

    std::thread m_thread;
    // Guards the opening and closing of sockets, the list of sessions and
    // what sessions share.
    std::mutex m_mutex;
    std::condition_variable m_sessionEnded;
    bool m_bStopping = false;  // Stop has begun; no socket may be opened

    int m_nPort = 0;
    int m_nMaxSessions = 1;
    CSessionSettings m_settings;
    std::atomic<bool> m_bStopRequested{false};  // QUIT in single-session mode
    std::function<void()> m_onQuitRequest;
    std::function<void(const std::string&)> m_logSink;
    std::mutex m_logMutex;  // one log line at a time

    platform::CSocket m_listenSocket;
    // The IPv6 listener where the system has no dual-stack sockets; else
    // closed.
    platform::CSocket m_listenSocket6;
    bool m_bSeparateListeners = false;
    std::list<CRunningSession> m_sessions;
    int m_nNextPassivePort = 0;  // where the next search of the range starts
    platform::CSocketAddress m_dataAddress;  // the last PORT's, kept across sessions
    bool m_bDataAddressSet = false;
    int m_nListenError = 0;
};
