#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <ostream>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "tests/faults/control_relay.h"
#include "tests/server/ftp_test_client.h"
#include "tests/support/fsutil.h"
#include "tests/support/process.h"
#include "tests/support/syscodes.h"
#include "tests/support/tempdir.h"

// Faults that operators meet while TandrelClient and TandrelServer work: one
// of them killed in the middle of a transfer, a disk that fills up, a file
// that vanishes between its digest and its transfer, a server that falls
// silent. Each time both previous copies must stay whole, nothing may be
// left that a later run takes for data, the next run must put things right,
// the logs must say what happened, and nothing may wait beyond its limit.

namespace {

using namespace std::chrono_literals;
using CClock = std::chrono::steady_clock;

constexpr int kExitOk = 0;
constexpr int kExitConnectFailed = 4;
constexpr int kExitFilesFailed = 6;

// The script's limit on every wait for the server, in seconds: short, so a
// silent server costs the test seconds, not minutes.
constexpr int kTimeoutSeconds = 3;
// Where a big file is digested at the server (at idle priority, on a busy
// machine) the answer must be allowed to take its time.
constexpr int kBigFileTimeoutSeconds = 10;
// Where nothing is to time out, the script names no limit: the server
// digests big files at idle priority, which on a busy machine takes what it
// takes, and the client's own limit keeps a fault from hanging the test.
constexpr int kNoTimeoutSeconds = 0;
// Long enough to be caught in the middle of its transfer, even on a fast
// machine; sparse where the test makes it, so it costs no disk there.
constexpr long long kBigFileBytes = 128LL << 20;
// Longer than any of the programs' own limits: a program that has not
// ended by then waits for something that will never come.
constexpr auto kEndLimit = 100s;

const std::string kUnavailable = "550 Requested action not taken. File or directory unavailable.";

std::string Lines(const std::vector<std::string>& lines) {
    std::string strText;
    for (const std::string& strLine : lines) {
        strText += strLine + "\n";
    }
    return strText;
}

// The names in a folder that the programs' temporary files carry.
std::vector<std::string> Temporaries(const testsupport::CTempDir& dir, const std::string& strSub) {
    std::vector<std::string> vecFound;
    for (const std::string& strName : dir.List(strSub)) {
        if (strName.rfind(".tandrel-", 0) == 0) {
            vecFound.push_back(strName);
        }
    }
    return vecFound;
}

// Whether two files hold the same bytes, read a block at a time: the big
// files do not fit in a test's memory twice.
bool SameBytes(const std::string& strPathA, const std::string& strPathB) {
    std::ifstream a(strPathA, std::ios::binary);
    std::ifstream b(strPathB, std::ios::binary);
    if (!a || !b) {
        return false;
    }
    std::vector<char> blockA(1 << 20), blockB(1 << 20);
    for (;;) {
        a.read(blockA.data(), static_cast<std::streamsize>(blockA.size()));
        b.read(blockB.data(), static_cast<std::streamsize>(blockB.size()));
        if (a.gcount() != b.gcount() ||
            !std::equal(blockA.begin(), blockA.begin() + a.gcount(), blockB.begin())) {
            return false;
        }
        if (a.gcount() == 0) {
            return true;
        }
    }
}

bool WriteWhole(const std::string& strPath, const std::string& strBytes) {
    std::ofstream file(strPath, std::ios::binary | std::ios::trunc);
    return static_cast<bool>(file.write(strBytes.data(), static_cast<std::streamsize>(strBytes.size())));
}

std::string ReadWhole(const std::string& strPath) {
    std::ifstream file(strPath, std::ios::binary);
    if (!file) {
        return "<cannot be read>";
    }
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

bool MakeSparseFile(const std::string& strPath, long long nBytes) {
    std::ofstream(strPath, std::ios::binary).close();
    return truncate(strPath.c_str(), nBytes) == 0;
}

// The whole trace line of the engine for a message and an error code; its
// source line number is the engine's own business.
std::regex TraceLine(const std::string& strMessage, const std::string& strErrorPattern = "00000000") {
    const std::string strEscaped =
        std::regex_replace(strMessage, std::regex(R"([.^$|()\[\]{}*+?\\])"), R"(\$&)");
    return std::regex("(^|\n)" + strEscaped + R"( \([0-9]+, ftpserver\.cpp, )" + strErrorPattern +
                      R"(\)\n)");
}

bool HasTraceLine(const std::string& strOutput, const std::string& strMessage,
                  const std::string& strErrorPattern = "00000000") {
    return std::regex_search(strOutput, TraceLine(strMessage, strErrorPattern));
}

// An error code as the trace writes it.
std::string Code(int nError) {
    char szCode[16];
    std::snprintf(szCode, sizeof(szCode), "%08d", nError);
    return szCode;
}

class FaultTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::filesystem::copy_file(TANDRELCLIENT_PATH, m_client.Join("TandrelClient"));
        std::filesystem::copy_file(TANDRELSERVER_PATH, m_server.Join("TandrelServer"));
        m_nPort = FindFreePort();
        ASSERT_GT(m_nPort, 0);
        ASSERT_TRUE(m_server.WriteFile(
            "TandrelServer.INI", "[TCP]\nPort=" + std::to_string(m_nPort) + "\nStartDir=" +
                                     m_served.Path() +
                                     "\nWelcome=Fault server\n[USER]\nUser=op\nPwd=pw\n"));
        std::filesystem::create_directory(InPath());
    }

