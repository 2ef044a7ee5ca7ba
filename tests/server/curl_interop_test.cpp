#include "server/ftpserver/ftpserver.h"

#include <signal.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <regex>
#include <thread>
#include <string>
#include <vector>

#include "tests/server/ftp_test_client.h"
#include "tests/support/process.h"
#include "tests/support/tempdir.h"

// curl's FTP client in active mode against the engine: a peer we did not
// write, so what both sides assume about the wire is checked for real.

namespace {

class CurlInteropTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!testsupport::RunProgram({"curl", "--version"}).m_bStarted) {
            GTEST_SKIP() << "curl is not installed; scripts/install-deps.sh installs it";
        }
        m_users = {{"op", "pa ss"}};
        m_nPort = FindFreePort();
        ASSERT_GT(m_nPort, 0);
        m_server.SetTimeoutForTesting(10000);
        const std::string strWelcome = "curl peer";
        ASSERT_TRUE(m_server.Start([] {}, false, &m_users, &strWelcome, m_nPort,
                                   m_dir.Path() + "/"));
    }

    // Runs curl with the engine's URL for strPath and the extra arguments.
    testsupport::CProcessResult Curl(const std::string& strPath,
                                     const std::vector<std::string>& vecExtra) {
        std::vector<std::string> argv = {
            "curl",         "--silent",        "--show-error",  "--ftp-port",
            "127.0.0.1",    "--disable-eprt",  "--max-time",    "60",
            "--user",       "op:pa ss",
            "ftp://127.0.0.1:" + std::to_string(m_nPort) + "/" + strPath};
        argv.insert(argv.end(), vecExtra.begin(), vecExtra.end());
        testsupport::CProcessOptions options;
        options.m_timeLimit = std::chrono::seconds(90);
        return testsupport::RunProgram(argv, options);
    }

    testsupport::CTempDir m_dir;
    testsupport::CTempDir m_local;
    std::vector<CFileSyncServerUser> m_users;
    CFtpServer m_server;
    int m_nPort = 0;
};

TEST_F(CurlInteropTest, ListsFetchesAndUploads) {
    const std::string strServed = TestBytes(2 * 1024 * 1024 + 3);
    ASSERT_TRUE(m_dir.WriteFile("served.bin", strServed));
    ASSERT_TRUE(m_dir.WriteFile(".hidden", "x"));

    testsupport::CProcessResult listed = Curl("", {});
    ASSERT_EQ(listed.m_nExitStatus, 0) << listed.m_strStderr;
    // Only the ordinary file is listed, in the engine's one-line form (curl
    // turns the line end of a text-mode listing into its own).
    EXPECT_TRUE(std::regex_match(
        listed.m_strStdout,
        std::regex("-rw------- 1 user group 2097155 [A-Z][a-z]{2} [0-3][0-9] "
                   "[0-2][0-9]:[0-5][0-9] served\\.bin\r?\n")))
        << listed.m_strStdout;

    const std::string strFetched = m_local.Join("fetched.bin");
    testsupport::CProcessResult fetched = Curl("served.bin", {"--output", strFetched});
    ASSERT_EQ(fetched.m_nExitStatus, 0) << fetched.m_strStderr;
    EXPECT_TRUE(m_local.ReadFile("fetched.bin") == strServed);

    const std::string strUpload = TestBytes(3 * 1024 * 1024 + 11);
    ASSERT_TRUE(m_local.WriteFile("up.bin", strUpload));
    testsupport::CProcessResult uploaded =
        Curl("uploaded.bin", {"--upload-file", m_local.Join("up.bin")});
    ASSERT_EQ(uploaded.m_nExitStatus, 0) << uploaded.m_strStderr;
    EXPECT_TRUE(m_dir.ReadFile("uploaded.bin") == strUpload);

    // An empty upload makes an empty file, and it comes back empty.
    ASSERT_TRUE(m_local.WriteFile("empty", ""));
    ASSERT_EQ(Curl("empty.bin", {"--upload-file", m_local.Join("empty")}).m_nExitStatus, 0);
    EXPECT_EQ(m_dir.ReadFile("empty.bin").value_or("<missing>"), "");
    ASSERT_EQ(Curl("empty.bin", {"--output", m_local.Join("empty.back")}).m_nExitStatus, 0);
    EXPECT_EQ(m_local.ReadFile("empty.back").value_or("<missing>"), "");
}

TEST_F(CurlInteropTest, ACurlKilledDuringAnUploadLeavesTheServersCopyAsItWas) {
    const std::string strOld = TestBytes(1024 * 1024);
    ASSERT_TRUE(m_dir.WriteFile("data.bin", strOld));
    ASSERT_TRUE(m_local.WriteFile("new.bin", std::string(64 * 1024 * 1024, 'n')));
    testsupport::CBackgroundProcess curl;
    ASSERT_TRUE(curl.Start({"curl", "--silent", "--ftp-port", "127.0.0.1", "--disable-eprt",
                            "--limit-rate", "4M", "--user", "op:pa ss", "--upload-file",
                            m_local.Join("new.bin"),
                            "ftp://127.0.0.1:" + std::to_string(m_nPort) + "/data.bin"}))
        << curl.Error();
    // Killed once the upload is well under way: the server has written part
    // of it beside the old copy.
    bool bUnderWay = false;
    for (int i = 0; i < 1000 && !bUnderWay; ++i) {
        for (const std::string& strName : m_dir.List()) {
            std::error_code error;
            const auto nSize = std::filesystem::file_size(m_dir.Join(strName), error);
            bUnderWay = bUnderWay || (strName != "data.bin" && !error && nSize > 1024 * 1024);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_TRUE(bUnderWay);
    curl.Kill(SIGKILL);
    ASSERT_TRUE(curl.Wait(std::chrono::seconds(10)));
    // The next session begins only when the killed one has been dealt with.
    CFtpTestClient next;
    ASSERT_TRUE(next.Connect(m_nPort));
    EXPECT_EQ(next.ReadLine(), "220 curl peer");
    EXPECT_TRUE(m_dir.ReadFile("data.bin") == strOld);
    EXPECT_EQ(m_dir.List(), std::vector<std::string>{"data.bin"});
}

TEST_F(CurlInteropTest, RefusalsReachCurlAsFailures) {
    struct Case {
        const char* pszPath;
        std::vector<std::string> vecExtra;
        int nCurlExit; // curl's own code for the refusal it saw
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
        testsupport::CProcessResult result = Curl(c.pszPath, c.vecExtra);
        EXPECT_EQ(result.m_nExitStatus, c.nCurlExit) << c.pszPath << ": " << result.m_strStderr;
    }
    EXPECT_EQ(m_dir.List(), std::vector<std::string>{});
    // Bad credentials: curl's login-denied code.
    testsupport::CProcessResult denied = testsupport::RunProgram(
        {"curl", "--silent", "--ftp-port", "127.0.0.1", "--disable-eprt", "--max-time", "60",
         "--user", "op:wrong", "ftp://127.0.0.1:" + std::to_string(m_nPort) + "/"});
    EXPECT_EQ(denied.m_nExitStatus, 67);
}

} // namespace
