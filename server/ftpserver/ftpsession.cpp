#include "server/ftpserver/ftpsession.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <thread>
#include <utility>

#include "common/fileerror.h"
#include "common/md5.h"
#include "common/text.h"
#include "platform/clock.h"
#include "platform/paths.h"

namespace {

const char* const kDefaultAccount = "vexil";
constexpr size_t kReceiveBufferSize = 4096;
// Uploads move in blocks this large: with 4 KiB blocks the system calls, not
// the disk or the network, set the pace. Nothing on the wire depends on it.
constexpr size_t kStoreBlockSize = 64 * 1024;
// How long an upload without an announced size waits, once its data has
// ended, for a sign that its client died.
constexpr int kClientGoneGraceMs = 50;

const char* const kReplyDone = "200 Done";
const char* const kReplyOpening = "150 File status Ok, opening data connection.";
const char* const kReplyTransferred = "226 Closing data connection. Requested file action successful.";
const char* const kReplyCompleted = "250 Requested file action completed.";
const char* const kReplyNoDataConnection = "425 Cannot open data connection.";
const char* const kReplyAborted = "426 Connection closed; transfer aborted.";
const char* const kReplyUnavailable =
    "550 Requested action not taken. File or directory unavailable.";
const char* const kReplyActionAborted = "552 Requested file action aborted.";
const char* const kReplyBadRestart = "554 Requested action not taken: invalid REST parameter.";
const char* const kReplySyntaxError = "501 Syntax error in parameters or arguments.";
const char* const kReplyBadSequence = "503 Bad sequence of commands.";
const char* const kReplyNotLoggedIn = "530 Not logged in.";
const char* const kReplyTlsRequired = "530 TLS is required: send AUTH TLS before USER.";
const char* const kReplyNotProtected =
    "521 Data connection cannot be opened with this PROT setting.";
const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                               "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

bool IsBlank(char c) { return c == ' '; }
bool IsLineEnd(char c) { return c == '\r' || c == '\n'; }

std::string TrimBlanks(const std::string& strText) {
    size_t nEnd = strText.size();
    while (nEnd > 0 && IsBlank(strText[nEnd - 1])) {
        --nEnd;
    }
    size_t nStart = 0;
    while (nStart < nEnd && IsBlank(strText[nStart])) {
        ++nStart;
    }
    return strText.substr(nStart, nEnd - nStart);
}

// Only ordinary files are listed, fetched, sized, deleted or replaced:
// directories, hidden and system entries are not served.
bool IsOrdinary(uint32_t dwAttributes) {
    return dwAttributes != platform::kInvalidFileAttributes &&
           (dwAttributes & (platform::kFileAttributeDirectory | platform::kFileAttributeHidden |
                            platform::kFileAttributeSystem)) == 0;
}

bool IsListedName(const std::string& strName) {
    return !strName.empty() && strName != "." && strName != "..";
}

// A folder as clients see it, between double quotes, a quote inside a name
// doubled (RFC 959).
std::string QuotedFolder(const std::string& strRelative) {
    std::string strQuoted = "\"/";
    for (char c : strRelative) {
        strQuoted += c == '"' ? std::string("\"\"") : std::string(1, c);
    }
    return strQuoted + "\"";
}

// "drwxr-xr-x" and the like.
std::string ModeText(const platform::CFileInfo& info) {
    std::string strMode = (info.dwAttributes & platform::kFileAttributeDirectory) ? "d" : "-";
    const char* const pszLetters = "rwxrwxrwx";
    for (int i = 0; i < 9; ++i) {
        strMode += (info.nPermissions & (0400u >> i)) != 0 ? pszLetters[i] : '-';
    }
    return strMode;
}

bool IsFolder(uint32_t dwAttributes) {
    return dwAttributes != platform::kInvalidFileAttributes &&
           (dwAttributes & (platform::kFileAttributeDirectory | platform::kFileAttributeHidden |
                            platform::kFileAttributeSystem)) == platform::kFileAttributeDirectory;
}

// The last name of a path argument ('\\' and '/' both separate).
std::string LastName(const std::string& strPath) {
    const size_t nSeparator = strPath.find_last_of("\\/");
    return nSeparator == std::string::npos ? strPath : strPath.substr(nSeparator + 1);
}

// A name that no command serves: hidden (".profile") or a temporary.
bool IsHiddenName(const std::string& strName) { return !strName.empty() && strName[0] == '.'; }

}  // namespace

#define TRACE(nError, strMessage) m_host.Trace(__LINE__, (nError), (strMessage))

CFtpSession::CFtpSession(const CSessionSettings& settings, CSessionHost& host,
                         platform::CSocket control, const platform::CSocketAddress& peer,
                         const platform::CSocketAddress* pLocal)
    : m_settings(settings),
      m_host(host),
      m_controlSocket(std::move(control)),
      m_peerAddress(peer),
      m_pszLoginRefusal(kReplyNotLoggedIn) {
    if (pLocal != nullptr) {
        m_localAddress = *pLocal;
    }
    m_bDataAddressSet = m_host.LastDataAddress(m_dataAddress);
}

void CFtpSession::ShutdownSockets() {
    m_controlSocket.Shutdown();
    m_dataSocket.Shutdown();
    m_passiveSocket.Shutdown();
}

void CFtpSession::Run() {
    m_controlSocket.SetTimeouts(m_settings.nTimeoutMs);
    // "150" and "226" follow each other with no client data between:
    // held back for an acknowledgement, each transfer would stall.
    m_controlSocket.SetNoDelay();
    const std::string strPeer = m_peerAddress.GetAddressText();
    TRACE(0, "Connected to " + strPeer);
    SendReply("220 " + m_settings.strWelcome);
    if (!Login()) {
        SendReply(m_pszLoginRefusal);
    } else {
        RunCommands();
    }
    m_host.CloseSocket(m_passiveSocket);
    // The end said under TLS, so that the client can tell it from a cut.
    if (m_controlTls.IsOpen()) {
        m_controlTls.Close();
    }
    m_host.CloseSocket(m_controlSocket);
    TRACE(0, "Disconnected from " + strPeer);
}

void CFtpSession::RemoveStaleTemporaries(CSessionHost& host, const std::string& strDirectory) {
    for (const std::string& strRemoved :
         platform::RemoveStaleTemporaries(strDirectory, platform::kStaleTemporaryAgeSeconds)) {
        host.Trace(__LINE__, 0, "Removed stale temporary file " + strRemoved);
    }
}

