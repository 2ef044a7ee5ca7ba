#include <signal.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tests/server/ftp_test_client.h"
#include "tests/common/utf16_text.h"
#include "tests/support/certs.h"
#include "tests/support/process.h"
#include "tests/support/fsutil.h"
#include "tests/client/fake_ftp_server.h"
#include "tests/support/syscodes.h"
#include "tests/support/tempdir.h"

// TandrelClient as operators run it: copied into a folder of its own with its
// sync script beside it, run unattended or at a terminal against a real
// TandrelServer (or the device stand-in), judged by its log file, its output
// and its exit status.

namespace {

using namespace std::chrono_literals;

// Exit statuses the program documents.
constexpr int kExitOk = 0;
constexpr int kExitScriptFailed = 2;
constexpr int kExitNoRun = 3;
constexpr int kExitConnectFailed = 4;
constexpr int kExitLoginFailed = 5;
constexpr int kExitFilesFailed = 6;

std::string Lines(const std::vector<std::string>& lines) {
    std::string strText;
    for (const std::string& strLine : lines) {
        strText += strLine + "\n";
    }
    return strText;
}

class ClientProgramTest : public ::testing::Test {
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
        ASSERT_TRUE(m_served.WriteFile("empty.txt", ""));
        ASSERT_TRUE(m_local.WriteFile("a.dat", std::string(300000, 'a') + "end"));
        ASSERT_TRUE(m_local.WriteFile("b.dat", "bravo"));
        ASSERT_TRUE(m_local.WriteFile(".secret.dat", "never sent"));
        ASSERT_TRUE(testsupport::MakeHidden(m_local.Join(".secret.dat")));
        ASSERT_TRUE(m_local.WriteFile("notes.txt", "not matched"));
        std::filesystem::create_directory(m_local.Join("folder.dat"));
    }

    void StartServer() { StartServer(m_serverProcess); }

    // Returns once the server says it has started, which is when it listens.
    void StartServer(testsupport::CBackgroundProcess& process) {
        testsupport::CProcessOptions options;
        // Other tests' servers must not count as "another TandrelServer".
        options.m_vecEnv = {{"XDG_RUNTIME_DIR", m_runtime.Path()}};
        ASSERT_TRUE(process.Start(testsupport::InTerminal({m_server.Join("TandrelServer"), "-start"}), options))
            << process.Error();
        ASSERT_TRUE(process.WaitForStdout("Server started on port " + std::to_string(m_nPort), 10s))
            << process.Stdout();
    }

    // The [SERVER] section towards the test's server, and the log file.
    std::string Server(const std::string& strPassword = "pw") const {
        return "[TandrelClient]\nVersion=Quillon 4.1\n[SERVER]\nLabel=Test office\n"
               "Address=127.0.0.1\nPort=" +
               std::to_string(m_nPort) + "\nUser=op\nPwd=" + strPassword +
               "\nLog=" + LogPath() + "\n";
    }

    // One GET section fetching report.txt and empty.txt into In, one PUT
    // section sending *.dat.
    std::string Sections() const {
        return "[GET]\nRemoteFiles=report.txt; empty.txt\nLocalDir=" + InPath() +
               "\\\nRemoteDir=\n[PUT]\nLocalFiles=*.dat\nLocalDir=" + m_local.Path() +
               "\nRemoteDir=\n";
    }

    void WriteScript(const std::string& strScript) {
        ASSERT_TRUE(m_client.WriteFile("TandrelClient.INI", strScript));
    }

    testsupport::CProcessResult RunClient(const std::vector<std::string>& vecSwitches,
                                          const std::string& strStdin = "",
                                          const std::vector<std::pair<std::string, std::string>>&
                                              vecEnv = {}) {
        std::vector<std::string> vecArgv = {m_client.Join("TandrelClient")};
        vecArgv.insert(vecArgv.end(), vecSwitches.begin(), vecSwitches.end());
        testsupport::CProcessOptions options;
        options.m_strStdin = strStdin;
        options.m_timeLimit = 60s;
        options.m_vecEnv = vecEnv;
        // Relative paths in scripts are the operator's current folder's.
        options.m_strWorkDir = m_client.Path();
        testsupport::CProcessResult result =
            testsupport::RunProgram(testsupport::InTerminal(vecArgv), options);
        EXPECT_TRUE(result.m_bStarted) << result.m_strError;
        EXPECT_FALSE(result.m_bTimedOut);
        EXPECT_FALSE(result.m_bSignaled);
        return result;
    }

    // A PUT section whose entry finds nothing, and the lines of its run.
    std::string NothingToSend() const {
        return "[PUT]\nLocalFiles=*.none\nLocalDir=" + m_local.Path() + "\nRemoteDir=\n";
    }
    std::vector<std::string> NothingSent() const {
        return {"PUT no files found (" + m_local.Join("*.none") + " --> )", "No GET section found",
                "PUT Files: 0 OK"};
    }

    std::string LogPath() const { return m_client.Join("sync.log"); }
    std::string InPath() const { return m_local.Join("In"); }
    std::string ReadLog() const { return m_client.ReadFile("sync.log").value_or("<no log>"); }

    std::vector<std::string> Head() const {
        return {"Trying to connect to 127.0.0.1:" + std::to_string(m_nPort) + "...",
                "Connected", "220 Sync server ready", "Trying to log as op...", "Login OK"};
    }
    std::vector<std::string> Tail() const { return {"Disconnecting from server...", "Disconnected"}; }

    std::vector<std::string> Run(const std::vector<std::string>& vecBody) const {
        std::vector<std::string> lines = Head();
        lines.insert(lines.end(), vecBody.begin(), vecBody.end());
        const std::vector<std::string> tail = Tail();
        lines.insert(lines.end(), tail.begin(), tail.end());
        return lines;
    }

    std::string GetLine(const char* pszOutcome, const std::string& strName) const {
        return std::string(pszOutcome) + ": GET /" + strName + "->" +
               testsupport::JoinPath(InPath(), strName);
    }
    std::string PutLine(const char* pszOutcome, const std::string& strName) const {
        return std::string(pszOutcome) + ": PUT " + m_local.Join(strName) + "->/" + strName;
    }