    void TearDown() override {
        // A server the test stopped must go on to its end, not hang there.
        if (m_pServer) {
            m_pServer->Kill(SIGCONT);
        }
    }

    // Starts TandrelServer and returns once it listens. A file-size limit
    // above 0 makes every file it writes fail beyond that many bytes.
    void StartServer(long long nFileSizeLimit = 0) {
        m_pServer = std::make_unique<testsupport::CBackgroundProcess>();
        testsupport::CProcessOptions options;
        // Other tests' servers must not count as "another TandrelServer".
        options.m_vecEnv = {{"XDG_RUNTIME_DIR", m_runtime.Path()}};
        ASSERT_TRUE(m_pServer->Start(Limited({m_server.Join("TandrelServer"), "-start"},
                                             nFileSizeLimit),
                                     options))
            << m_pServer->Error();
        ASSERT_TRUE(m_pServer->WaitForStdout("Server started on port " + std::to_string(m_nPort), 10s))
            << m_pServer->Stdout();
    }

    static std::vector<std::string> Limited(std::vector<std::string> vecArgv, long long nLimit) {
        if (nLimit > 0) {
            vecArgv.insert(vecArgv.begin(), {FILE_SIZE_LIMITED_PATH, std::to_string(nLimit)});
        }
        return vecArgv;
    }

    // The [SERVER] section towards nPort (the server's unless given), with
    // a Timeout line unless nTimeoutSeconds is 0.
    std::string Server(int nPort = 0, int nTimeoutSeconds = kTimeoutSeconds) const {
        return "[TandrelClient]\nVersion=Quillon 4.1\n[SERVER]\nLabel=Faults\nAddress=127.0.0.1\n"
               "Port=" +
               std::to_string(nPort == 0 ? m_nPort : nPort) + "\nUser=op\nPwd=pw\nLog=" +
               m_client.Join("sync.log") + "\n" +
               (nTimeoutSeconds > 0 ? "Timeout=" + std::to_string(nTimeoutSeconds) + "\n" : "");
    }
    std::string GetSection(const std::string& strFiles) const {
        return "[GET]\nRemoteFiles=" + strFiles + "\nLocalDir=" + InPath() + "\nRemoteDir=\n";
    }
    std::string PutSection(const std::string& strFiles, const std::string& strDir) const {
        return "[PUT]\nLocalFiles=" + strFiles + "\nLocalDir=" + strDir + "\nRemoteDir=\n";
    }
    void WriteScript(const std::string& strScript) {
        ASSERT_TRUE(m_client.WriteFile("TandrelClient.INI", strScript));
    }

    void StartClient(testsupport::CBackgroundProcess& client, long long nFileSizeLimit = 0) {
        std::filesystem::remove(m_client.Join("sync.log"));
        testsupport::CProcessOptions options;
        options.m_strWorkDir = m_client.Path();
        ASSERT_TRUE(client.Start(Limited({m_client.Join("TandrelClient"), "-silent"}, nFileSizeLimit),
                                 options))
            << client.Error();
    }

