#include "ui/dialog.h"

namespace ui {

CDialog::~CDialog() {
    if (m_pSite) {
        m_pSite->OnDialogGone();
    }
}

void CDialog::OnCommand(int nId) {
    if (nId == kIdOk) {
        OnOK();
    } else if (nId == kIdCancel) {
        OnCancel();
    }
}

std::string CDialog::GetItemText(int nId) const {
    return m_pSite ? m_pSite->GetText(nId) : std::string();
}
void CDialog::SetItemText(int nId, const std::string& strText) {
    if (m_pSite) m_pSite->SetText(nId, strText);
}
void CDialog::EnableItem(int nId, bool bEnable) {
    if (m_pSite) m_pSite->Enable(nId, bEnable);
}
bool CDialog::IsItemEnabled(int nId) const { return m_pSite && m_pSite->IsEnabled(nId); }
void CDialog::ShowItem(int nId, bool bShow) {
    if (m_pSite) m_pSite->Show(nId, bShow);
}
void CDialog::MoveItem(int nId, const CRect& rect) {
    if (m_pSite) m_pSite->Move(nId, rect);
}
CRect CDialog::GetItemRect(int nId) const { return m_pSite ? m_pSite->GetRect(nId) : CRect(); }
void CDialog::SetFocusItem(int nId) {
    if (m_pSite) m_pSite->SetFocus(nId);
}
CRect CDialog::GetClientRect() const { return m_pSite ? m_pSite->GetClientRect() : CRect(); }
void CDialog::ListInsert(int nId, int nIndex, const std::string& strText) {
    if (m_pSite) m_pSite->ListInsert(nId, nIndex, strText);
}
void CDialog::SetItemProgress(int nId, int nPosition) {
    if (m_pSite) m_pSite->SetProgress(nId, nPosition);
}
int CDialog::GetItemProgress(int nId) const { return m_pSite ? m_pSite->GetProgress(nId) : 0; }
void CDialog::AddSystemMenuItem(int nCommand, const std::string& strText) {
    if (m_pSite) m_pSite->AddSystemMenuItem(nCommand, strText);
}
void CDialog::ShowMessageBox(const std::string& strText) {
    if (m_pSite) m_pSite->ShowMessageBox(strText);
}
void CDialog::PostCommand(int nId) {
    if (m_pSite) m_pSite->PostCommand(nId);
}
void CDialog::EndDialog(int nResult) {
    if (m_pSite) m_pSite->EndDialog(nResult);
}
void CDialog::Minimize() {
    if (m_pSite) m_pSite->Minimize();
}
int CDialog::RunChild(CDialog& dialog) { return m_pSite ? m_pSite->RunModal(dialog) : kResultQuit; }
void CDialog::PostQuit() {
    if (m_pSite) m_pSite->PostQuit();
}

}  // namespace ui
