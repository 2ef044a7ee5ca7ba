#include <signal.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include "tests/server/ftp_test_client.h"
#include "tests/support/process.h"
#include "tests/support/fsutil.h"
#include "tests/support/syscodes.h"
#include "tests/support/tempdir.h"

// TandrelServer as operators run it: copied into a folder of its own with its
// settings file beside it, driven through its switches, its terminal and
// real sockets.

namespace {

using namespace std::chrono_literals;

// Standard output without the engine's trace lines, which its thread writes
// in between at moments of its own.
std::string WithoutTrace(const std::string& strOutput) {
    return std::regex_replace(strOutput,
                              std::regex(R"([^\n]* \([0-9]+, ftpserver\.cpp, -?[0-9]{8}\)\r?\n)"),
                              "");
}

class ServerProgramTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::filesystem::copy_file(TANDRELSERVER_PATH, m_dir.Join("TandrelServer"));
        m_nPort = FindFreePort();
        ASSERT_GT(m_nPort, 0);
        WriteSettings("Log=" + m_dir.Join("server.log") + "\n");
        // Instances of other tests running at the same time must not count
        // as "another TandrelServer".
        m_options.m_vecEnv = {{"XDG_RUNTIME_DIR", m_runtime.Path()}};
        m_options.m_strWorkDir = m_dir.Path();
    }

    void WriteSettings(const std::string& strExtraTcp, const std::string& strPort = "") {
        ASSERT_TRUE(m_dir.WriteFile(
            "TandrelServer.INI",
            "[TandrelServer]\nVersion=Quillon 4.1\n[TCP]\nPort=" +
                (strPort.empty() ? std::to_string(m_nPort) : strPort) + "\nStartDir=" +
                m_root.Path() + "\nWelcome=Hello\n" + strExtraTcp + "[USER]\nUser=op\nPwd=pw\n"));
    }

    std::string Program() const { return m_dir.Join("TandrelServer"); }
    std::string StartedLine() const { return "Server started on port " + std::to_string(m_nPort); }

    // The values as the terminal shows them when the dialog opens.
    std::string ShownValues(const std::string& strPort) const {
        return "Port: " + strPort + "\nStart Dir: " + m_root.Path() + "\nWelcome: Hello\n";
    }

    bool LogIn(CFtpTestClient& client) {
        return client.Connect(m_nPort) && client.ReadLine() == "220 Hello" &&
               client.Command("USER op") == "331 User name Ok, need password." &&
               client.Command("PASS pw") == "230 Logged in.";
    }

    testsupport::CTempDir m_dir;
    testsupport::CTempDir m_root;
    testsupport::CTempDir m_runtime;
    testsupport::CProcessOptions m_options;
    int m_nPort = 0;
};

TEST_F(ServerProgramTest, StartsUnattendedAndEndsCleanlyOnATerminateRequest) {
#ifdef _WIN32
    // The stop request of a Windows program in a console is a console break,
    // which Wine does not deliver to another process group.
    if (testsupport::IsWine()) {
        GTEST_SKIP() << "Wine delivers no console break to another process group";
    }
#endif
    for (int nSignal : {SIGTERM, SIGINT}) {
        SCOPED_TRACE(nSignal);
        testsupport::CBackgroundProcess server;
        ASSERT_TRUE(server.Start(testsupport::InTerminal({Program(), "/START"}), m_options)) << server.Error();
        ASSERT_TRUE(server.WaitForStdout(StartedLine(), 10s)) << server.Stdout();
        CFtpTestClient client;
        EXPECT_TRUE(LogIn(client));
        server.Kill(nSignal);
        testsupport::CProcessResult result;
        ASSERT_TRUE(server.Wait(10s, &result));
        EXPECT_FALSE(result.m_bSignaled);
        EXPECT_EQ(result.m_nExitStatus, 0);
        EXPECT_EQ(WithoutTrace(result.m_strStdout),
                  testsupport::AsText(ShownValues(std::to_string(m_nPort)) + StartedLine() + "\n"));
        EXPECT_EQ(result.m_strStderr, testsupport::AsText(""));
        EXPECT_EQ(m_dir.ReadFile("server.log").value_or("<missing>"), testsupport::AsText(StartedLine() + "\n"));
        EXPECT_TRUE(client.IsClosedByServer());
    }
}

TEST_F(ServerProgramTest, StartOneEndsTheProgramAfterQuit) {
    testsupport::CBackgroundProcess server;
    ASSERT_TRUE(server.Start(testsupport::InTerminal({Program(), "-startone"}), m_options)) << server.Error();
    ASSERT_TRUE(server.WaitForStdout(StartedLine(), 10s)) << server.Stdout();
    CFtpTestClient client;
    ASSERT_TRUE(LogIn(client));
    EXPECT_EQ(client.Command("QUIT"), "221 Service closing control connection.");
    testsupport::CProcessResult result;
    ASSERT_TRUE(server.Wait(10s, &result));
    EXPECT_FALSE(result.m_bSignaled);
    EXPECT_EQ(result.m_nExitStatus, 0);
}

