#include <windows.h>
#include <shellapi.h>

#include <vector>

#include "platform/paths.h"
#include "platform/win32/internal.h"

namespace platform {

std::string GetProgramPath() {
    // Long paths may exceed MAX_PATH; grow until the name fits.
    std::vector<wchar_t> buffer(MAX_PATH + 1);
    for (;;) {
        DWORD nLength = GetModuleFileNameW(nullptr, buffer.data(),
                                           static_cast<DWORD>(buffer.size()));
        if (nLength == 0) {
            return std::string();
        }
        if (nLength < buffer.size()) {
            return win32::FromWide(buffer.data(), static_cast<int>(nLength));
        }
        if (buffer.size() >= 32768) {
            return std::string();
        }
        buffer.resize(buffer.size() * 2);
    }
}

std::vector<std::string> GetProgramArguments(int /*argc*/, char** /*argv*/) {
    // main's argv is in the ANSI code page, which loses every character
    // outside it; the system keeps the command line in UTF-16 as well.
    std::vector<std::string> words;
    int nCount = 0;
    LPWSTR* ppWords = CommandLineToArgvW(GetCommandLineW(), &nCount);
    if (ppWords == nullptr) {
        return words;
    }
    for (int i = 1; i < nCount; ++i) {
        words.push_back(win32::FromWide(ppWords[i]));
    }
    LocalFree(ppWords);
    return words;
}

std::string JoinPath(const std::string& strDirectory, const std::string& strName) {
    if (strDirectory.empty()) {
        return strName;
    }
    if (IsPathSeparator(strDirectory.back())) {
        return strDirectory + strName;
    }
    return strDirectory + kPathSeparator + strName;
}

}  // namespace platform
