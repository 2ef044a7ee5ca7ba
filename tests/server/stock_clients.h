#pragma once

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "tests/server/server_program.h"
#include "tests/support/certs.h"
#include "tests/support/process.h"
#include "tests/support/tempdir.h"

// Stock FTP clients against the real TandrelServer: curl, lftp and Python's
// ftplib, peers we did not write, so what both sides assume about the wire is
// checked for real. They run with their own defaults (passive data
// connections), or in active mode when the session asks for it. Linux
// programs: these tests are not part of the Windows build.

// Where a client finds the server and as whom it logs in.
struct CStockSession {
    int nPort = 0;
    std::string strUser;
    std::string strPassword;
    std::string strWorkDir;  // the client's current folder
    std::string strHost = "127.0.0.1";  // or "::1"
    bool bActive = false;               // the server connects for the data
    // TLS on every connection, verified against this CA file; empty: none.
    std::string strCaFile;
};

// How a client reaches the server in a test: the address it connects to,
// and whether it asks for active mode.
struct CStockRoute {
    const char* pszName;
    const char* pszHost;
    bool bActive;
    bool bTls = false;  // the server requires TLS, the client uses it
};

// What one run of a stock client does.
enum class EStockOperation {
    List,    // LIST, with the argument when there is one; the listing on standard output
    Get,     // the remote path, the local path
    Put,     // the local path, the remote path
    Delete,  // the remote path
    Quote,   // one command sent as it stands, through the client's raw-command feature
};

// One stock client. Each operation is one run of the client: it connects,
// logs in, does the one thing and quits; the result is the run's.
class CStockClient {
public:
    virtual ~CStockClient() = default;
    virtual std::string Name() const = 0;
    // Empty when the client can be run here, else why not and what to do.
    std::string WhyItCannotRun() const;

    testsupport::CProcessResult List(const CStockSession& session,
                                     const std::string& strArgument) const {
        return Run(session, EStockOperation::List,
                   strArgument.empty() ? std::vector<std::string>{}
                                       : std::vector<std::string>{strArgument});
    }
    testsupport::CProcessResult Get(const CStockSession& session, const std::string& strRemote,
                                    const std::string& strLocal) const {
        return Run(session, EStockOperation::Get, {strRemote, strLocal});
    }
    testsupport::CProcessResult Put(const CStockSession& session, const std::string& strLocal,
                                    const std::string& strRemote) const {
        return Run(session, EStockOperation::Put, {strLocal, strRemote});
    }
    testsupport::CProcessResult Delete(const CStockSession& session,
                                       const std::string& strRemote) const {
        return Run(session, EStockOperation::Delete, {strRemote});
    }
    // Sends strCommand as it stands and gives the lines of the server's
    // reply as the client shows them, each without its line end; none when
    // the client shows no reply.
    std::vector<std::string> Quote(const CStockSession& session, const std::string& strCommand,
                                   testsupport::CProcessResult& result) const {
        result = Run(session, EStockOperation::Quote, {strCommand});
        return ReplyLines(result, strCommand);
    }

protected:
    virtual testsupport::CProcessResult Run(const CStockSession& session, EStockOperation operation,
                                            const std::vector<std::string>& vecArguments) const = 0;
    // Where the client shows a reply: standard output, unless it says
    // otherwise.
    virtual std::vector<std::string> ReplyLines(const testsupport::CProcessResult& result,
                                                const std::string& strCommand) const;
    // A run that only tells whether the client is installed.
    virtual std::vector<std::string> ProbeArgv() const = 0;
};

class CCurlClient : public CStockClient {
public:
    std::string Name() const override { return "curl"; }
    // curl on the URL of the remote path strRemote (encoded here, so that
    // a blank stays part of the name) with the extra arguments.
    testsupport::CProcessResult RunUrl(const CStockSession& session, const std::string& strRemote,
                                       const std::vector<std::string>& vecExtra) const;
    // The curl command line for the URL path strUrlPath as it stands
    // ("%2F" and the like kept), to run it or start it in the background.
    std::vector<std::string> Argv(const CStockSession& session, const std::string& strUrlPath,
                                  const std::vector<std::string>& vecExtra) const;

protected:
    testsupport::CProcessResult Run(const CStockSession& session, EStockOperation operation,
                                    const std::vector<std::string>& vecArguments) const override;
    std::vector<std::string> ReplyLines(const testsupport::CProcessResult& result,
                                        const std::string& strCommand) const override;
    std::vector<std::string> ProbeArgv() const override { return {"curl", "--version"}; }
};

class CLftpClient : public CStockClient {
public:
    std::string Name() const override { return "lftp"; }
    // lftp's commands strCommands (";" between them) in one session.
    testsupport::CProcessResult RunCommands(const CStockSession& session,
                                            const std::string& strCommands) const;

protected:
    testsupport::CProcessResult Run(const CStockSession& session, EStockOperation operation,
                                    const std::vector<std::string>& vecArguments) const override;
    std::vector<std::string> ProbeArgv() const override { return {"lftp", "--version"}; }
};

class CFtplibClient : public CStockClient {
public:
    std::string Name() const override { return "ftplib"; }

protected:
    testsupport::CProcessResult Run(const CStockSession& session, EStockOperation operation,
                                    const std::vector<std::string>& vecArguments) const override;
    std::vector<std::string> ProbeArgv() const override {
        return {"python3", "-c", "import ftplib"};
    }
};

// Test names and failure messages show a client by its name.
inline void PrintTo(const CStockClient* pClient, std::ostream* pStream) {
    *pStream << pClient->Name();
}
inline void PrintTo(const CStockRoute& route, std::ostream* pStream) {
    *pStream << route.pszName;
}

// Standard output split into lines, each without its LF or CR LF.
std::vector<std::string> OutputLines(const std::string& strOutput);

// A TandrelServer of its own serving m_served, with one user, for one stock
// client; m_local is the client's folder. Skips the test when the client
// is missing.
class CStockClientTest : public ::testing::Test {
protected:
    static constexpr const char* kUser = "op";
    static constexpr const char* kPassword = "pa ss";
    static constexpr const char* kWelcome = "stock peer";

    // Call from SetUp.
    void StartServerFor(const CStockClient& client);
    CStockSession Session(const std::string& strPassword = kPassword) const;
    // What Session gives; set before the first call.
    void SetRoute(const CStockRoute& route) { m_route = route; }

    testsupport::CTempDir m_served;
    testsupport::CTempDir m_local;
    CServerProgram m_server;
    CStockRoute m_route{"passive", "127.0.0.1", false};
    testsupport::CTempDir m_certDir;
    CTestCertificates m_certs;
};
