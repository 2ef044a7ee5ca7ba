#pragma once

#include <cstdio>

// scriptconv's conversion, apart from its command line so that it can be
// driven on its own: each run of consecutive LocalFiles= lines, and each run
// of consecutive RemoteFiles= lines, of pIn becomes one line on pOut with the
// entries joined by ';'; every other line is copied as it is. Works on bytes.

namespace scriptconv {

void ConvertScript(std::FILE* pIn, std::FILE* pOut);

}  // namespace scriptconv
