#include <windows.h>

#include <algorithm>
#include <chrono>
#include <vector>

#include "platform/process.h"
#include "platform/win32/internal.h"

namespace platform {

namespace {

using CClock = std::chrono::steady_clock;

DWORD RemainingMs(CClock::time_point deadline) {
    auto nLeft =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - CClock::now()).count();
    return nLeft < 0 ? 0 : static_cast<DWORD>(nLeft);
}

// One word of the command line, quoted so that the program's C runtime
// splits it back into exactly this word: backslashes count only before a
// quote, where each must be doubled.
void AppendQuoted(std::wstring& strLine, const std::wstring& strWord) {
    if (!strWord.empty() && strWord.find_first_of(L" \t\n\v\"") == std::wstring::npos) {
        strLine += strWord;
        return;
    }
    strLine += L'"';
    size_t nBackslashes = 0;
    for (wchar_t c : strWord) {
        if (c == L'\\') {
            ++nBackslashes;
            continue;
        }
        if (c == L'"') {
            strLine.append(nBackslashes * 2 + 1, L'\\');
        } else {
            strLine.append(nBackslashes, L'\\');
        }
        nBackslashes = 0;
        strLine += c;
    }
    strLine.append(nBackslashes * 2, L'\\');
    strLine += L'"';
}

// An inheritable copy of one of our standard handles, or null when we have
// none (a window program); the child then gets none either.
HANDLE InheritableCopy(DWORD dwWhich) {
    HANDLE hStream = GetStdHandle(dwWhich);
    HANDLE hCopy = nullptr;
    if (hStream == nullptr || hStream == INVALID_HANDLE_VALUE ||
        !DuplicateHandle(GetCurrentProcess(), hStream, GetCurrentProcess(), &hCopy, 0, TRUE,
                         DUPLICATE_SAME_ACCESS)) {
        return nullptr;
    }
    return hCopy;
}

class CHandle {
public:
    explicit CHandle(HANDLE h = nullptr) : m_h(h) {}
    ~CHandle() { Reset(); }
    CHandle(const CHandle&) = delete;
    CHandle& operator=(const CHandle&) = delete;
    HANDLE Get() const { return m_h; }
    void Reset(HANDLE h = nullptr) {
        if (m_h != nullptr && m_h != INVALID_HANDLE_VALUE) {
            CloseHandle(m_h);
        }
        m_h = h;
    }

private:
    HANDLE m_h;
};

// Takes what the pipe holds now, without blocking. False once the pipe has
// ended (every writer gone) or failed.
bool DrainAvailable(HANDLE hPipe, CProgramOutput& output, size_t nCapacity) {
    char buffer[4096];
    for (;;) {
        DWORD nAvailable = 0;
        if (!PeekNamedPipe(hPipe, nullptr, 0, nullptr, &nAvailable, nullptr)) {
            return false;
        }
        if (nAvailable == 0) {
            return true;
        }
        DWORD nRead = 0;
        if (!ReadFile(hPipe, buffer, std::min<DWORD>(nAvailable, sizeof(buffer)), &nRead,
                      nullptr) ||
            nRead == 0) {
            return false;
        }
        if (output.strStdout.size() < nCapacity) {
            size_t nTake = std::min(static_cast<size_t>(nRead), nCapacity - output.strStdout.size());
            output.strStdout.append(buffer, nTake);
        }
    }
}

}  // namespace

