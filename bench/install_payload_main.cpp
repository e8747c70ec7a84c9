// Runs install_payload once into the folder given, for the payload benchmark.
#include <stdio.h>

#include "payload.h"

int main(int argc, char **argv) {
    if (argc != 2) {
        fputs("usage: bench_install_payload TARGET_DIR   (payload from ZORV_RESOURCE_IMAGE)\n", stderr);
        return 2;
    }
    return install_payload(argv[1]) == 0 ? 0 : 1;
}
