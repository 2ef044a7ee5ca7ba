#include "client/clientdlg.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <initializer_list>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "common/macros.h"
#include "platform/paths.h"
#include "server/ftpserver/ftpserver.h"
#include "tests/client/crawling_client.h"
#include "tests/client/fake_ftp_server.h"
#include "tests/server/ftp_test_client.h"
#include "tests/support/fsutil.h"
#include "tests/support/syscodes.h"
#include "tests/support/tempdir.h"
#include "ui/aboutdlg.h"
#include "ui/test_host.h"

// The main dialog's logic through the test host: which fields can be
// edited, when the run starts by itself, the run layout, how the program
// ends; and runs against scripted servers that misbehave.

namespace {

using namespace client;

const int kFields[] = {IDC_LABEL, IDC_ADDRESS, IDC_PORT, IDC_USER, IDC_PASSWORD};

// A dialog whose transfer client gives up quickly, so a silent peer cannot
// hold a test for the full minute, and which records the failure causes it
// would write on standard error.
class CQuickClientDlg : public CTandrelClientDlg {
public:
    using CTandrelClientDlg::CTandrelClientDlg;

    std::vector<std::string> m_causes;

protected:
    void WriteFailureCause(const std::string& strLine) override { m_causes.push_back(strLine); }

    std::unique_ptr<CFtpSockClientBase> CreateClient() override {
        std::unique_ptr<CFtpSockClientBase> pClient = CTandrelClientDlg::CreateClient();
        if (auto* pTcp = dynamic_cast<CFtpSockClient*>(pClient.get())) {
            pTcp->SetTimeout(2000);
        }
        return pClient;
    }
};

class ClientDialogTest : public ::testing::Test {
protected:
    // A script with a [SERVER] section made of serverLines, and extra text
    // after it.
    void WriteScript(const std::string& strServerLines, const std::string& strRest = "") {
        ASSERT_TRUE(m_dir.WriteFile("TandrelClient.INI",
                                    "[TandrelClient]\nVersion=Quillon 4.1\n[SERVER]\n" +
                                        strServerLines + strRest));
    }

    // Complete server values, towards a loopback port where nothing listens
    // (unless a test gives one).
    std::string CompleteServer(int nPort = 0) const {
        return "Label=Office\nAddress=127.0.0.1\nPort=" +
               std::to_string(nPort != 0 ? nPort : m_nClosedPort) +
               "\nUser=op\nPwd=pw\nLog=" + m_dir.Join("run.log") + "\n";
    }

    std::string ScriptPath() const { return m_dir.Join("TandrelClient.INI"); }

    // The run works on a thread of its own; this delivers its lines until it
    // has ended.
    bool RunToEnd(const CTandrelClientDlg& dialog) {
        return m_host.WaitUntil([&] { return !dialog.IsRunBusy(); }, 30000);
    }

    std::vector<std::string> LogLines() const { return m_host.Control(IDC_LOG_LIST).items; }

    std::vector<int> EnabledFields() const {
        std::vector<int> enabled;
        for (int nId : kFields) {
            if (m_host.Enabled(nId)) {
                enabled.push_back(nId);
            }
        }
        return enabled;
    }

    bool RunLayoutShown() const {
        for (int nId : std::initializer_list<int>{IDC_SERVER_GROUP, IDC_USER_GROUP, IDC_LABEL_LABEL, IDC_ADDRESS_LABEL,
                        IDC_PORT_LABEL, IDC_USER_LABEL, IDC_PASSWORD_LABEL, IDC_LABEL,
                        IDC_ADDRESS, IDC_PORT, IDC_USER, IDC_PASSWORD, ui::kIdCancel}) {
            if (m_host.Visible(nId)) {
                return false;
            }
        }
        return m_host.Visible(IDC_LOG_LIST) && m_host.Text(IDC_CONNECT) == "End";
    }

