#include "server/serverapp.h"

#include "common/settings.h"
#include "platform/socket.h"
#include "server/serverdlg.h"

namespace server {

void CTandrelCommandLineInfo::ParseParam(const std::string& strParam, bool bFlag, bool bLast) {
    if (bFlag && ui::IsSwitch(strParam, "runonce")) {
        m_bRunOnce = true;
        m_bStart = true;
    } else if (bFlag && ui::IsSwitch(strParam, "start")) {
        m_bStart = true;
    } else if (bFlag && ui::IsSwitch(strParam, "startone")) {
        m_bStart = true;
        m_bSingleSession = true;
    } else {
        ui::CCommandLineInfo::ParseParam(strParam, bFlag, bLast);
    }
}

void CTandrelServerApp::InitInstance() {
    CTandrelCommandLineInfo info;
    ui::ParseCommandLine(m_vecArguments, info);

    // Another running server makes a "runonce" start end before it shows
    // anything; every instance joins the lock so that later ones see it.
    if (!m_instanceLock.Acquire("TandrelServer", info.m_bRunOnce) && info.m_bRunOnce) {
        m_nExitCode = kExitOk;
        return;
    }

    std::unique_ptr<ui::CDialogHost> pHost = ui::CreateHost(info.m_bForceConsole);
    if (platform::StartSockets() != 0) {
        pHost->ShowMessageBox("Windows sockets initialization failed.");
        m_nExitCode = kExitSocketsFailed;
        return;
    }
    CTandrelServerDlg dialog(info.m_bStart, info.m_bSingleSession, GetSettingsFilePath());
    dialog.DoModal(*pHost);
    if (!dialog.HasSettings()) {
        m_nExitCode = kExitSettingsFailed;
    } else if (dialog.HasFailedToListen()) {
        m_nExitCode = kExitSocketsFailed;
    } else if (info.m_bStart && !dialog.HasStarted()) {
        // Unattended starts come from cron and service managers, which must
        // see that the server they asked for never ran.
        m_nExitCode = kExitNeverStarted;
    } else {
        m_nExitCode = kExitOk;
    }
    platform::StopSockets();
}

}  // namespace server
