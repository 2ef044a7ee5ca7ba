#include <gtest/gtest.h>

#include <string>
#include <sys/stat.h>
#include <vector>

#include "tests/support/process.h"
#include "tests/support/fsutil.h"
#include "tests/support/tempdir.h"

using namespace std::string_literals;
using testsupport::CProcessOptions;
using testsupport::CProcessResult;
using testsupport::CTempDir;

namespace {

// Left in the output file before each run, so a conversion that does not
// replace the file's content shows up.
const std::string kStale = "stale content that is longer than most expected outputs\n"s;

class CScriptconvTest : public testing::Test {
protected:
    // Runs scriptconv inside the temp folder, so relative names land there.
    CProcessResult Run(const std::vector<std::string>& vecArgs) {
        std::vector<std::string> vecArgv{SCRIPTCONV_PATH};
        vecArgv.insert(vecArgv.end(), vecArgs.begin(), vecArgs.end());
        CProcessOptions options;
        options.m_strWorkDir = m_dir.Path();
        CProcessResult result = testsupport::RunProgram(vecArgv, options);
        EXPECT_TRUE(result.m_bStarted) << result.m_strError;
        EXPECT_FALSE(result.m_bSignaled) << "signal " << result.m_nSignal;
        EXPECT_EQ(result.m_strStdout, "");
        EXPECT_EQ(result.m_strStderr, "");
        return result;
    }

