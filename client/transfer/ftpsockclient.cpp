#include "client/transfer/ftpsockclient.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <memory>

#include "platform/file.h"

platform::CSocket* g_pDataConnection = nullptr;

const char* const kCancelledCause = "broken off by a stop request";

namespace {

// File data moves in large blocks: nothing on the wire depends on the size,
// and a 1 GiB file should not take a quarter of a million system calls.
constexpr size_t kFileBlockSize = 256 * 1024;
// Listings keep the small blocks, each cut at its first zero byte.
constexpr size_t kListBlockSize = 4096;

constexpr int kReplyTransferComplete = 226;
constexpr int kReplyActionCompleted = 250;

// The folder a local file lies in, for a temporary file beside it; empty for
// a bare name (the current folder).
std::string DirectoryOf(const std::string& strPath) {
    size_t nPos = strPath.find_last_of("\\/");
    if (nPos == std::string::npos) {
        return std::string();
    }
    return strPath.substr(0, nPos == 0 ? 1 : nPos);
}

bool EndsWithCrLf(const std::string& strText) {
    return strText.size() >= 2 && strText.compare(strText.size() - 2, 2, "\r\n") == 0;
}

// A socket's error for the operator; a time-out says so rather than "try
// again", which is what the system calls it here.
std::string SocketErrorText(int nError) {
    if (nError == platform::GetTimeoutErrorCode()) {
        return "timed out";
    }
    return platform::GetSystemErrorText(nError);
}

// The length a "213 <bytes>" reply to SIZE gives; -1 for any other reply.
int64_t SizeOfReply(int nCode, const std::string& strReply) {
    if (nCode != 213 || strReply.size() < 5 || strReply[3] != ' ') {
        return -1;
    }
    int64_t nSize = 0;
    size_t i = 4;
    for (; i < strReply.size() && strReply[i] >= '0' && strReply[i] <= '9'; ++i) {
        if (nSize > (INT64_MAX - 9) / 10) {
            return -1;
        }
        nSize = nSize * 10 + (strReply[i] - '0');
    }
    return i > 4 && (i == strReply.size() || strReply[i] == '\r') ? nSize : -1;
}

// The last line of a reply, without its line end.
std::string LastReplyLine(const std::string& strReply) {
    std::string strText = strReply;
    while (!strText.empty() && (strText.back() == '\n' || strText.back() == '\r')) {
        strText.pop_back();
    }
    const size_t nLineEnd = strText.rfind("\r\n");
    return nLineEnd == std::string::npos ? strText : strText.substr(nLineEnd + 2);
}

}  // namespace

// The port of "229 Entering Extended Passive Mode (|||6446|)": the text in
// parentheses is three delimiters, the port and a fourth delimiter. 0 when
// the reply holds none.
unsigned int ParseEpsvReply(const std::string& strReply) {
    const size_t nOpen = strReply.find('(');
    if (nOpen == std::string::npos || nOpen + 5 > strReply.size()) {
        return 0;
    }
    const char cDelimiter = strReply[nOpen + 1];
    if (strReply[nOpen + 2] != cDelimiter || strReply[nOpen + 3] != cDelimiter) {
        return 0;
    }
    unsigned int nPort = 0;
    size_t i = nOpen + 4;
    for (; i < strReply.size() && strReply[i] >= '0' && strReply[i] <= '9' && nPort <= 65535; ++i) {
        nPort = nPort * 10 + static_cast<unsigned int>(strReply[i] - '0');
    }
    const bool bClosed = i + 1 < strReply.size() && strReply[i] == cDelimiter &&
                         strReply[i + 1] == ')' && i > nOpen + 4;
    return bClosed && nPort <= 65535 ? nPort : 0;
}

// The port of "227 Entering Passive Mode (h1,h2,h3,h4,p1,p2)": six numbers
// after the code, wherever they begin. The address is not used: the data
// connection goes where the command connection went. 0 when there are not
// six numbers of a byte each.
unsigned int ParsePasvReply(const std::string& strReply) {
    unsigned int numbers[6] = {};
    size_t i = strReply.find_first_of("0123456789", 3);
    for (int n = 0; n < 6; ++n) {
        if (i == std::string::npos || i >= strReply.size() || strReply[i] < '0' ||
            strReply[i] > '9') {
            return 0;
        }
        for (; i < strReply.size() && strReply[i] >= '0' && strReply[i] <= '9'; ++i) {
            numbers[n] = std::min(numbers[n] * 10 + static_cast<unsigned int>(strReply[i] - '0'), 256u);
        }
        if (numbers[n] > 255 || (n < 5 && (i >= strReply.size() || strReply[i] != ','))) {
            return 0;
        }
        ++i;
    }
    return numbers[4] * 256 + numbers[5];
}

std::string FormatPortCommand(const std::string& strAddress, unsigned int nPort) {
    std::string strCommas = strAddress;
    std::replace(strCommas.begin(), strCommas.end(), '.', ',');
    return "PORT " + strCommas + "," + std::to_string(nPort / 256) + "," +
           std::to_string(nPort % 256);
}

// ---------------------------------------------------------------------------
// Command-level operations

