#include "server/ftpserver/ftpserver.h"

#include <sys/stat.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <mutex>
#include <regex>

#include "common/md5.h"
#include "platform/clock.h"
#include "tests/server/ftp_test_client.h"
#include "tests/support/certs.h"
#include "tests/support/fsutil.h"
#include "tests/support/tempdir.h"

using ::testing::HasSubstr;
using ::testing::Not;

namespace {

const std::string kRefused = "550 Requested action not taken. File or directory unavailable.";
const std::string kNotImplemented = "502 Command not implemented.";
const std::string kBadParameter = "504 Command not implemented for that parameter.";
const std::string kClosing = "221 Service closing control connection.";
const std::string kNotLoggedIn = "530 Not logged in.";

std::string DigestOf(const std::string& strData) {
    CMD5Checksum digest;
    digest.Update(strData.data(), strData.size());
    return digest.Final();
}

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
        m_server.SetLoginLimitsForTesting(m_nLoginTimeoutMs, m_nLoginPauseMs);
        m_server.SetMaxSessions(m_nMaxSessions);
        m_server.SetLogSink([this](const std::string& strLine) {
            std::lock_guard<std::mutex> lock(m_logMutex);
            m_logLines.push_back(strLine);
        });
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
    std::vector<std::string> LogLines() {
        std::lock_guard<std::mutex> lock(m_logMutex);
        return m_logLines;
    }

    int m_nTimeoutMs = 5000;
    int m_nLoginTimeoutMs = CFtpServer::kLoginTimeoutMs;
    int m_nLoginPauseMs = 0;
    int m_nMaxSessions = 1;
    std::atomic<int> m_nQuitRequests{0};
    std::mutex m_logMutex;
    std::vector<std::string> m_logLines;
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
        // What would append, or open a data connection of another kind,
        // must not look done.
        {"APPE a.txt", kNotImplemented},
        {"ACCT x", "202 Command not implemented."},
        {"ALLO 100", "200 Done"},
        {"ALLO 100 R 10", "200 Done"},
        {"ALLO", "501 Syntax error in parameters or arguments."},
        {"ALLO -5", "501 Syntax error in parameters or arguments."},
        {"ALLO 12x", "501 Syntax error in parameters or arguments."},
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
    const std::string kNeedPassword = "331 User name Ok, need password.";
    struct Case {
        const char* pszName;
        std::vector<std::pair<std::string, std::string>> exchange;  // line sent, reply
    };
    const Case cases[] = {
        {"first command must be USER", {{"NOOP", kNotLoggedIn}}},
        {"an unknown user looks like a known one",
         {{"USER carol", kNeedPassword}, {"PASS pw", kNotLoggedIn}}},
        {"user names keep their case", {{"USER Alice", kNeedPassword}, {"PASS secret", kNotLoggedIn}}},
        {"passwords keep their case", {{"user alice", kNeedPassword}, {"PASS SECRET", kNotLoggedIn}}},
        {"the first of two equal names counts",
         {{"USER alice", kNeedPassword}, {"PASS other", kNotLoggedIn}}},
        {"the second command must be PASS", {{"USER bob", kNeedPassword}, {"NOOP", kNotLoggedIn}}},
        {"the built-in account is not there when users are configured",
         {{"USER vexil", kNeedPassword}, {"PASS vexil", kNotLoggedIn}}},
        {"commands are upper-cased", {{"uSeR bob", kNeedPassword}, {"pass pw", "230 Logged in."}}},
        {"what stock clients ask first is answered",
         {{"SYST", "215 <System>"},
          {"OPTS UTF8 ON", "200 Done"},
          {"opts x", "504 Command not implemented for that parameter."},
          {"FEAT", "211-Features:"},
          {"", " EPRT"},
          {"", " EPSV"},
          {"", " MD5"},
          {"", " PASV"},
          {"", " REST STREAM"},
          {"", " SIZE"},
          {"", " TIME"},
          {"", " UTF8"},
          {"", "211 End"},
          {"AUTH TLS", kNotImplemented},
          {"USER bob", kNeedPassword},
          {"PASS pw", "230 Logged in."}}},
        {"but nothing else", {{"SYST", "215 <System>"}, {"PWD", kNotLoggedIn}}},
    };
    for (const Case& c : cases) {
        CFtpTestClient client;
        Greet(client);
        for (const auto& [strLine, strReply] : c.exchange) {
            EXPECT_EQ(strLine.empty() ? client.ReadLine() : client.Command(strLine), strReply)
                << c.pszName << ": " << strLine;
        }
        if (c.exchange.back().second == kNotLoggedIn) {
            EXPECT_TRUE(client.IsClosedByServer()) << c.pszName;
        }
    }
}

TEST_F(FtpServerTest, AFailedLoginIsLoggedWithoutThePasswordAndAnsweredLate) {
    m_nLoginPauseMs = CFtpServer::kLoginFailurePauseMs;
    StartServer(&m_users, false);
    for (const char* pszUser : {"alice", "nobody\x01"}) {
        CFtpTestClient client;
        Greet(client);
        ASSERT_EQ(client.Command(std::string("USER ") + pszUser), "331 User name Ok, need password.");
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(client.Command("PASS guess-" + std::string(pszUser)), kNotLoggedIn);
        EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(900))
            << pszUser;
    }
    EXPECT_EQ(LogLines(), (std::vector<std::string>{
                              "Login failed: user 'alice' from 127.0.0.1",
                              "Login failed: user 'nobody?' from 127.0.0.1"}));
    // A control byte in a name does not reach the log as it is.
    CFtpTestClient client;
    Greet(client);
    ASSERT_EQ(client.Command(std::string("USER a\x1b[2Jb")), "331 User name Ok, need password.");
    EXPECT_EQ(client.Command("PASS x"), kNotLoggedIn);
    EXPECT_EQ(LogLines().back(), "Login failed: user 'a?[2Jb' from 127.0.0.1");
}

TEST_F(FtpServerTest, AConnectionThatDoesNotLogInInTimeIsClosed) {
    m_nLoginTimeoutMs = 500;
    StartServer(&m_users, false);
    struct Case {
        const char* pszName;
        std::string strSent;  // before falling silent
    };
    const Case cases[] = {
        {"silent from the start", ""},
        {"silent after the user name", "USER bob\r\n"},
        {"trickling one line in pieces", "US"},
    };
    for (const Case& c : cases) {
        CFtpTestClient client;
        Greet(client);
        ASSERT_TRUE(c.strSent.empty() || client.SendRaw(c.strSent));
        if (c.strSent == "US") {
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            ASSERT_TRUE(client.SendRaw("ER"));
        }
        if (c.strSent == "USER bob\r\n") {
            EXPECT_EQ(client.ReadLine(), "331 User name Ok, need password.") << c.pszName;
        }
        EXPECT_EQ(client.ReadLine(3000), kNotLoggedIn) << c.pszName;
        EXPECT_TRUE(client.IsClosedByServer(3000)) << c.pszName;
    }
    EXPECT_EQ(LogLines(), std::vector<std::string>(3, "No login within 500 ms from 127.0.0.1: "
                                                      "connection closed"));
    // The session's own time-out is back once logged in.
    CFtpTestClient client;
    LogIn(client);
    std::this_thread::sleep_for(std::chrono::milliseconds(700));
    EXPECT_EQ(client.Command("NOOP"), "200 Done");
}