// Unknown names and wrong passwords take the same path, with the same 331,
// the same pause and the same 530, so that names cannot be told apart by
// their answers or their timing.
bool CFtpSession::Login() {
    m_bLoginTimedOut = false;
    m_loginDeadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(m_settings.nLoginTimeoutMs);
    CCommand command;
    bool bReceived = ReceiveLoginCommand(command);
    while (bReceived && AnswerBeforeLogin(command)) {
        bReceived = ReceiveLoginCommand(command);
    }
    bool bLoggedIn = false;
    // The password must not cross the network in the clear.
    if (bReceived && command.strCommand == "USER" && m_settings.bTlsRequired && !m_controlTls.IsOpen()) {
        TRACE(0, "Login refused without TLS");
        m_pszLoginRefusal = kReplyTlsRequired;
        bReceived = false;
    }
    if (bReceived && command.strCommand == "USER") {
        const std::string strUser = command.strArgument;
        const std::string* pPassword = nullptr;
        const std::string strDefault = kDefaultAccount;
        if (m_settings.users) {
            for (const CFileSyncServerUser& user : *m_settings.users) {
                if (user.m_strUser == strUser) {
                    pPassword = &user.m_strPassword;
                    break;
                }
            }
        } else if (strUser == strDefault) {
            pPassword = &strDefault;
        }
        SendReply("331 User name Ok, need password.");
        if (ReceiveLoginCommand(command) && command.strCommand == "PASS") {
            bLoggedIn = pPassword != nullptr && command.strArgument == *pPassword;
            if (!bLoggedIn) {
                RecordFailedLogin(strUser);
            }
        }
    }
    m_loginDeadline.reset();
    m_controlSocket.SetTimeouts(m_settings.nTimeoutMs);
    if (m_bLoginTimedOut) {
        const std::string strLimit = m_settings.nLoginTimeoutMs % 1000 == 0
                                         ? std::to_string(m_settings.nLoginTimeoutMs / 1000) + " s"
                                         : std::to_string(m_settings.nLoginTimeoutMs) + " ms";
        m_host.LogLine("No login within " + strLimit + " from " + m_peerAddress.GetAddressText() +
                ": connection closed");
    }
    if (bLoggedIn) {
        SendReply("230 Logged in.");
    }
    return bLoggedIn;
}

// A command before login, read within what is left of the login time.
bool CFtpSession::ReceiveLoginCommand(CCommand& command) {
    return ReceiveCommand(command) && !command.bTooLong;
}

// What stock clients ask before they log in is answered; anything else
// but USER ends the attempt.
bool CFtpSession::AnswerBeforeLogin(const CCommand& command) {
    if (command.strCommand == "FEAT") {
        SendFeatures();
        return true;
    }
    if (command.strCommand == "SYST" || command.strCommand == "OPTS") {
        bool bHandled = false;
        DispatchCommand(command, bHandled);
        return true;
    }
    // TLS is asked for before login; the protection of data connections
    // may be too.
    if (command.strCommand == "AUTH") {
        return OnAuth(command.strArgument);
    }
    if (command.strCommand == "PBSZ") {
        return OnPbsz(command.strArgument);
    }
    if (command.strCommand == "PROT") {
        return OnProt(command.strArgument);
    }
    return false;
}

void CFtpSession::SendFeatures() {
    SendReply("211-Features:");
    if (m_settings.pTls) {
        SendReply(" AUTH TLS");
    }
    for (const char* pszFeature : {" EPRT", " EPSV", " MD5", " PASV"}) {
        SendReply(pszFeature);
    }
    if (m_settings.pTls) {
        SendReply(" PBSZ");
        SendReply(" PROT");
    }
    for (const char* pszFeature : {" REST STREAM", " SIZE", " TIME", " UTF8"}) {
        SendReply(pszFeature);
    }
    SendReply("211 End");
}

// A client that would like TLS asks first. Without TLS the session goes on
// in the clear, as the client decides.
bool CFtpSession::OnAuth(const std::string& strArgument) {
    if (!m_settings.pTls) {
        SendReply("502 Command not implemented.");
        return true;
    }
    if (m_controlTls.IsOpen()) {
        SendReply(kReplyBadSequence);
        return true;
    }
    if (!EqualsNoCase(strArgument, "TLS") && !EqualsNoCase(strArgument, "TLS-C") &&
        !EqualsNoCase(strArgument, "SSL")) {
        SendReply("504 Command not implemented for that parameter.");
        return true;
    }
    SendReply("234 Proceed with negotiation.");
    // Whatever followed AUTH in the clear was said before TLS and must not
    // pass for a command said under it.
    m_strPending.clear();
    m_bAfterCr = false;
    if (!m_controlTls.Accept(*m_settings.pTls, m_controlSocket)) {
        const std::string strLine = "TLS handshake with " + m_peerAddress.GetAddressText() +
                                    " failed: " + m_controlTls.GetError();
        TRACE(m_controlTls.GetSocketError(), strLine);
        m_host.LogLine(strLine);
        // Nothing more can be said to the client: the session ends.
        m_controlSocket.Shutdown();
        return false;
    }
    TRACE(0, "TLS established");
    return true;
}

bool CFtpSession::OnPbsz(const std::string& /*strArgument*/) {
    if (!m_controlTls.IsOpen()) {
        SendReply(kReplyBadSequence);
        return true;
    }
    // TLS frames its own records: the only buffer size is 0.
    m_bProtectionSizeSet = true;
    SendReply("200 PBSZ=0");
    return true;
}

bool CFtpSession::OnProt(const std::string& strArgument) {
    if (!m_controlTls.IsOpen() || !m_bProtectionSizeSet) {
        SendReply(kReplyBadSequence);
        return true;
    }
    if (EqualsNoCase(strArgument, "P")) {
        m_bProtectData = true;
        SendReply("200 Protection level set to Private.");
    } else if (EqualsNoCase(strArgument, "C")) {
        if (m_settings.bTlsRequired) {
            SendReply("534 Request denied for policy reasons.");
        } else {
            m_bProtectData = false;
            SendReply("200 Protection level set to Clear.");
        }
    } else if (EqualsNoCase(strArgument, "S") || EqualsNoCase(strArgument, "E")) {
        SendReply("536 Requested PROT level not supported by mechanism.");
    } else {
        SendReply("504 Command not implemented for that parameter.");
    }
    return true;
}

bool CFtpSession::RefusedUnprotected() {
    const bool bRefused = m_settings.bTlsRequired && !m_bProtectData;
    if (bRefused) {
        SendReply(kReplyNotProtected);
    }
    return bRefused;
}

// The name goes to the log as readable text of bounded length; the password
// never does.
void CFtpSession::RecordFailedLogin(const std::string& strUser) {
    constexpr size_t kMaxLoggedName = 64;
    std::string strName;
    for (char c : strUser.substr(0, kMaxLoggedName)) {
        const unsigned char b = static_cast<unsigned char>(c);
        strName += (b < 0x20 || b == 0x7F) ? '?' : c;
    }
    if (strUser.size() > kMaxLoggedName) {
        strName += "...";
    }
    const std::string strLine =
        "Login failed: user '" + strName + "' from " + m_peerAddress.GetAddressText();
    TRACE(0, strLine);
    m_host.LogLine(strLine);
    // The pause ends early when the server stops.
    const auto end = std::chrono::steady_clock::now() +
                     std::chrono::milliseconds(m_settings.nLoginFailurePauseMs);
    while (std::chrono::steady_clock::now() < end && !m_host.IsStopping()) {
        std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(
            std::chrono::milliseconds(20), end - std::chrono::steady_clock::now()));
    }
}

void CFtpSession::RunCommands() {
    CCommand command;
    while (ReceiveCommand(command)) {
        bool bHandled = false;
        bool bContinue = true;
        if (command.bTooLong) {
            bHandled = true;
            SendReply("500 Command line too long.");
        } else if (command.strCommand == "TIME") {
            bHandled = true;
            bContinue = OnTime();
        } else if (command.strCommand == "MD5") {
            bHandled = true;
            bContinue = OnMd5(command.strArgument);
        } else {
            bContinue = DispatchCommand(command, bHandled);
        }
        // A rename names its source and its target in two commands in a
        // row; any other command after RNFR forgets the source.
        if (command.strCommand != "RNFR") {
            m_strRenameFrom.clear();
        }
        if (!bContinue) {
            break;
        }
        // A command we do not have must not look done: a client that meant
        // to resume, append or make a folder has to learn that it did not.
        if (!bHandled) {
            SendReply("502 Command not implemented.");
        }
    }
}

