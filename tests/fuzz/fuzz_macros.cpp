// Macro expansion of any text: the first line of the input is the user name,
// the rest the text to expand (a settings value).

#include <string>

#include "common/macros.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize) {
    std::string strInput(reinterpret_cast<const char*>(pData), nSize);
    size_t nBreak = strInput.find('\n');
    std::string strUser = nBreak == std::string::npos ? std::string() : strInput.substr(0, nBreak);
    std::string strText = nBreak == std::string::npos ? strInput : strInput.substr(nBreak + 1);
    ExpandMacros(strText, strUser, nullptr);
    return 0;
}
