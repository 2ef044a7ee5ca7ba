#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/socket.h"
#include "platform/tls.h"

// The transfer clients that the sync run drives. CFtpSockClientBase holds the
// command-level operations, written on thirteen primitives only; the TCP
// client implements the primitives on sockets, the device client as no-ops
// (it has no command channel), so the same run code drives either.
//
// Text is UTF-8 in std::string; command lines and replies cross the wire as
// the bytes they are.
//
// A client is driven by one thread, one transfer at a time. Cancel alone may
// come from any other thread.

// Local causes of failure kept in m_nReplyCode. Server reply codes have three
// digits, so a test for an expected reply fails after any of these.
constexpr int kErrorDataAddress = 5000;     // the data listener's address or port unreadable
constexpr int kErrorSocketCreate = 5001;    // a socket could not be created
constexpr int kErrorDataListen = 5002;      // the data listener could not listen
constexpr int kErrorPortRefused = 5003;     // PORT not sent, or not answered with 200
constexpr int kErrorDataOrLocalFile = 5004; // no data connection, or the local file failed
constexpr int kErrorTls = 5005;             // TLS not offered, not verified, or refused

class CFtpSockClientBase {
public:
    virtual ~CFtpSockClientBase() = default;

    virtual bool OpenDataPort() = 0;
    virtual bool CreateCommandSocket() = 0;
    virtual void DeleteCommandSocket() = 0;
    // True when there is no command socket (always so for the device client).
    virtual bool HasNoCommandSocket() = 0;
    // Count sent, -1 on an error.
    virtual int64_t CommandSend(const char* pBuffer, size_t nLength) = 0;
    // One byte: 1 when received, 0 at the end of the connection, -1 on an
    // error or a time-out. After a time-out the TCP client shuts the command
    // connection down: a reply that arrives late could no longer be matched
    // to its command.
    virtual int64_t CommandReceive(char* pByte) = 0;
    virtual void CloseDataListener() = 0;
    virtual int64_t DataSend(const char* pBuffer, size_t nLength) = 0;
    // Count received, 0 at the end, -1 on an error or a time-out.
    virtual int64_t DataReceive(char* pBuffer, size_t nCapacity) = 0;
    virtual void CloseDataConnection() = 0;
    virtual bool Get(const std::string& strRemoteName, const std::string& strLocalPath) = 0;
    virtual bool Put(const std::string& strLocalPath, const std::string& strRemoteName) = 0;
    virtual bool List(const std::string& strPath, std::string* pstrOutput) = 0;

    // Sends strLine with CR LF appended unless it ends with one. True without
    // sending when there is no command channel. False for an empty line, for
    // a line with a CR or LF inside it (a name holding a line end must not
    // smuggle a second command to the server), or when not every byte went.
    bool SendCommand(const std::string& strLine);
    // The lines in one write, each checked and ended as SendCommand does;
    // nothing is sent when one of them is refused. The server answers them
    // in turn: the caller reads one reply per line, in order.
    bool SendCommands(const std::vector<std::string>& vecLines);

    // Reads one whole reply (a line "ddd-..." continues it, the first line
    // with a blank at its fourth character ends it), stores it in
    // m_strLastReply and its code in m_nReplyCode, and returns it. When the
    // connection ends, fails or times out first, or the reply grows beyond
    // any sensible size, the code becomes kNoReply and the text read so far
    // is kept. Without a command channel returns empty text and leaves the
    // code as it was.
    std::string ReadReply();

