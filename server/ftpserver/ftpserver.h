#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/socket.h"
#include "platform/tls.h"

// The transfer server engine: one server thread that listens on a port (of
// IPv4 and IPv6 alike), serves one client at a time over a small FTP subset
// extended by MD5 and TIME, and writes a trace of every event to standard
// output. Data connections are made by the server (PORT, EPRT) or by the
// client (PASV, EPSV), always with the client's own address alone.

// Where passive data connections are listened for. Without a range any free
// port is taken; without an address the PASV reply names the address the
// client reached the server at.
struct CPassiveSettings {
    uint16_t nFirstPort = 0;  // 0: any port
    uint16_t nLastPort = 0;
    // The IPv4 address PASV announces instead, for a server behind NAT; 0
    // for none.
    uint32_t nAnnouncedAddress = 0;
};

// One account that may log in. Names and passwords compare exactly.
class CFileSyncServerUser {
public:
    CFileSyncServerUser() = default;
    CFileSyncServerUser(std::string strUser, std::string strPassword)
        : m_strUser(std::move(strUser)), m_strPassword(std::move(strPassword)) {}

    std::string m_strUser;
    std::string m_strPassword;
};

class CFtpServer {
public:
    // Receive and send time-out of every connection, in milliseconds.
    static constexpr int kDefaultTimeoutMs = 60000;

    CFtpServer() = default;
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

    // How many connections may wait for their session while one runs. The
    // system may round it up; beyond it new clients are held back at the
    // connection handshake and retry, they are not refused.
    static constexpr int kListenBacklog = 16;

    // The longest command line taken, its line end not counted. A longer line
    // is answered "500 Command line too long." and dropped whole.
    static constexpr size_t kMaxCommandLine = 8192;

    // Ends the server thread at once, wherever it is: its sockets are shut
    // down so that every blocking call returns, then the thread is joined. A
    // client in the middle of anything sees its connection closed.
    void Stop();

    // Shortens the time-out (tests only; the engine's own is 60 s).
    void SetTimeoutForTesting(int nTimeoutMs) { m_nTimeoutMs = nTimeoutMs; }

    // A connection must have logged in this long after it was accepted, or
    // it is closed: one idle peer must not hold the only session.
    static constexpr int kLoginTimeoutMs = 10000;
    // A failed login is answered only after this pause, so that guessing
    // passwords costs time; the session is held meanwhile.
    static constexpr int kLoginFailurePauseMs = 1000;
    // Tests only: other login limits.
    void SetLoginLimitsForTesting(int nTimeoutMs, int nFailurePauseMs) {
        m_nLoginTimeoutMs = nTimeoutMs;
        m_nLoginFailurePauseMs = nFailurePauseMs;
    }

    // Receives the lines meant for the operator's log (a failed login, a
    // connection closed for not logging in), on the server thread, while
    // the server runs. Set before Start; may be empty.
    void SetLogSink(std::function<void(const std::string&)> logSink) {
        m_logSink = std::move(logSink);
    }

    // Set before Start.
    void SetPassiveSettings(const CPassiveSettings& settings) { m_passive = settings; }

    // TLS for clients that ask for it (AUTH TLS), with this context; null
    // for none. bRequired: no login without it (and no data connection
    // without PROT P). Set before Start.
    void SetTls(std::shared_ptr<platform::CTlsContext> pContext, bool bRequired) {
        m_pTls = std::move(pContext);
        m_bTlsRequired = m_pTls != nullptr && bRequired;
    }

    // Tests only: listens on IPv4 and IPv6 with a socket each, as on systems
    // where one socket cannot take both.
    void SetSeparateListenersForTesting(bool bSeparate) { m_bSeparateListeners = bSeparate; }

    // Reads the argument of EPRT ("|1|10.0.0.7|6275|", "|2|::1|6275|"; the
    // first character is the delimiter). Returns 0 and fills address, 1 for
    // an argument of the wrong form, 2 for a protocol other than 1 and 2.
    static int ParseEprtArgument(const std::string& strArgument,
                                 platform::CSocketAddress& address);

