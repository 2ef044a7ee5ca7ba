// The server's configuration file, through the loader the program uses.

#include "server/serverconfig.h"
#include "tests/fuzz/fuzz_input.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize) {
    if (!fuzzing::WriteInput(pData, nSize)) {
        return 0;
    }
    fuzzing::CCountingSink sink;
    CFileSyncServerConfig config;
    config.Load(fuzzing::InputPath(), sink);
    return 0;
}