    testsupport::CTempDir m_client;
    testsupport::CTempDir m_server;
    testsupport::CTempDir m_served;
    testsupport::CTempDir m_local;
    testsupport::CTempDir m_runtime;
    testsupport::CBackgroundProcess m_serverProcess;
    int m_nPort = 0;
};

TEST_F(ClientProgramTest, FirstRunTransfersAndTheSecondFindsEverythingEqual) {
    StartServer();
    WriteScript(Server() + Sections());

    testsupport::CProcessResult first = RunClient({"-silent"});
    // *.dat finds its files in directory order.
    const std::string strLog = ReadLog();
    const bool bAFirst = strLog.find("a.dat") < strLog.find("b.dat");
    const std::vector<std::string> firstLines =
        Run({GetLine("OK TRANSM", "report.txt"), GetLine("OK TRANSM", "empty.txt"),
             PutLine("OK TRANSM", bAFirst ? "a.dat" : "b.dat"),
             PutLine("OK TRANSM", bAFirst ? "b.dat" : "a.dat"), "GET Files: 2 OK",
             "PUT Files: 2 OK"});
    EXPECT_EQ(strLog, testsupport::AsText(Lines(firstLines)));
    EXPECT_EQ(first.m_nExitStatus, kExitOk);
    EXPECT_EQ(first.m_strStdout,
              testsupport::AsText("Label: Test office\nAddress: 127.0.0.1\nPort: " +
                                  std::to_string(m_nPort) + "\nUser: op\nPassword: **\n" +
                                  Lines(firstLines)));
    EXPECT_EQ(first.m_strStderr, "");

    // What moved arrived whole; the hidden file and the folder stayed home.
    EXPECT_EQ(m_local.ReadFile("In/report.txt"), "monthly report\n");
    EXPECT_EQ(m_local.ReadFile("In/empty.txt"), "");
    EXPECT_EQ(m_served.ReadFile("a.dat"), m_local.ReadFile("a.dat"));
    EXPECT_EQ(m_served.ReadFile("b.dat"), "bravo");
    EXPECT_EQ(m_served.List(), (std::vector<std::string>{"a.dat", "b.dat", "empty.txt",
                                                          "report.txt"}));

    testsupport::CProcessResult second = RunClient({"-silent"});
    std::vector<std::string> secondLines = firstLines;
    for (std::string& strLine : secondLines) {
        if (strLine.rfind("OK TRANSM: ", 0) == 0) {
            strLine.replace(0, 9, "OK EQUAL");
        }
    }
    EXPECT_EQ(ReadLog(), testsupport::AsText(Lines(secondLines)));
    EXPECT_EQ(second.m_nExitStatus, kExitOk);
}

// More files than are compared at once, in every state, and names given
// twice: each file's line and outcome are those of a run that took the
// files one at a time, so the second time a name comes it is equal.
TEST_F(ClientProgramTest, ManyFilesAndANameGivenTwiceAreSyncedAsOneAtATimeWould) {
    ASSERT_TRUE(std::filesystem::create_directory(InPath()));
    std::vector<std::string> vecNames;
    for (int i = 0; i < 150; ++i) {
        char szName[16];
        std::snprintf(szName, sizeof(szName), "f%03d.txt", i);
        vecNames.push_back(szName);
        ASSERT_TRUE(m_served.WriteFile(szName, "served " + std::to_string(i)));
        // Missing here, equal, or another copy.
        if (i % 3 == 1) {
            ASSERT_TRUE(m_local.WriteFile("In/" + vecNames.back(), "served " + std::to_string(i)));
        } else if (i % 3 == 2) {
            ASSERT_TRUE(m_local.WriteFile("In/" + vecNames.back(), "older " + std::to_string(i)));
        }
    }
    // f002.txt twice; f005.txt and F005.TXT, which are one file where names
    // are compared without case (Windows) and two files elsewhere.
    std::vector<std::string> vecFetched = vecNames;
    vecFetched.insert(vecFetched.begin() + 3, "f002.txt");
    vecFetched.insert(vecFetched.begin() + 7, "F005.TXT");
#ifdef _WIN32
    const bool bCaseBlind = true;
#else
    const bool bCaseBlind = false;
#endif
    std::string strList;
    for (size_t i = 0; i < vecFetched.size(); ++i) {
        strList += (i == 0 ? "" : ";") + vecFetched[i];
    }
    std::vector<std::string> vecBody;
    ASSERT_TRUE(m_served.WriteFile("F005.TXT", "served 5"));
    for (size_t i = 0; i < vecFetched.size(); ++i) {
        const std::string& strName = vecFetched[i];
        const int nIndex = std::stoi(strName.substr(1, 3));
        const bool bEqual = nIndex % 3 == 1 || i == 3 || (i == 7 && bCaseBlind);
        vecBody.push_back(GetLine(bEqual ? "OK EQUAL" : "OK TRANSM", strName));
    }
    ASSERT_TRUE(m_local.WriteFile("twice.dat", "sent twice"));
    vecBody.push_back(PutLine("OK TRANSM", "twice.dat"));
    vecBody.push_back(PutLine("OK EQUAL", "twice.dat"));
    vecBody.push_back("GET Files: 152 OK");
    vecBody.push_back("PUT Files: 2 OK");
    StartServer();
    WriteScript(Server() + "[GET]\nRemoteFiles=" + strList + "\nLocalDir=" + InPath() +
                "\nRemoteDir=\n[PUT]\nLocalFiles=twice.dat;twice.dat\nLocalDir=" + m_local.Path() +
                "\nRemoteDir=\n");

    testsupport::CProcessResult result = RunClient({"-silent"});
    EXPECT_EQ(ReadLog(), testsupport::AsText(Lines(Run(vecBody))));
    EXPECT_EQ(result.m_nExitStatus, kExitOk);
    for (int i = 0; i < 150; ++i) {
        EXPECT_EQ(m_local.ReadFile("In/" + vecNames[static_cast<size_t>(i)]),
                  "served " + std::to_string(i));
    }
    EXPECT_EQ(m_served.ReadFile("twice.dat"), "sent twice");
}

