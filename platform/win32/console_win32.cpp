#include <windows.h>
#include <fcntl.h>
#include <io.h>

#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <thread>

#include "platform/console.h"
#include "platform/win32/internal.h"

namespace platform {

namespace {

// A handle that a stream can be written to or read from: a console, a file
// or a pipe handed over by whoever started us.
bool IsValidStandardHandle(DWORD dwWhich) {
    HANDLE hStream = GetStdHandle(dwWhich);
    return hStream != nullptr && hStream != INVALID_HANDLE_VALUE &&
           GetFileType(hStream) != FILE_TYPE_UNKNOWN;
}

bool IsConsoleHandle(HANDLE hStream) {
    DWORD dwMode = 0;
    return hStream != nullptr && hStream != INVALID_HANDLE_VALUE &&
           GetConsoleMode(hStream, &dwMode) != 0;
}

void Rebind(std::FILE* pStream, DWORD dwWhich, const wchar_t* pszDevice, const wchar_t* pszMode) {
    std::FILE* pReopened = _wfreopen(pszDevice, pszMode, pStream);
    if (pReopened == nullptr) {
        return;
    }
    HANDLE hDevice = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(pReopened)));
    if (hDevice != INVALID_HANDLE_VALUE) {
        SetStdHandle(dwWhich, hDevice);
    }
    setvbuf(pReopened, nullptr, pStream == stderr ? _IONBF : _IOLBF, pStream == stderr ? 0 : 4096);
}

std::mutex g_stopMutex;
std::condition_variable g_stopSignal;
std::function<void()> g_onStop;
int g_nPendingStops = 0;
bool g_bWatching = false;

// Called by the system on a thread it makes for the event. The callback
// runs on the watcher's own thread instead, so that it never runs in a
// context the program did not start, and the handler returns at once.
BOOL WINAPI OnConsoleControl(DWORD dwEvent) {
    switch (dwEvent) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
        break;
    default:
        return FALSE;
    }
    {
        std::lock_guard<std::mutex> lock(g_stopMutex);
        ++g_nPendingStops;
    }
    g_stopSignal.notify_one();
    if (dwEvent == CTRL_CLOSE_EVENT || dwEvent == CTRL_LOGOFF_EVENT ||
        dwEvent == CTRL_SHUTDOWN_EVENT) {
        // The system ends the process as soon as this handler returns from
        // one of these events; a few seconds are granted to stop in order.
        Sleep(5000);
    }
    return TRUE;
}

}  // namespace

void AttachParentConsole() {
    bool bInput = IsValidStandardHandle(STD_INPUT_HANDLE);
    bool bOutput = IsValidStandardHandle(STD_OUTPUT_HANDLE);
    bool bError = IsValidStandardHandle(STD_ERROR_HANDLE);
    if (bInput && bOutput && bError) {
        return;
    }
    if (!AttachConsole(ATTACH_PARENT_PROCESS)) {
        return;
    }
    if (!bInput) {
        Rebind(stdin, STD_INPUT_HANDLE, L"CONIN$", L"r");
    }
    if (!bOutput) {
        Rebind(stdout, STD_OUTPUT_HANDLE, L"CONOUT$", L"w");
    }
    if (!bError) {
        Rebind(stderr, STD_ERROR_HANDLE, L"CONOUT$", L"w");
    }
}

bool IsInputTerminal() { return IsConsoleHandle(GetStdHandle(STD_INPUT_HANDLE)); }

// A console, not a file or pipe (GetFileType alone would take the NUL device
// for a character device like the console).
bool IsErrorTerminal() { return IsConsoleHandle(GetStdHandle(STD_ERROR_HANDLE)); }

