#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/server/ftp_test_client.h"
#include "tests/server/stock_clients.h"
#include "tests/support/fsutil.h"

// lftp with its own defaults (it asks for FEAT before logging in, then uses
// what the server lists): a client that resumes transfers, makes folders and
// asks for what the server does not have. Whatever it tries, no file may end
// up longer, shorter or other than one whole copy.

namespace {

class LftpInteropTest : public CStockClientTest {
protected:
    void SetUp() override { StartServerFor(m_lftp); }

    testsupport::CProcessResult Lftp(const std::string& strCommands) {
        return m_lftp.RunCommands(Session(), strCommands);
    }

    CLftpClient m_lftp;
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
        ASSERT_TRUE((c.bServerHasPart ? m_served : m_local).WriteFile(c.pszName, strHalf));
        ASSERT_TRUE((c.bServerHasPart ? m_local : m_served).WriteFile(c.pszName, strWhole));
        testsupport::CProcessResult result = Lftp(c.pszCommand);
        EXPECT_EQ(result.m_nExitStatus, 0) << c.pszCommand << ": " << result.m_strStderr;
        EXPECT_TRUE(m_served.ReadFile(c.pszName) == strWhole) << c.pszCommand;
        EXPECT_TRUE(m_local.ReadFile(c.pszName) == strWhole) << c.pszCommand;
    }
    EXPECT_EQ(m_served.List(), (std::vector<std::string>{"down.bin", "up.bin"}));
}

TEST_F(LftpInteropTest, FoldersAndRenamesWorkFromLftpAndNothingIsReplaced) {
    ASSERT_TRUE(m_served.WriteFile("a.txt", "a"));
    ASSERT_TRUE(m_served.WriteFile("c.txt", "c"));
    ASSERT_TRUE(testsupport::MakeFolder(m_served.Join("sub")));
    ASSERT_TRUE(m_served.WriteFile("sub/b.txt", "b"));
    ASSERT_TRUE(m_local.WriteFile("up.txt", "up"));
    struct Case {
        const char* pszCommands;
        bool bSucceeds;
    };
    const Case cases[] = {
        {"mkdir new", true},
        {"mkdir new", false},
        {"mkdir -p deep/er", true},
        {"cd new && put up.txt && ls && cd ..", true},
        {"mv a.txt b.txt", true},
        {"mv b.txt c.txt", false},
        {"rmdir new", false},
        {"rmdir deep/er && rmdir deep", true},
        {"cd ..", false},
        {"mirror sub copy", true},
    };
    for (const Case& c : cases) {
        testsupport::CProcessResult result = Lftp(c.pszCommands);
        EXPECT_EQ(result.m_nExitStatus == 0, c.bSucceeds) << c.pszCommands << ": " << result.m_strStderr;
    }
    EXPECT_EQ(m_served.List(), (std::vector<std::string>{"b.txt", "c.txt", "new", "sub"}));
    EXPECT_EQ(m_served.ReadFile("new/up.txt").value_or(""), "up");
    EXPECT_EQ(m_served.ReadFile("c.txt").value_or(""), "c");
    EXPECT_EQ(m_local.ReadFile("copy/b.txt").value_or("<missing>"), "b");
}

}  // namespace