#ifndef _WIN32
// A download that takes seconds, from a server that sends slowly: on a
// terminal one status line on standard error tells how far it got; with
// standard error not a terminal nothing does, and the log keeps its lines.
TEST_F(ClientProgramTest, ALongTransferShowsProgressOnATerminalOnly) {
    const int64_t nLength = int64_t{CFakeFtpServer::kSlowBlocks} * 64 * 1024;
    for (const bool bTerminal : {true, false}) {
        SCOPED_TRACE(bTerminal ? "terminal" : "pipe");
        std::filesystem::remove_all(InPath());
        ASSERT_TRUE(std::filesystem::create_directory(InPath()));
        CFakeFtpServer server({"220 Sync server ready\r\n", "331 Password.\r\n", "230 In.\r\n",
                               "200 Binary.\r\n", "213 " + std::to_string(nLength) + "\r\n",
                               "200 Port.\r\n",
                               std::string("150 Sending.\r\n") + CFakeFtpServer::kSendSlowly +
                                   "226 Done.\r\n"});
        m_nPort = server.Port();
        const std::vector<std::string> vecExpected =
            Run({GetLine("OK TRANSM", "big.bin"), "GET Files: 1 OK", "No PUT section found"});
        WriteScript(Server() + "[GET]\nRemoteFiles=big.bin\nLocalDir=" + InPath() +
                    "\nRemoteDir=\n");
        testsupport::CProcessResult result;
        if (bTerminal) {
            // script(1) gives the program a terminal of its own and copies
            // everything written to it to its own output.
            result = testsupport::RunProgram(
                {"script", "-qfec", m_client.Join("TandrelClient") + " -silent", "/dev/null"},
                [&] {
                    testsupport::CProcessOptions options;
                    options.m_timeLimit = 60s;
                    options.m_strWorkDir = m_client.Path();
                    return options;
                }());
            ASSERT_TRUE(result.m_bStarted) << result.m_strError;
            // The line fits the terminal's width: the middle of a long
            // path gives way.
            EXPECT_NE(result.m_strStdout.find("\rGET /big.bin->"), std::string::npos)
                << result.m_strStdout;
            EXPECT_NE(result.m_strStdout.find("/big.bin: "), std::string::npos);
            EXPECT_NE(result.m_strStdout.find(" of 1.5 MiB, "), std::string::npos);
            EXPECT_NE(result.m_strStdout.find(" s left"), std::string::npos);
        } else {
            result = RunClient({"-silent"});
            EXPECT_EQ(result.m_strStderr, "");
            EXPECT_EQ(result.m_strStdout.find("MiB"), std::string::npos) << result.m_strStdout;
        }
        EXPECT_EQ(result.m_nExitStatus, kExitOk);
        EXPECT_EQ(ReadLog(), testsupport::AsText(Lines(vecExpected)));
        EXPECT_EQ(m_local.ReadFile("In/big.bin"), std::string(static_cast<size_t>(nLength), 'x'));
    }
}
#endif

// Twenty cron jobs that start at the same minute: with room for them all,
// each syncs its own folder and all fetch the same files, at once.
TEST_F(ClientProgramTest, TwentyClientsAtOnceEachSyncTheirOwnFolderAndFetchTheSameFiles) {
    constexpr int kClients = 20;
    ASSERT_TRUE(m_server.WriteFile(
        "TandrelServer.INI", "[TCP]\nPort=" + std::to_string(m_nPort) + "\nStartDir=" +
                                 m_served.Path() +
                                 "\nWelcome=Sync server ready\nMaxSessions=20\n[USER]\nUser=op\n"
                                 "Pwd=pw\n"));
    const std::vector<std::string> shared = {"shared1.bin", "shared2.bin", "shared3.bin"};
    for (size_t i = 0; i < shared.size(); ++i) {
        ASSERT_TRUE(m_served.WriteFile(shared[i], TestBytes(400000 * (i + 1) + i)));
    }
    StartServer();
    ASSERT_TRUE(m_serverProcess.WaitForStdout("Up to 20 sessions at once", 10s))
        << m_serverProcess.Stdout();
    // A session that stays open through all the runs: served one at a time,
    // they would wait behind it until they gave up.
    CFtpTestClient held;
    ASSERT_TRUE(held.Connect(m_nPort));
    ASSERT_EQ(held.ReadLine(), "220 Sync server ready");
    ASSERT_EQ(held.Command("USER op"), "331 User name Ok, need password.");
    ASSERT_EQ(held.Command("PASS pw"), "230 Logged in.");

    std::vector<std::unique_ptr<testsupport::CTempDir>> folders;
    std::vector<std::unique_ptr<testsupport::CBackgroundProcess>> clients;
    for (int i = 0; i < kClients; ++i) {
        folders.push_back(std::make_unique<testsupport::CTempDir>());
        testsupport::CTempDir& folder = *folders.back();
        std::filesystem::copy_file(TANDRELCLIENT_PATH, folder.Join("TandrelClient"));
        const std::string strOwn = "own" + std::to_string(i) + ".dat";
        ASSERT_TRUE(folder.WriteFile(strOwn, TestBytes(100000 + 997 * i)));
        ASSERT_TRUE(folder.WriteFile(
            "TandrelClient.INI",
            "[TandrelClient]\nVersion=Quillon 4.1\n[SERVER]\nLabel=Branch " + std::to_string(i) +
                "\nAddress=127.0.0.1\nPort=" + std::to_string(m_nPort) +
                "\nUser=op\nPwd=pw\nLog=" + folder.Join("sync.log") +
                "\n[GET]\nRemoteFiles=shared1.bin; shared2.bin; shared3.bin\nLocalDir=" +
                folder.Join("In") + "\nRemoteDir=\n[PUT]\nLocalFiles=" + strOwn +
                "\nLocalDir=" + folder.Path() + "\nRemoteDir=\n"));
    }
    for (int i = 0; i < kClients; ++i) {
        testsupport::CProcessOptions options;
        options.m_strWorkDir = folders[i]->Path();
        clients.push_back(std::make_unique<testsupport::CBackgroundProcess>());
        ASSERT_TRUE(clients.back()->Start(
            testsupport::InTerminal({folders[i]->Join("TandrelClient"), "-silent"}), options))
            << clients.back()->Error();
    }
    for (int i = 0; i < kClients; ++i) {
        SCOPED_TRACE("client " + std::to_string(i));
        testsupport::CProcessResult result;
        ASSERT_TRUE(clients[i]->Wait(120s, &result));
        EXPECT_EQ(result.m_nExitStatus, kExitOk) << folders[i]->ReadFile("sync.log").value_or("");
        for (const std::string& strName : shared) {
            EXPECT_TRUE(folders[i]->ReadFile("In/" + strName) == m_served.ReadFile(strName))
                << strName;
        }
        const std::string strOwn = "own" + std::to_string(i) + ".dat";
        EXPECT_TRUE(m_served.ReadFile(strOwn) == folders[i]->ReadFile(strOwn)) << strOwn;
        EXPECT_THAT(folders[i]->ReadFile("sync.log").value_or(""),
                    ::testing::HasSubstr("GET Files: 3 OK"));
    }
    EXPECT_EQ(held.Command("NOOP"), "200 Done");
    EXPECT_EQ(held.Command("QUIT"), "221 Service closing control connection.");
}

