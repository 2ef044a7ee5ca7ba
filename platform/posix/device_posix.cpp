#include <atomic>
#include <cstdlib>

#include "platform/device.h"
#include "platform/paths.h"
#include "platform/process.h"

// The stand-in device: a folder named by TANDREL_DEVICE_ROOT.

namespace platform {

namespace {

const char* const kDeviceRootVariable = "TANDREL_DEVICE_ROOT";

// How long the identity library may take; the real device API has no limit
// of its own, but a program that hangs must not hang the client with it.
constexpr int kInvokeTimeLimitMs = 10000;

std::atomic<int> g_nDeviceSessions{0};

// The folder that plays the device, or empty when no device is attached.
std::string GetDeviceRoot() {
    const char* pszRoot = std::getenv(kDeviceRootVariable);
    if (pszRoot == nullptr || *pszRoot == '\0') {
        return std::string();
    }
    uint32_t dwAttributes = GetPathAttributes(pszRoot);
    if (dwAttributes == kInvalidFileAttributes ||
        (dwAttributes & kFileAttributeDirectory) == 0) {
        return std::string();
    }
    return pszRoot;
}

// The local path that a device path stands for. False without a session or
// device, and for paths that would lead out of the device root: the device's
// own file system has nothing above its root, so ".." is refused rather than
// followed out of the folder.
bool MapDevicePath(const std::string& strDevicePath, std::string& strLocal) {
    if (g_nDeviceSessions.load() <= 0 || strDevicePath.empty() ||
        strDevicePath.find('\0') != std::string::npos) {
        return false;
    }
    std::string strRoot = GetDeviceRoot();
    if (strRoot.empty()) {
        return false;
    }
    std::string strPath = strDevicePath;
    for (char& c : strPath) {
        if (c == '\\') {
            c = '/';
        }
    }
    size_t nStart = 0;
    while (nStart <= strPath.size()) {
        size_t nEnd = strPath.find('/', nStart);
        if (nEnd == std::string::npos) {
            nEnd = strPath.size();
        }
        if (strPath.compare(nStart, nEnd - nStart, "..") == 0) {
            return false;
        }
        nStart = nEnd + 1;
    }
    if (strRoot.back() != '/') {
        strRoot += '/';
    }
    strLocal = strRoot + (strPath.front() == '/' ? strPath.substr(1) : strPath);
    return true;
}

}  // namespace

bool DeviceConnect(int /*nTimeoutMs*/) {
    // The folder either is there or not: the stand-in answers at once.
    if (GetDeviceRoot().empty()) {
        return false;
    }
    ++g_nDeviceSessions;
    return true;
}

bool DeviceDisconnect() {
    int nSessions = g_nDeviceSessions.load();
    while (nSessions > 0) {
        if (g_nDeviceSessions.compare_exchange_weak(nSessions, nSessions - 1)) {
            return true;
        }
    }
    return false;
}

bool IsDeviceSessionOpen() { return g_nDeviceSessions.load() > 0; }

std::vector<CFileInfo> DeviceFindFiles(const std::string& strPattern) {
    std::string strLocal;
    std::vector<CFileInfo> found;
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

uint32_t DeviceGetFileAttributes(const std::string& strPath) {
    std::string strLocal;
    return MapDevicePath(strPath, strLocal) ? GetPathAttributes(strLocal)
                                            : kInvalidFileAttributes;
}

bool DeviceCreateDirectory(const std::string& strPath) {
    std::string strLocal;
    return MapDevicePath(strPath, strLocal) && MakeDirectory(strLocal);
}

bool CDeviceFile::Open(const std::string& strPath, CFile::EOpenMode mode) {
    std::string strLocal;
    if (!MapDevicePath(strPath, strLocal)) {
        m_file.Close();
        return false;
    }
    return m_file.Open(strLocal, mode);
}

bool DeviceInvoke(const std::string& strLibrary, const std::string& strFunction,
                  const std::string& strInput, std::string& strOutput) {
    std::string strProgram;
    if (!MapDevicePath(strLibrary, strProgram)) {
        return false;
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

}  // namespace platform
