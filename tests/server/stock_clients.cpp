#include "tests/server/stock_clients.h"

#include <chrono>
#include <cstdio>

namespace {

using testsupport::CProcessOptions;
using testsupport::CProcessResult;

// Above the clients' own network time limits, so that a stalled step shows
// as the client's failure before the run is killed.
constexpr std::chrono::seconds kRunLimit{90};

CProcessResult RunIn(const CStockSession& session, const std::vector<std::string>& vecArgv) {
    CProcessOptions options;
    options.m_strWorkDir = session.strWorkDir;
    options.m_timeLimit = kRunLimit;
    return testsupport::RunProgram(vecArgv, options);
}

// The host part of a URL: an IPv6 address in brackets.
std::string UrlHost(const CStockSession& session) {
    return session.strHost.find(':') != std::string::npos ? "[" + session.strHost + "]"
                                                          : session.strHost;
}

// A remote path as a URL path: everything but unreserved characters and "/"
// percent-encoded, so that a blank stays part of the name.
std::string UrlPath(const std::string& strPath) {
    std::string strEncoded;
    for (unsigned char c : strPath) {
        if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
            c == '-' || c == '.' || c == '_' || c == '~' || c == '/') {
            strEncoded += static_cast<char>(c);
        } else {
            char szHex[4];
            std::snprintf(szHex, sizeof(szHex), "%%%02X", c);
            strEncoded += szHex;
        }
    }
    return strEncoded;
}

// A word of an lftp command: quoted, so that blanks stay in it.
std::string LftpWord(const std::string& strWord) {
    std::string strQuoted = "\"";
    for (char c : strWord) {
        if (c == '"' || c == '\\') {
            strQuoted += '\\';
        }
        strQuoted += c;
    }
    return strQuoted + "\"";
}

}  // namespace

std::vector<std::string> OutputLines(const std::string& strOutput) {
    std::vector<std::string> vecLines;
    size_t nStart = 0;
    while (nStart < strOutput.size()) {
        size_t nEnd = strOutput.find('\n', nStart);
        if (nEnd == std::string::npos) {
            nEnd = strOutput.size();
        }
        std::string strLine = strOutput.substr(nStart, nEnd - nStart);
        if (!strLine.empty() && strLine.back() == '\r') {
            strLine.pop_back();
        }
        vecLines.push_back(strLine);
        nStart = nEnd + 1;
    }
    return vecLines;
}

std::string CStockClient::WhyItCannotRun() const {
    CProcessOptions options;
    options.m_timeLimit = std::chrono::seconds(30);
    CProcessResult probe = testsupport::RunProgram(ProbeArgv(), options);
    if (probe.m_bStarted && !probe.m_bTimedOut && probe.m_nExitStatus == 0) {
        return std::string();
    }
    return Name() + " cannot be run here (" + ProbeArgv()[0] +
           " is missing); scripts/install-deps.sh installs it";
}

std::vector<std::string> CStockClient::ReplyLines(const CProcessResult& result,
                                                  const std::string& /*strCommand*/) const {
    return OutputLines(result.m_strStdout);
}

std::vector<std::string> CCurlClient::Argv(const CStockSession& session,
                                           const std::string& strUrlPath,
                                           const std::vector<std::string>& vecExtra) const {
    // Active mode is curl's --ftp-port; everything else is curl's default.
    std::vector<std::string> vecArgv = {"curl", "--silent", "--show-error"};
    if (session.bActive) {
        vecArgv.insert(vecArgv.end(), {"--ftp-port", session.strHost});
    }
    if (!session.strCaFile.empty()) {
        vecArgv.insert(vecArgv.end(), {"--ssl-reqd", "--cacert", session.strCaFile});
    }
    vecArgv.insert(vecArgv.end(), {"--max-time", "60", "--user",
                                   session.strUser + ":" + session.strPassword,
                                   "ftp://" + UrlHost(session) + ":" +
                                       std::to_string(session.nPort) + "/" + strUrlPath});
    vecArgv.insert(vecArgv.end(), vecExtra.begin(), vecExtra.end());
    return vecArgv;
}

CProcessResult CCurlClient::RunUrl(const CStockSession& session, const std::string& strRemote,
                                   const std::vector<std::string>& vecExtra) const {
    return RunIn(session, Argv(session, UrlPath(strRemote), vecExtra));
}

CProcessResult CCurlClient::Run(const CStockSession& session, EStockOperation operation,
                                const std::vector<std::string>& vecArguments) const {
    switch (operation) {
        case EStockOperation::List:
            // A URL that ends in "/" is listed with LIST; --request names
            // another listing command.
            return vecArguments.empty()
                       ? RunUrl(session, "", {})
                       : RunUrl(session, "", {"--request", "LIST " + vecArguments[0]});
        case EStockOperation::Get:
            return RunUrl(session, vecArguments[0], {"--output", vecArguments[1]});
        case EStockOperation::Put:
            return RunUrl(session, vecArguments[1], {"--upload-file", vecArguments[0]});
        case EStockOperation::Delete:
            return RunUrl(session, "",
                          {"--quote", "DELE " + vecArguments[0], "--output", "/dev/null"});
        case EStockOperation::Quote:
            // curl shows the dialogue only in its verbose trace.
            return RunUrl(session, "",
                          {"--verbose", "--quote", vecArguments[0], "--output", "/dev/null"});
    }
    return CProcessResult();
}

