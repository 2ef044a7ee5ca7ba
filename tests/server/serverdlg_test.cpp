#include "server/serverdlg.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/macros.h"
#include "tests/server/ftp_test_client.h"
#include "tests/support/fsutil.h"
#include "tests/support/syscodes.h"
#include "tests/support/tempdir.h"
#include "ui/aboutdlg.h"
#include "ui/test_host.h"

// The main dialog's logic through the test host: which fields can be
// edited, what the button says and does in each state, what the log shows.

namespace {

using namespace server;

class ServerDialogTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_nPort = FindFreePort();
        ASSERT_GT(m_nPort, 0);
        WriteSettings(std::to_string(m_nPort), m_root.Path(), "Hello");
    }

    void WriteSettings(const std::string& strPort, const std::string& strStartDir,
                       const std::string& strWelcome, const std::string& strLog = "") {
        std::string strText = "[TandrelServer]\nVersion=Quillon 4.1\n[TCP]\n";
        if (!strPort.empty()) {
            strText += "Port=" + strPort + "\n";
        }
        strText += "StartDir=" + strStartDir + "\nWelcome=" + strWelcome + "\n";
        if (!strLog.empty()) {
            strText += "Log=" + strLog + "\n";
        }
        strText += "[USER]\nUser=op\nPwd=pw\n";
        ASSERT_TRUE(m_dir.WriteFile("TandrelServer.INI", strText));
    }

    std::string SettingsPath() const { return m_dir.Join("TandrelServer.INI"); }

    std::vector<std::string> LogLines() const { return m_host.Control(IDC_LOG_LIST).items; }

    bool SettingsShown() const {
        for (int nId : {IDC_SERVER_GROUP, IDC_PORT_LABEL, IDC_STARTDIR_LABEL, IDC_WELCOME_LABEL,
                        IDC_PORT, IDC_STARTDIR, IDC_WELCOME}) {
            if (!m_host.Visible(nId)) {
                return false;
            }
        }
        return !m_host.Visible(IDC_LOG_LIST);
    }

    bool SettingsHidden() const {
        for (int nId : {IDC_SERVER_GROUP, IDC_PORT_LABEL, IDC_STARTDIR_LABEL, IDC_WELCOME_LABEL,
                        IDC_PORT, IDC_STARTDIR, IDC_WELCOME}) {
            if (m_host.Visible(nId)) {
                return false;
            }
        }
        return m_host.Visible(IDC_LOG_LIST);
    }

    // Whether a client can log in to the engine now.
    bool ServerAnswers() {
        CFtpTestClient client;
        if (!client.Connect(m_nPort) || client.ReadLine() != "220 Hello") {
            return false;
        }
        return client.Command("USER op") == "331 User name Ok, need password." &&
               client.Command("PASS pw") == "230 Logged in.";
    }

    testsupport::CTempDir m_dir;
    testsupport::CTempDir m_root;
    ui::CTestHost m_host;
    int m_nPort = 0;
};