TEST_F(ServerProgramTest, RunOnceLeavesARunningServerAlone) {
    testsupport::CBackgroundProcess first;
    ASSERT_TRUE(first.Start(testsupport::InTerminal({Program(), "-runonce"}), m_options)) << first.Error();
    ASSERT_TRUE(first.WaitForStdout(StartedLine(), 10s)) << first.Stdout();
    for (const char* pszSwitch : {"-runonce", "/RunOnce"}) {
        testsupport::CProcessOptions options = m_options;
        options.m_timeLimit = 10s;
        testsupport::CProcessResult second = testsupport::RunProgram(testsupport::InTerminal({Program(), pszSwitch}), options);
        EXPECT_FALSE(second.m_bTimedOut);
        EXPECT_EQ(second.m_nExitStatus, 0);
        EXPECT_EQ(second.m_strStdout, "");
        EXPECT_EQ(second.m_strStderr, "");
    }
    CFtpTestClient client;
    EXPECT_TRUE(LogIn(client));
}

TEST_F(ServerProgramTest, SessionsBackToBackAreNeverRefused) {
    testsupport::CBackgroundProcess server;
    ASSERT_TRUE(server.Start(testsupport::InTerminal({Program(), "-start"}), m_options)) << server.Error();
    ASSERT_TRUE(server.WaitForStdout(StartedLine(), 10s)) << server.Stdout();
    // Each client connects the moment the previous QUIT was answered, as
    // cron jobs that run one after the other do.
    for (int i = 0; i < 300; ++i) {
        CFtpTestClient client;
        ASSERT_TRUE(LogIn(client)) << "session " << i;
        ASSERT_EQ(client.Command("QUIT"), "221 Service closing control connection.");
    }
    if (testsupport::IsWine()) {
        GTEST_SKIP() << "Wine delivers no console break to another process group";
    }
    server.Kill(SIGTERM);
    testsupport::CProcessResult result;
    ASSERT_TRUE(server.Wait(10s, &result));
    EXPECT_EQ(result.m_nExitStatus, 0);
}

TEST_F(ServerProgramTest, APortInUseEndsAnUnattendedStartWithTheNetworkStatus) {
    platform::CSocket holder;
    ASSERT_TRUE(HoldPort(holder, m_nPort));
    const std::string strPort = std::to_string(m_nPort);
    const std::string strLines = "Server can't start on port " + strPort +
                                 "!!!\nCan't listen on port " + strPort + ": " +
                                 testsupport::ErrorText(testsupport::kErrorAddressInUse) + "\n";
    for (const char* pszSwitch : {"-start", "-startone", "-runonce"}) {
        SCOPED_TRACE(pszSwitch);
        std::filesystem::remove(m_dir.Join("server.log"));
        testsupport::CProcessOptions options = m_options;
        options.m_timeLimit = 10s;
        testsupport::CProcessResult result = testsupport::RunProgram(testsupport::InTerminal({Program(), pszSwitch}), options);
        EXPECT_FALSE(result.m_bTimedOut);
        EXPECT_EQ(result.m_nExitStatus, 1);
        EXPECT_EQ(WithoutTrace(result.m_strStdout), testsupport::AsText(ShownValues(strPort) + strLines));
        EXPECT_EQ(result.m_strStderr, testsupport::AsText(""));
        EXPECT_EQ(m_dir.ReadFile("server.log").value_or("<missing>"), testsupport::AsText(strLines));
    }
}

