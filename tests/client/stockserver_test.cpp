#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <regex>
#include <string>
#include <tuple>
#include <vector>

#include "platform/tls.h"
#include "tests/support/certs.h"
#include "tests/support/process.h"
#include "tests/support/tempdir.h"

// TandrelClient unattended against stock FTP servers on loopback, vsftpd and
// pure-ftpd: servers we did not write, which know nothing of MD5, so every
// file moves on every run and what the client assumes about plain FTP
// replies is checked for real. Each server is started by the test, in the
// foreground, on a port of its own, with files of its own in temporary
// folders; no system user is made for it.
//
// vsftpd serves anonymous users only here. A local account would need a
// system user and PAM, which a test must not create and a container may not
// offer; anonymous needs neither. Its password is checked against a list of
// its own (secure_email_list_enable), so a wrong password is refused as on
// any server. The anonymous root must not be writable by the ftp account, so
// uploads go to pub/ below it, and anon_other_write_enable lets a second run
// replace what the first one stored.
//
// pure-ftpd serves a virtual user from a password database of its own
// (pure-pw, puredb), which needs neither PAM nor a system user: the virtual
// user works as the system's "nobody" and is shut in the served folder. Its
// anonymous login would serve the home of the system's "ftp" account, which
// a test cannot move. The same folders serve both.

namespace {

using namespace std::chrono_literals;

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

// The greeting of a server on 127.0.0.1:nPort as TandrelClient logs it: the
// reply's lines, without their line ends, joined by blanks. Nothing when no
// server answers there (yet).
std::optional<std::string> ReadGreeting(int nPort) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) {
        return std::nullopt;
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(nPort));
    std::string strGreeting;
    std::string strLine;
    bool bComplete = false;
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0) {
        while (!bComplete) {
            pollfd poller{fd, POLLIN, 0};
            char c = 0;
            if (poll(&poller, 1, 5000) != 1 || recv(fd, &c, 1, 0) != 1 ||
                strGreeting.size() > 4000) {
                break;
            }
            strLine += c;
            if (strLine.size() >= 2 && strLine.compare(strLine.size() - 2, 2, "\r\n") == 0) {
                strLine.resize(strLine.size() - 2);
                strGreeting += (strGreeting.empty() ? "" : " ") + strLine;
                // The last line of a reply has a blank after its code.
                bComplete = strLine.size() >= 4 && strLine[3] == ' ';
                strLine.clear();
            }
        }
        if (bComplete) {
            const char szQuit[] = "QUIT\r\n";
            send(fd, szQuit, sizeof(szQuit) - 1, MSG_NOSIGNAL);
        }
    }
    close(fd);
    return bComplete ? std::optional<std::string>(strGreeting) : std::nullopt;
}

// A pattern for strText as it stands; with bAnyNumbers, a run of digits
// stands for any number (a greeting may tell the time or count the users).
std::string PatternFor(const std::string& strText, bool bAnyNumbers) {
    std::string strPattern;
    for (size_t i = 0; i < strText.size(); ++i) {
        const char c = strText[i];
        if (bAnyNumbers && c >= '0' && c <= '9') {
            if (i == 0 || strText[i - 1] < '0' || strText[i - 1] > '9') {
                strPattern += "[0-9]+";
            }
        } else if (std::string("\\^$.|?*+()[]{}").find(c) != std::string::npos) {
            strPattern += std::string("\\") + c;
        } else {
            strPattern += c;
        }
    }
    return strPattern;
}

bool WriteFileAt(const std::string& strPath, const std::string& strBytes) {
    std::ofstream file(strPath, std::ios::binary | std::ios::trunc);
    return static_cast<bool>(file << strBytes) && static_cast<bool>(file.flush());
}

bool CanRun(const std::string& strPath) {
    return access(strPath.c_str(), X_OK) == 0;
}

// The first of the paths that can be run; empty when none can.
std::string FirstRunnable(const std::vector<std::string>& vecPaths) {
    for (const std::string& strPath : vecPaths) {
        if (CanRun(strPath)) {
            return strPath;
        }
    }
    return std::string();
}

