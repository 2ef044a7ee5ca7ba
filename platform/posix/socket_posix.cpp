#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>
#include <vector>

#include "platform/socket.h"

namespace platform {

namespace {

// Both families in one buffer; the length tells which.
socklen_t ToSockaddr(const CSocketAddress& address, sockaddr_storage& storage) {
    storage = {};
    if (address.bIpv6) {
        auto& native = reinterpret_cast<sockaddr_in6&>(storage);
        native.sin6_family = AF_INET6;
        native.sin6_port = htons(address.nPort);
        std::memcpy(&native.sin6_addr, address.abIpv6, sizeof(address.abIpv6));
        native.sin6_scope_id = address.nScopeId;
        return sizeof(native);
    }
    auto& native = reinterpret_cast<sockaddr_in&>(storage);
    native.sin_family = AF_INET;
    native.sin_port = htons(address.nPort);
    native.sin_addr.s_addr = htonl(address.nAddress);
    return sizeof(native);
}

CSocketAddress FromSockaddr(const sockaddr_storage& storage) {
    CSocketAddress address;
    if (storage.ss_family == AF_INET6) {
        const auto& native = reinterpret_cast<const sockaddr_in6&>(storage);
        address.nPort = ntohs(native.sin6_port);
        if (IN6_IS_ADDR_V4MAPPED(&native.sin6_addr)) {
            uint32_t nMapped;
            std::memcpy(&nMapped, native.sin6_addr.s6_addr + 12, sizeof(nMapped));
            address.nAddress = ntohl(nMapped);
            return address;
        }
        address.bIpv6 = true;
        std::memcpy(address.abIpv6, &native.sin6_addr, sizeof(address.abIpv6));
        address.nScopeId = native.sin6_scope_id;
        return address;
    }
    const auto& native = reinterpret_cast<const sockaddr_in&>(storage);
    address.nAddress = ntohl(native.sin_addr.s_addr);
    address.nPort = ntohs(native.sin_port);
    return address;
}

// A send on a connection the peer has closed must fail, not kill the program.
constexpr int kSendFlags = MSG_NOSIGNAL;

// sendfile has no MSG_NOSIGNAL: SIGPIPE is held back for the calling thread
// while it runs, and one that a closed connection raised is taken off again.
class CSigpipeBlocker {
public:
    CSigpipeBlocker() {
        sigemptyset(&m_sigpipe);
        sigaddset(&m_sigpipe, SIGPIPE);
        pthread_sigmask(SIG_BLOCK, &m_sigpipe, &m_previous);
    }
    ~CSigpipeBlocker() {
        sigset_t pending;
        sigpending(&pending);
        if (sigismember(&pending, SIGPIPE) == 1 && sigismember(&m_previous, SIGPIPE) == 0) {
            timespec noWait {};
            sigtimedwait(&m_sigpipe, nullptr, &noWait);
        }
        pthread_sigmask(SIG_SETMASK, &m_previous, nullptr);
    }

private:
    sigset_t m_sigpipe;
    sigset_t m_previous;
};

}  // namespace

int StartSockets() { return 0; }
void StopSockets() {}

std::string CSocketAddress::GetAddressText() const {
    char szText[INET6_ADDRSTRLEN] = {};
    if (bIpv6) {
        inet_ntop(AF_INET6, abIpv6, szText, sizeof(szText));
        return szText;
    }
    in_addr native {};
    native.s_addr = htonl(nAddress);
    inet_ntop(AF_INET, &native, szText, sizeof(szText));
    return szText;
}

bool ParseIpv4Address(const std::string& strText, uint32_t& nAddress) {
    in_addr native {};
    if (inet_pton(AF_INET, strText.c_str(), &native) != 1) {
        return false;
    }
    nAddress = ntohl(native.s_addr);
    return true;
}

namespace {

// Resolves strName (a literal when bNumericOnly) into the first address of
// the family asked for; AF_UNSPEC takes IPv4 first.
bool LookUp(const std::string& strName, int nFamily, bool bNumericOnly, CSocketAddress& address) {
    if (strName.empty() || strName.find('\0') != std::string::npos) {
        return false;
    }
    addrinfo hints {};
    hints.ai_family = nFamily;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = bNumericOnly ? AI_NUMERICHOST : 0;
    addrinfo* pResult = nullptr;
    if (getaddrinfo(strName.c_str(), nullptr, &hints, &pResult) != 0) {
        return false;
    }
    const addrinfo* pChosen = nullptr;
    for (const int nWanted : {AF_INET, AF_INET6}) {
        for (addrinfo* p = pResult; p != nullptr && pChosen == nullptr; p = p->ai_next) {
            if (p->ai_family == nWanted && p->ai_addrlen <= sizeof(sockaddr_storage)) {
                pChosen = p;
            }
        }
    }
    if (pChosen != nullptr) {
        sockaddr_storage storage {};
        std::memcpy(&storage, pChosen->ai_addr, pChosen->ai_addrlen);
        const uint16_t nPort = address.nPort;
        address = FromSockaddr(storage);
        address.nPort = nPort;
    }
    freeaddrinfo(pResult);
    return pChosen != nullptr;
}

}  // namespace

bool ParseIpAddress(const std::string& strText, CSocketAddress& address) {
    // getaddrinfo takes "1" or "0x7f.1" as IPv4 too; only the usual forms
    // count here.
    uint32_t nAddress = 0;
    if (ParseIpv4Address(strText, nAddress)) {
        address.bIpv6 = false;
        address.nAddress = nAddress;
        return true;
    }
    const bool bNumericOnly = true;
    // The bare address alone: some resolvers take "[::1]" or blanks too.
    return strText.find(':') != std::string::npos &&
           strText.find_first_of("[] \t") == std::string::npos &&
           LookUp(strText, AF_INET6, bNumericOnly, address);
}

bool ResolveHostName(const std::string& strName, uint32_t& nAddress) {
    CSocketAddress address;
    if (!LookUp(strName, AF_INET, false, address)) {
        return false;
    }
    nAddress = address.nAddress;
    return true;
}

bool ResolveHostAddress(const std::string& strName, CSocketAddress& address) {
    return LookUp(strName, AF_UNSPEC, false, address);
}

int GetTimeoutErrorCode() { return EAGAIN; }

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

bool CSocket::Fail() {
    m_nLastError = errno;
    return false;
}

bool CSocket::Create(bool bIpv6) {
    Close();
    int hSocket = socket(bIpv6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (hSocket < 0) {
        return Fail();
    }
    m_hSocket = hSocket;
    return true;
}

bool CSocket::CreatePair(CSocket& first, CSocket& second, int nBufferBytes) {
    first.Close();
    second.Close();
    int handles[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, handles) != 0) {
        first.Fail();
        return false;
    }
    // Every small send takes far more of the buffer than its bytes; where
    // the system lets us, the limit on buffers does not apply.
    for (int hSocket : handles) {
        if (setsockopt(hSocket, SOL_SOCKET, SO_SNDBUFFORCE, &nBufferBytes, sizeof(nBufferBytes)) !=
            0) {
            setsockopt(hSocket, SOL_SOCKET, SO_SNDBUF, &nBufferBytes, sizeof(nBufferBytes));
        }
    }
    first.m_hSocket = handles[0];
    second.m_hSocket = handles[1];
    return true;
}

bool CSocket::SetDualStack(bool bDualStack) {
    int nValue = bDualStack ? 0 : 1;
    if (setsockopt(static_cast<int>(m_hSocket), IPPROTO_IPV6, IPV6_V6ONLY, &nValue,
                   sizeof(nValue)) != 0) {
        return Fail();
    }
    return true;
}

bool CSocket::SetReuseAddress() {
    int nValue = 1;
    if (setsockopt(static_cast<int>(m_hSocket), SOL_SOCKET, SO_REUSEADDR, &nValue,
                   sizeof(nValue)) != 0) {
        return Fail();
    }
    return true;
}

bool CSocket::SetNoDelay() {
    int nValue = 1;
    if (setsockopt(static_cast<int>(m_hSocket), IPPROTO_TCP, TCP_NODELAY, &nValue,
                   sizeof(nValue)) != 0) {
        return Fail();
    }
    return true;
}

bool CSocket::SetTimeouts(int nMilliseconds) {
    timeval timeout {};
    timeout.tv_sec = nMilliseconds / 1000;
    timeout.tv_usec = (nMilliseconds % 1000) * 1000;
    int hSocket = static_cast<int>(m_hSocket);
    if (setsockopt(hSocket, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout)) != 0 ||
        setsockopt(hSocket, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof(timeout)) != 0) {
        return Fail();
    }
    return true;
}