// A command ends at its line end and nowhere else: bytes are gathered over
// as many receives as the line takes, so a line that arrives in pieces is
// still one command. Several lines in one receive are taken one at a time;
// the run of CR and LF after a line is its line end. A line longer than
// kMaxCommandLine is dropped whole. Bytes of a line that never ends (the
// connection closes first) are never run.
bool CFtpSession::ReceiveLine(std::string& strLine, bool& bTooLong) {
    bTooLong = false;
    size_t nSearched = 0;
    for (;;) {
        if (m_bAfterCr && !m_strPending.empty()) {
            // The LF of a CR LF that was split between two receives.
            if (m_strPending[0] == '\n') {
                m_strPending.erase(0, 1);
            }
            m_bAfterCr = false;
        }
        size_t nLineEnd = m_strPending.find_first_of("\r\n", nSearched);
        if (nLineEnd != std::string::npos) {
            size_t nNext = nLineEnd;
            while (nNext < m_strPending.size() && IsLineEnd(m_strPending[nNext])) {
                ++nNext;
            }
            m_bAfterCr = nNext == m_strPending.size() && m_strPending[nNext - 1] == '\r';
            if (!bTooLong && nLineEnd > kMaxCommandLine) {
                bTooLong = true;
            }
            strLine = bTooLong ? std::string() : m_strPending.substr(0, nLineEnd);
            m_strPending.erase(0, nNext);
            return true;
        }
        if (m_strPending.size() > kMaxCommandLine) {
            // Kept no longer: what follows up to the line end is dropped too.
            bTooLong = true;
            m_strPending.clear();
        }
        nSearched = m_strPending.size();

        bool bWaitsForTheLogin = false;  // the wait ends at the login's deadline
        if (m_loginDeadline) {
            // Each receive waits only for what is left of the login time, so
            // a peer that trickles bytes cannot stretch it.
            const auto nLeftMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                                     *m_loginDeadline - std::chrono::steady_clock::now())
                                     .count();
            if (nLeftMs <= 0) {
                m_bLoginTimedOut = true;
                TRACE(0, "Login time-out");
                return false;
            }
            bWaitsForTheLogin = nLeftMs <= m_settings.nTimeoutMs;
            m_controlSocket.SetTimeouts(
                static_cast<int>(std::min<long long>(nLeftMs, m_settings.nTimeoutMs)));
        }
        char buffer[kReceiveBufferSize];
        int64_t nReceived = m_controlTls.IsOpen() ? m_controlTls.Receive(buffer, sizeof(buffer))
                                                  : m_controlSocket.Receive(buffer, sizeof(buffer));
        if (nReceived < 0) {
            const int nError = m_controlSocket.GetLastError();
            TRACE(nError, "recv(...) failed");
            // The system's timer may end the wait a little before our clock
            // reaches the deadline (some count in steps of 15 ms): a time-out
            // of that wait is the login's all the same.
            if (m_loginDeadline &&
                ((bWaitsForTheLogin && nError == platform::GetTimeoutErrorCode()) ||
                 std::chrono::steady_clock::now() >= *m_loginDeadline)) {
                m_bLoginTimedOut = true;
                TRACE(0, "Login time-out");
            }
            return false;
        }
        if (nReceived == 0) {
            TRACE(0, "Connection closed");
            return false;
        }
        m_strPending.append(buffer, static_cast<size_t>(nReceived));
    }
}

bool CFtpSession::ReceiveCommand(CCommand& command) {
    command = CCommand();
    std::string strLine;
    if (!ReceiveLine(strLine, command.bTooLong)) {
        return false;
    }
    if (command.bTooLong) {
        TRACE(0, "Command line too long");
        return true;
    }
    // The text of a line ends at its first NUL byte.
    strLine.erase(std::min(strLine.find('\0'), strLine.size()));

    strLine = TrimBlanks(strLine);
    size_t nBlank = strLine.find(' ');
    if (nBlank == std::string::npos) {
        command.strCommand = strLine;
    } else {
        command.strCommand = strLine.substr(0, nBlank);
        command.strArgument = TrimBlanks(strLine.substr(nBlank + 1));
    }
    command.strCommand = ToUpperAscii(command.strCommand);

    bool bHide = command.strCommand.compare(0, 4, "PASS") == 0 && !command.strArgument.empty();
    TRACE(0, "R: " + command.strCommand + " " + (bHide ? "(hidden)" : command.strArgument));
    return true;
}

bool CFtpSession::SendReply(const std::string& strReply) {
    std::string strLine = strReply + "\r\n";
    const bool bSent = m_controlTls.IsOpen() ? m_controlTls.SendAll(strLine.data(), strLine.size())
                                             : m_controlSocket.SendAll(strLine.data(), strLine.size());
    if (!bSent) {
        TRACE(m_controlSocket.GetLastError(), "send(...) failed");
        return false;
    }
    TRACE(0, "S: " + strReply);
    return true;
}

bool CFtpSession::DispatchCommand(const CCommand& command, bool& bHandled) {
    const std::string& strCommand = command.strCommand;
    const std::string& strArgument = command.strArgument;
    bHandled = true;
    if (strCommand == "USER" || strCommand == "PASS") {
        SendReply("332 Need account for login.");
        SendReply("221 Service closing control connection.");
        return false;
    }
    if (strCommand == "QUIT") {
        SendReply("221 Service closing control connection.");
        if (m_settings.bSingleSession) {
            m_host.RequestStop();
        }
        return false;
    }
    if (strCommand == "TYPE" || strCommand == "STRU" || strCommand == "MODE" ||
        strCommand == "OPTS") {
        bool bAccepted = strCommand == "TYPE"   ? (strArgument == "A" || strArgument == "A N" ||
                                                 strArgument == "I")
                         : strCommand == "STRU" ? EqualsNoCase(strArgument, "F")
                         : strCommand == "MODE" ? EqualsNoCase(strArgument, "S")
                                                : EqualsNoCase(strArgument, "UTF8 ON");
        SendReply(bAccepted ? kReplyDone : "504 Command not implemented for that parameter.");
        return true;
    }
    if (strCommand == "SYST") {
        SendReply("215 " + m_settings.strSystem);
        return true;
    }
    if (strCommand == "HELP") {
        SendReply("211 " + m_settings.strHelp);
        return true;
    }
    if (strCommand == "FEAT") {
        SendFeatures();
        return true;
    }
    if (strCommand == "NOOP") {
        SendReply(kReplyDone);
        return true;
    }
    // Accounts play no part here; the command is harmless to ignore.
    if (strCommand == "ACCT") {
        SendReply("202 Command not implemented.");
        return true;
    }
    // The commands that take a path or touch the data connection.
    static const struct {
        const char* pszName;
        bool (CFtpSession::*pHandler)(const std::string&);
    } kFileCommands[] = {
        {"PORT", &CFtpSession::OnPort}, {"EPRT", &CFtpSession::OnEprt},
        {"PASV", &CFtpSession::OnPasv}, {"EPSV", &CFtpSession::OnEpsv},
        {"AUTH", &CFtpSession::OnAuth}, {"PBSZ", &CFtpSession::OnPbsz},
        {"PROT", &CFtpSession::OnProt},
        {"ALLO", &CFtpSession::OnAllo},
        {"LIST", &CFtpSession::OnList},
        {"RETR", &CFtpSession::OnRetr}, {"STOR", &CFtpSession::OnStor},
        {"DELE", &CFtpSession::OnDele}, {"SIZE", &CFtpSession::OnSize},
        {"CWD", &CFtpSession::OnCwd}, {"XCWD", &CFtpSession::OnCwd},
        {"CDUP", &CFtpSession::OnCdup}, {"XCUP", &CFtpSession::OnCdup},
        {"PWD", &CFtpSession::OnPwd}, {"XPWD", &CFtpSession::OnPwd},
        {"MKD", &CFtpSession::OnMkd}, {"XMKD", &CFtpSession::OnMkd},
        {"RMD", &CFtpSession::OnRmd}, {"XRMD", &CFtpSession::OnRmd},
        {"NLST", &CFtpSession::OnNlst}, {"REST", &CFtpSession::OnRest},
        {"RNFR", &CFtpSession::OnRnfr}, {"RNTO", &CFtpSession::OnRnto},
    };
    for (const auto& entry : kFileCommands) {
        if (strCommand == entry.pszName) {
            return (this->*entry.pHandler)(strArgument);
        }
    }
    bHandled = false;
    return true;
}

