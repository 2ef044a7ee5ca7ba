#include "platform/textio.h"

namespace platform {

std::FILE* OpenStream(const std::string& strPath, const char* pszMode) {
    return std::fopen(strPath.c_str(), pszMode);
}

void SetTextMode(std::FILE*) {}

}  // namespace platform
