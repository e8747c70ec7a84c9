// zorv-extract-all: the archive reader over many archives in one process, for the Wine comparison.
//
//     zorv-extract-all OUT_DIR ARCHIVE...
//
// Archive i (from 1) is extracted under OUT_DIR\i\ and one line "i result" is printed for it. The
// same source is built for Linux and for Windows, so it names no operating system: the Linux
// stand-in reads '\' as a separator. One process for all archives, because every start of a
// program under Wine costs far more than the extractions themselves.
#include <stdio.h>

#include "star.h"

int main(int argc, char **argv) {
    if (argc < 2) {
        fprintf(stderr, "usage: zorv-extract-all OUT_DIR ARCHIVE...\n");
        return 2;
    }
    // Room for the longest folder a test gives and the archive number.
    char prefix[4096];
    for (int i = 1; i + 1 < argc; i++) {
        int n = snprintf(prefix, sizeof prefix, "%s\\%d\\", argv[1], i);
        if (n < 0 || size_t(n) >= sizeof prefix) {
            fprintf(stderr, "zorv-extract-all: OUT_DIR is too long\n");
            return 2;
        }
        printf("%d %d\n", i, star_extract_all_file(argv[i + 1], prefix));
    }
    // A lost line would read as a difference between the builds rather than as this failure.
    return fflush(stdout) == 0 && !ferror(stdout) ? 0 : 1;
}
