#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include "common/messages.h"

// The settings files of both programs (the client's sync script, the server's
// configuration) share one reader and one line syntax:
//
//   - 8-bit text, read byte for byte; a NUL byte ends the text of its own
//     line (the next line is read as usual). A UTF-16 file (byte-order mark
//     FF FE or FE FF, or none, with the NULs of ASCII text at every other
//     byte) is decoded to UTF-8 instead. A UTF-8 byte-order mark is not
//     recognised: its bytes begin the first line.
//   - Lines end at LF; every line is trimmed of white space at both ends, so
//     CR LF files read like LF files.
//   - After trimming a line is empty, a comment (first character '.'), a
//     section header (first character '['), or an entry split at its first
//     '=' into key and value. Keys and headers are compared without regard to
//     case; values keep their case.
//   - A section runs from its header to the next line that begins with '[',
//     or to the end of the file.
//   - Messages about a line end in "(<file name>, line <n>)", n counting
//     physical lines from 1.

// Texts of the messages both formats raise. FormatLineMessage adds the
// "(%s, line %d)" ending.
extern const char* const kMsgLineIgnored;    // "Syntax error. This line will be ignored"
extern const char* const kMsgInvalidVersion; // "Syntax error. Invalid version!!!"
extern const char* const kMsgInvalidPort;    // the invalid Port message

// The settings file beside the running program: its path with the extension
// of the file name replaced by ".INI" (".INI" appended when the file name has
// no extension). Computed anew on every call.
std::string GetSettingsFilePath();

// The same rule applied to a given program path.
std::string GetSettingsFilePathFor(const std::string& strProgramPath);

// Fills lines with the trimmed lines of the file at strPath and returns true;
// returns false (lines empty) when the file cannot be opened or read in full.
// An empty file reads successfully and yields no lines. Lines are counted as
// the file has them, whether it is 8-bit text or UTF-16.
bool ReadTextFileLines(const std::string& strPath, std::vector<std::string>& lines);

// Splits strText at the first chSeparator into left and right part, each
// trimmed. Both parts are empty when the text is empty or holds no separator.
void SplitAtFirst(const std::string& strText, char chSeparator, std::string& strLeft,
                  std::string& strRight);

// The file name that messages show: the part of the path after its last '\'
// or '/', or the whole path when it has neither.
std::string GetMessageFileName(const std::string& strPath);

// "<strText> (<strFileName>, line <nLine>)".
std::string FormatLineMessage(const std::string& strText, const std::string& strFileName,
                              int nLine);

// True when every character is a digit 0 to 9; true for the empty text too.
bool IsAllDigits(const std::string& strText);

// An all-digit text read as a decimal number; values beyond the range of int
// give INT_MAX, as the C runtime's conversion does. Empty text gives 0.
int DecimalToInt(const std::string& strDigits);

enum class ESettingsLine { Empty, Comment, Header, Entry };

// The kind of an already trimmed line.
ESettingsLine GetSettingsLineKind(const std::string& strLine);

// One entry of a section.
struct CSettingsEntry {
    std::string strKey;    // trimmed; empty for a line without '='
    std::string strValue;  // trimmed; everything after the first '='
    int nLine = 0;         // 1-based line number, for messages
};

// Reads one settings file and walks its sections, raising the messages that
// both formats share. The format-specific parsers (sync script, server
// configuration) decide what each section's entries mean.
class CSettingsParser {
public:
    // Returned by a section handler to stop the whole parse.
    static constexpr size_t kStopParse = static_cast<size_t>(-1);

    explicit CSettingsParser(CMessageSink& messages) : m_messages(messages) {}

    // Reads the file's lines. False if it cannot be read (nothing is shown;
    // the caller reports that with the full path).
    bool Read(const std::string& strPath);

    const std::vector<std::string>& GetLines() const { return m_lines; }
    const std::string& GetFileName() const { return m_strFileName; }

    // Walks the file from the first line. A line equal to headers[n] (without
    // regard to case) is handed to onSection(n, index of the header line),
    // which walks the section and returns the index of the line after it, or
    // kStopParse. Every other line that is neither empty nor a comment is
    // reported as ignored. Returns false if a handler stopped the parse.
    bool Walk(const std::vector<std::string>& headers,
              const std::function<size_t(size_t nHeader, size_t nIndex)>& onSection);

    // Walks the entries of the section whose header is at line nHeaderIndex,
    // skipping empty lines and comments, handing each entry to onEntry. Returns
    // the index of the line that ended the section (a header, not consumed,
    // or the line count), or kStopParse as soon as onEntry returns false.
    size_t WalkSection(size_t nHeaderIndex,
                       const std::function<bool(const CSettingsEntry& entry)>& onEntry);

    // Walks the version section at nHeaderIndex: key Version must be one of
    // the accepted versions (stops the parse after its message otherwise);
    // any other key is reported as ignored.
    size_t WalkVersionSection(size_t nHeaderIndex);

    // Shows strText with the "(file, line n)" ending.
    void ReportLine(const std::string& strText, int nLine);

private:
    CMessageSink& m_messages;
    std::vector<std::string> m_lines;
    std::string m_strFileName;
};