bool CFtpSession::OnTime() {
    platform::CDateTime now = platform::GetLocalDateTime();
    char szText[64];
    std::snprintf(szText, sizeof(szText), "%04d-%02d-%02d %02d:%02d:%02d.%03d", now.nYear,
                  now.nMonth, now.nDay, now.nHour, now.nMinute, now.nSecond, now.nMilliseconds);
    SendReply(std::string("200 ") + szText);
    return true;
}

// Where a path may lead is decided here and nowhere else.
bool CFtpSession::ResolvePath(const std::string& strArgument, std::string& strPath,
                             std::string* pstrRelative) {
    const bool bFromRoot = !strArgument.empty() && platform::IsPathSeparator(strArgument[0]);
    std::string strTrimmed = strArgument;
    for (char chSeparator : {'/', '\\'}) {
        size_t nStart = strTrimmed.find_first_not_of(chSeparator);
        strTrimmed.erase(0, nStart == std::string::npos ? strTrimmed.size() : nStart);
    }
    for (char chSeparator : {'/', '\\'}) {
        size_t nEnd = strTrimmed.find_last_not_of(chSeparator);
        strTrimmed.erase(nEnd == std::string::npos ? 0 : nEnd + 1);
    }
    size_t nStart = 0;
    while (nStart <= strTrimmed.size()) {
        size_t nEnd = strTrimmed.find_first_of("\\/", nStart);
        if (nEnd == std::string::npos) {
            nEnd = strTrimmed.size();
        }
        if (strTrimmed.compare(nStart, nEnd - nStart, "..") == 0) {
            return false;
        }
        nStart = nEnd + 1;
    }
    // A session that never changed its folder names everything from the
    // root, as before there were folders.
    std::string strRelative = strTrimmed;
    if (!bFromRoot && !m_strCurrentDir.empty()) {
        strRelative = strTrimmed.empty() ? m_strCurrentDir : m_strCurrentDir + "/" + strTrimmed;
    }
    strPath = m_settings.strStartDir + "/" + strRelative;
    if (pstrRelative != nullptr) {
        *pstrRelative = strRelative;
    }

    // Links may point anywhere: where the path really leads must lie inside.
    return platform::IsPathInside(m_settings.strRealStartDir, strPath);
}

bool CFtpSession::WalkFolder(const std::string& strArgument, std::string& strRelative) const {
    std::vector<std::string> names;
    if (strArgument.empty() || !platform::IsPathSeparator(strArgument[0])) {
        size_t nStart = 0;
        while (!m_strCurrentDir.empty() && nStart <= m_strCurrentDir.size()) {
            size_t nEnd = m_strCurrentDir.find('/', nStart);
            nEnd = nEnd == std::string::npos ? m_strCurrentDir.size() : nEnd;
            names.push_back(m_strCurrentDir.substr(nStart, nEnd - nStart));
            nStart = nEnd + 1;
        }
    }
    size_t nStart = 0;
    while (nStart <= strArgument.size()) {
        size_t nEnd = strArgument.find_first_of("\\/", nStart);
        nEnd = nEnd == std::string::npos ? strArgument.size() : nEnd;
        const std::string strName = strArgument.substr(nStart, nEnd - nStart);
        if (strName == "..") {
            if (names.empty()) {
                return false;
            }
            names.pop_back();
        } else if (!strName.empty() && strName != ".") {
            names.push_back(strName);
        }
        nStart = nEnd + 1;
    }
    strRelative.clear();
    for (const std::string& strName : names) {
        strRelative += (strRelative.empty() ? "" : "/") + strName;
    }
    return true;
}

bool CFtpSession::IsDirectory(const std::string& strPath) {
    std::vector<platform::CFileInfo> found = platform::FindFiles(strPath);
    return !found.empty() && found[0].dwAttributes != platform::kInvalidFileAttributes &&
           (found[0].dwAttributes & platform::kFileAttributeDirectory) != 0;
}

bool CFtpSession::IsOrdinaryFile(const std::string& strPath) {
    return IsOrdinary(platform::GetPathAttributes(strPath));
}

bool CFtpSession::OnMd5(const std::string& strArgument) {
    std::string strPath;
    if (!ResolvePath(strArgument, strPath) || IsDirectory(strPath)) {
        SendReply(kReplyUnavailable);
        return true;
    }
    std::string strDigest;
    try {
        strDigest = CMD5Checksum::GetFileDigest(strPath);
    } catch (const CFileException& error) {
        TRACE(error.GetOsError(), "Failed to digest file " + strArgument);
        strDigest.clear();
    }
    SendReply(strDigest.empty() ? std::string(kReplyActionAborted) : "200 " + strDigest);
    return true;
}

bool CFtpSession::ParsePortArgument(const std::string& strArgument,
                                   platform::CSocketAddress& address) {
    std::vector<long long> numbers;
    size_t nStart = 0;
    while (nStart <= strArgument.size() && numbers.size() < 6) {
        size_t nEnd = strArgument.find(',', nStart);
        if (nEnd == std::string::npos) {
            nEnd = strArgument.size();
        }
        if (nEnd > nStart) {
            size_t i = nStart;
            bool bNegative = false;
            if (i < nEnd && (strArgument[i] == '+' || strArgument[i] == '-')) {
                bNegative = strArgument[i++] == '-';
            }
            long long nValue = 0;
            while (i < nEnd && strArgument[i] >= '0' && strArgument[i] <= '9') {
                nValue = std::min(nValue * 10 + (strArgument[i++] - '0'), 1LL << 40);
            }
            numbers.push_back(bNegative ? -nValue : nValue);
        }
        nStart = nEnd + 1;
    }
    uint32_t nAddress = address.nAddress;
    for (size_t i = 0; i < 4 && i < numbers.size(); ++i) {
        int nShift = 8 * (3 - static_cast<int>(i));
        nAddress = (nAddress & ~(0xFFu << nShift)) |
                   ((static_cast<uint32_t>(numbers[i]) & 0xFFu) << nShift);
    }
    address.nAddress = nAddress;
    if (numbers.size() < 5) {
        return false;
    }
    long long nPort = numbers[4] * 256 + (numbers.size() >= 6 ? numbers[5] : 0);
    address.nPort = static_cast<uint16_t>(nPort & 0xFFFF);
    return true;
}