    testsupport::CTempDir m_dir;
    ui::CTestHost m_host;
    // A port that was free a moment ago: connecting to it is refused.
    int m_nClosedPort = FindFreePort();
};

TEST_F(ClientDialogTest, OnlyUnusableValuesAreEditableAndTheFirstIsFocused) {
    struct CCase {
        const char* pszName;
        std::string strServer;
        std::vector<int> enabled;
        int nFocus;  // 0: none of the fields
        std::string strPortText;
        std::vector<std::string> messages;
    };
    const std::vector<CCase> cases = {
        {"complete", CompleteServer(), {}, 0, std::to_string(m_nClosedPort), {}},
        {"no password", "Label=L\nAddress=10.0.0.7\nPort=21\nUser=u\n", {IDC_PASSWORD},
         IDC_PASSWORD, "21", {}},
        {"nothing", "", {IDC_LABEL, IDC_ADDRESS, IDC_PORT, IDC_USER, IDC_PASSWORD}, IDC_LABEL,
         "-1", {}},
        {"port zero", "Label=L\nAddress=10.0.0.7\nPort=\nUser=u\nPwd=p\n", {IDC_PORT}, IDC_PORT,
         "0", {}},
        {"port beyond 16 bits", "Label=L\nAddress=10.0.0.7\nPort=70000\nUser=u\nPwd=p\n",
         {IDC_PORT}, IDC_PORT, "70000", {}},
        {"device without address", "Label=L\nPort=ActiveSync\nUser=u\nPwd=p\n", {}, 0,
         "ActiveSync", {}},
        {"device without user", "Label=L\nPort=activesync\nPwd=p\n", {IDC_USER}, IDC_USER,
         "ActiveSync", {}},
        {"bluetooth", "Label=L\nAddress=10.0.0.7\nPort=BT\nUser=u\nPwd=p\n",
         {IDC_ADDRESS, IDC_PORT}, IDC_ADDRESS, "BT",
         {"BlueeTooth only works under WINCE. Change the server Port"}},
        {"address that does not resolve",
         "Label=L\nAddress=no-such-host.invalid\nPort=21\nUser=u\nPwd=p\n", {IDC_ADDRESS},
         IDC_ADDRESS, "21", {}},
    };
    for (const CCase& c : cases) {
        SCOPED_TRACE(c.pszName);
        WriteScript(c.strServer);
        ui::CTestHost host;
        CTandrelClientDlg dialog(true, false, false, ScriptPath());
        host.Open(dialog);
        std::vector<int> enabled;
        for (int nId : kFields) {
            if (host.Enabled(nId)) {
                enabled.push_back(nId);
            }
        }
        EXPECT_EQ(enabled, c.enabled);
        EXPECT_EQ(host.Focus(), c.nFocus);
        EXPECT_EQ(host.Text(IDC_PORT), c.strPortText);
        EXPECT_EQ(host.m_messages, c.messages);
        // With "start", only complete values start the run.
        EXPECT_EQ(dialog.HasStarted(), c.enabled.empty());
        EXPECT_TRUE(host.Enabled(IDC_CONNECT));
    }
}

TEST_F(ClientDialogTest, ScriptValuesAreShownAsRead) {
    WriteScript("Label=Head office\nAddress=10.0.0.7\nPort=2121\nUser=op\nPwd=secret\n");
    CTandrelClientDlg dialog(false, false, false, ScriptPath());
    m_host.Open(dialog);
    EXPECT_EQ(m_host.Text(IDC_LABEL), "Head office");
    EXPECT_EQ(m_host.Text(IDC_ADDRESS), "10.0.0.7");
    EXPECT_EQ(m_host.Text(IDC_PORT), "2121");
    EXPECT_EQ(m_host.Text(IDC_USER), "op");
    EXPECT_EQ(m_host.Text(IDC_PASSWORD), "secret");
    EXPECT_NE(m_host.Control(IDC_PASSWORD).nStyles & ui::kStylePassword, 0u);
    EXPECT_FALSE(m_host.Visible(IDC_LOG_LIST));
    EXPECT_EQ(m_host.Text(IDC_CONNECT), "Connect");
    EXPECT_EQ(m_host.SystemMenu(),
              (std::vector<std::pair<int, std::string>>{
                  {ui::kSysCommandAbout, "&About TandrelClient..."}}));
    // Without a start switch nothing happens until Connect is pressed.
    EXPECT_FALSE(dialog.HasStarted());
    EXPECT_FALSE(m_host.IsEnded());
}

TEST_F(ClientDialogTest, UnusableTypedValuesAreRefusedUntilCorrected) {
    WriteScript("Label=L\nAddress=127.0.0.1\nUser=u\nPwd=p\nLog=" + m_dir.Join("run.log") + "\n");
    CTandrelClientDlg dialog(false, false, false, ScriptPath());
    m_host.Open(dialog);
    ASSERT_EQ(EnabledFields(), std::vector<int>{IDC_PORT});

    const std::vector<std::string> unusable = {"ftp", "0", "-5", "", "65536", "BT"};
    for (const std::string& strPort : unusable) {
        SCOPED_TRACE(strPort);
        m_host.m_messages.clear();
        m_host.Type(IDC_PORT, strPort);
        ASSERT_TRUE(m_host.Press(IDC_CONNECT));
        std::vector<std::string> expected = {"Invalid parameter"};
        if (strPort == "BT") {
            // Bluetooth also makes the address unusable.
            expected.insert(expected.begin(),
                            "BlueeTooth only works under WINCE. Change the server Port");
        }
        EXPECT_EQ(m_host.m_messages, expected);
        EXPECT_FALSE(dialog.HasStarted());
        EXPECT_TRUE(LogLines().empty());
        EXPECT_EQ(m_host.Focus(), strPort == "BT" ? IDC_ADDRESS : IDC_PORT);
        EXPECT_FALSE(m_dir.Exists("run.log"));
    }

    m_host.m_messages.clear();
    m_host.Type(IDC_PORT, std::to_string(m_nClosedPort));
    ASSERT_TRUE(m_host.Press(IDC_CONNECT));
    EXPECT_TRUE(m_host.m_messages.empty());
    EXPECT_TRUE(dialog.HasStarted());
    ASSERT_TRUE(RunToEnd(dialog));
    EXPECT_EQ(LogLines(), (std::vector<std::string>{
                              "Can't connect!!!",
                              "Trying to connect to 127.0.0.1:" +
                                  std::to_string(m_nClosedPort) + "...",
                          }));
}

TEST_F(ClientDialogTest, TypedDeviceModeIsAcceptedWithoutAddressOrPort) {
    WriteScript("Label=L\nUser=u\nPwd=p\n");
    CTandrelClientDlg dialog(false, false, false, ScriptPath());
    m_host.Open(dialog);
    m_host.Type(IDC_PORT, "activesync");
    ASSERT_TRUE(m_host.Press(IDC_CONNECT));
    ASSERT_TRUE(RunToEnd(dialog));
    EXPECT_TRUE(m_host.m_messages.empty());
    EXPECT_TRUE(dialog.GetScript().m_bActiveSync);
    EXPECT_EQ(dialog.GetScript().m_nPort, -1);
    // No device is attached in this test.
    ASSERT_FALSE(LogLines().empty());
    EXPECT_EQ(LogLines().back(), "Trying to connect to device via ActiveSync...");
}

TEST_F(ClientDialogTest, AutomaticStartRunsAtOnceAndShowsTheRunLayout) {
    WriteScript(CompleteServer());
    CTandrelClientDlg dialog(true, false, false, ScriptPath());
    m_host.Open(dialog);
    EXPECT_TRUE(dialog.HasStarted());
    EXPECT_TRUE(RunLayoutShown());
    ASSERT_TRUE(RunToEnd(dialog));
    EXPECT_FALSE(m_host.IsMinimized());
    EXPECT_FALSE(m_host.IsEnded());
    EXPECT_EQ(dialog.GetOutcome(), ERunOutcome::ConnectFailed);

    // The log list fills the client area but for 2 pixels at left, top and
    // right and 130 at the bottom; the button is centred at its own height.
    const ui::CRect client = m_host.ClientRect();
    EXPECT_EQ(m_host.Control(IDC_LOG_LIST).rect,
              (ui::CRect{client.left + 2, client.top + 2, client.right - 2, client.bottom - 130}));
    const ui::CRect button = m_host.Control(IDC_CONNECT).rect;
    const ui::CRect original = ui::DialogUnitsToPixels(67, 157, 50, 16, ui::kDefaultBaseX,
                                                       ui::kDefaultBaseY);
    EXPECT_EQ(button.left, (client.Width() - original.Width()) / 2);
    EXPECT_EQ(button.Width(), original.Width());
    EXPECT_EQ(button.top, original.top);

    // Newest line on top; the file holds them oldest first.
    const std::vector<std::string> lines = LogLines();
    EXPECT_EQ(lines, (std::vector<std::string>{
                         "Can't connect!!!",
                         "Trying to connect to 127.0.0.1:" + std::to_string(m_nClosedPort) +
                             "...",
                     }));
    EXPECT_EQ(m_dir.ReadFile("run.log"),
              testsupport::AsText("Trying to connect to 127.0.0.1:" + std::to_string(m_nClosedPort) +
                  "...\nCan't connect!!!\n"));

    // A second press ends the program without another line.
    ASSERT_TRUE(m_host.Press(IDC_CONNECT));
    EXPECT_TRUE(m_host.IsEnded());
    EXPECT_EQ(m_host.Result(), ui::kResultQuit);
    EXPECT_EQ(LogLines(), lines);
}

TEST_F(ClientDialogTest, SilentModeMinimisesAndEndsAfterTheRun) {
    WriteScript(CompleteServer());
    CTandrelClientDlg dialog(true, true, false, ScriptPath());
    m_host.Open(dialog);
    EXPECT_TRUE(m_host.IsMinimized());
    EXPECT_TRUE(dialog.HasStarted());
    EXPECT_TRUE(m_host.WaitForEnd(30000));
    EXPECT_EQ(m_host.Result(), ui::kResultQuit);
    EXPECT_EQ(LogLines().front(), "Can't connect!!!");
}

TEST_F(ClientDialogTest, SilentModeWithAMissingValueWaitsForTheOperatorThenEnds) {
    WriteScript("Label=L\nAddress=127.0.0.1\nPort=" + std::to_string(m_nClosedPort) +
                "\nUser=u\n");
    CTandrelClientDlg dialog(true, true, false, ScriptPath());
    m_host.Open(dialog);
    EXPECT_FALSE(dialog.HasStarted());
    EXPECT_FALSE(m_host.IsMinimized());
    EXPECT_TRUE(dialog.IsWaitingForOperator());
    EXPECT_EQ(m_host.Focus(), IDC_PASSWORD);

    m_host.Type(IDC_PASSWORD, "typed");
    ASSERT_TRUE(m_host.Press(IDC_CONNECT));
    EXPECT_EQ(dialog.GetScript().GetPassword(), "typed");
    EXPECT_TRUE(m_host.WaitForEnd(30000));
    EXPECT_EQ(LogLines().front(), "Can't connect!!!");
}

TEST_F(ClientDialogTest, CancelEndsWithoutARun) {
    WriteScript(CompleteServer());
    CTandrelClientDlg dialog(false, false, false, ScriptPath());
    m_host.Open(dialog);
    m_host.Cancel();
    EXPECT_TRUE(m_host.IsEnded());
    EXPECT_EQ(m_host.Result(), ui::kIdCancel);
    EXPECT_FALSE(dialog.HasStarted());
    EXPECT_EQ(dialog.GetOutcome(), ERunOutcome::NotRun);
}

TEST_F(ClientDialogTest, AScriptThatCannotBeLoadedEndsTheDialog) {
    struct CCase {
        const char* pszName;
        const char* pszContent;  // null: no file
        std::vector<std::string> messagesBefore;
    };
    const std::vector<CCase> cases = {
        {"missing", nullptr, {}},
        {"invalid port", "[SERVER]\nPort=21x\n",
         {"Syntax error. Invalid Port!!!. You must specify a number or \"BT\" for bluetooth "
          "(TandrelClient.INI, line 2)"}},
    };
    for (const CCase& c : cases) {
        SCOPED_TRACE(c.pszName);
        if (c.pszContent == nullptr) {
            std::remove(ScriptPath().c_str());
        } else {
            ASSERT_TRUE(m_dir.WriteFile("TandrelClient.INI", c.pszContent));
        }
        ui::CTestHost host;
        CTandrelClientDlg dialog(true, true, false, ScriptPath());
        host.Open(dialog);
        std::vector<std::string> expected = c.messagesBefore;
        expected.push_back("Can't open file '" + ScriptPath() + "'!!!");
        EXPECT_EQ(host.m_messages, expected);
        EXPECT_TRUE(host.IsEnded());
        EXPECT_EQ(host.Result(), ui::kResultQuit);
        EXPECT_FALSE(dialog.HasScript());
        EXPECT_FALSE(dialog.HasStarted());
    }
}

TEST_F(ClientDialogTest, ALogFileThatCannotBeOpenedIsReportedAndTheRunGoesOn) {
    const std::string strLog = m_dir.Join("missing/run.log");
    WriteScript("Label=L\nAddress=127.0.0.1\nPort=" + std::to_string(m_nClosedPort) +
                "\nUser=u\nPwd=p\nLog=" + strLog + "\n");
    CTandrelClientDlg dialog(true, true, false, ScriptPath());
    m_host.Open(dialog);
    EXPECT_EQ(m_host.m_messages, std::vector<std::string>{"Cannot open log file '" + strLog + "'"});
    EXPECT_TRUE(m_host.WaitForEnd(30000));
    EXPECT_EQ(LogLines().front(), "Can't connect!!!");
}

TEST_F(ClientDialogTest, AboutBoxShowsTheMachineId) {
    WriteScript(CompleteServer());
    CTandrelClientDlg dialog(false, false, false, ScriptPath());
    m_host.Open(dialog);
    m_host.ChooseSystemMenu(ui::kSysCommandAbout);
    ASSERT_EQ(m_host.m_children.size(), 1u);
    const ui::CTestHost::CChildDialog& about = m_host.m_children[0];
    EXPECT_EQ(about.strCaption, "TandrelClient");
    EXPECT_EQ(about.texts.at(ui::IDC_ABOUT_MACHINEID), GetLocalMachineId());
    EXPECT_EQ(about.texts.at(ui::IDC_ABOUT_IPNUMBER), GetLocalIpNumber());
    EXPECT_FALSE(dialog.HasStarted());
}

TEST_F(ClientDialogTest, ServerThatGoesAwayMidRunFailsEachFileAndLosesNothing) {
    // The server accepts the login, then closes the connection at the first
    // digest request.
    CFakeFtpServer server({"220 Fake ready\r\n", "331 Password please\r\n", "230 In\r\n",
                           "200 Binary\r\n", CFakeFtpServer::kClose});
    testsupport::CTempDir local;
    ASSERT_TRUE(local.WriteFile("keep.txt", "local copy"));
    ASSERT_TRUE(local.WriteFile("send.dat", "to send"));
    WriteScript(CompleteServer(server.Port()),
                "[GET]\nRemoteFiles=keep.txt;new.txt\nLocalDir=" + local.Path() +
                    "\nRemoteDir=in\n[PUT]\nLocalFiles=send.dat\nLocalDir=" + local.Path() +
                    "\nRemoteDir=out\n");
    CQuickClientDlg dialog(true, true, false, ScriptPath());
    m_host.Open(dialog);
    ASSERT_TRUE(m_host.WaitForEnd(30000));

    const std::string strDir = local.Path();
    const std::string kSep(1, platform::kPathSeparator);
    EXPECT_EQ(m_dir.ReadFile("run.log"),
              testsupport::AsText("Trying to connect to 127.0.0.1:" + std::to_string(server.Port()) +
                  "...\n"
                  "Connected\n"
                  "220 Fake ready\n"
                  "Trying to log as op...\n"
                  "Login OK\n"
                  "FAILED!!: GET in/keep.txt->" + strDir + kSep + "keep.txt\n"
                  "FAILED!!: GET in/new.txt->" + strDir + kSep + "new.txt\n"
                  "FAILED!!: PUT " + strDir + kSep + "send.dat->out/send.dat\n"
                  "GET Files: 0 OK, 2 FAILED!!\n"
                  "PUT Files: 0 OK, 1 FAILED!!\n"
                  "Disconnecting from server...\n"
                  "Disconnected\n"));
    EXPECT_EQ(local.ReadFile("keep.txt"), "local copy");
    EXPECT_EQ(local.List(), (std::vector<std::string>{"keep.txt", "send.dat"}));
    EXPECT_EQ(dialog.GetOutcome(), ERunOutcome::FilesFailed);

    // Each failure names its files and what became of the connection: the
    // first command after the close finds it ended, a later one may find
    // it reset.
    const std::string files[] = {"GET in/keep.txt->" + strDir + kSep + "keep.txt",
                                 "GET in/new.txt->" + strDir + kSep + "new.txt",
                                 "PUT " + strDir + kSep + "send.dat->out/send.dat"};
    ASSERT_EQ(dialog.m_causes.size(), 3u);
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_THAT(dialog.m_causes[i],
                    ::testing::AnyOf(files[i] + ": connection closed by the server",
                                     files[i] + ": connection lost: " +
                                         testsupport::ErrorText(testsupport::kErrorBrokenPipe),
                                     files[i] + ": connection lost: " +
                                         testsupport::ErrorText(
                                             testsupport::kErrorConnectionReset)));
    }
}

