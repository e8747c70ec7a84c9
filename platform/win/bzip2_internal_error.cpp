// What the Windows installer's libbzip2 calls when it finds itself inconsistent.
//
// The installer links libbzip2 built without its stdio part (BZ_NO_STDIO: scripts/setup.sh), which
// leaves the reaction to such a fault to the program. This one is the library's own: a message on
// standard error and exit status 3, from whichever thread meets it; exit ends every thread. The
// number is written out by hand: printf would bring mingw-w64's formatter, some 20 KB.
#include <stdio.h>
#include <stdlib.h>

extern "C" void bz_internal_error(int errcode) {
    char number[12], *p = number + sizeof number;
    *--p = '\0';
    unsigned n = errcode < 0 ? 0u - unsigned(errcode) : unsigned(errcode);
    do *--p = char('0' + n % 10); while (n /= 10);
    if (errcode < 0) *--p = '-';
    fputs("\n\nbzip2/libbzip2: internal error number ", stderr);
    fputs(p, stderr);
    fputs(".\n", stderr);
    exit(3);
}
