#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>
#include <vector>

#include "platform/tls.h"

// OpenSSL, reading and writing through the CSocket it is given, so that the
// socket's time-outs and shutdown work on TLS connections as on plain ones.

namespace platform {

namespace {

// What OpenSSL queued, as one line: its first error, the cause (the later
// ones only say which call gave up), and the queue emptied.
std::string TakeOpenSslError(const std::string& strWhat) {
    const unsigned long nFirst = ERR_get_error();
    while (ERR_get_error() != 0) {
    }
    if (nFirst == 0) {
        return strWhat;
    }
    char szText[256];
    ERR_error_string_n(nFirst, szText, sizeof(szText));
    const char* pszReason = ERR_reason_error_string(nFirst);
    return strWhat + ": " + (pszReason != nullptr ? pszReason : szText);
}

// A file OpenSSL is to read: one that cannot be opened is said so in the
// system's words, which OpenSSL's own ("system lib") are not.
bool CanRead(const std::string& strPath, const std::string& strWhat, std::string& strError) {
    std::FILE* pFile = std::fopen(strPath.c_str(), "rb");
    if (pFile == nullptr) {
        strError = strWhat + ": " + std::strerror(errno);
        return false;
    }
    std::fclose(pFile);
    return true;
}

// The socket of a stream and what it last failed with.
struct CSocketLink {
    CSocket* pSocket = nullptr;
    int nSocketError = 0;
    bool bEnded = false;
};

int LinkWrite(BIO* pBio, const char* pData, int nLength) {
    auto* pLink = static_cast<CSocketLink*>(BIO_get_data(pBio));
    BIO_clear_retry_flags(pBio);
    if (!pLink->pSocket->SendAll(pData, static_cast<size_t>(nLength))) {
        pLink->nSocketError = pLink->pSocket->GetLastError();
        return -1;
    }
    return nLength;
}

int LinkRead(BIO* pBio, char* pData, int nLength) {
    auto* pLink = static_cast<CSocketLink*>(BIO_get_data(pBio));
    BIO_clear_retry_flags(pBio);
    const int64_t nReceived = pLink->pSocket->Receive(pData, static_cast<size_t>(nLength));
    if (nReceived < 0) {
        pLink->nSocketError = pLink->pSocket->GetLastError();
        return -1;
    }
    if (nReceived == 0) {
        pLink->bEnded = true;
    }
    return static_cast<int>(nReceived);
}

long LinkControl(BIO* /*pBio*/, int nCommand, long /*nArgument*/, void* /*pArgument*/) {
    return nCommand == BIO_CTRL_FLUSH ? 1 : 0;
}

BIO_METHOD* LinkMethod() {
    static BIO_METHOD* s_pMethod = [] {
        BIO_METHOD* pMethod = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK,
                                           "tandrel socket");
        BIO_meth_set_write(pMethod, LinkWrite);
        BIO_meth_set_read(pMethod, LinkRead);
        BIO_meth_set_ctrl(pMethod, LinkControl);
        return pMethod;
    }();
    return s_pMethod;
}

}  // namespace

bool IsTlsAvailable() { return true; }

struct CTlsContext::CImpl {
    SSL_CTX* pContext = nullptr;
    bool bServer = false;
    ~CImpl() { SSL_CTX_free(pContext); }
};

CTlsContext::CTlsContext(std::unique_ptr<CImpl> pImpl) : m_pImpl(std::move(pImpl)) {}
CTlsContext::~CTlsContext() = default;