CProgramOutput RunProgramForOutput(const std::vector<std::string>& vecArgv, int nTimeLimitMs,
                                   size_t nStdoutCapacity) {
    CProgramOutput output;
    if (vecArgv.empty() || vecArgv[0].empty()) {
        return output;
    }
    for (const std::string& strArg : vecArgv) {
        if (strArg.find('\0') != std::string::npos) {
            return output;
        }
    }
    std::wstring strProgram = win32::ToWide(vecArgv[0]);
    std::wstring strCommandLine;
    for (size_t i = 0; i < vecArgv.size(); ++i) {
        if (i > 0) {
            strCommandLine += L' ';
        }
        AppendQuoted(strCommandLine, win32::ToWide(vecArgv[i]));
    }

    SECURITY_ATTRIBUTES inheritable {sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE hRead = nullptr;
    HANDLE hWrite = nullptr;
    if (!CreatePipe(&hRead, &hWrite, &inheritable, 0)) {
        return output;
    }
    CHandle pipeRead(hRead);
    CHandle pipeWrite(hWrite);
    SetHandleInformation(hRead, HANDLE_FLAG_INHERIT, 0);
    CHandle nullInput(CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                  &inheritable, OPEN_EXISTING, 0, nullptr));
    CHandle errorCopy(InheritableCopy(STD_ERROR_HANDLE));

    // Only these handles go to the child: another thread of ours may be
    // making inheritable handles at the same moment, and a child that held
    // one of them (a socket, the write end of someone else's pipe) would
    // keep it open for as long as it runs.
    std::vector<HANDLE> inherited = {pipeWrite.Get()};
    if (nullInput.Get() != INVALID_HANDLE_VALUE && nullInput.Get() != nullptr) {
        inherited.push_back(nullInput.Get());
    }
    if (errorCopy.Get() != nullptr) {
        inherited.push_back(errorCopy.Get());
    }
    SIZE_T nListSize = 0;
    InitializeProcThreadAttributeList(nullptr, 1, 0, &nListSize);
    std::vector<unsigned char> listBuffer(nListSize);
    auto* pAttributes = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(listBuffer.data());
    bool bHaveList = nListSize > 0 &&
                     InitializeProcThreadAttributeList(pAttributes, 1, 0, &nListSize) &&
                     UpdateProcThreadAttribute(pAttributes, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST,
                                               inherited.data(), inherited.size() * sizeof(HANDLE),
                                               nullptr, nullptr);

    STARTUPINFOEXW startup {};
    startup.StartupInfo.cb = sizeof(startup);
    startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
    startup.StartupInfo.hStdInput =
        nullInput.Get() == INVALID_HANDLE_VALUE ? nullptr : nullInput.Get();
    startup.StartupInfo.hStdOutput = pipeWrite.Get();
    startup.StartupInfo.hStdError = errorCopy.Get();
    DWORD dwFlags = CREATE_SUSPENDED | CREATE_UNICODE_ENVIRONMENT;
    if (bHaveList) {
        startup.lpAttributeList = pAttributes;
        dwFlags |= EXTENDED_STARTUPINFO_PRESENT;
    }
    // A program without a console of its own would otherwise open a
    // console window for a helper that writes to our pipe.
    if (GetConsoleWindow() == nullptr) {
        dwFlags |= CREATE_NO_WINDOW;
    }

    // Everything the program starts stays in this job, so that the kill at
    // the time limit reaches it all, and nothing outlives an early end of
    // ours either.
    CHandle job(CreateJobObjectW(nullptr, nullptr));
    if (job.Get() != nullptr) {
        JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits {};
        limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
        SetInformationJobObject(job.Get(), JobObjectExtendedLimitInformation, &limits,
                                sizeof(limits));
    }

    PROCESS_INFORMATION process {};
    std::vector<wchar_t> commandLine(strCommandLine.begin(), strCommandLine.end());
    commandLine.push_back(L'\0');
    BOOL bCreated = CreateProcessW(strProgram.c_str(), commandLine.data(), nullptr, nullptr, TRUE,
                                   dwFlags, nullptr, nullptr, &startup.StartupInfo, &process);
    if (bHaveList) {
        DeleteProcThreadAttributeList(pAttributes);
    }
    // Our copy of the write end must go, or the pipe never ends.
    pipeWrite.Reset();
    nullInput.Reset();
    errorCopy.Reset();
    if (!bCreated) {
        return output;
    }
    CHandle processHandle(process.hProcess);
    CHandle threadHandle(process.hThread);
    if (job.Get() != nullptr) {
        AssignProcessToJobObject(job.Get(), process.hProcess);
    }
    ResumeThread(process.hThread);
    output.bStarted = true;

    CClock::time_point deadline =
        CClock::now() + std::chrono::milliseconds(nTimeLimitMs < 0 ? 0 : nTimeLimitMs);
    bool bPipeOpen = true;
    bool bEnded = false;
    for (;;) {
        if (bPipeOpen) {
            bPipeOpen = DrainAvailable(pipeRead.Get(), output, nStdoutCapacity);
        }
        if (WaitForSingleObject(process.hProcess, 0) == WAIT_OBJECT_0) {
            bEnded = true;
            // Whatever it wrote before ending is in the pipe already; what
            // it left running is not waited for.
            if (bPipeOpen) {
                DrainAvailable(pipeRead.Get(), output, nStdoutCapacity);
            }
            break;
        }
        DWORD nLeft = RemainingMs(deadline);
        if (nLeft == 0) {
            break;
        }
        WaitForSingleObject(process.hProcess, std::min<DWORD>(nLeft, bPipeOpen ? 10 : nLeft));
    }

    if (!bEnded) {
        output.bTimedOut = true;
        output.nExitStatus = -1;
        if (job.Get() != nullptr) {
            TerminateJobObject(job.Get(), 1);
        }
        TerminateProcess(process.hProcess, 1);
        WaitForSingleObject(process.hProcess, 5000);
    } else {
        DWORD dwExit = 0;
        // Statuses beyond 255 are the system's reports of a crash or a kill
        // (0xC0000005 and the like), not a status the program chose.
        if (GetExitCodeProcess(process.hProcess, &dwExit) && dwExit <= 255) {
            output.nExitStatus = static_cast<int>(dwExit);
        } else {
            output.nExitStatus = -1;
        }
        // Anything it left running has no business outliving it.
        if (job.Get() != nullptr) {
            TerminateJobObject(job.Get(), 1);
        }
    }
    return output;
}

}  // namespace platform
