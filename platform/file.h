#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/clock.h"

// Files and folders. Paths are UTF-8 text; on Linux the bytes are passed to
// the system unchanged, on Windows they are converted to UTF-16 for the
// system's wide-character calls (and '/' separates like '\'). No call here
// throws: every operation reports its outcome as a result, and CFile keeps
// the system's error code of its last failure (errno values on Linux,
// GetLastError values on Windows).
//
// Attributes follow the Windows model, which the rest of the system speaks:
//   directory  - the entry is a directory
//   hidden     - the name begins with '.' (on Windows: the attribute as the
//                file system stores it; a name with a dot is not hidden)
//   system     - neither a regular file nor a directory (device, FIFO, socket)
//                (on Windows: the attribute as stored)
//   read-only  - the owner-write permission bit is clear (on Windows: the
//                attribute as stored)
// The system's other bits (archive, compressed, ...) are not reported.
// What Windows refuses on a read-only file (replacing it, deleting it) is
// refused here too, also when the program runs as root.
//
// Share modes ("deny writers while I read") do not exist on Linux: a file that
// another process is writing can be opened and read. This is a documented
// platform difference (docs/platform.md). On Windows every CFile shares its
// file with readers only: while it is open nobody else can write or delete
// the file, and a file that someone else has open for writing cannot be
// opened by it at all.

namespace platform {

// Attribute bits, with the values of the Windows API so that they can cross
// the device interface unchanged.
constexpr uint32_t kFileAttributeReadOnly = 0x01;
constexpr uint32_t kFileAttributeHidden = 0x02;
constexpr uint32_t kFileAttributeSystem = 0x04;
constexpr uint32_t kFileAttributeDirectory = 0x10;
constexpr uint32_t kFileAttributeNormal = 0x80;  // set only when no other bit is
constexpr uint32_t kInvalidFileAttributes = 0xFFFFFFFF;

// One entry found by FindFiles or described by GetFileInfo.
struct CFileInfo {
    std::string strName;                       // the name, without its directory
    uint32_t dwAttributes = kInvalidFileAttributes;
    uint64_t nSize = 0;                        // bytes; 0 for directories
    CDateTime timeLastWriteUtc;                // last modification, in UTC
    // The POSIX permission bits (0755, say). On Windows made from the
    // attributes: 0755 for directories, 0444 for read-only files, 0644 else.
    uint32_t nPermissions = 0;
};

// The system error code that the last failing call of this layer outside
// CFile left (errno here, GetLastError on Windows).
int GetLastSystemError();

// The system's own text for an error code of this layer (CFile, CSocket,
// GetLastSystemError), such as "No such file or directory" or "Connection
// refused"; never empty.
std::string GetSystemErrorText(int nError);

// The error code for "access denied", for refusals this layer makes itself.
int GetAccessDeniedErrorCode();

// Attributes of the entry at strPath (symbolic links are followed), or
// kInvalidFileAttributes when there is no such entry or it cannot be examined.
uint32_t GetPathAttributes(const std::string& strPath);

// Describes the entry at strPath (links followed). False if it does not exist
// or cannot be examined; info is then unchanged.
bool GetFileInfo(const std::string& strPath, CFileInfo& info);

// True if anything exists at strPath (a dangling link does not count).
bool FileExists(const std::string& strPath);

// Creates one directory. False if it exists already, its parent is missing or
// permission is lacking.
bool MakeDirectory(const std::string& strPath);

// Deletes a file. Refuses (false) directories and read-only files.
bool RemoveFile(const std::string& strPath);

// Removes a directory, which must be empty. False when it is not a
// directory, is not empty, or permission is lacking.
bool RemoveEmptyFolder(const std::string& strPath);

// Gives the file or directory strFrom the name strTo, which must not exist:
// nothing is ever replaced. Both on the same file system. False on failure,
// an existing strTo included.
bool RenameToNewName(const std::string& strFrom, const std::string& strTo);

// Replaces strTo with strFrom in one step (strTo need not exist). Both must be
// on the same file system. False on failure.
bool RenameReplacing(const std::string& strFrom, const std::string& strTo);

// How long a file that CreateTemporary made may go unwritten before it is
// known to be left over: a transfer that writes into one either writes or
// fails well within that time (every wait of the programs is limited to
// minutes), so only a process that died leaves one that old.
constexpr int kStaleTemporaryAgeSeconds = 3600;

// Removes from strDirectory (not its subfolders) the files that
// CreateTemporary made, here or in another process, and that nobody has
// written for at least nMinAgeSeconds: what a killed process left behind.
// A younger one may still be filled by a live transfer and is left alone.
// Returns the paths of the files removed; none for a missing folder.
std::vector<std::string> RemoveStaleTemporaries(const std::string& strDirectory,
                                                int nMinAgeSeconds);

// The absolute path of strPath with every symbolic link, "." and ".."
// resolved. False when strPath does not exist. On Windows: junctions
// followed too, short (8.3) names given in full, each name in the case it is
// stored in, '\' as the separator, no "\\?\" prefix.
bool GetRealPath(const std::string& strPath, std::string& strReal);

// True when strPath lies inside the directory strRealRoot (a path as
// GetRealPath gives it): the longest leading part of strPath that exists is
// resolved, links included, and must be strRealRoot or below it. A path that
// leads out through a symbolic link is outside. False when strRealRoot is
// empty. On Windows names compare without regard to case, '\' and '/' are
// one separator, and strPath is first made absolute and its "." and ".."
// collapsed as the system itself does before it looks at the disk (so that
// "missing\..\.." counts as leading up); junctions are links here.
bool IsPathInside(const std::string& strRealRoot, const std::string& strPath);

// Wildcard search. strPattern is a directory part and a name pattern, split at
// the last '\' or '/'; a pattern without a directory part searches the current
// directory. In the name pattern '*' matches any run of characters, '?' exactly
// one, and "*.*" matches every name; matching is case-sensitive, as the file
// system is (on Windows: without regard to case, a '?' standing for one
// character also where UTF-16 needs two units, and never against the 8.3
// short names that the system's own search also tries). A name pattern
// without wildcards looks up that one entry (on Windows found under the name
// it is stored with).
// Returns the matching entries in directory order ("." and ".." included when
// they match, as on Windows; callers skip them). An entry that cannot be
// examined has kInvalidFileAttributes. A missing directory, or a pattern that
// ends in a separator, finds nothing.
std::vector<CFileInfo> FindFiles(const std::string& strPattern);

// True if strName matches the name pattern under the rules of FindFiles.
bool MatchFileName(const std::string& strPattern, const std::string& strName);

// An open file. Move-only; the destructor closes it. Reads and writes go
// straight to the system (no buffering in between), so what Write returned
// true for has reached the operating system.
class CFile {
public:
    enum EOpenMode {
        modeRead,    // an existing file, for reading; a directory is refused
        modeCreate,  // create, or empty an existing file, for writing; an
                     // existing read-only file or directory is refused
    };

