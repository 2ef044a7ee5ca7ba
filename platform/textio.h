#pragma once

#include <cstddef>
#include <cstdio>
#include <string>

// Reading text-mode streams. A text line ends in LF or in CR LF, whatever the
// platform; the consoles tools and settings readers must not care which one
// wrote the file. Writing '\n' to a stream opened in text mode ends a line in
// the platform's own way (LF here, CR LF on Windows), so writing needs nothing
// from this layer.

namespace platform {

// The line end of a text-mode file, for code that writes text files through
// CFile rather than through a stream.
#ifdef _WIN32
constexpr const char* kTextLineEnd = "\r\n";
#else
constexpr const char* kTextLineEnd = "\n";
#endif

// Opens a stream like std::fopen, with strPath as UTF-8 text (on Windows
// converted for the system's wide-character call). Null on failure, with
// errno set.
std::FILE* OpenStream(const std::string& strPath, const char* pszMode);

// Reads like fgets from a stream opened in text mode: stores up to nSize - 1
// bytes, stopping after the first line feed, and a terminating zero. A CR LF
// pair is delivered as a single '\n'; a lone CR is kept. Zero bytes in the
// input are stored like any other byte, which is why the count is returned.
// Returns the number of bytes stored, 0 at end of input or on a read error.
// Requires nSize >= 2.
size_t ReadTextLine(std::FILE* pStream, char* pBuffer, size_t nSize);

// Puts an inherited standard stream into text mode (needed on Windows only;
// nothing to do where text and binary mode are the same).
void SetTextMode(std::FILE* pStream);

}  // namespace platform
