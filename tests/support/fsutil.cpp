#include "tests/support/fsutil.h"

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <system_error>

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/stat.h>
#include <unistd.h>
#include <utime.h>
#endif

namespace fs = std::filesystem;

namespace testsupport {

namespace {

fs::path PathOf(const std::string& strPath) {
    return fs::path(std::u8string(strPath.begin(), strPath.end()));
}

}  // namespace

bool MakeFolder(const std::string& strPath) {
    std::error_code ec;
    return fs::create_directory(PathOf(strPath), ec) && !ec;
}

bool MakeReadOnly(const std::string& strPath) {
#ifdef _WIN32
    std::wstring wstrPath = PathOf(strPath).wstring();
    DWORD dwAttributes = GetFileAttributesW(wstrPath.c_str());
    return dwAttributes != INVALID_FILE_ATTRIBUTES &&
           SetFileAttributesW(wstrPath.c_str(), dwAttributes | FILE_ATTRIBUTE_READONLY);
#else
    return chmod(strPath.c_str(), 0444) == 0;
#endif
}

bool MakeLink(const std::string& strTarget, const std::string& strLink) {
    std::error_code ec;
    if (fs::is_directory(PathOf(strTarget), ec)) {
        fs::create_directory_symlink(PathOf(strTarget), PathOf(strLink), ec);
    } else {
        fs::create_symlink(PathOf(strTarget), PathOf(strLink), ec);
    }
    return !ec;
}

bool MakeFifo(const std::string& strPath) {
#ifdef _WIN32
    (void)strPath;
    return false;
#else
    return mkfifo(strPath.c_str(), 0644) == 0;
#endif
}

bool SetModifiedTime(const std::string& strPath, long long nUtcSeconds) {
#ifdef _WIN32
    HANDLE hFile = CreateFileW(PathOf(strPath).wstring().c_str(), FILE_WRITE_ATTRIBUTES,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                               OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (hFile == INVALID_HANDLE_VALUE) {
        return false;
    }
    // File times count 100 ns steps from 1601.
    ULONGLONG nTicks = (static_cast<ULONGLONG>(nUtcSeconds) + 11644473600ULL) * 10000000ULL;
    FILETIME time{static_cast<DWORD>(nTicks), static_cast<DWORD>(nTicks >> 32)};
    bool bOk = SetFileTime(hFile, nullptr, &time, &time) != 0;
    CloseHandle(hFile);
    return bOk;
#else
    struct utimbuf times {};
    times.actime = times.modtime = static_cast<time_t>(nUtcSeconds);
    return utime(strPath.c_str(), &times) == 0;
#endif
}

long long UtcSeconds(int nYear, int nMonth, int nDay, int nHour, int nMinute) {
    using namespace std::chrono;
    sys_days day = year(nYear) / month(static_cast<unsigned>(nMonth)) /
                   std::chrono::day(static_cast<unsigned>(nDay));
    return duration_cast<seconds>(day.time_since_epoch()).count() + nHour * 3600LL +
           nMinute * 60LL;
}

std::tm UtcParts(long long nUtcSeconds) {
    std::time_t nTime = static_cast<std::time_t>(nUtcSeconds);
    std::tm parts{};
#ifdef _WIN32
    gmtime_s(&parts, &nTime);
#else
    gmtime_r(&nTime, &parts);
#endif
    return parts;
}

bool MakeHidden(const std::string& strPath) {
#ifdef _WIN32
    std::wstring wstrPath = PathOf(strPath).wstring();
    DWORD dwAttributes = GetFileAttributesW(wstrPath.c_str());
    return dwAttributes != INVALID_FILE_ATTRIBUTES &&
           SetFileAttributesW(wstrPath.c_str(), dwAttributes | FILE_ATTRIBUTE_HIDDEN);
#else
    return std::filesystem::exists(strPath);
#endif
}

std::string AsText(const std::string& strLines) {
#ifdef _WIN32
    std::string strText;
    strText.reserve(strLines.size() + strLines.size() / 16);
    for (char ch : strLines) {
        if (ch == '\n') {
            strText += '\r';
        }
        strText += ch;
    }
    return strText;
#else
    return strLines;
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

void SetEnvVar(const std::string& strName, const std::string& strValue) {
#ifdef _WIN32
    // Wide, so that a value beyond ASCII (a folder's name) arrives whole.
    _wputenv_s(PathOf(strName).wstring().c_str(), PathOf(strValue).wstring().c_str());
#else
    setenv(strName.c_str(), strValue.c_str(), 1);
#endif
}

void UnsetEnvVar(const std::string& strName) {
#ifdef _WIN32
    // An empty value removes the variable.
    _wputenv_s(PathOf(strName).wstring().c_str(), L"");
#else
    unsetenv(strName.c_str());
#endif
}

}  // namespace testsupport
