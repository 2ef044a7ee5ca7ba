#include "server/ftpserver/ftpserver.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <regex>

#include "tests/server/ftp_test_client.h"
#include "tests/support/tempdir.h"

using ::testing::HasSubstr;
using ::testing::Not;

namespace {

const std::string kRefused = "550 Requested action not taken. File or directory unavailable.";
const std::string kNotImplemented = "202 Command not implemented.";
const std::string kBadParameter = "504 Command not implemented for that parameter.";
const std::string kClosing = "221 Service closing control connection.";
const std::string kNotLoggedIn = "530 Not logged in.";

// The trace with every source line number replaced by N, so whole lines can
// be compared.
std::string NormalisedTrace(const std::string& strTrace) {
    return std::regex_replace(strTrace, std::regex("\\([0-9]+, ftpserver\\.cpp, "),
                              "(N, ftpserver.cpp, ");
}

class FtpServerTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_users = {{"alice", "secret"}, {"bob", "pw"}, {"alice", "other"}};
        StartServer(&m_users, false);
    }

    void StartServer(const std::vector<CFileSyncServerUser>* pUsers, bool bSingleSession) {
        m_server.Stop();
        m_nPort = FindFreePort();
        ASSERT_GT(m_nPort, 0);
        m_server.SetTimeoutForTesting(m_nTimeoutMs);
        const std::string strWelcome = "Tandrel test";
        ASSERT_TRUE(m_server.Start([this] { ++m_nQuitRequests; }, bSingleSession, pUsers,
                                   &strWelcome, m_nPort, m_dir.Path() + "/"));
    }

    // A client that has seen the greeting.
    void Greet(CFtpTestClient& client) {
        ASSERT_TRUE(client.Connect(m_nPort));
        ASSERT_EQ(client.ReadLine(), "220 Tandrel test");
    }

    void LogIn(CFtpTestClient& client, const std::string& strUser = "alice",
               const std::string& strPassword = "secret") {
        Greet(client);
        ASSERT_EQ(client.Command("USER " + strUser), "331 User name Ok, need password.");
        ASSERT_EQ(client.Command("PASS " + strPassword), "230 Logged in.");
    }

    testsupport::CTempDir m_dir;
    std::vector<CFileSyncServerUser> m_users;
    CFtpServer m_server;
    int m_nPort = 0;
    int m_nTimeoutMs = 5000;
    std::atomic<int> m_nQuitRequests{0};
};

TEST_F(FtpServerTest, AnswersTheCommandSet) {
    struct Case {
        std::string strLine;
        std::string strReply;
    };
    const Case cases[] = {
        {"NOOP", "200 Done"},
        {"noop", "200 Done"},
        {"SYST", "215 <System>"},
        {"HELP me", "211 <Help>"},
        {"PWD", "257 \"/\""},
        {"CWD /", "200 \"/\""},
        {"CWD  /  ", "200 \"/\""},
        {"CWD .", kRefused},
        {"CWD ..", kRefused},
        {"CWD", kRefused},
        {"CWD sub", kRefused},
        {"TYPE I", "200 Done"},
        {"type A", "200 Done"},
        {"TYPE A N", "200 Done"},
        {"TYPE a", kBadParameter},
        {"TYPE A  N", kBadParameter},
        {"TYPE L 8", kBadParameter},
        {"STRU f", "200 Done"},
        {"STRU R", kBadParameter},
        {"MODE s", "200 Done"},
        {"MODE B", kBadParameter},
        {"OPTS utf8 on", "200 Done"},
        {"OPTS UTF8 OFF", kBadParameter},
        {"XYZ", kNotImplemented},
        {"", kNotImplemented},
        {"NOOP\tx", kNotImplemented},
        {"  NOOP  ", "200 Done"},
    };
    CFtpTestClient client;
    LogIn(client);
    for (const Case& c : cases) {
        EXPECT_EQ(client.Command(c.strLine), c.strReply) << c.strLine;
    }
    EXPECT_EQ(client.Command("QUIT"), kClosing);
    EXPECT_TRUE(client.IsClosedByServer());
}

TEST_F(FtpServerTest, TimeAnswersTheLocalClockToTheMillisecond) {
    CFtpTestClient client;
    LogIn(client);
    const std::regex pattern("200 20\\d\\d-[01]\\d-[0-3]\\d [0-2]\\d:[0-5]\\d:[0-6]\\d\\.\\d{3}");
    EXPECT_TRUE(std::regex_match(client.Command("TIME"), pattern));
    EXPECT_TRUE(std::regex_match(client.Command("time with an argument"), pattern));
}