TEST_F(ServerProgramTest, TlsThatCannotBeOfferedEndsAnUnattendedStart) {
    if (!platform::IsTlsAvailable()) {
        GTEST_SKIP() << "this build has no TLS";
    }
    ASSERT_TRUE(m_root.WriteFile("not-a-certificate.pem", "nothing here\n"));
    const std::string strPort = std::to_string(m_nPort);
    struct Case {
        std::string strTcp;
        std::string strCause;
    };
    const std::string strMissing = m_root.Join("missing.pem");
    const Case cases[] = {
        {"TlsCertificate=" + strMissing + "\n",
         "TLS cannot be offered: certificate file " + strMissing + ": No such file or directory"},
        {"TlsCertificate=" + m_root.Join("not-a-certificate.pem") + "\n",
         "TLS cannot be offered: certificate file " + m_root.Join("not-a-certificate.pem") +
             ": no start line"},
        {"TlsRequired=Yes\n", "TLS cannot be offered: TlsRequired=Yes needs a TlsCertificate"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.strTcp);
        WriteSettings(c.strTcp);
        testsupport::CProcessOptions options = m_options;
        options.m_timeLimit = 10s;
        testsupport::CProcessResult result =
            testsupport::RunProgram(testsupport::InTerminal({Program(), "-start"}), options);
        EXPECT_FALSE(result.m_bTimedOut);
        EXPECT_EQ(result.m_nExitStatus, 1);
        const std::string strShown = WithoutTrace(result.m_strStdout);
        EXPECT_EQ(strShown, testsupport::AsText(ShownValues(strPort) +
                                                "Server can't start on port " + strPort +
                                                "!!!\n" + c.strCause + "\n"));
        // Nobody was let in meanwhile.
        CFtpTestClient client;
        EXPECT_FALSE(client.Connect(m_nPort));
    }
}

TEST_F(ServerProgramTest, AStartDirectoryThatIsNoFolderIsNeverServed) {
    ASSERT_TRUE(m_root.WriteFile("file.txt", "x"));
    for (const std::string& strStartDir : {m_root.Join("missing"), m_root.Join("file.txt")}) {
        SCOPED_TRACE(strStartDir);
        ASSERT_TRUE(m_dir.WriteFile(
            "TandrelServer.INI", "[TCP]\nPort=" + std::to_string(m_nPort) +
                                     "\nStartDir=" + strStartDir + "\nWelcome=Hello\n"));
        testsupport::CProcessOptions options = m_options;
        options.m_timeLimit = 10s;
        testsupport::CProcessResult result = testsupport::RunProgram(testsupport::InTerminal({Program(), "-start"}), options);
        EXPECT_FALSE(result.m_bTimedOut);
        // The terminal asks for the folder; the input ends; no start happened.
        EXPECT_EQ(result.m_nExitStatus, 3);
        EXPECT_EQ(WithoutTrace(result.m_strStdout), testsupport::AsText("Port: " + std::to_string(m_nPort) +
                                                        "\nStart Dir: " + strStartDir +
                                                        "\nWelcome: Hello\n"));
        EXPECT_EQ(result.m_strStderr, testsupport::AsText("Start Dir: "));
    }
}

TEST_F(ServerProgramTest, SettingsThatCannotBeUsedEndTheProgram) {
    struct Case {
        std::string strSettings;  // empty: no file
        int nExitStatus;
        std::string strStdout;
        std::string strStderr;
    };
    const std::string strCantOpen = "Can't open file '" + m_dir.Join("TandrelServer.INI") + "'!!!\n";
    const Case cases[] = {
        {"", 2, "", strCantOpen},
        {"[TandrelServer]\nVersion=Quillon 5\n[TCP]\nPort=21\n", 2, "",
         "Syntax error. Invalid version!!! (TandrelServer.INI, line 2)\n" + strCantOpen},
        {"[TCP]\nPort=99999999999x\nStartDir=/\n", 2, "",
         "Syntax error. Invalid Port!!!. You must specify a number or \"BT\" for bluetooth "
         "(TandrelServer.INI, line 2)\n" +
             strCantOpen},
        // UTF-16 is read as text: this file holds a [TCP] section and no
        // values, so the terminal asks for the port, the input ends, and the
        // start that was asked for never happened.
        {std::string("\xFF\xFE[\0T\0C\0P\0]\0", 12), 3, "Port: -1\nStart Dir: \nWelcome: \n",
         "Port: "},
    };
    for (const Case& c : cases) {
        std::filesystem::remove(m_dir.Join("TandrelServer.INI"));
        if (!c.strSettings.empty()) {
            ASSERT_TRUE(m_dir.WriteFile("TandrelServer.INI", c.strSettings));
        }
        testsupport::CProcessOptions options = m_options;
        options.m_timeLimit = 10s;
        testsupport::CProcessResult result = testsupport::RunProgram(testsupport::InTerminal({Program(), "-start"}), options);
        EXPECT_FALSE(result.m_bTimedOut);
        EXPECT_EQ(result.m_nExitStatus, c.nExitStatus);
        EXPECT_EQ(result.m_strStderr, testsupport::AsText(c.strStderr));
        EXPECT_EQ(result.m_strStdout, testsupport::AsText(c.strStdout));
    }
}

