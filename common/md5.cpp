#include "common/md5.h"

#include <bit>
#include <cstring>
#include <memory>

#include "common/fileerror.h"

namespace {

// Big enough that the system call and copy cost per byte vanish against the
// hashing, small enough that the buffer stays in the second-level cache while
// it is hashed.
constexpr size_t kReadBlockSize = 128 * 1024;

constexpr uint32_t kInitialA = 0x67452301;
constexpr uint32_t kInitialB = 0xefcdab89;
constexpr uint32_t kInitialC = 0x98badcfe;
constexpr uint32_t kInitialD = 0x10325476;

// Message words are little-endian whatever the host is; memcpy keeps the load
// legal for unaligned read buffers and compiles to a single move.
inline uint32_t LoadLittleEndian(const unsigned char* p) {
    if constexpr (std::endian::native == std::endian::little) {
        uint32_t n;
        std::memcpy(&n, p, sizeof(n));
        return n;
    } else {
        return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
               (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
    }
}

inline void StoreLittleEndian(unsigned char* p, uint32_t n) {
    p[0] = static_cast<unsigned char>(n);
    p[1] = static_cast<unsigned char>(n >> 8);
    p[2] = static_cast<unsigned char>(n >> 16);
    p[3] = static_cast<unsigned char>(n >> 24);
}

}  // namespace

// Each step adds the message word and constant to a first: they do not depend
// on the previous step, so the processor can do that while b, c and d are still
// being computed. The round functions use the forms with the fewest operations
// on the dependency chain; G is split into two disjoint terms that can be added
// one after the other, which keeps the slow part off the chain.
#define MD5_STEP_F(a, b, c, d, x, s, t) \
    a += (x) + (t);                     \
    a += (d) ^ ((b) & ((c) ^ (d)));     \
    a = std::rotl(a, s) + (b)

#define MD5_STEP_G(a, b, c, d, x, s, t) \
    a += (x) + (t);                     \
    a += (c) & ~(d);                    \
    a += (b) & (d);                     \
    a = std::rotl(a, s) + (b)

#define MD5_STEP_H(a, b, c, d, x, s, t) \
    a += (x) + (t);                     \
    a += (b) ^ (c) ^ (d);               \
    a = std::rotl(a, s) + (b)

#define MD5_STEP_I(a, b, c, d, x, s, t) \
    a += (x) + (t);                     \
    a += (c) ^ ((b) | ~(d));            \
    a = std::rotl(a, s) + (b)

CMD5Checksum::CMD5Checksum()
    : m_lpszBuffer{}, m_nCount{0, 0}, m_lMD5{kInitialA, kInitialB, kInitialC, kInitialD} {}

void CMD5Checksum::Transform(const unsigned char* pBlocks, size_t nBlocks) {
    uint32_t a = m_lMD5[0];
    uint32_t b = m_lMD5[1];
    uint32_t c = m_lMD5[2];
    uint32_t d = m_lMD5[3];

    for (; nBlocks > 0; --nBlocks, pBlocks += 64) {
        uint32_t x[16];
        for (int i = 0; i < 16; ++i) {
            x[i] = LoadLittleEndian(pBlocks + 4 * i);
        }
        const uint32_t aa = a;
        const uint32_t bb = b;
        const uint32_t cc = c;
        const uint32_t dd = d;

        MD5_STEP_F(a, b, c, d, x[0], 7, 0xd76aa478);
        MD5_STEP_F(d, a, b, c, x[1], 12, 0xe8c7b756);
        MD5_STEP_F(c, d, a, b, x[2], 17, 0x242070db);
        MD5_STEP_F(b, c, d, a, x[3], 22, 0xc1bdceee);
        MD5_STEP_F(a, b, c, d, x[4], 7, 0xf57c0faf);
        MD5_STEP_F(d, a, b, c, x[5], 12, 0x4787c62a);
        MD5_STEP_F(c, d, a, b, x[6], 17, 0xa8304613);
        MD5_STEP_F(b, c, d, a, x[7], 22, 0xfd469501);
        MD5_STEP_F(a, b, c, d, x[8], 7, 0x698098d8);
        MD5_STEP_F(d, a, b, c, x[9], 12, 0x8b44f7af);
        MD5_STEP_F(c, d, a, b, x[10], 17, 0xffff5bb1);
        MD5_STEP_F(b, c, d, a, x[11], 22, 0x895cd7be);
        MD5_STEP_F(a, b, c, d, x[12], 7, 0x6b901122);
        MD5_STEP_F(d, a, b, c, x[13], 12, 0xfd987193);
        MD5_STEP_F(c, d, a, b, x[14], 17, 0xa679438e);
        MD5_STEP_F(b, c, d, a, x[15], 22, 0x49b40821);

        MD5_STEP_G(a, b, c, d, x[1], 5, 0xf61e2562);
        MD5_STEP_G(d, a, b, c, x[6], 9, 0xc040b340);
        MD5_STEP_G(c, d, a, b, x[11], 14, 0x265e5a51);
        MD5_STEP_G(b, c, d, a, x[0], 20, 0xe9b6c7aa);
        MD5_STEP_G(a, b, c, d, x[5], 5, 0xd62f105d);
        MD5_STEP_G(d, a, b, c, x[10], 9, 0x02441453);
        MD5_STEP_G(c, d, a, b, x[15], 14, 0xd8a1e681);
        MD5_STEP_G(b, c, d, a, x[4], 20, 0xe7d3fbc8);
        MD5_STEP_G(a, b, c, d, x[9], 5, 0x21e1cde6);
        MD5_STEP_G(d, a, b, c, x[14], 9, 0xc33707d6);
        MD5_STEP_G(c, d, a, b, x[3], 14, 0xf4d50d87);
        MD5_STEP_G(b, c, d, a, x[8], 20, 0x455a14ed);
        MD5_STEP_G(a, b, c, d, x[13], 5, 0xa9e3e905);
        MD5_STEP_G(d, a, b, c, x[2], 9, 0xfcefa3f8);
        MD5_STEP_G(c, d, a, b, x[7], 14, 0x676f02d9);
        MD5_STEP_G(b, c, d, a, x[12], 20, 0x8d2a4c8a);

        MD5_STEP_H(a, b, c, d, x[5], 4, 0xfffa3942);
        MD5_STEP_H(d, a, b, c, x[8], 11, 0x8771f681);
        MD5_STEP_H(c, d, a, b, x[11], 16, 0x6d9d6122);
        MD5_STEP_H(b, c, d, a, x[14], 23, 0xfde5380c);
        MD5_STEP_H(a, b, c, d, x[1], 4, 0xa4beea44);
        MD5_STEP_H(d, a, b, c, x[4], 11, 0x4bdecfa9);
        MD5_STEP_H(c, d, a, b, x[7], 16, 0xf6bb4b60);
        MD5_STEP_H(b, c, d, a, x[10], 23, 0xbebfbc70);
        MD5_STEP_H(a, b, c, d, x[13], 4, 0x289b7ec6);
        MD5_STEP_H(d, a, b, c, x[0], 11, 0xeaa127fa);
        MD5_STEP_H(c, d, a, b, x[3], 16, 0xd4ef3085);
        MD5_STEP_H(b, c, d, a, x[6], 23, 0x04881d05);
        MD5_STEP_H(a, b, c, d, x[9], 4, 0xd9d4d039);
        MD5_STEP_H(d, a, b, c, x[12], 11, 0xe6db99e5);
        MD5_STEP_H(c, d, a, b, x[15], 16, 0x1fa27cf8);
        MD5_STEP_H(b, c, d, a, x[2], 23, 0xc4ac5665);

        MD5_STEP_I(a, b, c, d, x[0], 6, 0xf4292244);
        MD5_STEP_I(d, a, b, c, x[7], 10, 0x432aff97);
        MD5_STEP_I(c, d, a, b, x[14], 15, 0xab9423a7);
        MD5_STEP_I(b, c, d, a, x[5], 21, 0xfc93a039);
        MD5_STEP_I(a, b, c, d, x[12], 6, 0x655b59c3);
        MD5_STEP_I(d, a, b, c, x[3], 10, 0x8f0ccc92);
        MD5_STEP_I(c, d, a, b, x[10], 15, 0xffeff47d);
        MD5_STEP_I(b, c, d, a, x[1], 21, 0x85845dd1);
        MD5_STEP_I(a, b, c, d, x[8], 6, 0x6fa87e4f);
        MD5_STEP_I(d, a, b, c, x[15], 10, 0xfe2ce6e0);
        MD5_STEP_I(c, d, a, b, x[6], 15, 0xa3014314);
        MD5_STEP_I(b, c, d, a, x[13], 21, 0x4e0811a1);
        MD5_STEP_I(a, b, c, d, x[4], 6, 0xf7537e82);
        MD5_STEP_I(d, a, b, c, x[11], 10, 0xbd3af235);
        MD5_STEP_I(c, d, a, b, x[2], 15, 0x2ad7d2bb);
        MD5_STEP_I(b, c, d, a, x[9], 21, 0xeb86d391);

        a += aa;
        b += bb;
        c += cc;
        d += dd;
    }

    m_lMD5[0] = a;
    m_lMD5[1] = b;
    m_lMD5[2] = c;
    m_lMD5[3] = d;
}

#undef MD5_STEP_F
#undef MD5_STEP_G
#undef MD5_STEP_H
#undef MD5_STEP_I

void CMD5Checksum::Update(const void* pData, size_t nLength) {
    const unsigned char* pInput = static_cast<const unsigned char*>(pData);
    size_t nIndex = (m_nCount[0] >> 3) & 63;

    // The length is kept modulo 2^64 bits in two words; doing the sum in 64
    // bits carries into the high word without a separate overflow test.
    uint64_t nBits = (static_cast<uint64_t>(m_nCount[1]) << 32) | m_nCount[0];
    nBits += static_cast<uint64_t>(nLength) << 3;
    m_nCount[0] = static_cast<uint32_t>(nBits);
    m_nCount[1] = static_cast<uint32_t>(nBits >> 32);

    if (nIndex != 0) {
        size_t nFill = 64 - nIndex;
        if (nLength < nFill) {
            std::memcpy(m_lpszBuffer + nIndex, pInput, nLength);
            return;
        }
        std::memcpy(m_lpszBuffer + nIndex, pInput, nFill);
        Transform(m_lpszBuffer, 1);
        pInput += nFill;
        nLength -= nFill;
    }

    size_t nBlocks = nLength / 64;
    if (nBlocks > 0) {
        Transform(pInput, nBlocks);
        pInput += nBlocks * 64;
        nLength -= nBlocks * 64;
    }
    if (nLength > 0) {
        std::memcpy(m_lpszBuffer, pInput, nLength);
    }
}

std::string CMD5Checksum::Final() {
    // The length must be captured before the padding, which Update would
    // otherwise count as message.
    unsigned char abLength[8];
    StoreLittleEndian(abLength, m_nCount[0]);
    StoreLittleEndian(abLength + 4, m_nCount[1]);

    static const unsigned char abPadding[64] = {0x80};
    size_t nIndex = (m_nCount[0] >> 3) & 63;
    size_t nPadLength = nIndex < 56 ? 56 - nIndex : 120 - nIndex;
    Update(abPadding, nPadLength);
    Update(abLength, sizeof(abLength));

    static const char kHexDigits[] = "0123456789abcdef";
    std::string strDigest;
    strDigest.reserve(32);
    for (uint32_t nWord : m_lMD5) {
        for (int nShift = 0; nShift < 32; nShift += 8) {
            unsigned nByte = (nWord >> nShift) & 0xff;
            strDigest += kHexDigits[nByte >> 4];
            strDigest += kHexDigits[nByte & 0x0f];
        }
    }
    return strDigest;
}

std::string CMD5Checksum::GetStreamDigest(platform::CFile& file,
                                          const std::atomic<bool>* pbStop) {
    // Not value-initialised: every byte hashed has been written by Read first.
    std::unique_ptr<unsigned char[]> pBuffer =
        std::make_unique_for_overwrite<unsigned char[]>(kReadBlockSize);
    CMD5Checksum md5;
    for (;;) {
        if (pbStop != nullptr && *pbStop) {
            return std::string();
        }
        int64_t nRead = file.Read(pBuffer.get(), kReadBlockSize);
        if (nRead < 0) {
            // The stream does not know its name; GetFileDigest adds it.
            throw CFileException(std::string(), file.GetLastError());
        }
        if (nRead == 0) {
            break;
        }
        md5.Update(pBuffer.get(), static_cast<size_t>(nRead));
    }
    return md5.Final();
}

std::string CMD5Checksum::GetFileDigest(const std::string& strPath,
                                        const std::atomic<bool>* pbStop) {
    platform::CFile file;
    if (!file.Open(strPath, platform::CFile::modeRead)) {
        throw CFileException(strPath, file.GetLastError());
    }
    std::string strDigest;
    try {
        strDigest = GetStreamDigest(file, pbStop);
    } catch (const CFileException& e) {
        throw CFileException(strPath, e.GetOsError());
    }
    // Nothing was written, so a failing close cannot have lost data.
    file.Close();
    return strDigest;
}