TEST_F(ClientProgramTest, EveryDataModeSyncsOverEitherProtocol) {
    StartServer();
    struct Case {
        const char* pszAddress;
        const char* pszModeLine;
        const char* pszShown;        // the address in the log line
        const char* pszDataCommand;  // what the server's trace must show
    };
    const Case cases[] = {
        {"::1", "", "[::1]", "R: EPRT |2|::1|"},
        {"127.0.0.1", "DataMode=Passive\n", "127.0.0.1", "R: EPSV "},
        {"[::1]", "DataMode=Passive\n", "[::1]", "R: EPSV "},
        {"localhost", "DataMode=Auto\n", "127.0.0.1", "R: EPSV "},
    };
    int nCase = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.pszAddress) + " " + c.pszModeLine);
        const std::string strFetched = "r" + std::to_string(++nCase) + ".txt";
        const std::string strSent = "p" + std::to_string(nCase) + ".dat";
        ASSERT_TRUE(m_served.WriteFile(strFetched, std::string(200000 + nCase, 'r')));
        ASSERT_TRUE(m_local.WriteFile(strSent, std::string(300000 + nCase, 'p')));
        WriteScript("[TandrelClient]\nVersion=Quillon 4.1\n[SERVER]\nLabel=Test office\nAddress=" +
                    std::string(c.pszAddress) + "\nPort=" +
                    std::to_string(m_nPort) + "\nUser=op\nPwd=pw\nLog=" + LogPath() + "\n" +
                    c.pszModeLine + "[GET]\nRemoteFiles=" + strFetched + "\nLocalDir=" +
                    InPath() + "\nRemoteDir=\n[PUT]\nLocalFiles=" + strSent + "\nLocalDir=" +
                    m_local.Path() + "\nRemoteDir=\n");
        testsupport::CProcessResult result = RunClient({"-silent"});
        EXPECT_EQ(result.m_nExitStatus, kExitOk) << result.m_strStderr;
        std::vector<std::string> lines = Run({GetLine("OK TRANSM", strFetched),
                                              PutLine("OK TRANSM", strSent), "GET Files: 1 OK",
                                              "PUT Files: 1 OK"});
        lines[0] = "Trying to connect to " + std::string(c.pszShown) + ":" +
                   std::to_string(m_nPort) + "...";
        EXPECT_EQ(ReadLog(), testsupport::AsText(Lines(lines)));
        EXPECT_TRUE(m_local.ReadFile("In/" + strFetched) == m_served.ReadFile(strFetched));
        EXPECT_TRUE(m_served.ReadFile(strSent) == m_local.ReadFile(strSent));
        EXPECT_THAT(m_serverProcess.Stdout(), ::testing::HasSubstr(c.pszDataCommand));
    }
}

