#pragma once

#include <memory>
#include <mutex>
#include <vector>

#include "ui/dialog.h"

// Shows dialogs in a terminal, for machines without a display, for cron and
// service managers, and for operators who prefer it ("console" switch).
//
// - When a dialog opens, each visible edit field is shown on standard output
//   as its label and value ("Port: 21"; a password as stars). Each field that
//   is enabled and not read-only (the dialog enables exactly the ones it
//   needs) is then asked for on standard error and read from standard input,
//   a password without echo.
// - List lines go to standard output as they are added, oldest first;
//   message boxes go to standard error and are answered at once.
// - While the dialog waits for an operator, a line typed on standard input
//   presses its default button, and the end of input presses Cancel. A dialog
//   that runs unattended never has its input read.
// - An interrupt or terminate request (Ctrl+C, SIGTERM) presses Cancel.
namespace ui {

class CConsoleHost : public CDialogHost {
public:
    CConsoleHost();
    ~CConsoleHost() override;

    int RunModal(CDialog& dialog) override;
    void ShowMessageBox(const std::string& strText) override;

    struct CInput;
    class CSite;

private:
    void OnStopRequest();
    // The next line of input for a running site. Work posted meanwhile is
    // delivered; when it ends the dialog or makes it stop waiting for an
    // operator, the read is interrupted.
    enum class ERead { Line, Ended, Interrupted };
    ERead ReadLine(CSite& site, std::string& strLine);
    void StartReader();
    // Asks for every enabled, writable edit field of site and stores the
    // lines typed. False when the input ended (Cancel is then posted).
    bool AskForFields(CSite& site, bool bTerminal);

    std::shared_ptr<CInput> m_pInput;
    std::mutex m_sitesMutex;
    std::vector<CSite*> m_sites;
    bool m_bStopRequested = false;
};

}  // namespace ui
