#include "ui/test_host.h"

#include <algorithm>
#include <chrono>

namespace ui {

class CTestHost::CSite : public CControlStore {
public:
    CSite(CTestHost& host, CDialog& dialog) : CControlStore(dialog), m_host(host) {}

    void ShowMessageBox(const std::string& strText) override { m_host.m_messages.push_back(strText); }
    int RunModal(CDialog& dialog) override { return m_host.RunModal(dialog); }
    void OnDialogGone() override { m_bGone = true; }

    bool m_bGone = false;

private:
    CTestHost& m_host;
};

CTestHost::~CTestHost() {
    if (m_pSite && !m_bDestroyed && !static_cast<CSite&>(*m_pSite).m_bGone) {
        m_pSite->Dialog().OnDestroy();
        m_pSite->Dialog().Attach(nullptr);
    }
}

void CTestHost::Open(CDialog& dialog) {
    m_pSite = std::make_unique<CSite>(*this, dialog);
    m_bDestroyed = false;
    dialog.Attach(m_pSite.get());
    dialog.OnInitDialog();
    Deliver();
}

int CTestHost::RunModal(CDialog& dialog) {
    CSite site(*this, dialog);
    dialog.Attach(&site);
    dialog.OnInitDialog();
    CChildDialog child;
    child.strCaption = dialog.GetTemplate().strCaption;
    for (const CControlTemplate& control : dialog.GetTemplate().controls) {
        child.texts[control.nId] = site.GetText(control.nId);
    }
    m_children.push_back(child);
    dialog.OnCommand(kIdOk);
    dialog.OnDestroy();
    dialog.Attach(nullptr);
    return site.IsEnded() ? site.Result() : kIdOk;
}

void CTestHost::Deliver() {
    m_pSite->DeliverPosted();
    if (m_pSite->IsEnded() && !m_bDestroyed) {
        m_bDestroyed = true;
        m_pSite->Dialog().OnDestroy();
        m_pSite->Dialog().Attach(nullptr);
    }
}

bool CTestHost::Press(int nId) {
    if (m_bDestroyed || !m_pSite->IsVisible(nId) || !m_pSite->IsEnabled(nId) ||
        Control(nId).eKind != EControlKind::PushButton) {
        return false;
    }
    m_pSite->Dialog().OnCommand(nId);
    Deliver();
    return true;
}

void CTestHost::Cancel() {
    if (!m_bDestroyed) {
        m_pSite->Dialog().OnCommand(kIdCancel);
        Deliver();
    }
}

void CTestHost::Type(int nId, const std::string& strText) { m_pSite->SetText(nId, strText); }

void CTestHost::ChooseSystemMenu(int nCommand) {
    if (!m_bDestroyed) {
        m_pSite->Dialog().OnSysCommand(nCommand);
        Deliver();
    }
}

bool CTestHost::WaitForEnd(int nTimeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(nTimeoutMs);
    while (!m_bDestroyed) {
        const auto now = std::chrono::steady_clock::now();
        if (now >= deadline) {
            break;
        }
        m_pSite->WaitForPosted(static_cast<int>(
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now).count()));
        Deliver();
    }
    return m_bDestroyed;
}

bool CTestHost::WaitUntil(const std::function<bool()>& done, int nTimeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(nTimeoutMs);
    while (!done() && !m_bDestroyed) {
        const auto now = std::chrono::steady_clock::now();
        if (now >= deadline) {
            break;
        }
        // Short waits: done() may turn true without anything being posted.
        m_pSite->WaitForPosted(static_cast<int>(std::min<long long>(
            50, std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now).count())));
        Deliver();
    }
    return done();
}

}  // namespace ui
