#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <thread>

#include "platform/process.h"

extern char** environ;

namespace platform {

namespace {

using CClock = std::chrono::steady_clock;

int RemainingMs(CClock::time_point deadline) {
    auto nLeft =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - CClock::now()).count();
    return nLeft < 0 ? 0 : static_cast<int>(nLeft);
}

// Reaps the child if it has ended; fills nExitStatus then.
bool TryReap(pid_t nPid, CProgramOutput& output) {
    int nStatus = 0;
    pid_t nResult;
    do {
        nResult = waitpid(nPid, &nStatus, WNOHANG);
    } while (nResult < 0 && errno == EINTR);
    if (nResult != nPid) {
        return nResult < 0;  // already gone (ECHILD): nothing more to wait for
    }
    output.nExitStatus = WIFEXITED(nStatus) ? WEXITSTATUS(nStatus) : -1;
    return true;
}

}  // namespace

CProgramOutput RunProgramForOutput(const std::vector<std::string>& vecArgv, int nTimeLimitMs,
                                   size_t nStdoutCapacity) {
    CProgramOutput output;
    if (vecArgv.empty() || vecArgv[0].empty()) {
        return output;
    }
    int fdPipe[2];
    if (pipe2(fdPipe, O_CLOEXEC) != 0) {
        return output;
    }

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, fdPipe[1], STDOUT_FILENO);
    // Its own process group, so that a kill at the time limit also ends
    // whatever it started and still holds our pipe.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setpgroup(&attributes, 0);
    sigset_t defaultSignals;
    sigemptyset(&defaultSignals);
    sigaddset(&defaultSignals, SIGPIPE);
    posix_spawnattr_setsigdefault(&attributes, &defaultSignals);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGDEF);

    std::vector<char*> argv;
    for (const std::string& strArg : vecArgv) {
        argv.push_back(const_cast<char*>(strArg.c_str()));
    }
    argv.push_back(nullptr);

    pid_t nPid = -1;
    int nSpawnError = posix_spawn(&nPid, vecArgv[0].c_str(), &actions, &attributes, argv.data(),
                                  environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    close(fdPipe[1]);
    if (nSpawnError != 0) {
        close(fdPipe[0]);
        return output;
    }
    output.bStarted = true;

    CClock::time_point deadline = CClock::now() + std::chrono::milliseconds(nTimeLimitMs);
    bool bReaped = false;
    bool bPipeOpen = true;
    char buffer[4096];
    // Read until the pipe ends; a program that has ended but left a child
    // holding the pipe is not waited for beyond what is already there.
    while (bPipeOpen) {
        int nWaitMs = RemainingMs(deadline);
        if (nWaitMs == 0) {
            break;
        }
        pollfd waiter {fdPipe[0], POLLIN, 0};
        int nReady = poll(&waiter, 1, nWaitMs < 50 ? nWaitMs : 50);
        if (nReady < 0 && errno != EINTR) {
            break;
        }
        if (nReady > 0) {
            ssize_t nRead = read(fdPipe[0], buffer, sizeof(buffer));
            if (nRead < 0 && errno == EINTR) {
                continue;
            }
            if (nRead <= 0) {
                bPipeOpen = false;
            } else if (output.strStdout.size() < nStdoutCapacity) {
                size_t nTake = std::min(static_cast<size_t>(nRead),
                                        nStdoutCapacity - output.strStdout.size());
                output.strStdout.append(buffer, nTake);
            }
            continue;
        }
        if (!bReaped && TryReap(nPid, output)) {
            bReaped = true;
            // Whatever it wrote before ending is in the pipe already.
            while (poll(&waiter, 1, 0) > 0) {
                ssize_t nRead = read(fdPipe[0], buffer, sizeof(buffer));
                if (nRead <= 0) {
                    break;
                }
                if (output.strStdout.size() < nStdoutCapacity) {
                    size_t nTake = std::min(static_cast<size_t>(nRead),
                                            nStdoutCapacity - output.strStdout.size());
                    output.strStdout.append(buffer, nTake);
                }
            }
            break;
        }
    }
    close(fdPipe[0]);

    while (!bReaped) {
        if (TryReap(nPid, output)) {
            bReaped = true;
            break;
        }
        if (RemainingMs(deadline) == 0) {
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    if (!bReaped) {
        output.bTimedOut = true;
        output.nExitStatus = -1;
        kill(-nPid, SIGKILL);
        int nStatus = 0;
        while (waitpid(nPid, &nStatus, 0) < 0 && errno == EINTR) {
        }
    } else {
        // Anything it left running in its group has no business outliving it.
        kill(-nPid, SIGKILL);
    }
    return output;
}

}  // namespace platform
