#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/file.h"

// MD5 digest of a whole file (RFC 1321), as 32 lower-case hexadecimal digits.
// Client and server compare these texts to decide whether a file must move,
// so both sides must format them exactly alike.

class CMD5Checksum {
public:
    CMD5Checksum();
    virtual ~CMD5Checksum() = default;

    // Digest of the file at strPath. Throws CFileException when the file
    // cannot be opened (missing, a directory) or a read fails. When pbStop
    // is given and turns true (from any thread) while the file is read, the
    // reading ends within a block and the result is empty.
    static std::string GetFileDigest(const std::string& strPath,
                                     const std::atomic<bool>* pbStop = nullptr);

    // Digest of an open file from its current position to its end. Throws
    // CFileException when a read fails; pbStop as for GetFileDigest.
    static std::string GetStreamDigest(platform::CFile& file,
                                       const std::atomic<bool>* pbStop = nullptr);

    // Adds bytes to the message.
    void Update(const void* pData, size_t nLength);

    // Pads the message, and returns the digest text. The object is spent.
    std::string Final();

private:
    // Runs the compression over nBlocks consecutive 64-byte blocks, so that
    // whole blocks go straight from the caller's memory into the state.
    void Transform(const unsigned char* pBlocks, size_t nBlocks);

    unsigned char m_lpszBuffer[64];  // the current, incomplete block
    uint32_t m_nCount[2];            // message length in bits, low word first
    uint32_t m_lMD5[4];              // chaining state A, B, C, D
};
