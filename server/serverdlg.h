#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "common/log.h"
#include "common/messages.h"
#include "server/ftpserver/ftpserver.h"
#include "server/serverconfig.h"
#include "ui/dialog.h"

namespace server {

// The server's main dialog: it loads the configuration, shows the port,
// start directory and welcome text for checking, starts and stops the
// engine, and keeps a log of each start, stop and reload.

// Control and resource ids of the main dialog.
enum : int {
    IDD_TANDRELSERVER_DIALOG = 102,
    IDC_PORT_LABEL = 1000,
    IDC_STARTDIR_LABEL = 1001,
    IDC_WELCOME_LABEL = 1002,
    IDC_PORT = 1005,
    IDC_STARTDIR = 1006,
    IDC_WELCOME = 1007,
    IDC_SERVER_GROUP = 1010,
    IDC_LOG_LIST = 1014,
    IDC_START_STOP = 1015,
};

const ui::CDialogTemplate& GetServerDialogTemplate();

class CTandrelServerDlg : public ui::CDialog, private CMessageSink, private CLogListView {
public:
    // strSettingsPath is the configuration file (the one beside the program,
    // unless a test names another).
    CTandrelServerDlg(bool bStartSwitch, bool bSingleSession, const std::string& strSettingsPath);
    ~CTandrelServerDlg() override;

    void OnInitDialog() override;
    void OnCommand(int nId) override;
    void OnSysCommand(int nCommand) override;
    void OnDestroy() override;
    bool IsWaitingForOperator() const override { return m_bInteractive || !m_bRunning; }

    // Copies the three values between the configuration and the fields
    // (bToConfig: from the fields), then enables exactly the invalid fields
    // and puts the focus on the first of them. True when all are valid.
    bool ExchangeSettings(bool bToConfig);
    void OnStartStop();
    void ShowRunningLayout(bool bRunning);

    const CFileSyncServerConfig& GetConfig() const { return m_config; }
    bool IsRunning() const { return m_bRunning; }
    bool HasEngine() const { return m_pServer != nullptr; }
    // False when the configuration file could not be loaded at opening.
    bool HasSettings() const { return m_bSettingsLoaded; }
    // Whether the engine was started at least once.
    bool HasStarted() const { return m_bStarted; }
    // Whether an unattended start ended the dialog because the port could
    // not be listened on.
    bool HasFailedToListen() const { return m_bListenFailed; }

protected:
    // Starts the engine with the configuration's values; false when it could
    // not listen or its thread could not be created.
    virtual bool StartEngine();

private:
    void ShowMessage(const std::string& strText) override;
    void InsertLogLine(const std::string& strLine) override;
    void DestroyEngine();
    // Lines from the engine's thread wait here until the dialog's thread
    // writes them to the log.
    void QueueEngineLine(const std::string& strLine);
    void DeliverEngineLines();

    CFileSyncServerConfig m_config;
    std::unique_ptr<CFtpServer> m_pServer;
    bool m_bRunning = false;
    bool m_bSettingsLoaded = false;
    bool m_bStarted = false;
    bool m_bListenFailed = false;
    // Why the last start failed before it could listen (TLS); empty else.
    std::string m_strStartFailure;
    bool m_bInteractive;
    bool m_bStartSwitch;
    bool m_bSingleSession;
    CLog m_log;
    std::mutex m_engineLinesMutex;
    std::vector<std::string> m_engineLines;
    std::string m_strSettingsPath;
};

}  // namespace server