TEST_F(ServerProgramTest, TheTerminalAsksForWhatIsMissingAndPressesTheButton) {
    struct Case {
        std::string strPortInFile;  // empty: no Port line
        std::string strPortShown;
        std::string strTyped;       // the operator's lines; then the input ends
        std::string strStdout;      // after the shown values
        std::string strStderr;
    };
    const std::string strPort = std::to_string(m_nPort);
    const Case cases[] = {
        // A missing port is asked for; the next line presses Start; the end
        // of input then cancels, which stops the server.
        {"", "-1", strPort + "\n\n", StartedLine() + "\n", "Port: "},
        // A refused Start asks again for what is still wrong.
        {"70000", "70000", "abc\n\n", "", "Port: Invalid parameter\nPort: "},
        {"BT", "BT", "", "",
         "BlueeTooth only works under WINCE. Change the Port\nPort: "},
        // Valid values without a switch: nothing is asked, Enter starts.
        {strPort, strPort, "\n", StartedLine() + "\n", ""},
        {strPort, strPort, "", "", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("Port=" + c.strPortInFile + " typed: " + c.strTyped);
        WriteSettings("", c.strPortInFile.empty() ? "" : c.strPortInFile);
        if (c.strPortInFile.empty()) {
            std::string strSettings = m_dir.ReadFile("TandrelServer.INI").value();
            strSettings.replace(strSettings.find("Port=" + strPort + "\n"), 6 + strPort.size(), "");
            ASSERT_TRUE(m_dir.WriteFile("TandrelServer.INI", strSettings));
        }
        testsupport::CProcessOptions options = m_options;
        options.m_strStdin = c.strTyped;
        options.m_timeLimit = 20s;
        testsupport::CProcessResult result = testsupport::RunProgram(testsupport::InTerminal({Program()}), options);
        EXPECT_FALSE(result.m_bTimedOut);
        EXPECT_EQ(result.m_nExitStatus, 0);
        EXPECT_EQ(result.m_strStderr, testsupport::AsText(c.strStderr));
        EXPECT_EQ(WithoutTrace(result.m_strStdout), testsupport::AsText(ShownValues(c.strPortShown) + c.strStdout));
    }
}

TEST_F(ServerProgramTest, ALogFileThatCannotBeOpenedLeavesTheServerRunning) {
    const std::string strLog = m_dir.Join("missing/server.log");
    WriteSettings("Log=" + strLog + "\n");
    testsupport::CBackgroundProcess server;
    ASSERT_TRUE(server.Start(testsupport::InTerminal({Program(), "-start"}), m_options)) << server.Error();
    ASSERT_TRUE(server.WaitForStdout(StartedLine(), 10s)) << server.Stdout();
    CFtpTestClient client;
    EXPECT_TRUE(LogIn(client));
    if (testsupport::IsWine()) {
        GTEST_SKIP() << "Wine delivers no console break to another process group";
    }
    server.Kill(SIGTERM);
    testsupport::CProcessResult result;
    ASSERT_TRUE(server.Wait(10s, &result));
    EXPECT_EQ(result.m_nExitStatus, 0);
    EXPECT_EQ(result.m_strStderr, testsupport::AsText("Cannot open log file '" + strLog + "'\n"));
}

TEST_F(ServerProgramTest, AFailedLoginIsWrittenToTheLogFileWithoutThePassword) {
    testsupport::CBackgroundProcess server;
    ASSERT_TRUE(server.Start(testsupport::InTerminal({Program(), "-start"}), m_options)) << server.Error();
    ASSERT_TRUE(server.WaitForStdout(StartedLine(), 10s)) << server.Stdout();
    for (const char* pszUser : {"op", "intruder"}) {
        CFtpTestClient client;
        ASSERT_TRUE(client.Connect(m_nPort));
        EXPECT_EQ(client.ReadLine(), "220 Hello");
        EXPECT_EQ(client.Command(std::string("USER ") + pszUser), "331 User name Ok, need password.");
        EXPECT_EQ(client.Command("PASS hunter2"), "530 Not logged in.");
        EXPECT_TRUE(client.IsClosedByServer());
    }
    const std::string strLines = "Login failed: user 'op' from 127.0.0.1\n"
                                 "Login failed: user 'intruder' from 127.0.0.1\n";
    // The trace runs in between on standard output; the log file has the
    // log lines alone.
    ASSERT_TRUE(server.WaitForStdout("user 'intruder'", 10s)) << server.Stdout();
    EXPECT_NE(WithoutTrace(server.Stdout()).find(testsupport::AsText(strLines)), std::string::npos)
        << server.Stdout();
    std::optional<std::string> strLog = m_dir.ReadFile("server.log");
    ASSERT_TRUE(strLog);
    EXPECT_EQ(*strLog, testsupport::AsText(StartedLine() + "\n" + strLines));
    EXPECT_EQ(server.Stdout().find("hunter2"), std::string::npos);
    // Well-behaved clients are served as before.
    CFtpTestClient client;
    EXPECT_TRUE(LogIn(client));
}

}  // namespace