bool ReadInputLine(std::string& strLine) {
    strLine.clear();
    HANDLE hInput = GetStdHandle(STD_INPUT_HANDLE);
    if (hInput == nullptr || hInput == INVALID_HANDLE_VALUE) {
        return false;
    }
    if (IsConsoleHandle(hInput)) {
        // Typed text comes as UTF-16 from the console, whatever its code
        // page; one character at a time, so that nothing after the line end
        // is taken from the next reader.
        std::wstring strWide;
        for (;;) {
            wchar_t ch = 0;
            DWORD nRead = 0;
            if (!ReadConsoleW(hInput, &ch, 1, &nRead, nullptr) || nRead == 0) {
                strLine = win32::FromWide(strWide);
                return false;
            }
            // Ctrl+Z at the start of a line is the console's end of input.
            if (ch == 0x1A && strWide.empty()) {
                return false;
            }
            if (ch == L'\n') {
                if (!strWide.empty() && strWide.back() == L'\r') {
                    strWide.pop_back();
                }
                strLine = win32::FromWide(strWide);
                return true;
            }
            strWide += ch;
        }
    }
    // A file or pipe holds bytes, UTF-8 like every other text of ours.
    for (;;) {
        char ch;
        DWORD nRead = 0;
        if (!ReadFile(hInput, &ch, 1, &nRead, nullptr) || nRead == 0) {
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
    HANDLE hInput = GetStdHandle(STD_INPUT_HANDLE);
    DWORD dwMode = 0;
    if (!IsConsoleHandle(hInput) || !GetConsoleMode(hInput, &dwMode)) {
        return;
    }
    m_nSavedFlags = dwMode;
    m_bRestore = SetConsoleMode(hInput, dwMode & ~static_cast<DWORD>(ENABLE_ECHO_INPUT)) != 0;
}

CEchoOff::~CEchoOff() {
    if (m_bRestore) {
        SetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), m_nSavedFlags);
    }
}

namespace {

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

// Writes strText to standard error as it stands, line ends included.
void WriteError(const std::string& strText) {
    HANDLE hError = GetStdHandle(STD_ERROR_HANDLE);
    if (IsConsoleHandle(hError)) {
        // The console shows UTF-16 right, whatever its code page.
        std::wstring strWide = win32::ToWide(strText);
        std::fflush(stderr);
        DWORD nWritten = 0;
        WriteConsoleW(hError, strWide.data(), static_cast<DWORD>(strWide.size()), &nWritten,
                      nullptr);
        return;
    }
    std::fputs(strText.c_str(), stderr);
    std::fflush(stderr);
}

// Blanks over the status line, back to its start. Under g_errorMutex.
void ClearStatus() {
    if (g_nStatusColumns > 0) {
        std::string strBlank(g_nStatusColumns + 2, ' ');
        strBlank.front() = strBlank.back() = '\r';
        WriteError(strBlank);
        g_nStatusColumns = 0;
    }
}

}  // namespace

void WriteErrorLine(const std::string& strLine) {
    std::lock_guard<std::mutex> lock(g_errorMutex);
    ClearStatus();
    const bool bConsole = IsConsoleHandle(GetStdHandle(STD_ERROR_HANDLE));
    WriteError(strLine + (bConsole ? "\r\n" : "\n"));
}

void WriteErrorStatus(const std::string& strText) {
    std::lock_guard<std::mutex> lock(g_errorMutex);
    if (strText.empty()) {
        ClearStatus();
        return;
    }
    const size_t nColumns = CountColumns(strText);
    const size_t nBlanks = g_nStatusColumns > nColumns ? g_nStatusColumns - nColumns : 0;
    std::string strLine = "\r";
    strLine += strText;
    strLine.append(nBlanks, ' ');
    WriteError(strLine);
    g_nStatusColumns = nColumns + nBlanks;
}

void WatchStopRequests(std::function<void()> onStop) {
    std::lock_guard<std::mutex> lock(g_stopMutex);
    g_onStop = std::move(onStop);
    if (g_bWatching) {
        return;
    }
    g_bWatching = true;
    SetConsoleCtrlHandler(OnConsoleControl, TRUE);
    std::thread([] {
        std::unique_lock<std::mutex> lock(g_stopMutex);
        for (;;) {
            g_stopSignal.wait(lock, [] { return g_nPendingStops > 0; });
            --g_nPendingStops;
            std::function<void()> onStop = g_onStop;
            lock.unlock();
            if (onStop) {
                onStop();
            }
            lock.lock();
        }
    }).detach();
}

}  // namespace platform
