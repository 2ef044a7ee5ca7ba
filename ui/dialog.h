#pragma once

#include <string>

#include "ui/template.h"

// The modal dialog pattern: a dialog is a template plus the handlers that
// give it its behaviour. A host (console, window system, test) shows the
// template and calls the handlers; the handlers change the controls through
// the dialog's own calls below, which the host carries out. Nothing here
// knows which host runs the dialog.

namespace ui {

class CDialog;

// One running dialog as its host shows it. Every call is made on the thread
// that runs the dialog, except PostCommand and PostQuit, which any thread may
// make while the dialog runs.
class CDialogSite {
public:
    virtual ~CDialogSite() = default;

    virtual std::string GetText(int nId) const = 0;
    virtual void SetText(int nId, const std::string& strText) = 0;
    virtual void Enable(int nId, bool bEnable) = 0;
    virtual bool IsEnabled(int nId) const = 0;
    virtual void Show(int nId, bool bShow) = 0;
    virtual bool IsVisible(int nId) const = 0;
    // Control rectangles in pixels of the client area.
    virtual void Move(int nId, const CRect& rect) = 0;
    virtual CRect GetRect(int nId) const = 0;
    virtual void SetFocus(int nId) = 0;
    // The id of the control with the keyboard focus; 0 for none.
    virtual int GetFocus() const = 0;
    virtual CRect GetClientRect() const = 0;
    // List boxes: insert at nIndex (0 is the top), count the items.
    virtual void ListInsert(int nId, int nIndex, const std::string& strText) = 0;
    virtual int ListCount(int nId) const = 0;
    // Progress bars: the position, 0 to kProgressMax or kProgressUnknown
    // (see template.h), as ClampProgress makes it.
    virtual void SetProgress(int nId, int nPosition) = 0;
    virtual int GetProgress(int nId) const = 0;
    // Adds an item to the dialog's system menu; choosing it calls
    // OnSysCommand(nCommand).
    virtual void AddSystemMenuItem(int nCommand, const std::string& strText) = 0;
    // A modal message box with an OK button; returns once it is closed.
    virtual void ShowMessageBox(const std::string& strText) = 0;
    // Queues OnCommand(nId) for when the current handler has returned.
    virtual void PostCommand(int nId) = 0;
    // Asks the dialog's loop to end; the dialog ends with kResultQuit.
    virtual void PostQuit() = 0;
    // Ends the dialog with nResult once the current handler has returned.
    virtual void EndDialog(int nResult) = 0;
    virtual void Minimize() = 0;
    // Runs another dialog modally above this one.
    virtual int RunModal(CDialog& dialog) = 0;
    // The dialog object is being destroyed while still attached (a test
    // that lets it go first); the site must not call it any more.
    virtual void OnDialogGone() {}
};

// What shows dialogs. One host per process.
class CDialogHost {
public:
    virtual ~CDialogHost() = default;

    // Shows dialog, calls its OnInitDialog, then its handlers as commands
    // arrive, until it ends; calls OnDestroy and returns the result given to
    // EndDialog, or kResultQuit after a quit request.
    virtual int RunModal(CDialog& dialog) = 0;

    // A message box with an OK button that belongs to no dialog (for what
    // goes wrong before the main dialog exists).
    virtual void ShowMessageBox(const std::string& strText) = 0;
};

// What RunModal returns when a quit request ended the dialog.
constexpr int kResultQuit = -1;

class CDialog {
public:
    explicit CDialog(const CDialogTemplate& dialogTemplate) : m_template(dialogTemplate) {}
    virtual ~CDialog();
    CDialog(const CDialog&) = delete;
    CDialog& operator=(const CDialog&) = delete;

    int DoModal(CDialogHost& host) { return host.RunModal(*this); }

    const CDialogTemplate& GetTemplate() const { return m_template; }

    // Handlers, called by the host on the dialog's thread.
    virtual void OnInitDialog() {}
    // A button's command (or one posted); kIdOk and kIdCancel end the
    // dialog unless overridden.
    virtual void OnCommand(int nId);
    virtual void OnOK() { EndDialog(kIdOk); }
    virtual void OnCancel() { EndDialog(kIdCancel); }
    virtual void OnSysCommand(int /*nCommand*/) {}
    // The dialog is going away (ended, cancelled or quit): release what it
    // holds while its controls still exist.
    virtual void OnDestroy() {}
    // Whether the dialog waits for an operator. A dialog that runs
    // unattended says no, and a terminal host then never reads its input.
    virtual bool IsWaitingForOperator() const { return true; }

    // Called by hosts when the dialog starts and ends running.
    void Attach(CDialogSite* pSite) { m_pSite = pSite; }
    CDialogSite* GetSite() const { return m_pSite; }

protected:
    // The controls, through the host. Outside a run they do nothing and
    // read as empty.
    std::string GetItemText(int nId) const;
    void SetItemText(int nId, const std::string& strText);
    void EnableItem(int nId, bool bEnable);
    bool IsItemEnabled(int nId) const;
    void ShowItem(int nId, bool bShow);
    void MoveItem(int nId, const CRect& rect);
    CRect GetItemRect(int nId) const;
    void SetFocusItem(int nId);
    CRect GetClientRect() const;
    void ListInsert(int nId, int nIndex, const std::string& strText);
    void SetItemProgress(int nId, int nPosition);
    int GetItemProgress(int nId) const;
    void AddSystemMenuItem(int nCommand, const std::string& strText);
    void ShowMessageBox(const std::string& strText);
    void PostCommand(int nId);
    void EndDialog(int nResult);
    void Minimize();
    int RunChild(CDialog& dialog);

public:
    // Any thread, while the dialog runs.
    void PostQuit();

private:
    const CDialogTemplate& m_template;
    CDialogSite* m_pSite = nullptr;
};

}  // namespace ui
