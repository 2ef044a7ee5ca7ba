#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "tests/support/fsutil.h"
#include "tests/support/process.h"

using namespace std::string_literals;
using testsupport::CProcessOptions;
using testsupport::CProcessResult;

namespace {

// The line buffer holds 65535 bytes and a terminating zero; the lengths
// around it are where a line could be split or overrun.
constexpr size_t kBufferLine = 65535;

CProcessResult RunTildestrip(const std::string& strInput,
                             const std::vector<std::string>& vecArgs = {}) {
    std::vector<std::string> vecArgv{TILDESTRIP_PATH};
    vecArgv.insert(vecArgv.end(), vecArgs.begin(), vecArgs.end());
    CProcessOptions options;
    options.m_strStdin = strInput;
    return testsupport::RunProgram(vecArgv, options);
}

// Outputs run to hundreds of kilobytes; say where they part instead of
// printing them whole.
testing::AssertionResult SameBytes(const std::string& strExpected, const std::string& strActual) {
    if (strExpected == strActual) {
        return testing::AssertionSuccess();
    }
    size_t nAt = std::mismatch(strExpected.begin(),
                               strExpected.begin() + std::min(strExpected.size(), strActual.size()),
                               strActual.begin())
                     .first -
                 strExpected.begin();
    size_t nFrom = nAt > 8 ? nAt - 8 : 0;
    return testing::AssertionFailure()
           << "expected " << strExpected.size() << " bytes, got " << strActual.size()
           << "; first difference at byte " << nAt << ": expected "
           << testing::PrintToString(strExpected.substr(nFrom, 24)) << ", got "
           << testing::PrintToString(strActual.substr(nFrom, 24));
}

struct CFilterCase {
    std::string m_strName;
    std::string m_strInput;
    std::string m_strExpected;
};

void PrintTo(const CFilterCase& testCase, std::ostream* pOut) {
    *pOut << testCase.m_strName;
}

std::string Repeat(char c, size_t nCount) {
    return std::string(nCount, c);
}

std::vector<CFilterCase> FilterCases() {
    std::vector<CFilterCase> vecCases = {
        {"CommentsDropped", "~comment\ndata\n~\n\nmore\n", "data\n\nmore\n"},
        {"TildeNotFirstKept", " ~x\n\t~y\na~b\n", " ~x\n\t~y\na~b\n"},
        {"LastLineWithoutLineEnd", "a\nb", "a\nb\n"},
        {"DroppedLastLineWithoutLineEnd", "a\n~b", "a\n"},
        {"EmptyInput", "", ""},
        {"OnlyLineEnds", "\n\n", "\n\n"},
        {"CrLf", "~c\r\nkeep\r\n\r\nlast\r\n", "keep\n\nlast\n"},
        {"LoneCrKept", "a\rb\n\r~\n", "a\rb\n\r~\n"},
        // A zero byte ends what is written of its line; the line end stays.
        {"ZeroByteEndsText", "ab\0cd\n~\0x\n\0~\nz\n"s, "ab\n\nz\n"},
        {"HighBytes", "\xff\xfe\x80\n~\xff\n\x01\x7f\n", "\xff\xfe\x80\n\x01\x7f\n"},

        // Longer lines go through whole: what follows the first buffer is
        // neither a line of its own nor lost.
        {"TildeAtPieceBoundaryKept", Repeat('a', kBufferLine) + "~tail\nnext\n",
         Repeat('a', kBufferLine) + "~tail\nnext\n"},
        {"DroppedLineTailDropped", "~" + Repeat('a', kBufferLine - 1) + "keep\nnext\n", "next\n"},
        {"LongLineWithoutLineEnd", Repeat('a', 200000), Repeat('a', 200000) + "\n"},
        {"CrLfAtEndOfBuffer", Repeat('a', kBufferLine - 1) + "\r\nx\n",
         Repeat('a', kBufferLine - 1) + "\nx\n"},
        {"CrLfAfterFullBuffer", Repeat('a', kBufferLine) + "\r\n~x\ny\n",
         Repeat('a', kBufferLine) + "\ny\n"},

        // The zero-byte rule holds wherever the zero falls.
        {"ZeroInFirstPiece", Repeat('a', 10) + '\0' + Repeat('b', 70000) + "\nnext\n",
         Repeat('a', 10) + "\nnext\n"},
        {"ZeroInLaterPiece", Repeat('a', 70000) + '\0' + "zz\nnext\n",
         Repeat('a', 70000) + "\nnext\n"},
        {"ZeroLastInBuffer", Repeat('a', kBufferLine - 1) + '\0' + Repeat('b', 10) + "\nnext\n",
         Repeat('a', kBufferLine - 1) + "\nnext\n"},
        {"ZeroFirstAfterBuffer", Repeat('a', kBufferLine) + '\0' + Repeat('b', 70000) + "\nnext\n",
         Repeat('a', kBufferLine) + "\nnext\n"},
    };
    for (size_t nLength : {kBufferLine, kBufferLine + 1, kBufferLine + 2, size_t{200000}}) {
        std::string strLength = std::to_string(nLength);
        vecCases.push_back({"KeptLine" + strLength, Repeat('a', nLength) + "\nnext\n",
                            Repeat('a', nLength) + "\nnext\n"});
        vecCases.push_back(
            {"DroppedLine" + strLength, "~" + Repeat('a', nLength - 1) + "\nnext\n", "next\n"});
    }
    return vecCases;
}

class CTildestripTest : public testing::TestWithParam<CFilterCase> {};

TEST_P(CTildestripTest, FiltersInput) {
    const CFilterCase& testCase = GetParam();
    CProcessResult result = RunTildestrip(testCase.m_strInput);
    ASSERT_TRUE(result.m_bStarted) << result.m_strError;
    EXPECT_FALSE(result.m_bSignaled) << "signal " << result.m_nSignal;
    EXPECT_EQ(result.m_nExitStatus, 0);
    EXPECT_TRUE(SameBytes(testsupport::AsText(testCase.m_strExpected), result.m_strStdout));
    EXPECT_EQ(result.m_strStderr, "");
}

INSTANTIATE_TEST_SUITE_P(Cases, CTildestripTest, testing::ValuesIn(FilterCases()),
                         [](const auto& info) { return info.param.m_strName; });

TEST(CTildestripArgumentsTest, ArgumentsAreIgnored) {
    CProcessResult result = RunTildestrip("~a\nb\n", {"--help", "-x", "file.txt"});
    ASSERT_TRUE(result.m_bStarted) << result.m_strError;
    EXPECT_EQ(result.m_nExitStatus, 0);
    EXPECT_EQ(result.m_strStdout, testsupport::AsText("b\n"));
    EXPECT_EQ(result.m_strStderr, "");
}

}  // namespace
