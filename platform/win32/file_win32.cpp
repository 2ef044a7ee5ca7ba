#include <utility>

#include "platform/file.h"

namespace platform {

int GetLastSystemError() { return 0; }
std::string GetSystemErrorText(int nError) { return "error " + std::to_string(nError); }
int GetAccessDeniedErrorCode() { return 5; }
uint32_t GetPathAttributes(const std::string&) { return kInvalidFileAttributes; }
bool GetFileInfo(const std::string&, CFileInfo&) { return false; }
bool FileExists(const std::string&) { return false; }
bool MakeDirectory(const std::string&) { return false; }
bool RemoveFile(const std::string&) { return false; }
bool RenameReplacing(const std::string&, const std::string&) { return false; }
bool GetRealPath(const std::string&, std::string&) { return false; }
bool IsPathInside(const std::string&, const std::string&) { return false; }
std::vector<CFileInfo> FindFiles(const std::string&) { return {}; }
bool MatchFileName(const std::string&, const std::string&) { return false; }

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
bool CFile::Open(const std::string&, EOpenMode) { return false; }
bool CFile::CreateTemporary(const std::string&, std::string&) { return false; }
int64_t CFile::Read(void*, size_t) { return -1; }
bool CFile::Write(const void*, size_t) { return false; }
int64_t CFile::GetLength() const { return -1; }
bool CFile::Close() { m_hFile = -1; return true; }

}  // namespace platform
