#pragma once

#include <functional>
#include <string>

// The terminal a program was started from: its standard input, whether a
// person sits at it, echo control for secrets, and the requests to stop that
// the terminal or a service manager send (Ctrl+C, SIGTERM on Linux; console
// control events on Windows).

namespace platform {

// Gives a program that was started without standard streams (a Windows
// program of the window kind, started from a console window) the streams of
// the console it was started from; streams that were handed over (redirected
// to files or pipes) are kept as they are. Call once at start, before
// anything is read or written, when the program is to run in the terminal.
// Nothing to do where every program inherits its streams (Linux).
void AttachParentConsole();

// Whether standard input is an interactive terminal (not a file, a pipe or
// /dev/null).
bool IsInputTerminal();

// Reads one line from standard input, without its line end (LF or CR LF).
// Blocks until a whole line or the end of input has arrived. Returns false at
// the end of input or on an error, with strLine holding any partial text.
// Safe to call from one thread at a time.
bool ReadInputLine(std::string& strLine);

// While an object of this class lives, characters typed at the terminal are
// not echoed (for passwords). Does nothing when standard input is not a
// terminal. The echo is restored on destruction.
class CEchoOff {
public:
    CEchoOff();
    ~CEchoOff();
    CEchoOff(const CEchoOff&) = delete;
    CEchoOff& operator=(const CEchoOff&) = delete;

private:
    bool m_bRestore = false;
    unsigned m_nSavedFlags = 0;
};

// Writes strLine and a line end to standard error at once (unbuffered, so
// it keeps its place among the program's other output). For what the
// operator must read beside the log, in a terminal or a service's journal.
// Safe to call from one thread at a time.
void WriteErrorLine(const std::string& strLine);

// Turns the process's stop requests (interrupt and terminate) into calls of
// onStop, made on a thread of the watcher's own, never in signal context.
// Must be called before the process starts any other thread, so that every
// thread inherits the blocked state; later calls replace the callback. The
// watcher lives until the process ends.
void WatchStopRequests(std::function<void()> onStop);

}  // namespace platform