std::string CFtpSockClientBase::GetFailureCause() const {
    // After a cancel every failure is its consequence, whatever the socket
    // said about it.
    if (IsCancelled()) {
        return kCancelledCause;
    }
    if (!m_strLocalError.empty()) {
        return m_strLocalError;
    }
    const std::string strLine = LastReplyLine(m_strLastReply);
    if (m_nReplyCode == kNoReply || strLine.empty()) {
        return "no reply from the server";
    }
    return strLine;
}

bool CFtpSockClientBase::SendCommand(const std::string& strLine) {
    return SendCommands({strLine});
}

bool CFtpSockClientBase::SendCommands(const std::vector<std::string>& vecLines) {
    if (HasNoCommandSocket() || !m_bConnected) {
        return true;
    }
    m_strLocalError.clear();
    if (IsCancelled()) {
        m_strLocalError = kCancelledCause;
        return false;
    }
    std::string strSend;
    for (const std::string& strLine : vecLines) {
        if (strLine.empty()) {
            m_strLocalError = "empty command";
            return false;
        }
        const size_t nStart = strSend.size();
        strSend += strLine;
        if (!EndsWithCrLf(strSend)) {
            strSend += "\r\n";
        }
        if (strSend.find_first_of("\r\n", nStart) < strSend.size() - 2) {
            m_strLocalError = "a line end inside the command";
            return false;
        }
    }
    size_t nDone = 0;
    while (nDone < strSend.size()) {
        int64_t nSent = CommandSend(strSend.data() + nDone, strSend.size() - nDone);
        if (nSent <= 0) {
            if (m_strLocalError.empty()) {
                m_strLocalError = "the command could not be sent";
            }
            return false;
        }
        nDone += static_cast<size_t>(nSent);
    }
    return true;
}

std::string CFtpSockClientBase::ReadReply() {
    if (HasNoCommandSocket() || !m_bConnected) {
        return std::string();
    }
    m_strLocalError.clear();
    if (IsCancelled()) {
        m_nReplyCode = kNoReply;
        return m_strLastReply = std::string();
    }
    std::string strReply;
    std::string strLine;
    for (;;) {
        char c = 0;
        const bool bTooLong = strReply.size() + strLine.size() >= kMaxReplyBytes;
        const int64_t nReceived = bTooLong ? -1 : CommandReceive(&c);
        if (nReceived != 1) {
            // What arrived is kept for the log, but it is no reply: even a
            // complete first line must not pass for an answer.
            if (bTooLong) {
                m_strLocalError = "reply too long";
            } else if (m_strLocalError.empty()) {
                m_strLocalError = nReceived == 0 ? "connection closed by the server"
                                                 : "no reply from the server";
            }
            m_nReplyCode = kNoReply;
            m_strLastReply = strReply + strLine;
            return m_strLastReply;
        }
        strLine += c;
        if (!EndsWithCrLf(strLine)) {
            continue;
        }
        strReply += strLine;
        if (strLine.size() > 3 && strLine[3] == ' ') {
            break;
        }
        strLine.clear();
    }
    int nCode = 0;
    for (size_t i = 0; i < 3 && strReply[i] >= '0' && strReply[i] <= '9'; ++i) {
        nCode = nCode * 10 + (strReply[i] - '0');
    }
    m_nReplyCode = nCode;
    m_strLastReply = strReply;
    return strReply;
}

bool CFtpSockClientBase::Login(const std::string& strUser, const std::string& strPassword) {
    if (HasNoCommandSocket() || !m_bConnected) {
        return false;
    }
    if (!SendCommand("USER " + strUser)) {
        return false;
    }
    ReadReply();
    // Only a server that asks for the password gets it.
    if (m_nReplyCode != 331 || !SendCommand("PASS " + strPassword)) {
        return false;
    }
    ReadReply();
    return m_nReplyCode == 230 && AfterLogin();
}

bool CFtpSockClientBase::SetBinaryType() {
    if (HasNoCommandSocket() || !m_bConnected || !SendCommand("TYPE I")) {
        return false;
    }
    ReadReply();
    return m_nReplyCode == 200;
}

namespace {

// What a reply to MD5 says: the text after the first blank of a 200 reply,
// without its line end; empty text for anything else.
std::string DigestOfReply(int nCode, std::string strReply) {
    if (nCode != 200) {
        return std::string();
    }
    while (!strReply.empty() && strReply.back() == '\n') {
        strReply.pop_back();
    }
    while (!strReply.empty() && strReply.back() == '\r') {
        strReply.pop_back();
    }
    size_t nBlank = strReply.find(' ');
    return nBlank == std::string::npos ? std::string() : strReply.substr(nBlank + 1);
}

// The name as MD5 may carry it: a name with a line end inside would be
// refused by SendCommands, and with it every other line of the write.
bool CanAskDigestOf(const std::string& strRemoteName) {
    return !strRemoteName.empty() && strRemoteName.find_first_of("\r\n") == std::string::npos;
}

}  // namespace

std::string CFtpSockClientBase::GetRemoteDigest(const std::string& strRemoteName) {
    if (strRemoteName.empty() || HasNoCommandSocket() || !m_bConnected ||
        !SendCommand("MD5 " + strRemoteName)) {
        return std::string();
    }
    const std::string strReply = ReadReply();
    return DigestOfReply(m_nReplyCode, strReply);
}