TEST_F(ServerDialogTest, OpensWithTheFileValuesAndOnlyInvalidFieldsEditable) {
    struct Case {
        std::string strPort, strStartDir, strWelcome;
        bool bPort, bStartDir, bWelcome;  // enabled
        int nFocus;
        std::string strPortShown;
        std::vector<std::string> messages;
    };
    // Only a folder that exists can be served.
    const std::string strRoot = m_root.Path();
    ASSERT_TRUE(m_root.WriteFile("file.txt", "x"));
    const std::string strFile = m_root.Join("file.txt");
    const std::string strMissing = m_root.Join("missing");
    const Case cases[] = {
        {"2121", strRoot, "Hi", false, false, false, 0, "2121", {}},
        {"", strRoot, "Hi", true, false, false, IDC_PORT, "-1", {}},
        {"0", strRoot, "Hi", true, false, false, IDC_PORT, "0", {}},
        {"70000", strRoot, "Hi", true, false, false, IDC_PORT, "70000", {}},
        {"2121", "", "Hi", false, true, false, IDC_STARTDIR, "2121", {}},
        {"2121", strMissing, "Hi", false, true, false, IDC_STARTDIR, "2121", {}},
        {"2121", strFile, "Hi", false, true, false, IDC_STARTDIR, "2121", {}},
        {"2121", strRoot, "", false, false, true, IDC_WELCOME, "2121", {}},
        {"2121", "", "", false, true, true, IDC_STARTDIR, "2121", {}},
        {"bt", strRoot, "Hi", true, false, false, IDC_PORT, "BT",
         {"BlueeTooth only works under WINCE. Change the Port"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("Port=" + c.strPort + " StartDir=" + c.strStartDir +
                     " Welcome=" + c.strWelcome);
        WriteSettings(c.strPort, c.strStartDir, c.strWelcome);
        ui::CTestHost host;
        CTandrelServerDlg dialog(false, false, SettingsPath());
        host.Open(dialog);
        EXPECT_EQ(host.Text(IDC_PORT), c.strPortShown);
        EXPECT_EQ(host.Text(IDC_STARTDIR), c.strStartDir);
        EXPECT_EQ(host.Text(IDC_WELCOME), c.strWelcome);
        EXPECT_EQ(host.Enabled(IDC_PORT), c.bPort);
        EXPECT_EQ(host.Enabled(IDC_STARTDIR), c.bStartDir);
        EXPECT_EQ(host.Enabled(IDC_WELCOME), c.bWelcome);
        EXPECT_EQ(host.Focus(), c.nFocus);
        EXPECT_EQ(host.m_messages, c.messages);
        EXPECT_EQ(host.Text(IDC_START_STOP), "Start");
        EXPECT_TRUE(host.SystemMenu() ==
                    (std::vector<std::pair<int, std::string>>{{16, "&About TandrelServer..."}}));
        // Start is refused while a value is invalid.
        const bool bValid = !c.bPort && !c.bStartDir && !c.bWelcome;
        if (!bValid) {
            host.m_messages.clear();
            ASSERT_TRUE(host.Press(IDC_START_STOP));
            std::vector<std::string> expected = c.messages;
            expected.push_back("Invalid parameter");
            EXPECT_EQ(host.m_messages, expected);
            EXPECT_FALSE(dialog.IsRunning());
            EXPECT_FALSE(dialog.HasEngine());
        }
    }
}

TEST_F(ServerDialogTest, StartStopStartReloadsTheFile) {
    const std::string strLog = m_dir.Join("server.log");
    WriteSettings(std::to_string(m_nPort), m_root.Path(), "Hello", strLog);
    CTandrelServerDlg dialog(false, false, SettingsPath());
    m_host.Open(dialog);
    EXPECT_TRUE(SettingsShown());
    ASSERT_TRUE(m_host.Press(IDC_START_STOP));
    EXPECT_TRUE(dialog.IsRunning());
    EXPECT_TRUE(SettingsHidden());
    EXPECT_EQ(m_host.Text(IDC_START_STOP), "Stop");
    EXPECT_TRUE(m_host.Visible(ui::kIdCancel));
    EXPECT_TRUE(m_host.IsMinimized());
    const ui::CRect client = m_host.ClientRect();
    EXPECT_EQ(m_host.Control(IDC_LOG_LIST).rect,
              (ui::CRect{2, 2, client.right - 2, client.bottom - 50}));
    const std::string strStarted = "Server started on port " + std::to_string(m_nPort);
    EXPECT_EQ(LogLines(), std::vector<std::string>{strStarted});
    EXPECT_TRUE(ServerAnswers());

    // Stop takes the file's values again: what was typed before is gone.
    WriteSettings(std::to_string(m_nPort), m_root.Path(), "Changed", strLog);
    ASSERT_TRUE(m_host.Press(IDC_START_STOP));
    EXPECT_FALSE(dialog.IsRunning());
    EXPECT_FALSE(dialog.HasEngine());
    EXPECT_TRUE(SettingsShown());
    EXPECT_EQ(m_host.Text(IDC_START_STOP), "Start");
    EXPECT_EQ(m_host.Text(IDC_WELCOME), "Changed");
    EXPECT_FALSE(ServerAnswers());

    ASSERT_TRUE(m_host.Press(IDC_START_STOP));
    EXPECT_EQ(LogLines(), (std::vector<std::string>{strStarted, strStarted}));
    EXPECT_TRUE(m_host.m_messages.empty());
    m_host.Cancel();
    EXPECT_TRUE(m_host.IsEnded());
    EXPECT_FALSE(dialog.HasEngine());
    // Each start opened the log afresh: the file holds the second start only.
    EXPECT_EQ(m_dir.ReadFile("server.log").value_or("<missing>"), testsupport::AsText(strStarted + "\n"));
}

TEST_F(ServerDialogTest, AFailedReloadKeepsTheServerRunningUntilItSucceeds) {
    CTandrelServerDlg dialog(false, false, SettingsPath());
    m_host.Open(dialog);
    ASSERT_TRUE(m_host.Press(IDC_START_STOP));
    const std::string strSettings = m_dir.ReadFile("TandrelServer.INI").value_or("");
    ASSERT_TRUE(m_dir.WriteFile("TandrelServer.INI", "[TCP]\nPort=21x\n"));
    ASSERT_TRUE(m_host.Press(IDC_START_STOP));
    EXPECT_EQ(m_host.m_messages,
              std::vector<std::string>{"Syntax error. Invalid Port!!!. You must specify a number "
                                       "or \"BT\" for bluetooth (TandrelServer.INI, line 2)"});
    EXPECT_EQ(LogLines().front(), "Can't open file '" + SettingsPath() + "'!!!");
    EXPECT_EQ(m_host.Text(IDC_START_STOP), "OK");
    EXPECT_TRUE(dialog.IsRunning());
    EXPECT_TRUE(ServerAnswers());

    ASSERT_TRUE(m_dir.WriteFile("TandrelServer.INI", strSettings));
    ASSERT_TRUE(m_host.Press(IDC_START_STOP));
    EXPECT_FALSE(dialog.IsRunning());
    EXPECT_EQ(m_host.Text(IDC_START_STOP), "Start");
    EXPECT_FALSE(ServerAnswers());
}

TEST_F(ServerDialogTest, TheStartSwitchRunsUnattended) {
    CTandrelServerDlg dialog(true, false, SettingsPath());
    m_host.Open(dialog);
    // The posted start has run by the time the dialog waits.
    EXPECT_TRUE(dialog.IsRunning());
    EXPECT_FALSE(dialog.IsWaitingForOperator());
    EXPECT_EQ(m_host.Text(IDC_START_STOP), "End");
    EXPECT_FALSE(m_host.Visible(ui::kIdCancel));
    const ui::CRect button = m_host.Control(IDC_START_STOP).rect;
    const ui::CRect client = m_host.ClientRect();
    EXPECT_EQ(button.left, (client.Width() - button.Width()) / 2);
    EXPECT_EQ(button.Width(), ui::DialogUnitsToPixels(39, 96, 50, 16, 6, 13).Width());
    EXPECT_EQ(button.top, ui::DialogUnitsToPixels(39, 96, 50, 16, 6, 13).top);
    EXPECT_TRUE(m_host.IsMinimized());
    EXPECT_TRUE(ServerAnswers());
    // End ends the program.
    ASSERT_TRUE(m_host.Press(IDC_START_STOP));
    EXPECT_TRUE(m_host.IsEnded());
    EXPECT_EQ(m_host.Result(), ui::kResultQuit);
    EXPECT_FALSE(dialog.HasEngine());
}

TEST_F(ServerDialogTest, TheStartSwitchWaitsWhenAValueIsMissing) {
    WriteSettings("", m_root.Path(), "Hello");
    CTandrelServerDlg dialog(true, false, SettingsPath());
    m_host.Open(dialog);
    EXPECT_FALSE(dialog.IsRunning());
    EXPECT_TRUE(dialog.IsWaitingForOperator());
    EXPECT_EQ(m_host.Text(IDC_PORT), "-1");
    EXPECT_TRUE(m_host.m_messages.empty());
    ASSERT_TRUE(m_host.Press(IDC_START_STOP));
    EXPECT_EQ(m_host.m_messages, std::vector<std::string>{"Invalid parameter"});
    // Typing a port and pressing Start runs it unattended after all.
    m_host.Type(IDC_PORT, std::to_string(m_nPort));
    ASSERT_TRUE(m_host.Press(IDC_START_STOP));
    EXPECT_EQ(m_host.Text(IDC_START_STOP), "End");
    EXPECT_TRUE(ServerAnswers());
}

TEST_F(ServerDialogTest, AStartDirectoryThatIsNoFolderKeepsAnUnattendedStartWaiting) {
    // A missing folder would be served as an empty tree.
    WriteSettings(std::to_string(m_nPort), m_root.Join("missing"), "Hello");
    CTandrelServerDlg dialog(true, false, SettingsPath());
    m_host.Open(dialog);
    EXPECT_FALSE(dialog.IsRunning());
    EXPECT_FALSE(dialog.HasEngine());
    EXPECT_TRUE(dialog.IsWaitingForOperator());
    EXPECT_EQ(m_host.Focus(), IDC_STARTDIR);
    EXPECT_TRUE(LogLines().empty());
    // Typing a folder that exists starts it after all.
    m_host.Type(IDC_STARTDIR, m_root.Path());
    ASSERT_TRUE(m_host.Press(IDC_START_STOP));
    EXPECT_TRUE(ServerAnswers());
}

TEST_F(ServerDialogTest, APortInUseIsAFailedStartThatSaysWhy) {
    platform::CSocket holder;
    ASSERT_TRUE(HoldPort(holder, m_nPort));
    const std::string strPort = std::to_string(m_nPort);
    const std::string strCause = "Can't listen on port " + strPort + ": " +
                                 testsupport::ErrorText(testsupport::kErrorAddressInUse);
    const std::vector<std::string> lines = {strCause,
                                            "Server can't start on port " + strPort + "!!!"};
    for (bool bStartSwitch : {false, true}) {
        SCOPED_TRACE(bStartSwitch);
        ui::CTestHost host;
        CTandrelServerDlg dialog(bStartSwitch, false, SettingsPath());
        host.Open(dialog);
        if (!bStartSwitch) {
            ASSERT_TRUE(host.Press(IDC_START_STOP));
            EXPECT_EQ(host.m_messages, std::vector<std::string>{strCause});
            EXPECT_EQ(host.Text(IDC_START_STOP), "Start");
            EXPECT_FALSE(host.IsEnded());
        } else {
            // Nobody is there to read a message: the program ends instead.
            EXPECT_TRUE(host.m_messages.empty());
            EXPECT_TRUE(host.IsEnded());
            EXPECT_TRUE(dialog.HasFailedToListen());
        }
        EXPECT_EQ(host.Control(IDC_LOG_LIST).items, lines);
        EXPECT_FALSE(dialog.IsRunning());
        EXPECT_FALSE(dialog.HasEngine());
        EXPECT_FALSE(dialog.HasStarted());
        EXPECT_FALSE(host.IsMinimized());
    }
}

TEST_F(ServerDialogTest, AStartWithoutUsersSaysThatNobodyCanLogIn) {
    ASSERT_TRUE(m_dir.WriteFile("TandrelServer.INI",
                                "[TandrelServer]\nVersion=Quillon 4.1\n[TCP]\nPort=" +
                                    std::to_string(m_nPort) + "\nStartDir=" + m_root.Path() +
                                    "\nWelcome=Hello\n"));
    CTandrelServerDlg dialog(false, false, SettingsPath());
    m_host.Open(dialog);
    ASSERT_TRUE(m_host.Press(IDC_START_STOP));
    EXPECT_EQ(LogLines(), (std::vector<std::string>{
                              "No [USER] section: nobody can log in",
                              "Server started on port " + std::to_string(m_nPort)}));
    CFtpTestClient client;
    ASSERT_TRUE(client.Connect(m_nPort));
    EXPECT_EQ(client.ReadLine(), "220 Hello");
    EXPECT_EQ(client.Command("USER vexil"), "331 User name Ok, need password.");
    EXPECT_EQ(client.Command("PASS vexil"), "530 Not logged in.");
    // The engine's line reaches the log through the dialog's own thread.
    EXPECT_TRUE(m_host.WaitUntil([&] { return LogLines().size() == 3; }, 5000));
    EXPECT_EQ(LogLines().front(), "Login failed: user 'vexil' from 127.0.0.1");
}

// A dialog whose engine thread cannot be created.
class CNoThreadDlg : public CTandrelServerDlg {
public:
    using CTandrelServerDlg::CTandrelServerDlg;

protected:
    bool StartEngine() override { return false; }
};

TEST_F(ServerDialogTest, AnEngineThatCannotStartLeavesTheRunningLayoutWithoutEngine) {
    for (bool bStartSwitch : {false, true}) {
        SCOPED_TRACE(bStartSwitch);
        ui::CTestHost host;
        CNoThreadDlg dialog(bStartSwitch, false, SettingsPath());
        host.Open(dialog);
        if (!bStartSwitch) {
            ASSERT_TRUE(host.Press(IDC_START_STOP));
        }
        EXPECT_EQ(host.Control(IDC_LOG_LIST).items,
                  std::vector<std::string>{"Server can't start on port " + std::to_string(m_nPort) +
                                           "!!!"});
        EXPECT_TRUE(dialog.IsRunning());
        EXPECT_FALSE(dialog.HasEngine());
        EXPECT_FALSE(dialog.HasStarted());
        EXPECT_FALSE(host.IsMinimized());
        EXPECT_EQ(host.Text(IDC_START_STOP), bStartSwitch ? "End" : "Stop");
        // Stop (or End) leads back as usual.
        ASSERT_TRUE(host.Press(IDC_START_STOP));
        if (bStartSwitch) {
            EXPECT_TRUE(host.IsEnded());
        } else {
            EXPECT_FALSE(dialog.IsRunning());
            EXPECT_EQ(host.Text(IDC_START_STOP), "Start");
        }
    }
}

TEST_F(ServerDialogTest, SingleSessionQuitEndsTheDialog) {
    CTandrelServerDlg dialog(true, true, SettingsPath());
    m_host.Open(dialog);
    ASSERT_TRUE(dialog.IsRunning());
    {
        CFtpTestClient client;
        ASSERT_TRUE(client.Connect(m_nPort));
        ASSERT_EQ(client.ReadLine(), "220 Hello");
        ASSERT_EQ(client.Command("USER op"), "331 User name Ok, need password.");
        ASSERT_EQ(client.Command("PASS pw"), "230 Logged in.");
        EXPECT_EQ(client.Command("QUIT"), "221 Service closing control connection.");
    }
    ASSERT_TRUE(m_host.WaitForEnd(10000));
    EXPECT_EQ(m_host.Result(), ui::kResultQuit);
    EXPECT_FALSE(dialog.HasEngine());
}

TEST_F(ServerDialogTest, AnUnreadableFileEndsTheDialog) {
    struct Case {
        std::string strContent;  // empty: no file at all
        std::vector<std::string> messages;
    };
    const std::string strCantOpen = "Can't open file '" + SettingsPath() + "'!!!";
    const Case cases[] = {
        {"", {strCantOpen}},
        {"[TandrelServer]\nVersion=Quillon 9\n",
         {"Syntax error. Invalid version!!! (TandrelServer.INI, line 2)", strCantOpen}},
    };
    for (const Case& c : cases) {
        if (c.strContent.empty()) {
            std::remove(SettingsPath().c_str());
        } else {
            ASSERT_TRUE(m_dir.WriteFile("TandrelServer.INI", c.strContent));
        }
        ui::CTestHost host;
        CTandrelServerDlg dialog(true, false, SettingsPath());
        host.Open(dialog);
        EXPECT_EQ(host.m_messages, c.messages);
        EXPECT_TRUE(host.IsEnded());
        EXPECT_EQ(host.Result(), ui::kResultQuit);
        EXPECT_FALSE(dialog.HasSettings());
        EXPECT_FALSE(dialog.HasEngine());
    }
}

TEST_F(ServerDialogTest, AboutShowsMachineIdAndAddress) {
    CTandrelServerDlg dialog(false, false, SettingsPath());
    m_host.Open(dialog);
    m_host.ChooseSystemMenu(ui::kSysCommandAbout);
    ASSERT_EQ(m_host.m_children.size(), 1u);
    const ui::CTestHost::CChildDialog& about = m_host.m_children[0];
    EXPECT_EQ(about.strCaption, "TandrelServer");
    EXPECT_EQ(about.texts.at(ui::IDC_ABOUT_MACHINEID), GetLocalMachineId());
}

}  // namespace
