#include "platform/textio.h"

// Line reading is the same on every system: only what a text-mode stream
// does to CR LF differs (Windows turns it into '\n' already), and the pair is
// looked for all the same, so that binary streams and files with CR CR LF
// read alike everywhere.

namespace platform {

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

}  // namespace platform