std::vector<std::string> CFtpSockClientBase::GetRemoteDigests(
    const std::vector<std::string>& vecRemoteNames, const std::function<void()>& fnMeanwhile) {
    std::vector<std::string> vecDigests(vecRemoteNames.size());
    std::vector<std::string> vecLines;
    if (!HasNoCommandSocket() && m_bConnected) {
        for (const std::string& strName : vecRemoteNames) {
            if (CanAskDigestOf(strName)) {
                vecLines.push_back("MD5 " + strName);
            }
        }
    }
    const bool bAsked = !vecLines.empty() && SendCommands(vecLines);
    if (fnMeanwhile) {
        fnMeanwhile();
    }
    if (!bAsked) {
        return vecDigests;
    }
    for (size_t i = 0; i < vecRemoteNames.size(); ++i) {
        if (!CanAskDigestOf(vecRemoteNames[i])) {
            continue;
        }
        const std::string strReply = ReadReply();
        if (m_nReplyCode == kNoReply) {
            // The connection is gone; no later reply will come either.
            break;
        }
        vecDigests[i] = DigestOfReply(m_nReplyCode, strReply);
    }
    return vecDigests;
}

bool CFtpSockClientBase::Quit() {
    if (HasNoCommandSocket()) {
        return false;
    }
    if (m_bConnected) {
        SendCommand("QUIT");
    }
    DeleteCommandSocket();
    return true;
}

// ---------------------------------------------------------------------------
// TCP client

CFtpSockClient::~CFtpSockClient() {
    DeleteCommandSocket();
    m_DataListener.Close();
}

void CFtpSockClient::Cancel() {
    CFtpSockClientBase::Cancel();
    std::lock_guard<std::mutex> lock(m_socketsMutex);
    if (m_pCommandSocket != nullptr) {
        m_pCommandSocket->Shutdown();
    }
    m_PassiveConnection.Shutdown();
    if (g_pDataConnection != nullptr) {
        g_pDataConnection->Shutdown();
    }
}

void CFtpSockClient::SetCommandSocket(platform::CSocket* pSocket) {
    platform::CSocket* pOld;
    {
        std::lock_guard<std::mutex> lock(m_socketsMutex);
        pOld = m_pCommandSocket;
        m_pCommandSocket = pSocket;
    }
    delete pOld;
}

bool CFtpSockClient::Connect(const std::string& strHost, unsigned int nPort) {
    CreateCommandSocket();
    // A cancel that came before the socket was there had nothing to shut
    // down; this is where it must be seen.
    if (HasNoCommandSocket() || IsCancelled()) {
        return false;
    }
    platform::CSocketAddress address;
    address.nPort = static_cast<uint16_t>(nPort);
    m_bConnected = false;
    m_bNoEpsv = false;
    m_bNoPasv = false;
    m_strLocalError.clear();
    // "[::1]" as in a URL is taken too.
    std::string strLiteral = strHost;
    if (strLiteral.size() > 2 && strLiteral.front() == '[' && strLiteral.back() == ']') {
        strLiteral = strLiteral.substr(1, strLiteral.size() - 2);
    }
    bool bFound = platform::ParseIpAddress(strLiteral, address) ||
                  platform::ResolveHostAddress(strHost, address);
    if (bFound && address.bIpv6) {
        // The command socket was made for IPv4; under the lock, as Cancel
        // may shut it down meanwhile.
        std::lock_guard<std::mutex> lock(m_socketsMutex);
        const bool bIpv6 = true;
        if (!m_pCommandSocket->Create(bIpv6)) {
            SetLocalError(kErrorSocketCreate, SocketErrorText(m_pCommandSocket->GetLastError()));
            return false;
        }
    }
    if (!m_strTlsUnavailable.empty()) {
        SetLocalError(kErrorTls, "TLS: " + m_strTlsUnavailable);
        return false;
    }
    if (nPort > 0xFFFF) {
        m_strLocalError = "no such port";
    } else if (!bFound) {
        m_strLocalError = "host name not found";
    } else if (!m_pCommandSocket->Connect(address, m_nTimeoutMs) ||
               !m_pCommandSocket->SetTimeouts(m_nTimeoutMs)) {
        m_strLocalError = SocketErrorText(m_pCommandSocket->GetLastError());
    } else {
        m_bConnected = true;
    }
    if (m_bConnected) {
        // Commands are short and each waits for its reply: none should wait
        // for an acknowledgement first.
        m_pCommandSocket->SetNoDelay();
    }
    ReadReply();
    if (m_nReplyCode != 220) {
        m_bConnected = false;
    }
    m_strTlsHost = m_strTlsHostName.empty() ? strLiteral : m_strTlsHostName;
    if (m_bConnected && m_pTls) {
        // The greeting stays the reply of the connect.
        const std::string strGreeting = m_strLastReply;
        if (StartTls()) {
            m_strLastReply = strGreeting;
            m_nReplyCode = 220;
        } else {
            m_bConnected = false;
        }
    }
    return m_bConnected;
}

bool CFtpSockClient::StartTls() {
    if (!SendCommand("AUTH TLS")) {
        return false;
    }
    ReadReply();
    if (m_nReplyCode != 234) {
        // Never a quiet fall back to the clear: the password would follow.
        SetLocalError(kErrorTls, "the server offers no TLS: " + GetFailureCause());
        return false;
    }
    if (!m_commandTls.Connect(*m_pTls, *m_pCommandSocket, m_strTlsHost)) {
        SetLocalError(kErrorTls, "TLS: " + m_commandTls.GetError());
        return false;
    }
    return true;
}

