#pragma once

#include <ctime>
#include <string>

// Making the files a test needs where the standard library has no call for
// it, on Linux and on Windows alike. Each returns false when the system
// cannot do it; tests assert on what must work on every system.

namespace testsupport {

// One folder (its parent must exist).
bool MakeFolder(const std::string& strPath);

// Takes the write permission away (Linux: mode 0444; Windows: the read-only
// attribute).
bool MakeReadOnly(const std::string& strPath);

// A symbolic link at strLink that points to strTarget (a file or a folder).
// False where the system or the user may not make one.
bool MakeLink(const std::string& strTarget, const std::string& strLink);

// A FIFO (named pipe in the file system). Windows has none: always false.
bool MakeFifo(const std::string& strPath);
#ifdef _WIN32
constexpr bool kHasFifos = false;
#else
constexpr bool kHasFifos = true;
#endif

// Sets a file's modification time, given as seconds since 1970 in UTC.
bool SetModifiedTime(const std::string& strPath, long long nUtcSeconds);

// Seconds since 1970 of a calendar time in UTC (timegm).
long long UtcSeconds(int nYear, int nMonth, int nDay, int nHour, int nMinute);

// The calendar parts in UTC of seconds since 1970 (gmtime).
std::tm UtcParts(long long nUtcSeconds);

// Marks a file hidden as the system knows it: on Linux a name that begins
// with '.' is hidden already; Windows keeps an attribute for it.
bool MakeHidden(const std::string& strPath);

// What a file written in text mode (or a text-mode standard stream) holds
// for strLines: each '\n' becomes the platform's line end (LF on Linux,
// CR LF on Windows). For the expected side of comparisons.
std::string AsText(const std::string& strLines);

// True when the test runs under Wine rather than on Windows itself (for
// what Wine does not provide); false on Linux.
bool IsWine();

// Sets or removes a variable of this process's environment.
void SetEnvVar(const std::string& strName, const std::string& strValue);
void UnsetEnvVar(const std::string& strName);

}  // namespace testsupport
