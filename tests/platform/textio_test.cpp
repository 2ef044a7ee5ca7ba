#include "platform/textio.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <string>
#include <vector>

#include "tests/support/tempdir.h"

namespace {

// Every piece ReadTextLine delivers for strInput with a buffer of nSize bytes.
std::vector<std::string> Pieces(const std::string& strInput, size_t nSize) {
    std::FILE* pStream = std::tmpfile();
    std::fwrite(strInput.data(), 1, strInput.size(), pStream);
    std::rewind(pStream);
    std::vector<std::string> pieces;
    std::vector<char> buffer(nSize, 'X');
    size_t nRead;
    while ((nRead = platform::ReadTextLine(pStream, buffer.data(), nSize)) > 0) {
        EXPECT_EQ(buffer[nRead], '\0');
        pieces.emplace_back(buffer.data(), nRead);
    }
    std::fclose(pStream);
    return pieces;
}

TEST(ReadTextLine, DeliversLinesLikeATextModeStream) {
    struct Case {
        std::string strInput;
        size_t nSize;
        std::vector<std::string> expected;
    };
    const Case cases[] = {
        {"", 16, {}},
        {"a\nb\n", 16, {"a\n", "b\n"}},
        {"a\r\nb", 16, {"a\n", "b"}},
        {"a\r\r\n\rb\r", 16, {"a\r\n", "\rb\r"}},
        {"abcdefg\n", 4, {"abc", "def", "g\n"}},
        {"abc\r\n", 4, {"abc", "\n"}},
        {std::string("a\0b\n\0", 5), 16, {std::string("a\0b\n", 4), std::string("\0", 1)}},
        {"\n\n", 2, {"\n", "\n"}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Pieces(c.strInput, c.nSize), c.expected) << c.strInput;
    }
}

// What a program writes with '\n' to a stream in text mode ends its lines
// as the platform's text files do.
TEST(SetTextMode, LinesEndAsThePlatformsDo) {
    testsupport::CTempDir dir;
    const std::string strPath = dir.Join("lines.txt");
    std::FILE* pStream = platform::OpenStream(strPath, "wb");
    ASSERT_NE(pStream, nullptr);
    platform::SetTextMode(pStream);
    std::fputs("a\nb\n", pStream);
    std::fclose(pStream);
    const std::string strEnd = platform::kTextLineEnd;
    EXPECT_EQ(dir.ReadFile("lines.txt").value_or("<missing>"), "a" + strEnd + "b" + strEnd);

    // Read back in text mode, whichever end it has, a line is a line.
    pStream = platform::OpenStream(strPath, "r");
    ASSERT_NE(pStream, nullptr);
    char buffer[16];
    EXPECT_EQ(platform::ReadTextLine(pStream, buffer, sizeof(buffer)), 2u);
    EXPECT_STREQ(buffer, "a\n");
    std::fclose(pStream);
}

TEST(OpenStream, TakesNamesAsUtf8AndReportsFailure) {
    testsupport::CTempDir dir;
    const std::string strName = "\xC3\xA9t\xC3\xA9-\xE6\x97\xA5.txt";
    std::FILE* pStream = platform::OpenStream(dir.Join(strName), "wb");
    ASSERT_NE(pStream, nullptr);
    std::fputs("x", pStream);
    std::fclose(pStream);
    EXPECT_EQ(dir.List(), std::vector<std::string>{strName});
    errno = 0;
    EXPECT_EQ(platform::OpenStream(dir.Join("missing/x.txt"), "rb"), nullptr);
    EXPECT_NE(errno, 0);
}

}  // namespace
