#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "tests/server/ftp_test_client.h"
#include "tests/support/process.h"
#include "tests/support/tempdir.h"

// The real TandrelClient where a display is named: in a window on a virtual
// X server (xvfb-run), and back in the terminal with one line on standard
// error when the display named cannot be used. Its server is a real
// TandrelServer in a temporary folder.

namespace {

using namespace std::chrono_literals;

bool IsOnPath(const std::string& strProgram) {
    return testsupport::RunProgram({"sh", "-c", "command -v " + strProgram}).m_nExitStatus == 0;
}

class ClientWindowTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::filesystem::copy_file(TANDRELCLIENT_PATH, m_client.Join("TandrelClient"));
        std::filesystem::copy_file(TANDRELSERVER_PATH, m_server.Join("TandrelServer"));
        m_nPort = FindFreePort();
        ASSERT_GT(m_nPort, 0);
        ASSERT_TRUE(m_server.WriteFile(
            "TandrelServer.INI", "[TCP]\nPort=" + std::to_string(m_nPort) + "\nStartDir=" +
                                     m_served.Path() +
                                     "\nWelcome=Sync server ready\n[USER]\nUser=op\nPwd=pw\n"));
        ASSERT_TRUE(m_served.WriteFile("report.txt", "monthly report\n"));
        ASSERT_TRUE(m_client.WriteFile(
            "TandrelClient.INI",
            "[TandrelClient]\nVersion=Quillon 4.1\n[SERVER]\nLabel=Test office\n"
            "Address=127.0.0.1\nPort=" +
                std::to_string(m_nPort) + "\nUser=op\nPwd=pw\nLog=" + m_client.Join("sync.log") +
                "\n[GET]\nRemoteFiles=report.txt\nLocalDir=" + m_client.Join("In") +
                "\nRemoteDir=\n"));

        testsupport::CProcessOptions options;
        options.m_vecEnv = {{"XDG_RUNTIME_DIR", m_runtime.Path()}, {"DISPLAY", ""},
                            {"WAYLAND_DISPLAY", ""}};
        ASSERT_TRUE(m_serverProcess.Start({m_server.Join("TandrelServer"), "-start"}, options))
            << m_serverProcess.Error();
        ASSERT_TRUE(m_serverProcess.WaitForStdout(
            "Server started on port " + std::to_string(m_nPort), 10s))
            << m_serverProcess.Stdout();
    }

    std::string LogLines() const {
        return "Trying to connect to 127.0.0.1:" + std::to_string(m_nPort) +
               "...\nConnected\n220 Sync server ready\nTrying to log as op...\nLogin OK\n"
               "OK TRANSM: GET /report.txt->" +
               m_client.Join("In") +
               "/report.txt\nGET Files: 1 OK\nNo PUT section found\n"
               "Disconnecting from server...\nDisconnected\n";
    }

    std::string ReadLog() const { return m_client.ReadFile("sync.log").value_or("<no log>"); }

    // Runs strScript with sh inside a fresh virtual X server; $1 is the
    // client, $2 the client's folder.
    testsupport::CProcessResult RunInXvfb(const std::string& strScript) {
        testsupport::CProcessOptions options;
        options.m_strWorkDir = m_client.Path();
        options.m_timeLimit = 90s;
        options.m_vecEnv = {{"XDG_RUNTIME_DIR", m_runtime.Path()}, {"QT_QPA_PLATFORM", ""},
                            {"WAYLAND_DISPLAY", ""}};
        // The client starts only once the display answers: on a busy machine
        // the virtual server can still be coming up, and a client that finds
        // no display runs in the terminal instead.
        const std::string strWaitForDisplay =
            "i=0; until xwininfo -root >/dev/null 2>&1 || [ $i -ge 1500 ]; do "
            "i=$((i+1)); sleep 0.02; done\n";
        testsupport::CProcessResult result = testsupport::RunProgram(
            {"xvfb-run", "-a", "-s", "-screen 0 1024x768x24", "sh", "-c",
             strWaitForDisplay + strScript, "sh", m_client.Join("TandrelClient"), m_client.Path()},
            options);
        EXPECT_TRUE(result.m_bStarted) << result.m_strError;
        EXPECT_FALSE(result.m_bTimedOut) << result.m_strStdout << result.m_strStderr;
        return result;
    }

    testsupport::CTempDir m_client;
    testsupport::CTempDir m_server;
    testsupport::CTempDir m_served;
    testsupport::CTempDir m_runtime;
    testsupport::CBackgroundProcess m_serverProcess;
    int m_nPort = 0;
};

