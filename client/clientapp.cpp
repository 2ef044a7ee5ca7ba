#include "client/clientapp.h"

#include "client/clientdlg.h"
#include "common/settings.h"
#include "platform/socket.h"

namespace client {

void CTandrelCommandLineInfo::ParseParam(const std::string& strParam, bool bFlag, bool bLast) {
    if (bFlag) {
        if (ui::IsSwitch(strParam, "putfirst")) {
            m_bPutFirst = true;
        } else if (ui::IsSwitch(strParam, "start")) {
            m_bStart = true;
        } else if (ui::IsSwitch(strParam, "silent")) {
            m_bStart = true;
            m_bSilent = true;
        } else if (ui::IsSwitch(strParam, "startputfirst")) {
            m_bStart = true;
            m_bPutFirst = true;
        } else if (ui::IsSwitch(strParam, "silentputfirst")) {
            m_bStart = true;
            m_bSilent = true;
            m_bPutFirst = true;
        }
    }
    ui::CCommandLineInfo::ParseParam(strParam, bFlag, bLast);
}

namespace {

int ExitCodeOf(const CTandrelClientDlg& dialog) {
    if (!dialog.HasScript()) {
        return kExitScriptFailed;
    }
    switch (dialog.GetOutcome()) {
        case ERunOutcome::NotRun:
            return kExitNoRun;
        case ERunOutcome::ConnectFailed:
            return kExitConnectFailed;
        case ERunOutcome::LoginFailed:
            return kExitLoginFailed;
        case ERunOutcome::FilesFailed:
            return kExitFilesFailed;
        case ERunOutcome::AllOk:
            break;
    }
    return kExitOk;
}

}  // namespace

void CTandrelClientApp::InitInstance() {
    CTandrelCommandLineInfo info;
    ui::ParseCommandLine(m_vecArguments, info);
    std::unique_ptr<ui::CDialogHost> pHost = ui::CreateHost(info.m_bForceConsole);
    if (platform::StartSockets() != 0) {
        pHost->ShowMessageBox("Windows sockets initialization failed.");
        m_nExitCode = kExitSocketsFailed;
        return;
    }
    CTandrelClientDlg dialog(info.m_bStart, info.m_bSilent, info.m_bPutFirst,
                             GetSettingsFilePath());
    dialog.DoModal(*pHost);
    m_nExitCode = ExitCodeOf(dialog);
    platform::StopSockets();
}

}  // namespace client
