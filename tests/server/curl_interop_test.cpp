#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "tests/server/ftp_test_client.h"
#include "tests/server/stock_clients.h"
#include "tests/support/fsutil.h"

// What only curl shows: a client killed in the middle of an upload, the exit
// codes by which it tells one refusal from another, and its ways of reaching
// a file in a folder.

namespace {

class CurlInteropTest : public CStockClientTest {
protected:
    void SetUp() override { StartServerFor(m_curl); }

    CCurlClient m_curl;
};

TEST_F(CurlInteropTest, ACurlKilledDuringAnUploadLeavesTheServersCopyAsItWas) {
    const std::string strOld = TestBytes(1024 * 1024);
    ASSERT_TRUE(m_served.WriteFile("data.bin", strOld));
    ASSERT_TRUE(m_local.WriteFile("new.bin", std::string(64 * 1024 * 1024, 'n')));
    testsupport::CBackgroundProcess curl;
    ASSERT_TRUE(curl.Start(m_curl.Argv(
        Session(), "data.bin", {"--limit-rate", "4M", "--upload-file", m_local.Join("new.bin")})))
        << curl.Error();
    // Killed once the upload is well under way: the server has written part
    // of it beside the old copy.
    bool bUnderWay = false;
    for (int i = 0; i < 1000 && !bUnderWay; ++i) {
        for (const std::string& strName : m_served.List()) {
            std::error_code error;
            const auto nSize = std::filesystem::file_size(m_served.Join(strName), error);
            bUnderWay = bUnderWay || (strName != "data.bin" && !error && nSize > 1024 * 1024);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_TRUE(bUnderWay);
    curl.Kill(SIGKILL);
    ASSERT_TRUE(curl.Wait(std::chrono::seconds(10)));
    // The next session begins only when the killed one has been dealt with.
    CFtpTestClient next;
    ASSERT_TRUE(next.Connect(m_server.Port()));
    EXPECT_EQ(next.ReadLine(), std::string("220 ") + kWelcome);
    EXPECT_TRUE(m_served.ReadFile("data.bin") == strOld);
    EXPECT_EQ(m_served.List(), std::vector<std::string>{"data.bin"});
}

TEST_F(CurlInteropTest, RefusalsReachCurlAsFailures) {
    struct Case {
        const char* pszPath;
        std::vector<std::string> vecExtra;
        int nCurlExit;  // curl's own code for the refusal it saw
    };
    ASSERT_TRUE(m_local.WriteFile("up.bin", "data"));
    const Case cases[] = {
        // A file that is not there: curl reports the missing remote file.
        {"missing.bin", {"--output", m_local.Join("x")}, 78},
        // Leading out of the start directory, sent as one STOR argument.
        {"..%2Foutside.bin",
         {"--ftp-method", "nocwd", "--upload-file", m_local.Join("up.bin")},
         25},
    };
    for (const Case& c : cases) {
        std::vector<std::string> vecArgv = m_curl.Argv(Session(), c.pszPath, c.vecExtra);
        testsupport::CProcessOptions options;
        options.m_timeLimit = std::chrono::seconds(90);
        testsupport::CProcessResult result = testsupport::RunProgram(vecArgv, options);
        EXPECT_EQ(result.m_nExitStatus, c.nCurlExit) << c.pszPath << ": " << result.m_strStderr;
    }
    EXPECT_EQ(m_served.List(), std::vector<std::string>{});
    // Bad credentials: curl's login-denied code.
    EXPECT_EQ(m_curl.RunUrl(Session("wrong"), "", {}).m_nExitStatus, 67);
}

TEST_F(CurlInteropTest, AFileInAFolderIsReachedByEveryMethodOfCurl) {
    ASSERT_TRUE(testsupport::MakeFolder(m_served.Join("sub")));
    ASSERT_TRUE(testsupport::MakeFolder(m_served.Join("sub/deeper")));
    const std::string strBytes = TestBytes(70000);
    ASSERT_TRUE(m_served.WriteFile("sub/deeper/in.bin", strBytes));
    // multicwd (curl's default) changes into each folder of the path, singlecwd
    // into the whole folder at once, nocwd sends the whole path.
    for (const char* pszMethod : {"multicwd", "singlecwd", "nocwd"}) {
        const std::string strLocal = std::string(pszMethod) + ".bin";
        testsupport::CProcessResult fetched =
            m_curl.RunUrl(Session(), "sub/deeper/in.bin",
                          {"--ftp-method", pszMethod, "--output", m_local.Join(strLocal)});
        ASSERT_EQ(fetched.m_nExitStatus, 0) << pszMethod << ": " << fetched.m_strStderr;
        EXPECT_TRUE(m_local.ReadFile(strLocal) == strBytes) << pszMethod;
        testsupport::CProcessResult sent =
            m_curl.RunUrl(Session(), "sub/deeper/" + strLocal,
                          {"--ftp-method", pszMethod, "--upload-file", m_local.Join(strLocal)});
        ASSERT_EQ(sent.m_nExitStatus, 0) << pszMethod << ": " << sent.m_strStderr;
        EXPECT_TRUE(m_served.ReadFile("sub/deeper/" + strLocal) == strBytes) << pszMethod;
    }
    // A folder that is not there: curl's code for a refused CWD.
    testsupport::CProcessResult refused =
        m_curl.RunUrl(Session(), "missing/in.bin", {"--output", m_local.Join("missing.bin")});
    EXPECT_EQ(refused.m_nExitStatus, 9) << refused.m_strStderr;
    EXPECT_FALSE(m_local.Exists("missing.bin"));
}

}  // namespace