bool CFtpSockClient::AfterLogin() {
    if (!m_commandTls.IsOpen()) {
        return true;
    }
    for (const char* pszCommand : {"PBSZ 0", "PROT P"}) {
        if (!SendCommand(pszCommand)) {
            return false;
        }
        ReadReply();
        if (m_nReplyCode != 200) {
            SetLocalError(kErrorTls, std::string(pszCommand) + ": " + GetFailureCause());
            return false;
        }
    }
    return true;
}

bool CFtpSockClient::CreateCommandSocket() {
    DeleteCommandSocket();
    SetCommandSocket(new platform::CSocket());
    if (!m_pCommandSocket->Create() || !m_pCommandSocket->Bind(platform::CSocketAddress())) {
        SetLocalError(kErrorSocketCreate, SocketErrorText(m_pCommandSocket->GetLastError()));
        return false;
    }
    return true;
}

void CFtpSockClient::DeleteCommandSocket() {
    // The kept listener belongs to this connection's address.
    CloseDataListener();
    m_commandTls.Drop();
    SetCommandSocket(nullptr);
    m_strCommandLostCause.clear();
    m_nCommandBuffered = 0;
    m_nCommandNext = 0;
}

int64_t CFtpSockClient::CommandSend(const char* pBuffer, size_t nLength) {
    if (m_pCommandSocket == nullptr) {
        return -1;
    }
    const bool bSent = m_commandTls.IsOpen() ? m_commandTls.SendAll(pBuffer, nLength)
                                             : m_pCommandSocket->SendAll(pBuffer, nLength);
    if (!bSent) {
        LoseCommandConnection("connection lost: " +
                              SocketErrorText(m_pCommandSocket->GetLastError()));
        return -1;
    }
    return static_cast<int64_t>(nLength);
}

int64_t CFtpSockClient::CommandReceive(char* pByte) {
    if (m_pCommandSocket == nullptr) {
        return -1;
    }
    if (m_nCommandNext == m_nCommandBuffered) {
        int64_t nReceived =
            m_commandTls.IsOpen() ? m_commandTls.Receive(m_commandBuffer, sizeof(m_commandBuffer))
                                  : m_pCommandSocket->Receive(m_commandBuffer, sizeof(m_commandBuffer));
        if (nReceived <= 0) {
            if (nReceived == 0) {
                LoseCommandConnection("connection closed by the server");
            } else {
                const int nError = m_pCommandSocket->GetLastError();
                LoseCommandConnection(nError == platform::GetTimeoutErrorCode()
                                          ? "timed out waiting for the server's reply"
                                          : "connection lost: " + SocketErrorText(nError));
                // A reply that comes after we gave up would be taken for the
                // answer to the next command.
                m_pCommandSocket->Shutdown();
            }
            return nReceived;
        }
        m_nCommandBuffered = static_cast<size_t>(nReceived);
        m_nCommandNext = 0;
    }
    *pByte = m_commandBuffer[m_nCommandNext++];
    return 1;
}

void CFtpSockClient::LoseCommandConnection(const std::string& strCause) {
    // What happened first is the cause; what a dead or abandoned connection
    // does afterwards (a broken pipe on our own shutdown) is only its echo.
    if (m_strCommandLostCause.empty()) {
        m_strCommandLostCause = strCause;
    }
    m_strLocalError = m_strCommandLostCause;
}

bool CFtpSockClient::IsCommandReadable(int nTimeoutMs) {
    if (m_nCommandNext < m_nCommandBuffered) {
        return true;
    }
    // An error counts as readable: the read that follows reports it.
    return m_pCommandSocket != nullptr && m_pCommandSocket->WaitReadable(nTimeoutMs) != 0;
}

void CFtpSockClient::CloseDataListener() {
    m_DataListener.Close();
    m_strPortCommand.clear();
    std::lock_guard<std::mutex> lock(m_socketsMutex);
    m_PassiveConnection.Close();
}

int64_t CFtpSockClient::DataSend(const char* pBuffer, size_t nLength) {
    if (g_pDataConnection == nullptr) {
        return -1;
    }
    const bool bSent = m_dataTls.IsOpen() ? m_dataTls.SendAll(pBuffer, nLength)
                                          : g_pDataConnection->SendAll(pBuffer, nLength);
    return bSent ? static_cast<int64_t>(nLength) : -1;
}

int64_t CFtpSockClient::DataReceive(char* pBuffer, size_t nCapacity) {
    if (g_pDataConnection == nullptr) {
        return -1;
    }
    return m_dataTls.IsOpen() ? m_dataTls.Receive(pBuffer, nCapacity)
                              : g_pDataConnection->Receive(pBuffer, nCapacity);
}

void CFtpSockClient::CloseDataConnection() {
    // An upload is whole for the server only with TLS's own end after it.
    if (m_dataTls.IsOpen()) {
        m_dataTls.Close();
        m_commandTls.KeepSessionOf(m_dataTls);
    }
    std::lock_guard<std::mutex> lock(m_socketsMutex);
    if (g_pDataConnection != nullptr) {
        g_pDataConnection->Close();
        g_pDataConnection = nullptr;
    }
}