TEST_F(FtpServerTest, LoginRules) {
    struct Case {
        const char* pszName;
        std::vector<std::pair<std::string, std::string>> exchange;  // line sent, reply
    };
    const Case cases[] = {
        {"first command must be USER", {{"NOOP", kNotLoggedIn}}},
        {"unknown user gets no 331", {{"USER carol", kNotLoggedIn}}},
        {"user names keep their case", {{"USER Alice", kNotLoggedIn}}},
        {"passwords keep their case",
         {{"user alice", "331 User name Ok, need password."}, {"PASS SECRET", kNotLoggedIn}}},
        {"the first of two equal names counts",
         {{"USER alice", "331 User name Ok, need password."}, {"PASS other", kNotLoggedIn}}},
        {"the second command must be PASS",
         {{"USER bob", "331 User name Ok, need password."}, {"NOOP", kNotLoggedIn}}},
        {"the built-in account is not there when users are configured",
         {{"USER vexil", kNotLoggedIn}}},
        {"commands are upper-cased",
         {{"uSeR bob", "331 User name Ok, need password."}, {"pass pw", "230 Logged in."}}},
    };
    for (const Case& c : cases) {
        CFtpTestClient client;
        Greet(client);
        for (const auto& [strLine, strReply] : c.exchange) {
            EXPECT_EQ(client.Command(strLine), strReply) << c.pszName;
        }
        if (c.exchange.back().second == kNotLoggedIn) {
            EXPECT_TRUE(client.IsClosedByServer()) << c.pszName;
        }
    }
}

TEST_F(FtpServerTest, WithoutAUserListOnlyTheBuiltInAccountLogsIn) {
    StartServer(nullptr, false);
    CFtpTestClient client;
    LogIn(client, "vexil", "vexil");

    std::vector<CFileSyncServerUser> noUsers;
    StartServer(&noUsers, false);
    CFtpTestClient refused;
    Greet(refused);
    EXPECT_EQ(refused.Command("USER vexil"), kNotLoggedIn);
}

TEST_F(FtpServerTest, TheEngineKeepsItsOwnCopyOfTheUsers) {
    m_users.clear();
    m_users.push_back({"mallory", "x"});
    CFtpTestClient client;
    LogIn(client, "bob", "pw");
}

TEST_F(FtpServerTest, UserOrPassAfterLoginEndTheSession) {
    for (const char* pszCommand : {"USER alice", "PASS secret"}) {
        CFtpTestClient client;
        LogIn(client);
        EXPECT_EQ(client.Command(pszCommand), "332 Need account for login.");
        EXPECT_EQ(client.ReadLine(), kClosing);
        EXPECT_TRUE(client.IsClosedByServer());
    }
}

TEST_F(FtpServerTest, OneClientAtATime) {
    CFtpTestClient first;
    LogIn(first);
    CFtpTestClient second;
    EXPECT_FALSE(second.Connect(m_nPort, 300));
    EXPECT_EQ(first.Command("QUIT"), kClosing);
    CFtpTestClient third;
    LogIn(third);
    EXPECT_EQ(m_nQuitRequests, 0);
}

