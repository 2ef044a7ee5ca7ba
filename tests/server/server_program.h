#pragma once

#include <chrono>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/process.h"
#include "tests/support/tempdir.h"

// TandrelServer as an operator runs it: the built program copied into a
// folder of its own with its settings file beside it, started unattended in
// the terminal, and stopped the way a service manager stops it. Needs
// TANDRELSERVER_PATH, the program that the build made.
class CServerProgram {
public:
    using CUsers = std::vector<std::pair<std::string, std::string>>;  // name, password

    // Copies the program and picks a free loopback port for it.
    CServerProgram();
    // A server still running is killed with everything it started.
    ~CServerProgram() = default;
    CServerProgram(const CServerProgram&) = delete;
    CServerProgram& operator=(const CServerProgram&) = delete;

    int Port() const { return m_nPort; }
    // The program's own path, and the folder it lies in.
    std::string Program() const { return m_dir.Join("TandrelServer"); }
    const std::string& Folder() const { return m_dir.Path(); }

    // Writes TandrelServer.INI: the port, strStartDir, strWelcome, a log file
    // in the program's folder, strExtraTcp (whole lines) in [TCP], and one
    // [USER] section per user.
    bool WriteSettings(const std::string& strStartDir, const std::string& strWelcome,
                       const CUsers& users, const std::string& strExtraTcp = std::string()) const;

    // How the program is started: in its folder, with a runtime folder of its
    // own, so that servers of tests running beside it do not count as
    // "another TandrelServer".
    testsupport::CProcessOptions Options() const;

    // Starts the program with vecSwitches and waits until it listens ("Server
    // started on port N"). False, with the reason in Error(), when it did not.
    bool Start(const std::vector<std::string>& vecSwitches = {"-start"});
    const std::string& Error() const { return m_strError; }

    // Sends nSignal (SIGTERM: a service manager's stop) and waits for the
    // program to end. False when it was not running or did not end in time.
    bool Stop(int nSignal, testsupport::CProcessResult& result,
              std::chrono::milliseconds nLimit = std::chrono::seconds(10));

    // The line that says the server listens.
    std::string StartedLine() const { return "Server started on port " + std::to_string(m_nPort); }

private:
    testsupport::CTempDir m_dir;
    testsupport::CTempDir m_runtime;
    testsupport::CBackgroundProcess m_process;
    int m_nPort = 0;
    bool m_bRunning = false;
    std::string m_strError;
};