    CTempDir m_dir;
};

struct CConversionCase {
    const char* m_szName;
    std::string m_strInput;
    std::string m_strExpected;
};

std::string Repeat(char c, size_t nCount) {
    return std::string(nCount, c);
}

const CConversionCase kConversionCases[] = {
    {"SampleScript",
     "[TandrelClient]\nVersion=Quillon 4.1\n[PUT]\nLocalFiles=a.txt\nLocalFiles=b.txt\n"
     "LocalDir=C:\\Data\\Out\nRemoteDir=incoming\n",
     "[TandrelClient]\nVersion=Quillon 4.1\n[PUT]\nLocalFiles=a.txt;b.txt\n"
     "LocalDir=C:\\Data\\Out\nRemoteDir=incoming\n"},
    {"SingleEntryCopiedUnchanged", "LocalFiles=a.txt\nRemoteDir=x\n",
     "LocalFiles=a.txt\nRemoteDir=x\n"},
    {"RemoteFilesRun", "[GET]\nRemoteFiles=r1\nRemoteFiles=r2\nRemoteFiles=r3\nLocalDir=d\n",
     "[GET]\nRemoteFiles=r1;r2;r3\nLocalDir=d\n"},
    {"RunOpenAtEndHasNoLineEnd", "LocalFiles=a\nLocalFiles=b\n", "LocalFiles=a;b"},
    {"OtherLineStartsNewRun", "LocalFiles=a\nLocalFiles=b\n[PUT]\nLocalFiles=c\nLocalFiles=d\nx\n",
     "LocalFiles=a;b\n[PUT]\nLocalFiles=c;d\nx\n"},
    {"EmptyLineEndsRun", "LocalFiles=a\n\nLocalFiles=b\n\n", "LocalFiles=a\n\nLocalFiles=b\n\n"},
    // The first line of a run is kept whole; later ones keep only what
    // follows their first key.
    {"KeyInsideLine", "  LocalFiles=a\nx LocalFiles=b=LocalFiles=c\n",
     "  LocalFiles=a;b=LocalFiles=c"},
    {"KeysAreCaseSensitive", "localfiles=a\nlocalfiles=b\nREMOTEFILES=c\nREMOTEFILES=d\n",
     "localfiles=a\nlocalfiles=b\nREMOTEFILES=c\nREMOTEFILES=d\n"},
    {"LineWithBothKeysCountsAsLocal", "LocalFiles=a\nRemoteFiles=b LocalFiles=c\n",
     "LocalFiles=a;c"},
    // Runs of the two keys that touch share one output line, and a run of
    // one key is not ended by a line of the other.
    {"AdjacentRunsShareLine", "LocalFiles=a\nRemoteFiles=b\nRemoteFiles=c\nLocalFiles=d\nx\n",
     "LocalFiles=aRemoteFiles=b;c;d\nx\n"},
    {"CrLfInput", "[PUT]\r\nLocalFiles=a\r\nLocalFiles=b\r\nRemoteDir=x\r\n",
     "[PUT]\nLocalFiles=a;b\nRemoteDir=x\n"},
    {"LoneCrKept", "a\rb\nLocalFiles=c\r\nLocalFiles=d\re\n", "a\rb\nLocalFiles=c;d\re"},
    {"LastLineWithoutLineEnd", "[PUT]\nRemoteDir=x", "[PUT]\nRemoteDir=x\n"},
    {"EmptyInput", "", ""},
    {"LineOf1022Bytes", Repeat('x', 1022) + "\nz\n", Repeat('x', 1022) + "\nz\n"},
    // Longer lines are handled in pieces of 1023 bytes, each a line.
    {"LineOf1023Bytes", Repeat('x', 1023) + "\nz\n", Repeat('x', 1023) + "\n\nz\n"},
    {"LineOf2500Bytes", Repeat('x', 2500) + "\n",
     Repeat('x', 1023) + "\n" + Repeat('x', 1023) + "\n" + Repeat('x', 454) + "\n"},
    {"LongLocalFilesLine", "LocalFiles=a\nLocalFiles=" + Repeat('y', 1100) + "\n",
     "LocalFiles=a;" + Repeat('y', 1012) + "\n" + Repeat('y', 88) + "\n"},
    // A zero byte ends the text of its line: neither the search for a key
    // nor the output sees what follows it.
    {"ZeroByteEndsLine", "ab\0cd\nLocalFiles=x\0LocalFiles=y\nLocalFiles=z\n\0LocalFiles=w\n"s,
     "ab\nLocalFiles=x;z\n\n"s},
    {"HighBytesCopied", "\xff\xfe\x80\nLocalFiles=\xc3\xa9\nLocalFiles=\x01\x7f\n",
     "\xff\xfe\x80\nLocalFiles=\xc3\xa9;\x01\x7f"},
};

void PrintTo(const CConversionCase& testCase, std::ostream* pOut) {
    *pOut << testCase.m_szName;
}

class CScriptconvConversionTest : public CScriptconvTest,
                                  public testing::WithParamInterface<CConversionCase> {};

TEST_P(CScriptconvConversionTest, WritesConvertedScript) {
    const CConversionCase& testCase = GetParam();
    ASSERT_TRUE(m_dir.WriteFile("in.txt", testCase.m_strInput));
    ASSERT_TRUE(m_dir.WriteFile("out.txt", kStale));

    CProcessResult result = Run({"in.txt", "out.txt"});

    EXPECT_EQ(result.m_nExitStatus, 0);
    EXPECT_EQ(m_dir.ReadFile("out.txt"), testsupport::AsText(testCase.m_strExpected));
    EXPECT_EQ(m_dir.ReadFile("in.txt"), testCase.m_strInput);
}

INSTANTIATE_TEST_SUITE_P(Cases, CScriptconvConversionTest, testing::ValuesIn(kConversionCases),
                         [](const auto& info) { return std::string(info.param.m_szName); });

TEST_F(CScriptconvTest, WrongArgumentCountTouchesNoFile) {
    const std::string strInput = "LocalFiles=a\nLocalFiles=b\n";
    ASSERT_TRUE(m_dir.WriteFile("in.txt", strInput));
    const std::vector<std::vector<std::string>> vecArgLists = {
        {}, {"in.txt"}, {"in.txt", "out.txt", "extra.txt"}};
    for (const auto& vecArgs : vecArgLists) {
        SCOPED_TRACE(testing::PrintToString(vecArgs));
        CProcessResult result = Run(vecArgs);
        EXPECT_EQ(result.m_nExitStatus, 255);
        EXPECT_EQ(m_dir.List(), std::vector<std::string>{"in.txt"});
        EXPECT_EQ(m_dir.ReadFile("in.txt"), strInput);
    }
}

TEST_F(CScriptconvTest, MissingInputLeavesEmptyOutputAndFails) {
    CProcessResult result = Run({"missing.txt", "new.txt"});
    EXPECT_EQ(result.m_nExitStatus, 1);
    EXPECT_EQ(m_dir.ReadFile("new.txt"), "");

    ASSERT_TRUE(m_dir.WriteFile("old.txt", kStale));
    result = Run({"missing.txt", "old.txt"});
    EXPECT_EQ(result.m_nExitStatus, 1);
    EXPECT_EQ(m_dir.ReadFile("old.txt"), "");
    EXPECT_FALSE(m_dir.Exists("missing.txt"));
}

TEST_F(CScriptconvTest, UnwritableOutputFailsAndLeavesInput) {
    const std::string strInput = "LocalFiles=a\nLocalFiles=b\n";
    ASSERT_TRUE(m_dir.WriteFile("in.txt", strInput));
    ASSERT_TRUE(testsupport::MakeFolder(m_dir.Join("folder")));

    for (const char* szOutput : {"nofolder/out.txt", "folder"}) {
        SCOPED_TRACE(szOutput);
        CProcessResult result = Run({"in.txt", szOutput});
        EXPECT_EQ(result.m_nExitStatus, 1);
        EXPECT_EQ(m_dir.ReadFile("in.txt"), strInput);
        EXPECT_EQ(m_dir.List(), (std::vector<std::string>{"folder", "in.txt"}));
    }
}

// A folder opens for reading but cannot be read: that must not pass for an
// empty script.
TEST_F(CScriptconvTest, UnreadableInputFails) {
    ASSERT_TRUE(testsupport::MakeFolder(m_dir.Join("folder")));
    CProcessResult result = Run({"folder", "out.txt"});
    EXPECT_EQ(result.m_nExitStatus, 1);
    EXPECT_EQ(m_dir.ReadFile("out.txt"), testsupport::AsText(""));
}

}  // namespace
