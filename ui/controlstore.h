#pragma once

#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "ui/dialog.h"

// A dialog's controls kept in memory, for hosts that draw no window (the
// terminal host and the test host): every control's text, state, place and
// list items, the focus, the system menu, and the queue of posted commands
// and quit requests.

namespace ui {

struct CControlState {
    EControlKind eKind = EControlKind::Label;
    std::string strText;
    bool bEnabled = true;
    bool bVisible = true;
    unsigned nStyles = kStyleNone;
    CRect rect;
    std::vector<std::string> items;  // list boxes, top first
    int nPosition = 0;               // progress bars
};

class CControlStore : public CDialogSite {
public:
    // Builds the controls of dialog's template; the base units convert
    // dialog units to pixels.
    CControlStore(CDialog& dialog, int nBaseX = kDefaultBaseX, int nBaseY = kDefaultBaseY);

    std::string GetText(int nId) const override;
    void SetText(int nId, const std::string& strText) override;
    void Enable(int nId, bool bEnable) override;
    bool IsEnabled(int nId) const override;
    void Show(int nId, bool bShow) override;
    bool IsVisible(int nId) const override;
    void Move(int nId, const CRect& rect) override;
    CRect GetRect(int nId) const override;
    void SetFocus(int nId) override { m_nFocus = Has(nId) ? nId : m_nFocus; }
    int GetFocus() const override { return m_nFocus; }
    CRect GetClientRect() const override { return m_client; }
    void ListInsert(int nId, int nIndex, const std::string& strText) override;
    int ListCount(int nId) const override;
    void SetProgress(int nId, int nPosition) override;
    int GetProgress(int nId) const override { return Control(nId).nPosition; }
    void AddSystemMenuItem(int nCommand, const std::string& strText) override;
    void PostCommand(int nId) override;
    void PostQuit() override;
    void EndDialog(int nResult) override;
    void Minimize() override { m_bMinimized = true; }

    bool Has(int nId) const { return m_controls.count(nId) != 0; }
    const CControlState& Control(int nId) const;
    CDialog& Dialog() const { return m_dialog; }
    bool IsEnded() const { return m_bEnded; }
    int Result() const { return m_nResult; }
    bool IsMinimized() const { return m_bMinimized; }
    const std::vector<std::pair<int, std::string>>& SystemMenu() const { return m_systemMenu; }
    // The button that Enter presses: the visible, enabled default button.
    // 0 when there is none.
    int DefaultButton() const;

    // Delivers what was posted, in order, until the queue is empty or the
    // dialog has ended. A quit request ends the dialog with kResultQuit.
    void DeliverPosted();
    // Waits up to nTimeoutMs for something to be posted; true if something
    // is waiting.
    bool WaitForPosted(int nTimeoutMs);
    // Whether a quit request waits in the queue.
    bool IsQuitPending() const;
    // Wakes WaitForPosted without posting (for hosts with other inputs).
    void Wake();

protected:
    CControlState& Mutable(int nId);

    CDialog& m_dialog;
    std::map<int, CControlState> m_controls;
    std::vector<int> m_order;  // template order
    std::vector<std::pair<int, std::string>> m_systemMenu;
    CRect m_client;
    int m_nFocus = 0;
    bool m_bEnded = false;
    int m_nResult = 0;
    bool m_bMinimized = false;

    // Posted work, from any thread: a command id, or a quit request.
    struct CPosted {
        bool bQuit;
        int nId;
    };
    mutable std::mutex m_postedMutex;
    std::condition_variable m_posted;
    std::deque<CPosted> m_queue;
    bool m_bWoken = false;
};

}  // namespace ui
