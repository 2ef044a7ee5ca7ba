#include <gtest/gtest.h>

#include <QAction>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <string>
#include <vector>

#include "common/macros.h"
#include "server/serverdlg.h"
#include "tests/server/ftp_test_client.h"
#include "tests/support/tempdir.h"
#include "tests/ui/qt_test_support.h"
#include "ui/aboutdlg.h"
#include "ui/qt/qt_host.h"

// TandrelServer's main dialog in real windows (Qt's offscreen platform):
// what it shows and lets the operator edit, the running layout, its message
// boxes and About box, and that every text fits its control.

namespace {

using namespace server;

using qttest::Control;

class ServerDialogQtTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_nPort = FindFreePort();
        ASSERT_GT(m_nPort, 0);
        WriteSettings(std::to_string(m_nPort), m_root.Path(), "Hello");
    }

    void WriteSettings(const std::string& strPort, const std::string& strStartDir,
                       const std::string& strWelcome) {
        ASSERT_TRUE(m_dir.WriteFile(
            "TandrelServer.INI", "[TandrelServer]\nVersion=Quillon 4.1\n[TCP]\nPort=" + strPort +
                                     "\nStartDir=" + strStartDir + "\nWelcome=" + strWelcome +
                                     "\n[USER]\nUser=op\nPwd=pw\n"));
    }

    std::string SettingsPath() const { return m_dir.Join("TandrelServer.INI"); }

    static bool Shown(QWidget* pWindow, std::initializer_list<int> ids) {
        for (int nId : ids) {
            QWidget* pWidget = ui::qt::FindControl(pWindow, nId);
            if (!pWidget || !pWidget->isVisible()) {
                return false;
            }
        }
        return true;
    }
    static bool Hidden(QWidget* pWindow, std::initializer_list<int> ids) {
        for (int nId : ids) {
            QWidget* pWidget = ui::qt::FindControl(pWindow, nId);
            if (!pWidget || pWidget->isVisible()) {
                return false;
            }
        }
        return true;
    }
    static std::string Text(QWidget* pWindow, int nId) { return qttest::ControlText(pWindow, nId); }

    testsupport::CTempDir m_dir;
    testsupport::CTempDir m_root;
    ui::CQtHost m_host;
    int m_nPort = 0;
};

const std::initializer_list<int> kSettingsControls = {
    IDC_SERVER_GROUP, IDC_PORT_LABEL, IDC_STARTDIR_LABEL, IDC_WELCOME_LABEL,
    IDC_PORT,         IDC_STARTDIR,   IDC_WELCOME};

TEST_F(ServerDialogQtTest, ShowsTheValuesAndLetsOnlyTheInvalidOnesBeEdited) {
    struct CCase {
        const char* pszName;
        std::string strPort, strWelcome;
        bool bPort, bWelcome;  // editable
        QWidget* (*focus)(QWidget*);
    };
    const std::vector<CCase> cases = {
        {"complete", std::to_string(m_nPort), "Hello", false, false, nullptr},
        {"bad port", "70000", "Hello", true, false,
         [](QWidget* w) { return ui::qt::FindControl(w, IDC_PORT); }},
        {"no welcome", std::to_string(m_nPort), "", false, true,
         [](QWidget* w) { return ui::qt::FindControl(w, IDC_WELCOME); }},
    };
    for (const CCase& c : cases) {
        SCOPED_TRACE(c.pszName);
        WriteSettings(c.strPort, m_root.Path(), c.strWelcome);
        CTandrelServerDlg dialog(false, false, SettingsPath());
        qttest::CBoxAnswerer answerer;
        qttest::RunWith(m_host, dialog, [&](QDialog* pWindow) {
            EXPECT_EQ(pWindow->windowTitle(), "TandrelServer");
            EXPECT_TRUE(pWindow->windowFlags() & Qt::WindowMinimizeButtonHint);
            EXPECT_EQ(Text(pWindow, IDC_PORT), c.strPort);
            EXPECT_EQ(Text(pWindow, IDC_STARTDIR), m_root.Path());
            EXPECT_EQ(Text(pWindow, IDC_WELCOME), c.strWelcome);
            EXPECT_EQ(ui::qt::FindControl(pWindow, IDC_PORT)->isEnabled(), c.bPort);
            EXPECT_FALSE(ui::qt::FindControl(pWindow, IDC_STARTDIR)->isEnabled());
            EXPECT_EQ(ui::qt::FindControl(pWindow, IDC_WELCOME)->isEnabled(), c.bWelcome);
            if (c.focus) {
                EXPECT_EQ(pWindow->focusWidget(), c.focus(pWindow));
            }
            EXPECT_TRUE(Shown(pWindow, kSettingsControls));
            EXPECT_TRUE(Hidden(pWindow, {IDC_LOG_LIST}));
            EXPECT_EQ(Text(pWindow, IDC_START_STOP), "Start");
            if (c.bPort || c.bWelcome) {
                Control<QPushButton>(pWindow, IDC_START_STOP)->click();
                EXPECT_EQ(Text(pWindow, IDC_START_STOP), "Start");
                EXPECT_TRUE(Shown(pWindow, kSettingsControls));
            } else {
                EXPECT_TRUE(qttest::SaveScreenshot(pWindow, "server-settings"));
            }
            Control<QPushButton>(pWindow, ui::kIdCancel)->click();
        });
        if (c.bPort || c.bWelcome) {
            ASSERT_EQ(answerer.m_answered.size(), 1u);
            EXPECT_EQ(answerer.m_answered[0].strText, "Invalid parameter");
            EXPECT_EQ(answerer.m_answered[0].nButtons, 1);
        } else {
            EXPECT_TRUE(answerer.m_answered.empty());
        }
        EXPECT_FALSE(dialog.HasStarted());
    }
}