    // USER, then PASS only after 331; true on 230 and what AfterLogin
    // then does.
    bool Login(const std::string& strUser, const std::string& strPassword);
    // TYPE I; true on 200.
    bool SetBinaryType();
    // MD5 of a server file: the text after the first blank of a 200 reply
    // (without its line end), empty text on anything else. An empty name
    // sends nothing.
    std::string GetRemoteDigest(const std::string& strRemoteName);
    // The digests of many server files for the price of one round trip: the
    // MD5 commands go out in one write, fnMeanwhile runs while the server
    // works on them (the caller's own digests), then the replies are read
    // in order. One result per name, as GetRemoteDigest gives it; an empty
    // name is not asked and gets empty text. fnMeanwhile runs in every case.
    std::vector<std::string> GetRemoteDigests(const std::vector<std::string>& vecRemoteNames,
                                              const std::function<void()>& fnMeanwhile);
    // Sends QUIT when connected, does not wait for the answer, and drops the
    // command socket. False only without a command socket.
    bool Quit();
    std::string GetLastReply() const { return m_strLastReply; }

    // Why the last operation failed, as one line for the operator: the local
    // cause when one was kept (the system's text for a local file, a socket
    // or a connect, or what became of the connection), else the server's
    // last reply line without its line end.
    std::string GetFailureCause() const;

    // Breaks off what the client is doing and makes every later operation
    // fail at once: blocking waits return, nothing more is sent, and a
    // transfer under way ends as a failed one (a download's temporary file
    // removed, an upload cut off so that the server does not take it for
    // the whole file). Any thread may call it while the client exists; it
    // cannot be undone.
    virtual void Cancel() { m_bCancelled = true; }
    bool IsCancelled() const { return m_bCancelled; }

    // Called on the driving thread after every block of a transfer with the
    // bytes moved so far and the file's length (-1 when the server does not
    // say); empty for none.
    using ProgressFunction = std::function<void(int64_t nDone, int64_t nTotal)>;
    void SetProgressFunction(ProgressFunction fnProgress) { m_fnProgress = std::move(fnProgress); }

    // The code left when no complete reply arrived; no caller expects it.
    static constexpr int kNoReply = 0;
    // Replies longer than this are not replies but a misbehaving peer.
    static constexpr size_t kMaxReplyBytes = 65536;

    std::string m_strLastReply;
    std::string m_strListing;
    bool m_bConnected = false;
    int m_nReplyCode = 0;
    // The cause of the last failure that no server reply explains; emptied
    // by every command sent and every reply read.
    std::string m_strLocalError;

protected:
    // What a connection needs once logged in; false ends the login as
    // failed.
    virtual bool AfterLogin() { return true; }

    // Sets a local code and its cause together.
    void SetLocalError(int nCode, const std::string& strCause) {
        m_nReplyCode = nCode;
        m_strLocalError = strCause;
    }

    void ReportProgress(int64_t nDone, int64_t nTotal) const {
        if (m_fnProgress) {
            m_fnProgress(nDone, nTotal);
        }
    }

private:
    std::atomic<bool> m_bCancelled{false};
    ProgressFunction m_fnProgress;
};

// What GetFailureCause says after Cancel.
extern const char* const kCancelledCause;

// Who opens a transfer's data connection. Active: the server connects to us
// (PORT, or EPRT over IPv6), as this client always did. Passive: we connect
// to the server (EPSV, or PASV where EPSV is not known), through any NAT or
// firewall in front of us. Auto: passive first, and active from the first
// time the server answers that it has neither.
enum class EDataMode { Active, Passive, Auto };

// The data connection of the transfer in progress, for the data primitives;
// null between transfers.
extern platform::CSocket* g_pDataConnection;

// "PORT a,b,c,d,hi,lo" for a dotted address and a port.
std::string FormatPortCommand(const std::string& strAddress, unsigned int nPort);

class CFtpSockClient : public CFtpSockClientBase {
public:
    // Connect, accept and every receive give up after this long.
    static constexpr int kDefaultTimeoutMs = 60000;

    CFtpSockClient() = default;
    ~CFtpSockClient() override;
    CFtpSockClient(const CFtpSockClient&) = delete;
    CFtpSockClient& operator=(const CFtpSockClient&) = delete;

