#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/process.h"
#include "tests/support/tempdir.h"

// TandrelClient unattended against a stock vsftpd on loopback: a server we
// did not write, which knows nothing of MD5, so every file moves on every run
// and what the client assumes about plain FTP replies is checked for real.
//
// vsftpd serves anonymous users only here. A local account would need a
// system user and PAM, which a test must not create and a container may not
// offer; anonymous needs neither. Its password is checked against a list of
// its own (secure_email_list_enable), so a wrong password is refused as on
// any server. The anonymous root must not be writable by the ftp account, so
// uploads go to pub/ below it, and anon_other_write_enable lets a second run
// replace what the first one stored.

namespace {

using namespace std::chrono_literals;

constexpr const char* kVsftpd = "/usr/sbin/vsftpd";
constexpr const char* kUser = "anonymous";
constexpr const char* kPassword = "secret";
// Above the client's own 60 s network time limit, so that a stalled step
// shows as the client's failure before the run is killed.
constexpr std::chrono::seconds kClientLimit{150};
constexpr std::chrono::seconds kStartLimit{10};

// Bytes of every value, with CR LF and lone LF among them, so that a copy
// made in text mode or cut at a block boundary differs.
std::string Bytes(size_t nSize, unsigned nSeed) {
    std::string strData(nSize, '\0');
    for (size_t i = 0; i < nSize; ++i) {
        strData[i] = static_cast<char>((i * 131 + i / 4099 + nSeed) & 0xFF);
    }
    return strData;
}

std::string JoinLines(const std::vector<std::string>& vecLines) {
    std::string strText;
    for (const std::string& strLine : vecLines) {
        strText += strLine + "\n";
    }
    return strText;
}

// A loopback port that was free a moment ago.
int FindFreePort() {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) {
        return 0;
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t nLength = sizeof(address);
    int nPort = 0;
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &nLength) == 0) {
        nPort = ntohs(address.sin_port);
    }
    close(fd);
    return nPort;
}

// The first reply line of a server on 127.0.0.1:nPort, without its line end;
// nothing when no server answers there (yet).
std::optional<std::string> ReadGreeting(int nPort) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) {
        return std::nullopt;
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(nPort));
    std::string strLine;
    bool bComplete = false;
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0) {
        for (;;) {
            pollfd poller{fd, POLLIN, 0};
            char c = 0;
            if (poll(&poller, 1, 5000) != 1 || recv(fd, &c, 1, 0) != 1 || strLine.size() > 1000) {
                break;
            }
            strLine += c;
            if (strLine.size() >= 2 && strLine.compare(strLine.size() - 2, 2, "\r\n") == 0) {
                strLine.resize(strLine.size() - 2);
                bComplete = true;
                break;
            }
        }
        if (bComplete) {
            const char szQuit[] = "QUIT\r\n";
            send(fd, szQuit, sizeof(szQuit) - 1, MSG_NOSIGNAL);
        }
    }
    close(fd);
    return bComplete ? std::optional<std::string>(strLine) : std::nullopt;
}

// vsftpd in its own process group, on a port of its own, ended with
// everything it forked when the object goes, however the test ends. It must
// run as root; without root it is started through sudo, which must not ask
// for a password.
class CStockServer {
public:
    ~CStockServer() {
        if (m_nGroup > 0) {
            if (m_bSudo) {
                testsupport::CProcessOptions options;
                options.m_timeLimit = 10s;
                testsupport::RunProgram(
                    {"sudo", "-n", "kill", "-KILL", "--", "-" + std::to_string(m_nGroup)}, options);
            } else {
                kill(-m_nGroup, SIGKILL);
            }
        }
        // The process object kills and reaps what is left of its own.
    }

    // Empty when vsftpd can be started here, else why not and what to do.
    static std::string WhyItCannotRun(bool& bSudo) {
        bSudo = false;
        if (access(kVsftpd, X_OK) != 0) {
            return std::string(kVsftpd) +
                   " is not installed; scripts/install-deps.sh installs it (Debian package "
                   "vsftpd)";
        }
        if (geteuid() == 0) {
            return std::string();
        }
        testsupport::CProcessOptions options;
        options.m_timeLimit = 10s;
        testsupport::CProcessResult result =
            testsupport::RunProgram({"sudo", "-n", "true"}, options);
        if (!result.m_bStarted || result.m_bTimedOut || result.m_nExitStatus != 0) {
            return "vsftpd must be started as root: run the tests as root or give this user sudo "
                   "without a password";
        }
        bSudo = true;
        return std::string();
    }