// Where a stock server's files go, and on which port it listens.
struct CServerSetup {
    std::string strRoot;       // the served folder
    std::string strConfigDir;  // its settings and user files
    int nPort = 0;
    bool bSudo = false;  // it is started through sudo
    // A PEM file with the certificate and its key: the server then requires
    // TLS for logins and data. Empty: no TLS.
    std::string strTlsCertificate;
};

// One stock server: how to start it and what it answers.
struct CServerKind {
    const char* pszName;
    // Empty when the server can be run here, else why not and what to do.
    std::string (*pWhyMissing)();
    // Writes its files for setup; the command line that starts it in the
    // foreground, or empty with the reason in strError.
    std::vector<std::string> (*pPrepare)(const CServerSetup& setup, std::string& strError);
    const char* pszUser;
    const char* pszPassword;
    // Its refusals, as the client quotes them in its cause lines.
    const char* pszMissingFile;  // fetching a file that is not there
    const char* pszNotWritable;  // sending into a folder it may not write
    const char* pszWrongPassword;
    const char* pszOtherUser;  // a user that it does not serve
    const char* pszOtherUserRefusal;
};

// Test names and failure messages show the server by its name.
void PrintTo(const CServerKind& kind, std::ostream* pStream) {
    *pStream << kind.pszName;
}

constexpr const char* kVsftpd = "/usr/sbin/vsftpd";

std::string WhyVsftpdIsMissing() {
    return CanRun(kVsftpd) ? std::string()
                           : std::string(kVsftpd) +
                                 " is not installed; scripts/install-deps.sh installs it "
                                 "(Debian package vsftpd)";
}

std::vector<std::string> PrepareVsftpd(const CServerSetup& setup, std::string& strError) {
    const std::string strPasswords = setup.strConfigDir + "/passwords";
    const std::string strConfig = setup.strConfigDir + "/vsftpd.conf";
    const std::vector<std::string> vecConfig = {
        "listen=YES",
        "listen_ipv6=NO",
        "listen_address=127.0.0.1",
        "listen_port=" + std::to_string(setup.nPort),
        "background=NO",
        "anonymous_enable=YES",
        "no_anon_password=NO",
        "secure_email_list_enable=YES",
        "email_password_file=" + strPasswords,
        "anon_root=" + setup.strRoot,
        "local_enable=NO",
        "write_enable=YES",
        "anon_upload_enable=YES",
        "anon_other_write_enable=YES",
        "anon_umask=022",
        // Active mode (port 20 would need root and be shared by tests
        // running side by side) and passive mode.
        "port_enable=YES",
        "connect_from_port_20=NO",
        "pasv_enable=YES",
        "secure_chroot_dir=" + setup.strRoot + "/empty",
        "xferlog_enable=NO",
        "delay_failed_login=0",
        // A container may not offer the namespaces and the system call
        // filter that vsftpd sets up by default.
        "isolate=NO",
        "isolate_network=NO",
        "seccomp_sandbox=NO",
    };
    std::vector<std::string> vecAll = vecConfig;
    if (!setup.strTlsCertificate.empty()) {
        // As operators set it up: TLS for logins and data, and data
        // connections that must take up the command connection's session.
        vecAll.insert(vecAll.end(), {"ssl_enable=YES", "rsa_cert_file=" + setup.strTlsCertificate,
                                     "rsa_private_key_file=" + setup.strTlsCertificate,
                                     "allow_anon_ssl=YES", "force_anon_logins_ssl=YES",
                                     "force_anon_data_ssl=YES", "require_ssl_reuse=YES"});
    }
    if (!WriteFileAt(strPasswords, "secret\n") || !WriteFileAt(strConfig, JoinLines(vecAll))) {
        strError = "cannot write vsftpd's files in " + setup.strConfigDir;
        return {};
    }
    if (setup.bSudo) {
        // vsftpd reads only a configuration owned by the user it runs as.
        testsupport::CProcessOptions options;
        options.m_timeLimit = 10s;
        if (testsupport::RunProgram({"sudo", "-n", "chown", "root:root", strConfig}, options)
                .m_nExitStatus != 0) {
            strError = "sudo chown of the vsftpd configuration failed";
            return {};
        }
    }
    return {kVsftpd, strConfig};
}

