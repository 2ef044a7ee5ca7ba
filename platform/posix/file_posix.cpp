#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <utility>

#include "platform/file.h"
#include "platform/paths.h"

namespace platform {

namespace {

bool IsReadOnlyMode(mode_t mode) { return (mode & S_IWUSR) == 0; }

// The names of CreateTemporary: hidden, and recognisable to every later
// run as no file of anyone's.
const char* const kTemporaryPrefix = ".tandrel-";
const char* const kTemporarySuffix = ".part";

uint32_t AttributesFromStat(const std::string& strName, const struct stat& st) {
    uint32_t dwAttributes = 0;
    if (S_ISDIR(st.st_mode)) {
        dwAttributes |= kFileAttributeDirectory;
    } else if (!S_ISREG(st.st_mode)) {
        dwAttributes |= kFileAttributeSystem;
    }
    if (!strName.empty() && strName[0] == '.') {
        dwAttributes |= kFileAttributeHidden;
    }
    if (IsReadOnlyMode(st.st_mode)) {
        dwAttributes |= kFileAttributeReadOnly;
    }
    return dwAttributes == 0 ? kFileAttributeNormal : dwAttributes;
}

CDateTime UtcFromTimespec(const struct timespec& ts) {
    struct tm tmUtc {};
    time_t t = ts.tv_sec;
    gmtime_r(&t, &tmUtc);
    CDateTime time;
    time.nYear = tmUtc.tm_year + 1900;
    time.nMonth = tmUtc.tm_mon + 1;
    time.nDay = tmUtc.tm_mday;
    time.nHour = tmUtc.tm_hour;
    time.nMinute = tmUtc.tm_min;
    time.nSecond = tmUtc.tm_sec;
    time.nMilliseconds = static_cast<int>(ts.tv_nsec / 1000000);
    return time;
}

CFileInfo InfoFromStat(const std::string& strName, const struct stat& st) {
    CFileInfo info;
    info.strName = strName;
    info.dwAttributes = AttributesFromStat(strName, st);
    info.nSize = S_ISDIR(st.st_mode) ? 0 : static_cast<uint64_t>(st.st_size);
    info.timeLastWriteUtc = UtcFromTimespec(st.st_mtim);
    info.nPermissions = static_cast<uint32_t>(st.st_mode & 0777);
    return info;
}

// The last component of a path, separators of either kind.
std::string LastComponent(const std::string& strPath) {
    size_t nPos = strPath.find_last_of("\\/");
    return nPos == std::string::npos ? strPath : strPath.substr(nPos + 1);
}

// Settings values and wire arguments may use '\'; the system wants '/'.
std::string NativePath(const std::string& strPath) {
    std::string strNative = strPath;
    for (char& c : strNative) {
        if (c == '\\') {
            c = '/';
        }
    }
    return strNative;
}

bool HasWildcards(const std::string& strPattern) {
    return strPattern.find_first_of("*?") != std::string::npos;
}

bool MatchFrom(const char* pPattern, const char* pName) {
    // Iterative glob with one backtracking point for the last '*': linear in
    // practice and never recursive, whatever the pattern.
    const char* pStar = nullptr;
    const char* pStarName = nullptr;
    while (*pName != '\0') {
        if (*pPattern == '*') {
            pStar = pPattern++;
            pStarName = pName;
        } else if (*pPattern == '?' || *pPattern == *pName) {
            ++pPattern;
            ++pName;
        } else if (pStar != nullptr) {
            pPattern = pStar + 1;
            pName = ++pStarName;
        } else {
            return false;
        }
    }
    while (*pPattern == '*') {
        ++pPattern;
    }
    return *pPattern == '\0';
}

}  // namespace

int GetLastSystemError() { return errno; }

namespace {

// strerror_r comes in two kinds: the XSI one fills the buffer and returns a
// status, the GNU one returns the text (which may not be in the buffer).
[[maybe_unused]] const char* ErrorTextOf(int nStatus, const char* pszBuffer) {
    return nStatus == 0 ? pszBuffer : nullptr;
}
[[maybe_unused]] const char* ErrorTextOf(const char* pszText, const char*) { return pszText; }

}  // namespace

std::string GetSystemErrorText(int nError) {
    char buffer[256] = {};
    const char* pszText = ErrorTextOf(strerror_r(nError, buffer, sizeof(buffer)), buffer);
    if (pszText == nullptr || *pszText == '\0') {
        return "error " + std::to_string(nError);
    }
    return pszText;
}

int GetAccessDeniedErrorCode() { return EACCES; }

uint32_t GetPathAttributes(const std::string& strPath) {
    struct stat st {};
    if (strPath.empty() || stat(NativePath(strPath).c_str(), &st) != 0) {
        return kInvalidFileAttributes;
    }
    return AttributesFromStat(LastComponent(strPath), st);
}

bool GetFileInfo(const std::string& strPath, CFileInfo& info) {
    struct stat st {};
    if (strPath.empty() || stat(NativePath(strPath).c_str(), &st) != 0) {
        return false;
    }
    info = InfoFromStat(LastComponent(strPath), st);
    return true;
}

bool FileExists(const std::string& strPath) {
    return GetPathAttributes(strPath) != kInvalidFileAttributes;
}

bool MakeDirectory(const std::string& strPath) {
    return !strPath.empty() && mkdir(NativePath(strPath).c_str(), 0777) == 0;
}

bool RemoveFile(const std::string& strPath) {
    std::string strNative = NativePath(strPath);
    struct stat st {};
    if (strPath.empty() || lstat(strNative.c_str(), &st) != 0) {
        return false;
    }
    if (S_ISDIR(st.st_mode)) {
        errno = EISDIR;
        return false;
    }
    if (!S_ISLNK(st.st_mode) && IsReadOnlyMode(st.st_mode)) {
        errno = EACCES;
        return false;
    }
    return unlink(strNative.c_str()) == 0;
}

bool RemoveEmptyFolder(const std::string& strPath) {
    return !strPath.empty() && rmdir(NativePath(strPath).c_str()) == 0;
}

bool RenameToNewName(const std::string& strFrom, const std::string& strTo) {
    const std::string strNativeFrom = NativePath(strFrom);
    const std::string strNativeTo = NativePath(strTo);
    if (renameat2(AT_FDCWD, strNativeFrom.c_str(), AT_FDCWD, strNativeTo.c_str(),
                  RENAME_NOREPLACE) == 0) {
        return true;
    }
    if (errno != EINVAL && errno != ENOSYS) {
        return false;
    }
    // A file system without the flag: the check and the rename are two
    // steps there.
    struct stat st {};
    if (lstat(strNativeTo.c_str(), &st) == 0) {
        errno = EEXIST;
        return false;
    }
    return rename(strNativeFrom.c_str(), strNativeTo.c_str()) == 0;
}

bool RenameReplacing(const std::string& strFrom, const std::string& strTo) {
    return rename(NativePath(strFrom).c_str(), NativePath(strTo).c_str()) == 0;
}

bool GetRealPath(const std::string& strPath, std::string& strReal) {
    char* pszReal = realpath(NativePath(strPath).c_str(), nullptr);
    if (pszReal == nullptr) {
        return false;
    }
    strReal = pszReal;
    free(pszReal);
    return true;
}

namespace {

// The common case of IsPathInside in a few system calls: strPath spelled
// from the real root itself, so only the names below the root need a look,
// one lstat each, until one does not exist. Sets bDecided only when no name
// below the root is a link, "." or "..": any of those takes the full
// resolution, which then decides.
bool IsPlainPathInside(const std::string& strRealRoot, const std::string& strNative,
                       bool& bDecided) {
    bDecided = false;
    const size_t nRoot = strRealRoot == "/" ? 0 : strRealRoot.size();
    if (strNative.size() <= nRoot + 1 || strNative.compare(0, nRoot, strRealRoot) != 0 ||
        strNative[nRoot] != '/') {
        return false;
    }
    std::string strCurrent = strNative.substr(0, nRoot);
    size_t nPos = nRoot + 1;
    while (nPos <= strNative.size()) {
        size_t nEnd = strNative.find('/', nPos);
        if (nEnd == std::string::npos) {
            nEnd = strNative.size();
        }
        const std::string strName = strNative.substr(nPos, nEnd - nPos);
        nPos = nEnd + 1;
        if (strName.empty()) {
            continue;
        }
        if (strName == "." || strName == "..") {
            return false;
        }
        strCurrent += "/" + strName;
        struct stat st {};
        if (lstat(strCurrent.c_str(), &st) != 0) {
            if (errno != ENOENT && errno != ENOTDIR) {
                return false;
            }
            // Nothing further exists: what does lies inside.
            bDecided = true;
            return true;
        }
        if (S_ISLNK(st.st_mode)) {
            return false;
        }
    }
    bDecided = true;
    return true;
}

}  // namespace

bool IsPathInside(const std::string& strRealRoot, const std::string& strPath) {
    if (strRealRoot.empty()) {
        return false;
    }
    bool bDecided = false;
    const bool bInside = IsPlainPathInside(strRealRoot, NativePath(strPath), bDecided);
    if (bDecided) {
        return bInside;
    }
    std::string strExisting = strPath;
    std::string strReal;
    while (!GetRealPath(strExisting, strReal)) {
        size_t nSeparator = strExisting.find_last_of("\\/");
        if (nSeparator == std::string::npos || nSeparator == 0) {
            return false;
        }
        strExisting.erase(nSeparator);
    }
    return strReal == strRealRoot ||
           (strReal.compare(0, strRealRoot.size(), strRealRoot) == 0 &&
            (strRealRoot.back() == '/' || strReal[strRealRoot.size()] == '/'));
}

bool MatchFileName(const std::string& strPattern, const std::string& strName) {
    if (strPattern == "*.*") {
        return true;
    }
    // Names and patterns are C strings on every platform's API.
    if (strPattern.find('\0') != std::string::npos || strName.find('\0') != std::string::npos) {
        return false;
    }
    return MatchFrom(strPattern.c_str(), strName.c_str());
}

std::vector<CFileInfo> FindFiles(const std::string& strPattern) {
    std::vector<CFileInfo> found;
    size_t nSplit = strPattern.find_last_of("\\/");
    std::string strDirectory;
    std::string strNamePattern;
    if (nSplit == std::string::npos) {
        strDirectory = ".";
        strNamePattern = strPattern;
    } else {
        strDirectory = nSplit == 0 ? std::string("/") : NativePath(strPattern.substr(0, nSplit));
        strNamePattern = strPattern.substr(nSplit + 1);
    }
    if (strNamePattern.empty()) {
        return found;
    }

    if (!HasWildcards(strNamePattern)) {
        CFileInfo info;
        if (GetFileInfo(strPattern, info)) {
            found.push_back(info);
        }
        return found;
    }

    DIR* pDir = opendir(strDirectory.c_str());
    if (pDir == nullptr) {
        return found;
    }
    int hDir = dirfd(pDir);
    while (struct dirent* pEntry = readdir(pDir)) {
        std::string strName = pEntry->d_name;
        if (!MatchFileName(strNamePattern, strName)) {
            continue;
        }
        struct stat st {};
        if (fstatat(hDir, pEntry->d_name, &st, 0) == 0) {
            found.push_back(InfoFromStat(strName, st));
        } else {
            CFileInfo info;
            info.strName = strName;
            found.push_back(info);
        }
    }
    closedir(pDir);
    return found;
}

CFile::~CFile() { Close(); }

CFile::CFile(CFile&& other) noexcept
    : m_hFile(std::exchange(other.m_hFile, -1)), m_nLastError(other.m_nLastError) {}

CFile& CFile::operator=(CFile&& other) noexcept {
    if (this != &other) {
        Close();
        m_hFile = std::exchange(other.m_hFile, -1);
        m_nLastError = other.m_nLastError;
    }
    return *this;
}

bool CFile::Open(const std::string& strPath, EOpenMode mode) {
    Close();
    std::string strNative = NativePath(strPath);
    if (strNative.empty()) {
        m_nLastError = ENOENT;
        return false;
    }
    struct stat st {};
    if (mode == modeCreate && stat(strNative.c_str(), &st) == 0) {
        if (S_ISDIR(st.st_mode)) {
            m_nLastError = EISDIR;
            return false;
        }
        if (IsReadOnlyMode(st.st_mode)) {
            m_nLastError = EACCES;
            return false;
        }
    }
    int nFlags = mode == modeRead ? O_RDONLY : (O_WRONLY | O_CREAT | O_TRUNC);
    int hFile = open(strNative.c_str(), nFlags | O_CLOEXEC, 0666);
    if (hFile < 0) {
        m_nLastError = errno;
        return false;
    }
    if (mode == modeRead && (fstat(hFile, &st) != 0 || S_ISDIR(st.st_mode))) {
        m_nLastError = S_ISDIR(st.st_mode) ? EISDIR : errno;
        close(hFile);
        return false;
    }
    m_hFile = hFile;
    return true;
}

std::vector<std::string> RemoveStaleTemporaries(const std::string& strDirectory,
                                                int nMinAgeSeconds) {
    std::vector<std::string> vecRemoved;
    const time_t now = time(nullptr);
    const std::string strPattern =
        JoinPath(strDirectory, std::string(kTemporaryPrefix) + "*" + kTemporarySuffix);
    for (const CFileInfo& info : FindFiles(strPattern)) {
        const std::string strPath = JoinPath(strDirectory, info.strName);
        struct stat st {};
        // Only a regular file of our own is ever removed, never through a link.
        if (lstat(NativePath(strPath).c_str(), &st) != 0 || !S_ISREG(st.st_mode) ||
            now - st.st_mtime < nMinAgeSeconds) {
            continue;
        }
        if (unlink(NativePath(strPath).c_str()) == 0) {
            vecRemoved.push_back(strPath);
        }
    }
    return vecRemoved;
}

bool CFile::CreateTemporary(const std::string& strDirectory, std::string& strPath) {
    Close();
    static std::atomic<unsigned> s_nCounter{0};
    for (int nAttempt = 0; nAttempt < 100; ++nAttempt) {
        std::string strName = kTemporaryPrefix + std::to_string(getpid()) + "-" +
                              std::to_string(s_nCounter++) + kTemporarySuffix;
        std::string strCandidate = JoinPath(strDirectory, strName);
        int hFile = open(NativePath(strCandidate).c_str(),
                         O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (hFile >= 0) {
            m_hFile = hFile;
            strPath = strCandidate;
            return true;
        }
        if (errno != EEXIST) {
            break;
        }
    }
    m_nLastError = errno;
    return false;
}

int64_t CFile::Read(void* pBuffer, size_t nCount) {
    char* pNext = static_cast<char*>(pBuffer);
    size_t nDone = 0;
    while (nDone < nCount) {
        ssize_t nRead = read(static_cast<int>(m_hFile), pNext + nDone, nCount - nDone);
        if (nRead < 0) {
            if (errno == EINTR) {
                continue;
            }
            m_nLastError = errno;
            return -1;
        }
        if (nRead == 0) {
            break;
        }
        nDone += static_cast<size_t>(nRead);
    }
    return static_cast<int64_t>(nDone);
}

bool CFile::Write(const void* pBuffer, size_t nCount) {
    const char* pNext = static_cast<const char*>(pBuffer);
    while (nCount > 0) {
        ssize_t nWritten = write(static_cast<int>(m_hFile), pNext, nCount);
        if (nWritten < 0) {
            if (errno == EINTR) {
                continue;
            }
            m_nLastError = errno;
            return false;
        }
        pNext += nWritten;
        nCount -= static_cast<size_t>(nWritten);
    }
    return true;
}

int64_t CFile::GetLength() const {
    struct stat st {};
    if (fstat(static_cast<int>(m_hFile), &st) != 0) {
        return -1;
    }
    return static_cast<int64_t>(st.st_size);
}

bool CFile::Seek(int64_t nOffset) {
    if (lseek(static_cast<int>(m_hFile), static_cast<off_t>(nOffset), SEEK_SET) < 0) {
        m_nLastError = errno;
        return false;
    }
    return true;
}

bool CFile::Close() {
    if (m_hFile < 0) {
        return true;
    }
    int nResult = close(static_cast<int>(std::exchange(m_hFile, -1)));
    if (nResult != 0) {
        m_nLastError = errno;
    }
    return nResult == 0;
}

}  // namespace platform
