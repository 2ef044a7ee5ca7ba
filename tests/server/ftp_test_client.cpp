#include "tests/server/ftp_test_client.h"

#include <charconv>
#include <string_view>

namespace {
constexpr uint32_t kLoopback = 0x7F000001;
}

bool CFtpTestClient::Connect(int nPort) {
    return m_socket.Create() && m_socket.Connect({kLoopback, static_cast<uint16_t>(nPort)}, 5000);
}

bool CFtpTestClient::Connect(const std::string& strAddress, int nPort) {
    platform::CSocketAddress address;
    if (!platform::ParseIpAddress(strAddress, address)) {
        return false;
    }
    address.nPort = static_cast<uint16_t>(nPort);
    return m_socket.Create(address.bIpv6) && m_socket.Connect(address, 5000);
}

bool CFtpTestClient::SendRaw(const std::string& strText) {
    return m_tls.IsOpen() ? m_tls.SendAll(strText.data(), strText.size())
                          : m_socket.SendAll(strText.data(), strText.size());
}

std::string CFtpTestClient::StartTls(platform::CTlsContext& context, const std::string& strHost) {
    const std::string strReply = Command("AUTH TLS");
    if (strReply.compare(0, 3, "234") != 0) {
        return strReply;
    }
    m_socket.SetTimeouts(5000);
    return m_tls.Connect(context, m_socket, strHost) ? std::string() : m_tls.GetError();
}

std::string CFtpTestClient::Command(const std::string& strLine) {
    SendRaw(strLine + "\r\n");
    return ReadLine();
}

std::string CFtpTestClient::ReadLine(int nTimeoutMs) {
    for (;;) {
        size_t nEnd = m_strBuffer.find("\r\n");
        if (nEnd != std::string::npos) {
            std::string strLine = m_strBuffer.substr(0, nEnd);
            m_strBuffer.erase(0, nEnd + 2);
            return strLine;
        }
        // Under TLS bytes may wait inside it, where the socket shows none.
        if (m_tls.IsOpen()) {
            m_socket.SetTimeouts(nTimeoutMs);
        } else if (m_socket.WaitReadable(nTimeoutMs) != 1) {
            return std::string();
        }
        char buffer[4096];
        int64_t nRead = m_tls.IsOpen() ? m_tls.Receive(buffer, sizeof(buffer))
                                       : m_socket.Receive(buffer, sizeof(buffer));
        if (nRead <= 0) {
            return std::string();
        }
        m_strBuffer.append(buffer, static_cast<size_t>(nRead));
    }
}

bool CFtpTestClient::IsClosedByServer(int nTimeoutMs) {
    if (!m_strBuffer.empty()) {
        return false;
    }
    char c;
    if (m_tls.IsOpen()) {
        m_socket.SetTimeouts(nTimeoutMs);
        return m_tls.Receive(&c, 1) == 0;
    }
    return m_socket.WaitReadable(nTimeoutMs) == 1 && m_socket.Receive(&c, 1) == 0;
}

int FindFreePort() {
    platform::CSocket probe;
    platform::CSocketAddress address{kLoopback, 0};
    if (!probe.Create() || !probe.Bind(address) || !probe.GetLocalAddress(address)) {
        return -1;
    }
    return address.nPort;
}

bool HoldPort(platform::CSocket& holder, int nPort) {
    return holder.Create() && holder.Bind({0, static_cast<uint16_t>(nPort)}) && holder.Listen(1);
}

std::string TestBytes(size_t nSize) {
    std::string strData(nSize, '\0');
    for (size_t i = 0; i < nSize; ++i) {
        strData[i] = static_cast<char>((i * 131) ^ (i >> 9));
    }
    return strData;
}

int ListenForData(platform::CSocket& listener) {
    platform::CSocketAddress address{kLoopback, 0};
    if (!listener.Create() || !listener.Bind(address) || !listener.Listen(1) ||
        !listener.GetLocalAddress(address)) {
        return 0;
    }
    return address.nPort;
}

std::string LoopbackPortCommand(int nPort) {
    return "PORT 127,0,0,1," + std::to_string(nPort / 256) + "," + std::to_string(nPort % 256);
}

