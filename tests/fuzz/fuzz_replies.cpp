// The client's reading of server replies: the fuzzer's bytes are everything
// the server says, and the client goes through its command-level steps
// (login, binary type, a digest, then reply after reply) until they run out.
// The primitives serve the bytes from memory, so no socket is involved.

#include <cstdlib>
#include <string>

#include "client/transfer/ftpsockclient.h"

namespace {

class CScriptedServerClient : public CFtpSockClientBase {
public:
    CScriptedServerClient(const uint8_t* pData, size_t nSize) : m_pData(pData), m_nSize(nSize) {
        m_bConnected = true;
    }

    bool OpenDataPort() override { return false; }
    bool CreateCommandSocket() override { return true; }
    void DeleteCommandSocket() override {}
    bool HasNoCommandSocket() override { return false; }
    int64_t CommandSend(const char*, size_t nLength) override {
        return static_cast<int64_t>(nLength);
    }
    int64_t CommandReceive(char* pByte) override {
        if (m_nNext >= m_nSize) {
            return 0;
        }
        *pByte = static_cast<char>(m_pData[m_nNext++]);
        return 1;
    }
    void CloseDataListener() override {}
    int64_t DataSend(const char*, size_t) override { return -1; }
    int64_t DataReceive(char*, size_t) override { return -1; }
    void CloseDataConnection() override {}
    bool Get(const std::string&, const std::string&) override { return false; }
    bool Put(const std::string&, const std::string&) override { return false; }
    bool List(const std::string&, std::string*) override { return false; }

    bool IsExhausted() const { return m_nNext >= m_nSize; }

private:
    const uint8_t* m_pData;
    size_t m_nSize;
    size_t m_nNext = 0;
};

// A reply taken as complete ends with CR LF, and its last line has a blank
// after its code.
void CheckReply(const CScriptedServerClient& client) {
    if (client.m_nReplyCode < 0 || client.m_nReplyCode > 999) {
        std::abort();
    }
    if (client.m_nReplyCode == CFtpSockClientBase::kNoReply) {
        return;
    }
    const std::string& strReply = client.m_strLastReply;
    if (strReply.size() < 6 || strReply.compare(strReply.size() - 2, 2, "\r\n") != 0) {
        std::abort();
    }
    const size_t nLastLine = strReply.rfind("\r\n", strReply.size() - 3);
    const size_t nStart = nLastLine == std::string::npos ? 0 : nLastLine + 2;
    if (strReply.size() - nStart < 6 || strReply[nStart + 3] != ' ') {
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize) {
    CScriptedServerClient client(pData, nSize);
    client.ReadReply();
    CheckReply(client);
    client.Login("op", "pw");
    CheckReply(client);
    client.SetBinaryType();
    CheckReply(client);
    client.GetRemoteDigest("a.txt");
    CheckReply(client);
    while (!client.IsExhausted()) {
        client.ReadReply();
        CheckReply(client);
    }
    client.GetFailureCause();
    return 0;
}