// What the script prints when the client has ended: whether its window was
// seen on the display, and its exit status. Every wait has a limit.
const char* const kWatchWindow = R"(
seen=no
i=0
while kill -0 "$pid" 2>/dev/null && [ $i -lt 3000 ]; do
  if [ $seen = no ] && xwininfo -root -tree 2>/dev/null | grep -q '"TandrelClient"'; then
    seen=yes
    [ -n "$stop_when_seen" ] && stop_when_seen
  fi
  i=$((i+1))
  sleep 0.02
done
kill -KILL "$pid" 2>/dev/null
wait "$pid"
echo "window=$seen status=$?"
)";

TEST_F(ClientWindowTest, ASilentRunInAWindowEndsByItselfAndLogsItsLines) {
    if (!IsOnPath("xvfb-run") || !IsOnPath("xwininfo")) {
        GTEST_SKIP() << "xvfb-run or xwininfo is not installed";
    }
    const testsupport::CProcessResult result = RunInXvfb(
        std::string(R"("$1" -silent >"$2/out.txt" 2>"$2/err.txt" & pid=$!
stop_when_seen=)") +
        kWatchWindow);
    // The window may come and go between two looks, so only the status is
    // certain here; the next test waits for the window.
    EXPECT_NE(result.m_strStdout.find("status=0\n"), std::string::npos)
        << result.m_strStdout << result.m_strStderr;
    EXPECT_EQ(ReadLog(), LogLines());
    // In a window nothing goes to the terminal: the terminal host would
    // have shown every field on standard output.
    EXPECT_EQ(m_client.ReadFile("out.txt").value_or("<none>"), "");
    EXPECT_EQ(m_client.ReadFile("err.txt").value_or("<none>"), "");
}

TEST_F(ClientWindowTest, TheWindowAppearsAndATerminateRequestEndsItAsCancel) {
    if (!IsOnPath("xvfb-run") || !IsOnPath("xwininfo")) {
        GTEST_SKIP() << "xvfb-run or xwininfo is not installed";
    }
    // "-start" runs at once and then waits with "End" for the operator;
    // SIGTERM, once the run has ended, cancels as Ctrl+C would.
    const testsupport::CProcessResult result = RunInXvfb(
        std::string(R"(folder=$2
"$1" -start >"$2/out.txt" 2>"$2/err.txt" & pid=$!
stop_when_seen() {
  j=0
  until grep -qx Disconnected "$folder/sync.log" 2>/dev/null || [ $j -ge 1500 ]; do
    j=$((j+1)); sleep 0.02
  done
  kill -TERM "$pid"
}
stop_when_seen=yes)") +
        kWatchWindow);
    EXPECT_NE(result.m_strStdout.find("window=yes status=0\n"), std::string::npos)
        << result.m_strStdout << result.m_strStderr;
    EXPECT_EQ(ReadLog(), LogLines());
    EXPECT_EQ(m_client.ReadFile("out.txt").value_or("<none>"), "");
    EXPECT_EQ(m_client.ReadFile("err.txt").value_or("<none>"), "");
}