TEST_F(ClientDialogTest, AGreetingOfSeveralLinesIsLoggedAsOneLine) {
    CFakeFtpServer server({"220-Welcome\r\n220-to the\r\n220 fake\r\n", "530 No\r\n"});
    WriteScript(CompleteServer(server.Port()));
    CQuickClientDlg dialog(true, true, false, ScriptPath());
    m_host.Open(dialog);
    ASSERT_TRUE(m_host.WaitForEnd(30000));
    EXPECT_EQ(m_dir.ReadFile("run.log"),
              testsupport::AsText("Trying to connect to 127.0.0.1:" + std::to_string(server.Port()) +
                  "...\n"
                  "Connected\n"
                  "220-Welcome 220-to the 220 fake\n"
                  "Trying to log as op...\n"
                  "Login failed!!!\n"
                  "Disconnecting from server...\n"
                  "Disconnected\n"));
    EXPECT_EQ(dialog.GetOutcome(), ERunOutcome::LoginFailed);
    EXPECT_EQ(dialog.m_causes, std::vector<std::string>{"login as op: 530 No"});
}

// "End" or closing the window while a file moves: the run stops at once,
// the file is broken off, and both copies stay as they were.
TEST_F(ClientDialogTest, StoppingDuringATransferBreaksItOffAndKeepsBothCopies) {
    testsupport::CTempDir server, local;
    std::vector<CFileSyncServerUser> users{{"op", "pw"}};
    const std::string strWelcome = "Tandrel test";
    const int nPort = FindFreePort();
    CFtpServer engine;
    ASSERT_TRUE(engine.Start({}, false, &users, &strWelcome, nPort, server.Path()));

    // Large enough that the crawl would take minutes.
    const std::string strBig(24 * 1024 * 1024, 'x');
    struct CCase {
        const char* pszName;
        bool bPut;
        int nPress;  // IDC_CONNECT ("End") or kIdCancel (the close box)
        int nResult;
    };
    const CCase cases[] = {
        {"GET, End", false, IDC_CONNECT, ui::kResultQuit},
        {"PUT, End", true, IDC_CONNECT, ui::kResultQuit},
        {"GET, closed", false, ui::kIdCancel, ui::kIdCancel},
        {"PUT, closed", true, ui::kIdCancel, ui::kIdCancel},
    };
    for (const CCase& c : cases) {
        SCOPED_TRACE(c.pszName);
        // The side that sends has the big new file, the other an old copy.
        ASSERT_TRUE(server.WriteFile("big.bin", c.bPut ? "old server copy" : strBig));
        ASSERT_TRUE(local.WriteFile("big.bin", c.bPut ? strBig : "old local copy"));
        WriteScript(CompleteServer(nPort),
                    c.bPut ? "[PUT]\nLocalFiles=big.bin\nLocalDir=" + local.Path() +
                                 "\nRemoteDir=\n"
                           : "[GET]\nRemoteFiles=big.bin\nLocalDir=" + local.Path() +
                                 "\nRemoteDir=\n");
        std::remove(m_dir.Join("run.log").c_str());
        ui::CTestHost host;
        CCrawlingClientDlg dialog(true, false, false, ScriptPath());
        host.Open(dialog);
        ASSERT_TRUE(host.WaitUntil([&] { return dialog.m_bUnderWay.load(); }, 30000));

        const auto pressed = std::chrono::steady_clock::now();
        if (c.nPress == ui::kIdCancel) {
            host.Cancel();
        } else {
            ASSERT_TRUE(host.Press(c.nPress));
        }
        ASSERT_TRUE(host.WaitForEnd(30000));
        EXPECT_LT(std::chrono::steady_clock::now() - pressed, std::chrono::seconds(3));
        EXPECT_EQ(host.Result(), c.nResult);
        EXPECT_EQ(dialog.GetOutcome(), ERunOutcome::FilesFailed);

        const std::string strFiles = c.bPut ? "PUT " + local.Join("big.bin") + "->/big.bin"
                                            : "GET /big.bin->" + local.Join("big.bin");
        EXPECT_EQ(m_dir.ReadFile("run.log"),
                  testsupport::AsText("Trying to connect to 127.0.0.1:" + std::to_string(nPort) +
                      "...\n"
                      "Connected\n"
                      "220 Tandrel test\n"
                      "Trying to log as op...\n"
                      "Login OK\n"
                      "BROKEN OFF: " + strFiles + "\n"
                      "Run broken off\n" +
                      // GET goes first and had nothing to do before the PUT.
                      (c.bPut ? "No GET section found\nPUT" : "GET") +
                      " Files: 0 OK, 1 FAILED!!\n"
                      "Disconnecting from server...\n"
                      "Disconnected\n"));
        EXPECT_EQ(dialog.m_causes,
                  std::vector<std::string>{strFiles + ": broken off by a stop request"});
        // Nothing half-done is left on either side; the engine learns of the
        // broken-off upload a moment later and removes its temporary file.
        EXPECT_EQ(local.List(), std::vector<std::string>{"big.bin"});
        EXPECT_EQ(local.ReadFile("big.bin"), c.bPut ? strBig : "old local copy");
        for (int i = 0; i < 100 && server.List().size() != 1; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        EXPECT_EQ(server.List(), std::vector<std::string>{"big.bin"});
        EXPECT_EQ(server.ReadFile("big.bin"), c.bPut ? "old server copy" : strBig);
    }
}

// A long transfer's progress shows under the log list, a bar and its line,
// from the first figures to the end of the transfer; the figures reach the
// dialog from the run's thread, and the log keeps its lines as they are.
TEST_F(ClientDialogTest, ProgressShowsUnderTheLogListUntilTheTransferEnds) {
    constexpr int64_t kMiB = 1024 * 1024;
    WriteScript(CompleteServer());
    CTandrelClientDlg dialog(true, false, false, ScriptPath());
    m_host.Open(dialog);
    ASSERT_TRUE(RunToEnd(dialog));
    const std::vector<std::string> lines = LogLines();
    const std::optional<std::string> strLog = m_dir.ReadFile("run.log");
    ASSERT_TRUE(strLog.has_value());
    // Nothing of it before a transfer has said how far it got.
    EXPECT_FALSE(m_host.Visible(IDC_PROGRESS));
    EXPECT_FALSE(m_host.Visible(IDC_PROGRESS_TEXT));

    // Figures that come faster than they are shown: the newest count.
    const CTransferProgress first{"GET /big.bin->/in/big.bin", 1 * kMiB, 4 * kMiB, 1.0};
    const CTransferProgress later{"GET /big.bin->/in/big.bin", 3 * kMiB, 4 * kMiB, 1.0};
    std::thread([&] {
        dialog.ShowProgress(first);
        dialog.ShowProgress(later);
    }).join();
    ASSERT_TRUE(m_host.WaitUntil([&] { return m_host.Visible(IDC_PROGRESS); }, 10000));
    EXPECT_TRUE(m_host.Visible(IDC_PROGRESS_TEXT));
    EXPECT_EQ(m_host.Text(IDC_PROGRESS_TEXT),
              "GET /big.bin->/in/big.bin: 3.0 MiB of 4.0 MiB, 3.0 MiB/s, 1 s left");
    // The bar carries the same words, for a terminal's status line.
    EXPECT_EQ(m_host.Text(IDC_PROGRESS), m_host.Text(IDC_PROGRESS_TEXT));
    EXPECT_EQ(m_host.Progress(IDC_PROGRESS), 750);

    // Right under the list and as wide, each at the template's height,
    // above the button.
    const ui::CRect list = m_host.Control(IDC_LOG_LIST).rect;
    const ui::CRect bar = m_host.Control(IDC_PROGRESS).rect;
    const ui::CRect text = m_host.Control(IDC_PROGRESS_TEXT).rect;
    const ui::CControlTemplate& barTemplate = *GetClientDialogTemplate().Find(IDC_PROGRESS);
    const ui::CControlTemplate& textTemplate =
        *GetClientDialogTemplate().Find(IDC_PROGRESS_TEXT);
    EXPECT_EQ(bar, (ui::CRect{list.left, list.bottom + 6, list.right,
                              list.bottom + 6 +
                                  ui::DialogUnitsToPixels(0, 0, barTemplate.cx, barTemplate.cy,
                                                          ui::kDefaultBaseX, ui::kDefaultBaseY)
                                      .Height()}));
    EXPECT_EQ(text, (ui::CRect{list.left, bar.bottom + 4, list.right,
                               bar.bottom + 4 +
                                   ui::DialogUnitsToPixels(0, 0, textTemplate.cx, textTemplate.cy,
                                                           ui::kDefaultBaseX, ui::kDefaultBaseY)
                                       .Height()}));
    EXPECT_LT(text.bottom, m_host.Control(IDC_CONNECT).rect.top);
    EXPECT_NE(textTemplate.nStyles & ui::kStyleEllipsis, 0u);
    EXPECT_EQ(LogLines(), lines);

    std::thread([&] { dialog.EndProgress(); }).join();
    ASSERT_TRUE(m_host.WaitUntil([&] { return !m_host.Visible(IDC_PROGRESS); }, 10000));
    EXPECT_FALSE(m_host.Visible(IDC_PROGRESS_TEXT));

    // The next transfer's figures bring them back; without a total the bar
    // is busy and the line has the bytes and the rate.
    std::thread([&] { dialog.ShowProgress({"PUT /out/a.dat->a.dat", 5000, -1, 2.0}); }).join();
    ASSERT_TRUE(m_host.WaitUntil([&] { return m_host.Visible(IDC_PROGRESS); }, 10000));
    EXPECT_TRUE(m_host.Visible(IDC_PROGRESS_TEXT));
    EXPECT_EQ(m_host.Text(IDC_PROGRESS_TEXT), "PUT /out/a.dat->a.dat: 4.9 KiB, 2.4 KiB/s");
    EXPECT_EQ(m_host.Progress(IDC_PROGRESS), ui::kProgressUnknown);
    std::thread([&] { dialog.EndProgress(); }).join();
    ASSERT_TRUE(m_host.WaitUntil([&] { return !m_host.Visible(IDC_PROGRESS); }, 10000));

    // Not a line of it in the list or the log file.
    EXPECT_EQ(LogLines(), lines);
    EXPECT_EQ(m_dir.ReadFile("run.log"), strLog);
}

TEST_F(ClientDialogTest, AProgressBarThatShowsWhenTheRunEndsGoesWithIt) {
    testsupport::CTempDir server, local;
    std::vector<CFileSyncServerUser> users{{"op", "pw"}};
    const std::string strWelcome = "Tandrel test";
    const int nPort = FindFreePort();
    CFtpServer engine;
    ASSERT_TRUE(engine.Start({}, false, &users, &strWelcome, nPort, server.Path()));
    ASSERT_TRUE(server.WriteFile("big.bin", std::string(24 * 1024 * 1024, 'x')));
    WriteScript(CompleteServer(nPort),
                "[GET]\nRemoteFiles=big.bin\nLocalDir=" + local.Path() + "\nRemoteDir=\n");
    CCrawlingClientDlg dialog(true, false, false, ScriptPath());
    m_host.Open(dialog);
    ASSERT_TRUE(m_host.WaitUntil([&] { return dialog.m_bUnderWay.load(); }, 30000));
    std::thread([&] { dialog.ShowProgress({"GET /big.bin->x", 65536, 24 * 1024 * 1024, 1.5}); })
        .join();
    ASSERT_TRUE(m_host.WaitUntil([&] { return m_host.Visible(IDC_PROGRESS); }, 10000));
    EXPECT_TRUE(m_host.Visible(IDC_PROGRESS_TEXT));
    EXPECT_TRUE(dialog.IsRunBusy());

    ASSERT_TRUE(m_host.Press(IDC_CONNECT));
    ASSERT_TRUE(m_host.WaitForEnd(30000));
    EXPECT_FALSE(m_host.Visible(IDC_PROGRESS));
    EXPECT_FALSE(m_host.Visible(IDC_PROGRESS_TEXT));
    const std::string strLog = m_dir.ReadFile("run.log").value_or("");
    EXPECT_EQ(strLog.find("KiB"), std::string::npos) << strLog;
    for (const std::string& strLine : LogLines()) {
        EXPECT_EQ(strLine.find("KiB"), std::string::npos) << strLine;
    }
}

TEST(ProgressPositionTest, IsTheShareDoneOnTheBarsScale) {
    struct CCase {
        int64_t nDone;
        int64_t nTotal;
        int nPosition;
    };
    const std::vector<CCase> cases = {
        {0, 100, 0},
        {25, 100, 250},
        {999, 1000, 999},
        {100, 100, ui::kProgressMax},
        {0, 0, ui::kProgressMax},         // an empty file is done
        {200, 100, ui::kProgressMax},     // a file that grew
        {-3, 100, 0},
        {5, -1, ui::kProgressUnknown},    // no total
        {int64_t{1} << 62, (int64_t{1} << 62) + (int64_t{1} << 61), 666},
    };
    for (const CCase& c : cases) {
        SCOPED_TRACE(std::to_string(c.nDone) + " of " + std::to_string(c.nTotal));
        EXPECT_EQ(ProgressPosition({"GET a->b", c.nDone, c.nTotal, 1.0}), c.nPosition);
    }
}

// A stop while the run waits for the server ends the wait at once.
TEST_F(ClientDialogTest, StoppingWhileWaitingForTheServerEndsTheWait) {
    CFakeFtpServer silent({std::string()});
    WriteScript(CompleteServer(silent.Port()));
    CTandrelClientDlg dialog(true, true, false, ScriptPath());
    m_host.Open(dialog);
    ASSERT_TRUE(dialog.IsRunBusy());
    // The connection is open and the greeting is awaited.
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const auto pressed = std::chrono::steady_clock::now();
    m_host.Cancel();
    ASSERT_TRUE(m_host.WaitForEnd(30000));
    EXPECT_LT(std::chrono::steady_clock::now() - pressed, std::chrono::seconds(3));
    EXPECT_EQ(m_host.Result(), ui::kIdCancel);
    EXPECT_EQ(dialog.GetOutcome(), ERunOutcome::FilesFailed);
    EXPECT_EQ(m_dir.ReadFile("run.log"),
              testsupport::AsText("Trying to connect to 127.0.0.1:" + std::to_string(silent.Port()) +
                  "...\nRun broken off\n"));
}

TEST(FindLocalFilesTest, SkipsHiddenFilesSystemFilesAndFolders) {
    testsupport::CTempDir dir;
    ASSERT_TRUE(dir.WriteFile("a.dat", "a"));
    ASSERT_TRUE(dir.WriteFile("b.txt", "b"));
    ASSERT_TRUE(dir.WriteFile(".hidden.dat", "h"));
    ASSERT_TRUE(testsupport::MakeHidden(dir.Join(".hidden.dat")));
    ASSERT_TRUE(testsupport::MakeFolder(dir.Join("folder.dat")));
    if (testsupport::kHasFifos) {
        ASSERT_TRUE(testsupport::MakeFifo(dir.Join("pipe.dat")));
    }

    struct CCase {
        const char* pszPattern;
        std::vector<std::string> names;
    };
    const std::vector<CCase> cases = {
        {"*.dat", {"a.dat"}},
        {"", {"a.dat", "b.txt"}},
        {"*", {"a.dat", "b.txt"}},
        {".hidden.dat", {}},
        {"folder.dat", {}},
        {"b.txt", {"b.txt"}},
        {"*.none", {}},
    };
    for (const CCase& c : cases) {
        SCOPED_TRACE(c.pszPattern);
        std::vector<std::string> names = {"left over"};
        const int nFound = CSyncRun::FindLocalFiles(names, c.pszPattern, dir.Path());
        std::sort(names.begin(), names.end());
        EXPECT_EQ(names, c.names);
        EXPECT_EQ(nFound, static_cast<int>(c.names.size()));
    }
}

TEST(LocalPathTest, JoinsWithOneSeparator) {
    // Local paths take the system's separator; remote ones are the wire's.
    const std::string strSep(1, platform::kPathSeparator);
    EXPECT_EQ(MakeLocalPath("/data/in", "a.txt"), "/data/in" + strSep + "a.txt");
    EXPECT_EQ(MakeLocalPath("", "a.txt"), strSep + "a.txt");
    EXPECT_EQ(MakeLocalPath("/", "a.txt"), "/a.txt");
    EXPECT_EQ(MakeRemotePath("", "a.txt"), "/a.txt");
    EXPECT_EQ(MakeRemotePath("in", "a.txt"), "in/a.txt");
}

}  // namespace
