#include <gtest/gtest.h>

#include <QAction>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollBar>
#include <QTest>
#include <QTimer>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "client/clientdlg.h"
#include "common/macros.h"
#include "tests/client/crawling_client.h"
#include "platform/file.h"
#include "server/ftpserver/ftpserver.h"
#include "tests/server/ftp_test_client.h"
#include "tests/support/tempdir.h"
#include "tests/ui/qt_test_support.h"
#include "ui/aboutdlg.h"
#include "ui/qt/qt_host.h"

// TandrelClient's main dialog in real windows (Qt's offscreen platform),
// against a transfer server in this process: what it shows and lets the
// operator edit, the refused start, the run layout with the log newest
// first, the About box, and that every text fits its control.

namespace {

using namespace client;

using qttest::Control;

const std::initializer_list<int> kSettingsControls = {
    IDC_SERVER_GROUP, IDC_USER_GROUP, IDC_LABEL_LABEL, IDC_ADDRESS_LABEL, IDC_PORT_LABEL,
    IDC_USER_LABEL,   IDC_PASSWORD_LABEL, IDC_LABEL,   IDC_ADDRESS,       IDC_PORT,
    IDC_USER,         IDC_PASSWORD};

// A name long enough that the run's lines are wider than the list.
const std::string kLongName =
    "a-report-with-a-name-long-enough-to-need-the-horizontal-scroll-bar.txt";

class ClientDialogQtTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_nPort = FindFreePort();
        ASSERT_GT(m_nPort, 0);
        ASSERT_TRUE(m_served.WriteFile(kLongName, "monthly report\n"));
        m_users = {{"op", "pw"}};
        ASSERT_TRUE(m_server.Start({}, false, &m_users, &m_strWelcome, m_nPort,
                                   m_served.Path() + "/"));
    }

    // The [SERVER] section with serverLines, and a GET of the long name.
    void WriteScript(const std::string& strServerLines) {
        ASSERT_TRUE(m_dir.WriteFile(
            "TandrelClient.INI",
            "[TandrelClient]\nVersion=Quillon 4.1\n[SERVER]\n" + strServerLines +
                "Log=" + m_dir.Join("run.log") + "\n[GET]\nRemoteFiles=" + kLongName +
                "\nLocalDir=" + m_dir.Join("In") + "\nRemoteDir=\n"));
    }

    std::string Complete(const std::string& strPassword = "Pwd=pw\n") const {
        return "Label=Office\nAddress=127.0.0.1\nPort=" + std::to_string(m_nPort) +
               "\nUser=op\n" + strPassword;
    }

    std::string ScriptPath() const { return m_dir.Join("TandrelClient.INI"); }

    static bool AllVisible(QWidget* pWindow, std::initializer_list<int> ids, bool bVisible) {
        for (int nId : ids) {
            QWidget* pWidget = ui::qt::FindControl(pWindow, nId);
            if (!pWidget || pWidget->isVisible() != bVisible) {
                return false;
            }
        }
        return true;
    }

    static std::string Text(QWidget* pWindow, int nId) { return qttest::ControlText(pWindow, nId); }

    testsupport::CTempDir m_dir;
    testsupport::CTempDir m_served;
    std::vector<CFileSyncServerUser> m_users;
    std::string m_strWelcome = "Sync server ready";
    CFtpServer m_server;
    ui::CQtHost m_host;
    int m_nPort = 0;
};