bool CFtpSession::OnPort(const std::string& strArgument) {
    if (RefusedAfterEpsvAll()) {
        return true;
    }
    m_host.CloseSocket(m_passiveSocket);
    // PORT speaks of IPv4 alone. One without a port number leaves the port
    // as it was.
    m_dataAddress.bIpv6 = false;
    if (ParsePortArgument(strArgument, m_dataAddress)) {
        m_bDataAddressSet = true;
        m_host.RememberDataAddress(m_dataAddress);
    }
    SendReply(kReplyDone);
    return true;
}

int CFtpSession::ParseEprtArgument(const std::string& strArgument,
                                  platform::CSocketAddress& address) {
    enum { kParsed = 0, kBadForm = 1, kBadProtocol = 2 };
    // <d>protocol<d>address<d>port<d>, the delimiter any printable character.
    if (strArgument.size() < 2 || strArgument[0] < 33 || strArgument[0] > 126 ||
        strArgument.back() != strArgument[0]) {
        return kBadForm;
    }
    const char cDelimiter = strArgument[0];
    std::vector<std::string> fields;
    size_t nStart = 1;
    for (size_t nEnd; (nEnd = strArgument.find(cDelimiter, nStart)) != std::string::npos;
         nStart = nEnd + 1) {
        fields.push_back(strArgument.substr(nStart, nEnd - nStart));
    }
    if (fields.size() != 3) {
        return kBadForm;
    }
    auto isNumber = [](const std::string& strText, size_t nMaxDigits) {
        return !strText.empty() && strText.size() <= nMaxDigits &&
               strText.find_first_not_of("0123456789") == std::string::npos;
    };
    const std::string& strProtocol = fields[0];
    if (!isNumber(fields[2], 5) || std::stoi(fields[2]) < 1 || std::stoi(fields[2]) > 65535) {
        return kBadForm;
    }
    if (strProtocol != "1" && strProtocol != "2") {
        return isNumber(strProtocol, 9) ? kBadProtocol : kBadForm;
    }
    platform::CSocketAddress parsed;
    if (strProtocol == "1") {
        if (!platform::ParseIpv4Address(fields[1], parsed.nAddress)) {
            return kBadForm;
        }
    } else if (fields[1].find(':') == std::string::npos ||
               !platform::ParseIpAddress(fields[1], parsed)) {
        return kBadForm;
    }
    parsed.nPort = static_cast<uint16_t>(std::stoi(fields[2]));
    address = parsed;
    return kParsed;
}

bool CFtpSession::OnEprt(const std::string& strArgument) {
    if (RefusedAfterEpsvAll()) {
        return true;
    }
    m_host.CloseSocket(m_passiveSocket);
    platform::CSocketAddress address;
    switch (ParseEprtArgument(strArgument, address)) {
    case 0:
        m_dataAddress = address;
        m_bDataAddressSet = true;
        m_host.RememberDataAddress(m_dataAddress);
        SendReply(kReplyDone);
        break;
    case 2:
        SendReply("522 Network protocol not supported, use (1,2)");
        break;
    default:
        SendReply(kReplySyntaxError);
        break;
    }
    return true;
}

bool CFtpSession::RefusedAfterEpsvAll() {
    if (m_bEpsvAll) {
        SendReply(kReplyBadSequence);
    }
    return m_bEpsvAll;
}

bool CFtpSession::OpenPassiveListener(platform::CSocketAddress& address) {
    m_host.CloseSocket(m_passiveSocket);
    platform::CSocketAddress local;
    if (m_localAddress) {
        local = *m_localAddress;
    } else if (!m_controlSocket.GetLocalAddress(local)) {
        TRACE(m_controlSocket.GetLastError(), "getsockname(...) failed");
        return false;
    }
    if (!m_host.OpenSocket(m_passiveSocket, local.bIpv6)) {
        TRACE(m_passiveSocket.GetLastError(), "socket(...) failed");
        return false;
    }
    m_passiveSocket.SetReuseAddress();
    // Within the range, each listener starts its search one port further,
    // so that a port just given up is not the first one tried again.
    const bool bRange = m_settings.passive.nFirstPort != 0;
    const int nCount = bRange ? m_settings.passive.nLastPort - m_settings.passive.nFirstPort + 1 : 1;
    const int nFirstOffset = bRange ? m_host.NextPassivePortOffset(nCount) : 0;
    bool bBound = false;
    for (int i = 0; i < nCount && !bBound; ++i) {
        local.nPort = 0;
        if (bRange) {
            const int nOffset = (nFirstOffset + i) % nCount;
            local.nPort = static_cast<uint16_t>(m_settings.passive.nFirstPort + nOffset);
        }
        bBound = m_passiveSocket.Bind(local);
    }
    if (!bBound || !m_passiveSocket.Listen(1) || !m_passiveSocket.GetLocalAddress(address)) {
        const int nError = m_passiveSocket.GetLastError();
        TRACE(nError, bRange ? "No passive port free in " + std::to_string(m_settings.passive.nFirstPort) +
                                   "-" + std::to_string(m_settings.passive.nLastPort)
                             : std::string("bind(...) failed"));
        m_host.CloseSocket(m_passiveSocket);
        return false;
    }
    return true;
}

bool CFtpSession::OnPasv(const std::string& /*strArgument*/) {
    if (RefusedAfterEpsvAll()) {
        return true;
    }
    // PASV can name an IPv4 address only; an IPv6 client has EPSV.
    platform::CSocketAddress address;
    if (m_peerAddress.bIpv6 || !OpenPassiveListener(address)) {
        SendReply(kReplyNoDataConnection);
        return true;
    }
    const uint32_t nAddress =
        m_settings.passive.nAnnouncedAddress != 0 ? m_settings.passive.nAnnouncedAddress : address.nAddress;
    char szReply[96];
    std::snprintf(szReply, sizeof(szReply), "227 Entering Passive Mode (%u,%u,%u,%u,%u,%u).",
                  nAddress >> 24, (nAddress >> 16) & 0xFF, (nAddress >> 8) & 0xFF,
                  nAddress & 0xFF, address.nPort >> 8, address.nPort & 0xFF);
    SendReply(szReply);
    return true;
}

bool CFtpSession::OnEpsv(const std::string& strArgument) {
    if (EqualsNoCase(strArgument, "ALL")) {
        m_bEpsvAll = true;
        SendReply(kReplyDone);
        return true;
    }
    // The protocol asked for must be the control connection's own: the
    // data connection comes from the same address.
    const char* pszOwn = m_peerAddress.bIpv6 ? "2" : "1";
    if (!strArgument.empty() && strArgument != pszOwn) {
        const bool bNumber = strArgument.find_first_not_of("0123456789") == std::string::npos;
        SendReply(!bNumber ? std::string(kReplySyntaxError)
                           : std::string("522 Network protocol not supported, use (") + pszOwn +
                                 ")");
        return true;
    }
    platform::CSocketAddress address;
    if (!OpenPassiveListener(address)) {
        SendReply(kReplyNoDataConnection);
        return true;
    }
    SendReply("229 Entering Extended Passive Mode (|||" + std::to_string(address.nPort) + "|)");
    return true;
}