std::unique_ptr<CTlsContext> CTlsContext::ForServer(const std::string& strCertificateFile,
                                                    const std::string& strKeyFile,
                                                    std::string& strError) {
    auto pImpl = std::make_unique<CImpl>();
    pImpl->bServer = true;
    pImpl->pContext = SSL_CTX_new(TLS_server_method());
    if (pImpl->pContext == nullptr) {
        strError = TakeOpenSslError("TLS cannot be set up");
        return nullptr;
    }
    if (!CanRead(strCertificateFile, "certificate file " + strCertificateFile, strError) ||
        !CanRead(strKeyFile, "key file " + strKeyFile, strError)) {
        return nullptr;
    }
    SSL_CTX_set_min_proto_version(pImpl->pContext, TLS1_2_VERSION);
    // Data connections take up the command connection's session; the cache
    // needs a name for what it holds.
    static const unsigned char kSessionContext[] = "TandrelServer";
    SSL_CTX_set_session_id_context(pImpl->pContext, kSessionContext, sizeof(kSessionContext) - 1);
    SSL_CTX_set_session_cache_mode(pImpl->pContext, SSL_SESS_CACHE_SERVER);
    if (SSL_CTX_use_certificate_chain_file(pImpl->pContext, strCertificateFile.c_str()) != 1) {
        strError = TakeOpenSslError("certificate file " + strCertificateFile);
        return nullptr;
    }
    if (SSL_CTX_use_PrivateKey_file(pImpl->pContext, strKeyFile.c_str(), SSL_FILETYPE_PEM) != 1) {
        strError = TakeOpenSslError("key file " + strKeyFile);
        return nullptr;
    }
    if (SSL_CTX_check_private_key(pImpl->pContext) != 1) {
        strError = TakeOpenSslError("key file " + strKeyFile);
        return nullptr;
    }
    return std::unique_ptr<CTlsContext>(new CTlsContext(std::move(pImpl)));
}

std::unique_ptr<CTlsContext> CTlsContext::ForClient(const std::string& strCaFile,
                                                    std::string& strError) {
    auto pImpl = std::make_unique<CImpl>();
    pImpl->pContext = SSL_CTX_new(TLS_client_method());
    if (pImpl->pContext == nullptr) {
        strError = TakeOpenSslError("TLS cannot be set up");
        return nullptr;
    }
    if (!strCaFile.empty() && !CanRead(strCaFile, "CA file " + strCaFile, strError)) {
        return nullptr;
    }
    SSL_CTX_set_min_proto_version(pImpl->pContext, TLS1_2_VERSION);
    SSL_CTX_set_verify(pImpl->pContext, SSL_VERIFY_PEER, nullptr);
    SSL_CTX_set_session_cache_mode(pImpl->pContext, SSL_SESS_CACHE_CLIENT);
    const bool bLoaded =
        strCaFile.empty()
            ? SSL_CTX_set_default_verify_paths(pImpl->pContext) == 1
            : SSL_CTX_load_verify_locations(pImpl->pContext, strCaFile.c_str(), nullptr) == 1;
    if (!bLoaded) {
        strError = TakeOpenSslError(strCaFile.empty() ? std::string("the system's certificates")
                                                      : "CA file " + strCaFile);
        return nullptr;
    }
    return std::unique_ptr<CTlsContext>(new CTlsContext(std::move(pImpl)));
}

struct CTlsStream::CImpl {
    SSL* pSsl = nullptr;
    CSocketLink link;
    std::string strError;
    // The session the connection had when it was closed, or one kept for
    // connections that resume from this one.
    SSL_SESSION* pSession = nullptr;
    ~CImpl() {
        SSL_free(pSsl);
        SSL_SESSION_free(pSession);
    }
    void SetSession(SSL_SESSION* pNew) {
        SSL_SESSION_free(pSession);
        pSession = pNew;
    }

    // Makes the SSL object for socket, reading and writing through it.
    bool Begin(CTlsContext& context, CSocket& socket) {
        SSL_free(pSsl);
        link = CSocketLink{&socket, 0, false};
        strError.clear();
        pSsl = SSL_new(context.Impl().pContext);
        BIO* pBio = pSsl != nullptr ? BIO_new(LinkMethod()) : nullptr;
        if (pBio == nullptr) {
            strError = TakeOpenSslError("TLS cannot be set up");
            return false;
        }
        BIO_set_data(pBio, &link);
        BIO_set_init(pBio, 1);
        SSL_set_bio(pSsl, pBio, pBio);
        return true;
    }

