#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "ui/dialog.h"

class QObject;
class QWidget;

// Shows dialogs as windows with Qt 6 Widgets. Each template becomes a
// fixed-size QDialog laid out in pixels from its dialog units, converted with
// the measured base units of the dialog font; the dialog's handlers run on
// the thread that runs the Qt event loop.
//
// - Buttons call OnCommand with their id; Escape and the window's close box
//   call OnCommand(kIdCancel) and leave the decision to the dialog.
// - Work posted with PostCommand or PostQuit, from any thread, is delivered
//   through the event loop, one item at a time and only between handlers;
//   what arrives after the dialog has ended is dropped.
// - System-menu items appear in the window's context menu (window managers
//   own the real system menu); F1 chooses the About item.
// - A stop request (RequestStop) answers open message boxes and posts Cancel
//   to every running dialog, as the terminal host does for Ctrl+C.
namespace ui {

class CQtHost : public CDialogHost {
public:
    // Uses the QApplication that the caller made and keeps alive.
    CQtHost();
    ~CQtHost() override;
    CQtHost(const CQtHost&) = delete;
    CQtHost& operator=(const CQtHost&) = delete;

    // Starts Qt on the display the environment names, with the process's
    // stop requests (Ctrl+C, SIGTERM) turned into RequestStop; call it
    // before any other thread exists. Returns null when no window can be
    // opened: strProblem is then empty when no display is named at all, or
    // says which display could not be used.
    static std::unique_ptr<CQtHost> Open(std::string& strProblem);

    int RunModal(CDialog& dialog) override;
    void ShowMessageBox(const std::string& strText) override;

    // Any thread: answers open message boxes and posts kIdCancel to every
    // running dialog; dialogs opened later get it at once.
    void RequestStop();

    class CSite;
    struct CStartedQt;

private:
    int RunModalAbove(CDialog& dialog, QWidget* pParent);
    void CloseMessageBoxes();

    std::unique_ptr<CStartedQt> m_pStarted;  // the QApplication Open made
    QObject* m_pContext = nullptr;           // receives queued work for the host
    std::mutex m_sitesMutex;
    std::vector<CSite*> m_sites;
    bool m_bStopRequested = false;
    std::vector<QWidget*> m_messageBoxes;  // open, innermost last
};

}  // namespace ui