bool CSocket::Bind(const CSocketAddress& address) {
    sockaddr_storage native;
    const socklen_t nLength = ToSockaddr(address, native);
    if (bind(static_cast<int>(m_hSocket), reinterpret_cast<sockaddr*>(&native), nLength) != 0) {
        return Fail();
    }
    return true;
}

bool CSocket::Listen(int nBacklog) {
    if (listen(static_cast<int>(m_hSocket), nBacklog) != 0) {
        return Fail();
    }
    return true;
}

bool CSocket::Accept(CSocket& client, CSocketAddress& peer) {
    sockaddr_storage native {};
    socklen_t nLength = sizeof(native);
    int hClient;
    do {
        hClient = accept4(static_cast<int>(m_hSocket), reinterpret_cast<sockaddr*>(&native),
                          &nLength, SOCK_CLOEXEC);
    } while (hClient < 0 && errno == EINTR);
    if (hClient < 0) {
        return Fail();
    }
    client.Close();
    client.m_hSocket = hClient;
    peer = FromSockaddr(native);
    return true;
}

bool CSocket::Connect(const CSocketAddress& address, int nTimeoutMs) {
    sockaddr_storage native;
    const socklen_t nNativeLength = ToSockaddr(address, native);
    int hSocket = static_cast<int>(m_hSocket);
    if (nTimeoutMs <= 0) {
        if (connect(hSocket, reinterpret_cast<sockaddr*>(&native), nNativeLength) != 0) {
            return Fail();
        }
        return true;
    }

    int nFlags = fcntl(hSocket, F_GETFL);
    if (nFlags < 0 || fcntl(hSocket, F_SETFL, nFlags | O_NONBLOCK) != 0) {
        return Fail();
    }
    bool bConnected =
        connect(hSocket, reinterpret_cast<sockaddr*>(&native), nNativeLength) == 0;
    int nError = bConnected ? 0 : errno;
    if (!bConnected && nError == EINPROGRESS) {
        pollfd waiter {hSocket, POLLOUT, 0};
        int nReady;
        do {
            nReady = poll(&waiter, 1, nTimeoutMs);
        } while (nReady < 0 && errno == EINTR);
        if (nReady == 0) {
            nError = GetTimeoutErrorCode();
        } else if (nReady < 0) {
            nError = errno;
        } else {
            socklen_t nLength = sizeof(nError);
            if (getsockopt(hSocket, SOL_SOCKET, SO_ERROR, &nError, &nLength) != 0) {
                nError = errno;
            }
            bConnected = nError == 0;
        }
    }
    fcntl(hSocket, F_SETFL, nFlags);
    if (!bConnected) {
        m_nLastError = nError;
        return false;
    }
    return true;
}