    // Reads the argument of PORT: up to six comma-separated numbers, each as
    // the C runtime reads one (optional sign, the digits up to the first
    // other character, 0 without digits; empty pieces are skipped). The
    // first four replace the bytes of address in turn; with a fifth (and a
    // sixth) the port becomes fifth * 256 + sixth, cut to 16 bits, and the
    // result is true. Without a fifth the port is left as it was and the
    // result is false.
    static bool ParsePortArgument(const std::string& strArgument,
                                  platform::CSocketAddress& address);

private:
    // One parsed command line.
    struct CCommand {
        std::string strCommand;   // upper case
        std::string strArgument;  // as sent, trimmed of blanks
        bool bTooLong = false;    // the line was longer than kMaxCommandLine
    };

    void ServerThread();
    bool CreateListenSocket();
    // Waits for the next client on whichever listener it comes to.
    bool AcceptClient(platform::CSocket& client);
    bool Login();
    bool ReceiveLoginCommand(CCommand& command);
    bool AnswerBeforeLogin(const CCommand& command);
    void RecordFailedLogin(const std::string& strUser);
    void LogLine(const std::string& strLine);
    void SendFeatures();
    void RunSession();

    bool ReceiveCommand(CCommand& command);
    bool ReceiveLine(std::string& strLine, bool& bTooLong);
    bool SendReply(const std::string& strReply);
    bool DispatchCommand(const CCommand& command, bool& bHandled);
    bool OnTime();
    bool OnMd5(const std::string& strArgument);
    bool OnPort(const std::string& strArgument);
    bool OnEprt(const std::string& strArgument);
    bool OnPasv(const std::string& strArgument);
    bool OnEpsv(const std::string& strArgument);
    bool OnAuth(const std::string& strArgument);
    bool OnPbsz(const std::string& strArgument);
    bool OnProt(const std::string& strArgument);
    // True when TLS is required and data connections are not protected;
    // then the transfer command is answered.
    bool RefusedUnprotected();
    // Opens the listener of a passive data connection on the address the
    // client reached us at; false (traced) when none can be had.
    bool OpenPassiveListener(platform::CSocketAddress& address);
    // Takes the client's connection on the passive listener, which then
    // closes: any other address is refused and traced.
    bool AcceptPassiveConnection();
    // True when EPSV ALL forbids the command; then it is answered.
    bool RefusedAfterEpsvAll();
    bool OnAllo(const std::string& strArgument);
    bool OnList(const std::string& strArgument);
    bool OnRetr(const std::string& strArgument);
    bool OnStor(const std::string& strArgument);
    bool OnDele(const std::string& strArgument);
    bool OnSize(const std::string& strArgument);
    bool OnCwd(const std::string& strArgument);
    bool OnCdup(const std::string& strArgument);
    bool OnPwd(const std::string& strArgument);
    bool OnMkd(const std::string& strArgument);
    bool OnRmd(const std::string& strArgument);
    bool OnNlst(const std::string& strArgument);
    bool OnRest(const std::string& strArgument);
    bool OnRnfr(const std::string& strArgument);
    bool OnRnto(const std::string& strArgument);
    // The directory listing of LIST (bNamesOnly: of NLST) for an argument.
    std::string MakeListing(const std::string& strArgument, bool bNamesOnly);
    bool SendListing(const std::string& strListing, const char* pszDone);
    // Copies the first nLength bytes of strPath to the end of file; false
    // when the file is shorter or cannot be read.
    bool CopyPrefix(const std::string& strPath, int64_t nLength, platform::CFile& file);

