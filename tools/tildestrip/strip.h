#pragma once

#include <cstdio>

// tildestrip's filter, apart from its main so that it can be driven on its
// own: copies pIn (a text-mode stream) to pOut, dropping every line whose
// first byte is '~'.

namespace tildestrip {

void StripTildeLines(std::FILE* pIn, std::FILE* pOut);

}  // namespace tildestrip
