#include "tests/support/process.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <tuple>
#include <unistd.h>

extern char** environ;

namespace testsupport {

namespace {

using Clock = std::chrono::steady_clock;

// Once the program has ended, whatever it wrote is already in the pipes;
// only something it started could keep them busy beyond this.
constexpr std::chrono::milliseconds kDrainLimit = std::chrono::seconds(2);

void CloseFd(int& fd) {
    if (fd >= 0) {
        close(fd);
        fd = -1;
    }
}

std::string ErrnoText(const char* szWhat, int nErrno) {
    return std::string(szWhat) + ": " + std::strerror(nErrno);
}

std::vector<std::string> BuildEnvironment(const CProcessOptions& options) {
    std::vector<std::string> vecEnv;
    for (char** pp = environ; pp != nullptr && *pp != nullptr; ++pp) {
        std::string strEntry(*pp);
        std::string strName = strEntry.substr(0, strEntry.find('='));
        bool bReplaced = std::any_of(options.m_vecEnv.begin(), options.m_vecEnv.end(),
                                     [&](const auto& var) { return var.first == strName; });
        if (!bReplaced) {
            vecEnv.push_back(std::move(strEntry));
        }
    }
    for (const auto& [strName, strValue] : options.m_vecEnv) {
        vecEnv.push_back(strName + "=" + strValue);
    }
    return vecEnv;
}

std::vector<char*> PointerArray(std::vector<std::string>& vecStrings) {
    std::vector<char*> vecPointers;
    for (std::string& str : vecStrings) {
        vecPointers.push_back(str.data());
    }
    vecPointers.push_back(nullptr);
    return vecPointers;
}

}  // namespace

CBackgroundProcess::~CBackgroundProcess() {
    if (m_nPid > 0 && !m_bReaped) {
        Kill(SIGKILL);
        Wait(kReapAfterKill);
    }
    Finish();
}

bool CBackgroundProcess::Start(const std::vector<std::string>& vecArgv,
                               const CProcessOptions& options) {
    if (m_nPid != -1) {
        m_strError = "a program was already started with this object";
        return false;
    }
    if (vecArgv.empty()) {
        m_strError = "no program given";
        return false;
    }
    std::vector<std::string> vecArgs = vecArgv;
    std::vector<std::string> vecEnv = BuildEnvironment(options);
    std::vector<char*> vecArgPointers = PointerArray(vecArgs);
    std::vector<char*> vecEnvPointers = PointerArray(vecEnv);

    // Close-on-exec everywhere: another thread may start a program at the
    // same time, and a stray copy of a write end would keep our reads from
    // ever seeing end of file.
    int fdIn[2] = {-1, -1};
    int fdOut[2] = {-1, -1};
    int fdErr[2] = {-1, -1};
    int fdStop[2] = {-1, -1};
    auto closeAll = [&] {
        for (int* pPair : {fdIn, fdOut, fdErr, fdStop}) {
            CloseFd(pPair[0]);
            CloseFd(pPair[1]);
        }
    };
    if (pipe2(fdIn, O_CLOEXEC) != 0 || pipe2(fdOut, O_CLOEXEC) != 0 ||
        pipe2(fdErr, O_CLOEXEC) != 0 || pipe2(fdStop, O_CLOEXEC) != 0) {
        m_strError = ErrnoText("pipe2", errno);
        closeAll();
        return false;
    }

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fdIn[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, fdOut[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, fdErr[1], STDERR_FILENO);
    if (!options.m_strWorkDir.empty()) {
        posix_spawn_file_actions_addchdir_np(&actions, options.m_strWorkDir.c_str());
    }

    // The program gets a clean signal state whatever the test runner set up,
    // and a process group of its own so Kill reaches its children too.
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t setEmpty;
    sigemptyset(&setEmpty);
    posix_spawnattr_setsigmask(&attr, &setEmpty);
    sigset_t setDefault;
    sigemptyset(&setDefault);
    for (int nSignal : {SIGPIPE, SIGINT, SIGQUIT, SIGHUP, SIGTERM, SIGCHLD, SIGUSR1, SIGUSR2}) {
        sigaddset(&setDefault, nSignal);
    }
    posix_spawnattr_setsigdefault(&attr, &setDefault);
    posix_spawnattr_setpgroup(&attr, 0);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF |
                                        POSIX_SPAWN_SETPGROUP);

    pid_t nPid = -1;
    int nRc = posix_spawnp(&nPid, vecArgPointers[0], &actions, &attr, vecArgPointers.data(),
                           vecEnvPointers.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    if (nRc != 0) {
        std::string strWhat = "cannot start " + vecArgv[0];
        if (!options.m_strWorkDir.empty()) {
            strWhat += " in " + options.m_strWorkDir;
        }
        m_strError = ErrnoText(strWhat.c_str(), nRc);
        closeAll();
        return false;
    }

    m_nPid = nPid;
    CloseFd(fdIn[0]);
    CloseFd(fdOut[1]);
    CloseFd(fdErr[1]);
    for (int fd : {fdIn[1], fdOut[0], fdErr[0]}) {
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    }
    m_fdStopWrite = fdStop[1];
    m_thread = std::thread(&CBackgroundProcess::Pump, this, fdIn[1], fdOut[0], fdErr[0],
                           fdStop[0], options.m_strStdin);
    return true;
}

void CBackgroundProcess::Pump(int fdStdin, int fdStdout, int fdStderr, int fdStop,
                              std::string strStdin) {
    // A program that exits without reading all its input makes our write
    // fail with EPIPE; the signal that comes with it must not end the test.
    sigset_t setPipe;
    sigemptyset(&setPipe);
    sigaddset(&setPipe, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &setPipe, nullptr);

    size_t nWritten = 0;
    if (strStdin.empty()) {
        CloseFd(fdStdin);
    }
    bool bDraining = false;
    Clock::time_point drainEnd;
    char buffer[65536];

    // A program may close its output and still read its input, so the loop
    // runs while any of the three is open.
    while (fdStdin >= 0 || fdStdout >= 0 || fdStderr >= 0) {
        pollfd fds[4];
        int nFds = 0;
        int nInIndex = -1, nOutIndex = -1, nErrIndex = -1, nStopIndex = -1;
        if (fdStdin >= 0) {
            nInIndex = nFds;
            fds[nFds++] = {fdStdin, POLLOUT, 0};
        }
        if (fdStdout >= 0) {
            nOutIndex = nFds;
            fds[nFds++] = {fdStdout, POLLIN, 0};
        }
        if (fdStderr >= 0) {
            nErrIndex = nFds;
            fds[nFds++] = {fdStderr, POLLIN, 0};
        }
        if (fdStop >= 0) {
            nStopIndex = nFds;
            fds[nFds++] = {fdStop, POLLIN, 0};
        }
        int nReady = poll(fds, nFds, bDraining ? 0 : -1);
        if (nReady < 0) {
            if (errno == EINTR) {
                continue;
            }
            break;
        }
        if (bDraining && (nReady == 0 || Clock::now() > drainEnd)) {
            break;
        }

        if (nInIndex >= 0 && fds[nInIndex].revents != 0) {
            ssize_t n = write(fdStdin, strStdin.data() + nWritten,
                              std::min<size_t>(strStdin.size() - nWritten, 65536));
            if (n > 0) {
                nWritten += static_cast<size_t>(n);
            } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
                if (errno == EPIPE) {
                    timespec zero{0, 0};
                    sigtimedwait(&setPipe, nullptr, &zero);
                }
                nWritten = strStdin.size();
            }
            if (nWritten == strStdin.size()) {
                CloseFd(fdStdin);
            }
        }

        for (auto [nIndex, pFd, pStr] : {std::tuple{nOutIndex, &fdStdout, &m_strStdout},
                                         std::tuple{nErrIndex, &fdStderr, &m_strStderr}}) {
            if (nIndex < 0 || fds[nIndex].revents == 0) {
                continue;
            }
            ssize_t n = read(*pFd, buffer, sizeof buffer);
            if (n > 0) {
                std::lock_guard lock(m_mutex);
                pStr->append(buffer, static_cast<size_t>(n));
                m_cvOutput.notify_all();
            } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
                CloseFd(*pFd);
                if (fdStdout < 0 && fdStderr < 0) {
                    std::lock_guard lock(m_mutex);
                    m_bOutputEnded = true;
                    m_cvOutput.notify_all();
                }
            }
        }

        if (nStopIndex >= 0 && fds[nStopIndex].revents != 0) {
            // The program has ended: nobody is left to read its input.
            CloseFd(fdStop);
            CloseFd(fdStdin);
            bDraining = true;
            drainEnd = Clock::now() + kDrainLimit;
        }
    }

