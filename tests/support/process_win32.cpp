#include "tests/support/process.h"

#include <windows.h>

#include <algorithm>
#include <map>

namespace testsupport {

namespace {

using Clock = std::chrono::steady_clock;

// Once the program has ended, whatever it wrote is already in the pipes;
// only something it started could keep them busy beyond this.
constexpr std::chrono::milliseconds kDrainLimit = std::chrono::seconds(2);

// Handles are made inheritable only for the moment of one CreateProcess,
// under this lock: a program started by another thread meanwhile must not
// inherit a copy of our pipe ends, which would keep reads from ever seeing
// the end.
std::mutex g_startMutex;

std::wstring Widen(const std::string& str) {
    if (str.empty()) {
        return std::wstring();
    }
    int n = MultiByteToWideChar(CP_UTF8, 0, str.data(), static_cast<int>(str.size()), nullptr, 0);
    std::wstring wstr(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, str.data(), static_cast<int>(str.size()), wstr.data(), n);
    return wstr;
}

std::string Narrow(const std::wstring& wstr) {
    if (wstr.empty()) {
        return std::string();
    }
    int n = WideCharToMultiByte(CP_UTF8, 0, wstr.data(), static_cast<int>(wstr.size()), nullptr,
                                0, nullptr, nullptr);
    std::string str(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, wstr.data(), static_cast<int>(wstr.size()), str.data(), n,
                        nullptr, nullptr);
    return str;
}

std::string ErrorText(const std::string& strWhat, DWORD dwError) {
    wchar_t* pszText = nullptr;
    FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                       FORMAT_MESSAGE_IGNORE_INSERTS,
                   nullptr, dwError, 0, reinterpret_cast<wchar_t*>(&pszText), 0, nullptr);
    std::string strText = pszText != nullptr ? Narrow(pszText) : "error " + std::to_string(dwError);
    LocalFree(pszText);
    while (!strText.empty() && (strText.back() == '\n' || strText.back() == '\r' ||
                                strText.back() == ' ' || strText.back() == '.')) {
        strText.pop_back();
    }
    return strWhat + ": " + strText + " (error " + std::to_string(dwError) + ")";
}

// One argument quoted so that the C runtime's command-line parser gives it
// back unchanged: backslashes are literal except before a quote.
void AppendQuoted(std::wstring& wstrLine, const std::wstring& wstrArg) {
    if (!wstrArg.empty() && wstrArg.find_first_of(L" \t\n\v\"") == std::wstring::npos) {
        wstrLine += wstrArg;
        return;
    }
    wstrLine += L'"';
    size_t nBackslashes = 0;
    for (wchar_t ch : wstrArg) {
        if (ch == L'\\') {
            ++nBackslashes;
            continue;
        }
        if (ch == L'"') {
            wstrLine.append(nBackslashes * 2 + 1, L'\\');
        } else {
            wstrLine.append(nBackslashes, L'\\');
        }
        nBackslashes = 0;
        wstrLine += ch;
    }
    wstrLine.append(nBackslashes * 2, L'\\');
    wstrLine += L'"';
}

// The caller's environment with the options' variables on top, as the
// sorted, doubly terminated block CreateProcessW takes. Names compare
// without regard to case, as Windows does.
std::wstring BuildEnvironment(const CProcessOptions& options) {
    struct CNoCase {
        bool operator()(const std::wstring& a, const std::wstring& b) const {
            return CompareStringOrdinal(a.c_str(), -1, b.c_str(), -1, TRUE) == CSTR_LESS_THAN;
        }
    };
    std::map<std::wstring, std::wstring, CNoCase> env;
    std::vector<std::wstring> vecHidden;  // "=C:=C:\..." entries keep their place first
    if (wchar_t* pBlock = GetEnvironmentStringsW()) {
        for (const wchar_t* p = pBlock; *p != L'\0'; p += wcslen(p) + 1) {
            std::wstring wstrEntry(p);
            size_t nEq = wstrEntry.find(L'=', 1);
            if (wstrEntry[0] == L'=') {
                vecHidden.push_back(wstrEntry);
            } else if (nEq != std::wstring::npos) {
                env[wstrEntry.substr(0, nEq)] = wstrEntry.substr(nEq + 1);
            }
        }
        FreeEnvironmentStringsW(pBlock);
    }
    for (const auto& [strName, strValue] : options.m_vecEnv) {
        env[Widen(strName)] = Widen(strValue);
    }
    std::wstring wstrBlock;
    for (const std::wstring& wstr : vecHidden) {
        wstrBlock += wstr;
        wstrBlock += L'\0';
    }
    for (const auto& [wstrName, wstrValue] : env) {
        wstrBlock += wstrName + L"=" + wstrValue;
        wstrBlock += L'\0';
    }
    wstrBlock += L'\0';
    return wstrBlock;
}

void CloseHandleOnce(HANDLE& h) {
    if (h != nullptr && h != INVALID_HANDLE_VALUE) {
        CloseHandle(h);
    }
    h = nullptr;
}

BOOL CALLBACK PostCloseToWindow(HWND hWnd, LPARAM lParam) {
    DWORD dwPid = 0;
    GetWindowThreadProcessId(hWnd, &dwPid);
    if (dwPid == static_cast<DWORD>(lParam)) {
        PostMessageW(hWnd, WM_CLOSE, 0, 0);
    }
    return TRUE;
}

}  // namespace

