#include <unistd.h>

#include <climits>
#include <vector>

#include "platform/paths.h"

namespace platform {

std::string GetProgramPath() {
    std::vector<char> buffer(PATH_MAX + 1);
    ssize_t nLength = readlink("/proc/self/exe", buffer.data(), buffer.size() - 1);
    if (nLength <= 0) {
        return std::string();
    }
    return std::string(buffer.data(), static_cast<size_t>(nLength));
}

std::vector<std::string> GetProgramArguments(int argc, char** argv) {
    if (argc <= 1) {
        return {};
    }
    return std::vector<std::string>(argv + 1, argv + argc);
}

std::string JoinPath(const std::string& strDirectory, const std::string& strName) {
    if (strDirectory.empty()) {
        return strName;
    }
    if (IsPathSeparator(strDirectory.back())) {
        return strDirectory + strName;
    }
    return strDirectory + kPathSeparator + strName;
}

}  // namespace platform
