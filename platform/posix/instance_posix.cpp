#include "platform/instance.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace platform {

namespace {

// The folder for the user's lock files: the runtime folder the session
// manager made for the user, or one of our own in /tmp that only the user
// can enter.
std::string LockFolder() {
    const char* pszRuntime = std::getenv("XDG_RUNTIME_DIR");
    if (pszRuntime != nullptr && *pszRuntime == '/') {
        return pszRuntime;
    }
    const char* pszTemp = std::getenv("TMPDIR");
    std::string strFolder = (pszTemp != nullptr && *pszTemp == '/') ? pszTemp : "/tmp";
    strFolder += "/tandrel-" + std::to_string(getuid());
    if (mkdir(strFolder.c_str(), 0700) != 0 && errno != EEXIST) {
        return std::string();
    }
    struct stat info;
    // Someone else's folder of that name must not take our locks.
    if (lstat(strFolder.c_str(), &info) != 0 || !S_ISDIR(info.st_mode) ||
        info.st_uid != getuid()) {
        return std::string();
    }
    return strFolder;
}

}  // namespace

CInstanceLock::~CInstanceLock() {
    if (m_nHandle >= 0) {
        close(m_nHandle);
    }
}

bool CInstanceLock::Acquire(const std::string& strProgram, bool bAlone) {
    if (m_nHandle >= 0) {
        return true;
    }
    const std::string strFolder = LockFolder();
    if (strFolder.empty()) {
        return false;
    }
    const std::string strPath = strFolder + "/" + strProgram + ".lock";
    int nHandle = open(strPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (nHandle < 0) {
        return false;
    }
    // Every instance holds the lock shared; only a newcomer that wants to be
    // alone asks for it exclusively first, which any running instance denies.
    if (bAlone && flock(nHandle, LOCK_EX | LOCK_NB) != 0) {
        close(nHandle);
        return false;
    }
    if (flock(nHandle, LOCK_SH | LOCK_NB) != 0) {
        close(nHandle);
        return false;
    }
    m_nHandle = nHandle;
    return true;
}

}  // namespace platform
