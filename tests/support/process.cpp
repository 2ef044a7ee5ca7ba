#include "tests/support/process.h"

// What running a program means on every system; the systems' own parts are
// process_posix.cpp and process_win32.cpp.

namespace testsupport {

std::string CBackgroundProcess::Stdout() const {
    std::lock_guard lock(m_mutex);
    return m_strStdout;
}

std::string CBackgroundProcess::Stderr() const {
    std::lock_guard lock(m_mutex);
    return m_strStderr;
}

bool CBackgroundProcess::WaitForStdout(const std::string& strText,
                                       std::chrono::milliseconds nLimit) {
    std::unique_lock lock(m_mutex);
    m_cvOutput.wait_for(lock, nLimit, [&] {
        return m_strStdout.find(strText) != std::string::npos || m_bOutputEnded;
    });
    return m_strStdout.find(strText) != std::string::npos;
}

CProcessResult RunProgram(const std::vector<std::string>& vecArgv,
                          const CProcessOptions& options) {
    CProcessResult result;
    CBackgroundProcess process;
    if (!process.Start(vecArgv, options)) {
        result.m_strError = process.Error();
        return result;
    }
    if (!process.Wait(options.m_timeLimit, &result)) {
        process.Kill(SIGKILL);
        process.Wait(kReapAfterKill, &result);
        result.m_bTimedOut = true;
    }
    return result;
}

}  // namespace testsupport