CBackgroundProcess::~CBackgroundProcess() {
    if (m_hProcess != nullptr && !m_bReaped) {
        Kill(SIGKILL);
        Wait(kReapAfterKill);
    }
    Finish();
    HANDLE hProcess = m_hProcess;
    HANDLE hJob = m_hJob;
    CloseHandleOnce(hProcess);
    // Closing the job ends whatever the program left running.
    CloseHandleOnce(hJob);
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
    std::wstring wstrLine;
    for (const std::string& strArg : vecArgv) {
        if (!wstrLine.empty()) {
            wstrLine += L' ';
        }
        AppendQuoted(wstrLine, Widen(strArg));
    }
    std::wstring wstrEnv = BuildEnvironment(options);
    std::wstring wstrDir = Widen(options.m_strWorkDir);

    HANDLE hInRead = nullptr, hInWrite = nullptr;
    HANDLE hOutRead = nullptr, hOutWrite = nullptr;
    HANDLE hErrRead = nullptr, hErrWrite = nullptr;
    auto closeAll = [&] {
        for (HANDLE* p : {&hInRead, &hInWrite, &hOutRead, &hOutWrite, &hErrRead, &hErrWrite}) {
            CloseHandleOnce(*p);
        }
    };
    if (!CreatePipe(&hInRead, &hInWrite, nullptr, 1 << 16) ||
        !CreatePipe(&hOutRead, &hOutWrite, nullptr, 1 << 16) ||
        !CreatePipe(&hErrRead, &hErrWrite, nullptr, 1 << 16)) {
        m_strError = ErrorText("CreatePipe", GetLastError());
        closeAll();
        return false;
    }

    HANDLE hJob = CreateJobObjectW(nullptr, nullptr);
    if (hJob != nullptr) {
        JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
        limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
        SetInformationJobObject(hJob, JobObjectExtendedLimitInformation, &limits, sizeof limits);
    }

    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = hInRead;
    startup.hStdOutput = hOutWrite;
    startup.hStdError = hErrWrite;
    PROCESS_INFORMATION info{};
    BOOL bStarted = FALSE;
    DWORD dwError = 0;
    {
        std::lock_guard lock(g_startMutex);
        for (HANDLE h : {hInRead, hOutWrite, hErrWrite}) {
            SetHandleInformation(h, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
        }
        // A process group of its own, so that a console break reaches the
        // program and not the test; suspended until it is in the job.
        // Wine now and then fails a start with ERROR_INTERNAL_ERROR when the
        // machine is busy (its loader did not come up); the same start a
        // moment later works, so that one error gets a few more tries.
        for (int nTry = 0;; ++nTry) {
            bStarted = CreateProcessW(nullptr, wstrLine.data(), nullptr, nullptr, TRUE,
                                      CREATE_UNICODE_ENVIRONMENT | CREATE_NEW_PROCESS_GROUP |
                                          CREATE_SUSPENDED,
                                      wstrEnv.data(), wstrDir.empty() ? nullptr : wstrDir.c_str(),
                                      &startup, &info);
            dwError = GetLastError();
            if (bStarted || dwError != ERROR_INTERNAL_ERROR || nTry == 4) {
                break;
            }
            Sleep(50u << nTry);
        }
        for (HANDLE h : {hInRead, hOutWrite, hErrWrite}) {
            SetHandleInformation(h, HANDLE_FLAG_INHERIT, 0);
        }
    }
    if (!bStarted) {
        std::string strWhat = "cannot start " + vecArgv[0];
        if (!options.m_strWorkDir.empty()) {
            strWhat += " in " + options.m_strWorkDir;
        }
        m_strError = ErrorText(strWhat, dwError);
        closeAll();
        CloseHandleOnce(hJob);
        return false;
    }
    if (hJob != nullptr) {
        AssignProcessToJobObject(hJob, info.hProcess);
    }
    ResumeThread(info.hThread);
    CloseHandle(info.hThread);

    m_hProcess = info.hProcess;
    m_hJob = hJob;
    m_nPid = static_cast<pid_t>(info.dwProcessId);
    CloseHandleOnce(hInRead);
    CloseHandleOnce(hOutWrite);
    CloseHandleOnce(hErrWrite);
    if (options.m_strStdin.empty()) {
        CloseHandleOnce(hInWrite);
    } else {
        m_inputThread = std::thread(&CBackgroundProcess::FeedInput, this, hInWrite,
                                    options.m_strStdin);
    }
    m_thread = std::thread(&CBackgroundProcess::PumpOutput, this, hOutRead, hErrRead);
    return true;
}

void CBackgroundProcess::FeedInput(void* hStdin, std::string strStdin) {
    // Fails once the program has ended or closed its input: what it never
    // read is dropped.
    size_t nWritten = 0;
    while (nWritten < strStdin.size()) {
        DWORD dwChunk = static_cast<DWORD>(std::min<size_t>(strStdin.size() - nWritten, 65536));
        DWORD dwDone = 0;
        if (!WriteFile(hStdin, strStdin.data() + nWritten, dwChunk, &dwDone, nullptr)) {
            break;
        }
        nWritten += dwDone;
    }
    CloseHandle(hStdin);
}

void CBackgroundProcess::PumpOutput(void* hStdout, void* hStderr) {
    // Anonymous pipes cannot wait together, so both are looked into in
    // turn; a read takes only what is there and never blocks.
    HANDLE handles[2] = {hStdout, hStderr};
    std::string* pTargets[2] = {&m_strStdout, &m_strStderr};
    bool bDraining = false;
    Clock::time_point drainEnd;
    std::vector<char> buffer(65536);
    while (handles[0] != nullptr || handles[1] != nullptr) {
        bool bGot = false;
        for (int i = 0; i < 2; ++i) {
            if (handles[i] == nullptr) {
                continue;
            }
            DWORD dwAvailable = 0;
            if (!PeekNamedPipe(handles[i], nullptr, 0, nullptr, &dwAvailable, nullptr)) {
                CloseHandleOnce(handles[i]);
                continue;
            }
            if (dwAvailable == 0) {
                continue;
            }
            DWORD dwRead = 0;
            DWORD dwWant = std::min<DWORD>(dwAvailable, static_cast<DWORD>(buffer.size()));
            if (!ReadFile(handles[i], buffer.data(), dwWant, &dwRead, nullptr) || dwRead == 0) {
                CloseHandleOnce(handles[i]);
                continue;
            }
            bGot = true;
            std::lock_guard lock(m_mutex);
            pTargets[i]->append(buffer.data(), dwRead);
            m_cvOutput.notify_all();
        }
        if (bGot) {
            continue;
        }
        if (!bDraining && WaitForSingleObject(m_hProcess, 0) == WAIT_OBJECT_0) {
            bDraining = true;
            drainEnd = Clock::now() + kDrainLimit;
        }
        if (bDraining && Clock::now() > drainEnd) {
            break;
        }
        Sleep(1);
    }
    CloseHandleOnce(handles[0]);
    CloseHandleOnce(handles[1]);
    std::lock_guard lock(m_mutex);
    m_bOutputEnded = true;
    m_cvOutput.notify_all();
}

void CBackgroundProcess::Finish() {
    if (m_thread.joinable()) {
        m_thread.join();
    }
    if (m_inputThread.joinable()) {
        // A program that left a child holding its input could block the
        // writer; ending the job ends that child.
        if (m_hJob != nullptr) {
            TerminateJobObject(m_hJob, 1);
        }
        m_inputThread.join();
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
        DWORD dwWait = WaitForSingleObject(
            m_hProcess, static_cast<DWORD>(std::max<int64_t>(0, nLimit.count())));
        if (dwWait != WAIT_OBJECT_0) {
            return false;
        }
        GetExitCodeProcess(m_hProcess, &m_nExitCode);
        m_bReaped = true;
        Finish();
    }
    if (pResult != nullptr) {
        CProcessResult& result = *pResult;
        result = CProcessResult{};
        result.m_bStarted = true;
        result.m_strError = m_strError;
        if (m_bKilled) {
            result.m_bSignaled = true;
            result.m_nSignal = m_nKillSignal;
        } else {
            result.m_nExitStatus = static_cast<int>(m_nExitCode & 0xFF);
        }
        std::lock_guard lock(m_mutex);
        result.m_strStdout = m_strStdout;
        result.m_strStderr = m_strStderr;
    }
    return true;
}

void CBackgroundProcess::Kill(int nSignal) {
    if (m_hProcess == nullptr || m_bReaped) {
        return;
    }
    if (nSignal == SIGKILL) {
        // Terminated, not ended by itself: the result reads as killed.
        if (WaitForSingleObject(m_hProcess, 0) != WAIT_OBJECT_0) {
            m_bKilled = true;
            m_nKillSignal = SIGKILL;
        }
        if (m_hJob == nullptr || !TerminateJobObject(m_hJob, 1)) {
            TerminateProcess(m_hProcess, 1);
        }
        return;
    }
    // A stop request: what a console or a session's end gives a program.
    GenerateConsoleCtrlEvent(CTRL_BREAK_EVENT, static_cast<DWORD>(m_nPid));
    EnumWindows(PostCloseToWindow, static_cast<LPARAM>(m_nPid));
}

std::vector<std::string> InTerminal(std::vector<std::string> vecArgv) {
    if (!vecArgv.empty()) {
        vecArgv.insert(vecArgv.begin() + 1, "-console");
    }
    return vecArgv;
}

}  // namespace testsupport