    // One run to its end, which must come by itself.
    testsupport::CProcessResult RunClient(long long nFileSizeLimit = 0) {
        testsupport::CBackgroundProcess client;
        StartClient(client, nFileSizeLimit);
        return WaitForEnd(client);
    }

    static testsupport::CProcessResult WaitForEnd(testsupport::CBackgroundProcess& process) {
        testsupport::CProcessResult result;
        EXPECT_TRUE(process.Wait(kEndLimit, &result)) << "still waiting";
        return result;
    }

    // Waits until a temporary file in the folder has data in it: a transfer
    // into it is under way. False when that never happens while the client
    // runs.
    bool WaitForTransferInto(const testsupport::CTempDir& dir, const std::string& strSub,
                             testsupport::CBackgroundProcess& client) {
        const auto deadline = CClock::now() + kEndLimit;
        while (CClock::now() < deadline) {
            for (const std::string& strName : Temporaries(dir, strSub)) {
                std::error_code error;
                const auto nSize = std::filesystem::file_size(
                    dir.Join(strSub.empty() ? strName : strSub + "/" + strName), error);
                if (!error && nSize > 0) {
                    return true;
                }
            }
            if (client.Wait(1ms)) {
                return false;
            }
        }
        return false;
    }

    // A big file, new on its sender's side and old on the other, and a
    // small one that waits behind it in the run.
    struct CBigFile {
        std::string strOld;       // what the receiver holds before
        std::string strSender;    // the new big file's path
        std::string strReceiver;  // the old copy's path
        std::string strFiles;     // the two paths as the log names them
        std::string strSmall;     // the small file's, likewise
    };
    CBigFile MakeBigFile(bool bGet) {
        CBigFile big;
        big.strOld = bGet ? "old local copy" : "old server copy";
        big.strSender = bGet ? m_served.Join("big.bin") : m_local.Join("big.bin");
        big.strReceiver = bGet ? m_local.Join("In/big.bin") : m_served.Join("big.bin");
        big.strFiles = bGet ? GetFiles("big.bin") : PutFiles("big.bin");
        big.strSmall = bGet ? GetFiles("small.txt") : PutFiles("small.txt");
        EXPECT_TRUE(MakeSparseFile(big.strSender, kBigFileBytes));
        EXPECT_TRUE(WriteWhole(big.strReceiver, big.strOld));
        EXPECT_TRUE((bGet ? m_served : m_local).WriteFile("small.txt", "small file"));
        return big;
    }
    // Starts the client and returns once bytes of the big file arrive.
    void StartBigTransfer(testsupport::CBackgroundProcess& client, bool bGet) {
        StartClient(client);
        const bool bUnderWay = bGet ? WaitForTransferInto(m_local, "In", client)
                                    : WaitForTransferInto(m_served, "", client);
        ASSERT_TRUE(bUnderWay) << ReadLog() << client.Stderr() << ServerOutput();
    }

    // A run of a script with one section: its file lines, then the two
    // summaries.
    std::vector<std::string> OneSection(bool bGet, std::vector<std::string> lines, int nOk,
                                        int nFailed) const {
        lines.push_back(bGet ? Summary("GET", nOk, nFailed) : "No GET section found");
        lines.push_back(bGet ? "No PUT section found" : Summary("PUT", nOk, nFailed));
        return Run(lines);
    }
    static std::string Summary(const std::string& strDirection, int nOk, int nFailed) {
        std::string strLine = strDirection + " Files: " + std::to_string(nOk) + " OK";
        return nFailed == 0 ? strLine : strLine + ", " + std::to_string(nFailed) + " FAILED!!";
    }

    std::string ReadLog() const { return m_client.ReadFile("sync.log").value_or("<no log>"); }
    std::string InPath() const { return m_local.Join("In"); }
    std::string ServerOutput() const { return m_pServer->Stdout(); }

    std::vector<std::string> Head(int nPort = 0) const {
        return {"Trying to connect to 127.0.0.1:" + std::to_string(nPort == 0 ? m_nPort : nPort) +
                    "...",
                "Connected", "220 Fault server", "Trying to log as op...", "Login OK"};
    }
    std::vector<std::string> Run(const std::vector<std::string>& vecBody) const {
        std::vector<std::string> lines = Head();
        lines.insert(lines.end(), vecBody.begin(), vecBody.end());
        lines.push_back("Disconnecting from server...");
        lines.push_back("Disconnected");
        return lines;
    }
    std::string GetFiles(const std::string& strName) const {
        return "GET /" + strName + "->" + testsupport::JoinPath(InPath(), strName);
    }
    std::string PutFiles(const std::string& strName) const {
        return "PUT " + m_local.Join(strName) + "->/" + strName;
    }