    CFile() = default;
    ~CFile();
    CFile(CFile&& other) noexcept;
    CFile& operator=(CFile&& other) noexcept;
    CFile(const CFile&) = delete;
    CFile& operator=(const CFile&) = delete;

    // Opens strPath; closes a file that was open before. False on failure,
    // with the cause in GetLastError.
    bool Open(const std::string& strPath, EOpenMode mode);

    // Creates a new, empty file for writing in strDirectory, under a hidden
    // name that no other file has, and returns its path in strPath. For
    // writing a file in full before it replaces another (RenameReplacing).
    // On Windows the file carries the hidden attribute, which RenameReplacing
    // takes off when it puts the file in place.
    bool CreateTemporary(const std::string& strDirectory, std::string& strPath);
    bool IsOpen() const { return m_hFile >= 0; }

    // Reads up to nCount bytes from the current position, as many as the file
    // still holds. Returns the number read (less than nCount only at the end of
    // the file), 0 at the end, -1 on an error.
    int64_t Read(void* pBuffer, size_t nCount);

    // Writes all nCount bytes at the current position. False on an error.
    bool Write(const void* pBuffer, size_t nCount);

    // The file's length in bytes, -1 on an error.
    int64_t GetLength() const;

    // Moves the position to nOffset bytes from the start (beyond the end is
    // allowed, as the system allows it). False on an error.
    bool Seek(int64_t nOffset);

    // Closes the file. False if the system reported an error while closing
    // (data may not have been stored); the file is closed in any case.
    bool Close();

    // The system error code of the last failure (errno values on Linux,
    // GetLastError values on Windows).
    int GetLastError() const { return m_nLastError; }

    // The descriptor (a HANDLE on Windows), for the socket layer's file
    // sending. -1 when closed.
    intptr_t GetNativeHandle() const { return m_hFile; }

private:
    intptr_t m_hFile = -1;  // descriptor, or HANDLE on Windows
    int m_nLastError = 0;
};

}  // namespace platform