void CFtpSockClient::AbortDataConnection() {
    // Without TLS's end, so that a cut upload cannot look whole.
    m_dataTls.Drop();
    std::lock_guard<std::mutex> lock(m_socketsMutex);
    if (g_pDataConnection != nullptr) {
        g_pDataConnection->Abort();
    }
}

bool CFtpSockClient::OpenDataPort() {
    if (m_eDataMode == EDataMode::Active || (m_eDataMode == EDataMode::Auto && m_bNoPasv)) {
        return OpenActiveDataPort();
    }
    bool bFellBack = false;
    if (OpenPassiveDataConnection(bFellBack)) {
        return true;
    }
    if (bFellBack && m_eDataMode == EDataMode::Auto) {
        return OpenActiveDataPort();
    }
    return false;
}

bool CFtpSockClient::OpenPassiveDataConnection(bool& bFellBack) {
    bFellBack = false;
    platform::CSocketAddress server;
    if (m_pCommandSocket == nullptr || !m_bConnected ||
        !m_pCommandSocket->GetPeerAddress(server)) {
        SetLocalError(kErrorPortRefused, "not connected");
        return false;
    }
    // A server without a command answers 500 (unknown) or 502 (not
    // implemented); anything else is its answer to this transfer.
    auto isUnknown = [this] { return m_nReplyCode == 500 || m_nReplyCode == 502; };
    auto refused = [this] {
        SetLocalError(kErrorPortRefused, GetFailureCause());
        return false;
    };
    if (!m_bNoEpsv) {
        if (!SendAfterAnnouncement("EPSV")) {
            return refused();
        }
        ReadReply();
        if (m_nReplyCode == 229) {
            const unsigned int nPort = ParseEpsvReply(m_strLastReply);
            return nPort != 0 ? ConnectPassive(nPort) : refused();
        }
        if (!isUnknown()) {
            return refused();
        }
        m_bNoEpsv = true;
    }
    // PASV can name an IPv4 port only.
    if (!m_bNoPasv && !server.bIpv6) {
        if (!SendAfterAnnouncement("PASV")) {
            return refused();
        }
        ReadReply();
        if (m_nReplyCode == 227) {
            const unsigned int nPort = ParsePasvReply(m_strLastReply);
            return nPort != 0 ? ConnectPassive(nPort) : refused();
        }
        if (!isUnknown()) {
            return refused();
        }
    }
    m_bNoPasv = true;
    bFellBack = true;
    return refused();
}

bool CFtpSockClient::ConnectPassive(unsigned int nPort) {
    platform::CSocketAddress address;
    m_pCommandSocket->GetPeerAddress(address);
    address.nPort = static_cast<uint16_t>(nPort);
    bool bCreated;
    {
        std::lock_guard<std::mutex> lock(m_socketsMutex);
        bCreated = !IsCancelled() && m_PassiveConnection.Create(address.bIpv6);
    }
    if (!bCreated) {
        SetLocalError(kErrorSocketCreate, IsCancelled() ? kCancelledCause
                                                        : "data connection: " +
                                                              SocketErrorText(m_PassiveConnection.GetLastError()));
        return false;
    }
    if (!m_PassiveConnection.Connect(address, m_nTimeoutMs) ||
        !m_PassiveConnection.SetTimeouts(m_nTimeoutMs)) {
        SetLocalError(kErrorDataOrLocalFile,
                      "data connection: " + SocketErrorText(m_PassiveConnection.GetLastError()));
        CloseDataListener();
        return false;
    }
    return true;
}

bool CFtpSockClient::OpenActiveDataPort() {
    platform::CSocketAddress local;
    if (m_pCommandSocket == nullptr || !m_pCommandSocket->GetLocalAddress(local)) {
        m_strLocalError = "not connected";
        return false;
    }
    if (!m_bConnected) {
        SetLocalError(kErrorPortRefused, "not connected");
        return false;
    }
    if (!m_DataListener.IsOpen() || m_strPortCommand.empty()) {
        // The listener takes connections only on the interface the server
        // reaches us through, the one PORT names.
        platform::CSocketAddress listenAddress = local;
        listenAddress.nPort = 0;
        auto listenerFailed = [&](int nCode) {
            SetLocalError(nCode, "data listener: " + SocketErrorText(m_DataListener.GetLastError()));
            CloseDataListener();
            return false;
        };
        if (!m_DataListener.Create(local.bIpv6) || !m_DataListener.Bind(listenAddress)) {
            return listenerFailed(kErrorSocketCreate);
        }
        if (!m_DataListener.Listen(5)) {
            return listenerFailed(kErrorDataListen);
        }
        if (!m_DataListener.GetLocalAddress(listenAddress)) {
            return listenerFailed(kErrorDataAddress);
        }
        // EPRT for IPv6, which PORT cannot name.
        m_strPortCommand = local.bIpv6 ? "EPRT |2|" + local.GetAddressText() + "|" +
                                             std::to_string(listenAddress.nPort) + "|"
                                       : FormatPortCommand(local.GetAddressText(), listenAddress.nPort);
    }
    bool bSent = SendAfterAnnouncement(m_strPortCommand);
    if (bSent) {
        ReadReply();
    }
    if (!bSent || m_nReplyCode != 200) {
        // The cause is what the server answered, or why it could not.
        SetLocalError(kErrorPortRefused, GetFailureCause());
        CloseDataListener();
        return false;
    }
    return true;
}

