#include "platform/socket.h"

#include <gtest/gtest.h>

#include <thread>

#include "tests/support/tempdir.h"

namespace {

using namespace platform;

constexpr uint32_t kLoopback = 0x7F000001;

// A listener on a free loopback port.
class SocketTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { ASSERT_EQ(StartSockets(), 0); }
    static void TearDownTestSuite() { StopSockets(); }

    void SetUp() override {
        ASSERT_TRUE(m_listener.Create());
        ASSERT_TRUE(m_listener.SetReuseAddress());
        ASSERT_TRUE(m_listener.Bind({kLoopback, 0}));
        ASSERT_TRUE(m_listener.Listen(1));
        ASSERT_TRUE(m_listener.GetLocalAddress(m_address));
        ASSERT_NE(m_address.nPort, 0);
    }

    // A connected pair: client side and server side.
    void Connect(CSocket& client, CSocket& server) {
        ASSERT_TRUE(client.Create());
        ASSERT_TRUE(client.Connect(m_address, 2000));
        CSocketAddress peer;
        ASSERT_TRUE(m_listener.Accept(server, peer));
        EXPECT_EQ(peer.GetAddressText(), "127.0.0.1");
    }

    CSocket m_listener;
    CSocketAddress m_address;
};

TEST_F(SocketTest, BytesCrossAndTheEndShowsAsZero) {
    CSocket client, server;
    Connect(client, server);
    ASSERT_TRUE(client.SendAll("USER x\r\n", 8));
    char buffer[64] = {};
    EXPECT_EQ(server.Receive(buffer, sizeof(buffer)), 8);
    EXPECT_STREQ(buffer, "USER x\r\n");
    client.Close();
    EXPECT_EQ(server.Receive(buffer, sizeof(buffer)), 0);
    // Sending into a closed connection fails instead of killing the process.
    bool bSent = true;
    for (int i = 0; i < 100 && bSent; ++i) {
        bSent = server.SendAll(buffer, sizeof(buffer));
    }
    EXPECT_FALSE(bSent);
}

TEST_F(SocketTest, ATimeoutIsAnError) {
    CSocket client, server;
    Connect(client, server);
    ASSERT_TRUE(server.SetTimeouts(100));
    char buffer[8];
    EXPECT_EQ(server.Receive(buffer, sizeof(buffer)), -1);
    EXPECT_EQ(server.GetLastError(), GetTimeoutErrorCode());
    EXPECT_EQ(server.WaitReadable(50), 0);
    ASSERT_TRUE(client.SendAll("x", 1));
    EXPECT_EQ(server.WaitReadable(2000), 1);
}

