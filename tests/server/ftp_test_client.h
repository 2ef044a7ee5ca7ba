#pragma once

#include <string>

#include "platform/socket.h"
#include "platform/tls.h"

// A plain line client for driving the engine over a real socket.
class CFtpTestClient {
public:
    // Connects to 127.0.0.1:nPort, once: a server that says it has started
    // listens, so a refused connection is a failure, never a reason to retry.
    bool Connect(int nPort);
    // The same to another address, "::1" say.
    bool Connect(const std::string& strAddress, int nPort);

    // Sends strText exactly as given (add "\r\n" yourself).
    bool SendRaw(const std::string& strText);

    // Sends strLine and "\r\n", returns the next reply line.
    std::string Command(const std::string& strLine);

    // The next reply line without its line end; "" when the connection
    // ended (or nothing came within the time-out).
    std::string ReadLine(int nTimeoutMs = 5000);

    // True when the server has closed the connection (no more bytes).
    bool IsClosedByServer(int nTimeoutMs = 5000);

    // "AUTH TLS" and, after its 234, the handshake for strHost: from then
    // on every line goes under TLS. Empty on success, else what failed.
    std::string StartTls(platform::CTlsContext& context, const std::string& strHost);

    platform::CSocket m_socket;
    platform::CTlsStream m_tls;

private:
    std::string m_strBuffer;
};

// A loopback port that was free a moment ago.
int FindFreePort();

// Takes nPort on every address and listens on it, as another program that
// holds the port would. False when that failed.
bool HoldPort(platform::CSocket& holder, int nPort);

// nSize bytes of every value, in a pattern that no shift or cut preserves.
std::string TestBytes(size_t nSize);

// "PORT 127,0,0,1,h,l" for a loopback data port.
std::string LoopbackPortCommand(int nPort);

// Makes listener wait on a free loopback port for a data connection; returns
// the port, or 0 when that failed.
int ListenForData(platform::CSocket& listener);

// One data transfer driven from the client's side: listens on loopback,
// announces itself with PORT, sends the command, and moves the bytes.
struct CTransferResult {
    std::string strFirstReply;  // 150, or the refusal
    std::string strFinalReply;  // 226/250/425/426/552, empty when there was none
    std::string strData;        // bytes received (RETR, LIST)
    bool bResumed = false;      // the data connection's TLS took up the command connection's
};

CTransferResult Transfer(CFtpTestClient& client, const std::string& strCommand,
                         const std::string& strUpload = std::string());

// The port a "227 Entering Passive Mode (h1,h2,h3,h4,p1,p2)." or a
// "229 Entering Extended Passive Mode (|||port|)" names; 0 for any other line.
int PassivePort(const std::string& strReply);

// One transfer with a passive data connection: strPassive ("PASV", "EPSV")
// is sent, the data connection goes to the port its reply names at the
// server's address, then strCommand moves the bytes. The reply to strPassive
// is kept in strFirstReply when it names no port. With pTls the data
// connection is protected (PROT P must have been agreed).
CTransferResult PassiveTransfer(CFtpTestClient& client, const std::string& strPassive,
                                const std::string& strCommand,
                                const std::string& strUpload = std::string(),
                                platform::CTlsContext* pTls = nullptr);
