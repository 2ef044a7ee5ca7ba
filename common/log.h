#pragma once

#include <memory>
#include <string>

#include "common/messages.h"
#include "platform/file.h"

// The run's progress as plain lines: each line goes to the top of the
// dialog's log list and, when the settings name a log file, to the end of that
// file. The file holds the lines oldest first, one per line, with nothing
// added; every line is written through to the system at once, so a crash
// loses no line already shown. Used on the user-interface thread only.

// The dialog's log list, newest line on top.
class CLogListView {
public:
    virtual ~CLogListView() = default;

    // Inserts strLine at position 0 and makes it visible at once, even while
    // the caller keeps the thread busy.
    virtual void InsertLogLine(const std::string& strLine) = 0;
};

class CLog {
public:
    // pList may be null (no list to show the lines in).
    CLog(CMessageSink& messages, CLogListView* pList) : m_messages(messages), m_pList(pList) {}
    ~CLog() { CloseLogFile(); }

    CLog(const CLog&) = delete;
    CLog& operator=(const CLog&) = delete;

    // Opens strPath for writing, creating it or emptying it, and makes it the
    // log file; a file still open from an earlier run is closed first. An
    // empty path means no log file. When the file cannot be opened the
    // operator sees "Cannot open log file '<path>'" and the run goes on with
    // the list only.
    void OpenLogFile(const std::string& strPath);

    // Shows strLine (without line end) on top of the list and appends it to
    // the log file. A line that cannot be written stays in the list only;
    // later lines are tried again.
    void AddLogLine(const std::string& strLine);

    // Closes the log file, if one is open.
    void CloseLogFile();

    bool HasLogFile() const { return m_pLogFile != nullptr; }

private:
    CMessageSink& m_messages;
    CLogListView* m_pList;
    std::unique_ptr<platform::CFile> m_pLogFile;
};
