#include "tools/scriptconv/convert.h"

#include <cstring>
#include <string_view>

#include "platform/textio.h"

namespace scriptconv {

namespace {

constexpr std::string_view kLocalKey = "LocalFiles=";
constexpr std::string_view kRemoteKey = "RemoteFiles=";

// Lines are read in pieces of at most 1023 bytes and each piece is handled as
// a line of its own. Script lines are far shorter; a longer one is converted
// the way it always has been rather than in a new way.
constexpr size_t kLineBufferSize = 1024;

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

}  // namespace

void ConvertScript(std::FILE* pIn, std::FILE* pOut) {
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


}  // namespace scriptconv
