#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <regex>
#include <string>
#include <tuple>
#include <vector>

#include "tests/server/ftp_test_client.h"
#include "tests/server/stock_clients.h"
#include "tests/support/fsutil.h"

// What every stock client does against TandrelServer, the same for each:
// listing, fetching, sending and deleting files, and the digest and clock
// commands through the client's raw-command feature.

namespace {

std::vector<const CStockClient*> AllClients() {
    static const CCurlClient curl;
    static const CLftpClient lftp;
    static const CFtplibClient ftplib;
    return {&curl, &lftp, &ftplib};
}

// The local time as TIME writes it, to the millisecond.
std::string LocalTimeText() {
    const auto now = std::chrono::system_clock::now();
    const std::time_t nSeconds = std::chrono::system_clock::to_time_t(now);
    const int nMilliseconds = static_cast<int>(
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() %
        1000);
    std::tm parts{};
    localtime_r(&nSeconds, &parts);
    char szText[64];
    std::snprintf(szText, sizeof(szText), "%04d-%02d-%02d %02d:%02d:%02d.%03d",
                  parts.tm_year + 1900, parts.tm_mon + 1, parts.tm_mday, parts.tm_hour,
                  parts.tm_min, parts.tm_sec, nMilliseconds);
    return szText;
}

// The listing line of a writable file of nSize bytes written this year.
bool IsListingLine(const std::string& strLine, size_t nSize, const std::string& strName) {
    return std::regex_match(strLine,
                            std::regex("-[-rwx]{9} 1 user group " + std::to_string(nSize) +
                                       " [A-Z][a-z]{2} [0-3][0-9] [0-2][0-9]:[0-5][0-9] " +
                                       std::regex_replace(strName, std::regex("[.]"), "\\.")));
}

// The digest of a file as md5sum computes it: a program that is not ours.
std::string Md5sum(const std::string& strPath) {
    testsupport::CProcessResult result = testsupport::RunProgram({"md5sum", strPath});
    return result.m_nExitStatus == 0 ? result.m_strStdout.substr(0, 32) : "<md5sum failed>";
}

// Each client with its defaults (passive) over IPv4 and IPv6, and in active
// mode.
const CStockRoute kRoutes[] = {
    {"Passive", "127.0.0.1", false},
    {"PassiveIpv6", "::1", false},
    {"Active", "127.0.0.1", true},
    {"PassiveTls", "127.0.0.1", false, true},
    {"PassiveTlsIpv6", "::1", false, true},
};

class StockClientTest
    : public CStockClientTest,
      public ::testing::WithParamInterface<std::tuple<const CStockClient*, CStockRoute>> {
protected:
    void SetUp() override {
        SetRoute(std::get<1>(GetParam()));
        StartServerFor(Client());
    }
    const CStockClient& Client() const { return *std::get<0>(GetParam()); }

    // The listing that the client shows for strArgument, a line each.
    std::vector<std::string> ListedLines(const std::string& strArgument) {
        testsupport::CProcessResult listed = Client().List(Session(), strArgument);
        EXPECT_EQ(listed.m_nExitStatus, 0) << strArgument << ": " << listed.m_strStderr;
        return OutputLines(listed.m_strStdout);
    }
};

TEST_P(StockClientTest, FilesGoUpAndComeBackWholeAndAreDeleted) {
    const std::string strServed = TestBytes(2 * 1024 * 1024 + 3);
    ASSERT_TRUE(m_served.WriteFile("served.bin", strServed));
    ASSERT_TRUE(m_served.WriteFile(".hidden", "x"));

    // Only the ordinary file is listed, in the server's one long form.
    std::vector<std::string> vecListed = ListedLines("");
    ASSERT_EQ(vecListed.size(), 1u);
    EXPECT_TRUE(IsListingLine(vecListed[0], strServed.size(), "served.bin")) << vecListed[0];

    testsupport::CProcessResult fetched =
        Client().Get(Session(), "served.bin", m_local.Join("fetched.bin"));
    ASSERT_EQ(fetched.m_nExitStatus, 0) << fetched.m_strStderr;
    EXPECT_TRUE(m_local.ReadFile("fetched.bin") == strServed);

    // Sent and fetched back: a large file, an empty one, a name with a blank.
    struct Case {
        std::string strName;
        std::string strBytes;
    };
    const Case cases[] = {{"up.bin", TestBytes(3 * 1024 * 1024 + 11)},
                          {"empty.bin", ""},
                          {"two words.txt", "a line\r\nand one more\n"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.strName);
        ASSERT_TRUE(m_local.WriteFile("source", c.strBytes));
        testsupport::CProcessResult sent =
            Client().Put(Session(), m_local.Join("source"), c.strName);
        ASSERT_EQ(sent.m_nExitStatus, 0) << sent.m_strStderr;
        EXPECT_TRUE(m_served.ReadFile(c.strName) == c.strBytes);
        // A name of its own: lftp replaces no local file unless told to.
        const std::string strBack = "back of " + c.strName;
        testsupport::CProcessResult back =
            Client().Get(Session(), c.strName, m_local.Join(strBack));
        ASSERT_EQ(back.m_nExitStatus, 0) << back.m_strStderr;
        EXPECT_TRUE(m_local.ReadFile(strBack) == c.strBytes);
    }
    // Nothing else on the server: no temporary file of an upload is left.
    EXPECT_EQ(m_served.List(), (std::vector<std::string>{".hidden", "empty.bin", "served.bin",
                                                         "two words.txt", "up.bin"}));

    for (const char* pszName : {"up.bin", "two words.txt"}) {
        testsupport::CProcessResult deleted = Client().Delete(Session(), pszName);
        EXPECT_EQ(deleted.m_nExitStatus, 0) << pszName << ": " << deleted.m_strStderr;
    }
    EXPECT_EQ(m_served.List(), (std::vector<std::string>{".hidden", "empty.bin", "served.bin"}));
}

TEST_P(StockClientTest, TheRootByNameAndListingsWithOptionsShowTheFiles) {
    ASSERT_TRUE(m_served.WriteFile("a.txt", "a"));
    ASSERT_TRUE(m_served.WriteFile("b.txt", "bb"));
    ASSERT_TRUE(testsupport::MakeFolder(m_served.Join("sub")));
    ASSERT_TRUE(m_served.WriteFile("sub/inner.txt", "inner"));
    // The two files and the folder.
    const std::vector<std::string> vecRoot = ListedLines("");
    ASSERT_EQ(vecRoot.size(), 3u);
    // What lftp's "ls -l" and "ls /" send: once an empty listing, which the
    // clients showed as an empty folder.
    for (const char* pszArgument : {"/", "-l", "-la /"}) {
        EXPECT_EQ(ListedLines(pszArgument), vecRoot) << pszArgument;
    }
    for (const char* pszArgument : {"sub", "-l sub", "/sub/"}) {
        std::vector<std::string> vecSub = ListedLines(pszArgument);
        ASSERT_EQ(vecSub.size(), 1u) << pszArgument;
        EXPECT_TRUE(IsListingLine(vecSub[0], 5, "inner.txt")) << pszArgument << ": " << vecSub[0];
    }
}

TEST_P(StockClientTest, DigestAndClockRepliesAreWholeLines) {
    ASSERT_TRUE(m_served.WriteFile("empty.bin", ""));
    ASSERT_TRUE(m_served.WriteFile("data.bin", TestBytes(1024 * 1024 + 5)));
    ASSERT_TRUE(m_served.WriteFile("two words.txt", "x y\n"));
    for (const char* pszName : {"empty.bin", "data.bin", "two words.txt"}) {
        testsupport::CProcessResult result;
        std::vector<std::string> vecReply =
            Client().Quote(Session(), std::string("MD5 ") + pszName, result);
        EXPECT_EQ(result.m_nExitStatus, 0) << pszName << ": " << result.m_strStderr;
        EXPECT_EQ(vecReply, std::vector<std::string>{"200 " + Md5sum(m_served.Join(pszName))})
            << pszName;
    }

    // The server's local clock, as the machine's own clock reads it around
    // the request (the fixed format sorts like the time it names).
    const std::string strBefore = LocalTimeText();
    testsupport::CProcessResult result;
    std::vector<std::string> vecReply = Client().Quote(Session(), "TIME", result);
    const std::string strAfter = LocalTimeText();
    EXPECT_EQ(result.m_nExitStatus, 0) << result.m_strStderr;
    ASSERT_EQ(vecReply.size(), 1u);
    EXPECT_TRUE(
        std::regex_match(vecReply[0], std::regex("200 [0-9]{4}-[01][0-9]-[0-3][0-9] "
                                                 "[0-2][0-9]:[0-5][0-9]:[0-6][0-9]\\.[0-9]{3}")))
        << vecReply[0];
    EXPECT_LE(strBefore, vecReply[0].substr(4));
    EXPECT_LE(vecReply[0].substr(4), strAfter);
}

TEST_P(StockClientTest, TheFeatureListIsOneReplyOfSeveralLines) {
    testsupport::CProcessResult result;
    std::vector<std::string> vecReply = Client().Quote(Session(), "FEAT", result);
    EXPECT_EQ(result.m_nExitStatus, 0) << result.m_strStderr;
    // lftp shows the feature lines without the blank they begin with.
    for (std::string& strLine : vecReply) {
        strLine.erase(0, strLine.find_first_not_of(' '));
    }
    const std::vector<std::string> vecPlain = {"211-Features:", "EPRT", "EPSV", "MD5", "PASV",
                                               "REST STREAM", "SIZE", "TIME", "UTF8", "211 End"};
    const std::vector<std::string> vecTls = {"211-Features:", "AUTH TLS", "EPRT", "EPSV", "MD5",
                                             "PASV", "PBSZ", "PROT", "REST STREAM", "SIZE",
                                             "TIME", "UTF8", "211 End"};
    EXPECT_EQ(vecReply, std::get<1>(GetParam()).bTls ? vecTls : vecPlain);
}

TEST_P(StockClientTest, RefusalsEndInTheClientsFailure) {
    ASSERT_TRUE(m_served.WriteFile("a.txt", "a"));
    ASSERT_TRUE(m_local.WriteFile("up.bin", "data"));
    testsupport::CProcessResult missing =
        Client().Get(Session(), "missing.bin", m_local.Join("missing.bin"));
    EXPECT_NE(missing.m_nExitStatus, 0) << missing.m_strStdout;
    testsupport::CProcessResult denied =
        Client().Put(Session("wrong"), m_local.Join("up.bin"), "up.bin");
    EXPECT_NE(denied.m_nExitStatus, 0) << denied.m_strStdout;
    testsupport::CProcessResult hidden = Client().Put(Session(), m_local.Join("up.bin"), ".up.bin");
    EXPECT_NE(hidden.m_nExitStatus, 0) << hidden.m_strStdout;
    EXPECT_EQ(m_served.List(), std::vector<std::string>{"a.txt"});
}

INSTANTIATE_TEST_SUITE_P(
    Clients, StockClientTest,
    ::testing::Combine(::testing::ValuesIn(AllClients()), ::testing::ValuesIn(kRoutes)),
    [](const auto& info) {
        return std::get<0>(info.param)->Name() + std::string("_") + std::get<1>(info.param).pszName;
    });

}  // namespace
