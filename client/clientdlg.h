#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "client/progress.h"
#include "client/syncrun.h"
#include "client/syncscript.h"
#include "client/transfer/ftpsockclient.h"
#include "common/log.h"
#include "common/messages.h"
#include "ui/dialog.h"

namespace client {

// The client's main dialog: it loads the sync script, shows the server
// values for checking and completing, and runs the sync when "Connect" is
// pressed (or at once, when started unattended). During and after the run
// it shows the log with a single "End" button.
//
// The run works on a thread of its own, so that the window stays alive
// during a long transfer; its log lines reach the list through the host's
// posted commands. "End", Cancel or closing the window during the run stops
// it safely (CSyncRun::RequestStop) and ends the program once it has
// stopped.
//
// A long transfer shows how far it has got under the log list: a bar and a
// line of text (FormatProgress), which appear with the first figures and go
// when the transfer ends. They travel the log lines' way, in order with
// them, and never become log lines themselves.

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
    IDC_PROGRESS = 1016,
    IDC_PROGRESS_TEXT = 1017,
};

// The transfer's share done as a bar's position: 0 to ui::kProgressMax, an
// empty file as done, ui::kProgressUnknown without a total.
int ProgressPosition(const CTransferProgress& progress);

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
    void OnCancel() override;
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

    // The handler of the main button: starts the sync (CSyncRun) once; ends
    // the dialog after it, and during it stops it first.
    void OnConnect();

    const CSyncScript& GetScript() const { return m_Script; }
    bool HasScript() const { return m_bScriptLoaded; }
    bool HasStarted() const { return m_bStarted; }
    ERunOutcome GetOutcome() const { return m_eOutcome; }
    // Whether the run has started and not yet ended (dialog's thread: its
    // thread stays joinable until the dialog has collected it).
    bool IsRunBusy() const { return m_runThread.joinable(); }

    // Any thread (the run's, in a run): the progress of the transfer under
    // way, shown once the dialog's thread gets to it; figures that arrive
    // before the last ones were shown replace them.
    void ShowProgress(const CTransferProgress& progress) override;
    // Any thread: the transfer last shown has ended; its bar and text go,
    // before the log line that comes after this call.
    void EndProgress() override;

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
    // On the run's thread: queues the line for the dialog's thread.
    void AddLogLine(const std::string& strLine) override;
    // Shows and writes the lines the run has queued, and shows or hides
    // its progress where it came between them.
    void DeliverRunLines();
    // The progress controls, on the dialog's thread.
    void UpdateProgress(const CTransferProgress& progress);
    void HideProgress();
    // The run's thread has ended: collects it and its outcome, and ends the
    // dialog when that was asked for meanwhile or the run is silent.
    void OnRunEnded();
    // Stops a busy run; nEndWith is what ends the dialog once it has
    // stopped (kIdCancel, or kResultQuit for "End").
    void StopRun(int nEndWith);
    // Stops the run, if any, and waits for its thread.
    void JoinRun();
    // Joins the run's thread, if there is one, and takes its lines and
    // outcome; false without a thread.
    bool CollectRun();

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

    std::unique_ptr<CSyncRun> m_pRun;
    std::thread m_runThread;
    int m_nEndAfterRun = 0;  // 0: stay open after the run
    // What the run's thread sends the dialog's, in order.
    struct CRunEvent {
        enum class EKind { Line, Progress, EndProgress } eKind;
        std::string strLine;           // Line
        CTransferProgress progress;    // Progress
    };
    // Queues event and posts the command that delivers it, unless one is
    // on its way; a progress event replaces one that waits last in line.
    void QueueRunEvent(CRunEvent event);

    // Filled by the run's thread, emptied by the dialog's.
    std::mutex m_runMutex;
    std::vector<CRunEvent> m_runEvents;
    bool m_bProgressShown = false;  // dialog's thread
    ERunOutcome m_eRunResult = ERunOutcome::FilesFailed;
};

}  // namespace client