    // Starts vsftpd with strConfig and waits until it greets. On failure
    // returns false with the reason in Error().
    bool Start(const std::string& strConfig, int nPort, bool bSudo) {
        m_bSudo = bSudo;
        std::vector<std::string> argv;
        if (bSudo) {
            // vsftpd reads only a configuration owned by the user it runs as.
            testsupport::CProcessOptions options;
            options.m_timeLimit = 10s;
            if (testsupport::RunProgram({"sudo", "-n", "chown", "root:root", strConfig}, options)
                    .m_nExitStatus != 0) {
                m_strError = "sudo chown of the vsftpd configuration failed";
                return false;
            }
            // The shell tells its process group, which is vsftpd's once it is
            // replaced by it; setsid -w keeps sudo until vsftpd ends.
            const std::string strShell = "echo \"group $$\"; exec \"$0\" \"$1\"";
            argv = {"sudo", "-n", "setsid", "-w", "sh", "-c", strShell, kVsftpd, strConfig};
        } else {
            argv = {kVsftpd, strConfig};
        }
        if (!m_process.Start(argv)) {
            m_strError = "cannot start vsftpd: " + m_process.Error();
            return false;
        }
        if (!bSudo) {
            m_nGroup = m_process.Pid();
        } else if (m_process.WaitForStdout("\n", kStartLimit) &&
                   m_process.Stdout().rfind("group ", 0) == 0) {
            // Known before vsftpd listens, so that no path leaves it running.
            m_nGroup = static_cast<pid_t>(std::strtol(m_process.Stdout().c_str() + 6, nullptr, 10));
        }
        if (m_nGroup <= 0) {
            m_strError =
                "vsftpd's process group is unknown: " + m_process.Stdout() + m_process.Stderr();
            return false;
        }
        const auto deadline = std::chrono::steady_clock::now() + kStartLimit;
        while (std::chrono::steady_clock::now() < deadline) {
            if (std::optional<std::string> greeting = ReadGreeting(nPort)) {
                m_strGreeting = *greeting;
                return true;
            }
            testsupport::CProcessResult ended;
            if (m_process.Wait(50ms, &ended)) {
                m_nGroup = -1;
                m_strError = "vsftpd ended before it listened, status " +
                             std::to_string(ended.m_nExitStatus) + ": " + ended.m_strStdout +
                             ended.m_strStderr;
                return false;
            }
        }
        m_strError = "vsftpd does not greet on port " + std::to_string(nPort) + ": " +
                     m_process.Stdout() + m_process.Stderr();
        return false;
    }

    const std::string& Error() const { return m_strError; }
    const std::string& Greeting() const { return m_strGreeting; }

private:
    testsupport::CBackgroundProcess m_process;
    bool m_bSudo = false;
    pid_t m_nGroup = -1;
    std::string m_strError;
    std::string m_strGreeting;
};

