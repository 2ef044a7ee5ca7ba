// The sync run, apart from any dialog: see syncrun.h.

#include "client/syncrun.h"

#include <chrono>
#include <exception>
#include <set>

#include "client/transfer/ftpactivesyncsockclient.h"
#include "common/md5.h"
#include "common/text.h"
#include "platform/file.h"
#include "platform/paths.h"

namespace {

// A server's greeting as one log line: without its line end, and a greeting
// of several lines joined by blanks, so the log file keeps one line per entry.
std::string AsOneLine(const std::string& strReply) {
    std::string strLine;
    for (size_t i = 0; i < strReply.size(); ++i) {
        const char c = strReply[i];
        if (c == '\r' || c == '\n') {
            while (i + 1 < strReply.size() && (strReply[i + 1] == '\r' || strReply[i + 1] == '\n')) {
                ++i;
            }
            if (i + 1 < strReply.size()) {
                strLine += ' ';
            }
        } else {
            strLine += c;
        }
    }
    return strLine;
}

}  // namespace

std::string MakeLocalPath(const std::string& strFolder, const std::string& strName) {
    if (!strFolder.empty() && platform::IsPathSeparator(strFolder.back())) {
        return strFolder + strName;
    }
    return strFolder + platform::kPathSeparator + strName;
}

std::string MakeRemotePath(const std::string& strFolder, const std::string& strName) {
    return strFolder + "/" + strName;
}

int CSyncRun::FindLocalFiles(std::vector<std::string>& vecNames,
                                      const std::string& strPattern,
                                      const std::string& strFolder) {
    vecNames.clear();
    const std::string strSearch =
        MakeLocalPath(strFolder, strPattern.empty() ? std::string("*.*") : strPattern);
    const uint32_t nSkipped = platform::kFileAttributeHidden | platform::kFileAttributeSystem |
                              platform::kFileAttributeDirectory;
    for (const platform::CFileInfo& info : platform::FindFiles(strSearch)) {
        if (info.strName.empty() || info.strName == "." || info.strName == ".." ||
            info.dwAttributes == platform::kInvalidFileAttributes ||
            (info.dwAttributes & nSkipped) != 0) {
            continue;
        }
        vecNames.push_back(info.strName);
    }
    return static_cast<int>(vecNames.size());
}

CSyncRun::CSyncRun(const CSyncScript& script, bool bPutFirst, CSyncRunSink& sink,
                   CFtpSockClientBase& client)
    : m_Script(script), m_bPutFirst(bPutFirst), m_sink(sink), m_client(client) {}

void CSyncRun::RequestStop() {
    m_bStopRequested = true;
    m_client.Cancel();
}

bool CSyncRun::LogIfStopped() {
    if (!IsStopRequested()) {
        return false;
    }
    if (!m_bStopLogged) {
        m_bStopLogged = true;
        m_sink.AddLogLine("Run broken off");
    }
    return true;
}

std::string CSyncRun::GetLocalDigest(const std::string& strPath) const {
    try {
        return CMD5Checksum::GetFileDigest(strPath, &m_bStopRequested);
    } catch (...) {
        return std::string();
    }
}

ERunOutcome CSyncRun::Run() {
    m_eOutcome = ERunOutcome::FilesFailed;
    try {
        RunSync();
    } catch (const std::exception& e) {
        // The outcome stays what the run had reached.
        m_sink.WriteFailureCause(std::string("the run broke off: ") + e.what());
    }
    return m_eOutcome;
}

