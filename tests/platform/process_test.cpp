#include "platform/process.h"

#include <gtest/gtest.h>

#include "platform/paths.h"
#include "tests/platform/helper.h"

namespace {

using platformtest::HelperPath;

#ifndef _WIN32
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
#else
TEST(RunProgramForOutput, ReportsOutputAndStatus) {
    platform::CProgramOutput output = platform::RunProgramForOutput(
        {HelperPath(), "out:a b\n", "err:err\n", "exit:3"}, 20000);
    EXPECT_TRUE(output.bStarted);
    EXPECT_FALSE(output.bTimedOut);
    EXPECT_EQ(output.nExitStatus, 3);
    EXPECT_EQ(output.strStdout, "a b\n");

    output = platform::RunProgramForOutput({HelperPath(), "zeros:100000"}, 20000, 1000);
    EXPECT_EQ(output.nExitStatus, 0);
    EXPECT_EQ(output.strStdout, std::string(1000, '\0'));
}

TEST(RunProgramForOutput, AProgramThatCannotStartIsReported) {
    // The program path is taken as it is: no search, no ".exe" added.
    std::string strWithoutExtension = HelperPath().substr(0, HelperPath().size() - 4);
    for (const std::string& strProgram :
         {std::string("C:\\no\\such\\program.exe"), std::string("C:\\windows"),
          std::string("C:\\windows\\win.ini"), strWithoutExtension, std::string("cmd.exe"),
          std::string()}) {
        SCOPED_TRACE(strProgram);
        EXPECT_FALSE(platform::RunProgramForOutput({strProgram}, 20000).bStarted);
    }
}

TEST(RunProgramForOutput, NeverWaitsBeyondItsLimit) {
    platform::CProgramOutput output =
        platform::RunProgramForOutput({HelperPath(), "out:started\n", "sleep:60000"}, 300);
    EXPECT_TRUE(output.bTimedOut);
    EXPECT_EQ(output.nExitStatus, -1);
    EXPECT_EQ(output.strStdout, "started\n");

    // A program that ends while something it started still holds its output
    // is done when it ends.
    output = platform::RunProgramForOutput({HelperPath(), "spawn:60000", "out:done\n"}, 30000);
    EXPECT_FALSE(output.bTimedOut);
    EXPECT_EQ(output.nExitStatus, 0);
    EXPECT_EQ(output.strStdout, "done\n");
}
#endif

// Each argument arrives as the one word it was, whatever it holds: on
// Windows the words travel as one command line that the child splits again.
TEST(RunProgramForOutput, ArgumentsArriveAsTheyWereGiven) {
    const std::vector<std::string> words = {
        "plain",
        "two words",
        "",
        "say \"hi\"",
        "back\\slash",
        "trailing\\",
        "trailing space\\",
        "\\\\server\\share\\",
        "quote\\\"inside",
        "\t",
        "caf\xC3\xA9 \xE6\x97\xA5\xE6\x9C\xAC",
        "%PATH%",
        "a&b|c<d>e^f",
    };
    std::vector<std::string> argv = {HelperPath(), "args"};
    argv.insert(argv.end(), words.begin(), words.end());
    platform::CProgramOutput output = platform::RunProgramForOutput(argv, 20000);
    ASSERT_TRUE(output.bStarted);
    EXPECT_EQ(output.nExitStatus, 0);
    std::string strExpected;
    for (const std::string& strWord : words) {
        strExpected += "[" + strWord + "]\n";
    }
    EXPECT_EQ(output.strStdout, strExpected);
}

TEST(AttachParentConsole, KeepsStreamsThatWereHandedOver) {
    platform::CProgramOutput output =
        platform::RunProgramForOutput({HelperPath(), "attach", "out:kept"}, 20000);
    EXPECT_EQ(output.nExitStatus, 0);
    EXPECT_EQ(output.strStdout, "kept");
}

}  // namespace
