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

bool IsErrorTerminal() { return isatty(STDERR_FILENO) == 1; }

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

// The status line on standard error: how many columns it takes, 0 for none.
std::mutex g_errorMutex;
size_t g_nStatusColumns = 0;

// UTF-8 characters, each taken for one column; continuation bytes take none.
size_t CountColumns(const std::string& strText) {
    size_t nColumns = 0;
    for (unsigned char c : strText) {
        nColumns += (c & 0xC0) != 0x80;
    }
    return nColumns;
}

// Blanks over the status line, back to its start. Under g_errorMutex.
void ClearStatus() {
    if (g_nStatusColumns > 0) {
        std::string strBlank(g_nStatusColumns + 2, ' ');
        strBlank.front() = strBlank.back() = '\r';
        std::fputs(strBlank.c_str(), stderr);
        g_nStatusColumns = 0;
    }
}

}  // namespace

void WriteErrorLine(const std::string& strLine) {
    std::lock_guard<std::mutex> lock(g_errorMutex);
    ClearStatus();
    std::fputs((strLine + "\n").c_str(), stderr);
    std::fflush(stderr);
}

void WriteErrorStatus(const std::string& strText) {
    std::lock_guard<std::mutex> lock(g_errorMutex);
    if (strText.empty()) {
        ClearStatus();
    } else {
        const size_t nColumns = CountColumns(strText);
        const size_t nBlanks = g_nStatusColumns > nColumns ? g_nStatusColumns - nColumns : 0;
        std::string strLine = "\r";
        strLine += strText;
        strLine.append(nBlanks, ' ');
        std::fputs(strLine.c_str(), stderr);
        g_nStatusColumns = nColumns + nBlanks;
    }
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
