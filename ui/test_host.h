#pragma once

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "ui/controlstore.h"
#include "ui/dialog.h"

// A host for tests of dialog logic: it keeps every control's state where a
// test can read it, lets the test type, press buttons and choose system-menu
// items, answers every message box at once and remembers its text. Dialogs
// opened above the main one are run to their initialisation, remembered and
// closed with OK.
namespace ui {

class CTestHost : public CDialogHost {
public:
    ~CTestHost() override;

    // Opens dialog and delivers what its initialisation posted. The dialog
    // then waits for the test.
    void Open(CDialog& dialog);

    // Runs a dialog above the open one (an About box, say).
    int RunModal(CDialog& dialog) override;
    void ShowMessageBox(const std::string& strText) override { m_messages.push_back(strText); }

    // Presses button nId if it is visible and enabled (false otherwise), then
    // delivers what was posted.
    bool Press(int nId);
    // Cancels as the window's close box would.
    void Cancel();
    void Type(int nId, const std::string& strText);
    void ChooseSystemMenu(int nCommand);
    // Delivers work posted from other threads until the dialog has ended or
    // nTimeoutMs has passed; true if it has ended.
    bool WaitForEnd(int nTimeoutMs);
    // Delivers work posted from other threads until done() holds, the dialog
    // has ended or nTimeoutMs has passed; returns done().
    bool WaitUntil(const std::function<bool()>& done, int nTimeoutMs);

    const CControlState& Control(int nId) const { return m_pSite->Control(nId); }
    std::string Text(int nId) const { return Control(nId).strText; }
    bool Enabled(int nId) const { return Control(nId).bEnabled; }
    bool Visible(int nId) const { return Control(nId).bVisible; }
    // A progress bar's position (0 to kProgressMax, or kProgressUnknown).
    int Progress(int nId) const { return Control(nId).nPosition; }
    int Focus() const { return m_pSite->GetFocus(); }
    bool IsEnded() const { return m_pSite->IsEnded(); }
    int Result() const { return m_pSite->Result(); }
    bool IsMinimized() const { return m_pSite->IsMinimized(); }
    CRect ClientRect() const { return m_pSite->GetClientRect(); }
    const std::vector<std::pair<int, std::string>>& SystemMenu() const {
        return m_pSite->SystemMenu();
    }

    // Every message box shown, in order.
    std::vector<std::string> m_messages;

    // A dialog opened above the main one, as it stood after its
    // initialisation.
    struct CChildDialog {
        std::string strCaption;
        std::map<int, std::string> texts;
    };
    std::vector<CChildDialog> m_children;

    class CSite;

private:
    void Deliver();

    std::unique_ptr<CControlStore> m_pSite;
    bool m_bDestroyed = false;
};

}  // namespace ui