bool CFtpSockClient::SendAfterAnnouncement(const std::string& strCommand) {
    if (m_strAnnouncement.empty()) {
        return SendCommand(strCommand);
    }
    const std::string strAnnouncement = std::move(m_strAnnouncement);
    m_strAnnouncement.clear();
    if (!SendCommands({strAnnouncement, strCommand})) {
        return false;
    }
    m_bAnnouncementSent = true;
    m_strAnnouncementReply = ReadReply();
    m_nAnnouncementCode = m_nReplyCode;
    return m_nReplyCode != kNoReply;
}

void CFtpSockClient::DropWaitingDataConnections() {
    while (m_DataListener.IsOpen() && m_DataListener.WaitReadable(0) > 0) {
        platform::CSocket stray;
        platform::CSocketAddress peer;
        if (!m_DataListener.Accept(stray, peer)) {
            break;
        }
        stray.Abort();
    }
}

bool CFtpSockClient::StartTransfer(const std::string& strCommand,
                                   const std::string& strAnnouncement) {
    m_strAnnouncement = strAnnouncement;
    m_bAnnouncementSent = false;
    m_nAnnouncementCode = kNoReply;
    m_strAnnouncementReply.clear();
    const bool bActive =
        m_eDataMode == EDataMode::Active || (m_eDataMode == EDataMode::Auto && m_bNoPasv);
    if (bActive && m_DataListener.IsOpen() && !m_strPortCommand.empty()) {
        return StartTransferOnKeptListener(strCommand);
    }
    const bool bOpened = OpenDataPort();
    // Never carried over to a later transfer, also when nothing was sent.
    m_strAnnouncement.clear();
    if (!bOpened) {
        return false;
    }
    DropWaitingDataConnections();
    if (!SendCommand(strCommand)) {
        // Not sent, so nothing to read; the PORT's 200 must not linger.
        m_nReplyCode = kNoReply;
        CloseDataListener();
        return false;
    }
    ReadReply();
    if (m_nReplyCode != 150) {
        CloseDataListener();
        return false;
    }
    return true;
}

bool CFtpSockClient::StartTransferOnKeptListener(const std::string& strCommand) {
    std::vector<std::string> vecLines;
    if (!m_strAnnouncement.empty()) {
        vecLines.push_back(std::move(m_strAnnouncement));
        m_strAnnouncement.clear();
    }
    vecLines.push_back(m_strPortCommand);
    vecLines.push_back(strCommand);
    DropWaitingDataConnections();
    if (!SendCommands(vecLines)) {
        m_nReplyCode = kNoReply;
        CloseDataListener();
        return false;
    }
    auto lost = [this] {
        CloseDataListener();
        return false;
    };
    if (vecLines.size() == 3) {
        m_bAnnouncementSent = true;
        m_strAnnouncementReply = ReadReply();
        m_nAnnouncementCode = m_nReplyCode;
        if (m_nReplyCode == kNoReply) {
            return lost();
        }
    }
    const std::string strPortReply = ReadReply();
    const int nPortCode = m_nReplyCode;
    if (nPortCode == kNoReply) {
        return lost();
    }
    ReadReply();
    // A transfer under way goes to the listener the server knows, whatever
    // it said to PORT: it is ours, and only the whole file is sent into it.
    if (m_nReplyCode == 150) {
        return true;
    }
    if (nPortCode != 200 && m_nReplyCode != kNoReply) {
        // The transfer failed for want of its data address: that is the cause.
        m_strLastReply = strPortReply;
        m_nReplyCode = nPortCode;
        SetLocalError(kErrorPortRefused, GetFailureCause());
    }
    return lost();
}

bool CFtpSockClient::BeginDataTransfer(platform::CSocket& dataSocket) {
    if (!AcceptDataConnection(dataSocket)) {
        EndDataTransfer();
        return false;
    }
    // Published only once accepted, so that Cancel never shuts down a
    // socket while the accept fills it in.
    {
        std::lock_guard<std::mutex> lock(m_socketsMutex);
        g_pDataConnection = &dataSocket;
    }
    // The data connection takes up the command connection's TLS session,
    // as servers that tie the two together demand.
    if (m_commandTls.IsOpen() &&
        !m_dataTls.Connect(*m_pTls, dataSocket, m_strTlsHost, &m_commandTls)) {
        const std::string strCause = "data connection: TLS: " + m_dataTls.GetError();
        AbortDataConnection();
        EndDataTransfer();
        // The server answers the failed transfer; unread, that answer would
        // be taken for the next command's.
        ReadReply();
        SetLocalError(kErrorDataOrLocalFile, strCause);
        return false;
    }
    return true;
}

void CFtpSockClient::EndDataTransfer() {
    CloseDataConnection();
    CloseDataListener();
}

void CFtpSockClient::KeepListenerIf(bool bSucceeded) {
    if (!bSucceeded) {
        CloseDataListener();
    }
}