void CSyncRun::RunSync() {
    const bool bDevice = m_Script.m_bActiveSync;
    auto* pDeviceClient = bDevice ? static_cast<CFtpActiveSyncSockClient*>(&m_client) : nullptr;
    auto* pTcpClient = bDevice ? nullptr : static_cast<CFtpSockClient*>(&m_client);
    bool bConnected = false;
    // address:port, an IPv6 address in brackets as in a URL ("[::1]:2121").
    const std::string strAddress = m_Script.GetAddress();
    const std::string strEndpoint =
        (strAddress.find(':') != std::string::npos ? "[" + strAddress + "]" : strAddress) + ":" +
        std::to_string(m_Script.m_nPort);

    if (LogIfStopped()) {
        return;
    }
    if (bDevice) {
        m_sink.AddLogLine("Trying to connect to device via ActiveSync...");
        bConnected = pDeviceClient->m_Device.ConnectDevice();
    } else {
        m_sink.AddLogLine("Trying to connect to " + strEndpoint + "...");
        bConnected = pTcpClient->Connect(m_Script.GetAddress(),
                                         static_cast<unsigned int>(m_Script.m_nPort));
    }
    if (!bConnected) {
        if (LogIfStopped()) {
            return;
        }
        m_sink.AddLogLine("Can't connect!!!");
        m_sink.WriteFailureCause(bDevice ? "connect to the device: no device answered"
                                  : "connect to " + strEndpoint + ": " +
                                        m_client.GetFailureCause());
        m_eOutcome = ERunOutcome::ConnectFailed;
        return;
    }
    m_sink.AddLogLine("Connected");

    bool bLoggedIn = true;
    if (!bDevice) {
        m_sink.AddLogLine(AsOneLine(m_client.GetLastReply()));
        m_sink.AddLogLine("Trying to log as " + m_Script.GetUser() + "...");
        bLoggedIn = m_client.Login(m_Script.GetUser(), m_Script.GetPassword());
        if (bLoggedIn) {
            m_sink.AddLogLine("Login OK");
            m_client.SetBinaryType();
        } else if (!LogIfStopped()) {
            m_sink.AddLogLine("Login failed!!!");
            m_sink.WriteFailureCause("login as " + m_Script.GetUser() + ": " +
                              m_client.GetFailureCause());
            m_eOutcome = ERunOutcome::LoginFailed;
        }
    }

    if (bLoggedIn) {
        int nGetOk = 0, nGetFailed = 0, nPutOk = 0, nPutFailed = 0;
        bool bGetBegun = false, bPutBegun = false;
        auto runPass = [&](bool bGet) {
            if (IsStopRequested()) {
                return;
            }
            if (bGet) {
                bGetBegun = true;
                RunGetPass(nGetOk, nGetFailed);
            } else {
                bPutBegun = true;
                RunPutPass(nPutOk, nPutFailed);
            }
        };
        runPass(!m_bPutFirst);
        runPass(m_bPutFirst);
        // A pass that a stop kept from starting has nothing to sum up: "0 OK"
        // would read as if it had found nothing to do.
        const bool bStopped = LogIfStopped();
        if (!bStopped || bGetBegun) {
            LogSummary("GET", !m_Script.m_GetList.empty(), nGetOk, nGetFailed);
        }
        if (!bStopped || bPutBegun) {
            LogSummary("PUT", !m_Script.m_PutList.empty(), nPutOk, nPutFailed);
        }
        // A script with no section at all moved nothing that anyone asked
        // for (a cut or mangled script reads like that): not a success.
        const bool bNoSections = m_Script.m_GetList.empty() && m_Script.m_PutList.empty();
        m_eOutcome = nGetFailed + nPutFailed == 0 && !bNoSections && !bStopped
                         ? ERunOutcome::AllOk
                         : ERunOutcome::FilesFailed;
    }

    m_sink.AddLogLine("Disconnecting from server...");
    const bool bDisconnected =
        bDevice ? pDeviceClient->m_Device.DisconnectDevice() : m_client.Quit();
    m_sink.AddLogLine(bDisconnected ? "Disconnected" : "Disconnect failed!!!");
}