    // Connects to strHost (an IPv4 or IPv6 address, or a host name: its
    // IPv4 address, else its IPv6 one) and reads the greeting; true when it
    // is 220.
    bool Connect(const std::string& strHost, unsigned int nPort);

    // Also shuts down the sockets in use, so that a connect, a transfer or a
    // wait for a reply in the driving thread returns at once.
    void Cancel() override;

    bool OpenDataPort() override;
    bool CreateCommandSocket() override;
    void DeleteCommandSocket() override;
    bool HasNoCommandSocket() override { return m_pCommandSocket == nullptr; }
    int64_t CommandSend(const char* pBuffer, size_t nLength) override;
    int64_t CommandReceive(char* pByte) override;
    void CloseDataListener() override;
    int64_t DataSend(const char* pBuffer, size_t nLength) override;
    int64_t DataReceive(char* pBuffer, size_t nCapacity) override;
    void CloseDataConnection() override;

    // RETR into a temporary file beside strLocalPath, which replaces the
    // local file only when the server confirms the transfer (226) and every
    // byte was received; otherwise the local file is as it was.
    bool Get(const std::string& strRemoteName, const std::string& strLocalPath) override;
    // STOR of a local file, which is opened before anything is sent: a file
    // that cannot be read fails with 5004 and the server is never asked.
    // Its length goes first as "ALLO <bytes>"; any answer to that leads on
    // to the upload, only a missing one (kNoReply) fails the Put. True only
    // when the server confirms the upload with 226.
    bool Put(const std::string& strLocalPath, const std::string& strRemoteName) override;
    // LIST of the server's start directory (strPath is not sent); the text is
    // kept in m_strListing and copied to *pstrOutput.
    bool List(const std::string& strPath, std::string* pstrOutput) override;

    // Sets the time limit of connect, accept and every receive and send,
    // also of a connection already open.
    void SetTimeout(int nTimeoutMs) {
        m_nTimeoutMs = nTimeoutMs;
        if (m_pCommandSocket != nullptr && m_bConnected) {
            m_pCommandSocket->SetTimeouts(nTimeoutMs);
        }
    }

    // Chosen before Connect; Active without it.
    void SetDataMode(EDataMode eMode) { m_eDataMode = eMode; }

    // TLS with this context (null: none), chosen before Connect. Connect
    // then asks for it (AUTH TLS) right after the greeting and fails, before
    // any password is sent, when the server has none or its certificate
    // does not verify for the host connected to; after login every data
    // connection is protected too (PBSZ 0, PROT P).
    // A context that could not be loaded is given as its cause instead:
    // Connect then fails with it at once.
    void SetTls(std::shared_ptr<platform::CTlsContext> pContext) { m_pTls = std::move(pContext); }
    void SetTlsUnavailable(const std::string& strCause) { m_strTlsUnavailable = strCause; }
    // The name the server's certificate must carry when it is not the host
    // given to Connect (a name that was looked up before).
    void SetTlsHostName(const std::string& strName) { m_strTlsHostName = strName; }