bool CFtpSockClient::AcceptDataConnection(platform::CSocket& dataSocket) {
    // A passive connection is there already.
    if (m_PassiveConnection.IsOpen()) {
        std::lock_guard<std::mutex> lock(m_socketsMutex);
        dataSocket = std::move(m_PassiveConnection);
        return true;
    }
    using CClock = std::chrono::steady_clock;
    const CClock::time_point deadline = CClock::now() + std::chrono::milliseconds(m_nTimeoutMs);
    for (;;) {
        if (IsCancelled()) {
            SetLocalError(kErrorDataOrLocalFile, kCancelledCause);
            return false;
        }
        auto nLeft = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - CClock::now())
                         .count();
        int nSliceMs = static_cast<int>(std::clamp<long long>(nLeft, 0, 50));
        int nReady = m_DataListener.WaitReadable(nSliceMs);
        if (nReady > 0) {
            platform::CSocketAddress peer;
            if (!m_DataListener.Accept(dataSocket, peer)) {
                SetLocalError(kErrorDataOrLocalFile,
                              "data connection: " + SocketErrorText(m_DataListener.GetLastError()));
                return false;
            }
            if (!dataSocket.SetTimeouts(m_nTimeoutMs)) {
                SetLocalError(kErrorDataOrLocalFile,
                              "data connection: " + SocketErrorText(dataSocket.GetLastError()));
                return false;
            }
            return true;
        }
        if (nReady < 0) {
            SetLocalError(kErrorDataOrLocalFile,
                          "data connection: " + SocketErrorText(m_DataListener.GetLastError()));
            return false;
        }
        // A server that speaks instead of connecting has given up on the
        // data connection ("425 Cannot open data connection."). A connection
        // that came meanwhile still goes first: the server connects before
        // it reports anything about the transfer.
        if (IsCommandReadable(0) && m_DataListener.WaitReadable(0) == 0) {
            ReadReply();
            return false;
        }
        if (nLeft <= 0) {
            SetLocalError(kErrorDataOrLocalFile, "the server did not open the data connection");
            return false;
        }
    }
}

bool CFtpSockClient::Get(const std::string& strRemoteName, const std::string& strLocalPath) {
    // Everything local is settled before the server is asked, so a local
    // failure leaves no reply unread on the command channel.
    uint32_t dwAttributes = platform::GetPathAttributes(strLocalPath);
    const bool bExists = dwAttributes != platform::kInvalidFileAttributes;
    if (strLocalPath.empty()) {
        SetLocalError(kErrorDataOrLocalFile, "no local path");
        return false;
    }
    if (bExists && (dwAttributes & platform::kFileAttributeDirectory) != 0) {
        SetLocalError(kErrorDataOrLocalFile, "the local path is a folder");
        return false;
    }
    if (bExists && (dwAttributes & platform::kFileAttributeReadOnly) != 0) {
        SetLocalError(kErrorDataOrLocalFile, "the local file is read-only");
        return false;
    }
    platform::CFile file;
    std::string strTemporary;
    if (!file.CreateTemporary(DirectoryOf(strLocalPath), strTemporary)) {
        SetLocalError(kErrorDataOrLocalFile, platform::GetSystemErrorText(file.GetLastError()));
        return false;
    }
    auto discardTemporary = [&]() {
        file.Close();
        platform::RemoveFile(strTemporary);
    };

    // The file's length, for the progress shown, asked with the data port.
    if (!StartTransfer("RETR " + strRemoteName, "SIZE " + strRemoteName)) {
        discardTemporary();
        return false;
    }
    const int64_t nTotal = SizeOfReply(m_nAnnouncementCode, m_strAnnouncementReply);
    platform::CSocket dataSocket;
    if (!BeginDataTransfer(dataSocket)) {
        discardTemporary();
        return false;
    }

    std::unique_ptr<char[]> buffer(new char[kFileBlockSize]);
    bool bComplete = false;
    bool bLocalOk = true;
    int64_t nDone = 0;
    for (;;) {
        int64_t nReceived = DataReceive(buffer.get(), kFileBlockSize);
        if (nReceived <= 0) {
            // A time-out is an error like any other, never a reason to retry.
            // A cancel's shutdown also reads as the end: it is not one.
            bComplete = nReceived == 0 && !IsCancelled();
            break;
        }
        if (IsCancelled()) {
            break;
        }
        if (!file.Write(buffer.get(), static_cast<size_t>(nReceived))) {
            bLocalOk = false;
            break;
        }
        nDone += nReceived;
        ReportProgress(nDone, nTotal);
    }
    bLocalOk = file.Close() && bLocalOk;
    std::string strLocalError;
    if (!bLocalOk) {
        strLocalError = platform::GetSystemErrorText(file.GetLastError());
    } else if (!bComplete) {
        strLocalError = "receiving the file: " + SocketErrorText(dataSocket.GetLastError());
    }
    if (IsCancelled()) {
        // Reset, so that a server blocked on a full window sees the end at
        // once instead of probing a closed connection for minutes.
        AbortDataConnection();
    }
    CloseDataConnection();
    ReadReply();
    KeepListenerIf(m_nReplyCode == kReplyTransferComplete);

    bool bResult = bComplete && bLocalOk && m_nReplyCode == kReplyTransferComplete;
    if (bResult && !platform::RenameReplacing(strTemporary, strLocalPath)) {
        bResult = false;
        bLocalOk = false;
        strLocalError = platform::GetSystemErrorText(platform::GetLastSystemError());
    }
    if (!bResult) {
        platform::RemoveFile(strTemporary);
        if (!bLocalOk) {
            SetLocalError(kErrorDataOrLocalFile, strLocalError);
        } else if (!bComplete && m_nReplyCode == kReplyTransferComplete) {
            // The server thinks all went well; the cut connection says why not.
            m_strLocalError = strLocalError;
        }
    }
    return bResult;
}

