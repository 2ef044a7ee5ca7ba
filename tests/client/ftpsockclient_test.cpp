// The TCP client against a scripted server: reply parsing, the commands it
// sends, and the codes it leaves behind.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "client/transfer/ftpsockclient.h"
#include "tests/client/fake_ftp_server.h"
#include "tests/server/ftp_test_client.h"
#include "tests/support/syscodes.h"
#include "tests/support/tempdir.h"

using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace {

const std::string kDigest = "0123456789abcdef0123456789abcdef";

// A client connected to a fake server that greets with 220 and then answers
// with vecReplies, one per command.
class CScriptedSession {
public:
    explicit CScriptedSession(std::vector<std::string> vecReplies) : m_server(Script(vecReplies)) {
        m_client.SetTimeout(5000);
        m_bConnected = m_client.Connect("127.0.0.1", static_cast<unsigned>(m_server.Port()));
    }

    static std::vector<std::string> Script(std::vector<std::string> vecReplies) {
        vecReplies.insert(vecReplies.begin(), "220 Fake ready\r\n");
        return vecReplies;
    }

    CFakeFtpServer m_server;
    CFtpSockClient m_client;
    bool m_bConnected = false;
};

TEST(ReadReply, JudgesWhereAReplyEndsAndWhatItsCodeIs) {
    struct Case {
        const char* pszName;
        std::vector<std::string> vecSent;  // by the server, then it waits
        bool bConnected;
        int nCode;
        std::string strLastReply;
    };
    const std::string strEndless = [] {
        std::string strText;
        while (strText.size() < CFtpSockClientBase::kMaxReplyBytes + 1000) {
            strText += "220-more\r\n";
        }
        return strText;
    }();
    const Case cases[] = {
        {"one line", {"220 Ready\r\n"}, true, 220, "220 Ready\r\n"},
        {"two lines", {"220-Welcome\r\n220 Ready\r\n"}, true, 220, "220-Welcome\r\n220 Ready\r\n"},
        {"inner line without code", {"220-a\r\nxyz\r\n220 b\r\n"}, true, 220,
         "220-a\r\nxyz\r\n220 b\r\n"},
        {"bare LF does not end a line", {"220 a\nb\r\n"}, true, 220, "220 a\nb\r\n"},
        {"short lines continue", {"220-a\r\n\r\n22\r\n220 ok\r\n"}, true, 220,
         "220-a\r\n\r\n22\r\n220 ok\r\n"},
        {"a short first line has no code", {"\r\n220 ok\r\n"}, false, 0, "\r\n220 ok\r\n"},
        {"first line decides the code", {"220-a\r\n421 b\r\n"}, true, 220, "220-a\r\n421 b\r\n"},
        {"other code", {"421 Busy\r\n"}, false, 421, "421 Busy\r\n"},
        {"not numeric", {"abc ok\r\n"}, false, 0, "abc ok\r\n"},
        {"partly numeric", {"2x0 ok\r\n"}, false, 2, "2x0 ok\r\n"},
        {"cut in a line", {"220 Rea", CFakeFtpServer::kClose}, false,
         CFtpSockClientBase::kNoReply, "220 Rea"},
        {"cut after a continuation", {"220-a\r\n", CFakeFtpServer::kClose}, false,
         CFtpSockClientBase::kNoReply, "220-a\r\n"},
        {"closed at once", {CFakeFtpServer::kClose}, false, CFtpSockClientBase::kNoReply, ""},
        {"says nothing", {""}, false, CFtpSockClientBase::kNoReply, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pszName);
        CFakeFtpServer server(c.vecSent);
        CFtpSockClient client;
        client.SetTimeout(300);
        EXPECT_EQ(client.Connect("127.0.0.1", static_cast<unsigned>(server.Port())), c.bConnected);
        EXPECT_EQ(client.m_bConnected, c.bConnected);
        EXPECT_EQ(client.m_nReplyCode, c.nCode);
        EXPECT_EQ(client.GetLastReply(), c.strLastReply);
    }

    // A reply that never ends is cut off, not collected for ever.
    CFakeFtpServer server({strEndless});
    CFtpSockClient client;
    client.SetTimeout(5000);
    EXPECT_FALSE(client.Connect("127.0.0.1", static_cast<unsigned>(server.Port())));
    EXPECT_EQ(client.m_nReplyCode, CFtpSockClientBase::kNoReply);
    EXPECT_EQ(client.GetLastReply().size(), CFtpSockClientBase::kMaxReplyBytes);
}

TEST(ReadReply, AReplyThatTimesOutIsNotTakenForTheNextOne) {
    // MD5 is answered too late; the late answer must not pass for the
    // answer to the command after it.
    CScriptedSession session({"", "200 " + kDigest + "\r\n"});
    ASSERT_TRUE(session.m_bConnected);
    session.m_client.SetTimeout(200);
    EXPECT_EQ(session.m_client.GetRemoteDigest("a.txt"), "");
    EXPECT_EQ(session.m_client.m_nReplyCode, CFtpSockClientBase::kNoReply);
    EXPECT_EQ(session.m_client.GetRemoteDigest("b.txt"), "");
    EXPECT_NE(session.m_client.m_nReplyCode, 200);
}

TEST(SendCommand, EndsEveryLineWithOneCrLfAndRefusesInnerLineEnds) {
    CScriptedSession session({"200 a\r\n", "200 b\r\n", "200 c\r\n"});
    ASSERT_TRUE(session.m_bConnected);
    CFtpSockClient& client = session.m_client;
    EXPECT_TRUE(client.SendCommand("NOOP\r\n"));
    client.ReadReply();
    EXPECT_TRUE(client.SendCommand("TYPE I"));
    client.ReadReply();
    EXPECT_FALSE(client.SendCommand(""));
    EXPECT_FALSE(client.SendCommand("RETR a\r\nDELE b"));
    EXPECT_FALSE(client.SendCommand("RETR a\n"));
    EXPECT_TRUE(client.SendCommand("SYST"));
    EXPECT_EQ(client.ReadReply(), "200 c\r\n");
    // Each line arrived once, with one CR LF (the fake splits at CR LF).
    EXPECT_THAT(session.m_server.Received(), ElementsAre("NOOP", "TYPE I", "SYST"));
}

TEST(GetRemoteDigest, TakesTheTextAfterTheFirstBlankOfA200Reply) {
    struct Case {
        const char* pszName;
        std::string strReply;
        std::string strExpected;
        int nCode;
    };
    const Case cases[] = {
        {"digest", "200 " + kDigest + "\r\n", kDigest, 200},
        {"refused", "550 Requested action not taken. File or directory unavailable.\r\n", "",
         550},
        {"blank only in the last line", "200\r\n200-x\r\n200 y\r\n", "y", 200},
        {"multi-line", "200-" + kDigest + "\r\n200 end\r\n", "end", 200},
        {"multi-line with blank", "200-a b\r\n200 end\r\n", "b\r\n200 end", 200},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pszName);
        CScriptedSession session({c.strReply});
        ASSERT_TRUE(session.m_bConnected);
        EXPECT_EQ(session.m_client.GetRemoteDigest("dir/a.txt"), c.strExpected);
        EXPECT_EQ(session.m_client.m_nReplyCode, c.nCode);
        EXPECT_THAT(session.m_server.Received(), ElementsAre("MD5 dir/a.txt"));
    }

    CScriptedSession session({"200 " + kDigest + "\r\n"});
    EXPECT_EQ(session.m_client.GetRemoteDigest(""), "");
    EXPECT_EQ(session.m_client.GetRemoteDigest("a"), kDigest);
    EXPECT_THAT(session.m_server.Received(), ElementsAre("MD5 a"));
}

