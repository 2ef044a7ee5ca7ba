#include "platform/textio.h"

namespace platform {

std::FILE* OpenStream(const std::string& strPath, const char* pszMode) {
    return std::fopen(strPath.c_str(), pszMode);
}

size_t ReadTextLine(std::FILE* pStream, char* pBuffer, size_t nSize) {
    size_t nStored = 0;
    while (nStored + 1 < nSize) {
        int c = std::getc(pStream);
        if (c == EOF) {
            break;
        }
        if (c == '\r') {
            int cNext = std::getc(pStream);
            if (cNext == '\n') {
                c = '\n';
            } else if (cNext != EOF) {
                std::ungetc(cNext, pStream);
            }
        }
        pBuffer[nStored++] = static_cast<char>(c);
        if (c == '\n') {
            break;
        }
    }
    pBuffer[nStored] = '\0';
    return nStored;
}

void SetTextMode(std::FILE*) {}

}  // namespace platform
