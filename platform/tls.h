#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/file.h"
#include "platform/socket.h"

// TLS on a connected socket, for FTP's explicit TLS: a connection begins in
// the clear and turns to TLS when both sides say so (AUTH TLS on the command
// connection, PROT P for the data connections). The socket stays the
// caller's: it is opened, timed out, shut down and closed as before, and a
// stream only reads and writes through it.
//
// Thread rules as for sockets: a stream is used by one thread; another may
// shut its socket down to make that thread's calls return.

namespace platform {

// Whether this build can speak TLS at all; where it cannot, every context
// fails to load with a cause that says so.
bool IsTlsAvailable();

// The certificates and settings a side works with; one for a server or a
// client, shared by all its connections.
class CTlsContext {
public:
    ~CTlsContext();
    CTlsContext(const CTlsContext&) = delete;
    CTlsContext& operator=(const CTlsContext&) = delete;

    // A server's: its certificate (with the chain after it) and its private
    // key, PEM files. Null with strError when either cannot be used.
    static std::unique_ptr<CTlsContext> ForServer(const std::string& strCertificateFile,
                                                  const std::string& strKeyFile,
                                                  std::string& strError);
    // A client's: a server's certificate must lead to one of the CA
    // certificates of strCaFile (PEM), or of the system's store when it is
    // empty, and name the host connected to.
    static std::unique_ptr<CTlsContext> ForClient(const std::string& strCaFile,
                                                  std::string& strError);

    struct CImpl;
    CImpl& Impl() { return *m_pImpl; }

private:
    explicit CTlsContext(std::unique_ptr<CImpl> pImpl);
    std::unique_ptr<CImpl> m_pImpl;
};

class CTlsStream {
public:
    CTlsStream();
    ~CTlsStream();
    CTlsStream(CTlsStream&& other) noexcept;
    CTlsStream& operator=(CTlsStream&& other) noexcept;
    CTlsStream(const CTlsStream&) = delete;
    CTlsStream& operator=(const CTlsStream&) = delete;

    // The server's half of the handshake on socket. False (GetError says
    // why) when the peer does not complete it within the socket's time-outs.
    // bNewSessions: whether the peer is given tickets for later sessions; a
    // data connection's peer takes up the command connection's session and
    // needs none, and tickets it never reads would turn its close into a
    // reset that can cost the server the end of an upload.
    bool Accept(CTlsContext& context, CSocket& socket, bool bNewSessions = true);
    // The client's half: verifies the server's certificate for strHost (a
    // name, or an address literal). pResumeFrom, when given, is the command
    // connection whose session a data connection takes up again, as servers
    // that tie the two together demand.
    bool Connect(CTlsContext& context, CSocket& socket, const std::string& strHost,
                 const CTlsStream* pResumeFrom = nullptr);

    bool IsOpen() const;
    // Whether the handshake took up an earlier session.
    bool IsResumed() const;
    // Makes the session other ended with the one that connections resuming
    // from this stream take up. A server may let a session be taken up only
    // once (TLS 1.3 tickets of a server-side cache): each data connection
    // then hands the next one the fresh session it was given.
    void KeepSessionOf(const CTlsStream& other);

    // As the socket's: the count received, 0 at the end of the connection
    // (the peer's close_notify, or the socket's end), -1 on an error or a
    // time-out.
    int64_t Receive(void* pBuffer, size_t nCount);
    bool SendAll(const void* pBuffer, size_t nCount);
    // nLength bytes of an open file from its current position; false when
    // the file ends first or a send fails.
    bool SendFile(CFile& file, uint64_t nLength);
    // Says the end (close_notify) so that the peer can tell a whole
    // transfer from a cut one, and waits (within the socket's time-outs)
    // for the peer's own end when it has not come yet, so that nothing the
    // peer sent is left unread and the close cannot turn into a reset. Then
    // forgets the connection; the socket is left to the caller. False when
    // the notice could not be sent.
    bool Close();
    // Forgets the connection without a word.
    void Drop();

    // Why the last call failed, as one line for a log.
    std::string GetError() const;
    // The socket's error code of the last failure; 0 when TLS itself failed.
    int GetSocketError() const;

private:
    struct CImpl;
    std::unique_ptr<CImpl> m_pImpl;
};

}  // namespace platform
