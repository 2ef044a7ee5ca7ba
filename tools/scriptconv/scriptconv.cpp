// scriptconv INPUT OUTPUT
//
// Rewrites a sync script so that each run of consecutive LocalFiles= lines,
// and each run of consecutive RemoteFiles= lines, becomes a single line with
// the entries joined by ';'. Every other line is copied as it is. The tool
// works on bytes and knows nothing else of the script format.

#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "platform/paths.h"
#include "platform/textio.h"

namespace {

constexpr std::string_view kLocalKey = "LocalFiles=";
constexpr std::string_view kRemoteKey = "RemoteFiles=";

// Lines are read in pieces of at most 1023 bytes and each piece is handled as
// a line of its own. Script lines are far shorter; a longer one is converted
// the way it always has been rather than in a new way.
constexpr size_t kLineBufferSize = 1024;

constexpr int kWrongArguments = -1;
// A file that cannot be opened, read or written is no success: a caller
// that goes on to run the converted script must be able to tell.
constexpr int kFileError = 1;

struct CJoinState {
    bool m_bFirstLine = true;
    bool m_bRunOpen = false;
};

void Write(std::FILE* pOut, std::string_view text) {
    std::fwrite(text.data(), 1, text.size(), pOut);
}

// Returns false when the line does not carry the key.
bool JoinKeyLine(std::FILE* pOut, std::string_view line, std::string_view key,
                 CJoinState& state) {
    size_t nKeyAt = line.find(key);
    if (nKeyAt == std::string_view::npos) {
        return false;
    }
    if (state.m_bFirstLine) {
        Write(pOut, line);
    } else {
        Write(pOut, ";");
        Write(pOut, line.substr(nKeyAt + key.size()));
    }
    state.m_bRunOpen = true;
    state.m_bFirstLine = false;
    return true;
}

void Convert(std::FILE* pIn, std::FILE* pOut) {
    CJoinState local;
    CJoinState remote;
    char buffer[kLineBufferSize];
    while (platform::ReadTextLine(pIn, buffer, sizeof buffer) > 0) {
        // A piece is taken as a C string: a zero byte ends its text, which is
        // what scripts converted so far have been through.
        std::string_view line(buffer, std::strlen(buffer));
        line = line.substr(0, line.find('\n'));

        if (JoinKeyLine(pOut, line, kLocalKey, local) ||
            JoinKeyLine(pOut, line, kRemoteKey, remote)) {
            continue;
        }
        local.m_bFirstLine = true;
        remote.m_bFirstLine = true;
        if (local.m_bRunOpen || remote.m_bRunOpen) {
            Write(pOut, "\n");
        }
        local.m_bRunOpen = false;
        remote.m_bRunOpen = false;
        Write(pOut, line);
        Write(pOut, "\n");
    }
}

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
    Convert(pIn, pOut);
    bool bOk = !std::ferror(pIn) && !std::ferror(pOut);
    std::fclose(pIn);
    bOk = std::fclose(pOut) == 0 && bOk;
    return bOk ? 0 : kFileError;
}
