#pragma once

#include <atomic>
#include <chrono>
#include <string>
#include <vector>

#include "client/progress.h"
#include "client/syncscript.h"
#include "client/transfer/ftpsockclient.h"

// The sync run: connects to the script's server (or device), logs in,
// fetches the files of every GET section and sends those of every PUT
// section, skipping each file whose digest equals its counterpart's, logs one
// line per file and a summary, and disconnects. It knows nothing of windows
// or terminals: its lines go to a sink, and whoever drives it decides where
// they are shown and on which thread the run works.

// How one run ended, for the program's exit status.
enum class ERunOutcome {
    NotRun,         // no run took place
    ConnectFailed,  // "Can't connect!!!"
    LoginFailed,    // "Login failed!!!"
    FilesFailed,    // at least one file FAILED!!, the run broke off (also by
                    // RequestStop), or the script has neither a GET nor a PUT
                    // section
    AllOk,          // every file transferred or equal
};

// Where a run's progress goes. Called on the thread that runs it, which need
// not be the one that shows the lines.
class CSyncRunSink {
public:
    virtual ~CSyncRunSink() = default;

    // One log line ("OK TRANSM: PUT a->b"), in the order the run makes them.
    virtual void AddLogLine(const std::string& strLine) = 0;

    // The cause of a failure that the last log line reports ("Can't
    // connect!!!", "Login failed!!!", "FAILED!!"), kept apart so that the
    // log keeps its lines as they are.
    virtual void WriteFailureCause(const std::string& strLine) = 0;

    // A transfer that has run for more than a second, about ten times a
    // second while it goes on.
    virtual void ShowProgress(const CTransferProgress& /*progress*/) {}
    // The transfer last shown has ended; called before its log line.
    virtual void EndProgress() {}
};

class CSyncRun {
public:
    // client must be the transfer client for the script: a
    // CFtpActiveSyncSockClient when the script names a device, else a
    // CFtpSockClient. The script, the sink and the client must outlive the
    // run.
    CSyncRun(const CSyncScript& script, bool bPutFirst, CSyncRunSink& sink,
             CFtpSockClientBase& client);

    // Runs once, start to end. Anything that breaks the run (out of memory, a
    // failure no lower layer handles) ends it where it is, with its cause;
    // a run that broke off after connecting counts as failed.
    ERunOutcome Run();

    // Any thread, before or during Run: ends the run as soon as it can. A
    // transfer under way is broken off (the client's Cancel: the temporary
    // file of a download removed, an upload cut off before the server can
    // take it for whole, so the previous copy stays on both sides) and
    // logged as "BROKEN OFF: GET a->b"; no further file is looked at; the
    // log says "Run broken off", the summaries of the passes that began
    // follow, and the run disconnects. Such a run counts as failed.
    void RequestStop();
    bool IsStopRequested() const { return m_bStopRequested; }

    // The names of the files in strFolder that strPattern matches (an empty
    // pattern matches all), without hidden files, system files and folders,
    // in the order the search finds them. Returns their number.
    static int FindLocalFiles(std::vector<std::string>& vecNames, const std::string& strPattern,
                              const std::string& strFolder);

private:
    void RunSync();
    // One file of a section as the passes collect it, or a line to log in
    // its place ("PUT no files found ...").
    struct CFileStep {
        std::string strLocal;
        std::string strRemote;
        std::string strName;  // as the script or the search gave it
        std::string strLogLine;  // set for a line in place of a file
    };
    void RunGetPass(int& nOk, int& nFailed);
    void RunPutPass(int& nOk, int& nFailed);
    // The steps of one section in order, in batches: the server's digests of
    // a batch are asked in one write and computed while the local digests
    // are; then the batch's files are synced one by one. A name met a second
    // time ends a batch, so that its digests are taken after the first
    // transfer of it, as a run file by file would take them.
    void SyncSection(bool bGet, const std::vector<CFileStep>& vecSteps, int& nOk, int& nFailed);
    // One file of a pass (pszDirection "GET" or "PUT", from the source to the
    // target): skipped when both digests are there and equal, else moved;
    // logged and counted either way.
    void SyncFile(const char* pszDirection, const std::string& strFrom, const std::string& strTo,
                  const std::string& strLocalDigest, const std::string& strRemoteDigest, int& nOk,
                  int& nFailed);
    // Gets or puts one file; a transfer that lasts shows its progress.
    bool TransferFile(bool bGet, const std::string& strFiles, const std::string& strFrom,
                  const std::string& strTo);
    void LogSummary(const char* pszDirection, bool bHasSections, int nOk, int nFailed);
    // The digest of a local file; empty when it cannot be read, which makes
    // the file move, or when a stop came while reading it.
    std::string GetLocalDigest(const std::string& strPath) const;
    // Logs "Run broken off" once, when a stop was requested; true then.
    bool LogIfStopped();

    const CSyncScript& m_Script;
    bool m_bPutFirst;
    CSyncRunSink& m_sink;
    CFtpSockClientBase& m_client;
    ERunOutcome m_eOutcome = ERunOutcome::NotRun;
    std::atomic<bool> m_bStopRequested{false};
    // Files and command bytes of one batch of digests at most.
    static constexpr size_t kDigestBatchFiles = 64;
    static constexpr size_t kDigestBatchBytes = 32 * 1024;
    // Progress shows once a transfer has lasted this long, and no more often
    // than this.
    static constexpr std::chrono::milliseconds kProgressAfter{1000};
    static constexpr std::chrono::milliseconds kProgressEvery{100};
    bool m_bStopLogged = false;
};

// A local path: folder, the platform's separator, name. An empty folder gives
// a path that begins with the separator; a folder that already ends in one
// (the root) gets none added.
std::string MakeLocalPath(const std::string& strFolder, const std::string& strName);
// A server path: folder, "/", name.
std::string MakeRemotePath(const std::string& strFolder, const std::string& strName);
