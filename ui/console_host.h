#pragma once

#include <cstddef>
#include <memory>
#include <mutex>
#include <string>
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
// - A visible progress bar is one status line on standard error, rewritten
//   in place as the bar moves: its text (or, without one, its percentage),
//   fitted to kStatusColumns. It is cleared before every line written
//   (list lines, message boxes, prompts) and shown again after it, and
//   cleared for good when the bar is hidden. All that only when standard
//   error is a terminal: redirected to a file, a pipe or a journal, where
//   every byte stays, it gets nothing of the bar, and standard output never
//   does.
namespace ui {

// The widest status line: one column less than the classic terminal's 80,
// so that the cursor never wraps onto the next line.
constexpr size_t kStatusColumns = 79;

// strText as a status line of at most nColumns characters (UTF-8 characters
// counted as one column each): control characters become '?', and a longer
// text keeps its start and its end with "..." between them, since the end
// holds the figures that change.
std::string FitStatusLine(const std::string& strText, size_t nColumns = kStatusColumns);

class CConsoleHost : public CDialogHost {
public:
    // Shows progress bars as a status line when standard error is a
    // terminal (platform::IsErrorTerminal).
    CConsoleHost();
    // bStatusLine says whether progress bars are shown as a status line on
    // standard error, whatever that is (for tests).
    explicit CConsoleHost(bool bStatusLine);
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

    bool m_bStatusLine;
    std::shared_ptr<CInput> m_pInput;
    std::mutex m_sitesMutex;
    std::vector<CSite*> m_sites;
    bool m_bStopRequested = false;
};

}  // namespace ui
