// What the fuzz harnesses share: how a failed check ends the run, and what a result may be.
#include "fuzz_util.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "star_result.h"

void fuzz_fail(const char *what) {
    fprintf(stderr, "fuzz check failed: %s\n", what);
    abort();
}

void fuzz_check_result(int result) {
    if (strcmp(star_result_text(result), "unknown error") == 0) fuzz_fail("a result that names no cause");
}
