#include "tests/client/fake_ftp_server.h"

#include <chrono>

#include <cstdio>

CFakeFtpServer::CFakeFtpServer(std::vector<std::string> vecScript)
    : m_vecScript(std::move(vecScript)) {
    platform::CSocketAddress address{0x7F000001, 0};
    if (m_listener.Create() && m_listener.Bind(address) && m_listener.Listen(1) &&
        m_listener.GetLocalAddress(address)) {
        m_nPort = address.nPort;
        m_thread = std::thread([this] { Serve(); });
    }
}

CFakeFtpServer::~CFakeFtpServer() {
    m_listener.Shutdown();
    m_connection.Shutdown();
    if (m_thread.joinable()) {
        m_thread.join();
    }
}

std::vector<std::string> CFakeFtpServer::Received() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_vecReceived;
}

std::string CFakeFtpServer::ReceivedData() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_strData;
}

bool CFakeFtpServer::SendScripted(const std::string& strText) {
    const size_t nSlow = strText.find(kSendSlowly);
    if (nSlow != std::string::npos) {
        const std::string strBefore = strText.substr(0, nSlow);
        if (!strBefore.empty() && !m_connection.SendAll(strBefore.data(), strBefore.size())) {
            return false;
        }
        SendSlowly();
        return SendScripted(strText.substr(nSlow + std::string(kSendSlowly).size()));
    }
    const size_t nMarker = strText.find(kReceiveData);
    const std::string strBefore = strText.substr(0, nMarker);
    if (!strBefore.empty() && !m_connection.SendAll(strBefore.data(), strBefore.size())) {
        return false;
    }
    if (nMarker == std::string::npos) {
        return true;
    }
    ReceiveData();
    return SendScripted(strText.substr(nMarker + std::string(kReceiveData).size()));
}

void CFakeFtpServer::ReceiveData() {
    platform::CSocket data;
    std::string strData;
    if (data.Create() && data.SetTimeouts(10000) && data.Connect(m_dataAddress, 10000)) {
        char buffer[65536];
        int64_t nReceived;
        while ((nReceived = data.Receive(buffer, sizeof(buffer))) > 0) {
            strData.append(buffer, static_cast<size_t>(nReceived));
        }
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    m_strData = strData;
}

void CFakeFtpServer::SendSlowly() {
    platform::CSocket data;
    if (data.Create() && data.SetTimeouts(10000) && data.Connect(m_dataAddress, 10000)) {
        const std::string strBlock(64 * 1024, 'x');
        for (int i = 0; i < kSlowBlocks && data.SendAll(strBlock.data(), strBlock.size()); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    }
}

void CFakeFtpServer::Serve() {
    platform::CSocketAddress peer;
    if (!m_listener.Accept(m_connection, peer)) {
        return;
    }
    size_t nNext = 0;
    std::string strPending;
    for (;;) {
        if (nNext < m_vecScript.size()) {
            const std::string& strText = m_vecScript[nNext++];
            if (strText == kClose) {
                m_connection.Close();
                return;
            }
            if (!SendScripted(strText)) {
                return;
            }
        }
        // The next command line.
        size_t nEnd;
        while ((nEnd = strPending.find("\r\n")) == std::string::npos) {
            char buffer[512];
            int64_t nReceived = m_connection.Receive(buffer, sizeof(buffer));
            if (nReceived <= 0) {
                return;
            }
            strPending.append(buffer, static_cast<size_t>(nReceived));
        }
        const std::string strLine = strPending.substr(0, nEnd);
        strPending.erase(0, nEnd + 2);
        unsigned a, b, c, d, nHigh, nLow;
        if (std::sscanf(strLine.c_str(), "PORT %u,%u,%u,%u,%u,%u", &a, &b, &c, &d, &nHigh,
                        &nLow) == 6) {
            m_dataAddress = {(a << 24) | (b << 16) | (c << 8) | d,
                             static_cast<uint16_t>(nHigh * 256 + nLow)};
        }
        std::lock_guard<std::mutex> lock(m_mutex);
        m_vecReceived.push_back(strLine);
    }
}
