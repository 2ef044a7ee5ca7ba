#include "tools/tildestrip/strip.h"

#include <cstring>
#include <vector>

#include "platform/textio.h"

namespace tildestrip {

namespace {

constexpr size_t kBufferSize = 65536;

// Copies or drops one line whose first piece is already in pBuffer (nRead
// bytes). A line longer than the buffer is read on in further pieces and
// kept or dropped whole, so its tail is never mistaken for a line of its own.
void FilterLine(std::FILE* pIn, std::FILE* pOut, char* pBuffer, size_t nRead) {
    const bool bKeep = pBuffer[0] != '~';
    // A zero byte ends the text written for the line, even when it came in
    // an earlier piece than the rest.
    bool bTextEnded = false;
    while (true) {
        const bool bLineFeed = pBuffer[nRead - 1] == '\n';
        const size_t nText = bLineFeed ? nRead - 1 : nRead;
        if (bKeep && !bTextEnded) {
            const void* pZero = std::memchr(pBuffer, '\0', nText);
            const size_t nWrite = pZero != nullptr ? static_cast<const char*>(pZero) - pBuffer
                                                   : nText;
            std::fwrite(pBuffer, 1, nWrite, pOut);
            bTextEnded = pZero != nullptr;
        }
        // A piece that stops short of a full buffer without a line feed
        // stopped at the end of the input.
        if (bLineFeed || nRead < kBufferSize - 1) {
            break;
        }
        nRead = platform::ReadTextLine(pIn, pBuffer, kBufferSize);
        if (nRead == 0) {
            break;
        }
    }
    if (bKeep) {
        std::fputc('\n', pOut);
    }
}

}  // namespace

void StripTildeLines(std::FILE* pIn, std::FILE* pOut) {
    std::vector<char> buffer(kBufferSize);
    size_t nRead;
    while ((nRead = platform::ReadTextLine(pIn, buffer.data(), kBufferSize)) > 0) {
        FilterLine(pIn, pOut, buffer.data(), nRead);
    }
}


}  // namespace tildestrip