TEST_F(SocketTest, ShutdownFromAnotherThreadEndsABlockedAccept) {
    std::thread waiter([this] {
        CSocket client;
        CSocketAddress peer;
        EXPECT_FALSE(m_listener.Accept(client, peer));
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    m_listener.Shutdown();
    waiter.join();
}

TEST_F(SocketTest, ConnectingToAClosedPortFails) {
    CSocketAddress address = m_address;
    m_listener.Close();
    CSocket client;
    ASSERT_TRUE(client.Create());
    EXPECT_FALSE(client.Connect(address, 2000));
    EXPECT_NE(client.GetLastError(), 0);
}

TEST_F(SocketTest, SendFileSendsTheWholeFile) {
    testsupport::CTempDir dir;
    std::string strData(300000, '\0');
    for (size_t i = 0; i < strData.size(); ++i) {
        strData[i] = static_cast<char>(i * 31 + i / 7);
    }
    ASSERT_TRUE(dir.WriteFile("data.bin", strData));
    CFile file;
    ASSERT_TRUE(file.Open(dir.Join("data.bin"), CFile::modeRead));

    CSocket client, server;
    Connect(client, server);
    std::string strReceived;
    std::thread reader([&] {
        char buffer[4096];
        int64_t nRead;
        while ((nRead = client.Receive(buffer, sizeof(buffer))) > 0) {
            strReceived.append(buffer, static_cast<size_t>(nRead));
        }
    });
    EXPECT_TRUE(server.SendFile(file, strData.size()));
    server.Close();
    reader.join();
    EXPECT_EQ(strReceived, strData);
}

TEST(SocketNames, AddressesParseAndResolve) {
    ASSERT_EQ(StartSockets(), 0);
    uint32_t nAddress = 0;
    EXPECT_TRUE(ParseIpv4Address("10.0.0.7", nAddress));
    EXPECT_EQ(nAddress, 0x0A000007u);
    EXPECT_FALSE(ParseIpv4Address("10.0.0", nAddress));
    EXPECT_FALSE(ParseIpv4Address("localhost", nAddress));
    EXPECT_TRUE(ResolveHostName("localhost", nAddress));
    EXPECT_EQ((CSocketAddress{nAddress, 0}.GetAddressText().substr(0, 4)), "127.");
    EXPECT_FALSE(ResolveHostName("no-such-host.invalid", nAddress));
    StopSockets();
}

TEST_F(SocketTest, ShutdownFromAnotherThreadEndsABlockedReceive) {
    CSocket client, server;
    Connect(client, server);
    std::thread waiter([&server] {
        char buffer[8];
        EXPECT_LE(server.Receive(buffer, sizeof(buffer)), 0);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    server.Shutdown();
    waiter.join();
}

TEST_F(SocketTest, ShutdownBeforeAcceptLeavesNoAcceptWaiting) {
    m_listener.Shutdown();
    CSocket client;
    CSocketAddress peer;
    EXPECT_FALSE(m_listener.Accept(client, peer));
}

// The file is sent from where the caller has read it to, and left at the
// end of what was sent, as reading it would have left it.
TEST_F(SocketTest, SendFileStartsAtTheFilePositionAndMovesIt) {
    testsupport::CTempDir dir;
    std::string strData(100000, '\0');
    for (size_t i = 0; i < strData.size(); ++i) {
        strData[i] = static_cast<char>(i * 13 + i / 251);
    }
    ASSERT_TRUE(dir.WriteFile("data.bin", strData));
    CFile file;
    ASSERT_TRUE(file.Open(dir.Join("data.bin"), CFile::modeRead));
    char head[1000];
    ASSERT_EQ(file.Read(head, sizeof(head)), 1000);

    CSocket client, server;
    Connect(client, server);
    std::string strReceived;
    std::thread reader([&] {
        char buffer[4096];
        int64_t nRead;
        while ((nRead = client.Receive(buffer, sizeof(buffer))) > 0) {
            strReceived.append(buffer, static_cast<size_t>(nRead));
        }
    });
    EXPECT_TRUE(server.SendFile(file, 50000));
    char next[4];
    ASSERT_EQ(file.Read(next, sizeof(next)), 4);
    EXPECT_EQ(std::string(next, 4), strData.substr(51000, 4));
    // Promising more than the file holds fails, after what there was.
    EXPECT_FALSE(server.SendFile(file, strData.size()));
    server.Close();
    reader.join();
    EXPECT_EQ(strReceived, strData.substr(1000, 50000) + strData.substr(51004));
}

}  // namespace

namespace {

TEST(SocketNames, AddressesOfEitherFamilyParseAndPrintInTheirUsualForm) {
    ASSERT_EQ(StartSockets(), 0);
    struct Case {
        const char* pszText;
        bool bParsed;
        bool bIpv6;
        const char* pszPrinted;
    };
    const Case cases[] = {
        {"10.0.0.7", true, false, "10.0.0.7"},
        {"::1", true, true, "::1"},
        {"2001:DB8:0:0:0:0:0:7", true, true, "2001:db8::7"},
        {"fe80::1:2", true, true, "fe80::1:2"},
        // An IPv4 peer seen through an IPv6 socket is an IPv4 peer.
        {"::ffff:192.0.2.1", true, false, "192.0.2.1"},
        {"10.0.0", false, false, ""},
        {"1", false, false, ""},
        {"[::1]", false, false, ""},
        {"::1::2", false, false, ""},
        {"localhost", false, false, ""},
        {"", false, false, ""},
    };
    for (const Case& c : cases) {
        CSocketAddress address;
        address.nPort = 21;
        EXPECT_EQ(ParseIpAddress(c.pszText, address), c.bParsed) << c.pszText;
        if (c.bParsed) {
            EXPECT_EQ(address.bIpv6, c.bIpv6) << c.pszText;
            EXPECT_EQ(address.GetAddressText(), c.pszPrinted) << c.pszText;
            EXPECT_EQ(address.nPort, 21) << c.pszText;
        }
    }
    CSocketAddress loopback6;
    ASSERT_TRUE(ParseIpAddress("::1", loopback6));
    CSocketAddress other6;
    ASSERT_TRUE(ParseIpAddress("::2", other6));
    CSocketAddress loopback4;
    ASSERT_TRUE(ParseIpAddress("127.0.0.1", loopback4));
    EXPECT_TRUE(loopback6.IsSameHost(loopback6));
    EXPECT_FALSE(loopback6.IsSameHost(other6));
    EXPECT_FALSE(loopback6.IsSameHost(loopback4));
    CSocketAddress resolved;
    EXPECT_TRUE(ResolveHostAddress("localhost", resolved));
    EXPECT_FALSE(resolved.bIpv6);  // IPv4 first
    EXPECT_TRUE(ResolveHostAddress("::1", resolved));
    EXPECT_TRUE(resolved.bIpv6);
    EXPECT_FALSE(ResolveHostAddress("no-such-host.invalid", resolved));
    StopSockets();
}

TEST(DualStack, OneListenerTakesBothFamiliesAndTellsThemApart) {
    ASSERT_EQ(StartSockets(), 0);
    CSocket listener;
    ASSERT_TRUE(listener.Create(true));
    ASSERT_TRUE(listener.SetDualStack(true));
    ASSERT_TRUE(listener.Bind(CSocketAddress::AnyIpv6(0)));
    ASSERT_TRUE(listener.Listen(2));
    CSocketAddress bound;
    ASSERT_TRUE(listener.GetLocalAddress(bound));
    for (const char* pszAddress : {"127.0.0.1", "::1"}) {
        CSocketAddress address;
        ASSERT_TRUE(ParseIpAddress(pszAddress, address));
        address.nPort = bound.nPort;
        CSocket client;
        ASSERT_TRUE(client.Create(address.bIpv6));
        ASSERT_TRUE(client.Connect(address, 2000)) << pszAddress;
        CSocket* listeners[] = {&listener};
        EXPECT_EQ(CSocket::WaitAnyReadable(listeners, 1, 2000), 0);
        CSocket server;
        CSocketAddress peer;
        ASSERT_TRUE(listener.Accept(server, peer));
        EXPECT_EQ(peer.GetAddressText(), pszAddress);
        CSocketAddress local;
        ASSERT_TRUE(server.GetLocalAddress(local));
        EXPECT_EQ(local.GetAddressText(), pszAddress);
        EXPECT_TRUE(client.SendAll("x", 1));
        char c = 0;
        EXPECT_EQ(server.Receive(&c, 1), 1);
    }
    CSocket* listeners[] = {&listener};
    EXPECT_EQ(CSocket::WaitAnyReadable(listeners, 1, 50), -1);
    StopSockets();
}

}  // namespace