int64_t CSocket::Receive(void* pBuffer, size_t nCount) {
    ssize_t nReceived;
    do {
        nReceived = recv(static_cast<int>(m_hSocket), pBuffer, nCount, 0);
    } while (nReceived < 0 && errno == EINTR);
    if (nReceived < 0) {
        Fail();
        return -1;
    }
    return nReceived;
}

bool CSocket::SendAll(const void* pBuffer, size_t nCount) {
    const char* pNext = static_cast<const char*>(pBuffer);
    while (nCount > 0) {
        ssize_t nSent = send(static_cast<int>(m_hSocket), pNext, nCount, kSendFlags);
        if (nSent < 0) {
            if (errno == EINTR) {
                continue;
            }
            return Fail();
        }
        pNext += nSent;
        nCount -= static_cast<size_t>(nSent);
    }
    return true;
}

bool CSocket::SendFile(CFile& file, uint64_t nLength) {
    CSigpipeBlocker sigpipeBlocker;
    int hFile = static_cast<int>(file.GetNativeHandle());
    while (nLength > 0) {
        size_t nChunk = nLength > (1u << 30) ? (1u << 30) : static_cast<size_t>(nLength);
        ssize_t nSent = sendfile(static_cast<int>(m_hSocket), hFile, nullptr, nChunk);
        if (nSent < 0) {
            if (errno == EINTR) {
                continue;
            }
            return Fail();
        }
        if (nSent == 0) {
            m_nLastError = EIO;  // the file is shorter than it was
            return false;
        }
        nLength -= static_cast<uint64_t>(nSent);
    }
    return true;
}

