#include "tests/server/server_program.h"

#include <filesystem>
#include <system_error>

#include "tests/server/ftp_test_client.h"

CServerProgram::CServerProgram() {
    std::error_code error;
    std::filesystem::copy_file(TANDRELSERVER_PATH, Program(), error);
    if (error) {
        m_strError = "cannot copy " + std::string(TANDRELSERVER_PATH) + ": " + error.message();
    }
    m_nPort = FindFreePort();
}

bool CServerProgram::WriteSettings(const std::string& strStartDir, const std::string& strWelcome,
                                   const CUsers& users, const std::string& strExtraTcp) const {
    std::string strSettings =
        "[TandrelServer]\nVersion=Quillon 4.1\n[TCP]\nPort=" + std::to_string(m_nPort) +
        "\nStartDir=" + strStartDir + "\nWelcome=" + strWelcome +
        "\nLog=" + m_dir.Join("server.log") + "\n" + strExtraTcp;
    for (const auto& [strUser, strPassword] : users) {
        strSettings += "[USER]\nUser=" + strUser + "\nPwd=" + strPassword + "\n";
    }
    return m_dir.WriteFile("TandrelServer.INI", strSettings);
}

testsupport::CProcessOptions CServerProgram::Options() const {
    testsupport::CProcessOptions options;
    options.m_vecEnv = {{"XDG_RUNTIME_DIR", m_runtime.Path()}};
    options.m_strWorkDir = m_dir.Path();
    return options;
}

bool CServerProgram::Start(const std::vector<std::string>& vecSwitches) {
    if (!m_strError.empty()) {
        return false;
    }
    if (m_nPort <= 0) {
        m_strError = "no free port";
        return false;
    }
    std::vector<std::string> vecArgv = {Program()};
    vecArgv.insert(vecArgv.end(), vecSwitches.begin(), vecSwitches.end());
    if (!m_process.Start(testsupport::InTerminal(vecArgv), Options())) {
        m_strError = "cannot start TandrelServer: " + m_process.Error();
        return false;
    }
    m_bRunning = true;
    if (!m_process.WaitForStdout(StartedLine(), std::chrono::seconds(20))) {
        m_strError = "TandrelServer does not say it listens; it wrote: " + m_process.Stdout() +
                     m_process.Stderr();
        return false;
    }
    return true;
}

bool CServerProgram::Stop(int nSignal, testsupport::CProcessResult& result,
                          std::chrono::milliseconds nLimit) {
    if (!m_bRunning) {
        return false;
    }
    m_process.Kill(nSignal);
    if (!m_process.Wait(nLimit, &result)) {
        return false;
    }
    m_bRunning = false;
    return true;
}
