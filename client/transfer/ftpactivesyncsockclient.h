#pragma once

#include "client/transfer/activesyncdevice.h"
#include "client/transfer/ftpsockclient.h"

// The transfer client for a handheld device: files are copied straight
// between the local and the device's file system. It has no command channel,
// so every command-level operation of the base is a no-op for it, and the
// sync run connects and disconnects m_Device itself in place of Connect and
// Quit.
class CFtpActiveSyncSockClient : public CFtpSockClientBase {
public:
    // Leaves the device session as it is: the run ends it with
    // DisconnectDevice.
    ~CFtpActiveSyncSockClient() override = default;

    bool OpenDataPort() override { return false; }
    bool CreateCommandSocket() override { return false; }
    void DeleteCommandSocket() override {}
    bool HasNoCommandSocket() override { return true; }
    int64_t CommandSend(const char*, size_t) override { return 0; }
    int64_t CommandReceive(char*) override { return 0; }
    void CloseDataListener() override {}
    int64_t DataSend(const char*, size_t) override { return 0; }
    int64_t DataReceive(char*, size_t) override { return 0; }
    void CloseDataConnection() override {}

    // The device reports no more than that a copy failed; that is the cause
    // kept for the operator. A copy to the device writes the device's file in
    // place, so a cancel never breaks one off halfway: it only keeps the next
    // copy from starting.
    bool Get(const std::string& strRemoteName, const std::string& strLocalPath) override {
        m_strLocalError.clear();
        if (IsCancelled()) {
            return false;
        }
        if (!m_Device.CopyFromDevice(strRemoteName, strLocalPath)) {
            m_strLocalError = "the copy from the device failed";
            return false;
        }
        return true;
    }
    bool Put(const std::string& strLocalPath, const std::string& strRemoteName) override {
        m_strLocalError.clear();
        if (IsCancelled()) {
            return false;
        }
        if (!m_Device.CopyToDevice(strLocalPath, strRemoteName)) {
            m_strLocalError = "the copy to the device failed";
            return false;
        }
        return true;
    }
    // There is no listing on this path; the output is left as it was.
    bool List(const std::string&, std::string*) override { return false; }

    CActiveSyncDevice m_Device;
};
