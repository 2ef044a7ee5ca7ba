#include "tests/support/tempdir.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace testsupport {

namespace {

// A test may take the write bit off a folder to provoke an error; put it
// back so the cleanup can still empty the folder.
void MakeRemovable(const fs::path& path) {
    std::error_code ec;
    fs::permissions(path, fs::perms::owner_all, fs::perm_options::add, ec);
    for (fs::directory_iterator it(path, ec), end; !ec && it != end; it.increment(ec)) {
        if (it->is_directory(ec) && !it->is_symlink(ec)) {
            MakeRemovable(it->path());
        }
    }
}

}  // namespace

std::string JoinPath(const std::string& strBase, const std::string& strName) {
    if (strBase.empty() || (!strName.empty() && strName.front() == '/')) {
        return strName;
    }
    if (strBase.back() == '/') {
        return strBase + strName;
    }
    return strBase + "/" + strName;
}

CTempDir::CTempDir() {
    std::error_code ec;
    fs::path base = fs::temp_directory_path(ec);
    if (ec) {
        base = "/tmp";
    }
    std::string strTemplate = (base / "tandrel-test-XXXXXX").string();
    if (mkdtemp(strTemplate.data()) == nullptr) {
        std::fprintf(stderr, "CTempDir: cannot create %s: %s\n", strTemplate.c_str(),
                     std::strerror(errno));
        std::abort();
    }
    m_strPath = strTemplate;
}

CTempDir::~CTempDir() {
    std::error_code ec;
    fs::remove_all(m_strPath, ec);
    if (ec) {
        MakeRemovable(m_strPath);
        fs::remove_all(m_strPath, ec);
    }
    if (ec) {
        std::fprintf(stderr, "CTempDir: cannot remove %s: %s\n", m_strPath.c_str(),
                     ec.message().c_str());
    }
}

bool CTempDir::WriteFile(const std::string& strName, std::string_view bytes) const {
    std::FILE* pFile = std::fopen(Join(strName).c_str(), "wb");
    if (pFile == nullptr) {
        return false;
    }
    bool bOk = std::fwrite(bytes.data(), 1, bytes.size(), pFile) == bytes.size();
    bOk = std::fclose(pFile) == 0 && bOk;
    return bOk;
}

std::optional<std::string> CTempDir::ReadFile(const std::string& strName) const {
    std::FILE* pFile = std::fopen(Join(strName).c_str(), "rb");
    if (pFile == nullptr) {
        return std::nullopt;
    }
    std::string strBytes;
    char buffer[65536];
    size_t nRead;
    while ((nRead = std::fread(buffer, 1, sizeof buffer, pFile)) > 0) {
        strBytes.append(buffer, nRead);
    }
    bool bOk = !std::ferror(pFile);
    std::fclose(pFile);
    if (!bOk) {
        return std::nullopt;
    }
    return strBytes;
}

bool CTempDir::Exists(const std::string& strName) const {
    struct stat st;
    return lstat(Join(strName).c_str(), &st) == 0;
}

std::vector<std::string> CTempDir::List(const std::string& strSub) const {
    std::vector<std::string> vecNames;
    std::error_code ec;
    for (fs::directory_iterator it(strSub.empty() ? m_strPath : Join(strSub), ec), end; !ec && it != end; it.increment(ec)) {
        vecNames.push_back(it->path().filename().string());
    }
    std::sort(vecNames.begin(), vecNames.end());
    return vecNames;
}

}  // namespace testsupport
