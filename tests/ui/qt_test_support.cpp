#include "tests/ui/qt_test_support.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QDir>
#include <QListWidget>
#include <QLineEdit>
#include <QScrollBar>
#include <QStyle>
#include <QElapsedTimer>
#include <QPixmap>
#include <QPushButton>
#include <QThread>
#include <QTimer>

namespace qttest {

QWidget* ActiveModal() { return QApplication::activeModalWidget(); }

int RunWith(ui::CQtHost& host, ui::CDialog& dialog, const std::function<void(QDialog*)>& steps,
            int nLimitMs) {
    bool bTimedOut = false;
    QTimer watchdog;
    watchdog.setSingleShot(true);
    QObject::connect(&watchdog, &QTimer::timeout, [&] {
        bTimedOut = true;
        for (QWidget* pWidget : QApplication::topLevelWidgets()) {
            if (auto* pBox = qobject_cast<QMessageBox*>(pWidget); pBox && pBox->isVisible()) {
                pBox->done(QMessageBox::Ok);
            }
        }
        dialog.PostQuit();
    });
    watchdog.start(nLimitMs);
    // Dropped with the guard if the dialog ended before it came.
    QObject guard;
    if (steps) {
        QTimer::singleShot(0, &guard, [&] {
            auto* pWindow = qobject_cast<QDialog*>(ActiveModal());
            ASSERT_NE(pWindow, nullptr) << "no dialog window is running";
            steps(pWindow);
        });
    }
    const int nResult = host.RunModal(dialog);
    EXPECT_FALSE(bTimedOut) << "the dialog did not end within " << nLimitMs << " ms";
    return nResult;
}

struct CBoxAnswerer::CImpl {
    QTimer timer;
};

CBoxAnswerer::CBoxAnswerer() : m_pImpl(new CImpl) {
    QObject::connect(&m_pImpl->timer, &QTimer::timeout, [this] {
        auto* pBox = qobject_cast<QMessageBox*>(ActiveModal());
        if (!pBox || !pBox->isVisible()) {
            return;
        }
        CAnsweredBox answered;
        answered.strTitle = pBox->windowTitle();
        answered.strText = pBox->text();
        answered.nButtons = static_cast<int>(pBox->buttons().size());
        answered.bHasParent = pBox->parentWidget() != nullptr;
        answered.eFormat = pBox->textFormat();
        m_answered.push_back(answered);
        QAbstractButton* pOk = pBox->button(QMessageBox::Ok);
        if (pOk) {
            pOk->click();
        } else {
            pBox->done(QMessageBox::Ok);
        }
    });
    m_pImpl->timer.start(10);
}

CBoxAnswerer::~CBoxAnswerer() { delete m_pImpl; }

bool WaitUntil(const std::function<bool()>& condition, int nLimitMs) {
    QElapsedTimer elapsed;
    elapsed.start();
    while (!condition()) {
        if (elapsed.elapsed() > nLimitMs) {
            return condition();
        }
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(2);
    }
    return true;
}

void ProcessEventsFor(int nMs) {
    QElapsedTimer elapsed;
    elapsed.start();
    while (elapsed.elapsed() < nMs) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(2);
    }
}

bool SaveScreenshot(QWidget* pWidget, const std::string& strName) {
    const QString strFolder = qEnvironmentVariable("TANDREL_SCREENSHOT_DIR");
    if (strFolder.isEmpty() || !pWidget) {
        return true;
    }
    QDir().mkpath(strFolder);
    return pWidget->grab().save(QDir(strFolder).filePath(QString::fromStdString(strName) + ".png"));
}

std::vector<std::string> TextsThatDoNotFit(
    const ui::CDialogTemplate& dialogTemplate,
    const std::vector<std::pair<int, std::string>>& laterTexts) {
    const QFont font = ui::qt::DialogFont(dialogTemplate);
    const QFontMetrics metrics(font);
    int nBaseX = 0, nBaseY = 0;
    ui::qt::MeasureBaseUnits(font, nBaseX, nBaseY);
    const int nButtonMargin = QApplication::style()->pixelMetric(QStyle::PM_ButtonMargin);
    std::vector<std::pair<const ui::CControlTemplate*, std::string>> texts;
    for (const ui::CControlTemplate& control : dialogTemplate.controls) {
        texts.emplace_back(&control, control.strText);
    }
    for (const auto& [nId, strText] : laterTexts) {
        texts.emplace_back(dialogTemplate.Find(nId), strText);
    }
    std::vector<std::string> problems;
    for (const auto& [pControl, strText] : texts) {
        if (!pControl) {
            problems.push_back("no control for \"" + strText + "\"");
            continue;
        }
        int nRoom = 0;
        switch (pControl->eKind) {
            case ui::EControlKind::Label:
            case ui::EControlKind::GroupBox:
                break;
            case ui::EControlKind::PushButton:
                nRoom = 2 * nButtonMargin;
                break;
            default:
                continue;
        }
        const ui::CRect box = ui::DialogUnitsToPixels(pControl->x, pControl->y, pControl->cx,
                                                      pControl->cy, nBaseX, nBaseY);
        // '&' marks the mnemonic and takes no room.
        QString strShown = QString::fromStdString(strText);
        strShown.replace(QStringLiteral("&&"), QStringLiteral("\x01")).remove('&');
        strShown.replace(QChar(1), QChar('&'));
        const int nWidth = metrics.horizontalAdvance(strShown) + nRoom;
        if (nWidth > box.Width() || metrics.height() > box.Height()) {
            problems.push_back("\"" + strText + "\" needs " + std::to_string(nWidth) + "x" +
                               std::to_string(metrics.height()) + " px, has " +
                               std::to_string(box.Width()) + "x" + std::to_string(box.Height()));
        }
    }
    return problems;
}

std::string ControlText(QWidget* pWindow, int nId) {
    if (auto* pEdit = Control<QLineEdit>(pWindow, nId)) {
        return pEdit->text().toStdString();
    }
    if (auto* pButton = Control<QPushButton>(pWindow, nId)) {
        return pButton->text().toStdString();
    }
    return "<none>";
}

std::vector<std::string> ListLines(QWidget* pWidget) {
    std::vector<std::string> lines;
    if (auto* pList = qobject_cast<QListWidget*>(pWidget)) {
        for (int i = 0; i < pList->count(); ++i) {
            lines.push_back(pList->item(i)->text().toStdString());
        }
    }
    return lines;
}

std::string HorizontalRangeProblem(QWidget* pWidget) {
    auto* pList = qobject_cast<QListWidget*>(pWidget);
    if (!pList) {
        return "not a list";
    }
    int nWidest = 0;
    for (int i = 0; i < pList->count(); ++i) {
        nWidest = std::max(nWidest, pList->fontMetrics().horizontalAdvance(pList->item(i)->text()));
    }
    const int nView = pList->viewport()->width();
    const int nMaximum = pList->horizontalScrollBar()->maximum();
    // The text with the item's margins on both sides, a few pixels.
    const int nNeeded = nWidest - nView;
    if (nMaximum < nNeeded || nMaximum > std::max(0, nNeeded + 12)) {
        return "range " + std::to_string(nMaximum) + " for a widest line of " +
               std::to_string(nWidest) + " px in a view of " + std::to_string(nView) + " px";
    }
    return "";
}

}  // namespace qttest