// Debian's pure-ftpd, installed, or unpacked by scripts/install-deps.sh
// where it cannot be installed beside vsftpd.
std::string PureFtpdProgram(const std::string& strInstalled) {
    return FirstRunnable(
        {strInstalled, std::string(TANDREL_PEERS_DIR) + "/pure-ftpd" + strInstalled});
}

std::string WhyPureFtpdIsMissing() {
    if (PureFtpdProgram("/usr/sbin/pure-ftpd").empty() ||
        PureFtpdProgram("/usr/bin/pure-pw").empty()) {
        return std::string("pure-ftpd is neither installed nor unpacked in ") + TANDREL_PEERS_DIR +
               "/pure-ftpd; scripts/install-deps.sh unpacks it (Debian package pure-ftpd)";
    }
    if (getpwnam("nobody") == nullptr) {
        return "pure-ftpd's virtual user works as the system's \"nobody\", which this system "
               "does not have";
    }
    return std::string();
}

std::vector<std::string> PreparePureFtpd(const CServerSetup& setup, std::string& strError) {
    // pure-ftpd lets no virtual user work as root. pure-pw's own hash of a
    // password (argon2id) takes seconds to check at every login, so the
    // password file holds a SHA-512 crypt hash of "secret" that the system's
    // crypt() checks at once; pure-pw turns it into the database.
    const passwd* pNobody = getpwnam("nobody");
    const std::string strPasswords = setup.strConfigDir + "/pureftpd.passwd";
    const std::string strDatabase = setup.strConfigDir + "/pureftpd.pdb";
    if (!WriteFileAt(strPasswords,
                     "op:$6$tandrel$hP5.cpIYeWEWBRH.BzNZGsa8.8YBW16YXcEdrIjNu6IrC8ZcKjhlD3a4UkaiKq"
                     "GeC9l04iWcQQy.UjbNzG9H./:" +
                         std::to_string(pNobody->pw_uid) + ":" + std::to_string(pNobody->pw_gid) +
                         "::" + setup.strRoot + "/./::::::::::::\n")) {
        strError = "cannot write pure-ftpd's password file in " + setup.strConfigDir;
        return {};
    }
    testsupport::CProcessOptions options;
    options.m_timeLimit = 10s;
    testsupport::CProcessResult made = testsupport::RunProgram(
        {PureFtpdProgram("/usr/bin/pure-pw"), "mkdb", strDatabase, "-f", strPasswords}, options);
    if (made.m_nExitStatus != 0) {
        strError = "pure-pw mkdb failed: " + made.m_strStdout + made.m_strStderr;
        return {};
    }
    // In the foreground, on loopback only, the virtual users alone, no
    // anonymous login, no name look-ups and no syslog.
    return {PureFtpdProgram("/usr/sbin/pure-ftpd"),
            "-S",
            "127.0.0.1," + std::to_string(setup.nPort),
            "-l",
            "puredb:" + strDatabase,
            "-E",
            "-H",
            "-f",
            "none"};
}

const CServerKind kServers[] = {
    {"vsftpd", WhyVsftpdIsMissing, PrepareVsftpd, "anonymous", "secret", "550 Failed to open file.",
     "553 Could not create file.", "530 Login incorrect.", "op",
     // Any other user is refused already after USER.
     "530 This FTP server is anonymous only."},
    {"pure_ftpd", WhyPureFtpdIsMissing, PreparePureFtpd, "op", "secret",
     "550 Can't open /pub/missing.txt: No such file or directory",
     "553 Can't open that file: Permission denied", "530 Login authentication failed",
     // An unknown user is refused after PASS, like a wrong password.
     "intruder", "530 Login authentication failed"},
};

