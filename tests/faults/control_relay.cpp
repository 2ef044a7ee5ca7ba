#include "tests/faults/control_relay.h"

namespace {
constexpr uint32_t kLoopback = 0x7F000001;
// How often the relay looks whether it is to end.
constexpr int kPollMs = 20;
}  // namespace

CControlRelay::~CControlRelay() {
    m_bStop = true;
    if (m_thread.joinable()) {
        m_thread.join();
    }
}

bool CControlRelay::Start(int nServerPort, const std::string& strCommand,
                          std::function<void()> onHeld) {
    platform::CSocketAddress address{kLoopback, 0};
    if (!m_listener.Create() || !m_listener.Bind(address) || !m_listener.Listen(1) ||
        !m_listener.GetLocalAddress(address)) {
        return false;
    }
    m_nPort = address.nPort;
    m_nServerPort = nServerPort;
    m_strCommand = strCommand;
    m_onHeld = std::move(onHeld);
    m_thread = std::thread(&CControlRelay::Run, this);
    return true;
}

void CControlRelay::Run() {
    while (!m_bStop && m_listener.WaitReadable(kPollMs) == 0) {
    }
    platform::CSocketAddress peer;
    if (m_bStop || !m_listener.Accept(m_client, peer) || !m_server.Create() ||
        !m_server.Connect({kLoopback, static_cast<uint16_t>(m_nServerPort)}, 5000)) {
        return;
    }
    while (!m_bStop) {
        if (m_client.WaitReadable(0) != 0 && !Pass(m_client, m_server, true)) {
            break;
        }
        const int nServerReady = m_server.WaitReadable(kPollMs);
        if (nServerReady != 0 && !Pass(m_server, m_client, false)) {
            break;
        }
    }
    // Each side sees the other's end as it would without the relay.
    m_client.Close();
    m_server.Close();
}

bool CControlRelay::Pass(platform::CSocket& from, platform::CSocket& to, bool bFromClient) {
    char buffer[4096];
    const int64_t nReceived = from.Receive(buffer, sizeof(buffer));
    if (nReceived <= 0) {
        return false;
    }
    const std::string strBytes(buffer, static_cast<size_t>(nReceived));
    if (bFromClient) {
        // A client waits for each answer, so a line that begins a command
        // has its answer still to come.
        m_strClientLine += strBytes;
        size_t nEnd;
        while ((nEnd = m_strClientLine.find("\r\n")) != std::string::npos) {
            if (!m_bHeld && m_strClientLine.compare(0, m_strCommand.size(), m_strCommand) == 0) {
                m_bAwaitingAnswer = true;
            }
            m_strClientLine.erase(0, nEnd + 2);
        }
    } else if (m_bAwaitingAnswer) {
        m_bAwaitingAnswer = false;
        m_onHeld();
        m_bHeld = true;
    }
    return to.SendAll(strBytes.data(), strBytes.size());
}
