#pragma once

#include <string>
#include <vector>

// Paths as the programs handle them: settings values and wire arguments may
// separate folders with either '\' or '/', and we join with the platform's own.

namespace platform {

#ifdef _WIN32
constexpr char kPathSeparator = '\\';
#else
constexpr char kPathSeparator = '/';
#endif

// True for both '\' and '/', on every platform.
inline bool IsPathSeparator(char c) { return c == '\\' || c == '/'; }

// The full path of the running program file, as the operating system reports
// it. Empty if it cannot be found out.
std::string GetProgramPath();

// The words the program was started with, after its own name, as UTF-8
// text. argc and argv are main's; where the system hands main its command
// line in another code page (Windows), the words are taken from the
// system's Unicode copy of it instead.
std::vector<std::string> GetProgramArguments(int argc, char** argv);

// strDirectory and strName joined with one kPathSeparator. A directory that
// already ends in a separator gets none added; an empty directory yields the
// name alone.
std::string JoinPath(const std::string& strDirectory, const std::string& strName);

}  // namespace platform