// A stock server in its own process group, ended with everything it forked
// when the object goes, however the test ends. It must run as root; without
// root it is started through sudo, which must not ask for a password.
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

    // Empty when a server can be started here, else why not and what to do;
    // bSudo tells whether it must go through sudo.
    static std::string WhyItCannotRun(bool& bSudo) {
        bSudo = false;
        if (geteuid() == 0) {
            return std::string();
        }
        testsupport::CProcessOptions options;
        options.m_timeLimit = 10s;
        testsupport::CProcessResult result =
            testsupport::RunProgram({"sudo", "-n", "true"}, options);
        if (!result.m_bStarted || result.m_bTimedOut || result.m_nExitStatus != 0) {
            return "a stock FTP server must be started as root: run the tests as root or give "
                   "this user sudo without a password";
        }
        bSudo = true;
        return std::string();
    }

    // Starts the server by vecCommand and waits until it greets on nPort.
    // On failure returns false with the reason in Error().
    bool Start(const std::vector<std::string>& vecCommand, int nPort, bool bSudo) {
        m_bSudo = bSudo;
        std::vector<std::string> argv;
        if (bSudo) {
            // The shell tells its process group, which is the server's once it
            // is replaced by it; setsid -w keeps sudo until the server ends.
            const std::string strShell = "echo \"group $$\"; exec \"$@\"";
            argv = {"sudo", "-n", "setsid", "-w", "sh", "-c", strShell, "sh"};
            argv.insert(argv.end(), vecCommand.begin(), vecCommand.end());
        } else {
            argv = vecCommand;
        }
        if (!m_process.Start(argv)) {
            m_strError = "cannot start " + vecCommand[0] + ": " + m_process.Error();
            return false;
        }
        if (!bSudo) {
            m_nGroup = m_process.Pid();
        } else if (m_process.WaitForStdout("\n", kStartLimit) &&
                   m_process.Stdout().rfind("group ", 0) == 0) {
            // Known before the server listens, so that no path leaves it running.
            m_nGroup = static_cast<pid_t>(std::strtol(m_process.Stdout().c_str() + 6, nullptr, 10));
        }
        if (m_nGroup <= 0) {
            m_strError = vecCommand[0] + "'s process group is unknown: " + m_process.Stdout() +
                         m_process.Stderr();
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
                m_strError = vecCommand[0] + " ended before it listened, status " +
                             std::to_string(ended.m_nExitStatus) + ": " + ended.m_strStdout +
                             ended.m_strStderr;
                return false;
            }
        }
        m_strError = vecCommand[0] + " does not greet on port " + std::to_string(nPort) + ": " +
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

// The client's data modes: without the key (active, as always) and passive.
// "PassiveTls" adds TLS throughout, against vsftpd (pure-ftpd takes its
// certificate from one fixed path only).
const char* const kDataModes[] = {"", "Passive"};

