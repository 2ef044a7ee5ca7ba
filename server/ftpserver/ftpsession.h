#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/file.h"
#include "platform/socket.h"
#include "platform/tls.h"

// One client's session with the transfer server: the greeting, the login and
// the command loop, on the thread that runs it, with sockets and state of its
// own. What sessions share (the settings, the last PORT address, the stop)
// belongs to their server, which they reach through CSessionHost.

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

// What the server is set to, the same for all its sessions. Made at Start and
// only read while sessions run.
struct CSessionSettings {
    std::string strWelcome;
    std::string strSystem;
    std::string strHelp;
    std::string strStartDir;
    std::string strRealStartDir;  // with links resolved, for confinement
    // Null: none was configured, and the built-in account alone may log in.
    std::optional<std::vector<CFileSyncServerUser>> users;
    int nTimeoutMs = 0;
    int nLoginTimeoutMs = 0;
    int nLoginFailurePauseMs = 0;
    bool bSingleSession = false;
    CPassiveSettings passive;
    std::shared_ptr<platform::CTlsContext> pTls;
    bool bTlsRequired = false;
};

// What a session asks of its server. Every call may come from any session's
// thread at any time.
class CSessionHost {
public:
    virtual ~CSessionHost() = default;

    // Sockets that Stop must be able to shut down are opened, taken over
    // and closed through these, never while the server stops.
    virtual bool OpenSocket(platform::CSocket& socket, bool bIpv6) = 0;
    virtual bool AdoptSocket(platform::CSocket& target, platform::CSocket&& source) = 0;
    virtual void CloseSocket(platform::CSocket& socket) = 0;
    virtual bool IsStopping() = 0;

    virtual void Trace(int nLine, int nError, const std::string& strMessage) = 0;
    // A line for the operator's log.
    virtual void LogLine(const std::string& strLine) = 0;

    // Where the next search of the passive range starts, of nCount ports;
    // each call moves it on by one.
    virtual int NextPassivePortOffset(int nCount) = 0;
    // The address of the last PORT or EPRT of any session: it holds for
    // the next sessions too, until another replaces it.
    virtual bool LastDataAddress(platform::CSocketAddress& address) = 0;
    virtual void RememberDataAddress(const platform::CSocketAddress& address) = 0;
    // QUIT in single-session mode: the server takes no more clients.
    virtual void RequestStop() = 0;
};

class CFtpSession {
public:
    // The longest command line taken, its line end not counted. A longer line
    // is answered "500 Command line too long." and dropped whole.
    static constexpr size_t kMaxCommandLine = 8192;

    // control: the client's accepted connection, from peer. pLocal: the
    // address the client reached us at, for the passive listeners; null to
    // ask control for it (a connection that is no network connection, as
    // in the fuzzing of sessions, cannot say).
    CFtpSession(const CSessionSettings& settings, CSessionHost& host, platform::CSocket control,
                const platform::CSocketAddress& peer,
                const platform::CSocketAddress* pLocal = nullptr);
    CFtpSession(const CFtpSession&) = delete;
    CFtpSession& operator=(const CFtpSession&) = delete;

    // The whole session, greeting to "Disconnected from"; returns when it
    // has ended and its sockets are closed.
    void Run();

    // Shuts every socket of the session down, so that whatever blocking call
    // it is in returns. Called by the server, under the lock it opens and
    // closes the sockets with.
    void ShutdownSockets();

    // Removes what killed uploads (or downloads) left in strDirectory long
    // ago, and traces each; hidden, they would otherwise stay there for ever.
    static void RemoveStaleTemporaries(CSessionHost& host, const std::string& strDirectory);

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

    bool Login();
    bool ReceiveLoginCommand(CCommand& command);
    bool AnswerBeforeLogin(const CCommand& command);
    void RecordFailedLogin(const std::string& strUser);
    void SendFeatures();
    void RunCommands();

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
    bool IsOrdinaryFile(const std::string& strPath);
    // The data connection, protected when PROT P asked for it.
    bool OpenDataConnection();
    bool OpenPlainDataConnection();
    // TLS on the data connection under PROT P; closes it when that fails.
    bool ProtectDataConnection();
    void CloseDataConnection();
    int64_t DataReceive(void* pBuffer, size_t nCount);
    bool DataSendAll(const void* pBuffer, size_t nCount);

    const CSessionSettings& m_settings;
    CSessionHost& m_host;

    platform::CSocket m_controlSocket;
    platform::CSocketAddress m_peerAddress;
    std::optional<platform::CSocketAddress> m_localAddress;  // as given, else asked for
    platform::CSocket m_dataSocket;
    platform::CSocket m_passiveSocket;  // open between PASV/EPSV and the transfer
    bool m_bEpsvAll = false;            // EPSV ALL: no other data command any more
    platform::CTlsStream m_controlTls;  // open once AUTH TLS succeeded
    platform::CTlsStream m_dataTls;     // on the data connection, under PROT P
    bool m_bProtectionSizeSet = false;  // PBSZ came
    bool m_bProtectData = false;        // PROT P
    const char* m_pszLoginRefusal;      // the reply to a failed login
    platform::CSocketAddress m_dataAddress;  // set by PORT or EPRT
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
    int64_t m_nRestartOffset = 0;  // REST's offset for the next RETR or STOR
    std::string m_strRenameFrom;   // the path RNFR named, for the RNTO after it
    // While the connection logs in: when its time is up.
    std::optional<std::chrono::steady_clock::time_point> m_loginDeadline;
    bool m_bLoginTimedOut = false;
};
