#pragma once

#include <QDialog>
#include <QMessageBox>
#include <QString>

#include <functional>
#include <string>
#include <vector>

#include "ui/dialog.h"
#include "ui/qt/qt_host.h"

// Driving dialogs through the real Qt host in tests, on Qt's offscreen
// platform: run a dialog with steps that act on its window, answer message
// boxes, wait for conditions with a time limit, and keep pictures of windows.

namespace qttest {

// Runs dialog through host; steps (if any) are called with the dialog's
// window once it is shown and its loop runs. If the dialog has not ended after
// nLimitMs, the test fails, open message boxes are closed and the dialog is
// asked to quit. Returns what RunModal returned.
int RunWith(ui::CQtHost& host, ui::CDialog& dialog, const std::function<void(QDialog*)>& steps,
            int nLimitMs = 20000);

// The text and buttons of a message box that was answered.
struct CAnsweredBox {
    QString strTitle;
    QString strText;
    int nButtons = 0;
    bool bHasParent = false;
    Qt::TextFormat eFormat = Qt::AutoText;
};

// Answers message boxes with OK as they appear, for as long as the object
// lives (checking every few milliseconds), and remembers each one.
class CBoxAnswerer {
public:
    CBoxAnswerer();
    ~CBoxAnswerer();
    std::vector<CAnsweredBox> m_answered;

private:
    struct CImpl;
    CImpl* m_pImpl;
};

// Processes events until condition holds or nLimitMs has passed; returns
// whether it holds.
bool WaitUntil(const std::function<bool()>& condition, int nLimitMs = 20000);

// Processes events for nMs.
void ProcessEventsFor(int nMs);

// The widget of control nId in window, cast to T (null if not there or of
// another kind).
template <class T>
T* Control(QWidget* pWindow, int nId);

// Saves a picture of pWidget as strName.png in the folder named by
// TANDREL_SCREENSHOT_DIR; does nothing without it. False when a named folder
// could not be written.
bool SaveScreenshot(QWidget* pWidget, const std::string& strName);

// The window of the innermost running dialog (or message box).
QWidget* ActiveModal();

// The texts of labels, buttons and group boxes in dialogTemplate, and the
// further texts that the dialog gives its controls later (id, text), that do
// not fit their control's box in pixels when measured with the dialog font,
// one description each. Buttons keep room for the style's margins.
std::vector<std::string> TextsThatDoNotFit(
    const ui::CDialogTemplate& dialogTemplate,
    const std::vector<std::pair<int, std::string>>& laterTexts = {});

// The text of edit or push button nId in pWindow; "<none>" when it has
// neither.
std::string ControlText(QWidget* pWindow, int nId);

// The lines of a list box, top first.
std::vector<std::string> ListLines(QWidget* pList);

// Empty when the list's horizontal range reaches exactly as far as its
// longest line needs (no range when every line fits); otherwise what is
// wrong.
std::string HorizontalRangeProblem(QWidget* pList);

}  // namespace qttest

#include "ui/qt/qt_widgets.h"

template <class T>
T* qttest::Control(QWidget* pWindow, int nId) {
    return qobject_cast<T*>(ui::qt::FindControl(pWindow, nId));
}
