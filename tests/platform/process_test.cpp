#include "platform/process.h"

#include <gtest/gtest.h>

namespace {

TEST(RunProgramForOutput, ReportsOutputAndStatus) {
    platform::CProgramOutput output =
        platform::RunProgramForOutput({"/bin/sh", "-c", "printf 'a b\\n'; echo err >&2; exit 3"},
                                      20000);
    EXPECT_TRUE(output.bStarted);
    EXPECT_FALSE(output.bTimedOut);
    EXPECT_EQ(output.nExitStatus, 3);
    EXPECT_EQ(output.strStdout, "a b\n");

    output = platform::RunProgramForOutput({"/bin/sh", "-c", "head -c 100000 /dev/zero"}, 20000,
                                           1000);
    EXPECT_EQ(output.nExitStatus, 0);
    EXPECT_EQ(output.strStdout, std::string(1000, '\0'));

    output = platform::RunProgramForOutput({"/bin/sh", "-c", "kill -9 $$"}, 20000);
    EXPECT_TRUE(output.bStarted);
    EXPECT_EQ(output.nExitStatus, -1);
}

TEST(RunProgramForOutput, AProgramThatCannotStartIsReported) {
    for (const char* pszProgram : {"/no/such/program", "/", "/etc/hostname", ""}) {
        SCOPED_TRACE(pszProgram);
        EXPECT_FALSE(platform::RunProgramForOutput({pszProgram}, 20000).bStarted);
    }
}

TEST(RunProgramForOutput, NeverWaitsBeyondItsLimit) {
    platform::CProgramOutput output =
        platform::RunProgramForOutput({"/bin/sh", "-c", "echo started; exec sleep 60"}, 300);
    EXPECT_TRUE(output.bTimedOut);
    EXPECT_EQ(output.nExitStatus, -1);
    EXPECT_EQ(output.strStdout, "started\n");

    // A program that ends while something it started still holds its output
    // is done when it ends.
    output = platform::RunProgramForOutput({"/bin/sh", "-c", "sleep 60 & echo done"}, 30000);
    EXPECT_FALSE(output.bTimedOut);
    EXPECT_EQ(output.nExitStatus, 0);
    EXPECT_EQ(output.strStdout, "done\n");
}

}  // namespace
