#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

// Runs a tool's line handling on the fuzzer's bytes as its input stream,
// writing to nowhere.

namespace fuzzing {

template <typename FHandle>
int RunOnLines(const uint8_t* pData, size_t nSize, FHandle handle) {
    static std::FILE* pOut = std::fopen("/dev/null", "w");
    if (nSize == 0 || pOut == nullptr) {
        return 0;
    }
    std::FILE* pIn = fmemopen(const_cast<uint8_t*>(pData), nSize, "r");
    if (pIn == nullptr) {
        return 0;
    }
    handle(pIn, pOut);
    std::fclose(pIn);
    return 0;
}

}  // namespace fuzzing
