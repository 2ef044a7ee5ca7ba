#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <mutex>
#include <vector>

#include "platform/device.h"
#include "platform/paths.h"
#include "platform/process.h"
#include "platform/win32/internal.h"

// The attached device: the ActiveSync remote API where it is installed, or
// a folder named by TANDREL_DEVICE_ROOT that plays the device, as on Linux,
// so that every device path can be tried without hardware (and under Wine,
// which has no remote API).

namespace platform {

namespace {

using win32::FromWide;
using win32::ToWide;

const wchar_t* const kDeviceRootVariable = L"TANDREL_DEVICE_ROOT";

// How long the stand-in's identity program may take; the real device API
// has no limit of its own, but a program that hangs must not hang the
// client with it.
constexpr int kInvokeTimeLimitMs = 10000;

// The stand-in's identity library is a program of this system's own kind:
// "deviceid" in the device root is deviceid.exe there.
const char* const kProgramExtension = ".exe";

std::atomic<int> g_nDeviceSessions{0};

// ---------------------------------------------------------------------------
// The remote API, loaded when first needed: a computer without ActiveSync
// (or Windows Mobile Device Center) has no rapi.dll, and must still run the
// client for everything else.

struct CRapiInit {
    DWORD cbSize;
    HANDLE heRapiInit;
    HRESULT hrRapiInit;
};

struct CCeFindData {
    DWORD dwFileAttributes;
    FILETIME ftCreationTime;
    FILETIME ftLastAccessTime;
    FILETIME ftLastWriteTime;
    DWORD nFileSizeHigh;
    DWORD nFileSizeLow;
    DWORD dwOID;
    WCHAR cFileName[MAX_PATH];
};

struct CRapi {
    HRESULT(WINAPI* pInitEx)(CRapiInit*) = nullptr;
    HRESULT(WINAPI* pUninit)() = nullptr;
    HANDLE(WINAPI* pFindFirstFile)(LPCWSTR, CCeFindData*) = nullptr;
    BOOL(WINAPI* pFindNextFile)(HANDLE, CCeFindData*) = nullptr;
    BOOL(WINAPI* pFindClose)(HANDLE) = nullptr;
    DWORD(WINAPI* pGetFileAttributes)(LPCWSTR) = nullptr;
    BOOL(WINAPI* pCreateDirectory)(LPCWSTR, LPSECURITY_ATTRIBUTES) = nullptr;
    HANDLE(WINAPI* pCreateFile)(LPCWSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD,
                                HANDLE) = nullptr;
    BOOL(WINAPI* pReadFile)(HANDLE, LPVOID, DWORD, LPDWORD, LPOVERLAPPED) = nullptr;
    BOOL(WINAPI* pWriteFile)(HANDLE, LPCVOID, DWORD, LPDWORD, LPOVERLAPPED) = nullptr;
    BOOL(WINAPI* pCloseHandle)(HANDLE) = nullptr;
    HRESULT(WINAPI* pInvoke)(LPCWSTR, LPCWSTR, DWORD, BYTE*, DWORD*, BYTE**, void**,
                             DWORD) = nullptr;
    DWORD(WINAPI* pGetLastError)() = nullptr;
};

template <typename TFunction>
bool Bind(HMODULE hModule, const char* pszName, TFunction& pFunction) {
    pFunction = reinterpret_cast<TFunction>(reinterpret_cast<void*>(GetProcAddress(hModule, pszName)));
    return pFunction != nullptr;
}

// The API with every function bound, or null when it is not installed (or
// incomplete, which amounts to the same). Looked for once.
const CRapi* GetRapi() {
    static std::once_flag s_once;
    static CRapi s_rapi;
    static bool s_bLoaded = false;
    std::call_once(s_once, [] {
        // From the system folder only: a rapi.dll planted beside the
        // program or in the current folder must not be loaded instead.
        wchar_t szSystem[MAX_PATH] = {};
        UINT nLength = GetSystemDirectoryW(szSystem, MAX_PATH);
        if (nLength == 0 || nLength >= MAX_PATH) {
            return;
        }
        std::wstring strLibrary = std::wstring(szSystem, nLength) + L"\\rapi.dll";
        HMODULE hModule = LoadLibraryExW(strLibrary.c_str(), nullptr, 0);
        if (hModule == nullptr) {
            return;
        }
        CRapi rapi;
        bool bComplete = Bind(hModule, "CeRapiInitEx", rapi.pInitEx) &&
                         Bind(hModule, "CeRapiUninit", rapi.pUninit) &&
                         Bind(hModule, "CeFindFirstFile", rapi.pFindFirstFile) &&
                         Bind(hModule, "CeFindNextFile", rapi.pFindNextFile) &&
                         Bind(hModule, "CeFindClose", rapi.pFindClose) &&
                         Bind(hModule, "CeGetFileAttributes", rapi.pGetFileAttributes) &&
                         Bind(hModule, "CeCreateDirectory", rapi.pCreateDirectory) &&
                         Bind(hModule, "CeCreateFile", rapi.pCreateFile) &&
                         Bind(hModule, "CeReadFile", rapi.pReadFile) &&
                         Bind(hModule, "CeWriteFile", rapi.pWriteFile) &&
                         Bind(hModule, "CeCloseHandle", rapi.pCloseHandle) &&
                         Bind(hModule, "CeRapiInvoke", rapi.pInvoke) &&
                         Bind(hModule, "CeGetLastError", rapi.pGetLastError);
        if (!bComplete) {
            FreeLibrary(hModule);
            return;
        }
        s_rapi = rapi;
        s_bLoaded = true;
    });
    return s_bLoaded ? &s_rapi : nullptr;
}

// Device paths in the device's own form: '\' only, absolute.
std::wstring RemotePath(const std::string& strDevicePath) {
    std::wstring strPath = ToWide(strDevicePath);
    for (wchar_t& c : strPath) {
        if (c == L'/') {
            c = L'\\';
        }
    }
    if (strPath.empty() || strPath.front() != L'\\') {
        strPath.insert(strPath.begin(), L'\\');
    }
    return strPath;
}

bool IsUsableDevicePath(const std::string& strPath) {
    return g_nDeviceSessions.load() > 0 && !strPath.empty() &&
           strPath.find('\0') == std::string::npos;
}

uint32_t OurAttributes(DWORD dwNative) {
    uint32_t dwAttributes =
        dwNative & (kFileAttributeReadOnly | kFileAttributeHidden | kFileAttributeSystem |
                    kFileAttributeDirectory);
    return dwAttributes == 0 ? kFileAttributeNormal : dwAttributes;
}

CDateTime UtcFromFileTime(const FILETIME& fileTime) {
    SYSTEMTIME st {};
    CDateTime time;
    if (FileTimeToSystemTime(&fileTime, &st)) {
        time.nYear = st.wYear;
        time.nMonth = st.wMonth;
        time.nDay = st.wDay;
        time.nHour = st.wHour;
        time.nMinute = st.wMinute;
        time.nSecond = st.wSecond;
        time.nMilliseconds = st.wMilliseconds;
    }
    return time;
}

// Open device files: CFile holds the slot's number with the device tag.
std::mutex g_deviceFilesMutex;
std::vector<HANDLE> g_deviceFiles;

intptr_t AddDeviceFile(HANDLE hRemote) {
    std::lock_guard<std::mutex> lock(g_deviceFilesMutex);
    for (size_t i = 0; i < g_deviceFiles.size(); ++i) {
        if (g_deviceFiles[i] == INVALID_HANDLE_VALUE) {
            g_deviceFiles[i] = hRemote;
            return win32::kDeviceHandleTag | static_cast<intptr_t>(i);
        }
    }
    g_deviceFiles.push_back(hRemote);
    return win32::kDeviceHandleTag | static_cast<intptr_t>(g_deviceFiles.size() - 1);
}

HANDLE DeviceFileOf(intptr_t hFile) {
    std::lock_guard<std::mutex> lock(g_deviceFilesMutex);
    size_t nSlot = static_cast<size_t>(hFile & ~win32::kDeviceHandleTag);
    return nSlot < g_deviceFiles.size() ? g_deviceFiles[nSlot] : INVALID_HANDLE_VALUE;
}

HANDLE TakeDeviceFile(intptr_t hFile) {
    std::lock_guard<std::mutex> lock(g_deviceFilesMutex);
    size_t nSlot = static_cast<size_t>(hFile & ~win32::kDeviceHandleTag);
    if (nSlot >= g_deviceFiles.size()) {
        return INVALID_HANDLE_VALUE;
    }
    HANDLE hRemote = g_deviceFiles[nSlot];
    g_deviceFiles[nSlot] = INVALID_HANDLE_VALUE;
    return hRemote;
}

int RemoteError(const CRapi* pRapi) {
    int nError = static_cast<int>(pRapi->pGetLastError());
    return nError == 0 ? ERROR_GEN_FAILURE : nError;
}

// ---------------------------------------------------------------------------
// The stand-in.

// The folder that plays the device, or empty when there is none.
std::string GetDeviceRoot() {
    // The process's own environment, which every way of setting a
    // variable reaches (the C runtime keeps a copy of its own).
    wchar_t szRoot[MAX_PATH * 4];
    DWORD nLength = GetEnvironmentVariableW(kDeviceRootVariable, szRoot, MAX_PATH * 4);
    if (nLength == 0 || nLength >= MAX_PATH * 4) {
        return std::string();
    }
    std::string strRoot = FromWide(szRoot, static_cast<int>(nLength));
    uint32_t dwAttributes = GetPathAttributes(strRoot);
    if (dwAttributes == kInvalidFileAttributes ||
        (dwAttributes & kFileAttributeDirectory) == 0) {
        return std::string();
    }
    return strRoot;
}

bool IsStandIn() { return !GetDeviceRoot().empty(); }

// The local path that a device path stands for. False without a session or
// device, and for paths that would lead out of the device root: the device's
// own file system has nothing above its root, so ".." is refused rather than
// followed out of the folder. A drive ("C:") or a stream (":x") has no
// meaning on the device and would lead out as well.
bool MapDevicePath(const std::string& strDevicePath, std::string& strLocal) {
    if (!IsUsableDevicePath(strDevicePath) || strDevicePath.find(':') != std::string::npos) {
        return false;
    }
    std::string strRoot = GetDeviceRoot();
    if (strRoot.empty()) {
        return false;
    }
    std::string strPath = strDevicePath;
    for (char& c : strPath) {
        if (c == '/') {
            c = '\\';
        }
    }
    size_t nStart = 0;
    while (nStart <= strPath.size()) {
        size_t nEnd = strPath.find('\\', nStart);
        if (nEnd == std::string::npos) {
            nEnd = strPath.size();
        }
        // The system drops trailing dots and blanks from names, so "..."
        // and ". ." may mean ".." as well.
        std::string strName = strPath.substr(nStart, nEnd - nStart);
        if (strName.find_first_not_of(". ") == std::string::npos &&
            std::count(strName.begin(), strName.end(), '.') >= 2) {
            return false;
        }
        nStart = nEnd + 1;
    }
    if (!IsPathSeparator(strRoot.back())) {
        strRoot += '\\';
    }
    strLocal = strRoot + (strPath.front() == '\\' ? strPath.substr(1) : strPath);
    // A junction or link inside the folder may still lead out of it.
    std::string strRealRoot;
    return GetRealPath(strRoot, strRealRoot) && IsPathInside(strRealRoot, strLocal);
}

}  // namespace

namespace win32 {

bool OpenDeviceHandle(const std::string& strDevicePath, bool bCreate, intptr_t& hFile,
                      int& nError) {
    const CRapi* pRapi = GetRapi();
    if (pRapi == nullptr || !IsUsableDevicePath(strDevicePath)) {
        nError = ERROR_NOT_READY;
        return false;
    }
    std::wstring strRemote = RemotePath(strDevicePath);
    DWORD dwAttributes = pRapi->pGetFileAttributes(strRemote.c_str());
    if (dwAttributes != INVALID_FILE_ATTRIBUTES &&
        ((dwAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ||
         (bCreate && (dwAttributes & FILE_ATTRIBUTE_READONLY) != 0))) {
        nError = ERROR_ACCESS_DENIED;
        return false;
    }
    HANDLE hRemote =
        bCreate ? pRapi->pCreateFile(strRemote.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                     CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr)
                : pRapi->pCreateFile(strRemote.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                     OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (hRemote == INVALID_HANDLE_VALUE || hRemote == nullptr) {
        nError = RemoteError(pRapi);
        return false;
    }
    hFile = AddDeviceFile(hRemote);
    return true;
}

int64_t ReadDeviceHandle(intptr_t hFile, void* pBuffer, size_t nCount, int& nError) {
    const CRapi* pRapi = GetRapi();
    HANDLE hRemote = DeviceFileOf(hFile);
    if (pRapi == nullptr || hRemote == INVALID_HANDLE_VALUE) {
        nError = ERROR_INVALID_HANDLE;
        return -1;
    }
    char* pNext = static_cast<char*>(pBuffer);
    size_t nDone = 0;
    while (nDone < nCount) {
        DWORD nChunk = nCount - nDone > (1u << 20) ? (1u << 20) : static_cast<DWORD>(nCount - nDone);
        DWORD nRead = 0;
        if (!pRapi->pReadFile(hRemote, pNext + nDone, nChunk, &nRead, nullptr)) {
            nError = RemoteError(pRapi);
            return -1;
        }
        if (nRead == 0) {
            break;
        }
        nDone += nRead;
    }
    return static_cast<int64_t>(nDone);
}

bool WriteDeviceHandle(intptr_t hFile, const void* pBuffer, size_t nCount, int& nError) {
    const CRapi* pRapi = GetRapi();
    HANDLE hRemote = DeviceFileOf(hFile);
    if (pRapi == nullptr || hRemote == INVALID_HANDLE_VALUE) {
        nError = ERROR_INVALID_HANDLE;
        return false;
    }
    const char* pNext = static_cast<const char*>(pBuffer);
    while (nCount > 0) {
        DWORD nChunk = nCount > (1u << 20) ? (1u << 20) : static_cast<DWORD>(nCount);
        DWORD nWritten = 0;
        if (!pRapi->pWriteFile(hRemote, pNext, nChunk, &nWritten, nullptr)) {
            nError = RemoteError(pRapi);
            return false;
        }
        if (nWritten == 0) {
            nError = ERROR_WRITE_FAULT;
            return false;
        }
        pNext += nWritten;
        nCount -= nWritten;
    }
    return true;
}

bool CloseDeviceHandle(intptr_t hFile) {
    const CRapi* pRapi = GetRapi();
    HANDLE hRemote = TakeDeviceFile(hFile);
    return pRapi != nullptr && hRemote != INVALID_HANDLE_VALUE && pRapi->pCloseHandle(hRemote);
}

}  // namespace win32

bool DeviceConnect(int nTimeoutMs) {
    // The folder either is there or not: the stand-in answers at once.
    if (IsStandIn()) {
        ++g_nDeviceSessions;
        return true;
    }
    const CRapi* pRapi = GetRapi();
    if (pRapi == nullptr) {
        return false;
    }
    CRapiInit init {};
    init.cbSize = sizeof(init);
    if (FAILED(pRapi->pInitEx(&init))) {
        return false;
    }
    DWORD dwWait = WaitForSingleObject(init.heRapiInit,
                                       nTimeoutMs < 0 ? 0 : static_cast<DWORD>(nTimeoutMs));
    if (dwWait == WAIT_TIMEOUT || dwWait == WAIT_ABANDONED) {
        // The start is still under way: cancelling it is what ends it.
        pRapi->pUninit();
        return false;
    }
    if (dwWait != WAIT_OBJECT_0) {
        return false;
    }
    if (FAILED(init.hrRapiInit)) {
        // Each start counts, also one that reached no device.
        pRapi->pUninit();
        return false;
    }
    ++g_nDeviceSessions;
    return true;
}

bool DeviceDisconnect() {
    int nSessions = g_nDeviceSessions.load();
    while (nSessions > 0) {
        if (g_nDeviceSessions.compare_exchange_weak(nSessions, nSessions - 1)) {
            const CRapi* pRapi = IsStandIn() ? nullptr : GetRapi();
            if (pRapi != nullptr) {
                pRapi->pUninit();
            }
            return true;
        }
    }
    return false;
}

bool IsDeviceSessionOpen() { return g_nDeviceSessions.load() > 0; }

std::vector<CFileInfo> DeviceFindFiles(const std::string& strPattern) {
    std::vector<CFileInfo> found;
    if (IsStandIn()) {
        std::string strLocal;
        if (!MapDevicePath(strPattern, strLocal)) {
            return found;
        }
        for (CFileInfo& info : FindFiles(strLocal)) {
            if (info.strName != "." && info.strName != "..") {
                found.push_back(std::move(info));
            }
        }
        return found;
    }
    const CRapi* pRapi = GetRapi();
    if (pRapi == nullptr || !IsUsableDevicePath(strPattern)) {
        return found;
    }
    CCeFindData data {};
    HANDLE hFind = pRapi->pFindFirstFile(RemotePath(strPattern).c_str(), &data);
    if (hFind == INVALID_HANDLE_VALUE || hFind == nullptr) {
        return found;
    }
    do {
        CFileInfo info;
        info.strName = FromWide(data.cFileName);
        if (info.strName == "." || info.strName == "..") {
            continue;
        }
        info.dwAttributes = OurAttributes(data.dwFileAttributes);
        info.nSize = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0
                         ? 0
                         : (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
        info.timeLastWriteUtc = UtcFromFileTime(data.ftLastWriteTime);
        found.push_back(std::move(info));
    } while (pRapi->pFindNextFile(hFind, &data));
    pRapi->pFindClose(hFind);
    return found;
}

uint32_t DeviceGetFileAttributes(const std::string& strPath) {
    if (IsStandIn()) {
        std::string strLocal;
        return MapDevicePath(strPath, strLocal) ? GetPathAttributes(strLocal)
                                                : kInvalidFileAttributes;
    }
    const CRapi* pRapi = GetRapi();
    if (pRapi == nullptr || !IsUsableDevicePath(strPath)) {
        return kInvalidFileAttributes;
    }
    DWORD dwAttributes = pRapi->pGetFileAttributes(RemotePath(strPath).c_str());
    return dwAttributes == INVALID_FILE_ATTRIBUTES ? kInvalidFileAttributes
                                                   : OurAttributes(dwAttributes);
}

bool DeviceCreateDirectory(const std::string& strPath) {
    if (IsStandIn()) {
        std::string strLocal;
        return MapDevicePath(strPath, strLocal) && MakeDirectory(strLocal);
    }
    const CRapi* pRapi = GetRapi();
    return pRapi != nullptr && IsUsableDevicePath(strPath) &&
           pRapi->pCreateDirectory(RemotePath(strPath).c_str(), nullptr);
}

bool CDeviceFile::Open(const std::string& strPath, CFile::EOpenMode mode) {
    if (IsStandIn()) {
        std::string strLocal;
        if (!MapDevicePath(strPath, strLocal)) {
            m_file.Close();
            return false;
        }
        return m_file.Open(strLocal, mode);
    }
    if (!IsUsableDevicePath(strPath)) {
        m_file.Close();
        return false;
    }
    return m_file.Open(win32::kDevicePathMarker + strPath, mode);
}

bool DeviceInvoke(const std::string& strLibrary, const std::string& strFunction,
                  const std::string& strInput, std::string& strOutput) {
    if (IsStandIn()) {
        std::string strProgram;
        if (!MapDevicePath(strLibrary, strProgram)) {
            return false;
        }
        const std::string strExtension = kProgramExtension;
        if (strProgram.size() < strExtension.size() ||
            CompareStringOrdinal(ToWide(strProgram.substr(strProgram.size() - strExtension.size())).c_str(),
                                 -1, ToWide(strExtension).c_str(), -1, TRUE) != CSTR_EQUAL) {
            strProgram += strExtension;
        }
        CProgramOutput result =
            RunProgramForOutput({strProgram, strFunction, strInput}, kInvokeTimeLimitMs);
        if (!result.bStarted || result.bTimedOut || result.nExitStatus != 0) {
            return false;
        }
        // The device hands back a zero-terminated text.
        strOutput = result.strStdout.substr(0, result.strStdout.find('\0'));
        return true;
    }
    const CRapi* pRapi = GetRapi();
    if (pRapi == nullptr || !IsUsableDevicePath(strLibrary) ||
        strFunction.find('\0') != std::string::npos || strInput.find('\0') != std::string::npos) {
        return false;
    }
    // The input goes as UTF-16 with its terminating zero, in a buffer that
    // the API itself frees, which is why it must come from LocalAlloc.
    std::wstring strWideInput = ToWide(strInput);
    DWORD cbInput = static_cast<DWORD>((strWideInput.size() + 1) * sizeof(wchar_t));
    BYTE* pInput = static_cast<BYTE*>(LocalAlloc(LPTR, cbInput));
    if (pInput == nullptr) {
        return false;
    }
    memcpy(pInput, strWideInput.c_str(), cbInput);
    DWORD cbOutput = 256;
    BYTE* pOutput = nullptr;
    HRESULT hr = pRapi->pInvoke(ToWide(strLibrary).c_str(), ToWide(strFunction).c_str(), cbInput,
                                pInput, &cbOutput, &pOutput, nullptr, 0);
    if (FAILED(hr) || pOutput == nullptr) {
        if (pOutput != nullptr) {
            LocalFree(pOutput);
        }
        return false;
    }
    // Up to the first zero character, and never past what was handed back.
    const wchar_t* pszText = reinterpret_cast<const wchar_t*>(pOutput);
    size_t nMax = cbOutput / sizeof(wchar_t);
    size_t nLength = 0;
    while (nLength < nMax && pszText[nLength] != L'\0') {
        ++nLength;
    }
    strOutput = FromWide(pszText, static_cast<int>(nLength));
    LocalFree(pOutput);
    return true;
}

}  // namespace platform
