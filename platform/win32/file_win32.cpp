#include <windows.h>

#include <atomic>
#include <random>
#include <utility>

#include "platform/file.h"
#include "platform/paths.h"
#include "platform/win32/internal.h"

namespace platform {

namespace {

using win32::FromWide;
using win32::ToWide;

constexpr uint32_t kKnownAttributes = kFileAttributeReadOnly | kFileAttributeHidden |
                                      kFileAttributeSystem | kFileAttributeDirectory;

// The system reports many more bits (archive, compressed, indexed, ...);
// callers speak only of these four, and "normal" means none of them.
uint32_t OurAttributes(DWORD dwNative) {
    uint32_t dwAttributes = dwNative & kKnownAttributes;
    return dwAttributes == 0 ? kFileAttributeNormal : dwAttributes;
}

CDateTime UtcFromFileTime(const FILETIME& fileTime) {
    SYSTEMTIME st {};
    CDateTime time;
    if (!FileTimeToSystemTime(&fileTime, &st)) {
        return time;
    }
    time.nYear = st.wYear;
    time.nMonth = st.wMonth;
    time.nDay = st.wDay;
    time.nHour = st.wHour;
    time.nMinute = st.wMinute;
    time.nSecond = st.wSecond;
    time.nMilliseconds = st.wMilliseconds;
    return time;
}

std::string LastComponent(const std::string& strPath) {
    size_t nPos = strPath.find_last_of("\\/");
    return nPos == std::string::npos ? strPath : strPath.substr(nPos + 1);
}

// Settings values and wire arguments may use '/'; the system's own form is
// '\', and the only one that "\\?\" paths accept.
std::wstring NativePath(const std::string& strPath) {
    std::wstring strNative = ToWide(strPath);
    for (wchar_t& c : strNative) {
        if (c == L'/') {
            c = L'\\';
        }
    }
    return strNative;
}

// A zero byte would silently cut the name short at the system call.
bool IsUsablePath(const std::string& strPath) {
    return !strPath.empty() && strPath.find('\0') == std::string::npos;
}

bool HasWildcards(const std::string& strPattern) {
    return strPattern.find_first_of("*?") != std::string::npos;
}

// Opens the entry itself, links and junctions followed, directories too,
// without asking for its data: attribute-only access takes part in no share
// mode check, so a file that another program holds open can still be looked at.
HANDLE OpenForInfo(const std::wstring& strNative) {
    return CreateFileW(strNative.c_str(), FILE_READ_ATTRIBUTES,
                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                       OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

// What the entry at the path is, reparse points followed. A symbolic link or
// junction reports itself, not its target, in the attributes of the
// directory entry; only opening it reaches what it leads to.
bool QueryInfo(const std::wstring& strNative, DWORD& dwAttributes, uint64_t& nSize,
               FILETIME& lastWrite) {
    WIN32_FILE_ATTRIBUTE_DATA data {};
    if (!GetFileAttributesExW(strNative.c_str(), GetFileExInfoStandard, &data)) {
        return false;
    }
    if ((data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
        dwAttributes = data.dwFileAttributes;
        nSize = (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
        lastWrite = data.ftLastWriteTime;
        return true;
    }
    HANDLE hFile = OpenForInfo(strNative);
    if (hFile == INVALID_HANDLE_VALUE) {
        return false;
    }
    BY_HANDLE_FILE_INFORMATION info {};
    bool bOk = GetFileInformationByHandle(hFile, &info) != 0;
    DWORD dwError = ::GetLastError();
    CloseHandle(hFile);
    if (!bOk) {
        SetLastError(dwError);
        return false;
    }
    dwAttributes = info.dwFileAttributes;
    nSize = (static_cast<uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
    lastWrite = info.ftLastWriteTime;
    return true;
}

// Windows keeps no permission bits; these say what the attributes allow.
uint32_t PermissionsOf(uint32_t dwAttributes) {
    if (dwAttributes == kInvalidFileAttributes) {
        return 0;
    }
    if ((dwAttributes & kFileAttributeDirectory) != 0) {
        return 0755;
    }
    return (dwAttributes & kFileAttributeReadOnly) != 0 ? 0444 : 0644;
}

bool InfoOf(const std::string& strPath, const std::string& strName, CFileInfo& info) {
    DWORD dwNative = 0;
    uint64_t nSize = 0;
    FILETIME lastWrite {};
    if (!IsUsablePath(strPath) || !QueryInfo(NativePath(strPath), dwNative, nSize, lastWrite)) {
        return false;
    }
    info.strName = strName;
    info.dwAttributes = OurAttributes(dwNative);
    info.nSize = (dwNative & FILE_ATTRIBUTE_DIRECTORY) != 0 ? 0 : nSize;
    info.timeLastWriteUtc = UtcFromFileTime(lastWrite);
    info.nPermissions = PermissionsOf(info.dwAttributes);
    return true;
}

// The attributes of the directory entry itself (a link is not followed).
DWORD OwnAttributes(const std::wstring& strNative) {
    return GetFileAttributesW(strNative.c_str());
}

// Names compare as the file system compares them: without regard to case,
// by the system's own upper-case mapping (not a language's).
wchar_t FoldCase(wchar_t c) {
    wchar_t szChar[2] = {c, L'\0'};
    CharUpperBuffW(szChar, 1);
    return szChar[0];
}

bool MatchFrom(const wchar_t* pPattern, const wchar_t* pName) {
    // Iterative glob with one backtracking point for the last '*': linear in
    // practice and never recursive, whatever the pattern.
    const wchar_t* pStar = nullptr;
    const wchar_t* pStarName = nullptr;
    while (*pName != L'\0') {
        if (*pPattern == L'*') {
            pStar = pPattern++;
            pStarName = pName;
        } else if (*pPattern == L'?' || FoldCase(*pPattern) == FoldCase(*pName)) {
            // '?' stands for one character, also one outside the basic
            // plane that UTF-16 writes as a pair.
            if (*pPattern == L'?' && IS_HIGH_SURROGATE(pName[0]) && IS_LOW_SURROGATE(pName[1])) {
                ++pName;
            }
            ++pPattern;
            ++pName;
        } else if (pStar != nullptr) {
            pPattern = pStar + 1;
            pName = ++pStarName;
        } else {
            return false;
        }
    }
    while (*pPattern == L'*') {
        ++pPattern;
    }
    return *pPattern == L'\0';
}

// "\\?\C:\x" -> "C:\x", "\\?\UNC\server\share" -> "\\server\share".
std::wstring WithoutLongPrefix(const std::wstring& strPath) {
    if (strPath.compare(0, 8, L"\\\\?\\UNC\\") == 0) {
        return L"\\" + strPath.substr(7);
    }
    if (strPath.compare(0, 4, L"\\\\?\\") == 0) {
        return strPath.substr(4);
    }
    return strPath;
}

// The path as the system itself would take it: relative parts made absolute
// against the current directory, '/' turned into '\', "." and ".." collapsed,
// trailing dots and blanks of a name dropped. The system does all of this
// before it looks at the disk, so "x\..\.." leads up even where "x" does not
// exist; what a path means must therefore be judged in this form.
bool FullPathOf(const std::wstring& strNative, std::wstring& strFull) {
    DWORD nLength = GetFullPathNameW(strNative.c_str(), 0, nullptr, nullptr);
    if (nLength == 0) {
        return false;
    }
    std::wstring strBuffer(nLength, L'\0');
    nLength = GetFullPathNameW(strNative.c_str(), nLength, strBuffer.data(), nullptr);
    if (nLength == 0 || nLength >= strBuffer.size()) {
        return false;
    }
    strBuffer.resize(nLength);
    strFull = strBuffer;
    return true;
}

// Where an existing path really leads: every junction and symbolic link
// followed, short (8.3) names given in full, the case of each name as it is
// stored.
bool ResolveExisting(const std::wstring& strNative, std::wstring& strReal) {
    HANDLE hFile = OpenForInfo(strNative);
    if (hFile == INVALID_HANDLE_VALUE) {
        return false;
    }
    std::wstring strBuffer(MAX_PATH, L'\0');
    DWORD nLength = 0;
    for (;;) {
        nLength = GetFinalPathNameByHandleW(hFile, strBuffer.data(),
                                            static_cast<DWORD>(strBuffer.size()),
                                            FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
        if (nLength == 0 || nLength < strBuffer.size()) {
            break;
        }
        strBuffer.resize(nLength + 1);
    }
    DWORD dwError = ::GetLastError();
    CloseHandle(hFile);
    if (nLength == 0) {
        SetLastError(dwError);
        return false;
    }
    strBuffer.resize(nLength);
    strReal = WithoutLongPrefix(strBuffer);
    return true;
}

// Trailing separators go, except the one of a drive root ("C:\").
std::wstring WithoutTrailingSeparator(std::wstring strPath) {
    while (strPath.size() > 1 && strPath.back() == L'\\' &&
           !(strPath.size() == 3 && strPath[1] == L':')) {
        strPath.pop_back();
    }
    return strPath;
}

bool EqualIgnoringCase(const wchar_t* pA, size_t nA, const wchar_t* pB, size_t nB) {
    return CompareStringOrdinal(pA, static_cast<int>(nA), pB, static_cast<int>(nB), TRUE) ==
           CSTR_EQUAL;
}

bool IsInsideResolved(const std::wstring& strRoot, const std::wstring& strReal) {
    if (strReal.size() < strRoot.size() ||
        !EqualIgnoringCase(strReal.data(), strRoot.size(), strRoot.data(), strRoot.size())) {
        return false;
    }
    return strReal.size() == strRoot.size() || strRoot.back() == L'\\' ||
           strReal[strRoot.size()] == L'\\';
}

// The temporaries of CreateTemporary are hidden while they are written; the
// file they become must not stay hidden under its real name.
const char* const kTemporaryPrefix = ".tandrel-";
const char* const kTemporarySuffix = ".part";

bool IsOurTemporaryName(const std::string& strName) {
    const size_t nPrefix = std::char_traits<char>::length(kTemporaryPrefix);
    const size_t nSuffix = std::char_traits<char>::length(kTemporarySuffix);
    return strName.size() > nPrefix + nSuffix && strName.compare(0, nPrefix, kTemporaryPrefix) == 0 &&
           strName.compare(strName.size() - nSuffix, nSuffix, kTemporarySuffix) == 0;
}

}  // namespace

int GetLastSystemError() { return static_cast<int>(::GetLastError()); }

std::string GetSystemErrorText(int nError) {
    wchar_t* pszText = nullptr;
    DWORD nLength = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, static_cast<DWORD>(nError), 0, reinterpret_cast<wchar_t*>(&pszText), 0, nullptr);
    std::string strText;
    if (nLength > 0 && pszText != nullptr) {
        strText = FromWide(pszText, static_cast<int>(nLength));
    }
    if (pszText != nullptr) {
        LocalFree(pszText);
    }
    // The system's texts end in a line break, which would break the one
    // line a message or trace is.
    while (!strText.empty() && (strText.back() == '\n' || strText.back() == '\r' ||
                                strText.back() == ' ')) {
        strText.pop_back();
    }
    if (strText.empty()) {
        return "error " + std::to_string(nError);
    }
    return strText;
}

int GetAccessDeniedErrorCode() { return ERROR_ACCESS_DENIED; }

uint32_t GetPathAttributes(const std::string& strPath) {
    CFileInfo info;
    return InfoOf(strPath, std::string(), info) ? info.dwAttributes : kInvalidFileAttributes;
}

bool GetFileInfo(const std::string& strPath, CFileInfo& info) {
    CFileInfo found;
    if (!InfoOf(strPath, LastComponent(strPath), found)) {
        return false;
    }
    info = found;
    return true;
}

bool FileExists(const std::string& strPath) {
    return GetPathAttributes(strPath) != kInvalidFileAttributes;
}

bool MakeDirectory(const std::string& strPath) {
    return IsUsablePath(strPath) && CreateDirectoryW(NativePath(strPath).c_str(), nullptr) != 0;
}

bool RemoveFile(const std::string& strPath) {
    if (!IsUsablePath(strPath)) {
        SetLastError(ERROR_INVALID_NAME);
        return false;
    }
    std::wstring strNative = NativePath(strPath);
    DWORD dwAttributes = OwnAttributes(strNative);
    if (dwAttributes == INVALID_FILE_ATTRIBUTES) {
        return false;
    }
    // Refused here rather than left to the system, which not every file
    // system (nor Wine) refuses on its own.
    if ((dwAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY)) != 0) {
        SetLastError(ERROR_ACCESS_DENIED);
        return false;
    }
    return DeleteFileW(strNative.c_str()) != 0;
}

bool RemoveEmptyFolder(const std::string& strPath) {
    if (!IsUsablePath(strPath)) {
        SetLastError(ERROR_INVALID_NAME);
        return false;
    }
    return RemoveDirectoryW(NativePath(strPath).c_str()) != 0;
}

bool RenameToNewName(const std::string& strFrom, const std::string& strTo) {
    if (!IsUsablePath(strFrom) || !IsUsablePath(strTo)) {
        SetLastError(ERROR_INVALID_NAME);
        return false;
    }
    // Without MOVEFILE_REPLACE_EXISTING an existing target fails the move.
    return MoveFileExW(NativePath(strFrom).c_str(), NativePath(strTo).c_str(), 0) != 0;
}

bool RenameReplacing(const std::string& strFrom, const std::string& strTo) {
    if (!IsUsablePath(strFrom) || !IsUsablePath(strTo)) {
        SetLastError(ERROR_INVALID_NAME);
        return false;
    }
    std::wstring strNativeFrom = NativePath(strFrom);
    std::wstring strNativeTo = NativePath(strTo);
    DWORD dwTarget = OwnAttributes(strNativeTo);
    if (dwTarget != INVALID_FILE_ATTRIBUTES &&
        (dwTarget & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY)) != 0) {
        SetLastError(ERROR_ACCESS_DENIED);
        return false;
    }
    DWORD dwSource = OwnAttributes(strNativeFrom);
    bool bUnhide = dwSource != INVALID_FILE_ATTRIBUTES &&
                   (dwSource & FILE_ATTRIBUTE_HIDDEN) != 0 &&
                   IsOurTemporaryName(LastComponent(strFrom));
    if (bUnhide) {
        SetFileAttributesW(strNativeFrom.c_str(), dwSource & ~FILE_ATTRIBUTE_HIDDEN);
    }
    if (!MoveFileExW(strNativeFrom.c_str(), strNativeTo.c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_COPY_ALLOWED)) {
        DWORD dwError = ::GetLastError();
        if (bUnhide) {
            SetFileAttributesW(strNativeFrom.c_str(), dwSource);
        }
        SetLastError(dwError);
        return false;
    }
    return true;
}

bool GetRealPath(const std::string& strPath, std::string& strReal) {
    std::wstring strFull;
    std::wstring strResolved;
    if (!IsUsablePath(strPath) || !FullPathOf(NativePath(strPath), strFull) ||
        !ResolveExisting(strFull, strResolved)) {
        return false;
    }
    strReal = FromWide(WithoutTrailingSeparator(strResolved));
    return true;
}

bool IsPathInside(const std::string& strRealRoot, const std::string& strPath) {
    if (strRealRoot.empty() || !IsUsablePath(strPath)) {
        return false;
    }
    std::wstring strRoot = WithoutTrailingSeparator(WithoutLongPrefix(NativePath(strRealRoot)));
    std::wstring strExisting;
    if (!FullPathOf(NativePath(strPath), strExisting)) {
        return false;
    }
    strExisting = WithoutTrailingSeparator(strExisting);
    std::wstring strReal;
    while (!ResolveExisting(strExisting, strReal)) {
        size_t nSeparator = strExisting.find_last_of(L'\\');
        if (nSeparator == std::wstring::npos) {
            return false;
        }
        std::wstring strParent = WithoutTrailingSeparator(strExisting.substr(0, nSeparator + 1));
        if (strParent.size() >= strExisting.size()) {
            return false;
        }
        strExisting = strParent;
    }
    return IsInsideResolved(strRoot, WithoutTrailingSeparator(strReal));
}

bool MatchFileName(const std::string& strPattern, const std::string& strName) {
    if (strPattern == "*.*") {
        return true;
    }
    if (strPattern.find('\0') != std::string::npos || strName.find('\0') != std::string::npos) {
        return false;
    }
    return MatchFrom(ToWide(strPattern).c_str(), ToWide(strName).c_str());
}

std::vector<CFileInfo> FindFiles(const std::string& strPattern) {
    std::vector<CFileInfo> found;
    if (!IsUsablePath(strPattern)) {
        return found;
    }
    size_t nSplit = strPattern.find_last_of("\\/");
    std::string strDirectory;
    std::string strNamePattern;
    if (nSplit == std::string::npos) {
        strNamePattern = strPattern;
    } else {
        strDirectory = strPattern.substr(0, nSplit + 1);
        strNamePattern = strPattern.substr(nSplit + 1);
    }
    if (strNamePattern.empty()) {
        return found;
    }

    if (!HasWildcards(strNamePattern)) {
        // Found under the name it is stored with, which may differ in case
        // from the one asked for.
        WIN32_FIND_DATAW data {};
        HANDLE hFind = FindFirstFileExW(NativePath(strPattern).c_str(), FindExInfoBasic, &data,
                                        FindExSearchNameMatch, nullptr, 0);
        if (hFind == INVALID_HANDLE_VALUE) {
            return found;
        }
        FindClose(hFind);
        CFileInfo info;
        if (InfoOf(strPattern, FromWide(data.cFileName), info)) {
            found.push_back(info);
        }
        return found;
    }

    // The system's own matching also tries each name's short 8.3 form
    // ("*.txt" finds "notes.txt~" through "NOTES~1.TXT"); every name is
    // listed and matched here instead, by the rules of MatchFileName.
    WIN32_FIND_DATAW data {};
    HANDLE hFind = FindFirstFileExW(NativePath(strDirectory + "*").c_str(), FindExInfoBasic, &data,
                                    FindExSearchNameMatch, nullptr, 0);
    if (hFind == INVALID_HANDLE_VALUE) {
        return found;
    }
    do {
        std::string strName = FromWide(data.cFileName);
        if (!MatchFileName(strNamePattern, strName)) {
            continue;
        }
        CFileInfo info;
        info.strName = strName;
        if ((data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
            // What a link leads to, as GetFileInfo tells it; one that leads
            // nowhere cannot be examined.
            InfoOf(strDirectory + strName, strName, info);
        } else {
            info.dwAttributes = OurAttributes(data.dwFileAttributes);
            info.nSize = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0
                             ? 0
                             : (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
            info.timeLastWriteUtc = UtcFromFileTime(data.ftLastWriteTime);
            info.nPermissions = PermissionsOf(info.dwAttributes);
        }
        found.push_back(std::move(info));
    } while (FindNextFileW(hFind, &data));
    FindClose(hFind);
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
    const std::string strMarker = win32::kDevicePathMarker;
    if (strPath.compare(0, strMarker.size(), strMarker) == 0) {
        intptr_t hDevice = -1;
        if (!win32::OpenDeviceHandle(strPath.substr(strMarker.size()), mode == modeCreate, hDevice,
                                     m_nLastError)) {
            return false;
        }
        m_hFile = hDevice;
        return true;
    }
    if (!IsUsablePath(strPath)) {
        m_nLastError = ERROR_FILE_NOT_FOUND;
        return false;
    }
    std::wstring strNative = NativePath(strPath);
    HANDLE hFile = INVALID_HANDLE_VALUE;
    // Others may read what we read or write, never write it meanwhile: a
    // digest must describe one content, and a file being stored or sent
    // must not change under the transfer.
    const DWORD dwShare = FILE_SHARE_READ;
    if (mode == modeRead) {
        // A directory cannot be opened without FILE_FLAG_BACKUP_SEMANTICS,
        // so it is refused here by the system itself.
        hFile = CreateFileW(strNative.c_str(), GENERIC_READ, dwShare, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    } else {
        // Refused here rather than left to the system, which lets a
        // program running as root under Wine write a read-only file. The
        // entry a link leads to is the one that would be written.
        DWORD dwAttributes = 0;
        uint64_t nSize = 0;
        FILETIME lastWrite {};
        if (QueryInfo(strNative, dwAttributes, nSize, lastWrite) &&
            (dwAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY)) != 0) {
            m_nLastError = ERROR_ACCESS_DENIED;
            return false;
        }
        // CREATE_ALWAYS refuses an existing hidden or system file unless
        // the same attributes are asked for; opening and emptying it keeps
        // the attributes it has, as writing over a file does elsewhere.
        hFile = CreateFileW(strNative.c_str(), GENERIC_WRITE, dwShare, nullptr, OPEN_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
        if (hFile != INVALID_HANDLE_VALUE && !SetEndOfFile(hFile)) {
            m_nLastError = static_cast<int>(::GetLastError());
            CloseHandle(hFile);
            return false;
        }
    }
    if (hFile == INVALID_HANDLE_VALUE) {
        m_nLastError = static_cast<int>(::GetLastError());
        return false;
    }
    m_hFile = reinterpret_cast<intptr_t>(hFile);
    return true;
}

std::vector<std::string> RemoveStaleTemporaries(const std::string& strDirectory,
                                                int nMinAgeSeconds) {
    std::vector<std::string> vecRemoved;
    FILETIME ftNow {};
    GetSystemTimeAsFileTime(&ftNow);
    auto ticks = [](const FILETIME& ft) {
        return (static_cast<unsigned long long>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
    };
    // File times count in steps of 100 ns.
    const unsigned long long nMinAge = static_cast<unsigned long long>(nMinAgeSeconds) * 10000000ULL;
    const std::string strPattern =
        JoinPath(strDirectory, std::string(kTemporaryPrefix) + "*" + kTemporarySuffix);
    for (const CFileInfo& info : FindFiles(strPattern)) {
        if (!IsOurTemporaryName(info.strName)) {
            continue;
        }
        const std::string strPath = JoinPath(strDirectory, info.strName);
        const std::wstring strNative = NativePath(strPath);
        WIN32_FILE_ATTRIBUTE_DATA data {};
        // Only a plain file of our own is ever removed, never through a link.
        if (!GetFileAttributesExW(strNative.c_str(), GetFileExInfoStandard, &data) ||
            (data.dwFileAttributes &
             (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_READONLY)) != 0 ||
            ticks(ftNow) < ticks(data.ftLastWriteTime) ||
            ticks(ftNow) - ticks(data.ftLastWriteTime) < nMinAge) {
            continue;
        }
        if (DeleteFileW(strNative.c_str())) {
            vecRemoved.push_back(strPath);
        }
    }
    return vecRemoved;
}

bool CFile::CreateTemporary(const std::string& strDirectory, std::string& strPath) {
    Close();
    static std::atomic<unsigned> s_nCounter{0};
    std::random_device randomSource;
    DWORD dwError = ERROR_FILE_EXISTS;
    for (int nAttempt = 0; nAttempt < 100; ++nAttempt) {
        std::string strName = kTemporaryPrefix + std::to_string(GetCurrentProcessId()) + "-" +
                              std::to_string(s_nCounter++) + "-" +
                              std::to_string(randomSource()) + kTemporarySuffix;
        std::string strCandidate = JoinPath(strDirectory, strName);
        HANDLE hFile = CreateFileW(NativePath(strCandidate).c_str(), GENERIC_WRITE,
                                   FILE_SHARE_READ, nullptr, CREATE_NEW, FILE_ATTRIBUTE_HIDDEN,
                                   nullptr);
        if (hFile != INVALID_HANDLE_VALUE) {
            m_hFile = reinterpret_cast<intptr_t>(hFile);
            strPath = strCandidate;
            return true;
        }
        dwError = ::GetLastError();
        if (dwError != ERROR_FILE_EXISTS && dwError != ERROR_ALREADY_EXISTS) {
            break;
        }
    }
    m_nLastError = static_cast<int>(dwError);
    return false;
}

int64_t CFile::Read(void* pBuffer, size_t nCount) {
    if (m_hFile < 0) {
        m_nLastError = ERROR_INVALID_HANDLE;
        return -1;
    }
    if (win32::IsDeviceHandle(m_hFile)) {
        return win32::ReadDeviceHandle(m_hFile, pBuffer, nCount, m_nLastError);
    }
    char* pNext = static_cast<char*>(pBuffer);
    size_t nDone = 0;
    while (nDone < nCount) {
        DWORD nChunk = nCount - nDone > (1u << 30) ? (1u << 30)
                                                   : static_cast<DWORD>(nCount - nDone);
        DWORD nRead = 0;
        if (!ReadFile(reinterpret_cast<HANDLE>(m_hFile), pNext + nDone, nChunk, &nRead,
                      nullptr)) {
            m_nLastError = static_cast<int>(::GetLastError());
            return -1;
        }
        if (nRead == 0) {
            break;
        }
        nDone += nRead;
    }
    return static_cast<int64_t>(nDone);
}

bool CFile::Write(const void* pBuffer, size_t nCount) {
    if (m_hFile < 0) {
        m_nLastError = ERROR_INVALID_HANDLE;
        return false;
    }
    if (win32::IsDeviceHandle(m_hFile)) {
        return win32::WriteDeviceHandle(m_hFile, pBuffer, nCount, m_nLastError);
    }
    const char* pNext = static_cast<const char*>(pBuffer);
    while (nCount > 0) {
        DWORD nChunk = nCount > (1u << 30) ? (1u << 30) : static_cast<DWORD>(nCount);
        DWORD nWritten = 0;
        if (!WriteFile(reinterpret_cast<HANDLE>(m_hFile), pNext, nChunk, &nWritten, nullptr)) {
            m_nLastError = static_cast<int>(::GetLastError());
            return false;
        }
        if (nWritten == 0) {
            m_nLastError = ERROR_WRITE_FAULT;
            return false;
        }
        pNext += nWritten;
        nCount -= nWritten;
    }
    return true;
}

int64_t CFile::GetLength() const {
    LARGE_INTEGER nSize {};
    if (m_hFile < 0 || win32::IsDeviceHandle(m_hFile) || !GetFileSizeEx(reinterpret_cast<HANDLE>(m_hFile), &nSize)) {
        return -1;
    }
    return nSize.QuadPart;
}

bool CFile::Seek(int64_t nOffset) {
    LARGE_INTEGER nPosition {};
    nPosition.QuadPart = nOffset;
    if (m_hFile < 0 || win32::IsDeviceHandle(m_hFile) ||
        !SetFilePointerEx(reinterpret_cast<HANDLE>(m_hFile), nPosition, nullptr, FILE_BEGIN)) {
        m_nLastError = static_cast<int>(::GetLastError());
        return false;
    }
    return true;
}

bool CFile::Close() {
    if (m_hFile < 0) {
        return true;
    }
    intptr_t hOurs = std::exchange(m_hFile, -1);
    if (win32::IsDeviceHandle(hOurs)) {
        return win32::CloseDeviceHandle(hOurs);
    }
    if (!CloseHandle(reinterpret_cast<HANDLE>(hOurs))) {
        m_nLastError = static_cast<int>(::GetLastError());
        return false;
    }
    return true;
}

}  // namespace platform
