#pragma once

#include <string>
#include <vector>

#include "client/transfer/ftpsockclient.h"
#include "common/messages.h"

// The sync script: the file beside TandrelClient that says which server to
// reach (or which device), how to log in, where to log, and which files to
// send (PUT sections) and fetch (GET sections).
//
//   [TandrelClient]           optional version section
//   Version=Quillon 4.1
//   [SERVER]                  Label, Address, Port, User, Pwd, Log, Timeout,
//                             DataMode, Tls, TlsCaFile
//   [PUT]                     LocalFiles (';' separated, wildcards), LocalDir, RemoteDir
//   [GET]                     RemoteFiles (';' separated), LocalDir, RemoteDir
//
// Port is a number, "BT" (Bluetooth, refused on this platform by the dialog)
// or "ActiveSync" (the server is an attached handheld device). Values of
// User, Pwd, Log and the PUT/GET keys may hold macros. Timeout (seconds,
// 1 to kMaxTimeoutSeconds) limits every wait for the server; without it each
// wait may last CFtpSockClient's default of 60 s. Address may be an IPv6
// literal. DataMode is "Active" (the server connects to us, as without the
// key), "Passive" (we connect to the server) or "Auto" (passive while the
// server has it, else active). Tls=Yes asks for TLS on every connection,
// and no login without it; TlsCaFile names the CA certificates (PEM) the
// server's certificate must lead to, the system's store without it. A Tls
// value other than Yes or No ends the load: a typing error must not send a
// password in the clear.

// One PUT or GET section.
class CFileSyncClientPutGet {
public:
    // PUT: local names or patterns; GET: remote names (patterns only for a
    // device). Macros expanded, trimmed, never empty.
    std::vector<std::string> m_strFiles;
    // Both directories without trailing separators (a value made only of
    // separators keeps one: it names the root).
    std::string m_strLocalDir;
    std::string m_strRemoteDir;
};

class CSyncScript {
public:
    CSyncScript() { Reset(); }
    CSyncScript(const CSyncScript&) = delete;
    CSyncScript& operator=(const CSyncScript&) = delete;

    // Reads and parses the script at strPath. Every problem with a line is
    // shown through messages, with the file name and line number; the parse
    // goes on or stops as the problem demands. False when the file cannot be
    // read (nothing is shown: the caller names the path) or a fatal error
    // stopped the parse; the values read until then stay.
    //
    // A host name in Address is stored as its dotted IPv4 address (empty
    // when it does not resolve). The folder of every GET LocalDir is created.
    // Device macros are expanded through a device connection of the parse's
    // own, which is ended before Load returns.
    bool Load(const std::string& strPath, CMessageSink& messages);

    // Every value as before any Load.
    void Reset();

    std::string GetFilePath() const { return m_strFilePath; }
    std::string GetLabel() const { return m_strLabel; }
    std::string GetAddress() const { return m_strAddress; }
    // Address as written (without the brackets of an IPv6 literal): the
    // name a server's TLS certificate must carry, also once it is looked up.
    std::string GetHostName() const { return m_strHostName; }
    std::string GetUser() const { return m_strUser; }
    std::string GetPassword() const { return m_strPassword; }
    std::string GetLogFile() const { return m_strLogFile; }
    void SetLabel(const std::string& strLabel) { m_strLabel = strLabel; }
    // An address typed in place of the one shown is its own host name.
    void SetAddress(const std::string& strAddress) {
        if (strAddress != m_strAddress) {
            m_strHostName = strAddress;
        }
        m_strAddress = strAddress;
    }
    void SetUser(const std::string& strUser) { m_strUser = strUser; }
    void SetPassword(const std::string& strPassword) { m_strPassword = strPassword; }
    void SetLogFile(const std::string& strLogFile) { m_strLogFile = strLogFile; }

    // The file's trimmed lines, as read by the last Load.
    std::vector<std::string> m_lines;
    bool m_bBluetooth = false;
    bool m_bActiveSync = false;
    // -1 in Bluetooth and device mode and when no Port was read.
    int m_nPort = -1;
    // The Timeout value in seconds; 0 when the script has none (or only
    // unusable ones), which keeps the transfer client's own limit.
    int m_nTimeoutSeconds = 0;
    EDataMode m_eDataMode = EDataMode::Active;
    bool m_bTls = false;
    std::string m_strTlsCaFile;
    // A live transfer writes or fails within this long, so a temporary file
    // untouched for longer than the stale age is known to be left over.
    static constexpr int kMaxTimeoutSeconds = 600;
    std::vector<CFileSyncClientPutGet> m_PutList;
    std::vector<CFileSyncClientPutGet> m_GetList;
    // Set once this script has accepted a GET entry with '*' or '?', which
    // only a device script may hold; from then on its GET entries are no
    // longer checked. The sync run then expands such entries against the
    // device's file list. What one script allowed must not carry over to
    // the next one loaded: Reset clears it.
    bool m_bGetWildcards = false;

private:
    std::string m_strFilePath;
    std::string m_strLabel;
    std::string m_strAddress;
    std::string m_strHostName;
    std::string m_strUser;
    std::string m_strPassword;
    std::string m_strLogFile;
};

// Whether a file entry is a pattern ('*' or '?').
bool HasWildcard(const std::string& strEntry);

// Creates strPath and every missing folder above it ('\' and '/' both
// separate). True when the whole chain exists afterwards; false for an empty
// path or when a folder cannot be created.
bool CreateFolderChain(const std::string& strPath);

// strPath without trailing '\' or '/'; a path made only of separators keeps
// its first (the root).
std::string RemoveTrailingSeparators(const std::string& strPath);