TEST_F(FtpServerTest, WithoutAUserListOnlyTheBuiltInAccountLogsIn) {
    StartServer(nullptr, false);
    CFtpTestClient client;
    LogIn(client, "vexil", "vexil");

    std::vector<CFileSyncServerUser> noUsers;
    StartServer(&noUsers, false);
    CFtpTestClient refused;
    Greet(refused);
    EXPECT_EQ(refused.Command("USER vexil"), "331 User name Ok, need password.");
    EXPECT_EQ(refused.Command("PASS vexil"), kNotLoggedIn);
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

TEST_F(FtpServerTest, OneClientAtATimeTheNextOneWaitsItsTurn) {
    CFtpTestClient first;
    LogIn(first);
    // Connected, but not greeted while the first session runs.
    CFtpTestClient second;
    ASSERT_TRUE(second.Connect(m_nPort));
    EXPECT_EQ(second.ReadLine(300), "");
    EXPECT_EQ(first.Command("QUIT"), kClosing);
    EXPECT_EQ(second.ReadLine(), "220 Tandrel test");
    EXPECT_EQ(second.Command("USER bob"), "331 User name Ok, need password.");
    EXPECT_EQ(second.Command("PASS pw"), "230 Logged in.");
    EXPECT_EQ(m_nQuitRequests, 0);
}

TEST_F(FtpServerTest, SeveralSessionsRunAtOnceUpToTheLimitAndTheRestWait) {
    m_nMaxSessions = 3;
    StartServer(&m_users, false);
    CFtpTestClient clients[3];
    for (CFtpTestClient& client : clients) {
        LogIn(client, "bob", "pw");
    }
    CFtpTestClient fourth;
    ASSERT_TRUE(fourth.Connect(m_nPort));
    EXPECT_EQ(fourth.ReadLine(300), "");
    // Each session keeps its own state.
    EXPECT_EQ(clients[0].Command("CWD /"), "200 \"/\"");
    EXPECT_EQ(clients[2].Command("REST 5"),
              "350 Restarting at 5. Send STORE or RETRIEVE to initiate transfer.");
    EXPECT_EQ(clients[1].Command("PWD"), "257 \"/\"");
    EXPECT_EQ(clients[1].Command("QUIT"), kClosing);
    EXPECT_EQ(fourth.ReadLine(), "220 Tandrel test");
    EXPECT_EQ(fourth.Command("USER alice"), "331 User name Ok, need password.");
    EXPECT_EQ(fourth.Command("PASS secret"), "230 Logged in.");
    // Stop ends every session at once.
    m_server.Stop();
    for (CFtpTestClient* pClient : {&clients[0], &clients[2], &fourth}) {
        EXPECT_TRUE(pClient->IsClosedByServer());
    }
}

// QUIT in single-session mode ends the server for new clients; the sessions
// that run go on to their own end, and only then is the quit asked for.
TEST_F(FtpServerTest, QuitInSingleSessionModeLetsTheOtherSessionsEnd) {
    m_nMaxSessions = 2;
    StartServer(&m_users, true);
    CFtpTestClient quitting;
    CFtpTestClient other;
    LogIn(quitting);
    LogIn(other, "bob", "pw");
    EXPECT_EQ(quitting.Command("QUIT"), kClosing);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    CFtpTestClient late;
    EXPECT_FALSE(late.Connect(m_nPort));
    EXPECT_EQ(m_nQuitRequests, 0);
    EXPECT_EQ(other.Command("NOOP"), "200 Done");
    EXPECT_EQ(other.Command("QUIT"), kClosing);
    for (int i = 0; i < 250 && m_nQuitRequests == 0; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_EQ(m_nQuitRequests, 1);
}

// Clients that replace one file at the same moment, while others read it
// and ask for its digest: every upload is whole, the file ends as one of
// them, a digest is of a whole copy, and no temporary is left. On Windows a
// file that is being read cannot be replaced: an upload that ends then is
// refused (552) and the copy before it stays; and a file may not be opened
// while it is replaced, so a digest or a download may be refused then.
TEST_F(FtpServerTest, ConcurrentUploadsOfOneFileLeaveOneWholeCopy) {
    m_nMaxSessions = 12;
    StartServer(&m_users, false);
    constexpr int kWriters = 6;
    constexpr int kReaders = 4;
    std::vector<std::string> copies;
    std::set<std::string> digests;
    for (int i = 0; i <= kWriters; ++i) {
        copies.push_back(std::string(512 * 1024 + i, static_cast<char>('a' + i)));
        digests.insert(DigestOf(copies.back()));
    }
    ASSERT_TRUE(m_dir.WriteFile("shared.bin", copies[kWriters]));
    std::mutex mutex;
    std::vector<std::string> failures;
    auto fail = [&](const std::string& strWhat) {
        std::lock_guard<std::mutex> lock(mutex);
        failures.push_back(strWhat);
    };
    std::vector<std::thread> threads;
    for (int i = 0; i < kWriters; ++i) {
        threads.emplace_back([&, i] {
            CFtpTestClient client;
            if (!client.Connect(m_nPort) || client.ReadLine() != "220 Tandrel test" ||
                client.Command("USER bob").empty() || client.Command("PASS pw") != "230 Logged in.") {
                fail("writer " + std::to_string(i) + " could not log in");
                return;
            }
            for (int nRound = 0; nRound < 3; ++nRound) {
                CTransferResult put = PassiveTransfer(client, "EPSV", "STOR shared.bin", copies[i]);
#ifdef _WIN32
                if (put.strFinalReply == "552 Requested file action aborted.") {
                    continue;
                }
#endif
                if (put.strFinalReply !=
                    "226 Closing data connection. Requested file action successful.") {
                    fail("writer " + std::to_string(i) + ": " + put.strFirstReply + " / " +
                         put.strFinalReply);
                }
            }
        });
    }
    for (int i = 0; i < kReaders; ++i) {
        threads.emplace_back([&, i] {
            CFtpTestClient client;
            if (!client.Connect(m_nPort) || client.ReadLine() != "220 Tandrel test" ||
                client.Command("USER bob").empty() || client.Command("PASS pw") != "230 Logged in.") {
                fail("reader " + std::to_string(i) + " could not log in");
                return;
            }
            for (int nRound = 0; nRound < 6; ++nRound) {
                const std::string strReply = client.Command("MD5 shared.bin");
#ifdef _WIN32
                // Windows may refuse to open the file while a rename
                // replaces it; a refusal is no mixed copy.
                const bool bRefused = strReply == "552 Requested file action aborted.";
#else
                const bool bRefused = false;
#endif
                if (!bRefused && (strReply.size() < 4 || digests.count(strReply.substr(4)) == 0)) {
                    fail("MD5 gave " + strReply);
                }
                CTransferResult got = PassiveTransfer(client, "EPSV", "RETR shared.bin");
#ifdef _WIN32
                if (got.strFirstReply.rfind("55", 0) == 0) {
                    continue;
                }
#endif
                if (digests.count(DigestOf(got.strData)) == 0) {
                    fail("RETR gave " + std::to_string(got.strData.size()) + " bytes of no copy");
                }
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    EXPECT_THAT(failures, ::testing::IsEmpty());
    const std::string strFinal = m_dir.ReadFile("shared.bin").value_or("");
#ifdef _WIN32
    EXPECT_NE(std::find(copies.begin(), copies.end(), strFinal), copies.end());
#else
    EXPECT_NE(std::find(copies.begin(), copies.end() - 1, strFinal), copies.end() - 1);
#endif
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(m_dir.Path())) {
        names.push_back(entry.path().filename().string());
    }
    EXPECT_THAT(names, ::testing::ElementsAre("shared.bin"));
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
    EXPECT_FALSE(late.Connect(m_nPort));
}

TEST_F(FtpServerTest, StopClosesASessionWithoutAReply) {
    CFtpTestClient client;
    LogIn(client);
    m_server.Stop();
    EXPECT_TRUE(client.IsClosedByServer());
    CFtpTestClient late;
    EXPECT_FALSE(late.Connect(m_nPort));
}

// The cron jobs of a hundred machines that start at the same second: each
// gets its session in turn. A connection the system took for the queue but
// could not fit in it is not refused, it is dropped, and its client waits
// for a greeting that never comes.
TEST_F(FtpServerTest, AHundredClientsThatConnectAtOnceAreEachGreetedInTurn) {
    constexpr int kClients = 100;
    std::vector<CFtpTestClient> clients(kClients);
    for (CFtpTestClient& client : clients) {
        ASSERT_TRUE(client.Connect(m_nPort));
    }
    for (int i = 0; i < kClients; ++i) {
        SCOPED_TRACE(i);
        ASSERT_EQ(clients[static_cast<size_t>(i)].ReadLine(3000), "220 Tandrel test");
        // Before a login QUIT ends the connection as any command does.
        EXPECT_EQ(clients[static_cast<size_t>(i)].Command("QUIT"), "530 Not logged in.");
        clients[static_cast<size_t>(i)].m_socket.Close();
    }
}

TEST_F(FtpServerTest, StopEndsAServerThatWaitsForAClient) {
    for (int i = 0; i < 20; ++i) {
        StartServer(&m_users, false);
        m_server.Stop();
    }
    CFtpTestClient late;
    EXPECT_FALSE(late.Connect(m_nPort));
}

TEST_F(FtpServerTest, LinesThatArriveTogetherAreAnsweredInTurn) {
    CFtpTestClient client;
    Greet(client);
    ASSERT_TRUE(client.SendRaw("USER bob\r\nPASS pw\r\nNOOP\nSYST\r\n\r\nPWD\r\n"));
    EXPECT_EQ(client.ReadLine(), "331 User name Ok, need password.");
    EXPECT_EQ(client.ReadLine(), "230 Logged in.");
    EXPECT_EQ(client.ReadLine(), "200 Done");
    EXPECT_EQ(client.ReadLine(), "215 <System>");
    EXPECT_EQ(client.ReadLine(), "257 \"/\"");
}

TEST_F(FtpServerTest, ACommandEndsAtItsLineEndNotAtTheEndOfAReceive) {
    ASSERT_TRUE(m_dir.WriteFile("important.txt", "keep"));
    ASSERT_TRUE(m_dir.WriteFile("important.txt.bak", "old"));
    ASSERT_TRUE(m_dir.WriteFile("victim.txt", "keep"));
    CFtpTestClient client;
    LogIn(client);
    // Each piece goes out on its own and has arrived before the next is sent.
    auto sendInPieces = [&](const std::vector<std::string>& pieces) {
        for (size_t i = 0; i < pieces.size(); ++i) {
            ASSERT_TRUE(client.SendRaw(pieces[i]));
            if (i + 1 < pieces.size()) {
                EXPECT_EQ(client.ReadLine(100), "") << "a reply before the line ended";
            }
        }
    };
    sendInPieces({"DELE important.txt", ".bak\r\n"});
    EXPECT_EQ(client.ReadLine(), "250 Requested file action completed.");
    EXPECT_EQ(m_dir.List(), (std::vector<std::string>{"important.txt", "victim.txt"}));

    // A CR LF split between two receives is one line end, not an empty line.
    ASSERT_TRUE(client.SendRaw("NOOP\r"));
    EXPECT_EQ(client.ReadLine(), "200 Done");
    ASSERT_TRUE(client.SendRaw("\nSYST\r\n"));
    EXPECT_EQ(client.ReadLine(), "215 <System>");

    // Longer than one receive, but one command: NOOP, whatever follows.
    std::string strPadded = "NOOP ";
    strPadded.resize(4096, 'x');
    sendInPieces({strPadded + "DELE victim.txt", "\r\n"});
    EXPECT_EQ(client.ReadLine(), "200 Done");
    EXPECT_EQ(client.Command("SYST"), "215 <System>");
    EXPECT_EQ(m_dir.ReadFile("victim.txt").value_or(""), "keep");
}

TEST_F(FtpServerTest, AnOverlongLineIsRefusedWholeAndTheSessionGoesOn) {
    ASSERT_TRUE(m_dir.WriteFile("victim.txt", "keep"));
    struct Case {
        size_t nLength;  // of the whole line, its line end not counted
        std::string strReply;
    };
    const Case cases[] = {
        {CFtpServer::kMaxCommandLine, "200 Done"},
        {CFtpServer::kMaxCommandLine + 1, "500 Command line too long."},
        {3 * 1024 * 1024, "500 Command line too long."},
    };
    {
        CFtpTestClient client;
        LogIn(client);
        for (const Case& c : cases) {
            std::string strLine = "NOOP ";
            strLine.resize(c.nLength - std::string(" DELE victim.txt").size(), 'x');
            strLine += " DELE victim.txt";
            EXPECT_EQ(client.Command(strLine), c.strReply) << c.nLength;
            EXPECT_EQ(client.Command("SYST"), "215 <System>") << c.nLength;
        }
    }
    EXPECT_EQ(m_dir.ReadFile("victim.txt").value_or(""), "keep");
    // Before login it is one more line that is not USER.
    CFtpTestClient early;
    Greet(early);
    EXPECT_EQ(early.Command(std::string(CFtpServer::kMaxCommandLine + 1, 'U')), kNotLoggedIn);
}

TEST_F(FtpServerTest, ALineThatNeverEndsIsNeverRun) {
    ASSERT_TRUE(m_dir.WriteFile("victim.txt", "keep"));
    {
        CFtpTestClient client;
        LogIn(client);
        ASSERT_TRUE(client.SendRaw("DELE victim.txt"));
    }
    CFtpTestClient next;
    LogIn(next);
    EXPECT_EQ(m_dir.ReadFile("victim.txt").value_or(""), "keep");
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
            client.ReadLine(500);
        }
        {
            CFtpTestClient client;
            LogIn(client);
            client.SendRaw(strGarbage);
            client.ReadLine(500);
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
        client.Command("MD5 missing.txt");
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
    // A digest that fails keeps its cause.
    char szMissing[64];
    std::snprintf(szMissing, sizeof(szMissing), " (N, ftpserver.cpp, %08d)\n", ENOENT);
    EXPECT_THAT(strTrace, HasSubstr("\nFailed to digest file missing.txt" +
                                    std::string(szMissing) +
                                    "S: 552 Requested file action aborted."));
    EXPECT_THAT(strTrace, Not(HasSubstr("secret")));
}

// Symbolic links: Linux always has them; Windows needs a privilege for
// them, and Wine makes none.
#ifdef _WIN32
constexpr bool kLinksRequired = false;
#else
constexpr bool kLinksRequired = true;
#endif

// The system's code for "address in use": errno on Linux, Windows Sockets'
// own code there.
#ifdef _WIN32
constexpr int kAddressInUse = 10048;  // WSAEADDRINUSE
#else
constexpr int kAddressInUse = EADDRINUSE;
#endif

TEST_F(FtpServerTest, APortInUseFailsTheStartWithItsCause) {
    m_server.Stop();
    platform::CSocket holder;
    ASSERT_TRUE(HoldPort(holder, m_nPort));
    ::testing::internal::CaptureStdout();
    const std::string strWelcome = "x";
    EXPECT_FALSE(m_server.Start({}, false, &m_users, &strWelcome, m_nPort, m_dir.Path()));
    EXPECT_EQ(m_server.GetListenError(), kAddressInUse);
    m_server.Stop();
    std::string strTrace = NormalisedTrace(::testing::internal::GetCapturedStdout());
    char szBindFailed[64];
    std::snprintf(szBindFailed, sizeof(szBindFailed), "(N, ftpserver.cpp, %08d)", kAddressInUse);
    EXPECT_THAT(strTrace, HasSubstr(std::string("\nbind(...) failed ") + szBindFailed +
                                    "\n*** FTP Server stopped *** (N, ftpserver.cpp, 00000000)\n"));
}

TEST_F(FtpServerTest, FilesGoUpAndComeBackByteForByte) {
    ASSERT_TRUE(testsupport::MakeFolder(m_dir.Join("sub")));
    struct Case {
        std::string strName;   // as the client names it
        std::string strOnDisk; // where it lands below the start directory
        size_t nSize;
    };
    const Case cases[] = {
        {"empty.bin", "empty.bin", 0},
        {"one.bin", "one.bin", 1},
        {"/block.bin", "block.bin", 4096},
        {"\\block+1.bin", "block+1.bin", 4097},
        {"two words.bin", "two words.bin", 65536},
        {"sub\\nested.bin", "sub/nested.bin", 3 * 1024 * 1024 + 7},
        {"sub/fwd.bin/", "sub/fwd.bin", 1000},
    };
    CFtpTestClient client;
    LogIn(client);
    for (const Case& c : cases) {
        const std::string strData = TestBytes(c.nSize);
        CTransferResult stored = Transfer(client, "STOR " + c.strName, strData);
        EXPECT_EQ(stored.strFirstReply, "150 File status Ok, opening data connection.");
        EXPECT_EQ(stored.strFinalReply,
                  "226 Closing data connection. Requested file action successful.");
        EXPECT_EQ(m_dir.ReadFile(c.strOnDisk).value_or("<missing>"), strData) << c.strName;

        CTransferResult fetched = Transfer(client, "RETR " + c.strName);
        EXPECT_EQ(fetched.strFirstReply, "150 File status Ok, opening data connection.");
        EXPECT_EQ(fetched.strFinalReply,
                  "226 Closing data connection. Requested file action successful.");
        EXPECT_TRUE(fetched.strData == strData) << c.strName;

        EXPECT_EQ(client.Command("SIZE " + c.strName), "213 " + std::to_string(c.nSize));
        EXPECT_EQ(client.Command("MD5 " + c.strName),
                  "200 " + CMD5Checksum::GetFileDigest(m_dir.Join(c.strOnDisk)));
    }
    // Replacing a file leaves exactly the new content and no stray file.
    ASSERT_EQ(Transfer(client, "STOR one.bin", "xy").strFinalReply.substr(0, 3), "226");
    EXPECT_EQ(m_dir.ReadFile("one.bin").value_or(""), "xy");
    EXPECT_EQ(m_dir.List(), (std::vector<std::string>{"block+1.bin", "block.bin", "empty.bin",
                                                      "one.bin", "sub", "two words.bin"}));
    EXPECT_EQ(client.Command("DELE one.bin"), "250 Requested file action completed.");
    EXPECT_FALSE(m_dir.Exists("one.bin"));
    EXPECT_EQ(client.Command("md5 empty.bin"), "200 d41d8cd98f00b204e9800998ecf8427e");
}

TEST_F(FtpServerTest, AnUploadReplacesTheCopyOnlyWhenItIsWhole) {
    const std::string strNew = TestBytes(100000);
    const std::string kStored = "226 Closing data connection. Requested file action successful.";
    const std::string kAborted = "552 Requested file action aborted.";
    struct Case {
        const char* pszName;
        std::string strAllo;  // sent before the upload, if any
        std::string strReply;
    };
    const Case cases[] = {
        {"no size announced", "", kStored},
        {"the size announced", "ALLO 100000", kStored},
        {"with a record size", "ALLO 100000 R 512", kStored},
        {"more announced than sent", "ALLO 100001", kAborted},
        {"less announced than sent", "ALLO 99999", kAborted},
        {"nothing announced but nothing sent", "ALLO 0", kAborted},
    };
    for (const Case& c : cases) {
        ASSERT_TRUE(m_dir.WriteFile("data.bin", "old"));
        CFtpTestClient client;
        LogIn(client);
        if (!c.strAllo.empty()) {
            EXPECT_EQ(client.Command(c.strAllo), "200 Done") << c.pszName;
        }
        EXPECT_EQ(Transfer(client, "STOR data.bin", strNew).strFinalReply, c.strReply)
            << c.pszName;
        EXPECT_TRUE(m_dir.ReadFile("data.bin").value_or("") ==
                    (c.strReply == kStored ? strNew : "old"))
            << c.pszName;
        EXPECT_EQ(m_dir.List(), std::vector<std::string>{"data.bin"}) << c.pszName;
    }
    // An announcement holds for the next upload only.
    CFtpTestClient client;
    LogIn(client);
    EXPECT_EQ(client.Command("ALLO 5"), "200 Done");
    EXPECT_EQ(Transfer(client, "STOR data.bin", "12345").strFinalReply, kStored);
    EXPECT_EQ(Transfer(client, "STOR data.bin", "123").strFinalReply, kStored);
    EXPECT_EQ(m_dir.ReadFile("data.bin").value_or(""), "123");
}

TEST_F(FtpServerTest, AnUploadWhoseClientIsGoneKeepsTheOldCopy) {
    // A killed client closes its command connection, then its data
    // connection, as if the upload had ended.
    ASSERT_TRUE(m_dir.WriteFile("data.bin", "old"));
    {
        CFtpTestClient client;
        LogIn(client);
        platform::CSocket listener;
        const int nPort = ListenForData(listener);
        ASSERT_GT(nPort, 0);
        ASSERT_EQ(client.Command(LoopbackPortCommand(nPort)), "200 Done");
        ASSERT_TRUE(client.SendRaw("STOR data.bin\r\n"));
        ASSERT_EQ(listener.WaitReadable(5000), 1);
        platform::CSocket data;
        platform::CSocketAddress peer;
        ASSERT_TRUE(listener.Accept(data, peer));
        EXPECT_EQ(client.ReadLine(), "150 File status Ok, opening data connection.");
        const std::string strPart = TestBytes(50000);
        ASSERT_TRUE(data.SendAll(strPart.data(), strPart.size()));
        client.m_socket.Close();
        data.Close();
    }
    // The next session begins once the one before has ended.
    CFtpTestClient next;
    LogIn(next);
    EXPECT_EQ(m_dir.ReadFile("data.bin").value_or(""), "old");
    EXPECT_EQ(m_dir.List(), std::vector<std::string>{"data.bin"});
}

TEST_F(FtpServerTest, ListingShowsOrdinaryFilesAndFoldersWithTheirPermissions) {
    ASSERT_TRUE(m_dir.WriteFile("plain.txt", "12345"));
    ASSERT_TRUE(m_dir.WriteFile("locked.txt", ""));
    ASSERT_TRUE(testsupport::MakeReadOnly(m_dir.Join("locked.txt")));
    ASSERT_TRUE(m_dir.WriteFile(".hidden", "h"));
    ASSERT_TRUE(testsupport::MakeHidden(m_dir.Join(".hidden")));
    ASSERT_TRUE(m_dir.WriteFile("old.txt", "old"));
    ASSERT_TRUE(testsupport::MakeFolder(m_dir.Join("sub")));
    ASSERT_TRUE(m_dir.WriteFile("sub/inner.txt", "inner"));
    ASSERT_TRUE(testsupport::MakeFolder(m_dir.Join(".config")));
    // Modes as an umask of 022 makes them, whatever the test's own umask.
    namespace fs = std::filesystem;
    const fs::perms readable = fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read;
    for (const char* pszName : {"plain.txt", "old.txt"}) {
        fs::permissions(m_dir.Join(pszName), readable | fs::perms::owner_write);
    }
    fs::permissions(m_dir.Join("sub"), readable | fs::perms::owner_write | fs::perms::owner_exec |
                                           fs::perms::group_exec | fs::perms::others_exec);
    fs::permissions(m_dir.Join("locked.txt"), readable);
    if (testsupport::kHasFifos) {
        ASSERT_TRUE(testsupport::MakeFifo(m_dir.Join("pipe")));
    }
    // A link that leads out is not told about; one that stays inside is.
    testsupport::CTempDir outside;
    ASSERT_TRUE(outside.WriteFile("secret.txt", "outside"));
    const bool bLinks = testsupport::MakeLink(outside.Join("secret.txt"), m_dir.Join("out.txt")) &&
                        testsupport::MakeLink(m_dir.Join("plain.txt"), m_dir.Join("in.txt"));
    ASSERT_TRUE(bLinks || !kLinksRequired);
    platform::CDateTime now = platform::GetUtcDateTime();
    ASSERT_TRUE(testsupport::SetModifiedTime(m_dir.Join("old.txt"),
                                             testsupport::UtcSeconds(now.nYear - 1, 3, 5, 14, 7)));
    std::time_t nNow = std::time(nullptr);
    ASSERT_TRUE(testsupport::SetModifiedTime(m_dir.Join("plain.txt"), nNow));
    std::tm nowParts = testsupport::UtcParts(nNow);
    char szToday[64];
    strftime(szToday, sizeof(szToday), "%b %d %H:%M", &nowParts);

    CFtpTestClient client;
    LogIn(client);
    auto lines = [](const std::string& strListing) {
        std::multiset<std::string> result;
        size_t nStart = 0, nEnd;
        while ((nEnd = strListing.find("\r\n", nStart)) != std::string::npos) {
            result.insert(strListing.substr(nStart, nEnd - nStart));
            nStart = nEnd + 2;
        }
        EXPECT_EQ(nStart, strListing.size());
        return result;
    };
    CTransferResult listed = Transfer(client, "LIST");
    EXPECT_EQ(listed.strFirstReply, "150 File status Ok, opening data connection.");
    EXPECT_EQ(listed.strFinalReply, "250 Requested file action completed.");
    // The time of the two that the test did not set, as listed.
    auto listedTime = [&](const std::string& strName) {
        return listed.strData.substr(listed.strData.find(" " + strName + "\r\n") - 12, 12);
    };
    std::multiset<std::string> expected = {
        "-rw-r--r-- 1 user group 5 " + std::string(szToday) + " plain.txt",
        "-r--r--r-- 1 user group 0 " + listedTime("locked.txt") + " locked.txt",
        "-rw-r--r-- 1 user group 3 Mar 05 " + std::to_string(now.nYear - 1) + " old.txt",
        "drwxr-xr-x 1 user group 0 " + listedTime("sub") + " sub"};
    if (bLinks) {
        expected.insert("-rw-r--r-- 1 user group 5 " + std::string(szToday) + " in.txt");
    }
    EXPECT_EQ(lines(listed.strData), expected);
    // The root by its name, and ls options as lftp and others pass them on:
    // the same listing, never an empty one.
    for (const char* pszRoot : {"LIST /", "LIST \\", "LIST //", "LIST -la", "LIST -l /",
                                "LIST -a  -l"}) {
        EXPECT_EQ(lines(Transfer(client, pszRoot).strData), expected) << pszRoot;
    }
    for (const char* pszSub : {"LIST sub", "LIST sub/", "LIST \\sub\\", "LIST -la sub",
                               "LIST -l /sub/"}) {
        EXPECT_EQ(lines(Transfer(client, pszSub).strData).size(), 1u) << pszSub;
    }
    for (const char* pszEmpty : {"LIST missing", "LIST ..", "LIST sub/../..", "LIST -l missing"}) {
        CTransferResult empty = Transfer(client, pszEmpty);
        EXPECT_EQ(empty.strData, "") << pszEmpty;
        EXPECT_EQ(empty.strFinalReply, "250 Requested file action completed.") << pszEmpty;
    }
    EXPECT_EQ(lines(Transfer(client, "LIST *.txt").strData).size(), bLinks ? 4u : 3u);
    EXPECT_EQ(Transfer(client, "LIST out.txt").strData, "");
    // A name that begins with "-" is listed by a path that does not.
    ASSERT_TRUE(m_dir.WriteFile("-n.txt", "n"));
    std::multiset<std::string> dashed = lines(Transfer(client, "LIST ./-n.txt").strData);
    ASSERT_EQ(dashed.size(), 1u);
    EXPECT_EQ(dashed.begin()->substr(dashed.begin()->size() - 7), " -n.txt");
}

TEST_F(FtpServerTest, FoldersCanBeWalkedMadeRemovedAndRenamedInside) {
    ASSERT_TRUE(m_dir.WriteFile("a.txt", "alpha"));
    ASSERT_TRUE(testsupport::MakeFolder(m_dir.Join("sub")));
    ASSERT_TRUE(testsupport::MakeFolder(m_dir.Join("sub/deeper")));
    ASSERT_TRUE(m_dir.WriteFile("sub/b.txt", "beta"));
    ASSERT_TRUE(testsupport::MakeFolder(m_dir.Join(".hidden")));
    testsupport::CTempDir outside;
    const bool bLinks = testsupport::MakeLink(outside.Path(), m_dir.Join("out"));
    ASSERT_TRUE(bLinks || !kLinksRequired);
    const std::string kPending = "350 Requested file action pending further information.";
    const std::string kCompleted = "250 Requested file action completed.";
    const std::pair<std::string, std::string> exchange[] = {
        {"PWD", "257 \"/\""},
        {"CWD sub", "200 \"/sub\""},
        {"PWD", "257 \"/sub\""},
        // Names are taken from the current folder, or from the root after a
        // separator.
        {"SIZE b.txt", "213 4"},
        {"SIZE a.txt", kRefused},
        {"SIZE /a.txt", "213 5"},
        {"SIZE ../a.txt", kRefused},
        {"XCWD deeper", "200 \"/sub/deeper\""},
        {"CDUP", "200 \"/sub\""},
        {"CWD ..", "200 \"/\""},
        {"CWD ..", kRefused},
        {"CDUP", "200 \"/\""},
        {"CWD sub/../sub\\deeper/.", "200 \"/sub/deeper\""},
        {"CWD /", "200 \"/\""},
        {"CWD .hidden", kRefused},
        {"CWD out", kRefused},
        {"CWD a.txt", kRefused},
        {"CWD missing", kRefused},
        {"CWD", kRefused},
        {"MKD new", "257 \"/new\" created."},
        {"MKD new", kRefused},
        {"MKD .secret", kRefused},
        {"MKD ../up", kRefused},
        {"MKD out/inside-the-link", kRefused},
        {"MKD missing/new", kRefused},
        {"XMKD sub/newer", "257 \"/sub/newer\" created."},
        {"RMD sub", kRefused},
        {"RMD /", kRefused},
        {"RMD a.txt", kRefused},
        {"XRMD sub/newer", kCompleted},
        {"RNFR a.txt", kPending},
        {"RNTO sub/b.txt", kRefused},
        {"RNFR a.txt", kPending},
        {"NOOP", "200 Done"},
        {"RNTO renamed.txt", "503 Bad sequence of commands."},
        {"RNFR a.txt", kPending},
        {"RNTO .renamed", kRefused},
        {"RNFR a.txt", kPending},
        {"RNTO renamed.txt", kCompleted},
        {"RNFR new", kPending},
        {"RNTO sub/moved", kCompleted},
        {"RNFR missing", kRefused},
        {"RNFR .hidden", kRefused},
        {"RNFR out", kRefused},
        {"RNFR ../x", kRefused},
        {"REST 12x", "501 Syntax error in parameters or arguments."},
        {"REST", "501 Syntax error in parameters or arguments."},
        {"REST 5", "350 Restarting at 5. Send STORE or RETRIEVE to initiate transfer."},
    };
    CFtpTestClient client;
    LogIn(client);
    for (const auto& [strLine, strReply] : exchange) {
        EXPECT_EQ(client.Command(strLine), strReply) << strLine;
    }
    std::vector<std::string> expected = {".hidden", "renamed.txt", "sub"};
    if (bLinks) {
        expected.insert(expected.begin() + 1, "out");
    }
    EXPECT_EQ(m_dir.List(), expected);
    EXPECT_EQ(m_dir.ReadFile("renamed.txt").value_or(""), "alpha");
    EXPECT_EQ(m_dir.ReadFile("sub/b.txt").value_or(""), "beta");
    EXPECT_TRUE(std::filesystem::is_directory(m_dir.Join("sub/moved")));
    EXPECT_FALSE(std::filesystem::exists(m_dir.Join("sub/newer")));
    EXPECT_TRUE(std::filesystem::is_empty(outside.Path()));

    // A new session begins at the root again.
    client.Command("QUIT");
    CFtpTestClient next;
    LogIn(next);
    EXPECT_EQ(next.Command("CWD sub"), "200 \"/sub\"");
    next.Command("QUIT");
    CFtpTestClient third;
    LogIn(third);
    EXPECT_EQ(third.Command("PWD"), "257 \"/\"");
}

TEST_F(FtpServerTest, NamesListingsAndResumedTransfersFollowTheCurrentFolder) {
    ASSERT_TRUE(testsupport::MakeFolder(m_dir.Join("sub")));
    ASSERT_TRUE(testsupport::MakeFolder(m_dir.Join("sub/inner")));
    ASSERT_TRUE(m_dir.WriteFile("sub/whole.bin", TestBytes(100000)));
    ASSERT_TRUE(m_dir.WriteFile("sub/part.bin", TestBytes(100000).substr(0, 30000)));
    ASSERT_TRUE(m_dir.WriteFile("sub/.hidden", "h"));
    CFtpTestClient client;
    LogIn(client);
    ASSERT_EQ(client.Command("CWD sub"), "200 \"/sub\"");

    CTransferResult names = Transfer(client, "NLST");
    EXPECT_EQ(names.strFirstReply, "150 File status Ok, opening data connection.");
    EXPECT_EQ(names.strFinalReply, "226 Closing data connection. Requested file action successful.");
    std::multiset<std::string> listed;
    for (size_t nStart = 0, nEnd; (nEnd = names.strData.find("\r\n", nStart)) != std::string::npos;
         nStart = nEnd + 2) {
        listed.insert(names.strData.substr(nStart, nEnd - nStart));
    }
    EXPECT_EQ(listed, (std::multiset<std::string>{"inner", "part.bin", "whole.bin"}));
    EXPECT_EQ(Transfer(client, "NLST /").strData, "sub\r\n");
    EXPECT_EQ(Transfer(client, "NLST inner").strData, "");
    EXPECT_NE(Transfer(client, "LIST -la").strData.find(" whole.bin\r\n"), std::string::npos);

    // A resumed download gets the rest of the file, from the offset on.
    EXPECT_EQ(client.Command("REST 60000"),
              "350 Restarting at 60000. Send STORE or RETRIEVE to initiate transfer.");
    CTransferResult rest = Transfer(client, "RETR whole.bin");
    EXPECT_EQ(rest.strFinalReply, "226 Closing data connection. Requested file action successful.");
    EXPECT_EQ(rest.strData, TestBytes(100000).substr(60000));
    // The offset held for that one transfer.
    EXPECT_EQ(Transfer(client, "RETR whole.bin").strData.size(), 100000u);
    EXPECT_EQ(client.Command("REST 100001"),
              "350 Restarting at 100001. Send STORE or RETRIEVE to initiate transfer.");
    EXPECT_EQ(client.Command("RETR whole.bin"),
              "554 Requested action not taken: invalid REST parameter.");

    // A resumed upload continues the server's part, which stays as it was
    // until the whole has arrived.
    EXPECT_EQ(client.Command("REST 30000"),
              "350 Restarting at 30000. Send STORE or RETRIEVE to initiate transfer.");
    CTransferResult resumed = Transfer(client, "STOR part.bin", TestBytes(100000).substr(30000));
    EXPECT_EQ(resumed.strFinalReply,
              "226 Closing data connection. Requested file action successful.");
    EXPECT_EQ(m_dir.ReadFile("sub/part.bin").value_or(""), TestBytes(100000));
    EXPECT_EQ(client.Command("REST 200000"),
              "350 Restarting at 200000. Send STORE or RETRIEVE to initiate transfer.");
    EXPECT_EQ(client.Command("STOR part.bin"),
              "554 Requested action not taken: invalid REST parameter.");
    EXPECT_EQ(m_dir.ReadFile("sub/part.bin").value_or(""), TestBytes(100000));
    EXPECT_EQ(m_dir.List(), std::vector<std::string>{"sub"});
}

TEST_F(FtpServerTest, RefusesWhatItMustNotTouch) {
    ASSERT_TRUE(m_dir.WriteFile("locked.txt", "keep"));
    ASSERT_TRUE(testsupport::MakeReadOnly(m_dir.Join("locked.txt")));
    ASSERT_TRUE(m_dir.WriteFile(".hidden", "h"));
    ASSERT_TRUE(testsupport::MakeHidden(m_dir.Join(".hidden")));
    ASSERT_TRUE(testsupport::MakeFolder(m_dir.Join("sub")));
    testsupport::CTempDir outside;
    ASSERT_TRUE(outside.WriteFile("secret.txt", "outside"));
    // Without links (Wine makes none) their names are missing entries,
    // which must be refused just the same.
    const bool bLinks = testsupport::MakeLink(outside.Join("secret.txt"), m_dir.Join("link.txt")) &&
                        testsupport::MakeLink(outside.Path(), m_dir.Join("out"));
    ASSERT_TRUE(bLinks || !kLinksRequired);
    const std::string strEscape =
        "../" + outside.Path().substr(outside.Path().find_last_of("\\/") + 1) + "/secret.txt";

    struct Case {
        std::string strLine;
        std::string strReply;
    };
    const Case cases[] = {
        {"RETR " + strEscape, kRefused},
        {"RETR link.txt", kRefused},
        {"RETR out/secret.txt", kRefused},
        {"RETR .hidden", kRefused},
        {"RETR sub", kRefused},
        {"RETR missing", kRefused},
        {"STOR " + strEscape, kRefused},
        {"STOR out/new.txt", kRefused},
        {"STOR sub", kRefused},
        {"STOR .hidden", kRefused},
        {"STOR .new", kRefused},
        {"STOR sub/.new", kRefused},
        {"STOR \\.new", kRefused},
        {"STOR locked.txt", kRefused},
        {"STOR missing/new.txt", kRefused},
        {"DELE " + strEscape, kRefused},
        {"DELE link.txt", kRefused},
        {"DELE locked.txt", kRefused},
        {"DELE sub", kRefused},
        {"SIZE sub", kRefused},
        {"SIZE .hidden", kRefused},
        {"SIZE " + strEscape, kRefused},
        {"MD5 " + strEscape, kRefused},
        // A missing entry is no digest of its own, where the link is refused.
        {"MD5 out/secret.txt", bLinks ? kRefused : "552 Requested file action aborted."},
        {"MD5 sub", kRefused},
        {"MD5", "552 Requested file action aborted."},
        {"MD5 /", "552 Requested file action aborted."},
        {"MD5 missing", "552 Requested file action aborted."},
        {"MD5 .hidden", "200 2510c39011c5be704182423e3a695e91"},
        {"SIZE locked.txt", "213 4"},
    };
    CFtpTestClient client;
    LogIn(client);
    ASSERT_EQ(client.Command("PORT 127,0,0,1,0,1"), "200 Done");
    for (const Case& c : cases) {
        EXPECT_EQ(client.Command(c.strLine), c.strReply) << c.strLine;
    }
    EXPECT_EQ(outside.ReadFile("secret.txt").value_or(""), "outside");
    EXPECT_EQ(outside.List(), std::vector<std::string>{"secret.txt"});
    EXPECT_EQ(m_dir.ReadFile("locked.txt").value_or(""), "keep");
    EXPECT_EQ(Transfer(client, "RETR locked.txt").strData, "keep");
    const std::vector<std::string> withLinks = {".hidden", "link.txt", "locked.txt", "out", "sub"};
    const std::vector<std::string> withoutLinks = {".hidden", "locked.txt", "sub"};
    EXPECT_EQ(m_dir.List(), bLinks ? withLinks : withoutLinks);
    EXPECT_EQ(m_dir.List("sub"), std::vector<std::string>{});
}

TEST_F(FtpServerTest, DataGoesOnlyToTheClientsOwnAddress) {
    ASSERT_TRUE(m_dir.WriteFile("a.txt", "old content"));
    CFtpTestClient client;
    LogIn(client);
    // Another address, or a port where nobody listens: no data connection.
    for (const char* pszPort : {"PORT 127,0,0,2,4,1", "PORT 127,0,0,1,0,1"}) {
        EXPECT_EQ(client.Command(pszPort), "200 Done");
        EXPECT_EQ(client.Command("RETR a.txt"), "150 File status Ok, opening data connection.");
        EXPECT_EQ(client.ReadLine(), "425 Cannot open data connection.");
        EXPECT_EQ(client.Command("LIST"), "150 File status Ok, opening data connection.");
        EXPECT_EQ(client.ReadLine(), "425 Cannot open data connection.");
        // A failed upload leaves the old file exactly as it was, and nothing new.
        EXPECT_EQ(client.Command("STOR a.txt"), "425 Cannot open data connection.");
        EXPECT_EQ(client.Command("STOR b.txt"), "425 Cannot open data connection.");
    }
    EXPECT_EQ(m_dir.ReadFile("a.txt").value_or(""), "old content");
    EXPECT_EQ(m_dir.List(), std::vector<std::string>{"a.txt"});
}

TEST_F(FtpServerTest, PassiveAndExtendedDataConnectionsMoveFilesBothWays) {
    const std::string strData = TestBytes(3 * 1024 * 1024 + 17);
    ASSERT_TRUE(m_dir.WriteFile("a.bin", strData));
    for (const char* pszAddress : {"127.0.0.1", "::1"}) {
        CFtpTestClient client;
        ASSERT_TRUE(client.Connect(pszAddress, m_nPort)) << pszAddress;
        ASSERT_EQ(client.ReadLine(), "220 Tandrel test");
        ASSERT_EQ(client.Command("USER alice"), "331 User name Ok, need password.");
        ASSERT_EQ(client.Command("PASS secret"), "230 Logged in.");
        const bool bIpv6 = std::string(pszAddress) == "::1";
        std::vector<std::string> passiveCommands = {"EPSV", bIpv6 ? "EPSV 2" : "EPSV 1"};
        if (!bIpv6) {
            passiveCommands.push_back("PASV");
        }
        for (const std::string& strPassive : passiveCommands) {
            SCOPED_TRACE(std::string(pszAddress) + " " + strPassive);
            CTransferResult got = PassiveTransfer(client, strPassive, "RETR a.bin");
            EXPECT_EQ(got.strFirstReply, "150 File status Ok, opening data connection.");
            EXPECT_EQ(got.strFinalReply,
                      "226 Closing data connection. Requested file action successful.");
            EXPECT_TRUE(got.strData == strData);
            CTransferResult put = PassiveTransfer(client, strPassive, "STOR b.bin", strData);
            EXPECT_EQ(put.strFirstReply, "150 File status Ok, opening data connection.");
            EXPECT_EQ(put.strFinalReply,
                      "226 Closing data connection. Requested file action successful.");
            EXPECT_TRUE(m_dir.ReadFile("b.bin").value_or("") == strData);
            CTransferResult list = PassiveTransfer(client, strPassive, "NLST");
            EXPECT_EQ(list.strData, "a.bin\r\nb.bin\r\n");
        }
        // PASV names an IPv4 address and nothing else.
        if (bIpv6) {
            EXPECT_EQ(client.Command("PASV"), "425 Cannot open data connection.");
        }
    }
}

TEST_F(FtpServerTest, ExtendedPortReachesTheClientOverEitherProtocol) {
    ASSERT_TRUE(m_dir.WriteFile("a.txt", "over EPRT"));
    for (const std::string strAddress : {"127.0.0.1", "::1"}) {
        const bool bIpv6 = strAddress == "::1";
        CFtpTestClient client;
        ASSERT_TRUE(client.Connect(strAddress, m_nPort));
        ASSERT_EQ(client.ReadLine(), "220 Tandrel test");
        ASSERT_EQ(client.Command("USER alice"), "331 User name Ok, need password.");
        ASSERT_EQ(client.Command("PASS secret"), "230 Logged in.");
        platform::CSocketAddress address;
        ASSERT_TRUE(platform::ParseIpAddress(strAddress, address));
        platform::CSocket listener;
        ASSERT_TRUE(listener.Create(bIpv6) && listener.Bind(address) && listener.Listen(1) &&
                    listener.GetLocalAddress(address));
        const std::string strEprt = "EPRT |" + std::string(bIpv6 ? "2" : "1") + "|" +
                                    strAddress + "|" + std::to_string(address.nPort) + "|";
        EXPECT_EQ(client.Command(strEprt), "200 Done");
        EXPECT_EQ(client.Command("RETR a.txt"), "150 File status Ok, opening data connection.");
        ASSERT_EQ(listener.WaitReadable(5000), 1);
        platform::CSocket data;
        platform::CSocketAddress peer;
        ASSERT_TRUE(listener.Accept(data, peer));
        char buffer[64] = {};
        EXPECT_EQ(data.Receive(buffer, sizeof(buffer)), 9);
        EXPECT_EQ(std::string(buffer), "over EPRT");
        EXPECT_EQ(client.ReadLine(),
                  "226 Closing data connection. Requested file action successful.");
        // The other protocol's address is not the client's.
        const std::string strOther = bIpv6 ? "EPRT |1|127.0.0.1|" : "EPRT |2|::1|";
        EXPECT_EQ(client.Command(strOther + std::to_string(address.nPort) + "|"), "200 Done");
        EXPECT_EQ(client.Command("RETR a.txt"), "150 File status Ok, opening data connection.");
        EXPECT_EQ(client.ReadLine(), "425 Cannot open data connection.");
    }
}

TEST_F(FtpServerTest, DataConnectionCommandsAnswerWhatTheyCannotDo) {
    struct Case {
        std::string strLine;
        std::string strReply;
    };
    const std::string kSyntax = "501 Syntax error in parameters or arguments.";
    const Case cases[] = {
        {"EPRT", kSyntax},
        {"EPRT |1|127.0.0.1|", kSyntax},
        {"EPRT |1|127.0.0.1|0|", kSyntax},
        {"EPRT |1|127.0.0.1|65536|", kSyntax},
        {"EPRT |1|127.0.0.1|12x|", kSyntax},
        {"EPRT |1|::1|2000|", kSyntax},
        {"EPRT |2|127.0.0.1|2000|", kSyntax},
        {"EPRT |1|127.0.0.1|2000", kSyntax},
        {"EPRT |1|127.0.0.1|2000|x|", kSyntax},
        {"EPRT |x|127.0.0.1|2000|", kSyntax},
        {"EPRT  1 127.0.0.1 2000 ", kSyntax},
        {"EPRT !1!127.0.0.1!2000!", "200 Done"},
        {"EPRT |3|127.0.0.1|2000|", "522 Network protocol not supported, use (1,2)"},
        {"EPSV 2", "522 Network protocol not supported, use (1)"},
        {"EPSV 7", "522 Network protocol not supported, use (1)"},
        {"EPSV x", kSyntax},
        // After EPSV ALL the client has promised to use EPSV alone.
        {"EPSV ALL", "200 Done"},
        {"PORT 127,0,0,1,4,1", "503 Bad sequence of commands."},
        {"EPRT |1|127.0.0.1|2000|", "503 Bad sequence of commands."},
        {"PASV", "503 Bad sequence of commands."},
    };
    CFtpTestClient client;
    LogIn(client);
    for (const Case& c : cases) {
        EXPECT_EQ(client.Command(c.strLine), c.strReply) << c.strLine;
    }
    EXPECT_NE(PassivePort(client.Command("EPSV")), 0);
    // A new session starts without the promise.
    EXPECT_EQ(client.Command("QUIT"), kClosing);
    CFtpTestClient next;
    LogIn(next);
    EXPECT_NE(PassivePort(next.Command("PASV")), 0);
}

TEST_F(FtpServerTest, APassiveConnectionFromAnotherAddressIsRefusedAndTraced) {
    ASSERT_TRUE(m_dir.WriteFile("a.txt", "only for the client"));
    ::testing::internal::CaptureStdout();
    CFtpTestClient client;
    LogIn(client);
    const int nPort = PassivePort(client.Command("PASV"));
    ASSERT_NE(nPort, 0);
    // 127.0.0.2 is loopback too, but not the client's address.
    platform::CSocket stranger;
    platform::CSocketAddress strangerAddress{0x7F000002, 0};
    ASSERT_TRUE(stranger.Create() && stranger.Bind(strangerAddress));
    ASSERT_TRUE(stranger.Connect({0x7F000001, static_cast<uint16_t>(nPort)}, 5000));
    EXPECT_EQ(client.Command("RETR a.txt"), "150 File status Ok, opening data connection.");
    // The stranger gets nothing but the end of its connection...
    char c = 0;
    ASSERT_TRUE(stranger.SetTimeouts(5000));
    EXPECT_LE(stranger.Receive(&c, 1), 0);
    // ...and the client, connecting after it, its file.
    platform::CSocket data;
    ASSERT_TRUE(data.Create() && data.Connect({0x7F000001, static_cast<uint16_t>(nPort)}, 5000));
    ASSERT_TRUE(data.SetTimeouts(5000));
    std::string strReceived;
    char buffer[256];
    int64_t nRead;
    while ((nRead = data.Receive(buffer, sizeof(buffer))) > 0) {
        strReceived.append(buffer, static_cast<size_t>(nRead));
    }
    EXPECT_EQ(strReceived, "only for the client");
    EXPECT_EQ(client.ReadLine(), "226 Closing data connection. Requested file action successful.");
    // One connection per command: the listener is gone.
    platform::CSocket late;
    EXPECT_FALSE(late.Create() && late.Connect({0x7F000001, static_cast<uint16_t>(nPort)}, 2000));
    EXPECT_THAT(NormalisedTrace(::testing::internal::GetCapturedStdout()),
                HasSubstr("Refused data connection from 127.0.0.2: not the client's address "
                          "(N, ftpserver.cpp, 00000000)\n"));
}

TEST_F(FtpServerTest, APassiveConnectionThatNeverComesEndsInTime) {
    m_nTimeoutMs = 500;
    StartServer(&m_users, false);
    ASSERT_TRUE(m_dir.WriteFile("a.txt", "x"));
    CFtpTestClient client;
    LogIn(client);
    ASSERT_NE(PassivePort(client.Command("EPSV")), 0);
    EXPECT_EQ(client.Command("RETR a.txt"), "150 File status Ok, opening data connection.");
    EXPECT_EQ(client.ReadLine(), "425 Cannot open data connection.");
    EXPECT_EQ(client.Command("NOOP"), "200 Done");
}

TEST_F(FtpServerTest, PassiveListenersKeepToTheRangeAndAnnounceTheAddressGiven) {
    const int nFirst = FindFreePort();
    ASSERT_GT(nFirst, 0);
    CPassiveSettings passive;
    passive.nFirstPort = static_cast<uint16_t>(nFirst);
    passive.nLastPort = static_cast<uint16_t>(nFirst);
    passive.nAnnouncedAddress = 0xCB007107;  // 203.0.113.7
    m_server.Stop();
    m_server.SetPassiveSettings(passive);
    StartServer(&m_users, false);
    ASSERT_TRUE(m_dir.WriteFile("a.txt", "ranged"));
    CFtpTestClient client;
    LogIn(client);
    {
        // The only port of the range held by another program: no listener.
        platform::CSocket holder;
        ASSERT_TRUE(HoldPort(holder, nFirst));
        ::testing::internal::CaptureStdout();
        EXPECT_EQ(client.Command("EPSV"), "425 Cannot open data connection.");
        EXPECT_THAT(NormalisedTrace(::testing::internal::GetCapturedStdout()),
                    HasSubstr("No passive port free in " + std::to_string(nFirst) + "-" +
                              std::to_string(nFirst)));
    }
    const std::string strPort =
        std::to_string(nFirst / 256) + "," + std::to_string(nFirst % 256) + ").";
    EXPECT_EQ(client.Command("PASV"), "227 Entering Passive Mode (203,0,113,7," + strPort);
    EXPECT_EQ(client.Command("EPSV"),
              "229 Entering Extended Passive Mode (|||" + std::to_string(nFirst) + "|)");
    CTransferResult got = PassiveTransfer(client, "EPSV", "RETR a.txt");
    EXPECT_EQ(got.strData, "ranged");
}

TEST_F(FtpServerTest, ClientsOfBothProtocolsAreServedWithOneOrTwoListeners) {
    for (const bool bSeparate : {false, true}) {
        m_server.Stop();
        m_server.SetSeparateListenersForTesting(bSeparate);
        StartServer(&m_users, false);
        for (const char* pszAddress : {"127.0.0.1", "::1"}) {
            ::testing::internal::CaptureStdout();
            {
                CFtpTestClient client;
                ASSERT_TRUE(client.Connect(pszAddress, m_nPort)) << pszAddress << bSeparate;
                ASSERT_EQ(client.ReadLine(), "220 Tandrel test");
                EXPECT_EQ(client.Command("QUIT"), "530 Not logged in.");
                EXPECT_TRUE(client.IsClosedByServer());
            }
            const std::string strTrace = NormalisedTrace(::testing::internal::GetCapturedStdout());
            EXPECT_THAT(strTrace, HasSubstr(std::string("Connected to ") + pszAddress +
                                            " (N, ftpserver.cpp, 00000000)\n"));
        }
        // Stop ends a server that waits on two listeners too.
        m_server.Stop();
    }
}

TEST_F(FtpServerTest, TlsProtectsLoginAndDataAndCanBeRequired) {
    if (!platform::IsTlsAvailable()) {
        GTEST_SKIP() << "this build has no TLS";
    }
    // A handshake that never comes ends soon.
    m_nTimeoutMs = 1500;
    testsupport::CTempDir certDir;
    const CTestCertificates certs = MakeTestCertificates(certDir.Path());
    ASSERT_EQ(certs.strError, "");
    std::string strError;
    std::shared_ptr<platform::CTlsContext> pServerTls =
        platform::CTlsContext::ForServer(certs.strServerCert, certs.strServerKey, strError);
    ASSERT_TRUE(pServerTls) << strError;
    auto pClientTls = platform::CTlsContext::ForClient(certs.strCa, strError);
    auto pOtherCa = platform::CTlsContext::ForClient(certs.strOtherCa, strError);
    ASSERT_TRUE(pClientTls && pOtherCa) << strError;
    const std::string strData = TestBytes(1024 * 1024 + 5);
    ASSERT_TRUE(m_dir.WriteFile("a.bin", strData));
    const std::string kDone = "226 Closing data connection. Requested file action successful.";
    const std::string kBadSequence = "503 Bad sequence of commands.";
    for (const bool bRequired : {false, true}) {
        SCOPED_TRACE(bRequired ? "required" : "offered");
        m_server.Stop();
        m_server.SetTls(pServerTls, bRequired);
        StartServer(&m_users, false);
        {
            CFtpTestClient client;
            Greet(client);
            EXPECT_EQ(client.Command("FEAT"), "211-Features:");
            std::vector<std::string> features;
            for (std::string strLine; (strLine = client.ReadLine()) != "211 End" && !strLine.empty();) {
                features.push_back(strLine);
            }
            EXPECT_EQ(features, (std::vector<std::string>{" AUTH TLS", " EPRT", " EPSV", " MD5",
                                                          " PASV", " PBSZ", " PROT",
                                                          " REST STREAM", " SIZE", " TIME",
                                                          " UTF8"}));
            EXPECT_EQ(client.Command("PBSZ 0"), kBadSequence);
            EXPECT_EQ(client.Command("PROT P"), kBadSequence);
            EXPECT_EQ(client.Command("AUTH GSSAPI"), kBadParameter);
            // A password is never asked for in the clear where TLS is required.
            EXPECT_EQ(client.Command("USER alice"),
                      bRequired ? "530 TLS is required: send AUTH TLS before USER."
                                : "331 User name Ok, need password.");
            if (bRequired) {
                EXPECT_TRUE(client.IsClosedByServer());
            }
        }
        {
            CFtpTestClient client;
            Greet(client);
            ASSERT_EQ(client.StartTls(*pClientTls, "localhost"), "");
            EXPECT_EQ(client.Command("USER alice"), "331 User name Ok, need password.");
            EXPECT_EQ(client.Command("PASS secret"), "230 Logged in.");
            EXPECT_EQ(client.Command("PROT P"), kBadSequence);  // PBSZ comes first
            EXPECT_EQ(client.Command("PBSZ 0"), "200 PBSZ=0");
            if (bRequired) {
                // Data in the clear is refused as long as TLS is required.
                EXPECT_EQ(PassiveTransfer(client, "EPSV", "RETR a.bin").strFirstReply,
                          "521 Data connection cannot be opened with this PROT setting.");
                EXPECT_EQ(client.Command("PROT C"), "534 Request denied for policy reasons.");
            }
            EXPECT_EQ(client.Command("PROT S"),
                      "536 Requested PROT level not supported by mechanism.");
            EXPECT_EQ(client.Command("PROT P"), "200 Protection level set to Private.");
            CTransferResult got =
                PassiveTransfer(client, "EPSV", "RETR a.bin", "", pClientTls.get());
            EXPECT_EQ(got.strFinalReply, kDone);
            EXPECT_TRUE(got.strData == strData);
            EXPECT_TRUE(got.bResumed);
            CTransferResult put =
                PassiveTransfer(client, "PASV", "STOR b.bin", strData, pClientTls.get());
            EXPECT_EQ(put.strFinalReply, kDone);
            EXPECT_TRUE(m_dir.ReadFile("b.bin").value_or("") == strData);
            EXPECT_EQ(PassiveTransfer(client, "EPSV", "NLST", "", pClientTls.get()).strData,
                      "a.bin\r\nb.bin\r\n");
            // Without TLS on it, a protected data connection carries nothing.
            CTransferResult plain = PassiveTransfer(client, "EPSV", "RETR a.bin");
            EXPECT_EQ(plain.strData, "");
            EXPECT_EQ(plain.strFinalReply, "425 Cannot open data connection.");
            if (!bRequired) {
                EXPECT_EQ(client.Command("PROT C"), "200 Protection level set to Clear.");
                EXPECT_TRUE(PassiveTransfer(client, "EPSV", "RETR a.bin").strData == strData);
            }
            EXPECT_EQ(client.Command("AUTH TLS"), kBadSequence);
            EXPECT_EQ(client.Command("QUIT"), kClosing);
            EXPECT_TRUE(client.IsClosedByServer());
        }
        // A certificate that leads to another CA, or names another host.
        for (const auto& [pContext, pszHost] :
             {std::pair{pOtherCa.get(), "localhost"}, std::pair{pClientTls.get(), "example.com"}}) {
            CFtpTestClient client;
            Greet(client);
            EXPECT_THAT(client.StartTls(*pContext, pszHost),
                        HasSubstr("certificate verify failed"));
        }
        std::vector<std::string> log = LogLines();
        EXPECT_THAT(log, ::testing::Contains(::testing::StartsWith(
                             "TLS handshake with 127.0.0.1 failed: ")));
    }
    // What follows AUTH in the clear, in the same packet, never runs: a
    // man in the middle could otherwise slip a command in before TLS.
    m_server.Stop();
    m_server.SetTls(pServerTls, false);
    StartServer(&m_users, false);
    CFtpTestClient client;
    LogIn(client);
    client.SendRaw("AUTH TLS\r\nDELE a.bin\r\n");
    EXPECT_EQ(client.ReadLine(), "234 Proceed with negotiation.");
    client.m_socket.SetTimeouts(5000);
    if (client.m_tls.Connect(*pClientTls, client.m_socket, "localhost")) {
        EXPECT_EQ(client.Command("NOOP"), "200 Done");
    }
    client.m_socket.Close();
    CFtpTestClient next;
    LogIn(next);
    EXPECT_EQ(next.Command("SIZE a.bin"), "213 " + std::to_string(strData.size()));
}

TEST_F(FtpServerTest, StopEndsARunningTransfer) {
    ASSERT_TRUE(m_dir.WriteFile("big.bin", TestBytes(64 * 1024 * 1024)));
    CFtpTestClient client;
    LogIn(client);
    platform::CSocket listener;
    const int nPort = ListenForData(listener);
    ASSERT_NE(nPort, 0);
    EXPECT_EQ(client.Command(LoopbackPortCommand(nPort)), "200 Done");
    EXPECT_EQ(client.Command("RETR big.bin"), "150 File status Ok, opening data connection.");
    platform::CSocket data;
    platform::CSocketAddress peer;
    ASSERT_TRUE(listener.Accept(data, peer));
    // The client never reads: the server is stuck in its send until Stop.
    m_server.Stop();
    EXPECT_TRUE(client.IsClosedByServer());
}

}  // namespace
namespace {

// Formats a PORT argument template: {H} and {L} become the high and low byte
// of nPort, {H+256} the high byte plus 256.
std::string PortLine(std::string strTemplate, int nPort) {
    const std::pair<std::string, int> fields[] = {
        {"{H+256}", nPort / 256 + 256}, {"{H}", nPort / 256}, {"{L}", nPort % 256}};
    for (const auto& [strField, nValue] : fields) {
        size_t nAt;
        while ((nAt = strTemplate.find(strField)) != std::string::npos) {
            strTemplate.replace(nAt, strField.size(), std::to_string(nValue));
        }
    }
    return strTemplate;
}

} // namespace

TEST_F(FtpServerTest, PortTakesWhatTheNumbersSay) {
    ASSERT_TRUE(m_dir.WriteFile("a.txt", "1"));
    struct Case {
        std::string strPort; // the PORT line; the listing must reach our listener
        std::string strWhy;
    };
    const Case cases[] = {
        {"PORT 127,0,0,1,{H},{L}", "plain"},
        {"PORT 127,0,0,1,{H},{L},99", "a seventh number is ignored"},
        {"PORT 383,256,0,257,{H},{L}", "address bytes keep their low 8 bits"},
        {"PORT -129,0,0,1,{H},{L}", "a negative number keeps its low 8 bits"},
        {"PORT 127,0,0,1,{H+256},{L}", "the port keeps its low 16 bits"},
        {"PORT 127,,0,0,1,{H},{L}", "empty pieces are skipped"},
        {"PORT 127,0x9,0,1,{H},{L}", "a number ends at its first non-digit"},
    };
    CFtpTestClient client;
    LogIn(client);
    for (const Case& c : cases) {
        platform::CSocket listener;
        const int nPort = ListenForData(listener);
        ASSERT_NE(nPort, 0);
        EXPECT_EQ(client.Command(PortLine(c.strPort, nPort)), "200 Done") << c.strWhy;
        EXPECT_EQ(client.Command("LIST"), "150 File status Ok, opening data connection.")
            << c.strWhy;
        platform::CSocket data;
        platform::CSocketAddress peer;
        ASSERT_EQ(listener.WaitReadable(5000), 1) << c.strWhy;
        ASSERT_TRUE(listener.Accept(data, peer));
        data.Close();
        EXPECT_EQ(client.ReadLine(), "250 Requested file action completed.") << c.strWhy;
    }
    // Fewer than five numbers, or none, leave the port as it was; the last
    // listener above is gone, so the address must still name a dead port.
    for (const char* pszPort : {"PORT 127,0,0,1", "PORT", "PORT ,,,"}) {
        EXPECT_EQ(client.Command(pszPort), "200 Done");
        EXPECT_EQ(client.Command("LIST"), "150 File status Ok, opening data connection.");
        EXPECT_EQ(client.ReadLine(), "425 Cannot open data connection.") << pszPort;
    }
}

TEST_F(FtpServerTest, ASendThatMakesNoProgressIsAborted) {
    m_nTimeoutMs = 1000;
    StartServer(&m_users, false);
    ASSERT_TRUE(m_dir.WriteFile("big.bin", TestBytes(64 * 1024 * 1024)));
    CFtpTestClient client;
    LogIn(client);
    platform::CSocket listener;
    const int nPort = ListenForData(listener);
    ASSERT_NE(nPort, 0);
    EXPECT_EQ(client.Command(PortLine("PORT 127,0,0,1,{H},{L}", nPort)), "200 Done");
    EXPECT_EQ(client.Command("RETR big.bin"), "150 File status Ok, opening data connection.");
    platform::CSocket data;
    platform::CSocketAddress peer;
    ASSERT_EQ(listener.WaitReadable(5000), 1);
    ASSERT_TRUE(listener.Accept(data, peer));
    // The data connection is accepted but never read.
    EXPECT_EQ(client.ReadLine(30000), "426 Connection closed; transfer aborted.");
    // The session goes on.
    EXPECT_EQ(client.Command("NOOP"), "200 Done");
}

TEST_F(FtpServerTest, SizeCountsBeyondFourGibibytes) {
    const std::string strPath = m_dir.Join("huge.bin");
    ASSERT_TRUE(m_dir.WriteFile("huge.bin", ""));
    // Sparse where the file system can, so the test writes next to nothing.
    std::error_code ec;
    std::filesystem::resize_file(strPath, (5ULL << 30) + 3, ec);
    ASSERT_FALSE(ec) << ec.message();
    CFtpTestClient client;
    LogIn(client);
    EXPECT_EQ(client.Command("SIZE huge.bin"), "213 5368709123");
}
