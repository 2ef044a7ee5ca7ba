#pragma once

#include <atomic>
#include <functional>
#include <string>
#include <thread>

#include "platform/socket.h"

// Stands between a client and a server on the command connection, passing
// every byte on both ways, and holds the server's answer to one chosen
// command until the test has acted: so the test can change a file between
// what the client learnt about it and what the client does next. Data
// connections do not pass through it: the server reaches the client's
// address directly, which is the relay's too on loopback.
class CControlRelay {
public:
    CControlRelay() = default;
    ~CControlRelay();
    CControlRelay(const CControlRelay&) = delete;
    CControlRelay& operator=(const CControlRelay&) = delete;

    // Listens on a free loopback port for one client and relays it to
    // nServerPort. onHeld runs, on the relay's thread, once the server has
    // answered the first command line that begins with strCommand, before
    // that answer goes on to the client. False when nothing listens.
    bool Start(int nServerPort, const std::string& strCommand, std::function<void()> onHeld);

    int Port() const { return m_nPort; }
    // Whether onHeld has run.
    bool HasHeld() const { return m_bHeld; }

private:
    void Run();
    // Passes what one side sent on to the other; false when that side ended.
    bool Pass(platform::CSocket& from, platform::CSocket& to, bool bFromClient);

    platform::CSocket m_listener;
    platform::CSocket m_client;
    platform::CSocket m_server;
    int m_nPort = 0;
    int m_nServerPort = 0;
    std::string m_strCommand;
    std::function<void()> m_onHeld;
    std::string m_strClientLine;  // the client's command line so far
    bool m_bAwaitingAnswer = false;
    std::atomic<bool> m_bHeld{false};
    std::atomic<bool> m_bStop{false};
    std::thread m_thread;
};