void CSyncRun::RunGetPass(int& nOk, int& nFailed) {
    const bool bDevice = m_Script.m_bActiveSync;
    for (const CFileSyncClientPutGet& section : m_Script.m_GetList) {
        // A run that was killed left its download's temporary behind,
        // hidden; once it is old enough to be nobody's, it goes.
        platform::RemoveStaleTemporaries(section.m_strLocalDir, platform::kStaleTemporaryAgeSeconds);
        std::vector<CFileStep> vecSteps;
        for (const std::string& strEntry : section.m_strFiles) {
            std::vector<std::string> vecNames;
            if (m_Script.m_bGetWildcards && HasWildcard(strEntry)) {
                // Only a device can list its files; over TCP such an entry
                // stands for nothing.
                if (bDevice) {
                    if (IsStopRequested()) {
                        return;
                    }
                    auto* pDeviceClient = static_cast<CFtpActiveSyncSockClient*>(&m_client);
                    if (pDeviceClient->m_Device.ListDeviceFiles(
                            vecNames, MakeRemotePath(section.m_strRemoteDir, strEntry)) <= 0) {
                        vecNames.clear();
                    }
                }
            } else {
                vecNames.push_back(strEntry);
            }
            for (const std::string& strName : vecNames) {
                vecSteps.push_back({MakeLocalPath(section.m_strLocalDir, strName),
                                    MakeRemotePath(section.m_strRemoteDir, strName), strName, {}});
            }
        }
        SyncSection(true, vecSteps, nOk, nFailed);
        if (IsStopRequested()) {
            return;
        }
    }
}

void CSyncRun::RunPutPass(int& nOk, int& nFailed) {
    for (const CFileSyncClientPutGet& section : m_Script.m_PutList) {
        std::vector<CFileStep> vecSteps;
        for (const std::string& strEntry : section.m_strFiles) {
            if (IsStopRequested()) {
                return;
            }
            std::vector<std::string> vecNames;
            if (FindLocalFiles(vecNames, strEntry, section.m_strLocalDir) == 0) {
                vecSteps.push_back({{}, {}, {},
                                    "PUT no files found (" +
                                        MakeLocalPath(section.m_strLocalDir, strEntry) + " --> " +
                                        section.m_strRemoteDir + ")"});
                continue;
            }
            for (const std::string& strName : vecNames) {
                vecSteps.push_back({MakeLocalPath(section.m_strLocalDir, strName),
                                    MakeRemotePath(section.m_strRemoteDir, strName), strName, {}});
            }
        }
        SyncSection(false, vecSteps, nOk, nFailed);
        if (IsStopRequested()) {
            return;
        }
    }
}

void CSyncRun::SyncSection(bool bGet, const std::vector<CFileStep>& vecSteps, int& nOk,
                           int& nFailed) {
    const bool bDevice = m_Script.m_bActiveSync;
    size_t nBegin = 0;
    while (nBegin < vecSteps.size()) {
        if (IsStopRequested()) {
            return;
        }
        // The batch: up to a name met before in it. Names are compared
        // without case, as a server on Windows compares them.
        std::set<std::string> setNames;
        size_t nEnd = nBegin;
        size_t nFiles = 0;
        size_t nBytes = 0;
        for (; nEnd < vecSteps.size() && nFiles < kDigestBatchFiles && nBytes < kDigestBatchBytes;
             ++nEnd) {
            const CFileStep& step = vecSteps[nEnd];
            if (!step.strLogLine.empty()) {
                continue;
            }
            if (!setNames.insert(ToLowerAscii(step.strName)).second) {
                break;
            }
            ++nFiles;
            nBytes += step.strRemote.size() + 6;
        }
        // A download is compared only when there is a local copy; a device
        // has no digests at all.
        std::vector<std::string> vecAsked(nEnd - nBegin);
        std::vector<std::string> vecLocalDigests(nEnd - nBegin);
        for (size_t i = nBegin; i < nEnd; ++i) {
            const CFileStep& step = vecSteps[i];
            if (bDevice || !step.strLogLine.empty()) {
                continue;
            }
            if (!bGet || platform::GetPathAttributes(step.strLocal) != platform::kInvalidFileAttributes) {
                vecAsked[i - nBegin] = step.strRemote;
            }
        }
        const std::vector<std::string> vecRemoteDigests = m_client.GetRemoteDigests(vecAsked, [&] {
            for (size_t i = nBegin; i < nEnd && !IsStopRequested(); ++i) {
                if (!vecAsked[i - nBegin].empty()) {
                    vecLocalDigests[i - nBegin] = GetLocalDigest(vecSteps[i].strLocal);
                }
            }
        });
        for (size_t i = nBegin; i < nEnd; ++i) {
            if (IsStopRequested()) {
                return;
            }
            const CFileStep& step = vecSteps[i];
            if (!step.strLogLine.empty()) {
                m_sink.AddLogLine(step.strLogLine);
                continue;
            }
            // Equal only when both sides had a digest.
            const std::string& strRemoteDigest =
                vecAsked[i - nBegin].empty() ? std::string() : vecRemoteDigests[i - nBegin];
            if (bGet) {
                SyncFile("GET", step.strRemote, step.strLocal, vecLocalDigests[i - nBegin],
                         strRemoteDigest, nOk, nFailed);
            } else {
                SyncFile("PUT", step.strLocal, step.strRemote, vecLocalDigests[i - nBegin],
                         strRemoteDigest, nOk, nFailed);
            }
        }
        nBegin = nEnd;
    }
}

