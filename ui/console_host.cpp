#include "ui/console_host.h"

#include <cstdio>
#include <deque>
#include <thread>

#include "platform/console.h"
#include "ui/controlstore.h"

namespace ui {

std::string FitStatusLine(const std::string& strText, size_t nColumns) {
    // The text split into its UTF-8 characters, each one column.
    std::vector<std::string> characters;
    for (unsigned char c : strText) {
        if ((c & 0xC0) == 0x80 && !characters.empty()) {
            characters.back() += static_cast<char>(c);
        } else if (c < 0x20 || c == 0x7F) {
            // A line end or a tab in a file name would break the line.
            characters.emplace_back("?");
        } else {
            characters.emplace_back(1, static_cast<char>(c));
        }
    }
    std::string strFitted;
    if (characters.size() <= nColumns) {
        for (const std::string& character : characters) {
            strFitted += character;
        }
        return strFitted;
    }
    const std::string strGap = "...";
    if (nColumns <= strGap.size()) {
        return strGap.substr(0, nColumns);
    }
    const size_t nHead = nColumns / 4;
    const size_t nTail = nColumns - strGap.size() - nHead;
    for (size_t i = 0; i < nHead; ++i) {
        strFitted += characters[i];
    }
    strFitted += strGap;
    for (size_t i = characters.size() - nTail; i < characters.size(); ++i) {
        strFitted += characters[i];
    }
    return strFitted;
}

// Lines read from standard input by the reader thread. Shared with that
// thread, which may outlive the host while it waits for input.
struct CConsoleHost::CInput {
    std::mutex mutex;
    std::deque<std::string> lines;
    bool bEnded = false;
    bool bStarted = false;
    CControlStore* pWaiter = nullptr;  // woken when a line or the end arrives
};

class CConsoleHost::CSite : public CControlStore {
public:
    CSite(CConsoleHost& host, CDialog& dialog) : CControlStore(dialog), m_host(host) {}

    void ListInsert(int nId, int nIndex, const std::string& strText) override {
        CControlStore::ListInsert(nId, nIndex, strText);
        // Standard output and standard error share the terminal: the line
        // must not land beside the status, nor the status stay above it.
        ClearStatus();
        std::fputs((strText + "\n").c_str(), stdout);
        std::fflush(stdout);
        ShowStatus();
    }

    void ShowMessageBox(const std::string& strText) override {
        ClearStatus();
        std::fputs((strText + "\n").c_str(), stderr);
        std::fflush(stderr);
        ShowStatus();
    }

    void SetText(int nId, const std::string& strText) override {
        CControlStore::SetText(nId, strText);
        if (Control(nId).eKind == EControlKind::ProgressBar) {
            ShowStatus();
        }
    }

    void SetProgress(int nId, int nPosition) override {
        CControlStore::SetProgress(nId, nPosition);
        if (Control(nId).eKind == EControlKind::ProgressBar) {
            ShowStatus();
        }
    }

    void Show(int nId, bool bShow) override {
        CControlStore::Show(nId, bShow);
        if (Control(nId).eKind == EControlKind::ProgressBar) {
            ShowStatus();
        }
    }

    // The status line of the first visible progress bar, as it stands now;
    // cleared when there is none (or it has nothing to say).
    void ShowStatus() {
        if (!m_host.m_bStatusLine) {
            return;
        }
        std::string strStatus;
        for (int nId : m_order) {
            const CControlState& control = Control(nId);
            if (control.eKind != EControlKind::ProgressBar || !control.bVisible) {
                continue;
            }
            strStatus = control.strText;
            if (strStatus.empty() && control.nPosition != kProgressUnknown) {
                strStatus = std::to_string(control.nPosition * 100 / kProgressMax) + "%";
            }
            break;
        }
        // Written whenever asked, not only when it changed: a line written
        // on another thread (platform::WriteErrorLine) may have cleared it.
        std::fflush(stdout);
        platform::WriteErrorStatus(FitStatusLine(strStatus));
    }