    // What a failed call of OpenSSL means, for the log.
    void NoteFailure(int nResult, const char* pszWhat) {
        const int nReason = SSL_get_error(pSsl, nResult);
        if (nReason == SSL_ERROR_SSL) {
            const long nVerify = SSL_get_verify_result(pSsl);
            if (nVerify != X509_V_OK) {
                ERR_clear_error();
                strError = std::string("certificate verify failed: ") +
                           X509_verify_cert_error_string(nVerify);
                return;
            }
            strError = TakeOpenSslError(pszWhat);
            return;
        }
        ERR_clear_error();
        if (link.nSocketError != 0) {
            strError = std::string(pszWhat) + ": the connection failed";
        } else if (link.bEnded || nReason == SSL_ERROR_ZERO_RETURN ||
                   nReason == SSL_ERROR_SYSCALL) {
            strError = std::string(pszWhat) + ": the connection ended";
        } else {
            strError = pszWhat;
        }
    }

    void End() {
        SSL_free(pSsl);
        pSsl = nullptr;
    }
};

CTlsStream::CTlsStream() : m_pImpl(std::make_unique<CImpl>()) {}
CTlsStream::~CTlsStream() = default;
CTlsStream::CTlsStream(CTlsStream&& other) noexcept : m_pImpl(std::make_unique<CImpl>()) {
    std::swap(m_pImpl, other.m_pImpl);
    if (m_pImpl->pSsl != nullptr) {
        // The link moved with the impl; its BIO still points at it.
        BIO_set_data(SSL_get_rbio(m_pImpl->pSsl), &m_pImpl->link);
    }
}
CTlsStream& CTlsStream::operator=(CTlsStream&& other) noexcept {
    if (this != &other) {
        std::swap(m_pImpl, other.m_pImpl);
        other.Drop();
    }
    return *this;
}

bool CTlsStream::Accept(CTlsContext& context, CSocket& socket, bool bNewSessions) {
    if (!m_pImpl->Begin(context, socket)) {
        return false;
    }
    if (!bNewSessions) {
        SSL_set_num_tickets(m_pImpl->pSsl, 0);
    }
    const int nResult = SSL_accept(m_pImpl->pSsl);
    if (nResult != 1) {
        m_pImpl->NoteFailure(nResult, "TLS handshake failed");
        m_pImpl->End();
        return false;
    }
    return true;
}

bool CTlsStream::Connect(CTlsContext& context, CSocket& socket, const std::string& strHost,
                         const CTlsStream* pResumeFrom) {
    if (!m_pImpl->Begin(context, socket)) {
        return false;
    }
    SSL* pSsl = m_pImpl->pSsl;
    // The name the certificate must carry: an address literal is checked
    // as an address, anything else as a host name (also sent as SNI).
    CSocketAddress literal;
    if (ParseIpAddress(strHost, literal)) {
        X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(pSsl), strHost.c_str());
    } else {
        SSL_set_tlsext_host_name(pSsl, strHost.c_str());
        SSL_set1_host(pSsl, strHost.c_str());
    }
    if (pResumeFrom != nullptr) {
        SSL_SESSION* pSession = pResumeFrom->m_pImpl->pSession;
        if (pSession != nullptr) {
            SSL_SESSION_up_ref(pSession);
        } else if (pResumeFrom->m_pImpl->pSsl != nullptr) {
            pSession = SSL_get1_session(pResumeFrom->m_pImpl->pSsl);
        }
        if (pSession != nullptr) {
            SSL_set_session(pSsl, pSession);
            SSL_SESSION_free(pSession);
        }
    }
    const int nResult = SSL_connect(pSsl);
    if (nResult != 1) {
        m_pImpl->NoteFailure(nResult, "TLS handshake failed");
        m_pImpl->End();
        return false;
    }
    return true;
}