class StockServerTest : public ::testing::Test {
protected:
    void SetUp() override {
        bool bSudo = false;
        const std::string strWhy = CStockServer::WhyItCannotRun(bSudo);
        if (!strWhy.empty()) {
            GTEST_SKIP() << strWhy;
        }
        namespace fs = std::filesystem;
        const fs::perms open = fs::perms::owner_all | fs::perms::group_read |
                               fs::perms::group_exec | fs::perms::others_read |
                               fs::perms::others_exec;
        // The ftp account reads the root and the empty folder but may write
        // only pub/; ro/ is a folder it cannot write.
        fs::permissions(m_root.Path(), open);
        for (const char* pszFolder : {"pub", "ro", "empty"}) {
            fs::create_directory(m_root.Join(pszFolder));
            fs::permissions(m_root.Join(pszFolder), open);
        }
        fs::permissions(m_root.Join("pub"), fs::perms::all);

        m_nPort = FindFreePort();
        ASSERT_GT(m_nPort, 0);
        ASSERT_TRUE(m_vsftpdDir.WriteFile("passwords", std::string(kPassword) + "\n"));
        const std::string strConfig = m_vsftpdDir.Join("vsftpd.conf");
        const std::vector<std::string> vecConfig = {
            "listen=YES",
            "listen_ipv6=NO",
            "listen_address=127.0.0.1",
            "listen_port=" + std::to_string(m_nPort),
            "background=NO",
            "anonymous_enable=YES",
            "no_anon_password=NO",
            "secure_email_list_enable=YES",
            "email_password_file=" + m_vsftpdDir.Join("passwords"),
            "anon_root=" + m_root.Path(),
            "local_enable=NO",
            "write_enable=YES",
            "anon_upload_enable=YES",
            "anon_other_write_enable=YES",
            "anon_umask=022",
            // The client speaks active mode only. Port 20 would need root and
            // be shared by tests running side by side.
            "port_enable=YES",
            "connect_from_port_20=NO",
            "pasv_enable=NO",
            "secure_chroot_dir=" + m_root.Join("empty"),
            "xferlog_enable=NO",
            "delay_failed_login=0",
            // A container may not offer the namespaces and the system call
            // filter that vsftpd sets up by default.
            "isolate=NO",
            "isolate_network=NO",
            "seccomp_sandbox=NO",
        };
        ASSERT_TRUE(m_vsftpdDir.WriteFile("vsftpd.conf", JoinLines(vecConfig)));
        ASSERT_TRUE(m_server.Start(strConfig, m_nPort, bSudo)) << m_server.Error();
        ASSERT_EQ(m_server.Greeting().rfind("220 ", 0), 0u) << m_server.Greeting();

        std::filesystem::copy_file(TANDRELCLIENT_PATH, m_dir.Join("TandrelClient"));
        ASSERT_TRUE(std::filesystem::create_directory(m_dir.Join("out")));
    }

    // Writes a file the anonymous user may fetch.
    void Serve(const std::string& strName, const std::string& strBytes) {
        ASSERT_TRUE(m_root.WriteFile("pub/" + strName, strBytes));
        std::filesystem::permissions(
            m_root.Join("pub/" + strName),
            std::filesystem::perms::owner_read | std::filesystem::perms::owner_write |
                std::filesystem::perms::group_read | std::filesystem::perms::others_read);
    }

    void WriteScript(const std::string& strUser, const std::string& strPassword,
                     const std::string& strSections) {
        ASSERT_TRUE(m_dir.WriteFile("TandrelClient.INI",
                                    "[TandrelClient]\nVersion=Quillon 4.1\n[SERVER]\nLabel=stock\n"
                                    "Address=127.0.0.1\nPort=" +
                                        std::to_string(m_nPort) + "\nUser=" + strUser +
                                        "\nPwd=" + strPassword + "\nLog=" + m_dir.Join("run.log") +
                                        "\n" + strSections));
    }

    testsupport::CProcessResult RunClient() {
        testsupport::CProcessOptions options;
        options.m_strWorkDir = m_dir.Path();
        options.m_timeLimit = kClientLimit;
        return testsupport::RunProgram({m_dir.Join("TandrelClient"), "-silent", "-console"},
                                       options);
    }

    // What the terminal shows before the run: the five server values.
    std::string ShownValues(const std::string& strUser, const std::string& strPassword) const {
        return "Label: stock\nAddress: 127.0.0.1\nPort: " + std::to_string(m_nPort) +
               "\nUser: " + strUser + "\nPassword: " + std::string(strPassword.size(), '*') + "\n";
    }

    // The lines of a run up to a successful login.
    std::vector<std::string> LoginLines() const {
        return {"Trying to connect to 127.0.0.1:" + std::to_string(m_nPort) + "...", "Connected",
                m_server.Greeting(), "Trying to log as " + std::string(kUser) + "...", "Login OK"};
    }

