#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "ui/dialog.h"

// Shows dialogs with the Windows dialog manager. Each template is built in
// memory as an extended dialog template (ids, positions and sizes in dialog
// units, the template's font) and run modally with DialogBoxIndirectParamW,
// so the dialog manager lays it out, moves the focus with Tab and presses
// the default button on Enter. Text is UTF-8 inside and UTF-16 at every
// call.
//
// - Buttons, Enter and Escape reach OnCommand with their id; the close box
//   and the system menu's Close call OnCommand(kIdCancel) and leave the
//   decision to the dialog.
// - System-menu items go into the window's real system menu; choosing one
//   calls OnSysCommand.
// - Work posted with PostCommand or PostQuit, from any thread, travels as a
//   private window message and is delivered one item at a time, only between
//   handlers (a message box or a dialog above runs a loop of its own; what
//   arrives meanwhile waits); what arrives after the dialog has ended is
//   dropped.
// - A stop request (RequestStop) answers open message boxes and posts Cancel
//   to every running dialog, as the terminal host does for Ctrl+C.
//
// One host per process, made and used on the thread that runs the dialogs.
namespace ui {

class CWin32Host : public CDialogHost {
public:
    // Registers what the dialogs need (common controls, the host's own
    // message window); IsUsable says whether that worked.
    CWin32Host();
    ~CWin32Host() override;
    CWin32Host(const CWin32Host&) = delete;
    CWin32Host& operator=(const CWin32Host&) = delete;

    // A host for the process, with the console's stop requests turned into
    // RequestStop. Returns null when no window can be made or none would be
    // seen (Wine without a display; a service's or an unattended scheduled
    // task's invisible window station); strProblem then says so.
    static std::unique_ptr<CWin32Host> Open(std::string& strProblem);

    bool IsUsable() const { return m_hwndMessages != nullptr; }

    int RunModal(CDialog& dialog) override;
    void ShowMessageBox(const std::string& strText) override;

    // Any thread: answers open message boxes and posts kIdCancel to every
    // running dialog; dialogs opened later get it at once and message boxes
    // shown later are answered at once.
    void RequestStop();

    // The window (HWND) of dialog while it runs through this host, or null.
    void* WindowOf(const CDialog& dialog) const;
    // Whether hwnd is the window of a dialog that a host runs (and so not a
    // message box).
    static bool IsDialogWindow(void* hwnd);

    class CSite;
    class CMessageWindow;

private:
    int RunModalOwnedBy(CDialog& dialog, void* hwndOwner);
    void CloseMessageBoxes();

    void* m_hwndMessages = nullptr;  // message-only window of the host's thread
    void* m_hIconBig = nullptr;
    void* m_hIconSmall = nullptr;
    bool m_bOwnIcons = false;  // loaded from the program, so destroyed here
    mutable std::mutex m_sitesMutex;
    std::vector<CSite*> m_sites;  // running, innermost last
    bool m_bStopRequested = false;
};

}  // namespace ui
