#pragma once

#include <string>
#include <vector>

#include "common/macros.h"

// The connection to an attached handheld device and every file operation the
// client performs on it. Device paths are absolute in the device's own form,
// folders separated by '\' or '/'. Every operation reports failure only
// through its result; the callers log and show what they need.
//
// The sync run holds one (inside its device client); the script parser holds
// its own for the device macros, which is why this is the expander's
// CDeviceIdentitySource.
class CActiveSyncDevice : public CDeviceIdentitySource {
public:
    // How long ConnectDevice waits for the device to answer.
    static constexpr int kConnectTimeoutMs = 2000;
    // The longest directory path CreateDeviceDirectories takes, as the
    // device's own path buffers allow.
    static constexpr size_t kMaxDirectoryPath = 259;

    // True when a session is open, also when it was open already.
    bool ConnectDevice() override;
    // False only when ending an open session fails (it then stays open).
    bool DisconnectDevice();
    bool IsSessionOpen() const override { return m_bRapiStarted; }

    // True when at least one device file or directory matches strPath (a
    // path or a wildcard pattern).
    bool DevicePathExists(const std::string& strPath);

    // Creates every missing directory of strPath, writing the separators of
    // the created names as '\'. True when the whole chain exists afterwards.
    // Paths longer than kMaxDirectoryPath are refused.
    bool CreateDeviceDirectories(const std::string& strPath);

    // Copies a local file to the device. A device path naming an existing
    // directory receives the file under its own name; missing directories
    // are created. False for a missing local file or a local directory, in
    // which case nothing is created on the device.
    bool CopyToDevice(const std::string& strLocalPath, const std::string& strDevicePath);

    // Copies a device file to a local path, or into a local directory under
    // its own name. The local file is replaced only once the whole file has
    // arrived; missing local directories are not created.
    bool CopyFromDevice(const std::string& strDevicePath, const std::string& strLocalPath);

    // Appends the names of the files (not directories) that strPattern
    // matches to vecNames. Returns the number of names in vecNames then, or
    // -1 when nothing at all matches.
    int ListDeviceFiles(std::vector<std::string>& vecNames, const std::string& strPattern);

    // Runs strFunction of the device library strLibrary with strInput and
    // returns its answer; empty text on any failure.
    std::string InvokeDeviceFunction(const std::string& strLibrary,
                                     const std::string& strFunction,
                                     const std::string& strInput) override;

    char m_Buffer[4096];
    bool m_bRapiStarted = false;
};