class StockServerTest
    : public ::testing::TestWithParam<std::tuple<CServerKind, const char*>> {
protected:
    void SetUp() override {
        const std::string strMissing = Server().pWhyMissing();
        if (!strMissing.empty()) {
            GTEST_SKIP() << strMissing;
        }
        bool bSudo = false;
        const std::string strWhy = CStockServer::WhyItCannotRun(bSudo);
        if (!strWhy.empty()) {
            GTEST_SKIP() << strWhy;
        }
        std::string strTlsCertificate;
        if (IsTls()) {
            if (!platform::IsTlsAvailable()) {
                GTEST_SKIP() << "this build has no TLS";
            }
            m_certs = MakeTestCertificates(m_certDir.Path());
            ASSERT_EQ(m_certs.strError, "");
            strTlsCertificate = m_certs.strServerBoth;
        }
        namespace fs = std::filesystem;
        const fs::perms open = fs::perms::owner_all | fs::perms::group_read |
                               fs::perms::group_exec | fs::perms::others_read |
                               fs::perms::others_exec;
        // The server's account reads the root and the empty folder but may
        // write only pub/; ro/ is a folder it cannot write.
        fs::permissions(m_root.Path(), open);
        for (const char* pszFolder : {"pub", "ro", "empty"}) {
            fs::create_directory(m_root.Join(pszFolder));
            fs::permissions(m_root.Join(pszFolder), open);
        }
        fs::permissions(m_root.Join("pub"), fs::perms::all);

        m_nPort = FindFreePort();
        ASSERT_GT(m_nPort, 0);
        std::string strError;
        const std::vector<std::string> vecCommand =
            Server().pPrepare({m_root.Path(), m_serverDir.Path(), m_nPort, bSudo, strTlsCertificate},
                              strError);
        ASSERT_FALSE(vecCommand.empty()) << strError;
        ASSERT_TRUE(m_server.Start(vecCommand, m_nPort, bSudo)) << m_server.Error();
        ASSERT_EQ(m_server.Greeting().rfind("220", 0), 0u) << m_server.Greeting();

        std::filesystem::copy_file(TANDRELCLIENT_PATH, m_dir.Join("TandrelClient"));
        ASSERT_TRUE(std::filesystem::create_directory(m_dir.Join("out")));
    }

    const CServerKind& Server() const { return std::get<0>(GetParam()); }
    bool IsTls() const { return std::string(std::get<1>(GetParam())) == "PassiveTls"; }
    std::string DataModeLine() const {
        const std::string strMode = std::get<1>(GetParam());
        if (IsTls()) {
            return "DataMode=Passive\nTls=Yes\nTlsCaFile=" + m_certs.strCa + "\n";
        }
        return strMode.empty() ? std::string() : "DataMode=" + strMode + "\n";
    }

    // Writes a file the server's account may fetch.
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
                                        "\n" + DataModeLine() + strSections));
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

    // The lines of a run up to its login, with kGreeting where the server's
    // greeting stands.
    std::vector<std::string> LoginLines(const std::string& strUser, bool bLoggedIn) const {
        return {"Trying to connect to 127.0.0.1:" + std::to_string(m_nPort) + "...", "Connected",
                kGreeting, "Trying to log as " + strUser + "...",
                bLoggedIn ? "Login OK" : "Login failed!!!"};
    }

    // The expected text as a pattern: every line as it stands, the greeting
    // as the server gave it at its start but for its numbers.
    std::regex Expected(const std::string& strBefore,
                        const std::vector<std::string>& vecLines) const {
        std::string strPattern = PatternFor(strBefore, false);
        for (const std::string& strLine : vecLines) {
            strPattern += (strLine == kGreeting ? PatternFor(m_server.Greeting(), true)
                                                : PatternFor(strLine, false)) +
                          "\n";
        }
        return std::regex(strPattern);
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
        EXPECT_TRUE(std::regex_match(result.m_strStdout,
                                     Expected(ShownValues(strUser, strPassword), vecLines)))
            << result.m_strStdout << "(greeting at the start: " << m_server.Greeting() << ")";
        EXPECT_EQ(result.m_strStderr, strStderr);
        const std::string strLog = m_dir.ReadFile("run.log").value_or("<missing>");
        EXPECT_TRUE(std::regex_match(strLog, Expected("", vecLines))) << strLog;
    }

    std::vector<std::string> ListFolder(const std::string& strFolder) const {
        std::vector<std::string> vecNames;
        for (const auto& entry : std::filesystem::directory_iterator(strFolder)) {
            vecNames.push_back(entry.path().filename().string());
        }
        std::sort(vecNames.begin(), vecNames.end());
        return vecNames;
    }

    static constexpr const char* kGreeting = "<greeting>";

    testsupport::CTempDir m_dir;        // the client's folder
    testsupport::CTempDir m_root;       // the server's root
    testsupport::CTempDir m_serverDir;  // the server's settings and users
    testsupport::CTempDir m_certDir;
    CTestCertificates m_certs;
    CStockServer m_server;
    int m_nPort = 0;
};

