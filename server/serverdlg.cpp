#include "server/serverdlg.h"

#include <exception>

#include "common/macros.h"
#include "common/settings.h"
#include "common/text.h"
#include "platform/file.h"
#include "ui/aboutdlg.h"

namespace server {

using ui::EControlKind;

namespace {

const char* const kAboutMenuText = "&About TandrelServer...";
const char* const kMsgCantOpenFile = "Can't open file '%s'!!!";
// Posted to the dialog itself when the engine has lines for the log.
constexpr int kCommandEngineLines = 0x7F01;

// pszFormat with its one placeholder (two characters) replaced by strValue.
std::string Fill(const char* pszFormat, const char* pszPlaceholder, const std::string& strValue) {
    const std::string strFormat = pszFormat;
    const size_t nAt = strFormat.find(pszPlaceholder);
    return strFormat.substr(0, nAt) + strValue + strFormat.substr(nAt + 2);
}

std::string WithPath(const char* pszFormat, const std::string& strPath) {
    return Fill(pszFormat, "%s", strPath);
}

std::string WithPort(const char* pszFormat, int nPort) {
    return Fill(pszFormat, "%d", std::to_string(nPort));
}

// The controls that make up the settings layout, hidden while running.
const int kSettingsControls[] = {IDC_SERVER_GROUP, IDC_PORT_LABEL, IDC_STARTDIR_LABEL,
                                 IDC_WELCOME_LABEL, IDC_PORT, IDC_STARTDIR, IDC_WELCOME};

}  // namespace

const ui::CDialogTemplate& GetServerDialogTemplate() {
    static const ui::CDialogTemplate dialogTemplate = [] {
        ui::CDialogTemplate t;
        t.nResourceId = IDD_TANDRELSERVER_DIALOG;
        t.strCaption = "TandrelServer";
        t.cx = 223;
        t.cy = 119;
        t.bSystemMenu = true;
        t.bMinimizeBox = true;
        t.controls = {
            {IDC_START_STOP, EControlKind::PushButton, "Start", 39, 96, 50, 16,
             ui::kStyleDefaultButton},
            {ui::kIdCancel, EControlKind::PushButton, "Cancel", 95, 96, 50, 16},
            {IDC_SERVER_GROUP, EControlKind::GroupBox, "Server Information", 5, 5, 211, 66},
            {IDC_PORT_LABEL, EControlKind::Label, "Port:", 9, 22, 17, 8},
            {IDC_PORT, EControlKind::Edit, "", 43, 19, 41, 12},
            {IDC_STARTDIR_LABEL, EControlKind::Label, "Start Dir:", 9, 41, 30, 8},
            {IDC_STARTDIR, EControlKind::Edit, "", 44, 36, 164, 12},
            {IDC_WELCOME_LABEL, EControlKind::Label, "Welcome:", 9, 57, 32, 8},
            {IDC_WELCOME, EControlKind::Edit, "", 44, 54, 163, 12},
            {IDC_LOG_LIST, EControlKind::ListBox, "", 6, 78, 200, 12,
             ui::kStyleHidden | ui::kStyleNoSelection | ui::kStyleVScroll | ui::kStyleHScroll |
                 ui::kStyleNoIntegralHeight},
        };
        return t;
    }();
    return dialogTemplate;
}

CTandrelServerDlg::CTandrelServerDlg(bool bStartSwitch, bool bSingleSession,
                                     const std::string& strSettingsPath)
    : ui::CDialog(GetServerDialogTemplate()),
      m_bInteractive(!bStartSwitch),
      m_bStartSwitch(bStartSwitch),
      m_bSingleSession(bSingleSession),
      m_log(*this, this),
      m_strSettingsPath(strSettingsPath) {}

CTandrelServerDlg::~CTandrelServerDlg() { DestroyEngine(); }

void CTandrelServerDlg::ShowMessage(const std::string& strText) { ShowMessageBox(strText); }

void CTandrelServerDlg::InsertLogLine(const std::string& strLine) {
    ListInsert(IDC_LOG_LIST, 0, strLine);
}

void CTandrelServerDlg::DestroyEngine() {
    // The engine's thread may still post its quit request while Stop joins
    // it; that request then simply waits in the dialog's queue.
    m_pServer.reset();
    DeliverEngineLines();
}

void CTandrelServerDlg::QueueEngineLine(const std::string& strLine) {
    bool bFirst;
    {
        std::lock_guard<std::mutex> lock(m_engineLinesMutex);
        bFirst = m_engineLines.empty();
        m_engineLines.push_back(strLine);
    }
    // One posted command carries every line queued until it is delivered.
    if (bFirst) {
        PostCommand(kCommandEngineLines);
    }
}

void CTandrelServerDlg::DeliverEngineLines() {
    std::vector<std::string> lines;
    {
        std::lock_guard<std::mutex> lock(m_engineLinesMutex);
        lines.swap(m_engineLines);
    }
    for (const std::string& strLine : lines) {
        m_log.AddLogLine(strLine);
    }
}

void CTandrelServerDlg::OnInitDialog() {
    AddSystemMenuItem(ui::kSysCommandAbout, kAboutMenuText);
    if (!m_config.Load(m_strSettingsPath, *this)) {
        ShowMessageBox(WithPath(kMsgCantOpenFile, m_strSettingsPath));
        PostQuit();
        return;
    }
    m_bSettingsLoaded = true;
    if (ExchangeSettings(false) && m_bStartSwitch) {
        PostCommand(IDC_START_STOP);
    }
}

void CTandrelServerDlg::OnCommand(int nId) {
    if (nId == IDC_START_STOP) {
        OnStartStop();
    } else if (nId == kCommandEngineLines) {
        DeliverEngineLines();
    } else {
        ui::CDialog::OnCommand(nId);
    }
}

void CTandrelServerDlg::OnSysCommand(int nCommand) {
    if (nCommand == ui::kSysCommandAbout) {
        ui::CAboutDlg about("TandrelServer", GetLocalMachineId(), GetLocalIpNumber());
        RunChild(about);
    }
}

void CTandrelServerDlg::OnDestroy() {
    DestroyEngine();
    m_log.CloseLogFile();
}

bool CTandrelServerDlg::ExchangeSettings(bool bToConfig) {
    if (bToConfig) {
        m_config.m_bBluetooth = false;
        const std::string strPort = GetItemText(IDC_PORT);
        if (IsAllDigits(strPort)) {
            m_config.m_nPort = DecimalToInt(strPort);
        } else {
            m_config.m_nPort = -1;
            if (EqualsNoCase(strPort, "BT")) {
                m_config.m_bBluetooth = true;
            }
        }
        m_config.SetStartDir(GetItemText(IDC_STARTDIR));
        m_config.SetWelcome(GetItemText(IDC_WELCOME));
    } else {
        SetItemText(IDC_PORT,
                    m_config.m_bBluetooth ? "BT" : std::to_string(m_config.m_nPort));
        SetItemText(IDC_STARTDIR, m_config.GetStartDir());
        SetItemText(IDC_WELCOME, m_config.GetWelcome());
    }
    if (m_config.m_bBluetooth) {
        ShowMessageBox("BlueeTooth only works under WINCE. Change the Port");
    }
    // A TCP port has 16 bits: a larger number would make the engine listen
    // on some other port than the one shown and logged.
    const bool bPortValid = m_config.m_nPort >= 1 && m_config.m_nPort <= 65535;
    // A folder that is missing, or a file, would be served as an empty tree.
    const uint32_t dwStartDir = platform::GetPathAttributes(m_config.GetStartDir());
    const bool bStartDirValid = !m_config.GetStartDir().empty() &&
                                dwStartDir != platform::kInvalidFileAttributes &&
                                (dwStartDir & platform::kFileAttributeDirectory) != 0;
    const bool bWelcomeValid = !m_config.GetWelcome().empty();
    if (!bPortValid) {
        SetFocusItem(IDC_PORT);
    } else if (!bStartDirValid) {
        SetFocusItem(IDC_STARTDIR);
    } else if (!bWelcomeValid) {
        SetFocusItem(IDC_WELCOME);
    }
    EnableItem(IDC_PORT, !bPortValid);
    EnableItem(IDC_STARTDIR, !bStartDirValid);
    EnableItem(IDC_WELCOME, !bWelcomeValid);
    return bPortValid && bStartDirValid && bWelcomeValid;
}

void CTandrelServerDlg::ShowRunningLayout(bool bRunning) {
    for (int nId : kSettingsControls) {
        ShowItem(nId, !bRunning);
    }
    if (bRunning) {
        const ui::CRect client = GetClientRect();
        MoveItem(IDC_LOG_LIST, {client.left + 2, client.top + 2, client.right - 2,
                                client.bottom - 50});
    }
    ShowItem(IDC_LOG_LIST, bRunning);
}

bool CTandrelServerDlg::StartEngine() {
    const std::string strWelcome = m_config.GetWelcome();
    m_pServer->SetPassiveSettings(m_config.GetPassiveSettings());
    m_pServer->SetMaxSessions(m_config.GetMaxSessions());
    m_strStartFailure.clear();
    std::shared_ptr<platform::CTlsContext> pTls;
    if (!m_config.GetTlsCertificate().empty()) {
        std::string strError;
        pTls = platform::CTlsContext::ForServer(m_config.GetTlsCertificate(),
                                                m_config.GetTlsKey(), strError);
        if (!pTls) {
            // A server meant to protect its logins must not start without.
            m_strStartFailure = "TLS cannot be offered: " + strError;
            return false;
        }
    } else if (m_config.IsTlsRequired()) {
        m_strStartFailure = "TLS cannot be offered: TlsRequired=Yes needs a TlsCertificate";
        return false;
    }
    m_pServer->SetTls(pTls, m_config.IsTlsRequired());
    return m_pServer->Start([this] { PostQuit(); }, m_bSingleSession, &m_config.m_users,
                            &strWelcome, m_config.m_nPort, m_config.GetStartDir());
}

void CTandrelServerDlg::OnStartStop() {
    if (!m_bInteractive && m_bRunning) {
        PostQuit();
        return;
    }
    if (m_bInteractive && m_bRunning) {
        if (!m_config.Load(m_strSettingsPath, *this)) {
            m_log.AddLogLine(WithPath(kMsgCantOpenFile, m_strSettingsPath));
            SetItemText(IDC_START_STOP, "OK");
            return;
        }
        ExchangeSettings(false);
    } else if (!ExchangeSettings(true)) {
        ShowMessageBox("Invalid parameter");
        return;
    }

    m_bRunning = !m_bRunning;
    ShowRunningLayout(m_bRunning);

    if (!m_bInteractive) {
        SetItemText(IDC_START_STOP, "End");
        ShowItem(ui::kIdCancel, false);
        const ui::CRect client = GetClientRect();
        ui::CRect button = GetItemRect(IDC_START_STOP);
        const int nLeft = client.left + (client.Width() - button.Width()) / 2;
        MoveItem(IDC_START_STOP, {nLeft, button.top, nLeft + button.Width(), button.bottom});
    } else if (!m_bRunning) {
        SetItemText(IDC_START_STOP, "Start");
        DestroyEngine();
        return;
    }

    try {
        DestroyEngine();
        m_pServer = std::make_unique<CFtpServer>();
        m_pServer->SetLogSink([this](const std::string& strLine) { QueueEngineLine(strLine); });
        m_log.OpenLogFile(m_config.GetLogFile());
        if (StartEngine()) {
            m_bStarted = true;
            m_log.AddLogLine(WithPort("Server started on port %d", m_config.m_nPort));
            if (m_config.m_users.empty()) {
                m_log.AddLogLine("No [USER] section: nobody can log in");
            }
            if (m_config.GetMaxSessions() > 1) {
                m_log.AddLogLine("Up to " + std::to_string(m_config.GetMaxSessions()) +
                                 " sessions at once");
            }
            Minimize();
        } else if (m_pServer->GetListenError() != 0 || !m_strStartFailure.empty()) {
            // Nothing listens: the server must not look started. It stays
            // stopped, and an unattended start ends so that whoever started
            // it sees the failure.
            const std::string strCause =
                !m_strStartFailure.empty()
                    ? m_strStartFailure
                    : WithPort("Can't listen on port %d: ", m_config.m_nPort) +
                          platform::GetSystemErrorText(m_pServer->GetListenError());
            DestroyEngine();
            m_log.AddLogLine(WithPort("Server can't start on port %d!!!", m_config.m_nPort));
            m_log.AddLogLine(strCause);
            m_bRunning = false;
            ShowRunningLayout(false);
            if (m_bInteractive) {
                ShowMessageBox(strCause);
            } else {
                m_bListenFailed = true;
                PostQuit();
            }
            return;
        } else {
            m_log.AddLogLine(WithPort("Server can't start on port %d!!!", m_config.m_nPort));
            DestroyEngine();
        }
    } catch (const std::exception&) {
        // Ends the handler here, as a failed start would.
    }
    if (m_bInteractive) {
        SetItemText(IDC_START_STOP, "Stop");
    }
}

}  // namespace server