TEST_F(ServerDialogQtTest, StartRunsTheEngineShowsTheLogAndStopComesBack) {
    CTandrelServerDlg dialog(false, false, SettingsPath());
    const int nResult = qttest::RunWith(m_host, dialog, [&](QDialog* pWindow) {
        // Enter presses Start, the default button.
        QTest::keyClick(pWindow, Qt::Key_Return);
        ASSERT_TRUE(dialog.IsRunning());
        EXPECT_TRUE(pWindow->isMinimized());
        EXPECT_TRUE(Hidden(pWindow, kSettingsControls));
        EXPECT_TRUE(Shown(pWindow, {IDC_LOG_LIST, IDC_START_STOP, ui::kIdCancel}));
        EXPECT_EQ(Text(pWindow, IDC_START_STOP), "Stop");
        QWidget* pList = ui::qt::FindControl(pWindow, IDC_LOG_LIST);
        EXPECT_EQ(pList->geometry(), QRect(2, 2, pWindow->width() - 4, pWindow->height() - 52));
        EXPECT_EQ(qttest::ListLines(pList),
                  std::vector<std::string>{"Server started on port " + std::to_string(m_nPort)});
        EXPECT_EQ(qttest::HorizontalRangeProblem(pList), "");
        CFtpTestClient client;
        EXPECT_TRUE(client.Connect(m_nPort));
        EXPECT_EQ(client.ReadLine(), "220 Hello");

        pWindow->showNormal();
        Control<QPushButton>(pWindow, IDC_START_STOP)->click();
        EXPECT_FALSE(dialog.IsRunning());
        EXPECT_TRUE(Shown(pWindow, kSettingsControls));
        EXPECT_TRUE(Hidden(pWindow, {IDC_LOG_LIST}));
        EXPECT_EQ(Text(pWindow, IDC_START_STOP), "Start");
        QTest::keyClick(pWindow, Qt::Key_Escape);
    });
    EXPECT_EQ(nResult, ui::kIdCancel);
}

TEST_F(ServerDialogQtTest, TheStartSwitchRunsUnattendedWithEndCentred) {
    CTandrelServerDlg dialog(true, false, SettingsPath());
    const int nResult = qttest::RunWith(m_host, dialog, [&](QDialog* pWindow) {
        ASSERT_TRUE(qttest::WaitUntil([&] { return dialog.IsRunning(); }));
        auto* pButton = Control<QPushButton>(pWindow, IDC_START_STOP);
        EXPECT_EQ(pButton->text(), "End");
        EXPECT_EQ(pButton->x(), (pWindow->width() - pButton->width()) / 2);
        EXPECT_TRUE(Hidden(pWindow, {ui::kIdCancel}));
        EXPECT_TRUE(Hidden(pWindow, kSettingsControls));
        EXPECT_EQ(qttest::ListLines(ui::qt::FindControl(pWindow, IDC_LOG_LIST)),
                  std::vector<std::string>{"Server started on port " + std::to_string(m_nPort)});
        pWindow->showNormal();
        EXPECT_TRUE(qttest::SaveScreenshot(pWindow, "server-running"));
        pButton->click();
    });
    EXPECT_EQ(nResult, ui::kResultQuit);
    EXPECT_TRUE(dialog.HasStarted());
}

