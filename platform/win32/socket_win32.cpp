#include <winsock2.h>
#include <ws2tcpip.h>
#include <mswsock.h>
#include <windows.h>

#include <algorithm>
#include <cstring>
#include <mutex>
#include <utility>
#include <vector>

#include "platform/socket.h"
#include "platform/win32/internal.h"

namespace platform {

namespace {

// Both families in one buffer; the length tells which.
int ToSockaddr(const CSocketAddress& address, sockaddr_storage& storage) {
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

SOCKET Native(intptr_t hSocket) { return static_cast<SOCKET>(hSocket); }

// A SOCKET is an unsigned handle value; ours keeps -1 for "none", which is
// what INVALID_SOCKET is in a signed type of the same width.
intptr_t Ours(SOCKET hSocket) { return static_cast<intptr_t>(hSocket); }

// TransmitFile sends at most 2^31 - 2 bytes per call; smaller pieces keep
// each call's wait within the send time-out's reach.
constexpr DWORD kTransmitChunk = 1u << 24;

// shutdown() of a listening socket changes nothing on Windows, and a blocked
// accept() only returns when the socket is closed, which the owner must do
// itself. Sockets ended by Shutdown are noted here: Accept waits in short
// slices and gives up once its socket is among them.
std::mutex g_shutDownMutex;
std::vector<SOCKET> g_shutDownSockets;

bool IsShutDown(SOCKET hSocket) {
    std::lock_guard<std::mutex> lock(g_shutDownMutex);
    return std::find(g_shutDownSockets.begin(), g_shutDownSockets.end(), hSocket) !=
           g_shutDownSockets.end();
}

void NoteShutDown(SOCKET hSocket, bool bShutDown) {
    std::lock_guard<std::mutex> lock(g_shutDownMutex);
    auto it = std::find(g_shutDownSockets.begin(), g_shutDownSockets.end(), hSocket);
    if (bShutDown && it == g_shutDownSockets.end()) {
        g_shutDownSockets.push_back(hSocket);
    } else if (!bShutDown && it != g_shutDownSockets.end()) {
        g_shutDownSockets.erase(it);
    }
}

constexpr int kAcceptSliceMs = 50;

}  // namespace

int StartSockets() {
    WSADATA data {};
    return WSAStartup(MAKEWORD(2, 2), &data);
}

void StopSockets() { WSACleanup(); }

std::string CSocketAddress::GetAddressText() const {
    wchar_t szText[INET6_ADDRSTRLEN] = {};
    if (bIpv6) {
        in6_addr native {};
        std::memcpy(&native, abIpv6, sizeof(abIpv6));
        if (InetNtopW(AF_INET6, &native, szText, INET6_ADDRSTRLEN) == nullptr) {
            return std::string();
        }
        return win32::FromWide(szText);
    }
    in_addr native {};
    native.s_addr = htonl(nAddress);
    if (InetNtopW(AF_INET, &native, szText, INET6_ADDRSTRLEN) == nullptr) {
        return std::string();
    }
    return win32::FromWide(szText);
}

bool ParseIpv4Address(const std::string& strText, uint32_t& nAddress) {
    in_addr native {};
    if (strText.find('\0') != std::string::npos ||
        InetPtonW(AF_INET, win32::ToWide(strText).c_str(), &native) != 1) {
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
    ADDRINFOW hints {};
    hints.ai_family = nFamily;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = bNumericOnly ? AI_NUMERICHOST : 0;
    ADDRINFOW* pResult = nullptr;
    if (GetAddrInfoW(win32::ToWide(strName).c_str(), nullptr, &hints, &pResult) != 0) {
        return false;
    }
    const ADDRINFOW* pChosen = nullptr;
    for (const int nWanted : {AF_INET, AF_INET6}) {
        for (ADDRINFOW* p = pResult; p != nullptr && pChosen == nullptr; p = p->ai_next) {
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
    FreeAddrInfoW(pResult);
    return pChosen != nullptr;
}

}  // namespace

bool ParseIpAddress(const std::string& strText, CSocketAddress& address) {
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

int GetTimeoutErrorCode() { return WSAETIMEDOUT; }

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
    m_nLastError = WSAGetLastError();
    return false;
}

bool CSocket::CreatePair(CSocket& first, CSocket& second, int /*nBufferBytes*/) {
    first.Close();
    second.Close();
    first.m_nLastError = WSAEOPNOTSUPP;
    return false;
}

bool CSocket::Create(bool bIpv6) {
    Close();
    const int nFamily = bIpv6 ? AF_INET6 : AF_INET;
    // Not inherited: a helper program started meanwhile must not keep a
    // connection (or a listening port) of ours alive.
    SOCKET hSocket = WSASocketW(nFamily, SOCK_STREAM, IPPROTO_TCP, nullptr, 0,
                                WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
    if (hSocket == INVALID_SOCKET && WSAGetLastError() == WSAEINVAL) {
        // Systems before Windows 7 SP1 know no such flag.
        hSocket = WSASocketW(nFamily, SOCK_STREAM, IPPROTO_TCP, nullptr, 0, WSA_FLAG_OVERLAPPED);
        if (hSocket != INVALID_SOCKET) {
            SetHandleInformation(reinterpret_cast<HANDLE>(hSocket), HANDLE_FLAG_INHERIT, 0);
        }
    }
    if (hSocket == INVALID_SOCKET) {
        return Fail();
    }
    m_hSocket = Ours(hSocket);
    return true;
}

bool CSocket::SetDualStack(bool bDualStack) {
    DWORD nValue = bDualStack ? 0 : 1;
    if (setsockopt(Native(m_hSocket), IPPROTO_IPV6, IPV6_V6ONLY,
                   reinterpret_cast<const char*>(&nValue), sizeof(nValue)) != 0) {
        return Fail();
    }
    return true;
}

bool CSocket::SetReuseAddress() {
    // SO_REUSEADDR here would let another program bind the same port while
    // we listen on it; what Linux means by it (rebinding a port whose old
    // connections linger) Windows does by default. Exclusive use is the
    // safe equivalent.
    BOOL bValue = TRUE;
    if (setsockopt(Native(m_hSocket), SOL_SOCKET, SO_EXCLUSIVEADDRUSE,
                   reinterpret_cast<const char*>(&bValue), sizeof(bValue)) != 0) {
        return Fail();
    }
    return true;
}

bool CSocket::SetNoDelay() {
    BOOL bValue = TRUE;
    if (setsockopt(Native(m_hSocket), IPPROTO_TCP, TCP_NODELAY,
                   reinterpret_cast<const char*>(&bValue), sizeof(bValue)) != 0) {
        return Fail();
    }
    return true;
}

bool CSocket::SetTimeouts(int nMilliseconds) {
    DWORD dwTimeout = nMilliseconds > 0 ? static_cast<DWORD>(nMilliseconds) : 0;
    SOCKET hSocket = Native(m_hSocket);
    if (setsockopt(hSocket, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&dwTimeout),
                   sizeof(dwTimeout)) != 0 ||
        setsockopt(hSocket, SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&dwTimeout),
                   sizeof(dwTimeout)) != 0) {
        return Fail();
    }
    return true;
}

bool CSocket::Bind(const CSocketAddress& address) {
    sockaddr_storage native;
    const int nLength = ToSockaddr(address, native);
    if (bind(Native(m_hSocket), reinterpret_cast<sockaddr*>(&native), nLength) != 0) {
        return Fail();
    }
    return true;
}

bool CSocket::Listen(int nBacklog) {
    if (listen(Native(m_hSocket), nBacklog) != 0) {
        return Fail();
    }
    return true;
}

bool CSocket::Accept(CSocket& client, CSocketAddress& peer) {
    SOCKET hListener = Native(m_hSocket);
    for (;;) {
        if (IsShutDown(hListener)) {
            m_nLastError = WSAESHUTDOWN;
            return false;
        }
        WSAPOLLFD waiter {};
        waiter.fd = hListener;
        waiter.events = POLLRDNORM;
        int nReady = WSAPoll(&waiter, 1, kAcceptSliceMs);
        if (nReady == SOCKET_ERROR) {
            return Fail();
        }
        if (nReady > 0) {
            break;
        }
    }
    sockaddr_storage native {};
    int nLength = sizeof(native);
    SOCKET hClient = accept(hListener, reinterpret_cast<sockaddr*>(&native), &nLength);
    if (hClient == INVALID_SOCKET) {
        return Fail();
    }
    SetHandleInformation(reinterpret_cast<HANDLE>(hClient), HANDLE_FLAG_INHERIT, 0);
    client.Close();
    client.m_hSocket = Ours(hClient);
    peer = FromSockaddr(native);
    return true;
}

bool CSocket::Connect(const CSocketAddress& address, int nTimeoutMs) {
    sockaddr_storage native;
    const int nNativeLength = ToSockaddr(address, native);
    SOCKET hSocket = Native(m_hSocket);
    if (nTimeoutMs <= 0) {
        if (connect(hSocket, reinterpret_cast<sockaddr*>(&native), nNativeLength) != 0) {
            return Fail();
        }
        return true;
    }

    u_long nNonBlocking = 1;
    if (ioctlsocket(hSocket, FIONBIO, &nNonBlocking) != 0) {
        return Fail();
    }
    bool bConnected =
        connect(hSocket, reinterpret_cast<sockaddr*>(&native), nNativeLength) == 0;
    int nError = bConnected ? 0 : WSAGetLastError();
    if (!bConnected && nError == WSAEWOULDBLOCK) {
        // A failed attempt shows in the exception set, not as writable;
        // select rather than WSAPoll, which older systems never wake for a
        // refused connection.
        fd_set writable;
        fd_set failed;
        FD_ZERO(&writable);
        FD_ZERO(&failed);
        FD_SET(hSocket, &writable);
        FD_SET(hSocket, &failed);
        timeval timeout {};
        timeout.tv_sec = nTimeoutMs / 1000;
        timeout.tv_usec = (nTimeoutMs % 1000) * 1000;
        int nReady = select(0, nullptr, &writable, &failed, &timeout);
        if (nReady == 0) {
            nError = WSAETIMEDOUT;
        } else if (nReady < 0) {
            nError = WSAGetLastError();
        } else {
            int nLength = sizeof(nError);
            nError = 0;
            if (getsockopt(hSocket, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&nError),
                           &nLength) != 0) {
                nError = WSAGetLastError();
            }
            if (nError == 0 && FD_ISSET(hSocket, &failed)) {
                nError = WSAECONNREFUSED;
            }
            bConnected = nError == 0;
        }
    }
    u_long nBlocking = 0;
    ioctlsocket(hSocket, FIONBIO, &nBlocking);
    if (!bConnected) {
        m_nLastError = nError;
        return false;
    }
    return true;
}

int64_t CSocket::Receive(void* pBuffer, size_t nCount) {
    int nChunk = nCount > (1u << 30) ? (1 << 30) : static_cast<int>(nCount);
    int nReceived = recv(Native(m_hSocket), static_cast<char*>(pBuffer), nChunk, 0);
    if (nReceived == SOCKET_ERROR) {
        Fail();
        return -1;
    }
    return nReceived;
}

bool CSocket::SendAll(const void* pBuffer, size_t nCount) {
    const char* pNext = static_cast<const char*>(pBuffer);
    while (nCount > 0) {
        int nChunk = nCount > (1u << 30) ? (1 << 30) : static_cast<int>(nCount);
        int nSent = send(Native(m_hSocket), pNext, nChunk, 0);
        if (nSent == SOCKET_ERROR) {
            return Fail();
        }
        pNext += nSent;
        nCount -= static_cast<size_t>(nSent);
    }
    return true;
}

bool CSocket::SendFile(CFile& file, uint64_t nLength) {
    HANDLE hFile = reinterpret_cast<HANDLE>(file.GetNativeHandle());
    LARGE_INTEGER nZero {};
    LARGE_INTEGER nPosition {};
    LARGE_INTEGER nSize {};
    if (!SetFilePointerEx(hFile, nZero, &nPosition, FILE_CURRENT) ||
        !GetFileSizeEx(hFile, &nSize)) {
        m_nLastError = static_cast<int>(::GetLastError());
        return false;
    }
    // TransmitFile sends what is there and reports success at the end of
    // the file; a file shorter than promised must fail, as everywhere.
    bool bShort = nPosition.QuadPart > nSize.QuadPart ||
                  static_cast<uint64_t>(nSize.QuadPart - nPosition.QuadPart) < nLength;
    if (bShort) {
        nLength = nPosition.QuadPart > nSize.QuadPart
                      ? 0
                      : static_cast<uint64_t>(nSize.QuadPart - nPosition.QuadPart);
    }
    // The socket was made for overlapped use; the send is waited for on an
    // event of its own, so that the send time-out still applies.
    HANDLE hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (hEvent == nullptr) {
        m_nLastError = static_cast<int>(::GetLastError());
        return false;
    }
    DWORD dwTimeout = 0;
    int nOptionLength = sizeof(dwTimeout);
    if (getsockopt(Native(m_hSocket), SOL_SOCKET, SO_SNDTIMEO,
                   reinterpret_cast<char*>(&dwTimeout), &nOptionLength) != 0 ||
        dwTimeout == 0) {
        dwTimeout = INFINITE;
    }
    bool bOk = true;
    while (nLength > 0) {
        DWORD nChunk = nLength > kTransmitChunk ? kTransmitChunk : static_cast<DWORD>(nLength);
        OVERLAPPED overlapped {};
        overlapped.Offset = static_cast<DWORD>(nPosition.QuadPart & 0xFFFFFFFF);
        overlapped.OffsetHigh = static_cast<DWORD>(nPosition.QuadPart >> 32);
        overlapped.hEvent = hEvent;
        ResetEvent(hEvent);
        if (!TransmitFile(Native(m_hSocket), hFile, nChunk, 0, &overlapped, nullptr, 0)) {
            int nError = WSAGetLastError();
            if (nError != ERROR_IO_PENDING && nError != WSA_IO_PENDING) {
                m_nLastError = nError;
                bOk = false;
                break;
            }
            if (WaitForSingleObject(hEvent, dwTimeout) != WAIT_OBJECT_0) {
                CancelIoEx(reinterpret_cast<HANDLE>(Native(m_hSocket)), &overlapped);
                DWORD nIgnored = 0;
                DWORD dwIgnored = 0;
                WSAGetOverlappedResult(Native(m_hSocket), &overlapped, &nIgnored, TRUE,
                                       &dwIgnored);
                m_nLastError = WSAETIMEDOUT;
                bOk = false;
                break;
            }
        }
        DWORD nSent = 0;
        DWORD dwFlags = 0;
        if (!WSAGetOverlappedResult(Native(m_hSocket), &overlapped, &nSent, FALSE, &dwFlags)) {
            m_nLastError = WSAGetLastError();
            bOk = false;
            break;
        }
        if (nSent == 0) {
            m_nLastError = ERROR_HANDLE_EOF;
            bOk = false;
            break;
        }
        nPosition.QuadPart += nSent;
        nLength -= nSent;
    }
    CloseHandle(hEvent);
    // TransmitFile leaves the file position alone; the caller's file moves
    // on by what was sent, as a read would have moved it.
    SetFilePointerEx(hFile, nPosition, nullptr, FILE_BEGIN);
    if (bOk && bShort) {
        m_nLastError = ERROR_HANDLE_EOF;
        bOk = false;
    }
    return bOk;
}

int CSocket::WaitReadable(int nTimeoutMs) {
    WSAPOLLFD waiter {};
    waiter.fd = Native(m_hSocket);
    waiter.events = POLLRDNORM;
    int nReady = WSAPoll(&waiter, 1, nTimeoutMs < 0 ? -1 : nTimeoutMs);
    if (nReady == SOCKET_ERROR) {
        Fail();
        return -1;
    }
    return nReady == 0 ? 0 : 1;
}

int CSocket::WaitAnyReadable(CSocket* const* ppSockets, size_t nCount, int nTimeoutMs) {
    // In slices, as in Accept: a listener that Shutdown ended never wakes
    // WSAPoll.
    std::vector<WSAPOLLFD> waiters(nCount);
    const ULONGLONG nEnd = GetTickCount64() + static_cast<ULONGLONG>(std::max(nTimeoutMs, 0));
    for (;;) {
        for (size_t i = 0; i < nCount; ++i) {
            if (IsShutDown(Native(ppSockets[i]->m_hSocket))) {
                return -2;
            }
            waiters[i] = {};
            waiters[i].fd = Native(ppSockets[i]->m_hSocket);
            waiters[i].events = POLLRDNORM;
        }
        const ULONGLONG nNow = GetTickCount64();
        int nSliceMs = kAcceptSliceMs;
        if (nTimeoutMs >= 0) {
            nSliceMs = static_cast<int>(std::min<ULONGLONG>(kAcceptSliceMs, nEnd > nNow ? nEnd - nNow : 0));
        }
        const int nReady = WSAPoll(waiters.data(), static_cast<ULONG>(nCount), nSliceMs);
        if (nReady == SOCKET_ERROR) {
            return -2;
        }
        for (size_t i = 0; i < nCount && nReady > 0; ++i) {
            if (waiters[i].revents != 0) {
                return static_cast<int>(i);
            }
        }
        if (nTimeoutMs >= 0 && GetTickCount64() >= nEnd) {
            return -1;
        }
    }
}

bool CSocket::IsClosedByPeer(int nWaitMs) {
    if (WaitReadable(nWaitMs) != 1) {
        return false;
    }
    // Readable now, so the peek cannot block.
    char c;
    int nPeeked = recv(Native(m_hSocket), &c, 1, MSG_PEEK);
    if (nPeeked == SOCKET_ERROR) {
        int nError = WSAGetLastError();
        return nError != WSAEWOULDBLOCK && nError != WSAETIMEDOUT;
    }
    return nPeeked == 0;
}

bool CSocket::GetLocalAddress(CSocketAddress& address) const {
    sockaddr_storage native {};
    int nLength = sizeof(native);
    if (getsockname(Native(m_hSocket), reinterpret_cast<sockaddr*>(&native), &nLength) != 0) {
        return false;
    }
    address = FromSockaddr(native);
    return true;
}

bool CSocket::GetPeerAddress(CSocketAddress& address) const {
    sockaddr_storage native {};
    int nLength = sizeof(native);
    if (getpeername(Native(m_hSocket), reinterpret_cast<sockaddr*>(&native), &nLength) != 0) {
        return false;
    }
    address = FromSockaddr(native);
    return true;
}

void CSocket::Shutdown() {
    if (m_hSocket >= 0) {
        SOCKET hSocket = Native(m_hSocket);
        NoteShutDown(hSocket, true);
        shutdown(hSocket, SD_BOTH);
        // A receive already blocked in another thread is not woken by the
        // shutdown alone.
        CancelIoEx(reinterpret_cast<HANDLE>(hSocket), nullptr);
    }
}

void CSocket::ShutdownSending() {
    if (m_hSocket >= 0) {
        shutdown(Native(m_hSocket), SD_SEND);
    }
}

void CSocket::Abort() {
    if (m_hSocket >= 0) {
        linger reset {};
        reset.l_onoff = 1;
        reset.l_linger = 0;
        setsockopt(Native(m_hSocket), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&reset),
                   sizeof(reset));
        Close();
    }
}

void CSocket::Close() {
    if (m_hSocket >= 0) {
        SOCKET hSocket = Native(std::exchange(m_hSocket, -1));
        NoteShutDown(hSocket, false);
        closesocket(hSocket);
    }
}

}  // namespace platform
