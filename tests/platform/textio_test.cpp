#include "platform/textio.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

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

}  // namespace
