// The TCP client against our own server engine, in this process, over real
// loopback sockets.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <random>
#include <regex>

#include "client/transfer/ftpsockclient.h"
#include "platform/file.h"
#include "server/ftpserver/ftpserver.h"
#include "tests/server/ftp_test_client.h"
#include "tests/support/fsutil.h"
#include "tests/support/tempdir.h"

using ::testing::ElementsAre;

namespace {

const char* const kHelloDigest = "b1946ac92492d2347c6235b4d2611184";  // "hello\n"

std::string RandomBytes(size_t nLength) {
    std::mt19937 generator(12345);
    std::string strBytes(nLength, '\0');
    for (char& c : strBytes) {
        c = static_cast<char>(generator() & 0xFF);
    }
    return strBytes;
}

// Tells the server a second, dead data address after the real one, so that
// it cannot open the data connection.
class CMisdirectingClient : public CFtpSockClient {
public:
    bool OpenDataPort() override {
        if (!CFtpSockClient::OpenDataPort()) {
            return false;
        }
        SendCommand(FormatPortCommand("127.0.0.1", static_cast<unsigned>(FindFreePort())));
        ReadReply();
        return m_nReplyCode == 200;
    }
};

class EngineTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(platform::MakeDirectory(m_dir.Join("server")));
        ASSERT_TRUE(platform::MakeDirectory(m_dir.Join("local")));
        m_nPort = FindFreePort();
        ASSERT_TRUE(m_server.Start({}, false, &m_users, &m_strWelcome, m_nPort,
                                   m_dir.Join("server")));
        ConnectAndLogIn(m_client);
    }

    // Once: the engine listens from Start on, and a client that comes while
    // another session runs waits for its greeting.
    bool Connect(CFtpSockClient& client, const std::string& strHost) {
        client.SetTimeout(10000);
        return client.Connect(strHost, static_cast<unsigned>(m_nPort));
    }

    void ConnectAndLogIn(CFtpSockClient& client) {
        ASSERT_TRUE(Connect(client, "127.0.0.1"));
        ASSERT_TRUE(client.Login("alice", "secret"));
        ASSERT_TRUE(client.SetBinaryType());
    }

    std::string Server(const std::string& strName) { return m_dir.Join("server/" + strName); }
    std::string Local(const std::string& strName) { return m_dir.Join("local/" + strName); }
    std::vector<std::string> LocalNames() {
        std::vector<std::string> names;
        for (const platform::CFileInfo& info : platform::FindFiles(Local("*"))) {
            if (info.strName != "." && info.strName != "..") {
                names.push_back(info.strName);
            }
        }
        std::sort(names.begin(), names.end());
        return names;
    }

    testsupport::CTempDir m_dir;
    std::vector<CFileSyncServerUser> m_users{{"alice", "secret"}};
    std::string m_strWelcome = "Tandrel test";
    int m_nPort = 0;
    CFtpServer m_server;
    CFtpSockClient m_client;
};

TEST_F(EngineTest, GreetingLoginDigestAndQuit) {
    ASSERT_TRUE(m_dir.WriteFile("server/a.txt", "hello\n"));
    EXPECT_TRUE(m_client.Quit());
    EXPECT_TRUE(m_client.HasNoCommandSocket());
    EXPECT_TRUE(m_client.m_bConnected);

    // The engine serves one client at a time, and listens again once the
    // session of m_client has ended; a host name is resolved.
    CFtpSockClient client;
    ASSERT_TRUE(Connect(client, "localhost"));
    EXPECT_EQ(client.GetLastReply(), "220 Tandrel test\r\n");
    EXPECT_EQ(client.m_nReplyCode, 220);
    EXPECT_TRUE(client.Login("alice", "secret"));
    EXPECT_EQ(client.GetLastReply(), "230 Logged in.\r\n");
    EXPECT_TRUE(client.SetBinaryType());
    EXPECT_EQ(client.GetRemoteDigest("a.txt"), kHelloDigest);
    EXPECT_EQ(client.GetRemoteDigest("missing.txt"), "");
    EXPECT_EQ(client.GetLastReply(), "552 Requested file action aborted.\r\n");
    EXPECT_TRUE(client.Quit());
}