TEST_F(ClientProgramTest, TlsSyncsWhenTheCertificateVerifiesAndFailsBeforeThePasswordElse) {
    if (!platform::IsTlsAvailable()) {
        GTEST_SKIP() << "this build has no TLS";
    }
    const CTestCertificates certs = MakeTestCertificates(m_runtime.Path());
    ASSERT_EQ(certs.strError, "");
    const std::string strServerSettings =
        "[TCP]\nPort=" + std::to_string(m_nPort) + "\nStartDir=" + m_served.Path() +
        "\nWelcome=Sync server ready\n[USER]\nUser=op\nPwd=pw\n";
    auto script = [&](const std::string& strAddress, const std::string& strCaFile,
                      const std::string& strMode) {
        return "[TandrelClient]\nVersion=Quillon 4.1\n[SERVER]\nLabel=Test office\nAddress=" +
               strAddress + "\nPort=" + std::to_string(m_nPort) + "\nUser=op\nPwd=pw\nLog=" +
               LogPath() + "\nTls=Yes\nTlsCaFile=" + strCaFile + "\nDataMode=" + strMode + "\n" +
               Sections();
    };
    auto head = [&](const std::string& strShown) {
        std::vector<std::string> lines = Head();
        lines[0] = "Trying to connect to " + strShown + ":" + std::to_string(m_nPort) + "...";
        return lines;
    };
    // The server requires TLS: a whole sync, with the names checked
    // against the certificate as the script writes them.
    ASSERT_TRUE(m_server.WriteFile("TandrelServer.INI",
                                   strServerSettings + "[TCP]\nTlsCertificate=" +
                                       certs.strServerCert + "\nTlsKey=" + certs.strServerKey +
                                       "\nTlsRequired=Yes\n"));
    StartServer();
    int nRun = 0;
    for (const auto& [pszAddress, pszShown, pszMode] :
         {std::tuple{"localhost", "127.0.0.1", "Passive"}, std::tuple{"::1", "[::1]", "Active"}}) {
        SCOPED_TRACE(pszAddress);
        ASSERT_TRUE(m_served.WriteFile("report.txt", "report " + std::to_string(++nRun) + "\n"));
        ASSERT_TRUE(m_local.WriteFile("b.dat", "bravo " + std::to_string(nRun)));
        WriteScript(script(pszAddress, certs.strCa, pszMode));
        testsupport::CProcessResult result = RunClient({"-silent"});
        EXPECT_EQ(result.m_nExitStatus, kExitOk) << result.m_strStderr;
        const std::string strLog = ReadLog();
        EXPECT_THAT(strLog, ::testing::StartsWith(testsupport::AsText(Lines(head(pszShown)))));
        EXPECT_THAT(strLog, ::testing::HasSubstr(GetLine("OK TRANSM", "report.txt")));
        EXPECT_THAT(strLog, ::testing::HasSubstr(PutLine("OK TRANSM", "b.dat")));
        EXPECT_EQ(m_local.ReadFile("In/report.txt"), m_served.ReadFile("report.txt"));
        EXPECT_EQ(m_served.ReadFile("b.dat"), m_local.ReadFile("b.dat"));
    }
    // A certificate that does not verify fails the run, and says why.
    WriteScript(script("localhost", certs.strOtherCa, "Passive"));
    testsupport::CProcessResult wrongCa = RunClient({"-silent"});
    EXPECT_EQ(wrongCa.m_nExitStatus, 4);
    EXPECT_EQ(ReadLog(), testsupport::AsText(Lines(
                             {"Trying to connect to 127.0.0.1:" + std::to_string(m_nPort) + "...",
                              "Can't connect!!!"})));
    EXPECT_EQ(wrongCa.m_strStderr,
              testsupport::AsText("connect to 127.0.0.1:" + std::to_string(m_nPort) +
                                  ": TLS: certificate verify failed: unable to get local issuer "
                                  "certificate\n"));
    // A server without TLS never hears the password.
    m_serverProcess.Kill(SIGTERM);
    ASSERT_TRUE(m_serverProcess.Wait(10s));
    ASSERT_TRUE(m_server.WriteFile("TandrelServer.INI", strServerSettings));
    testsupport::CBackgroundProcess plainServer;
    StartServer(plainServer);
    WriteScript(script("localhost", certs.strCa, "Auto"));
    testsupport::CProcessResult noTls = RunClient({"-silent"});
    EXPECT_EQ(noTls.m_nExitStatus, 4);
    EXPECT_EQ(noTls.m_strStderr,
              testsupport::AsText("connect to 127.0.0.1:" + std::to_string(m_nPort) +
                                  ": the server offers no TLS: 502 Command not implemented.\n"));
    EXPECT_THAT(plainServer.Stdout(), ::testing::HasSubstr("R: AUTH TLS"));
    EXPECT_THAT(plainServer.Stdout(), ::testing::Not(::testing::HasSubstr("R: USER")));
    EXPECT_THAT(plainServer.Stdout(), ::testing::Not(::testing::HasSubstr("R: PASS")));
}

TEST_F(ClientProgramTest, AClientStartedRightAfterItsServerConnects) {
    // As a cron job does: start the server, then the client at once.
    WriteScript(Server() + NothingToSend());
    for (int i = 0; i < 10; ++i) {
        SCOPED_TRACE("run " + std::to_string(i));
        testsupport::CBackgroundProcess server;
        StartServer(server);
        testsupport::CProcessResult result = RunClient({"-silent"});
        EXPECT_EQ(result.m_nExitStatus, kExitOk) << result.m_strStderr;
        if (testsupport::IsWine()) {
            GTEST_SKIP() << "Wine delivers no console break to another process group";
        }
        server.Kill(SIGTERM);
        ASSERT_TRUE(server.Wait(10s));
    }
}

TEST_F(ClientProgramTest, SwitchesChooseTheOrderAndWhetherTheRunStartsByItself) {
    StartServer();
    // One file each way, so the order of the lines is the order of the passes.
    WriteScript(Server() + "[GET]\nRemoteFiles=report.txt\nLocalDir=" + InPath() +
                "\nRemoteDir=\n[PUT]\nLocalFiles=b.dat\nLocalDir=" + m_local.Path() +
                "\nRemoteDir=\n");
    const std::vector<std::string> getFirst = {GetLine("OK TRANSM", "report.txt"),
                                               PutLine("OK TRANSM", "b.dat")};
    const std::vector<std::string> putFirst = {getFirst[1], getFirst[0]};
    struct CCase {
        std::vector<std::string> switches;
        std::string strStdin;  // a line presses the default button
        const std::vector<std::string>* pOrder;  // null: no run
    };
    const std::vector<CCase> cases = {
        {{"-silent"}, "", &getFirst},
        {{"/SILENTPUTFIRST"}, "", &putFirst},
        {{"-startputfirst"}, "", &putFirst},
        {{"-start", "/putfirst"}, "", &putFirst},
        {{"some.ini", "-unknown", "-Silent"}, "", &getFirst},
        // "putfirst" alone waits for "Connect"; the line presses it.
        {{"-putfirst"}, "\n", &putFirst},
        {{"-putfirst"}, "", nullptr},
        {{}, "", nullptr},
    };
    for (const CCase& c : cases) {
        std::string strSwitches;
        for (const std::string& strSwitch : c.switches) {
            strSwitches += strSwitch + " ";
        }
        SCOPED_TRACE(strSwitches + "stdin: " + std::to_string(c.strStdin.size()));
        std::filesystem::remove_all(InPath());
        std::filesystem::remove(LogPath());
        std::filesystem::remove(m_served.Join("b.dat"));
        testsupport::CProcessResult result = RunClient(c.switches, c.strStdin);
        if (c.pOrder == nullptr) {
            EXPECT_EQ(result.m_nExitStatus, kExitNoRun);
            EXPECT_FALSE(m_client.Exists("sync.log"));
            EXPECT_FALSE(m_served.Exists("b.dat"));
            continue;
        }
        // The summary is GET before PUT in either order.
        std::vector<std::string> body = *c.pOrder;
        body.push_back("GET Files: 1 OK");
        body.push_back("PUT Files: 1 OK");
        EXPECT_EQ(ReadLog(), testsupport::AsText(Lines(Run(body))));
        EXPECT_EQ(result.m_nExitStatus, kExitOk);
    }
}