    testsupport::CTempDir m_client;
    testsupport::CTempDir m_server;
    testsupport::CTempDir m_served;
    testsupport::CTempDir m_local;
    testsupport::CTempDir m_runtime;
    std::unique_ptr<testsupport::CBackgroundProcess> m_pServer;
    int m_nPort = 0;
};

// ---------------------------------------------------------------------------
// A program killed (SIGKILL) in the middle of a transfer: by an operator, the
// out-of-memory killer, a service manager that lost patience, a power cut.

struct CKillCase {
    const char* pszName;
    bool bGet;         // the file moves from the server (RETR) or to it (STOR)
    bool bKillClient;  // which side dies
};

void PrintTo(const CKillCase& c, std::ostream* pStream) { *pStream << c.pszName; }

class KillTest : public FaultTest, public ::testing::WithParamInterface<CKillCase> {};

TEST_P(KillTest, BothCopiesStayWholeAndTheNextRunRepairs) {
    const CKillCase& c = GetParam();
    StartServer();
    const CBigFile big = MakeBigFile(c.bGet);
    const std::string& strSender = big.strSender;
    const std::string& strReceiver = big.strReceiver;
    const std::string& strFiles = big.strFiles;
    const std::string& strSmall = big.strSmall;
    // A later run's wildcard upload from the download folder must never
    // take a leftover download for a file of its own.
    WriteScript(Server(0, kNoTimeoutSeconds) +
                (c.bGet ? GetSection("big.bin;small.txt") + PutSection("*.part", InPath())
                        : PutSection("big.bin;small.txt", m_local.Path())));

    testsupport::CBackgroundProcess client;
    StartBigTransfer(client, c.bGet);
    (c.bKillClient ? client : *m_pServer).Kill(SIGKILL);

    testsupport::CProcessResult clientResult = WaitForEnd(client);
    if (c.bKillClient) {
        EXPECT_TRUE(clientResult.m_bSignaled);
        // Every line shown before the kill is in the log file, whole.
        EXPECT_EQ(ReadLog(), testsupport::AsText(Lines(Head())));
        // The server notices the end of its client and goes on serving.
        ASSERT_TRUE(m_pServer->WaitForStdout("Disconnected from 127.0.0.1", kEndLimit))
            << ServerOutput();
        const std::string strTrace = ServerOutput();
        if (c.bGet) {
            EXPECT_TRUE(HasTraceLine(strTrace, "TransmitFile(...) failed",
                                     "(" + Code(ECONNRESET) + "|" + Code(EPIPE) + ")"))
                << strTrace;
        } else {
            EXPECT_TRUE(HasTraceLine(strTrace, "Connection closed") ||
                        HasTraceLine(strTrace, "recv(...) failed", Code(ECONNRESET)))
                << strTrace;
            EXPECT_TRUE(HasTraceLine(strTrace, "S: 552 Requested file action aborted.")) << strTrace;
        }
    } else {
        // The client sees its server gone, says so for each file left, and
        // ends by itself.
        EXPECT_FALSE(clientResult.m_bSignaled);
        EXPECT_EQ(clientResult.m_nExitStatus, kExitFilesFailed);
        std::vector<std::string> body = {"FAILED!!: " + strFiles, "FAILED!!: " + strSmall};
        if (c.bGet) {
            body.insert(body.end(), {"PUT no files found (" + m_local.Join("In/*.part") + " --> )",
                                     "GET Files: 0 OK, 2 FAILED!!", "PUT Files: 0 OK"});
            EXPECT_EQ(ReadLog(), testsupport::AsText(Lines(Run(body))));
        } else {
            EXPECT_EQ(ReadLog(), testsupport::AsText(Lines(OneSection(false, body, 0, 2))));
        }
        EXPECT_EQ(clientResult.m_strStderr,
                  testsupport::AsText(strFiles + ": connection closed by the server\n" + strSmall +
                                      ": connection closed by the server\n"));
    }

    // Both previous copies are as they were.
    EXPECT_EQ(ReadWhole(strReceiver), big.strOld);
    EXPECT_EQ(std::filesystem::file_size(strSender), static_cast<uintmax_t>(kBigFileBytes));

    // What a killed process leaves behind is its own temporary, hidden, and
    // nothing else.
    const bool bClientLeftover = c.bGet && c.bKillClient;
    const bool bServerLeftover = !c.bGet && !c.bKillClient;
    EXPECT_EQ(Temporaries(m_local, "In").size(), bClientLeftover ? 1u : 0u);
    const std::vector<std::string> serverLeftovers = Temporaries(m_served, "");
    EXPECT_EQ(serverLeftovers.size(), bServerLeftover ? 1u : 0u);
    if (!c.bKillClient) {
        StartServer();
    }
    if (bServerLeftover) {
        // No later session lists, sizes or fetches it.
        CFtpTestClient peer;
        ASSERT_TRUE(peer.Connect(m_nPort));
        EXPECT_EQ(peer.ReadLine(), "220 Fault server");
        EXPECT_EQ(peer.Command("USER op"), "331 User name Ok, need password.");
        EXPECT_EQ(peer.Command("PASS pw"), "230 Logged in.");
        const CTransferResult listing = Transfer(peer, "LIST");
        EXPECT_EQ(listing.strFinalReply, "250 Requested file action completed.");
        EXPECT_EQ(listing.strData.find(".tandrel-"), std::string::npos) << listing.strData;
        EXPECT_NE(listing.strData.find(" big.bin\r\n"), std::string::npos) << listing.strData;
        EXPECT_EQ(Transfer(peer, "RETR " + serverLeftovers[0]).strFirstReply, kUnavailable);
        EXPECT_EQ(peer.Command("SIZE " + serverLeftovers[0]), kUnavailable);
        EXPECT_EQ(peer.Command("QUIT"), "221 Service closing control connection.");
        // Left long ago, it is removed by the next upload into its folder.
        ASSERT_TRUE(testsupport::SetModifiedTime(m_served.Join(serverLeftovers[0]),
                                                 static_cast<long long>(std::time(nullptr)) - 7200));
    }

    // An undisturbed run moves the file again, and the next finds it equal.
    for (const char* pszOutcome : {"OK TRANSM", "OK EQUAL"}) {
        SCOPED_TRACE(pszOutcome);
        testsupport::CProcessResult result = RunClient();
        const std::string strOutcome = pszOutcome;
        // The small file of a run killed with its client never moved.
        const std::string strSmallOutcome =
            c.bKillClient && strOutcome == "OK EQUAL" ? "OK EQUAL" : strOutcome;
        std::vector<std::string> body = {strOutcome + ": " + strFiles,
                                         strSmallOutcome + ": " + strSmall};
        if (c.bGet) {
            body.insert(body.end(), {"PUT no files found (" + m_local.Join("In/*.part") + " --> )",
                                     "GET Files: 2 OK", "PUT Files: 0 OK"});
            EXPECT_EQ(ReadLog(), testsupport::AsText(Lines(Run(body))));
        } else {
            EXPECT_EQ(ReadLog(), testsupport::AsText(Lines(OneSection(false, body, 2, 0))));
        }
        EXPECT_EQ(result.m_nExitStatus, kExitOk) << result.m_strStderr;
        EXPECT_TRUE(SameBytes(strSender, strReceiver));
        EXPECT_EQ(m_local.ReadFile(c.bGet ? "In/small.txt" : "small.txt"), "small file");
        EXPECT_EQ(m_served.ReadFile("small.txt"), "small file");
        if (bClientLeftover && strOutcome == "OK TRANSM") {
            // Still young, it might be a live download's: it stays until it
            // is old enough to be nobody's.
            const std::vector<std::string> leftovers = Temporaries(m_local, "In");
            ASSERT_EQ(leftovers.size(), 1u);
            ASSERT_TRUE(testsupport::SetModifiedTime(
                m_local.Join("In/" + leftovers[0]), static_cast<long long>(std::time(nullptr)) - 7200));
        }
    }
    EXPECT_EQ(Temporaries(m_local, "In"), std::vector<std::string>{});
    EXPECT_EQ(Temporaries(m_served, ""), std::vector<std::string>{});
    if (bServerLeftover) {
        EXPECT_TRUE(HasTraceLine(ServerOutput(),
                                 "Removed stale temporary file " + m_served.Join(serverLeftovers[0])))
            << ServerOutput();
    }
}