    // Runs the client and checks its exit status, its terminal and its log
    // file against the lines that follow the shown values.
    // strStderr: the causes of the failures, beside the log lines.
    void RunAndExpect(int nExitStatus, const std::string& strUser, const std::string& strPassword,
                      const std::vector<std::string>& vecLines, const std::string& strStderr = "") {
        testsupport::CProcessResult result = RunClient();
        ASSERT_TRUE(result.m_bStarted) << result.m_strError;
        EXPECT_FALSE(result.m_bTimedOut);
        EXPECT_EQ(result.m_nExitStatus, nExitStatus);
        EXPECT_EQ(result.m_strStdout, ShownValues(strUser, strPassword) + JoinLines(vecLines));
        EXPECT_EQ(result.m_strStderr, strStderr);
        EXPECT_EQ(m_dir.ReadFile("run.log").value_or("<missing>"), JoinLines(vecLines));
    }

    std::vector<std::string> ListFolder(const std::string& strFolder) const {
        std::vector<std::string> vecNames;
        for (const auto& entry : std::filesystem::directory_iterator(strFolder)) {
            vecNames.push_back(entry.path().filename().string());
        }
        std::sort(vecNames.begin(), vecNames.end());
        return vecNames;
    }

    testsupport::CTempDir m_dir;        // the client's folder
    testsupport::CTempDir m_root;       // vsftpd's anonymous root
    testsupport::CTempDir m_vsftpdDir;  // vsftpd's settings
    CStockServer m_server;
    int m_nPort = 0;
};

TEST_F(StockServerTest, EveryFileMovesOnEveryRunAndArrivesWhole) {
    WriteScript(kUser, kPassword,
                "[GET]\nRemoteFiles=a.txt;b.bin;none.bin\nLocalDir=" + m_dir.Join("in") +
                    "\nRemoteDir=/pub\n"
                    "[PUT]\nLocalFiles=*.dat;blank.txt\nLocalDir=" +
                    m_dir.Join("out") + "\nRemoteDir=/pub\n");
    const std::string strIn = m_dir.Join("in");
    const std::string strOut = m_dir.Join("out");
    std::vector<std::string> vecLines = LoginLines();
    vecLines.insert(vecLines.end(),
                    {"OK TRANSM: GET /pub/a.txt->" + strIn + "/a.txt",
                     "OK TRANSM: GET /pub/b.bin->" + strIn + "/b.bin",
                     "OK TRANSM: GET /pub/none.bin->" + strIn + "/none.bin",
                     "OK TRANSM: PUT " + strOut + "/c.dat->/pub/c.dat",
                     "OK TRANSM: PUT " + strOut + "/blank.txt->/pub/blank.txt", "GET Files: 3 OK",
                     "PUT Files: 2 OK", "Disconnecting from server...", "Disconnected"});

    // The second run finds local copies, asks for digests the server cannot
    // give, and so moves everything again; the contents change in between,
    // shorter than before, so a copy that was skipped or only overwritten
    // in part shows.
    struct Round {
        std::string strFetched;
        std::string strSent;
    };
    const Round rounds[] = {
        {Bytes(300 * 1024 + 7, 1), Bytes(400 * 1024 + 5, 2)},
        {Bytes(1000, 3), Bytes(100 * 1024, 4)},
    };
    for (const Round& round : rounds) {
        SCOPED_TRACE(round.strFetched.size());
        Serve("a.txt", "alpha\r\nbeta\n");
        Serve("b.bin", round.strFetched);
        Serve("none.bin", "");
        ASSERT_TRUE(m_dir.WriteFile("out/c.dat", round.strSent));
        ASSERT_TRUE(m_dir.WriteFile("out/blank.txt", ""));
        ASSERT_TRUE(m_dir.WriteFile("out/notes.txt", "not matched"));

        RunAndExpect(0, kUser, kPassword, vecLines);

        EXPECT_EQ(m_dir.ReadFile("in/a.txt").value_or("<missing>"), "alpha\r\nbeta\n");
        EXPECT_TRUE(m_dir.ReadFile("in/b.bin") == round.strFetched);
        EXPECT_EQ(m_dir.ReadFile("in/none.bin").value_or("<missing>"), "");
        EXPECT_TRUE(m_root.ReadFile("pub/c.dat") == round.strSent);
        EXPECT_EQ(m_root.ReadFile("pub/blank.txt").value_or("<missing>"), "");
        // Nothing else, and no temporary file, on either side.
        EXPECT_EQ(ListFolder(strIn), (std::vector<std::string>{"a.txt", "b.bin", "none.bin"}));
        EXPECT_EQ(ListFolder(m_root.Join("pub")),
                  (std::vector<std::string>{"a.txt", "b.bin", "blank.txt", "c.dat", "none.bin"}));
    }
}