void CSyncRun::SyncFile(const char* pszDirection, const std::string& strFrom,
                                 const std::string& strTo, const std::string& strLocalDigest,
                                 const std::string& strRemoteDigest, int& nOk, int& nFailed) {
    const std::string strFiles = std::string(pszDirection) + " " + strFrom + "->" + strTo;
    if (!strLocalDigest.empty() && strLocalDigest == strRemoteDigest) {
        m_sink.AddLogLine("OK EQUAL: " + strFiles);
        ++nOk;
        return;
    }
    // A stop that came while the digests were taken leaves the file alone:
    // no transfer was under way.
    if (IsStopRequested()) {
        return;
    }
    const bool bGet = pszDirection[0] == 'G';
    const bool bMoved = TransferFile(bGet, strFiles, strFrom, strTo);
    if (bMoved) {
        m_sink.AddLogLine("OK TRANSM: " + strFiles);
        ++nOk;
    } else if (IsStopRequested()) {
        m_sink.AddLogLine("BROKEN OFF: " + strFiles);
        m_sink.WriteFailureCause(strFiles + ": " + kCancelledCause);
        ++nFailed;
    } else {
        m_sink.AddLogLine("FAILED!!: " + strFiles);
        m_sink.WriteFailureCause(strFiles + ": " + m_client.GetFailureCause());
        ++nFailed;
    }
}

bool CSyncRun::TransferFile(bool bGet, const std::string& strFiles, const std::string& strFrom,
                        const std::string& strTo) {
    using CClock = std::chrono::steady_clock;
    const CClock::time_point start = CClock::now();
    CClock::time_point lastShown;
    bool bShown = false;
    m_client.SetProgressFunction([&](int64_t nDone, int64_t nTotal) {
        const CClock::time_point now = CClock::now();
        if (now - start < kProgressAfter || (bShown && now - lastShown < kProgressEvery)) {
            return;
        }
        bShown = true;
        lastShown = now;
        m_sink.ShowProgress(
            {strFiles, nDone, nTotal, std::chrono::duration<double>(now - start).count()});
    });
    const bool bMoved = bGet ? m_client.Get(strFrom, strTo) : m_client.Put(strFrom, strTo);
    m_client.SetProgressFunction(nullptr);
    if (bShown) {
        m_sink.EndProgress();
    }
    return bMoved;
}

void CSyncRun::LogSummary(const char* pszDirection, bool bHasSections, int nOk,
                                   int nFailed) {
    const std::string strDirection = pszDirection;
    if (!bHasSections) {
        m_sink.AddLogLine("No " + strDirection + " section found");
    } else if (nFailed == 0) {
        m_sink.AddLogLine(strDirection + " Files: " + std::to_string(nOk) + " OK");
    } else {
        m_sink.AddLogLine(strDirection + " Files: " + std::to_string(nOk) + " OK, " +
                         std::to_string(nFailed) + " FAILED!!");
    }
}