TEST_F(ClientDialogQtTest, ShowsTheValuesAndLetsOnlyTheUnusableOnesBeEdited) {
    struct CCase {
        const char* pszName;
        std::string strServer;
        std::vector<int> editable;
        int nFocus;  // 0: none of the fields
    };
    const std::vector<CCase> cases = {
        {"complete", Complete(), {}, 0},
        {"no password", Complete(""), {IDC_PASSWORD}, IDC_PASSWORD},
        {"no port or user", "Label=Office\nAddress=127.0.0.1\nPwd=pw\n", {IDC_PORT, IDC_USER},
         IDC_PORT},
    };
    for (const CCase& c : cases) {
        SCOPED_TRACE(c.pszName);
        WriteScript(c.strServer);
        CTandrelClientDlg dialog(false, false, false, ScriptPath());
        qttest::RunWith(m_host, dialog, [&](QDialog* pWindow) {
            EXPECT_EQ(pWindow->windowTitle(), "TandrelClient");
            EXPECT_FALSE(pWindow->windowFlags() & Qt::WindowMinimizeButtonHint);
            std::vector<int> editable;
            for (int nId : {IDC_LABEL, IDC_ADDRESS, IDC_PORT, IDC_USER, IDC_PASSWORD}) {
                if (ui::qt::FindControl(pWindow, nId)->isEnabled()) editable.push_back(nId);
            }
            EXPECT_EQ(editable, c.editable);
            if (c.nFocus != 0) {
                EXPECT_EQ(pWindow->focusWidget(), ui::qt::FindControl(pWindow, c.nFocus));
            }
            EXPECT_EQ(Text(pWindow, IDC_LABEL), "Office");
            EXPECT_EQ(Text(pWindow, IDC_ADDRESS), "127.0.0.1");
            auto* pPassword = Control<QLineEdit>(pWindow, IDC_PASSWORD);
            if (c.editable != std::vector<int>{IDC_PASSWORD}) {
                EXPECT_EQ(pPassword->text(), "pw");
                EXPECT_EQ(pPassword->displayText().size(), 2);
                EXPECT_FALSE(pPassword->displayText().contains('p'));
            }
            EXPECT_TRUE(AllVisible(pWindow, kSettingsControls, true));
            EXPECT_TRUE(AllVisible(pWindow, {IDC_LOG_LIST}, false));
            EXPECT_EQ(Text(pWindow, IDC_CONNECT), "Connect");
            EXPECT_EQ(Text(pWindow, ui::kIdCancel), "Cancel");
            if (c.editable.empty()) {
                EXPECT_TRUE(qttest::SaveScreenshot(pWindow, "client-settings"));
            }
            Control<QPushButton>(pWindow, ui::kIdCancel)->click();
        });
        EXPECT_FALSE(dialog.HasStarted());
    }
}

TEST_F(ClientDialogQtTest, AMissingValueIsRefusedThenTypedAndTheRunShowsItsLogNewestFirst) {
    WriteScript(Complete(""));
    CTandrelClientDlg dialog(false, false, false, ScriptPath());
    qttest::CBoxAnswerer answerer;
    const int nResult = qttest::RunWith(m_host, dialog, [&](QDialog* pWindow) {
        auto* pConnect = Control<QPushButton>(pWindow, IDC_CONNECT);
        pConnect->click();
        ASSERT_EQ(answerer.m_answered.size(), 1u);
        EXPECT_EQ(answerer.m_answered[0].strText, "Invalid parameter");
        EXPECT_EQ(answerer.m_answered[0].nButtons, 1);
        EXPECT_FALSE(dialog.HasStarted());
        EXPECT_TRUE(AllVisible(pWindow, kSettingsControls, true));

        // The operator types the password where the focus is and presses
        // Enter.
        ASSERT_EQ(pWindow->focusWidget(), ui::qt::FindControl(pWindow, IDC_PASSWORD));
        QTest::keyClicks(pWindow->focusWidget(), "pw");
        QTest::keyClick(pWindow->focusWidget(), Qt::Key_Return);
        EXPECT_TRUE(dialog.HasStarted());

        QWidget* pList = ui::qt::FindControl(pWindow, IDC_LOG_LIST);
        // The run may go on in the background; its last line ends it.
        ASSERT_TRUE(qttest::WaitUntil([&] {
            const std::vector<std::string> lines = qttest::ListLines(pList);
            return !lines.empty() &&
                   (lines.front() == "Disconnected" || lines.front() == "Can't connect!!!");
        })) << "the run did not end";
        std::vector<std::string> lines = qttest::ListLines(pList);
        EXPECT_EQ(lines.front(), "Disconnected");
        // Newest first: the list is the log file upside down.
        std::string strReversed;
        for (auto it = lines.rbegin(); it != lines.rend(); ++it) {
            strReversed += *it + "\n";
        }
        EXPECT_EQ(m_dir.ReadFile("run.log").value_or("<no log>"), strReversed);
        EXPECT_EQ(lines.back(), "Trying to connect to 127.0.0.1:" + std::to_string(m_nPort) +
                                    "...");
        EXPECT_EQ(m_dir.ReadFile("In/" + kLongName), "monthly report\n");

        // The run layout: only the list and "End", centred.
        EXPECT_TRUE(AllVisible(pWindow, kSettingsControls, false));
        EXPECT_TRUE(AllVisible(pWindow, {ui::kIdCancel}, false));
        EXPECT_TRUE(AllVisible(pWindow, {IDC_LOG_LIST, IDC_CONNECT}, true));
        EXPECT_EQ(pConnect->text(), "End");
        EXPECT_EQ(pConnect->x(), (pWindow->width() - pConnect->width()) / 2);
        EXPECT_EQ(pList->geometry(), QRect(2, 2, pWindow->width() - 4, pWindow->height() - 132));
        EXPECT_EQ(qttest::HorizontalRangeProblem(pList), "");
        EXPECT_GT(qobject_cast<QListWidget*>(pList)->horizontalScrollBar()->maximum(), 0);
        EXPECT_TRUE(qttest::SaveScreenshot(pWindow, "client-run"));
        pConnect->click();
    });
    EXPECT_EQ(nResult, ui::kResultQuit);
    EXPECT_EQ(dialog.GetOutcome(), ERunOutcome::AllOk);
}