TEST_F(StockServerTest, RefusedFilesFailAloneAndTheRunGoesOn) {
    // vsftpd answers 550 to a missing file and 553 to a folder it cannot
    // write, before any data connection: the client must read that answer
    // and carry on in step with the server.
    Serve("a.txt", "alpha");
    ASSERT_TRUE(m_dir.WriteFile("out/c.dat", Bytes(5000, 5)));
    WriteScript(kUser, kPassword,
                "[GET]\nRemoteFiles=missing.txt;a.txt\nLocalDir=" + m_dir.Join("in") +
                    "\nRemoteDir=/pub\n"
                    "[PUT]\nLocalFiles=c.dat\nLocalDir=" +
                    m_dir.Join("out") +
                    "\nRemoteDir=/ro\n"
                    "[PUT]\nLocalFiles=c.dat\nLocalDir=" +
                    m_dir.Join("out") + "\nRemoteDir=/pub\n");
    const std::string strIn = m_dir.Join("in");
    const std::string strOut = m_dir.Join("out");
    std::vector<std::string> vecLines = LoginLines();
    vecLines.insert(vecLines.end(), {"FAILED!!: GET /pub/missing.txt->" + strIn + "/missing.txt",
                                     "OK TRANSM: GET /pub/a.txt->" + strIn + "/a.txt",
                                     "FAILED!!: PUT " + strOut + "/c.dat->/ro/c.dat",
                                     "OK TRANSM: PUT " + strOut + "/c.dat->/pub/c.dat",
                                     "GET Files: 1 OK, 1 FAILED!!", "PUT Files: 1 OK, 1 FAILED!!",
                                     "Disconnecting from server...", "Disconnected"});

    RunAndExpect(6, kUser, kPassword, vecLines,
                 "GET /pub/missing.txt->" + strIn + "/missing.txt: 550 Failed to open file.\n"
                 "PUT " + strOut + "/c.dat->/ro/c.dat: 553 Could not create file.\n");

    EXPECT_EQ(ListFolder(strIn), std::vector<std::string>{"a.txt"});
    EXPECT_EQ(m_dir.ReadFile("in/a.txt").value_or("<missing>"), "alpha");
    EXPECT_EQ(ListFolder(m_root.Join("ro")), std::vector<std::string>{});
    EXPECT_TRUE(m_root.ReadFile("pub/c.dat") == Bytes(5000, 5));
}

TEST_F(StockServerTest, ARefusedLoginMovesNothing) {
    struct Case {
        std::string strUser;
        std::string strPassword;
        std::string strRefusal;  // vsftpd's reply
    };
    // A wrong password is refused after PASS, any other user already after
    // USER ("530 This FTP server is anonymous only.").
    const Case cases[] = {{kUser, "wrong", "530 Login incorrect."},
                          {"op", kPassword, "530 This FTP server is anonymous only."}};
    Serve("a.txt", "alpha");
    ASSERT_TRUE(m_dir.WriteFile("out/c.dat", "data"));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.strUser + ":" + c.strPassword);
        WriteScript(c.strUser, c.strPassword,
                    "[GET]\nRemoteFiles=a.txt\nLocalDir=" + m_dir.Join("in") +
                        "\nRemoteDir=/pub\n"
                        "[PUT]\nLocalFiles=*.dat\nLocalDir=" +
                        m_dir.Join("out") + "\nRemoteDir=/pub\n");
        RunAndExpect(5, c.strUser, c.strPassword,
                     {"Trying to connect to 127.0.0.1:" + std::to_string(m_nPort) + "...",
                      "Connected", m_server.Greeting(), "Trying to log as " + c.strUser + "...",
                      "Login failed!!!", "Disconnecting from server...", "Disconnected"},
                     "login as " + c.strUser + ": " + c.strRefusal + "\n");
        EXPECT_EQ(ListFolder(m_dir.Join("in")), std::vector<std::string>{});
        EXPECT_EQ(ListFolder(m_root.Join("pub")), std::vector<std::string>{"a.txt"});
    }
}

}  // namespace
