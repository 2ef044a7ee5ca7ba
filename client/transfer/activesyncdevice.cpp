#include "client/transfer/activesyncdevice.h"

#include "platform/device.h"
#include "platform/file.h"
#include "platform/paths.h"

namespace {

bool IsDirectory(uint32_t dwAttributes) {
    return dwAttributes != platform::kInvalidFileAttributes &&
           (dwAttributes & platform::kFileAttributeDirectory) != 0;
}

// A FIFO or device would block the copy for as long as nobody writes to it.
bool IsCopyableFile(uint32_t dwAttributes) {
    return dwAttributes != platform::kInvalidFileAttributes &&
           (dwAttributes & (platform::kFileAttributeDirectory | platform::kFileAttributeSystem)) ==
               0;
}

}  // namespace

bool CActiveSyncDevice::ConnectDevice() {
    if (m_bRapiStarted) {
        return true;
    }
    if (!platform::DeviceConnect(kConnectTimeoutMs)) {
        return false;
    }
    m_bRapiStarted = true;
    return true;
}

bool CActiveSyncDevice::DisconnectDevice() {
    if (!m_bRapiStarted) {
        return true;
    }
    if (!platform::DeviceDisconnect()) {
        return false;
    }
    m_bRapiStarted = false;
    return true;
}

bool CActiveSyncDevice::DevicePathExists(const std::string& strPath) {
    return !platform::DeviceFindFiles(strPath).empty();
}

bool CActiveSyncDevice::CreateDeviceDirectories(const std::string& strPath) {
    if (strPath.empty() || strPath.size() > kMaxDirectoryPath) {
        return false;
    }
    std::string strWork = strPath;
    // A trailing separator of either kind names the same directory; left in
    // place it would make the last directory look missing.
    if (platform::IsPathSeparator(strWork.back())) {
        strWork.pop_back();
    }
    for (size_t i = 0; i < strWork.size(); ++i) {
        if (!platform::IsPathSeparator(strWork[i])) {
            continue;
        }
        // The root before a leading separator, and the empty name between
        // two separators, always exist.
        if (i > 0 && !platform::IsPathSeparator(strWork[i - 1])) {
            std::string strPrefix = strWork.substr(0, i);
            if (!DevicePathExists(strPrefix) && !platform::DeviceCreateDirectory(strPrefix)) {
                return false;
            }
        }
        strWork[i] = '\\';
    }
    if (strWork.empty()) {
        return IsSessionOpen();  // the root alone
    }
    return DevicePathExists(strWork) || platform::DeviceCreateDirectory(strWork);
}

bool CActiveSyncDevice::CopyToDevice(const std::string& strLocalPath,
                                     const std::string& strDevicePath) {
    std::vector<platform::CFileInfo> found = platform::FindFiles(strLocalPath);
    if (found.empty() || !IsCopyableFile(found.front().dwAttributes)) {
        return false;
    }
    std::string strTarget = strDevicePath;
    if (IsDirectory(platform::DeviceGetFileAttributes(strTarget))) {
        strTarget += "/" + found.front().strName;
    }
    platform::CFile localFile;
    if (!localFile.Open(strLocalPath, platform::CFile::modeRead)) {
        return false;
    }
    platform::CDeviceFile deviceFile;
    if (!deviceFile.Open(strTarget, platform::CFile::modeCreate)) {
        size_t nSeparator = strTarget.find_last_of("\\/");
        if (nSeparator != std::string::npos &&
            CreateDeviceDirectories(strTarget.substr(0, nSeparator))) {
            deviceFile.Open(strTarget, platform::CFile::modeCreate);
        }
        if (!deviceFile.IsOpen()) {
            return false;
        }
    }
    bool bResult = true;
    for (;;) {
        int64_t nRead = localFile.Read(m_Buffer, sizeof(m_Buffer));
        if (nRead <= 0) {
            bResult = nRead == 0;
            break;
        }
        if (!deviceFile.Write(m_Buffer, static_cast<size_t>(nRead))) {
            bResult = false;
            break;
        }
    }
    localFile.Close();
    return deviceFile.Close() && bResult;
}

bool CActiveSyncDevice::CopyFromDevice(const std::string& strDevicePath,
                                       const std::string& strLocalPath) {
    std::vector<platform::CFileInfo> found = platform::DeviceFindFiles(strDevicePath);
    if (found.empty() || !IsCopyableFile(found.front().dwAttributes)) {
        return false;
    }
    std::string strTarget = strLocalPath;
    uint32_t dwAttributes = platform::GetPathAttributes(strTarget);
    if (IsDirectory(dwAttributes)) {
        strTarget = platform::JoinPath(strTarget, found.front().strName);
        dwAttributes = platform::GetPathAttributes(strTarget);
    }
    // What creating the file in place would refuse, replacing it must too.
    if (dwAttributes != platform::kInvalidFileAttributes &&
        (dwAttributes & (platform::kFileAttributeDirectory | platform::kFileAttributeReadOnly))) {
        return false;
    }
    platform::CDeviceFile deviceFile;
    if (!deviceFile.Open(strDevicePath, platform::CFile::modeRead)) {
        return false;
    }
    size_t nSeparator = strTarget.find_last_of("\\/");
    std::string strDirectory =
        nSeparator == std::string::npos ? std::string()
                                        : strTarget.substr(0, nSeparator == 0 ? 1 : nSeparator);
    platform::CFile localFile;
    std::string strTemporary;
    if (!localFile.CreateTemporary(strDirectory, strTemporary)) {
        return false;
    }
    bool bResult = true;
    for (;;) {
        int64_t nRead = deviceFile.Read(m_Buffer, sizeof(m_Buffer));
        if (nRead <= 0) {
            bResult = nRead == 0;
            break;
        }
        if (!localFile.Write(m_Buffer, static_cast<size_t>(nRead))) {
            bResult = false;
            break;
        }
    }
    deviceFile.Close();
    bResult = localFile.Close() && bResult && platform::RenameReplacing(strTemporary, strTarget);
    if (!bResult) {
        platform::RemoveFile(strTemporary);
    }
    return bResult;
}

int CActiveSyncDevice::ListDeviceFiles(std::vector<std::string>& vecNames,
                                       const std::string& strPattern) {
    std::vector<platform::CFileInfo> found = platform::DeviceFindFiles(strPattern);
    if (found.empty()) {
        return -1;
    }
    for (const platform::CFileInfo& info : found) {
        if (!IsDirectory(info.dwAttributes)) {
            vecNames.push_back(info.strName);
        }
    }
    return static_cast<int>(vecNames.size());
}

std::string CActiveSyncDevice::InvokeDeviceFunction(const std::string& strLibrary,
                                                    const std::string& strFunction,
                                                    const std::string& strInput) {
    std::string strOutput;
    if (!platform::DeviceInvoke(strLibrary, strFunction, strInput, strOutput)) {
        return std::string();
    }
    return strOutput;
}
