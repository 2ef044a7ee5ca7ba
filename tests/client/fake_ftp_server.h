#pragma once

#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/socket.h"

// A scripted stand-in for a server: on loopback, accepts one client, sends
// the first scripted text as its greeting and then one scripted text for each
// command line received, exactly as written (bare LFs, cut lines and all).
// Records the lines it received. After the script it reads on until the
// client goes, and it never closes first unless told to. A scripted text may
// hold kReceiveData: the fake then connects to the address of the last PORT
// line, takes bytes until the client closes that connection, and sends the
// rest of the text after that.
class CFakeFtpServer {
public:
    // Closes the connection instead of sending anything more.
    static constexpr const char* kClose = "<close>";
    // Takes an upload on a data connection at this point of a text.
    static constexpr const char* kReceiveData = "<receive>";
    // Sends a download of kSlowBlocks blocks of 64 KiB on a data connection
    // at this point of a text, a block every 100 ms, then closes it.
    static constexpr const char* kSendSlowly = "<send-slowly>";
    static constexpr int kSlowBlocks = 24;

    explicit CFakeFtpServer(std::vector<std::string> vecScript);
    ~CFakeFtpServer();
    CFakeFtpServer(const CFakeFtpServer&) = delete;
    CFakeFtpServer& operator=(const CFakeFtpServer&) = delete;

    int Port() const { return m_nPort; }
    // The command lines received so far, without their CR LF.
    std::vector<std::string> Received();
    // The bytes of the last upload taken (kReceiveData).
    std::string ReceivedData();

private:
    void Serve();
    bool SendScripted(const std::string& strText);
    // Connects to the last PORT address and receives until the end.
    void ReceiveData();
    void SendSlowly();

    std::vector<std::string> m_vecScript;
    platform::CSocket m_listener;
    platform::CSocket m_connection;
    int m_nPort = 0;
    std::mutex m_mutex;
    std::vector<std::string> m_vecReceived;
    platform::CSocketAddress m_dataAddress;
    std::string m_strData;
    std::thread m_thread;
};