    platform::CSocket* m_pCommandSocket = nullptr;
    platform::CSocket m_DataListener;

protected:
    bool AfterLogin() override;

private:
    // AUTH TLS and the handshake on the command connection.
    bool StartTls();
    // PORT (EPRT over IPv6) with a listener of ours.
    bool OpenActiveDataPort();
    // EPSV, else PASV, and the connection to the port the server names.
    // bFellBack is set when the server has neither (500, 502).
    bool OpenPassiveDataConnection(bool& bFellBack);
    // Connects m_PassiveConnection to nPort at the server's address.
    bool ConnectPassive(unsigned int nPort);
    // Waits for the server's data connection, or for a reply on the command
    // channel that says it will not come, whichever is first. On a
    // connection, accepts it into dataSocket. On a reply, reads it (its code
    // stays in m_nReplyCode). Otherwise sets 5004.
    bool AcceptDataConnection(platform::CSocket& dataSocket);
    // Makes dataSocket the data connection once the server has connected;
    // when it does not, ends the transfer and returns false.
    bool BeginDataTransfer(platform::CSocket& dataSocket);
    // Resets the data connection, if any (it stays published until
    // EndDataTransfer).
    void AbortDataConnection();
    // Closes the data connection and the listener.
    void EndDataTransfer();
    // After a transfer: the listener stays for the next one only when this
    // one succeeded; a failed transfer may leave a late connection behind.
    void KeepListenerIf(bool bSucceeded);
    // Sends strCommand and requires 150; on anything else closes the listener.
    // strAnnouncement, when given, goes out in one write with the first
    // command that sets up the data connection (PORT, EPRT, EPSV or PASV),
    // and its reply is read first into m_nAnnouncementCode and
    // m_strAnnouncementReply: one round trip fewer than asking it apart.
    bool StartTransfer(const std::string& strCommand, const std::string& strAnnouncement = {});
    // StartTransfer when the listener served the transfer before: the
    // announcement, PORT and the transfer command go out in one write, and
    // their replies are read in turn.
    bool StartTransferOnKeptListener(const std::string& strCommand);
    // Sends strCommand, with the announcement held back for it; false when
    // nothing went or the announcement got no reply.
    bool SendAfterAnnouncement(const std::string& strCommand);
    // Takes and closes the connections that wait on the kept listener before
    // a transfer command: the server connects only after that command, so
    // whatever came before (a late connection of a transfer given up) is
    // not this transfer's.
    void DropWaitingDataConnections();
    // Whether bytes from the server wait on the command channel.
    bool IsCommandReadable(int nTimeoutMs);
    // Records why the command connection ended or was given up, and makes
    // it the cause of this failure and of every later one on it.
    void LoseCommandConnection(const std::string& strCause);

    // Swaps a new socket in as the command socket, under the lock Cancel
    // takes; the one before is closed.
    void SetCommandSocket(platform::CSocket* pSocket);

    int m_nTimeoutMs = kDefaultTimeoutMs;
    EDataMode m_eDataMode = EDataMode::Active;
    // What this connection has learnt of the server: EPSV unknown, then
    // PASV unknown too (Auto then goes active).
    bool m_bNoEpsv = false;
    bool m_bNoPasv = false;
    // A passive data connection made before its transfer command.
    platform::CSocket m_PassiveConnection;
    // The PORT (or EPRT) that names m_DataListener. The listener stays open
    // from one transfer to the next while they succeed, so that a run of many
    // files needs one listener, not one per file; a failed transfer closes it.
    std::string m_strPortCommand;
    // The announcement that goes with the next data-connection command, and
    // what came of the last one.
    std::string m_strAnnouncement;
    bool m_bAnnouncementSent = false;
    int m_nAnnouncementCode = kNoReply;
    std::string m_strAnnouncementReply;
    std::shared_ptr<platform::CTlsContext> m_pTls;
    std::string m_strTlsHost;            // the name the certificate must carry
    std::string m_strTlsUnavailable;     // why TLS was asked for but cannot be had
    std::string m_strTlsHostName;
    platform::CTlsStream m_commandTls;   // open once AUTH TLS succeeded
    platform::CTlsStream m_dataTls;      // on the data connection of a transfer
    // Why the command connection is gone; empty while it works.
    std::string m_strCommandLostCause;
    // Held while the command socket, the data connection or the listener is
    // created, swapped or closed, and by Cancel while it shuts them down: a
    // socket must not be closed under a shutdown from the other thread.
    std::mutex m_socketsMutex;
    // Received command bytes not yet handed out by CommandReceive: replies are
    // read a byte at a time, the socket is not.
    char m_commandBuffer[4096];
    size_t m_nCommandBuffered = 0;
    size_t m_nCommandNext = 0;
};
