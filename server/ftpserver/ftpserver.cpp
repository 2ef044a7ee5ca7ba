#include "server/ftpserver/ftpserver.h"

#include <chrono>
#include <cstdio>

#include "platform/clock.h"
#include "platform/thread.h"

namespace {

const char* const kSourceName = "ftpserver.cpp";
const char* const kDefaultAccount = "vexil";
constexpr size_t kReceiveBufferSize = 4096;
constexpr size_t kMaxTraceMessage = 1023;

std::mutex g_traceMutex;

// One trace line: message, source line, source file, error code.
void WriteTrace(int nLine, int nError, const std::string& strMessage) {
    std::string strText = strMessage.substr(0, kMaxTraceMessage);
    std::lock_guard<std::mutex> lock(g_traceMutex);
    std::printf("%s (%d, %s, %08d)\n", strText.c_str(), nLine, kSourceName, nError);
    std::fflush(stdout);
}

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

std::string ToUpperAscii(std::string strText) {
    for (char& c : strText) {
        if (c >= 'a' && c <= 'z') {
            c = static_cast<char>(c - 'a' + 'A');
        }
    }
    return strText;
}

bool EqualsIgnoringCase(const std::string& strA, const char* pszB) {
    return ToUpperAscii(strA) == ToUpperAscii(pszB);
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

CFtpServer::~CFtpServer() { Stop(); }

bool CFtpServer::Start(std::function<void()> onQuitRequest, bool bSingleSession,
                       const std::vector<CFileSyncServerUser>* pUsers, const std::string* pWelcome,
                       int nPort, const std::string& strStartDir) {
    Stop();
    m_strStartDir = NormaliseStartDir(strStartDir);
    m_nPort = nPort;
    m_bSingleSession = bSingleSession;
    m_bStopRequested = false;
    m_onQuitRequest = std::move(onQuitRequest);
    m_strSystem = "<System>";
    m_strWelcome = pWelcome != nullptr ? *pWelcome : std::string("<welcome message>");
    m_strHelp = "<Help>";
    if (pUsers != nullptr) {
        m_users = *pUsers;
    } else {
        m_users.reset();
    }
    try {
        m_thread = std::thread(&CFtpServer::ServerThread, this);
    } catch (const std::system_error&) {
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
            m_controlSocket.Shutdown();
            m_dataSocket.Shutdown();
        }
        if (m_bStopRequested && m_onQuitRequest) {
            m_onQuitRequest();
        }
        m_thread.join();
        m_listenSocket.Close();
        m_controlSocket.Close();
        m_dataSocket.Close();
        m_strPending.clear();
        WriteTrace(__LINE__, 0, "FTP Server stopped");
        m_bStopping = false;
    }
    m_users.reset();
}

bool CFtpServer::IsStopping() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_bStopping;
}

bool CFtpServer::OpenSocket(platform::CSocket& socket) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_bStopping) {
        return false;
    }
    return socket.Create();
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

void CFtpServer::ServerThread() {
    platform::SetCurrentThreadIdlePriority();
    TRACE(0, "FTP Server started");
    int nError = platform::StartSockets();
    if (nError != 0) {
        TRACE(nError, "WSAStartup(...) failed");
        return;
    }
    while (!m_bStopRequested && !IsStopping()) {
        if (!CreateListenSocket()) {
            break;
        }
        platform::CSocket client;
        while (!m_listenSocket.Accept(client, m_peerAddress)) {
            if (IsStopping()) {
                break;
            }
            // Retried at once, but without spinning on a lasting error (no
            // descriptors left, say).
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (m_bStopping) {
                break;
            }
            m_controlSocket = std::move(client);
        }
        m_controlSocket.SetTimeouts(m_nTimeoutMs);
        // No listener during a session: a second client is refused, not queued.
        CloseSocket(m_listenSocket);
        m_strPending.clear();

        std::string strPeer = m_peerAddress.GetAddressText();
        TRACE(0, "Connected to " + strPeer);
        SendReply("220 " + m_strWelcome);
        if (!Login()) {
            SendReply("530 Not logged in.");
        } else {
            RunSession();
        }
        CloseSocket(m_controlSocket);
        TRACE(0, "Disconnected from " + strPeer);
    }
    CloseSocket(m_listenSocket);
    platform::StopSockets();
    TRACE(0, "*** FTP Server stopped ***");
    if (m_bStopRequested && !IsStopping() && m_onQuitRequest) {
        m_onQuitRequest();
    }
}

bool CFtpServer::CreateListenSocket() {
    // Created, bound and listening under the lock: a Stop that comes first
    // prevents it, and one that comes later finds a listening socket that its
    // shutdown wakes.
    const char* pszFailure = nullptr;
    int nError = 0;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_bStopping) {
            return false;
        }
        platform::CSocketAddress address;
        address.nPort = static_cast<uint16_t>(m_nPort & 0xFFFF);
        if (!m_listenSocket.Create()) {
            pszFailure = "socket(...) failed";
        } else {
            m_listenSocket.SetReuseAddress();
            if (!m_listenSocket.Bind(address)) {
                pszFailure = "bind(...) failed";
            } else if (!m_listenSocket.Listen(0)) {
                pszFailure = "listen(...) failed";
            }
        }
        if (pszFailure != nullptr) {
            nError = m_listenSocket.GetLastError();
            m_listenSocket.Close();
        }
    }
    if (pszFailure != nullptr) {
        TRACE(nError, pszFailure);
        return false;
    }
    return true;
}

