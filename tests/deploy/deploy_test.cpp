#include <fcntl.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <signal.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/socket.h"
#include "tests/server/ftp_test_client.h"
#include "tests/server/server_program.h"
#include "tests/support/process.h"
#include "tests/support/tempdir.h"

// What deploy/ gives an operator: the systemd unit of TandrelServer and the
// cron job of TandrelClient. Each is taken as it stands, with only the
// folder it installs to (/opt/tandrel) replaced by a temporary one, and what
// it asks of the programs is done to the real programs.

namespace {

using namespace std::chrono_literals;

constexpr const char* kInstallFolder = "/opt/tandrel";

std::string ReadText(const std::string& strPath) {
    std::ifstream file(strPath, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

std::vector<std::string> Lines(const std::string& strText) {
    std::vector<std::string> vecLines;
    std::istringstream stream(strText);
    for (std::string strLine; std::getline(stream, strLine);) {
        vecLines.push_back(strLine);
    }
    return vecLines;
}

std::vector<std::string> Words(const std::string& strText) {
    std::vector<std::string> vecWords;
    std::istringstream stream(strText);
    for (std::string strWord; stream >> strWord;) {
        vecWords.push_back(strWord);
    }
    return vecWords;
}

std::string ReplaceAll(std::string strText, const std::string& strOld, const std::string& strNew) {
    for (size_t nAt = strText.find(strOld); nAt != std::string::npos;
         nAt = strText.find(strOld, nAt + strNew.size())) {
        strText.replace(nAt, strOld.size(), strNew);
    }
    return strText;
}

// The value of the last "strKey=" line of a unit; empty when there is none.
std::string UnitValue(const std::string& strUnit, const std::string& strKey) {
    std::string strValue;
    for (const std::string& strLine : Lines(strUnit)) {
        if (strLine.rfind(strKey + "=", 0) == 0) {
            strValue = strLine.substr(strKey.size() + 1);
        }
    }
    return strValue;
}

class ServiceUnitTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_strUnit = ReadText(std::string(DEPLOY_DIR) + "/systemd/tandrel-server.service");
        ASSERT_FALSE(m_strUnit.empty());
        ASSERT_TRUE(m_served.WriteFile("served.txt", "served"));
    }

    // ExecStart's switches, after the program's path, which must be the
    // program in the install folder.
    std::vector<std::string> Switches() const {
        std::vector<std::string> vecWords = Words(UnitValue(m_strUnit, "ExecStart"));
        EXPECT_FALSE(vecWords.empty());
        if (vecWords.empty()) {
            return {};
        }
        EXPECT_EQ(vecWords[0], std::string(kInstallFolder) + "/TandrelServer");
        return std::vector<std::string>(vecWords.begin() + 1, vecWords.end());
    }

    // The signal that systemd stops the service with.
    int KillSignal() const {
        const std::string strName = UnitValue(m_strUnit, "KillSignal");
        return strName.empty() || strName == "SIGTERM" ? SIGTERM
               : strName == "SIGINT"                   ? SIGINT
                                                       : -1;
    }

    // Whether systemd starts the service again after it ended with
    // nStatus: Restart=on-failure does for every status but 0, unless
    // RestartPreventExitStatus names it.
    bool IsRestartedAfter(int nStatus) const {
        EXPECT_EQ(UnitValue(m_strUnit, "Restart"), "on-failure");
        const std::vector<std::string> vecPrevented =
            Words(UnitValue(m_strUnit, "RestartPreventExitStatus"));
        return nStatus != 0 && std::find(vecPrevented.begin(), vecPrevented.end(),
                                         std::to_string(nStatus)) == vecPrevented.end();
    }

    std::string m_strUnit;
    testsupport::CTempDir m_served;
    CServerProgram m_server;
};

TEST_F(ServiceUnitTest, SystemdAcceptsTheUnit) {
    if (access("/usr/bin/systemd-analyze", X_OK) != 0) {
        GTEST_SKIP() << "systemd-analyze is not installed; scripts/install-deps.sh installs it "
                        "(Debian package systemd)";
    }
    // The unit as installed, but with the program in a folder of the test's.
    testsupport::CTempDir units;
    ASSERT_TRUE(units.WriteFile("tandrel-server.service",
                                ReplaceAll(m_strUnit, kInstallFolder, m_server.Folder())));
    testsupport::CProcessOptions options;
    options.m_timeLimit = 60s;
    testsupport::CProcessResult result = testsupport::RunProgram(
        {"/usr/bin/systemd-analyze", "verify", units.Join("tandrel-server.service")}, options);
    ASSERT_TRUE(result.m_bStarted) << result.m_strError;
    // A key it does not know, or a value it cannot take, is only a warning:
    // the unit is accepted only when nothing at all is said.
    EXPECT_EQ(result.m_nExitStatus, 0);
    EXPECT_EQ(result.m_strStdout, "");
    EXPECT_EQ(result.m_strStderr, "");
}

TEST_F(ServiceUnitTest, TheServiceServesUnattendedAndEndsCleanlyOnItsStopSignal) {
    EXPECT_EQ(UnitValue(m_strUnit, "StandardInput"), "null");
    ASSERT_TRUE(m_server.WriteSettings(m_served.Path(), "Hello", {{"op", "pw"}}));
    // Started as systemd starts it: the unit's switches, no input at all.
    ASSERT_TRUE(m_server.Start(Switches())) << m_server.Error();
    // The end of its input does not end it; it serves.
    std::this_thread::sleep_for(500ms);
    CFtpTestClient client;
    ASSERT_TRUE(client.Connect(m_server.Port()));
    EXPECT_EQ(client.ReadLine(), "220 Hello");
    EXPECT_EQ(client.Command("USER op"), "331 User name Ok, need password.");
    EXPECT_EQ(client.Command("PASS pw"), "230 Logged in.");
    CTransferResult fetched = Transfer(client, "RETR served.txt");
    EXPECT_EQ(fetched.strData, "served");

    const int nSignal = KillSignal();
    ASSERT_GT(nSignal, 0) << UnitValue(m_strUnit, "KillSignal");
    testsupport::CProcessResult result;
    ASSERT_TRUE(m_server.Stop(nSignal, result));
    EXPECT_FALSE(result.m_bSignaled);
    EXPECT_EQ(result.m_nExitStatus, 0);
    EXPECT_FALSE(IsRestartedAfter(result.m_nExitStatus));
    EXPECT_TRUE(client.IsClosedByServer());
    // The log file is complete when the stop is done.
    EXPECT_EQ(ReadText(m_server.Folder() + "/server.log"), m_server.StartedLine() + "\n");
}

TEST_F(ServiceUnitTest, OnlyAFailureThatMayPassIsRestarted) {
    struct Case {
        const char* pszWhat;
        int nExitStatus;
        bool bRestarted;
    };
    const Case cases[] = {
        // Another program holds the port: it may let it go.
        {"port held", 1, true},
        // The operator must mend the settings first.
        {"no settings file", 2, false},
        {"start folder missing", 3, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pszWhat);
        const std::string strWhat = c.pszWhat;
        std::filesystem::remove(m_server.Folder() + "/TandrelServer.INI");
        if (strWhat != "no settings file") {
            ASSERT_TRUE(m_server.WriteSettings(
                strWhat == "start folder missing" ? m_served.Join("missing") : m_served.Path(),
                "Hello", {{"op", "pw"}}));
        }
        platform::CSocket holder;
        if (strWhat == "port held") {
            ASSERT_TRUE(HoldPort(holder, m_server.Port()));
        }
        std::vector<std::string> vecArgv = {m_server.Program()};
        const std::vector<std::string> vecSwitches = Switches();
        vecArgv.insert(vecArgv.end(), vecSwitches.begin(), vecSwitches.end());
        testsupport::CProcessOptions options = m_server.Options();
        options.m_timeLimit = 30s;
        testsupport::CProcessResult result = testsupport::RunProgram(vecArgv, options);
        EXPECT_FALSE(result.m_bTimedOut);
        EXPECT_EQ(result.m_nExitStatus, c.nExitStatus) << result.m_strStderr;
        EXPECT_EQ(IsRestartedAfter(result.m_nExitStatus), c.bRestarted);
    }
}

// The cron job as cron runs it: the environment is cron's own (its SHELL
// and PATH, HOME and LOGNAME, nothing else: no display, no runtime folder),
// the line goes to /bin/sh, and standard input is at its end.
class CronJobTest : public ::testing::Test {
protected:
    void SetUp() override {
        // The cron.d line: five time fields, the user, then the command.
        for (const std::string& strLine :
             Lines(ReadText(std::string(DEPLOY_DIR) + "/cron/tandrel-client"))) {
            if (strLine.empty() || strLine[0] == '#') {
                continue;
            }
            const size_t nEquals = strLine.find('=');
            if (nEquals != std::string::npos && strLine.find(' ') > nEquals) {
                m_vecEnv.push_back(strLine);
                continue;
            }
            std::istringstream fields(strLine);
            std::string strField;
            for (int i = 0; i < 6 && fields >> strField; ++i) {
            }
            std::getline(fields >> std::ws, m_strCommand);
        }
        ASSERT_FALSE(m_strCommand.empty());
        m_strCommand = ReplaceAll(m_strCommand, kInstallFolder, m_install.Path());

        ASSERT_TRUE(m_served.WriteFile("report.txt", "report of the day\n"));
        ASSERT_TRUE(m_server.WriteSettings(m_served.Path(), "Hello", {{"op", "pw"}}));
        ASSERT_TRUE(m_server.Start()) << m_server.Error();
        std::filesystem::copy_file(TANDRELCLIENT_PATH, m_install.Join("TandrelClient"));
        ASSERT_TRUE(m_outbox.WriteFile("sales.dat", "sales figures"));
        ASSERT_TRUE(m_install.WriteFile(
            "TandrelClient.INI",
            "[TandrelClient]\nVersion=Quillon 4.1\n[SERVER]\nLabel=cron\nAddress=127.0.0.1\n"
            "Port=" +
                std::to_string(m_server.Port()) +
                "\nUser=op\nPwd=pw\nLog=" + m_logs.Join("sync.log") +
                "\n[GET]\nRemoteFiles=report.txt\nLocalDir=" + m_inbox.Path() +
                "\nRemoteDir=\n[PUT]\nLocalFiles=*.dat\nLocalDir=" + m_outbox.Path() +
                "\nRemoteDir=\n"));
    }

