// What the fuzz harnesses share: how a failed check ends the run.
#include "fuzz_util.h"

#include <stdio.h>
#include <stdlib.h>

void fuzz_fail(const char *what) {
    fprintf(stderr, "fuzz check failed: %s\n", what);
    abort();
}
