#include "common/md5.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "common/fileerror.h"
#include "platform/file.h"

namespace fs = std::filesystem;

namespace {

std::string DigestOf(const std::string& strData) {
    CMD5Checksum md5;
    md5.Update(strData.data(), strData.size());
    return md5.Final();
}

// Bytes whose period (251) is prime to the 64-byte block, so that no two
// blocks of a file are alike and a block mixed up with another shows.
std::string PatternBytes(size_t nSize) {
    std::string strData(nSize, '\0');
    for (size_t i = 0; i < nSize; ++i) {
        strData[i] = static_cast<char>(i % 251);
    }
    return strData;
}

TEST(MD5Test, MatchesTheRfc1321TestSuite) {
    struct Case {
        std::string strMessage;
        std::string strDigest;
    };
    const Case cases[] = {
        {"", "d41d8cd98f00b204e9800998ecf8427e"},
        {"a", "0cc175b9c0f1b6a831c399e269772661"},
        {"abc", "900150983cd24fb0d6963f7d28e17f72"},
        {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
        {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
        {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
         "d174ab98d277d9f5a5611c2c9f419d9f"},
        {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
         "57edf4a22be3c955ac49da2e2107b67a"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(DigestOf(c.strMessage), c.strDigest) << "message \"" << c.strMessage << "\"";
    }
}

class MD5FileTest : public testing::Test {
protected:
    void SetUp() override {
        std::random_device random;
        for (int nAttempt = 0; nAttempt < 100; ++nAttempt) {
            fs::path dir = fs::temp_directory_path() / ("md5_test_" + std::to_string(random()));
            if (fs::create_directory(dir)) {
                m_dir = dir;
                return;
            }
        }
        FAIL() << "no temporary folder could be created";
    }

    void TearDown() override {
        if (!m_dir.empty()) {
            std::error_code error;
            fs::remove_all(m_dir, error);
        }
    }

    std::string WriteFile(const std::string& strName, const std::string& strData) {
        std::string strPath = (m_dir / strName).string();
        std::ofstream out(strPath, std::ios::binary);
        out.write(strData.data(), static_cast<std::streamsize>(strData.size()));
        out.close();
        EXPECT_TRUE(out) << strPath;
        return strPath;
    }

    fs::path m_dir;
};

// The expected digests were computed once with md5sum on files of the same
// bytes. The sizes straddle the points where padding needs a second block (56)
// and where a block or a read block (128 KiB) is full.
TEST_F(MD5FileTest, FileDigestsMatchMd5sum) {
    struct Case {
        size_t nSize;
        std::string strDigest;
    };
    const Case cases[] = {
        {0, "d41d8cd98f00b204e9800998ecf8427e"},      {1, "93b885adfe0da089cdf634904fd59f71"},
        {55, "6912ee65fff2d9f9ce2508cddf8bcda0"},     {56, "51fdd1acda72405dfdfa03fcb85896d7"},
        {63, "48a6295221902e8e0938f773a7185e72"},     {64, "b2d3f56bc197fd985d5965079b5e7148"},
        {65, "8bd7053801c768420faf816fadba971c"},     {1023, "7437d7a881387db7c41cf6930ab5e35d"},
        {1024, "9ee0a0e0c0bc0f1ff29d663d1fdf0743"},   {1025, "3f3789452b88cb32b8cbfbafe715e29a"},
        {131071, "223875284e7c3a46aa774f01aaec5489"}, {131072, "d02199a197fb4b1777525fe375f9f5f1"},
        {131073, "060bb13f48ee4b4ef00c6e28d0f4fce8"}, {393243, "fc8241a218c5502d75d1f884d67b663c"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("size " + std::to_string(c.nSize));
        std::string strData = PatternBytes(c.nSize);
        std::string strPath = WriteFile("pattern" + std::to_string(c.nSize), strData);

        EXPECT_EQ(CMD5Checksum::GetFileDigest(strPath), c.strDigest);

        // Pieces that leave a partly filled block behind at every boundary.
        for (size_t nPiece : {size_t{1}, size_t{7}, size_t{63}}) {
            CMD5Checksum md5;
            for (size_t nOffset = 0; nOffset < strData.size(); nOffset += nPiece) {
                md5.Update(strData.data() + nOffset, std::min(nPiece, strData.size() - nOffset));
            }
            EXPECT_EQ(md5.Final(), c.strDigest) << "in pieces of " << nPiece;
        }
    }
}

// 4 GiB + 1 byte: the bit count no longer fits its low word, so a lost carry
// into the high word changes the digest. The file is sparse and costs no disk.
TEST_F(MD5FileTest, FileOver4GiBMatchesMd5sum) {
    std::string strPath = WriteFile("large", std::string());
    fs::resize_file(strPath, (uint64_t{1} << 32) + 1);
    EXPECT_EQ(CMD5Checksum::GetFileDigest(strPath), "f18c798ff5d450dfe4d3acdc12b621ff");
}

// The system's own codes: errno values on Linux, Windows error codes there.
#ifdef _WIN32
constexpr int kNoSuchFile = 2;      // ERROR_FILE_NOT_FOUND
constexpr int kIsAFolder = 5;       // ERROR_ACCESS_DENIED: a folder does not open as a file
constexpr int kNotAnOpenFile = 6;   // ERROR_INVALID_HANDLE
#else
constexpr int kNoSuchFile = ENOENT;
constexpr int kIsAFolder = EISDIR;
constexpr int kNotAnOpenFile = EBADF;
#endif

TEST_F(MD5FileTest, UnopenablePathsThrowWithPathAndCause) {
    struct Case {
        std::string strPath;
        int nOsError;
    };
    const Case cases[] = {
        {(m_dir / "missing").string(), kNoSuchFile},
        {m_dir.string(), kIsAFolder},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.strPath);
        try {
            std::string strDigest = CMD5Checksum::GetFileDigest(c.strPath);
            ADD_FAILURE() << "no exception; returned \"" << strDigest << "\"";
        } catch (const CFileException& e) {
            EXPECT_EQ(e.GetFileName(), c.strPath);
            EXPECT_EQ(e.GetOsError(), c.nOsError);
        }
    }
}

TEST_F(MD5FileTest, ReadFailureThrowsInsteadOfDigestingWhatWasRead) {
    std::string strPath = WriteFile("closed", "some content");
    platform::CFile file;
    ASSERT_TRUE(file.Open(strPath, platform::CFile::modeRead));
    ASSERT_TRUE(file.Close());
    try {
        std::string strDigest = CMD5Checksum::GetStreamDigest(file);
        ADD_FAILURE() << "no exception; returned \"" << strDigest << "\"";
    } catch (const CFileException& e) {
        EXPECT_EQ(e.GetOsError(), kNotAnOpenFile);
    }
}

TEST_F(MD5FileTest, StreamDigestCoversOnlyTheRestOfTheFile) {
    std::string strData = PatternBytes(1000);
    std::string strPath = WriteFile("stream", strData);
    platform::CFile file;
    ASSERT_TRUE(file.Open(strPath, platform::CFile::modeRead));
    char head[300];
    ASSERT_EQ(file.Read(head, sizeof(head)), 300);

    EXPECT_EQ(CMD5Checksum::GetStreamDigest(file), DigestOf(strData.substr(300)));
}

}  // namespace