std::vector<std::string> CCurlClient::ReplyLines(const CProcessResult& result,
                                                 const std::string& strCommand) const {
    // The trace has "> " before what curl sent and "< " before each line it
    // received.
    std::vector<std::string> vecReply;
    bool bAfterCommand = false;
    for (const std::string& strLine : OutputLines(result.m_strStderr)) {
        if (!bAfterCommand) {
            bAfterCommand = strLine == "> " + strCommand;
        } else if (strLine.rfind("< ", 0) == 0) {
            vecReply.push_back(strLine.substr(2));
            if (vecReply.back().size() >= 4 && vecReply.back()[3] == ' ') {
                break;
            }
        }
    }
    return vecReply;
}

CProcessResult CLftpClient::RunCommands(const CStockSession& session,
                                        const std::string& strCommands) const {
    // lftp's defaults, active mode when asked for; a bounded wait and one
    // attempt, so that a failure shows at once instead of being retried.
    return RunIn(session,
                 {"lftp", "-c",
                  std::string(session.bActive ? "set ftp:passive-mode off; " : "") +
                      (session.strCaFile.empty()
                           ? std::string()
                           : "set ftp:ssl-force true; set ftp:ssl-protect-data true; "
                             "set ssl:ca-file " +
                                 LftpWord(session.strCaFile) + "; ") +
                      "set net:max-retries 1; set net:timeout 10; open -u " +
                      LftpWord(session.strUser + "," + session.strPassword) + " ftp://" +
                      UrlHost(session) + ":" + std::to_string(session.nPort) + "; " +
                      strCommands});
}

CProcessResult CLftpClient::Run(const CStockSession& session, EStockOperation operation,
                                const std::vector<std::string>& vecArguments) const {
    switch (operation) {
        case EStockOperation::List:
            // lftp passes the words of "ls" on as they are.
            return RunCommands(session, vecArguments.empty() ? "ls" : "ls " + vecArguments[0]);
        case EStockOperation::Get:
            return RunCommands(
                session, "get " + LftpWord(vecArguments[0]) + " -o " + LftpWord(vecArguments[1]));
        case EStockOperation::Put:
            return RunCommands(
                session, "put " + LftpWord(vecArguments[0]) + " -o " + LftpWord(vecArguments[1]));
        case EStockOperation::Delete:
            return RunCommands(session, "rm " + LftpWord(vecArguments[0]));
        case EStockOperation::Quote:
            // "quote" prints the server's reply on standard output.
            return RunCommands(session, "quote " + vecArguments[0]);
    }
    return CProcessResult();
}

CProcessResult CFtplibClient::Run(const CStockSession& session, EStockOperation operation,
                                  const std::vector<std::string>& vecArguments) const {
    static const char* const kOperations[] = {"list", "get", "put", "delete", "quote"};
    std::vector<std::string> vecArgv = {"python3",
                                        FTPLIB_PEER_PATH,
                                        session.strHost,
                                        std::to_string(session.nPort),
                                        session.bActive ? "active" : "passive",
                                        session.strCaFile.empty() ? "-" : session.strCaFile,
                                        session.strUser,
                                        session.strPassword,
                                        kOperations[static_cast<int>(operation)]};
    vecArgv.insert(vecArgv.end(), vecArguments.begin(), vecArguments.end());
    return RunIn(session, vecArgv);
}

void CStockClientTest::StartServerFor(const CStockClient& client) {
    const std::string strWhy = client.WhyItCannotRun();
    if (!strWhy.empty()) {
        GTEST_SKIP() << strWhy;
    }
    std::string strTls;
    if (m_route.bTls) {
        m_certs = MakeTestCertificates(m_certDir.Path());
        ASSERT_EQ(m_certs.strError, "");
        strTls = "TlsCertificate=" + m_certs.strServerCert + "\nTlsKey=" + m_certs.strServerKey +
                 "\nTlsRequired=Yes\n";
    }
    ASSERT_TRUE(
        m_server.WriteSettings(m_served.Path(), kWelcome, {{kUser, kPassword}}, strTls));
    ASSERT_TRUE(m_server.Start()) << m_server.Error();
}

CStockSession CStockClientTest::Session(const std::string& strPassword) const {
    return {m_server.Port(), kUser,           strPassword,
            m_local.Path(),  m_route.pszHost, m_route.bActive,
            m_route.bTls ? m_certs.strCa : std::string()};
}