TEST_F(FtpServerTest, QuitInSingleSessionModeStopsTheServer) {
    StartServer(&m_users, true);
    {
        // A session that just drops its connection leaves the server listening.
        CFtpTestClient dropped;
        LogIn(dropped);
    }
    CFtpTestClient client;
    LogIn(client);
    EXPECT_EQ(client.Command("QUIT"), kClosing);
    EXPECT_TRUE(client.IsClosedByServer());
    for (int i = 0; i < 250 && m_nQuitRequests == 0; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_EQ(m_nQuitRequests, 1);
    CFtpTestClient late;
    EXPECT_FALSE(late.Connect(m_nPort, 300));
}

TEST_F(FtpServerTest, StopClosesASessionWithoutAReply) {
    CFtpTestClient client;
    LogIn(client);
    m_server.Stop();
    EXPECT_TRUE(client.IsClosedByServer());
    CFtpTestClient late;
    EXPECT_FALSE(late.Connect(m_nPort, 300));
}

TEST_F(FtpServerTest, StopEndsAServerThatWaitsForAClient) {
    for (int i = 0; i < 20; ++i) {
        StartServer(&m_users, false);
        m_server.Stop();
    }
    CFtpTestClient late;
    EXPECT_FALSE(late.Connect(m_nPort, 300));
}

TEST_F(FtpServerTest, LinesThatArriveTogetherAreAnsweredInTurn) {
    CFtpTestClient client;
    Greet(client);
    ASSERT_TRUE(client.SendRaw("USER bob\r\nPASS pw\r\nNOOP\nSYST\r\n\r\nPWD"));
    EXPECT_EQ(client.ReadLine(), "331 User name Ok, need password.");
    EXPECT_EQ(client.ReadLine(), "230 Logged in.");
    EXPECT_EQ(client.ReadLine(), "200 Done");
    EXPECT_EQ(client.ReadLine(), "215 <System>");
    EXPECT_EQ(client.ReadLine(), "257 \"/\"");
}

TEST_F(FtpServerTest, GarbageEndsOnlyItsOwnSession) {
    const std::string garbage[] = {
        std::string("\0\xFF\xFE\x01NOOP\r\n", 10),
        std::string("\xC3\x28\xA0\xA1 \xF0\x28\x8C\x28\r\n"),
        std::string(4096, 'A'),
        std::string(3 * 1024 * 1024, 'B') + "\r\n",
    };
    for (const std::string& strGarbage : garbage) {
        {
            CFtpTestClient client;
            Greet(client);
            client.SendRaw(strGarbage);
            client.ReadLine();
        }
        {
            CFtpTestClient client;
            LogIn(client);
            client.SendRaw(strGarbage);
            client.ReadLine();
        }
        CFtpTestClient next;
        LogIn(next);
        EXPECT_EQ(next.Command("NOOP"), "200 Done");
    }
}

TEST_F(FtpServerTest, ASilentClientIsDisconnected) {
    m_nTimeoutMs = 300;
    StartServer(&m_users, false);
    CFtpTestClient client;
    LogIn(client);
    EXPECT_TRUE(client.IsClosedByServer(5000));
    CFtpTestClient next;
    LogIn(next);
}

TEST_F(FtpServerTest, TraceLinesNameEveryEvent) {
    m_server.Stop();
    ::testing::internal::CaptureStdout();
    StartServer(&m_users, false);
    {
        CFtpTestClient client;
        LogIn(client);
        client.Command("PASS");
    }
    {
        CFtpTestClient client;
        LogIn(client);
        client.Command("QUIT");
        client.IsClosedByServer();
    }
    m_server.Stop();
    std::string strTrace = "\n" + NormalisedTrace(::testing::internal::GetCapturedStdout());
    const char* expected[] = {
        "FTP Server started",
        "Connected to 127.0.0.1",
        "S: 220 Tandrel test",
        "R: USER alice",
        "S: 331 User name Ok, need password.",
        "R: PASS (hidden)",
        "S: 230 Logged in.",
        "R: PASS ",
        "S: 332 Need account for login.",
        "Disconnected from 127.0.0.1",
        "R: QUIT ",
        "S: 221 Service closing control connection.",
        "FTP Server stopped",
    };
    for (const char* pszMessage : expected) {
        EXPECT_THAT(strTrace, HasSubstr(std::string("\n") + pszMessage +
                                        " (N, ftpserver.cpp, 00000000)\n"))
            << pszMessage;
    }
    EXPECT_THAT(strTrace, Not(HasSubstr("secret")));
}

TEST_F(FtpServerTest, APortInUseEndsTheThreadAfterItsTrace) {
    m_server.Stop();
    platform::CSocket holder;
    ASSERT_TRUE(holder.Create());
    ASSERT_TRUE(holder.Bind({0, static_cast<uint16_t>(m_nPort)}));
    ASSERT_TRUE(holder.Listen(1));
    ::testing::internal::CaptureStdout();
    const std::string strWelcome = "x";
    ASSERT_TRUE(m_server.Start({}, false, &m_users, &strWelcome, m_nPort, m_dir.Path()));
    // The thread ends by itself; Stop must not come before it has tried.
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    m_server.Stop();
    std::string strTrace = NormalisedTrace(::testing::internal::GetCapturedStdout());
    char szBindFailed[64];
    std::snprintf(szBindFailed, sizeof(szBindFailed), "(N, ftpserver.cpp, %08d)", EADDRINUSE);
    EXPECT_THAT(strTrace, HasSubstr(std::string("\nbind(...) failed ") + szBindFailed +
                                    "\n*** FTP Server stopped *** (N, ftpserver.cpp, 00000000)\n"));
}

}  // namespace
