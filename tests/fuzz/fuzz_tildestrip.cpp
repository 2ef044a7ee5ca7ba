// tildestrip's filter on any input: lines of any length, zero bytes, CR LF
// and lone CRs, a last line without its line end.

#include "tests/fuzz/fuzz_lines.h"
#include "tools/tildestrip/strip.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize) {
    return fuzzing::RunOnLines(pData, nSize, tildestrip::StripTildeLines);
}