TEST_F(EngineTest, EveryDataModeMovesEveryByteOverEitherProtocol) {
    m_client.Quit();
    const std::string strData = RandomBytes(2 * 1024 * 1024 + 3);
    ASSERT_TRUE(m_dir.WriteFile("local/up.bin", strData));
    struct Case {
        EDataMode eMode;
        const char* pszHost;
        const char* pszDataCommand;  // what the server's trace must show
    };
    const Case cases[] = {
        {EDataMode::Active, "127.0.0.1", "R: PORT 127,0,0,1,"},
        {EDataMode::Active, "::1", "R: EPRT |2|::1|"},
        {EDataMode::Passive, "127.0.0.1", "R: EPSV "},
        {EDataMode::Passive, "::1", "R: EPSV "},
        {EDataMode::Auto, "localhost", "R: EPSV "},
        {EDataMode::Auto, "[::1]", "R: EPSV "},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.pszHost) + " mode " + std::to_string(static_cast<int>(c.eMode)));
        ::testing::internal::CaptureStdout();
        {
            CFtpSockClient client;
            client.SetDataMode(c.eMode);
            ASSERT_TRUE(Connect(client, c.pszHost));
            ASSERT_TRUE(client.Login("alice", "secret"));
            EXPECT_TRUE(client.Put(Local("up.bin"), "up.bin"));
            EXPECT_TRUE(m_dir.ReadFile("server/up.bin").value_or("") == strData);
            EXPECT_TRUE(client.Get("up.bin", Local("down.bin")));
            EXPECT_TRUE(m_dir.ReadFile("local/down.bin").value_or("") == strData);
            std::string strListing;
            EXPECT_TRUE(client.List("", &strListing));
            EXPECT_THAT(strListing, ::testing::HasSubstr(" up.bin\r\n"));
            client.Quit();
        }
        // The session is over once the next one can begin.
        CFtpSockClient next;
        ASSERT_TRUE(Connect(next, "127.0.0.1"));
        next.Quit();
        const std::string strTrace = ::testing::internal::GetCapturedStdout();
        EXPECT_THAT(strTrace, ::testing::HasSubstr(c.pszDataCommand));
    }
}

TEST_F(EngineTest, AWrongPasswordIsRefused) {
    m_client.Quit();
    CFtpSockClient client;
    ASSERT_TRUE(Connect(client, "127.0.0.1"));
    EXPECT_FALSE(client.Login("alice", "wrong"));
    EXPECT_EQ(client.m_nReplyCode, 530);
}

TEST_F(EngineTest, PutAndGetMoveEveryByte) {
    const std::string strData = RandomBytes(3 * 1024 * 1024 + 17);
    ASSERT_TRUE(m_dir.WriteFile("local/up.bin", strData));
    ASSERT_TRUE(m_dir.WriteFile("local/empty.bin", ""));
    ASSERT_TRUE(m_dir.WriteFile("local/down.bin", "an older copy"));

    EXPECT_TRUE(m_client.Put(Local("up.bin"), "up.bin"));
    EXPECT_EQ(m_client.m_nReplyCode, 226);
    EXPECT_EQ(m_dir.ReadFile("server/up.bin"), strData);
    EXPECT_TRUE(m_client.Get("up.bin", Local("down.bin")));
    EXPECT_EQ(m_dir.ReadFile("local/down.bin"), strData);

    EXPECT_TRUE(m_client.Put(Local("empty.bin"), "empty.bin"));
    EXPECT_TRUE(m_client.Get("empty.bin", Local("empty2.bin")));
    EXPECT_EQ(m_dir.ReadFile("local/empty2.bin"), "");
    EXPECT_EQ(g_pDataConnection, nullptr);
    EXPECT_THAT(LocalNames(), ElementsAre("down.bin", "empty.bin", "empty2.bin", "up.bin"));
}

TEST_F(EngineTest, OneListenerServesEveryTransferAndAStrayConnectionIsNeverTakenForData) {
    ASSERT_TRUE(m_dir.WriteFile("server/a.txt", "hello\n"));
    ASSERT_TRUE(m_dir.WriteFile("local/up.bin", "uploaded"));
    EXPECT_TRUE(m_client.Get("a.txt", Local("a.txt")));
    ASSERT_TRUE(m_client.m_DataListener.IsOpen());
    platform::CSocketAddress listener;
    ASSERT_TRUE(m_client.m_DataListener.GetLocalAddress(listener));

    // Someone else connects to the listener between two transfers and sends
    // bytes of its own: neither the download nor the upload may take them.
    platform::CSocket stray;
    ASSERT_TRUE(stray.Create() && stray.Connect(listener, 5000));
    ASSERT_TRUE(stray.SendAll("not the file", 12));
    EXPECT_TRUE(m_client.Get("a.txt", Local("b.txt")));
    EXPECT_EQ(m_dir.ReadFile("local/b.txt"), "hello\n");
    platform::CSocket stray2;
    ASSERT_TRUE(stray2.Create() && stray2.Connect(listener, 5000));
    EXPECT_TRUE(m_client.Put(Local("up.bin"), "up.bin"));
    EXPECT_EQ(m_dir.ReadFile("server/up.bin"), "uploaded");

    platform::CSocketAddress still;
    ASSERT_TRUE(m_client.m_DataListener.GetLocalAddress(still));
    EXPECT_EQ(still.nPort, listener.nPort);
    // A failed transfer closes it: a late connection of the server's could
    // wait in it.
    EXPECT_FALSE(m_client.Get("missing.txt", Local("c.txt")));
    EXPECT_FALSE(m_client.m_DataListener.IsOpen());
    m_client.Quit();
    EXPECT_FALSE(m_client.m_DataListener.IsOpen());
}