CTransferResult Transfer(CFtpTestClient& client, const std::string& strCommand,
                         const std::string& strUpload) {
    CTransferResult result;
    platform::CSocket listener;
    const int nPort = ListenForData(listener);
    if (nPort == 0) {
        return result;
    }
    if (client.Command(LoopbackPortCommand(nPort)) != "200 Done") {
        return result;
    }
    client.SendRaw(strCommand + "\r\n");
    bool bIsStore = strCommand.compare(0, 4, "STOR") == 0;
    if (!bIsStore) {
        result.strFirstReply = client.ReadLine();
        if (result.strFirstReply.compare(0, 3, "150") != 0) {
            return result;
        }
    }
    if (listener.WaitReadable(5000) == 1) {
        platform::CSocket data;
        platform::CSocketAddress peer;
        if (listener.Accept(data, peer)) {
            if (bIsStore) {
                result.strFirstReply = client.ReadLine();
                data.SendAll(strUpload.data(), strUpload.size());
            } else {
                char buffer[65536];
                int64_t nRead;
                while ((nRead = data.Receive(buffer, sizeof(buffer))) > 0) {
                    result.strData.append(buffer, static_cast<size_t>(nRead));
                }
            }
        }
    } else if (bIsStore) {
        result.strFirstReply = client.ReadLine();
        return result;
    }
    result.strFinalReply = client.ReadLine();
    return result;
}

namespace {
// Reads nCount numbers parted by chSeparator that fill strText exactly.
bool ReadNumbers(std::string_view strText, char chSeparator, size_t nCount, int* pValues) {
    for (size_t i = 0; i < nCount; ++i) {
        if (i > 0) {
            if (strText.empty() || strText.front() != chSeparator) {
                return false;
            }
            strText.remove_prefix(1);
        }
        const char* pEnd = strText.data() + strText.size();
        const auto [pNext, error] = std::from_chars(strText.data(), pEnd, pValues[i]);
        if (error != std::errc() || pNext == strText.data()) {
            return false;
        }
        strText.remove_prefix(static_cast<size_t>(pNext - strText.data()));
    }
    return strText.empty();
}
}  // namespace

// Parsed by hand, not with std::regex: the upload tests call this on several
// threads at once, and compiling a regex fills the standard library's shared
// character tables without a lock, which ThreadSanitizer reports as a race.
int PassivePort(const std::string& strReply) {
    constexpr std::string_view kPassive = "227 Entering Passive Mode (";
    constexpr std::string_view kExtended = "229 Entering Extended Passive Mode (|||";
    const std::string_view reply(strReply);
    int values[6] = {};
    if (reply.starts_with(kPassive) && reply.ends_with(").") &&
        ReadNumbers(reply.substr(kPassive.size(), reply.size() - kPassive.size() - 2), ',', 6, values)) {
        return values[4] * 256 + values[5];
    }
    if (reply.starts_with(kExtended) && reply.ends_with("|)") &&
        ReadNumbers(reply.substr(kExtended.size(), reply.size() - kExtended.size() - 2), ',', 1, values)) {
        return values[0];
    }
    return 0;
}

CTransferResult PassiveTransfer(CFtpTestClient& client, const std::string& strPassive,
                                const std::string& strCommand, const std::string& strUpload,
                                platform::CTlsContext* pTls) {
    CTransferResult result;
    const std::string strReply = client.Command(strPassive);
    platform::CSocketAddress server;
    const int nPort = PassivePort(strReply);
    if (nPort == 0 || !client.m_socket.GetPeerAddress(server)) {
        result.strFirstReply = strReply;
        return result;
    }
    server.nPort = static_cast<uint16_t>(nPort);
    platform::CSocket data;
    if (!data.Create(server.bIpv6) || !data.Connect(server, 5000) || !data.SetTimeouts(5000)) {
        return result;
    }
    result.strFirstReply = client.Command(strCommand);
    if (result.strFirstReply.compare(0, 3, "150") != 0) {
        return result;
    }
    // Under PROT P the data connection turns to TLS once the 150 is there,
    // in the command connection's session.
    platform::CTlsStream tls;
    if (pTls != nullptr && !tls.Connect(*pTls, data, "localhost", &client.m_tls)) {
        result.strData = "<TLS failed: " + tls.GetError() + ">";
        result.strFinalReply = client.ReadLine();
        return result;
    }
    result.bResumed = tls.IsResumed();
    if (strCommand.compare(0, 4, "STOR") == 0) {
        if (tls.IsOpen()) {
            tls.SendAll(strUpload.data(), strUpload.size());
            tls.Close();
        } else {
            data.SendAll(strUpload.data(), strUpload.size());
        }
        data.Close();
    } else {
        char buffer[65536];
        int64_t nRead;
        while ((nRead = tls.IsOpen() ? tls.Receive(buffer, sizeof(buffer))
                                     : data.Receive(buffer, sizeof(buffer))) > 0) {
            result.strData.append(buffer, static_cast<size_t>(nRead));
        }
    }
    result.strFinalReply = client.ReadLine();
    return result;
}