    // Clears the status line before something else is written.
    void ClearStatus() {
        if (m_host.m_bStatusLine) {
            platform::WriteErrorStatus(std::string());
        }
    }

    int RunModal(CDialog& dialog) override { return m_host.RunModal(dialog); }

    // The label of edit nId, as a prompt: the nearest label to its left on
    // the same row, or else the last label before it in the template.
    std::string LabelOf(int nId) const {
        const CRect& edit = Control(nId).rect;
        std::string strLabel;
        int nBestRight = -1;
        for (int nControl : m_order) {
            const CControlState& control = Control(nControl);
            const CRect& rect = control.rect;
            if (control.eKind == EControlKind::Label && rect.right <= edit.left &&
                rect.top < edit.bottom && edit.top < rect.bottom && rect.right > nBestRight) {
                strLabel = control.strText;
                nBestRight = rect.right;
            }
        }
        if (nBestRight >= 0) {
            return strLabel;
        }
        for (int nControl : m_order) {
            if (nControl == nId) {
                break;
            }
            if (Control(nControl).eKind == EControlKind::Label) {
                strLabel = Control(nControl).strText;
            }
        }
        return strLabel;
    }

    std::vector<int> Edits() const {
        std::vector<int> edits;
        for (int nId : m_order) {
            if (Control(nId).eKind == EControlKind::Edit && Control(nId).bVisible) {
                edits.push_back(nId);
            }
        }
        return edits;
    }

private:
    CConsoleHost& m_host;
};

CConsoleHost::CConsoleHost() : CConsoleHost(platform::IsErrorTerminal()) {}

CConsoleHost::CConsoleHost(bool bStatusLine)
    : m_bStatusLine(bStatusLine), m_pInput(std::make_shared<CInput>()) {
    platform::WatchStopRequests([this] { OnStopRequest(); });
}

CConsoleHost::~CConsoleHost() {
    platform::WatchStopRequests({});
    std::lock_guard<std::mutex> lock(m_pInput->mutex);
    m_pInput->pWaiter = nullptr;
}

void CConsoleHost::ShowMessageBox(const std::string& strText) {
    if (m_bStatusLine) {
        platform::WriteErrorStatus(std::string());
    }
    std::fputs((strText + "\n").c_str(), stderr);
    std::fflush(stderr);
}

void CConsoleHost::OnStopRequest() {
    std::lock_guard<std::mutex> lock(m_sitesMutex);
    m_bStopRequested = true;
    for (CSite* pSite : m_sites) {
        pSite->PostCommand(kIdCancel);
    }
}

void CConsoleHost::StartReader() {
    std::lock_guard<std::mutex> lock(m_pInput->mutex);
    if (m_pInput->bStarted) {
        return;
    }
    m_pInput->bStarted = true;
    std::thread([pInput = m_pInput] {
        for (;;) {
            std::string strLine;
            bool bLine = platform::ReadInputLine(strLine);
            std::lock_guard<std::mutex> lock(pInput->mutex);
            if (bLine) {
                pInput->lines.push_back(strLine);
            } else {
                pInput->bEnded = true;
            }
            if (pInput->pWaiter) {
                pInput->pWaiter->Wake();
            }
            if (!bLine) {
                return;
            }
        }
    }).detach();
}

CConsoleHost::ERead CConsoleHost::ReadLine(CSite& site, std::string& strLine) {
    StartReader();
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(m_pInput->mutex);
            if (!m_pInput->lines.empty()) {
                strLine = m_pInput->lines.front();
                m_pInput->lines.pop_front();
                m_pInput->pWaiter = nullptr;
                return ERead::Line;
            }
            if (m_pInput->bEnded) {
                m_pInput->pWaiter = nullptr;
                return ERead::Ended;
            }
            m_pInput->pWaiter = &site;
        }
        // A stop request or a quit from another thread must not wait for
        // the operator's line.
        if (site.WaitForPosted(60000)) {
            site.DeliverPosted();
            if (site.IsEnded() || !site.Dialog().IsWaitingForOperator()) {
                std::lock_guard<std::mutex> lock(m_pInput->mutex);
                m_pInput->pWaiter = nullptr;
                return ERead::Interrupted;
            }
        }
    }
}