TEST_F(ClientProgramTest, RunsThatEndEarlyLogWhyAndSayItInTheExitStatus) {
    StartServer();
    // The server refuses to replace a read-only copy.
    ASSERT_TRUE(m_served.WriteFile("b.dat", "older"));
    ASSERT_TRUE(testsupport::MakeReadOnly(m_served.Join("b.dat")));
    struct CCase {
        const char* pszName;
        std::string strScript;
        std::vector<std::string> lines;
        int nExitStatus;
        // The causes on standard error, beside the log lines.
        std::string strStderr;
    };
    const int nClosedPort = FindFreePort();
    std::string strNowhere = Server();
    strNowhere.replace(strNowhere.find("Port=" + std::to_string(m_nPort)),
                       5 + std::to_string(m_nPort).size(), "Port=" + std::to_string(nClosedPort));
    const std::vector<CCase> cases = {
        {"wrong password", Server("wrong") + Sections(),
         {Head()[0], Head()[1], Head()[2], Head()[3], "Login failed!!!",
          "Disconnecting from server...", "Disconnected"},
         kExitLoginFailed, "login as op: 530 Not logged in.\n"},
        {"nobody listening", strNowhere + Sections(),
         {"Trying to connect to 127.0.0.1:" + std::to_string(nClosedPort) + "...",
          "Can't connect!!!"},
         kExitConnectFailed,
         "connect to 127.0.0.1:" + std::to_string(nClosedPort) + ": " +
             testsupport::ErrorText(testsupport::kErrorConnectionRefused) + "\n"},
        // Nothing to do is not a success: a script cut short reads like this.
        {"no sections", Server(), Run({"No GET section found", "No PUT section found"}),
         kExitFilesFailed, ""},
        {"entries that find nothing",
         Server() + "[PUT]\nLocalFiles=*.none;.secret.dat;folder.dat\nLocalDir=" +
             m_local.Path() + "\nRemoteDir=incoming\n",
         Run({"PUT no files found (" + m_local.Join("*.none") + " --> incoming)",
              "PUT no files found (" + m_local.Join(".secret.dat") + " --> incoming)",
              "PUT no files found (" + m_local.Join("folder.dat") + " --> incoming)",
              "No GET section found", "PUT Files: 0 OK"}),
         kExitOk, ""},
        {"a server copy that cannot be replaced",
         Server() + "[PUT]\nLocalFiles=b.dat\nLocalDir=" + m_local.Path() + "\nRemoteDir=\n",
         Run({PutLine("FAILED!!", "b.dat"), "No GET section found",
              "PUT Files: 0 OK, 1 FAILED!!"}),
         kExitFilesFailed,
         "PUT " + m_local.Join("b.dat") +
             "->/b.dat: 550 Requested action not taken. File or directory unavailable.\n"},
        {"a file the server does not have",
         Server() + "[GET]\nRemoteFiles=missing.txt;report.txt\nLocalDir=" + InPath() +
             "\nRemoteDir=\n",
         Run({GetLine("FAILED!!", "missing.txt"), GetLine("OK TRANSM", "report.txt"),
              "GET Files: 1 OK, 1 FAILED!!", "No PUT section found"}),
         kExitFilesFailed,
         "GET /missing.txt->" + testsupport::JoinPath(InPath(), "missing.txt") +
             ": 550 Requested action not taken. File or directory unavailable.\n"},
    };
    for (const CCase& c : cases) {
        SCOPED_TRACE(c.pszName);
        std::filesystem::remove_all(InPath());
        WriteScript(c.strScript);
        testsupport::CProcessResult result = RunClient({"-silent"});
        EXPECT_EQ(ReadLog(), testsupport::AsText(Lines(c.lines)));
        EXPECT_EQ(result.m_nExitStatus, c.nExitStatus);
        EXPECT_EQ(result.m_strStderr, testsupport::AsText(c.strStderr));
    }
    EXPECT_EQ(m_served.ReadFile("b.dat"), "older");
    // Nothing failed locally: the missing file left nothing behind.
    EXPECT_EQ(m_local.List(), (std::vector<std::string>{".secret.dat", "In", "a.dat", "b.dat",
                                                         "folder.dat", "notes.txt"}));
    EXPECT_FALSE(m_local.Exists("In/missing.txt"));
}

TEST_F(ClientProgramTest, AFileThatCannotBeReadIsNotSentAndTheServerKeepsItsCopy) {
    StartServer();
    ASSERT_TRUE(m_served.WriteFile("broken.dat", "server copy"));
    testsupport::CTempDir out;
    ASSERT_TRUE(out.WriteFile("good.dat", "good"));
#ifdef _WIN32
    GTEST_SKIP() << "needs a file that is listed as regular but fails every read "
                    "(/proc/self/mem on Linux)";
#else
    // Listed as a regular file, but every read of it fails.
    ASSERT_EQ(symlink("/proc/self/mem", out.Join("broken.dat").c_str()), 0);
#endif
    WriteScript(Server() + "[PUT]\nLocalFiles=broken.dat;good.dat\nLocalDir=" + out.Path() +
                "\nRemoteDir=\n");
    testsupport::CProcessResult result = RunClient({"-silent"});
    EXPECT_EQ(ReadLog(), testsupport::AsText(Lines(Run({"FAILED!!: PUT " + out.Join("broken.dat") + "->/broken.dat",
                                    "OK TRANSM: PUT " + out.Join("good.dat") + "->/good.dat",
                                    "No GET section found", "PUT Files: 1 OK, 1 FAILED!!"}))));
    EXPECT_EQ(result.m_nExitStatus, kExitFilesFailed);
    EXPECT_EQ(result.m_strStderr, testsupport::AsText("PUT " + out.Join("broken.dat") +
                                      "->/broken.dat: Input/output error\n"));
    EXPECT_EQ(m_served.ReadFile("broken.dat"), "server copy");
    EXPECT_EQ(m_served.ReadFile("good.dat"), "good");
}

