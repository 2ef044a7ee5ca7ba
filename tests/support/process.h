#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

// Running real programs from tests. The program is started directly from an
// argument vector (no shell), in its own process group (on Windows: a job
// object) so that killing it also ends anything it started. Standard input is fed and standard output and
// error are drained at the same time, so a program that writes a lot before it
// has read all its input cannot deadlock against the test.

#ifdef _WIN32
// Windows has no signals: Kill(SIGKILL) terminates the program and
// everything it started; SIGTERM and SIGINT make the stop requests a
// Windows program gets (a console break to its process group, and a close
// request to its windows).
#include <csignal>
#ifndef SIGKILL
#define SIGKILL 9
#endif
#else
#include <csignal>
#include <sys/types.h>
#endif

namespace testsupport {

#ifdef _WIN32
using pid_t = int;
#endif

struct CProcessOptions {
    // Bytes written to the program's standard input, which is then closed.
    // Bytes the program never reads are dropped.
    std::string m_strStdin;
    // Working folder of the program; empty keeps the caller's.
    std::string m_strWorkDir;
    // Variables set on top of the caller's environment (a name given here
    // replaces the inherited value).
    std::vector<std::pair<std::string, std::string>> m_vecEnv;
    // RunProgram only: after this long the program is killed (SIGKILL).
    std::chrono::milliseconds m_timeLimit{std::chrono::seconds(60)};
};

struct CProcessResult {
    // False when the program could not be started (m_strError says why);
    // every other field is then meaningless.
    bool m_bStarted = false;
    std::string m_strError;
    // RunProgram only: the time limit ran out and the program was killed.
    bool m_bTimedOut = false;
    // True when a signal ended the program (m_nSignal); otherwise it exited
    // with m_nExitStatus (0..255, so returning -1 from main reads as 255).
    bool m_bSignaled = false;
    int m_nSignal = 0;
    int m_nExitStatus = -1;
    std::string m_strStdout;
    std::string m_strStderr;
};

// How long a program that was killed may take to be reaped before the test
// gives up on it; a kill ends any process that is not stuck in the kernel.
constexpr std::chrono::milliseconds kReapAfterKill = std::chrono::minutes(5);

// The command line of one of our dialog programs as it is to run in the
// terminal: unchanged on Linux, where the tests' environment names no
// display; on Windows, which always has a desktop, with the switch
// "-console" after the program's path.
std::vector<std::string> InTerminal(std::vector<std::string> vecArgv);

// Runs argv[0] (searched in PATH when it has no slash) and waits for it to
// end or for the time limit.
CProcessResult RunProgram(const std::vector<std::string>& vecArgv,
                          const CProcessOptions& options = {});

// A program left running while the test goes on (a server, say). The
// destructor kills it (SIGKILL) and reaps it if it is still running.
class CBackgroundProcess {
public:
    CBackgroundProcess() = default;
    ~CBackgroundProcess();
    CBackgroundProcess(const CBackgroundProcess&) = delete;
    CBackgroundProcess& operator=(const CBackgroundProcess&) = delete;

    // Starts the program; m_timeLimit is not used. Returns false (see Error())
    // when it could not be started or this object already holds a program.
    bool Start(const std::vector<std::string>& vecArgv, const CProcessOptions& options = {});
    const std::string& Error() const { return m_strError; }

    // Process id, which is also its process group id; -1 before Start.
    pid_t Pid() const { return m_nPid; }

    // Waits up to nLimit for the program to end. Returns true once it has
    // ended, filling *pResult (if given) with its status and all its output;
    // false when it is still running at the limit. Output written by programs
    // it started that outlive it may be missing.
    bool Wait(std::chrono::milliseconds nLimit, CProcessResult* pResult = nullptr);

    // Sends nSignal to the program's process group; does nothing once the
    // program has been reaped by Wait.
    void Kill(int nSignal);

    // Output captured so far.
    std::string Stdout() const;
    std::string Stderr() const;

    // Waits up to nLimit until the standard output contains strText (for a
    // server announcing it is ready). False at the limit or when the output
    // ended without it.
    bool WaitForStdout(const std::string& strText, std::chrono::milliseconds nLimit);

private:
    void Finish();

    pid_t m_nPid = -1;
    bool m_bReaped = false;
    std::string m_strError;
#ifdef _WIN32
    void PumpOutput(void* hStdout, void* hStderr);
    void FeedInput(void* hStdin, std::string strStdin);

    void* m_hProcess = nullptr;
    void* m_hJob = nullptr;
    unsigned long m_nExitCode = 0;
    bool m_bKilled = false;
    int m_nKillSignal = 0;
    std::thread m_inputThread;
#else
    void Pump(int fdStdin, int fdStdout, int fdStderr, int fdStop, std::string strStdin);

    int m_nWaitStatus = 0;
    bool m_bStatusLost = false;
    int m_fdStopWrite = -1;
#endif
    std::thread m_thread;

    mutable std::mutex m_mutex;
    std::condition_variable m_cvOutput;
    std::string m_strStdout;
    std::string m_strStderr;
    bool m_bOutputEnded = false;
};

}  // namespace testsupport