INSTANTIATE_TEST_SUITE_P(Faults, KillTest,
                         ::testing::Values(CKillCase{"ClientKilledDuringGet", true, true},
                                           CKillCase{"ClientKilledDuringPut", false, true},
                                           CKillCase{"ServerKilledDuringRetr", true, false},
                                           CKillCase{"ServerKilledDuringStor", false, false}),
                         [](const auto& info) { return std::string(info.param.pszName); });

// ---------------------------------------------------------------------------
// A disk that fills up while a file is written: the receiving process runs
// under a file-size limit, and its writes beyond it fail (EFBIG) as they
// would with ENOSPC.

struct CDiskFullCase {
    const char* pszName;
    bool bGet;  // the client's disk fills up (GET), or the server's (PUT)
};

void PrintTo(const CDiskFullCase& c, std::ostream* pStream) { *pStream << c.pszName; }

class DiskFullTest : public FaultTest, public ::testing::WithParamInterface<CDiskFullCase> {};

TEST_P(DiskFullTest, TheFileFailsBothCopiesStayAndTheNextRunRepairs) {
    const CDiskFullCase& c = GetParam();
    constexpr long long nLimit = 1 << 20;
    const std::string strNew = TestBytes(4 << 20);
    const std::string strOld = c.bGet ? "old local copy" : "old server copy";
    ASSERT_TRUE((c.bGet ? m_served : m_local).WriteFile("data.bin", strNew));
    ASSERT_TRUE(c.bGet ? m_local.WriteFile("In/data.bin", strOld)
                       : m_served.WriteFile("data.bin", strOld));
    WriteScript(Server() + (c.bGet ? GetSection("data.bin") : PutSection("data.bin", m_local.Path())));
    const std::string strFiles = c.bGet ? GetFiles("data.bin") : PutFiles("data.bin");

    StartServer(c.bGet ? 0 : nLimit);
    testsupport::CProcessResult result = RunClient(c.bGet ? nLimit : 0);
    EXPECT_EQ(ReadLog(), testsupport::AsText(Lines(OneSection(c.bGet, {"FAILED!!: " + strFiles}, 0, 1))));
    EXPECT_EQ(result.m_nExitStatus, kExitFilesFailed);
    EXPECT_EQ(result.m_strStderr,
              testsupport::AsText(strFiles + ": " +
                                  (c.bGet ? testsupport::ErrorText(EFBIG)
                                          : std::string("552 Requested file action aborted.")) +
                                  "\n"));
    if (!c.bGet) {
        EXPECT_TRUE(HasTraceLine(ServerOutput(), "WriteFile(...) failed", Code(EFBIG)))
            << ServerOutput();
    }
    EXPECT_EQ(m_local.ReadFile(c.bGet ? "In/data.bin" : "data.bin"), c.bGet ? strOld : strNew);
    EXPECT_EQ(m_served.ReadFile("data.bin"), c.bGet ? strNew : strOld);
    EXPECT_EQ(Temporaries(m_local, "In"), std::vector<std::string>{});
    EXPECT_EQ(Temporaries(m_served, ""), std::vector<std::string>{});

    // With room again, the next run moves the file.
    if (!c.bGet) {
        m_pServer->Kill(SIGKILL);
        m_pServer->Wait(kEndLimit);
        StartServer();
    }
    result = RunClient();
    EXPECT_EQ(ReadLog(), testsupport::AsText(Lines(OneSection(c.bGet, {"OK TRANSM: " + strFiles}, 1, 0))));
    EXPECT_EQ(result.m_nExitStatus, kExitOk);
    EXPECT_EQ(m_local.ReadFile(c.bGet ? "In/data.bin" : "data.bin"), strNew);
    EXPECT_EQ(m_served.ReadFile("data.bin"), strNew);
}