bool CFtpSockClient::Put(const std::string& strLocalPath, const std::string& strRemoteName) {
    // The server empties its copy when STOR arrives; a file we cannot read
    // must never get that far. A FIFO or device is refused before opening,
    // which would wait for a writer that may never come.
    if (strLocalPath.empty()) {
        SetLocalError(kErrorDataOrLocalFile, "no local path");
        return false;
    }
    uint32_t dwAttributes = platform::GetPathAttributes(strLocalPath);
    if (dwAttributes == platform::kInvalidFileAttributes) {
        SetLocalError(kErrorDataOrLocalFile,
                      platform::GetSystemErrorText(platform::GetLastSystemError()));
        return false;
    }
    if ((dwAttributes & platform::kFileAttributeSystem) != 0) {
        SetLocalError(kErrorDataOrLocalFile, "not a regular file");
        return false;
    }
    platform::CFile file;
    if (!file.Open(strLocalPath, platform::CFile::modeRead)) {
        SetLocalError(kErrorDataOrLocalFile, platform::GetSystemErrorText(file.GetLastError()));
        return false;
    }
    const int64_t nLength = file.GetLength();
    if (nLength < 0) {
        SetLocalError(kErrorDataOrLocalFile, platform::GetSystemErrorText(file.GetLastError()));
        return false;
    }
    // Announced first, so that a server which knows ALLO commits the upload
    // only when exactly this many bytes arrived: a transfer cut short then
    // never replaces its copy. Whatever it answers (200, or 202 and 502 from
    // servers that do not know it), the upload goes on as before; only a
    // reply that never comes ends the Put here.
    // It goes out with the data port, in one write.
    if (!StartTransfer("STOR " + strRemoteName, "ALLO " + std::to_string(nLength))) {
        if (m_bAnnouncementSent && m_nAnnouncementCode == kNoReply) {
            m_nReplyCode = kNoReply;
        }
        return false;
    }
    platform::CSocket dataSocket;
    if (!BeginDataTransfer(dataSocket)) {
        return false;
    }

    std::unique_ptr<char[]> buffer(new char[kFileBlockSize]);
    bool bLocalOk = true;
    bool bSent = true;
    int64_t nDone = 0;
    for (;;) {
        int64_t nRead = file.Read(buffer.get(), kFileBlockSize);
        if (nRead <= 0) {
            bLocalOk = nRead == 0;
            break;
        }
        if (IsCancelled() || DataSend(buffer.get(), static_cast<size_t>(nRead)) != nRead) {
            bSent = false;
            break;
        }
        nDone += nRead;
        ReportProgress(nDone, nLength);
    }
    file.Close();
    std::string strLocalError;
    if (!bLocalOk) {
        strLocalError = platform::GetSystemErrorText(file.GetLastError());
    } else if (!bSent) {
        strLocalError = "sending the file: " + SocketErrorText(dataSocket.GetLastError());
    }
    if (!bLocalOk || IsCancelled()) {
        // An orderly close would make the server keep the bytes so far as
        // the whole file.
        AbortDataConnection();
    }
    CloseDataConnection();
    ReadReply();
    KeepListenerIf(bLocalOk && bSent && m_nReplyCode == kReplyTransferComplete);
    if (!bLocalOk) {
        SetLocalError(kErrorDataOrLocalFile, strLocalError);
    } else if (!bSent && m_nReplyCode == kReplyTransferComplete) {
        // The server thinks all went well; the cut connection says why not.
        m_strLocalError = strLocalError;
    }
    return bLocalOk && bSent && m_nReplyCode == kReplyTransferComplete;
}

bool CFtpSockClient::List(const std::string& /*strPath*/, std::string* pstrOutput) {
    if (!StartTransfer("LIST")) {
        return false;
    }
    platform::CSocket dataSocket;
    if (!BeginDataTransfer(dataSocket)) {
        return false;
    }
    m_strListing.clear();
    bool bComplete = false;
    char buffer[kListBlockSize];
    for (;;) {
        std::memset(buffer, 0, sizeof(buffer));
        int64_t nReceived = DataReceive(buffer, sizeof(buffer) - 1);
        if (nReceived <= 0) {
            bComplete = nReceived == 0;
            break;
        }
        m_strListing.append(buffer, strnlen(buffer, static_cast<size_t>(nReceived)));
    }
    if (pstrOutput != nullptr) {
        *pstrOutput = m_strListing;
    }
    CloseDataConnection();
    ReadReply();
    KeepListenerIf(bComplete && (m_nReplyCode == kReplyTransferComplete ||
                                 m_nReplyCode == kReplyActionCompleted));
    // A listing ends with 226, or with 250 as our own server sends it.
    return bComplete &&
           (m_nReplyCode == kReplyTransferComplete || m_nReplyCode == kReplyActionCompleted);
}
