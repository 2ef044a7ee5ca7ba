#include "platform/console.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "tests/support/tempdir.h"

// Standard error as a terminal: whether it is one, and the status line that
// rewrites itself there and gives way to every line written.

namespace {

// Points standard error at nTarget while the object lives.
class CErrorTo {
public:
    explicit CErrorTo(int nTarget) {
        std::fflush(stderr);
        m_nSaved = dup(STDERR_FILENO);
        dup2(nTarget, STDERR_FILENO);
    }
    ~CErrorTo() {
        std::fflush(stderr);
        dup2(m_nSaved, STDERR_FILENO);
        close(m_nSaved);
    }

private:
    int m_nSaved;
};

TEST(ConsoleTest, StandardErrorIsATerminalOnlyWhenItIsOne) {
    testsupport::CTempDir dir;
    const int nFile = open(dir.Join("err.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const int nNull = open("/dev/null", O_WRONLY);
    int nPipe[2];
    ASSERT_EQ(pipe(nPipe), 0);
    int nMaster = -1, nSlave = -1;
    ASSERT_EQ(openpty(&nMaster, &nSlave, nullptr, nullptr, nullptr), 0);
    ASSERT_GE(nFile, 0);
    ASSERT_GE(nNull, 0);
    struct CCase {
        const char* pszName;
        int nFd;
        bool bTerminal;
    };
    for (const CCase& c : {CCase{"file", nFile, false}, CCase{"/dev/null", nNull, false},
                           CCase{"pipe", nPipe[1], false}, CCase{"terminal", nSlave, true}}) {
        SCOPED_TRACE(c.pszName);
        CErrorTo to(c.nFd);
        EXPECT_EQ(platform::IsErrorTerminal(), c.bTerminal);
    }
    for (int nFd : {nFile, nNull, nPipe[0], nPipe[1], nMaster, nSlave}) {
        close(nFd);
    }
}

TEST(ConsoleTest, TheStatusLineIsRewrittenInPlaceAndGivesWayToLines) {
    testsupport::CTempDir dir;
    const int nFile = open(dir.Join("err.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ASSERT_GE(nFile, 0);
    {
        CErrorTo to(nFile);
        // Nothing shown: clearing writes nothing.
        platform::WriteErrorStatus("");
        platform::WriteErrorStatus("long status");
        // A shorter one blanks what is left of the longer.
        platform::WriteErrorStatus("sh\xc3\xb6rt");
        platform::WriteErrorLine("a line");
        platform::WriteErrorStatus("again");
        platform::WriteErrorStatus("");
        platform::WriteErrorStatus("");
        platform::WriteErrorLine("last");
    }
    close(nFile);
    EXPECT_EQ(dir.ReadFile("err.txt"),
              "\rlong status"
              "\rsh\xc3\xb6rt      "
              "\r           \r"
              "a line\n"
              "\ragain"
              "\r     \r"
              "last\n");
}

}  // namespace
