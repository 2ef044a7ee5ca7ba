// tildestrip < INPUT > OUTPUT
//
// Copies standard input to standard output, dropping every line whose first
// byte is '~'. Arguments are ignored and nothing but the kept lines is
// written; the exit status is always 0.

#include <cstdio>
#include <cstring>

#include "platform/textio.h"

namespace {

constexpr size_t kBufferSize = 65536;

// Copies or drops one line whose first piece is already in pBuffer (nRead
// bytes). A line longer than the buffer is read on in further pieces and
// kept or dropped whole, so its tail is never mistaken for a line of its own.
void FilterLine(char* pBuffer, size_t nRead) {
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
            std::fwrite(pBuffer, 1, nWrite, stdout);
            bTextEnded = pZero != nullptr;
        }
        // A piece that stops short of a full buffer without a line feed
        // stopped at the end of the input.
        if (bLineFeed || nRead < kBufferSize - 1) {
            break;
        }
        nRead = platform::ReadTextLine(stdin, pBuffer, kBufferSize);
        if (nRead == 0) {
            break;
        }
    }
    if (bKeep) {
        std::fputc('\n', stdout);
    }
}

}  // namespace

int main() {
    platform::SetTextMode(stdin);
    platform::SetTextMode(stdout);
    static char buffer[kBufferSize];
    size_t nRead;
    while ((nRead = platform::ReadTextLine(stdin, buffer, kBufferSize)) > 0) {
        FilterLine(buffer, nRead);
    }
    return 0;
}
