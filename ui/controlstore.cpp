#include "ui/controlstore.h"

#include <chrono>

namespace ui {

namespace {

const CControlState g_noControl{};

}  // namespace

CControlStore::CControlStore(CDialog& dialog, int nBaseX, int nBaseY) : m_dialog(dialog) {
    const CDialogTemplate& dialogTemplate = dialog.GetTemplate();
    m_client = DialogUnitsToPixels(0, 0, dialogTemplate.cx, dialogTemplate.cy, nBaseX, nBaseY);
    for (const CControlTemplate& control : dialogTemplate.controls) {
        CControlState& state = m_controls[control.nId];
        state.eKind = control.eKind;
        state.strText = control.strText;
        state.nStyles = control.nStyles;
        state.bEnabled = (control.nStyles & kStyleDisabled) == 0;
        state.bVisible = (control.nStyles & kStyleHidden) == 0;
        state.rect = DialogUnitsToPixels(control.x, control.y, control.cx, control.cy, nBaseX,
                                         nBaseY);
        m_order.push_back(control.nId);
    }
}

const CControlState& CControlStore::Control(int nId) const {
    auto it = m_controls.find(nId);
    return it == m_controls.end() ? g_noControl : it->second;
}

CControlState& CControlStore::Mutable(int nId) {
    // A dialog that names a control its template lacks gets a scratch one,
    // as a window system would simply fail the call.
    static thread_local CControlState scratch;
    auto it = m_controls.find(nId);
    if (it == m_controls.end()) {
        scratch = CControlState{};
        return scratch;
    }
    return it->second;
}

std::string CControlStore::GetText(int nId) const { return Control(nId).strText; }
void CControlStore::SetText(int nId, const std::string& strText) { Mutable(nId).strText = strText; }
void CControlStore::Enable(int nId, bool bEnable) { Mutable(nId).bEnabled = bEnable; }
bool CControlStore::IsEnabled(int nId) const { return Has(nId) && Control(nId).bEnabled; }
void CControlStore::Show(int nId, bool bShow) { Mutable(nId).bVisible = bShow; }
bool CControlStore::IsVisible(int nId) const { return Has(nId) && Control(nId).bVisible; }
void CControlStore::Move(int nId, const CRect& rect) { Mutable(nId).rect = rect; }
CRect CControlStore::GetRect(int nId) const { return Control(nId).rect; }

void CControlStore::ListInsert(int nId, int nIndex, const std::string& strText) {
    std::vector<std::string>& items = Mutable(nId).items;
    if (nIndex < 0 || static_cast<size_t>(nIndex) > items.size()) {
        items.push_back(strText);
    } else {
        items.insert(items.begin() + nIndex, strText);
    }
}

int CControlStore::ListCount(int nId) const { return static_cast<int>(Control(nId).items.size()); }

void CControlStore::SetProgress(int nId, int nPosition) {
    // Only a bar has a position, as a window system would ignore the call
    // for any other control.
    if (Control(nId).eKind == EControlKind::ProgressBar) {
        Mutable(nId).nPosition = ClampProgress(nPosition);
    }
}

void CControlStore::AddSystemMenuItem(int nCommand, const std::string& strText) {
    m_systemMenu.emplace_back(nCommand, strText);
}

void CControlStore::PostCommand(int nId) {
    {
        std::lock_guard<std::mutex> lock(m_postedMutex);
        m_queue.push_back({false, nId});
    }
    m_posted.notify_all();
}

void CControlStore::PostQuit() {
    {
        std::lock_guard<std::mutex> lock(m_postedMutex);
        m_queue.push_back({true, 0});
    }
    m_posted.notify_all();
}

void CControlStore::EndDialog(int nResult) {
    if (!m_bEnded) {
        m_bEnded = true;
        m_nResult = nResult;
    }
}

int CControlStore::DefaultButton() const {
    for (int nId : m_order) {
        const CControlState& state = Control(nId);
        if (state.eKind == EControlKind::PushButton && (state.nStyles & kStyleDefaultButton) &&
            state.bVisible && state.bEnabled) {
            return nId;
        }
    }
    return 0;
}

void CControlStore::DeliverPosted() {
    while (!m_bEnded) {
        CPosted posted;
        {
            std::lock_guard<std::mutex> lock(m_postedMutex);
            if (m_queue.empty()) {
                return;
            }
            posted = m_queue.front();
            m_queue.pop_front();
        }
        if (posted.bQuit) {
            EndDialog(kResultQuit);
        } else {
            m_dialog.OnCommand(posted.nId);
        }
    }
}

bool CControlStore::WaitForPosted(int nTimeoutMs) {
    std::unique_lock<std::mutex> lock(m_postedMutex);
    m_posted.wait_for(lock, std::chrono::milliseconds(nTimeoutMs),
                      [this] { return !m_queue.empty() || m_bWoken; });
    m_bWoken = false;
    return !m_queue.empty();
}

bool CControlStore::IsQuitPending() const {
    std::lock_guard<std::mutex> lock(m_postedMutex);
    for (const CPosted& posted : m_queue) {
        if (posted.bQuit) {
            return true;
        }
    }
    return false;
}

void CControlStore::Wake() {
    {
        std::lock_guard<std::mutex> lock(m_postedMutex);
        m_bWoken = true;
    }
    m_posted.notify_all();
}

}  // namespace ui
