#include "tests/platform/helper.h"

#include <cstdlib>

#include "platform/paths.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace platformtest {

std::string HelperPath() {
    std::string strProgram = platform::GetProgramPath();
    std::string strDirectory = strProgram.substr(0, strProgram.find_last_of("\\/"));
#ifdef _WIN32
    return platform::JoinPath(strDirectory, "platform_helper.exe");
#else
    return platform::JoinPath(strDirectory, "platform_helper");
#endif
}

void SetVariable(const std::string& strName, const std::string& strValue) {
#ifdef _WIN32
    auto widen = [](const std::string& strText) {
        int nLength = MultiByteToWideChar(CP_UTF8, 0, strText.c_str(), -1, nullptr, 0);
        std::wstring strWide(static_cast<size_t>(nLength), L'\0');
        MultiByteToWideChar(CP_UTF8, 0, strText.c_str(), -1, strWide.data(), nLength);
        strWide.resize(static_cast<size_t>(nLength > 0 ? nLength - 1 : 0));
        return strWide;
    };
    _wputenv_s(widen(strName).c_str(), widen(strValue).c_str());
#else
    if (strValue.empty()) {
        unsetenv(strName.c_str());
    } else {
        setenv(strName.c_str(), strValue.c_str(), 1);
    }
#endif
}

bool IsWine() {
#ifdef _WIN32
    HMODULE hNtdll = GetModuleHandleW(L"ntdll.dll");
    return hNtdll != nullptr && GetProcAddress(hNtdll, "wine_get_version") != nullptr;
#else
    return false;
#endif
}

}  // namespace platformtest
