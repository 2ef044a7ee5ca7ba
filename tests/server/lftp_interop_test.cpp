#include "server/ftpserver/ftpserver.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/server/ftp_test_client.h"
#include "tests/support/process.h"
#include "tests/support/tempdir.h"

// lftp against the engine: a client that resumes transfers, makes folders and
// asks for what the engine does not have. Whatever it tries, no file may end
// up longer, shorter or other than one whole copy.

namespace {

class LftpInteropTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!testsupport::RunProgram({"lftp", "--version"}).m_bStarted) {
            GTEST_SKIP() << "lftp is not installed; scripts/install-deps.sh installs it";
        }
        m_users = {{"op", "pw"}};
        m_nPort = FindFreePort();
        ASSERT_GT(m_nPort, 0);
        m_server.SetTimeoutForTesting(10000);
        const std::string strWelcome = "lftp peer";
        ASSERT_TRUE(m_server.Start([] {}, false, &m_users, &strWelcome, m_nPort,
                                   m_dir.Path() + "/"));
    }

    // Runs lftp's commands in the local folder. Active mode, and no FEAT or
    // TLS before login: the engine takes only USER and PASS there.
    testsupport::CProcessResult Lftp(const std::string& strCommands) {
        testsupport::CProcessOptions options;
        options.m_strWorkDir = m_local.Path();
        options.m_timeLimit = std::chrono::seconds(60);
        return testsupport::RunProgram(
            {"lftp", "-c",
             "set ftp:passive-mode off; set ftp:use-feat off; set ftp:ssl-allow no; "
             "set net:max-retries 1; set net:timeout 10; open -u op,pw ftp://127.0.0.1:" +
                 std::to_string(m_nPort) + "; " + strCommands},
            options);
    }

    testsupport::CTempDir m_dir;
    testsupport::CTempDir m_local;
    std::vector<CFileSyncServerUser> m_users;
    CFtpServer m_server;
    int m_nPort = 0;
};

TEST_F(LftpInteropTest, ResumedTransfersLeaveEveryFileWhole) {
    const std::string strWhole = TestBytes(100000);
    struct Case {
        const char* pszCommand;
        const char* pszName;
        bool bServerHasPart;  // else the local side has the first half
    };
    const Case cases[] = {
        {"get -c down.bin", "down.bin", false},
        {"put -c up.bin", "up.bin", true},
    };
    for (const Case& c : cases) {
        const std::string strHalf = strWhole.substr(0, 50000);
        ASSERT_TRUE((c.bServerHasPart ? m_dir : m_local).WriteFile(c.pszName, strHalf));
        ASSERT_TRUE((c.bServerHasPart ? m_local : m_dir).WriteFile(c.pszName, strWhole));
        testsupport::CProcessResult result = Lftp(c.pszCommand);
        EXPECT_EQ(result.m_nExitStatus, 0) << c.pszCommand << ": " << result.m_strStderr;
        EXPECT_TRUE(m_dir.ReadFile(c.pszName) == strWhole) << c.pszCommand;
        EXPECT_TRUE(m_local.ReadFile(c.pszName) == strWhole) << c.pszCommand;
    }
    EXPECT_EQ(m_dir.List(), (std::vector<std::string>{"down.bin", "up.bin"}));
}

TEST_F(LftpInteropTest, WhatTheEngineCannotDoFailsInLftp) {
    ASSERT_TRUE(m_dir.WriteFile("a.txt", "a"));
    for (const char* pszCommand : {"mkdir new", "rmdir new", "mv a.txt b.txt"}) {
        testsupport::CProcessResult result = Lftp(pszCommand);
        EXPECT_NE(result.m_nExitStatus, 0) << pszCommand;
    }
    EXPECT_EQ(m_dir.List(), std::vector<std::string>{"a.txt"});
}

}  // namespace