INSTANTIATE_TEST_SUITE_P(Faults, DiskFullTest,
                         ::testing::Values(CDiskFullCase{"ClientDiskFullDuringGet", true},
                                           CDiskFullCase{"ServerDiskFullDuringPut", false}),
                         [](const auto& info) { return std::string(info.param.pszName); });

// ---------------------------------------------------------------------------
// A file that becomes unreadable after its digest was taken and before it is
// sent: removed, or replaced by a folder (permission bits would not stop a
// process that runs as root). A relay holds the server's answer to MD5 while
// the test does it.

struct CVanishCase {
    const char* pszName;
    bool bGet;        // the server's file vanishes (GET), or the client's (PUT)
    bool bIntoFolder; // replaced by a folder, or just removed
};

void PrintTo(const CVanishCase& c, std::ostream* pStream) { *pStream << c.pszName; }

class VanishTest : public FaultTest, public ::testing::WithParamInterface<CVanishCase> {};

TEST_P(VanishTest, TheFileFailsTheOtherCopyStaysAndTheNextRunRepairs) {
    const CVanishCase& c = GetParam();
    StartServer();
    testsupport::CTempDir& sender = c.bGet ? m_served : m_local;
    const std::string strOld = c.bGet ? "old local copy" : "old server copy";
    ASSERT_TRUE(sender.WriteFile("data.txt", "new copy"));
    ASSERT_TRUE(c.bGet ? m_local.WriteFile("In/data.txt", strOld)
                       : m_served.WriteFile("data.txt", strOld));
    CControlRelay relay;
    ASSERT_TRUE(relay.Start(m_nPort, "MD5 ", [&] {
        std::filesystem::remove(sender.Join("data.txt"));
        if (c.bIntoFolder) {
            std::filesystem::create_directory(sender.Join("data.txt"));
        }
    }));
    const std::string strSection =
        c.bGet ? GetSection("data.txt") : PutSection("data.txt", m_local.Path());
    WriteScript(Server(relay.Port()) + strSection);
    const std::string strFiles = c.bGet ? GetFiles("data.txt") : PutFiles("data.txt");

    testsupport::CProcessResult result = RunClient();
    EXPECT_TRUE(relay.HasHeld());
    std::vector<std::string> failed = OneSection(c.bGet, {"FAILED!!: " + strFiles}, 0, 1);
    // Through the relay, the first line names its port.
    failed[0] = Head(relay.Port())[0];
    EXPECT_EQ(ReadLog(), testsupport::AsText(Lines(failed)));
    EXPECT_EQ(result.m_nExitStatus, kExitFilesFailed);
    const std::string strCause =
        c.bGet ? kUnavailable
               : testsupport::ErrorText(c.bIntoFolder ? EISDIR : testsupport::kErrorNoSuchFile);
    EXPECT_EQ(result.m_strStderr, testsupport::AsText(strFiles + ": " + strCause + "\n"));
    // The other side's copy is untouched; a file the client could not read
    // was never announced to the server.
    EXPECT_EQ(c.bGet ? m_local.ReadFile("In/data.txt") : m_served.ReadFile("data.txt"), strOld);
    EXPECT_EQ(ServerOutput().find("R: STOR "), std::string::npos) << ServerOutput();
    EXPECT_EQ(Temporaries(m_local, "In"), std::vector<std::string>{});
    EXPECT_EQ(Temporaries(m_served, ""), std::vector<std::string>{});

    // Once the file is back, the next run moves it.
    std::filesystem::remove_all(sender.Join("data.txt"));
    ASSERT_TRUE(sender.WriteFile("data.txt", "newest copy"));
    WriteScript(Server() + strSection);
    result = RunClient();
    EXPECT_EQ(ReadLog(), testsupport::AsText(Lines(OneSection(c.bGet, {"OK TRANSM: " + strFiles}, 1, 0))));
    EXPECT_EQ(result.m_nExitStatus, kExitOk);
    EXPECT_EQ(m_local.ReadFile(c.bGet ? "In/data.txt" : "data.txt"), "newest copy");
    EXPECT_EQ(m_served.ReadFile("data.txt"), "newest copy");
}

