#include "tests/server/ftp_test_client.h"

#include <chrono>
#include <thread>

namespace {
constexpr uint32_t kLoopback = 0x7F000001;
}

bool CFtpTestClient::Connect(int nPort, int nWaitMs) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(nWaitMs);
    do {
        if (m_socket.Create() && m_socket.Connect({kLoopback, static_cast<uint16_t>(nPort)}, 1000)) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    } while (std::chrono::steady_clock::now() < deadline);
    return false;
}

bool CFtpTestClient::SendRaw(const std::string& strText) {
    return m_socket.SendAll(strText.data(), strText.size());
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
        if (m_socket.WaitReadable(nTimeoutMs) != 1) {
            return std::string();
        }
        char buffer[4096];
        int64_t nRead = m_socket.Receive(buffer, sizeof(buffer));
        if (nRead <= 0) {
            return std::string();
        }
        m_strBuffer.append(buffer, static_cast<size_t>(nRead));
    }
}

bool CFtpTestClient::IsClosedByServer(int nTimeoutMs) {
    if (!m_strBuffer.empty() || m_socket.WaitReadable(nTimeoutMs) != 1) {
        return false;
    }
    char c;
    return m_socket.Receive(&c, 1) == 0;
}

int FindFreePort() {
    platform::CSocket probe;
    platform::CSocketAddress address{kLoopback, 0};
    if (!probe.Create() || !probe.Bind(address) || !probe.GetLocalAddress(address)) {
        return -1;
    }
    return address.nPort;
}