TEST_F(ClientDialogQtTest, SilentRunsMinimisedAndEndsByItself) {
    WriteScript(Complete());
    // Notes how the window stands when the posted start arrives.
    class CWatchedDlg : public CTandrelClientDlg {
    public:
        using CTandrelClientDlg::CTandrelClientDlg;
        void OnCommand(int nId) override {
            if (nId == IDC_CONNECT && qttest::ActiveModal()) {
                m_bMinimizedAtStart = qttest::ActiveModal()->isMinimized();
            }
            CTandrelClientDlg::OnCommand(nId);
        }
        bool m_bMinimizedAtStart = false;
    };
    CWatchedDlg dialog(true, true, false, ScriptPath());
    EXPECT_EQ(qttest::RunWith(m_host, dialog, nullptr), ui::kResultQuit);
    EXPECT_TRUE(dialog.m_bMinimizedAtStart);
    EXPECT_EQ(dialog.GetOutcome(), ERunOutcome::AllOk);
    const std::string strLog = m_dir.ReadFile("run.log").value_or("");
    EXPECT_NE(strLog.find("\nDisconnected\n"), std::string::npos) << strLog;
}

TEST_F(ClientDialogQtTest, TheAboutBoxOpensFromTheContextMenuAndF1) {
    WriteScript(Complete());
    for (bool bF1 : {false, true}) {
        SCOPED_TRACE(bF1 ? "F1" : "context menu");
        CTandrelClientDlg dialog(false, false, false, ScriptPath());
        std::vector<std::string> seen;
        qttest::RunWith(m_host, dialog, [&](QDialog* pWindow) {
            const QList<QAction*> actions = pWindow->actions();
            ASSERT_EQ(actions.size(), 1);
            EXPECT_EQ(actions[0]->text(), "&About TandrelClient...");
            QTimer::singleShot(0, pWindow, [&] {
                QWidget* pAbout = qttest::ActiveModal();
                ASSERT_NE(pAbout, nullptr);
                seen.push_back(pAbout->windowTitle().toStdString());
                seen.push_back(Text(pAbout, ui::IDC_ABOUT_MACHINEID));
                seen.push_back(Text(pAbout, ui::IDC_ABOUT_IPNUMBER));
                EXPECT_EQ(pAbout->parentWidget(), pWindow);
                if (!bF1) {
                    EXPECT_TRUE(qttest::SaveScreenshot(pAbout, "client-about"));
                }
                Control<QPushButton>(pAbout, ui::kIdOk)->click();
            });
            if (bF1) {
                QTest::keyClick(pWindow, Qt::Key_F1);
            } else {
                actions[0]->trigger();
            }
            EXPECT_EQ(qttest::ActiveModal(), pWindow);
            QTest::keyClick(pWindow, Qt::Key_Escape);
        });
        EXPECT_EQ(seen, (std::vector<std::string>{"TandrelClient", GetLocalMachineId(),
                                                  GetLocalIpNumber()}));
    }
}