INSTANTIATE_TEST_SUITE_P(
    Faults, VanishTest,
    ::testing::Values(CVanishCase{"ServerFileRemovedBeforeRetr", true, false},
                      CVanishCase{"ServerFileTurnedFolderBeforeRetr", true, true},
                      CVanishCase{"LocalFileRemovedBeforePut", false, false},
                      CVanishCase{"LocalFileTurnedFolderBeforePut", false, true}),
    [](const auto& info) { return std::string(info.param.pszName); });

// ---------------------------------------------------------------------------
// Servers that fall silent: the client gives up after the script's Timeout
// and ends by itself.

TEST_F(FaultTest, APeerThatAcceptsAndNeverAnswersIsGivenUpOn) {
    platform::CSocket listener;
    const int nPort = ListenForData(listener);
    ASSERT_GT(nPort, 0);
    WriteScript(Server(nPort) + GetSection("data.txt"));
    testsupport::CBackgroundProcess client;
    StartClient(client);
    platform::CSocket silent;
    platform::CSocketAddress peer;
    ASSERT_EQ(listener.WaitReadable(10000), 1);
    ASSERT_TRUE(listener.Accept(silent, peer));
    testsupport::CProcessResult result = WaitForEnd(client);
    EXPECT_EQ(ReadLog(), testsupport::AsText(Lines({"Trying to connect to 127.0.0.1:" +
                                                        std::to_string(nPort) + "...",
                                                    "Can't connect!!!"})));
    EXPECT_EQ(result.m_nExitStatus, kExitConnectFailed);
    EXPECT_EQ(result.m_strStderr,
              testsupport::AsText("connect to 127.0.0.1:" + std::to_string(nPort) +
                                  ": timed out waiting for the server's reply\n"));
}

