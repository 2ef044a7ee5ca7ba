// tildestrip < INPUT > OUTPUT
//
// Copies standard input to standard output, dropping every line whose first
// byte is '~'. Arguments are ignored and nothing but the kept lines is
// written; the exit status is always 0.

#include <cstdio>

#include "platform/textio.h"
#include "tools/tildestrip/strip.h"

int main() {
    platform::SetTextMode(stdin);
    platform::SetTextMode(stdout);
    tildestrip::StripTildeLines(stdin, stdout);
    return 0;
}