bool CFtpSession::AcceptPassiveConnection() {
    using CClock = std::chrono::steady_clock;
    const CClock::time_point deadline = CClock::now() + std::chrono::milliseconds(m_settings.nTimeoutMs);
    bool bAccepted = false;
    for (;;) {
        const auto nLeft =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - CClock::now()).count();
        platform::CSocket* pListener = &m_passiveSocket;
        const int nReady =
            nLeft > 0 ? platform::CSocket::WaitAnyReadable(&pListener, 1, static_cast<int>(nLeft))
                      : -1;
        if (nReady < 0) {
            TRACE(nReady == -1 ? platform::GetTimeoutErrorCode() : m_passiveSocket.GetLastError(),
                  "No passive data connection came");
            break;
        }
        platform::CSocket connection;
        platform::CSocketAddress peer;
        if (!m_passiveSocket.Accept(connection, peer)) {
            TRACE(m_passiveSocket.GetLastError(), "accept(...) failed");
            break;
        }
        // Only the client itself may connect: nobody else takes its file or
        // slips one in.
        if (!peer.IsSameHost(m_peerAddress)) {
            TRACE(0, "Refused data connection from " + peer.GetAddressText() +
                         ": not the client's address");
            connection.Abort();
            continue;
        }
        bAccepted = m_host.AdoptSocket(m_dataSocket, std::move(connection));
        break;
    }
    m_host.CloseSocket(m_passiveSocket);
    if (bAccepted) {
        m_dataSocket.SetTimeouts(m_settings.nTimeoutMs);
    }
    return bAccepted;
}

// "ALLO n" (or "ALLO n R m") announces the size of the next upload: that STOR
// then replaces the server's copy only when exactly n bytes arrived, so a
// client that dies mid-transfer cannot leave a part as the whole file.
bool CFtpSession::OnAllo(const std::string& strArgument) {
    size_t nDigits = 0;
    while (nDigits < strArgument.size() && strArgument[nDigits] >= '0' &&
           strArgument[nDigits] <= '9') {
        ++nDigits;
    }
    const std::string strRest = strArgument.substr(nDigits);
    bool bRecordSize = strRest.size() > 3 && strRest.compare(0, 3, " R ") == 0 &&
                       strRest.find_first_not_of("0123456789", 3) == std::string::npos;
    if (nDigits == 0 || nDigits > 18 || (!strRest.empty() && !bRecordSize)) {
        m_nAnnouncedSize = -1;
        SendReply("501 Syntax error in parameters or arguments.");
        return true;
    }
    m_nAnnouncedSize = std::stoll(strArgument.substr(0, nDigits));
    SendReply(kReplyDone);
    return true;
}

bool CFtpSession::OpenDataConnection() {
    return OpenPlainDataConnection() && ProtectDataConnection();
}

bool CFtpSession::ProtectDataConnection() {
    if (!m_bProtectData) {
        return true;
    }
    // The client is the TLS client on every data connection, whoever
    // connected.
    const bool bNewSessions = false;
    if (!m_dataTls.Accept(*m_settings.pTls, m_dataSocket, bNewSessions)) {
        TRACE(m_dataTls.GetSocketError(), "TLS handshake on the data connection failed: " +
                                               m_dataTls.GetError());
        m_host.CloseSocket(m_dataSocket);
        return false;
    }
    return true;
}

bool CFtpSession::OpenPlainDataConnection() {
    if (m_passiveSocket.IsOpen()) {
        return AcceptPassiveConnection();
    }
    // Data goes only to the client's own address: no bounce through PORT.
    if (!m_bDataAddressSet || !m_dataAddress.IsSameHost(m_peerAddress)) {
        return false;
    }
    if (!m_host.OpenSocket(m_dataSocket, m_dataAddress.bIpv6)) {
        TRACE(m_dataSocket.GetLastError(), "socket(...) failed");
        return false;
    }
    m_dataSocket.SetReuseAddress();
    m_dataSocket.SetTimeouts(m_settings.nTimeoutMs);
    if (!m_dataSocket.Connect(m_dataAddress, m_settings.nTimeoutMs)) {
        TRACE(m_dataSocket.GetLastError(), "connect(...) failed");
        CloseDataConnection();
        return false;
    }
    return true;
}

void CFtpSession::CloseDataConnection() {
    if (m_dataTls.IsOpen()) {
        m_dataTls.Close();
    }
    m_host.CloseSocket(m_dataSocket);
}

int64_t CFtpSession::DataReceive(void* pBuffer, size_t nCount) {
    return m_dataTls.IsOpen() ? m_dataTls.Receive(pBuffer, nCount)
                              : m_dataSocket.Receive(pBuffer, nCount);
}

bool CFtpSession::DataSendAll(const void* pBuffer, size_t nCount) {
    return m_dataTls.IsOpen() ? m_dataTls.SendAll(pBuffer, nCount)
                              : m_dataSocket.SendAll(pBuffer, nCount);
}

std::string CFtpSession::MakeListing(const std::string& strArgument, bool bNamesOnly) {
    // "LIST -la" and the like: options of ls, which the listing ignores.
    std::string strPathArgument = strArgument;
    while (!strPathArgument.empty() && strPathArgument[0] == '-') {
        const size_t nBlank = strPathArgument.find(' ');
        strPathArgument =
            nBlank == std::string::npos ? std::string() : TrimBlanks(strPathArgument.substr(nBlank));
    }
    std::string strPattern;
    if (!strPathArgument.empty() &&
        strPathArgument.find_first_not_of("\\/") == std::string::npos) {
        // "/" names the root; resolved as a path it ended in a separator
        // and matched nothing.
        strPattern = m_settings.strStartDir + "/*.*";
    } else if (!ResolvePath(strPathArgument, strPattern)) {
        return std::string();
    } else if (strPathArgument.empty()) {
        // The current folder (the root's path ends in its separator).
        if (platform::IsPathSeparator(strPattern.back())) {
            strPattern.pop_back();
        }
        strPattern += "/*.*";
    } else if (IsDirectory(strPattern)) {
        strPattern += "/*.*";
    }
    std::string strListing;
    strListing.reserve(65536);
    platform::CDateTime now = platform::GetUtcDateTime();
    const std::string strDirectory = strPattern.substr(0, strPattern.find_last_of("\\/"));
    for (const platform::CFileInfo& info : platform::FindFiles(strPattern)) {
        // A link that leads out is left out, as every other command
        // refuses it: its size and time are not ours to tell.
        if (!IsListedName(info.strName) ||
            (!IsOrdinary(info.dwAttributes) && !IsFolder(info.dwAttributes)) ||
            !platform::IsPathInside(m_settings.strRealStartDir, strDirectory + "/" + info.strName)) {
            continue;
        }
        if (bNamesOnly) {
            strListing += info.strName + "\r\n";
            continue;
        }
        const platform::CDateTime& written = info.timeLastWriteUtc;
        char szLine[128];
        int nLength = std::snprintf(szLine, sizeof(szLine), "%s 1 user group %llu %s ",
                                    ModeText(info).c_str(),
                                    static_cast<unsigned long long>(info.nSize),
                                    kMonths[(written.nMonth + 11) % 12]);
        strListing.append(szLine, static_cast<size_t>(nLength));
        nLength = written.nYear < now.nYear
                      ? std::snprintf(szLine, sizeof(szLine), "%02d %04d ", written.nDay,
                                      written.nYear)
                      : std::snprintf(szLine, sizeof(szLine), "%02d %02d:%02d ", written.nDay,
                                      written.nHour, written.nMinute);
        strListing.append(szLine, static_cast<size_t>(nLength));
        strListing += info.strName + "\r\n";
    }
    return strListing;
}

