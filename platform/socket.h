#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "platform/file.h"

// Blocking IPv4 and IPv6 stream sockets, BSD style, written so that Windows Sockets
// can stand behind the same interface. Every call reports its outcome as a
// result and keeps the system's error code (errno values here, WSA error
// codes on Windows) for traces.
//
// A time-out is an error: with a receive or send time-out set, a call that
// runs out of time fails (EAGAIN here, WSAETIMEDOUT on Windows), and callers
// must not retry it.
//
// Thread rules: a socket is used by one thread, except Shutdown, which another
// thread may call to make that thread's blocking calls return at once; the
// caller must make sure the owner does not close the socket meanwhile.

namespace platform {

// Starts the socket layer (Windows Sockets needs it; nothing to do here).
// Returns 0 on success, else the error code.
int StartSockets();
void StopSockets();

// An IPv4 or IPv6 address and a port, the port in host byte order.
struct CSocketAddress {
    uint32_t nAddress = 0;  // IPv4, host byte order: 0x7F000001 is 127.0.0.1
    uint16_t nPort = 0;
    // An IPv6 address when set: abIpv6 holds its 16 bytes in network order,
    // nScopeId the interface of a link-local one. An IPv4 peer reached
    // through an IPv6 socket (::ffff:a.b.c.d) is given as IPv4.
    bool bIpv6 = false;
    uint8_t abIpv6[16] = {};
    uint32_t nScopeId = 0;

    // The usual text form: dotted decimal "127.0.0.1", or RFC 5952 "::1".
    std::string GetAddressText() const;
    // Same family and address; ports are not compared.
    bool IsSameHost(const CSocketAddress& other) const {
        return bIpv6 == other.bIpv6 &&
               (bIpv6 ? std::memcmp(abIpv6, other.abIpv6, sizeof(abIpv6)) == 0
                      : nAddress == other.nAddress);
    }
    // The unspecified address of IPv6 ("::"), for a listener on every
    // interface of both families.
    static CSocketAddress AnyIpv6(uint16_t nPort) {
        CSocketAddress address;
        address.bIpv6 = true;
        address.nPort = nPort;
        return address;
    }
};

// Parses dotted decimal text ("10.0.0.7"); false for anything else.
bool ParseIpv4Address(const std::string& strText, uint32_t& nAddress);

// Parses an address literal of either family ("10.0.0.7", "::1",
// "fe80::1%2"); the port is left as it was. False for anything else.
bool ParseIpAddress(const std::string& strText, CSocketAddress& address);

// Looks a host name up and returns its first IPv4 address. False when the
// name cannot be resolved or has no IPv4 address.
bool ResolveHostName(const std::string& strName, uint32_t& nAddress);

// Looks a host name up: its first IPv4 address, or when it has none its
// first IPv6 address. The port is left as it was.
bool ResolveHostAddress(const std::string& strName, CSocketAddress& address);

// The error code of a time-out (EAGAIN here, WSAETIMEDOUT on Windows).
int GetTimeoutErrorCode();

class CSocket {
public:
    CSocket() = default;
    ~CSocket();
    CSocket(CSocket&& other) noexcept;
    CSocket& operator=(CSocket&& other) noexcept;
    CSocket(const CSocket&) = delete;
    CSocket& operator=(const CSocket&) = delete;

    // Creates a stream socket of IPv4 (or IPv6), closing one held before.
    bool Create(bool bIpv6 = false);
    // Two sockets connected to each other within this process, each with
    // room for at least nBufferBytes that the other has not read yet (as far
    // as the system allows). Not on Windows, which has no such pair: false
    // there.
    static bool CreatePair(CSocket& first, CSocket& second, int nBufferBytes);
    // Whether an IPv6 socket also takes IPv4 (dual stack) or IPv6 alone;
    // false where the system cannot do as asked.
    bool SetDualStack(bool bDualStack);
    bool IsOpen() const { return m_hSocket >= 0; }

    // Lets a listener bind its port again while connections of an earlier
    // one linger. On Windows, which allows that anyway, the port is taken
    // for exclusive use instead (SO_EXCLUSIVEADDRUSE): no other program can
    // bind it while we listen.
    bool SetReuseAddress();
    // Sends small writes at once instead of holding them back until the
    // peer acknowledges earlier data (Nagle). For command connections, where
    // a short reply that follows another would otherwise wait for the peer's
    // delayed acknowledgement, some 40 ms.
    bool SetNoDelay();
    // Receive and send time-outs in milliseconds; 0 means none.
    bool SetTimeouts(int nMilliseconds);

    bool Bind(const CSocketAddress& address);
    bool Listen(int nBacklog);

    // Waits for a connection and hands it over in client. A backlog of 0
    // still lets the system queue one connection.
    bool Accept(CSocket& client, CSocketAddress& peer);

    // Connects; with nTimeoutMs > 0 gives up after that long (a time-out
    // error), otherwise waits as the system does.
    bool Connect(const CSocketAddress& address, int nTimeoutMs = 0);

    // Receives up to nCount bytes: the count received, 0 when the peer has
    // closed the connection, -1 on an error or a time-out.
    int64_t Receive(void* pBuffer, size_t nCount);

    // Sends all nCount bytes; false on an error or a time-out.
    bool SendAll(const void* pBuffer, size_t nCount);

    // Sends nLength bytes of an open file from its current position, by the
    // system's file-transmission call where there is one. False on an error,
    // on a time-out, or when the file ends before nLength bytes.
    bool SendFile(CFile& file, uint64_t nLength);

    // Waits until data (or the end of the connection) can be read. Returns 1
    // when readable, 0 on a time-out, -1 on an error.
    int WaitReadable(int nTimeoutMs);

    // True when the peer has closed or reset the connection, as far as what
    // arrives within nWaitMs tells; consumes nothing. Returns at once when
    // data or the end arrives: data waiting to be read counts as a live
    // connection.
    bool IsClosedByPeer(int nWaitMs = 0);

    // Waits until one of nCount sockets can be read (or accept). Returns
    // its index, -1 on a time-out, -2 on an error.
    static int WaitAnyReadable(CSocket* const* ppSockets, size_t nCount, int nTimeoutMs);

    bool GetLocalAddress(CSocketAddress& address) const;
    bool GetPeerAddress(CSocketAddress& address) const;

    // Ends both directions: blocking calls on this socket in other threads
    // return at once. The socket stays open until Close.
    void Shutdown();
    // Ends the sending direction alone: the peer reads the end of the data,
    // and what it sends can still be received.
    void ShutdownSending();
    // Closes the connection so that the peer sees it reset rather than
    // ended: a transfer broken off on this side must not look complete to
    // the other.
    void Abort();
    void Close();

    // The system error code of the last failure.
    int GetLastError() const { return m_nLastError; }

private:
    bool Fail();

    intptr_t m_hSocket = -1;
    int m_nLastError = 0;
};

}  // namespace platform