// Stop reads the settings file again and shows what it now says.
TEST_F(ServerDialogQtTest, StopReloadsTheSettings) {
    CTandrelServerDlg dialog(false, false, SettingsPath());
    qttest::RunWith(m_host, dialog, [&](QDialog* pWindow) {
        Control<QPushButton>(pWindow, IDC_START_STOP)->click();
        ASSERT_TRUE(dialog.IsRunning());
        WriteSettings(std::to_string(m_nPort), m_root.Path(), "Changed while running");
        Control<QPushButton>(pWindow, IDC_START_STOP)->click();
        EXPECT_FALSE(dialog.IsRunning());
        EXPECT_EQ(Text(pWindow, IDC_WELCOME), "Changed while running");
        QTest::keyClick(pWindow, Qt::Key_Escape);
    });
}

// In single-session mode the engine's thread asks the window to quit after
// its client's QUIT; the request crosses threads through the event loop.
TEST_F(ServerDialogQtTest, AClientsQuitEndsASingleSessionWindow) {
    CTandrelServerDlg dialog(true, true, SettingsPath());
    std::string strBye;
    const int nResult = qttest::RunWith(m_host, dialog, [&](QDialog*) {
        ASSERT_TRUE(qttest::WaitUntil([&] { return dialog.IsRunning(); }));
        CFtpTestClient client;
        ASSERT_TRUE(client.Connect(m_nPort));
        EXPECT_EQ(client.ReadLine(), "220 Hello");
        EXPECT_EQ(client.Command("USER op"), "331 User name Ok, need password.");
        EXPECT_EQ(client.Command("PASS pw"), "230 Logged in.");
        strBye = client.Command("QUIT");
        // The window ends by itself; RunWith fails the test if it does not.
    });
    EXPECT_EQ(nResult, ui::kResultQuit);
    EXPECT_EQ(strBye, "221 Service closing control connection.");
}

TEST_F(ServerDialogQtTest, TheAboutBoxOpensFromTheContextMenuAndF1) {
    for (bool bF1 : {false, true}) {
        SCOPED_TRACE(bF1 ? "F1" : "context menu");
        CTandrelServerDlg dialog(false, false, SettingsPath());
        std::vector<std::string> seen;
        qttest::RunWith(m_host, dialog, [&](QDialog* pWindow) {
            const QList<QAction*> actions = pWindow->actions();
            ASSERT_EQ(actions.size(), 1);
            EXPECT_EQ(actions[0]->text(), "&About TandrelServer...");
            EXPECT_EQ(pWindow->contextMenuPolicy(), Qt::ActionsContextMenu);
            QTimer::singleShot(0, pWindow, [&] {
                QWidget* pAbout = qttest::ActiveModal();
                ASSERT_NE(pAbout, nullptr);
                seen.push_back(pAbout->windowTitle().toStdString());
                seen.push_back(qttest::Control<QLineEdit>(pAbout, ui::IDC_ABOUT_MACHINEID)
                                   ->text()
                                   .toStdString());
                seen.push_back(qttest::Control<QLineEdit>(pAbout, ui::IDC_ABOUT_IPNUMBER)
                                   ->text()
                                   .toStdString());
                EXPECT_EQ(pAbout->parentWidget(), pWindow);
                EXPECT_TRUE(
                    qttest::Control<QLineEdit>(pAbout, ui::IDC_ABOUT_MACHINEID)->isReadOnly());
                if (!bF1) {
                    EXPECT_TRUE(qttest::SaveScreenshot(pAbout, "server-about"));
                }
                // Enter presses OK.
                QTest::keyClick(pAbout, Qt::Key_Return);
            });
            if (bF1) {
                QTest::keyClick(pWindow->focusWidget() ? pWindow->focusWidget() : pWindow,
                                Qt::Key_F1);
            } else {
                actions[0]->trigger();
            }
            EXPECT_EQ(qttest::ActiveModal(), pWindow);
            Control<QPushButton>(pWindow, ui::kIdCancel)->click();
        });
        EXPECT_EQ(seen, (std::vector<std::string>{"TandrelServer", GetLocalMachineId(),
                                                  GetLocalIpNumber()}));
    }
}

TEST_F(ServerDialogQtTest, EveryTextFitsItsControl) {
    EXPECT_EQ(qttest::TextsThatDoNotFit(
                  GetServerDialogTemplate(),
                  {{IDC_START_STOP, "Stop"}, {IDC_START_STOP, "End"}, {IDC_START_STOP, "OK"}}),
              std::vector<std::string>{});
    ui::CAboutDlg about("TandrelServer", "", "");
    EXPECT_EQ(qttest::TextsThatDoNotFit(about.GetTemplate()), std::vector<std::string>{});
}

}  // namespace