// The window lives while a file moves: the log shows the lines so far, the
// window minimises and comes back, the About box opens; "End" then stops the
// run at once and nothing is lost.
TEST_F(ClientDialogQtTest, TheWindowStaysAliveDuringATransferAndEndStopsItSafely) {
    ASSERT_TRUE(m_served.WriteFile("big.bin", std::string(24 * 1024 * 1024, 'x')));
    ASSERT_TRUE(platform::MakeDirectory(m_dir.Join("In")));
    ASSERT_TRUE(m_dir.WriteFile("In/big.bin", "old local copy"));
    ASSERT_TRUE(m_dir.WriteFile(
        "TandrelClient.INI", "[TandrelClient]\nVersion=Quillon 4.1\n[SERVER]\n" + Complete() +
                                 "Log=" + m_dir.Join("run.log") +
                                 "\n[GET]\nRemoteFiles=big.bin\nLocalDir=" + m_dir.Join("In") +
                                 "\nRemoteDir=\n"));
    CCrawlingClientDlg dialog(true, false, false, ScriptPath());
    std::chrono::steady_clock::duration stopping{};
    const int nResult = qttest::RunWith(m_host, dialog, [&](QDialog* pWindow) {
        ASSERT_TRUE(qttest::WaitUntil([&] { return dialog.m_bUnderWay.load(); }));
        QWidget* pList = ui::qt::FindControl(pWindow, IDC_LOG_LIST);
        ASSERT_TRUE(qttest::WaitUntil([&] {
            const std::vector<std::string> lines = qttest::ListLines(pList);
            return !lines.empty() && lines.front() == "Login OK";
        }));
        EXPECT_TRUE(dialog.IsRunBusy());

        pWindow->showMinimized();
        EXPECT_TRUE(qttest::WaitUntil([&] { return pWindow->isMinimized(); }, 5000));
        pWindow->showNormal();
        EXPECT_TRUE(qttest::WaitUntil([&] { return !pWindow->isMinimized(); }, 5000));

        std::string strAbout;
        QTimer::singleShot(0, pWindow, [&] {
            if (QWidget* pAbout = qttest::ActiveModal(); pAbout && pAbout != pWindow) {
                strAbout = pAbout->windowTitle().toStdString();
                Control<QPushButton>(pAbout, ui::kIdOk)->click();
            }
        });
        QTest::keyClick(pWindow, Qt::Key_F1);
        EXPECT_EQ(strAbout, "TandrelClient");
        EXPECT_TRUE(dialog.IsRunBusy());

        auto* pEnd = Control<QPushButton>(pWindow, IDC_CONNECT);
        EXPECT_EQ(pEnd->text(), "End");
        const auto pressed = std::chrono::steady_clock::now();
        pEnd->click();
        // The press returns at once; the dialog ends once the run stopped.
        EXPECT_TRUE(qttest::WaitUntil([&] { return !dialog.IsRunBusy(); }, 10000));
        stopping = std::chrono::steady_clock::now() - pressed;
    });
    EXPECT_EQ(nResult, ui::kResultQuit);
    EXPECT_LT(stopping, std::chrono::seconds(3));
    EXPECT_EQ(dialog.GetOutcome(), ERunOutcome::FilesFailed);
    const std::string strFiles = "GET /big.bin->" + m_dir.Join("In/big.bin");
    EXPECT_EQ(m_dir.ReadFile("run.log"),
              "Trying to connect to 127.0.0.1:" + std::to_string(m_nPort) +
                  "...\nConnected\n220 Sync server ready\nTrying to log as op...\nLogin OK\n"
                  "BROKEN OFF: " + strFiles + "\nRun broken off\nGET Files: 0 OK, 1 FAILED!!\n"
                  "Disconnecting from server...\nDisconnected\n");
    EXPECT_EQ(m_dir.ReadFile("In/big.bin"), "old local copy");
    EXPECT_EQ(m_dir.List("In"), std::vector<std::string>{"big.bin"});
}