    CloseFd(fdStdin);
    CloseFd(fdStdout);
    CloseFd(fdStderr);
    CloseFd(fdStop);
    std::lock_guard lock(m_mutex);
    m_bOutputEnded = true;
    m_cvOutput.notify_all();
}

void CBackgroundProcess::Finish() {
    // Closing (rather than writing) wakes the pump with a hang-up, and cannot
    // raise SIGPIPE here when the pump has already gone.
    CloseFd(m_fdStopWrite);
    if (m_thread.joinable()) {
        m_thread.join();
    }
}

bool CBackgroundProcess::Wait(std::chrono::milliseconds nLimit, CProcessResult* pResult) {
    if (m_nPid == -1) {
        if (pResult != nullptr) {
            *pResult = CProcessResult{};
            pResult->m_strError = m_strError.empty() ? "not started" : m_strError;
        }
        return true;
    }
    if (!m_bReaped) {
        // Polling with a growing pause keeps short runs quick without a
        // SIGCHLD handler, which would clash with whatever the test does.
        Clock::time_point deadline = Clock::now() + nLimit;
        std::chrono::microseconds pause(100);
        while (true) {
            int nStatus = 0;
            pid_t nRc = waitpid(m_nPid, &nStatus, WNOHANG);
            if (nRc == m_nPid) {
                m_nWaitStatus = nStatus;
                m_bReaped = true;
                break;
            }
            if (nRc < 0 && errno != EINTR) {
                // Someone else reaped it; its status is lost, so do not
                // pretend it succeeded.
                m_strError = ErrnoText("waitpid", errno);
                m_bStatusLost = true;
                m_bReaped = true;
                break;
            }
            Clock::time_point now = Clock::now();
            if (now >= deadline) {
                return false;
            }
            std::this_thread::sleep_for(
                std::min<Clock::duration>(pause, deadline - now));
            pause = std::min<std::chrono::microseconds>(pause * 2, std::chrono::milliseconds(10));
        }
        Finish();
    }
    if (pResult != nullptr) {
        CProcessResult& result = *pResult;
        result = CProcessResult{};
        result.m_bStarted = true;
        result.m_strError = m_strError;
        // A lost status reads as neither exited nor signaled.
        if (!m_bStatusLost && WIFEXITED(m_nWaitStatus)) {
            result.m_nExitStatus = WEXITSTATUS(m_nWaitStatus);
        } else if (!m_bStatusLost && WIFSIGNALED(m_nWaitStatus)) {
            result.m_bSignaled = true;
            result.m_nSignal = WTERMSIG(m_nWaitStatus);
        }
        std::lock_guard lock(m_mutex);
        result.m_strStdout = m_strStdout;
        result.m_strStderr = m_strStderr;
    }
    return true;
}

void CBackgroundProcess::Kill(int nSignal) {
    if (m_nPid <= 0 || m_bReaped) {
        return;
    }
    // Until it is reaped the pid cannot be reused, so this cannot hit a
    // stranger. A program that moved to another group still gets the signal.
    if (kill(-m_nPid, nSignal) != 0) {
        kill(m_nPid, nSignal);
    }
}

std::vector<std::string> InTerminal(std::vector<std::string> vecArgv) { return vecArgv; }

}  // namespace testsupport
