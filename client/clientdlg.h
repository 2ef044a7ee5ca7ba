#pragma once

#include <memory>
#include <string>
#include <vector>

#include "client/syncrun.h"
#include "client/syncscript.h"
#include "client/transfer/ftpsockclient.h"
#include "common/log.h"
#include "common/messages.h"
#include "ui/dialog.h"

// The client's main dialog: it loads the sync script, shows the server
// values for checking and completing, and runs the sync when "Connect" is
// pressed (or at once, when started unattended). During and after the run
// it shows the log with a single "End" button.

// Control and resource ids of the main dialog.
enum : int {
    IDD_TANDRELCLIENT_DIALOG = 102,
    IDC_LABEL_LABEL = 1000,
    IDC_ADDRESS_LABEL = 1001,
    IDC_PORT_LABEL = 1002,
    IDC_USER_LABEL = 1003,
    IDC_PASSWORD_LABEL = 1004,
    IDC_LABEL = 1005,
    IDC_ADDRESS = 1006,
    IDC_PORT = 1007,
    IDC_USER = 1008,
    IDC_PASSWORD = 1009,
    IDC_SERVER_GROUP = 1010,
    IDC_USER_GROUP = 1011,
    IDC_LOG_LIST = 1014,
    IDC_CONNECT = 1015,
};

const ui::CDialogTemplate& GetClientDialogTemplate();

class CTandrelClientDlg : public ui::CDialog,
                          private CMessageSink,
                          private CLogListView,
                          private CSyncRunSink {
public:
    // strScriptPath is the sync script (the one beside the program, unless a
    // test names another).
    CTandrelClientDlg(bool bAutoStart, bool bSilent, bool bPutFirst,
                      const std::string& strScriptPath);
    ~CTandrelClientDlg() override;

    void OnInitDialog() override;
    void OnCommand(int nId) override;
    void OnSysCommand(int nCommand) override;
    void OnDestroy() override;
    bool IsWaitingForOperator() const override;

    // Copies the five values between the script and the fields (bToScript:
    // from the fields, as typed), enables exactly the unusable fields and
    // focuses the first of them. True when all five are usable.
    bool ExchangeServerFields(bool bToScript);
    // Which of label, address, port, user and password are usable, in that
    // order.
    std::vector<bool> CheckServerFields() const;
    void ShowRunLayout();

    // The handler of the main button: runs the sync (CSyncRun) once, or
    // ends the dialog after it.
    void OnConnect();

    const CSyncScript& GetScript() const { return m_Script; }
    bool HasScript() const { return m_bScriptLoaded; }
    bool HasStarted() const { return m_bStarted; }
    ERunOutcome GetOutcome() const { return m_eOutcome; }

protected:
    // Creates the transfer client of the run (tests shorten its waits).
    virtual std::unique_ptr<CFtpSockClientBase> CreateClient();
    // Writes one line that gives the cause of a failure the log reports
    // ("Can't connect!!!", "Login failed!!!", "FAILED!!"): on standard error,
    // beside the log, so the list and the log file keep their lines as they
    // are. Tests listen here.
    void WriteFailureCause(const std::string& strLine) override;

private:
    void ShowMessage(const std::string& strText) override;
    void InsertLogLine(const std::string& strLine) override;
    void AddLogLine(const std::string& strLine) override;

    CSyncScript m_Script;
    std::unique_ptr<CFtpSockClientBase> m_pClient;
    bool m_bStarted = false;
    bool m_bAutoStart;
    bool m_bSilent;
    bool m_bPutFirst;
    CLog m_log;
    std::string m_strScriptPath;
    bool m_bScriptLoaded = false;
    bool m_bAutoStartPosted = false;
    ERunOutcome m_eOutcome = ERunOutcome::NotRun;
};