    // The path below the start directory that an argument names: from the
    // root when it begins with a separator, else from the current folder.
    // False when it would lead outside the start directory (a ".."
    // component, or a symbolic link that points out). pstrRelative, when
    // given, receives the path from the root, names joined by '/'.
    bool ResolvePath(const std::string& strArgument, std::string& strPath,
                     std::string* pstrRelative = nullptr);
    // The folder that CWD names, from the root, names joined by '/': "." and
    // ".." are walked, but never above the root. False when it leads above
    // the root.
    bool WalkFolder(const std::string& strArgument, std::string& strRelative) const;
    bool IsDirectory(const std::string& strPath);
    // Removes what killed uploads (or downloads) left in strDirectory long
    // ago; hidden, they would otherwise stay there for ever.
    void RemoveStaleTemporaries(const std::string& strDirectory);
    bool IsOrdinaryFile(const std::string& strPath);
    // The data connection, protected when PROT P asked for it.
    bool OpenDataConnection();
    bool OpenPlainDataConnection();
    // TLS on the data connection under PROT P; closes it when that fails.
    bool ProtectDataConnection();
    void CloseDataConnection();
    int64_t DataReceive(void* pBuffer, size_t nCount);
    bool DataSendAll(const void* pBuffer, size_t nCount);

    // Socket handling shared with Stop, which may shut them down from the
    // user-interface thread at any moment.
    bool OpenSocket(platform::CSocket& socket, bool bIpv6 = false);
    void CloseSocket(platform::CSocket& socket);
    bool IsStopping();

    void Trace(int nLine, int nError, const std::string& strMessage);

    std::thread m_thread;
    std::mutex m_mutex;          // guards the opening and closing of sockets
    bool m_bStopping = false;    // Stop has begun; no socket may be opened

    int m_nPort = 0;
    int m_nTimeoutMs = kDefaultTimeoutMs;
    bool m_bSingleSession = false;
    std::atomic<bool> m_bStopRequested{false};  // QUIT in single-session mode
    std::function<void()> m_onQuitRequest;
    std::string m_strWelcome;
    std::string m_strSystem;
    std::string m_strHelp;
    std::string m_strStartDir;
    std::string m_strRealStartDir;  // with links resolved, for confinement
    std::optional<std::vector<CFileSyncServerUser>> m_users;

    platform::CSocket m_listenSocket;
    // The IPv6 listener where the system has no dual-stack sockets; else
    // closed.
    platform::CSocket m_listenSocket6;
    bool m_bSeparateListeners = false;
    platform::CSocket m_controlSocket;
    platform::CSocket m_dataSocket;
    platform::CSocket m_passiveSocket;  // open between PASV/EPSV and the transfer
    CPassiveSettings m_passive;
    uint16_t m_nNextPassivePort = 0;  // where the next search of the range starts
    bool m_bEpsvAll = false;          // EPSV ALL: no other data command any more
    std::shared_ptr<platform::CTlsContext> m_pTls;
    bool m_bTlsRequired = false;
    platform::CTlsStream m_controlTls;  // open once AUTH TLS succeeded
    platform::CTlsStream m_dataTls;     // on the data connection, under PROT P
    bool m_bProtectionSizeSet = false;  // PBSZ came
    bool m_bProtectData = false;        // PROT P
    const char* m_pszLoginRefusal = nullptr;  // the reply to a failed login
    platform::CSocketAddress m_peerAddress;
    platform::CSocketAddress m_dataAddress;  // set by PORT, kept across sessions
    bool m_bDataAddressSet = false;
    std::string m_strPending;  // received bytes after the current command line
    bool m_bAfterCr = false;   // the last line ended in a CR that closed a receive
    int64_t m_nAnnouncedSize = -1;  // ALLO's byte count for the next STOR; -1 none
    // Folders this session has already rid of stale temporaries: once is
    // enough, and a folder of many files is not read again for each upload.
    std::set<std::string> m_sweptDirectories;
    // The session's current folder from the root, names joined by '/'; empty
    // for the root itself.
    std::string m_strCurrentDir;
    int64_t m_nRestartOffset = 0;   // REST's offset for the next RETR or STOR
    std::string m_strRenameFrom;    // the path RNFR named, for the RNTO after it
    int m_nListenError = 0;
    int m_nLoginTimeoutMs = kLoginTimeoutMs;
    int m_nLoginFailurePauseMs = kLoginFailurePauseMs;
    // While a connection logs in: when its time is up.
    std::optional<std::chrono::steady_clock::time_point> m_loginDeadline;
    bool m_bLoginTimedOut = false;
    std::function<void(const std::string&)> m_logSink;
};