bool CConsoleHost::AskForFields(CSite& site, bool bTerminal) {
    for (int nId : site.Edits()) {
        const CControlState& edit = site.Control(nId);
        if (site.IsEnded() || !edit.bEnabled || (edit.nStyles & kStyleReadOnly)) {
            continue;
        }
        site.ClearStatus();
        std::fputs((site.LabelOf(nId) + " ").c_str(), stderr);
        std::fflush(stderr);
        std::string strLine;
        ERead eRead;
        if (edit.nStyles & kStylePassword) {
            platform::CEchoOff echoOff;
            eRead = ReadLine(site, strLine);
            if (bTerminal) {
                std::fputs("\n", stderr);
            }
        } else {
            eRead = ReadLine(site, strLine);
        }
        if (eRead == ERead::Ended) {
            site.PostCommand(kIdCancel);
            return false;
        }
        if (eRead != ERead::Line) {
            break;
        }
        site.SetText(nId, strLine);
    }
    return true;
}

int CConsoleHost::RunModal(CDialog& dialog) {
    CSite site(*this, dialog);
    dialog.Attach(&site);
    {
        std::lock_guard<std::mutex> lock(m_sitesMutex);
        m_sites.push_back(&site);
        if (m_bStopRequested) {
            site.PostCommand(kIdCancel);
        }
    }
    dialog.OnInitDialog();

    // A dialog that gave up while opening shows nothing and asks nothing.
    const bool bOpened = !site.IsEnded() && !site.IsQuitPending();
    const bool bTerminal = platform::IsInputTerminal();
    for (int nId : bOpened ? site.Edits() : std::vector<int>()) {
        const CControlState& edit = site.Control(nId);
        std::string strValue = edit.strText;
        if ((edit.nStyles & kStylePassword) && !strValue.empty()) {
            strValue = std::string(strValue.size(), '*');
        }
        std::fputs((site.LabelOf(nId) + " " + strValue + "\n").c_str(), stdout);
    }
    std::fflush(stdout);
    bool bCancelPressed = false;
    if (bOpened && dialog.IsWaitingForOperator()) {
        bCancelPressed = !AskForFields(site, bTerminal);
    }

    std::string strHintFor;
    while (!site.IsEnded()) {
        site.DeliverPosted();
        if (site.IsEnded()) {
            break;
        }
        const int nButton = site.DefaultButton();
        if (!dialog.IsWaitingForOperator() || bCancelPressed) {
            site.WaitForPosted(60000);
            continue;
        }
        if (bTerminal && nButton != 0 && site.GetText(nButton) != strHintFor) {
            strHintFor = site.GetText(nButton);
            site.ClearStatus();
            std::fputs(("Press Enter for \"" + strHintFor + "\", end of input for \"Cancel\".\n")
                           .c_str(),
                       stderr);
            std::fflush(stderr);
        }
        std::string strLine;
        ERead eRead = ReadLine(site, strLine);
        if (eRead == ERead::Line && nButton != 0) {
            const std::string strCaption = site.GetText(nButton);
            dialog.OnCommand(nButton);
            // A press that the dialog refused (a value still missing or
            // wrong) leaves those fields enabled: ask for them again.
            site.DeliverPosted();
            if (!site.IsEnded() && dialog.IsWaitingForOperator() &&
                site.DefaultButton() == nButton && site.GetText(nButton) == strCaption) {
                bCancelPressed = !AskForFields(site, bTerminal);
            }
        } else if (eRead == ERead::Ended) {
            bCancelPressed = true;
            dialog.OnCommand(kIdCancel);
        }
    }

    dialog.OnDestroy();
    // Whatever the program writes after the dialog starts at the margin.
    site.ClearStatus();
    {
        std::lock_guard<std::mutex> lock(m_sitesMutex);
        m_sites.pop_back();
    }
    dialog.Attach(nullptr);
    return site.Result();
}

}  // namespace ui