int CSocket::WaitReadable(int nTimeoutMs) {
    pollfd waiter {static_cast<int>(m_hSocket), POLLIN, 0};
    int nReady;
    do {
        nReady = poll(&waiter, 1, nTimeoutMs);
    } while (nReady < 0 && errno == EINTR);
    if (nReady < 0) {
        Fail();
        return -1;
    }
    return nReady == 0 ? 0 : 1;
}

int CSocket::WaitAnyReadable(CSocket* const* ppSockets, size_t nCount, int nTimeoutMs) {
    std::vector<pollfd> waiters;
    for (size_t i = 0; i < nCount; ++i) {
        waiters.push_back({static_cast<int>(ppSockets[i]->m_hSocket), POLLIN, 0});
    }
    int nReady;
    do {
        nReady = poll(waiters.data(), waiters.size(), nTimeoutMs);
    } while (nReady < 0 && errno == EINTR);
    if (nReady < 0) {
        return -2;
    }
    for (size_t i = 0; i < nCount; ++i) {
        if (waiters[i].revents != 0) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

bool CSocket::IsClosedByPeer(int nWaitMs) {
    if (WaitReadable(nWaitMs) != 1) {
        return false;
    }
    char c;
    ssize_t nPeeked;
    do {
        nPeeked = recv(static_cast<int>(m_hSocket), &c, 1, MSG_PEEK | MSG_DONTWAIT);
    } while (nPeeked < 0 && errno == EINTR);
    if (nPeeked < 0) {
        return errno != EAGAIN && errno != EWOULDBLOCK;
    }
    return nPeeked == 0;
}

bool CSocket::GetLocalAddress(CSocketAddress& address) const {
    sockaddr_storage native {};
    socklen_t nLength = sizeof(native);
    if (getsockname(static_cast<int>(m_hSocket), reinterpret_cast<sockaddr*>(&native),
                    &nLength) != 0) {
        return false;
    }
    address = FromSockaddr(native);
    return true;
}

bool CSocket::GetPeerAddress(CSocketAddress& address) const {
    sockaddr_storage native {};
    socklen_t nLength = sizeof(native);
    if (getpeername(static_cast<int>(m_hSocket), reinterpret_cast<sockaddr*>(&native),
                    &nLength) != 0) {
        return false;
    }
    address = FromSockaddr(native);
    return true;
}

void CSocket::Shutdown() {
    if (m_hSocket >= 0) {
        shutdown(static_cast<int>(m_hSocket), SHUT_RDWR);
    }
}

void CSocket::ShutdownSending() {
    if (m_hSocket >= 0) {
        shutdown(static_cast<int>(m_hSocket), SHUT_WR);
    }
}

void CSocket::Abort() {
    if (m_hSocket >= 0) {
        linger reset{1, 0};
        setsockopt(static_cast<int>(m_hSocket), SOL_SOCKET, SO_LINGER, &reset, sizeof(reset));
        Close();
    }
}

void CSocket::Close() {
    if (m_hSocket >= 0) {
        close(static_cast<int>(std::exchange(m_hSocket, -1)));
    }
}

}  // namespace platform
