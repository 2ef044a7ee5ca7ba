// The sync script, through the loader the client uses. The loader creates
// the folder of every GET LocalDir and resolves host names, so the target
// keeps both at home: it works in a folder of its own, refuses to create a
// folder anywhere else (an absolute LocalDir would otherwise scatter
// folders over the machine, as root anywhere at all), and, where the system
// lets it, leaves the network behind, so that a host name costs no lookup
// on the wire.

#include <fcntl.h>
#include <sched.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <string>

#include "client/syncscript.h"
#include "tests/fuzz/fuzz_input.h"

namespace {

std::string g_strSandbox;

bool IsInsideSandbox(const char* pszPath) {
    const std::string strPath = pszPath;
    if (strPath.find("..") != std::string::npos) {
        return false;
    }
    return strPath[0] != '/' || strPath.compare(0, g_strSandbox.size() + 1, g_strSandbox + "/") == 0;
}

void EnterSandbox() {
    char szTemplate[] = "/dev/shm/tandrel-fuzz-syncscript-XXXXXX";
    const char* pszDir = mkdtemp(szTemplate);
    g_strSandbox = pszDir != nullptr ? pszDir : std::filesystem::temp_directory_path().string();
    if (chdir(g_strSandbox.c_str()) != 0) {
        std::abort();
    }
    // Without a network of its own a lookup fails at once; when the system
    // does not allow that, lookups simply take their time.
    (void)unshare(CLONE_NEWNET);
    unsetenv("TANDREL_DEVICE_ROOT");
    std::atexit([] {
        std::error_code error;
        std::filesystem::remove_all(g_strSandbox, error);
    });
}

// Folders made by many inputs would pile up.
void EmptySandbox() {
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(g_strSandbox, error)) {
        std::filesystem::remove_all(entry.path(), error);
    }
}

}  // namespace

// Every folder the loader creates goes through here.
extern "C" int mkdir(const char* pszPath, mode_t nMode) {
    if (pszPath[0] == '\0' || g_strSandbox.empty() ||
        !IsInsideSandbox(pszPath)) {
        errno = EACCES;
        return -1;
    }
    return static_cast<int>(syscall(SYS_mkdirat, AT_FDCWD, pszPath, nMode));
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize) {
    static unsigned s_nRuns = 0;
    if (g_strSandbox.empty()) {
        EnterSandbox();
    }
    if (++s_nRuns % 1024 == 0) {
        EmptySandbox();
    }
    if (!fuzzing::WriteInput(pData, nSize)) {
        return 0;
    }
    fuzzing::CCountingSink sink;
    CSyncScript script;
    script.Load(fuzzing::InputPath(), sink);
    return 0;
}
