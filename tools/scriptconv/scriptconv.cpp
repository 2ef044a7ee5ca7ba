// scriptconv INPUT OUTPUT
//
// Rewrites a sync script so that each run of consecutive LocalFiles= lines,
// and each run of consecutive RemoteFiles= lines, becomes a single line with
// the entries joined by ';'. Every other line is copied as it is. The tool
// works on bytes and knows nothing else of the script format.

#include <cstdio>
#include <string>
#include <vector>

#include "platform/paths.h"
#include "platform/textio.h"
#include "tools/scriptconv/convert.h"

namespace {

constexpr int kWrongArguments = -1;
// A file that cannot be opened, read or written is no success: a caller
// that goes on to run the converted script must be able to tell.
constexpr int kFileError = 1;

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> vecArgs = platform::GetProgramArguments(argc, argv);
    if (vecArgs.size() != 2) {
        return kWrongArguments;
    }
    // Both are opened before either is checked: the output is created (or
    // emptied) even when the input is missing, as callers have always seen.
    std::FILE* pIn = platform::OpenStream(vecArgs[0], "r");
    std::FILE* pOut = platform::OpenStream(vecArgs[1], "w");
    if (pIn == nullptr || pOut == nullptr) {
        if (pIn != nullptr) {
            std::fclose(pIn);
        }
        if (pOut != nullptr) {
            std::fclose(pOut);
        }
        return kFileError;
    }
    scriptconv::ConvertScript(pIn, pOut);
    bool bOk = !std::ferror(pIn) && !std::ferror(pOut);
    std::fclose(pIn);
    bOk = std::fclose(pOut) == 0 && bOk;
    return bOk ? 0 : kFileError;
}
