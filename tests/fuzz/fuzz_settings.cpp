// The settings-file reader: any bytes (Latin-1, UTF-8, UTF-16 with or
// without a byte-order mark, NUL bytes, lone CRs) read as lines and walked
// section by section, as both programs walk their files.

#include "common/settings.h"
#include "tests/fuzz/fuzz_input.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize) {
    if (!fuzzing::WriteInput(pData, nSize)) {
        return 0;
    }
    fuzzing::CCountingSink sink;
    CSettingsParser parser(sink);
    if (!parser.Read(fuzzing::InputPath())) {
        return 0;
    }
    parser.Walk({"[TandrelServer]", "[TCP]", "[USER]", "[SERVER]", "[GET]", "[PUT]"},
                [&](size_t nHeader, size_t nIndex) {
                    if (nHeader == 0) {
                        return parser.WalkVersionSection(nIndex);
                    }
                    return parser.WalkSection(nIndex, [](const CSettingsEntry& entry) {
                        return entry.strKey.size() < 4096;
                    });
                });
    return 0;
}
