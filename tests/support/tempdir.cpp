#include "tests/support/tempdir.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>

namespace fs = std::filesystem;

namespace testsupport {

namespace {

// Names are UTF-8 text, as everywhere in the programs; on Windows a path
// made from a plain string would take them in the ANSI code page.
fs::path PathOf(const std::string& strPath) {
    return fs::path(std::u8string(strPath.begin(), strPath.end()));
}

std::string TextOf(const fs::path& path) {
    std::u8string strText = path.u8string();
    return std::string(strText.begin(), strText.end());
}

std::FILE* OpenFile(const std::string& strPath, bool bWrite) {
#ifdef _WIN32
    return _wfopen(PathOf(strPath).c_str(), bWrite ? L"wb" : L"rb");
#else
    return std::fopen(strPath.c_str(), bWrite ? "wb" : "rb");
#endif
}

bool IsAbsolute(const std::string& strName) {
    if (strName.empty()) {
        return false;
    }
#ifdef _WIN32
    if (strName.front() == '\\' || (strName.size() >= 2 && strName[1] == ':')) {
        return true;
    }
#endif
    return strName.front() == '/';
}

// A test may take the write bit off a folder, or make a file read-only
// (which Windows refuses to delete), to provoke an error; put them back so
// the cleanup can still empty the folder.
void MakeRemovable(const fs::path& path) {
    std::error_code ec;
    fs::permissions(path, fs::perms::owner_all, fs::perm_options::add, ec);
    for (fs::directory_iterator it(path, ec), end; !ec && it != end; it.increment(ec)) {
        if (it->is_symlink(ec)) {
            continue;
        }
        if (it->is_directory(ec)) {
            MakeRemovable(it->path());
        } else {
            fs::permissions(it->path(), fs::perms::owner_write, fs::perm_options::add, ec);
        }
    }
}

}  // namespace

std::string JoinPath(const std::string& strBase, const std::string& strName) {
    if (strBase.empty() || IsAbsolute(strName)) {
        return strName;
    }
    if (strBase.back() == '/' || strBase.back() == '\\') {
        return strBase + strName;
    }
#ifdef _WIN32
    // The programs join with the system's separator; so do the tests, so
    // that the paths they expect in logs are the programs' own.
    return strBase + "\\" + strName;
#else
    return strBase + "/" + strName;
#endif
}

CTempDir::CTempDir() {
    std::error_code ec;
    fs::path base = fs::temp_directory_path(ec);
    if (ec) {
        base = "/tmp";
    }
    std::random_device randomSource;
    const char* const pszLetters = "abcdefghijklmnopqrstuvwxyz0123456789";
    for (int nAttempt = 0; nAttempt < 100; ++nAttempt) {
        std::string strName = "tandrel-test-";
        for (int i = 0; i < 8; ++i) {
            strName += pszLetters[randomSource() % 36];
        }
        fs::path candidate = base / strName;
        if (fs::create_directory(candidate, ec)) {
#ifndef _WIN32
            fs::permissions(candidate, fs::perms::owner_all, fs::perm_options::replace, ec);
#endif
            m_strPath = TextOf(candidate);
            return;
        }
        if (ec) {
            break;
        }
    }
    std::fprintf(stderr, "CTempDir: cannot create a folder in %s: %s\n", TextOf(base).c_str(),
                 ec.message().c_str());
    std::abort();
}

CTempDir::~CTempDir() {
    std::error_code ec;
    fs::path path = PathOf(m_strPath);
    fs::remove_all(path, ec);
    if (ec) {
        MakeRemovable(path);
        fs::remove_all(path, ec);
    }
    if (ec) {
        std::fprintf(stderr, "CTempDir: cannot remove %s: %s\n", m_strPath.c_str(),
                     ec.message().c_str());
    }
}

bool CTempDir::WriteFile(const std::string& strName, std::string_view bytes) const {
    std::FILE* pFile = OpenFile(Join(strName), true);
    if (pFile == nullptr) {
        return false;
    }
    bool bOk = std::fwrite(bytes.data(), 1, bytes.size(), pFile) == bytes.size();
    bOk = std::fclose(pFile) == 0 && bOk;
    return bOk;
}

std::optional<std::string> CTempDir::ReadFile(const std::string& strName) const {
    std::FILE* pFile = OpenFile(Join(strName), false);
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
    std::error_code ec;
    return fs::exists(fs::symlink_status(PathOf(Join(strName)), ec));
}

std::vector<std::string> CTempDir::List(const std::string& strSub) const {
    std::vector<std::string> vecNames;
    std::error_code ec;
    for (fs::directory_iterator it(PathOf(strSub.empty() ? m_strPath : Join(strSub)), ec), end;
         !ec && it != end; it.increment(ec)) {
        vecNames.push_back(TextOf(it->path().filename()));
    }
    std::sort(vecNames.begin(), vecNames.end());
    return vecNames;
}

}  // namespace testsupport