// A long transfer shows how far it got right under the log list: a bar and
// a line of text, which go when the run ends.
TEST_F(ClientDialogQtTest, ATransfersProgressShowsUnderTheLogList) {
    // Only the figures the test gives, so that what is checked and pictured
    // does not depend on how fast the run goes.
    class CShownProgressDlg : public CCrawlingClientDlg {
    public:
        using CCrawlingClientDlg::CCrawlingClientDlg;
        void ShowProgress(const CTransferProgress& progress) override {
            if (progress.strWhat == m_strShown) {
                CCrawlingClientDlg::ShowProgress(progress);
            }
        }
        std::string m_strShown;
    };
    ASSERT_TRUE(m_served.WriteFile("big.bin", std::string(24 * 1024 * 1024, 'x')));
    ASSERT_TRUE(m_dir.WriteFile(
        "TandrelClient.INI", "[TandrelClient]\nVersion=Quillon 4.1\n[SERVER]\n" + Complete() +
                                 "Log=" + m_dir.Join("run.log") +
                                 "\n[GET]\nRemoteFiles=big.bin\nLocalDir=" + m_dir.Join("In") +
                                 "\nRemoteDir=\n"));
    CShownProgressDlg dialog(true, false, false, ScriptPath());
    dialog.m_strShown = "GET /big.bin->" + m_dir.Join("In/big.bin");
    const CTransferProgress progress{dialog.m_strShown, 10 * 1024 * 1024, 24 * 1024 * 1024, 4.0};
    const int nResult = qttest::RunWith(m_host, dialog, [&](QDialog* pWindow) {
        ASSERT_TRUE(qttest::WaitUntil([&] { return dialog.m_bUnderWay.load(); }));
        QWidget* pList = ui::qt::FindControl(pWindow, IDC_LOG_LIST);
        ASSERT_TRUE(qttest::WaitUntil([&] {
            const std::vector<std::string> lines = qttest::ListLines(pList);
            return !lines.empty() && lines.front() == "Login OK";
        }));
        auto* pBar = Control<QProgressBar>(pWindow, IDC_PROGRESS);
        auto* pText = Control<QLabel>(pWindow, IDC_PROGRESS_TEXT);
        ASSERT_TRUE(pBar && pText);
        EXPECT_FALSE(pBar->isVisible());
        EXPECT_FALSE(pText->isVisible());

        // From another thread, as the run reports it.
        std::thread([&] { dialog.ShowProgress(progress); }).join();
        ASSERT_TRUE(qttest::WaitUntil([&] { return pBar->isVisible(); }, 10000));
        EXPECT_TRUE(pText->isVisible());
        EXPECT_EQ(pBar->maximum(), ui::kProgressMax);
        EXPECT_EQ(pBar->value(), 416);
        EXPECT_EQ(dialog.GetSite()->GetText(IDC_PROGRESS_TEXT),
                  dialog.m_strShown + ": 10.0 MiB of 24.0 MiB, 2.5 MiB/s, 6 s left");
        // Where it is too long for the line, the middle of the names goes
        // and the figures stay.
        EXPECT_TRUE(pText->text().startsWith("GET /big.bin->")) << pText->text().toStdString();
        EXPECT_TRUE(pText->text().endsWith("2.5 MiB/s, 6 s left")) << pText->text().toStdString();

        // Under the list, as wide as it, and above the button.
        const QRect list = pList->geometry();
        EXPECT_EQ(pBar->x(), list.x());
        EXPECT_EQ(pBar->width(), list.width());
        EXPECT_EQ(pBar->y(), list.y() + list.height() + 6);
        EXPECT_EQ(pText->x(), list.x());
        EXPECT_EQ(pText->width(), list.width());
        EXPECT_EQ(pText->y(), pBar->y() + pBar->height() + 4);
        auto* pEnd = Control<QPushButton>(pWindow, IDC_CONNECT);
        EXPECT_LT(pText->y() + pText->height(), pEnd->y());
        for (const std::string& strLine : qttest::ListLines(pList)) {
            EXPECT_EQ(strLine.find("MiB"), std::string::npos) << strLine;
        }
        EXPECT_TRUE(qttest::SaveScreenshot(pWindow, "client-progress"));

        pEnd->click();
        EXPECT_TRUE(qttest::WaitUntil([&] { return !dialog.IsRunBusy(); }, 10000));
        EXPECT_TRUE(qttest::WaitUntil([&] { return pBar->isHidden(); }, 10000));
        EXPECT_TRUE(pText->isHidden());
    });
    EXPECT_EQ(nResult, ui::kResultQuit);
    EXPECT_EQ(m_dir.ReadFile("run.log").value_or("").find("MiB"), std::string::npos);
}

TEST_F(ClientDialogQtTest, EveryTextFitsItsControl) {
    EXPECT_EQ(qttest::TextsThatDoNotFit(GetClientDialogTemplate(), {{IDC_CONNECT, "End"}}),
              std::vector<std::string>{});
    ui::CAboutDlg about("TandrelClient", "", "");
    EXPECT_EQ(qttest::TextsThatDoNotFit(about.GetTemplate()), std::vector<std::string>{});
}

}  // namespace