// 150, the listing on a data connection, then pszDone (or 425, 426).
bool CFtpSession::SendListing(const std::string& strListing, const char* pszDone) {
    if (RefusedUnprotected()) {
        return true;
    }
    SendReply(kReplyOpening);
    if (!OpenDataConnection()) {
        SendReply(kReplyNoDataConnection);
        return true;
    }
    const bool bSent =
        strListing.empty() || DataSendAll(strListing.data(), strListing.size());
    if (!bSent) {
        TRACE(m_dataSocket.GetLastError(), "send(...) failed");
    }
    CloseDataConnection();
    SendReply(bSent ? pszDone : kReplyAborted);
    return true;
}

bool CFtpSession::OnList(const std::string& strArgument) {
    const bool bNamesOnly = false;
    return SendListing(MakeListing(strArgument, bNamesOnly), kReplyCompleted);
}

// Names only, folders included, for clients that walk a tree.
bool CFtpSession::OnNlst(const std::string& strArgument) {
    const bool bNamesOnly = true;
    return SendListing(MakeListing(strArgument, bNamesOnly), kReplyTransferred);
}

bool CFtpSession::OnRetr(const std::string& strArgument) {
    const int64_t nOffset = std::exchange(m_nRestartOffset, 0);
    if (RefusedUnprotected()) {
        return true;
    }
    std::string strPath;
    if (!ResolvePath(strArgument, strPath) || !IsOrdinaryFile(strPath)) {
        SendReply(kReplyUnavailable);
        return true;
    }
    platform::CFile file;
    int64_t nLength = -1;
    if (!file.Open(strPath, platform::CFile::modeRead) || (nLength = file.GetLength()) < 0) {
        TRACE(file.GetLastError(), "Failed to open file " + strArgument);
        SendReply(kReplyUnavailable);
        return true;
    }
    // A resumed download starts where the client's part ends.
    if (nOffset > nLength || (nOffset > 0 && !file.Seek(nOffset))) {
        SendReply(kReplyBadRestart);
        return true;
    }
    SendReply(kReplyOpening);
    if (!OpenDataConnection()) {
        SendReply(kReplyNoDataConnection);
        return true;
    }
    // The data socket's send time-out ends a send that makes no progress.
    const uint64_t nToSend = static_cast<uint64_t>(nLength - nOffset);
    if (m_dataTls.IsOpen() ? m_dataTls.SendFile(file, nToSend)
                           : m_dataSocket.SendFile(file, nToSend)) {
        SendReply(kReplyTransferred);
    } else {
        TRACE(m_dataSocket.GetLastError(), "TransmitFile(...) failed");
        SendReply(kReplyAborted);
    }
    CloseDataConnection();
    return true;
}

bool CFtpSession::OnStor(const std::string& strArgument) {
    // An announced size and a restart offset hold for this upload only.
    const int64_t nAnnouncedSize = std::exchange(m_nAnnouncedSize, -1);
    const int64_t nOffset = std::exchange(m_nRestartOffset, 0);
    if (RefusedUnprotected()) {
        return true;
    }
    std::string strPath;
    if (!ResolvePath(strArgument, strPath)) {
        SendReply(kReplyUnavailable);
        return true;
    }
    // Only an ordinary file may be replaced, and a hidden name may not be
    // made: no other command would serve or remove it.
    size_t nSeparator = strPath.find_last_of("\\/");
    uint32_t dwAttributes = platform::GetPathAttributes(strPath);
    if ((dwAttributes != platform::kInvalidFileAttributes && !IsOrdinary(dwAttributes)) ||
        strPath.compare(nSeparator + 1, 1, ".") == 0) {
        SendReply(kReplyUnavailable);
        return true;
    }
    if (dwAttributes != platform::kInvalidFileAttributes &&
        (dwAttributes & platform::kFileAttributeReadOnly) != 0) {
        TRACE(platform::GetAccessDeniedErrorCode(), "Failed to open file " + strArgument);
        SendReply(kReplyUnavailable);
        return true;
    }
    // The upload goes to a file of its own beside the target and replaces the
    // target only once it is complete: a failed upload never costs the
    // server's copy.
    std::string strDirectory = strPath.substr(0, nSeparator);
    if (m_sweptDirectories.insert(strDirectory).second) {
        RemoveStaleTemporaries(m_host, strDirectory);
    }
    std::string strTemporary;
    platform::CFile file;
    if (!file.CreateTemporary(strDirectory, strTemporary)) {
        TRACE(file.GetLastError(), "Failed to open file " + strArgument);
        SendReply(kReplyUnavailable);
        return true;
    }
    // A resumed upload continues the server's part: the new file begins
    // with it, and the old one stays until the whole has arrived.
    if (nOffset > 0 && !CopyPrefix(strPath, nOffset, file)) {
        file.Close();
        platform::RemoveFile(strTemporary);
        SendReply(kReplyBadRestart);
        return true;
    }
    if (!OpenPlainDataConnection()) {
        // Cleaned up before the reply, so the client never sees a stray file.
        file.Close();
        platform::RemoveFile(strTemporary);
        SendReply(kReplyNoDataConnection);
        return true;
    }
    SendReply(kReplyOpening);
    // A client begins TLS on the data connection once it has the 150.
    if (!ProtectDataConnection()) {
        file.Close();
        platform::RemoveFile(strTemporary);
        SendReply(kReplyNoDataConnection);
        return true;
    }
    bool bComplete = false;
    int64_t nStored = 0;
    std::vector<char> buffer(kStoreBlockSize);
    for (;;) {
        int64_t nReceived = DataReceive(buffer.data(), buffer.size());
        if (nReceived < 0) {
            TRACE(m_dataSocket.GetLastError(), "recv(...) failed");
            break;
        }
        if (nReceived == 0) {
            bComplete = true;
            break;
        }
        if (!file.Write(buffer.data(), static_cast<size_t>(nReceived))) {
            TRACE(file.GetLastError(), "WriteFile(...) failed");
            break;
        }
        nStored += nReceived;
    }
    CloseDataConnection();
    // The end of the data connection is the end of the file only when the
    // client is still there: a client that was killed closes its data
    // connection like one that has sent everything, but its command
    // connection goes with it. The two ends need not arrive in that order
    // (the system closes a dead process's sockets one after the other), so
    // without an announced size the command connection gets a moment to
    // show its end; a client that is alive sends nothing until it has the
    // reply, and a size that was announced tells by itself.
    const int nGraceMs = nAnnouncedSize >= 0 ? 0 : kClientGoneGraceMs;
    if (bComplete && m_controlSocket.IsClosedByPeer(nGraceMs)) {
        TRACE(0, "Connection closed");
        bComplete = false;
    }
    nStored += nOffset;
    if (bComplete && nAnnouncedSize >= 0 && nStored != nAnnouncedSize) {
        TRACE(0, "Upload of " + strArgument + " ended after " + std::to_string(nStored) +
                     " of " + std::to_string(nAnnouncedSize) + " bytes");
        bComplete = false;
    }
    if (bComplete && !file.Close()) {
        TRACE(file.GetLastError(), "WriteFile(...) failed");
        bComplete = false;
    }
    if (bComplete && !platform::RenameReplacing(strTemporary, strPath)) {
        int nError = platform::GetLastSystemError();
        TRACE(nError, "Failed to open file " + strArgument);
        bComplete = false;
    }
    if (!bComplete) {
        file.Close();
        platform::RemoveFile(strTemporary);
    }
    SendReply(bComplete ? kReplyTransferred : kReplyActionAborted);
    return true;
}

