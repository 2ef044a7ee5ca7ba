#include "platform/console.h"

#include <pthread.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <mutex>
#include <thread>

namespace platform {

void AttachParentConsole() {}

bool IsInputTerminal() { return isatty(STDIN_FILENO) == 1; }

bool ReadInputLine(std::string& strLine) {
    strLine.clear();
    for (;;) {
        char ch;
        ssize_t nRead = read(STDIN_FILENO, &ch, 1);
        if (nRead < 0 && errno == EINTR) {
            continue;
        }
        if (nRead <= 0) {
            return false;
        }
        if (ch == '\n') {
            if (!strLine.empty() && strLine.back() == '\r') {
                strLine.pop_back();
            }
            return true;
        }
        strLine += ch;
    }
}

CEchoOff::CEchoOff() {
    termios state;
    if (!IsInputTerminal() || tcgetattr(STDIN_FILENO, &state) != 0) {
        return;
    }
    m_nSavedFlags = state.c_lflag;
    state.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    m_bRestore = tcsetattr(STDIN_FILENO, TCSAFLUSH, &state) == 0;
}

CEchoOff::~CEchoOff() {
    termios state;
    if (m_bRestore && tcgetattr(STDIN_FILENO, &state) == 0) {
        state.c_lflag = m_nSavedFlags;
        tcsetattr(STDIN_FILENO, TCSAFLUSH, &state);
    }
}

namespace {

std::mutex g_stopMutex;
std::function<void()> g_onStop;
bool g_bWatching = false;

}  // namespace

void WriteErrorLine(const std::string& strLine) {
    std::fputs((strLine + "\n").c_str(), stderr);
    std::fflush(stderr);
}

void WatchStopRequests(std::function<void()> onStop) {
    std::lock_guard<std::mutex> lock(g_stopMutex);
    g_onStop = std::move(onStop);
    if (g_bWatching) {
        return;
    }
    g_bWatching = true;
    // Blocked here, the signals stay pending until sigwait takes them, in
    // this thread and in every thread started after it.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    std::thread([signals] {
        for (;;) {
            int nSignal = 0;
            if (sigwait(&signals, &nSignal) != 0) {
                continue;
            }
            std::function<void()> onStop;
            {
                std::lock_guard<std::mutex> lock(g_stopMutex);
                onStop = g_onStop;
            }
            if (onStop) {
                onStop();
            }
        }
    }).detach();
}

}  // namespace platform
