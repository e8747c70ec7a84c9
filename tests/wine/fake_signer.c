/* zorv-fake-signer.exe: stands in for the signer that zorv-pack.exe runs, for the tests.
 *
 * Copied in as osslsigncode.exe, it appends the arguments it was given, one a line, each run
 * ending with an empty line, to the file that ZORV_SIGNER_LOG names, so that a test sees what
 * reached it through the command line. For "sign" it copies the file after -in to the file after
 * -out; every run ends with status 0. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

int main(int argc, char **argv) {
    const char *log = getenv("ZORV_SIGNER_LOG"), *in = NULL, *out = NULL;
    FILE *record = log ? fopen(log, "ab") : NULL;
    for (int i = 0; i < argc; i++) {
        if (record) fprintf(record, "%s\n", argv[i]);
        if (i + 1 < argc && strcmp(argv[i], "-in") == 0) in = argv[i + 1];
        if (i + 1 < argc && strcmp(argv[i], "-out") == 0) out = argv[i + 1];
    }
    if (record) fputs("\n", record), fclose(record);
    if (argc > 1 && strcmp(argv[1], "sign") == 0 && in && out) {
        FILE *from = fopen(in, "rb"), *to = fopen(out, "wb");
        char buffer[65536];
        size_t n;
        while (from && to && (n = fread(buffer, 1, sizeof buffer, from)) > 0) fwrite(buffer, 1, n, to);
        if (from) fclose(from);
        if (to) fclose(to);
    }
    return 0;
}
