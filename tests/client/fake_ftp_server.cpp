#include "tests/client/fake_ftp_server.h"

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
            if (!strText.empty() && !m_connection.SendAll(strText.data(), strText.size())) {
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
        std::lock_guard<std::mutex> lock(m_mutex);
        m_vecReceived.push_back(strPending.substr(0, nEnd));
        strPending.erase(0, nEnd + 2);
    }
}
