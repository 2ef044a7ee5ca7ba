// A program for the platform tests to start: what it does is spelled out by
// its arguments, so that every test says what the child does without a
// shell, the same way on every system.
//
//   out:TEXT    writes TEXT to standard output      err:TEXT  to standard error
//   zeros:N     writes N zero bytes                 exit:N    ends with status N
//   sleep:MS    waits                                spawn:MS  starts a copy of
//   attach      takes the parent's console          itself that waits MS,
//   args        writes each further argument         holding our output
//               between [ and ] on a line of its own
//
// Started under the name deviceid, it plays the device's identity library:
// it writes its two arguments joined by '|'.

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "platform/console.h"
#include "platform/paths.h"

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#else
#include <spawn.h>
extern char** environ;
#endif

namespace {

void StartWaitingCopy(const std::string& strMs) {
    std::string strSelf = platform::GetProgramPath();
#ifdef _WIN32
    std::wstring strCommand = L"helper sleep:" + std::wstring(strMs.begin(), strMs.end());
    std::vector<wchar_t> commandLine(strCommand.begin(), strCommand.end());
    commandLine.push_back(L'\0');
    STARTUPINFOW startup {};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION process {};
    int nLength = MultiByteToWideChar(CP_UTF8, 0, strSelf.c_str(), -1, nullptr, 0);
    std::wstring strWideSelf(static_cast<size_t>(nLength), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, strSelf.c_str(), -1, strWideSelf.data(), nLength);
    if (CreateProcessW(strWideSelf.c_str(), commandLine.data(), nullptr, nullptr, TRUE, 0,
                       nullptr, nullptr, &startup, &process)) {
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
    }
#else
    std::string strArg = "sleep:" + strMs;
    char* argv[] = {const_cast<char*>(strSelf.c_str()), const_cast<char*>(strArg.c_str()),
                    nullptr};
    pid_t nPid = 0;
    posix_spawn(&nPid, strSelf.c_str(), nullptr, nullptr, argv, environ);
#endif
}

}  // namespace

int main(int argc, char** argv) {
#ifdef _WIN32
    _setmode(_fileno(stdout), _O_BINARY);
#endif
    std::vector<std::string> args = platform::GetProgramArguments(argc, argv);
    std::string strSelf = platform::GetProgramPath();
    std::string strName = strSelf.substr(strSelf.find_last_of("\\/") + 1);
    if (strName.compare(0, 8, "deviceid") == 0) {
        std::string strAnswer = (args.size() > 0 ? args[0] : "") + "|" + (args.size() > 1 ? args[1] : "");
        std::fwrite(strAnswer.data(), 1, strAnswer.size(), stdout);
        return 0;
    }
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& strArg = args[i];
        std::string strValue = strArg.substr(strArg.find(':') + 1);
        if (strArg.compare(0, 4, "out:") == 0) {
            std::fwrite(strValue.data(), 1, strValue.size(), stdout);
        } else if (strArg.compare(0, 4, "err:") == 0) {
            std::fwrite(strValue.data(), 1, strValue.size(), stderr);
        } else if (strArg.compare(0, 6, "zeros:") == 0) {
            std::string strZeros(std::strtoul(strValue.c_str(), nullptr, 10), '\0');
            std::fwrite(strZeros.data(), 1, strZeros.size(), stdout);
        } else if (strArg.compare(0, 5, "exit:") == 0) {
            std::fflush(stdout);
            return std::atoi(strValue.c_str());
        } else if (strArg.compare(0, 6, "sleep:") == 0) {
            std::fflush(stdout);
            std::this_thread::sleep_for(std::chrono::milliseconds(std::atoi(strValue.c_str())));
        } else if (strArg.compare(0, 6, "spawn:") == 0) {
            std::fflush(stdout);
            StartWaitingCopy(strValue);
        } else if (strArg == "attach") {
            platform::AttachParentConsole();
        } else if (strArg == "args") {
            for (++i; i < args.size(); ++i) {
                std::string strLine = "[" + args[i] + "]\n";
                std::fwrite(strLine.data(), 1, strLine.size(), stdout);
            }
        }
    }
    std::fflush(stdout);
    return 0;
}
