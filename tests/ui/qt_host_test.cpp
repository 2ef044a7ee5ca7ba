#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QFontInfo>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollBar>
#include <QTest>
#include <QTimer>

#include <atomic>
#include <functional>
#include <thread>
#include <vector>

#include "tests/ui/qt_test_support.h"
#include "tests/ui/scripted_dialog.h"
#include "ui/qt/qt_host.h"
#include "ui/qt/qt_widgets.h"

// The Qt host with small dialogs of its own: what each control kind and
// style becomes, how keys, buttons, the close box and the context menu reach
// the dialog, and how posted work from other threads arrives.

namespace {

using ui::EControlKind;
using namespace hosttest;

class QtHostTest : public ::testing::Test {
protected:
    ui::CQtHost m_host;
};

QRect Pixels(const ui::CDialogTemplate& t, int nId, QWidget* pWindow) {
    int nBaseX = 0, nBaseY = 0;
    ui::qt::MeasureBaseUnits(pWindow->font(), nBaseX, nBaseY);
    const ui::CControlTemplate& c = *t.Find(nId);
    const ui::CRect r = ui::DialogUnitsToPixels(c.x, c.y, c.cx, c.cy, nBaseX, nBaseY);
    return QRect(r.left, r.top, r.Width(), r.Height());
}

TEST_F(QtHostTest, TheWindowIsTheTemplateInTheDialogFontsUnits) {
    CScriptedDialog dialog;
    qttest::RunWith(m_host, dialog, [&](QDialog* pWindow) {
        const QFontInfo font(pWindow->font());
        EXPECT_EQ(font.family(), "DejaVu Sans");
        EXPECT_EQ(pWindow->font().pointSize(), 8);
        int nBaseX = 0, nBaseY = 0;
        ui::qt::MeasureBaseUnits(pWindow->font(), nBaseX, nBaseY);
        // DejaVu Sans 8 pt at 96 dpi.
        EXPECT_EQ(nBaseX, 7);
        EXPECT_EQ(nBaseY, 13);
        EXPECT_EQ(pWindow->size(), QSize((200 * 7 + 2) / 4, (150 * 13 + 4) / 8));
        EXPECT_EQ(pWindow->minimumSize(), pWindow->maximumSize());
        EXPECT_EQ(pWindow->windowTitle(), "Small dialog");
        EXPECT_FALSE(pWindow->windowIcon().isNull());
        EXPECT_FALSE(pWindow->windowFlags() & Qt::WindowMinimizeButtonHint);
        for (const ui::CControlTemplate& control : Template().controls) {
            SCOPED_TRACE(control.nId);
            QWidget* pWidget = ui::qt::FindControl(pWindow, control.nId);
            ASSERT_NE(pWidget, nullptr);
            EXPECT_EQ(pWidget->geometry(), Pixels(Template(), control.nId, pWindow));
            EXPECT_EQ(dialog.GetItemRect(control.nId),
                      (ui::CRect{pWidget->x(), pWidget->y(), pWidget->x() + pWidget->width(),
                                 pWidget->y() + pWidget->height()}));
        }
        EXPECT_EQ(dialog.GetClientRect(), (ui::CRect{0, 0, pWindow->width(), pWindow->height()}));
        // The group box lies beneath the edits placed on it, so clicks
        // reach them.
        QWidget* pEdit = ui::qt::FindControl(pWindow, kIdName);
        EXPECT_EQ(pWindow->childAt(pEdit->geometry().center()), pEdit);
        dialog.EndDialog(7);
    });
}

TEST_F(QtHostTest, AMinimiseBoxOnlyWhereTheTemplateHasOne) {
    for (bool bMinimizeBox : {false, true}) {
        SCOPED_TRACE(bMinimizeBox);
        ui::CDialogTemplate t = Template();
        t.bMinimizeBox = bMinimizeBox;
        CScriptedDialog dialog(t);
        qttest::RunWith(m_host, dialog, [&](QDialog* pWindow) {
            EXPECT_EQ((pWindow->windowFlags() & Qt::WindowMinimizeButtonHint) != 0, bMinimizeBox);
            dialog.EndDialog(1);
        });
    }
}

TEST_F(QtHostTest, ControlsTakeTheirKindAndStyles) {
    CScriptedDialog dialog;
    qttest::RunWith(m_host, dialog, [&](QDialog* pWindow) {
        ASSERT_NE(qttest::Control<QGroupBox>(pWindow, kIdGroup), nullptr);
        ASSERT_NE(qttest::Control<QLabel>(pWindow, kIdLabel), nullptr);
        auto* pSecret = qttest::Control<QLineEdit>(pWindow, kIdSecret);
        auto* pShown = qttest::Control<QLineEdit>(pWindow, kIdShown);
        auto* pLocked = qttest::Control<QLineEdit>(pWindow, kIdLocked);
        auto* pName = qttest::Control<QLineEdit>(pWindow, kIdName);
        auto* pGo = qttest::Control<QPushButton>(pWindow, kIdGo);
        auto* pCancel = qttest::Control<QPushButton>(pWindow, ui::kIdCancel);
        auto* pList = qttest::Control<QListWidget>(pWindow, kIdList);
        auto* pPlainList = qttest::Control<QListWidget>(pWindow, kIdPlainList);
        ASSERT_TRUE(pSecret && pShown && pLocked && pName && pGo && pCancel && pList && pPlainList);

        dialog.SetItemText(kIdSecret, "hunter2");
        EXPECT_EQ(pSecret->echoMode(), QLineEdit::Password);
        EXPECT_EQ(pSecret->text(), "hunter2");
        EXPECT_EQ(pSecret->displayText().size(), 7);
        EXPECT_FALSE(pSecret->displayText().contains('h'));
        EXPECT_EQ(pName->echoMode(), QLineEdit::Normal);

        EXPECT_TRUE(pShown->isReadOnly());
        EXPECT_TRUE(pShown->isEnabled());
        EXPECT_FALSE(pName->isReadOnly());
        EXPECT_FALSE(pLocked->isEnabled());
        EXPECT_FALSE(dialog.IsItemEnabled(kIdLocked));
        EXPECT_TRUE(dialog.IsItemEnabled(kIdName));
        EXPECT_FALSE(ui::qt::FindControl(pWindow, kIdHiddenLabel)->isVisible());
        EXPECT_TRUE(ui::qt::FindControl(pWindow, kIdLabel)->isVisible());

        EXPECT_TRUE(pGo->isDefault());
        EXPECT_FALSE(pCancel->isDefault());

        EXPECT_EQ(pList->selectionMode(), QAbstractItemView::NoSelection);
        EXPECT_EQ(pList->verticalScrollBarPolicy(), Qt::ScrollBarAsNeeded);
        EXPECT_EQ(pList->horizontalScrollBarPolicy(), Qt::ScrollBarAsNeeded);
        EXPECT_NE(pPlainList->selectionMode(), QAbstractItemView::NoSelection);
        EXPECT_EQ(pPlainList->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOff);
        EXPECT_EQ(pPlainList->horizontalScrollBarPolicy(), Qt::ScrollBarAlwaysOff);
        dialog.EndDialog(1);
    });
}

TEST_F(QtHostTest, AProgressBarRunsFromNothingToAllOrSaysItIsBusy) {
    CScriptedDialog dialog;
    qttest::RunWith(m_host, dialog, [&](QDialog* pWindow) {
        auto* pBar = qttest::Control<QProgressBar>(pWindow, kIdProgress);
        ASSERT_NE(pBar, nullptr);
        EXPECT_FALSE(pBar->isTextVisible());
        EXPECT_EQ(pBar->minimum(), 0);
        EXPECT_EQ(pBar->maximum(), ui::kProgressMax);
        EXPECT_EQ(pBar->value(), 0);
        EXPECT_EQ(dialog.GetItemProgress(kIdProgress), 0);
        struct CCase {
            int nSet;
            int nRead;
        };
        for (const CCase& c : std::vector<CCase>{{250, 250}, {ui::kProgressMax, ui::kProgressMax},
                                                 {5000, ui::kProgressMax},
                                                 {ui::kProgressUnknown, ui::kProgressUnknown},
                                                 {-7, ui::kProgressUnknown}, {0, 0}, {640, 640}}) {
            SCOPED_TRACE(c.nSet);
            dialog.SetItemProgress(kIdProgress, c.nSet);
            EXPECT_EQ(dialog.GetItemProgress(kIdProgress), c.nRead);
            if (c.nRead == ui::kProgressUnknown) {
                // Qt's busy bar.
                EXPECT_EQ(pBar->maximum(), 0);
            } else {
                EXPECT_EQ(pBar->maximum(), ui::kProgressMax);
                EXPECT_EQ(pBar->value(), c.nRead);
            }
        }
        // Its words are kept for the terminal and assistive tools, not drawn.
        dialog.SetItemText(kIdProgress, "GET a->b: 1 B of 2 B");
        EXPECT_EQ(dialog.GetItemText(kIdProgress), "GET a->b: 1 B of 2 B");
        EXPECT_FALSE(pBar->isTextVisible());
        // Other controls have no position.
        dialog.SetItemProgress(kIdList, 500);
        EXPECT_EQ(dialog.GetItemProgress(kIdList), 0);
        dialog.EndDialog(1);
    });
}

TEST_F(QtHostTest, AnEllipsisLabelCutsTheMiddleOfWhatDoesNotFit) {
    CScriptedDialog dialog;
    qttest::RunWith(m_host, dialog, [&](QDialog* pWindow) {
        auto* pLabel = qttest::Control<QLabel>(pWindow, kIdEllipsis);
        ASSERT_NE(pLabel, nullptr);
        EXPECT_FALSE(pLabel->wordWrap());
        EXPECT_EQ(pLabel->textFormat(), Qt::PlainText);
        const std::string strShort = "a <b>";
        dialog.SetItemText(kIdEllipsis, strShort);
        EXPECT_EQ(pLabel->text(), QString::fromStdString(strShort));

        const std::string strLong = "<" + std::string(100, 'x') + ">";
        dialog.SetItemText(kIdEllipsis, strLong);
        EXPECT_EQ(dialog.GetItemText(kIdEllipsis), strLong);
        const QString strShown = pLabel->text();
        EXPECT_TRUE(strShown.startsWith("<x")) << strShown.toStdString();
        EXPECT_TRUE(strShown.endsWith("x>")) << strShown.toStdString();
        EXPECT_TRUE(strShown.contains(QChar(0x2026))) << strShown.toStdString();
        EXPECT_LE(pLabel->fontMetrics().horizontalAdvance(strShown), pLabel->width());

        // Wider, it shows more of the same text.
        dialog.MoveItem(kIdEllipsis, {0, 0, pWindow->width(), 20});
        EXPECT_GT(pLabel->text().size(), strShown.size());
        EXPECT_EQ(dialog.GetItemText(kIdEllipsis), strLong);
        dialog.EndDialog(1);
    });
}

TEST_F(QtHostTest, TextStateAndPlaceChangeAsTheDialogSays) {
    CScriptedDialog dialog;
    qttest::RunWith(m_host, dialog, [&](QDialog* pWindow) {
        struct CCase {
            int nId;
            std::function<QString()> shown;
        };
        const std::vector<CCase> cases = {
            {kIdGroup, [&] { return qttest::Control<QGroupBox>(pWindow, kIdGroup)->title(); }},
            {kIdLabel, [&] { return qttest::Control<QLabel>(pWindow, kIdLabel)->text(); }},
            {kIdName, [&] { return qttest::Control<QLineEdit>(pWindow, kIdName)->text(); }},
            {kIdGo, [&] { return qttest::Control<QPushButton>(pWindow, kIdGo)->text(); }},
        };
        for (const CCase& c : cases) {
            SCOPED_TRACE(c.nId);
            // Markup in a value is shown as it is.
            const std::string strText = "<b>x</b> & ü";
            dialog.SetItemText(c.nId, strText);
            EXPECT_EQ(c.shown(), QString::fromStdString(strText));
            EXPECT_EQ(dialog.GetItemText(c.nId), strText);

            QWidget* pWidget = ui::qt::FindControl(pWindow, c.nId);
            dialog.EnableItem(c.nId, false);
            EXPECT_FALSE(pWidget->isEnabled());
            dialog.EnableItem(c.nId, true);
            EXPECT_TRUE(pWidget->isEnabled());
            dialog.ShowItem(c.nId, false);
            EXPECT_FALSE(pWidget->isVisible());
            dialog.ShowItem(c.nId, true);
            EXPECT_TRUE(pWidget->isVisible());
            dialog.MoveItem(c.nId, {3, 5, 60, 25});
            EXPECT_EQ(pWidget->geometry(), QRect(3, 5, 57, 20));
            EXPECT_EQ(dialog.GetItemRect(c.nId), (ui::CRect{3, 5, 60, 25}));
        }
        EXPECT_EQ(qttest::Control<QLabel>(pWindow, kIdLabel)->textFormat(), Qt::PlainText);
        // Ids the template does not have change nothing and read as empty.
        dialog.SetItemText(999, "x");
        EXPECT_EQ(dialog.GetItemText(999), "");
        dialog.EndDialog(1);
    });
}

TEST_F(QtHostTest, EnterPressesTheDefaultButtonOrTheFocusedOne) {
    struct CCase {
        const char* pszName;
        int nFocus;        // the control Enter is typed into
        bool bGoEnabled;   // the default button
        std::vector<int> pressed;
    };
    const std::vector<CCase> cases = {
        {"in an edit", kIdName, true, {kIdGo}},
        {"default disabled", kIdName, false, {}},
        {"on the focused other button", ui::kIdCancel, true, {ui::kIdCancel}},
    };
    for (const CCase& c : cases) {
        SCOPED_TRACE(c.pszName);
        CScriptedDialog dialog;
        dialog.m_bRefuseCancel = true;
        dialog.m_onCommand = [](int) {};
        qttest::RunWith(m_host, dialog, [&](QDialog* pWindow) {
            dialog.EnableItem(kIdGo, c.bGoEnabled);
            dialog.SetFocusItem(c.nFocus);
            QTest::keyClick(ui::qt::FindControl(pWindow, c.nFocus), Qt::Key_Return);
            EXPECT_EQ(dialog.m_commands, c.pressed);
            dialog.EndDialog(1);
        });
    }
}

TEST_F(QtHostTest, ButtonsCallOnCommandWithTheirId) {
    CScriptedDialog dialog;
    dialog.m_onCommand = [&](int nId) {
        if (nId == ui::kIdCancel) dialog.EndDialog(ui::kIdCancel);
    };
    const int nResult = qttest::RunWith(m_host, dialog, [&](QDialog* pWindow) {
        qttest::Control<QPushButton>(pWindow, kIdGo)->click();
        qttest::Control<QPushButton>(pWindow, ui::kIdCancel)->click();
    });
    EXPECT_EQ(dialog.m_commands, (std::vector<int>{kIdGo, ui::kIdCancel}));
    EXPECT_EQ(nResult, ui::kIdCancel);
}

TEST_F(QtHostTest, TheFocusGoesWhereTheDialogPutsIt) {
    CScriptedDialog dialog;
    // Set before the window shows, as dialogs do while they open.
    dialog.m_onInit = [&] { dialog.SetFocusItem(kIdSecret); };
    qttest::RunWith(m_host, dialog, [&](QDialog* pWindow) {
        auto* pSecret = qttest::Control<QLineEdit>(pWindow, kIdSecret);
        EXPECT_EQ(dialog.GetSite()->GetFocus(), kIdSecret);
        EXPECT_EQ(pWindow->focusWidget(), pSecret);
        QTest::keyClicks(pWindow->focusWidget(), "abc");
        EXPECT_EQ(dialog.GetItemText(kIdSecret), "abc");

        dialog.SetFocusItem(kIdName);
        EXPECT_EQ(dialog.GetSite()->GetFocus(), kIdName);
        // A control that cannot take the focus leaves it where it is.
        dialog.SetFocusItem(kIdLocked);
        EXPECT_EQ(dialog.GetSite()->GetFocus(), kIdName);
        dialog.EndDialog(1);
    });
}

TEST_F(QtHostTest, ListLinesGoWhereTheyAreInsertedAndScrollToTheLongest) {
    CScriptedDialog dialog;
    qttest::RunWith(m_host, dialog, [&](QDialog* pWindow) {
        auto* pList = qttest::Control<QListWidget>(pWindow, kIdList);
        auto lines = [&] {
            std::vector<std::string> result;
            for (int i = 0; i < pList->count(); ++i) {
                result.push_back(pList->item(i)->text().toStdString());
            }
            return result;
        };
        dialog.ListInsert(kIdList, 0, "first");
        dialog.ListInsert(kIdList, 0, "second");
        dialog.ListInsert(kIdList, 2, "at the end");
        dialog.ListInsert(kIdList, 1, "between");
        // An index past the end appends instead of losing the line.
        dialog.ListInsert(kIdList, 99, "beyond");
        EXPECT_EQ(lines(), (std::vector<std::string>{"second", "between", "first", "at the end",
                                                      "beyond"}));
        EXPECT_EQ(dialog.GetSite()->ListCount(kIdList), 5);
        EXPECT_EQ(dialog.GetSite()->ListCount(kIdName), 0);

        // Short lines need no horizontal scrolling.
        EXPECT_EQ(pList->horizontalScrollBar()->maximum(), 0);
        const QString strLong = "GET /a/rather/long/path/of/folders/and/a/file.txt->" +
                                QString(40, 'x') + "END";
        dialog.ListInsert(kIdList, 3, strLong.toStdString());
        dialog.ListInsert(kIdList, 0, "short again");
        const int nTextWidth = pList->fontMetrics().horizontalAdvance(strLong);
        QScrollBar* pBar = pList->horizontalScrollBar();
        EXPECT_GE(pBar->maximum() + pList->viewport()->width(), nTextWidth);
        EXPECT_LE(pBar->maximum() + pList->viewport()->width(), nTextWidth + 20);
        // Scrolled to the end, the longest line's end is in view.
        pBar->setValue(pBar->maximum());
        const QRect item = pList->visualItemRect(pList->item(4));
        EXPECT_EQ(pList->item(4)->text(), strLong);
        EXPECT_LE(item.left() + nTextWidth, pList->viewport()->width());
        dialog.EndDialog(1);
    });
}

TEST_F(QtHostTest, AMessageBoxHasOneOkButtonAndShowsTheTextAsItIs) {
    CScriptedDialog dialog;
    bool bReturned = false;
    dialog.m_onCommand = [&](int nId) {
        if (nId == kIdGo) {
            dialog.ShowMessageBox("Invalid parameter <b>here</b>");
            bReturned = true;
            dialog.EndDialog(3);
        }
    };
    qttest::CBoxAnswerer answerer;
    const int nResult = qttest::RunWith(m_host, dialog, [&](QDialog* pWindow) {
        qttest::Control<QPushButton>(pWindow, kIdGo)->click();
    });
    EXPECT_TRUE(bReturned);
    EXPECT_EQ(nResult, 3);
    ASSERT_EQ(answerer.m_answered.size(), 1u);
    EXPECT_EQ(answerer.m_answered[0].strText, "Invalid parameter <b>here</b>");
    EXPECT_EQ(answerer.m_answered[0].eFormat, Qt::PlainText);
    EXPECT_EQ(answerer.m_answered[0].nButtons, 1);
    EXPECT_TRUE(answerer.m_answered[0].bHasParent);
    EXPECT_EQ(answerer.m_answered[0].strTitle, "Small dialog");

    // One that belongs to no dialog.
    m_host.ShowMessageBox("Windows sockets initialization failed.");
    ASSERT_EQ(answerer.m_answered.size(), 2u);
    EXPECT_EQ(answerer.m_answered[1].strText, "Windows sockets initialization failed.");
    EXPECT_FALSE(answerer.m_answered[1].bHasParent);
    EXPECT_EQ(answerer.m_answered[1].nButtons, 1);
}

TEST_F(QtHostTest, WorkPostedFromAnotherThreadArrivesInOrderAndQuitEnds) {
    CScriptedDialog dialog;
    std::thread worker;
    dialog.m_onCommand = [](int) {};
    dialog.m_onInit = [&] {
        worker = std::thread([&] {
            for (int i = 100; i < 200; ++i) {
                dialog.GetSite()->PostCommand(i);
            }
            dialog.PostQuit();
        });
    };
    dialog.m_onDestroy = [&] { worker.join(); };
    const int nResult = qttest::RunWith(m_host, dialog, nullptr);
    EXPECT_EQ(nResult, ui::kResultQuit);
    std::vector<int> expected;
    for (int i = 100; i < 200; ++i) {
        expected.push_back(i);
    }
    EXPECT_EQ(dialog.m_commands, expected);
}

TEST_F(QtHostTest, PostedWorkWaitsUntilTheHandlerHasReturned) {
    CScriptedDialog dialog;
    std::vector<std::string> events;
    dialog.m_onCommand = [&](int nId) {
        events.push_back("command " + std::to_string(nId));
        if (nId == kIdGo) {
            dialog.PostCommand(50);
            // A message box runs a loop of its own; the posted command must
            // not run inside this handler.
            dialog.ShowMessageBox("wait");
            events.push_back("handler returns");
        } else if (nId == 50) {
            dialog.EndDialog(1);
        }
    };
    qttest::CBoxAnswerer answerer;
    qttest::RunWith(m_host, dialog, [&](QDialog* pWindow) {
        qttest::Control<QPushButton>(pWindow, kIdGo)->click();
    });
    EXPECT_EQ(events,
              (std::vector<std::string>{"command 18", "handler returns", "command 50"}));
}

TEST_F(QtHostTest, WorkPostedWhileTheDialogEndsNeverReachesIt) {
    CScriptedDialog dialog;
    std::atomic<bool> bStop{false};
    std::thread worker;
    dialog.m_onInit = [&] {
        worker = std::thread([&] {
            while (!bStop) {
                dialog.GetSite()->PostCommand(60);
                std::this_thread::yield();
            }
        });
    };
    int nSeen = 0;
    dialog.m_onCommand = [&](int nId) {
        if (nId == 60 && ++nSeen == 50) {
            dialog.EndDialog(9);
        }
    };
    dialog.m_onDestroy = [&] {
        bStop = true;
        worker.join();
    };
    const int nResult = qttest::RunWith(m_host, dialog, nullptr);
    qttest::ProcessEventsFor(100);
    EXPECT_EQ(nResult, 9);
    EXPECT_EQ(nSeen, 50);
    EXPECT_FALSE(dialog.m_bCalledAfterDestroy);
}

TEST_F(QtHostTest, EscapeAndTheCloseBoxAskTheDialogToCancel) {
    struct CCase {
        const char* pszName;
        std::function<void(QDialog*)> close;
    };
    const std::vector<CCase> cases = {
        {"Escape", [](QDialog* pWindow) { QTest::keyClick(pWindow, Qt::Key_Escape); }},
        {"close box", [](QDialog* pWindow) { pWindow->close(); }},
    };
    for (const CCase& c : cases) {
        SCOPED_TRACE(c.pszName);
        CScriptedDialog dialog;
        dialog.m_bRefuseCancel = true;
        const int nResult = qttest::RunWith(m_host, dialog, [&](QDialog* pWindow) {
            c.close(pWindow);
            // The dialog refused: it is still there.
            EXPECT_EQ(dialog.m_commands, std::vector<int>{ui::kIdCancel});
            EXPECT_TRUE(pWindow->isVisible());
            dialog.m_bRefuseCancel = false;
            c.close(pWindow);
        });
        EXPECT_EQ(dialog.m_commands, (std::vector<int>{ui::kIdCancel, ui::kIdCancel}));
        EXPECT_EQ(nResult, ui::kIdCancel);
    }
}

TEST_F(QtHostTest, SystemMenuItemsAreInTheContextMenuAndF1ChoosesAbout) {
    CScriptedDialog dialog;
    dialog.m_onInit = [&] {
        dialog.AddSystemMenuItem(ui::kSysCommandAbout, "&About Small...");
        dialog.AddSystemMenuItem(32, "&Other");
    };
    qttest::RunWith(m_host, dialog, [&](QDialog* pWindow) {
        EXPECT_EQ(pWindow->contextMenuPolicy(), Qt::ActionsContextMenu);
        const QList<QAction*> actions = pWindow->actions();
        ASSERT_EQ(actions.size(), 2);
        EXPECT_EQ(actions[0]->text(), "&About Small...");
        EXPECT_EQ(actions[1]->text(), "&Other");
        actions[1]->trigger();
        EXPECT_EQ(dialog.m_sysCommands, std::vector<int>{32});
        // F1 from a field of the window.
        dialog.SetFocusItem(kIdName);
        QTest::keyClick(ui::qt::FindControl(pWindow, kIdName), Qt::Key_F1);
        EXPECT_EQ(dialog.m_sysCommands, (std::vector<int>{32, ui::kSysCommandAbout}));
        dialog.EndDialog(1);
    });
}

TEST_F(QtHostTest, MinimiseBeforeAndAfterTheWindowShows) {
    for (bool bWhileOpening : {true, false}) {
        SCOPED_TRACE(bWhileOpening);
        CScriptedDialog dialog;
        if (bWhileOpening) {
            dialog.m_onInit = [&] { dialog.Minimize(); };
        }
        qttest::RunWith(m_host, dialog, [&](QDialog* pWindow) {
            EXPECT_EQ(pWindow->isMinimized(), bWhileOpening);
            dialog.Minimize();
            EXPECT_TRUE(pWindow->isMinimized());
            dialog.EndDialog(1);
        });
    }
}

TEST_F(QtHostTest, AChildDialogRunsAboveTheMainOne) {
    CScriptedDialog dialog;
    CScriptedDialog child;
    QWidget* pMainWindow = nullptr;
    QWidget* pChildParent = nullptr;
    int nChildResult = 0;
    dialog.m_onSysCommand = [&](int) {
        nChildResult = dialog.RunChild(child);
        dialog.EndDialog(4);
    };
    child.m_onInit = [&] {
        child.SetItemText(kIdName, "child value");
        QTimer::singleShot(0, [&] {
            QWidget* pChildWindow = qttest::ActiveModal();
            pChildParent = pChildWindow ? pChildWindow->parentWidget() : nullptr;
            EXPECT_TRUE(pChildWindow && pChildWindow->isModal());
            EXPECT_EQ(child.GetItemText(kIdName), "child value");
            qttest::Control<QPushButton>(pChildWindow, kIdGo)->click();
        });
    };
    child.m_onCommand = [&](int nId) { child.EndDialog(nId); };
    const int nResult = qttest::RunWith(m_host, dialog, [&](QDialog* pWindow) {
        pMainWindow = pWindow;
        dialog.GetSite()->AddSystemMenuItem(ui::kSysCommandAbout, "About");
        pWindow->actions()[0]->trigger();
    });
    EXPECT_EQ(nResult, 4);
    EXPECT_EQ(nChildResult, kIdGo);
    EXPECT_NE(pMainWindow, nullptr);
    EXPECT_EQ(pChildParent, pMainWindow);
    EXPECT_TRUE(child.m_bDestroyed);
}

TEST_F(QtHostTest, AStopRequestAnswersMessageBoxesAndCancelsEveryDialog) {
    CScriptedDialog dialog;
    CScriptedDialog child;
    std::thread stopper;
    std::vector<std::string> events;
    dialog.m_onSysCommand = [&](int) {
        child.m_onInit = [&] {
            child.PostCommand(kIdGo);
        };
        child.m_onCommand = [&](int nId) {
            if (nId == kIdGo) {
                // The stop comes while a message box waits for an answer.
                stopper = std::thread([&] { m_host.RequestStop(); });
                child.ShowMessageBox("waiting");
                events.push_back("child box answered");
            } else if (nId == ui::kIdCancel) {
                events.push_back("child cancelled");
                child.EndDialog(ui::kIdCancel);
            }
        };
        events.push_back("child ended " + std::to_string(dialog.RunChild(child)));
    };
    dialog.m_onCommand = [&](int nId) {
        if (nId == ui::kIdCancel) {
            events.push_back("main cancelled");
            dialog.EndDialog(ui::kIdCancel);
        }
    };
    const int nResult = qttest::RunWith(m_host, dialog, [&](QDialog* pWindow) {
        dialog.GetSite()->AddSystemMenuItem(ui::kSysCommandAbout, "About");
        pWindow->actions()[0]->trigger();
    });
    if (stopper.joinable()) stopper.join();
    EXPECT_EQ(nResult, ui::kIdCancel);
    EXPECT_EQ(events, (std::vector<std::string>{"child box answered", "child cancelled",
                                                 "child ended 2", "main cancelled"}));

    // A dialog that opens after the request is cancelled at once.
    CScriptedDialog later;
    EXPECT_EQ(qttest::RunWith(m_host, later, nullptr), ui::kIdCancel);
    EXPECT_EQ(later.m_commands, std::vector<int>{ui::kIdCancel});
}

TEST_F(QtHostTest, OpeningAndClosingHandlersSeeTheControls) {
    struct CCase {
        const char* pszName;
        bool bEndWhileOpening;
        bool bQuitWhileOpening;
        int nExpected;
    };
    const std::vector<CCase> cases = {
        {"ended by a button", false, false, 5},
        {"ended while opening", true, false, 6},
        {"quit while opening", false, true, ui::kResultQuit},
    };
    for (const CCase& c : cases) {
        SCOPED_TRACE(c.pszName);
        CScriptedDialog dialog;
        std::string strAtDestroy;
        bool bShown = false;
        dialog.m_onInit = [&] {
            dialog.SetItemText(kIdName, "kept");
            if (c.bEndWhileOpening) dialog.EndDialog(6);
            if (c.bQuitWhileOpening) dialog.PostQuit();
        };
        dialog.m_onCommand = [&](int nId) { dialog.EndDialog(nId == kIdGo ? 5 : nId); };
        dialog.m_onDestroy = [&] { strAtDestroy = dialog.GetItemText(kIdName); };
        int nResult = 0;
        if (c.bEndWhileOpening || c.bQuitWhileOpening) {
            // Never shown: nothing to act on, and nothing waits.
            QObject guard;
            QTimer::singleShot(0, &guard, [&] { bShown = qttest::ActiveModal() != nullptr; });
            nResult = qttest::RunWith(m_host, dialog, nullptr);
            qttest::ProcessEventsFor(20);
        } else {
            nResult = qttest::RunWith(m_host, dialog, [&](QDialog* pWindow) {
                bShown = true;
                qttest::Control<QPushButton>(pWindow, kIdGo)->click();
            });
        }
        EXPECT_EQ(nResult, c.nExpected);
        EXPECT_EQ(bShown, !c.bEndWhileOpening && !c.bQuitWhileOpening);
        EXPECT_EQ(strAtDestroy, "kept");
        EXPECT_EQ(dialog.GetSite(), nullptr);
    }
}

}  // namespace
