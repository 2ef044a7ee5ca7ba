#include "client/clientdlg.h"

#include <algorithm>
#include <exception>

#include "client/transfer/ftpactivesyncsockclient.h"
#include "common/macros.h"
#include "common/settings.h"
#include "common/text.h"
#include "platform/console.h"
#include "ui/aboutdlg.h"

namespace client {

using ui::EControlKind;

namespace {

const char* const kAboutMenuText = "&About TandrelClient...";

// Commands the run's thread posts to the dialog; outside the range of the
// template's control ids.
constexpr int kCommandRunLines = 0x7F01;
constexpr int kCommandRunEnded = 0x7F02;

// The edit fields in the order in which they are checked and focused.
const int kServerFields[] = {IDC_LABEL, IDC_ADDRESS, IDC_PORT, IDC_USER, IDC_PASSWORD};

// The controls of the settings layout, hidden once the run starts.
const int kSettingsControls[] = {IDC_SERVER_GROUP,  IDC_USER_GROUP,   IDC_LABEL_LABEL,
                                 IDC_ADDRESS_LABEL, IDC_PORT_LABEL,   IDC_USER_LABEL,
                                 IDC_PASSWORD_LABEL, IDC_LABEL,       IDC_ADDRESS,
                                 IDC_PORT,          IDC_USER,         IDC_PASSWORD};

}  // namespace

const ui::CDialogTemplate& GetClientDialogTemplate() {
    static const ui::CDialogTemplate dialogTemplate = [] {
        ui::CDialogTemplate t;
        t.nResourceId = IDD_TANDRELCLIENT_DIALOG;
        t.strCaption = "TandrelClient";
        t.cx = 277;
        t.cy = 183;
        t.bSystemMenu = true;
        t.controls = {
            {IDC_CONNECT, EControlKind::PushButton, "Connect", 67, 157, 50, 16,
             ui::kStyleDefaultButton},
            {ui::kIdCancel, EControlKind::PushButton, "Cancel", 122, 157, 50, 16},
            {IDC_LABEL_LABEL, EControlKind::Label, "Label:", 9, 22, 20, 8},
            {IDC_ADDRESS_LABEL, EControlKind::Label, "Address:", 9, 41, 30, 8},
            {IDC_PORT_LABEL, EControlKind::Label, "Port:", 9, 57, 17, 8},
            {IDC_USER_LABEL, EControlKind::Label, "User:", 9, 92, 18, 8},
            {IDC_PASSWORD_LABEL, EControlKind::Label, "Password:", 9, 108, 34, 8},
            {IDC_LABEL, EControlKind::Edit, "", 43, 19, 219, 12},
            {IDC_ADDRESS, EControlKind::Edit, "", 44, 36, 217, 12},
            {IDC_PORT, EControlKind::Edit, "", 44, 54, 56, 12},
            {IDC_USER, EControlKind::Edit, "", 44, 88, 216, 12},
            {IDC_PASSWORD, EControlKind::Edit, "", 44, 104, 216, 12, ui::kStylePassword},
            {IDC_SERVER_GROUP, EControlKind::GroupBox, "Server Information", 7, 7, 263, 66},
            {IDC_USER_GROUP, EControlKind::GroupBox, "User Information", 7, 77, 263, 47},
            {IDC_LOG_LIST, EControlKind::ListBox, "", 6, 78, 264, 12,
             ui::kStyleHidden | ui::kStyleNoSelection | ui::kStyleVScroll | ui::kStyleHScroll |
                 ui::kStyleNoIntegralHeight},
            // Under the log list while a transfer runs (ShowRunLayout
            // places them); their heights are the template's.
            {IDC_PROGRESS, EControlKind::ProgressBar, "", 1, 106, 275, 9, ui::kStyleHidden},
            {IDC_PROGRESS_TEXT, EControlKind::Label, "", 1, 118, 275, 8,
             ui::kStyleHidden | ui::kStyleEllipsis},
        };
        return t;
    }();
    return dialogTemplate;
}

CTandrelClientDlg::CTandrelClientDlg(bool bAutoStart, bool bSilent, bool bPutFirst,
                                     const std::string& strScriptPath)
    : ui::CDialog(GetClientDialogTemplate()),
      m_bAutoStart(bAutoStart),
      m_bSilent(bSilent),
      m_bPutFirst(bPutFirst),
      m_log(*this, this),
      m_strScriptPath(strScriptPath) {}

CTandrelClientDlg::~CTandrelClientDlg() {
    JoinRun();
    m_pClient.reset();
    m_log.CloseLogFile();
}

void CTandrelClientDlg::ShowMessage(const std::string& strText) { ShowMessageBox(strText); }

void CTandrelClientDlg::InsertLogLine(const std::string& strLine) {
    ListInsert(IDC_LOG_LIST, 0, strLine);
}

int ProgressPosition(const CTransferProgress& progress) {
    if (progress.nTotal < 0) {
        return ui::kProgressUnknown;
    }
    if (progress.nTotal == 0) {
        return ui::kProgressMax;
    }
    // In floating point: bytes times the bar's range would overflow for
    // files of some petabytes.
    const double dShare = static_cast<double>(std::max<int64_t>(progress.nDone, 0)) /
                          static_cast<double>(progress.nTotal);
    return static_cast<int>(std::min(dShare, 1.0) * ui::kProgressMax);
}

void CTandrelClientDlg::QueueRunEvent(CRunEvent event) {
    bool bFirst;
    {
        std::lock_guard<std::mutex> lock(m_runMutex);
        bFirst = m_runEvents.empty();
        if (event.eKind == CRunEvent::EKind::Progress && !bFirst &&
            m_runEvents.back().eKind == CRunEvent::EKind::Progress) {
            // Figures not yet shown are stale once newer ones are there.
            m_runEvents.back() = std::move(event);
        } else {
            m_runEvents.push_back(std::move(event));
        }
    }
    // One posted command carries every event queued until it is delivered.
    if (bFirst) {
        PostCommand(kCommandRunLines);
    }
}

void CTandrelClientDlg::AddLogLine(const std::string& strLine) {
    QueueRunEvent({CRunEvent::EKind::Line, strLine, {}});
}

void CTandrelClientDlg::ShowProgress(const CTransferProgress& progress) {
    QueueRunEvent({CRunEvent::EKind::Progress, std::string(), progress});
}

void CTandrelClientDlg::EndProgress() {
    QueueRunEvent({CRunEvent::EKind::EndProgress, std::string(), {}});
}

void CTandrelClientDlg::DeliverRunLines() {
    std::vector<CRunEvent> events;
    {
        std::lock_guard<std::mutex> lock(m_runMutex);
        events.swap(m_runEvents);
    }
    for (const CRunEvent& event : events) {
        switch (event.eKind) {
            case CRunEvent::EKind::Line:
                m_log.AddLogLine(event.strLine);
                break;
            case CRunEvent::EKind::Progress:
                UpdateProgress(event.progress);
                break;
            case CRunEvent::EKind::EndProgress:
                HideProgress();
                break;
        }
    }
}

void CTandrelClientDlg::UpdateProgress(const CTransferProgress& progress) {
    const std::string strText = FormatProgress(progress);
    SetItemText(IDC_PROGRESS_TEXT, strText);
    // The bar carries the words too: a terminal shows them as its status
    // line.
    SetItemText(IDC_PROGRESS, strText);
    SetItemProgress(IDC_PROGRESS, ProgressPosition(progress));
    if (!m_bProgressShown) {
        m_bProgressShown = true;
        ShowItem(IDC_PROGRESS, true);
        ShowItem(IDC_PROGRESS_TEXT, true);
    }
}

void CTandrelClientDlg::HideProgress() {
    if (m_bProgressShown) {
        m_bProgressShown = false;
        ShowItem(IDC_PROGRESS, false);
        ShowItem(IDC_PROGRESS_TEXT, false);
    }
}

bool CTandrelClientDlg::CollectRun() {
    if (!m_runThread.joinable()) {
        return false;
    }
    m_runThread.join();
    DeliverRunLines();
    // A run that ended leaves no bar standing, whatever it said last.
    HideProgress();
    m_eOutcome = m_eRunResult;
    return true;
}

void CTandrelClientDlg::OnRunEnded() {
    if (!CollectRun()) {
        return;
    }
    if (m_nEndAfterRun == ui::kIdCancel) {
        EndDialog(ui::kIdCancel);
    } else if (m_nEndAfterRun != 0 || m_bSilent) {
        PostQuit();
    }
}

void CTandrelClientDlg::StopRun(int nEndWith) {
    if (m_nEndAfterRun == 0) {
        m_nEndAfterRun = nEndWith;
    }
    m_pRun->RequestStop();
}

void CTandrelClientDlg::JoinRun() {
    if (m_runThread.joinable()) {
        m_pRun->RequestStop();
    }
    CollectRun();
}

void CTandrelClientDlg::WriteFailureCause(const std::string& strLine) {
    platform::WriteErrorLine(strLine);
}

std::unique_ptr<CFtpSockClientBase> CTandrelClientDlg::CreateClient() {
    if (m_Script.m_bActiveSync) {
        return std::make_unique<CFtpActiveSyncSockClient>();
    }
    auto pClient = std::make_unique<CFtpSockClient>();
    if (m_Script.m_nTimeoutSeconds > 0) {
        pClient->SetTimeout(m_Script.m_nTimeoutSeconds * 1000);
    }
    pClient->SetDataMode(m_Script.m_eDataMode);
    if (m_Script.m_bTls) {
        std::string strError;
        std::shared_ptr<platform::CTlsContext> pTls =
            platform::CTlsContext::ForClient(m_Script.m_strTlsCaFile, strError);
        pClient->SetTlsHostName(m_Script.GetHostName());
        if (pTls) {
            pClient->SetTls(std::move(pTls));
        } else {
            pClient->SetTlsUnavailable(strError);
        }
    }
    return pClient;
}

void CTandrelClientDlg::OnConnect() {
    if (m_bStarted) {
        if (IsRunBusy()) {
            StopRun(ui::kResultQuit);
        } else {
            PostQuit();
        }
        return;
    }
    if (!ExchangeServerFields(true)) {
        ShowMessageBox("Invalid parameter");
        return;
    }
    m_log.OpenLogFile(m_Script.GetLogFile());
    m_bStarted = true;
    ShowRunLayout();

    // The client stays with the dialog until the dialog goes.
    m_eOutcome = ERunOutcome::FilesFailed;
    try {
        m_pClient = CreateClient();
        CSyncRunSink& sink = *this;
        m_pRun = std::make_unique<CSyncRun>(m_Script, m_bPutFirst, sink, *m_pClient);
        m_runThread = std::thread([this] {
            const ERunOutcome eOutcome = m_pRun->Run();
            {
                std::lock_guard<std::mutex> lock(m_runMutex);
                m_eRunResult = eOutcome;
            }
            PostCommand(kCommandRunEnded);
        });
    } catch (const std::exception& e) {
        WriteFailureCause(std::string("the run broke off: ") + e.what());
        if (m_bSilent) {
            PostQuit();
        }
    }
}

bool CTandrelClientDlg::IsWaitingForOperator() const {
    // Unattended, nobody answers: not while the posted start is on its way,
    // and not after a silent run, which ends the program by itself.
    // Nor during the run: a line or the end of input meant for the end of
    // the run must not break it off.
    if (m_bStarted) {
        return !m_bSilent && !IsRunBusy();
    }
    return !m_bAutoStartPosted;
}

void CTandrelClientDlg::OnInitDialog() {
    AddSystemMenuItem(ui::kSysCommandAbout, kAboutMenuText);
    if (!m_Script.Load(m_strScriptPath, *this)) {
        ShowMessageBox("Can't open file '" + m_strScriptPath + "'!!!");
        PostQuit();
        return;
    }
    m_bScriptLoaded = true;
    if (ExchangeServerFields(false)) {
        if (m_bAutoStart) {
            m_bAutoStartPosted = true;
            PostCommand(IDC_CONNECT);
        }
        if (m_bSilent) {
            Minimize();
        }
    }
}

void CTandrelClientDlg::OnCommand(int nId) {
    if (nId == IDC_CONNECT) {
        OnConnect();
    } else if (nId == kCommandRunLines) {
        DeliverRunLines();
    } else if (nId == kCommandRunEnded) {
        OnRunEnded();
    } else {
        ui::CDialog::OnCommand(nId);
    }
}

void CTandrelClientDlg::OnSysCommand(int nCommand) {
    if (nCommand == ui::kSysCommandAbout) {
        ui::CAboutDlg about("TandrelClient", GetLocalMachineId(), GetLocalIpNumber());
        RunChild(about);
    }
}

void CTandrelClientDlg::OnCancel() {
    if (IsRunBusy()) {
        StopRun(ui::kIdCancel);
    } else {
        ui::CDialog::OnCancel();
    }
}

void CTandrelClientDlg::OnDestroy() {
    JoinRun();
    m_pClient.reset();
    m_log.CloseLogFile();
}

std::vector<bool> CTandrelClientDlg::CheckServerFields() const {
    // A TCP port has 16 bits: a larger number would reach some other port
    // than the one shown and logged.
    const int nPort = m_Script.m_nPort;
    return {
        !m_Script.GetLabel().empty(),
        !m_Script.m_bBluetooth && (!m_Script.GetAddress().empty() || m_Script.m_bActiveSync),
        m_Script.m_bActiveSync || (nPort >= 1 && nPort <= 65535),
        !m_Script.GetUser().empty(),
        !m_Script.GetPassword().empty(),
    };
}

bool CTandrelClientDlg::ExchangeServerFields(bool bToScript) {
    if (bToScript) {
        m_Script.SetLabel(GetItemText(IDC_LABEL));
        m_Script.SetAddress(GetItemText(IDC_ADDRESS));
        m_Script.SetUser(GetItemText(IDC_USER));
        m_Script.SetPassword(GetItemText(IDC_PASSWORD));
        const std::string strPort = GetItemText(IDC_PORT);
        m_Script.m_bBluetooth = false;
        m_Script.m_bActiveSync = false;
        if (IsAllDigits(strPort)) {
            m_Script.m_nPort = DecimalToInt(strPort);
        } else {
            m_Script.m_nPort = -1;
            m_Script.m_bBluetooth = EqualsNoCase(strPort, "BT");
            m_Script.m_bActiveSync = EqualsNoCase(strPort, "ActiveSync");
        }
    } else {
        SetItemText(IDC_LABEL, m_Script.GetLabel());
        SetItemText(IDC_ADDRESS, m_Script.GetAddress());
        SetItemText(IDC_USER, m_Script.GetUser());
        SetItemText(IDC_PASSWORD, m_Script.GetPassword());
        SetItemText(IDC_PORT, m_Script.m_bBluetooth    ? "BT"
                              : m_Script.m_bActiveSync ? "ActiveSync"
                                                       : std::to_string(m_Script.m_nPort));
    }
    if (m_Script.m_bBluetooth) {
        ShowMessageBox("BlueeTooth only works under WINCE. Change the server Port");
    }
    const std::vector<bool> usable = CheckServerFields();
    bool bAllUsable = true;
    for (size_t i = 0; i < usable.size(); ++i) {
        if (!usable[i] && bAllUsable) {
            SetFocusItem(kServerFields[i]);
        }
        bAllUsable = bAllUsable && usable[i];
        EnableItem(kServerFields[i], !usable[i]);
    }
    return bAllUsable;
}

void CTandrelClientDlg::ShowRunLayout() {
    for (int nId : kSettingsControls) {
        ShowItem(nId, false);
    }
    const ui::CRect client = GetClientRect();
    const ui::CRect log = {client.left + 2, client.top + 2, client.right - 2, client.bottom - 130};
    MoveItem(IDC_LOG_LIST, log);
    ShowItem(IDC_LOG_LIST, true);

    // The progress of a transfer right under the list, as wide as it, each
    // control at its own height; shown only while a transfer runs.
    const int nBarTop = log.bottom + 6;
    const int nBarHeight = GetItemRect(IDC_PROGRESS).Height();
    MoveItem(IDC_PROGRESS, {log.left, nBarTop, log.right, nBarTop + nBarHeight});
    const int nTextTop = nBarTop + nBarHeight + 4;
    const int nTextHeight = GetItemRect(IDC_PROGRESS_TEXT).Height();
    MoveItem(IDC_PROGRESS_TEXT, {log.left, nTextTop, log.right, nTextTop + nTextHeight});

    SetItemText(IDC_CONNECT, "End");
    const ui::CRect button = GetItemRect(IDC_CONNECT);
    const int nLeft = client.left + (client.Width() - button.Width()) / 2;
    MoveItem(IDC_CONNECT, {nLeft, button.top, nLeft + button.Width(), button.bottom});
    ShowItem(ui::kIdCancel, false);
}

}  // namespace client
