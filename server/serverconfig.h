#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "common/messages.h"
#include "server/ftpserver/ftpserver.h"

// TandrelServer's configuration file, the settings file beside the program:
//
//   [TandrelServer]        optional; Version = Quillon 3.2 | 3.3 | 4.1
//   [TCP]                  Port (digits, or "BT" for Bluetooth), StartDir,
//                          Welcome, Log (macros expanded when loaded),
//                          PassivePorts (first-last), PassiveAddress (IPv4),
//                          TlsCertificate, TlsKey (PEM files), TlsRequired
//                          (Yes or No)
//   [USER]                 User, Pwd; every [USER] section adds one account
//
// Sections may repeat and come in any order; a later value overwrites an
// earlier one. Values are stored unchecked: the dialog checks port and texts
// when it takes them over, and the engine copes with an empty user list.
class CFileSyncServerConfig {
public:
    // Resets every value, then reads and parses the file at strPath. Each
    // line the parser cannot use is shown through sink with the file name and
    // the line number, and the parse goes on; an invalid Version or Port is
    // shown and ends the parse. Returns false when the file cannot be read
    // (nothing is shown: the caller reports it with the full path) or the
    // parse ended early. Values set before the line that ended it are kept,
    // but the caller must treat the whole load as failed.
    bool Load(const std::string& strPath, CMessageSink& sink);

    const std::string& GetFilePath() const { return m_strFilePath; }
    const std::vector<std::string>& GetLines() const { return m_lines; }

    std::string GetStartDir() const { return m_strStartDir; }
    std::string GetWelcome() const { return m_strWelcome; }
    std::string GetLogFile() const { return m_strLogFile; }
    // Where passive data connections are listened for; an invalid
    // PassivePorts or PassiveAddress ends the parse like an invalid Port.
    const CPassiveSettings& GetPassiveSettings() const { return m_passive; }
    // TLS: offered when a certificate is named (the key may be in the same
    // file), required when TlsRequired=Yes.
    std::string GetTlsCertificate() const { return m_strTlsCertificate; }
    std::string GetTlsKey() const {
        return m_strTlsKey.empty() ? m_strTlsCertificate : m_strTlsKey;
    }
    bool IsTlsRequired() const { return m_bTlsRequired; }
    // How many sessions the server runs at once ([TCP] MaxSessions, 1 to
    // 256); 1 without the key.
    int GetMaxSessions() const { return m_nMaxSessions; }
    void SetStartDir(const std::string& strStartDir) { m_strStartDir = strStartDir; }
    void SetWelcome(const std::string& strWelcome) { m_strWelcome = strWelcome; }
    void SetLogFile(const std::string& strLogFile) { m_strLogFile = strLogFile; }

    // The configuration holds no single user or password, only the accounts,
    // so these replace the name or password of the account at nUser; false
    // (nothing changed) when there is no such account.
    bool SetUser(size_t nUser, const std::string& strUser);
    bool SetPwd(size_t nUser, const std::string& strPwd);

private:
    bool ParseLines(const std::string& strPath, CMessageSink& sink);

    std::string m_strFilePath;       // the path given to the last Load
    std::vector<std::string> m_lines;  // trimmed lines of the last file read

public:
    // The dialog reads and sets these directly.
    bool m_bBluetooth = false;  // the port was given as "BT"
    int m_nPort = -1;           // -1: not given, or Bluetooth mode

private:
    std::string m_strStartDir;
    std::string m_strWelcome;
    std::string m_strLogFile;  // macros already expanded; empty: no log file
    CPassiveSettings m_passive;
    std::string m_strTlsCertificate;
    std::string m_strTlsKey;
    bool m_bTlsRequired = false;
    int m_nMaxSessions = 1;

public:
    // One account per [USER] section, in file order. Reloading empties and
    // refills it; the engine works on its own copy, so that is safe while a
    // server runs.
    std::vector<CFileSyncServerUser> m_users;
};
