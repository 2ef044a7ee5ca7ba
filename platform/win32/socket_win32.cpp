#include <utility>

#include "platform/socket.h"

namespace platform {

int StartSockets() { return 0; }
void StopSockets() {}
std::string CSocketAddress::GetAddressText() const { return std::string(); }
bool ParseIpv4Address(const std::string&, uint32_t&) { return false; }
bool ResolveHostName(const std::string&, uint32_t&) { return false; }
int GetTimeoutErrorCode() { return 10060; }

CSocket::~CSocket() { Close(); }
CSocket::CSocket(CSocket&& other) noexcept
    : m_hSocket(std::exchange(other.m_hSocket, -1)), m_nLastError(other.m_nLastError) {}
CSocket& CSocket::operator=(CSocket&& other) noexcept {
    if (this != &other) {
        Close();
        m_hSocket = std::exchange(other.m_hSocket, -1);
        m_nLastError = other.m_nLastError;
    }
    return *this;
}
bool CSocket::Fail() { return false; }
bool CSocket::Create() { return false; }
bool CSocket::SetReuseAddress() { return false; }
bool CSocket::SetNoDelay() { return false; }
bool CSocket::SetTimeouts(int) { return false; }
bool CSocket::Bind(const CSocketAddress&) { return false; }
bool CSocket::Listen(int) { return false; }
bool CSocket::Accept(CSocket&, CSocketAddress&) { return false; }
bool CSocket::Connect(const CSocketAddress&, int) { return false; }
int64_t CSocket::Receive(void*, size_t) { return -1; }
bool CSocket::SendAll(const void*, size_t) { return false; }
bool CSocket::SendFile(CFile&, uint64_t) { return false; }
int CSocket::WaitReadable(int) { return -1; }
bool CSocket::IsClosedByPeer(int) { return false; }
bool CSocket::GetLocalAddress(CSocketAddress&) const { return false; }
bool CSocket::GetPeerAddress(CSocketAddress&) const { return false; }
void CSocket::Shutdown() {}
void CSocket::Abort() {}
void CSocket::Close() { m_hSocket = -1; }

}  // namespace platform
