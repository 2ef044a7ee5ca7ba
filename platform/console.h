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

// Whether standard error is an interactive terminal (a console on Windows),
// where a line can be rewritten in place. False when it goes to a file, a
// pipe, /dev/null or a service's journal: there every byte written stays,
// so nothing that rewrites itself may go there.
bool IsErrorTerminal();

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
// A status line shown (WriteErrorStatus) is cleared first, so that the line
// starts at the left margin and nothing of the status is left beside it.
// Any thread.
void WriteErrorLine(const std::string& strLine);

// Shows strText on standard error as the status line: a line without a line
// end that the next status replaces in place (a carriage return, the text,
// and blanks over whatever a longer status before it showed). An empty text
// clears a status line shown (blanks, then a carriage return, so that what
// is written next starts at the left margin) and writes nothing when none
// is. strText must fit the terminal's width in characters (counted as
// UTF-8 characters, one column each) and hold no line end. Meant for a
// terminal only: the caller asks IsErrorTerminal first. Any thread.
void WriteErrorStatus(const std::string& strText);

// Turns the process's stop requests (interrupt and terminate) into calls of
// onStop, made on a thread of the watcher's own, never in signal context.
// Must be called before the process starts any other thread, so that every
// thread inherits the blocked state; later calls replace the callback. The
// watcher lives until the process ends.
void WatchStopRequests(std::function<void()> onStop);

}  // namespace platform