    testsupport::CProcessResult RunJob() {
        const passwd* pUser = getpwuid(getuid());
        std::vector<std::string> vecArgv = {
            "env",
            "-i",
            "SHELL=/bin/sh",
            "PATH=/usr/bin:/bin",
            "HOME=" + m_home.Path(),
            std::string("LOGNAME=") + (pUser ? pUser->pw_name : "")};
        vecArgv.insert(vecArgv.end(), m_vecEnv.begin(), m_vecEnv.end());
        vecArgv.insert(vecArgv.end(), {"/bin/sh", "-c", m_strCommand});
        testsupport::CProcessOptions options;
        options.m_strWorkDir = m_home.Path();
        options.m_timeLimit = 120s;
        return testsupport::RunProgram(vecArgv, options);
    }

    std::string m_strCommand;
    std::vector<std::string> m_vecEnv;  // the file's own assignments
    testsupport::CTempDir m_install;
    testsupport::CTempDir m_home;
    testsupport::CTempDir m_logs;
    testsupport::CTempDir m_inbox;
    testsupport::CTempDir m_outbox;
    testsupport::CTempDir m_served;
    CServerProgram m_server;
};

TEST_F(CronJobTest, TheJobSyncsUnattendedAndSaysNothingWhenAllWentWell) {
    testsupport::CProcessResult result = RunJob();
    ASSERT_TRUE(result.m_bStarted) << result.m_strError;
    EXPECT_FALSE(result.m_bTimedOut);
    EXPECT_EQ(result.m_nExitStatus, 0);
    // Nothing for cron to mail.
    EXPECT_EQ(result.m_strStdout, "");
    EXPECT_EQ(result.m_strStderr, "");
    EXPECT_EQ(m_inbox.ReadFile("report.txt").value_or("<missing>"), "report of the day\n");
    EXPECT_EQ(m_served.ReadFile("sales.dat").value_or("<missing>"), "sales figures");
    const std::string strLog = m_logs.ReadFile("sync.log").value_or("<missing>");
    EXPECT_NE(strLog.find("OK TRANSM: GET /report.txt->" + m_inbox.Join("report.txt") + "\n"),
              std::string::npos)
        << strLog;
    EXPECT_NE(strLog.find("OK TRANSM: PUT " + m_outbox.Join("sales.dat") + "->/sales.dat\n"),
              std::string::npos)
        << strLog;
}

TEST_F(CronJobTest, AFailureIsWhatCronMailsAndARunStillBusyIsNotDoubled) {
    // The server is gone: the cause is the only output, for cron to mail.
    testsupport::CProcessResult stopped;
    ASSERT_TRUE(m_server.Stop(SIGTERM, stopped));
    testsupport::CProcessResult refused = RunJob();
    EXPECT_EQ(refused.m_nExitStatus, 4);
    EXPECT_EQ(refused.m_strStdout, "");
    EXPECT_EQ(refused.m_strStderr,
              "connect to 127.0.0.1:" + std::to_string(m_server.Port()) + ": Connection refused\n");

    // A run that still holds the lock: the next one does nothing at all.
    std::filesystem::remove(m_logs.Join("sync.log"));
    const int fd = open(m_install.Join("TandrelClient.INI").c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(flock(fd, LOCK_EX), 0);
    testsupport::CProcessResult skipped = RunJob();
    close(fd);
    EXPECT_NE(skipped.m_nExitStatus, 0);
    EXPECT_EQ(skipped.m_strStdout, "");
    EXPECT_EQ(skipped.m_strStderr, "");
    EXPECT_FALSE(m_logs.Exists("sync.log"));
}

}  // namespace