bool CFtpServer::Login() {
    CCommand command;
    if (!ReceiveCommand(command) || command.strCommand != "USER") {
        return false;
    }
    std::string strPassword = kDefaultAccount;
    if (m_users) {
        const CFileSyncServerUser* pFound = nullptr;
        for (const CFileSyncServerUser& user : *m_users) {
            if (user.m_strUser == command.strArgument) {
                pFound = &user;
                break;
            }
        }
        if (pFound == nullptr) {
            return false;
        }
        strPassword = pFound->m_strPassword;
    } else if (command.strArgument != kDefaultAccount) {
        return false;
    }
    SendReply("331 User name Ok, need password.");
    if (!ReceiveCommand(command) || command.strCommand != "PASS" ||
        command.strArgument != strPassword) {
        return false;
    }
    SendReply("230 Logged in.");
    return true;
}

void CFtpServer::RunSession() {
    CCommand command;
    while (ReceiveCommand(command)) {
        bool bHandled = false;
        bool bContinue = true;
        if (command.strCommand == "TIME") {
            bHandled = true;
            bContinue = OnTime();
        } else {
            bContinue = DispatchCommand(command, bHandled);
        }
        if (!bContinue) {
            break;
        }
        if (!bHandled) {
            SendReply("202 Command not implemented.");
        }
    }
}

bool CFtpServer::ReceiveCommand(CCommand& command) {
    command = CCommand();
    if (m_strPending.empty()) {
        char buffer[kReceiveBufferSize];
        int64_t nReceived = m_controlSocket.Receive(buffer, sizeof(buffer));
        if (nReceived < 0) {
            TRACE(m_controlSocket.GetLastError(), "recv(...) failed");
            return false;
        }
        if (nReceived == 0) {
            TRACE(0, "Connection closed");
            return false;
        }
        // The text of a receive ends at its first NUL byte.
        m_strPending.assign(buffer, static_cast<size_t>(nReceived));
        m_strPending.resize(m_strPending.find('\0') == std::string::npos
                                ? m_strPending.size()
                                : m_strPending.find('\0'));
    }

    // Several complete lines in one receive are taken one at a time; a
    // receive without a line end is one command as it stands.
    size_t nLineEnd = 0;
    while (nLineEnd < m_strPending.size() && !IsLineEnd(m_strPending[nLineEnd])) {
        ++nLineEnd;
    }
    std::string strLine = m_strPending.substr(0, nLineEnd);
    size_t nNext = nLineEnd;
    while (nNext < m_strPending.size() && IsLineEnd(m_strPending[nNext])) {
        ++nNext;
    }
    m_strPending.erase(0, nNext);

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

bool CFtpServer::SendReply(const std::string& strReply) {
    std::string strLine = strReply + "\r\n";
    if (!m_controlSocket.SendAll(strLine.data(), strLine.size())) {
        TRACE(m_controlSocket.GetLastError(), "send(...) failed");
        return false;
    }
    TRACE(0, "S: " + strReply);
    return true;
}

bool CFtpServer::DispatchCommand(const CCommand& command, bool& bHandled) {
    const std::string& strCommand = command.strCommand;
    const std::string& strArgument = command.strArgument;
    bHandled = true;
    if (strCommand == "USER" || strCommand == "PASS") {
        SendReply("332 Need account for login.");
        SendReply("221 Service closing control connection.");
        return false;
    }
    if (strCommand == "CWD") {
        SendReply(strArgument == "/" ? "200 \"/\""
                                     : "550 Requested action not taken. File or directory "
                                       "unavailable.");
        return true;
    }
    if (strCommand == "QUIT") {
        SendReply("221 Service closing control connection.");
        if (m_bSingleSession) {
            m_bStopRequested = true;
        }
        return false;
    }
    if (strCommand == "TYPE" || strCommand == "STRU" || strCommand == "MODE" ||
        strCommand == "OPTS") {
        bool bAccepted = strCommand == "TYPE"   ? (strArgument == "A" || strArgument == "A N" ||
                                                 strArgument == "I")
                         : strCommand == "STRU" ? EqualsIgnoringCase(strArgument, "F")
                         : strCommand == "MODE" ? EqualsIgnoringCase(strArgument, "S")
                                                : EqualsIgnoringCase(strArgument, "UTF8 ON");
        SendReply(bAccepted ? "200 Done" : "504 Command not implemented for that parameter.");
        return true;
    }
    if (strCommand == "PWD") {
        SendReply("257 \"/\"");
        return true;
    }
    if (strCommand == "SYST") {
        SendReply("215 " + m_strSystem);
        return true;
    }
    if (strCommand == "HELP") {
        SendReply("211 " + m_strHelp);
        return true;
    }
    if (strCommand == "NOOP") {
        SendReply("200 Done");
        return true;
    }
    bHandled = false;
    return true;
}

bool CFtpServer::OnTime() {
    platform::CDateTime now = platform::GetLocalDateTime();
    char szText[64];
    std::snprintf(szText, sizeof(szText), "%04d-%02d-%02d %02d:%02d:%02d.%03d", now.nYear,
                  now.nMonth, now.nDay, now.nHour, now.nMinute, now.nSecond, now.nMilliseconds);
    SendReply(std::string("200 ") + szText);
    return true;
}