// A service manager stopping a long sync (SIGTERM), or Ctrl+C: the upload
// under way is broken off at once and the server keeps its previous copy.
TEST_F(ClientProgramTest, AStopRequestDuringAnUploadBreaksItOffAndTheServerKeepsItsCopy) {
    StartServer();
    ASSERT_TRUE(m_served.WriteFile("big.bin", "old server copy"));
    testsupport::CTempDir out;
    // Sparse, so it costs no disk, yet takes a while to digest and send.
    ASSERT_TRUE(out.WriteFile("big.bin", ""));
    ASSERT_EQ(truncate(out.Join("big.bin").c_str(), 512LL << 20), 0);
    WriteScript(Server() + "[PUT]\nLocalFiles=big.bin\nLocalDir=" + out.Path() + "\nRemoteDir=\n");

    for (int nSignal : {SIGTERM, SIGINT}) {
        SCOPED_TRACE(nSignal);
        testsupport::CBackgroundProcess client;
        testsupport::CProcessOptions options;
        options.m_strWorkDir = m_client.Path();
        ASSERT_TRUE(client.Start({m_client.Join("TandrelClient"), "-silent", "-console"}, options))
            << client.Error();
        // The upload is under way once the server's temporary file is there.
        auto isUploading = [&] {
            for (const std::string& strName : m_served.List()) {
                if (strName[0] == '.') {
                    return true;
                }
            }
            return false;
        };
        const auto deadline = std::chrono::steady_clock::now() + 60s;
        while (!isUploading() && std::chrono::steady_clock::now() < deadline &&
               !client.Wait(5ms)) {
        }
        ASSERT_TRUE(isUploading()) << ReadLog();
        const auto stopped = std::chrono::steady_clock::now();
        if (testsupport::IsWine()) {
            GTEST_SKIP() << "Wine delivers no console break to another process group";
        }
        client.Kill(nSignal);
        testsupport::CProcessResult result;
        ASSERT_TRUE(client.Wait(30s, &result));
        EXPECT_LT(std::chrono::steady_clock::now() - stopped, 3s);
        EXPECT_FALSE(result.m_bSignaled);
        EXPECT_EQ(result.m_nExitStatus, kExitFilesFailed);
        EXPECT_EQ(ReadLog(), testsupport::AsText(Lines(Run({"BROKEN OFF: PUT " + out.Join("big.bin") + "->/big.bin",
                                        "Run broken off", "No GET section found",
                                        "PUT Files: 0 OK, 1 FAILED!!"}))));
        EXPECT_EQ(result.m_strStderr, testsupport::AsText("PUT " + out.Join("big.bin") +
                                          "->/big.bin: broken off by a stop request\n"));
        // The server drops the partial upload once it sees the client gone.
        for (int i = 0; i < 200 && isUploading(); ++i) {
            std::this_thread::sleep_for(10ms);
        }
        EXPECT_EQ(m_served.List(),
                  (std::vector<std::string>{"big.bin", "empty.txt", "report.txt"}));
        EXPECT_EQ(m_served.ReadFile("big.bin"), "old server copy");
    }
}

TEST_F(ClientProgramTest, ANulOrUtf16TextDoesNotHideTheSections) {
    StartServer();
    const std::string strGet = "[GET]\nRemoteFiles=report.txt\nLocalDir=" + InPath() +
                               "\nRemoteDir=\n";
    struct CCase {
        const char* pszName;
        std::string strScript;
    };
    const CCase cases[] = {
        {"NUL on a comment line", Server() + std::string(". note\0[PUT]\n", 13) + strGet},
        {"NUL after a value", Server() + std::string("[GET]\nRemoteFiles=report.txt\0x\n", 31) +
                                  "LocalDir=" + InPath() + "\n"},
        {"UTF-16 with mark", Utf16(Server() + strGet, false, true)},
        {"UTF-16 big-endian with mark", Utf16(Server() + strGet, true, true)},
        {"UTF-16 without mark", Utf16(Server() + strGet, false, false)},
    };
    for (const CCase& c : cases) {
        SCOPED_TRACE(c.pszName);
        std::filesystem::remove_all(InPath());
        WriteScript(c.strScript);
        testsupport::CProcessResult result = RunClient({"-silent"});
        EXPECT_EQ(ReadLog(), testsupport::AsText(Lines(Run({GetLine("OK TRANSM", "report.txt"), "GET Files: 1 OK",
                                        "No PUT section found"}))));
        EXPECT_EQ(result.m_nExitStatus, kExitOk);
        EXPECT_EQ(result.m_strStderr, testsupport::AsText(""));
        EXPECT_EQ(m_local.ReadFile("In/report.txt"), "monthly report\n");
    }
}

