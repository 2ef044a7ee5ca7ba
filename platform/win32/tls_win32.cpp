#include "platform/tls.h"

// This build has no TLS yet: the Windows programs are built without
// OpenSSL, and the system's own TLS (Schannel) is not wired in. Every
// context fails to load with a cause that says so, so a server told to
// offer TLS does not start and a client told to use it does not connect.

namespace platform {

namespace {
const char* const kNoTls = "this build of the program has no TLS";
}

bool IsTlsAvailable() { return false; }

struct CTlsContext::CImpl {};

CTlsContext::CTlsContext(std::unique_ptr<CImpl> pImpl) : m_pImpl(std::move(pImpl)) {}
CTlsContext::~CTlsContext() = default;

std::unique_ptr<CTlsContext> CTlsContext::ForServer(const std::string& /*strCertificateFile*/,
                                                    const std::string& /*strKeyFile*/,
                                                    std::string& strError) {
    strError = kNoTls;
    return nullptr;
}

std::unique_ptr<CTlsContext> CTlsContext::ForClient(const std::string& /*strCaFile*/,
                                                    std::string& strError) {
    strError = kNoTls;
    return nullptr;
}

struct CTlsStream::CImpl {};

CTlsStream::CTlsStream() : m_pImpl(std::make_unique<CImpl>()) {}
CTlsStream::~CTlsStream() = default;
CTlsStream::CTlsStream(CTlsStream&& other) noexcept = default;
CTlsStream& CTlsStream::operator=(CTlsStream&& other) noexcept = default;
bool CTlsStream::Accept(CTlsContext& /*context*/, CSocket& /*socket*/, bool /*bNewSessions*/) {
    return false;
}
bool CTlsStream::Connect(CTlsContext& /*context*/, CSocket& /*socket*/,
                         const std::string& /*strHost*/, const CTlsStream* /*pResumeFrom*/) {
    return false;
}
bool CTlsStream::IsOpen() const { return false; }
bool CTlsStream::IsResumed() const { return false; }
void CTlsStream::KeepSessionOf(const CTlsStream& /*other*/) {}
int64_t CTlsStream::Receive(void* /*pBuffer*/, size_t /*nCount*/) { return -1; }
bool CTlsStream::SendAll(const void* /*pBuffer*/, size_t /*nCount*/) { return false; }
bool CTlsStream::SendFile(CFile& /*file*/, uint64_t /*nLength*/) { return false; }
bool CTlsStream::Close() { return false; }
void CTlsStream::Drop() {}
std::string CTlsStream::GetError() const { return kNoTls; }
int CTlsStream::GetSocketError() const { return 0; }

}  // namespace platform