bool CFtpSession::OnDele(const std::string& strArgument) {
    std::string strPath;
    if (!ResolvePath(strArgument, strPath) || !IsOrdinaryFile(strPath)) {
        SendReply(kReplyUnavailable);
        return true;
    }
    if (!platform::RemoveFile(strPath)) {
        int nError = platform::GetLastSystemError();
        TRACE(nError, "Failed to delete file " + strPath);
        SendReply(kReplyUnavailable);
        return true;
    }
    SendReply(kReplyCompleted);
    return true;
}

bool CFtpSession::OnSize(const std::string& strArgument) {
    std::string strPath;
    if (ResolvePath(strArgument, strPath)) {
        std::vector<platform::CFileInfo> found = platform::FindFiles(strPath);
        if (!found.empty() && IsListedName(found[0].strName) &&
            IsOrdinary(found[0].dwAttributes)) {
            SendReply("213 " + std::to_string(found[0].nSize));
            return true;
        }
    }
    SendReply(kReplyUnavailable);
    return true;
}

bool CFtpSession::OnCwd(const std::string& strArgument) {
    std::string strRelative;
    std::string strPath;
    // Every name on the way must be a folder that is served: no hidden one,
    // none that a link leads out of.
    bool bServed = !strArgument.empty() && WalkFolder(strArgument, strRelative);
    size_t nStart = 0;
    while (bServed && nStart < strRelative.size()) {
        size_t nEnd = strRelative.find('/', nStart);
        nEnd = nEnd == std::string::npos ? strRelative.size() : nEnd;
        bServed = !IsHiddenName(strRelative.substr(nStart, nEnd - nStart));
        nStart = nEnd + 1;
    }
    strPath = m_settings.strStartDir + "/" + strRelative;
    if (!bServed || !platform::IsPathInside(m_settings.strRealStartDir, strPath) ||
        !IsFolder(platform::GetPathAttributes(strPath))) {
        SendReply(kReplyUnavailable);
        return true;
    }
    m_strCurrentDir = strRelative;
    SendReply("200 " + QuotedFolder(m_strCurrentDir));
    return true;
}

// The folder above; the root is its own parent.
bool CFtpSession::OnCdup(const std::string& /*strArgument*/) {
    const size_t nSlash = m_strCurrentDir.find_last_of('/');
    m_strCurrentDir = nSlash == std::string::npos ? std::string() : m_strCurrentDir.substr(0, nSlash);
    SendReply("200 " + QuotedFolder(m_strCurrentDir));
    return true;
}

bool CFtpSession::OnPwd(const std::string& /*strArgument*/) {
    SendReply("257 " + QuotedFolder(m_strCurrentDir));
    return true;
}

bool CFtpSession::OnMkd(const std::string& strArgument) {
    std::string strPath;
    std::string strRelative;
    const std::string strName = LastName(strArgument);
    if (strName.empty() || IsHiddenName(strName) ||
        !ResolvePath(strArgument, strPath, &strRelative)) {
        SendReply(kReplyUnavailable);
        return true;
    }
    if (!platform::MakeDirectory(strPath)) {
        TRACE(platform::GetLastSystemError(), "Failed to create folder " + strArgument);
        SendReply(kReplyUnavailable);
        return true;
    }
    SendReply("257 " + QuotedFolder(strRelative) + " created.");
    return true;
}

bool CFtpSession::OnRmd(const std::string& strArgument) {
    std::string strPath;
    std::string strRelative;
    if (!ResolvePath(strArgument, strPath, &strRelative) || strRelative.empty() ||
        !IsFolder(platform::GetPathAttributes(strPath))) {
        SendReply(kReplyUnavailable);
        return true;
    }
    if (!platform::RemoveEmptyFolder(strPath)) {
        TRACE(platform::GetLastSystemError(), "Failed to remove folder " + strArgument);
        SendReply(kReplyUnavailable);
        return true;
    }
    SendReply(kReplyCompleted);
    return true;
}

bool CFtpSession::OnRest(const std::string& strArgument) {
    int64_t nOffset = 0;
    bool bValid = !strArgument.empty() && strArgument.size() <= 18;
    for (char c : strArgument) {
        bValid = bValid && c >= '0' && c <= '9';
        nOffset = bValid ? nOffset * 10 + (c - '0') : 0;
    }
    if (!bValid) {
        SendReply(kReplySyntaxError);
        return true;
    }
    m_nRestartOffset = nOffset;
    SendReply("350 Restarting at " + std::to_string(nOffset) +
              ". Send STORE or RETRIEVE to initiate transfer.");
    return true;
}

bool CFtpSession::OnRnfr(const std::string& strArgument) {
    std::string strPath;
    std::string strRelative;
    if (!ResolvePath(strArgument, strPath, &strRelative) || strRelative.empty()) {
        SendReply(kReplyUnavailable);
        return true;
    }
    const uint32_t dwAttributes = platform::GetPathAttributes(strPath);
    if ((!IsOrdinary(dwAttributes) && !IsFolder(dwAttributes)) ||
        IsHiddenName(LastName(strRelative))) {
        SendReply(kReplyUnavailable);
        return true;
    }
    m_strRenameFrom = strPath;
    SendReply("350 Requested file action pending further information.");
    return true;
}

// Never over an existing name: a rename must not cost another file.
bool CFtpSession::OnRnto(const std::string& strArgument) {
    if (m_strRenameFrom.empty()) {
        SendReply(kReplyBadSequence);
        return true;
    }
    std::string strPath;
    std::string strRelative;
    const std::string strName = LastName(strArgument);
    if (strName.empty() || IsHiddenName(strName) ||
        !ResolvePath(strArgument, strPath, &strRelative) || strRelative.empty()) {
        SendReply(kReplyUnavailable);
        return true;
    }
    if (!platform::RenameToNewName(m_strRenameFrom, strPath)) {
        TRACE(platform::GetLastSystemError(), "Failed to rename to " + strArgument);
        SendReply(kReplyUnavailable);
        return true;
    }
    SendReply(kReplyCompleted);
    return true;
}

bool CFtpSession::CopyPrefix(const std::string& strPath, int64_t nLength, platform::CFile& file) {
    if (!IsOrdinaryFile(strPath)) {
        return false;
    }
    platform::CFile source;
    if (!source.Open(strPath, platform::CFile::modeRead) || source.GetLength() < nLength) {
        return false;
    }
    std::vector<char> buffer(kStoreBlockSize);
    while (nLength > 0) {
        const int64_t nRead =
            source.Read(buffer.data(), static_cast<size_t>(std::min<int64_t>(nLength, buffer.size())));
        if (nRead <= 0 || !file.Write(buffer.data(), static_cast<size_t>(nRead))) {
            return false;
        }
        nLength -= nRead;
    }
    return true;
}