TEST_F(ClientProgramTest, ScriptsThatCannotBeUsedEndTheProgramWithTheirMessages) {
    ASSERT_TRUE(m_local.WriteFile("plainfile", "x"));
    struct CCase {
        const char* pszName;
        std::string strScript;  // empty: no script at all
        std::string strMessages;
    };
    const std::string strCantOpen =
        "Can't open file '" + m_client.Join("TandrelClient.INI") + "'!!!\n";
    const std::vector<CCase> cases = {
        {"missing", "", strCantOpen},
        {"port with letters", "[SERVER]\nLabel=x\nPort=21x\n",
         "Syntax error. Invalid Port!!!. You must specify a number or \"BT\" for bluetooth "
         "(TandrelClient.INI, line 3)\n" +
             strCantOpen},
        {"folder that cannot be made",
         "[GET]\nRemoteFiles=a.txt\nLocalDir=" + m_local.Join("plainfile/In") + "\n",
         "ERROR: Cannot create folder '" + m_local.Join("plainfile/In") +
             "' (TandrelClient.INI, line 3)\n" + strCantOpen},
        {"wildcard fetch from a server",
         "[SERVER]\nPort=21\n\n[GET]\nRemoteFiles=a.txt;*.dat\n",
         "Syntax error. Metacharacters are no allowed in GET->RemoteFiles (TandrelClient.INI, "
         "line 5)\n" +
             strCantOpen},
        {"bad lines before a bad version",
         "junk\n[TandrelClient]\nVersion=Quillon 9\n",
         "Syntax error. This line will be ignored (TandrelClient.INI, line 1)\n"
         "Syntax error. Invalid version!!! (TandrelClient.INI, line 3)\n" +
             strCantOpen},
    };
    for (const CCase& c : cases) {
        SCOPED_TRACE(c.pszName);
        std::filesystem::remove(m_client.Join("TandrelClient.INI"));
        if (!c.strScript.empty()) {
            WriteScript(c.strScript);
        }
        testsupport::CProcessResult result = RunClient({"-silent"});
        EXPECT_EQ(result.m_nExitStatus, kExitScriptFailed);
        EXPECT_EQ(result.m_strStdout, testsupport::AsText(""));
        EXPECT_EQ(result.m_strStderr, testsupport::AsText(c.strMessages));
    }
}

TEST_F(ClientProgramTest, AMissingPasswordIsAskedForThenALinePressesConnect) {
    StartServer();
    std::string strScript = Server() + NothingToSend();
    strScript.replace(strScript.find("Pwd=pw\n"), 7, "");
    WriteScript(strScript);

    // With "silent" the run still waits for the value; once typed, the
    // program runs and ends by itself.
    testsupport::CProcessResult result = RunClient({"-silent"}, "pw\n\n");
    EXPECT_EQ(result.m_nExitStatus, kExitOk);
    EXPECT_EQ(result.m_strStderr, testsupport::AsText("Password: "));
    EXPECT_EQ(result.m_strStdout,
              testsupport::AsText("Label: Test office\nAddress: 127.0.0.1\nPort: " + std::to_string(m_nPort) +
                  "\nUser: op\nPassword: \n" + Lines(Run(NothingSent()))));

    // A wrong value is refused and asked for again.
    std::filesystem::remove(LogPath());
    strScript.replace(strScript.find("Port="), 5 + std::to_string(m_nPort).size() + 1, "");
    WriteScript(strScript);
    result = RunClient({"-silent"}, "21x\npw\n\n" + std::to_string(m_nPort) + "\n\n");
    EXPECT_EQ(result.m_nExitStatus, kExitOk);
    EXPECT_EQ(result.m_strStderr, testsupport::AsText("Port: Password: Invalid parameter\nPort: "));
    EXPECT_EQ(ReadLog(), testsupport::AsText(Lines(Run(NothingSent()))));

    // Without an answer the program ends without a run.
    std::filesystem::remove(LogPath());
    result = RunClient({"-silent"});
    EXPECT_EQ(result.m_nExitStatus, kExitNoRun);
    EXPECT_FALSE(m_client.Exists("sync.log"));
}

TEST_F(ClientProgramTest, ADeviceRunCopiesBothWaysAndExpandsWildcardFetches) {
    testsupport::CTempDir device;
    std::filesystem::create_directories(device.Join("Data"));
    ASSERT_TRUE(device.WriteFile("Data/setup.txt", "device setup"));
    ASSERT_TRUE(device.WriteFile("Data/readme.doc", "not matched"));
    WriteScript("[SERVER]\nLabel=Handheld\nPort=ActiveSync\nUser=op\nPwd=pw\nLog=" + LogPath() +
                "\n[GET]\nRemoteFiles=*.txt\nLocalDir=" + InPath() +
                "\nRemoteDir=\\Data\n[PUT]\nLocalFiles=b.dat\nLocalDir=" + m_local.Path() +
                "\nRemoteDir=\\Inbox\n");
    const std::vector<std::pair<std::string, std::string>> env = {
        {"TANDREL_DEVICE_ROOT", device.Path()}};
    const std::string strExpected = Lines({
        "Trying to connect to device via ActiveSync...",
        "Connected",
        "OK TRANSM: GET \\Data/setup.txt->" + testsupport::JoinPath(InPath(), "setup.txt"),
        "OK TRANSM: PUT " + m_local.Join("b.dat") + "->\\Inbox/b.dat",
        "GET Files: 1 OK",
        "PUT Files: 1 OK",
        "Disconnecting from server...",
        "Disconnected",
    });
    // A device has no digests: the second run copies again.
    for (int nRun = 0; nRun < 2; ++nRun) {
        SCOPED_TRACE(nRun);
        testsupport::CProcessResult result = RunClient({"-silent"}, "", env);
        EXPECT_EQ(ReadLog(), testsupport::AsText(strExpected));
        EXPECT_EQ(result.m_nExitStatus, kExitOk);
        EXPECT_EQ(m_local.ReadFile("In/setup.txt"), "device setup");
        EXPECT_EQ(device.ReadFile("Inbox/b.dat"), "bravo");
        EXPECT_FALSE(m_local.Exists("In/readme.doc"));
    }

    // No device attached.
    testsupport::CProcessResult result = RunClient({"-silent"});
    EXPECT_EQ(ReadLog(), testsupport::AsText(Lines({"Trying to connect to device via ActiveSync...",
                                "Can't connect!!!"})));
    EXPECT_EQ(result.m_nExitStatus, kExitConnectFailed);
}

}  // namespace