TEST_P(StockServerTest, EveryFileMovesOnEveryRunAndArrivesWhole) {
    const std::string strUser = Server().pszUser;
    const std::string strPassword = Server().pszPassword;
    WriteScript(strUser, strPassword,
                "[GET]\nRemoteFiles=a.txt;b.bin;none.bin\nLocalDir=" + m_dir.Join("in") +
                    "\nRemoteDir=/pub\n"
                    "[PUT]\nLocalFiles=*.dat;blank.txt\nLocalDir=" +
                    m_dir.Join("out") + "\nRemoteDir=/pub\n");
    const std::string strIn = m_dir.Join("in");
    const std::string strOut = m_dir.Join("out");
    std::vector<std::string> vecLines = LoginLines(strUser, true);
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

        RunAndExpect(0, strUser, strPassword, vecLines);

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

TEST_P(StockServerTest, RefusedFilesFailAloneAndTheRunGoesOn) {
    // A missing file and a folder that cannot be written are refused before
    // any data connection: the client must read that answer and carry on in
    // step with the server.
    const std::string strUser = Server().pszUser;
    const std::string strPassword = Server().pszPassword;
    Serve("a.txt", "alpha");
    ASSERT_TRUE(m_dir.WriteFile("out/c.dat", Bytes(5000, 5)));
    WriteScript(strUser, strPassword,
                "[GET]\nRemoteFiles=missing.txt;a.txt\nLocalDir=" + m_dir.Join("in") +
                    "\nRemoteDir=/pub\n"
                    "[PUT]\nLocalFiles=c.dat\nLocalDir=" +
                    m_dir.Join("out") +
                    "\nRemoteDir=/ro\n"
                    "[PUT]\nLocalFiles=c.dat\nLocalDir=" +
                    m_dir.Join("out") + "\nRemoteDir=/pub\n");
    const std::string strIn = m_dir.Join("in");
    const std::string strOut = m_dir.Join("out");
    std::vector<std::string> vecLines = LoginLines(strUser, true);
    vecLines.insert(vecLines.end(), {"FAILED!!: GET /pub/missing.txt->" + strIn + "/missing.txt",
                                     "OK TRANSM: GET /pub/a.txt->" + strIn + "/a.txt",
                                     "FAILED!!: PUT " + strOut + "/c.dat->/ro/c.dat",
                                     "OK TRANSM: PUT " + strOut + "/c.dat->/pub/c.dat",
                                     "GET Files: 1 OK, 1 FAILED!!", "PUT Files: 1 OK, 1 FAILED!!",
                                     "Disconnecting from server...", "Disconnected"});

    RunAndExpect(6, strUser, strPassword, vecLines,
                 "GET /pub/missing.txt->" + strIn + "/missing.txt: " + Server().pszMissingFile +
                     "\nPUT " + strOut + "/c.dat->/ro/c.dat: " + Server().pszNotWritable + "\n");

    EXPECT_EQ(ListFolder(strIn), std::vector<std::string>{"a.txt"});
    EXPECT_EQ(m_dir.ReadFile("in/a.txt").value_or("<missing>"), "alpha");
    EXPECT_EQ(ListFolder(m_root.Join("ro")), std::vector<std::string>{});
    EXPECT_TRUE(m_root.ReadFile("pub/c.dat") == Bytes(5000, 5));
}

TEST_P(StockServerTest, ARefusedLoginMovesNothing) {
    struct Case {
        std::string strUser;
        std::string strPassword;
        std::string strRefusal;  // the server's reply
    };
    const Case cases[] = {
        {Server().pszUser, "wrong", Server().pszWrongPassword},
        {Server().pszOtherUser, Server().pszPassword, Server().pszOtherUserRefusal}};
    Serve("a.txt", "alpha");
    ASSERT_TRUE(m_dir.WriteFile("out/c.dat", "data"));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.strUser + ":" + c.strPassword);
        WriteScript(c.strUser, c.strPassword,
                    "[GET]\nRemoteFiles=a.txt\nLocalDir=" + m_dir.Join("in") +
                        "\nRemoteDir=/pub\n"
                        "[PUT]\nLocalFiles=*.dat\nLocalDir=" +
                        m_dir.Join("out") + "\nRemoteDir=/pub\n");
        std::vector<std::string> vecLines = LoginLines(c.strUser, false);
        vecLines.insert(vecLines.end(), {"Disconnecting from server...", "Disconnected"});
        RunAndExpect(5, c.strUser, c.strPassword, vecLines,
                     "login as " + c.strUser + ": " + c.strRefusal + "\n");
        EXPECT_EQ(ListFolder(m_dir.Join("in")), std::vector<std::string>{});
        EXPECT_EQ(ListFolder(m_root.Join("pub")), std::vector<std::string>{"a.txt"});
    }
}

INSTANTIATE_TEST_SUITE_P(
    Servers, StockServerTest,
    ::testing::Combine(::testing::ValuesIn(kServers), ::testing::ValuesIn(kDataModes)),
    [](const auto& info) {
        const std::string strMode = std::get<1>(info.param);
        return std::string(std::get<0>(info.param).pszName) + "_" +
               (strMode.empty() ? "Active" : strMode);
    });

INSTANTIATE_TEST_SUITE_P(
    Tls, StockServerTest, ::testing::Values(std::tuple<CServerKind, const char*>{kServers[0], "PassiveTls"}),
    [](const auto&) { return std::string("vsftpd_PassiveTls"); });

}  // namespace