TEST(Login, SendsThePasswordOnlyWhenAskedForIt) {
    struct Case {
        const char* pszName;
        std::vector<std::string> vecReplies;
        bool bResult;
        std::vector<std::string> vecReceived;
    };
    const Case cases[] = {
        {"accepted", {"331 Need password.\r\n", "230 Logged in.\r\n"}, true,
         {"USER bob", "PASS pw"}},
        {"wrong password", {"331 Need password.\r\n", "530 Not logged in.\r\n"}, false,
         {"USER bob", "PASS pw"}},
        {"230 to USER", {"230 Logged in.\r\n"}, false, {"USER bob"}},
        {"refused user", {"530 Not logged in.\r\n"}, false, {"USER bob"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pszName);
        CScriptedSession session(c.vecReplies);
        ASSERT_TRUE(session.m_bConnected);
        EXPECT_EQ(session.m_client.Login("bob", "pw"), c.bResult);
        // The fake answers nothing more, so a late PASS would show here.
        session.m_client.Quit();
        std::vector<std::string> vecExpected = c.vecReceived;
        vecExpected.push_back("QUIT");
        for (int i = 0; i < 100 && session.m_server.Received().size() < vecExpected.size(); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        EXPECT_EQ(session.m_server.Received(), vecExpected);
    }
}

TEST(Transfers, FailWithTheLocalCodesWhenTheDataConnectionCannotBeSetUp) {
    // PORT refused.
    {
        CScriptedSession session({"500 No.\r\n"});
        ASSERT_TRUE(session.m_bConnected);
        EXPECT_FALSE(session.m_client.OpenDataPort());
        EXPECT_EQ(session.m_client.m_nReplyCode, kErrorPortRefused);
        EXPECT_FALSE(session.m_client.m_DataListener.IsOpen());
    }
    // The server says 150 and then gives up instead of connecting.
    {
        CScriptedSession session({"200 Done\r\n", "150 Opening.\r\n425 Cannot open data connection.\r\n",
                                  "200 " + kDigest + "\r\n"});
        ASSERT_TRUE(session.m_bConnected);
        std::string strListing = "unchanged";
        EXPECT_FALSE(session.m_client.List("", &strListing));
        EXPECT_EQ(session.m_client.m_nReplyCode, 425);
        EXPECT_EQ(session.m_client.GetLastReply(), "425 Cannot open data connection.\r\n");
        EXPECT_FALSE(session.m_client.m_DataListener.IsOpen());
        EXPECT_EQ(g_pDataConnection, nullptr);
        // The command channel is still in step.
        EXPECT_EQ(session.m_client.GetRemoteDigest("a"), kDigest);
        ASSERT_EQ(session.m_server.Received().size(), 3u);
        EXPECT_THAT(session.m_server.Received()[0], ::testing::StartsWith("PORT 127,0,0,1,"));
        EXPECT_EQ(session.m_server.Received()[1], "LIST");
    }
    // The server says 150 and then nothing at all.
    {
        CScriptedSession session({"200 Done\r\n", "150 Opening.\r\n"});
        ASSERT_TRUE(session.m_bConnected);
        session.m_client.SetTimeout(300);
        EXPECT_FALSE(session.m_client.List("", nullptr));
        EXPECT_EQ(session.m_client.m_nReplyCode, kErrorDataOrLocalFile);
    }
}

TEST(DataMode, PassiveFallsBackOnlyWhereTheServerLacksTheCommands) {
    const std::string kNo425 = "150 Opening.\r\n425 Cannot open data connection.\r\n";
    const int nDeadPort = FindFreePort();
    struct Case {
        const char* pszName;
        EDataMode eMode;
        std::vector<std::string> replies;
        std::vector<std::string> sent;  // "PORT" stands for any PORT line
        int nCode;                      // after the second LIST
    };
    const Case cases[] = {
        {"auto goes active once the server has neither, and stays so",
         EDataMode::Auto,
         {"502 Command not implemented.\r\n", "500 Unknown command.\r\n", "200 Done\r\n", kNo425,
          "200 Done\r\n", kNo425},
         {"EPSV", "PASV", "PORT", "LIST", "PORT", "LIST"},
         425},
        {"passive never goes active",
         EDataMode::Passive,
         {"502 Command not implemented.\r\n", "502 Command not implemented.\r\n"},
         {"EPSV", "PASV"},
         kErrorPortRefused},
        {"a refusal that is no lack of the command is the transfer's failure",
         EDataMode::Auto,
         {"425 Cannot open data connection.\r\n", "425 Cannot open data connection.\r\n"},
         {"EPSV", "EPSV"},
         kErrorPortRefused},
        {"a reply without a port is a failure",
         EDataMode::Auto,
         {"229 Entering Extended Passive Mode (|||x|)\r\n", "229 Entering Passive Mode\r\n"},
         {"EPSV", "EPSV"},
         kErrorPortRefused},
        {"a named port where nobody listens",
         EDataMode::Passive,
         {"502 Command not implemented.\r\n",
          "227 Entering Passive Mode (127,0,0,1," + std::to_string(nDeadPort / 256) + "," +
              std::to_string(nDeadPort % 256) + ").\r\n",
          "227 Entering Passive Mode (127,0,0,1," + std::to_string(nDeadPort / 256) + "," +
              std::to_string(nDeadPort % 256) + ").\r\n"},
         {"EPSV", "PASV", "PASV"},
         kErrorDataOrLocalFile},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pszName);
        CScriptedSession session(c.replies);
        ASSERT_TRUE(session.m_bConnected);
        session.m_client.SetDataMode(c.eMode);
        EXPECT_FALSE(session.m_client.List("", nullptr));
        EXPECT_FALSE(session.m_client.List("", nullptr));
        EXPECT_EQ(session.m_client.m_nReplyCode, c.nCode);
        EXPECT_FALSE(session.m_client.m_DataListener.IsOpen());
        // Everything sent is answered before the next command goes.
        std::vector<std::string> received;
        for (int i = 0; i < 50 && received.size() < c.sent.size(); ++i) {
            received = session.m_server.Received();
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        for (std::string& strLine : received) {
            if (strLine.compare(0, 5, "PORT ") == 0) {
                strLine = "PORT";
            }
        }
        EXPECT_EQ(received, c.sent);
    }
}

TEST(DataMode, ParsesThePortOfEveryPassiveReply) {
    // The server's own address goes unused: data goes where the commands go.
    platform::CSocket listener;
    const int nPort = ListenForData(listener);
    ASSERT_GT(nPort, 0);
    const std::string strHigh = std::to_string(nPort / 256);
    const std::string strLow = std::to_string(nPort % 256);
    for (const std::string& strReply :
         {"229 Entering Extended Passive Mode (|||" + std::to_string(nPort) + "|)\r\n",
          "229 Extended (!!!" + std::to_string(nPort) + "!)\r\n",
          "227 Entering Passive Mode (10,9,8,7," + strHigh + "," + strLow + ").\r\n",
          "227 =10,9,8,7," + strHigh + "," + strLow + "\r\n"}) {
        SCOPED_TRACE(strReply);
        const bool bPasv = strReply[1] == '2' && strReply[2] == '7';
        std::vector<std::string> replies;
        if (bPasv) {
            replies.push_back("500 Unknown.\r\n");
        }
        replies.push_back(strReply);
        replies.push_back("150 Opening.\r\n226 Done.\r\n");
        CScriptedSession session(replies);
        ASSERT_TRUE(session.m_bConnected);
        session.m_client.SetDataMode(EDataMode::Passive);
        std::thread server([&] {
            platform::CSocket data;
            platform::CSocketAddress peer;
            if (listener.WaitReadable(5000) == 1 && listener.Accept(data, peer)) {
                data.SendAll("listing\r\n", 9);
            }
        });
        std::string strListing;
        EXPECT_TRUE(session.m_client.List("", &strListing));
        server.join();
        EXPECT_EQ(strListing, "listing\r\n");
    }
}

TEST(Put, AnnouncesTheSizeAndUploadsWhateverTheServerSaysToThat) {
    testsupport::CTempDir dir;
    const std::string strData = "fourteen bytes";
    ASSERT_TRUE(dir.WriteFile("up.bin", strData));
    ASSERT_TRUE(dir.WriteFile("empty.bin", ""));
    struct Case {
        const char* pszName;
        const char* pszFile;
        std::string strAlloReply;
        std::string strFinalReply;
        bool bResult;
        int nCode;
    };
    const std::string strDone = "226 Transfer complete.\r\n";
    const Case cases[] = {
        {"known", "up.bin", "200 Done\r\n", strDone, true, 226},
        {"stock server", "up.bin", "202 ALLO command ignored.\r\n", strDone, true, 226},
        {"not implemented", "up.bin", "502 Command not implemented.\r\n", strDone, true, 226},
        {"refused", "up.bin", "501 Syntax error in parameters or arguments.\r\n", strDone, true,
         226},
        {"empty file", "empty.bin", "200 Done\r\n", strDone, true, 226},
        // The server counted other than announced and did not commit.
        {"not committed", "up.bin", "200 Done\r\n", "552 Requested file action aborted.\r\n",
         false, 552},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pszName);
        CScriptedSession session({c.strAlloReply, "200 Done\r\n",
                                  std::string("150 Opening.\r\n") + CFakeFtpServer::kReceiveData +
                                      c.strFinalReply});
        ASSERT_TRUE(session.m_bConnected);
        const std::string strPath = dir.Join(c.pszFile);
        EXPECT_EQ(session.m_client.Put(strPath, "in/up.bin"), c.bResult);
        EXPECT_EQ(session.m_client.m_nReplyCode, c.nCode);
        const std::string strContent = dir.ReadFile(c.pszFile).value_or("<missing>");
        const std::vector<std::string> received = session.m_server.Received();
        ASSERT_EQ(received.size(), 3u);
        EXPECT_EQ(received[0], "ALLO " + std::to_string(strContent.size()));
        EXPECT_THAT(received[1], ::testing::StartsWith("PORT 127,0,0,1,"));
        EXPECT_EQ(received[2], "STOR in/up.bin");
        EXPECT_EQ(session.m_server.ReceivedData(), strContent);
    }
}

// After a transfer the listener stays, and the next one sends its PORT with
// the transfer command. The transfer goes ahead when the server opens it
// whatever it said to PORT; a refused PORT is the cause when it does not.
TEST(Put, ASecondUploadSendsItsPortWithTheCommandAndJudgesByTheTransfer) {
    testsupport::CTempDir dir;
    ASSERT_TRUE(dir.WriteFile("up.bin", "data"));
    const std::string strStored =
        std::string("150 Opening.\r\n") + CFakeFtpServer::kReceiveData + "226 Transfer complete.\r\n";
    struct Case {
        const char* pszName;
        std::string strPortReply;
        std::string strStorReply;
        bool bResult;
        int nCode;
        std::string strCause;
    };
    const Case cases[] = {
        {"accepted", "200 Done\r\n", strStored, true, 226, "226 Transfer complete."},
        {"refused but opened", "500 No.\r\n", strStored, true, 226, "226 Transfer complete."},
        {"refused", "500 No.\r\n", "425 Use PORT or PASV first.\r\n", false, kErrorPortRefused,
         "500 No."},
        {"transfer refused", "200 Done\r\n", "553 Not allowed.\r\n", false, 553, "553 Not allowed."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pszName);
        CScriptedSession session(
            {"200 Done\r\n", "200 Done\r\n", strStored, "200 Done\r\n", c.strPortReply, c.strStorReply});
        ASSERT_TRUE(session.m_bConnected);
        ASSERT_TRUE(session.m_client.Put(dir.Join("up.bin"), "first.bin"));
        EXPECT_EQ(session.m_client.Put(dir.Join("up.bin"), "second.bin"), c.bResult);
        EXPECT_EQ(session.m_client.m_nReplyCode, c.nCode);
        EXPECT_EQ(session.m_client.GetFailureCause(), c.strCause);
        EXPECT_EQ(session.m_client.m_DataListener.IsOpen(), c.bResult);
        const std::vector<std::string> received = session.m_server.Received();
        ASSERT_EQ(received.size(), 6u);
        EXPECT_EQ(received[4], received[1]);
        EXPECT_EQ(received[5], "STOR second.bin");
    }
}

TEST(Put, FailsWhenTheAnnouncementIsNotAnswered) {
    testsupport::CTempDir dir;
    ASSERT_TRUE(dir.WriteFile("up.bin", "data"));
    CScriptedSession session({CFakeFtpServer::kClose});
    ASSERT_TRUE(session.m_bConnected);
    EXPECT_FALSE(session.m_client.Put(dir.Join("up.bin"), "up.bin"));
    EXPECT_EQ(session.m_client.m_nReplyCode, CFtpSockClientBase::kNoReply);
    EXPECT_THAT(session.m_server.Received(), ElementsAre("ALLO 4"));
}

TEST(Put, AnnouncesSizesBeyond32Bits) {
    testsupport::CTempDir dir;
    ASSERT_TRUE(dir.WriteFile("big.bin", ""));
    // Sparse: five GiB announced, nothing of it stored.
    std::filesystem::resize_file(dir.Join("big.bin"), 5ull << 30);
    CScriptedSession session({"502 Command not implemented.\r\n", "500 No.\r\n"});
    ASSERT_TRUE(session.m_bConnected);
    EXPECT_FALSE(session.m_client.Put(dir.Join("big.bin"), "big.bin"));
    EXPECT_EQ(session.m_client.m_nReplyCode, kErrorPortRefused);
    ASSERT_FALSE(session.m_server.Received().empty());
    EXPECT_EQ(session.m_server.Received()[0], "ALLO 5368709120");
}

TEST(FailureCause, IsTheServersLastReplyLineOrTheLocalCause) {
    testsupport::CTempDir dir;
    ASSERT_TRUE(dir.WriteFile("up.bin", "data"));
    struct Case {
        const char* pszName;
        std::vector<std::string> vecReplies;  // after the greeting
        bool bGet;                            // else a Put of up.bin
        std::string strLocal;                 // Get: the local path
        std::string strCause;
    };
    const Case cases[] = {
        // A download asks the file's length (SIZE) with its PORT.
        {"refused",
         {"550 No such file.\r\n", "200 Done\r\n",
          "550-No such file.\r\n550 Requested action not taken.\r\n"},
         true, dir.Join("a.txt"), "550 Requested action not taken."},
        {"PORT refused", {"213 4\r\n", "500 No.\r\n"}, true, dir.Join("a.txt"), "500 No."},
        {"closed", {CFakeFtpServer::kClose}, true, dir.Join("a.txt"),
         "connection closed by the server"},
        {"silent", {""}, true, dir.Join("a.txt"), "timed out waiting for the server's reply"},
        {"local folder missing", {}, true, dir.Join("missing/a.txt"),
         testsupport::ErrorText(testsupport::kErrorNoSuchFolder)},
        {"local path a folder", {}, true, dir.Path(), "the local path is a folder"},
        {"local file missing", {}, false, dir.Join("none.bin"),
         testsupport::ErrorText(testsupport::kErrorNoSuchFile)},
        {"not committed", {"200 Done\r\n", "200 Done\r\n",
                           std::string("150 Opening.\r\n") + CFakeFtpServer::kReceiveData +
                               "552 Requested file action aborted.\r\n"},
         false, dir.Join("up.bin"), "552 Requested file action aborted."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pszName);
        CScriptedSession session(c.vecReplies);
        ASSERT_TRUE(session.m_bConnected);
        session.m_client.SetTimeout(300);
        EXPECT_FALSE(c.bGet ? session.m_client.Get("a.txt", c.strLocal)
                            : session.m_client.Put(c.strLocal, "up.bin"));
        EXPECT_EQ(session.m_client.GetFailureCause(), c.strCause);
    }
}

TEST(FailureCause, OfAConnectIsTheSystemsOrTheGreetingsOwn) {
    CFtpSockClient client;
    client.SetTimeout(2000);
    EXPECT_FALSE(client.Connect("127.0.0.1", static_cast<unsigned>(FindFreePort())));
    EXPECT_EQ(client.GetFailureCause(),
              testsupport::ErrorText(testsupport::kErrorConnectionRefused));
    EXPECT_FALSE(client.Connect("no-such-host.invalid", 21));
    EXPECT_EQ(client.GetFailureCause(), "host name not found");
    CFakeFtpServer server({"421 Too busy.\r\n"});
    EXPECT_FALSE(client.Connect("127.0.0.1", static_cast<unsigned>(server.Port())));
    EXPECT_EQ(client.GetFailureCause(), "421 Too busy.");
}

TEST(FormatPortCommand, WritesAddressAndPortAsSixNumbers) {
    EXPECT_EQ(FormatPortCommand("10.0.0.7", 1045), "PORT 10,0,0,7,4,21");
    EXPECT_EQ(FormatPortCommand("192.168.0.10", 1045), "PORT 192,168,0,10,4,21");
    EXPECT_EQ(FormatPortCommand("127.0.0.1", 65535), "PORT 127,0,0,1,255,255");
    EXPECT_EQ(FormatPortCommand("127.0.0.1", 255), "PORT 127,0,0,1,0,255");
}

TEST(CommandLevel, WithoutCommandSocketEverythingIsANoOp) {
    CFtpSockClient client;
    client.m_nReplyCode = 331;
    EXPECT_TRUE(client.HasNoCommandSocket());
    EXPECT_TRUE(client.SendCommand("NOOP"));
    EXPECT_EQ(client.ReadReply(), "");
    EXPECT_EQ(client.m_nReplyCode, 331);
    EXPECT_FALSE(client.Login("bob", "pw"));
    EXPECT_EQ(client.GetRemoteDigest("a"), "");
    EXPECT_FALSE(client.Quit());
    EXPECT_FALSE(client.Get("a", "b"));
}

TEST(Connect, FailsWithoutAServerAndKeepsTheSocket) {
    // A port that nobody listens on: taken and released at once.
    platform::CSocket probe;
    platform::CSocketAddress address{0x7F000001, 0};
    ASSERT_TRUE(probe.Create() && probe.Bind(address) && probe.GetLocalAddress(address));
    probe.Close();
    CFtpSockClient client;
    client.SetTimeout(2000);
    EXPECT_FALSE(client.Connect("127.0.0.1", address.nPort));
    EXPECT_FALSE(client.m_bConnected);
    EXPECT_FALSE(client.HasNoCommandSocket());
    EXPECT_EQ(client.GetLastReply(), "");
    EXPECT_FALSE(client.Connect("no-such-host.invalid", 21));
    EXPECT_FALSE(client.Connect("127.0.0.1", 70000));
}

}  // namespace
