#include "platform/device.h"

namespace platform {

bool DeviceConnect(int) { return false; }
bool DeviceDisconnect() { return false; }
bool IsDeviceSessionOpen() { return false; }
std::vector<CFileInfo> DeviceFindFiles(const std::string&) { return {}; }
uint32_t DeviceGetFileAttributes(const std::string&) { return kInvalidFileAttributes; }
bool DeviceCreateDirectory(const std::string&) { return false; }
bool CDeviceFile::Open(const std::string&, CFile::EOpenMode) { return false; }
bool DeviceInvoke(const std::string&, const std::string&, const std::string&, std::string&) {
    return false;
}

}  // namespace platform
