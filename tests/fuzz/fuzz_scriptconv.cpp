// scriptconv's conversion on any input: runs of key lines, lines longer than
// its line buffer, zero bytes, CR LF and lone CRs.

#include "tests/fuzz/fuzz_lines.h"
#include "tools/scriptconv/convert.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize) {
    return fuzzing::RunOnLines(pData, nSize, scriptconv::ConvertScript);
}