// The server stops (SIGSTOP) while the bytes of a file flow, as a server on
// a machine that hangs or a network that goes dark would.
class SilentServerTest : public FaultTest, public ::testing::WithParamInterface<CKillCase> {};

TEST_P(SilentServerTest, TheClientGivesUpKeepsItsCopyAndTheNextRunRepairs) {
    const CKillCase& c = GetParam();
    StartServer();
    const CBigFile big = MakeBigFile(c.bGet);
    const std::string strSection = c.bGet ? GetSection("big.bin;small.txt")
                                          : PutSection("big.bin;small.txt", m_local.Path());
    // Only a fetch has the big file digested at the server before it moves.
    WriteScript(Server(0, c.bGet ? kBigFileTimeoutSeconds : kTimeoutSeconds) + strSection);

    testsupport::CBackgroundProcess client;
    StartBigTransfer(client, c.bGet);
    m_pServer->Kill(SIGSTOP);
    testsupport::CProcessResult result = WaitForEnd(client);
    EXPECT_EQ(ReadLog(), testsupport::AsText(Lines(OneSection(
                             c.bGet, {"FAILED!!: " + big.strFiles, "FAILED!!: " + big.strSmall}, 0, 2))));
    EXPECT_EQ(result.m_nExitStatus, kExitFilesFailed);
    // The file after it fails at once, for the same reason: the connection
    // was given up.
    EXPECT_EQ(result.m_strStderr,
              testsupport::AsText(big.strFiles + ": timed out waiting for the server's reply\n" +
                                  big.strSmall + ": timed out waiting for the server's reply\n"));
    EXPECT_EQ(Temporaries(m_local, "In"), std::vector<std::string>{});

    // Woken again, the server finds its client gone, keeps its copy, and
    // serves the next run.
    m_pServer->Kill(SIGCONT);
    ASSERT_TRUE(m_pServer->WaitForStdout("Disconnected from 127.0.0.1", kEndLimit))
        << ServerOutput();
    EXPECT_EQ(ReadWhole(big.strReceiver), big.strOld);
    EXPECT_EQ(Temporaries(m_served, ""), std::vector<std::string>{});
    result = RunClient();
    EXPECT_EQ(ReadLog(), testsupport::AsText(Lines(OneSection(
                             c.bGet, {"OK TRANSM: " + big.strFiles, "OK TRANSM: " + big.strSmall}, 2, 0))));
    EXPECT_EQ(result.m_nExitStatus, kExitOk) << result.m_strStderr;
    EXPECT_TRUE(SameBytes(big.strSender, big.strReceiver));
}

INSTANTIATE_TEST_SUITE_P(Faults, SilentServerTest,
                         ::testing::Values(CKillCase{"ServerStopsDuringRetr", true, false},
                                           CKillCase{"ServerStopsDuringStor", false, false}),
                         [](const auto& info) { return std::string(info.param.pszName); });

}  // namespace
