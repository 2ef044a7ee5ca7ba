#include "tests/platform/helper.h"

#include "platform/paths.h"

namespace platformtest {

std::string HelperPath() {
    std::string strProgram = platform::GetProgramPath();
    std::string strDirectory = strProgram.substr(0, strProgram.find_last_of("\\/"));
#ifdef _WIN32
    return platform::JoinPath(strDirectory, "platform_helper.exe");
#else
    return platform::JoinPath(strDirectory, "platform_helper");
#endif
}

}  // namespace platformtest