bool CTlsStream::IsOpen() const { return m_pImpl->pSsl != nullptr; }

void CTlsStream::KeepSessionOf(const CTlsStream& other) {
    SSL_SESSION* pSession = other.m_pImpl->pSession;
    if (pSession != nullptr && SSL_SESSION_is_resumable(pSession) == 1) {
        SSL_SESSION_up_ref(pSession);
        m_pImpl->SetSession(pSession);
    }
}

bool CTlsStream::IsResumed() const {
    return m_pImpl->pSsl != nullptr && SSL_session_reused(m_pImpl->pSsl) == 1;
}

int64_t CTlsStream::Receive(void* pBuffer, size_t nCount) {
    if (m_pImpl->pSsl == nullptr) {
        return -1;
    }
    const int nWanted = static_cast<int>(std::min<size_t>(nCount, 1 << 30));
    const int nResult = SSL_read(m_pImpl->pSsl, pBuffer, nWanted);
    if (nResult > 0) {
        return nResult;
    }
    const int nReason = SSL_get_error(m_pImpl->pSsl, nResult);
    if (nReason == SSL_ERROR_ZERO_RETURN) {
        return 0;
    }
    m_pImpl->NoteFailure(nResult, "TLS receive failed");
    return -1;
}

bool CTlsStream::SendAll(const void* pBuffer, size_t nCount) {
    if (m_pImpl->pSsl == nullptr) {
        return false;
    }
    const char* pNext = static_cast<const char*>(pBuffer);
    while (nCount > 0) {
        const int nChunk = static_cast<int>(std::min<size_t>(nCount, 1 << 20));
        const int nResult = SSL_write(m_pImpl->pSsl, pNext, nChunk);
        if (nResult <= 0) {
            m_pImpl->NoteFailure(nResult, "TLS send failed");
            return false;
        }
        pNext += nResult;
        nCount -= static_cast<size_t>(nResult);
    }
    return true;
}

bool CTlsStream::SendFile(CFile& file, uint64_t nLength) {
    std::vector<char> buffer(256 * 1024);
    while (nLength > 0) {
        const size_t nWanted = static_cast<size_t>(std::min<uint64_t>(nLength, buffer.size()));
        const int64_t nRead = file.Read(buffer.data(), nWanted);
        if (nRead <= 0) {
            m_pImpl->strError = "the file ended before its length";
            return false;
        }
        if (!SendAll(buffer.data(), static_cast<size_t>(nRead))) {
            return false;
        }
        nLength -= static_cast<uint64_t>(nRead);
    }
    return true;
}

bool CTlsStream::Close() {
    if (m_pImpl->pSsl == nullptr) {
        return false;
    }
    int nResult = SSL_shutdown(m_pImpl->pSsl);
    const bool bSent = nResult >= 0;
    // 0: ours went, the peer's has not come; what it still sends is read
    // and dropped until it does, or the connection ends.
    for (int i = 0; nResult == 0 && i < 64; ++i) {
        char buffer[4096];
        const int nRead = SSL_read(m_pImpl->pSsl, buffer, sizeof(buffer));
        if (nRead <= 0) {
            nResult = SSL_get_error(m_pImpl->pSsl, nRead) == SSL_ERROR_ZERO_RETURN ? 1 : -1;
            break;
        }
    }
    ERR_clear_error();
    // With the tickets that came until the end.
    m_pImpl->SetSession(SSL_get1_session(m_pImpl->pSsl));
    m_pImpl->End();
    return bSent;
}

void CTlsStream::Drop() {
    if (m_pImpl) {
        m_pImpl->End();
    }
}

std::string CTlsStream::GetError() const { return m_pImpl->strError; }

int CTlsStream::GetSocketError() const { return m_pImpl->link.nSocketError; }

}  // namespace platform