// SIGTERM (or Ctrl+C in the terminal that started the window) while a file
// moves: the upload is broken off, the server keeps its copy, and the status
// is the one of a run that broke off.
TEST_F(ClientWindowTest, ATerminateRequestDuringAnUploadInAWindowBreaksItOff) {
    if (!IsOnPath("xvfb-run") || !IsOnPath("xwininfo")) {
        GTEST_SKIP() << "xvfb-run or xwininfo is not installed";
    }
    ASSERT_TRUE(m_served.WriteFile("big.bin", "old server copy"));
    testsupport::CTempDir out;
    // Sparse: no disk, yet seconds of digesting and sending.
    ASSERT_TRUE(out.WriteFile("big.bin", ""));
    ASSERT_EQ(truncate(out.Join("big.bin").c_str(), 512LL << 20), 0);
    ASSERT_TRUE(m_client.WriteFile(
        "TandrelClient.INI",
        "[TandrelClient]\nVersion=Quillon 4.1\n[SERVER]\nLabel=Test office\n"
        "Address=127.0.0.1\nPort=" +
            std::to_string(m_nPort) + "\nUser=op\nPwd=pw\nLog=" + m_client.Join("sync.log") +
            "\n[PUT]\nLocalFiles=big.bin\nLocalDir=" + out.Path() + "\nRemoteDir=\n"));
    // Stopped once the server's temporary file shows the upload under way.
    const testsupport::CProcessResult result = RunInXvfb(
        R"("$1" -silent >"$2/out.txt" 2>"$2/err.txt" & pid=$!
stop_when_seen() {
  j=0
  until ls -A ')" + m_served.Path() + R"(' | grep -q '^[.]' || [ $j -ge 3000 ]; do
    j=$((j+1)); sleep 0.01
  done
  kill -TERM "$pid"
}
stop_when_seen=yes)" + kWatchWindow);
    EXPECT_NE(result.m_strStdout.find("window=yes status=6\n"), std::string::npos)
        << result.m_strStdout << result.m_strStderr;
    const std::string strFiles = "PUT " + out.Join("big.bin") + "->/big.bin";
    EXPECT_EQ(ReadLog(), "Trying to connect to 127.0.0.1:" + std::to_string(m_nPort) +
                             "...\nConnected\n220 Sync server ready\nTrying to log as op...\n"
                             "Login OK\nBROKEN OFF: " + strFiles +
                             "\nRun broken off\nNo GET section found\n"
                             "PUT Files: 0 OK, 1 FAILED!!\nDisconnecting from server...\n"
                             "Disconnected\n");
    EXPECT_EQ(m_client.ReadFile("err.txt").value_or("<none>"),
              strFiles + ": broken off by a stop request\n");
    for (int i = 0; i < 200 && m_served.List().size() != 2; ++i) {
        std::this_thread::sleep_for(10ms);
    }
    EXPECT_EQ(m_served.List(), (std::vector<std::string>{"big.bin", "report.txt"}));
    EXPECT_EQ(m_served.ReadFile("big.bin"), "old server copy");
}

TEST_F(ClientWindowTest, TheConsoleSwitchKeepsTheTerminalWhereADisplayWorks) {
    if (!IsOnPath("xvfb-run") || !IsOnPath("xwininfo")) {
        GTEST_SKIP() << "xvfb-run or xwininfo is not installed";
    }
    const testsupport::CProcessResult result = RunInXvfb(
        R"("$1" -silent -console >"$2/out.txt" 2>"$2/err.txt" </dev/null; echo "status=$?")");
    EXPECT_NE(result.m_strStdout.find("status=0\n"), std::string::npos)
        << result.m_strStdout << result.m_strStderr;
    EXPECT_EQ(m_client.ReadFile("out.txt").value_or("<none>"),
              "Label: Test office\nAddress: 127.0.0.1\nPort: " + std::to_string(m_nPort) +
                  "\nUser: op\nPassword: **\n" + LogLines());
    EXPECT_EQ(m_client.ReadFile("err.txt").value_or("<none>"), "");
}

TEST_F(ClientWindowTest, ADisplayThatCannotBeUsedFallsBackToTheTerminalWithOneLine) {
    struct CCase {
        const char* pszName;
        std::vector<std::pair<std::string, std::string>> env;
        std::string strDisplay;
    };
    // Display numbers far beyond what any test or desktop uses.
    const std::vector<CCase> cases = {
        {"X display", {{"DISPLAY", ":987"}, {"WAYLAND_DISPLAY", ""}}, ":987"},
        {"Wayland display", {{"DISPLAY", ""}, {"WAYLAND_DISPLAY", "wayland-987"}}, "wayland-987"},
    };
    for (const CCase& c : cases) {
        SCOPED_TRACE(c.pszName);
        std::filesystem::remove_all(m_client.Join("In"));
        testsupport::CProcessOptions options;
        options.m_strWorkDir = m_client.Path();
        options.m_vecEnv = c.env;
        options.m_vecEnv.push_back({"QT_QPA_PLATFORM", ""});
        options.m_vecEnv.push_back({"XDG_RUNTIME_DIR", m_runtime.Path()});
        const testsupport::CProcessResult result =
            testsupport::RunProgram({m_client.Join("TandrelClient"), "-silent"}, options);
        ASSERT_TRUE(result.m_bStarted) << result.m_strError;
        EXPECT_EQ(result.m_nExitStatus, 0);
        EXPECT_EQ(result.m_strStderr, "TandrelClient: no window can be opened on display " +
                                          c.strDisplay + "; running in the terminal\n");
        EXPECT_EQ(result.m_strStdout,
                  "Label: Test office\nAddress: 127.0.0.1\nPort: " + std::to_string(m_nPort) +
                      "\nUser: op\nPassword: **\n" + LogLines());
        EXPECT_EQ(ReadLog(), LogLines());
    }
}

}  // namespace
