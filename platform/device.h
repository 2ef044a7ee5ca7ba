#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/file.h"

// The handheld device attached to this computer, as the device connection of
// the client reaches it. Device paths are absolute in the device's own form:
// folders separated by '\' or '/', the device root being the first separator.
// Attribute bits are those of platform/file.h.
//
// On Linux a folder plays the device: the environment variable
// TANDREL_DEVICE_ROOT names it, and its contents are the device's file
// system. Without such a folder no device is attached. The identity library
// is an executable file in the device root, run with the function name and
// the input text as its two arguments; what it prints on standard output is
// its answer, and a non-zero exit status is a failure. On Windows the same
// folder stand-in is used when the variable names a folder, and the identity
// library is then the program deviceid.exe (the library's name with ".exe",
// unless it has that already); without the variable the ActiveSync remote
// API (rapi.dll of the system folder, loaded when first needed) reaches the
// real device, and without that API no device is attached.
//
// Sessions: DeviceConnect opens one, DeviceDisconnect closes one; they nest,
// as the device API's own start and end calls do, so two independent users
// in one program can each hold a session. Every other call fails while no
// session is open, as it would without the device API started.
//
// All calls come from the client's user-interface thread; the session count
// is nevertheless safe to change from any thread.

namespace platform {

// Opens a session with the attached device, waiting at most nTimeoutMs for
// it to answer. False when no device is attached or it does not answer in
// time; no session is open then.
bool DeviceConnect(int nTimeoutMs);

// Closes one session. False when none is open.
bool DeviceDisconnect();

// True while at least one session is open.
bool IsDeviceSessionOpen();

// Wildcard search on the device, with the rules of FindFiles (platform/
// file.h), except that "." and ".." are never found: the device has no such
// entries. Empty when nothing matches, the path is invalid or there is no
// session.
std::vector<CFileInfo> DeviceFindFiles(const std::string& strPattern);

// Attributes of a device path, kInvalidFileAttributes when there is no such
// entry (or no session).
uint32_t DeviceGetFileAttributes(const std::string& strPath);

// Creates one device directory. False if it exists, its parent is missing,
// the path is invalid, or there is no session.
bool DeviceCreateDirectory(const std::string& strPath);

// An open device file. Move-only; the destructor closes it.
class CDeviceFile {
public:
    // modeRead: an existing file, not a directory. modeCreate: a new file,
    // or an existing one emptied (a read-only file or directory is refused).
    bool Open(const std::string& strPath, CFile::EOpenMode mode);
    bool IsOpen() const { return m_file.IsOpen(); }

    // The count read, 0 at the end of the file, -1 on an error.
    int64_t Read(void* pBuffer, size_t nCount) { return m_file.Read(pBuffer, nCount); }
    // Writes all nCount bytes; false on an error.
    bool Write(const void* pBuffer, size_t nCount) { return m_file.Write(pBuffer, nCount); }
    bool Close() { return m_file.Close(); }

private:
    CFile m_file;
};

// Runs strFunction of the device library strLibrary (a device path) with
// strInput and stores its answer, up to its first zero byte, in strOutput.
// False when there is no session, the library is missing or cannot run, it
// fails, or it does not answer within the time limit of the device API.
bool DeviceInvoke(const std::string& strLibrary, const std::string& strFunction,
                  const std::string& strInput, std::string& strOutput);

}  // namespace platform