TEST_F(EngineTest, AFailedGetLeavesTheLocalCopyAsItWas) {
    ASSERT_TRUE(m_dir.WriteFile("local/keep.txt", "old"));
    ASSERT_TRUE(m_dir.WriteFile("server/a.txt", "hello\n"));

    EXPECT_FALSE(m_client.Get("missing.txt", Local("keep.txt")));
    EXPECT_EQ(m_client.m_nReplyCode, 550);

    // The server cannot reach the data address: it says so, and the client
    // stops at once instead of waiting for a connection.
    CMisdirectingClient misdirected;
    m_client.Quit();
    ConnectAndLogIn(misdirected);
    EXPECT_FALSE(misdirected.Get("a.txt", Local("keep.txt")));
    EXPECT_EQ(misdirected.m_nReplyCode, 425);
    EXPECT_FALSE(misdirected.m_DataListener.IsOpen());
    EXPECT_EQ(g_pDataConnection, nullptr);

    EXPECT_EQ(m_dir.ReadFile("local/keep.txt"), "old");
    EXPECT_THAT(LocalNames(), ElementsAre("keep.txt"));
    // Still in step with the server.
    EXPECT_EQ(misdirected.GetRemoteDigest("a.txt"), kHelloDigest);
}

TEST_F(EngineTest, AGetThatCannotWriteLocallyAsksTheServerNothing) {
    ASSERT_TRUE(m_dir.WriteFile("server/a.txt", "hello\n"));
    ASSERT_TRUE(m_dir.WriteFile("local/readonly.txt", "mine"));
    ASSERT_TRUE(testsupport::MakeReadOnly(Local("readonly.txt")));
    const std::string targets[] = {Local("missing/dir/a.txt"), Local(""), Local("readonly.txt")};
    for (const std::string& strTarget : targets) {
        SCOPED_TRACE(strTarget);
        EXPECT_FALSE(m_client.Get("a.txt", strTarget));
        EXPECT_EQ(m_client.m_nReplyCode, kErrorDataOrLocalFile);
        EXPECT_FALSE(m_client.m_DataListener.IsOpen());
        // Nothing went to the server, so the next reply is the next answer.
        EXPECT_EQ(m_client.GetRemoteDigest("a.txt"), kHelloDigest);
    }
    EXPECT_EQ(m_dir.ReadFile("local/readonly.txt"), "mine");
    EXPECT_THAT(LocalNames(), ElementsAre("readonly.txt"));
}

TEST_F(EngineTest, APutThatCannotStartLeavesTheServerCopyAsItWas) {
    ASSERT_TRUE(m_dir.WriteFile("server/a.txt", "precious"));
    ASSERT_TRUE(m_dir.WriteFile("local/a.txt", "new"));
    const std::string sources[] = {Local("missing.txt"), Local("")};
    for (const std::string& strSource : sources) {
        SCOPED_TRACE(strSource);
        EXPECT_FALSE(m_client.Put(strSource, "a.txt"));
        EXPECT_EQ(m_client.m_nReplyCode, kErrorDataOrLocalFile);
    }
    EXPECT_EQ(m_dir.ReadFile("server/a.txt"), "precious");

    // A local file that opens but cannot be read: the upload has begun when
    // the read fails, and the server must not keep what it got as the file.
    EXPECT_FALSE(m_client.Put("/proc/self/mem", "a.txt"));
    EXPECT_EQ(m_client.m_nReplyCode, kErrorDataOrLocalFile);
    EXPECT_EQ(m_dir.ReadFile("server/a.txt"), "precious");

    CMisdirectingClient misdirected;
    m_client.Quit();
    ConnectAndLogIn(misdirected);
    EXPECT_FALSE(misdirected.Put(Local("a.txt"), "a.txt"));
    EXPECT_EQ(misdirected.m_nReplyCode, 425);
    EXPECT_EQ(m_dir.ReadFile("server/a.txt"), "precious");
}

TEST_F(EngineTest, ListFetchesTheListing) {
    ASSERT_TRUE(m_dir.WriteFile("server/a.txt", "hello\n"));
    std::string strListing = "unchanged";
    EXPECT_TRUE(m_client.List("ignored", &strListing));
    EXPECT_EQ(strListing, m_client.m_strListing);
    EXPECT_TRUE(std::regex_match(
        strListing,
        std::regex("-[-rwx]{9} 1 user group 6 [A-Z][a-z][a-z] [0-9][0-9] [0-9][0-9]:[0-9][0-9] "
                   "a\\.txt\r\n")))
        << strListing;
    EXPECT_EQ(g_pDataConnection, nullptr);
}

}  // namespace
