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
// client goes, and it never closes first unless told to.
class CFakeFtpServer {
public:
    // Closes the connection instead of sending anything more.
    static constexpr const char* kClose = "<close>";

    explicit CFakeFtpServer(std::vector<std::string> vecScript);
    ~CFakeFtpServer();
    CFakeFtpServer(const CFakeFtpServer&) = delete;
    CFakeFtpServer& operator=(const CFakeFtpServer&) = delete;

    int Port() const { return m_nPort; }
    // The command lines received so far, without their CR LF.
    std::vector<std::string> Received();

private:
    void Serve();

    std::vector<std::string> m_vecScript;
    platform::CSocket m_listener;
    platform::CSocket m_connection;
    int m_nPort = 0;
    std::mutex m_mutex;
    std::vector<std::string> m_vecReceived;
    std::thread m_thread;
};
